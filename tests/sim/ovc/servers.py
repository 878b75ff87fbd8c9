"""The OVC servers for the client and device tests: masters, P2P servers with their UDP relay, and
JSON-lines logs of what they saw.

Usage: servers.py --master A[,B...] --p2p A:P,B:P [--mode M] [--tag N] [--version-word W]
                  [--relay-delay MS] [--log FILE] [--timeout S]

Masters listen on UDP 10240 of each master address and answer device queries (0x1007 with
0x1008 for clients, 0x1005 for a device's own query; 0x000B with 0x000C) and hellos (0x8003 with
0x8004). The P2P servers answer hellos, store device registrations (0x0105 -> 0x0106), answer
pre-checks (0x0211/0x0214 -> 0x0212), send the long punch information (0x0301) to both sides of
a P2P request (0x0203), and act as the UDP relay: a relay request (0x0205/0x0207) is answered
with 0x0206 and announced to the device with 0x0103; a session-information request (0x0209)
makes the relay (the same socket) send 0x0303 to both sides, after which 0x0502/0x0504 are
forwarded as 0x0501/0x0503 between the pair.

Modes (one per run): normal, refuse-uid (0x0008), no-permission (0x000A), unknown (0x0227),
asleep (0x0229), duplicate (0x0213 code -6), relay-refused (0x0206 result -5), silent-master
(masters never answer), silent-register (registrations unanswered), blocked (0x0106 with the blocked bit), udp-blocked (no UDP answered; with --tcp the streams still are),
udp-blocked-tcp-silent (nothing answered), sleep-one and sleep-silent (sleep-mode
registrations answered by the first server only, or by none), sleep-answer (0x0106 with bit 0
at 204).

Prints "PORT 10240" once bound, then one JSON line per event on stdout (and into --log).
Binds loopback only, unless the process runs in a private network namespace.
"""
import argparse
import json
import os
import select
import socket
import struct
import sys
import time

import codec

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim import safety  # noqa: E402

MASTER_PORT = 10240
MASTER_TCP_PORTS = (21047, 8080, 80, 443, 8000)
VERSION_WORD = 0x0301052A


class Log:
    def __init__(self, path):
        self.f = open(path, "a") if path else None

    def __call__(self, **kv):
        kv["t"] = round(time.monotonic(), 4)
        line = json.dumps(kv)
        sys.stdout.write(line + "\n")
        sys.stdout.flush()
        if self.f:
            self.f.write(line + "\n")
            self.f.flush()


def sockaddr(addr, port):
    """The 16-byte IPv4 socket address of the wire: u16 family 2, u16 port (network order), u32."""
    return struct.pack("<H", 2) + struct.pack(">H", port) + socket.inet_aton(addr) + bytes(8)


def read_sockaddr(b):
    """Port at byte 2 and address at byte 4; bytes 0-1 are not read."""
    if len(b) < 8:
        return None
    port = struct.unpack(">H", b[2:4])[0]
    if port == 0 or b[4:8] == bytes(4):
        return None
    return socket.inet_ntoa(b[4:8]), port


def msg(mtype, body, tag, route=0, random_id=0, flags=codec.FLAG_PE_AWARE):
    head = codec.pack_head(tag=tag, flags=flags, length=len(body), type=mtype, route=route,
                           randomId=random_id)
    return codec.encode(head + body)


def uid_of(body):
    return body[:20].split(b"\0")[0].decode(errors="replace")


class Registration:
    def __init__(self, uid, src, nat, local, sock):
        self.uid = uid
        self.src = src          # reflexive address as this server saw it
        self.nat = nat
        self.local = local      # 16-byte local socket address of the device
        self.sock = sock
        self.at = time.monotonic()


