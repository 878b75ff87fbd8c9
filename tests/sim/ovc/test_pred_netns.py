"""Port prediction in the P2P topology (tests/netns/p2pnet.sh): one side behind a `sequential`
NAT (a new mapped port per destination, 40000 + 2k), the other behind a `restricted` one (port
kept, unsolicited datagrams dropped). Plain knocks miss both ways; the session comes up P2P
(mode 0) only when the restricted side walks the sequential side's ports up to the mapping the
peer's own knock opened. tcpdump inside the namespaces shows the walk (many destination ports)
and, when an SDK process is on the sequential side, its knocks from the extra sockets with a
time-to-live of 12. Namespaces are named "op<tag><pid>" and removed by each case. Needs root.

OVC_PRED_BENCH=1 adds the figures: connect time (median, p95 of 20) on the predicted path and
the prediction knocks sent per connect.
"""
import os
import re
import subprocess
import time
import unittest

from test_srv_netns import MASTER, MESSAGES, P2P, PROBE, UID, Topology, sh, usable, wait_event

# The relay answers late, so only prediction can bring the session up in time for mode 0.
SERVERS = ["servers.py", "--master", MASTER, "--p2p", P2P, "--relay-delay", "4000", "--timeout", "600"]
SEQ_PORT_TO_OTHER_WAN = 40000 + 20 * 2  # the sequential NAT's mapping towards the other WAN


class PredTopology(Topology):
    def __init__(self, tag, *create_args):  # pylint: disable=super-init-not-called
        self.name = "op%s%d" % (tag, os.getpid() % 100000)
        sh("destroy", self.name, check=False)
        sh("create", self.name, *create_args)
        self.lan = False
        self.procs = []


class Capture:
    """tcpdump on eth0 of a host namespace: UDP, verbose (TTL), line-buffered into a file."""

    def __init__(self, topo, side):
        self.path = "/tmp/op-cap-%s-%s-%d.txt" % (topo.name, side, os.getpid())
        self.out = open(self.path, "w")
        self.p = subprocess.Popen(topo.ns(side) + ["tcpdump", "-i", "eth0", "-n", "-v", "-l", "udp"],
                                  stdout=self.out, stderr=subprocess.DEVNULL)
        time.sleep(1.0)  # tcpdump listens before the first datagram

    def packets(self):
        """(ttl, src, sport, dst, dport, length) of each captured UDP datagram."""
        self.p.terminate()
        try:
            self.p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.p.kill()
        self.out.close()
        with open(self.path) as f:
            text = f.read()
        os.unlink(self.path)
        pkts = []
        for m in re.finditer(r"ttl (\d+),.*?\n\s+(\d+\.\d+\.\d+\.\d+)\.(\d+) > (\d+\.\d+\.\d+\.\d+)\.(\d+): "
                             r"UDP, length (\d+)", text):
            pkts.append((int(m.group(1)), m.group(2), int(m.group(3)), m.group(4), int(m.group(5)),
                         int(m.group(6))))
        return pkts


KNOCK_LEN = 16 + 28  # a long knock


def registered_as_type_3(dev):
    """devpeer.py registered and learned NAT type 3 from the two servers (in either order)."""
    seen = set()

    def pred(e):
        if e.get("event") == "registered":
            seen.add("reg")
        if e.get("event") == "nat" and e.get("nat") == 3:
            seen.add("nat")
        return len(seen) == 2
    ok = wait_event(dev, pred, 30) is not None
    time.sleep(1.0)  # the registration carrying type 3 reaches both servers
    return ok


@unittest.skipUnless(usable() and subprocess.run(["which", "tcpdump"], capture_output=True).returncode == 0,
                     "needs root, nftables, tcpdump and OVC_SRV_PROBE")
