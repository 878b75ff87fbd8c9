"""Self-tests of the device simulator: scrambler, head, framing, scenarios."""

import os
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kvsim import proto, safety  # noqa: E402
from kvsim.handlers import records  # noqa: E402
from kvsim.handlers.base import OVERSIZE, pattern  # noqa: E402
from kvsim.proto import Head  # noqa: E402
from kvsim.scrambler import (naive_permutation, permutation, scramble,  # noqa: E402
                             unscramble)
from kvsim.testing import PYTHON, SIM, SimProcess, read_ready, recv_exact  # noqa: E402


def apply_permutation(data, perm):
    """Scramble by the definition: out bit k = in bit s(k)."""
    bits = "".join(format(b, "08b") for b in data)
    return int("".join(bits[i] for i in perm), 2).to_bytes(len(data), "big")


class ScramblerTest(unittest.TestCase):
    def test_known_vectors(self):
        self.assertEqual(permutation(2),
                         [4, 7, 10, 13, 0, 3, 8, 12, 1, 6, 14, 5, 15, 11, 2, 9])
        self.assertEqual(scramble(b"abc"), bytes.fromhex("637902"))
        self.assertEqual(unscramble(bytes.fromhex("637902")), b"abc")

    def test_trips_match_the_literal_circle(self):
        for n in range(1, 65):
            perm = naive_permutation(n)
            self.assertEqual(permutation(n), perm, n)
            data = bytes((i * 37 + n) & 0xFF for i in range(n))
            self.assertEqual(scramble(data), apply_permutation(data, perm), n)

    def test_round_trip_every_length_to_4096(self):
        seed = os.urandom(4096)
        for n in range(1, 4097):
            data = seed[:n]
            out = scramble(data)
            self.assertEqual(len(out), n)
            self.assertEqual(unscramble(out), data, n)

    def test_round_trip_of_a_large_unit(self):
        data = os.urandom(3 << 20)
        out = scramble(data)
        self.assertNotEqual(out, data)
        self.assertEqual(unscramble(out), data)

    def test_empty_unit(self):
        self.assertEqual(scramble(b""), b"")
        self.assertEqual(unscramble(b""), b"")