class Servers:
    def __init__(self, args, log):
        self.args = args
        self.log = log
        self.mode = args.mode
        self.tag = args.tag
        self.masters = []
        for a in args.master.split(","):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((a, MASTER_PORT))
            self.masters.append(s)
        self.p2p = []
        for ap in args.p2p.split(","):
            a, p = ap.rsplit(":", 1)
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind((a, int(p)))
            self.p2p.append(s)
        # With --tcp the masters also listen on the five master TCP ports and each P2P server on
        # the first of them; every message on a stream is a whole datagram (16-byte head first).
        self.tcp_listeners = {}  # listening socket -> ("m", port) or ("p", index)
        self.streams = {}        # accepted socket -> [kind, which, buffer]
        if getattr(args, "tcp", False):
            for a in args.master.split(","):
                for port in MASTER_TCP_PORTS:
                    self.tcp_listeners[self.listen_tcp(a, port)] = ("m", port)
            for i, s in enumerate(self.p2p):
                self.tcp_listeners[self.listen_tcp(s.getsockname()[0], MASTER_TCP_PORTS[0])] = ("p", i)
        self.devices = {}       # uid -> {server index: Registration}
        self.relays = {}        # relay id -> dict(client, device, sock)
        self.relay_by_key = {}  # (idLow, idHigh) -> relay id
        self.pending = []       # (due, fn)
        self.next_relay = 0x1200
        self.forwarded = 0

    @staticmethod
    def listen_tcp(addr, port):
        t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        t.bind((addr, port))
        t.listen(16)
        return t

    def on_stream(self, conn):
        st = self.streams[conn]
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.log(ev="tcp_close", server=st[1] if st[0] == "p" else "master")
            del self.streams[conn]
            conn.close()
            return
        st[2] += data
        shim = StreamShim(conn)
        frm = conn.getpeername()
        while len(st[2]) >= 16:
            head = codec.parse_head(codec.unscramble(bytes(st[2][:16])))
            if head["magic"] != codec.MAGIC:
                self.log(ev="bad", error="stream head", frm=list(frm))
                del st[2][:1]
                continue
            whole = 16 + head["length"]
            if len(st[2]) < whole:
                break
            head, body = codec.decode(bytes(st[2][:whole]))
            del st[2][:whole]
            if self.mode == "udp-blocked-tcp-silent":
                continue
            if st[0] == "m":
                self.on_master(shim, head, body, frm)
            else:
                self.on_p2p(st[1], shim, head, body, frm)

    def server_list(self):
        return b"".join(sockaddr(*s.getsockname()) for s in self.p2p)

    # ---- masters ---------------------------------------------------------------------------
    def on_master(self, sock, head, body, frm):
        t = head["type"]
        if t == 0x8003:
            self.log(ev="hello", server="master", frm=list(frm))
            sock.sendto(msg(0x8004, sockaddr(*frm), self.tag), frm)
            return
        if t not in (0x1007, 0x000B):
            self.log(ev="unexpected", server="master", type=t, frm=list(frm))
            return
        uid = uid_of(body)
        own = t == 0x1007 and len(body) >= 38 and body[37] == 1
        self.log(ev="query", uid=uid, type=t, own=own, frm=list(frm))
        if self.mode == "silent-master":
            return
        if self.mode == "refuse-uid":
            sock.sendto(msg(0x0008, body[:20].ljust(20, b"\0"), self.tag), frm)
            return
        if self.mode == "no-permission":
            sock.sendto(msg(0x000A, body[:20].ljust(20, b"\0"), self.tag), frm)
            return
        key = (1, 2, 3)
        servers = self.server_list()
        u = body[:20].ljust(20, b"\0")
        if t == 0x000B:
            b = bytearray(92)
            b[0:20] = u
            struct.pack_into("<3hH", b, 68, *key, len(self.p2p))
            b[76:92] = sockaddr(*frm)
            sock.sendto(msg(0x000C, bytes(b) + servers, self.tag, route=0x0400), frm)
        elif own:
            b = bytearray(60)
            b[0:20] = u
            struct.pack_into("<3hH", b, 20, *key, len(self.p2p))
            b[28:44] = sockaddr(*frm)
            b[44:51] = bytes([1] * 7)
            sock.sendto(msg(0x1005, bytes(b) + servers, self.tag, route=0x0400), frm)
        else:
            b = bytearray(56)
            b[0:20] = u
            b[36:52] = sockaddr(*frm)
            recs = [(1, struct.pack("<bxbxbx", *key)), (2, servers), (3, b"\x01\x02\x03")]
            struct.pack_into("<H", b, 54, len(recs))
            for kind, val in recs:
                b += struct.pack("<BBH", kind, 0, len(val)) + val
            sock.sendto(msg(0x1008, bytes(b), self.tag), frm)

    # ---- P2P servers -----------------------------------------------------------------------
    def reg_of(self, uid):
        regs = self.devices.get(uid)
        if not regs:
            return None
        return max(regs.values(), key=lambda r: r.at)

    def on_p2p(self, idx, sock, head, body, frm):
        t = head["type"]
        if (t & 0xFF00) == 0x0500:
            return self.forward(sock, head, body, frm)
        uid = uid_of(body)
        if t == 0x8003:
            sock.sendto(msg(0x8004, sockaddr(*frm), self.tag), frm)
        elif t == 0x0105 and len(body) >= 224 and body[204] & 1:
            # A sleep-mode registration: answered with the sleep bit, unless the mode keeps
            # this server (sleep-one: all but the first; sleep-silent: all) quiet.
            value = struct.unpack_from("<I", body, 220)[0]
            self.log(ev="sleep_register", server=idx, uid=uid, value=value, frm=list(frm))
            if self.mode == "sleep-silent" or (self.mode == "sleep-one" and idx != 0):
                return
            b = bytearray(272)
            b[0:20] = body[:20]
            b[20:36] = sockaddr(*frm)
            b[204] = 1
            sock.sendto(msg(0x0106, bytes(b), self.tag), frm)
        elif t == 0x0228:
            self.log(ev="wakeup", server=idx, uid=uid, word=body[20:32].decode(errors="replace"), size=len(body))
        elif t == 0x0105:
            nat = struct.unpack_from("<I", body, 36)[0] if len(body) >= 40 else 0
            old = self.devices.get(uid, {}).get(idx)
            self.devices.setdefault(uid, {})[idx] = Registration(uid, frm, nat, body[20:36], sock)
            if old is None or old.src != frm or old.nat != nat:
                self.log(ev="register", server=idx, uid=uid, nat=nat, frm=list(frm), size=len(body))
            b = bytearray(272)
            b[0:20] = body[:20]
            b[20:36] = sockaddr(*frm)
            if self.mode == "silent-register":
                return
            if self.mode == "blocked":
                b[268] = 1
            if self.mode == "sleep-answer":
                b[204] = 1
            sock.sendto(msg(0x0106, bytes(b), self.tag), frm)
        elif t in (0x0211, 0x0214):
            self.on_precheck(sock, head, body, frm, uid)
        elif t == 0x0203:
            self.on_p2p_request(idx, sock, head, body, frm, uid)
        elif t in (0x0205, 0x0207):
            self.on_relay_request(idx, sock, head, body, frm, uid)
        elif t == 0x0209:
            self.on_relay_info(idx, sock, head, body, frm, uid)
        elif t == 0x0103:
            res = struct.unpack_from("<i", body, 20)[0] if len(body) >= 24 else None
            self.log(ev="announce_answer", server=idx, uid=uid, result=res)
        elif t == 0x030C:
            self.log(ev="relay_confirm", server=idx, uid=uid, relay=head["randomId"])
        elif t == 0x0801:
            self.log(ev="report_success", server=idx, uid=uid, mode=body[38] if len(body) > 38 else None,
                     remote_nat=body[36] if len(body) > 36 else None)
        elif t == 0x0804:
            res = struct.unpack_from("<i", body, 40)[0] if len(body) >= 44 else None
            self.log(ev="report_connect", server=idx, uid=uid, result=res,
                     path=body[38] if len(body) > 38 else None, size=len(body))
        elif t == 0x0805:
            code = struct.unpack_from("<i", body, 20)[0] if len(body) >= 24 else None
            text = body[24:152].split(b"\0")[0].decode(errors="replace")
            self.log(ev="report_error", server=idx, uid=uid, code=code, text=text, size=len(body))
        else:
            self.log(ev="unexpected", server=idx, type=t, frm=list(frm))

    def on_precheck(self, sock, head, body, frm, uid):
        reg = self.reg_of(uid)
        self.log(ev="precheck", uid=uid, type=head["type"], known=reg is not None, frm=list(frm))
        u = body[:20].ljust(20, b"\0")
        if self.mode == "duplicate" and reg:
            sock.sendto(msg(0x0213, u + struct.pack("<i", -6), self.tag), frm)
        elif reg is None or self.mode == "unknown":
            sock.sendto(msg(0x0227, u, self.tag), frm)
        elif self.mode == "asleep":
            sock.sendto(msg(0x0229, u + struct.pack("<II", 0, 30), self.tag), frm)
        else:
            b = bytearray(44)
            b[0:20] = u
            struct.pack_into("<I", b, 20, int(time.monotonic() - reg.at))
            b[36] = reg.nat & 0xFF
            struct.pack_into("<I", b, 40, self.args.version_word)
            sock.sendto(msg(0x0212, bytes(b), self.tag), frm)

    def on_p2p_request(self, idx, sock, head, body, frm, uid):
        reg = self.reg_of(uid)
        key = struct.unpack_from("<II", body, 84) if len(body) >= 96 else (0, 0)
        cnat = struct.unpack_from("<I", body, 92)[0] if len(body) >= 96 else 0
        self.log(ev="p2p_request", server=idx, uid=uid, known=reg is not None, size=len(body),
                 frm=list(frm), nat=cnat)
        if reg is None:
            return
        # About the device, to the client.
        b = bytearray(292)
        b[0:20] = body[:20].ljust(20, b"\0")
        b[20:36] = sockaddr(*reg.src)
        b[36:52] = reg.local
        struct.pack_into("<IIB3xI", b, 100, key[0], key[1], reg.nat & 0xFF, reg.nat)
        sock.sendto(msg(0x0301, bytes(b), self.tag), frm)
        # About the client, to the device (from the server the device registered with).
        b = bytearray(292)
        b[0:20] = body[:20].ljust(20, b"\0")
        b[20:36] = sockaddr(*frm)
        if len(body) >= 84:
            b[36:100] = body[20:84]
        struct.pack_into("<IIB3xI", b, 100, key[0], key[1], cnat & 0xFF, cnat)
        reg.sock.sendto(msg(0x0301, bytes(b), self.tag), reg.src)

    def on_relay_request(self, idx, sock, head, body, frm, uid):
        reg = self.reg_of(uid)
        key = struct.unpack_from("<II", body, 20) if len(body) >= 28 else (0, 0)
        self.log(ev="relay_request", server=idx, uid=uid, type=head["type"], known=reg is not None)
        u = body[:20].ljust(20, b"\0")
        result = -5 if self.mode == "relay-refused" else 0 if reg else -1
        sock.sendto(msg(0x0206, u + struct.pack("<iII", result, key[0], key[1]), self.tag), frm)
        if result == 0:
            # Announce the client to the device, through the server it registered with.
            reg.sock.sendto(msg(0x0103, u + struct.pack("<II", key[0], key[1]), self.tag), reg.src)

    def on_relay_info(self, idx, sock, head, body, frm, uid):
        reg = self.reg_of(uid)
        key = struct.unpack_from("<II", body, 20) if len(body) >= 28 else (0, 0)
        self.log(ev="relay_info", server=idx, uid=uid, known=reg is not None)
        if reg is None or self.mode == "relay-refused":
            return
        rid = self.relay_by_key.get(key)
        r = self.relays.get(rid) if rid is not None else None
        if r is None:
            # The relay is the socket this first request reached: the client's address is the one
            # that socket saw, and the device's is its registration with the same server (behind
            # a symmetric NAT every server sees another port, and only those datagrams get back
            # in). Retries and the copy sent to the other server keep this relay; otherwise the
            # two sides end up bound to different sockets and each drops the other's traffic.
            own = self.devices.get(uid, {}).get(idx, reg)
            rid = self.next_relay
            self.next_relay += 1
            self.relay_by_key[key] = rid
            r = dict(client=frm, device=own.src, sock=own.sock, key=key, nat=own.nat)
            self.relays[rid] = r
        u = body[:20].ljust(20, b"\0")
        b = bytearray(88)
        b[0:20] = u
        struct.pack_into("<H", b, 20, rid)
        b[24:40] = sockaddr(*r["client"])
        b[40:56] = sockaddr(*r["device"])
        struct.pack_into("<IIIIB3xB3xB3xB", b, 56, key[0], key[1], VERSION_WORD, self.args.version_word,
                         20, 20, 0, r["nat"] & 0xFF)
        dgram = msg(0x0303, bytes(b), self.tag)

        def announce():
            r["sock"].sendto(dgram, r["device"])
            r["sock"].sendto(dgram, r["client"])
            self.log(ev="relay_open", uid=uid, relay=rid, server=idx)
        self.pending.append((time.monotonic() + self.args.relay_delay / 1000.0, announce))

    def forward(self, sock, head, body, frm):
        r = self.relays.get(head["randomId"])
        if r is None:
            return
        t = head["type"]
        if t in (0x0504, 0x0514, 0x0524):
            to = r["device"]
        elif t in (0x0502, 0x0512, 0x0522):
            to = r["client"]
        else:
            return
        h = codec.pack_head(tag=head["tag"], flags=head["flags"], length=head["length"], seq=head["seq"],
                            type=t - 1, route=head["route"], randomId=head["randomId"],
                            channel=head["channel"], reserved=head["reserved"])
        r["sock"].sendto(codec.encode(h + body), to)
        self.forwarded += 1
        if t in (0x0514, 0x0512):
            self.log(ev="relay_close", relay=head["randomId"], type=t)

    # ---- loop ------------------------------------------------------------------------------
    def run(self, timeout):
        socks = {s: ("m", s) for s in self.masters}
        for i, s in enumerate(self.p2p):
            socks[s] = ("p", i)
        ins = list(socks) + [sys.stdin] + list(self.tcp_listeners)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            r, _, _ = select.select(ins + list(self.streams), [], [], 0.01)
            now = time.monotonic()
            due = [p for p in self.pending if p[0] <= now]
            self.pending = [p for p in self.pending if p[0] > now]
            for _, fn in due:
                fn()
            for s in r:
                if s is sys.stdin:
                    line = sys.stdin.readline()
                    if not line or line.strip() == "quit":
                        return 0
                    w = line.split()
                    if w and w[0] == "mode":
                        self.mode = w[1]
                        self.log(ev="mode", mode=self.mode)
                    elif w and w[0] == "stats":
                        self.log(ev="stats", forwarded=self.forwarded, devices=sorted(self.devices))
                    continue
                if s in self.tcp_listeners:
                    try:
                        c, frm = s.accept()
                    except OSError:
                        continue
                    kind, which = self.tcp_listeners[s]
                    self.streams[c] = [kind, which, bytearray()]
                    self.log(ev="tcp_accept", server="master" if kind == "m" else which,
                             port=s.getsockname()[1], frm=list(frm))
                    continue
                if s in self.streams:
                    self.on_stream(s)
                    continue
                try:
                    data, frm = s.recvfrom(2048)
                except OSError:
                    continue
                if self.mode in ("udp-blocked", "udp-blocked-tcp-silent"):
                    continue
                try:
                    head, body = codec.decode(data)
                except ValueError as e:
                    self.log(ev="bad", error=str(e), frm=list(frm))
                    continue
                if head["magic"] != codec.MAGIC:
                    continue
                kind, which = socks[s]
                if kind == "m":
                    self.on_master(s, head, body, frm)
                else:
                    self.on_p2p(which, s, head, body, frm)
        return 0


