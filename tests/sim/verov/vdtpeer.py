#!/usr/bin/python3
"""An independent vdt endpoint for tests: hello and hello reply, MTU reply, an in-order
receiver with acks and missing lists, and a simple sender with a fixed window and resends.
It logs every packet and can lie on command.

  vdtpeer.py --bind ADDR:PORT --peer ADDR:PORT [--send BYTES] [--recv BYTES] [--seed N]
             [--window N] [--slots N] [--payload N] [--lie KIND]... [--log FILE]

Lies (repeatable): mtu-huge (MTU replies name 65535 bytes), ack-overcount (acks whose count
runs beyond the datagram), seq-far (data numbered far outside the window), third-hello (hellos
from a third address, marked so a reflection is seen).

Prints "READY udp=PORT", then "SENT n sha256" once all it sent was acknowledged, "RECEIVED n
sha256" once --recv bytes arrived in order, "REFLECTED" when a hello reply for a third-address
hello reaches its main socket. Exits at the end of standard input. Anything beyond loopback
needs a private network namespace."""

import argparse
import hashlib
import json
import os
import random
import select
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim import safety  # noqa: E402

HELLO, HELLO_RE, PACKET, ACK, ASK, MTU, MTU_RE, CLOSE = range(0x1000, 0x1008)
NAMES = {HELLO: "hello", HELLO_RE: "hello_re", PACKET: "packet", ACK: "ack", ASK: "ask",
         MTU: "mtu", MTU_RE: "mtu_re", CLOSE: "close"}
MARK = 0xDEAD  # hello counter of the third-address hellos


def head(t):
    return bytes([0x12, 0x01]) + struct.pack(">H", t)


def clock():
    now = time.monotonic()
    return int(now), int((now % 1) * 1e6)


