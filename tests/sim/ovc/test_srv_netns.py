"""Connect by UID through the servers in the P2P topology (tests/netns/p2pnet.sh): servers.py in
the server namespace (masters at 203.0.113.10, P2P servers with the relay at .11 and .12),
devpeer.py behind the device's NAT, the C++ client (ovc_srv_probe, path in OVC_SRV_PROBE)
behind the client's NAT. Each case builds its own topology, named after this process with the
prefix "os", and removes it. Needs root.

  --lan                    -> LAN path (mode 2)
  cone/cone, restricted/restricted -> P2P by knocks (mode 0)
  symmetric/symmetric      -> UDP relay (mode 1)
each with 10,000 reliable messages that the device counts in order.

OVC_SRV_BENCH=1 adds the figures: connect time (median, p95 of 20) per path.
"""
import json
import os
import queue
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
PROBE = os.environ.get("OVC_SRV_PROBE", "")
UID = "OVCNETNSDEVICE000001"
MASTER = "203.0.113.10"
P2P = "203.0.113.11:10240,203.0.113.12:10240"
MESSAGES = int(os.environ.get("OVC_SRV_MESSAGES", "10000"))


def sh(*args, check=True):
    return subprocess.run([SH] + list(args), check=check, capture_output=True, text=True)


def usable():
    return os.geteuid() == 0 and PROBE and os.path.exists(PROBE) and \
        subprocess.run(["which", "nft"], capture_output=True).returncode == 0


class Topology:
    def __init__(self, tag, *create_args):
        self.name = "os%s%d" % (tag, os.getpid() % 100000)
        sh("destroy", self.name, check=False)
        sh("create", self.name, *create_args)
        self.lan = "--lan" in create_args
        self.procs = []

    def ns(self, side):
        return ["ip", "netns", "exec", "%s-%s" % (self.name, side)]

    def start(self, side, args):
        p = subprocess.Popen(self.ns(side) + [sys.executable] + args, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, cwd=HERE)
        self.procs.append(p)
        first = p.stdout.readline()
        assert first.startswith("PORT"), first
        p.lines = queue.Queue()

        def pump():
            for line in p.stdout:
                p.lines.put(line)
        threading.Thread(target=pump, daemon=True).start()
        return p

    def close(self):
        try:
            for p in self.procs:
                try:
                    if p.stdin:
                        p.stdin.close()
                    p.wait(timeout=5)
                except Exception:
                    p.kill()
        finally:
            sh("destroy", self.name, check=False)


def wait_event(p, pred, timeout):
    """Reads JSON lines of p until pred(event) holds; returns the event or None."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            line = p.lines.get(timeout=0.2)
        except queue.Empty:
            continue
        try:
            ev = json.loads(line)
        except ValueError:
            continue
        if pred(ev):
            return ev
    return None


class Case(unittest.TestCase):
    def run_case(self, tag, create_args, want_mode, runs=1, messages=MESSAGES):
        t = Topology(tag, *create_args)
        try:
            srv = t.start("srv", ["servers.py", "--master", MASTER, "--p2p", P2P, "--timeout", "600"])
            bind = "198.51.100.3" if t.lan else "198.51.100.66"
            dev = t.start("dev", ["devpeer.py", "--uid", UID, "--master", MASTER, "--bind", bind,
                                  "--port", "32800", "--period", "0.5", "--timeout", "600"])
            self.assertIsNotNone(wait_event(dev, lambda e: e.get("event") == "registered", 20))
            # Both servers answered, so the device knows its NAT kind before a client asks.
            time.sleep(1.5)
            r = subprocess.run(t.ns("cli") + [PROBE, "connect", MASTER, UID, str(runs), str(messages)],
                               capture_output=True, text=True, timeout=600)
            out = r.stdout
            self.assertEqual(r.returncode, 0, out + r.stderr)
            conns = [l.split() for l in out.splitlines() if l.startswith("CONNECT ")]
            self.assertEqual(len(conns), runs, out)
            for c in conns:
                self.assertEqual(int(c[2]), want_mode, out)
            if messages:
                self.assertIn("SENT %d" % messages, out)
                dev.stdin.write("stats\n")
                dev.stdin.flush()
                st = wait_event(dev, lambda e: e.get("event") == "stats", 10)
                self.assertIsNotNone(st)
                self.assertEqual(st["rel_delivered"].get("0"), messages, st)
                self.assertTrue(st["rel_order_ok"], st)
            srv.stdin.write("stats\n")
            srv.stdin.flush()
            return out
        finally:
            t.close()



@unittest.skipUnless(usable(), "needs root, nftables and OVC_SRV_PROBE")
class SrvNetns(Case):
    def test_lan_path(self):
        self.run_case("l", ["--lan"], 2)

    def test_cone_both_sides_knock_through(self):
        self.run_case("c", ["--natc", "cone", "--natd", "cone"], 0)

    def test_restricted_both_sides_knock_through(self):
        self.run_case("r", ["--natc", "restricted", "--natd", "restricted"], 0)

    def test_symmetric_both_sides_go_through_the_relay(self):
        self.run_case("s", ["--natc", "symmetric", "--natd", "symmetric"], 1)

    def sdk_device_case(self, tag, create_args, want_mode):
        """The device is a second SDK process (ovc_srv_probe device); the client writes 200
        plain messages that the device reads in order."""
        t = Topology(tag, *create_args)
        try:
            t.start("srv", ["servers.py", "--master", MASTER, "--p2p", P2P, "--timeout", "600"])
            dev = subprocess.Popen(t.ns("dev") + [PROBE, "device", MASTER, UID, "20"], stdout=subprocess.PIPE,
                                   text=True)
            t.procs.append(dev)
            self.assertEqual(dev.stdout.readline().strip(), "LOGIN 0")
            r = subprocess.run(t.ns("cli") + [PROBE, "connect", MASTER, UID, "1", "200", "plain"],
                               capture_output=True, text=True, timeout=120)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn("CONNECT 0 %d " % want_mode, r.stdout)
            line = dev.stdout.readline().split()
            self.assertEqual(line[:1] + line[2:], ["SESSION", str(want_mode), "RECV", "200", "INORDER", "200"], line)
        finally:
            t.close()

    def test_sdk_device_cone_knocks(self):
        self.sdk_device_case("dc", ["--natc", "cone", "--natd", "cone"], 0)

    def test_sdk_device_symmetric_relay(self):
        self.sdk_device_case("ds", ["--natc", "symmetric", "--natd", "symmetric"], 1)


@unittest.skipUnless(usable() and os.environ.get("OVC_SRV_BENCH"), "figures only on request")
class SrvBench(Case):
    def test_figures(self):
        for tag, args, mode in (("l", ["--lan"], 2), ("c", ["--natc", "cone", "--natd", "cone"], 0),
                                ("s", ["--natc", "symmetric", "--natd", "symmetric"], 1)):
            out = self.run_case(tag, args, mode, runs=20, messages=0)
            print("\n%s: %s" % (" ".join(args), [l for l in out.splitlines() if l.startswith("MEDIAN")][0]))


if __name__ == "__main__":
    unittest.main()
