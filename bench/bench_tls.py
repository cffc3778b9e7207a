#!/usr/bin/python3
"""The built program against curl over FTP with TLS, on the same workloads, in the same run.

Starts its own vsftpd on 127.0.0.1 (anonymous, chrooted into a temporary directory) that
requires TLS on the control and data connections, with a self-signed certificate made here;
Zephlin's sessions pin that certificate's fingerprint, curl (--ssl-reqd) is told to accept it.
Workloads: one large file up and down, and a tree of 4 KiB files copied up and down in one
connection (curl -K with a config naming every file, so that it keeps its connection).
Measuring, alternating and the table are those of bench_program.py.

  bench_tls.py BUILD_DIR            # full: 1 GiB, 1,000 files, 3 rounds
  QUICK=1 bench_tls.py BUILD_DIR    # short: 64 MiB, 100 files, 3 rounds
  ZEPHLIN_BENCH_ONLY=up1g,copydown bench_tls.py BUILD_DIR   # some workloads only
  ZEPHLIN_BENCH_TLS_FILES=100 bench_tls.py BUILD_DIR          # the large file in full, fewer small ones

Exits 0 and says so when vsftpd is not installed or not run as root (it needs to chroot).
"""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_program as bp  # noqa: E402

QUICK = bp.QUICK
ROUNDS = int(os.environ.get("ZEPHLIN_BENCH_ROUNDS", "3"))
BIG_MIB = int(os.environ.get("ZEPHLIN_BENCH_TLS_MIB") or ("64" if QUICK else "1024"))
TREE_FILES = 100  # files in each directory
TREE_DIRS = max(1, int(os.environ.get("ZEPHLIN_BENCH_TLS_FILES") or ("100" if QUICK else "1000")) // TREE_FILES)
CURL = bp.PEERS["curl"]
OPENSSL = "/usr/bin/openssl"


def make_certificate(work):
    """A self-signed certificate for 127.0.0.1 and its SHA-256 fingerprint."""
    cert, key = os.path.join(work, "server.pem"), os.path.join(work, "server.key")
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    out = subprocess.run([OPENSSL, "x509", "-noout", "-fingerprint", "-sha256", "-in", cert], check=True,
                         capture_output=True, text=True).stdout
    return cert, key, out.strip().split("=", 1)[1]


# The test fixture's stricter server (TLS session reuse on data connections, a close_notify before
# the end of an upload) makes curl -K truncate uploads and fail some with 522, so by default the
# server is lenient and every client completes; ZEPHLIN_BENCH_TLS_STRICT=1 measures the strict one.
STRICT = os.environ.get("ZEPHLIN_BENCH_TLS_STRICT", "") not in ("", "0")


def tls_settings(cert, key):
    """vsftpd's lines for explicit TLS required on the control and data connections."""
    strict = "YES" if STRICT else "NO"
    return ("ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
            f"require_ssl_reuse={strict}\nstrict_ssl_read_eof={strict}\nssl_ciphers=HIGH\n"
            f"rsa_cert_file={cert}\nrsa_private_key_file={key}\nimplicit_ssl=NO\n")


def curl(*args):
    return [CURL, "-s", "-S", "--ssl-reqd", "-k", *args]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    program = os.path.join(build, "zephlin")
    if not os.access(bp.VSFTPD, os.X_OK) or os.geteuid() != 0:
        print("bench_tls: needs /usr/sbin/vsftpd and root (the server chroots): nothing measured")
        return 0
    if not os.access(program, os.X_OK):
        print(f"bench_tls: {program} not built")
        return 1
    if not os.access(CURL, os.X_OK) or not os.access(OPENSSL, os.X_OK):
        print("bench_tls: needs curl and openssl: nothing measured")
        return 0
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop the server and clean up
    bp.ROUNDS = ROUNDS
    work = tempfile.mkdtemp(prefix="zephlin-bench-tls-", dir=bp.work_parent())
    os.chmod(work, 0o755)
    chroot = os.path.join(work, "chroot")
    root = chroot + bp.WRITABLE
    local = os.path.join(work, "local")
    os.makedirs(root)
    os.makedirs(local)
    ftp_user = pwd.getpwnam("ftp")  # vsftpd's anonymous user writes into the root
    os.chown(root, ftp_user.pw_uid, ftp_user.pw_gid)
    server = None
    try:
        cert, key, fingerprint = make_certificate(work)
        server, port = bp.start_vsftpd(work, chroot, tls_settings(cert, key))
        url = f"ftp://127.0.0.1:{port}{bp.WRITABLE}"
        tls = (("encryption", "explicit"), ("tlsfingerprint", fingerprint))
        print(f"bench_tls: {'QUICK, ' if QUICK else ''}{ROUNDS} rounds after a warm-up; vsftpd with explicit TLS"
              f"{' (strict)' if STRICT else ''} on"
              f" 127.0.0.1:{port}; load average {os.getloadavg()[0]:.2f} at start; files in {work}")
        workloads = []

        def want(key):
            return not bp.ONLY or key in bp.ONLY

        z = bp.Zephlin(program, work, "tls")
        big = os.path.join(local, "big")
        size = BIG_MIB << 20
        if want("up1g") or want("down1g"):
            os.makedirs(big)
            with open(os.path.join(big, "src.bin"), "wb") as f:
                block = bytes((i * 7 + 3) % 251 for i in range(1 << 20))
                for _ in range(BIG_MIB):
                    f.write(block)
            os.makedirs(os.path.join(root, "big"))
            os.link(os.path.join(big, "src.bin"), os.path.join(root, "big", "src.bin"))
            z.add("up", "copylocaltoremote", os.path.join(big, "src.bin"), "/up/", port, recurse=False, extra=tls)
            z.add("down", "copyremotetolocal", os.path.join(local, "down"), "/big/src.bin", port, recurse=False,
                  extra=tls)
        files = TREE_DIRS * TREE_FILES
        tree = os.path.join(local, "tree")
        if want("copyup") or want("copydown"):
            minute = (int(time.time()) // 60 - 60) * 60
            bp.make_tree(tree, TREE_DIRS, TREE_FILES, minute)
            z.add("copyup", "copylocaltoremote", tree + "/", "/cu-z", port, extra=tls)
            z.add("copydown", "copyremotetolocal", os.path.join(local, "cd-z"), "/tree/", port, extra=tls)
        z.write()
        big_targets = [("wall / curl", 1.1, bp.wall_ratio("curl")), ("cpu / curl", 1.1, bp.cpu_ratio("curl"))]

        if want("up1g"):
            target = os.path.join(root, "up", "src.bin")
            check = bp.checker(target, (1, size))
            clients = [bp.Client("zephlin", z.argv("up"), bp.remover(target), check, cwd=work, env=z.env()),
                       bp.Client("curl", curl("--ftp-create-dirs", "-T", os.path.join(big, "src.bin"),
                                              f"{url}/up/src.bin"), bp.remover(target), check)]
            workloads.append(bp.Workload("up1g", f"{BIG_MIB} MiB up, TLS", clients, "curl", big_targets))
        if want("down1g"):
            target = os.path.join(local, "down", "src.bin")
            check = bp.checker(target, (1, size))
            clients = [bp.Client("zephlin", z.argv("down"), bp.remover(target), check, cwd=work, env=z.env()),
                       bp.Client("curl", curl("--create-dirs", "-o", target, f"{url}/big/src.bin"),
                                 bp.remover(target), check)]
            workloads.append(bp.Workload("down1g", f"{BIG_MIB} MiB down, TLS", clients, "curl", big_targets))

        expected = (files, files * bp.FILE_BYTES)
        names = [(d, n) for d in sorted(os.listdir(tree)) for n in sorted(os.listdir(os.path.join(tree, d)))] \
            if os.path.isdir(tree) else []
        if want("copyup"):
            config = os.path.join(work, "curl-up.conf")
            with open(config, "w") as f:
                for d, n in names:
                    f.write(f'upload-file = "{tree}/{d}/{n}"\nurl = "{url}/cu-c/{d}/{n}"\n')
            cu = lambda n: os.path.join(root, f"cu-{n}")  # noqa: E731
            clients = [bp.Client("zephlin", z.argv("copyup"), bp.remover(cu("z")), bp.checker(cu("z"), expected),
                                 cwd=work, env=z.env()),
                       bp.Client("curl -K", curl("--ftp-create-dirs", "-K", config), bp.remover(cu("c")),
                                 bp.checker(cu("c"), expected))]
            workloads.append(bp.Workload("copyup", f"{files} files copy up, TLS", clients, "curl -K",
                                         [("wall / curl -K", 1.0, bp.wall_ratio("curl -K"))]))
        if want("copydown"):
            bp.copy_tree(tree, os.path.join(root, "tree"))
            config = os.path.join(work, "curl-down.conf")
            cd = lambda n: os.path.join(local, f"cd-{n}")  # noqa: E731
            # Without --ignore-content-length curl asks SIZE between opening the data connection and
            # RETR; while the data connection's TLS handshake waits for RETR, curl watches only that
            # connection and sees the reply up to 200 ms late, for every file. Without SIZE it has
            # one round trip less than otherwise, and no wait.
            with open(config, "w") as f:
                for d, n in names:
                    f.write(f'url = "{url}/tree/{d}/{n}"\noutput = "{cd("c")}/{d}/{n}"\n')
            clients = [bp.Client("zephlin", z.argv("copydown"), bp.remover(cd("z")), bp.checker(cd("z"), expected),
                                 cwd=work, env=z.env()),
                       bp.Client("curl -K", curl("--create-dirs", "--ignore-content-length", "-K", config),
                                 bp.remover(cd("c")), bp.checker(cd("c"), expected))]
            workloads.append(bp.Workload("copydown", f"{files} files copy down, TLS", clients, "curl -K",
                                         [("wall / curl -K", 1.0, bp.wall_ratio("curl -K"))]))

        for w in workloads:
            bp.run_workload(w)
        bp.print_table(workloads)
        print(f"\nload average {os.getloadavg()[0]:.2f} at the end")
        return 0
    finally:
        if server:
            os.killpg(server.pid, signal.SIGTERM)
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
