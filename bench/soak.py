#!/usr/bin/python3
"""Soak: the real program, unattended, with many countdown sessions for a long time.

Starts a pyftpdlib server on 127.0.0.1 (a child process of this script, which counts what
reaches it),
prepares SESSIONS countdown sessions (countdown 1 s, the four modes in turn, each with its
own local and remote directories), runs `zephlin /hide /start`
without a display for DURATION seconds, then sends SIGTERM. Reports runs completed, errors,
RSS, open descriptors and threads of the program at the start (after a warm-up) and at the
end, and whether it ended in order within 5 s.

Passive mode only: pyftpdlib stalls active-mode transfers when several clients use PORT at
once (curl -P shows the same), which would measure the server, not the program.

  soak.py PROGRAM [--duration 600] [--sessions 20] [--sanitizer]

Exits 1 when a check fails: an error, an RSS drift of 10% or more (not under a sanitizer,
whose shadow memory grows by design), descriptors at the end differing from the start, a
sanitizer report, or an exit that was not clean and prompt.
"""

import argparse
import logging
import glob
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer

USER, PASSWORD, PASSWORD_KEY = "zephlin", "secret", "Morvelix4"
MODES = ["copylocaltoremote", "synclocaltoremote", "copyremotetolocal", "syncremotetolocal"]
WINDOW_S = 5  # samples of this long at the start and at the end give the figures


class Counts:
    lock = threading.Lock()
    logins = failed_logins = sent = received = incomplete = refused = 0
    examples = {}  # a refusal or broken transfer -> how often it came


class CountingHandler(FTPHandler):
    """Counts runs (logins), whole and broken transfers, and refusals the runs did not expect."""

    def on_login(self, username):
        with Counts.lock:
            Counts.logins += 1

    def on_login_failed(self, username, password):
        with Counts.lock:
            Counts.failed_logins += 1

    def on_file_sent(self, file):
        with Counts.lock:
            Counts.sent += 1

    def on_file_received(self, file):
        with Counts.lock:
            Counts.received += 1

    def on_incomplete_file_sent(self, file):
        with Counts.lock:
            Counts.incomplete += 1
            Counts.examples["broken download"] = Counts.examples.get("broken download", 0) + 1

    def on_incomplete_file_received(self, file):
        with Counts.lock:
            Counts.incomplete += 1
            Counts.examples["broken upload"] = Counts.examples.get("broken upload", 0) + 1

    def pre_process_command(self, line, cmd, arg):
        self.soak_command = cmd
        return super().pre_process_command(line, cmd, arg)

    def respond(self, resp, *rest, **named):
        # Expected refusals: every run of a copy up creates its directory again (550 "File
        # exists"), and every login asks for UTF-8 names, which this server takes without
        # being asked and refuses to be asked for (501 to "OPTS UTF8 ON").
        expected = (resp.startswith("550") and "exists" in resp) or (
            getattr(self, "soak_command", "") == "OPTS" and resp.startswith("501"))
        if resp[:1] in ("4", "5") and not expected:
            with Counts.lock:
                Counts.refused += 1
                key = resp.strip()[:80]
                Counts.examples[key] = Counts.examples.get(key, 0) + 1
        return super().respond(resp, *rest, **named)


def serve(root, port_file, counts_file):
    """The server process: serves until SIGTERM, then writes its counts."""
    config_logging(level=logging.DEBUG if os.environ.get("SOAK_SERVER_LOG") else logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, root, perm="elradfmwMT")
    CountingHandler.authorizer = authorizer
    CountingHandler.banner = "soak server ready"
    server = FTPServer(("127.0.0.1", 0), CountingHandler)
    server.max_cons = 256
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.socket.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    signal.signal(signal.SIGTERM, lambda *_: server.close_all())
    try:
        server.serve_forever(timeout=0.5)
    except OSError:
        pass
    with open(counts_file, "w") as f:
        json.dump({"logins": Counts.logins, "failed_logins": Counts.failed_logins, "sent": Counts.sent,
                   "received": Counts.received, "incomplete": Counts.incomplete, "refused": Counts.refused,
                   "examples": Counts.examples}, f)


