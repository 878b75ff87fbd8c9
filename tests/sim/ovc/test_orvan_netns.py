"""Device sessions through the Orvan tunnel in the P2P topology (tests/netns/p2pnet.sh).

The device namespace runs devpeer.py with a tunnel session on RCT channel 0 (--rct tunnel),
the device simulator kvsim.py and the media-port service mediaport.py (port 50000), all on its
loopback; the servers (servers.py) run in the server namespace; the client namespace runs
orvan_probe (path in ORVAN_PROBE), whose P2PTunnel agent connects by UID through the master.

  LAN (--lan)              path 2: login types 2 and 22 log in, no path code
  cone/cone                punched, path 0: code 121
  symmetric/symmetric      relayed, path 1: code 122
Type 2 names the simulator's port; type 22 names port 0, so the tunnel asks the media-port
service first. Each login reads a parameter afterwards. Besides: a stop while the device holds
back its verdict cancels the connect with no callback and leaves the connected-agent count at
0; ORVAN_SOCKETS local clients that vanish with a reset mid-transfer (punched and relayed) leave
the process alive and the tunnel serving, and the process ends cleanly with its mapping still listening.

Each case builds its own topology (prefix "oe") and removes it. Needs root and nftables.
"""
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
KVSIM = os.path.join(HERE, "..", "kvsim.py")
MEDIAPORT = os.path.join(HERE, "..", "mediaport.py")
PROBE = os.environ.get("ORVAN_PROBE", "")
SOCKETS = int(os.environ.get("ORVAN_SOCKETS", "64"))
UID = "ORVANNETNSDEVICE0001"
MASTER = "203.0.113.10"
P2P = "203.0.113.11:10240,203.0.113.12:10240"


def sh(*args, check=True):
    return subprocess.run([SH] + list(args), check=check, capture_output=True, text=True)


def usable():
    return os.geteuid() == 0 and PROBE and os.path.exists(PROBE) and \
        subprocess.run(["which", "nft"], capture_output=True).returncode == 0


class Proc:
    """A child process whose standard output lines are collected by a thread."""

    def __init__(self, cmd, stdin=True, env=None):
        self.p = subprocess.Popen(cmd, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, text=True, cwd=HERE, env=env)
        self.lines = queue.Queue()
        self.all = []

        def pump():
            for line in self.p.stdout:
                self.lines.put(line)
        threading.Thread(target=pump, daemon=True).start()

    def wait(self, pred, timeout):
        """The first line (text, or its JSON value) for which pred holds, or None."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                if self.p.poll() is not None and self.lines.empty():
                    return None
                continue
            try:
                v = json.loads(line)
            except ValueError:
                v = line.strip()
            self.all.append(v)
            if pred(v):
                return v
        return None

    def say(self, text):
        self.p.stdin.write(text + "\n")
        self.p.stdin.flush()

    def end(self):
        try:
            if self.p.stdin:
                self.p.stdin.close()
            self.p.wait(timeout=10)
        except Exception:
            self.p.kill()
            self.p.wait()
        self.p.stdout.close()


def key(k, test=None):
    return lambda v: isinstance(v, dict) and k in v and (test is None or test(v[k]))


def ready(v):
    return isinstance(v, str) and v.startswith("READY")


class Topology:
    def __init__(self, tag, *create_args):
        self.name = "oe%s%d" % (tag, os.getpid() % 100000)
        self.procs = []
        self.tmp = tempfile.mkdtemp(prefix="orvan-netns-")
        self.logs = []
        sh("destroy", self.name, check=False)
        sh("create", self.name, *create_args)
        self.lan = "--lan" in create_args

    def ns(self, side):
        return ["ip", "netns", "exec", "%s-%s" % (self.name, side)]

    def start(self, side, cmd, env=None):
        p = Proc(self.ns(side) + cmd, env=env)
        self.procs.append(p)
        return p

    def device(self, auth="accept"):
        """Servers, then the simulator, the media-port service and the device peer; returns
        the simulator's port, the device peer and its services."""
        srv = self.start("srv", [sys.executable, "servers.py", "--master", MASTER, "--p2p", P2P,
                                 "--timeout", "900"])
        assert srv.wait(lambda v: isinstance(v, str) and v.startswith("PORT"), 30)
        sim = self.start("dev", [sys.executable, KVSIM, "--bind", "127.0.0.1", "--tcp-port", "0",
                                 "--scenario", "device-kind=plain"])
        line = sim.wait(ready, 30)
        assert line, sim.all
        media = int(dict(kv.split("=") for kv in line.split()[1:])["tcp"])
        mp = self.start("dev", [sys.executable, MEDIAPORT, "--bind", "127.0.0.1", "--tcp-port", "50000",
                                "--media-port", str(media)])
        assert mp.wait(ready, 30), mp.all
        bind = "198.51.100.3" if self.lan else "198.51.100.66"
        dev = self.start("dev", [sys.executable, "devpeer.py", "--uid", UID, "--master", MASTER,
                                 "--bind", bind, "--port", "32800", "--period", "0.5", "--timeout", "900",
                                 "--rct", "tunnel", "--auth", auth])
        assert dev.wait(lambda v: isinstance(v, str) and v.startswith("PORT"), 30), dev.all
        services = dev.wait(key("event", lambda e: e == "services"), 30)
        assert services, dev.all
        assert dev.wait(key("event", lambda e: e == "registered"), 30), dev.all
        # Both servers answered, so the device knows its NAT kind before a client asks.
        time.sleep(1.5)
        return media, dev, services

    def probe(self, *args):
        """The probe, with its tunnel log in a file of its own (see log())."""
        self.logs.append(os.path.join(self.tmp, "probe%d.log" % len(self.logs)))
        env = dict(os.environ, ORVAN_PROBE_LOG=self.logs[-1])
        return self.start("cli", [PROBE] + [str(a) for a in args], env=env)

    def log(self):
        """The last probe's tunnel log, for failure messages."""
        try:
            with open(self.logs[-1]) as f:
                return f.read()
        except (OSError, IndexError):
            return ""

    def close(self):
        try:
            for p in self.procs:
                p.end()
        finally:
            sh("destroy", self.name, check=False)
            shutil.rmtree(self.tmp, ignore_errors=True)


