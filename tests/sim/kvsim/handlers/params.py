"""Parameter blocks by type (211 query, 216 set), JSON requests (429), PTZ (101),
remote tests (301-303) and the parameter passthrough (211/723).

Replies follow the device's layouts: a parameter reply is u32 total (= size - 4),
the structure (its own u32 StructSize first), then, when the type has a list,
u32 list bytes and entries {u32 stride, element}. The store is shared by every
connection of the run, so a set is seen by later queries. Connections that have
not logged in get the base echo for these types.
"""

import random
import struct
import threading

from ..registry import TCP, handles, scenario
from .base import echo

scenario("param-struct", "=TYPE:SIZE: the device's structure of TYPE is SIZE bytes")
scenario("param-list", "=TYPE:COUNT:SIZE: TYPE has COUNT list elements of SIZE bytes")
scenario("param-stride", "=N: list entries carry N bytes of padding after each element")
scenario("param-ack", "=TYPE:N: queries and sets of TYPE are answered with AckFlag N")
scenario("param-raw", "=TYPE:HEX: the query reply body of TYPE is exactly HEX")
scenario("param-silent", "=TYPE: queries and sets of TYPE are never answered")
scenario("shuffle", "=K: hold replies of 211/216/429/303 until K are due (or 3 ms pass), "
                    "then send them in random order")
scenario("json-replies", "=N: every 429 request is answered N times")
scenario("json-status", "=N: u16 status at offset 2 of each 429 reply")
scenario("json-ack", "=N: 429 replies carry AckFlag N")
scenario("json-raw", "=HEX: every 429 reply body is exactly HEX (may be empty)")
scenario("ptz-ack", "=N: PTZ (101) replies carry AckFlag N")
scenario("remote-ack", "=N: remote test (301-303) replies carry AckFlag N")
scenario("remote-silent", "remote tests (301-303) are never answered")
scenario("reboot-refuse", "=N: the reboot (303) is answered with AckFlag N and an empty body; "
                          "301 and 302 are answered as usual")

_lock = threading.Lock()
_store = {}


def logged_in_only(fn):
    """These types act as a device only on a logged-in connection; on a bare one
    (the framing tests' raw sockets) they stay the base echo."""
    def handler(conn, msg):
        if not conn.data.get("logged_in"):
            echo(conn, msg)
            return
        fn(conn, msg)
    handler.__name__ = fn.__name__
    return handler


def item(size, tag):
    """A structure of size bytes: StructSize, then bytes (tag + i) & 0xFF."""
    return struct.pack("<I", size) + bytes((tag + i) & 0xFF for i in range(4, size))


def _defaults():
    version = bytearray(item(588, 0))
    text = b"V5.1.2-sim build 7"
    version[153:153 + 64] = text + bytes(64 - len(text))
    users = []
    for n, (name, pwd) in enumerate([(b"admin", b"admin1"), (b"guest", b"guest1")]):
        rec = bytearray(272)
        struct.pack_into("<I", rec, 0, 272)
        rec[8:8 + len(pwd)] = pwd
        rec[16:16 + len(name)] = name
        rec[80:80 + len(pwd)] = pwd
        rec[112:112 + len(name)] = name
        users.append(bytes(rec))
    net = bytearray(280)
    struct.pack_into("<I", net, 0, 280)
    net[4:8] = bytes([198, 51, 100, 1])
    net[8:12] = bytes([255, 255, 255, 0])
    net[12:16] = bytes([198, 51, 100, 254])
    struct.pack_into("<I", net, 20, 80)
    net[24] = 2
    return {
        502: (bytes(version), []),
        505: (item(48, 5), users),
        511: (bytes(net), []),
        524: (item(160, 24), []),
        723: (item(8, 7), [item(24, 0x30), item(24, 0x60)]),
    }


def _entry(conn, ptype):
    with _lock:
        if not _store:
            _store.update(_defaults())
        st, lst = _store.get(ptype, (item(16, ptype & 0xFF), []))
    for arg in conn.scenarios.args("param-struct"):
        t, size = (int(x, 0) for x in arg.split(":"))
        if t == ptype:
            st = item(size, 0x11)
    for arg in conn.scenarios.args("param-list"):
        t, count, size = (int(x, 0) for x in arg.split(":"))
        if t == ptype:
            lst = [item(size, 0x20 * (k + 1)) for k in range(count)]
    return st, lst


def _per_type(conn, name, ptype, default=None):
    value = default
    for arg in conn.scenarios.args(name):
        t, _, rest = arg.partition(":")
        if int(t, 0) == ptype:
            value = rest
    return value


def param_reply(st, lst, pad=0):
    body = st
    if lst:
        entries = b"".join(struct.pack("<I", len(e) + pad) + e + bytes(pad) for e in lst)
        body += struct.pack("<I", len(entries)) + entries
    return struct.pack("<I", len(body)) + body


