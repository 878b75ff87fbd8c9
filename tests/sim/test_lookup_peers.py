"""Self-tests of the lookup peers (idsrv.py, mediaport.py): the fixtures say what
their scenario names promise, the exact request bytes reach the log, and binding
beyond loopback is refused outside a private network namespace."""

import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from kvsim import safety  # noqa: E402


class Peer:
    def __init__(self, script, *args):
        self.dir = tempfile.TemporaryDirectory(prefix="lookup-peer-")
        self.log = os.path.join(self.dir.name, "log.jsonl")
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, script), "--log", self.log] + list(args),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("READY"):
            raise RuntimeError("no READY line: %r %r" % (line, self.proc.stderr.read()))
        self.ports = {k: int(v) for k, v in (f.split("=") for f in line.split()[1:])}

    def exchange(self, key, request, timeout=3):
        s = socket.create_connection(("127.0.0.1", self.ports[key]))
        s.settimeout(timeout)
        s.sendall(request)
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        except socket.timeout:
            data += b"<silent>"
        s.close()
        return data

    def entries(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(10)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.dir.cleanup()


ID_REQ = b"GET /queryinfo.php?DevID=A1? HTTP/1.1\r\nAccept: */*\r\nHost: h\r\n\r\n"
DIR_REQ = b"DIRGETSVRINFO BMSP/0.3\r\nID:A1\r\n\r\n\r\n"
REDIRECT_REQ = b"GET / HTTP/1.1\r\nHost: h\r\n\r\n"


class IdServerTest(unittest.TestCase):
    def run_scenario(self, scenario, *extra):
        peer = Peer("idsrv.py", "--http-port", "0", "--dir-port", "0", "--scenario", scenario, *extra)
        try:
            replies = (peer.exchange("http", ID_REQ), peer.exchange("dir", DIR_REQ),
                       peer.exchange("http", REDIRECT_REQ))
            return replies, peer.entries()
        finally:
            peer.close()

    def test_good_replies_and_exact_requests(self):
        (idr, dirr, red), log = self.run_scenario("ok")
        self.assertIn(b"<RemoteIP>203.0.113.7</RemoteIP>", idr)
        self.assertIn(b"<MediaPort>9000</MediaPort>", idr)
        self.assertTrue(idr.rstrip().endswith(b"</response>"))
        self.assertIn(b"\r\nIP: 203.0.113.7\r\nSTREAM_PORT: 9000\r\n", dirr)
        self.assertIn(b"\r\nLocation: http://198.51.100.4:8080/live/index.html\r\n", red)
        reqs = [(e["service"], bytes.fromhex(e["raw"])) for e in log if "service" in e]
        self.assertEqual(reqs, [("id", ID_REQ), ("dir", DIR_REQ), ("redirect", REDIRECT_REQ)])
        self.assertEqual(sum(1 for e in log if e.get("event") == "accept"), 3)

    def test_split_sends_the_same_bytes(self):
        good, _ = self.run_scenario("ok")
        split, _ = self.run_scenario("split")
        self.assertEqual(good, split)

    def test_faulty_fixtures(self):
        cases = {
            "missing-addr": lambda i, d, r: b"RemoteIP" not in i and b"\r\nIP: " not in d and b"Location" not in r,
            "missing-port": lambda i, d, r: b"MediaPort" not in i and b"STREAM_PORT" not in d,
            "no-terminator": lambda i, d, r: b"</response>" not in i and not d.endswith(b"\r\n")
            and not r.endswith(b"\r\n"),
            "oversized": lambda i, d, r: min(i.find(b"<RemoteIP>"), d.find(b"\r\nIP: "),
                                             r.find(b"Location:")) > 8192,
            "port-zero": lambda i, d, r: b"<MediaPort>0<" in i and b"STREAM_PORT: 0\r\n" in d,
            "location-https": lambda i, d, r: b"Location: https://" in r,
            "close": lambda i, d, r: (i, d, r) == (b"", b"", b""),
        }
        for scenario, check in cases.items():
            with self.subTest(scenario=scenario):
                replies, _ = self.run_scenario(scenario)
                self.assertTrue(check(*replies), replies)

    def test_silence_holds_the_connection(self):
        peer = Peer("idsrv.py", "--http-port", "0", "--dir-port", "0", "--scenario", "silence")
        try:
            self.assertEqual(peer.exchange("dir", DIR_REQ, timeout=0.5), b"<silent>")
        finally:
            peer.close()

    @unittest.skipIf(safety.private_namespace(), "only outside a private namespace")
    def test_refuses_to_bind_beyond_loopback(self):
        for script in ("idsrv.py", "mediaport.py"):
            with self.subTest(script=script):
                r = subprocess.run([sys.executable, os.path.join(HERE, script), "--bind", "198.51.100.1",
                                    "--no-stdin-watch", "--lifetime", "1"], capture_output=True, timeout=20)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertNotIn(b"READY", r.stdout)


class MediaPortTest(unittest.TestCase):
    def test_scenarios(self):
        req = b"\x01" + b"\x00" * 7
        for scenario, check in (
                ("ok", lambda r: len(r) == 16 and r[0] == 1 and struct.unpack_from("<H", r, 8)[0] == 4321),
                ("wrong-code", lambda r: len(r) == 16 and r[0] == 2),
                ("short", lambda r: len(r) == 10),
                ("silence", lambda r: r == b"<silent>")):
            with self.subTest(scenario=scenario):
                peer = Peer("mediaport.py", "--scenario", scenario, "--media-port", "4321")
                try:
                    self.assertTrue(check(peer.exchange("tcp", req, timeout=0.5)))
                    self.assertEqual([e["raw"] for e in peer.entries()], [req.hex()])
                finally:
                    peer.close()

    def test_refuse(self):
        peer = Peer("mediaport.py", "--scenario", "refuse")
        try:
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", peer.ports["tcp"]), timeout=2)
        finally:
            peer.close()


if __name__ == "__main__":
    unittest.main()
