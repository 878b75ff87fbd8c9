"""The namespace harness: veth pairs, loss, the relay, and the simulator's
refusal to leave loopback outside a private namespace.  Needs root."""

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))

from kvsim import proto, safety  # noqa: E402
from kvsim.proto import Head  # noqa: E402
from kvsim.testing import (PYTHON, SIM, SimProcess, read_ready,  # noqa: E402
                           recv_exact, socket_in)

KVNETNS = os.path.join(HERE, "kvnetns.sh")
NSPING = os.path.join(HERE, "nsping.py")
RELAY = os.path.join(HERE, "relay.py")
DEV, CLI = "198.51.100.1", "198.51.100.2"


def netns(*args, check=True, timeout=30):
    result = subprocess.run([KVNETNS] + list(args), capture_output=True,
                            text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError("kvnetns.sh %s: %s" % (" ".join(args), result.stderr))
    return result


def exists(ns):
    return os.path.exists("/run/netns/" + ns)


def ping(side, address, count=2, timeout=2.0):
    result = netns("exec", side, PYTHON, NSPING, address, "--count", str(count),
                   "--timeout", str(timeout), check=False)
    return result.returncode == 0, result.stdout.strip()


def request(seq, body=b""):
    # 1011: a type the simulator echoes (11 is the device search, answered by records).
    return proto.encode(Head(0, 0, 0, 1011, 0, len(body), seq), b"", body)


@unittest.skipUnless(os.geteuid() == 0, "needs root")
class PairTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.name = netns("create", "--second-subnet", "--owner", str(os.getpid())).stdout.strip()
        cls.dev, cls.cli = cls.name + "-dev", cls.name + "-cli"

    @classmethod
    def tearDownClass(cls):
        netns("destroy", cls.name)
        assert not exists(cls.dev) and not exists(cls.cli)

    def test_sides_ping_each_other_on_both_subnets(self):
        for side, address in ((self.cli, DEV), (self.dev, CLI),
                              (self.cli, "203.0.113.1"), (self.dev, "203.0.113.2")):
            ok, out = ping(side, address)
            self.assertTrue(ok, "%s -> %s: %s" % (side, address, out))

    def test_loss(self):
        try:
            netns("loss", self.dev, "100")
            self.assertEqual(ping(self.cli, DEV, timeout=0.3),
                             (False, "sent=2 received=0"))
            netns("loss", self.dev, "100", "--dir", "out")
            self.assertFalse(ping(self.cli, DEV, timeout=0.3)[0])
        finally:
            netns("loss", self.dev, "0")
        self.assertTrue(ping(self.cli, DEV, count=5)[0])
        self.assertEqual(netns("loss", self.dev, "101", check=False).returncode, 2)

    def test_sim_serves_across_the_veth(self):
        with SimProcess(bind=DEV, netns=self.dev) as sim:
            with socket_in(self.cli) as sock:
                sock.settimeout(5)
                sock.connect((DEV, sim.tcp_port))
                sock.sendall(request(5, b"over veth"))
                reply = proto.read_message(lambda n: recv_exact(sock, n))
                self.assertEqual((reply.head.seq, reply.body), (5, b"over veth"))
            self.assertEqual(sim.messages(1)[0]["peer"].split(":")[0], CLI)

    def test_broadcast_reaches_a_sim_bound_to_any_address(self):
        with SimProcess(bind="0.0.0.0", netns=self.dev) as sim:
            with socket_in(self.cli, kind=socket.SOCK_DGRAM) as sock:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
                sock.settimeout(5)
                sock.sendto(request(8), ("255.255.255.255", sim.udp_port))
                data, peer = sock.recvfrom(65535)
                self.assertEqual(proto.decode_datagram(data).head.seq, 8)
                self.assertEqual(peer[0], DEV)

    def relay(self, *args):
        proc = subprocess.Popen(["ip", "netns", "exec", self.cli, PYTHON, RELAY] + list(args),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(lambda: (proc.stdin.close(), proc.wait(5),
                                 proc.stdout.close(), proc.stderr.close()))
        return read_ready(proc)

    def test_udp_relay_delays_duplicates_and_reorders(self):
        cases = [
            # (relay options, Seq order seen by the device, replies per request)
            (["--reorder", "100", "--hold-ms", "3000", "--dir", "forward"], [1, 0, 3, 2], 1),
            (["--dup", "100", "--dir", "forward"], [0, 0, 1, 1, 2, 2, 3, 3], 2),
            (["--delay-ms", "150"], [0, 1, 2, 3], 1),
        ]
        for options, order, copies in cases:
            with self.subTest(options=options), SimProcess(bind=DEV, netns=self.dev) as sim:
                ports = self.relay("--udp", "127.0.0.1:0=%s:%d" % (DEV, sim.udp_port),
                                   *options)
                with socket_in(self.cli, kind=socket.SOCK_DGRAM) as sock:
                    sock.settimeout(2)
                    start = time.monotonic()
                    for seq in range(4):
                        sock.sendto(request(seq), ("127.0.0.1", int(ports["udp"])))
                    replies = [proto.decode_datagram(sock.recv(100)).head.seq
                               for _ in range(4 * copies)]
                    elapsed = time.monotonic() - start
                self.assertEqual([e["head"]["seq"] for e in sim.messages(len(order))], order)
                self.assertEqual(sorted(replies), sorted(order))
                if "--delay-ms" in options:
                    self.assertGreaterEqual(elapsed, 0.3)   # 150 ms each way

    def test_tcp_relay_keeps_the_stream_whole(self):
        body = bytes(range(256)) * 40
        with SimProcess(bind=DEV, netns=self.dev) as sim:
            ports = self.relay("--tcp", "127.0.0.1:0=%s:%d" % (DEV, sim.tcp_port),
                               "--delay-ms", "100", "--tcp-chunk", "1000")
            with socket_in(self.cli) as sock:
                sock.settimeout(5)
                sock.connect(("127.0.0.1", int(ports["tcp"])))
                start = time.monotonic()
                sock.sendall(request(1, body))
                reply = proto.read_message(lambda n: recv_exact(sock, n))
                self.assertGreaterEqual(time.monotonic() - start, 0.2)
                self.assertEqual(reply.body, body)

    def test_sim_refuses_non_loopback_only_outside(self):
        if safety.private_namespace():
            self.skipTest("the test itself runs in a private namespace")
        outside = subprocess.run([PYTHON, SIM, "--bind", DEV], stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(outside.returncode, 2)
        self.assertIn("refusing to bind to %s" % DEV, outside.stderr)
        with SimProcess(bind=DEV, netns=self.dev) as sim:
            self.assertGreater(sim.tcp_port, 0)


@unittest.skipUnless(os.geteuid() == 0, "needs root")
class LifecycleTest(unittest.TestCase):
    def test_parallel_creators_get_distinct_pairs(self):
        names, errors = [], []

        def create():
            try:
                names.append(netns("create").stdout.strip())
            except AssertionError as err:
                errors.append(err)
        threads = [threading.Thread(target=create) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        try:
            self.assertEqual(errors, [])
            self.assertEqual(len(set(names)), 4)
            for name in names:
                self.assertTrue(exists(name + "-dev") and exists(name + "-cli"))
            self.assertEqual(netns("create", names[0], check=False).returncode, 2)
        finally:
            for name in names:
                netns("destroy", name)
        self.assertFalse(any(exists(n + "-dev") or exists(n + "-cli") for n in names))

    def test_destroy_ends_what_runs_inside(self):
        name = netns("create").stdout.strip()
        proc = subprocess.Popen([KVNETNS, "exec", name + "-dev", "sleep", "60"])
        try:
            time.sleep(0.2)
        finally:
            netns("destroy", name)
        self.assertEqual(proc.wait(5), -signal.SIGTERM)

    def test_run_cleans_up_on_exit_and_on_sigterm(self):
        done = netns("run", "--side", "cli", "--", "sh", "-c",
                     'echo $KVNETNS; ip -o addr show kv0; exit 3', check=False)
        name = done.stdout.split()[0]
        self.assertEqual(done.returncode, 3)
        self.assertIn("198.51.100.2/24", done.stdout)
        self.assertFalse(exists(name + "-cli"))

        proc = subprocess.Popen([KVNETNS, "run", "--", "sh", "-c", "echo $KVNETNS; exec sleep 60"],
                                stdout=subprocess.PIPE, text=True)
        name = proc.stdout.readline().strip()
        self.assertTrue(exists(name + "-dev"))
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 143)
        proc.stdout.close()
        self.assertFalse(exists(name + "-dev") or exists(name + "-cli"))

    def test_gc_removes_pairs_of_dead_owners(self):
        dead = subprocess.Popen(["true"])
        dead.wait()
        name = netns("create", "--owner", str(dead.pid)).stdout.strip()
        kept = netns("create", "--owner", str(os.getpid())).stdout.strip()
        try:
            netns("gc")
            self.assertFalse(exists(name + "-dev"))
            self.assertTrue(exists(kept + "-dev"))
        finally:
            netns("destroy", name)
            netns("destroy", kept)

    @unittest.skipUnless(os.environ.get("KVNETNS"), "no KVNETNS fixture")
    def test_fixture_pair_is_up(self):
        name = os.environ["KVNETNS"]
        ok, out = ping(name + "-cli", DEV)
        self.assertTrue(ok, out)


if __name__ == "__main__":
    unittest.main()
