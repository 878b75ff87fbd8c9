#!/usr/bin/env python3
"""A VERov P2P server for the tests: main server and assistant on several addresses.

Written from the wire description alone (TEA and text packing from vvcrypt.py, MD5 from
hashlib), so that the C++ client is checked against a second implementation.

  vvserver.py CONFIG_JSON

CONFIG keys (all optional but "addrs"):
  addrs     addresses to serve on; each gets sockets on port, port + 1 and port + 2 (the
            client's port offsets; port + 1 also absorbs the NAT test's hello)
  port      base port (7000)
  list      lines of the server list, "ip:port|ipv6|domain" (default: every addr at port)
  keys      {uuid: key}: authentication of a listed uuid needs its key; others are accepted
  svrkey    the server key a 1012 must carry for a 1013 with status 1 ("" answers 1003)
  interval  heartbeat interval in replies (30); connlog: connect-log level in 1013 (0)
  period    authentication period in 1015 (3600)
  media     {uuid: port}: put into bytes 0-1 of the parameters a status reply carries
  spoof     an address of ours that is not in the list, for forged messages (see stdin)
  faults    {"<incoming id>" or "*": fault}; faults: drop, delay:<ms>, dup, wrong_check,
            reject, bad_key, offline, list51, oversize, stale
  log       JSON-lines file: one line per datagram in or out
  relay     "ip:port" of the relay (3001 registers a pair, 3002 confirms, everything else from a
            registered address goes to its partner unchanged, 3003 or relay_idle seconds of
            silence release); its address travels in every forwarded 1004
  relay_idle  seconds (30)
  (connect and disconnect logs, 1103 and 1104, are recorded decoded: "dir": "connlog")
  mapped6   an IPv6 text the forwarded 1004 carries as the sender's own IPv6 address (with the
            observed port), to show the IPv6-first waves

Connection messages (1004): a request (destination message id 0) to a registered, online uuid
is answered with 1005 (> 0) and forwarded to that uuid's registered address with the observed
source address as the sender's mapped address; an unknown or "offline" uuid gets 1005 with -1.
Answers (destination message id non-zero) go back to the requester's registered address (or
the address its request came from) the same way, and the answerer gets 1005 > 0. Repeats are
forwarded again (the client recognises them). Fault names for 1004: drop, offline, no_result
(forward but send no 1005), no_forward (1005 only).

Prints "READY" once every socket is bound. Stdin takes JSON lines: {"faults": {...}} replaces
the faults; {"incoming": [UUID, 0|1]} sends the 1017 switch to a registered uuid;
{"spoof": {"to": "ip:port", "hex": DATAGRAM}} sends one datagram from the spoof address;
{"spoof": UUID} sends forged 5002, 1001, 1003, 1007, 1013, 1015, 1017 from the spoof
address to the uuid's registered address. End of stdin ends the server.
"""
import hashlib
import json
import os
import random
import selectors
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from vvcrypt import MAGIC, ecb, text_build, text_parse  # noqa: E402
from kvsim.safety import check_address  # noqa: E402


def pad8(b):
    return b + b"\0" * (-len(b) % 8)


def cstr(b):
    return b.split(b"\0")[0].decode("latin-1")