def start_server(work):
    """pyftpdlib in a process of its own: in a thread of this script it stalls transfers
    under load. Returns the process, its port and the file its counts will be in."""
    root, port_file, counts_file = (os.path.join(work, n) for n in ("remote", "port.txt", "counts.json"))
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", root, port_file, counts_file])
    deadline = time.monotonic() + 10
    while not os.path.exists(port_file):
        if time.monotonic() > deadline or process.poll() is not None:
            raise SystemExit("the FTP server did not start")
        time.sleep(0.05)
    with open(port_file) as f:
        return process, int(f.read()), counts_file


def stop_server(process, counts_file):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    try:
        with open(counts_file) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def scramble(plain, key=PASSWORD_KEY):
    groups = ["%04X" % (ord(c) ^ ord(key[i % len(key)])) for i, c in enumerate(plain)]
    return "".join(reversed(groups))


def write_files(folder, count, size):
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        with open(os.path.join(folder, f"f{i}.dat"), "wb") as f:
            f.write(os.urandom(size))


def prepare(work, program, port, sessions):
    app = os.path.join(work, "app")
    os.makedirs(app)
    shutil.copy2(program, os.path.join(app, "zephlin"))
    sections = []
    for i in range(sessions):
        mode = MODES[i % len(MODES)]
        local = os.path.join(work, "local", f"s{i}") + "/"
        remote_dir = os.path.join(work, "remote", f"s{i}")
        if mode.endswith("toremote"):
            write_files(local, 5, 16 * 1024)
            write_files(os.path.join(local, "sub"), 2, 4 * 1024)
        else:
            os.makedirs(local, exist_ok=True)
            write_files(remote_dir, 5, 16 * 1024)
            write_files(os.path.join(remote_dir, "sub"), 2, 4 * 1024)
        keys = [("name", f"Soak{i}"), ("localpath", local), ("remotepath", f"/s{i}/"),
                ("sessionstarter", "countdown"), ("countdown", "1"), ("detectwait", "0"), ("sessionmode", mode),
                ("recurse", "1"), ("host", "127.0.0.1"), ("port", str(port)), ("username", USER),
                ("password", scramble(PASSWORD)), ("timeout", "30"), ("abortonfailure", "0"),
                ("passivemode", "1"), ("parentsession", ""),
                ("crcfile", f"s{i}.crc" if mode == "synclocaltoremote" else ""), ("testmode", "0"), ("debugmode", "0")]
        sections.append(f"[session{i}]\n" + "".join(f"{k}={v}\n" for k, v in keys))
    with open(os.path.join(app, "zephlin.ini"), "w") as f:
        f.write(f"[global]\nsessions={sessions}\n" + "".join(sections))
    return app


