"""LAN devices for the OVC client: N devices answering LAN searches, accepting the LAN connect,
echoing channel data, acknowledging reliable messages, answering alive and close, and lying on
command.

Usage: lanpeer.py [--count N] [--addrs A,B,...] [--port P] [--bcast ADDR] [--uid-prefix TEXT]
                  [--token T] [--short] [--loss PCT] [--seed S] [--no-echo] [--no-ack]
                  [--rct echo|bridge]

Each device binds its own address (default 127.0.0.1, 127.0.0.2, ...) at one port (0: a free
one, the same for all). With --bcast, one more socket bound to that broadcast address hands
every broadcast request to all devices. Prints "PORT <n>" once bound, then one JSON line per
event. Commands on standard input, one per line, to device 0 unless "@i " leads:
  close | silent | talk | send N [CH] | reliable N [CH] | lie KIND | stats | rct | rctsilent | quit
With --rct, channel data is RCT (rctpeer.py): "echo" runs an RCT endpoint per channel that
writes back what it reads; "bridge" forwards each channel packet of device i to the client of
device i^1 unchanged, so two clients' RCT channels talk to each other. "rct" prints the
endpoints' counters.
Lies: length (head length beyond the datagram), offset (payload offset beyond the body),
offpath (data and close from a stranger's socket with the session's key), shortext (reliable
message shorter than its extension).
Binds loopback only, unless the process runs in a private network namespace.
"""
import argparse
import json
import os
import random
import select
import socket
import struct
import sys
import time

import codec
import rctpeer
import tnlpeer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim import safety  # noqa: E402

VERSION_WORD = 0x0301052A
LOG = sys.stdout


def emit(**kv):
    with tnlpeer.lock_out:  # tunnel sessions write events from their own threads
        LOG.write(json.dumps(kv) + "\n")
        LOG.flush()


def wire(mtype, route, body, flags=codec.FLAG_PE_AWARE, seq=0, channel=0, random_id=0):
    head = codec.pack_head(flags=flags, length=len(body), seq=seq, type=mtype, route=route,
                           randomId=random_id, channel=channel)
    return codec.encode(head + body)


