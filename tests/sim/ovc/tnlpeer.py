#!/usr/bin/env python3
"""The device side of a tunnel session, independent of the C++ code.

It accepts the agent's reliable stream (here a TCP connection on loopback), checks the
authentication request, answers it as the scenario says, and then serves channels: an open
message connects a TCP socket to the address in it, data goes both ways, half close, close,
pause, resume and flow are obeyed. Beside it run the services the channels reach: an echo
service and a source that sends a fixed pattern and then ends.

Standard output: "PORT n" (the stream listener) after JSON lines naming the services; then a
JSON line per event. Standard input: "open C PORT" sends an open for channel C toward the
agent (which must refuse it), "quit" ends the peer.
"""
import argparse
import json
import socket
import struct
import sys
import threading

VERSION_WORD = 0x0301052A
lock_out = threading.Lock()
# Local ports of the connections this peer made for the tunnel's opens; any other connection
# to a service came straight from the agent (direct-LAN mode).
tunnel_ports = set()


def lan_step(x):
    """The direct-LAN probe's countdown step."""
    return 91 if x <= 100 else (x - 10) & 0xFFFFFFFF


def emit(**ev):
    with lock_out:
        sys.stdout.write(json.dumps(ev) + "\n")
        sys.stdout.flush()


def loopback_only(addr):
    # The peer serves loopback only; it never connects beyond this machine.
    if addr != "127.0.0.1":
        raise SystemExit("refusing a non-loopback target %s" % addr)


def pattern(n, seed=0):
    unit = bytes((i * 7 + seed) & 0xFF for i in range(65536))
    out = bytearray()
    while len(out) < n:
        out += unit[: n - len(out)]
    return bytes(out)


def serve_echo(sock):
    def one(c):
        peer_port = c.getpeername()[1]
        n = 0
        with c:
            try:
                while True:
                    d = c.recv(65536)
                    if not d:
                        break
                    n += len(d)
                    c.sendall(d)
                c.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        emit(ev="echo-done", bytes=n, via="tunnel" if peer_port in tunnel_ports else "direct")

    while True:
        c, _ = sock.accept()
        threading.Thread(target=one, args=(c,), daemon=True).start()


def serve_source(sock, size):
    data = pattern(size)

    def one(c):
        with c:
            try:
                c.sendall(data)
                c.shutdown(socket.SHUT_WR)
                while c.recv(65536):
                    pass
            except OSError:
                pass

    while True:
        c, _ = sock.accept()
        threading.Thread(target=one, args=(c,), daemon=True).start()


# Where the services and the probe listener bind (loopback unless a caller in a private
# network namespace names the device's own address).
SERVICE_HOST = ["127.0.0.1"]


def listen_local():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((SERVICE_HOST[0], 0))
    s.listen(512)
    return s


def recv_exact(s, n):
    buf = bytearray()
    while len(buf) < n:
        d = s.recv(n - len(buf))
        if not d:
            return None
        buf += d
    return bytes(buf)


class Channel:
    def __init__(self):
        self.sock = None
        self.cv = threading.Condition()
        self.pause = 0  # 0/1 running, 2 one more read, 3 paused