class Server:
    def __init__(self, cfg):
        self.cfg = cfg
        self.port = cfg.get("port", 7000)
        self.faults = dict(cfg.get("faults", {}))
        self.lock = threading.Lock()
        self.registry = {}  # uuid -> {src, nattype, seen, params, upnp}
        self.socks = {}  # (ip, port) -> socket
        self.sel = selectors.DefaultSelector()
        self.logf = open(cfg["log"], "a", buffering=1) if cfg.get("log") else None
        addrs = list(cfg["addrs"]) + ([cfg["spoof"]] if cfg.get("spoof") else [])
        for ip in addrs:
            check_address(ip, "bind")
            for p in (self.port, self.port + 1, self.port + 2):
                fam = socket.AF_INET6 if ":" in ip else socket.AF_INET
                s = socket.socket(fam, socket.SOCK_DGRAM)
                s.bind((ip, p))
                self.socks[(ip, p)] = s
                if ip != cfg.get("spoof"):
                    self.sel.register(s, selectors.EVENT_READ, (ip, p))
        self.relay = None
        self.pairs = {}  # src -> [partner src or None, last seen, key]
        if cfg.get("relay"):
            rip, rport = cfg["relay"].rsplit(":", 1)
            check_address(rip, "bind")
            rs = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            rs.bind((rip, int(rport)))
            rip = rs.getsockname()[0]
            self.relay = rs
            self.sel.register(rs, selectors.EVENT_READ, "relay")
        self.requests = {}  # (uuid, msgid) -> address the request came from
        self.lines = cfg.get("list") or ["%s:%d||" % (ip, self.port) for ip in cfg["addrs"]]

    # --- plumbing -------------------------------------------------------------------
    def log(self, **kv):
        if self.logf:
            kv["t"] = round(time.monotonic(), 3)
            self.logf.write(json.dumps(kv) + "\n")

    def fault(self, msg_id):
        with self.lock:
            return self.faults.get(str(msg_id), self.faults.get("*", ""))

    def send(self, sock, data, dst, reply_to, fault=""):
        if fault == "drop":
            self.log(dir="drop", id=reply_to, dst="%s:%d" % dst[:2])
            return
        copies = 2 if fault == "dup" else 1

        def go():
            for _ in range(copies):
                try:
                    sock.sendto(data, dst)
                except OSError:
                    pass
                self.log(dir="out", id=struct.unpack_from("<H", data, 2)[0] if len(data) >= 4 else -1,
                         src="%s:%d" % sock.getsockname()[:2], dst="%s:%d" % dst[:2], len=len(data))
        if fault.startswith("delay:"):
            threading.Timer(int(fault[6:]) / 1000.0, go).start()
        else:
            go()

    # --- messages -------------------------------------------------------------------
    def server_list(self, fault):
        lines = list(self.lines)
        if fault == "list51":
            lines = ["203.0.113.%d:%d||" % (10 + i % 20, self.port + 3 + i) for i in range(51)]
        body = ("\n".join(lines)).encode()
        sec = int(time.time())
        head16 = struct.pack("<HHIHHI", MAGIC, 5002, sec, 0, len(lines), random.getrandbits(32))
        enc = ecb(pad8(body), head16, True)
        blen = len(body) + (4000 if fault == "oversize" else 0)
        return head16 + struct.pack("<i", blen) + enc

    def mapped(self, src, req):
        sec, usec = struct.unpack_from("<II", req, 4) if len(req) >= 12 else (0, 0)
        ip4 = src[0] if "." in src[0] else ""
        ip6 = src[0] if ":" in src[0] else ""
        return (struct.pack("<HH", MAGIC, 1001) + ip4.encode().ljust(16, b"\0")
                + struct.pack("<HHII", src[1], 0, sec, usec) + ip6.encode().ljust(60, b"\0"))

    def checked(self, msg_id, a, b, check, fault):
        head16 = struct.pack("<HHiii", MAGIC, msg_id, a, b, check)
        text = str(check + 1 if fault == "wrong_check" else check).encode()
        return head16 + ecb(text.ljust(24, b"\0"), head16, True)

    def key_reply(self, key, status, fault):
        now = int(time.time()) - (60 if fault == "stale" else 0)
        head16 = struct.pack("<HHiiI", MAGIC, 1013, status, self.cfg.get("interval", 30), now)
        enc = ecb(key.encode().ljust(32, b"\0")[:32], head16, True)
        return head16 + enc + struct.pack("<i", self.cfg.get("connlog", 0))

    def status(self, uuid, fault):
        e = self.registry.get(uuid)
        online = 1 if e and fault != "offline" else 0
        params = bytearray(e["params"] if e else b"")
        media = self.cfg.get("media", {}).get(uuid)
        if e and media is not None:
            params = bytearray(params.ljust(2, b"\0"))
            params[0:2] = struct.pack("<H", media)
        addr = "%s:%d" % e["src"][:2] if e else ""
        return (struct.pack("<HH", MAGIC, 1011) + uuid.encode().ljust(100, b"\0")
                + struct.pack("<i", online) + addr.encode().ljust(36, b"\0")
                + struct.pack("<i", len(params)) + bytes(params).ljust(1024, b"\0")
                + b"".ljust(64, b"\0"))

    def register(self, uuid, src, **kv):
        with self.lock:
            e = self.registry.setdefault(uuid, {"params": b"", "upnp": None, "nattype": 0})
            e["src"] = src
            e["seen"] = time.monotonic()
            e.update(kv)

    # --- introduction -------------------------------------------------------------
    def conn_message(self, sock, data, src, f):
        if len(data) < 588:
            return
        d = bytearray(data)
        src_uuid, dst_uuid = cstr(d[8:108]), cstr(d[108:208])
        src_msgid, dst_msgid = struct.unpack_from("<I", d, 4)[0], struct.unpack_from("<I", d, 328)[0]
        # The observed address replaces what the sender believes its mapped address is.
        d[208:224] = src[0].encode().ljust(16, b"\0")[:16]
        struct.pack_into("<H", d, 224, src[1])
        if self.relay is not None:
            rip, rport = self.relay.getsockname()[:2]
            d[332:348] = rip.encode().ljust(16, b"\0")
            struct.pack_into("<H", d, 348, rport)
        if self.cfg.get("mapped6"):
            d[504:544] = self.cfg["mapped6"].encode().ljust(40, b"\0")
            struct.pack_into("<H", d, 544, src[1])
        if dst_msgid == 0:
            self.requests[(src_uuid, src_msgid)] = src
        with self.lock:
            e = self.registry.get(dst_uuid)
        if dst_msgid == 0:
            online = e is not None and f != "offline"
            if f != "no_result":
                self.send(sock, struct.pack("<HHIi", MAGIC, 1005, src_msgid, 1 if online else -1),
                          src, 1004)
            if online and f != "no_forward":
                self.send(sock, bytes(d), e["src"], 1004)
            return
        dst = self.requests.get((dst_uuid, dst_msgid)) or (e["src"] if e else None)
        if f != "no_result":
            self.send(sock, struct.pack("<HHIi", MAGIC, 1005, src_msgid, 1), src, 1004)
        if dst is not None and f != "no_forward":
            self.send(sock, bytes(d), dst, 1004)

    def connlog(self, msg_id, d):
        """Connect (1103, 108 bytes) and disconnect (1104, 88 bytes) logs, recorded decoded."""
        if msg_id == 1103 and len(d) >= 108:
            no, plat = struct.unpack_from("<II", d, 4)
            nat, peer_nat, ver, peer_ver, relayed, result, ms = struct.unpack_from("<iiIiiii", d, 80)
            self.log(dir="connlog", id=1103, conn=no, platform=plat, uuid=cstr(d[12:48]),
                     peer=cstr(d[48:80]), nattype=nat, peer_nattype=peer_nat, version=ver,
                     peer_version=peer_ver, relayed=relayed, result=result, ms=ms)
        elif msg_id == 1104 and len(d) >= 88:
            no, plat = struct.unpack_from("<II", d, 4)
            secs, result = struct.unpack_from("<ii", d, 80)
            self.log(dir="connlog", id=1104, conn=no, platform=plat, uuid=cstr(d[12:48]),
                     peer=cstr(d[48:80]), seconds=secs, result=result)

    def relay_datagram(self, data, src):
        now = time.monotonic()
        idle = self.cfg.get("relay_idle", 30)
        for k in [k for k, v in self.pairs.items() if now - v[1] > idle]:
            self.log(dir="relay-expire", src="%s:%d" % k[:2])
            del self.pairs[k]
        msg_id = struct.unpack_from("<H", data, 2)[0] if len(data) >= 4 else -1
        self.log(dir="relay-in", id=msg_id, src="%s:%d" % src[:2], len=len(data))
        if msg_id == 3001 and len(data) >= 212:
            own = (cstr(data[4:104]), struct.unpack_from("<I", data, 104)[0])
            peer = (cstr(data[108:208]), struct.unpack_from("<I", data, 208)[0])
            ent = self.pairs.setdefault(src, [None, now, own])
            ent[1], ent[2] = now, own
            for other, v in self.pairs.items():
                if other != src and v[2] == peer:
                    ent[0], v[0] = other, src
            self.send(self.relay, struct.pack("<HH", MAGIC, 3002), src, 3001, self.fault(3001))
            return
        ent = self.pairs.get(src)
        if ent is None:
            return
        ent[1] = now
        if msg_id == 3003:
            other = self.pairs.pop(src)[0]
            if other in self.pairs and self.pairs[other][0] == src:
                self.pairs[other][0] = None
            return
        if ent[0] is not None and ent[0] in self.pairs:
            self.pairs[ent[0]][1] = now
            self.send(self.relay, data, ent[0], msg_id)

    def handle(self, sock, local, data, src):
        if local == "relay":
            self.relay_datagram(data, src)
            return
        if len(data) < 4 or struct.unpack_from("<H", data)[0] != MAGIC:
            self.log(dir="in", id=-1, src="%s:%d" % src[:2], local="%s:%d" % local, len=len(data))
            return
        msg_id = struct.unpack_from("<H", data, 2)[0]
        self.log(dir="in", id=msg_id, src="%s:%d" % src[:2], local="%s:%d" % local, len=len(data))
        f = self.fault(msg_id)
        if f == "drop":
            self.log(dir="drop", id=msg_id, dst="%s:%d" % src[:2])
            return
        if msg_id in (1103, 1104):
            self.connlog(msg_id, data)
        elif msg_id == 5001:
            self.send(sock, self.server_list(f), src, msg_id, f)
        elif msg_id == 1000:
            self.send(sock, self.mapped(src, data), src, msg_id, f)
        elif msg_id == 1018 and len(data) >= 24:
            aip = cstr(data[4:20])
            aport, j = struct.unpack_from("<HH", data, 20)
            helper = self.socks.get((aip, aport))
            if helper is not None:
                self.send(helper, struct.pack("<HHI", MAGIC, 1019, j), src, msg_id, f)
        elif msg_id == 1023:
            r = text_parse(data)
            if r is None:
                return
            parts = r[1].split("|")
            uuid, key = parts[0], parts[1] if len(parts) > 1 else ""
            want = self.cfg.get("keys", {}).get(uuid)
            ok = (want is None or want == key) and f != "reject"
            if ok:
                self.register(uuid, src)
            self.send(sock, self.checked(1015, 1 if ok else 0, self.cfg.get("period", 3600),
                                         random.randint(1, 1 << 30), f), src, msg_id, f)
        elif msg_id == 1012 and len(data) >= 160:
            key = cstr(ecb(data[16:48], data[:16], False))
            uuid = cstr(data[48:148])
            nattype = struct.unpack_from("<i", data, 152)[0]
            self.register(uuid, src, nattype=nattype)
            svrkey = self.cfg.get("svrkey", "")
            if not svrkey:
                reply = struct.pack("<HHi", MAGIC, 1003, self.cfg.get("interval", 30))
            else:
                status = 0 if f == "bad_key" or key != svrkey else 1
                reply = self.key_reply(key, status, f)
            self.send(sock, reply, src, msg_id, f)
        elif msg_id == 1021 and len(data) >= 20:
            plen = struct.unpack_from("<I", data, 16)[0]
            if plen % 8 or 20 + plen > len(data):
                return
            uuid = cstr(ecb(data[20:20 + plen], data[:16], False))
            self.register(uuid, src, nattype=struct.unpack_from("<i", data, 12)[0])
            self.send(sock, struct.pack("<HHiii", MAGIC, 1022, self.cfg.get("interval", 30), 0, 0),
                      src, msg_id, f)
        elif msg_id == 1008 and len(data) >= 108:
            uuid = cstr(data[4:104])
            n = struct.unpack_from("<I", data, 104)[0]
            if 108 + n <= len(data):
                self.register(uuid, src, params=bytes(data[108:108 + n]))
                self.send(sock, struct.pack("<HH", MAGIC, 1009), src, msg_id, f)
        elif msg_id == 1010 and len(data) >= 104:
            self.send(sock, self.status(cstr(data[4:104]), f), src, msg_id, f)
        elif msg_id == 1100:
            r = text_parse(data)
            if r:
                p = r[1].split("|")
                if len(p) >= 6:
                    self.register(p[0], src, upnp=(p[1], int(p[2])))
        elif msg_id == 1004:
            self.conn_message(sock, data, src, f)
        elif msg_id == 1101:
            r = text_parse(data)
            if r:
                e = self.registry.get(r[1])
                up = e and e.get("upnp")
                text = "%s|%d|%s|%d" % (r[1], 1 if up else 0, up[0] if up else "", up[1] if up else 0)
                self.send(sock, text_build(1102, text, int(time.time()), 0), src, msg_id, f)

    def spoof(self, uuid):
        if isinstance(uuid, dict):  # {"spoof": {"to": "ip:port", "hex": datagram}}
            s = self.socks.get((self.cfg.get("spoof"), self.port))
            ip, port = uuid["to"].rsplit(":", 1)
            self.send(s, bytes.fromhex(uuid["hex"]), (ip, int(port)), 0)
            return
        e = self.registry.get(uuid)
        s = self.socks.get((self.cfg.get("spoof"), self.port))
        if not e or s is None:
            self.log(dir="spoof", id=0, error="unknown uuid or no spoof address")
            return
        dst = e["src"]
        check = 4242
        forged = [
            self.server_list(""),
            self.mapped(("203.0.113.250", 1), struct.pack("<HHII", MAGIC, 1000, 0, 0)),
            struct.pack("<HHi", MAGIC, 1003, 7),
            struct.pack("<HH", MAGIC, 1007) + b"HIJACKED".ljust(100, b"\0"),
            self.key_reply(self.cfg.get("svrkey", ""), 0, ""),
            self.checked(1015, 0, 1, check, ""),
            self.checked(1017, 0, 1, check, ""),
        ]
        for d in forged:
            self.send(s, d, dst, 0)

    # --- loops ----------------------------------------------------------------------
    def serve(self):
        while True:
            for key, _ in self.sel.select():
                try:
                    data, src = key.fileobj.recvfrom(4096)
                except OSError:
                    continue
                self.handle(key.fileobj, key.data, data, src)

    def commands(self):
        for line in sys.stdin:
            if not line.strip():
                continue
            cmd = json.loads(line)
            if "faults" in cmd:
                with self.lock:
                    self.faults = dict(cmd["faults"])
            if "spoof" in cmd:
                self.spoof(cmd["spoof"])
            if "incoming" in cmd:  # [uuid, 0|1]: the 1017 switch of incoming connections
                uuid, value = cmd["incoming"]
                e = self.registry.get(uuid)
                if e:
                    sock = self.socks[(self.cfg["addrs"][0], self.port)]
                    self.send(sock, self.checked(1017, int(value), 0, random.randint(1, 1 << 30), ""),
                              e["src"], 0)
            print("OK", flush=True)
        os._exit(0)  # the test closed our stdin (or died): leave with it


def main():
    srv = Server(json.loads(sys.argv[1]))
    threading.Thread(target=srv.serve, daemon=True).start()
    print("READY", flush=True)
    srv.commands()


if __name__ == "__main__":
    main()
