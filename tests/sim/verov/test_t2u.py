"""Port forwarding over real VERov connections in p2pnet.sh namespaces: the forwarding layer
(t2u_probe --role client) maps the device's echo service to a local port; the device is a
registered NAT client (t2u_probe --role device) whose frames the device peer t2upeer.py serves.
Each case copies T2U_MIB MiB (default 64) both ways through the mapping (SHA-256 compared) and
prints the time beside a plain TCP copy between the same two namespaces.

Needs root. T2U_ONLY=name runs one case.
"""
import json
import os
import sys
import tempfile
import unittest

from test_registration import SERVER, Lines, sh

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = os.environ.get("T2U_PROBE", "")
PEER = os.path.join(HERE, "t2upeer.py")
KVSIM = os.path.join(HERE, "..", "kvsim.py")
LOGIN = os.environ.get("VV_LOGIN_PROBE", "")
SCALE = 10
SERVERS = ["203.0.113.10", "203.0.113.11", "203.0.113.12"]
RELAY = "203.0.113.20:7100"
MIB = int(os.environ.get("T2U_MIB", "64"))

# Sends N MiB to host:port while reading the echo; prints sha256 of both and the seconds.
COPIER = r'''
import hashlib, json, socket, sys, threading, time
host, port, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) << 20
s = socket.create_connection((host, port), timeout=120)
block = bytes(range(256)) * 256
sent, back = hashlib.sha256(), hashlib.sha256()
got = [0]
def rd():
    while got[0] < n:
        d = s.recv(1 << 20)
        if not d:
            break
        back.update(d)
        got[0] += len(d)
t0 = time.monotonic()
th = threading.Thread(target=rd); th.start()
left = n; i = 0
while left:
    b = block[: min(left, len(block))]
    b = bytes([i & 255]) + b[1:]
    i += 1
    s.sendall(b); sent.update(b); left -= len(b)
th.join()
print(json.dumps({"bytes": got[0], "sent": sent.hexdigest(), "back": back.hexdigest(),
                  "seconds": round(time.monotonic() - t0, 3)}), flush=True)
'''

# 1000 echoes of 64 bytes, one at a time; prints p50 and p99 in milliseconds.
PINGER = r'''
import json, socket, sys, time
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=30)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
lat = []
for i in range(1000):
    m = bytes([i & 255]) * 64
    t0 = time.monotonic()
    s.sendall(m)
    got = b""
    while len(got) < 64:
        d = s.recv(64 - len(got))
        if not d:
            sys.exit(1)
        got += d
    lat.append((time.monotonic() - t0) * 1000)
    assert got == m
lat.sort()
print(json.dumps({"p50": round(lat[499], 3), "p99": round(lat[989], 3)}), flush=True)
'''

# A plain echo service for the direct baseline.
ECHO = r'''
import socket, sys, threading
ls = socket.socket(); ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ls.bind(("0.0.0.0", int(sys.argv[1]))); ls.listen(4)
print("READY", flush=True)
def serve(c):
    while True:
        d = c.recv(1 << 20)
        if not d:
            break
        c.sendall(d)
    c.close()
while True:
    c, _ = ls.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
'''


def key(k, pred=lambda v: True):
    return lambda v: isinstance(v, dict) and k in v and pred(v[k])


