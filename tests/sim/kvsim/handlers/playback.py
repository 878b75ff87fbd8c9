"""Remote playback (121) and key-frame capture (404) of the stored recordings
(kvsim.recordings; without a rec/rec-file scenario one synthetic recording of 60 s at
10 fps from 2024-03-10 08:00:00, an 'I' every 10 frames).

Opening body (68 bytes): u32 session id, u32 channel, u32 param, start and end DateTime
{u16 year, month, day, hour, minute, second, reserved}, byte, 39 zero bytes. The device
answers and then sends, as packs, the frames of the span from the last key frame at or
before its start (capture: key frames only), then a pack of type 2 (playback) or 4
(capture) and waits. On the same connection: 122 (more data: with play-pace=N the
device sends N frames per 122 and waits otherwise), 123 / 405 (16-byte span: reposition,
answered by a pack of type 1 for 123 and 7 for 405 before the frames of the new span),
124 (control; codes 20-26 carry a span: key frames backwards from its start, after a
type 1 pack), 32 (keep-alive, not answered).

Events: "play-open" (type, session_ok, channel, param, start, end, byte, zeros_ok,
opening), "play-request" (type, subtype, start/end when a span is carried),
"play-frame" (opening, index, no, type, time_us, sha256), "play-signal" (opening,
pack_type), "play-end" (opening, frames).
"""

import datetime
import struct
import threading

from .. import frames, recordings
from ..registry import TCP, handles, scenario
from .base import SESSION_ID_DEFAULT, echo

scenario("play-ack", "=N: playback openings (121, 404) answered with AckFlag N")
scenario("play-ack-first", "=N: only the first playback opening answered with AckFlag N")
scenario("play-silent", "never answer a playback opening")
scenario("play-pace", "=N: N frames per request for more data (122); none before the first")
scenario("play-ignore-repos", "repositions (123, 405, 124 with a span) are never confirmed")
scenario("play-close-after", "=N: the first playback connection is closed after N frames")
scenario("play-fps", "=N: send at most N frames per second (default flat out)")

OPEN = struct.Struct("<III8s8sB39s")
assert OPEN.size == 68
TIME = struct.Struct("<HBBBBBB")

_openings = [0]
_lock = threading.Lock()


def _store(conn):
    st = recordings.cached(conn.scenarios)
    if st is None:
        st = recordings.for_scenarios(type(conn.scenarios)(["rec=2024-03-10T08:00:00,60,10,10"]))
    return st


def _us(raw):
    y, mo, d, h, mi, s, _ = TIME.unpack(raw)
    try:
        return recordings.to_us(datetime.datetime(y, mo, d, h, mi, s))
    except ValueError:
        return None


def _text(raw):
    return "%04d-%02d-%02d %02d:%02d:%02d" % TIME.unpack(raw)[:6]


def _log(conn, name, **fields):
    conn.log.event(conn, name, **fields)


