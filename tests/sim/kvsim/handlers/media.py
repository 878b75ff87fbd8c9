"""The device's media side: live preview over TCP (71) and UDP (81 on the UDP port, 82
and 83 on the main connection), key-frame requests (87) and two-way audio (141, 142, 143,
145).

A media connection is a TCP connection of its own whose first message (after the key
exchange on an SRP device) opens it. The opening carries the session id the device gave
at login (scenario session-id, default 0x5E55107D); another id is logged and refused
with AckFlag 50. After the answer the device streams a frame file (or a synthetic
stream) as packs, or, for talk, reads the client's packs itself.

Events: "media-open" (type, session_ok, channel, ...), "media-frame" (index, no, type,
size, sha256, damaged), "media-end", "iframe-request" (size, body), "udp-open",
"udp-stream", "udp-close" (stream_id), "talk-open" (type, param), "talk-frame" (no,
type, size, sha256, pack_sizes), "talk-heartbeat", "talk-echo".
"""

import os
import random
import socket
import struct
import threading
import time

from .. import frames
from ..registry import TCP, UDP, handles, scenario
from .base import echo, hold_until_closed, log_event, session_ok

scenario("media-ack", "=N: media openings (71, 81, 82, talk) answered with AckFlag N")
scenario("media-wrong-seq", "answer media openings with Seq + 1")
scenario("media-wrong-subtype", "answer media openings with MsgSubType + 1")
scenario("media-silent", "never answer a media opening")
scenario("media-file", "=PATH: stream this frame file (bare records)")
scenario("media-frames", "=N: synthetic stream of N video frames (default 60)")
scenario("media-gop", "=N: synthetic stream, an 'I' every N frames (default 10)")
scenario("media-audio", "=N: synthetic stream, an 'A' frame after every N video frames")
scenario("media-v", "=I,J,..: synthetic stream, video frames I, J, .. are 'V'")
scenario("media-skip", "=K:N: FrameNo of frame K and later is N higher")
scenario("media-loop", "repeat the stream for ever (FrameNo keeps counting)")
scenario("media-slot", "=1400|8192: pack slot size (default 1400)")
scenario("media-ext", "=N: N extension bytes (multiple of 4) in every pack")
scenario("media-fps", "=N: pace by N frames per second (default flat out)")
scenario("media-pace", "pace by the frames' own FrameTime (default flat out)")
scenario("media-reverse", "send the packs of every frame in reverse order")
scenario("media-repeat", "send every pack twice")
scenario("media-drop", "=K:P: leave out pack P of frame K (repeatable)")
scenario("media-signal", "=K:T: a pack of PackType T after the first pack of frame K (repeatable)")
scenario("media-stamp", "write the send time (CLOCK_MONOTONIC, us) into every frame's reserved u64")
scenario("media-end", "=close|hold: after the last frame close the connection, or hold it (default)")
scenario("media-close-after", "=N: close the stream connection after N frames")
scenario("udp-stream-id", "=N: stream id of UDP streams (default 0x51D)")
scenario("udp-stream-ack", "=N: UDP stream requests (82) answered with AckFlag N (default media-ack)")
scenario("talk-busy", "answer talk openings with AckFlag 20")
scenario("talk-no-echo", "do not echo the client's audio frames")
scenario("talk-heartbeat", "=MS: send a PackType 6 heartbeat every MS ms on talk connections")
scenario("talk-stall", "after the talk answer read nothing more (the client's sends back up)")
scenario("talk-junk", "before echoing, send a short 'A' frame and a heartbeat pack")

_streams = {}          # UDP stream id -> threading.Event (stop)
_tokens = {}           # 64-byte token of an 81 answer -> UDP Connection
_lock = threading.Lock()


def _answer(conn, msg, body=b"", ack=None):
    """The opening's answer as the scenarios shape it; False when none goes out."""
    sc = conn.scenarios
    if "media-silent" in sc:
        return False
    if ack is None:
        ack = sc.int("media-ack", 0)
    sub = msg.head.subtype + (1 if "media-wrong-subtype" in sc else 0)
    seq = msg.head.seq + (1 if "media-wrong-seq" in sc else 0)
    conn.send(msg.head.type, sub, body, ack, seq)
    return ack == 0 and "media-wrong-seq" not in sc and "media-wrong-subtype" not in sc


def _ints(conn, name):
    out = []
    for arg in conn.scenarios.args(name):
        a, b = arg.split(":")
        out.append((int(a, 0), int(b, 0)))
    return out


