#!/usr/bin/python3
"""The built program against the FTP clients over a slow network, on the same workloads.

Loopback has no delay, and this machine cannot add one in the kernel, so the server makes
it: latency_ftpd.py (pyftpdlib) sends every reply, and takes up every data connection,
25 ms late (ZEPHLIN_BENCH_LATENCY_MS). A client that waits for each reply pays 25 ms per
exchange, as it would with a server that far away; see latency_ftpd.py for what is and is
not modelled. Workloads on a tree of 4 KiB files in 10 directories: copy up, copy down, and
the no-change "make remote the same" and "make local the same". Zephlin runs with one
connection and with four ("connections=4"); the peers are curl -K (one connection, every
file named in its config), wget -m, lftp mirror (one connection and --parallel=4) and
rclone copy/sync (4 transfers, 8 checkers). Beside the plain server a second one requires
explicit TLS on the control and data connections (a self-signed certificate, pinned by
Zephlin's sessions), with the same delays; Zephlin runs against it with one and with four
connections too, right after its plain runs in each round, and the targets compare each
TLS run with the plain run of its round. The peers run plain only. The clients of a
workload take turns within each round; the table gives medians of the rounds and the ratios
of each round.

A second table counts what each client asked of the server in its last round: replies per
file (every reply is one 25 ms wait unless the client sent commands without waiting) and
the commands sent most.

  bench_latency.py BUILD_DIR            # full: 1,000 files in 10 directories, 5 rounds (about an hour and a half: 63 minutes measured without TLS, 37 with the peers left out)
  QUICK=1 bench_latency.py BUILD_DIR    # short: 200 files in 2 directories, 3 rounds (about 10 minutes)
  ZEPHLIN_BENCH_ONLY=copyup,nochange bench_latency.py BUILD_DIR   # some workloads only
  ZEPHLIN_BENCH_LATENCY_FILES=400 ZEPHLIN_BENCH_ROUNDS=3 bench_latency.py BUILD_DIR
  ZEPHLIN_BENCH_LATENCY_TLS=0 bench_latency.py BUILD_DIR           # plain only, no TLS server
  ZEPHLIN_BENCH_LATENCY_TLS=handshake bench_latency.py BUILD_DIR   # one more delay per data connection's TLS handshake
  ZEPHLIN_BENCH_LATENCY_PEERS=0 bench_latency.py BUILD_DIR         # Zephlin only: its TLS / plain ratios
"""

import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_program as bp  # noqa: E402
from bench_tls import OPENSSL, make_certificate  # noqa: E402

QUICK = bp.QUICK
ROUNDS = int(os.environ.get("ZEPHLIN_BENCH_ROUNDS", "3" if QUICK else "5"))
FILES = int(os.environ.get("ZEPHLIN_BENCH_LATENCY_FILES") or ("200" if QUICK else "1000"))
DIRS = 2 if FILES <= 200 else 10
DELAY_MS = float(os.environ.get("ZEPHLIN_BENCH_LATENCY_MS", "25"))
PYTHON = "/usr/bin/python3"
SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "latency_ftpd.py")
TLS_MODE = os.environ.get("ZEPHLIN_BENCH_LATENCY_TLS", "1")
TLS = TLS_MODE != "0"
TLS_HANDSHAKE_DELAY = TLS_MODE == "handshake"
PEERS = os.environ.get("ZEPHLIN_BENCH_LATENCY_PEERS", "1") != "0"
ONLY = bp.ONLY
WRITABLE = bp.WRITABLE  # the sessions' remote paths begin with it


class Server:
    """latency_ftpd.py on a free port, serving root; its counters as JSON in a file."""

    def __init__(self, work, root, name="server", options=()):
        self.stats = os.path.join(work, f"{name}-stats.json")
        self.port = bp.free_port()
        self.process = subprocess.Popen([PYTHON, SERVER, root, str(self.port), str(DELAY_MS / 1000.0), self.stats,
                                         *options],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(work, f"{name}.log"), "w"), start_new_session=True)
        for _ in range(250):
            try:
                import socket
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5) as s:
                    if s.recv(100).startswith(b"220"):
                        return
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise SystemExit("latency_ftpd.py did not start")

    def counters(self):
        """The server's counters once every connection of the last client has closed."""
        data = {}
        for _ in range(50):
            try:
                with open(self.stats) as f:
                    data = json.load(f)
            except (OSError, ValueError):
                pass
            if data and data["opened"] == data["closed"]:
                break
            time.sleep(0.02)
        return data

    def stop(self):
        os.killpg(self.process.pid, signal.SIGTERM)
        self.process.wait()


