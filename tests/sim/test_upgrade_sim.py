"""The simulator's upgrade endpoint catches what a faulty client would do wrong:
a wrong CRC, a changed byte, a skipped Seq, a scrambled data piece, a short plain
file.  A plain Python client speaks to it over loopback."""

import os
import socket
import struct
import tempfile
import unittest
import zlib

from kvsim import proto
from kvsim.proto import Head
from kvsim.testing import SimProcess, recv_exact

HEAD = 276
ROW = 92


def crc(data):
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def part_file(sizes):
    head = bytearray(HEAD)
    struct.pack_into("<I", head, 12, len(sizes))
    table = bytearray(ROW * len(sizes))
    off = HEAD + ROW * len(sizes)
    data = b""
    for i, n in enumerate(sizes):
        struct.pack_into("<III", table, ROW * i + 8, off, n, i)
        off += n
        data += bytes((i * 17 + k) & 0xFF for k in range(n))
    img = bytearray(head + table + data)
    struct.pack_into("<I", img, 4, crc(bytes(img[:4] + img[8:])))
    return bytes(img), data


def msg(t, sub, body=b"", seq=0, scrambled=False):
    flags = proto.SECURITY_SCRAMBLED if scrambled else 0
    return proto.encode(Head(flags, 0, 0, t, sub, len(body), seq), b"", body, scrambled)


def read(sock):
    return proto.read_message(lambda n: recv_exact(sock, n))


class UpgradeEndpointTest(unittest.TestCase):
    def setUp(self):
        fd, self.path = tempfile.mkstemp(prefix="kvfw-")
        os.close(fd)

    def tearDown(self):
        os.unlink(self.path)

    def run_parts(self, mutate=lambda pieces, data: (pieces, crc(data)), scenarios=()):
        img, data = part_file([5000, 3000])
        with open(self.path, "wb") as f:
            f.write(img)
        with SimProcess("upgrade-file=" + self.path, *scenarios) as sim:
            s = socket.create_connection(("127.0.0.1", sim.tcp_port))
            body = struct.pack("<I", 1) + img[:HEAD + 2 * ROW] + b"fw.bin".ljust(256, b"\0")
            s.sendall(msg(5139, 0, body))
            reply = read(s)
            self.assertEqual(reply.head.ack, 0)
            mask, want = struct.unpack("<II", reply.body)
            self.assertEqual((mask, want), (3, 8000))
            pieces = [(msg(5139, 761, data[i:i + 4096], seq=i // 4096 + 1))
                      for i in range(0, len(data), 4096)]
            pieces, value = mutate(pieces, data)
            for p in pieces:
                s.sendall(p)
            n = len(pieces)
            s.sendall(msg(5139, 763, seq=n + 1))
            s.sendall(msg(5139, 762, struct.pack("<I", value), seq=n + 2))
            verdict = read(s)
            s.close()
            return verdict

    def test_right_upgrade_is_accepted_and_flash_follows(self):
        v = self.run_parts()
        self.assertEqual((v.head.ack, v.head.subtype, v.body), (0, 762, b"\x01"))

    def test_faults_are_refused(self):
        def wrong_crc(p, d):
            return p, crc(d) ^ 1

        def changed_byte(p, d):
            d2 = bytearray(d)
            d2[100] ^= 1
            first = msg(5139, 761, bytes(d2[:4096]), seq=1)
            return [first] + p[1:], crc(bytes(d2))

        def skipped_seq(p, d):
            return [p[0], msg(5139, 761, d[4096:8000], seq=3)], crc(d)

        def scrambled_piece(p, d):
            return [msg(5139, 761, d[:4096], seq=1, scrambled=True), p[1]], crc(d)

        def missing_piece(p, d):
            return p[:1], crc(d[:4096])

        for fault in (wrong_crc, changed_byte, skipped_seq, scrambled_piece, missing_piece):
            with self.subTest(fault.__name__):
                v = self.run_parts(fault)
                self.assertEqual(v.head.ack, 1)

    def test_plain_file_bytes_are_checked(self):
        data = bytes(range(256)) * 40
        with open(self.path, "wb") as f:
            f.write(data)
        for sent, want in ((data, 0), (data[:-1] + b"\0", 1)):
            with self.subTest(want=want), SimProcess("upgrade-file=" + self.path) as sim:
                s = socket.create_connection(("127.0.0.1", sim.tcp_port))
                body = bytearray(328)
                struct.pack_into("<II", body, 0, 328, 1)
                body[40:46] = b"fw.img"
                struct.pack_into("<I", body, 296, len(data))
                s.sendall(msg(730, 0, bytes(body)))
                self.assertEqual(read(s).head.ack, 0)
                s.sendall(sent)
                self.assertEqual(read(s).head.ack, want)
                s.close()


if __name__ == "__main__":
    unittest.main()
