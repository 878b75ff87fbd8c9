"""Self-checks of the Python RCT endpoint: two endpoints joined by an in-memory link that drops
and reorders packets still deliver every byte in order, acknowledgements echo what they answer,
and the FIN ends both."""
import random
import struct
import unittest

import rctpeer as r


class Link:
    """Packets in flight between two endpoints; loss and reorder from a fixed seed."""

    def __init__(self, loss, seed):
        self.rng = random.Random(seed)
        self.loss = loss
        self.q = {0: [], 1: []}

    def sender(self, to):
        def send(pkt):
            if self.rng.random() >= self.loss:
                self.q[to].append(pkt)
        return send

    def deliver(self, eps):
        for to in (0, 1):
            pkts, self.q[to] = self.q[to], []
            self.rng.shuffle(pkts)
            for p in pkts:
                eps[to].on_packet(p)


class EndpointTest(unittest.TestCase):
    def transfer(self, loss, size):
        link = Link(loss, 5)
        got = bytearray()
        a = r.RctEndpoint(link.sender(1), index=3, window=64, rto=0.05)
        b = r.RctEndpoint(link.sender(0), index=4, window=64, rto=0.05, on_data=got.extend)
        data = bytes(random.Random(1).getrandbits(8) for _ in range(size))
        a.write(data)
        now = 0.0
        while len(got) < size and now < 600:
            now += 0.01
            a.tick(now)
            b.tick(now)
            link.deliver((a, b))
        self.assertEqual(bytes(got), data)
        return a, b

    def test_in_order_delivery_under_loss_and_reorder(self):
        for loss in (0.0, 0.1, 0.3):
            with self.subTest(loss=loss):
                a, _ = self.transfer(loss, 200000)
                if loss:
                    self.assertGreater(a.resends, 0)

    def test_acks_echo_the_received_head(self):
        sent = []
        ep = r.RctEndpoint(sent.append)
        fin = struct.pack("<IBBHIIBBH", r.MAGIC, r.FIN, 5, 0, 0xFFFFFFFF, 0xFFFFFFFF, 2, 9, 0x1234)
        ep.on_packet(fin)
        head = struct.unpack("<IBBHIIBBH", sent[0])
        self.assertEqual(head[1], r.FIN_ACK)
        self.assertEqual(head[4:], (0xFFFFFFFF, 0xFFFFFFFF, 2, 0, 0x1234))
        self.assertEqual(struct.unpack_from("<B", sent[1], 4)[0], r.QUIT)
        self.assertEqual(ep.ended, "fin")

    def test_ids_cross_the_low_word_limit(self):
        self.assertEqual(r.id_to_wire(0xF0000000), (0xF0000000, 0))
        self.assertEqual(r.id_to_wire(0xF0000001), (0, 1))
        self.assertEqual(r.id_from_wire(0, 1), 0xF0000001)

    def test_bad_packets_are_ignored(self):
        sent = []
        ep = r.RctEndpoint(sent.append)
        good = r.head(r.DATA, 0, 3) + b"abc"
        ep.on_packet(good[:-1])
        ep.on_packet(b"\0" * 4 + good[4:])
        ep.on_packet(good[:10])
        self.assertEqual((sent, ep.rx_bytes), ([], 0))


if __name__ == "__main__":
    unittest.main()