class Play:
    def __init__(self, conn, mode, opening, channel):
        self.conn = conn
        self.mode = mode          # 121 playback, 404 capture
        self.opening = opening
        self.channel = channel
        self.store = _store(conn)
        self.cv = threading.Condition()
        self.pace = conn.scenarios.int("play-pace", 0)
        self.credits = 0
        self.it = None
        self.ahead = None
        self.repos = None         # (pack type, iterator)
        self.index = 0

    def frames_of(self, lo, hi, reverse=False):
        if lo is None:
            return iter(())
        if reverse:
            keys = [f for f in self.store.frames_between(0, lo, keys_only=True)]
            return iter(keys[::-1])
        return self.store.frames_between(lo, hi if hi is not None else lo, keys_only=self.mode == 404)

    def alive(self):
        s = getattr(self.conn, "sock", None)
        return not self.conn.closed and (s is None or s.fileno() >= 0)

    def run(self):
        sc = self.conn.scenarios
        close_after = sc.int("play-close-after", -1) if self.opening == 1 else -1
        fps = sc.int("play-fps", 0)
        sent = 0
        try:
            while True:
                with self.cv:
                    while True:
                        if not self.alive():
                            return
                        if self.repos is not None:
                            break
                        if self.it is not None and (not self.pace or self.credits > 0 or self._peek() is None):
                            break
                        self.cv.wait(0.2)
                    repos, self.repos = self.repos, None
                    if repos is not None:
                        self.it, self.ahead = repos[1], None
                if repos is not None:
                    # Logged first: a client that reads the log after the confirmation finds it.
                    _log(self.conn, "play-signal", opening=self.opening, pack_type=repos[0])
                    self.conn.send_raw(frames.signal(repos[0]))
                    continue
                with self.cv:
                    f = self._peek()
                    self.ahead = None
                if f is None:
                    t = 2 if self.mode == 121 else 4
                    _log(self.conn, "play-signal", opening=self.opening, pack_type=t)
                    _log(self.conn, "play-end", opening=self.opening, frames=sent)
                    self.conn.send_raw(frames.signal(t))
                    with self.cv:
                        if self.repos is None:
                            self.it = None
                    continue
                with self.cv:
                    if self.pace:
                        self.credits -= 1
                _log(self.conn, "play-frame", opening=self.opening, index=self.index, no=f.no, type=f.type,
                     time_us=f.time_us, sha256=f.sha256())
                for p in frames.cut(f.bytes(), f.no):
                    self.conn.send_raw(p)
                self.index += 1
                sent += 1
                if close_after >= 0 and sent >= close_after:
                    self.conn.close()
                    return
                if fps:
                    threading.Event().wait(1.0 / fps)
        except OSError:
            return

    def _peek(self):
        """The next frame of the run, fetched ahead (the end is signalled without a request)."""
        if self.ahead is None:
            self.ahead = next(self.it, None)
        return self.ahead

    def more(self):
        with self.cv:
            self.credits += self.pace
            self.cv.notify_all()

    def reposition(self, ptype, it):
        with self.cv:
            self.repos = (ptype, it)
            self.credits = 0
            self.cv.notify_all()


@handles(121, 404, proto=TCP)
def open_playback(conn, msg):
    body = msg.payload
    if conn.data.get("logged_in") or len(body) < OPEN.size:
        return echo(conn, msg)
    sid, channel, param, st, en, byte, zeros = OPEN.unpack_from(body)
    sc = conn.scenarios
    ok = sid == sc.int("session-id", SESSION_ID_DEFAULT)
    with _lock:
        _openings[0] += 1
        opening = _openings[0]
    _log(conn, "play-open", type=msg.head.type, session_ok=ok, channel=channel, param=param, start=_text(st),
         end=_text(en), byte=byte, zeros_ok=zeros == bytes(39), opening=opening)
    if "play-silent" in sc:
        return
    ack = sc.int("play-ack", 0)
    if opening == 1 and "play-ack-first" in sc:
        ack = sc.int("play-ack-first")
    if not ok:
        ack = 50
    conn.reply(msg, ack=ack)
    if ack:
        return
    play = Play(conn, msg.head.type, opening, channel)
    play.it = play.frames_of(_us(st), _us(en))
    conn.data["play"] = play
    threading.Thread(target=play.run, daemon=True).start()


def _span_fields(body):
    if len(body) < 16:
        return {}
    return {"start": _text(body[:8]), "end": _text(body[8:16])}


@handles(122, proto=TCP)
def more_data(conn, msg):
    play = conn.data.get("play")
    if play is None:
        return echo(conn, msg)
    _log(conn, "play-request", type=122, subtype=msg.head.subtype, opening=play.opening)
    play.more()


@handles(123, 405, proto=TCP)
def reposition(conn, msg):
    play = conn.data.get("play")
    if play is None:
        return echo(conn, msg)
    body = msg.payload
    _log(conn, "play-request", type=msg.head.type, subtype=msg.head.subtype, opening=play.opening,
         **_span_fields(body))
    if "play-ignore-repos" in conn.scenarios or len(body) < 16:
        return
    play.reposition(1 if msg.head.type == 123 else 7, play.frames_of(_us(body[:8]), _us(body[8:16])))


@handles(124, proto=TCP)
def control(conn, msg):
    play = conn.data.get("play")
    if play is None:
        return echo(conn, msg)
    body = msg.payload
    _log(conn, "play-request", type=124, subtype=msg.head.subtype, opening=play.opening, **_span_fields(body))
    if 20 <= msg.head.subtype <= 26 and len(body) >= 16 and "play-ignore-repos" not in conn.scenarios:
        play.reposition(1, play.frames_of(_us(body[:8]), None, reverse=True))


@handles(32, proto=TCP)
def keep_alive(conn, msg):
    play = conn.data.get("play")
    if play is None:
        return echo(conn, msg)
    _log(conn, "play-request", type=32, subtype=msg.head.subtype, opening=play.opening)
