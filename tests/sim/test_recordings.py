"""Self-tests of the simulator's recordings store and its use by the record queries."""

import datetime
import os
import struct
import sys
import socket
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kvsim import frames, recordings  # noqa: E402
from kvsim.conn import Scenarios  # noqa: E402
from kvsim import proto  # noqa: E402
from kvsim.handlers import records  # noqa: E402
from kvsim.proto import Head  # noqa: E402
from kvsim.testing import SimProcess, recv_exact  # noqa: E402


def request(type, subtype=0, body=b"", seq=1):
    return proto.encode(Head(0, 0, 0, type, subtype, len(body), seq), b"", body, False)

dt = datetime.datetime


class SyntheticTest(unittest.TestCase):
    def setUp(self):
        self.store = recordings.for_scenarios(Scenarios([
            "rec=2024-03-10T08:00:00,10,5,5", "rec=2024-03-10T09:00:00,4,10,10,1",
            "rec=2024-03-09T23:59:58,4,5,5"]))

    def test_times_keys_and_sizes(self):
        first = self.store.recordings[0]
        self.assertEqual((first.start, first.end), (dt(2024, 3, 9, 23, 59, 58), dt(2024, 3, 10, 0, 0, 1)))
        r = self.store.recordings[1]
        fl = r.frames()
        self.assertEqual(len(fl), 50)
        self.assertEqual([f.type for f in fl[:6]], list("IPPPPI"))
        self.assertEqual([f.no for f in fl[:3]], [1, 2, 3])
        self.assertEqual(fl[1].time_us - fl[0].time_us, 200000)
        self.assertEqual(fl[0].time_us, recordings.to_us(dt(2024, 3, 10, 8)))
        self.assertEqual(r.end, dt(2024, 3, 10, 8, 0, 9))
        self.assertEqual(r.size, sum(len(f.bytes()) for f in fl))
        # Built again, the same bytes (downloads compare against a fresh copy).
        again = recordings.for_scenarios(Scenarios(["rec=2024-03-10T08:00:00,10,5,5"])).recordings[0]
        self.assertEqual([f.sha256() for f in again.frames()], [f.sha256() for f in fl])

    def test_overlapping_and_channels(self):
        got = self.store.overlapping(dt(2024, 3, 10, 0, 0, 0), dt(2024, 3, 10, 8, 0, 0))
        self.assertEqual([r.attrs for r in got], [0x302, 0x300])
        self.assertEqual(self.store.overlapping(dt(2024, 3, 10, 8, 30), dt(2024, 3, 10, 10), channel=1)[0].attrs,
                         0x301)
        self.assertEqual(self.store.overlapping(None, dt(2024, 3, 10)), [])

    def test_frames_from_the_key_before(self):
        r = self.store.recordings[1]
        t0 = r.start_us
        got = list(r.frames_from(t0 + 1500000, t0 + 2200000))
        # 1.5 s lies in the GOP that starts at 1.0 s; the end is inclusive.
        self.assertEqual((got[0].type, got[0].time_us - t0, got[-1].time_us - t0), ("I", 1000000, 2200000))
        keys = list(r.frames_from(t0, keys_only=True))
        self.assertEqual(len(keys), 10)
        self.assertTrue(all(f.type == "I" for f in keys))

    def test_frames_between_crosses_midnight(self):
        lo = recordings.to_us(dt(2024, 3, 9, 23, 59, 59))
        hi = recordings.to_us(dt(2024, 3, 10, 8, 0, 0))
        got = list(self.store.frames_between(lo, hi))
        days = {recordings.from_us(f.time_us).day for f in got}
        self.assertEqual(days, {9, 10})
        self.assertEqual(got[-1].time_us, hi)
        self.assertEqual(sorted(f.time_us for f in got), [f.time_us for f in got])


class FileTest(unittest.TestCase):
    def test_file_shifted_to_its_start(self):
        fl = frames.synthetic(12, gop=4)
        with tempfile.NamedTemporaryFile(suffix=".frm", delete=False) as f:
            for fr in fl:
                b = fr.bytes()
                f.write(b + bytes(-len(b) % 8))
            path = f.name
        try:
            store = recordings.for_scenarios(Scenarios(["rec-file=%s,2024-03-10T12:00:00,2" % path]))
            r = store.recordings[0]
            self.assertEqual((r.start, r.channel, r.attrs), (dt(2024, 3, 10, 12), 2, 0x300))
            self.assertEqual([f.payload for f in r.frames()], [f.payload for f in fl])
            self.assertEqual(r.end_us - r.start_us, 11 * 40000)
        finally:
            os.unlink(path)

    def test_no_scenario_no_store(self):
        self.assertIsNone(recordings.for_scenarios(Scenarios(["record-count=3"])))


