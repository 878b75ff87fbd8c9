"""Record downloads (131 recordings, 406 pictures) from the store of recordings.

A download is a media connection of its own (a TCP connection whose first message, after
the key exchange on an SRP device, is the request). Request body (little-endian): a head
of 12 bytes {u32 12, u32 session id, u32 A} or 24 bytes {u32 24, u32 session id, u32 A,
byte B (1 in the list download's long head), byte K (1: items of 48 bytes), 10 bytes},
then items {u32 StructSize, start, end, u32 attributes, u32 size, [20 more bytes]} of 28
bytes, or 48 when K is 1 or the first item says 48. The head's second byte is 1 for a
request by time span. Every request is logged as event "download-request" with the head
decoded and its items (start, end, struct_size, size).

For every item in order the device sends the frames of each stored recording that
overlaps the item's span, from the last key frame at or before the item's start up to its
end, as packs, and a PackType 3 pack after each recording (one at once when no recording
overlaps). After the last item the connection stays open until the client closes it.
Events: "download-file" (recording, frames, bytes) after each PackType 3,
"download-frame" (recording, time, type, size, sha256) per frame with dl-log-frames,
"download-drop" (recording, bytes) when a connection is closed on purpose.

Connections that have not logged in on this connection get the base echo for 131/406
when the main connection sends them.
"""

import hashlib
import struct
import threading
import time

from .. import frames, recordings
from ..registry import TCP, handles, scenario
from .base import SESSION_ID_DEFAULT, echo, hold_until_closed

scenario("dl-ack", "=N: download requests answered with AckFlag N")
scenario("dl-ack-first", "=N: only the first download request answered with AckFlag N")
scenario("dl-silent", "never answer a download request")
scenario("dl-drop", "=K:N: close the connection after N bytes of recording K were sent (once per K; repeatable)")
scenario("dl-empty", "=K: recording K is served with no frames (repeatable)")
scenario("dl-slot", "=1400|8192: pack slot size (default 8192)")
scenario("dl-fps", "=N: at most N frames per second (default flat out)")
scenario("dl-stall-first", "answer the first download request, then send nothing on that connection")
scenario("dl-log-frames", "log every frame sent (event download-frame)")

HEAD12 = struct.Struct("<III")
TIME = struct.Struct("<HBBBBBB")
_lock = threading.Lock()
_dropped = set()
_requests = [0]


def _time(raw):
    y, mo, d, h, mi, s, _ = TIME.unpack(raw)
    return "%04d-%02d-%02dT%02d:%02d:%02d" % (y, mo, d, h, mi, s)


def _dt(raw):
    try:
        return recordings.parse_time(_time(raw))
    except ValueError:
        return None


def decode(body, head_second=0):
    """The request decoded, or None when it is malformed."""
    if len(body) < 12:
        return None
    hsize, sid, a = HEAD12.unpack_from(body)
    if hsize not in (12, 24) or len(body) < hsize:
        return None
    b = body[12] if hsize == 24 else 0
    k = body[13] if hsize == 24 else 0
    rest = body[hsize:]
    isize = 48 if k == 1 or (len(rest) >= 4 and struct.unpack_from("<I", rest)[0] == 48) else 28
    if not rest or len(rest) % isize:
        return None
    items = []
    for off in range(0, len(rest), isize):
        ss, = struct.unpack_from("<I", rest, off)
        attrs, size = struct.unpack_from("<II", rest, off + 20)
        items.append({"struct_size": ss, "start": _time(rest[off + 4:off + 12]), "end": _time(rest[off + 12:off + 20]),
                      "attrs": attrs, "size": size, "_lo": _dt(rest[off + 4:off + 12]),
                      "_hi": _dt(rest[off + 12:off + 20]), "raw": rest[off:off + isize].hex()})
    return {"head_size": hsize, "sid": sid, "a": a, "b": b, "k": k, "item_size": isize, "items": items,
            "by_time": head_second, "head_tail_zero": hsize == 12 or body[14:24] == bytes(10)}


