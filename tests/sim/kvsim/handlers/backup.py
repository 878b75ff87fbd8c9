"""Side connections: configuration export (415), import (414) and the log query
(328). Each opens with an 8-byte (export, import) or 32-byte (log) body that
starts with the session id; the simulator logs it and does not judge it.

Export answers with a backup record {u32 40 + L, u32 L, 32-byte name, L bytes};
import takes the opening request, then one message carrying such a record.
"""

import functools
import hashlib
import random
import struct
import threading
import time

from ..registry import TCP, handles, scenario

scenario("export-size", "=N: exported records carry N data bytes (default 1000)")
scenario("export-ack", "=N: the export reply carries AckFlag N")
scenario("export-empty", "the export reply has no body")
scenario("export-lie", "=WHAT: the exported record lies about itself: size|len claim more than it "
         "has, small gives a size field below the 40-byte head")
scenario("export-drip", "=MS: the export reply goes out one byte every MS ms")
scenario("export-rate", "=BPS: the export reply goes out at BPS bytes per second (64 KiB pieces)")
scenario("import-drip", "=MS: the import's opening reply goes out one byte every MS ms")
scenario("import-ack", "=N: the import's opening reply carries AckFlag N")
scenario("import-second-ack", "=N: the reply to the imported record carries AckFlag N")
scenario("import-verify", "the imported record must equal the last exported one (else AckFlag 1)")
scenario("log-ack", "=N: the log query reply carries AckFlag N")
scenario("log-size", "=N: the log query reply carries N bytes (default 96)")

_lock = threading.Lock()
_last_export = {"sha": None}


@functools.lru_cache(maxsize=4)
def backup_record(n, name=b"sim-config"):
    # Cached: a benchmark exports the same large record many times and must measure
    # the client, not the making of random bytes.
    data = random.Random(n).randbytes(n)
    return struct.pack("<II", 40 + n, n) + name.ljust(32, b"\0") + data


@functools.lru_cache(maxsize=4)
def _sha256(data):
    return hashlib.sha256(data).digest()


def drip(conn, data, ms):
    """Sends data one byte every ms milliseconds until done or the client goes."""
    raw = getattr(conn, "_conn", conn)
    for i in range(len(data)):
        if raw.closed:
            return
        raw.send_raw(data[i:i + 1])
        time.sleep(ms / 1000.0)


def paced(conn, data, bps, piece=64 * 1024):
    """Sends data at about bps bytes per second."""
    raw = getattr(conn, "_conn", conn)
    start = time.monotonic()
    for off in range(0, len(data), piece):
        due = start + off / float(bps)
        now = time.monotonic()
        if due > now:
            time.sleep(due - now)
        raw.send_raw(data[off:off + piece])


@handles(415, proto=TCP)
def export(conn, msg):
    ack = conn.scenarios.int("export-ack", 0)
    if ack or "export-empty" in conn.scenarios:
        conn.reply(msg, b"", ack=ack)
        return
    rec = backup_record(conn.scenarios.int("export-size", 1000))
    lie = conn.scenarios.arg("export-lie")
    if lie:
        rec = bytearray(rec)
        if lie == "size":
            struct.pack_into("<I", rec, 0, len(rec) + 1)
        elif lie == "len":
            struct.pack_into("<I", rec, 4, len(rec) - 39)
        elif lie == "small":
            struct.pack_into("<I", rec, 0, 39)
        rec = bytes(rec)
    with _lock:
        _last_export["sha"] = _sha256(rec)
    ms, bps = conn.scenarios.int("export-drip", 0), conn.scenarios.int("export-rate", 0)
    if ms or bps:
        data = conn.encode(msg.head.type, msg.head.subtype, rec, 0, msg.head.seq)
        drip(conn, data, ms) if ms else paced(conn, data, bps)
        return
    conn.reply(msg, rec)


@handles(414, proto=TCP)
def import_(conn, msg):
    if not conn.data.get("import-open"):
        conn.data["import-open"] = True
        ms = conn.scenarios.int("import-drip", 0)
        if ms:
            drip(conn, conn.encode(msg.head.type, msg.head.subtype, b"", 0, msg.head.seq), ms)
            return
        conn.reply(msg, b"", ack=conn.scenarios.int("import-ack", 0))
        return
    body = msg.body
    ack = 0
    if len(body) < 40:
        ack = 1
    else:
        size, n = struct.unpack_from("<II", body)
        if size != len(body) or n + 40 != len(body):
            ack = 1
    if "import-verify" in conn.scenarios:
        with _lock:
            if hashlib.sha256(body).digest() != _last_export["sha"]:
                ack = 1
    ack = conn.scenarios.int("import-second-ack", ack)
    # The reply carries the SHA-256 of what arrived (the client does not read it).
    conn.reply(msg, hashlib.sha256(body).digest(), ack=ack)


@handles(328, proto=TCP)
def log_query(conn, msg):
    n = conn.scenarios.int("log-size", 96)
    conn.reply(msg, bytes((0x41 + i % 26) for i in range(n)), ack=conn.scenarios.int("log-ack", 0))
