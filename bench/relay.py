#!/usr/bin/env python3
"""A TCP relay on loopback that delays every chunk by a fixed time each way, so that a client
on this machine sees a server across a network (standard library only).

  relay.py --upstream 127.0.0.1:PORT --delay-ms 25 [--source 127.0.0.2]
           [--max-seconds 900] [--max-bytes 268435456]

Listens on a free 127.0.0.1 port and prints "listening on 127.0.0.1:PORT" first. Every
connection it accepts gets one to the upstream, opened from --source (so that the server's
log tells this relay's connections from others'). Each chunk read on one side is written to
the other --delay-ms after it arrived, in the order read: a round trip costs twice the delay.
The first bytes of a connection towards the server wait one round trip more, as they would
behind the TCP handshake on a real network (here the client's connect() ends at once).

Bounded: it exits after --max-seconds, when more than --max-bytes went through in all, or on
SIGTERM or SIGINT, and then prints one JSON line with what it relayed.
"""

import argparse
import asyncio
import json
import signal
import socket
import sys

CHUNK_BYTES = 64 * 1024
QUEUED_CHUNKS = 64  # per direction: a side that stops reading holds up at most 4 MiB


class Relay:
    def __init__(self, args):
        self.args = args
        self.delay = args.delay_ms / 1000.0
        self.connections = 0
        self.bytes = {"to_server": 0, "to_client": 0}
        self.done = asyncio.Event()
        self.reason = ""

    def stop(self, reason):
        if not self.done.is_set():
            self.reason = reason
            self.done.set()

    async def pipe(self, reader, writer, direction, opens_at):
        """Copies reader to writer, each chunk --delay-ms after it was read, in order."""
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue(QUEUED_CHUNKS)

        async def read():
            try:
                while chunk := await reader.read(CHUNK_BYTES):
                    self.bytes[direction] += len(chunk)
                    if sum(self.bytes.values()) > self.args.max_bytes:
                        self.stop("max-bytes")
                    await queue.put((max(loop.time(), opens_at) + self.delay, chunk))
            except OSError:
                pass
            await queue.put((max(loop.time(), opens_at) + self.delay, b""))  # end of stream

        async def write():
            while True:
                due, chunk = await queue.get()
                await asyncio.sleep(max(0.0, due - loop.time()))
                if not chunk:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(chunk)
                await writer.drain()

        reading = asyncio.ensure_future(read())
        try:
            await write()
        finally:
            reading.cancel()

    async def serve(self, client_reader, client_writer):
        loop = asyncio.get_running_loop()
        accepted = loop.time()
        self.connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection(
                self.upstream_host, self.upstream_port, local_addr=(self.args.source, 0))
        except OSError:
            client_writer.close()
            return
        pipes = [
            asyncio.ensure_future(self.pipe(client_reader, server_writer, "to_server",
                                            accepted + 2 * self.delay)),
            asyncio.ensure_future(self.pipe(server_reader, client_writer, "to_client", accepted)),
        ]
        try:
            await asyncio.gather(*pipes)
        except OSError:
            pass  # a reset on either side ends both
        finally:
            for task in pipes:
                task.cancel()
            for writer in (client_writer, server_writer):
                writer.close()

    async def run(self):
        host, _, port = self.args.upstream.rpartition(":")
        self.upstream_host, self.upstream_port = host, int(port)
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, self.stop, signal.Signals(signum).name)
        loop.call_later(self.args.max_seconds, self.stop, "max-seconds")
        server = await asyncio.start_server(self.serve, "127.0.0.1", 0, family=socket.AF_INET)
        print("listening on 127.0.0.1:%d" % server.sockets[0].getsockname()[1], flush=True)
        await self.done.wait()
        server.close()
        print(json.dumps({"connections": self.connections, **self.bytes,
                          "stopped_by": self.reason}), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--upstream", required=True, help="HOST:PORT of the server")
    parser.add_argument("--delay-ms", type=float, required=True, help="delay each way")
    parser.add_argument("--source", default="127.0.0.1", help="address to connect from")
    parser.add_argument("--max-seconds", type=float, default=900)
    parser.add_argument("--max-bytes", type=int, default=256 * 1024 * 1024)
    args = parser.parse_args()
    if not 0 <= args.delay_ms <= 10_000 or args.max_seconds <= 0 or args.max_bytes <= 0:
        parser.error("delay 0..10000 ms, positive limits")
    relay = Relay(args)
    asyncio.run(relay.run())
    sys.exit(0 if relay.reason in ("SIGTERM", "SIGINT") else 1)


if __name__ == "__main__":
    main()
