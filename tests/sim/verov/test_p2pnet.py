"""Self-test of p2pnet.sh: each NAT kind maps and filters as it claims (needs root)."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
PROBE = os.path.join(HERE, "p2pprobe.py")


def sh(*args, check=True):
    return subprocess.run([SH, *args], check=check, capture_output=True, text=True)


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class P2PNetTest(unittest.TestCase):
    def setUp(self):
        self.name = "p2pt%d" % os.getpid()

    def tearDown(self):
        sh("destroy", self.name, check=False)

    def create(self, *opts):
        sh("create", self.name, *opts)

    def exchange(self, listen_ns, addrs, send_ns, src_port, targets, seconds=1.5):
        """Datagrams that arrive at `addrs` in listen_ns when send_ns sends to `targets`."""
        lis = subprocess.Popen(["ip", "netns", "exec", "%s-%s" % (self.name, listen_ns),
                                sys.executable, PROBE, "listen", str(seconds), *addrs],
                               stdout=subprocess.PIPE, text=True)
        self.assertEqual(lis.stdout.readline().strip(), "READY")
        subprocess.run(["ip", "netns", "exec", "%s-%s" % (self.name, send_ns), sys.executable,
                        PROBE, "send", str(src_port), *targets], check=True)
        out, _ = lis.communicate(timeout=30)
        lis.stdout.close()
        return [tuple(l.split()) for l in out.splitlines() if l.strip()]

    def mapped_ports(self, kind):
        self.create("--natc", kind)
        got = self.exchange("srv", ["203.0.113.10:7000", "203.0.113.11:7000", "203.0.113.12:7000"],
                            "cli", 5555, ["203.0.113.10:7000", "203.0.113.11:7000",
                                          "203.0.113.12:7000"])
        self.assertEqual(len(got), 3, got)
        self.assertEqual({g[1] for g in got}, {"203.0.113.64"})
        return [int(g[2]) for g in sorted(got)]

    def test_mapping_per_kind(self):
        cases = [("cone", lambda p: p == [5555] * 3),
                 ("restricted", lambda p: p == [5555] * 3),
                 ("symmetric", lambda p: len(set(p)) > 1),
                 ("sequential", lambda p: p == [40000, 40002, 40004])]
        for kind, ok in cases:
            with self.subTest(kind=kind):
                try:
                    ports = self.mapped_ports(kind)
                    self.assertTrue(ok(ports), (kind, ports))
                finally:
                    sh("destroy", self.name)

    def test_unsolicited_inbound(self):
        # Full cone lets anyone reach the host; a restricted NAT lets only the peer it sent to.
        for kind, expect in (("cone", 1), ("restricted", 0)):
            with self.subTest(kind=kind):
                self.addCleanup(sh, "destroy", self.name, check=False)
                self.create("--natc", kind)
                # The host has sent to .10 only; .11 then tries to reach its mapping.
                lis = subprocess.Popen(["ip", "netns", "exec", self.name + "-cli", sys.executable,
                                        PROBE, "listen", "1.5", "0.0.0.0:5556",
                                        "--first", "203.0.113.10:7000"],
                                       stdout=subprocess.PIPE, text=True)
                self.assertEqual(lis.stdout.readline().strip(), "READY")
                subprocess.run(["ip", "netns", "exec", self.name + "-srv", sys.executable, PROBE,
                                "send", "7100", "203.0.113.64:5556"], check=True)
                out, _ = lis.communicate(timeout=30)
                lis.stdout.close()
                self.assertEqual(len(out.splitlines()), expect, out)
                sh("destroy", self.name)

    def test_lan_and_blocks(self):
        self.create("--lan")
        got = self.exchange("cli", ["198.51.100.2:6000"], "dev", 6001, ["198.51.100.2:6000"])
        self.assertEqual(got, [("198.51.100.2:6000", "198.51.100.3", "6001")])
        sh("loss", self.name + "-cli", "100")
        self.assertEqual(self.exchange("srv", ["203.0.113.10:7000"], "cli", 5555,
                                       ["203.0.113.10:7000"]), [])
        sh("loss", self.name + "-cli", "0")
        self.assertEqual(len(self.exchange("srv", ["203.0.113.10:7000"], "cli", 5555,
                                           ["203.0.113.10:7000"])), 1)
        sh("block-udp", self.name + "-cli")
        self.assertEqual(self.exchange("srv", ["203.0.113.10:7000"], "cli", 5555,
                                       ["203.0.113.10:7000"]), [])

    def test_block_direct(self):
        self.create("--natd", "restricted")  # no forwarding: the NAT's own port answers
        self.assertEqual(len(self.exchange("natd", ["203.0.113.65:7000"], "cli", 5555,
                                           ["203.0.113.65:7000"])), 1)
        sh("block-direct", self.name)
        self.assertEqual(self.exchange("natd", ["203.0.113.65:7000"], "cli", 5555,
                                       ["203.0.113.65:7000"]), [])
        self.assertEqual(len(self.exchange("srv", ["203.0.113.10:7000"], "cli", 5555,
                                           ["203.0.113.10:7000"])), 1), "servers stay reachable"


if __name__ == "__main__":
    unittest.main()
