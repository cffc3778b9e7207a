#!/usr/bin/python3
"""The built program against the best FTP clients, on the same workloads, in the same run.

Starts its own vsftpd on 127.0.0.1 (anonymous, chrooted into a temporary directory), builds
the workloads, and runs Zephlin unattended (`zephlin /hide NAME /exit` beside a prepared
"zephlin.ini", without a display) and each peer (curl, lftp, wget, rclone) on each workload,
alternating A B A B: one warm-up round, whose result is checked, then the measured rounds.
Each run is a child process of its own, so its wall time, CPU time (user + sys) and peak RSS
are its own. Prints one table; ratios are Zephlin / peer per round, median [min..max].

  bench_program.py BUILD_DIR            # full: 1 GiB, 10,000 and 100,000 files, 5 rounds
  QUICK=1 bench_program.py BUILD_DIR    # short: 256 MiB, 1,000 files, 3 rounds
  ZEPHLIN_BENCH_ONLY=up1g,nochange bench_program.py BUILD_DIR   # some workloads only

Exits 0 and says so when vsftpd is not installed or not run as root (it needs to chroot).
"""

import os
import pwd
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

QUICK = os.environ.get("QUICK", "") not in ("", "0")
ROUNDS = int(os.environ.get("ZEPHLIN_BENCH_ROUNDS", "3" if QUICK else "5"))
BIG_MIB = int(os.environ.get("ZEPHLIN_BENCH_MIB") or ("256" if QUICK else "1024"))
TREE_DIRS, TREE_FILES = (10, 100) if QUICK else (100, 100)  # directories, files in each
HUGE_DIRS, HUGE_FILES = (0, 0) if QUICK and not os.environ.get("ZEPHLIN_BENCH_HUGE") else (1000, 100)   # the 100,000-file tree, in 1,000 folders
HUGE_BYTES = 1024                                           # its files are 1 KiB each
FILE_BYTES = 4096
SESSIONS_AT_ONCE = 20
RUN_LIMIT_S = 600
ONLY = [w for w in os.environ.get("ZEPHLIN_BENCH_ONLY", "").split(",") if w]

VSFTPD = "/usr/sbin/vsftpd"
PEERS = {"curl": "/usr/bin/curl", "lftp": "/usr/bin/lftp", "wget": "/usr/bin/wget", "rclone": "/usr/bin/rclone"}
PASSWORD = "bench@"
PASSWORD_KEY = "Morvelix4"
# vsftpd refuses an anonymous chroot into a writable directory: the workloads live one below.
WRITABLE = "/w"


# --- Measuring one child ---

class Sample:
    def __init__(self, wall, cpu, rss_mib, ok, note=""):
        self.wall, self.cpu, self.rss_mib, self.ok, self.note = wall, cpu, rss_mib, ok, note


TIME = "/usr/bin/time"


def measure(argv, cwd=None, env=None):
    """Runs argv quietly; wall, CPU (user + sys) and peak RSS of that child alone.

    The child is started through GNU time: a process forked from this driver counts the
    driver's own memory in its peak RSS (the high-water mark survives exec), so the peak is
    read by a small parent instead."""
    with tempfile.NamedTemporaryFile(mode="r", prefix="zephlin-bench-time-") as report:
        start = time.perf_counter()
        child = subprocess.Popen([TIME, "-q", "-f", "%U %S %M", "-o", report.name] + list(argv), cwd=cwd,
                                 env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, start_new_session=True)
        timer = threading.Timer(RUN_LIMIT_S, lambda: os.killpg(child.pid, signal.SIGKILL))
        timer.start()
        # The pipe is read after the wait: a client that fills it (64 KiB of errors) is a failed
        # run anyway, and reading first would blur the wall time.
        _, status, _ = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        timer.cancel()
        child.returncode = os.waitstatus_to_exitcode(status)
        errors = child.stderr.read().decode(errors="replace").strip()
        child.stderr.close()
        fields = report.read().split()
    try:
        user, system, rss_kib = float(fields[-3]), float(fields[-2]), float(fields[-1])
    except (IndexError, ValueError):
        user = system = rss_kib = 0.0
    ok = child.returncode == 0
    return Sample(wall, user + system, rss_kib / 1024.0, ok,
                  "" if ok else f"exit {child.returncode}: {errors[-300:]}")


def tree_size(path):
    files = total = 0
    for folder, _, names in os.walk(path):
        for name in names:
            if name.startswith("."):
                continue
            files += 1
            total += os.lstat(os.path.join(folder, name)).st_size
    return files, total


