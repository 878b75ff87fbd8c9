"""Connect and disconnect logs (1103, 1104) as the port forwarding reports them to the server
over a real connection in p2pnet.sh namespaces: the server asks for them through its keyed
heartbeat answer (connect-log level 2) and records them decoded.

Needs root, t2u_probe (T2U_PROBE) and the device peer t2upeer.py.
"""
import json
import os
import sys
import tempfile
import time
import unittest

from test_registration import SERVER, Lines, sh

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = os.environ.get("T2U_PROBE", "")
PEER = os.path.join(HERE, "t2upeer.py")
SERVERS = ["203.0.113.10", "203.0.113.11", "203.0.113.12"]
RELAY = "203.0.113.20:7100"


def key(k, pred=lambda v: True):
    return lambda v: isinstance(v, dict) and k in v and pred(v[k])


@unittest.skipUnless(os.geteuid() == 0 and PROBE, "needs root and t2u_probe")
class ConnLogTest(unittest.TestCase):
    def setUp(self):
        self.name = "v2l%d" % os.getpid()
        self.tmp = tempfile.mkdtemp(prefix="v2-connlog-")
        self.log = os.path.join(self.tmp, "server.jsonl")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.close()
        sh("destroy", self.name, check=False)

    def ns(self, side):
        return ["ip", "netns", "exec", "%s-%s" % (self.name, side)]

    def start(self, argv, ready, seconds=60):
        p = Lines(argv)
        self.procs.append(p)
        r = p.wait_for(ready, seconds)
        self.assertIsNotNone(r, p.all)
        return p, r

    def connlogs(self, msg_id, seconds):
        deadline = time.monotonic() + seconds
        while True:
            with open(self.log) as f:
                got = [json.loads(ln) for ln in f if '"connlog"' in ln]
            got = [g for g in got if g["id"] == msg_id]
            if got or time.monotonic() > deadline:
                return got
            time.sleep(0.1)

    def test_connect_and_disconnect_logs(self):
        for extra, relayed in [([], 0), (["block-direct"], 1)]:
            with self.subTest(extra=extra):
                try:
                    self.run_case(extra, relayed)
                finally:
                    self.tearDown()
                    self.procs = []

    def run_case(self, extra, relayed):
        self.log = os.path.join(self.tmp, "server-%d.jsonl" % relayed)
        sh("create", self.name, "--natc", "cone", "--natd", "cone")
        if extra:
            sh("block-direct", self.name)
        cfg = {"addrs": SERVERS, "relay": RELAY, "svrkey": "sk", "connlog": 2, "log": self.log}
        self.start(self.ns("srv") + [sys.executable, SERVER, json.dumps(cfg)], lambda v: v == "READY", 30)
        _, ready = self.start(self.ns("dev") + [sys.executable, PEER, "--stdin-watch"],
                              lambda v: isinstance(v, str) and v.startswith("READY"), 30)
        ports = dict(kv.split("=") for kv in ready.split()[1:])
        common = ["--server", SERVERS[0], "--scale", "10"]
        dev, _ = self.start(self.ns("dev") + [PROBE, "--role", "device", "--uuid", "DEV1", "--carrier",
                                              ports["carrier"], "--key", "sk"] + common,
                            key("status", lambda s: s == 1))
        cli, st = self.start(self.ns("cli") + [PROBE, "--role", "client", "--uuid", "CLI1", "--dev", "DEV1",
                                               "--rport", ports["echo"], "--key", "sk"] + common,
                             key("status", lambda s: s == 1), 120)
        got = self.connlogs(1103, 30)
        self.assertEqual(len(got), 1, got)
        c = got[0]
        # The connection number is the mapping's local port.
        self.assertEqual((c["conn"], c["platform"], c["peer"], c["version"], c["peer_version"],
                          c["relayed"], c["result"]),
                         (st["port"], 4, "DEV1", 118, 118, relayed, 0), c)
        self.assertGreaterEqual(c["ms"], 0, c)
        # The device goes away: the mapping's connection ends and its end is reported.
        dev.close()
        self.procs.remove(dev)
        got = self.connlogs(1104, 60)
        self.assertEqual(len(got), 1, (got, cli.all))
        d = got[0]
        self.assertEqual((d["conn"], d["platform"], d["peer"]), (st["port"], 4, "DEV1"), d)
        self.assertIn(d["result"], (2, 4), d)
        self.assertGreaterEqual(d["seconds"], 0, d)


if __name__ == "__main__":
    unittest.main()