@unittest.skipUnless(os.geteuid() == 0 and PROBE, "needs root and the probe program")
class T2uNetnsTest(unittest.TestCase):
    CASES = [
        # name, NAT of client, NAT of device, extras, instance, relayed
        ("lan", "restricted", "restricted", ["--lan"], 1, 0),
        ("cone", "cone", "cone", [], 1, 0),
        ("relayed", "cone", "cone", ["block-direct"], 1, 1),
        ("lan-second-instance", "restricted", "restricted", ["--lan"], 2, 0),
    ]

    def setUp(self):
        self.name = "vt%d" % os.getpid()
        self.tmp = tempfile.mkdtemp(prefix="vt-t2u-")
        self.procs = []

    def tearDown(self):
        self.stop()

    def stop(self):
        for p in self.procs:
            p.close()
        self.procs = []
        sh("destroy", self.name, check=False)

    def ns(self, side):
        return ["ip", "netns", "exec", "%s-%s" % (self.name, side)]

    def start(self, argv, ready, seconds=60):
        p = Lines(argv)
        self.procs.append(p)
        r = p.wait_for(ready, seconds)
        self.assertIsNotNone(r, p.all)
        return p, r

    def run_case(self, name, natc, natd, extra, inst, relayed):
        sh("create", self.name, "--natc", natc, "--natd", natd, *[e for e in extra if e.startswith("--")])
        if "block-direct" in extra:
            sh("block-direct", self.name)
        if os.environ.get("T2U_LOSS"):
            sh("loss", self.name + "-natd", os.environ["T2U_LOSS"])
        cfg = {"addrs": SERVERS, "relay": RELAY, "spoof": "203.0.113.29",
               "log": os.path.join(self.tmp, "server.jsonl")}
        self.start(self.ns("srv") + [sys.executable, SERVER, json.dumps(cfg)], lambda v: v == "READY", 30)
        _, ready = self.start(self.ns("dev") + [sys.executable, PEER, "--stdin-watch"],
                              lambda v: isinstance(v, str) and v.startswith("READY"), 30)
        ports = dict(kv.split("=") for kv in ready.split()[1:])
        common = ["--server", SERVERS[0], "--scale", str(SCALE), "--inst", str(inst)]
        self.start(self.ns("dev") + [PROBE, "--role", "device", "--uuid", "DEV1", "--carrier", ports["carrier"]]
                   + common, key("status", lambda s: s == 1))
        cli, st = self.start(self.ns("cli") + [PROBE, "--role", "client", "--uuid", "CLI1", "--dev", "DEV1",
                                               "--rport", ports["echo"]] + common,
                             key("status", lambda s: s == 1), 120)
        self.assertEqual(st["proxy"], relayed, (name, st))
        out = Lines(self.ns("cli") + [sys.executable, "-c", COPIER, "127.0.0.1", str(st["port"]), str(MIB)])
        self.procs.append(out)
        r = out.wait_for(key("bytes"), 600)
        self.assertIsNotNone(r, (name, out.all, cli.all))
        self.assertEqual(r["bytes"], MIB << 20, r)
        self.assertEqual(r["back"], r["sent"], r)
        # The same copy over plain TCP between the two namespaces.
        # Cone NATs forward everything to the host behind them.
        dev_ip = "198.51.100.3" if "--lan" in extra else "203.0.113.65"
        self.start(self.ns("dev") + [sys.executable, "-c", ECHO, "7500"], lambda v: v == "READY", 30)
        base = Lines(self.ns("cli") + [sys.executable, "-c", COPIER, dev_ip, "7500", str(MIB)])
        self.procs.append(base)
        b = base.wait_for(key("bytes"), 600)
        direct = b["seconds"] if b else None
        lat = {}
        for what, host, port in (("mapping", "127.0.0.1", st["port"]), ("plain", dev_ip, 7500)):
            p = Lines(self.ns("cli") + [sys.executable, "-c", PINGER, host, str(port)])
            self.procs.append(p)
            lat[what] = p.wait_for(key("p50"), 120)
        self.assertIsNotNone(lat["mapping"])
        print("T2U %s: %d MiB both ways in %.2f s through the mapping (proxy %d); plain TCP %s s; "
              "64-byte echo p50/p99 ms mapping %s plain %s"
              % (name, MIB, r["seconds"], st["proxy"], direct, lat["mapping"], lat["plain"]), flush=True)

    # name, NAT of client, NAT of device, extras, login types, code of the path
    LOGINS = [
        ("lan", "restricted", "restricted", ["--lan"], (12, 7, 5), 121),
        ("cone", "cone", "cone", [], (12,), 121),
        ("relayed", "cone", "cone", ["block-direct"], (12,), 122),
    ]

    def login_case(self, name, natc, natd, extra, types, code):
        sh("create", self.name, "--natc", natc, "--natd", natd, *[e for e in extra if e.startswith("--")])
        if "block-direct" in extra:
            sh("block-direct", self.name)
        cfg = {"addrs": SERVERS, "relay": RELAY, "spoof": "203.0.113.29",
               "log": os.path.join(self.tmp, "server.jsonl")}
        self.start(self.ns("srv") + [sys.executable, SERVER, json.dumps(cfg)], lambda v: v == "READY", 30)
        _, ready = self.start(self.ns("dev") + [sys.executable, KVSIM, "--tcp-port", "0", "--scenario", "device-kind=plain", "--log", os.path.join(self.tmp, "kvsim.jsonl")],
                              lambda v: isinstance(v, str) and v.startswith("READY"), 30)
        media = dict(kv.split("=") for kv in ready.split()[1:])["tcp"]
        _, ready = self.start(self.ns("dev") + [sys.executable, PEER, "--stdin-watch"],
                              lambda v: isinstance(v, str) and v.startswith("READY"), 30)
        carrier = dict(kv.split("=") for kv in ready.split()[1:])["carrier"]
        for inst in (1, 2):
            self.start(self.ns("dev") + [PROBE, "--role", "device", "--uuid", "DEV1", "--carrier", carrier,
                                         "--server", SERVERS[0], "--scale", str(SCALE), "--inst", str(inst)],
                       key("status", lambda s: s == 1))
            if inst == 1 and all(t == 12 for t in types):
                break
        for t in types:
            p = Lines(self.ns("cli") + [LOGIN, SERVERS[0], "7000", "DEV1", media, str(t), "120"])
            self.procs.append(p)
            end = p.wait_for(key("end"), 150)
            self.assertIsNotNone(end, (name, t, p.all))
            codes = [v["code"] for v in p.all if isinstance(v, dict) and "code" in v]
            self.assertEqual(end["last"], 101, (name, t, codes))
            self.assertIn(code, codes, (name, t, codes))
            print("T2U login %s type %d: codes %s" % (name, t, codes), flush=True)

    # Sessions of the device protocol through the tunnel, logged in to the simulator: a
    # minute of real time, so a test entry of its own runs it (T2U_LOGIN=1).
    @unittest.skipUnless(LOGIN and os.environ.get("T2U_LOGIN"), "needs the session probe and T2U_LOGIN=1")
    def test_session_logins(self):
        only = os.environ.get("T2U_ONLY")
        for case in [c for c in self.LOGINS if not only or c[0] == only]:
            with self.subTest(case=case[0]):
                try:
                    self.login_case(*case)
                finally:
                    self.stop()

    @unittest.skipUnless(os.path.exists("/usr/bin/curl"), "needs curl")
    def test_curl_socks4(self):
        """curl --socks4 through a mapping without destination port reaches the device's HTTP server."""
        sh("create", self.name, "--natc", "cone", "--natd", "cone")
        cfg = {"addrs": SERVERS, "relay": RELAY, "spoof": "203.0.113.29",
               "log": os.path.join(self.tmp, "server.jsonl")}
        self.start(self.ns("srv") + [sys.executable, SERVER, json.dumps(cfg)], lambda v: v == "READY", 30)
        _, ready = self.start(self.ns("dev") + [sys.executable, PEER, "--stdin-watch"],
                              lambda v: isinstance(v, str) and v.startswith("READY"), 30)
        ports = dict(kv.split("=") for kv in ready.split()[1:])
        common = ["--server", SERVERS[0], "--scale", str(SCALE)]
        self.start(self.ns("dev") + [PROBE, "--role", "device", "--uuid", "DEV1", "--carrier", ports["carrier"]]
                   + common, key("status", lambda s: s == 1))
        _, st = self.start(self.ns("cli") + [PROBE, "--role", "client", "--uuid", "CLI1", "--dev", "DEV1",
                                             "--rport", "0"] + common, key("status", lambda s: s == 1), 120)
        import subprocess
        r = subprocess.run(self.ns("cli") + ["/usr/bin/curl", "-sS", "--max-time", "30", "--socks4",
                                             "127.0.0.1:%d" % st["port"],
                                             "http://127.0.0.1:%s/" % ports["http"]],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "device page\n")

    def test_lan_search(self):
        sh("create", self.name, "--lan")
        self.start(self.ns("dev") + [sys.executable, PEER, "--stdin-watch", "--search-id", "DEV-LAN1",
                                     "--search-id", "DEV-LAN2", "--search-junk"],
                   lambda v: isinstance(v, str) and v.startswith("READY"), 30)
        p = Lines(self.ns("cli") + [PROBE, "--role", "search"])
        self.procs.append(p)
        r = p.wait_for(key("found"), 30)
        self.assertIsNotNone(r, p.all)
        self.assertEqual(r["found"], 2, r)
        self.assertEqual(sorted(r["list"].strip().split("\n")),
                         ["uuid=DEV-LAN1,ip=198.51.100.3", "uuid=DEV-LAN2,ip=198.51.100.3"], r)

    def test_cases(self):
        only = os.environ.get("T2U_ONLY")
        for case in [c for c in self.CASES if not only or c[0] == only]:
            with self.subTest(case=case[0]):
                try:
                    self.run_case(*case)
                finally:
                    self.stop()


if __name__ == "__main__":
    unittest.main()