def work_parent():
    """Memory when there is room: no writeback of the last run's gigabyte, no discards while
    deleting it, so the runs measure the clients and the loopback alone."""
    chosen = os.environ.get("ZEPHLIN_BENCH_DIR")
    if chosen:
        return chosen
    try:
        st = os.statvfs("/dev/shm")
        if st.f_bavail * st.f_frsize >= (4 * BIG_MIB << 20) + (8 << 30 if HUGE_DIRS else 1 << 30):
            return "/dev/shm"
    except OSError:
        pass
    return None


def drop_dirty_pages():
    os.sync()


# --- The server ---

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_vsftpd(work, root, extra=""):
    port = free_port()
    conf = os.path.join(work, "vsftpd.conf")
    empty = os.path.join(work, "empty")
    os.makedirs(empty, exist_ok=True)
    with open(conf, "w") as f:
        f.write(f"""listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
seccomp_sandbox=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root={root}
allow_writeable_chroot=YES
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
anon_umask=022
use_localtime=YES
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
max_clients=0
max_per_ip=0
secure_chroot_dir={empty}
xferlog_enable=NO
""" + extra)
    server = subprocess.Popen([VSFTPD, conf], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    for _ in range(250):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2) as s:
                if s.recv(100).startswith(b"220"):
                    return server, port
        except OSError:
            time.sleep(0.02)
    server.kill()
    raise SystemExit("vsftpd did not start")


# --- Zephlin's settings ---

def scramble(plain, key=PASSWORD_KEY):
    """The settings file's password form: four hex digits per character, groups reversed."""
    groups = ["%04X" % (ord(c) ^ ord(key[i % len(key)])) for i, c in enumerate(plain)]
    return "".join(reversed(groups))


def session_section(index, name, mode, local, remote, port, passive=True, crc="", recurse=True, countdown=0,
                    extra=()):
    keys = [("name", name), ("localpath", local), ("remotepath", WRITABLE + remote),
            ("sessionstarter", "countdown" if countdown else "manual"), ("countdown", str(countdown)), ("detectwait", "0"), ("sessionmode", mode), ("recurse", "1" if recurse else "0"),
            ("host", "127.0.0.1"), ("port", str(port)), ("username", "anonymous"),
            ("password", scramble(PASSWORD)), ("timeout", "60"), ("abortonfailure", "0"),
            ("passivemode", "1" if passive else "0"), ("parentsession", ""), ("crcfile", crc),
            ("testmode", "0"), ("debugmode", "0"), *extra]
    return f"[session{index}]\n" + "".join(f"{k}={v}\n" for k, v in keys)


class Zephlin:
    """A copy of the program in a directory of its own, with its sessions."""

    def __init__(self, program, work, name):
        self.dir = os.path.join(work, "app-" + name)
        os.makedirs(self.dir, exist_ok=True)
        shutil.copy2(program, os.path.join(self.dir, "zephlin"))
        self.sections = []

    def add(self, *args, **kwargs):
        self.sections.append(session_section(len(self.sections), *args, **kwargs))

    def write(self):
        with open(os.path.join(self.dir, "zephlin.ini"), "w") as f:
            f.write(f"[global]\nsessions={len(self.sections)}\n" + "".join(self.sections))

    def argv(self, *names):
        return [os.path.join(self.dir, "zephlin"), "/hide", *names, "/exit"]

    def env(self):
        env = dict(os.environ)
        env.update(DISPLAY="", WAYLAND_DISPLAY="", QT_QPA_PLATFORM="")
        return env


# --- Workloads ---

