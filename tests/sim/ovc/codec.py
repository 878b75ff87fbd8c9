"""OVC datagrams for the test peers: the 16-byte head, the fixed-key scrambler and the
session datagrams (data, alive, close) with their types, routes and bodies.

Written from the wire description alone, independent of the C++ code it checks.
"""
import operator
import struct

KEY_TEXT = b"Tuvo3 Kmb Lyx9 Qfr Wen7 Dgh Zsp4"
KEY_WORDS = struct.unpack("<4I", KEY_TEXT[:16])
MAGIC = 0x0204
TAG = 0x14
HEAD_SIZE = 16
MAX_DATAGRAM = 1500

FLAG_PARTIAL = 0x01
FLAG_PE_AWARE = 0x02
FLAG_RELIABLE = 0x04
FLAG_LONG_ID = 0x08

PERMS = {
    16: (11, 9, 8, 15, 13, 10, 12, 14, 2, 1, 5, 0, 6, 4, 7, 3),
    8: (7, 4, 3, 2, 1, 6, 5, 0),
    4: (2, 3, 0, 1),
    2: (1, 0),
}
_GETTERS = {n: operator.itemgetter(*p) for n, p in PERMS.items()}
M32 = 0xFFFFFFFF


def _rotr(v, n):
    return ((v >> n) | (v << (32 - n))) & M32


def _rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & M32


def shuffle(b):
    """Position i takes byte P[i]; lengths other than 2, 4, 8, 16 pass unchanged."""
    g = _GETTERS.get(len(b))
    return bytes(g(b)) if g else bytes(b)


def _luffy_block(b):
    w = struct.unpack("<4I", b)
    x = struct.pack("<4I", *(_rotr(w[i], 1 + 4 * i) ^ KEY_WORDS[i] for i in range(4)))
    y = struct.unpack("<4I", shuffle(x))
    return struct.pack("<4I", *(_rotr(y[j], 3 + 4 * j) for j in range(4)))


def _zoro_block(b):
    w = struct.unpack("<4I", b)
    y = struct.pack("<4I", *(_rotl(w[j], 3 + 4 * j) for j in range(4)))
    x = struct.unpack("<4I", shuffle(y))
    return struct.pack("<4I", *(_rotl(x[i] ^ KEY_WORDS[i], 1 + 4 * i) for i in range(4)))


def _process(data, scrambled_len, block, tail):
    data = bytes(data)
    n = min(len(data), scrambled_len)
    out = bytearray()
    full = n - n % 16
    for i in range(0, full, 16):
        out += block(data[i:i + 16])
    if n % 16:
        out += tail(data[full:n])
    out += data[n:]
    return bytes(out)


def scramble(data, scrambled_len=None):
    """Scrambles the first scrambled_len bytes (all when None); the rest passes unchanged."""
    if scrambled_len is None:
        scrambled_len = len(data)
    return _process(data, scrambled_len, _luffy_block,
                    lambda t: shuffle(bytes(a ^ k for a, k in zip(t, KEY_TEXT))))


def unscramble(data, scrambled_len=None):
    if scrambled_len is None:
        scrambled_len = len(data)
    return _process(data, scrambled_len, _zoro_block,
                    lambda t: bytes(a ^ k for a, k in zip(shuffle(t), KEY_TEXT)))


HEAD_FMT = "<HBBHHHHHBB"
HEAD_FIELDS = ("magic", "tag", "flags", "length", "seq", "type", "route", "randomId",
               "channel", "reserved")


def pack_head(**f):
    vals = dict(magic=MAGIC, tag=TAG, flags=0, length=0, seq=0, type=0, route=0, randomId=0,
                channel=0, reserved=0)
    vals.update(f)
    return struct.pack(HEAD_FMT, *(vals[k] for k in HEAD_FIELDS))


def parse_head(b):
    if len(b) < HEAD_SIZE:
        raise ValueError("short head")
    return dict(zip(HEAD_FIELDS, struct.unpack(HEAD_FMT, bytes(b[:HEAD_SIZE]))))


def encode(head_bytes_and_body):
    """Scrambles a whole plain datagram as a sender does (64 bytes when the head says partial)."""
    d = bytes(head_bytes_and_body)
    flags = d[3]
    return scramble(d, 64 if flags & FLAG_PARTIAL else len(d))


def decode(wire):
    """Returns (head dict, body bytes) of a received datagram, or raises ValueError."""
    wire = bytes(wire)
    if len(wire) < HEAD_SIZE or len(wire) > MAX_DATAGRAM:
        raise ValueError("bad datagram size %d" % len(wire))
    head = parse_head(unscramble(wire[:16]))
    rest = wire[16:]
    body = unscramble(rest, 48 if head["flags"] & FLAG_PARTIAL else len(rest))
    if head["length"] > len(body):
        raise ValueError("length %d beyond %d received" % (head["length"], len(body)))
    return head, body[:head["length"]]


