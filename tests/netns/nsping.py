#!/usr/bin/python3
"""ICMP echo without the ping tool (not installed on every machine).

nsping.py ADDRESS [--count N] [--timeout SEC]: sends N echo requests, one
at a time, and prints "sent=N received=M"; exit 0 when every request was
answered, 1 otherwise.  Needs root (raw socket); refuses anything beyond
loopback outside a private network namespace."""

import argparse
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
from kvsim import safety  # noqa: E402


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xFFFF)
    total += total >> 16
    return ~total & 0xFFFF


def echo_once(sock, address, ident, seq, timeout):
    payload = b"kvnetns-ping"
    head = struct.pack("!BBHHH", 8, 0, 0, ident, seq)
    packet = struct.pack("!BBHHH", 8, 0, checksum(head + payload), ident, seq) + payload
    sock.sendto(packet, (address, 0))
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        sock.settimeout(left)
        try:
            data, peer = sock.recvfrom(2048)
        except socket.timeout:
            return False
        icmp = data[(data[0] & 0x0F) * 4:]      # past the IP header
        if len(icmp) >= 8 and peer[0] == address:
            kind, _, _, rid, rseq = struct.unpack("!BBHHH", icmp[:8])
            if kind == 0 and rid == ident and rseq == seq:
                return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("address")
    parser.add_argument("--count", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=1.0)
    args = parser.parse_args()
    try:
        safety.check_address(args.address, "ping")
    except safety.SafetyError as err:
        print("nsping: %s" % err, file=sys.stderr)
        return 2
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident = os.getpid() & 0xFFFF
    received = sum(echo_once(sock, args.address, ident, seq, args.timeout)
                   for seq in range(1, args.count + 1))
    print("sent=%d received=%d" % (args.count, received))
    return 0 if received == args.count else 1


if __name__ == "__main__":
    sys.exit(main())
