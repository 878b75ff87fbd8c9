"""A device for the OVC client that reaches it through the servers (servers.py): it asks the
master for its group, says hello to and registers with the group's P2P servers every second,
learns its NAT type from their answers, knocks at a client when the punch information comes,
answers knocks, accepts the relay's announcement and session, and then serves the session as
the LAN device of lanpeer.py does (echo, reliable messages with acknowledgements, alive, close).

Usage: devpeer.py --uid UID --master ADDR [--bind ADDR] [--port P] [--period S] [--no-direct]
                  [--timeout S] [--rct echo|tunnel [--auth VERDICT] [--source-bytes N]]

Prints "PORT <n>" once bound, then one JSON line per event; commands on standard input as in
lanpeer.py (close | silent | talk | send N [CH] | reliable N [CH] | stats | quit).
With --rct tunnel, channel 0 of a session is the device side of a P2PTunnel session
(tnlpeer.py): a "services" line names its echo and source ports, and its opens reach
services on this host's loopback (a device simulator, the media-port service).
Binds loopback only, unless the process runs in a private network namespace.
"""
import argparse
import select
import socket
import struct
import sys
import time

import codec
import lanpeer
from lanpeer import emit, wire

MASTER_PORT = 10240


def sockaddr(addr, port):
    return struct.pack("<H", 2) + struct.pack(">H", port) + socket.inet_aton(addr) + bytes(8)


def read_sockaddr(b):
    if len(b) < 8:
        return None
    port = struct.unpack(">H", b[2:4])[0]
    if port == 0 or b[4:8] == bytes(4):
        return None
    return socket.inet_ntoa(b[4:8]), port


