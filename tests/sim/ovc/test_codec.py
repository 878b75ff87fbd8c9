"""Self-test of the OVC codec: the scrambler's edge table and the session datagram tables."""
import os
import struct
import unittest

import codec


class Scrambler(unittest.TestCase):
    def test_round_trip_every_length_both_extents(self):
        for n in range(0, 101):
            for sl in (n, 64):
                b = os.urandom(n)
                self.assertEqual(codec.unscramble(codec.scramble(b, sl), sl), b)

    def test_extent_table(self):
        for n, sl, changed in ((100, 64, 64), (40, 64, 40), (16, 16, 16), (20, 20, 20)):
            b = os.urandom(n)
            s = codec.scramble(b, sl)
            self.assertEqual(len(s), n)
            self.assertEqual(s[changed:], b[changed:])

    def test_tails(self):
        key = codec.KEY_TEXT
        for t, perm in ((4, (2, 3, 0, 1)), (5, (0, 1, 2, 3, 4)), (2, (1, 0)),
                        (8, (7, 4, 3, 2, 1, 6, 5, 0))):
            out = codec.scramble(bytes(16 + t))
            self.assertEqual(out[16:], bytes(key[p] for p in perm))


class Session(unittest.TestCase):
    def test_types_routes_and_bodies(self):
        cases = [
            # kind, relayed, device, long_id, type, route, body length
            ("data", False, False, None, 0x0407, 0x21, 5),
            ("data", False, True, (1, 2), 0x0408, 0x12, 17),
            ("data", True, False, None, 0x0504, 0x24, 5),
            ("data", True, True, (1, 2), 0x0502, 0x14, 17),
            ("alive", False, False, None, 0x0427, 0x21, 0),
            ("alive", True, True, (3, 4), 0x0522, 0x14, 8),
            ("close", False, True, (5, 6), 0x0418, 0x12, 8),
            ("close", True, False, None, 0x0514, 0x24, 0),
        ]
        for kind, relayed, device, long_id, mtype, route, blen in cases:
            wire = codec.build_session(kind, relayed=relayed, device=device, random_id=0x4321,
                                       long_id=long_id, relay_id=0x99, payload=b"hello",
                                       channel=7, seq=3)
            got = codec.parse_session(wire)
            self.assertEqual((got["kind"], got["relayed"], got["device"]), (kind, relayed, device))
            self.assertEqual(got["head"]["type"], mtype)
            self.assertEqual(got["head"]["route"], route)
            self.assertEqual(got["head"]["length"], blen)
            self.assertEqual(got["long_id"], long_id)
            if relayed:
                self.assertEqual(got["head"]["randomId"], 0x99)
            if kind == "data":
                self.assertEqual(got["payload"], b"hello")
                self.assertEqual(got["head"]["channel"], 7)

    def test_garbage_is_refused(self):
        for wire in (b"", b"\x00" * 15, b"\x00" * 1501,
                     codec.encode(codec.pack_head(length=100) + b"x"),
                     codec.encode(codec.pack_head(type=0x0407, route=0x12, length=0))):
            with self.assertRaises(ValueError):
                codec.parse_session(wire)
        bad_ext = codec.encode(codec.pack_head(type=0x0407, route=0x21, flags=8, length=12) +
                               struct.pack("<III", 13, 0, 0))
        with self.assertRaises(ValueError):
            codec.parse_session(bad_ext)


if __name__ == "__main__":
    unittest.main()
