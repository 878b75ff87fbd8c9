"""The device's stored recordings: spans of frames with their times, for the record
queries, playback and downloads.

API:  store = recordings.cached(conn.scenarios)  # None when no rec/rec-file scenario is given
      store.overlapping(lo, hi, channel=None) -> [Recording] (naive UTC datetimes, by start)
      rec.start / rec.end (datetime), rec.start_us / rec.end_us, rec.channel, rec.attrs,
      rec.size (bytes of every frame, head + payload), rec.item() -> (start, end, attrs, size)
      rec.frames() -> [frames.Frame]; rec.frames_from(t_us, until_us=None, keys_only=False)
      store.frames_between(lo_us, hi_us, channel=None, keys_only=False) -> frames of every
      overlapping recording in time order, from the last key frame at or before lo_us.

Scenarios (repeatable, one recording each; times are UTC, ISO "2024-03-10T08:00:00"):
  rec=START,SECONDS[,FPS[,GOP[,CHANNEL[,ISIZE[,PSIZE]]]]]   synthetic video, FrameTime
      START + n / FPS, an 'I' every GOP frames (defaults 25, 25, 0, 4000, 600 bytes;
      payload sizes vary by up to an eighth, seeded by the recording's index)
  rec-file=PATH[,START[,CHANNEL]]   the frames of a frame file (bare records), shifted so
      the first frame lies at START when given; the span runs to the last frame's time.
A recording's attributes are 0x300 + its index in command-line order (files after the
synthetic ones); its FrameNo counts from 1.
"""

import calendar
import datetime
import random
import struct

from . import frames

EPOCH = datetime.datetime(1970, 1, 1)


def to_us(t):
    return calendar.timegm(t.timetuple()) * 1000000 + t.microsecond


def from_us(us):
    return EPOCH + datetime.timedelta(microseconds=us)


def parse_time(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S")


class Recording:
    def __init__(self, start_us, end_us, channel, attrs, make):
        self.start_us = start_us
        self.end_us = end_us
        self.channel = channel
        self.attrs = attrs
        self._make = make
        self._frames = None

    @property
    def start(self):
        return from_us(self.start_us).replace(microsecond=0)

    @property
    def end(self):
        return from_us(self.end_us).replace(microsecond=0)

    def frames(self):
        if self._frames is None:
            self._frames = self._make()
        return self._frames

    @property
    def size(self):
        return sum(frames.HEAD.size + len(f.payload) for f in self.frames())

    def item(self):
        return (self.start, self.end, self.attrs, self.size)

    def frames_from(self, t_us, until_us=None, keys_only=False):
        """From the last key frame at or before t_us (the first frame when none), up to
        until_us inclusive."""
        fl = self.frames()
        first = 0
        for i, f in enumerate(fl):
            if f.time_us > t_us:
                break
            if f.type in "IV":
                first = i
        for f in fl[first:]:
            if until_us is not None and f.time_us > until_us:
                return
            if keys_only and f.type not in "IV":
                continue
            yield f


def _synthetic(index, start_us, seconds, fps, gop, isize, psize):
    def make():
        rnd = random.Random(1000 + index)
        out = []
        count = max(1, int(seconds * fps))
        fmt = struct.pack("<HHBBH", 640, 360, fps & 0xFF, 0, 0)
        for i in range(count):
            key = i % gop == 0
            base = isize if key else psize
            size = base + rnd.randint(-(base // 8), base // 8)
            block = bytes(rnd.getrandbits(8) for _ in range(32))
            payload = (block * (size // 32 + 1))[:size]
            out.append(frames.Frame("I" if key else "P", i + 1, payload,
                                    start_us + i * 1000000 // fps, fmt=fmt))
        return out
    return make


def _from_file(path, start_us):
    def make():
        fl = frames.read_file(path)
        if start_us is not None and fl:
            shift = start_us - fl[0].time_us
            for f in fl:
                f.time_us += shift
        return fl
    return make


class Store:
    def __init__(self, recordings):
        self.recordings = sorted(recordings, key=lambda r: r.start_us)

    def overlapping(self, lo, hi, channel=None):
        """Recordings that overlap [lo, hi] (datetimes; None matches nothing)."""
        if lo is None or hi is None:
            return []
        return [r for r in self.recordings
                if r.start <= hi and r.end >= lo and (channel is None or r.channel == channel)]

    def frames_between(self, lo_us, hi_us, channel=None, keys_only=False):
        for r in self.recordings:
            if channel is not None and r.channel != channel:
                continue
            if r.end_us < lo_us or r.start_us > hi_us:
                continue
            yield from r.frames_from(lo_us, hi_us, keys_only)


def for_scenarios(sc):
    recs = []
    index = 0
    for arg in sc.args("rec"):
        p = (arg or "").split(",")
        start = to_us(parse_time(p[0]))
        seconds = float(p[1])
        fps = int(p[2]) if len(p) > 2 else 25
        gop = int(p[3]) if len(p) > 3 else 25
        ch = int(p[4]) if len(p) > 4 else 0
        isize = int(p[5]) if len(p) > 5 else 4000
        psize = int(p[6]) if len(p) > 6 else 600
        count = max(1, int(seconds * fps))
        end = start + (count - 1) * 1000000 // fps
        recs.append(Recording(start, end, ch, 0x300 + index,
                              _synthetic(index, start, seconds, fps, gop, isize, psize)))
        index += 1
    for arg in sc.args("rec-file"):
        p = (arg or "").split(",")
        start = to_us(parse_time(p[1])) if len(p) > 1 and p[1] else None
        ch = int(p[2]) if len(p) > 2 else 0
        make = _from_file(p[0], start)
        fl = make()
        if not fl:
            continue
        r = Recording(fl[0].time_us, fl[-1].time_us, ch, 0x300 + index, make)
        r._frames = fl
        recs.append(r)
        index += 1
    return Store(recs) if recs else None


_cache = {}


def cached(sc):
    """for_scenarios, built once per scenario list (a run's recordings never change)."""
    key = tuple((n, tuple(sc.args(n))) for n in ("rec", "rec-file"))
    if key not in _cache:
        _cache[key] = for_scenarios(sc)
    return _cache[key]