class HeadTest(unittest.TestCase):
    CASES = [
        # (head fields, wire bytes)
        (Head(0, 0, 0, 11, 0, 0, 1), "00000000" "0b000000" "00000000" "01000000"),
        (Head(2, 0, 10000, 31, 5, 272 + 72, 0x01020304),
         "02001027" "1f000500" "58010000" "04030201"),
        (Head(0xFE, 0xAB, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
         "feabffff" "ffffffff" "ffffffff" "ffffffff"),
    ]

    def test_pack_unpack(self):
        for head, wire in self.CASES:
            self.assertEqual(head.pack().hex(), wire)
            self.assertEqual(Head.unpack(bytes.fromhex(wire)), head)

    def test_flag_fields(self):
        head = Head(flags=0xFE)
        self.assertEqual((head.security, head.ext_len), (2, 0xFC))

    def test_probe_trailer(self):
        trailer = proto.PROBE_TRAILER
        self.assertEqual(trailer[:12], bytes.fromhex("10010000" "54454444" "03000000"))
        self.assertEqual(trailer[12:], bytes(260))
        self.assertTrue(proto.has_probe(b"user" + trailer))
        self.assertFalse(proto.has_probe(trailer[:-1]))
        self.assertFalse(proto.has_probe(b"user" + trailer + b"x"))


class FramingTest(unittest.TestCase):
    """Scrambled wire layout, decoded by the device-side reader."""

    def reader(self, data):
        stream = [bytes(data)]

        def recv_exact(n):
            chunk, stream[0] = stream[0][:n], stream[0][n:]
            return chunk
        return recv_exact

    def test_scrambled_message_keeps_two_plain_bytes(self):
        head = Head(2, 0, 0, 31, 0, 3, 7)
        wire = proto.encode(head, b"", b"abc", scrambled=True)
        self.assertEqual(wire[:2], b"\x02\x00")
        self.assertEqual(wire[2:16], scramble(head.pack()[2:]))
        self.assertEqual(wire[16:], bytes.fromhex("637902"))
        msg = proto.read_message(self.reader(wire))
        self.assertEqual((msg.head, msg.body, msg.scrambled), (head, b"abc", True))

    def test_extension_is_scrambled_with_the_head(self):
        head = Head(4 | 2, 0, 0, 9, 0, 2, 1)
        wire = proto.encode(head, b"EXT!", b"hi", scrambled=True)
        self.assertEqual(wire[2:20], scramble(head.pack()[2:] + b"EXT!"))
        msg = proto.read_message(self.reader(wire))
        self.assertEqual((msg.ext, msg.body), (b"EXT!", b"hi"))

    def test_cut_and_oversized_messages(self):
        whole = proto.encode(Head(0, 0, 0, 1, 0, 10, 1), b"", bytes(10))
        for cut in (5, 16, 20):
            with self.assertRaises(proto.ProtocolError) as ctx:
                proto.read_message(self.reader(whole[:cut]))
            self.assertEqual(ctx.exception.raw, whole[:cut])
        big = Head(0, 0, 0, 1, 0, proto.MAX_BODY + 1, 1).pack()
        with self.assertRaises(proto.ProtocolError):
            proto.read_message(self.reader(big))
        self.assertIsNone(proto.read_message(self.reader(b"")))


def request(type=5, subtype=0, body=b"", seq=1, scrambled=False, ack=0):
    flags = proto.SECURITY_SCRAMBLED if scrambled else 0
    return proto.encode(Head(flags, 0, ack, type, subtype, len(body), seq),
                        b"", body, scrambled)


def read_reply(sock):
    return proto.read_message(lambda n: recv_exact(sock, n))


def connect(sim):
    sock = socket.create_connection(("127.0.0.1", sim.tcp_port), timeout=5)
    return sock


class TcpTest(unittest.TestCase):
    def test_echo_plain_and_scrambled(self):
        body = b"user\0pass\0" + proto.PROBE_TRAILER
        with SimProcess() as sim:
            for scrambled in (False, True):
                with connect(sim) as sock:
                    wire = request(31, 2, body, seq=77, scrambled=scrambled)
                    sock.sendall(wire)
                    reply = read_reply(sock)
                    self.assertEqual(reply.scrambled, scrambled)
                    self.assertEqual(reply.raw[0], 2 if scrambled else 0)
                    self.assertEqual((reply.head.type, reply.head.subtype,
                                      reply.head.seq, reply.head.ack), (31, 2, 77, 0))
                    self.assertEqual(reply.body, body)
                    entry = sim.messages(1 + scrambled)[-1]
                    self.assertEqual(entry["raw"], wire.hex())
                    self.assertEqual(entry["body"], body.hex())
                    self.assertEqual(entry["head"], {
                        "flags": 2 if scrambled else 0, "second": 0, "ack": 0,
                        "type": 31, "subtype": 2, "size": len(body), "seq": 77})
                    self.assertIs(entry["scrambled"], scrambled)
                    self.assertIs(entry["probe"], True)
                    self.assertEqual(entry["proto"], "tcp")
                    self.assertEqual(entry["peer"], "127.0.0.1:%d" % sock.getsockname()[1])

    def test_mode_is_settled_by_the_first_message(self):
        with SimProcess() as sim, connect(sim) as sock:
            sock.sendall(request(seq=1) + request(seq=2, body=b"x", scrambled=True))
            first, second = read_reply(sock), read_reply(sock)
            self.assertFalse(first.scrambled)
            self.assertFalse(second.scrambled)
            self.assertEqual(second.body, b"x")
            self.assertEqual([e["scrambled"] for e in sim.messages(2)], [False, True])

    def test_plain_replies_to_a_scrambled_request(self):
        with SimProcess("plain-replies") as sim, connect(sim) as sock:
            sock.sendall(request(body=b"abc", scrambled=True))
            reply = read_reply(sock)
            self.assertEqual(reply.raw, proto.encode(Head(0, 0, 0, 5, 0, 3, 1), b"", b"abc"))

    def test_reply_size_and_ack(self):
        for size, scrambled in ((0, False), (5, True), (102401, False), (1000, True)):
            with SimProcess("reply-size=%d" % size, "ack=12") as sim, connect(sim) as sock:
                sock.sendall(request(seq=9, body=b"ignored", scrambled=scrambled))
                reply = read_reply(sock)
                self.assertEqual((reply.head.size, reply.head.ack, reply.head.seq),
                                 (size, 12, 9))
                self.assertEqual(reply.body, pattern(size))
                self.assertEqual(reply.scrambled, scrambled)
        self.assertEqual(pattern(4), bytes([3, 10, 17, 24]))
        self.assertEqual(pattern(300)[256:258], bytes([3, 10]))

    def test_cut_replies(self):
        cases = [
            # (scenario, wire bytes before the close, decoded head size or None)
            ("close-mid-head", 8, None),
            ("close-mid-body", 16 + 10, 1000),
        ]
        for scenario, length, size in cases:
            for scrambled in (False, True):
                with SimProcess(scenario) as sim, connect(sim) as sock:
                    sock.sendall(request(scrambled=scrambled))
                    data = recv_exact(sock, 4096)
                    self.assertEqual(len(data), length, scenario)
                    if size is not None:
                        with self.assertRaises(proto.ProtocolError):
                            proto.read_message(FramingTest.reader(None, data))
                        plain = data[:2] + unscramble(data[2:16]) if scrambled else data
                        self.assertEqual(Head.unpack(plain).size, size)

    def test_oversize_head_and_nothing_more(self):
        with SimProcess("oversize") as sim, connect(sim) as sock:
            sock.sendall(request(seq=4))
            head = Head.unpack(recv_exact(sock, 16))
            self.assertEqual((head.size, head.seq), (OVERSIZE, 4))
            sock.settimeout(0.3)
            with self.assertRaises(socket.timeout):
                sock.recv(1)

    def test_silent(self):
        with SimProcess("silent") as sim, connect(sim) as sock:
            sock.sendall(request(seq=3))
            self.assertEqual(sim.messages(1)[0]["head"]["seq"], 3)
            sock.settimeout(0.3)
            with self.assertRaises(socket.timeout):
                sock.recv(1)

    def test_close_on_accept(self):
        with SimProcess("close-on-accept") as sim, connect(sim) as sock:
            self.assertEqual(sock.recv(1), b"")

    def test_cut_request_is_logged_as_partial(self):
        with SimProcess() as sim:
            wire = request(body=b"0123456789")
            with connect(sim) as sock:
                sock.sendall(wire[:20])
            entry = sim.messages(1)[0]
            self.assertIs(entry["partial"], True)
            self.assertEqual(entry["raw"], wire[:20].hex())
            self.assertIsNone(entry["head"])

    def test_reply_delay(self):
        with SimProcess("reply-delay=200") as sim, connect(sim) as sock:
            start = time.monotonic()
            sock.sendall(request())
            read_reply(sock)
            self.assertGreaterEqual(time.monotonic() - start, 0.2)


class UdpTest(unittest.TestCase):
    def exchange(self, sim, wire):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.settimeout(5)
            sock.sendto(wire, ("127.0.0.1", sim.udp_port))
            return proto.decode_datagram(sock.recv(65535))

    def test_echo(self):
        with SimProcess("ack=3") as sim:
            reply = self.exchange(sim, request(11, body=b"hello", seq=42))
            self.assertEqual((reply.head.type, reply.head.seq, reply.head.ack,
                              reply.head.size, reply.body), (11, 42, 3, 5, b"hello"))
            entry = sim.messages(1)[0]
            self.assertEqual((entry["proto"], entry["body"]), ("udp", b"hello".hex()))

    def test_lying_size(self):
        with SimProcess("udp-lying-size") as sim:
            reply = self.exchange(sim, request(11, body=b"hello"))
            self.assertEqual((reply.head.size, reply.body), (15, b"hello"))


class RecordStoreTest(unittest.TestCase):
    """The record items and request decoding, read back field by field."""

    REC = (records.datetime.datetime(2024, 3, 10, 8, 0, 0),
           records.datetime.datetime(2024, 3, 10, 8, 15, 30), 0x101, 123456)

    def test_item_sizes(self):
        for size in (20, 24, 28, 48, 60):
            with self.subTest(size):
                it = records.record_item(self.REC, size)
                self.assertEqual(len(it), size)
                self.assertEqual(struct.unpack_from("<I", it)[0], size)
                self.assertEqual(it[4:12], bytes([0xE8, 0x07, 3, 10, 8, 0, 0, 0]))
                self.assertEqual(it[12:20], bytes([0xE8, 0x07, 3, 10, 8, 15, 30, 0]))
                if size >= 24:
                    self.assertEqual(struct.unpack_from("<I", it, 20)[0], 0x101)
                if size >= 28:
                    self.assertEqual(struct.unpack_from("<I", it, 24)[0], 123456)
                self.assertEqual(it[28:], bytes((0xA0 + i) & 0xFF for i in range(28, size)))

    def test_month_items_span_months(self):
        dt = records.datetime.datetime
        store = [self.REC, (dt(2024, 4, 1, 0, 0), dt(2024, 4, 2, 1, 0), 0, 0)]
        items = records.month_items(store, dt(2024, 3, 1), dt(2024, 4, 30))
        self.assertEqual([struct.unpack("<IHBBI", i) for i in items],
                         [(12, 2024, 3, 0, 1 << 9), (12, 2024, 4, 0, 0b11)])
        self.assertEqual(records.month_items(store, None, dt(2024, 4, 30)), [])

    def test_decode(self):
        body = records.BODY.pack(5, bytes([0xE8, 0x07, 3, 10, 6, 0, 0, 0]),
                                 bytes([0xE8, 0x07, 13, 10, 6, 0, 0, 0]), 6,
                                 *range(7), 0, 8, 9, bytes(6), bytes(range(72)))
        d = records.decode(body)
        self.assertEqual((d["a"], d["b"], d["c"], d["d"], d["e"]), (5, 6, "0,1,2,3,4,5,6", 8, 9))
        self.assertEqual(d["start"], "2024-03-10 06:00:00")
        self.assertIsNone(d["_end"])  # month 13: no calendar time, nothing overlaps
        self.assertTrue(d["zeros_ok"])
        self.assertIsNone(records.decode(body[:-1]))


class CommandLineTest(unittest.TestCase):
    def run_sim(self, *args):
        return subprocess.run([PYTHON, SIM] + list(args), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=30)

    def test_refusals(self):
        unknown = self.run_sim("--scenario", "no-such-thing")
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("no-such-thing", unknown.stderr)
        if safety.private_namespace():
            self.skipTest("runs in a private network namespace")
        for address in ("0.0.0.0", "198.51.100.1"):
            result = self.run_sim("--bind", address)
            self.assertEqual(result.returncode, 2, address)
            self.assertIn("refusing", result.stderr)
            self.assertNotIn("READY", result.stdout)

    def test_stops_on_stdin_end_and_on_sigterm(self):
        for stop in ("stdin", "sigterm"):
            proc = subprocess.Popen([PYTHON, SIM], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            ports = read_ready(proc)
            self.assertEqual(sorted(ports), ["tcp", "udp"])
            if stop == "stdin":
                proc.stdin.close()
            else:
                proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(5), 0, stop)
            for stream in (proc.stdin, proc.stdout, proc.stderr):
                stream.close()


class MediaTest(unittest.TestCase):
    def test_frames_cut_and_reassembled_in_any_order(self):
        from kvsim import frames
        for f in frames.synthetic(12, gop=4, audio_every=3):
            for slot in (1400, 8192):
                packs = frames.cut(f.bytes(), f.no, slot, b"\xee" * 4)
                re = frames.Reassembler()
                got = None
                for p in reversed(packs):
                    head = frames.PACK.unpack_from(p)
                    self.assertEqual(head[0] & 0xFC, 4)
                    self.assertEqual(head[0] & 3, 1 if slot == 8192 else 0)
                    got = re.add(head, p[12 + 4:]) or got
                self.assertEqual(got[0], f.bytes())
                self.assertEqual(frames.parse(got[0]).sha256(), f.sha256())

    def test_tcp_opening_checks_the_session_and_streams_packs(self):
        from kvsim import frames
        import struct
        with SimProcess("media-frames=5", "media-gop=5") as sim:
            for sid, ack in ((0x5E55107D, 0), (7, 50)):
                with connect(sim) as sock:
                    sock.sendall(request(71, 0, struct.pack("<IBBBBI", 1, 0, 1, 0, 0, sid), seq=9))
                    reply = read_reply(sock)
                    self.assertEqual((reply.head.type, reply.head.seq, reply.head.ack), (71, 9, ack))
                    if ack:
                        continue
                    re = frames.Reassembler()
                    got = []
                    while len(got) < 5:
                        head = frames.PACK.unpack(recv_exact(sock, 12))
                        whole = re.add(head, recv_exact(sock, head[5]))
                        if whole:
                            got.append(frames.parse(whole[0]).sha256())
            sent = [e["sha256"] for e in sim.messages() if e.get("event") == "media-frame"]
            self.assertEqual(got, sent)
            opens = [e["session_ok"] for e in sim.messages() if e.get("event") == "media-open"]
            self.assertEqual(opens, [True, False])


if __name__ == "__main__":
    unittest.main()
