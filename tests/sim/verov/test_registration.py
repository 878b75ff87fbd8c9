"""NAT-client registration against the server simulator, behind each kind of NAT of p2pnet.sh.

The namespace cases need root and skip otherwise; the real-time heartbeat window runs on
loopback and only when VV_SLOW=1 (ctest label slow). Clients run at a time scale of 10, so
the 45 s heartbeat window passes in about 4.5 s.
"""
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
SERVER = os.path.join(HERE, "vvserver.py")
PROBE = os.environ.get("VVNAT_PROBE", "")
SCALE = 10


def sh(*args, check=True):
    return subprocess.run([SH, *args], check=check, capture_output=True, text=True)


class Lines:
    """A child process whose stdout lines are read on a thread."""

    def __init__(self, argv):
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.q = queue.Queue()
        self.all = []
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.p.stdout:
            self.q.put(line)

    def send(self, text):
        self.p.stdin.write(text + "\n")
        self.p.stdin.flush()

    def wait_for(self, pred, seconds):
        """The first line (parsed when JSON) satisfying pred, or None after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self.q.get(timeout=left)
            except queue.Empty:
                return None
            try:
                v = json.loads(line)
            except ValueError:
                v = line.strip()
            self.all.append(v)
            if pred(v):
                return v

    def close(self):
        try:
            self.p.stdin.close()
        except OSError:
            pass
        try:
            self.p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
        self.p.stdout.close()


def state(key, value):
    return lambda v: isinstance(v, dict) and v.get(key) == value


SERVERS = ["203.0.113.10", "203.0.113.11", "203.0.113.12"]


@unittest.skipUnless(os.geteuid() == 0 and PROBE, "needs root and the probe program")
class RegistrationTest(unittest.TestCase):
    def setUp(self):
        self.name = "vvr%d" % os.getpid()
        self.tmp = tempfile.mkdtemp(prefix="vvreg-")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.close()
        sh("destroy", self.name, check=False)

    def topology(self, kind):
        sh("create", self.name, "--natc", kind, "--natd", kind)

    def server(self, **cfg):
        cfg.setdefault("addrs", SERVERS)
        cfg.setdefault("spoof", "203.0.113.29")
        cfg["log"] = os.path.join(self.tmp, "server.jsonl")
        s = Lines(["ip", "netns", "exec", self.name + "-srv", sys.executable, SERVER, json.dumps(cfg)])
        self.procs.append(s)
        self.assertEqual(s.wait_for(lambda v: v == "READY", 30), "READY")
        return s

    def client(self, side, *args):
        c = Lines(["ip", "netns", "exec", "%s-%s" % (self.name, side), PROBE, "--server", SERVERS[0],
                   "--scale", str(SCALE), *args])
        self.procs.append(c)
        return c

    def server_log(self):
        with open(os.path.join(self.tmp, "server.jsonl")) as f:
            return [json.loads(l) for l in f if l.strip()]

    def test_nat_type_per_kind(self):
        cases = [  # NAT kind, server list, NAT type both instances must find
            ("cone", None, 2),
            ("restricted", None, 4),
            ("symmetric", None, 5),
            ("cone", ["203.0.113.10:7000||"], -1),
        ]
        for kind, listed, want in cases:
            with self.subTest(kind=kind, servers=len(listed or SERVERS)):
                try:
                    self.topology(kind)
                    self.server(list=listed) if listed else self.server()
                    c1 = self.client("cli", "--inst", "1", "--uuid", "C1@k")
                    c2 = self.client("cli", "--inst", "2", "--uuid", "C2@k")
                    for c in (c1, c2):
                        got = c.wait_for(state("status", 1), 30)
                        self.assertIsNotNone(got, c.all[-3:])
                        self.assertEqual(got["nattype"], want, got)
                finally:
                    for p in self.procs:
                        p.close()
                    self.procs = []
                    sh("destroy", self.name, check=False)

    def test_authenticated_device_is_found_online_with_its_parameters(self):
        self.topology("cone")
        self.server(keys={"DEV1": "secret", "DEV2": "right"}, media={"DEV1": 8000})
        dev = self.client("dev", "--inst", "1", "--uuid", "DEV1@secret", "--params", "0000aabbcc")
        bad = self.client("dev", "--inst", "2", "--uuid", "DEV2@wrong")
        cli = self.client("cli", "--inst", "1")
        self.assertIsNotNone(dev.wait_for(state("status", 1), 30), dev.all[-3:])
        self.assertIsNotNone(bad.wait_for(state("status", -3), 30), bad.all[-3:])
        self.assertIsNotNone(cli.wait_for(state("status", 1), 30), cli.all[-3:])
        # The parameters reach the server with the heartbeat's second chance; ask until they show.
        got = None
        for _ in range(20):
            cli.send("query DEV1")
            got = cli.wait_for(lambda v: isinstance(v, dict) and "query" in v, 10)
            if got and len(got["params"]) >= 10:
                break
            time.sleep(0.3)
        self.assertEqual(got["query"], 1, got)
        self.assertEqual(got["params"], "401faabbcc", "media port 8000 in bytes 0-1")
        self.assertEqual(got["addr"], "203.0.113.65")
        cli.send("query DEV2")
        self.assertEqual(cli.wait_for(lambda v: isinstance(v, dict) and "query" in v, 10)["query"], 0)

    def test_silent_server_renews_sockets_and_cycles_the_port_offset(self):
        self.topology("cone")
        srv = self.server()
        c = self.client("cli", "--inst", "1", "--uuid", "C1@k")
        reg = c.wait_for(state("status", 1), 30)
        self.assertIsNotNone(reg, c.all[-3:])
        srv.send(json.dumps({"faults": {"*": "drop"}}))
        silenced = time.monotonic()
        down = c.wait_for(state("status", 0), 20)
        self.assertIsNotNone(down, "status drops once the heartbeat window passes")
        # hb_interval + 15 = 45 scaled seconds after the last reply: well over 2 s of real time.
        self.assertGreater(time.monotonic() - silenced, 2.0)
        offsets, ports = [reg["offset"]], [reg["port"]]

        def renewal(v):
            if isinstance(v, dict) and v["port"] != ports[-1] and v["port"]:
                ports.append(v["port"])
            if isinstance(v, dict) and v["offset"] != offsets[-1]:
                offsets.append(v["offset"])
            return len(offsets) >= 4

        c.wait_for(renewal, 40)
        self.assertEqual(offsets[:4], [0, 1, 2, 0], offsets)
        self.assertTrue(all(1024 <= p <= 2000 for p in ports[1:]), ports)
        heard = {e["local"].rsplit(":", 1)[1] for e in self.server_log()
                 if e.get("id") == 5001 and e["dir"] == "in"}
        self.assertEqual(heard, {"7000", "7001", "7002"})

    def test_spoofed_server_messages_change_nothing(self):
        self.topology("cone")
        srv = self.server(svrkey="")
        c = self.client("cli", "--inst", "1", "--uuid", "C1@k")
        before = c.wait_for(state("status", 1), 30)
        self.assertIsNotNone(before, c.all[-3:])
        srv.send(json.dumps({"spoof": "C1"}))
        after = c.wait_for(lambda v: isinstance(v, dict) and v["spoofed"] >= 7, 10)
        self.assertIsNotNone(after, c.all[-3:])
        time.sleep(0.5)
        c.send("query nobody")  # forces one more state line if anything moved
        c.wait_for(lambda v: isinstance(v, dict) and "query" in v, 10)
        last = [v for v in c.all if isinstance(v, dict) and "status" in v][-1]
        for key in ("status", "uuid", "hb_interval", "key_invalid", "pwcheck", "svrnum", "svrip4", "nattype"):
            self.assertEqual(last[key], before[key], key)


@unittest.skipUnless(os.environ.get("VV_SLOW") == "1" and PROBE, "real-time case: VV_SLOW=1")
class RealTimeHeartbeatWindowTest(unittest.TestCase):
    def test_status_drops_45_seconds_after_the_last_reply(self):
        log = tempfile.mktemp(prefix="vvreg-rt-")
        srv = Lines([sys.executable, SERVER, json.dumps(
            {"addrs": ["127.0.0.10", "127.0.0.11"], "port": 7100, "log": log})])
        c = None
        try:
            self.assertEqual(srv.wait_for(lambda v: v == "READY", 30), "READY")
            c = Lines([PROBE, "--server", "127.0.0.10", "--port", "7100", "--uuid", "RT@k"])
            self.assertIsNotNone(c.wait_for(state("status", 1), 60), c.all[-3:])
            srv.send(json.dumps({"faults": {"*": "drop"}}))
            silenced = time.monotonic()
            self.assertIsNotNone(c.wait_for(state("status", 0), 90))
            waited = time.monotonic() - silenced
            # The last reply came at most one heartbeat interval (30 s) before the silence.
            self.assertGreater(waited, 14)
            self.assertLess(waited, 50)
        finally:
            if c:
                c.close()
            srv.close()
            if os.path.exists(log):
                os.unlink(log)


if __name__ == "__main__":
    unittest.main()
