#!/usr/bin/env python3
"""UDP probe for the P2P topology self-test; runs only inside a private network namespace.

  p2pprobe.py listen SECONDS ADDR:PORT... [--first TARGET]
                                            print "READY", then "<dst> <src ip> <src port>"
                                            for every datagram received, until SECONDS pass;
                                            --first: the first socket sends to TARGET first
  p2pprobe.py send SRC_PORT ADDR:PORT...    one datagram to each address from one socket
"""
import os
import selectors
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim.safety import private_namespace  # noqa: E402


def endpoint(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def listen(seconds, addrs):
    first = None
    if "--first" in addrs:
        i = addrs.index("--first")
        first, addrs = addrs[i + 1], addrs[:i] + addrs[i + 2:]
    sel = selectors.DefaultSelector()
    for a in addrs:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(endpoint(a))
        sel.register(s, selectors.EVENT_READ, a)
        if first:
            s.sendto(b"probe", endpoint(first))
            first = None
    print("READY", flush=True)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for key, _ in sel.select(max(0.0, deadline - time.monotonic())):
            _, src = key.fileobj.recvfrom(2048)
            print("%s %s %d" % (key.data, src[0], src[1]), flush=True)


def send(src_port, addrs):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", src_port))
    for a in addrs:
        try:
            s.sendto(b"probe", endpoint(a))
        except OSError:  # a blocked or lossy namespace may refuse the send itself
            pass
        time.sleep(0.02)


if __name__ == "__main__":
    if not private_namespace():
        sys.exit("p2pprobe: refusing to run outside a private network namespace")
    if sys.argv[1] == "listen":
        listen(float(sys.argv[2]), sys.argv[3:])
    else:
        send(int(sys.argv[2]), sys.argv[3:])
