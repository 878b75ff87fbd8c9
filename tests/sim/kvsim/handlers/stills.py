"""The device's still pictures and small side channels: snapshots (306), the picture
stream (277), thumbnails of recordings (811) and of channels (812), the timing request
(721), the alarm stream (71 with stream type 5, called from the media handler) and the
alarm-parameter channel (282, texts 283, heartbeats 32).

Every opening carries the session id of the login (scenario session-id); another id is
refused with AckFlag 50. Pictures are files made by tests/media/make_media.py.

Snapshot 306 (body u32 20, u32 session id, u32 channel, 8 bytes): answered with the u32
length of the picture, then the picture's bytes unframed. Events "snap-open" (channel,
param, session_ok), "snap-sent" (size, sha256).

Picture stream 277 (body: the client's block, session id at offset 32): each picture of
pic-file goes as a frame ('I', EncodeType from pic-encodes), then a pack of PackType 3.
Events "pic-open" (size, body, session_ok), "pic-frame" (index, encode, sha256 of the
payload, damaged).

Thumbnails 811 (48-byte items) and 812 (56-byte items): per item a result record
(PackType 5; 112 or 40 bytes) and, when the row has a picture, the picture as a frame.
The row of an item comes from thumb-plan by the item's own index (811: u32 at offset 20;
812: u32 at offset 4). Rows: jpg, png, none (no picture), fmt7 (a JPEG announced as
format 7), badsize (the record announces 8 more bytes than the frame has), orphan (the
picture without its record). Events "thumb-open" (type, items, first), "thumb-answer"
(index, row, sha256 of the payload).

Timing 721: answered with timing-body (hex; default 8 bytes: u32 8, u32 0x7117) unless
timing-ack or timing-silent. Event "timing-open" (body).

Alarm stream: a 'P' frame, an 'I' frame with no payload, then alarm-count real 'I'
frames (payload 100 + 37 k bytes, format area "ALRMfmt" + k); then alarm-end. Events
"alarm-open", "alarm-frame" (index, type, size, sha256 of the payload).

Alarm-parameter channel: answered (unless alarm-param-ack); every text 283 is logged
("param-text": size, sha256) and echoed unless alarm-param-no-echo; alarm-param-push=TEXT
pushes a text right after the opening; heartbeats 32 are answered (the base echo) unless
alarm-param-deaf (then logged as "param-beat").
"""

import hashlib
import struct
import threading
import time

from .. import frames
from ..registry import TCP, handles, intercept, scenario
from .base import hold_until_closed, log_event, session_ok

scenario("snap-file", "=PATH: the snapshot picture")
scenario("snap-length", "=N: announce N bytes whatever the picture's size")
scenario("snap-refuse", "=N: refuse snapshots with AckFlag N and a body of u32 0x1000")
scenario("snap-close-mid", "send half the picture, then close")
scenario("pic-file", "=PATH: the picture of the picture stream (repeated per encode)")
scenario("pic-encodes", "=E,E,..: EncodeType of each picture (default 1)")
scenario("pic-damage", "=K: picture K loses its last pack")
scenario("pic-pack", "=T: answer the picture stream with one pack of PackType T at once")
scenario("pic-ack", "=N: refuse picture streams with AckFlag N")
scenario("thumb-jpg", "=PATH: JPEG of the thumbnails")
scenario("thumb-png", "=PATH: PNG of the thumbnails")
scenario("thumb-plan", "=ROW,ROW,..: jpg|png|none|fmt7|badsize|orphan per item index")
scenario("thumb-drop-after", "=N: the first thumbnail connection closes after N answers")
scenario("thumb-end", "send a PackType 3 after the last answer (default: hold)")
scenario("thumb-ack", "=N: refuse thumbnail openings with AckFlag N")
scenario("timing-body", "=HEX: the timing answer's body")
scenario("timing-ack", "=N: refuse timing requests with AckFlag N")
scenario("timing-silent", "leave timing requests unanswered")
scenario("alarm-count", "=N: real alarm frames per connection (default 3)")
scenario("alarm-end", "=close|hold: after the alarm frames (default hold)")
scenario("alarm-ack", "=N: refuse alarm stream openings with AckFlag N")
scenario("alarm-param-ack", "=N: refuse alarm-parameter openings with AckFlag N")
scenario("alarm-param-push", "=TEXT: push this text after the opening")
scenario("alarm-param-no-echo", "do not echo texts")
scenario("alarm-param-deaf", "ignore heartbeats on alarm-parameter channels")