class Session:
    def __init__(self, stream, args):
        self.stream = stream
        self.args = args
        self.wlock = threading.Lock()
        self.chans = [Channel() for _ in range(256)]
        self.refused = set()

    def send(self, t, c, body=b""):
        with self.wlock:
            self.stream.sendall(struct.pack("<BBH", t, c, len(body)) + body)

    def authenticate(self):
        head = recv_exact(self.stream, 4)
        if head is None:
            return False
        t, c, length = struct.unpack("<BBH", head)
        if t != 7 or length < 8 or length > 1008:
            emit(ev="bad-first", type=t, length=length)
            return False
        body = recv_exact(self.stream, length)
        if body is None:
            return False
        version, n = struct.unpack("<II", body[:8])
        if n != length - 8:
            emit(ev="bad-auth", n=n, length=length)
            return False
        data = body[8:]
        emit(ev="auth", version=version, n=n, user=data[:64].rstrip(b"\0").decode("latin-1"),
             key=data[64:128].rstrip(b"\0").decode("latin-1"))
        mode = self.args.auth
        if mode == "silent":
            threading.Event().wait(self.args.silent_secs)
            return False
        if mode == "accept":
            self.send(8, 0)
        elif mode.startswith("accept="):
            self.send(8, 0, struct.pack("<i", int(mode[7:])))
        elif mode.startswith("reject="):
            self.send(9, 0, struct.pack("<i", int(mode[7:])))
            return False
        return True

    def channel_reader(self, c, ch, sock):
        while True:
            with ch.cv:
                while ch.pause == 3 and ch.sock is sock:
                    ch.cv.wait()
                if ch.sock is not sock:
                    return
                if ch.pause in (0, 2):
                    ch.pause += 1
            try:
                d = sock.recv(8192)
            except OSError:
                d = b""
            try:
                if not d:
                    if ch.sock is sock:  # not for a socket the agent already closed
                        self.send(3, c)
                    return
                self.send(2, c, d)
            except OSError:
                return

    def open(self, c, body):
        ch = self.chans[c]
        if len(body) != 16:
            self.send(4, c)
            return
        port = struct.unpack(">H", body[2:4])[0]
        addr = socket.inet_ntoa(body[4:8])
        loopback_only(addr)
        # The device's own services: on a device with a LAN address they listen there.
        addr = SERVICE_HOST[0]
        self.close(c)
        s = socket.socket()
        try:
            s.connect((addr, port))
        except OSError:
            s.close()
            emit(ev="open-failed", c=c, port=port)
            self.send(4, c)
            return
        tunnel_ports.add(s.getsockname()[1])
        with ch.cv:
            ch.sock = s
            ch.pause = 0
        emit(ev="open", c=c, port=port)
        threading.Thread(target=self.channel_reader, args=(c, ch, s), daemon=True).start()

    def lan_request(self, body):
        """Direct-LAN request {token, z}: reply {f(token), 0, probe port}; the probe listener
        answers the agent's f(f(token)) with its f. --lan-probe chooses how: accept, refuse (a
        port nobody listens on), wrong (a wrong answer), ignore (no reply), badcount (the TCP
        countdown answers wrongly)."""
        mode = getattr(self.args, "lan_probe", "refuse")
        if len(body) != 8:
            return
        token, z = struct.unpack("<II", body)
        if (z & 0xFFFF) != (z >> 16):
            return
        emit(ev="lan-request", token=token)
        if mode == "ignore":
            return
        lst = socket.socket()
        lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        lst.bind((SERVICE_HOST[0], 0))
        port = lst.getsockname()[1]
        if mode == "refuse":
            lst.close()
        else:
            lst.listen(4)
            threading.Thread(target=self.lan_probe_server, args=(lst, lan_step(lan_step(token)), mode),
                             daemon=True).start()
        answer = (lan_step(token) + (1 if mode == "wrong" else 0)) & 0xFFFFFFFF
        self.send(11, 0, struct.pack("<IHH", answer, 0, port))

    def lan_probe_server(self, lst, expect, mode):
        lst.settimeout(30)
        try:
            c, _ = lst.accept()
        except OSError:
            lst.close()
            return
        lst.close()
        with c:
            c.settimeout(30)
            try:
                v = recv_exact(c, 4)
                if v is None:
                    return
                v = struct.unpack("<I", v)[0]
                if v != expect:
                    emit(ev="lan-probe", ok=False, value=v)
                    return
                c.sendall(struct.pack("<I", (lan_step(v) + (1 if mode == "badcount" else 0)) & 0xFFFFFFFF))
                emit(ev="lan-probe", ok=mode == "accept", value=v)
            except OSError:
                pass

    def close(self, c):
        ch = self.chans[c]
        with ch.cv:
            s, ch.sock = ch.sock, None
            ch.cv.notify_all()
        if s:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def loop(self):
        while True:
            head = recv_exact(self.stream, 4)
            if head is None:
                break
            t, c, length = struct.unpack("<BBH", head)
            body = recv_exact(self.stream, length) if length else b""
            if body is None:
                break
            ch = self.chans[c]
            if t == 1:
                self.open(c, body)
            elif t == 2:
                s = ch.sock
                if s:
                    try:
                        s.sendall(body)
                    except OSError:
                        pass
            elif t == 3:
                s = ch.sock
                if s:
                    try:
                        s.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
            elif t == 4:
                if c in self.refused:
                    emit(ev="refused", c=c)
                    self.refused.discard(c)
                else:
                    emit(ev="close", c=c)
                self.close(c)
            elif t == 10:
                self.lan_request(body)
            elif t in (5, 6, 7):
                emit(ev={5: "pause", 6: "resume", 7: "flow"}[t], c=c)
                with ch.cv:
                    if t == 5:
                        ch.pause = min(ch.pause + 2, 3)
                    elif t == 6:
                        ch.pause = 0
                    else:
                        ch.pause = 2
                    ch.cv.notify_all()
        for c in range(256):
            self.close(c)
        emit(ev="stream-end")