class ServerDevice(lanpeer.Device):
    def __init__(self, args):
        args.uid_prefix = "X"
        args.token = 1
        args.short = False
        args.loss = 0.0
        args.seed = 7
        args.no_echo = False
        args.no_ack = False
        super().__init__(0, args.bind, args.port, args)
        self.uid = args.uid[:20].ljust(20, "0").upper()
        self.master = (args.master, MASTER_PORT)
        self.servers = []
        self.reflexive = {}     # server -> (addr, port) it reported
        self.registered = set()
        self.nat = 0
        self.count = 0
        self.relay_id = None    # set when the session runs over the relay
        self.pending = {}       # key -> client addresses from punch information
        self.next_reg = 0.0
        self.no_direct = args.no_direct
        self.local = sockaddr(*self.sock.getsockname()) if args.bind != "0.0.0.0" else bytes(16)

    # ---- sending over the current path -----------------------------------------------------
    def data_msg(self, payload, ch):
        if self.relay_id is None:
            return super().data_msg(payload, ch)
        lo, hi = self.key
        body = struct.pack("<III", 12, lo, hi) + payload
        return wire(0x0502, 0x14, body, flags=codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID,
                    seq=self.seq(ch), channel=ch, random_id=self.relay_id)

    def reliable_msg(self, number, kind, payload, ch):
        if self.relay_id is None:
            return super().reliable_msg(number, kind, payload, ch)
        lo, hi = self.key
        body = struct.pack("<IIBBHI", number, lo, 0, kind, 0, hi) + payload
        flags = codec.FLAG_PE_AWARE | codec.FLAG_RELIABLE | codec.FLAG_LONG_ID
        return wire(0x0502, 0x14, body, flags=flags, seq=self.seq(ch), channel=ch,
                    random_id=self.relay_id)

    def control(self, mtype):
        if self.relay_id is None:
            return super().control(mtype)
        lo, hi = self.key
        relayed = {0x0418: 0x0512, 0x0428: 0x0522}[mtype]
        return wire(relayed, 0x14, struct.pack("<II", lo, hi),
                    flags=codec.FLAG_PE_AWARE | codec.FLAG_LONG_ID, random_id=self.relay_id)

    def knock(self, mtype, to, key, seq=0):
        body = self.uid.encode() + struct.pack("<II", *key)
        if mtype == 0x0401:
            prime = wire(0xFFFF, 0x33, body[:24])
            self.send(prime, to)
            self.send(prime, to)
        self.send(wire(mtype, 0x33, body, seq=seq), to)

    # ---- servers ---------------------------------------------------------------------------
    def tick(self):
        now = time.monotonic()
        if now < self.next_reg:
            return
        self.next_reg = now + self.args.period
        if not self.servers:
            body = self.uid.encode() + bytes(16) + bytes([6, 1])
            self.send(wire(0x1007, 0x18, body), self.master)
            return
        for s in self.servers:
            self.send(wire(0x8003, 0x3F, struct.pack("<IHBB", self.count, 0x1234, 0, 0)), s)
            b = bytearray(272)
            b[0:20] = self.uid.encode()
            b[20:36] = self.local
            struct.pack_into("<II", b, 36, self.nat, 0x0301052A)
            struct.pack_into("<I", b, 220, self.count)
            struct.pack_into("<HH", b, 226, 1, 1)
            self.send(wire(0x0105, 0x14, bytes(b)), s)
        self.count += 1

    def learn(self, server, refl):
        if refl is None:
            return
        self.reflexive[server] = refl
        if len(self.reflexive) >= 2:
            nat = 2 if len(set(self.reflexive.values())) == 1 else 3
            if nat != self.nat:
                self.nat = nat
                emit(dev=0, event="nat", nat=nat, seen=sorted(map(list, self.reflexive.values())))

    def handle(self, data, frm):
        try:
            head, body = codec.decode(data)
        except ValueError as e:
            emit(dev=0, error=str(e))
            return
        if head["magic"] != codec.MAGIC:
            return
        t = head["type"]
        if t == 0x1005 and len(body) >= 60:
            n = struct.unpack_from("<H", body, 26)[0]
            self.servers = [read_sockaddr(body[60 + 16 * i:76 + 16 * i]) for i in range(n)
                            if 76 + 16 * i <= len(body)]
            self.servers = [s for s in self.servers if s]
            emit(dev=0, event="group", servers=[list(s) for s in self.servers])
            self.next_reg = 0.0
        elif t == 0x8004:
            self.learn(frm, read_sockaddr(body[0:16]))
        elif t == 0x0106:
            if frm not in self.registered:
                self.registered.add(frm)
                emit(dev=0, event="registered", server=list(frm))
            self.learn(frm, read_sockaddr(body[20:36]))
        elif t == 0x0301 and len(body) >= 116:
            self.on_punch_info(body)
        elif t in (0x0401, 0x0402, 0x0404) and len(body) >= 28:
            self.on_knock(head, body, frm)
        elif t == 0x0103 and len(body) >= 28:
            key = struct.unpack_from("<II", body, 20)
            self.send(wire(0x0103, 0x14, body[:20] + struct.pack("<iII", 0, *key)), frm)
            emit(dev=0, event="announce", key=list(key))
        elif t == 0x0303 and len(body) >= 64:
            rid = struct.unpack_from("<H", body, 20)[0]
            key = struct.unpack_from("<II", body, 56)
            if self.key == key and self.client and self.relay_id is None and self.client != frm:
                return  # already connected directly
            self.connect(frm, key, head["tag"], relay_id=rid)
        elif t in (0x0407, 0x0503):
            self.on_data(head, body, frm)
        elif t in (0x0427, 0x0523):
            if self.client and self.key and not self.silent:
                self.send(self.control(0x0428), self.client)
        elif t in (0x0417, 0x0513):
            emit(dev=0, event="closed")
            self.client = None

    def on_punch_info(self, body):
        key = struct.unpack_from("<II", body, 100)
        addrs = [read_sockaddr(body[20:36])]
        if len(body) >= 292:
            addrs += [read_sockaddr(body[116 + 16 * i:132 + 16 * i]) for i in range(8)]
        addrs = [a for a in addrs if a]
        emit(dev=0, event="punch_info", key=list(key), addrs=[list(a) for a in addrs])
        self.pending[key] = addrs
        if self.no_direct:
            return
        for a in addrs:
            self.knock(0x0401, a, key)

    def on_knock(self, head, body, frm):
        key = struct.unpack_from("<II", body, 20)
        t = head["type"]
        if self.no_direct or key not in self.pending and key != self.key:
            return
        if t == 0x0401:
            self.knock(0x0402, frm, key)
        elif t == 0x0402:
            self.connect(frm, key, head["tag"])
            self.knock(0x0404, frm, key, seq=head["seq"])
        elif t == 0x0404:
            self.connect(frm, key, head["tag"])

    def connect(self, to, key, tag, relay_id=None):
        if self.client == to and self.key == key:
            return
        self.client = to
        self.key = key
        self.relay_id = relay_id
        self.rel_expected.clear()
        self.rel_held.clear()
        self.tx_seq.clear()
        # A new session starts its RCT channels (and the tunnel on channel 0) afresh.
        self.rct.clear()
        self.tunnel = None
        emit(dev=0, event="connected", client=list(to), key=list(key), tag=tag,
             path="relay" if relay_id is not None else "direct")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--uid", required=True)
    ap.add_argument("--master", required=True)
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--period", type=float, default=1.0)
    ap.add_argument("--no-direct", action="store_true")
    ap.add_argument("--timeout", type=float, default=600.0)
    # With --rct tunnel, channel 0 of a session carries a tunnel session served by tnlpeer.py.
    ap.add_argument("--rct", choices=("echo", "tunnel"), default="")
    ap.add_argument("--auth", default="accept", help="tunnel verdict, as tnlpeer.py --auth")
    ap.add_argument("--silent-secs", type=float, default=30)
    ap.add_argument("--source-bytes", type=int, default=1 << 20)
    args = ap.parse_args()
    try:
        lanpeer.safety.check_address(args.bind if args.bind != "0.0.0.0" else "198.51.100.1", "bind")
        lanpeer.safety.check_address(args.master, "send")
    except lanpeer.safety.SafetyError as e:
        print(e, file=sys.stderr)
        return 2
    d = ServerDevice(args)
    print("PORT %d" % d.sock.getsockname()[1], flush=True)
    if args.rct == "tunnel":
        echo, source = lanpeer.tnlpeer.RctTunnel.services(args.source_bytes)
        emit(event="services", echo=echo, source=source)
    end = time.monotonic() + args.timeout
    while time.monotonic() < end:
        r, _, _ = select.select([d.sock, sys.stdin], [], [], 0.01)
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
                d.command(words)
                continue
            # With RCT traffic a burst is taken at once; otherwise one datagram per wake-up.
            for _ in range(256 if args.rct else 1):
                try:
                    data, frm = s.recvfrom(2048, socket.MSG_DONTWAIT)
                except OSError:
                    break
                d.handle(data, frm)
        d.tick()
        d.resend()
        if args.rct:
            d.rct_tick(time.monotonic())
    return 0


if __name__ == "__main__":
    sys.exit(main())
