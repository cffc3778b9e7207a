#!/usr/bin/python3
"""An FTP server for the latency benchmark: pyftpdlib, with every exchange made late.

What it models: a client far from its server. Every reply on the control connection leaves
the server DELAY seconds after the server wrote it, and every data connection is taken up
DELAY seconds after it arrived (passive: accepted; active: connected). Each command that
waits for its reply, and each data connection, so costs the client one DELAY, as a round
trip of that length would over a real network; the bytes of a transfer themselves are not
slowed (no bandwidth limit, no slow start), which for small files is what matters.
Replies keep their order; a client that sends several commands without waiting pays the
delay once for all of them, as it would on a real link.

With --tls CERT KEY the server is the same on pyftpdlib's TLS_FTPHandler, with explicit TLS
(AUTH TLS, PBSZ, PROT P) required on the control connection and on every data connection.
The reply to AUTH TLS is late like any other and the handshake starts once it has left, so
securing the control connection costs its one DELAY. A data connection's handshake only
starts once the connection is taken up, DELAY late; its own messages then go without delay.
A real link charges the round trips of the handshake as well (one for TLS 1.3, two for a
full TLS 1.2 handshake): --tls-handshake-delay charges one more DELAY for each protected
data connection (taken up 2*DELAY late), as for a TLS 1.3 handshake. Not modelled: the
control connection's handshake round trip, the second round trip of a full TLS 1.2
handshake (the server neither requires nor refuses session resumption, and charges resumed
and full handshakes alike), any wait for a close_notify at the end of a data connection,
and the cost of encryption, which is the machine's own and not slowed.

  latency_ftpd.py ROOT PORT DELAY_SECONDS STATS_FILE [MAX_PER_IP] [--tls CERT KEY [--tls-handshake-delay]]

Serves ROOT (read and write) to the anonymous login on 127.0.0.1:PORT.
MAX_PER_IP (default 0: no limit) refuses further connections from one address with 421.
STATS_FILE is rewritten as JSON with every reply and whenever a connection opens or closes:
the connections opened and closed, replies, data connections and the commands received by
verb, for the whole run of the server, so a driver reads the difference across one client's
run.
"""

import argparse
import collections
import json
import os
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, FTPHandler, PassiveDTP
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

try:
    from pyftpdlib.handlers import TLS_FTPHandler
except ImportError:  # without python3-openssl: plain only
    TLS_FTPHandler = None

DELAY = 0.025
HANDSHAKE_DELAY = False  # one more DELAY before a protected data connection is taken up
STATS = {"opened": 0, "closed": 0, "replies": 0, "data": 0, "commands": collections.Counter()}
STATS_FILE = None


def write_stats():
    temp = STATS_FILE + ".tmp"
    with open(temp, "w") as f:
        json.dump(STATS, f)
    os.replace(temp, STATS_FILE)


class PromptIOLoop(IOLoop):
    """The I/O loop whose wait ends when the next late action is due.

    pyftpdlib's epoll loop takes a timeout of 0 (a timer due at once) for "no timeout": it then
    waits for the next socket event, and with every client waiting for a late reply there is
    none; the reply went out only when some client gave up (lftp after 5 minutes)."""

    def poll(self, timeout):
        return super().poll(0.0005 if timeout is not None and timeout <= 0 else timeout)


class LateDelivery:
    """Runs the actions of one connection DELAY after each was asked for, in their order."""

    def __init__(self, ioloop):
        self.ioloop = ioloop
        self.pending = collections.deque()

    def later(self, action, *args):
        self.pending.append((time.monotonic() + DELAY, action, args))
        self.ioloop.call_later(DELAY, self.flush)

    def flush(self):
        # The timers of equal deadlines may fire in any order: each one runs every action
        # that is due, oldest first, so the order of the replies is kept.
        now = time.monotonic() + 0.001
        while self.pending and self.pending[0][0] <= now:
            _, action, args = self.pending.popleft()
            action(*args)


def accept_delay(cmd_channel):
    """How late a data connection of cmd_channel is taken up: one DELAY, one more for its
    TLS handshake when that is charged."""
    protected = getattr(cmd_channel, "_prot", False)
    return DELAY * (2 if HANDSHAKE_DELAY and protected else 1)


class LatePassiveDTP(PassiveDTP):
    def handle_accepted(self, sock, addr):
        STATS["data"] += 1
        self.ioloop.call_later(accept_delay(self.cmd_channel), PassiveDTP.handle_accepted, self, sock, addr)


class LateActiveDTP(ActiveDTP):
    def handle_connect(self):
        STATS["data"] += 1
        self.ioloop.call_later(accept_delay(self.cmd_channel), ActiveDTP.handle_connect, self)


class LateControl:
    """What makes a control connection late, put before the plain or the TLS handler."""

    passive_dtp = LatePassiveDTP
    active_dtp = LateActiveDTP
    banner = "latency server ready"

    def on_connect(self):
        STATS["opened"] += 1
        write_stats()

    def on_disconnect(self):
        STATS["closed"] += 1
        write_stats()

    def _late(self):
        if not hasattr(self, "_delivery"):
            self._delivery = LateDelivery(self.ioloop)
        return self._delivery

    def push(self, s):
        STATS["replies"] += 1
        write_stats()
        self._late().later(super().push, s)

    def close_when_done(self):
        # After the replies that are still on their way, as a closing connection would be.
        self._late().later(super().close_when_done)

    def pre_process_command(self, line, cmd, arg):
        STATS["commands"][cmd] += 1
        return super().pre_process_command(line, cmd, arg)


class LateHandler(LateControl, FTPHandler):
    pass


if TLS_FTPHandler:
    class LateTLSHandler(LateControl, TLS_FTPHandler):
        tls_control_required = True
        tls_data_required = True

        def secure_connection(self, ssl_context):
            # The reply to AUTH TLS is still on its way: the handshake starts after it, in
            # the clear, has left.
            self._late().later(super().secure_connection, ssl_context)


def arguments():
    parser = argparse.ArgumentParser(description="An FTP server that makes every exchange late.")
    parser.add_argument("root")
    parser.add_argument("port", type=int)
    parser.add_argument("delay", type=float, help="seconds")
    parser.add_argument("stats_file")
    parser.add_argument("max_per_ip", type=int, nargs="?", default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="require explicit TLS")
    parser.add_argument("--tls-handshake-delay", action="store_true",
                        help="take up a protected data connection one DELAY later still")
    args = parser.parse_args()
    if args.tls and not TLS_FTPHandler:
        parser.error("--tls needs python3-openssl")
    if args.tls_handshake_delay and not args.tls:
        parser.error("--tls-handshake-delay needs --tls")
    return args


def main():
    global DELAY, STATS_FILE, HANDSHAKE_DELAY
    args = arguments()
    DELAY, STATS_FILE, HANDSHAKE_DELAY = args.delay, args.stats_file, args.tls_handshake_delay
    handler = LateHandler
    if args.tls:
        handler = LateTLSHandler
        handler.certfile, handler.keyfile = args.tls
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root, perm="elradfmwMT")
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    server = FTPServer(("127.0.0.1", args.port), handler, ioloop=PromptIOLoop())
    server.max_cons = 256
    server.max_cons_per_ip = args.max_per_ip
    write_stats()
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    import logging
    logging.basicConfig(level=logging.ERROR)
    main()
