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

  latency_ftpd.py ROOT PORT DELAY_SECONDS STATS_FILE [MAX_PER_IP]

Serves ROOT (read and write) to the anonymous login on 127.0.0.1:PORT.
MAX_PER_IP (default 0: no limit) refuses further connections from one address with 421.
STATS_FILE is rewritten as JSON with every reply and whenever a connection opens or closes:
the connections opened and closed, replies, data connections and the commands received by
verb, for the whole run of the server, so a driver reads the difference across one client's
run.
"""

import collections
import json
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, FTPHandler, PassiveDTP
from pyftpdlib.servers import FTPServer

DELAY = 0.025
STATS = {"opened": 0, "closed": 0, "replies": 0, "data": 0, "commands": collections.Counter()}
STATS_FILE = None


def write_stats():
    temp = STATS_FILE + ".tmp"
    with open(temp, "w") as f:
        json.dump(STATS, f)
    os.replace(temp, STATS_FILE)


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


class LatePassiveDTP(PassiveDTP):
    def handle_accepted(self, sock, addr):
        STATS["data"] += 1
        self.ioloop.call_later(DELAY, PassiveDTP.handle_accepted, self, sock, addr)


class LateActiveDTP(ActiveDTP):
    def handle_connect(self):
        STATS["data"] += 1
        self.ioloop.call_later(DELAY, ActiveDTP.handle_connect, self)


class LateHandler(FTPHandler):
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
        self._late().later(FTPHandler.push, self, s)

    def close_when_done(self):
        # After the replies that are still on their way, as a closing connection would be.
        self._late().later(FTPHandler.close_when_done, self)

    def pre_process_command(self, line, cmd, arg):
        STATS["commands"][cmd] += 1
        return FTPHandler.pre_process_command(self, line, cmd, arg)


def main():
    global DELAY, STATS_FILE
    root, port, DELAY, STATS_FILE = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="elradfmwMT")
    LateHandler.authorizer = authorizer
    LateHandler.permit_foreign_addresses = False
    server = FTPServer(("127.0.0.1", port), LateHandler)
    server.max_cons = 256
    server.max_cons_per_ip = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    write_stats()
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    import logging
    logging.basicConfig(level=logging.ERROR)
    main()