class QueryUseTest(unittest.TestCase):
    def test_record_items_from_the_store(self):
        class Conn:
            scenarios = Scenarios(["rec=2024-03-10T08:00:00,2,5,5"])
        items = records._store(Conn(), dt(2024, 3, 10))
        r = recordings.cached(Conn.scenarios).recordings[0]
        self.assertEqual(items, [(dt(2024, 3, 10, 8), dt(2024, 3, 10, 8, 0, 1), 0x300, r.size)])
        it = records.record_item(items[0], 28)
        self.assertEqual(struct.unpack_from("<I", it, 24)[0], r.size)


def _dt_raw(t):
    return struct.pack("<HBBBBBB", t.year, t.month, t.day, t.hour, t.minute, t.second, 0)


def _open_body(lo, hi, sid=0x5E55107D):
    return struct.pack("<III", sid, 1, 7) + _dt_raw(lo) + _dt_raw(hi) + b"\x05" + bytes(39)


class PlaybackTest(unittest.TestCase):
    """The playback handler as a raw client sees it: frames of the span, the end pack,
    pacing, a confirmed reposition."""

    def read_until_signal(self, sock):
        re = frames.Reassembler()
        got = []
        while True:
            head = frames.PACK.unpack(recv_exact(sock, 12))
            data = recv_exact(sock, head[5])
            if head[1] != 0:
                return got, head[1]
            whole = re.add(head, data)
            if whole:
                got.append(frames.parse(whole[0]))

    def test_span_pacing_and_reposition(self):
        with SimProcess("rec=2024-03-10T08:00:00,10,5,5", "play-pace=3") as sim:
            sock = socket.create_connection(("127.0.0.1", sim.tcp_port), timeout=5)
            with sock:
                sock.sendall(request(121, 0, _open_body(dt(2024, 3, 10, 8, 0, 3), dt(2024, 3, 10, 8, 0, 5)), seq=4))
                reply = proto.read_message(lambda n: recv_exact(sock, n))
                self.assertEqual((reply.head.type, reply.head.ack), (121, 0))
                got = []
                for k in range(3):
                    sock.sendall(request(122, 121))
                    while len(got) < 3 * (k + 1):
                        head = frames.PACK.unpack(recv_exact(sock, 12))
                        recv_exact(sock, head[5])
                        self.assertEqual(head[1], 0)
                        if head[4] + 1 == head[2]:
                            got.append(head)
                # Three frames per request, and nothing more without one.
                sock.settimeout(0.3)
                self.assertRaises(socket.timeout, sock.recv, 1)
                sock.settimeout(5)
                sock.sendall(request(123, 0, _dt_raw(dt(2024, 3, 10, 8, 0, 8)) + _dt_raw(dt(2024, 3, 10, 8, 0, 9))))
                sock.sendall(request(122, 122))
                sock.sendall(request(122, 122))
                after, sig = self.read_until_signal(sock)
                self.assertEqual((after, sig), ([], 1))
                after, sig = self.read_until_signal(sock)
                self.assertEqual(sig, 2)
                t0 = recordings.to_us(dt(2024, 3, 10, 8))
                self.assertEqual([(f.type, f.time_us - t0) for f in after],
                                 [("I", 8000000), ("P", 8200000), ("P", 8400000), ("P", 8600000),
                                  ("P", 8800000), ("I", 9000000)])
            time.sleep(0.2)
            ev = [e for e in sim.messages() if e.get("event", "").startswith("play-")]
            opened = [e for e in ev if e["event"] == "play-open"][0]
            self.assertEqual((opened["start"], opened["param"], opened["byte"], opened["zeros_ok"]),
                             ("2024-03-10 08:00:03", 7, 5, True))
            reqs = [(e["type"], e["subtype"]) for e in ev if e["event"] == "play-request"]
            self.assertIn((123, 0), reqs)
            sent = [e["time_us"] - t0 for e in ev if e["event"] == "play-frame"]
            # From the key frame at the start (3 s), then the new span from its key frame.
            self.assertEqual(sent, [3000000 + 200000 * k for k in range(9)] +
                             [8000000 + 200000 * k for k in range(6)])


if __name__ == "__main__":
    unittest.main()
