"""Media frames for the simulator: frame files of bare records (a 40-byte frame head,
the payload, zero padding to a multiple of 8, as tests/media/make_media.py writes them),
a synthetic stream, and the cutting of frames into packs.

Frame head (little-endian): magic "KVFm", type byte, encode byte, u16 flags, u32 FrameNo,
u32 FrameSize, u64 FrameTime (us), u64 reserved, 8 format bytes. Pack head: flags byte
(bits 0-1 slot 8192 when non-zero; bits 2-7 extension length), PackType, u16 PackNum,
u32 frame id, u16 PackNo, u16 PackSize.
"""

import hashlib
import random
import struct

MAGIC = b"KVFm"
HEAD = struct.Struct("<4sBBHIIQQ8s")
PACK = struct.Struct("<BBHIHH")


class Frame:
    def __init__(self, ftype, no, payload, time_us=0, reserved=0, encode=0, flags=0, fmt=b"\0" * 8,
                 claimed=None):
        self.type = ftype          # "I", "P", "V", "A"
        self.no = no
        self.payload = payload
        self.time_us = time_us
        self.reserved = reserved
        self.encode = encode
        self.flags = flags
        self.fmt = fmt
        self.claimed = len(payload) if claimed is None else claimed

    def bytes(self):
        return HEAD.pack(MAGIC, ord(self.type), self.encode, self.flags, self.no & 0xFFFFFFFF,
                         self.claimed, self.time_us, self.reserved, self.fmt) + self.payload

    def sha256(self):
        return hashlib.sha256(self.bytes()).hexdigest()


def parse(data):
    """A frame from its bytes (head + payload), or None when it is not one."""
    if len(data) < HEAD.size or data[:4] != MAGIC:
        return None
    _, t, enc, flags, no, size, tus, res, fmt = HEAD.unpack_from(data)
    return Frame(chr(t), no, bytes(data[HEAD.size:]), tus, res, enc, flags, fmt, claimed=size)


def read_file(path):
    """The frames of a frame file, in file order."""
    out = []
    with open(path, "rb") as f:
        data = f.read()
    pos = 0
    while pos + HEAD.size <= len(data):
        _, t, enc, flags, no, size, tus, res, fmt = HEAD.unpack_from(data, pos)
        end = pos + HEAD.size + size
        if end > len(data):
            break
        out.append(Frame(chr(t), no, data[pos + HEAD.size:end], tus, res, enc, flags, fmt))
        pos = end + (-(HEAD.size + size) % 8)
    return out


def synthetic(count, gop=10, seed=1, audio_every=0, v_at=()):
    """count video frames: an 'I' every gop frames, else 'P' (or 'V' at the listed
    indexes), payload sizes from a seeded generator; with audio_every N an 'A' frame of
    324 bytes after every N video frames. FrameNo counts every frame from 1; FrameTime
    advances 40 ms per video frame."""
    rnd = random.Random(seed)
    out = []
    no = 1
    t0 = 1710028790 * 1000000
    for i in range(count):
        if i % gop == 0:
            ftype, size = "I", rnd.randint(20000, 40000)
        else:
            ftype, size = ("V" if i in v_at else "P"), rnd.randint(1000, 9000)
        payload = bytes(rnd.getrandbits(8) for _ in range(64)) * (size // 64) + b"\x5a" * (size % 64)
        fmt = struct.pack("<HHBBH", 640, 360, 25, 0, 0)
        out.append(Frame(ftype, no, payload, t0 + i * 40000, fmt=fmt))
        no += 1
        if audio_every and (i + 1) % audio_every == 0:
            a = b"\x00\x01\xa0\x00" + bytes((j * 7 + i) & 0xFF for j in range(320))
            out.append(Frame("A", no, a, t0 + i * 40000 + 20000, encode=1,
                             fmt=struct.pack("<IBBH", 8000, 1, 16, 324)))
            no += 1
    return out


def cut(frame_bytes, frame_no, slot=1400, ext=b"", ptype=0):
    """The packs of one frame: slot 1400 (flags bits 0-1 clear) or 8192 (bit 0 set)."""
    total = len(frame_bytes)
    num = max(1, (total + slot - 1) // slot)
    flags = len(ext) | (1 if slot == 8192 else 0)
    packs = []
    for i in range(num):
        piece = frame_bytes[i * slot:(i + 1) * slot]
        packs.append(PACK.pack(flags, ptype, num, frame_no & 0xFFFFFFFF, i, len(piece)) + ext + piece)
    return packs


def signal(ptype):
    """A bare non-data pack."""
    return PACK.pack(0, ptype, 0, 0, 0, 0)


class Reassembler:
    """Frames from received packs (any order, by PackNo; a frame is complete when all
    PackNum packs of its id arrived)."""

    def __init__(self):
        self.parts = {}

    def add(self, head, data):
        flags, ptype, num, fid, no, size = head
        if ptype != 0 or num == 0 or no >= num:
            return None
        parts = self.parts.setdefault(fid, {})
        parts[no] = data
        if len(parts) < num:
            return None
        del self.parts[fid]
        return b"".join(parts[i] for i in range(num)), [len(parts[i]) for i in range(num)]
