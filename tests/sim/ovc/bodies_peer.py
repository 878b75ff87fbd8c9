"""Receives the connect's requests and reports and checks each body byte for byte against the
message table, built here independently of the C++ code.

Usage: bodies_peer.py COUNT UID IDLOW IDHIGH
Prints "PORT <n>", then one JSON line per datagram: {"type": t, "length": n, "ok": bool,
"why": text}, then "DONE". Binds loopback only.
"""
import json
import os
import socket
import struct
import sys

import codec

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim import safety  # noqa: E402


def expected(t, length, uid, lo, hi, body):
    """The body the table prescribes for this type and length; fields the sender learns at run
    time (addresses, NAT types, times) are taken from the body itself."""
    u = uid.encode().ljust(20, b"\0")
    if t == 0x0203:
        if length == 36:
            return u + bytes(16), 0x34
        e = bytearray(length)
        e[0:20] = u
        e[20:84] = body[20:84]  # the local address slots
        struct.pack_into("<III", e, 84, lo, hi, struct.unpack_from("<I", body, 92)[0])
        return bytes(e), 0x34
    if t == 0x0205:
        return (u if length == 20 else u + struct.pack("<III", lo, hi, 60000)), 0x24
    if t == 0x0207:
        return u + struct.pack("<IIII", lo, hi, 60, 5), 0x24
    if t == 0x0211:
        return u, 0x24
    if t == 0x0214:
        return u + bytes(4), 0x24
    if t == 0x0301:
        return u + body[20:36], 0x21
    if t == 0x0801:
        return u + body[20:39] + b"\0", 0x24
    if t == 0x0804:
        e = bytearray(body)
        e[0:20] = u
        struct.pack_into("<II", e, 48, 0x0301052A, lo)
        struct.pack_into("<I", e, 56, hi)
        e[39] = 0
        return bytes(e), 0x24
    if t == 0x0805:
        text = b"report text".ljust(128, b"\0")
        return u + struct.pack("<i", -41) + text + b"D" * (length - 152), 0x24
    if t == 0x1007:
        return u + bytes(16) + bytes([6, 3]), 0x18
    if t == 0x000B:
        return u + bytes([3, 0, 0, 0]), 0x18
    return None, None


def main():
    count, uid, lo, hi = int(sys.argv[1]), sys.argv[2], int(sys.argv[3], 0), int(sys.argv[4], 0)
    safety.check_address("127.0.0.1", "bind")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(10)
    print("PORT %d" % s.getsockname()[1], flush=True)
    for _ in range(count):
        try:
            w, _ = s.recvfrom(4096)
        except socket.timeout:
            break
        head, body = codec.decode(w)
        want, route = expected(head["type"], head["length"], uid, lo, hi, body)
        why = ""
        if want is None:
            why = "unexpected type"
        elif head["route"] != route:
            why = "route %#x" % head["route"]
        elif len(body) != len(want) or body != want:
            diff = [i for i in range(min(len(body), len(want))) if body[i] != want[i]][:4]
            why = "body differs at %s (len %d vs %d)" % (diff, len(body), len(want))
        elif head["magic"] != codec.MAGIC or head["tag"] != codec.TAG:
            why = "head"
        print(json.dumps(dict(type=head["type"], length=head["length"], ok=not why, why=why)), flush=True)
    print("DONE", flush=True)


if __name__ == "__main__":
    main()