class Device:
    def __init__(self, idx, addr, port, args):
        self.idx = idx
        self.addr = addr
        self.uid = ("%s%02d" % (args.uid_prefix, idx)).ljust(20, "0")[:20]
        self.name = "lanpeer device %d" % idx
        self.token = args.token
        self.short = args.short
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind((addr, port))
        self.stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.stranger.bind((addr, 0))
        self.args = args
        self.rng = random.Random(args.seed + idx)
        self.client = None      # (addr, port) of the connected client
        self.key = None         # (idLow, idHigh)
        self.silent = False
        self.echo = not args.no_echo
        self.ack = not args.no_ack
        self.tx_seq = {}
        self.rx_data = {}       # channel -> count of plain data received
        self.rx_bytes = 0
        self.rel_expected = {}  # channel -> next expected number
        self.rel_held = {}      # channel -> {number: payload}
        self.rel_delivered = {}  # channel -> count
        self.rel_order_ok = True
        self.rel_last = {}      # channel -> last payload counter seen in order
        self.rel_out = {}       # channel -> {number: payload} waiting for acks
        self.rel_next = {}      # channel -> next number to send
        self.rel_pending = {}   # channel -> [payloads not yet queued]
        self.last_resend = 0.0
        self.rct = {}           # channel -> rctpeer.RctEndpoint
        self.partial = False    # mirror the client's partial scrambling
        self.peers = []         # every device, for --rct bridge
        self.rct_silent = False  # RCT endpoints quiet while the session stays alive
        self.offered = None     # (address, key) of the last session offered to a client

    # ---- sending ---------------------------------------------------------------------------
    def lossy(self):
        return self.args.loss and self.rng.random() * 100 < self.args.loss

    def send(self, data, to, sock=None):
        if self.silent or self.lossy():
            return
        try:
            (sock or self.sock).sendto(data, to)
        except OSError:
            pass  # a dropping filter on the way refuses the send: a lost datagram

    def seq(self, ch):
        v = self.tx_seq.get(ch, 0)
        self.tx_seq[ch] = (v + 1) & 0xFFFF
        return v

    def data_msg(self, payload, ch):
        lo, hi = self.key
        body = struct.pack("<III", 12, lo, hi) + payload
        flags = codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID | (codec.FLAG_PARTIAL if self.partial else 0)
        return wire(0x0408, 0x12, body, flags=flags, seq=self.seq(ch), channel=ch,
                    random_id=lo & 0xFFFF)

    def reliable_msg(self, number, kind, payload, ch):
        lo, hi = self.key
        body = struct.pack("<IIBBHI", number, lo, 0, kind, 0, hi) + payload
        flags = codec.FLAG_PE_AWARE | codec.FLAG_RELIABLE | codec.FLAG_LONG_ID
        return wire(0x0408, 0x12, body, flags=flags, seq=self.seq(ch), channel=ch,
                    random_id=lo & 0xFFFF)

    def control(self, mtype):
        lo, hi = self.key
        return wire(mtype, 0x12, struct.pack("<II", lo, hi), flags=codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID)

    def answer(self, to, key, result, route=0x12):
        if self.short:
            body = bytearray(168)
            body[0:20] = self.uid.encode()
            ip = socket.inet_aton(to[0]) if ":" not in to[0] else bytes(4)
            body[20:36] = struct.pack("<BBH4s8x", 0, 2, socket.htons(to[1]), ip)
            body[36:36 + len(self.name)] = self.name.encode()
        else:
            body = bytearray(184)
            body[0:20] = self.uid.encode()
            body[36:36 + len(self.name)] = self.name.encode()
            struct.pack_into("<IIIi", body, 168, VERSION_WORD, key[0], key[1], result)
        self.send(wire(0x0602, route, bytes(body)), to)

    # ---- receiving -------------------------------------------------------------------------
    def handle(self, data, frm):
        if self.lossy():
            return
        try:
            head, body = codec.decode(data)
        except ValueError as e:
            emit(dev=self.idx, error=str(e))
            return
        if head["magic"] != codec.MAGIC:
            return
        t = head["type"]
        if t in (0x0601, 0x0603):
            self.on_search(head, body, frm)
        elif t == 0x0407:
            self.on_data(head, body, frm)
        elif t == 0x0427:
            if len(body) >= 8:
                self.adopt(frm, struct.unpack_from("<II", body, 0))
            if self.client and self.key and not self.silent:
                self.send(self.control(0x0428), self.client)
        elif t == 0x0417:
            emit(dev=self.idx, event="closed")
            self.client = None
        elif t == 0x0802:
            emit(dev=self.idx, event="capability", tag=head["tag"])

    def on_search(self, head, body, frm):
        token = struct.unpack_from("<I", body, 52)[0] if len(body) >= 56 else None
        kind = struct.unpack_from("<i", body, 48)[0] if len(body) >= 52 else None
        key = struct.unpack_from("<II", body, 40) if len(body) >= 48 else (0, 0)
        uid = body[:20].rstrip(b"\0").decode(errors="replace")
        emit(dev=self.idx, event="search", type=head["type"], token=token, kind=kind,
             marker=head["reserved"], uid=uid, size=len(body))
        if head["type"] == 0x0603 and token != self.token:
            return
        if kind in (None, 0):
            self.answer(frm, (0, 0), 0)
            return
        if uid != self.uid:
            return
        if kind == 1:
            self.offered = (frm, tuple(key))
            self.answer(frm, key, 1)
        elif kind == 2:
            if self.args.drop_connect > 0:
                self.args.drop_connect -= 1  # scripted loss of the client's one connect datagram
                return
            self.connect(frm, tuple(key), head["tag"])

    def connect(self, frm, key, tag):
        # A repeated connect of the session already running keeps its state: resetting it would
        # lose the channel data acknowledged so far.
        if self.client == frm and self.key is not None and tuple(self.key) == key:
            return
        self.client = frm
        self.key = key
        self.rel_expected.clear()
        self.rel_held.clear()
        self.rct.clear()
        emit(dev=self.idx, event="connected", client=list(frm), key=list(key), tag=tag)

    def adopt(self, frm, key):
        """The client's one connect datagram can be lost. Like a real device, traffic from the
        address that was offered the session, carrying its key, opens the session anyway."""
        if self.offered and self.offered == (frm, key):
            self.connect(frm, key, 0)

    def on_data(self, head, body, frm):
        if (not self.key or frm != self.client) and len(body) >= 12 and \
                (head["flags"] & (codec.FLAG_LONG_ID | codec.FLAG_RELIABLE)) == codec.FLAG_LONG_ID:
            self.adopt(frm, struct.unpack_from("<II", body, 4))
        if not self.key or frm != self.client:
            return
        ch = head["channel"]
        if head["flags"] & codec.FLAG_RELIABLE:
            number, lo, _, kind, _, hi = struct.unpack_from("<IIBBHI", body, 0)
            payload = body[16:]
            if kind == 1:
                self.rel_out.get(ch, {}).pop(number, None)
                return
            self.on_reliable(ch, number, payload)
            return
        payload = body[12:] if head["flags"] & codec.FLAG_LONG_ID else body
        if self.args.rct:
            self.partial = bool(head["flags"] & codec.FLAG_PARTIAL)
            self.on_rct(ch, payload)
            return
        self.rx_data[ch] = self.rx_data.get(ch, 0) + 1
        self.rx_bytes += len(payload)
        if self.echo:
            self.send(self.data_msg(payload, ch), self.client)

    def on_rct(self, ch, payload):
        if self.args.rct == "bridge":
            other = self.peers[self.idx ^ 1] if self.idx ^ 1 < len(self.peers) else None
            if other and other.client and other.key:
                other.send(other.data_msg(payload, ch), other.client)
            return
        ep = self.rct.get(ch)
        if ep is None:
            ep = rctpeer.RctEndpoint(lambda pkt, ch=ch: self.client and self.send(self.data_msg(pkt, ch), self.client),
                                     index=40 + ch)
            ep.on_data = ep.write
            ep.can_take = lambda ep=ep: ep.backlog() < 4096
            ep.silent = self.silent or self.rct_silent
            self.rct[ch] = ep
            if self.args.rct == "tunnel" and ch == 0:
                self.tunnel = tnlpeer.RctTunnel(ep, self.args)
        ep.on_packet(payload)

    def rct_tick(self, now):
        if getattr(self, "tunnel", None):
            self.tunnel.pump()
        for ep in self.rct.values():
            ep.silent = self.silent or self.rct_silent
            ep.tick(now)

    def on_reliable(self, ch, number, payload):
        exp = self.rel_expected.get(ch, 0)
        held = self.rel_held.setdefault(ch, {})
        if number == exp:
            self.deliver(ch, payload)
            exp += 1
            while exp in held:
                self.deliver(ch, held.pop(exp))
                exp += 1
            self.rel_expected[ch] = exp
        elif number > exp:
            if number not in held and len(held) >= 20:
                return
            held[number] = payload
        if self.ack:
            self.send(self.reliable_msg(number, 1, b"", ch), self.client)

    def deliver(self, ch, payload):
        n = self.rel_delivered.get(ch, 0)
        if len(payload) >= 4:
            counter = struct.unpack_from("<I", payload)[0]
            if counter != n:
                self.rel_order_ok = False
        self.rel_delivered[ch] = n + 1

    def resend(self):
        now = time.monotonic()
        if now - self.last_resend < 0.05 or not self.client:
            return
        self.last_resend = now
        for ch, pending in self.rel_pending.items():
            out = self.rel_out.setdefault(ch, {})
            while pending and len(out) < 20:
                n = self.rel_next.get(ch, 0)
                self.rel_next[ch] = n + 1
                out[n] = pending.pop(0)
        for ch, out in self.rel_out.items():
            for n, p in sorted(out.items()):
                self.send(self.reliable_msg(n, 0, p, ch), self.client)

    def command(self, words):
        c = words[0]
        if c == "close" and self.client:
            for _ in range(3):
                self.send(self.control(0x0418), self.client)
        elif c == "silent":
            self.silent = True
        elif c == "talk":
            self.silent = False
        elif c == "send" and self.client:
            n, ch = int(words[1]), int(words[2]) if len(words) > 2 else 0
            for i in range(n):
                self.send(self.data_msg(struct.pack("<I", i) + b"p" * 28, ch), self.client)
        elif c == "reliable":
            n, ch = int(words[1]), int(words[2]) if len(words) > 2 else 0
            self.rel_pending.setdefault(ch, []).extend(struct.pack("<I", i) + b"r" * 60 for i in range(n))
        elif c == "lie" and self.client:
            self.lie(words[1])
        elif c == "tnlopen" and getattr(self, "tunnel", None):
            self.tunnel.open_from_device(int(words[1]), int(words[2]))
        elif c == "rctsilent":
            self.rct_silent = True
        elif c == "rct":
            emit(dev=self.idx, event="rct", channels={ch: dict(rx=ep.rx_bytes, tx=ep.tx_bytes, ended=ep.ended,
                                                               resends=ep.resends, backlog=ep.backlog())
                                                      for ch, ep in self.rct.items()})
        elif c == "stats":
            emit(dev=self.idx, event="stats", rx_data=self.rx_data, rx_bytes=self.rx_bytes,
                 rel_delivered=self.rel_delivered, rel_order_ok=self.rel_order_ok,
                 rel_out=sum(len(v) for v in self.rel_out.values()) +
                 sum(len(v) for v in self.rel_pending.values()))

    def lie(self, kind):
        lo, hi = self.key
        if kind == "length":
            head = codec.pack_head(flags=codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID, length=400,
                                   type=0x0408, route=0x12, randomId=lo & 0xFFFF)
            self.sock.sendto(codec.encode(head + struct.pack("<III", 12, lo, hi) + b"L" * 10), self.client)
        elif kind == "offset":
            body = struct.pack("<III", 5000, lo, hi) + b"O" * 10
            self.sock.sendto(wire(0x0408, 0x12, body, flags=codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID), self.client)
            body = struct.pack("<III", 4, lo, hi) + b"O" * 10
            self.sock.sendto(wire(0x0408, 0x12, body, flags=codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID), self.client)
        elif kind == "offpath":
            self.stranger.sendto(self.data_msg(b"stranger", 0), self.client)
            self.stranger.sendto(self.control(0x0418), self.client)
            self.stranger.sendto(self.control(0x0428), self.client)
        elif kind == "shortext":
            body = struct.pack("<II", 0, lo)
            flags = codec.FLAG_PE_AWARE | codec.FLAG_RELIABLE | codec.FLAG_LONG_ID
            self.sock.sendto(wire(0x0408, 0x12, body, flags=flags), self.client)
        emit(dev=self.idx, event="lied", kind=kind)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=1)
    ap.add_argument("--addrs", default="")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--bcast", default="")
    ap.add_argument("--uid-prefix", default="LANPEER")
    ap.add_argument("--token", type=int, default=1)
    ap.add_argument("--short", action="store_true")
    ap.add_argument("--loss", type=float, default=0.0)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--no-echo", action="store_true")
    ap.add_argument("--no-ack", action="store_true")
    ap.add_argument("--timeout", type=float, default=300.0)
    ap.add_argument("--rct", choices=("echo", "bridge", "tunnel"), default="")
    # With --rct tunnel, channel 0 carries a tunnel session served by tnlpeer.py.
    ap.add_argument("--auth", default="accept", help="tunnel verdict, as tnlpeer.py --auth")
    ap.add_argument("--silent-secs", type=float, default=30)
    ap.add_argument("--source-bytes", type=int, default=1 << 20)
    ap.add_argument("--drop-connect", type=int, default=0, help="drop this many connect requests")
    ap.add_argument("--lan-probe", default="refuse", help="tunnel direct-LAN probe, as tnlpeer.py")
    args = ap.parse_args()
    addrs = args.addrs.split(",") if args.addrs else ["127.0.0.%d" % (i + 1) for i in range(args.count)]
    try:
        for a in addrs + ([args.bcast] if args.bcast else []):
            safety.check_address(a, "bind")
    except safety.SafetyError as e:
        print(e, file=sys.stderr)
        return 2
    port = args.port
    devices = []
    for i, a in enumerate(addrs[:args.count]):
        d = Device(i, a, port, args)
        port = d.sock.getsockname()[1]
        devices.append(d)
    bsock = None
    if args.bcast:
        bsock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        bsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        bsock.bind((args.bcast, port))
    for d in devices:
        d.peers = devices
    if args.rct == "tunnel":
        if args.addrs:  # checked above: loopback, or inside a private namespace
            tnlpeer.SERVICE_HOST[0] = addrs[0]
        echo, source = tnlpeer.RctTunnel.services(args.source_bytes)
        emit(event="services", echo=echo, source=source)
    print("PORT %d" % port, flush=True)
    socks = {d.sock: d for d in devices}
    ins = list(socks) + ([bsock] if bsock else []) + [sys.stdin]
    end = time.monotonic() + args.timeout
    while time.monotonic() < end:
        r, _, _ = select.select(ins, [], [], 0.01)
        for s in r:
            if s is sys.stdin:
                line = sys.stdin.readline()
                if not line:
                    return 0
                words = line.split()
                if not words:
                    continue
                if words[0] == "quit":
                    return 0
                target = devices[0]
                if words[0].startswith("@"):
                    target = devices[int(words[0][1:])]
                    words = words[1:]
                target.command(words)
                continue
            # With RCT traffic a burst is taken at once; otherwise one datagram per wake-up.
            for _ in range(256 if args.rct else 1):
                try:
                    data, frm = s.recvfrom(2048, socket.MSG_DONTWAIT)
                except OSError:
                    break
                if s is bsock:
                    for d in devices:
                        d.handle(data, frm)
                else:
                    socks[s].handle(data, frm)
        now = time.monotonic()
        for d in devices:
            d.resend()
            if args.rct:
                d.rct_tick(now)
    return 0


if __name__ == "__main__":
    sys.exit(main())
