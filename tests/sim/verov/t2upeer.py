#!/usr/bin/env python3
"""The device half of VERov port forwarding.

T2uDevice handles the frames a client's port-forwarding layer sends over a connection:
set-destination (0xFF01 TCP, 0xFF04 UDP) opens a socket to host:port from the device, data frames
(type 0) go to the client's socket, close (0xFF02) ends it, and bytes from the destination come
back as data frames with the client's id. It is carrier-agnostic: give it a send_frame(a, b, body)
and feed it on_frame(a, b, body). devpeer.py hooks it onto VERov connections; run as a program it
serves a plain TCP carrier for the layer's tests ([u32 length][u16 a][u16 b][body], big-endian;
the first frame names the device ID and is answered "OK" or "NO").

Program options: --port P (carrier port), --echo P (a TCP and UDP echo service), --http P (a
one-page HTTP server), all on 127.0.0.1 and 0 = any free port; --offline ID (answered "NO"),
--hold ID (never answered), --remap FROM=TO (device port FROM is served on local port TO, so a
device-side service at a fixed port can share the test machine's loopback), --stdin-watch (exit
when standard input closes), --search-id ID (answer LAN searches on UDP 60320 with this ID;
repeatable; only inside a private network namespace), --search-junk (each answer also comes
twice more, once with a wrong first word and once with an ID that never ends).
Prints "READY carrier=P echo=E http=H" when it listens.
"""
import argparse
import hashlib
import http.server
import os
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim import safety  # noqa: E402

CTRL = 0xFFFF
DEST_TCP, CLOSE, DEST_UDP = 0xFF01, 0xFF02, 0xFF04


def close_body(cid):
    return struct.pack(">H", cid) + bytes(22)


class T2uDevice:
    def __init__(self, send_frame, connect_timeout=2.0):
        self.send_frame = send_frame
        self.timeout = connect_timeout
        self.clients = {}  # client id -> socket
        self.lock = threading.Lock()
        self.log = []  # (event, client id, detail) for tests

    def on_frame(self, a, b, body):
        if a == CTRL:
            if b in (DEST_TCP, DEST_UDP):
                if len(body) < 24 or b"\0" not in body[2:22]:
                    return
                cid = struct.unpack(">H", body[:2])[0]
                host = body[2:22].split(b"\0", 1)[0].decode("latin-1")
                port = struct.unpack(">H", body[22:24])[0]
                self.log.append(("dest", cid, (host, port, b == DEST_UDP)))
                threading.Thread(target=self._open, args=(cid, host, port, b == DEST_UDP),
                                 daemon=True).start()
            elif b == CLOSE and len(body) >= 2:
                cid = struct.unpack(">H", body[:2])[0]
                self.log.append(("close", cid, None))
                self._drop(cid)
            return
        with self.lock:
            s = self.clients.get(a)
        if s is None:
            # A client this side no longer knows (or not yet, while its connect runs: wait).
            for _ in range(300):
                threading.Event().wait(0.01)
                with self.lock:
                    s = self.clients.get(a)
                if s is not None:
                    break
        if s is None:
            self.send_frame(CTRL, CLOSE, close_body(a))
            return
        try:
            if s.type == socket.SOCK_DGRAM:
                s.send(body)
            else:
                s.sendall(body)
        except OSError:
            self._drop(a)
            self.send_frame(CTRL, CLOSE, close_body(a))

    def _open(self, cid, host, port, udp):
        port = REMAP.get(port, port)
        try:
            if udp:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.connect((host, port))
            else:
                s = socket.create_connection((host, port), timeout=self.timeout)
                s.settimeout(None)
        except OSError:
            self.send_frame(CTRL, CLOSE, close_body(cid))
            return
        with self.lock:
            self.clients[cid] = s
        self._pump(cid, s)

    def _pump(self, cid, s):
        while True:
            try:
                d = s.recv(10000)
            except OSError:
                d = b""
            if not d:
                break
            if not self.send_frame(cid, 0, d):
                break
        if self._drop(cid):
            self.send_frame(CTRL, CLOSE, close_body(cid))

    def _drop(self, cid):
        with self.lock:
            s = self.clients.pop(cid, None)
        if s is None:
            return False
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()
        return True

    def close_all(self):
        with self.lock:
            ids = list(self.clients)
        for cid in ids:
            self._drop(cid)