class Counted(bp.Client):
    """A client whose server counters of its last round are kept; server: the one it talks
    to when not the plain one."""

    def __init__(self, *args, server=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.counted = None
        self.server = server


def difference(after, before):
    commands = {k: v - before.get("commands", {}).get(k, 0) for k, v in after.get("commands", {}).items()}
    return {"replies": after.get("replies", 0) - before.get("replies", 0),
            "data": after.get("data", 0) - before.get("data", 0),
            "connections": after.get("opened", 0) - before.get("opened", 0),
            "commands": {k: v for k, v in commands.items() if v}}


def run_workloads(workloads, plain_server):
    for w in workloads:
        print(f"  {w.title}: ", end="", flush=True)
        for _ in range(ROUNDS):
            for c in w.clients:
                if c.reset:
                    c.reset()
                server = c.server or plain_server
                before = server.counters()
                s = bp.measure(c.argv, cwd=c.cwd, env=c.env)
                c.counted = difference(server.counters(), before)
                if s.ok and c.check:
                    problem = c.check()
                    if problem:
                        s.ok, s.note = False, "wrong result: " + problem
                if not s.ok:
                    print(f"\n    {c.name} FAILED: {s.note}", end="", flush=True)
                c.samples.append(s)
            print(".", end="", flush=True)
        print(flush=True)


def ratio(ours_name, peer_name):
    """Median over the rounds of ours / peer, wall time."""
    def of(w):
        ours = next((c for c in w.clients if c.name == ours_name), None)
        peer = next((c for c in w.clients if c.name == peer_name), None)
        if not ours or not peer or not ours.samples or not peer.samples:
            return None
        return statistics.median([a.wall / b.wall for a, b in zip(ours.samples, peer.samples)])
    return of


def best_ratio(ours_name, peer_names):
    """Median over the rounds of ours / the fastest of the peers in that round, wall time."""
    def of(w):
        ours = next((c for c in w.clients if c.name == ours_name), None)
        peers = [c for c in w.clients if c.name in peer_names and c.samples]
        if not ours or not ours.samples or not peers:
            return None
        return statistics.median([a.wall / min(s.wall for s in theirs)
                                  for a, *theirs in zip(ours.samples, *[p.samples for p in peers])])
    return of


def print_counts(workloads):
    print(f"\nWhat each client asked of the server in its last round ({FILES} files)")
    print(f"{'workload':<30} {'client':<26} {'conns':>5} {'replies/file':>12} {'data/file':>9}  commands")
    for w in workloads:
        for c in w.clients:
            if not c.counted:
                continue
            commands = sorted(c.counted["commands"].items(), key=lambda kv: -kv[1])[:7]
            print(f"{w.title:<30} {c.name:<26} {c.counted['connections']:>5} {c.counted['replies'] / FILES:12.2f}"
                  f" {c.counted['data'] / FILES:9.2f}  " + " ".join(f"{k}={v}" for k, v in commands))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    program = os.path.join(build, "zephlin")
    if not os.access(program, os.X_OK):
        print(f"bench_latency: {program} not built")
        return 1
    try:
        subprocess.run([PYTHON, "-c", "import pyftpdlib"], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        print("bench_latency: needs python3-pyftpdlib: nothing measured")
        return 0
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    missing = [n for n, p in bp.PEERS.items() if not os.access(p, os.X_OK)]
    peers = [n for n in bp.PEERS if PEERS and n not in missing]
    tls_missing = TLS and (not os.access(OPENSSL, os.X_OK)
                           or subprocess.run([PYTHON, "-c", "import OpenSSL"], capture_output=True).returncode != 0)
    work = tempfile.mkdtemp(prefix="zephlin-latency-", dir=bp.work_parent())
    root = os.path.join(work, "root")
    served = root + WRITABLE
    local = os.path.join(work, "local")
    os.makedirs(served)
    os.makedirs(local)
    server = tls_server = None
    try:
        server = Server(work, root)
        port = server.port
        tls = ()
        if TLS and not tls_missing:
            cert, key, fingerprint = make_certificate(work)
            tls_server = Server(work, root, "server-tls", ["--tls", cert, key]
                                + (["--tls-handshake-delay"] if TLS_HANDSHAKE_DELAY else []))
            tls = (("encryption", "explicit"), ("tlsfingerprint", fingerprint))
        url = f"ftp://127.0.0.1:{port}{WRITABLE}"
        rclone = bp.PEERS["rclone"]
        remote = (f":ftp,host=127.0.0.1,port={port},user=anonymous,"
                  f"pass={subprocess.run([rclone, 'obscure', bp.PASSWORD], capture_output=True, text=True).stdout.strip()}:"
                  f"{WRITABLE}" if "rclone" in peers else "")
        rclone_flags = ["--transfers", "4", "--checkers", "8"]
        lftp_open = ["-u", f"anonymous,{bp.PASSWORD}", url]
        minute = (int(time.time()) // 60 - 60) * 60
        print(f"bench_latency: {'QUICK, ' if QUICK else ''}{ROUNDS} rounds; {FILES} files of {bp.FILE_BYTES} bytes in "
              f"{DIRS} directories; every reply and data connection {DELAY_MS:g} ms late; load average "
              f"{os.getloadavg()[0]:.2f} at start" + (f"; not installed: {', '.join(missing)}" if missing else "")
              + ("" if PEERS else "; peers left out")
              + ("; no TLS" if not TLS else "; TLS left out: needs openssl and python3-openssl" if tls_missing
                 else "; Zephlin also over TLS" + (", one more delay per data connection's handshake"
                                                   if TLS_HANDSHAKE_DELAY else "")))

        def want(key):
            return not ONLY or key in ONLY

        tree = os.path.join(local, "tree")
        bp.make_tree(tree, DIRS, FILES // DIRS, minute)
        expected = (FILES, FILES * bp.FILE_BYTES)
        z = bp.Zephlin(program, work, "latency")
        four = (("connections", "4"),)
        workloads = []
        # Zephlin's runs of a workload: client name, tag of its paths, suffix of its session
        # name, server, session settings. Each TLS run follows the plain run it is compared with.
        zephlins = [("zephlin", "z", "", server, ()), ("zephlin TLS", "zt", "tls", tls_server, tls),
                    ("zephlin 4 connections", "z4", "4", server, four),
                    ("zephlin 4 connections TLS", "zt4", "4tls", tls_server, four + tls)]
        zephlins = [run for run in zephlins if run[3]]
        ztags = [run[1] for run in zephlins]

        def add_zephlin(name, mode, local_of, remote_of, crc=False):
            for _, tag, suffix, where, extra in zephlins:
                z.add(name + suffix, mode, local_of(tag), remote_of(tag), where.port, crc=f"crc-{tag}" if crc else "",
                      extra=extra)

        def lftp(name, command, target):
            return [Counted(name, [bp.PEERS["lftp"], "-e", f"{command}; quit", *lftp_open], *target)] \
                if "lftp" in peers else []

        def lftp_pair(command, reset_of, check_of, tag):
            return (lftp("lftp mirror", f"mirror {command(tag)}", (reset_of(tag), check_of(tag)))
                    + lftp("lftp mirror --par=4", f"mirror --parallel=4 {command(tag + '4')}",
                           (reset_of(tag + "4"), check_of(tag + "4"))))

        def zephlin_runs(name, reset_of, check_of):
            return [Counted(client, z.argv(name + suffix), reset_of(tag), check_of(tag), cwd=work, env=z.env(),
                            server=where) for client, tag, suffix, where, _ in zephlins]

        def one_and_four(key, title, clients, single_peer):
            targets = [(f"1 connection / {single_peer}", 1.0, ratio("zephlin", single_peer))]
            if key in ("copyup", "copydown"):
                targets += [("4 connections / lftp --par=4", 1.0, ratio("zephlin 4 connections", "lftp mirror --par=4")),
                            ("4 connections / rclone", 1.0, ratio("zephlin 4 connections", "rclone")),
                            ("4 connections / best parallel peer", 0.9,
                             best_ratio("zephlin 4 connections", ("lftp mirror --par=4", "rclone")))]
            targets += [("TLS 1 connection / plain", 1.1, ratio("zephlin TLS", "zephlin")),
                        ("TLS 4 connections / plain", 1.1, ratio("zephlin 4 connections TLS", "zephlin 4 connections"))]
            workloads.append(bp.Workload(key, title, clients, single_peer, targets))

        if want("copyup"):
            up = lambda n: os.path.join(served, f"cu-{n}")
            reset, check = (lambda n: bp.remover(up(n))), (lambda n: bp.checker(up(n), expected))
            add_zephlin("copyup", "copylocaltoremote", lambda n: tree + "/", lambda n: f"/cu-{n}")
            clients = zephlin_runs("copyup", reset, check)
            if "curl" in peers:
                config = os.path.join(work, "curl-up.conf")
                with open(config, "w") as f:
                    for d in sorted(os.listdir(tree)):
                        for name in sorted(os.listdir(os.path.join(tree, d))):
                            f.write(f'upload-file = "{tree}/{d}/{name}"\nurl = "{url}/cu-c/{d}/{name}"\n')
                clients.append(Counted("curl -K", [bp.PEERS["curl"], "-s", "-S", "--ftp-create-dirs", "-K", config],
                                       reset("c"), check("c")))
            clients += lftp_pair(lambda t: f"-R {tree} cu-{t}", reset, check, "l")
            if remote:
                # rclone takes the server's answer for a missing directory as a failure: it
                # starts from an empty one.
                def empty_cu_r(empty=bp.remover(up("r")), path=up("r")):
                    empty()
                    os.makedirs(path)
                clients.append(Counted("rclone", [rclone, "copy", *rclone_flags, tree, f"{remote}/cu-r"],
                                       empty_cu_r, check("r")))
            one_and_four("copyup", "copy up", clients, "curl -K")
        if want("copydown"):
            bp.copy_tree(tree, os.path.join(served, "tree"))
            down = lambda n: os.path.join(local, f"cd-{n}")
            reset, check = (lambda n: bp.remover(down(n))), (lambda n: bp.checker(down(n), expected))
            add_zephlin("copydown", "copyremotetolocal", down, lambda n: "/tree/")
            clients = zephlin_runs("copydown", reset, check)
            if "wget" in peers:
                clients.append(Counted("wget -m", [bp.PEERS["wget"], "-q", "-m", "-nH", "-P", down("w"), f"{url}/tree/"],
                                       reset("w"), check("w")))
            clients += lftp_pair(lambda t: f"tree {down(t)}", reset, check, "l")
            if remote:
                clients.append(Counted("rclone", [rclone, "copy", *rclone_flags, f"{remote}/tree", down("r")],
                                       reset("r"), check("r")))
            one_and_four("copydown", "copy down", clients, "wget -m")
        if want("nochange"):
            nc = lambda n: os.path.join(served, f"nc-{n}")
            nd = lambda n: os.path.join(local, f"nd-{n}")
            tags = ztags + (["l", "l4"] if "lftp" in peers else []) + (["r"] if remote else [])
            for n in tags:
                bp.copy_tree(tree, nc(n))
            bp.copy_tree(tree, os.path.join(served, "src"))
            for n in tags:
                bp.copy_tree(tree, nd(n))
            if "wget" in peers:
                os.makedirs(os.path.join(nd("w"), WRITABLE.strip("/")))
                bp.copy_tree(tree, os.path.join(nd("w"), WRITABLE.strip("/"), "src"))
            add_zephlin("nochangeup", "synclocaltoremote", lambda n: tree + "/", lambda n: f"/nc-{n}/", crc=True)
            add_zephlin("nochangedown", "syncremotetolocal", nd, lambda n: "/src/")
            for n in ztags:
                bp.crc_store(os.path.join(z.dir, f"crc-{n}"), tree)
            none = lambda n: None
            check_up = lambda n: bp.checker(nc(n), expected)
            clients = zephlin_runs("nochangeup", none, check_up)
            clients += lftp_pair(lambda t: f"-R {tree} nc-{t}", none, check_up, "l")
            if remote:
                clients.append(Counted("rclone", [rclone, "sync", *rclone_flags, tree, f"{remote}/nc-r"],
                                       None, check_up("r")))
            one_and_four("nochange", "no-change make remote same", clients, "lftp mirror")
            check_down = lambda n: bp.checker(nd(n), expected)
            clients = zephlin_runs("nochangedown", none, check_down)
            if "wget" in peers:
                clients.append(Counted("wget -m", [bp.PEERS["wget"], "-q", "-m", "-nH", "-P", nd("w"), f"{url}/src/"],
                                       None, check_down("w")))
            clients += lftp_pair(lambda t: f"src {nd(t)}", none, check_down, "l")
            if remote:
                clients.append(Counted("rclone", [rclone, "sync", *rclone_flags, f"{remote}/src", nd("r")],
                                       None, check_down("r")))
            one_and_four("nochange", "no-change make local same", clients, "lftp mirror")
        z.write()
        os.sync()

        run_workloads(workloads, server)
        bp.print_table(workloads)
        print_counts(workloads)
        print(f"\nload average {os.getloadavg()[0]:.2f} at the end")
        return 0
    finally:
        for running in (server, tls_server):
            if running:
                running.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
