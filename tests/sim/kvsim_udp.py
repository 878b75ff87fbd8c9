#!/usr/bin/env python3
"""UDP device simulator: plays N devices on port 9333 for the search and the network
re-addressing (handlers in kvsim/handlers/search.py and readdress.py).

Prints "READY tcp=0 udp=<port>" when listening; exits when stdin closes. Logs one JSON
line per request received (--log). Refuses to bind beyond loopback unless it runs in a
network namespace other than the machine's initial one.
"""
import argparse
import heapq
import json
import os
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "kvsim", "handlers"))
import readdress  # noqa: E402
import search  # noqa: E402

IP_PKTINFO = 8


def in_private_netns():
    """True only when this namespace is provably not the initial one (process 1's).
    Inside `ip netns exec` process 1's entry may be unreadable: the test that made the
    namespace then passes the initial inode in KV_INIT_NETNS_INO."""
    try:
        init = os.stat("/proc/1/ns/net").st_ino
    except OSError:
        init = int(os.environ.get("KV_INIT_NETNS_INO", "0") or 0)
    if not init:
        return False
    return os.stat("/proc/self/ns/net").st_ino != init


class Sim:
    def __init__(self, opts):
        self.opts = opts
        self.devs = search.make_devices(opts)
        for d in self.devs:
            d.password = opts.password
        self.log = open(opts.log, "a") if opts.log else None
        self.timers = []  # (when, n, datagram, addr, period, until)
        self.n = 0
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        if opts.bind_dev:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, opts.bind_dev.encode())
        s.bind((opts.bind, opts.port))
        self.sock = s

    def write(self, ev):
        if self.log:
            self.log.write(json.dumps(ev) + "\n")
            self.log.flush()

    def schedule(self, delay, dg, addr, period=0.0, until=0.0, ifindex=0):
        self.n += 1
        heapq.heappush(self.timers, (time.monotonic() + delay, self.n, dg, (addr, ifindex), period, until))

    def send(self, dg, target):
        addr, ifindex = target
        try:
            if ifindex:
                # A broadcast answer leaves by the interface the request came in on.
                pi = struct.pack("<i4s4s", ifindex, b"\0" * 4, b"\0" * 4)
                self.sock.sendmsg([dg], [(socket.IPPROTO_IP, IP_PKTINFO, pi)], 0, addr)
            else:
                self.sock.sendto(dg, addr)
        except OSError as e:
            self.write({"ev": "send_error", "errno": e.errno, "to": addr[0]})

    def run_timers(self):
        now = time.monotonic()
        sent = False
        while self.timers and self.timers[0][0] <= now:
            sent = True
            when, _, dg, addr, period, until = heapq.heappop(self.timers)
            self.send(dg, addr)
            if period and when + period < until:
                self.n += 1
                heapq.heappush(self.timers, (when + period, self.n, dg, addr, period, until))
        if sent and not self.timers:
            # CLOCK_MONOTONIC is shared by all namespaces: benchmarks compare against it.
            self.write({"ev": "idle", "mono": time.monotonic()})

    def on_datagram(self, data, anc, src):
        dst, ifindex = "", 0
        for level, kind, payload in anc:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(payload) >= 12:
                ifindex = struct.unpack_from("<i", payload, 0)[0]
                dst = socket.inet_ntoa(payload[8:12])
        if len(data) < search.HEAD.size:
            self.write({"ev": "short", "len": len(data), "src": src[0]})
            return
        hdr = search.HEAD.unpack_from(data, 0)
        flags, _, _, msg_type, sub, size, seq = hdr
        body = data[search.HEAD.size + (flags & 0xFC):]
        base = {"type": msg_type, "sub": sub, "seq": seq, "size": size, "len": len(data),
                "src": src[0], "sport": src[1], "dst": dst, "ifindex": ifindex,
                "mono": time.monotonic()}
        if msg_type in search.SEARCH_TYPES:
            broadcast = dst == "255.255.255.255" or dst.endswith(".255")
            self.write(dict(base, ev="search"))
            if self.opts.silent:
                return
            for delay, dg, endless in search.search_replies(self.devs, hdr, dst, broadcast, self.opts):
                if endless:
                    self.schedule(delay, dg, src, search.ENDLESS_PERIOD,
                                  time.monotonic() + search.ENDLESS_LIMIT)
                else:
                    self.schedule(delay, dg, src)
        elif msg_type in (readdress.TYPE_FULL, readdress.TYPE_LEGACY):
            req, reply = readdress.answer(self.devs, hdr, body, self.opts)
            ev = dict(base, ev="readdress")
            if req:
                ev.update(req)
            ev["answered"] = reply is not None
            self.write(ev)
            if self.opts.junk_flood:
                junk = search.head(msg_type, sub, 16, seq + 7) + b"J" * 16
                self.schedule(0.0, junk, src, 0.02, time.monotonic() + 30.0)
            if reply is not None:
                if self.opts.reply == "unicast":
                    self.schedule(self.opts.delay_ms / 1000.0, reply, src)
                else:
                    self.schedule(self.opts.delay_ms / 1000.0, reply, ("255.255.255.255", src[1]),
                                  ifindex=ifindex)
        else:
            self.write(dict(base, ev="other"))

    def loop(self):
        print("READY tcp=0 udp=%d" % self.sock.getsockname()[1], flush=True)
        p = select.poll()
        p.register(self.sock, select.POLLIN)
        p.register(sys.stdin, select.POLLIN | select.POLLHUP)
        while True:
            timeout = 1000
            if self.timers:
                timeout = max(0, int((self.timers[0][0] - time.monotonic()) * 1000) + 1)
            for fd, ev in p.poll(timeout):
                if fd == self.sock.fileno():
                    for _ in range(256):
                        try:
                            data, anc, _, src = self.sock.recvmsg(65536, 256, socket.MSG_DONTWAIT)
                        except BlockingIOError:
                            break
                        self.on_datagram(data, anc, src)
                else:
                    if not os.read(sys.stdin.fileno(), 4096):
                        return
            self.run_timers()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--log", default="")
    p.add_argument("--bind", default="0.0.0.0")
    p.add_argument("--port", type=int, default=9333)
    p.add_argument("--bind-dev", default="", help="serve one interface only")
    search.add_arguments(p)
    readdress.add_arguments(p)
    opts = p.parse_args()
    if not in_private_netns() and (opts.bind != "127.0.0.1" or opts.bind_dev):
        sys.exit("kvsim_udp: refusing to serve beyond loopback outside a private network namespace")
    Sim(opts).loop()


if __name__ == "__main__":
    main()