def stream_frames(conn):
    """The frames of the run's stream (file or synthetic)."""
    sc = conn.scenarios
    path = sc.arg("media-file")
    if path:
        return frames.read_file(path)
    v_at = {int(x) for x in sc.arg("media-v", "").split(",") if x}
    return frames.synthetic(sc.int("media-frames", 60), sc.int("media-gop", 10), 1, sc.int("media-audio", 0), v_at)


def _packs_of(conn, index, frame):
    sc = conn.scenarios
    slot = sc.int("media-slot", 1400)
    ext = b"\xee" * sc.int("media-ext", 0)
    packs = frames.cut(frame.bytes(), frame.no, slot, ext)
    dropped = {p for k, p in _ints(conn, "media-drop") if k == index}
    order = list(range(len(packs)))
    if "media-reverse" in sc:
        order.reverse()
    out = []
    for n, i in enumerate(order):
        if i in dropped:
            continue
        out.append(packs[i])
        if "media-repeat" in sc:
            out.append(packs[i])
        if n == 0:
            for k, t in _ints(conn, "media-signal"):
                if k == index:
                    out.append(frames.signal(t))
    return out, bool(dropped & set(range(len(packs))))


def run_stream(conn, send, stop=None):
    """Sends the stream with send(bytes) until done, stopped or the peer is gone."""
    sc = conn.scenarios
    base = stream_frames(conn)
    fps = sc.int("media-fps", 0)
    close_after = sc.int("media-close-after", -1)
    index = 0
    no_shift = 0
    t_start = time.monotonic()
    while True:
        for f in base:
            if stop is not None and stop.is_set():
                return index
            if close_after >= 0 and index >= close_after:
                return index
            skip = sum(n for k, n in _ints(conn, "media-skip") if index % len(base) >= k)
            frame = frames.Frame(f.type, f.no + no_shift + skip, f.payload, f.time_us, f.reserved, f.encode, f.flags,
                                 f.fmt)
            if "media-pace" in sc and base:
                due = t_start + (f.time_us - base[0].time_us) / 1e6 + (index // len(base)) * (
                    (base[-1].time_us - base[0].time_us) / 1e6 + 0.04)
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            elif fps:
                due = t_start + index / fps
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            if "media-stamp" in sc:
                frame.reserved = time.monotonic_ns() // 1000
            packs, damaged = _packs_of(conn, index, frame)
            log_event(conn, "media-frame", index=index, no=frame.no, type=frame.type, size=len(frame.payload),
                 sha256=frame.sha256(), damaged=damaged)
            for p in packs:
                send(p)
            index += 1
        if "media-loop" not in sc:
            return index
        no_shift += base[-1].no if base else 0


@handles(71, proto=TCP)
def open_tcp_preview(conn, msg):
    body = msg.payload
    if len(body) < 12 or conn.data.get("logged_in"):
        # 71 on a logged-in main connection is not a stream opening.
        return echo(conn, msg)
    channel, stype, content, tpos, _, sid = struct.unpack_from("<IBBBBI", body)
    ok = session_ok(conn, sid)
    log_event(conn, "media-open", type=71, session_ok=ok, channel=channel, stream_type=stype, content=content,
         time_pos=tpos, envelope=bool(conn.data.get("in_envelope")))
    if not ok:
        _answer(conn, msg, ack=50)
        return
    if stype == 5:
        from . import stills
        return stills.alarm_stream(conn, msg, lambda ack: conn.reply(msg, ack=ack))
    if not _answer(conn, msg):
        return
    try:
        sent = run_stream(conn, conn.send_raw)
    except OSError:
        return
    log_event(conn, "media-end", frames=sent)
    if conn.scenarios.arg("media-end", "hold") == "close":
        conn.close()
        return
    hold_until_closed(conn)


# UDP preview: 81 on the UDP port, then 82 on the main connection.

@handles(81, proto=UDP)
def open_udp_preview(conn, msg):
    token = os.urandom(60) + struct.pack("<I", conn.id)
    with _lock:
        _tokens[token] = conn
    log_event(conn, "udp-open", peer_port=conn.peer[1])
    _answer(conn, msg, token)