def read_full(s, n):
    b = bytearray()
    while len(b) < n:
        d = s.recv(n - len(b))
        if not d:
            return None
        b += d
    return bytes(b)


REMAP = {}


def serve_carrier(conn, offline, hold=()):
    wlock = threading.Lock()

    def send_frame(a, b, body):
        try:
            with wlock:
                conn.sendall(struct.pack(">IHH", len(body) + 4, a, b) + body)
            return True
        except OSError:
            return False

    head = read_full(conn, 8)
    if head is None:
        return
    n, _, _ = struct.unpack(">IHH", head)
    uuid = read_full(conn, n - 4) or b""
    if uuid.decode("latin-1") in hold:
        while conn.recv(65536):
            pass
        conn.close()
        return
    if uuid.decode("latin-1") in offline:
        send_frame(0, 0, b"NO")
        conn.close()
        return
    send_frame(0, 0, b"OK")
    dev = T2uDevice(send_frame)
    while True:
        head = read_full(conn, 8)
        if head is None:
            break
        n, a, b = struct.unpack(">IHH", head)
        body = read_full(conn, n - 4) if n > 4 else b""
        if body is None:
            break
        dev.on_frame(a, b, body)
    dev.close_all()
    conn.close()


def echo_tcp(conn):
    try:
        while True:
            d = conn.recv(65536)
            if not d:
                break
            conn.sendall(d)
    except OSError:
        pass
    conn.close()


def serve_echo(port):
    t = socket.socket()
    t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    t.bind(("127.0.0.1", port))
    t.listen(64)
    port = t.getsockname()[1]
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", port))

    def udp():
        while True:
            d, a = u.recvfrom(65536)
            u.sendto(d, a)

    threading.Thread(target=udp, daemon=True).start()

    def tcp():
        while True:
            c, _ = t.accept()
            threading.Thread(target=echo_tcp, args=(c,), daemon=True).start()

    threading.Thread(target=tcp, daemon=True).start()
    return port


def serve_http(port):
    class H(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = b"device page\n"
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *a):
            pass

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", port), H)
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    return srv.server_address[1]


def serve_search(ids, junk):
    if not safety.private_namespace():
        sys.exit("t2upeer: LAN search answers only inside a private network namespace")
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    u.bind(("0.0.0.0", 60320))
    mreq = socket.inet_aton("239.255.255.255") + socket.inet_aton("0.0.0.0")
    try:
        u.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    except OSError:
        pass

    def loop():
        while True:
            d, a = u.recvfrom(2048)
            if len(d) < 2 or struct.unpack("<H", d[:2])[0] != 16:
                continue
            for i in ids:
                reply = struct.pack("<H", 32) + i.encode() + b"\0" + bytes(100)
                u.sendto(reply, a)
                if junk:
                    u.sendto(reply, a)
                    u.sendto(struct.pack("<H", 33) + i.encode() + b"\0", a)
                    u.sendto(struct.pack("<H", 32) + b"X" * 1400, a)

    threading.Thread(target=loop, daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--offline", action="append", default=[])
    ap.add_argument("--hold", action="append", default=[])
    ap.add_argument("--echo", type=int, default=0)
    ap.add_argument("--http", type=int, default=0)
    ap.add_argument("--remap", action="append", default=[])
    ap.add_argument("--stdin-watch", action="store_true")
    ap.add_argument("--search-id", action="append", default=[])
    ap.add_argument("--search-junk", action="store_true")
    o = ap.parse_args()
    for r in o.remap:
        a, b = r.split("=")
        REMAP[int(a)] = int(b)
    if o.search_id:
        serve_search(o.search_id, o.search_junk)
    echo = serve_echo(o.echo)
    http_port = serve_http(o.http)
    ls = socket.socket()
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(("127.0.0.1", o.port))
    ls.listen(16)
    print("READY carrier=%d echo=%d http=%d" % (ls.getsockname()[1], echo, http_port), flush=True)
    if o.stdin_watch:
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            os._exit(0)
        threading.Thread(target=watch, daemon=True).start()
    while True:
        c, _ = ls.accept()
        threading.Thread(target=serve_carrier, args=(c, set(o.offline), set(o.hold)),
                         daemon=True).start()


if __name__ == "__main__":
    main()