def addr(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


class Peer:
    def __init__(self, args, sock=None, peer=None):
        self.a = args
        if sock is None:
            safety.check_address(addr(args.bind)[0], "bind")
            safety.check_address(addr(args.peer)[0], "send to")
            self.peer = addr(args.peer)
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
            self.sock.bind(addr(args.bind))
        else:
            # A path that an embedding program already opened and checked.
            self.peer = peer
            self.sock = sock
        self.third = None
        if "third-hello" in args.lie:
            self.third = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.third.bind((addr(args.bind)[0], 0))
        self.log = open(args.log, "a") if args.log else None
        self.lock = threading.Lock()
        self.out = threading.Lock()
        self.answered = False
        self.last_hello = 0.0
        # receiver
        self.expected = 1
        self.stored = {}
        self.highest = 0
        self.since_ack = 0
        self.ask_seq = 0
        self.rx_hash = hashlib.sha256()
        self.rx_bytes = 0
        self.rx_done = False
        # sender
        self.payload = args.payload
        self.next_seq = 1
        self.unacked = {}  # seq -> [packet, last send time]
        self.tx_hash = hashlib.sha256()
        self.tx_queued = 0
        self.tx_done = args.send == 0
        self.last_progress = time.monotonic()
        self.rng = random.Random(args.seed)

    def say(self, line):
        with self.out:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()

    def note(self, way, data, who):
        if not self.log:
            return
        t = struct.unpack(">H", data[2:4])[0] if len(data) >= 4 and data[:2] == b"\x12\x01" else None
        rec = {"t": round(time.monotonic(), 4), "way": way, "type": NAMES.get(t, "other"),
               "len": len(data), "peer": "%s:%d" % who}
        if t == PACKET and len(data) >= 16:
            rec["seq"] = struct.unpack(">I", data[4:8])[0]
        self.log.write(json.dumps(rec) + "\n")

    def send(self, data, to=None, sock=None):
        to = to or self.peer
        self.note("out", data, to)
        try:
            (sock or self.sock).sendto(data, to)
        except OSError:
            pass

    # --- receiving side -------------------------------------------------------------
    def on_packet(self, d):
        if len(d) < 16:
            return
        seq, length, last, _retr, every = struct.unpack(">IHBBB", d[4:13])
        if length > len(d) - 16:
            return
        if self.expected <= seq < self.expected + self.a.slots and seq not in self.stored:
            self.stored[seq] = d[16:16 + length]
            self.highest = max(self.highest, seq)
        self.since_ack += 1
        if self.since_ack >= max(every, 1):
            self.send_ack()
        while self.expected in self.stored:
            chunk = self.stored.pop(self.expected)
            self.rx_hash.update(chunk)
            self.rx_bytes += len(chunk)
            self.expected += 1
            self.deliver(chunk)
        if not self.rx_done and self.a.recv and self.rx_bytes >= self.a.recv:
            self.rx_done = True
            self.say("RECEIVED %d %s" % (self.rx_bytes, self.rx_hash.hexdigest()))

    def deliver(self, chunk):
        """In-order bytes; StreamPeer hands them to its owner."""

    def send_ack(self):
        top = max(self.highest, self.expected - 1)
        reach = max(top, min(self.ask_seq, self.expected + self.a.slots - 1))
        missing = [q for q in range(self.expected, reach + 1) if q not in self.stored][:300]
        free = self.a.slots - len(self.stored)
        reported = top if len(missing) < 300 else missing[-1]
        body = struct.pack(">HHII", free, len(missing), reported, 0)
        self.send(head(ACK) + body + b"".join(struct.pack(">I", m) for m in missing))
        self.since_ack = 0

    # --- sending side ---------------------------------------------------------------
    def fill(self):
        while (not self.tx_done and self.tx_queued < self.a.send
               and len(self.unacked) < self.a.window):
            n = min(self.payload, self.a.send - self.tx_queued)
            data = self.rng.randbytes(n)
            self.tx_hash.update(data)
            self.tx_queued += n
            last = 1
            every = 1 if self.tx_queued >= self.a.send else self.a.window
            pkt = head(PACKET) + struct.pack(">IHBBB3x", self.next_seq, n, last, 0, every) + data
            self.unacked[self.next_seq] = [pkt, time.monotonic()]
            self.next_seq += 1
            self.send(pkt)

    def on_ack(self, d):
        if len(d) < 16:
            return
        _free, n, highest, _ = struct.unpack(">HHII", d[4:16])
        if 16 + 4 * n > len(d):
            return
        missing = set(struct.unpack(">%dI" % n, d[16:16 + 4 * n]))
        for seq in [s for s in self.unacked if s <= highest and s not in missing]:
            del self.unacked[seq]
            self.last_progress = time.monotonic()
        now = time.monotonic()
        for seq in sorted(missing):
            ent = self.unacked.get(seq)
            if ent and now - ent[1] > 0.05:
                pkt = bytearray(ent[0])
                pkt[11] = min(pkt[11] + 1, 255)
                ent[0] = bytes(pkt)
                ent[1] = now
                self.send(ent[0])
        self.fill()
        if not self.tx_done and self.tx_queued >= self.a.send and not self.unacked:
            self.tx_done = True
            self.say("SENT %d %s" % (self.tx_queued, self.tx_hash.hexdigest()))

    # --- path -----------------------------------------------------------------------
    def on_datagram(self, d, who, sock):
        self.note("in", d, who)
        if len(d) < 4 or d[:2] != b"\x12\x01":
            return
        t = struct.unpack(">H", d[2:4])[0]
        if t == HELLO and len(d) >= 20:
            self.send(head(HELLO_RE) + d[4:20], who, sock)
        elif t == HELLO_RE and len(d) >= 20:
            counter = struct.unpack(">I", d[12:16])[0]
            if counter == MARK and sock is self.sock:
                self.say("REFLECTED")
            elif sock is self.sock:
                self.answered = True
        elif t == MTU and len(d) >= 16:
            size = 65535 if "mtu-huge" in self.a.lie else struct.unpack(">H", d[12:14])[0]
            self.send(head(MTU_RE) + d[4:12] + struct.pack(">H", size) + d[14:16], who, sock)
        elif t == PACKET and who == self.peer:
            self.on_packet(d)
        elif t == ACK and who == self.peer:
            self.on_ack(d)
        elif t == ASK and who == self.peer and len(d) >= 16:
            self.ask_seq = struct.unpack(">I", d[4:8])[0]
            self.send_ack()

    def tick(self):
        now = time.monotonic()
        if (not self.answered or now - self.last_hello > 1.0) and now - self.last_hello > 0.3:
            s, u = clock()
            self.send(head(HELLO) + struct.pack(">IIIHH", s, u, 1, self.a.slots, self.a.slots))
            self.last_hello = now
        if self.third:
            s, u = clock()
            self.send(head(HELLO) + struct.pack(">IIIHH", s, u, MARK, 1, 1), sock=self.third)
        if "ack-overcount" in self.a.lie:
            self.send(head(ACK) + struct.pack(">HHII", 10, 1000, 5, 0) + b"\0\0\0\1")
        if "seq-far" in self.a.lie:
            far = self.expected + 1000000
            self.send(head(PACKET) + struct.pack(">IHBBB3x", far, 4, 1, 0, 1) + b"evil")
        # A stalled sender resends what is oldest and asks.
        if self.unacked and now - self.last_progress > 0.2:
            oldest = min(self.unacked)
            self.send(self.unacked[oldest][0])
            s, u = clock()
            self.send(head(ASK) + struct.pack(">III", self.next_seq - 1, s, u))
            self.last_progress = now
        self.fill()

    def run(self, done):
        socks = [self.sock] + ([self.third] if self.third else [])
        next_tick = 0.0
        while not done.is_set():
            r = self._poll(socks)
            for s in r:
                for _ in range(256):
                    try:
                        d, who = s.recvfrom(2048, socket.MSG_DONTWAIT)
                    except BlockingIOError:
                        break
                    self.on_datagram(d, who, s)
            if time.monotonic() >= next_tick:
                self.tick()
                next_tick = time.monotonic() + 0.1

    def _poll(self, socks):
        p = select.poll()
        for s in socks:
            p.register(s, select.POLLIN)
        fds = {s.fileno(): s for s in socks}
        return [fds[fd] for fd, _ in p.poll(20)]


class StreamPeer(Peer):
    """The same endpoint as a two-way byte stream on a path its owner runs (devpeer.py):
    write() queues messages, each cut into packets of its own; received bytes go to on_data
    in order. The owner passes in every vdt datagram of the path and calls tick() often."""

    def __init__(self, sock, peer, on_data, payload=1000, window=16, slots=64):
        args = argparse.Namespace(bind=None, peer=None, send=0, recv=0, seed=1, window=window,
                                  slots=slots, payload=payload, lie=[], log=None)
        super().__init__(args, sock=sock, peer=peer)
        self.on_data = on_data
        self.tx_msgs = []  # packets (payload, last) not yet sent
        self.closed = False

    @staticmethod
    def is_vdt(d):
        return len(d) >= 4 and d[:2] == b"\x12\x01"

    def write(self, msg_parts):
        """Queues one or more messages; a message starts on a packet of its own."""
        with self.lock:
            for m in msg_parts:
                for i in range(0, max(len(m), 1), self.payload):
                    self.tx_msgs.append(m[i:i + self.payload])
            self.fill()

    def deliver(self, chunk):
        self.on_data(chunk)

    def fill(self):
        while self.tx_msgs and len(self.unacked) < self.a.window:
            data = self.tx_msgs.pop(0)
            # Ask for an ack with the last packet that is queued, so a pause never stalls.
            every = 1 if not self.tx_msgs else self.a.window
            pkt = head(PACKET) + struct.pack(">IHBBB3x", self.next_seq, len(data), 1, 0, every) + data
            self.unacked[self.next_seq] = [pkt, time.monotonic()]
            self.next_seq += 1
            self.send(pkt)

    def on_datagram(self, d, who, sock):
        with self.lock:
            if self.is_vdt(d) and struct.unpack(">H", d[2:4])[0] == CLOSE:
                self.closed = True
            super().on_datagram(d, who, sock)

    def pending(self):
        with self.lock:
            return len(self.unacked) + len(self.tx_msgs)

    def tick(self):
        with self.lock:
            super().tick()


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--bind", required=True)
    ap.add_argument("--peer", required=True)
    ap.add_argument("--send", type=int, default=0)
    ap.add_argument("--recv", type=int, default=0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--window", type=int, default=16)
    ap.add_argument("--slots", type=int, default=64)
    ap.add_argument("--payload", type=int, default=1000)
    ap.add_argument("--lie", action="append", default=[])
    ap.add_argument("--log")
    args = ap.parse_args(argv)
    peer = Peer(args)
    done = threading.Event()

    def watch():
        while os.read(0, 4096):
            pass
        done.set()

    threading.Thread(target=watch, daemon=True).start()
    peer.say("READY udp=%d" % peer.sock.getsockname()[1])
    peer.run(done)


if __name__ == "__main__":
    main(sys.argv[1:])