def commands(session_ref):
    for line in sys.stdin:
        parts = line.split()
        if not parts:
            continue
        if parts[0] == "quit":
            break
        if parts[0] == "open" and session_ref:
            c, port = int(parts[1]), int(parts[2])
            s = session_ref[0]
            body = struct.pack(">BBH", 0, 2, port) + socket.inet_aton("127.0.0.1") + bytes(8)
            s.refused.add(c)
            s.send(1, c, body)
            emit(ev="sent-open", c=c)
    import os
    os._exit(0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--auth", default="accept",
                    help="accept | accept=N | reject=N | silent")
    ap.add_argument("--silent-secs", type=float, default=30)
    ap.add_argument("--source-bytes", type=int, default=1 << 20)
    ap.add_argument("--lan-probe", default="refuse",
                    help="accept | refuse | wrong | ignore | badcount (see Session.lan_request)")
    a = ap.parse_args()
    echo = listen_local()
    source = listen_local()
    threading.Thread(target=serve_echo, args=(echo,), daemon=True).start()
    threading.Thread(target=serve_source, args=(source, a.source_bytes), daemon=True).start()
    emit(ev="services", echo=echo.getsockname()[1], source=source.getsockname()[1])
    lst = listen_local()
    session_ref = []
    threading.Thread(target=commands, args=(session_ref,), daemon=True).start()
    print("PORT %d" % lst.getsockname()[1], flush=True)
    while True:
        conn, _ = lst.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s = Session(conn, a)
        session_ref[:] = [s]
        if s.authenticate():
            s.loop()
        conn.close()


if __name__ == "__main__":
    main()


class RctTunnel:
    """The device side of a tunnel session over an RCT endpoint (rctpeer.RctEndpoint) inside
    lanpeer.py: the endpoint's in-order data goes to a Session through a socket pair, and what
    the Session writes goes back into the endpoint. pump() runs in the peer's loop."""

    started_services = None

    def __init__(self, ep, args):
        self.ep = ep
        self.to_session = bytearray()
        self.a, b = socket.socketpair()
        for s in (self.a, b):
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.a.setblocking(False)
        ep.on_data = self.to_session.extend
        ep.can_take = lambda: len(self.to_session) < (1 << 20)
        self.session = Session(b, args)

        def run():
            if self.session.authenticate():
                self.session.loop()
            b.close()

        threading.Thread(target=run, daemon=True).start()

    @classmethod
    def services(cls, source_bytes):
        if cls.started_services is None:
            echo = listen_local()
            source = listen_local()
            threading.Thread(target=serve_echo, args=(echo,), daemon=True).start()
            threading.Thread(target=serve_source, args=(source, source_bytes), daemon=True).start()
            cls.started_services = (echo.getsockname()[1], source.getsockname()[1])
        return cls.started_services

    def pump(self):
        if self.to_session:
            try:
                k = self.a.send(self.to_session)
                del self.to_session[:k]
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                self.to_session.clear()
        while self.ep.backlog() < 512:
            try:
                d = self.a.recv(65536)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:
                break
            if not d:
                break
            self.ep.write(d)

    def open_from_device(self, c, port):
        body = struct.pack(">BBH", 0, 2, port) + socket.inet_aton("127.0.0.1") + bytes(8)
        self.session.refused.add(c)
        self.session.send(1, c, body)
