#!/usr/bin/env python3
"""A TCP proxy that stands in, for TCP peers of the benchmark, for zelk_relay's path A: a link of a
given rate each way behind a drop-tail queue, then a fixed one-way delay. Loopback only.

  tcpproxy.py --target-port N [--port N] [--rate-mbit 100] [--owd 25] [--queue 625000]
              [--lifetime S]

The first line on standard output is the port it listens on (--port 0, the default, picks one).
SIGTERM or SIGINT ends it and prints its counts on one line:

  tcpproxy: connections=N up bytes=N down bytes=N up queue-full=N down queue-full=N

"Up" is from the connecting side to the target. queue-full counts the times a direction stopped
reading because its queue was full.

What it models: each direction of each connection is a FIFO link. A chunk read at time t leaves
the link at max(t, the previous chunk's departure) + its bytes / rate, where its bytes are charged
the IP and TCP heads of the segments that would carry it (52 bytes per 1448), so that a bulk copy
tops out at 1448/1500 of the rate, as a real link would carry TCP; it reaches the far side the
one-way delay later. The departure time is computed, not slept for, so a late wake-up of this
process delays delivery but never lowers the rate. The bytes waiting for the link are the queue:
while they exceed --queue, the direction stops reading, and the sender's TCP sees it as a closed
window (the proxy's receive buffer is kept small so that little hides in it).

What it does not model: it shapes a byte stream, not TCP segments. Nothing is ever dropped: where
a router drops a segment and the sender's congestion control halves its window, here the sender
is held back by backpressure instead, so TCP's own loss recovery never runs, and no loss can be
asked for. Each connection has links of its own (the benchmark opens one connection at a time).
The sender's window grows over the proxy's short loopback round trip, not over the modelled one:
slow start is therefore quicker than on a real path.
"""

import argparse
import asyncio
import collections
import signal
import socket
import sys
import time

MSS = 1448
HEADS = 52  # IP (20) and TCP with timestamps (32) per segment
CHUNK = 16384
SOCKET_BUFFER = 128 * 1024


class Counts:
    def __init__(self):
        self.connections = 0
        self.bytes = {"up": 0, "down": 0}
        self.queue_full = {"up": 0, "down": 0}

    def line(self):
        return (f"tcpproxy: connections={self.connections} up bytes={self.bytes['up']} "
                f"down bytes={self.bytes['down']} up queue-full={self.queue_full['up']} "
                f"down queue-full={self.queue_full['down']}")


class Link:
    """One direction: a rate, a drop-tail queue in front of it and a delay line behind it."""

    def __init__(self, name, rate, owd, queue, counts):
        self.name = name
        self.rate = rate  # bytes per second on the wire, heads included; 0: no bottleneck
        self.owd = owd
        self.queue = queue
        self.counts = counts
        self.free_at = 0.0  # when the link has sent everything given to it so far
        self.line = collections.deque()  # (arrival time, bytes); None ends the stream
        self.ready = asyncio.Event()

    def wire_seconds(self, n):
        segments = (n + MSS - 1) // MSS
        return (n + segments * HEADS) / self.rate if self.rate else 0.0

    def backlog_seconds(self, now):
        return max(0.0, self.free_at - now)

    def admit(self, data, now):
        departs = max(self.free_at, now) + self.wire_seconds(len(data))
        self.free_at = departs
        self.line.append((departs + self.owd, data))
        self.counts.bytes[self.name] += len(data)
        self.ready.set()

    def close(self):
        self.line.append((max(self.free_at, time.monotonic()) + self.owd, None))
        self.ready.set()

    async def room(self):
        """Waits while the queue (bytes not yet on the link) is fuller than its size."""
        if not self.rate:
            return
        over = self.backlog_seconds(time.monotonic()) - self.queue / self.rate
        if over > 0:
            self.counts.queue_full[self.name] += 1
            await asyncio.sleep(over)


async def pump_in(reader, link):
    try:
        while True:
            await link.room()
            data = await reader.read(CHUNK)
            if not data:
                break
            link.admit(data, time.monotonic())
    except (ConnectionError, OSError):
        pass
    finally:
        link.close()


async def pump_out(link, writer):
    try:
        while True:
            while not link.line:
                link.ready.clear()
                await link.ready.wait()
            due, data = link.line[0]
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            link.line.popleft()
            if data is None:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass


def small_buffers(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SOCKET_BUFFER)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def serve(args, counts, client_reader, client_writer):
    counts.connections += 1
    try:
        target_reader, target_writer = await asyncio.open_connection(
            args.target_host, args.target_port)
    except OSError:
        client_writer.close()
        return
    for writer in (client_writer, target_writer):
        small_buffers(writer)
    rate = args.rate_mbit * 1e6 / 8
    up = Link("up", rate, args.owd / 1000, args.queue, counts)
    down = Link("down", rate, args.owd / 1000, args.queue, counts)
    try:
        await asyncio.gather(pump_in(client_reader, up), pump_out(up, target_writer),
                             pump_in(target_reader, down), pump_out(down, client_writer))
    except asyncio.CancelledError:
        pass  # the proxy is stopping: what is still in flight is dropped
    finally:
        for writer in (client_writer, target_writer):
            writer.close()


async def main_async(args):
    counts = Counts()
    server = await asyncio.start_server(lambda r, w: serve(args, counts, r, w), "127.0.0.1",
                                        args.port)
    print(server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), args.lifetime)
    except asyncio.TimeoutError:
        pass
    server.close()
    print(counts.line(), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--target-host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--rate-mbit", type=float, default=100.0, help="0: no bottleneck")
    parser.add_argument("--owd", type=float, default=25.0, help="one-way delay, milliseconds")
    parser.add_argument("--queue", type=int, default=625000, help="bytes waiting for the link")
    parser.add_argument("--lifetime", type=float, default=3600.0, help="seconds at most")
    args = parser.parse_args()
    asyncio.run(main_async(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
