#!/usr/bin/env python3
"""Independent VERov datagram packing for the tests: TEA, MD5 (hashlib), text messages.

Written from the wire description alone, so that the C++ library is checked against a second
implementation rather than against itself.

  vvcrypt.py batch         JSON lines in, one JSON answer per line out (see answer()).
  vvcrypt.py peer TABLE    a loopback UDP peer: prints "READY <port>"; answers status queries
                           (1010 -> 1011) and UPnP queries (1101 -> 1102) from the JSON TABLE
                           {uuid: {online, addr, params (hex), plen, preferred, result, ip, port,
                           fault}}, and any other text message with id + 1 and "echo|<text>".
                           fault: drop, wrong_id, short, uuid_mismatch, bad_pad.
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


def status_reply(uuid, e):
    params = bytes.fromhex(e.get("params", ""))
    plen = e.get("plen", len(params))
    body = struct.pack("<HH", MAGIC, 1011) + uuid.encode().ljust(100, b"\0")
    body += struct.pack("<i", e.get("online", 1)) + e.get("addr", "").encode().ljust(36, b"\0")
    body += struct.pack("<i", plen) + params.ljust(1024, b"\0")
    body += e.get("preferred", "").encode().ljust(40, b"\0")
    if e.get("fault") == "wrong_id":
        body = struct.pack("<HH", MAGIC, 1012) + body[4:]
    if e.get("fault") == "short":
        body = body[:148 + max(0, len(params) // 2)]
    return body


def upnp_reply(uuid, e):
    who = "someone-else" if e.get("fault") == "uuid_mismatch" else uuid
    d = text_build(1102, "%s|%d|%s|%d" % (who, e.get("result", 0), e.get("ip", ""), e.get("port", 0)),
                   7, 8)
    if e.get("fault") == "bad_pad":
        d = d[:18] + struct.pack("<H", 1488) + d[20:]
    if e.get("fault") == "wrong_id":
        d = d[:2] + struct.pack("<H", 1103) + d[4:]
    return d


def peer(table_json):
    table = json.loads(table_json)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))  # loopback only: this peer never reaches a real network
    print("READY %d" % s.getsockname()[1], flush=True)

    def watch_stdin():  # the test closes our stdin (or dies): leave with it
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    while True:
        data, src = s.recvfrom(4096)
        if socket.inet_aton(src[0])[0] != 127 or len(data) < 4:
            continue
        magic, msg_id = struct.unpack_from("<HH", data)
        if magic != MAGIC:
            continue
        if msg_id == 1010 and len(data) >= 104:
            uuid = data[4:104].split(b"\0")[0].decode()
            e = table.get(uuid, {"online": 0})
            if e.get("fault") != "drop":
                s.sendto(status_reply(uuid, e), src)
            continue
        r = text_parse(data)
        if r is None:
            s.sendto(b"BAD", src)
        elif r[0] == 1101:
            e = table.get(r[1], {})
            if e.get("fault") != "drop":
                s.sendto(upnp_reply(r[1], e), src)
        else:
            s.sendto(text_build(r[0] + 1, "echo|" + r[1], 1, 2), src)


if __name__ == "__main__":
    if sys.argv[1] == "peer":
        peer(sys.argv[2] if len(sys.argv) > 2 else "{}")
    else:
        batch()
