"""Record queries (111, and 112 for items with further attributes) against a store of
recordings.

Request body (136 bytes, little-endian): u32 A, start and end time {u16 year, month,
day, hour, minute, second, reserved}, u32 B, seven u32 C, u32 zero, byte D, byte E,
6 zero bytes, 72 bytes F. Every request is logged as event "record-query" with these
fields decoded (and whether the zero fields were zero).

Subtype 101 (and 104) answers with the recordings that overlap the span, each item
{u32 StructSize, start, end, u32 attributes, u32 size, further bytes}, cut or padded to
the item size (default 28 for 111, 48 for 112; a 20-byte item ends after the end time,
a 24-byte item after the attributes; bytes beyond 28 are (0xA0 + offset) & 0xFF).
Subtype 102 answers with one 12-byte month item per month in the span:
{u32 12, u16 year, byte month, byte 0, u32 bitmap of the days with recordings (bit 0 =
day 1)}. Any other subtype answers empty. Each answer is logged as event
"record-answer" (seq, subtype, items, size, ack) once it is sent.

The store: the recordings of kvsim.recordings when scenario rec or rec-file is given
(sizes are their frames' bytes); otherwise four recordings on 2024-03-10 and one on 2024-03-09, or with record-count=N
N recordings of 10 minutes every 15 minutes from the start of each query's span.
Connections that have not logged in get the base echo.
"""

import datetime
import struct
import threading

from .. import recordings
from ..registry import TCP, handles, scenario
from .base import echo

scenario("record-count", "=N: the store holds N recordings from the start of each query's span")
scenario("record-size", "=N: record items carry StructSize N (20, 24, 28, 48, 60 ...)")
scenario("record-ack", "=N: record queries are answered with AckFlag N and no body")
scenario("record-delay", "=MS: record answers are sent MS ms late (the connection keeps serving)")
scenario("record-silent", "record queries are never answered")
scenario("rec", "=START,SECONDS[,FPS[,GOP[,CHANNEL[,ISIZE[,PSIZE]]]]]: a synthetic recording (kvsim.recordings)")
scenario("rec-file", "=PATH[,START[,CHANNEL]]: a recording of a frame file (kvsim.recordings)")

BODY = struct.Struct("<I8s8sI7IIBB6s72s")
assert BODY.size == 136
TIME = struct.Struct("<HBBBBBB")


def _dt(raw):
    y, mo, d, h, mi, s, _ = TIME.unpack(raw)
    try:
        return datetime.datetime(y, mo, d, h, mi, s)
    except ValueError:
        return None


def _raw(t):
    return TIME.pack(t.year, t.month, t.day, t.hour, t.minute, t.second, 0)


def _text(raw):
    return "%04d-%02d-%02d %02d:%02d:%02d" % TIME.unpack(raw)[:6]


def _default_store():
    day = datetime.datetime(2024, 3, 10)
    spans = [(datetime.datetime(2024, 3, 9, 23, 30), datetime.datetime(2024, 3, 9, 23, 59, 59)),
             (day.replace(hour=8), day.replace(hour=8, minute=15)),
             (day.replace(hour=9), day.replace(hour=9, minute=30)),
             (day.replace(hour=12, minute=5, second=7), day.replace(hour=12, minute=6)),
             (day.replace(hour=23, minute=50), day.replace(hour=23, minute=59, second=59))]
    return [(s, e, 0x100 + k, 1000000 * (k + 1) + 4321) for k, (s, e) in enumerate(spans)]


def _store(conn, start):
    stored = recordings.cached(conn.scenarios)
    if stored is not None:
        return [r.item() for r in stored.recordings]
    n = conn.scenarios.int("record-count", -1)
    if n < 0:
        return _default_store()
    base = start or datetime.datetime(2024, 3, 10)
    out = []
    for k in range(n):
        s = base + datetime.timedelta(minutes=15 * k)
        out.append((s, s + datetime.timedelta(minutes=10), 0x200 + k, 2000000 + 1000 * k))
    return out


def record_item(rec, size):
    s, e, attrs, nbytes = rec
    full = struct.pack("<I", size) + _raw(s) + _raw(e) + struct.pack("<II", attrs, nbytes)
    full += bytes((0xA0 + i) & 0xFF for i in range(28, max(size, 28)))
    return full[:size]


def month_items(store, start, end):
    out = []
    if not start or not end:
        return out
    y, m = start.year, start.month
    while (y, m) <= (end.year, end.month):
        days = 0
        for s, e, _, _ in store:
            for t in (s, e):
                if (t.year, t.month) == (y, m):
                    days |= 1 << (t.day - 1)
        out.append(struct.pack("<IHBBI", 12, y, m, 0, days))
        y, m = (y + 1, 1) if m == 12 else (y, m + 1)
    return out


def decode(body):
    if len(body) != BODY.size:
        return None
    a, st, en, b, *rest = BODY.unpack(body)
    c, z, d, e, z6, f = rest[:7], rest[7], rest[8], rest[9], rest[10], rest[11]
    return {"a": a, "start": _text(st), "end": _text(en), "b": b, "c": ",".join(str(x) for x in c), "d": d,
            "e": e, "f": f.hex(), "zeros_ok": z == 0 and z6 == bytes(6),
            "_start": _dt(st), "_end": _dt(en)}


@handles(111, 112, proto=TCP)
def record_query(conn, msg):
    if not conn.data.get("logged_in"):
        echo(conn, msg)
        return
    req = decode(msg.body)
    fields = {k: v for k, v in (req or {}).items() if not k.startswith("_")}
    conn.log.event(conn, "record-query", type=msg.head.type, subtype=msg.head.subtype,
                   seq=msg.head.seq, size=len(msg.body), **fields)
    if "record-silent" in conn.scenarios:
        return
    ack = conn.scenarios.int("record-ack", 0)
    items = []
    if not ack and req:
        store = _store(conn, req["_start"])
        if msg.head.subtype in (101, 104):
            size = conn.scenarios.int("record-size", 48 if msg.head.type == 112 else 28)
            lo, hi = req["_start"], req["_end"]
            for rec in store:
                if lo and hi and rec[0] <= hi and rec[1] >= lo:
                    items.append(record_item(rec, size))
        elif msg.head.subtype == 102:
            items = month_items(store, req["_start"], req["_end"])
    body = b"".join(items)

    def answer():
        conn.reply(msg, body, ack=ack)
        conn.log.event(conn, "record-answer", seq=msg.head.seq, subtype=msg.head.subtype,
                       items=len(items), size=len(body), ack=ack)

    delay = conn.scenarios.int("record-delay", 0)
    if delay:
        t = threading.Timer(delay / 1000.0, answer)
        t.daemon = True
        t.start()
    else:
        answer()