def make_tree(path, dirs, files, mtime, size=FILE_BYTES):
    """dirs directories of files files of size bytes each, all with the same whole-minute time."""
    for d in range(dirs):
        folder = os.path.join(path, f"d{d:03d}")
        os.makedirs(folder, exist_ok=True)
        for i in range(files):
            name = os.path.join(folder, f"f{i:04d}.dat")
            with open(name, "wb") as f:
                f.write((b"%08d:%08d " % (d, i)) * (size // 18) + b"\n" * (size % 18))
            os.utime(name, (mtime, mtime))
        os.utime(folder, (mtime, mtime))


def copy_tree(source, target):
    subprocess.run(["cp", "-a", source, target], check=True)


def crc_store(path, files_root):
    """The CRC file a previous run would have left: full local path, then signed CRC-32."""
    lines = []
    for folder, subdirs, names in os.walk(files_root):
        subdirs.sort()
        for name in sorted(names):
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                crc = zlib.crc32(f.read())
            lines += [full, str(crc - (1 << 32) if crc >= 1 << 31 else crc)]
    with open(path, "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))


class Client:
    """One way of doing a workload: a command, what to clear before each run, a check."""

    def __init__(self, name, argv, reset=None, check=None, cwd=None, env=None):
        self.name, self.argv, self.reset, self.check, self.cwd, self.env = name, argv, reset, check, cwd, env
        self.samples = []


class Workload:
    def __init__(self, key, title, clients, reference, targets):
        self.key, self.title, self.clients, self.reference, self.targets = key, title, clients, reference, targets


def remover(*paths):
    def reset():
        for p in paths:
            if os.path.isdir(p):
                shutil.rmtree(p)
            elif os.path.exists(p):
                os.remove(p)
        drop_dirty_pages()
    return reset


def checker(path, expected):
    def check():
        got = tree_size(path) if os.path.isdir(path) else (1, os.path.getsize(path)) if os.path.exists(path) else (0, 0)
        return None if got == expected else f"{path}: {got[0]} files, {got[1]} bytes; expected {expected}"
    return check


def run_workload(w):
    print(f"  {w.title}: ", end="", flush=True)
    for round_ in range(ROUNDS + 1):
        for c in w.clients:
            if c.reset:
                c.reset()
            s = measure(c.argv, cwd=c.cwd, env=c.env)
            if s.ok and c.check:
                problem = c.check()
                if problem:
                    s.ok, s.note = False, "wrong result: " + problem
            if not s.ok:
                print(f"\n    {c.name} FAILED: {s.note}", end="", flush=True)
            if round_ > 0:
                c.samples.append(s)
        print("." if round_ else "w", end="", flush=True)
    print(flush=True)


def spread(values):
    return f"{statistics.median(values):.2f} [{min(values):.2f}..{max(values):.2f}]"


def print_table(workloads):
    print()
    print(f"{'workload':<34} {'client':<16} {'wall s median [min..max]':<26} {'cpu s':>7} {'rss MiB':>8}"
          f"  {'Zephlin/this wall':<22} {'cpu':>5}")
    verdicts = []
    for w in workloads:
        ours = w.clients[0]
        for c in w.clients:
            if not c.samples:
                continue
            ok = all(s.ok for s in c.samples)
            walls = [s.wall for s in c.samples]
            cpus = [s.cpu for s in c.samples]
            rss = max(s.rss_mib for s in c.samples)
            ratio = cpu_ratio = ""
            if c is not ours and ours.samples:
                ratio = spread([a.wall / b.wall for a, b in zip(ours.samples, c.samples)])
                cpu_ratio = f"{statistics.median([s.cpu for s in ours.samples]) / max(1e-3, statistics.median(cpus)):.2f}"
            print(f"{w.title:<34} {c.name:<16} {spread(walls):<26} {statistics.median(cpus):7.2f} {rss:8.1f}"
                  f"  {ratio:<22} {cpu_ratio:>5}{'' if ok else '  FAILED'}")
        verdicts += [(w, t) for t in w.targets]
    print("\nTargets")
    for w, (what, limit, measure_of) in verdicts:
        value = measure_of(w)
        if value is None:
            continue
        print(f"  {w.title:<34} {what:<36} {value:8.2f}  (at most {limit})  {'met' if value <= limit else 'MISSED'}")


def wall_ratio(name):
    def of(w):
        ours = w.clients[0].samples
        peer = next((c for c in w.clients if c.name == name), None)
        if not ours or not peer or not peer.samples:
            return None
        return statistics.median([a.wall / b.wall for a, b in zip(ours, peer.samples)])
    return of


def cpu_ratio(name):
    def of(w):
        ours = w.clients[0].samples
        peer = next((c for c in w.clients if c.name == name), None)
        if not ours or not peer or not peer.samples:
            return None
        return statistics.median([s.cpu for s in ours]) / max(1e-3, statistics.median([s.cpu for s in peer.samples]))
    return of


def our_rss(w):
    return max(s.rss_mib for s in w.clients[0].samples) if w.clients[0].samples else None


RATE_KIB = 8192      # the limit of the bandwidth rows: 8 MiB/s
RATE_SECONDS = 12    # how long each of their transfers lasts at that rate
WINDOW_S = 5.0


def bytes_in(folder):
    """What the files under folder hold so far, hidden ones (a download in progress) too."""
    total = 0
    for path, _, names in os.walk(folder):
        for name in names:
            try:
                total += os.lstat(os.path.join(path, name)).st_size
            except OSError:
                pass
    return total


def rate_windows(program, work, name, mode, local_path, remote_path, port, watched, connections):
    """Runs one limited session, samples the bytes that arrived; the rate of every 5-second
    window between the first byte and the last, as a share of the limit."""
    z = Zephlin(program, work, "rate-" + name)
    z.add(name, mode, local_path, remote_path, port, recurse=False,
          extra=(("ratelimit", str(RATE_KIB)), ("connections", str(connections))))
    z.write()
    child = subprocess.Popen(z.argv(name), cwd=work, env=z.env(), stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples = []
    while child.poll() is None:
        samples.append((time.perf_counter(), bytes_in(watched)))
        time.sleep(0.1)
    samples.append((time.perf_counter(), bytes_in(watched)))
    moving = [(t, b) for t, b in samples if b > 0]
    shares = []
    for i, (t0, b0) in enumerate(moving):
        later = [(t, b) for t, b in moving[i:] if t - t0 >= WINDOW_S]
        if not later or later[0][1] >= moving[-1][1]:
            break  # windows that reach the end measure the tail, not the rate held
        t1, b1 = later[0]
        shares.append((b1 - b0) / (t1 - t0) / (RATE_KIB * 1024))
    return child.returncode, shares


def rate_limit_rows(program, work, root, local, port):
    """The bandwidth limit over a long transfer: one download, and four uploads at once over
    four connections that share the limit."""
    size = RATE_KIB * 1024 * RATE_SECONDS
    source = os.path.join(local, "rate-src")
    os.makedirs(source)
    os.makedirs(os.path.join(root, "rate"))
    for n in range(4):
        with open(os.path.join(source, f"part{n}.bin"), "wb") as f:
            f.write(os.urandom(size // 4))
    os.link(os.path.join(source, "part0.bin"), os.path.join(root, "rate", "whole.bin"))
    with open(os.path.join(root, "rate", "whole.bin"), "ab") as f:
        f.write(os.urandom(size - size // 4))
    down = os.path.join(local, "rate-down")
    up = os.path.join(root, "rate-up")
    print(f"\nBandwidth limit {RATE_KIB} KiB/s, {RATE_SECONDS} s at that rate; every {WINDOW_S:.0f}-second window"
          " as a share of the limit (target: 0.90 to 1.10)")
    for label, args, watched in (
            ("1 file down, 1 connection", ("down", "copyremotetolocal", down, "/rate/whole.bin", 1), down),
            ("4 files up, 4 connections", ("up", "copylocaltoremote", source + "/", "/rate-up/", 4), up)):
        for _ in range(ROUNDS):
            remover(down, up)()
            code, shares = rate_windows(program, work, args[0], args[1], args[2], args[3], port, watched, args[4])
            verdict = "met" if shares and 0.9 <= min(shares) and max(shares) <= 1.1 else "MISSED"
            print(f"  {label:<28} exit {code}, {len(shares)} windows, share {min(shares, default=0):.3f}"
                  f" .. {max(shares, default=0):.3f}  {verdict}")


def first_copy_up(program, work, root, source, port, expected, lftp_open, missing):
    """The first copy of the large tree to the server, over four connections each."""
    z = Zephlin(program, work, "hugeup")
    z.add("hugeup", "copylocaltoremote", source + "/", "/hu-z", port, extra=(("connections", "4"),))
    z.write()
    target = lambda n: os.path.join(root, f"hu-{n}")
    clients = [Client("zephlin 4 conn.", z.argv("hugeup"), remover(target("z")), checker(target("z"), expected),
                      cwd=work, env=z.env())]
    if "lftp" not in missing:
        clients.append(Client("lftp --parallel=4", [PEERS["lftp"], "-e", f"mirror -R --parallel=4 {source} hu-l; quit",
                                                     *lftp_open], remover(target("l")), checker(target("l"), expected)))
    return Workload("hugeup", f"{expected[0]} files first copy up", clients, "lftp --parallel=4",
                    [("wall / lftp --parallel=4", 1.0, wall_ratio("lftp --parallel=4"))])


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    program = os.path.join(build, "zephlin")
    if not os.access(VSFTPD, os.X_OK) or os.geteuid() != 0:
        print("bench_program: needs /usr/sbin/vsftpd and root (the server chroots): nothing measured")
        return 0
    if not os.access(program, os.X_OK):
        print(f"bench_program: {program} not built")
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop the server and clean up
    missing = [n for n, p in PEERS.items() if not os.access(p, os.X_OK)]
    work = tempfile.mkdtemp(prefix="zephlin-bench-", dir=work_parent())
    os.chmod(work, 0o755)
    chroot = os.path.join(work, "chroot")
    root = chroot + WRITABLE
    local = os.path.join(work, "local")
    os.makedirs(root)
    os.makedirs(local)
    ftp_user = pwd.getpwnam("ftp")  # vsftpd's anonymous user writes into the root
    os.chown(root, ftp_user.pw_uid, ftp_user.pw_gid)
    server = None
    try:
        server, port = start_vsftpd(work, chroot)
        url = f"ftp://127.0.0.1:{port}{WRITABLE}"
        rclone_remote = (f":ftp,host=127.0.0.1,port={port},user=anonymous,"
                         f"pass={subprocess.run([PEERS['rclone'], 'obscure', PASSWORD], capture_output=True, text=True).stdout.strip()}:{WRITABLE}"
                         if "rclone" not in missing else "")
        lftp_open = ["-u", f"anonymous,{PASSWORD}", url]  # starts in the writable directory
        minute = (int(time.time()) // 60 - 60) * 60  # an hour ago, on a whole minute
        print(f"bench_program: {'QUICK, ' if QUICK else ''}{ROUNDS} rounds after a warm-up; vsftpd on 127.0.0.1:{port};"
              f" load average {os.getloadavg()[0]:.2f} at start; files in {work}"
              + (f"; not installed: {', '.join(missing)}" if missing else ""))
        workloads = []

        def want(key):
            return not ONLY or key in ONLY

        # One large file, up and down, passive and active.
        if want("up1g") or want("down1g"):
            big = os.path.join(local, "big")
            os.makedirs(big)
            with open(os.path.join(big, "src.bin"), "wb") as f:
                block = bytes((i * 7 + 3) % 251 for i in range(1 << 20))
                for _ in range(BIG_MIB):
                    f.write(block)
            os.makedirs(os.path.join(root, "big"))
            os.link(os.path.join(big, "src.bin"), os.path.join(root, "big", "src.bin"))
            size = BIG_MIB << 20
            z = Zephlin(program, work, "big")
            for passive in (True, False):
                mode = "passive" if passive else "active"
                z.add(f"up-{mode}", "copylocaltoremote", os.path.join(big, "src.bin"), f"/up-{mode}/", port,
                      passive=passive, recurse=False)
                z.add(f"down-{mode}", "copyremotetolocal", os.path.join(local, f"down-{mode}"), "/big/src.bin", port,
                      passive=passive, recurse=False)
            z.write()
            for passive in (True, False) if want("up1g") else ():
                mode = "passive" if passive else "active"
                up = os.path.join(root, f"up-{mode}")
                target = os.path.join(up, "src.bin")
                clients = [Client("zephlin", z.argv(f"up-{mode}"), remover(target), checker(target, (1, size)),
                                  cwd=work, env=z.env())]
                port_flag = [] if passive else ["--ftp-port", "127.0.0.1"]
                if "curl" not in missing:
                    clients.append(Client("curl", [PEERS["curl"], "-s", "-S", *port_flag, "--ftp-create-dirs", "-T",
                                                   os.path.join(big, "src.bin"), f"{url}/up-{mode}/src.bin"],
                                          remover(target), checker(target, (1, size))))
                if "lftp" not in missing:
                    clients.append(Client("lftp", [PEERS["lftp"], "-e",
                                                   f"set ftp:passive-mode {'on' if passive else 'off'}; "
                                                   f"put {os.path.join(big, 'src.bin')} -o up-{mode}/src.bin; quit",
                                                   *lftp_open], remover(target), checker(target, (1, size))))
                if passive and rclone_remote:
                    clients.append(Client("rclone", [PEERS["rclone"], "copyto", os.path.join(big, "src.bin"),
                                                     f"{rclone_remote}/up-{mode}/src.bin"],
                                          remover(target), checker(target, (1, size))))
                workloads.append(Workload("up1g", f"{BIG_MIB} MiB up, {mode}", clients, "curl",
                                          # No worse than the ratios measured before the download work.
                                          [("wall / curl", 0.77, wall_ratio("curl")),
                                           ("cpu / curl", 1.15, cpu_ratio("curl")),
                                           ("peak RSS MiB", 64, our_rss)]))
            for passive in (True, False) if want("down1g") else ():
                mode = "passive" if passive else "active"
                target = os.path.join(local, f"down-{mode}", "src.bin")
                clients = [Client("zephlin", z.argv(f"down-{mode}"), remover(target), checker(target, (1, size)),
                                  cwd=work, env=z.env())]
                if rclone_remote and passive:
                    # One stream, as every other client: rclone's default of four ranged streams
                    # for a large file fails at random against vsftpd ("426 Failure writing
                    # network stream" when it closes a stream early).
                    clients.append(Client("rclone", [PEERS["rclone"], "copyto", "--multi-thread-streams", "0",
                                                     f"{rclone_remote}/big/src.bin", target],
                                          remover(target), checker(target, (1, size))))
                if "curl" not in missing:
                    port_flag = [] if passive else ["--ftp-port", "127.0.0.1"]
                    clients.append(Client("curl", [PEERS["curl"], "-s", "-S", *port_flag, "-o", target,
                                                   f"{url}/big/src.bin"], remover(target), checker(target, (1, size))))
                if "wget" not in missing:
                    clients.append(Client("wget", [PEERS["wget"], "-q", *([] if passive else ["--no-passive-ftp"]),
                                                   "-O", target, f"{url}/big/src.bin"],
                                          remover(target), checker(target, (1, size))))
                if "lftp" not in missing:
                    clients.append(Client("lftp", [PEERS["lftp"], "-e",
                                                   f"set ftp:passive-mode {'on' if passive else 'off'}; "
                                                   f"get big/src.bin -o {target}; quit", *lftp_open],
                                          remover(target), checker(target, (1, size))))
                reference = "rclone" if passive else "curl"
                workloads.append(Workload("down1g", f"{BIG_MIB} MiB down, {mode}", clients, reference,
                                          [(f"wall / {reference}", 1.15, wall_ratio(reference)),
                                           ("cpu / curl", 1.0, cpu_ratio("curl")),
                                           ("peak RSS MiB", 64, our_rss)]))

        # The main thread's responsiveness while the large file goes up: the longest gap between
        # two scheduler ticks, seen by a counting session's row in the program's own window.
        tick_gap = os.path.join(build, "bench", "tick_gap")
        tick_runs = []
        if want("tickgap") and os.access(tick_gap, os.X_OK) and (want("up1g") or want("down1g")):
            z = Zephlin(program, work, "tickgap")
            # The file four times over, so that several ticks fall inside the transfer.
            ticks = os.path.join(local, "tick")
            os.makedirs(ticks)
            for n in range(4):
                os.link(os.path.join(big, "src.bin"), os.path.join(ticks, f"copy{n}.bin"))
            z.add("transfer", "copylocaltoremote", ticks + "/", "/tick/", port, recurse=False)
            z.add("clock", "copylocaltoremote", "", "/never/", port, countdown=1000000)
            z.write()
            for _ in range(ROUNDS):
                remover(os.path.join(root, "tick"))()
                out = subprocess.run([tick_gap, z.dir, "transfer", "clock"], capture_output=True, text=True,
                                     timeout=RUN_LIMIT_S)
                tick_runs.append(out.stdout.strip() or out.stderr.strip())

        # A tree of small files: copy up, copy down, many sessions at once.
        files = TREE_DIRS * TREE_FILES
        tree = os.path.join(local, "tree")
        make_tree(tree, TREE_DIRS, TREE_FILES, minute)
        expected = (files, files * FILE_BYTES)
        if want("copyup"):
            z = Zephlin(program, work, "copyup")
            z.add("copyup", "copylocaltoremote", tree + "/", "/cu-z", port)
            z.write()
            cu = lambda n: os.path.join(root, f"cu-{n}")
            clients = [Client("zephlin", z.argv("copyup"), remover(cu("z")), checker(cu("z"), expected), cwd=work, env=z.env())]
            if "curl" not in missing:
                config = os.path.join(work, "curl-up.conf")
                with open(config, "w") as f:
                    for d in sorted(os.listdir(tree)):
                        for name in sorted(os.listdir(os.path.join(tree, d))):
                            f.write(f'upload-file = "{tree}/{d}/{name}"\nurl = "{url}/cu-c/{d}/{name}"\n')
                clients.append(Client("curl -K", [PEERS["curl"], "-s", "-S", "--ftp-create-dirs", "-K", config],
                                      remover(cu("c")), checker(cu("c"), expected)))
            if "lftp" not in missing:
                clients.append(Client("lftp mirror -R", [PEERS["lftp"], "-e", f"mirror -R {tree} cu-l; quit", *lftp_open],
                                      remover(cu("l")), checker(cu("l"), expected)))
            workloads.append(Workload("copyup", f"{files} files copy up", clients, "curl -K",
                                      [("wall / curl -K", 1.1, wall_ratio("curl -K"))]))
        if want("copydown"):
            copy_tree(tree, os.path.join(root, "tree"))
            z = Zephlin(program, work, "copydown")
            z.add("copydown", "copyremotetolocal", os.path.join(local, "cd-z"), "/tree/", port)
            z.write()
            cd = lambda n: os.path.join(local, f"cd-{n}")
            clients = [Client("zephlin", z.argv("copydown"), remover(cd("z")), checker(cd("z"), expected), cwd=work, env=z.env())]
            if "wget" not in missing:
                clients.append(Client("wget -m", [PEERS["wget"], "-q", "-m", "-nH", "-P", cd("w"), f"{url}/tree/"],
                                      remover(cd("w")), checker(cd("w"), expected)))
            if "lftp" not in missing:
                clients.append(Client("lftp mirror", [PEERS["lftp"], "-e", f"mirror tree {cd('l')}; quit", *lftp_open],
                                      remover(cd("l")), checker(cd("l"), expected)))
            workloads.append(Workload("copydown", f"{files} files copy down", clients, "wget -m",
                                      [("wall / wget -m", 1.1, wall_ratio("wget -m"))]))
        if want("sessions"):
            # The same files, grouped so that each of the sessions sends its own share.
            groups = os.path.join(local, "groups")
            per = TREE_DIRS // SESSIONS_AT_ONCE if TREE_DIRS >= SESSIONS_AT_ONCE else 1
            count = min(SESSIONS_AT_ONCE, TREE_DIRS)
            z = Zephlin(program, work, "sessions")
            for g in range(count):
                gdir = os.path.join(groups, f"g{g:02d}")
                os.makedirs(gdir)
                for d in range(g * per, (g + 1) * per):
                    copy_tree(os.path.join(tree, f"d{d:03d}"), os.path.join(gdir, f"d{d:03d}"))
                z.add(f"g{g:02d}", "copylocaltoremote", gdir + "/", f"/many/g{g:02d}", port)  # /many made by reset
            z.add("single", "copylocaltoremote", tree + "/", "/one", port)
            z.write()
            names = [f"g{g:02d}" for g in range(count)]
            part = (count * per * TREE_FILES, count * per * TREE_FILES * FILE_BYTES)
            def fresh_many():
                remover(os.path.join(root, "many"))()
                os.makedirs(os.path.join(root, "many"))
                os.chown(os.path.join(root, "many"), ftp_user.pw_uid, ftp_user.pw_gid)

            clients = [Client(f"zephlin {count} sessions", z.argv(*names), fresh_many,
                              checker(os.path.join(root, "many"), part), cwd=work, env=z.env()),
                       Client("zephlin 1 session", z.argv("single"), remover(os.path.join(root, "one")),
                              checker(os.path.join(root, "one"), expected), cwd=work, env=z.env())]
            if "lftp" not in missing:
                clients.append(Client("lftp 4 connections", [PEERS["lftp"], "-e", f"mirror -R --parallel=4 {tree} l4; quit",
                                                              *lftp_open],
                                      remover(os.path.join(root, "l4")), checker(os.path.join(root, "l4"), expected)))
            workloads.append(Workload("sessions", f"{count} sessions at once", clients, "zephlin 1 session",
                                      [("wall / one session", 0.6, wall_ratio("zephlin 1 session"))]))

        # No-change mirrors, both ways, on the tree and on a tree ten times larger.
        if want("nochange"):
            shapes = [("tree", tree, TREE_DIRS * TREE_FILES, FILE_BYTES)]
            if HUGE_DIRS:
                huge = os.path.join(local, "huge")
                make_tree(huge, HUGE_DIRS, HUGE_FILES, minute, HUGE_BYTES)
                shapes.append(("huge", huge, HUGE_DIRS * HUGE_FILES, HUGE_BYTES))
            for label, source, count, size in shapes:
                expected = (count, count * size)
                z = Zephlin(program, work, "nochange-" + label)
                # A new session's count of connections; the peers run with their own defaults too.
                z.add("up", "synclocaltoremote", source + "/", f"/nc-{label}-z/", port, crc="crcstore",
                      extra=(("connections", "4"),))
                z.add("down", "syncremotetolocal", os.path.join(local, f"nd-{label}-z"), f"/src-{label}/", port,
                      extra=(("connections", "4"),))
                z.write()
                crc_store(os.path.join(z.dir, "crcstore"), source)
                for n in ("z", "r", "l"):
                    copy_tree(source, os.path.join(root, f"nc-{label}-{n}"))
                copy_tree(source, os.path.join(root, f"src-{label}"))
                copy_tree(source, os.path.join(local, f"nd-{label}-z"))
                copy_tree(source, os.path.join(local, f"nd-{label}-l"))
                os.makedirs(os.path.join(local, f"nd-{label}-w"))
                os.makedirs(os.path.join(local, f"nd-{label}-w", WRITABLE.strip("/")))
                copy_tree(source, os.path.join(local, f"nd-{label}-w", WRITABLE.strip("/"), f"src-{label}"))
                os.sync()
                up = [Client("zephlin", z.argv("up"), None, checker(os.path.join(root, f"nc-{label}-z"), expected),
                             cwd=work, env=z.env())]
                if rclone_remote:
                    up.append(Client("rclone --transfers 1", [PEERS["rclone"], "sync", "--transfers", "1", source,
                                                              f"{rclone_remote}/nc-{label}-r"],
                                     None, checker(os.path.join(root, f"nc-{label}-r"), expected)))
                if "lftp" not in missing:
                    up.append(Client("lftp mirror -R", [PEERS["lftp"], "-e", f"mirror -R {source} nc-{label}-l; quit",
                                                        *lftp_open], None,
                                     checker(os.path.join(root, f"nc-{label}-l"), expected)))
                targets = [("wall / rclone", 1.0, wall_ratio("rclone --transfers 1"))]
                if label == "huge":
                    targets.append(("peak RSS MiB", 100, our_rss))
                workloads.append(Workload("nochange", f"{count} files no-change up", up, "rclone --transfers 1", targets))
                down = [Client("zephlin", z.argv("down"), None, checker(os.path.join(local, f"nd-{label}-z"), expected),
                               cwd=work, env=z.env())]
                if "wget" not in missing:
                    wdir = os.path.join(local, f"nd-{label}-w")
                    down.append(Client("wget -m", [PEERS["wget"], "-q", "-m", "-nH", "-P", wdir, f"{url}/src-{label}/"],
                                       None, checker(wdir, expected)))
                if "lftp" not in missing:
                    down.append(Client("lftp mirror", [PEERS["lftp"], "-e",
                                                       f"mirror src-{label} {os.path.join(local, f'nd-{label}-l')}; quit",
                                                       *lftp_open], None,
                                       checker(os.path.join(local, f"nd-{label}-l"), expected)))
                if rclone_remote:
                    rdir = os.path.join(local, f"nd-{label}-r")
                    copy_tree(source, rdir)
                    down.append(Client("rclone --transfers 1", [PEERS["rclone"], "sync", "--transfers", "1",
                                                                f"{rclone_remote}/src-{label}", rdir],
                                       None, checker(rdir, expected)))
                targets = [("wall / wget -m", 1.0, wall_ratio("wget -m"))]
                if label == "huge":
                    targets = [("wall / rclone", 1.0, wall_ratio("rclone --transfers 1")),
                               ("peak RSS MiB", 100, our_rss)]
                workloads.append(Workload("nochange", f"{count} files no-change down", down, "wget -m", targets))
                if label == "huge" and want("hugeup"):
                    workloads.append(first_copy_up(program, work, root, source, port, expected, lftp_open, missing))

        for w in workloads:
            run_workload(w)
        print_table(workloads)
        if want("ratelimit"):
            rate_limit_rows(program, work, root, local, port)
        if tick_runs:
            gaps = [float(r.split("longest gap ")[1].split()[0]) for r in tick_runs if "longest gap " in r]
            print(f"\nMain thread while 4 x {BIG_MIB} MiB go up, longest gap between scheduler ticks (target under 1.2 s):")
            for r in tick_runs:
                print("  " + r)
            if gaps:
                print(f"  median {statistics.median(gaps):.3f} s, worst {max(gaps):.3f} s: "
                      f"{'met' if max(gaps) < 1.2 else 'MISSED'}")
        print(f"\nload average {os.getloadavg()[0]:.2f} at the end")
        return 0
    finally:
        if server:
            os.killpg(server.pid, signal.SIGTERM)
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
