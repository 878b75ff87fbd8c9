"""RCT channels over OVC LAN sessions in the P2P topology with the device on the client's LAN
(tests/netns/p2pnet.sh --lan), with datagrams dropped at random by nftables in the device
namespace. The C++ client (ovc_rct_probe, path in OVC_RCT_PROBE) runs in the client namespace;
lanpeer.py --rct in the device namespace is either the independent Python RCT endpoint (echo)
or a bridge that joins two C++ clients' channels. Needs root.

Every case moves OVC_RCT_BYTES (default 64 MiB) each way and checks every byte.
Run with OVC_RCT_BENCH=1 for the figures: one-way goodput C++ to C++ and the echo through
Python at 0, 1 and 5 % loss, beside TCP over the same veth with the same loss.
"""
import os
import re
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
PROBE = os.environ.get("OVC_RCT_PROBE", "")
NAME = "or%d" % (os.getpid() % 100000)
ADDRS = ["198.51.100.3", "198.51.100.4"]
UIDS = [("LANPEER%02d" % i).ljust(20, "0") for i in range(2)]
BYTES = int(os.environ.get("OVC_RCT_BYTES", str(64 << 20)))
RESULT = re.compile(r"RESULT ok=(\d) out=(\d+) in=(\d+) ms=(\d+) mbps=([\d.]+) destroy=(-?\d+)")


def sh(*args, check=True):
    return subprocess.run([SH] + list(args), check=check, capture_output=True, text=True)


def ns(side):
    return ["ip", "netns", "exec", "%s-%s" % (NAME, side)]


def usable():
    return os.geteuid() == 0 and PROBE and os.path.exists(PROBE) and \
        subprocess.run(["which", "nft"], capture_output=True).returncode == 0


def set_loss(pct, ingress_only=False):
    """pct % of the datagrams entering (and, unless ingress_only, leaving) the device namespace.
    A bridged packet enters once and leaves once, so the bridge cases drop on the way in only."""
    sh("loss", NAME + "-dev", "0")
    subprocess.run(ns("dev") + ["nft", "delete", "table", "inet", "orloss"], capture_output=True)
    if pct == 0:
        return
    if not ingress_only:
        sh("loss", NAME + "-dev", str(pct))
        return
    rules = ("table inet orloss {\n chain pre {\n  type filter hook prerouting priority -300;\n"
             "  numgen random mod 100 < %d drop\n }\n}\n" % pct)
    subprocess.run(ns("dev") + ["nft", "-f", "-"], input=rules, text=True, check=True)


def probe(*args, timeout=300):
    r = subprocess.run(ns("cli") + [PROBE] + [str(a) for a in args], capture_output=True, text=True,
                       timeout=timeout)
    return r.returncode, r.stdout + r.stderr


def parse(out):
    m = RESULT.search(out)
    return m and dict(ok=int(m.group(1)), out=int(m.group(2)), inn=int(m.group(3)), ms=int(m.group(4)),
                      mbps=float(m.group(5)), destroy=int(m.group(6)))


