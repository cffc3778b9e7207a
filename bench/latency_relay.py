#!/usr/bin/python3
"""A delaying TCP relay on loopback: a far server for any protocol, where the kernel has no netem.

Every connection made to the relay's port is joined to TARGET_PORT on 127.0.0.1, and every
chunk of bytes is handed on DELAY seconds after it arrived, in each direction, in order.
A client that waits for a reply so pays two DELAYs per exchange, as over a link with that
one-way delay; bytes in flight are not limited (no bandwidth limit, no slow start, no loss),
so a client that keeps many requests in flight pays the delay once for all of them.

  latency_relay.py LISTEN_PORT TARGET_PORT DELAY_SECONDS

or, from another driver:

  from latency_relay import Relay
  with Relay(target_port, 0.025) as relay:   # relay.port: where clients connect
      ...
"""

import asyncio
import os
import signal
import socket
import subprocess
import sys
import time

CHUNK = 1 << 20


async def _pump(reader, writer, delay):
    """Hands each chunk from reader to writer `delay` after it arrived, in order."""
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(CHUNK)
            queue.put_nowait((time.monotonic() + delay, data or None))
            if not data:
                break
    except OSError:
        queue.put_nowait((time.monotonic(), None))
    try:
        await sender
    except OSError:
        pass


async def _serve(listen_port, target_port, delay):
    async def join(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        for w in (client_writer, server_writer):
            w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(_pump(client_reader, server_writer, delay), _pump(server_reader, client_writer, delay))
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(join, "127.0.0.1", listen_port, limit=CHUNK)
    async with server:
        await server.serve_forever()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Relay:
    """This relay in a process of its own, in front of 127.0.0.1:target_port, while in a `with`."""

    def __init__(self, target_port, delay):
        self.port = free_port()
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), str(self.port), str(target_port),
                                         str(delay)], start_new_session=True)
        for _ in range(250):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return
            except OSError:
                time.sleep(0.02)
        self.close()
        raise RuntimeError("the relay did not start")

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    asyncio.run(_serve(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])))