def _answer(conn, msg, ack):
    if "dl-silent" in conn.scenarios:
        return False
    conn.send(msg.head.type, msg.head.subtype, b"", ack, msg.head.seq)
    return ack == 0


def _pairs(conn, name):
    out = []
    for arg in conn.scenarios.args(name):
        a, b = arg.split(":")
        out.append((int(a, 0), int(b, 0)))
    return out


def serve(conn, req, send):
    """Sends every item's recordings; False when the connection was dropped on purpose."""
    sc = conn.scenarios
    store = recordings.cached(sc)
    slot = sc.int("dl-slot", 8192)
    fps = sc.int("dl-fps", 0)
    empty = {int(x, 0) for x in sc.args("dl-empty")}
    drops = dict(_pairs(conn, "dl-drop"))
    log_frames = "dl-log-frames" in sc
    recs = store.recordings if store else []
    t0 = time.monotonic()
    sent_frames = 0
    for item in req["items"]:
        lo, hi = item["_lo"], item["_hi"]
        chosen = [r for r in (store.overlapping(lo, hi) if store else [])]
        for r in chosen:
            index = recs.index(r)
            lo_us = max(recordings.to_us(lo), r.start_us)
            hi_us = recordings.to_us(hi) + 999999
            nbytes = 0
            count = 0
            with _lock:
                drop_at = drops.get(index) if index not in _dropped else None
            fl = [] if index in empty else list(r.frames_from(lo_us, hi_us))
            for f in fl:
                data = f.bytes()
                packs = frames.cut(data, f.no, slot)
                if drop_at is not None and nbytes + len(data) > drop_at:
                    with _lock:
                        _dropped.add(index)
                    # The packs up to the drop point go out, then the connection ends.
                    left = drop_at - nbytes
                    for p in packs:
                        if left <= 0:
                            break
                        send(p)
                        left -= len(p) - frames.PACK.size
                    conn.log.event(conn, "download-drop", recording=index, bytes=drop_at)
                    return False
                if fps:
                    delay = t0 + sent_frames / fps - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                send(b"".join(packs))
                nbytes += len(data)
                count += 1
                sent_frames += 1
                if log_frames:
                    conn.log.event(conn, "download-frame", recording=index, time=f.time_us, type=f.type,
                                   size=len(f.payload), sha256=hashlib.sha256(data).hexdigest())
            send(frames.signal(3))
            conn.log.event(conn, "download-file", recording=index, frames=count, bytes=nbytes)
        if not chosen:
            send(frames.signal(3))
            conn.log.event(conn, "download-file", recording=-1, frames=0, bytes=0)
    return True


@handles(131, 406, proto=TCP)
def download(conn, msg):
    if conn.data.get("logged_in"):
        return echo(conn, msg)
    body = bytes(msg.payload)
    req = decode(body, msg.head.second)
    fields = {k: v for k, v in (req or {}).items() if not k.startswith("_") and k != "items"}
    items = [{k: v for k, v in it.items() if not k.startswith("_")} for it in (req or {}).get("items", [])]
    sid_ok = bool(req) and req["sid"] == conn.scenarios.int("session-id", SESSION_ID_DEFAULT)
    with _lock:
        _requests[0] += 1
        nth = _requests[0]
    conn.log.event(conn, "download-request", type=msg.head.type, seq=msg.head.seq, size=len(body), ok=req is not None,
                   session_ok=sid_ok, items=items, nth=nth, **fields)
    ack = conn.scenarios.int("dl-ack", 0)
    if nth == 1 and "dl-ack-first" in conn.scenarios:
        ack = conn.scenarios.int("dl-ack-first", 0)
    if req is None or not sid_ok:
        ack = ack or 50
    if not _answer(conn, msg, ack):
        return
    if nth == 1 and "dl-stall-first" in conn.scenarios:
        complete = True
    else:
        try:
            complete = serve(conn, req, conn.send_raw)
        except OSError:
            return
    if not complete:
        conn.close()
        return
    hold_until_closed(conn)