def sample(pid):
    """RSS in KiB, open descriptors and threads of the process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return (int(fields["VmRSS"].split()[0]), len(os.listdir(f"/proc/{pid}/fd")), int(fields["Threads"]))
    except (OSError, KeyError, ValueError):
        return None


def window(pid, seconds, alive):
    """Samples every 50 ms for `seconds`: the median RSS, the fewest threads, and the
    descriptors at the moments with the fewest threads (between runs, when no worker holds
    a connection or a file)."""
    samples, end = [], time.monotonic() + seconds
    while time.monotonic() < end and alive():
        s = sample(pid)
        if s:
            samples.append(s)
        time.sleep(0.05)
    if not samples:
        return None
    fewest_threads = min(s[2] for s in samples)
    idle_fds = min(s[1] for s in samples if s[2] == fewest_threads)
    return statistics.median(s[0] for s in samples), idle_fds, fewest_threads


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        serve(*sys.argv[2:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--duration", type=int, default=int(os.environ.get("SOAK_SECONDS", "600")))
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--sanitizer", action="store_true",
                        help="the program is built with ThreadSanitizer: collect its reports, no RSS limit")
    args = parser.parse_args()
    warmup = min(20, max(5, args.duration // 10))

    work = tempfile.mkdtemp(prefix="zephlin-soak-")
    os.makedirs(os.path.join(work, "remote"))
    server, port, counts_file = start_server(work)
    app = prepare(work, os.path.abspath(args.program), port, args.sessions)
    env = dict(os.environ, DISPLAY="", WAYLAND_DISPLAY="", QT_QPA_PLATFORM="")
    reports_dir = os.path.join(work, "sanitizer")
    if args.sanitizer:
        os.makedirs(reports_dir)
        env["TSAN_OPTIONS"] = (env.get("TSAN_OPTIONS", "") + f" log_path={reports_dir}/report").strip()
    output = open(os.path.join(work, "output.txt"), "w+")
    started = time.monotonic()
    child = subprocess.Popen([os.path.join(app, "zephlin"), "/hide", "/start"], cwd=work, env=env,
                             stdout=output, stderr=subprocess.STDOUT)
    alive = lambda: child.poll() is None

    print(f"soak: {args.sessions} countdown sessions of 1 s, {args.duration} s, pid {child.pid}, server port {port}", flush=True)
    time.sleep(warmup)
    first = window(child.pid, WINDOW_S, alive)
    while alive() and time.monotonic() - started < args.duration - WINDOW_S:
        time.sleep(1)
    last = window(child.pid, WINDOW_S, alive)

    failures = []
    exit_s = None
    if alive():
        signalled = time.monotonic()
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(timeout=5)
            exit_s = time.monotonic() - signalled
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            failures.append("still running 5 s after SIGTERM")
    else:
        failures.append(f"the program ended by itself after {time.monotonic() - started:.0f} s")
    if child.returncode != 0:
        failures.append(f"exit status {child.returncode}")
    counts = stop_server(server, counts_file)
    if counts is None:
        counts = dict(logins=0, failed_logins=0, sent=0, received=0, incomplete=0, refused=0, examples={})
        failures.append("no counts from the server")
    runs, transfers = counts["logins"], counts["sent"] + counts["received"]
    errors = counts["failed_logins"] + counts["incomplete"] + counts["refused"]
    print(f"runs completed: {runs} ({runs / max(1, args.duration):.1f}/s), files transferred: {transfers}")
    print(f"errors: {errors} (failed logins {counts['failed_logins']}, broken transfers {counts['incomplete']}, "
          f"refusals {counts['refused']})")
    if errors:
        failures.append(f"{errors} errors")
        for what, count in sorted(counts["examples"].items(), key=lambda item: -item[1])[:10]:
            print(f"  {count} x {what}")
    if first and last:
        drift = (last[0] - first[0]) / first[0] * 100
        print(f"RSS: {first[0] / 1024:.1f} MiB at start, {last[0] / 1024:.1f} MiB at end ({drift:+.1f}%)")
        print(f"open descriptors (between runs): {first[1]} at start, {last[1]} at end")
        print(f"threads (between runs): {first[2]} at start, {last[2]} at end")
        if drift >= 10 and not args.sanitizer:
            failures.append(f"RSS drift {drift:+.1f}%")
        if first[1] != last[1]:
            failures.append("descriptors at the end differ from the start")
    else:
        failures.append("no samples")
    if exit_s is not None:
        print(f"ended {exit_s:.2f} s after SIGTERM, exit status {child.returncode}")

    output.seek(0)
    text = output.read()
    reports = [p for p in glob.glob(os.path.join(reports_dir, "*")) if os.path.getsize(p) > 0]
    if "WARNING: ThreadSanitizer" in text or "ERROR: AddressSanitizer" in text or reports:
        failures.append("sanitizer reports")
        print(text[-20000:])
        for path in reports:
            with open(path) as f:
                print(f.read()[-20000:])
    if failures:
        print("FAILED: " + "; ".join(failures))
        print(f"(kept {work})")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
