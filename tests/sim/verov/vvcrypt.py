#!/usr/bin/env python3
"""Independent VERov datagram packing for the tests: TEA, MD5 (hashlib), text messages.

Written from the wire description alone, so that the C++ library is checked against a second
implementation rather than against itself.

  vvcrypt.py batch         JSON lines in, one JSON answer per line out (see answer()).
  vvcrypt.py echo          a loopback UDP peer: prints "READY <port>", answers each text
                           message with a text message of id + 1 carrying "echo|<text>".
"""
import hashlib
import json
import os
import socket
import struct
import sys
import threading

MAGIC = 0x2012
DELTA = 0x9E3779B9
MASK = 0xFFFFFFFF


def tea_encipher(v0, v1, k):
    s = 0
    for _ in range(32):
        s = (s + DELTA) & MASK
        v0 = (v0 + ((((v1 << 4) & MASK) + k[0]) ^ (v1 + s) ^ ((v1 >> 5) + k[1]))) & MASK
        v1 = (v1 + ((((v0 << 4) & MASK) + k[2]) ^ (v0 + s) ^ ((v0 >> 5) + k[3]))) & MASK
    return v0, v1


def tea_decipher(v0, v1, k):
    s = (DELTA * 32) & MASK
    for _ in range(32):
        v1 = (v1 - ((((v0 << 4) & MASK) + k[2]) ^ (v0 + s) ^ ((v0 >> 5) + k[3]))) & MASK
        v0 = (v0 - ((((v1 << 4) & MASK) + k[0]) ^ (v1 + s) ^ ((v1 >> 5) + k[1]))) & MASK
        s = (s - DELTA) & MASK
    return v0, v1


def ecb(data, key16, encipher=True):
    """Whole 8-byte blocks of data under the 16-byte key, little-endian words."""
    k = struct.unpack("<4I", key16)
    out = bytearray()
    fn = tea_encipher if encipher else tea_decipher
    for i in range(0, len(data) - len(data) % 8, 8):
        v0, v1 = struct.unpack_from("<2I", data, i)
        out += struct.pack("<2I", *fn(v0, v1, k))
    return bytes(out) + bytes(data[len(out):])


def text_build(msg_id, text, sec, usec, unset=b"\0\0\0\0"):
    raw = text.encode("latin-1") + b"\0"
    padded = (len(raw) + 7) // 8 * 8
    head16 = struct.pack("<HHII", MAGIC, msg_id, sec, usec) + unset
    body = ecb(raw + b"\0" * (padded - len(raw)), head16, True)
    return head16 + struct.pack("<HH", len(raw), padded) + body


def text_parse(dgram):
    """(id, text) of a text message, or None when any length does not hold."""
    if len(dgram) < 20:
        return None
    magic, msg_id = struct.unpack_from("<HH", dgram, 0)
    tl, padded = struct.unpack_from("<HH", dgram, 16)
    if magic != MAGIC or tl < 1 or padded % 8 or padded < tl or 20 + padded > len(dgram):
        return None
    body = ecb(dgram[20:20 + padded], dgram[:16], False)
    if body[tl - 1] != 0 or 0 in body[:tl - 1]:
        return None
    return msg_id, body[:tl - 1].decode("latin-1")


def answer(req):
    op = req["op"]
    if op == "tea":
        v0, v1 = struct.unpack("<2I", bytes.fromhex(req["block"]))
        k = struct.unpack("<4I", bytes.fromhex(req["key"]))
        return {"enc": struct.pack("<2I", *tea_encipher(v0, v1, k)).hex()}
    if op == "md5":
        return {"md5": hashlib.md5(bytes.fromhex(req["data"])).hexdigest()}
    if op == "text_build":
        return {"dgram": text_build(req["id"], req["text"], req["sec"], req["usec"],
                                    bytes.fromhex(req["unset"])).hex()}
    if op == "text_parse":
        r = text_parse(bytes.fromhex(req["dgram"]))
        return {"ok": False} if r is None else {"ok": True, "id": r[0], "text": r[1]}
    raise ValueError(op)


def batch():
    for line in sys.stdin:
        if line.strip():
            print(json.dumps(answer(json.loads(line))), flush=True)


def echo():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))  # loopback only: this peer never reaches a real network
    print("READY %d" % s.getsockname()[1], flush=True)

    def watch_stdin():  # the test closes our stdin (or dies): leave with it
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    while True:
        data, src = s.recvfrom(4096)
        if not socket.inet_aton(src[0])[0] == 127:
            continue
        r = text_parse(data)
        if r is None:
            s.sendto(b"BAD", src)
            continue
        s.sendto(text_build(r[0] + 1, "echo|" + r[1], 1, 2), src)


if __name__ == "__main__":
    {"batch": batch, "echo": echo}[sys.argv[1]]()