# ---- Session datagrams ------------------------------------------------------------------------
# (kind, relayed path, device side) -> (type, route)
SESSION_TYPES = {
    ("data", False, False): (0x0407, 0x21), ("data", False, True): (0x0408, 0x12),
    ("data", True, False): (0x0504, 0x24), ("data", True, True): (0x0502, 0x14),
    ("alive", False, False): (0x0427, 0x21), ("alive", False, True): (0x0428, 0x12),
    ("alive", True, False): (0x0524, 0x24), ("alive", True, True): (0x0522, 0x14),
    ("close", False, False): (0x0417, 0x21), ("close", False, True): (0x0418, 0x12),
    ("close", True, False): (0x0514, 0x24), ("close", True, True): (0x0512, 0x14),
}
SESSION_KINDS = {v[0]: (k[0], k[1], k[2], v[1]) for k, v in SESSION_TYPES.items()}


def build_session(kind, relayed=False, device=False, random_id=0, long_id=None, relay_id=0,
                  payload=b"", channel=0, seq=0, partial=False):
    """Builds a scrambled session datagram. long_id is (idLow, idHigh) for a long random ID."""
    mtype, route = SESSION_TYPES[(kind, relayed, device)]
    flags = FLAG_PE_AWARE | (FLAG_PARTIAL if partial else 0)
    body = b""
    if kind == "data":
        if long_id is not None:
            body = struct.pack("<III", 12, long_id[0], long_id[1])
            flags |= FLAG_LONG_ID
        body += bytes(payload)
    elif long_id is not None:
        body = struct.pack("<II", long_id[0], long_id[1])
        flags |= FLAG_LONG_ID
    if relayed:
        rid = relay_id
    elif kind == "alive":
        rid = 0
    else:
        rid = (long_id[0] if long_id is not None else random_id) & 0xFFFF
    head = pack_head(flags=flags, length=len(body), seq=seq if kind == "data" else 0, type=mtype,
                     route=route, randomId=rid, channel=channel if kind == "data" else 0)
    return encode(head + body)


def parse_session(wire):
    """Decodes a session datagram into a dict: kind, relayed, device, head, payload, long_id."""
    head, body = decode(wire)
    if head["magic"] != MAGIC:
        raise ValueError("bad magic %#x" % head["magic"])
    if head["type"] not in SESSION_KINDS:
        raise ValueError("not a session datagram: type %#x" % head["type"])
    kind, relayed, device, route = SESSION_KINDS[head["type"]]
    if head["route"] & 0xFF != route:
        raise ValueError("route %#x does not match type %#x" % (head["route"], head["type"]))
    out = dict(kind=kind, relayed=relayed, device=device, head=head, long_id=None, payload=b"")
    if kind == "data":
        if head["flags"] & FLAG_LONG_ID:
            if len(body) < 12:
                raise ValueError("short random-ID extension")
            size, lo, hi = struct.unpack("<III", body[:12])
            if size != 12:
                raise ValueError("extension size %d" % size)
            out["long_id"] = (lo, hi)
            body = body[12:]
        out["payload"] = body
    elif head["flags"] & FLAG_LONG_ID:
        if len(body) != 8:
            raise ValueError("long-ID body of %d bytes" % len(body))
        out["long_id"] = struct.unpack("<II", body)
    elif body:
        raise ValueError("control datagram with a body")
    return out


def _crosscheck(path_in, path_out, count, seed):
    """Checks the C++ records in path_in, then writes records of its own to path_out.

    A record: u16 length, u16 scrambled length, the plain bytes, the scrambled bytes.
    """
    import random
    bad = 0
    checked = 0
    with open(path_in, "rb") as f:
        data = f.read()
    pos = 0
    while pos < len(data):
        n, sl = struct.unpack_from("<HH", data, pos)
        pos += 4
        plain, wire = data[pos:pos + n], data[pos + n:pos + 2 * n]
        pos += 2 * n
        if scramble(plain, sl) != wire or unscramble(wire, sl) != plain:
            bad += 1
        checked += 1
    rng = random.Random(seed)
    with open(path_out, "wb") as f:
        for _ in range(count):
            n = rng.randint(0, 1500)
            sl = rng.choice((n, 64, rng.randint(0, 1500)))
            plain = rng.randbytes(n)
            f.write(struct.pack("<HH", n, sl) + plain + scramble(plain, sl))
    print("checked %d bad %d" % (checked, bad))
    return 0 if bad == 0 else 1


if __name__ == "__main__":
    import sys
    if len(sys.argv) >= 3 and sys.argv[1] == "crosscheck":
        sys.exit(_crosscheck(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])))
    print("usage: codec.py crosscheck IN OUT COUNT SEED", file=sys.stderr)
    sys.exit(2)
