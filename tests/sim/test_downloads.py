"""Self-tests of the simulator's record downloads: request decoding (also of truncated
and garbage bodies) and the packs served for a request."""

import os
import random
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kvsim import frames  # noqa: E402
from kvsim.conn import Scenarios  # noqa: E402
from kvsim.handlers import downloads  # noqa: E402

TIME = struct.Struct("<HBBBBBB")


def item(start, end, size=28, nbytes=1000):
    raw = struct.pack("<I", size) + TIME.pack(*start, 0) + TIME.pack(*end, 0) + struct.pack("<II", 0, nbytes)
    return raw + bytes(size - 28)


class DecodeTest(unittest.TestCase):
    def test_short_and_long_heads(self):
        it = item((2024, 3, 10, 8, 0, 0), (2024, 3, 10, 8, 15, 0))
        d = downloads.decode(struct.pack("<III", 12, 0x5E55107D, 7) + it + it, 0)
        self.assertEqual((d["head_size"], d["a"], d["item_size"], len(d["items"])), (12, 7, 28, 2))
        self.assertEqual(d["items"][0]["start"], "2024-03-10T08:00:00")
        head = struct.pack("<IIIBB10s", 24, 1, 2, 3, 1, bytes(10))
        d = downloads.decode(head + item((2024, 3, 10, 8, 0, 0), (2024, 3, 10, 8, 1, 0), 48), 1)
        self.assertEqual((d["b"], d["k"], d["item_size"], d["by_time"]), (3, 1, 48, 1))
        self.assertTrue(d["head_tail_zero"])

    def test_truncated_and_garbage_bodies(self):
        body = struct.pack("<III", 12, 1, 2) + item((2024, 3, 10, 8, 0, 0), (2024, 3, 10, 8, 0, 9))
        for n in range(len(body)):
            d = downloads.decode(body[:n], 0)
            self.assertTrue(d is None or len(d["items"]) * d["item_size"] + d["head_size"] == n)
        rnd = random.Random(5)
        for _ in range(2000):
            downloads.decode(bytes(rnd.getrandbits(8) for _ in range(rnd.randint(0, 120))), 0)


class ServeTest(unittest.TestCase):
    def test_each_recording_then_end_of_file(self):
        class Log:
            def __init__(self):
                self.events = []

            def event(self, conn, name, **f):
                self.events.append((name, f))

        class Conn:
            scenarios = Scenarios(["rec=2024-03-10T08:00:00,1,5,5", "rec=2024-03-10T08:00:10,1,5,5", "dl-empty=1"])
            log = Log()

        sent = []
        req = downloads.decode(struct.pack("<III", 12, 0, 0) + item((2024, 3, 10, 8, 0, 0), (2024, 3, 10, 8, 0, 20)), 1)
        self.assertTrue(downloads.serve(Conn, req, sent.append))
        ends = [s for s in sent if s == frames.signal(3)]
        self.assertEqual(len(ends), 2)
        files = [f for n, f in Conn.log.events if n == "download-file"]
        self.assertEqual([(f["recording"], f["frames"]) for f in files], [(0, 5), (1, 0)])


if __name__ == "__main__":
    unittest.main()
