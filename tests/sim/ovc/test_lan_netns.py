"""LAN search and connect by UID in the P2P topology with the device on the client's LAN
(tests/netns/p2pnet.sh --lan): three Python devices in the device namespace, the C++ client
(ovc_lan_probe, path in OVC_LAN_PROBE) in the client namespace. Needs root.

Run with OVC_LAN_BENCH=1 for the figures: LAN connect time (median, p95 of 20), reliable-queue
goodput at 0, 1 and 5 % loss and TCP over the same veth.
"""
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
PROBE = os.environ.get("OVC_LAN_PROBE", "")
NAME = "ovl%d" % (os.getpid() % 100000)
ADDRS = ["198.51.100.3", "198.51.100.4", "198.51.100.5"]
UIDS = [("LANPEER%02d" % i).ljust(20, "0") for i in range(3)]


def sh(*args, check=True):
    return subprocess.run([SH] + list(args), check=check, capture_output=True, text=True)


def ns(side):
    return ["ip", "netns", "exec", "%s-%s" % (NAME, side)]


def usable():
    return os.geteuid() == 0 and PROBE and os.path.exists(PROBE) and \
        subprocess.run(["which", "ip"], capture_output=True).returncode == 0


@unittest.skipUnless(usable(), "needs root, iproute2 and OVC_LAN_PROBE")
class LanNetns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        sh("destroy", NAME, check=False)
        sh("create", NAME, "--lan")
        for a in ADDRS[1:]:
            subprocess.run(ns("dev") + ["ip", "addr", "add", a + "/26", "dev", "eth0"], check=True)
        cls.peer = subprocess.Popen(
            ns("dev") + [sys.executable, os.path.join(HERE, "lanpeer.py"), "--count", "3",
                         "--addrs", ",".join(ADDRS), "--port", "32761", "--bcast", "198.51.100.63"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = cls.peer.stdout.readline()
        assert line.startswith("PORT 32761"), line

    @classmethod
    def tearDownClass(cls):
        try:
            cls.peer.stdin.close()
            cls.peer.wait(timeout=5)
        except Exception:
            cls.peer.kill()
        sh("destroy", NAME, check=False)

    def probe(self, *args, timeout=120):
        r = subprocess.run(ns("cli") + [PROBE] + list(args), capture_output=True, text=True, timeout=timeout)
        return r.returncode, r.stdout

    def test_probe_refuses_the_machines_own_namespace(self):
        r = subprocess.run([PROBE, "search2", "100"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 3)

    def test_search_finds_three_devices(self):
        rc, out = self.probe("search2", "1000")
        self.assertEqual(rc, 0, out)
        found = sorted(l.split(" ", 4)[1:] for l in out.splitlines() if l.startswith("DEV "))
        want = sorted([UIDS[i], ADDRS[i], "32761", "lanpeer device %d" % i] for i in range(3))
        self.assertEqual(found, want)

    def test_connect_by_uid_over_the_lan(self):
        rc, out = self.probe("connect", UIDS[2], "3")
        self.assertEqual(rc, 0, out)
        times = [float(m.group(1)) for m in re.finditer(r"CONNECT \d+ ([\d.]+)", out)]
        self.assertEqual(len(times), 3, out)
        # Within a second each (wide margin: the first answer comes within one 100 ms round).
        self.assertTrue(all(t < 1000 for t in times), out)


def tcp_goodput(total):
    """TCP from the client namespace to the device namespace over the same veth, in KB/s."""
    srv = subprocess.Popen(ns("dev") + [sys.executable, "-c", (
        "import socket,sys\n"
        "s=socket.socket();s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
        "s.bind(('198.51.100.3',5555));s.listen(1);print('L',flush=True)\n"
        "c,_=s.accept();n=0\n"
        "while True:\n"
        "  d=c.recv(65536)\n"
        "  if not d: break\n"
        "  n+=len(d)\n"
        "print(n,flush=True)\n")], stdout=subprocess.PIPE, text=True)
    srv.stdout.readline()
    code = ("import socket,time\n"
            "s=socket.create_connection(('198.51.100.3',5555));t=time.monotonic();b=b'x'*%d\n"
            "s.sendall(b);s.shutdown(socket.SHUT_WR);s.recv(1);print((time.monotonic()-t)*1000)\n" % total)
    r = subprocess.run(ns("cli") + [sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    srv.wait(timeout=60)
    return total / float(r.stdout.strip())


@unittest.skipUnless(usable() and os.environ.get("OVC_LAN_BENCH"), "figures only on request")
class LanBench(LanNetns):
    def test_figures(self):
        rc, out = self.probe("connect", UIDS[0], "20")
        print("\n" + [l for l in out.splitlines() if l.startswith("MEDIAN")][0])
        for loss in (0, 1, 5):
            sh("loss", NAME + "-dev", str(loss))
            rc, out = self.probe("reliable", UIDS[1], "3000", "1384", timeout=600)
            print("loss %d%%: %s; TCP %.1f KB/s" % (loss, out.strip().splitlines()[-1], tcp_goodput(20 << 20)))
        sh("loss", NAME + "-dev", "0")
        print("ceiling: 20 x 1384 B per 50 ms = %.1f KB/s" % (20 * 1384 / 50.0))


if __name__ == "__main__":
    unittest.main()
