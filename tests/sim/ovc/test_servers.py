"""Self-test of servers.py on loopback with plain sockets: the master's answers with their option
records, a registration, the pre-check, the punch information to both sides, the relay's
announcement and forwarding, and a refusal mode."""
import os
import socket
import struct
import subprocess
import sys
import unittest

import codec

HERE = os.path.dirname(os.path.abspath(__file__))
ADDR = "127.0.%d.41" % (os.getpid() % 200 + 20)
UID = b"SELFTESTDEVICE000001"


def msg(mtype, body, route=0, random_id=0):
    return codec.encode(codec.pack_head(length=len(body), type=mtype, route=route, randomId=random_id) + body)


def sockaddr(addr, port):
    return struct.pack("<H", 2) + struct.pack(">H", port) + socket.inet_aton(addr) + bytes(8)


class ServersSelfTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.p = subprocess.Popen([sys.executable, os.path.join(HERE, "servers.py"), "--master", ADDR,
                                  "--p2p", ADDR + ":0," + ADDR + ":0", "--relay-delay", "0", "--timeout", "60"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=HERE)
        assert cls.p.stdout.readline().startswith("PORT 10240")
        import json
        ready = json.loads(cls.p.stdout.readline())
        cls.servers = [(a.rsplit(":", 1)[0], int(a.rsplit(":", 1)[1])) for a in ready["p2p"]]

    @classmethod
    def tearDownClass(cls):
        cls.p.stdin.close()
        cls.p.wait(timeout=5)

    def sock(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        s.settimeout(2)
        self.addCleanup(s.close)
        return s

    def recv(self, s, want):
        while True:
            head, body = codec.decode(s.recvfrom(2048)[0])
            if head["type"] == want:
                return head, body

    def test_client_query_gets_option_records(self):
        c = self.sock()
        c.sendto(msg(0x1007, UID + bytes(16) + bytes([6, 0]), 0x18), (ADDR, 10240))
        head, body = self.recv(c, 0x1008)
        self.assertEqual(body[:20], UID)
        self.assertEqual(struct.unpack(">H", body[38:40])[0], c.getsockname()[1])
        n = struct.unpack_from("<H", body, 54)[0]
        pos, kinds = 56, {}
        for _ in range(n):
            kind, _, length = struct.unpack_from("<BBH", body, pos)
            kinds[kind] = body[pos + 4:pos + 4 + length]
            pos += 4 + length
        self.assertEqual(pos, len(body))
        self.assertEqual(len(kinds[2]), 32)
        self.assertEqual(kinds[2][:16], sockaddr(*self.servers[0]))

    def test_punch_information_and_relay(self):
        dev, cli = self.sock(), self.sock()
        reg = bytearray(272)
        reg[0:20] = UID
        struct.pack_into("<I", reg, 36, 2)
        dev.sendto(msg(0x0105, bytes(reg), 0x14), self.servers[0])
        _, body = self.recv(dev, 0x0106)
        self.assertEqual(body[20:36], sockaddr(*dev.getsockname()))
        cli.sendto(msg(0x0211, UID, 0x24), self.servers[0])
        head, body = self.recv(cli, 0x0212)
        self.assertEqual(body[36], 2)
        self.assertGreaterEqual(struct.unpack_from("<I", body, 40)[0], 0x010E0000)
        req = bytearray(272)
        req[0:20] = UID
        struct.pack_into("<III", req, 84, 11, 22, 3)
        cli.sendto(msg(0x0203, bytes(req), 0x34), self.servers[0])
        _, to_cli = self.recv(cli, 0x0301)
        _, to_dev = self.recv(dev, 0x0301)
        self.assertEqual(to_cli[20:36], sockaddr(*dev.getsockname()))
        self.assertEqual(to_dev[20:36], sockaddr(*cli.getsockname()))
        self.assertEqual(struct.unpack_from("<IIB", to_dev, 100), (11, 22, 3))
        # The relay: request, announcement to the device, then the session information.
        cli.sendto(msg(0x0205, UID + struct.pack("<III", 11, 22, 60000), 0x24), self.servers[0])
        self.assertEqual(struct.unpack_from("<iII", self.recv(cli, 0x0206)[1], 20), (0, 11, 22))
        self.assertEqual(struct.unpack_from("<II", self.recv(dev, 0x0103)[1], 20), (11, 22))
        cli.sendto(msg(0x0209, UID + struct.pack("<II", 11, 22) + bytes(16), 0x24), self.servers[0])
        _, open_cli = self.recv(cli, 0x0303)
        _, open_dev = self.recv(dev, 0x0303)
        rid = struct.unpack_from("<H", open_cli, 20)[0]
        self.assertEqual(open_cli, open_dev)
        self.assertEqual(struct.unpack_from("<II", open_cli, 56), (11, 22))
        cli.sendto(msg(0x0504, b"hello device", 0x24, rid), self.servers[0])
        head, body = self.recv(dev, 0x0503)
        self.assertEqual((head["randomId"], body), (rid, b"hello device"))

    def recv_from(self, s, want):
        while True:
            data, frm = s.recvfrom(2048)
            head, body = codec.decode(data)
            if head["type"] == want:
                return head, body, frm

    def test_relay_stays_on_the_socket_the_first_request_reached(self):
        """Behind symmetric NATs each server sees the client at another port (here: another
        socket), and the client repeats the session-information request, also to the other
        server. The relay stays the server that got the first request, with the addresses that
        server saw, whichever server the device registered with last in between."""
        uid = b"SELFTESTDEVICE000002"
        dev, cli_a, cli_b = self.sock(), self.sock(), self.sock()
        reg = bytearray(272)
        reg[0:20] = uid
        struct.pack_into("<I", reg, 36, 3)
        for srv in self.servers:
            dev.sendto(msg(0x0105, bytes(reg), 0x14), srv)
            self.recv(dev, 0x0106)
        relay = self.servers[1]
        info = msg(0x0209, uid + struct.pack("<II", 33, 44) + bytes(16), 0x24)
        cli_a.sendto(info, relay)
        head, open_a, frm_a = self.recv_from(cli_a, 0x0303)
        self.assertEqual((frm_a, self.recv_from(dev, 0x0303)[2]), (relay, relay))
        self.assertEqual(open_a[24:40], sockaddr(*cli_a.getsockname()))
        rid = struct.unpack_from("<H", open_a, 20)[0]
        # The device refreshes its registration with the other server; then the request comes
        # again, to the same server and from the client's other mapping to the other one.
        dev.sendto(msg(0x0105, bytes(reg), 0x14), self.servers[0])
        self.recv(dev, 0x0106)
        cli_a.sendto(info, relay)
        cli_b.sendto(info, self.servers[0])
        for _ in range(2):
            _, again, frm = self.recv_from(cli_a, 0x0303)
            self.assertEqual((again, frm), (open_a, relay))
            self.assertEqual(self.recv_from(dev, 0x0303)[2], relay)
        dev.sendto(msg(0x0502, b"to the client", 0x24, rid), relay)
        head, body, frm = self.recv_from(cli_a, 0x0501)
        self.assertEqual((head["randomId"], body, frm), (rid, b"to the client", relay))
        cli_a.sendto(msg(0x0504, b"to the device", 0x24, rid), relay)
        head, body, frm = self.recv_from(dev, 0x0503)
        self.assertEqual((body, frm), (b"to the device", relay))
        cli_b.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            cli_b.recvfrom(2048)

    def test_refusal_mode(self):
        c = self.sock()
        self.p.stdin.write("mode refuse-uid\n")
        self.p.stdin.flush()
        try:
            while "refuse-uid" not in self.p.stdout.readline():
                pass
            c.sendto(msg(0x1007, UID + bytes(16) + bytes([6, 0]), 0x18), (ADDR, 10240))
            self.assertEqual(self.recv(c, 0x0008)[1], UID)
        finally:
            self.p.stdin.write("mode normal\n")
            self.p.stdin.flush()


if __name__ == "__main__":
    unittest.main()