_lock = threading.Lock()
_drops = set()   # thumbnail message types whose first connection was dropped already


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _sha(b):
    return hashlib.sha256(b).hexdigest()


@handles(306, proto=TCP)
def snapshot(conn, msg):
    body = msg.payload
    if len(body) < 20:
        return conn.reply(msg, ack=1)
    _, sid, channel = struct.unpack_from("<III", body)
    ok = session_ok(conn, sid)
    sc = conn.scenarios
    log_event(conn, "snap-open", channel=channel, param=body[12:20].hex(), session_ok=ok)
    if not ok:
        return conn.reply(msg, struct.pack("<I", 0x1000), ack=50)
    if "snap-refuse" in sc:
        return conn.reply(msg, struct.pack("<I", 0x1000), ack=sc.int("snap-refuse"))
    pic = _read(sc.arg("snap-file")) if sc.arg("snap-file") else b""
    length = sc.int("snap-length", len(pic))
    conn.reply(msg, struct.pack("<I", length))
    if "snap-close-mid" in sc:
        conn.send_raw(pic[:len(pic) // 2])
        conn.close()
        return
    if length:
        conn.send_raw(pic[:length])
    log_event(conn, "snap-sent", size=min(length, len(pic)), sha256=_sha(pic[:length]))
    if length > len(pic):
        conn.close()  # fewer bytes than announced: the rest never comes
        return
    hold_until_closed(conn)


@handles(277, proto=TCP)
def picture_stream(conn, msg):
    body = msg.payload
    sid = struct.unpack_from("<I", body, 32)[0] if len(body) >= 36 else -1
    ok = session_ok(conn, sid)
    sc = conn.scenarios
    log_event(conn, "pic-open", size=len(body), body=body.hex(), session_ok=ok)
    if not ok:
        return conn.reply(msg, ack=50)
    if "pic-ack" in sc:
        return conn.reply(msg, ack=sc.int("pic-ack"))
    conn.reply(msg)
    if "pic-pack" in sc:
        conn.send_raw(frames.signal(sc.int("pic-pack")))
        return hold_until_closed(conn)
    pic = _read(sc.arg("pic-file"))
    encodes = [int(x) for x in sc.arg("pic-encodes", "1").split(",") if x]
    damage = sc.int("pic-damage", -1)
    for k, enc in enumerate(encodes):
        f = frames.Frame("I", k + 1, pic, 1710028790000000 + k, encode=enc)
        packs = frames.cut(f.bytes(), f.no, 1400)
        if k == damage:
            packs = packs[:-1]
        for p in packs:
            conn.send_raw(p)
        log_event(conn, "pic-frame", index=k, encode=enc, sha256=_sha(pic), damaged=k == damage)
    conn.send_raw(frames.signal(3))
    hold_until_closed(conn)


def _thumb_rows(sc):
    return sc.arg("thumb-plan", "").split(",")


@handles(811, 812, proto=TCP)
def thumbnails(conn, msg):
    body = msg.payload
    sc = conn.scenarios
    t = msg.head.type
    item = 48 if t == 811 else 56
    n = len(body) // item
    at = 20 if t == 811 else 4
    first = struct.unpack_from("<I", body, at)[0] if n else -1
    log_event(conn, "thumb-open", type=t, items=n, first=first)
    if "thumb-ack" in sc:
        return conn.reply(msg, ack=sc.int("thumb-ack"))
    conn.reply(msg)
    rows = _thumb_rows(sc)
    drop_after = sc.int("thumb-drop-after", -1)
    with _lock:
        drop = drop_after >= 0 and t not in _drops
        if drop:
            _drops.add(t)
    pics = {"jpg": _read(sc.arg("thumb-jpg")) if sc.arg("thumb-jpg") else b"",
            "png": _read(sc.arg("thumb-png")) if sc.arg("thumb-png") else b""}
    for i in range(n):
        if drop and i >= drop_after:
            conn.close()
            return
        index = struct.unpack_from("<I", body, i * item + at)[0]
        row = rows[index] if index < len(rows) else "none"
        pic = pics["png"] if row == "png" else (b"" if row == "none" else pics["jpg"])
        fmt = {"jpg": 1, "png": 2, "fmt7": 7}.get(row, 1)
        frame = frames.Frame("I", index + 1, pic, 1710028790000000, encode=fmt).bytes() if pic else b""
        size = len(frame) + (8 if row == "badsize" else 0)
        if t == 811:
            rec = struct.pack("<IIB", 112, size, fmt) + bytes(range(103))
        else:
            rec = struct.pack("<I8sIBB", 40, b"devbytes", size, 0, fmt) + bytes(22)
        if row != "orphan":
            conn.send_raw(frames.PACK.pack(0, 5, 1, 0, 0, len(rec)) + rec)
        if frame:
            for p in frames.cut(frame, 1000 + index, 1400):
                conn.send_raw(p)
        log_event(conn, "thumb-answer", index=index, row=row, sha256=_sha(pic) if pic else "")
    if "thumb-end" in sc:
        conn.send_raw(frames.signal(3))
    hold_until_closed(conn)


@handles(721, proto=TCP)
def timing(conn, msg):
    sc = conn.scenarios
    log_event(conn, "timing-open", body=msg.payload.hex())
    if "timing-silent" in sc:
        return
    if "timing-ack" in sc:
        return conn.reply(msg, ack=sc.int("timing-ack"))
    body = bytes.fromhex(sc.arg("timing-body", "0800000017710000"))
    conn.reply(msg, body)


def alarm_stream(conn, msg, answer):
    """The alarm stream after a 71 with stream type 5 (answer(ack) sends the answer)."""
    sc = conn.scenarios
    log_event(conn, "alarm-open")
    if "alarm-ack" in sc:
        answer(sc.int("alarm-ack"))
        return
    answer(0)
    out = [frames.Frame("P", 1, b"p" * 300), frames.Frame("I", 2, b"")]
    for k in range(sc.int("alarm-count", 3)):
        payload = bytes((k * 31 + j) & 0xFF for j in range(100 + 37 * k))
        out.append(frames.Frame("I", 3 + k, payload, fmt=b"ALRMfmt" + bytes([k])))
    try:
        for k, f in enumerate(out):
            for p in frames.cut(f.bytes(), f.no, 1400):
                conn.send_raw(p)
            log_event(conn, "alarm-frame", index=k, type=f.type, size=len(f.payload), sha256=_sha(f.payload))
    except OSError:
        return
    if sc.arg("alarm-end", "hold") == "close":
        conn.close()
        return
    hold_until_closed(conn)


@handles(282, proto=TCP)
def param_open(conn, msg):
    sc = conn.scenarios
    body = msg.payload
    sid = struct.unpack_from("<I", body, 4)[0] if len(body) >= 8 else -1
    ok = session_ok(conn, sid) and len(body) == 264
    log_event(conn, "param-open", size=len(body), session_ok=ok)
    if not ok:
        return conn.reply(msg, ack=50)
    if "alarm-param-ack" in sc:
        return conn.reply(msg, ack=sc.int("alarm-param-ack"))
    conn.data["param_channel"] = True
    conn.reply(msg)
    push = sc.arg("alarm-param-push")
    if push:
        conn.send(283, 0, push.encode())


@handles(283, proto=TCP)
def param_text(conn, msg):
    sizes = conn.data.setdefault("param_sizes", [])
    sizes.append(len(msg.body))
    log_event(conn, "param-text", size=len(msg.body), sha256=_sha(msg.body), mono=time.monotonic(),
         channel=bool(conn.data.get("param_channel")))
    if "alarm-param-no-echo" not in conn.scenarios:
        conn.reply(msg, msg.body)


@intercept("alarm-param-deaf", TCP)
def param_deaf(conn, msg):
    if msg.head.type == 32 and conn.data.get("param_channel"):
        log_event(conn, "param-beat", answered=False)
        return True
    return False