@unittest.skipUnless(usable(), "needs root, nftables and ORVAN_PROBE")
class OrvanNetns(unittest.TestCase):
    def login_case(self, tag, create_args, code):
        t = Topology(tag, *create_args)
        try:
            media, dev, _ = t.device()
            for login_type, port in ((2, media), (22, 0)):
                p = t.probe("login", MASTER, UID, port, login_type, 60)
                end = p.wait(key("end"), 120)
                self.assertIsNotNone(end, (tag, login_type, p.all))
                codes = [v["code"] for v in p.all if isinstance(v, dict) and "code" in v]
                self.assertEqual(end["last"], 101, (tag, login_type, codes, p.all, t.log()))
                # The session works after the login: a parameter query is answered.
                self.assertIn({"param": 1}, p.all, (tag, login_type, p.all))
                # The path code comes once, ahead of the plain device's usual sequence.
                want = ([code] if code else []) + [0, 1, 100, 0, 1, 100, 101]
                self.assertEqual(codes, want, (tag, login_type, p.all))
                self.assertEqual(p.p.wait(timeout=60), 0)
                print("orvan login %s type %d: codes %s" % (tag, login_type, codes), flush=True)
            # The device side saw the tunnel's authentication block each time.
            dev.wait(lambda v: False, 0.5)
            auths = [v for v in dev.all if isinstance(v, dict) and v.get("ev") == "auth"]
            self.assertGreaterEqual(len(auths), 2, dev.all)
            self.assertTrue(all(a["key"] == "Kv8 Wendrusq" for a in auths), auths)
        finally:
            t.close()

    def test_lan_path_logs_in_without_a_path_code(self):
        self.login_case("l", ["--lan"], None)

    def test_punched_path_logs_in_with_code_121(self):
        self.login_case("c", ["--natc", "cone", "--natd", "cone"], 121)

    def test_relayed_path_logs_in_with_code_122(self):
        self.login_case("s", ["--natc", "symmetric", "--natd", "symmetric"], 122)

    def test_stop_during_the_connect_cancels_it_without_callback(self):
        t = Topology("x", "--natc", "cone", "--natd", "cone")
        try:
            media, dev, _ = t.device(auth="silent")
            p = t.probe("stop", MASTER, UID, media)
            self.assertIsNotNone(p.wait(key("started", lambda h: h > 0), 30), p.all)
            # The device holds its verdict back: the agent is inside its connect.
            self.assertIsNotNone(dev.wait(lambda v: isinstance(v, dict) and v.get("ev") == "auth", 60), dev.all)
            p.say("stop")
            st = p.wait(key("stopped"), 60)
            self.assertIsNotNone(st, p.all)
            self.assertEqual(st["stopped"], 1, st)
            self.assertEqual(st["calls"], 0, st)
            self.assertEqual(st["ended"], 1, st)
            self.assertEqual(st["agents"], 0, st)
            # Ended by the stop, not by the 30 s verdict wait.
            self.assertLess(st["ms"], 20000, st)
            self.assertEqual(p.p.wait(timeout=60), 0)
        finally:
            t.close()

    def test_local_clients_vanishing_mid_transfer_leave_the_tunnel_serving(self):
        for tag, nat, path in (("r", "cone", 0), ("rs", "symmetric", 1)):
            with self.subTest(nat=nat):
                self.reset_case(tag, nat, path)

    def reset_case(self, tag, nat, path):
        t = Topology(tag, "--natc", nat, "--natd", nat)
        try:
            _, dev, services = t.device()
            p = t.probe("reset", MASTER, UID, services["echo"], SOCKETS)
            mapped = p.wait(key("port"), 150)
            self.assertIsNotNone(mapped, p.all)
            self.assertGreater(mapped["port"], 0, (mapped, t.log(), dev.all[-20:]))
            self.assertEqual(mapped["path"], path, mapped)
            opened = p.wait(key("opened"), 300)
            self.assertIsNotNone(opened, p.all)
            self.assertEqual(opened["opened"], SOCKETS, opened)
            t0 = time.monotonic()
            res = p.wait(key("echo"), 300)
            print("orvan reset %s: %d clients reset, fresh echo %.1f s" % (nat, SOCKETS, time.monotonic() - t0),
                  flush=True)
            self.assertEqual(res, {"echo": 1, "bytes": 1 << 20}, (p.all, t.log(), dev.all[-20:]))
            # It also ends cleanly, its agent stopped with the mapping still listening.
            self.assertEqual(p.p.wait(timeout=60), 0)
        finally:
            t.close()


if __name__ == "__main__":
    unittest.main()
