#!/usr/bin/python3
"""A VERov device on the answering side of a peer connection, written from the wire
description alone: it registers with the server (1021), accepts introductions (1004), answers
them from a connection socket, punches with hellos and replies, keeps heartbeats, and carries
frames over vdt (its version 36 or more, the vdt endpoint of vdtpeer.py with the 8-byte
frame head), in packet mode (2005/2006, version below 36) or as data messages (2003).

  devpeer.py --server IP:PORT --uuid ID [--version N] [--mode MODE]... [--drop-frag LIST]

Modes (repeatable, also as stdin commands {"mode": NAME} or {"unmode": NAME}):
  refuse    answer introductions with result -1
  silent    never answer an introduction
  nohello   answer the introduction but never answer hellos
  mute      stop heartbeats and ignore everything on the path
--drop-frag "i,j" drops the first arrival of those fragment indexes of every packet, so that
the sender has to resend them. Stdin commands: {"close": 1} sends the close message;
{"hb": 1} a heartbeat now.

Frames go to DevPeer.on_frame(conn, a, b, data), which echoes them by default; subclasses
(port forwarding) replace it. Prints JSON lines: {"status": 1} once registered, {"event": ...}
for connections, {"frame": len, "a": a, "b": b} per frame. Exits at the end of stdin.
Anything beyond loopback needs a private network namespace.
"""
import argparse
import json
import os
import random
import select
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from vvcrypt import MAGIC, ecb  # noqa: E402
from kvsim.safety import check_address  # noqa: E402
from vdtpeer import StreamPeer  # noqa: E402

FRAG = 1300


def cstr(b):
    return bytes(b).split(b"\0")[0].decode("latin-1")


def addr(text):
    h, p = text.rsplit(":", 1)
    return h, int(p)


def head(msg_id):
    return struct.pack("<HH", MAGIC, msg_id)


def frag_key(d):
    k = bytearray(d[:16])
    k[13] = 0
    return bytes(k)


def tea_body(d, encipher):
    """Whole 8-byte blocks after the 20-byte head under the fragment's own key."""
    d = bytearray(d)
    body = ecb(bytes(d[20:]), frag_key(d), encipher)
    d[20:] = body
    return d