@handles(82, proto=TCP)
def udp_stream(conn, msg):
    body = msg.payload
    if len(body) < 72:
        return echo(conn, msg)
    token = bytes(body[:64])
    channel, stype, content, tpos = struct.unpack_from("<IBBB", body, 64)
    with _lock:
        udp_conn = _tokens.pop(token, None)
    sid = conn.scenarios.int("udp-stream-id", 0x51D)
    log_event(conn, "udp-stream", known=udp_conn is not None, channel=channel, stream_type=stype, stream_id=sid)
    if udp_conn is None:
        conn.reply(msg, ack=1)
        return
    # UDP peers have no log of their own: the stream's events go to the run's log.
    if getattr(udp_conn, "log", None) is None:
        udp_conn.log = getattr(conn, "log", None)
    ack = conn.scenarios.int("udp-stream-ack", conn.scenarios.int("media-ack", 0))
    conn.reply(msg, struct.pack("<I", sid), ack=ack)
    if ack != 0:
        return
    stop = threading.Event()
    with _lock:
        old = _streams.get(sid)
        if old is not None:
            old.set()
        _streams[sid] = stop

    def run():
        try:
            sent = run_stream(udp_conn, udp_conn.send_raw, stop)
            log_event(udp_conn, "media-end", frames=sent)
        except OSError:
            pass

    threading.Thread(target=run, daemon=True).start()


@handles(83, proto=TCP)
def udp_close(conn, msg):
    sid = struct.unpack_from("<I", msg.payload)[0] if len(msg.payload) >= 4 else -1
    with _lock:
        stop = _streams.pop(sid, None)
    if stop is not None:
        stop.set()
    log_event(conn, "udp-close", stream_id=sid, known=stop is not None)


@handles(87, proto=TCP)
def iframe_request(conn, msg):
    log_event(conn, "iframe-request", size=len(msg.payload), body=msg.payload.hex())


# Two-way audio.

def _read_pack(conn):
    head = conn.recv_exact(12)
    if len(head) < 12:
        return None, None
    fields = frames.PACK.unpack(head)
    ext_len = fields[0] & 0xFC
    if ext_len:
        conn.recv_exact(ext_len)
    data = conn.recv_exact(fields[5]) if fields[5] else b""
    if len(data) < fields[5]:
        return None, None
    return fields, data


@handles(141, 142, 143, 145, proto=TCP)
def talk(conn, msg):
    body = msg.payload
    t = msg.head.type
    if t == 141:
        sid = struct.unpack_from("<I", body)[0] if len(body) >= 4 else -1
        param = 0
    else:
        _, sid, param, _ = struct.unpack_from("<IIII", body) if len(body) >= 16 else (0, -1, 0, 0)
    ok = session_ok(conn, sid)
    log_event(conn, "talk-open", type=t, session_ok=ok, param=param, envelope=bool(conn.data.get("in_envelope")))
    sc = conn.scenarios
    if not ok:
        _answer(conn, msg, ack=50)
        return
    if "talk-busy" in sc:
        conn.reply(msg, ack=20)
        return
    if not _answer(conn, msg):
        return
    if "talk-stall" in sc:
        time.sleep(30)
        conn.close()
        return
    raw = conn.send_raw
    done = threading.Event()
    hb = sc.int("talk-heartbeat", 0)
    if hb:
        def beat():
            while not done.wait(hb / 1000.0):
                try:
                    raw(frames.signal(6))
                except OSError:
                    return
        threading.Thread(target=beat, daemon=True).start()
    echo_on = t != 142 and "talk-no-echo" not in sc
    junk_sent = False
    re = frames.Reassembler()
    try:
        while True:
            head, data = _read_pack(conn)
            if head is None:
                break
            if head[1] == 6:
                log_event(conn, "talk-heartbeat", mono=time.monotonic())
                continue
            got = re.add(head, data)
            if got is None:
                continue
            whole, sizes = got
            f = frames.parse(whole)
            log_event(conn, "talk-frame", no=head[3], type=f.type if f else "?", size=len(whole),
                 sha256=frames.hashlib.sha256(whole).hexdigest(), pack_sizes=sizes)
            if echo_on and f is not None and f.type == "A":
                if "talk-junk" in sc and not junk_sent:
                    junk_sent = True
                    short = frames.Frame("A", 1, b"\0" * 10, claimed=500)
                    for p in frames.cut(short.bytes(), 1):
                        raw(p)
                    raw(frames.signal(6))
                for p in frames.cut(whole, head[3]):
                    raw(p)
                log_event(conn, "talk-echo", no=head[3])
    except OSError:
        pass
    finally:
        done.set()
    conn.close()