class StreamShim:
    """Lets the datagram handlers answer on the stream a message came in on."""

    def __init__(self, conn):
        self.conn = conn

    def sendto(self, data, frm):
        try:
            self.conn.sendall(data)
        except OSError:
            pass

    def getsockname(self):
        return self.conn.getsockname()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--master", default="127.0.0.1")
    ap.add_argument("--p2p", default="127.0.0.1:0,127.0.0.1:0")
    ap.add_argument("--mode", default="normal")
    ap.add_argument("--tag", type=int, default=20)
    ap.add_argument("--version-word", type=lambda v: int(v, 0), default=0x010E0000)
    ap.add_argument("--relay-delay", type=float, default=300.0)
    ap.add_argument("--log", default="")
    ap.add_argument("--timeout", type=float, default=600.0)
    ap.add_argument("--tcp", action="store_true", help="also serve the masters and P2P servers over TCP")
    args = ap.parse_args()
    try:
        for a in args.master.split(",") + [p.rsplit(":", 1)[0] for p in args.p2p.split(",")]:
            safety.check_address(a, "bind")
    except safety.SafetyError as e:
        print(e, file=sys.stderr)
        return 2
    srv = Servers(args, Log(args.log))
    print("PORT %d" % MASTER_PORT, flush=True)
    srv.log(ev="ready", p2p=["%s:%d" % s.getsockname() for s in srv.p2p])
    return srv.run(args.timeout)


if __name__ == "__main__":
    sys.exit(main())