@unittest.skipUnless(usable(), "needs root, nftables and OVC_RCT_PROBE")
class RctNetns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        sh("destroy", NAME, check=False)
        sh("create", NAME, "--lan")
        subprocess.run(ns("dev") + ["ip", "addr", "add", ADDRS[1] + "/26", "dev", "eth0"], check=True)
        cls.peer = None

    @classmethod
    def tearDownClass(cls):
        cls.stop_peer()
        sh("destroy", NAME, check=False)

    @classmethod
    def start_peer(cls, mode):
        cls.stop_peer()
        count = 1 if mode == "echo" else 2
        cls.peer = subprocess.Popen(
            ns("dev") + [sys.executable, os.path.join(HERE, "lanpeer.py"), "--count", str(count),
                         "--addrs", ",".join(ADDRS[:count]), "--port", "32761", "--bcast", "198.51.100.63",
                         "--rct", mode, "--timeout", "7200"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = cls.peer.stdout.readline()
        assert line.startswith("PORT 32761"), line
        # Events are not needed here; a drained pipe never stalls the peer.
        threading.Thread(target=lambda p=cls.peer: [None for _ in p.stdout], daemon=True).start()

    @classmethod
    def stop_peer(cls):
        if cls.peer:
            try:
                cls.peer.stdin.close()
                cls.peer.wait(timeout=5)
            except Exception:
                cls.peer.kill()
                cls.peer.wait()
            cls.peer.stdout.close()
            cls.peer = None

    def echo(self, nbytes):
        rc, out = probe("echo", UIDS[0], nbytes)
        return rc, out, parse(out)

    def pair(self, out_a, out_b):
        res = {}

        def one(i, uid, o, n, so, si):
            res[i] = probe("pair", uid, o, n, so, si)
        ta = threading.Thread(target=one, args=(0, UIDS[0], out_a, out_b, 1001, 2002))
        ta.start()
        one(1, UIDS[1], out_b, out_a, 2002, 1001)
        ta.join()
        return res

    def test_probe_refuses_the_machines_own_namespace(self):
        r = subprocess.run([PROBE, "echo", UIDS[0], "10"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 3)

    def test_cpp_to_python_intact_both_ways_under_loss(self):
        self.start_peer("echo")
        for loss in (0, 1, 5, 10):
            with self.subTest(loss=loss):
                set_loss(loss)
                rc, out, r = self.echo(BYTES)
                print("\nC++ <-> Python, %d %% loss: %s" % (loss, r), flush=True)
                self.assertEqual(rc, 0, out)
                self.assertEqual((r["ok"], r["out"], r["inn"], r["destroy"]), (1, BYTES, BYTES, 0), out)
        set_loss(0)

    def test_cpp_to_cpp_intact_both_ways_under_loss(self):
        self.start_peer("bridge")
        for loss in (0, 1, 5, 10):
            with self.subTest(loss=loss):
                set_loss(loss, ingress_only=True)
                res = self.pair(BYTES, BYTES)
                for i in (0, 1):
                    rc, out = res[i]
                    r = parse(out)
                    print("\nC++ <-> C++ (side %d), %d %% loss: %s" % (i, loss, r), flush=True)
                    self.assertEqual(rc, 0, out)
                    self.assertEqual((r["ok"], r["out"], r["inn"]), (1, BYTES, BYTES), out)
                    # The side that ends first sends the FIN; the other finds its receive side
                    # ended by it, and both destroys succeed.
                    self.assertEqual(r["destroy"], 0, out)
        set_loss(0, ingress_only=True)


def tcp_goodput(total):
    """TCP from the client namespace to the device namespace over the same veth, in MB/s."""
    srv = subprocess.Popen(ns("dev") + [sys.executable, "-c", (
        "import socket\n"
        "s=socket.socket();s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
        "s.bind(('198.51.100.3',5556));s.listen(1);print('L',flush=True)\n"
        "c,_=s.accept();n=0\n"
        "while True:\n"
        "  d=c.recv(65536)\n"
        "  if not d: break\n"
        "  n+=len(d)\n"
        "c.close()\n")], stdout=subprocess.PIPE, text=True)
    srv.stdout.readline()
    code = ("import socket,time\n"
            "s=socket.create_connection(('198.51.100.3',5556));t=time.monotonic();b=b'x'*%d\n"
            "s.sendall(b);s.shutdown(socket.SHUT_WR);s.recv(1);print(time.monotonic()-t)\n" % total)
    r = subprocess.run(ns("cli") + [sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    srv.wait(timeout=60)
    return total / 1e6 / float(r.stdout.strip())


@unittest.skipUnless(usable() and os.environ.get("OVC_RCT_BENCH"), "figures only on request")
class RctBench(unittest.TestCase):
    setUpClass = RctNetns.setUpClass
    tearDownClass = RctNetns.tearDownClass
    start_peer = RctNetns.start_peer
    stop_peer = RctNetns.stop_peer
    pair = RctNetns.pair
    echo = RctNetns.echo

    def test_figures(self):
        n = int(os.environ.get("OVC_RCT_BENCH_BYTES", str(32 << 20)))
        rows = []
        for loss in (0, 1, 5):
            self.start_peer("bridge")
            set_loss(loss, ingress_only=True)
            res = self.pair(n, 0)
            one_way = parse(res[1][1])
            self.start_peer("echo")
            set_loss(loss)
            _, _, echo = self.echo(n // 4)
            set_loss(loss)
            tcp = tcp_goodput(n)
            rows.append((loss, one_way and one_way["mbps"], echo and echo["mbps"], tcp))
        set_loss(0)
        print("\nloss %  | RCT C++->C++ MB/s | RCT C++<->Py echo MB/s | TCP MB/s")
        for r in rows:
            print("%6d | %17s | %22s | %8.1f" % r)


if __name__ == "__main__":
    unittest.main()