class PredNetns(unittest.TestCase):
    def test_restricted_client_predicts_the_sequential_device(self):
        """Client SDK behind `restricted` (NAT type 2) predicts; devpeer.py behind `sequential`
        (type 3) knocks once from its socket. Mode 0, then MESSAGES reliable messages."""
        t = PredTopology("p", "--natc", "restricted", "--natd", "sequential")
        try:
            t.start("srv", SERVERS)
            dev = t.start("dev", ["devpeer.py", "--uid", UID, "--master", MASTER, "--bind", "198.51.100.66",
                                  "--port", "32800", "--period", "0.5", "--timeout", "600"])
            self.assertTrue(registered_as_type_3(dev))
            cap = Capture(t, "cli")
            r = subprocess.run(t.ns("cli") + [PROBE, "connect", MASTER, UID, "1", str(MESSAGES)],
                               capture_output=True, text=True, timeout=600)
            pkts = cap.packets()
            out = r.stdout
            self.assertEqual(r.returncode, 0, out + r.stderr)
            self.assertIn("CONNECT 0 0 ", out, "P2P through prediction")
            knocks = [p for p in pkts if p[1] == "198.51.100.2" and p[3] == "203.0.113.65" and p[5] == KNOCK_LEN]
            ports = {p[4] for p in knocks}
            self.assertIn(SEQ_PORT_TO_OTHER_WAN, ports, sorted(ports))
            self.assertGreaterEqual(len(ports), 10, sorted(ports))
            self.assertTrue(all(p[0] == 64 for p in knocks), "predicted knocks leave with the default TTL")
            n = int(re.search(r"PREDICT_KNOCKS (\d+)", out).group(1))
            self.assertGreaterEqual(n, 10, out)
            if MESSAGES:
                self.assertIn("SENT %d" % MESSAGES, out)
                dev.stdin.write("stats\n")
                dev.stdin.flush()
                st = wait_event(dev, lambda e: e.get("event") == "stats", 10)
                self.assertIsNotNone(st)
                self.assertEqual(st["rel_delivered"].get("0"), MESSAGES, st)
                self.assertTrue(st["rel_order_ok"], st)
        finally:
            t.close()

    def test_sdk_device_behind_sequential_knocks_from_extra_sockets_with_ttl_12(self):
        """Both ends SDK processes: the device behind `sequential` (type 3) knocks from its extra
        sockets with TTL 12, the client behind `restricted` predicts. Mode 0; 200 plain messages
        arrive in order."""
        t = PredTopology("d", "--natc", "restricted", "--natd", "sequential")
        try:
            t.start("srv", SERVERS)
            dcap = Capture(t, "dev")
            dev = subprocess.Popen(t.ns("dev") + [PROBE, "device", MASTER, UID, "30"], stdout=subprocess.PIPE,
                                   text=True)
            t.procs.append(dev)
            self.assertEqual(dev.stdout.readline().strip(), "LOGIN 0")
            time.sleep(1.5)  # both servers answered: the device knows its NAT type
            r = subprocess.run(t.ns("cli") + [PROBE, "connect", MASTER, UID, "1", "200", "plain"],
                               capture_output=True, text=True, timeout=120)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn("CONNECT 0 0 ", r.stdout)
            line = dev.stdout.readline().split()
            self.assertEqual(line[:1] + line[2:], ["SESSION", "0", "RECV", "200", "INORDER", "200"], line)
            pkts = dcap.packets()
            ttl12 = [p for p in pkts if p[0] == 12 and p[3] == "203.0.113.64" and p[5] == KNOCK_LEN]
            self.assertGreaterEqual(len({p[2] for p in ttl12}), 5, "knocks from several extra sockets")
        finally:
            t.close()


@unittest.skipUnless(usable() and os.environ.get("OVC_PRED_BENCH"), "figures only on request")
class PredBench(unittest.TestCase):
    def test_figures(self):
        """20 connects, each from a new client process (a new local port, so the NATs hold no
        state from the previous run and every connect needs the walk again)."""
        t = PredTopology("b", "--natc", "restricted", "--natd", "sequential")
        try:
            t.start("srv", SERVERS)
            dev = t.start("dev", ["devpeer.py", "--uid", UID, "--master", MASTER, "--bind", "198.51.100.66",
                                  "--port", "32800", "--period", "0.5", "--timeout", "600"])
            self.assertTrue(registered_as_type_3(dev))
            times, knocks, modes = [], [], []
            for _ in range(20):
                r = subprocess.run(t.ns("cli") + [PROBE, "connect", MASTER, UID, "1", "0"],
                                   capture_output=True, text=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                c = [l.split() for l in r.stdout.splitlines() if l.startswith("CONNECT ")][0]
                modes.append(c[2])
                times.append(float(c[3]))
                knocks.append(int(re.search(r"PREDICT_KNOCKS (\d+)", r.stdout).group(1)))
            times.sort()
            rate = sum(knocks) / (sum(times) / 1000.0)
            print("\npredicted: modes %s; median %.1f ms, p95 %.1f ms; knocks per connect median %d max %d; "
                  "%.0f knocks/s over the connect time" % ("".join(modes), times[10], times[18],
                                                          sorted(knocks)[10], max(knocks), rate))
        finally:
            t.close()


if __name__ == "__main__":
    unittest.main()