def parse_set(body):
    """(structure, [elements]) of a set body; raises ValueError when it does not add up."""
    if len(body) < 4:
        return None, []
    first = struct.unpack_from("<I", body)[0]
    if first == len(body):
        return body, []   # a bare structure (caller-typed set without wrapping)
    if first == len(body) - 4:
        size = struct.unpack_from("<I", body, 4)[0]
        if 4 + size == len(body):
            return body[4:], []
        st = body[4:4 + size]
        pos = 4 + size
        lbytes = struct.unpack_from("<I", body, pos)[0]
        pos += 4
        if pos + lbytes != len(body):
            raise ValueError("list bytes do not match")
        elems = []
        while pos < len(body):
            esize = struct.unpack_from("<I", body, pos)[0]
            elems.append(body[pos + 4:pos + 4 + esize])
            pos += 4 + esize
        return st, elems
    raise ValueError("total does not match")


# Shuffled replies: encoded at once (so the mode is the connection's), sent later.
def _answer(conn, msg, body=b"", ack=0, type=None, subtype=None):
    k = conn.scenarios.int("shuffle", 0)
    if not k:
        conn.reply(msg, body, ack=ack, type=type, subtype=subtype)
        return
    data = conn.encode(msg.head.type if type is None else type,
                       msg.head.subtype if subtype is None else subtype,
                       body, ack, msg.head.seq)
    state = conn.data.setdefault("shuffle", {"lock": threading.Lock(), "pending": [],
                                             "timer": None})
    with state["lock"]:
        state["pending"].append(data)
        if len(state["pending"]) >= k:
            _flush(conn, state)
        elif state["timer"] is None:
            state["timer"] = threading.Timer(0.003, _timer_flush, (conn, state))
            state["timer"].daemon = True
            state["timer"].start()


def _timer_flush(conn, state):
    with state["lock"]:
        state["timer"] = None
        _flush(conn, state)


def _flush(conn, state):
    pending, state["pending"] = state["pending"], []
    random.shuffle(pending)
    for data in pending:
        conn.send_raw(data)


@handles(211, proto=TCP)
@logged_in_only
def query(conn, msg):
    ptype = msg.head.subtype
    if _per_type(conn, "param-silent", ptype) is not None or \
            any(a == str(ptype) for a in conn.scenarios.args("param-silent")):
        return
    ack = int(_per_type(conn, "param-ack", ptype, "0"), 0)
    if ack:
        _answer(conn, msg, b"", ack=ack)
        return
    raw = _per_type(conn, "param-raw", ptype)
    if raw is not None:
        _answer(conn, msg, bytes.fromhex(raw))
        return
    st, lst = _entry(conn, ptype)
    _answer(conn, msg, param_reply(st, lst, conn.scenarios.int("param-stride", 0)))


@handles(216, proto=TCP)
@logged_in_only
def set_param(conn, msg):
    ptype = msg.head.subtype
    if any(a == str(ptype) for a in conn.scenarios.args("param-silent")):
        return
    ack = int(_per_type(conn, "param-ack", ptype, "0"), 0)
    if ack:
        _answer(conn, msg, b"", ack=ack)
        return
    try:
        st, elems = parse_set(msg.body)
    except ValueError:
        _answer(conn, msg, b"", ack=1)
        return
    if st is not None:
        with _lock:
            if not _store:
                _store.update(_defaults())
            old = _store.get(ptype, (b"", []))
            _store[ptype] = (st, elems if elems else old[1])
    _answer(conn, msg, b"")


@handles(429, proto=TCP)
@logged_in_only
def json_request(conn, msg):
    status = conn.scenarios.int("json-status", 0)
    ack = conn.scenarios.int("json-ack", 0)
    for n in range(max(1, conn.scenarios.int("json-replies", 1))):
        body = struct.pack("<HH", 0, status) + b'{"n":%d,"echo":' % n + msg.body + b"}"
        raw = conn.scenarios.arg("json-raw")
        if "json-raw" in conn.scenarios:
            body = bytes.fromhex(raw or "")
        _answer(conn, msg, body, ack=ack)


@handles(101, proto=TCP)
@logged_in_only
def ptz(conn, msg):
    body = bytes((0xC0 + i) & 0xFF for i in range(20)) if msg.head.subtype == 52 else b""
    _answer(conn, msg, body, ack=conn.scenarios.int("ptz-ack", 0))


@handles(301, 302, 303, proto=TCP)
@logged_in_only
def remote_test(conn, msg):
    if "remote-silent" in conn.scenarios:
        return
    if msg.head.type == 303 and "reboot-refuse" in conn.scenarios:
        _answer(conn, msg, b"", ack=conn.scenarios.int("reboot-refuse", 0))
        return
    _answer(conn, msg, b"done:" + msg.body, ack=conn.scenarios.int("remote-ack", 0))