class Conn:
    def __init__(self, dev, req, src):
        self.dev = dev
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("0.0.0.0", 0))
        self.msgid = random.randint(1, 65534)
        self.req = req
        self.peer_msgid = struct.unpack_from("<I", req, 4)[0]
        self.peer_id = cstr(req[8:108])
        self.cands = []
        mip, mport, lport = cstr(req[208:224]), *struct.unpack_from("<HH", req, 224)
        for ip in cstr(req[228:328]).split(",")[:10]:
            if ip and ip != "127.0.0.1":
                self.cands.append(((ip, lport), 1))
        if mip and mip != "127.0.0.1":
            self.cands.append(((mip, mport), 2))
        self.ctype = req[351]
        rip, rport = cstr(req[332:348]), struct.unpack_from("<H", req, 348)[0]
        self.relay = (rip, rport) if rport and rip and rip != "127.0.0.1" else None
        self.rsock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rsock.bind(("0.0.0.0", 0))
        self.registered = False
        self.last_reg = 0.0
        self.extra = []
        self.path_sock = self.sock
        self.accepted = False
        self.path = None
        self.wave = 0
        self.last_wave = 0.0
        self.last_hb = 0.0
        self.hb_seq = 0
        self.closed = False
        self.rx = {}  # packet id -> [count, a, b, total, bitmap, bytearray, delivered]
        self.dropped = set()
        self.tx_lock = threading.Lock()
        self.tx_id = 0
        self.acked = threading.Event()
        self.tx_slots = []
        self.send_count = 0
        self.vdt = None
        self.rx_stream = bytearray()
        self.answer()

    def uses_vdt(self):
        return self.dev.version >= 36 and self.ctype == 0

    def carrier(self):
        if self.uses_vdt():
            return "vdt"
        return "packets" if self.dev.version < 36 else "datagrams"

    def start_vdt(self):
        self.vdt = StreamPeer(self.path_sock, self.path, self.on_stream)

    def on_stream(self, chunk):
        # 8-byte frame head (a, b, length; little-endian), then the frame's bytes.
        self.rx_stream += chunk
        while len(self.rx_stream) >= 8:
            a, b, n = struct.unpack_from("<HHI", self.rx_stream)
            if len(self.rx_stream) < 8 + n:
                return
            data = bytes(self.rx_stream[8:8 + n])
            del self.rx_stream[:8 + n]
            self.dev.on_frame(self, a, b, data)

    def send_frame(self, a, b, data):
        first = self.vdt.payload - 8
        msgs = [struct.pack("<HHI", a, b, len(data)) + data[:first]]
        if len(data) > first:
            msgs.append(data[first:])
        self.vdt.write(msgs)

    def is_candidate(self, src, sock):
        if sock is self.rsock:
            return src == self.relay
        return src in [c[0] for c in self.cands] or src in self.extra

    def answer(self):
        d = bytearray(588)
        d[0:4] = head(1004)
        struct.pack_into("<I", d, 4, self.msgid)
        d[8:8 + len(self.dev.uuid)] = self.dev.uuid.encode()
        d[108:108 + len(self.peer_id)] = self.peer_id.encode()
        struct.pack_into("<H", d, 226, self.sock.getsockname()[1])
        lip = self.dev.local_ip.encode()
        d[228:228 + len(lip)] = lip
        struct.pack_into("<I", d, 328, self.peer_msgid)
        d[351] = self.ctype
        struct.pack_into("<III", d, 352, int(time.time()), self.dev.version, 4)
        struct.pack_into("<i", d, 464, -1 if "refuse" in self.dev.modes else 0)
        self.sock.sendto(bytes(d), self.dev.server)

    def hello(self, to, dtype, sock=None):
        d = bytearray(184)
        d[0:4] = head(2000)
        struct.pack_into("<I", d, 4, self.msgid)
        d[8:8 + len(self.dev.uuid)] = self.dev.uuid.encode()
        struct.pack_into("<IIII", d, 108, self.wave, self.dev.version, 1, dtype)
        t = ("%s:%d" % to).encode()
        d[124:124 + len(t)] = t
        (sock or self.sock).sendto(bytes(d), to)

    def tick(self, now):
        if self.closed:
            return
        if not self.accepted:
            if now - self.last_wave > 0.3:
                self.answer()
                self.last_wave = now
            return
        if self.path is None and "nohello" not in self.dev.modes:
            if self.relay and self.wave > 1 and not self.registered and now - self.last_reg >= 1:
                d = bytearray(212)
                d[0:4] = head(3001)
                d[4:4 + len(self.dev.uuid)] = self.dev.uuid.encode()
                struct.pack_into("<I", d, 104, self.msgid)
                d[108:108 + len(self.peer_id)] = self.peer_id.encode()
                struct.pack_into("<I", d, 208, self.peer_msgid)
                self.rsock.sendto(bytes(d), self.relay)
                self.last_reg = now
            if now - self.last_wave >= 0.5 and self.wave <= 20:
                for to, dtype in self.cands + [(a, 2) for a in self.extra]:
                    self.hello(to, dtype)
                if self.wave >= 4 and self.registered:
                    self.hello(self.relay, 3, self.rsock)
                self.wave += 1
                self.last_wave = now
        if self.vdt is not None:
            self.vdt.tick()
        elif self.path is not None and "mute" not in self.dev.modes and now - self.last_hb >= 5:
            self.heartbeat()

    def dev_extra(self):
        return []

    def heartbeat(self):
        self.last_hb = time.monotonic()
        d = head(2002) + struct.pack("<III", self.hb_seq, self.dev.version, 1) + bytes(8)
        self.hb_seq += 1
        self.path_sock.sendto(d, self.path)

    def close(self):
        if self.path is not None:
            self.path_sock.sendto(head(2004) + bytes(20), self.path)
        self.closed = True

    # --- received ---------------------------------------------------------------------
    def on_datagram(self, d, src, sock):
        if self.closed:
            return
        if StreamPeer.is_vdt(d):
            self.on_vdt(d, src, sock)
            return
        if len(d) < 4 or struct.unpack_from("<H", d)[0] != MAGIC:
            return
        mid = struct.unpack_from("<H", d, 2)[0]
        if sock is self.rsock:
            if src != self.relay:
                return
            if mid == 3002:
                self.registered = True
                return
        if mid == 1005 and src == self.dev.server:
            self.accepted = True
            return
        if "mute" in self.dev.modes:
            return
        if mid == 2000 and len(d) >= 184 and "nohello" not in self.dev.modes:
            if struct.unpack_from("<I", d, 4)[0] != self.peer_msgid:
                return
            r = bytearray(d)
            r[0:4] = head(2001)
            struct.pack_into("<I", r, 4, self.msgid)
            r[8:108] = self.dev.uuid.encode().ljust(100, b"\0")
            struct.pack_into("<II", r, 112, self.dev.version, 0)
            sock.sendto(bytes(r), src)
            self.accepted = True
            if sock is self.sock and src not in [c[0] for c in self.cands] and src not in self.extra:
                if src[0] in [c[0][0] for c in self.cands] and len(self.extra) < 10:
                    self.extra.append(src)
        elif mid == 2001 and len(d) >= 184 and self.path is None:
            if struct.unpack_from("<I", d, 4)[0] != self.peer_msgid:
                return
            self.path = src
            self.path_sock = sock
            self.dev.say(event="connect", peer="%s:%d" % src, dest=struct.unpack_from("<I", d, 120)[0],
                         carrier=self.carrier())
            if self.uses_vdt():
                self.start_vdt()
            else:
                self.heartbeat()
        elif src != self.path:
            return
        elif mid == 2004:
            self.closed = True
            self.dev.say(event="closed")
        elif mid == 2003 and len(d) >= 12:
            n = min(struct.unpack_from("<H", d, 6)[0], len(d) - 12)
            self.dev.on_frame(self, 0, struct.unpack_from("<H", d, 4)[0], bytes(d[12:12 + n]))
        elif mid == 2005 and len(d) >= 20:
            self.on_fragment(bytearray(d))
        elif mid == 2006 and len(d) >= 10:
            self.on_ack(d)

    def on_vdt(self, d, src, sock):
        if not self.uses_vdt() or "mute" in self.dev.modes:
            return
        if self.path is None:
            # The client fixed its path first: vdt from a candidate address fixes ours.
            if not self.is_candidate(src, sock):
                return
            self.path, self.path_sock = src, sock
            self.dev.say(event="connect", peer="%s:%d" % src, dest=0, carrier=self.carrier())
            self.start_vdt()
        if src != self.path or sock is not self.path_sock:
            return
        self.vdt.on_datagram(d, src, sock)
        if self.vdt.closed:
            self.closed = True
            self.dev.say(event="closed")

    def on_fragment(self, d):
        pid, count, idx = struct.unpack_from("<HBB", d, 4)
        a, b = struct.unpack_from("<HH", d, 8)
        total = struct.unpack_from("<I", d, 16)[0]
        if not 1 <= count <= 8 or total > 8 * FRAG:
            return
        p = self.rx.setdefault(pid, [count, a, b, total, 0, bytearray(total), False])
        if idx < count:
            if (pid, idx) not in self.dropped and idx in self.dev.drop_frag:
                self.dropped.add((pid, idx))
                return
            if d[14]:
                d = tea_body(d, False)
            p[5][idx * FRAG:idx * FRAG + len(d) - 20] = d[20:]
            p[4] |= 0x80 >> idx
            if not d[12] and self.complete(p):
                self.deliver(p)
            return
        if self.complete(p):
            self.deliver(p)
        self.path_sock.sendto(head(2006) + struct.pack("<HBBBB", pid, count, d[13], p[4], 0), self.path)

    @staticmethod
    def complete(p):
        return all(p[4] & (0x80 >> i) for i in range(p[0]))

    def deliver(self, p):
        if p[6]:
            return
        p[6] = True
        self.dev.on_frame(self, p[1], p[2], bytes(p[5][:p[3]]))

    # --- packet sender ----------------------------------------------------------------
    def send_packet(self, a, b, data):
        with self.tx_lock:
            self.tx_id = (self.tx_id + 1) & 0xFFFF
            count = max(1, (len(data) + FRAG - 1) // FRAG)
            self.tx_slots = []
            for i in range(count):
                chunk = data[i * FRAG:(i + 1) * FRAG]
                f = bytearray(head(2005) + struct.pack("<HBBHHBBBBI", self.tx_id, count, i, a, b, 1, 0,
                                                      0, 0, len(data)) + chunk)
                self.tx_slots.append(f)
                self.send_frag(f)
            req = bytearray(head(2005) + struct.pack("<HBBHHBBBBI", self.tx_id, count, count, a, b, 1,
                                                     0, 0, 0, len(data)))
            self.acked.clear()
            for _ in range(50):
                self.send_frag(req)
                if self.acked.wait(0.1):
                    return True
            return False

    def send_frag(self, f):
        f[13] = min(f[13] + 1, 255)
        self.path_sock.sendto(bytes(f), self.path)

    def on_ack(self, d):
        pid, count, _sc, bitmap = struct.unpack_from("<HBBB", d, 4)
        if pid != self.tx_id or not self.tx_slots:
            return
        missing = [i for i in range(min(count, len(self.tx_slots))) if not bitmap & (0x80 >> i)]
        for i in missing:
            self.send_frag(self.tx_slots[i])
        if not missing:
            self.acked.set()


class DevPeer:
    def __init__(self, args):
        self.server = addr(args.server)
        check_address(self.server[0], "send to")
        self.uuid = args.uuid
        self.version = args.version
        self.modes = set(args.mode)
        self.drop_frag = {int(x) for x in args.drop_frag.split(",") if x}
        self.main = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.main.bind(("0.0.0.0", 0))
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.connect(self.server)
        self.local_ip = probe.getsockname()[0]
        probe.close()
        self.conns = []
        self.registered = False
        self.out = threading.Lock()
        self.echo_q = []
        self.echo_cv = threading.Condition()
        threading.Thread(target=self.echo_worker, daemon=True).start()

    def say(self, **kv):
        with self.out:
            sys.stdout.write(json.dumps(kv) + "\n")
            sys.stdout.flush()

    def register(self):
        head16 = struct.pack("<HHIII", MAGIC, 1021, int(time.time()), self.version, 4)
        u = self.uuid.encode() + b"\0"
        u += b"\0" * (-len(u) % 8)
        self.main.sendto(head16 + struct.pack("<I", len(u)) + ecb(u, head16, True), self.server)

    # The frame hook: echo by default.
    def on_frame(self, conn, a, b, data):
        self.say(frame=len(data), a=a, b=b)
        with self.echo_cv:
            self.echo_q.append((conn, a, b, data))
            self.echo_cv.notify()

    def echo_worker(self):
        while True:
            with self.echo_cv:
                while not self.echo_q:
                    self.echo_cv.wait()
                conn, a, b, data = self.echo_q.pop(0)
            if conn.vdt is not None:
                conn.send_frame(a, b, data)
            elif conn.version_packets():
                for i in range(0, max(len(data), 1), 8 * FRAG):
                    conn.send_packet(a, b, data[i:i + 8 * FRAG])
            else:
                d = head(2003) + struct.pack("<HHI", b, len(data), 0) + data
                conn.path_sock.sendto(d, conn.path)

    def on_main(self, d, src):
        if len(d) < 4 or struct.unpack_from("<H", d)[0] != MAGIC or src != self.server:
            return
        mid = struct.unpack_from("<H", d, 2)[0]
        if mid == 1022 and not self.registered:
            self.registered = True
            self.say(status=1)
        elif mid == 1004 and len(d) >= 588 and struct.unpack_from("<I", d, 328)[0] == 0:
            if "silent" in self.modes:
                return
            src_id, src_msgid = cstr(d[8:108]), struct.unpack_from("<I", d, 4)[0]
            for c in self.conns:
                if c.peer_id == src_id and c.peer_msgid == src_msgid:
                    c.answer()
                    return
            c = Conn(self, d, src)
            c.version_packets = lambda: self.version < 36
            self.conns.append(c)
            self.say(event="request", peer=src_id, msgid=c.msgid, peer_msgid=src_msgid,
                     peer_addr="%s:%d" % (cstr(d[208:224]), struct.unpack_from("<H", d, 224)[0]))

    def command(self, cmd):
        if "mode" in cmd:
            self.modes.add(cmd["mode"])
        if "unmode" in cmd:
            self.modes.discard(cmd["unmode"])
        for c in self.conns:
            if cmd.get("close"):
                c.close()
            if cmd.get("hb") and c.path:
                c.heartbeat()

    def run(self, done, cmds):
        last_reg = 0.0
        while not done.is_set():
            socks = [self.main] + [s for c in self.conns if not c.closed for s in (c.sock, c.rsock)]
            for s in self._poll(socks):
                try:
                    d, src = s.recvfrom(4096, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    continue
                if s is self.main:
                    self.on_main(d, src)
                else:
                    for c in self.conns:
                        if s in (c.sock, c.rsock):
                            c.on_datagram(d, src, s)
            now = time.monotonic()
            if now - last_reg > 1.0:
                self.register()
                last_reg = now
            for c in self.conns:
                c.tick(now)
            while cmds:
                self.command(cmds.pop(0))

    @staticmethod
    def _poll(socks):
        p = select.poll()
        for s in socks:
            p.register(s, select.POLLIN)
        fds = {s.fileno(): s for s in socks}
        return [fds[fd] for fd, _ in p.poll(20)]


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--uuid", required=True)
    ap.add_argument("--version", type=int, default=35)
    ap.add_argument("--mode", action="append", default=[])
    ap.add_argument("--drop-frag", default="")
    args = ap.parse_args(argv)
    dev = DevPeer(args)
    done = threading.Event()
    cmds = []

    def watch():
        for line in sys.stdin:
            if line.strip():
                cmds.append(json.loads(line))
        done.set()

    threading.Thread(target=watch, daemon=True).start()
    dev.run(done, cmds)


if __name__ == "__main__":
    main(sys.argv[1:])
