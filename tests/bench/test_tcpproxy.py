#!/usr/bin/env python3
"""bench/tcpproxy.py: each direction's link releases every chunk no sooner than its turn on the
link plus the one-way delay, and a real copy through the proxy arrives whole and in order, never
sooner than the rate and the delay allow. Only lower bounds on time are checked: a busy machine
makes the proxy late, never early."""

import asyncio
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.path.insert(0, BENCH)
import tcpproxy  # noqa: E402


class LinkModel(unittest.TestCase):
    # (rate bytes/s, one-way delay s, [(arrival s, bytes)], expected release times s)
    CASES = [
        (1500.0, 0.0, [(0.0, 1448)], [1.0]),                   # one segment and its heads
        (1500.0, 0.5, [(0.0, 1448), (0.0, 1448)], [1.5, 2.5]),  # the second waits its turn
        (1500.0, 0.0, [(0.0, 1448), (5.0, 1448)], [1.0, 6.0]),  # an idle link starts anew
        (1500.0, 0.0, [(0.0, 1449)], [(1449 + 104) / 1500]),   # two segments' heads
        (0.0, 0.25, [(1.0, 10 ** 6)], [1.25]),                 # no bottleneck: the delay only
    ]

    def test_release_times(self):
        for rate, owd, chunks, expected in self.CASES:
            with self.subTest(rate=rate, owd=owd, chunks=chunks):
                link = tcpproxy.Link("up", rate, owd, 10 ** 9, tcpproxy.Counts())
                for at, size in chunks:
                    link.admit(bytes(size), at)
                released = [due for due, _ in link.line]
                for got, want in zip(released, expected):
                    self.assertAlmostEqual(got, want, places=9)
                self.assertEqual(len(released), len(expected))

    def test_full_queue_holds_the_reader(self):
        async def held():
            link = tcpproxy.Link("up", 1e6, 0.0, 1000, tcpproxy.Counts())
            link.admit(bytes(1448 * 20), time.monotonic())  # about 30 ms waiting for the link
            start = time.monotonic()
            await link.room()
            return time.monotonic() - start, link.counts.queue_full["up"]

        waited, full = asyncio.run(held())
        self.assertGreaterEqual(waited, 0.025)
        self.assertEqual(full, 1)


class ThroughTheProxy(unittest.TestCase):
    def test_copy_arrives_whole_and_no_sooner_than_the_path_allows(self):
        sink = socket.create_server(("127.0.0.1", 0))
        proxy = subprocess.Popen([sys.executable, os.path.join(BENCH, "tcpproxy.py"),
                                  "--target-port", str(sink.getsockname()[1]), "--rate-mbit", "8",
                                  "--owd", "50", "--queue", "100000", "--lifetime", "60"],
                                 stdout=subprocess.PIPE, text=True)
        try:
            port = int(proxy.stdout.readline())
            payload = os.urandom(500000)
            got = bytearray()

            def receive():
                conn, _ = sink.accept()
                while chunk := conn.recv(65536):
                    got.extend(chunk)
                conn.close()

            receiver = threading.Thread(target=receive)
            receiver.start()
            start = time.monotonic()
            with socket.create_connection(("127.0.0.1", port)) as client:
                client.sendall(payload)
                client.shutdown(socket.SHUT_WR)
                receiver.join(timeout=30)
            elapsed = time.monotonic() - start
            self.assertFalse(receiver.is_alive())
            self.assertEqual(bytes(got), payload)
            # 500 000 bytes and their heads at 1 MB/s, then 50 ms.
            self.assertGreaterEqual(elapsed, 0.5 * 1500 / 1448 + 0.05)
        finally:
            proxy.terminate()
            out, _ = proxy.communicate(timeout=10)
            sink.close()
        self.assertIn("tcpproxy: connections=1 up bytes=500000", out)


if __name__ == "__main__":
    unittest.main()
