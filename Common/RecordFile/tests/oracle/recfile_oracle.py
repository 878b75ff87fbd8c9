#!/usr/bin/env python3
"""Independent reader and writer of the record-file formats, for the C++ tests.

Written from the format descriptions only (stdlib + python3-cryptography); it shares no
code with the library. Output is line text that the tests compare with the C++ side.

Commands
  frames FILE                      every complete frame record of a bare frame file
  private-read FILE [--password P] [--check]
                                   head, times, index, block and frames of a private file
  private-write FRAMES OUT [--password P] [--block FILE] [--skip N] [--entry-size N]
        [--foreign-tag] [--unfinished]
                                   writes a private file from a bare frame file
  password-block TEXT              the stored 16-byte password block, hex
  avi-check FILE                   walks the RIFF tree, checks the 2048-byte header field
                                   by field against the chunks; prints a summary
  avi-frames FILE                  the frames of an AVI file in chunk order (head records)
  avi-stream FILE video|audio OUT  concatenated video payloads or audio block data

A frame line: "<type> <no> <size> <time> <flags> <crc32 of the payload>".
"""
import struct
import sys
import zlib

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

HEAD = struct.Struct("<4sBBHIIQQ8s")
KEY = b"3F0A9C2E7B14D86A5C0E3B97F21A4D68E5B07C93A1F46D2E8B05C7A39E14F62B"[:16]
IV = b"5E82C0A7F39B14D6E0C75A2B98F1346D"[:16]


def frame_line(head, payload):
    _, t, enc, flags, no, size, tm, _, _ = HEAD.unpack(head)
    return "%s %d %d %d %d %08x" % (chr(t), no, size, tm, flags, zlib.crc32(payload))


def walk_records(data, pos):
    """(offset, head bytes, payload) of every complete record from pos."""
    while pos + 40 <= len(data):
        head = data[pos:pos + 40]
        magic, _, _, _, _, size, _, _, _ = HEAD.unpack(head)
        if magic != b"KVFm" or pos + 40 + size > len(data):
            return
        yield pos, head, data[pos + 40:pos + 40 + size]
        pos += (size + 47) & ~7


def password_block(text):
    plain = text.encode()[:16].ljust(16, b"\0")
    enc = Cipher(algorithms.AES(KEY), modes.OFB(IV)).encryptor()
    return enc.update(plain) + enc.finalize()


def cmd_frames(path):
    data = open(path, "rb").read()
    for _, head, payload in walk_records(data, 0):
        print(frame_line(head, payload))


def ref_distance(head):
    return (struct.unpack_from("<H", head, 38)[0] >> 2) & 0x7FF


def cmd_private_read(path, password, check):
    data = open(path, "rb").read()
    magic = data[:8]
    if magic not in (b"ALKVFile", b"QTRVFile"):
        print("bare")
        entries = []
        for off, head, _ in walk_records(data, 0):
            if head[4] in (ord("I"), ord("V")):
                entries.append((struct.unpack_from("<Q", head, 16)[0], off))
        first_rec = 0
        state = "none"
        first = entries[0][0] if entries else 0
        last = entries[-1][0] if entries else 0
        block = None
    else:
        info_len, state, idx_off = struct.unpack_from("<I4sQ", data, 8)
        state = state.decode("latin-1")
        if magic == b"QTRVFile" and check:
            dec = Cipher(algorithms.AES(KEY), modes.OFB(IV)).decryptor()
            stored = (dec.update(data[24:40]) + dec.finalize()).split(b"\0")[0]
            given = (password or "").encode()[:16]
            print("password", "ok" if given and stored == given else "refused")
            if not given or stored != given:
                return
        first, last = struct.unpack_from("<QQ", data, 40)
        first_rec = 40 + info_len
        entries, block = [], None
        if state == "Full":
            pos = idx_off
            while True:
                name, skip, esize, length = struct.unpack_from("<8sHHI", data, pos)
                pos += 16
                if name == b"ListIdx\0":
                    break
                pos += length
            pos += skip
            remain = length - skip
            for i in range(remain // esize):
                entries.append(struct.unpack_from("<QQ", data, pos + i * esize))
            tail = pos + remain
            if data[tail:tail + 8] == b"BackInfo":
                block = data[tail:tail + 512]
            if (first == 0 or last == 0) and len(entries) >= 2:
                first, last = entries[0][0], entries[-1][0]
        else:
            for off, head, _ in walk_records(data, first_rec):
                if head[4] in (ord("I"), ord("V")):
                    entries.append((struct.unpack_from("<Q", head, 16)[0], off))
            if entries:
                first, last = entries[0][0], entries[-1][0]
        print("magic", magic.decode(), "state", state)
    # A recording that starts at the reference of a virtual key frame starts at that frame.
    recs = list(walk_records(data, first_rec))
    video = [r for r in recs if r[1][4] in (ord("I"), ord("P"), ord("V"))]
    mark_first = False
    if len(video) >= 2 and video[1][1][4] == ord("V") and len(entries) >= 2:
        first = entries[1][0]
        mark_first = True
    print("times", first, last)
    print("index", len(entries))
    for t, off in entries:
        print("entry", t, off)
    if block is not None:
        print("block", block[:16].hex(), block[112:128].hex(), zlib.crc32(block))
    for i, (_, head, payload) in enumerate(recs):
        if i == 0 and mark_first:
            head = head[:7] + bytes([head[7] | 1]) + head[8:]
        print(frame_line(head, payload))


def cmd_private_write(frames, out, password, block_file, skip, entry_size, foreign, unfinished):
    data = open(frames, "rb").read()
    magic = b"ALKVFile"
    pwd = b"\0" * 16
    if password:
        magic, pwd = b"QTRVFile", password_block(password)
    body = bytearray()
    entries = []
    gate, ref_no, first, last = True, None, 0, 0
    key_flags = 0
    for _, head, payload in walk_records(data, 0):
        t = head[4]
        no, tm = struct.unpack_from("<I", head, 8)[0], struct.unpack_from("<Q", head, 16)[0]
        if gate:
            if t != ord("I"):
                continue
            gate, first = False, tm
            key_flags = struct.unpack_from("<H", head, 6)[0] & 0x7F
        elif t == ord("V") and (no - ref_distance(head)) & 0xFFFFFFFF != ref_no:
            gate = True
            continue
        off = 56 + len(body)
        if t == ord("I"):
            ref_no = no
        if t in (ord("I"), ord("V")):
            last = tm
            entries.append((tm, off))
        rec = head + payload
        body += rec + b"\0" * ((-len(rec)) % 8)
    idx_off = 56 + len(body)
    state = b"Data" if unfinished else b"Full"
    head = magic + struct.pack("<I4sQ", 16, state, 0 if unfinished else idx_off) + pwd
    info = struct.pack("<QQ", 0, 0) if unfinished else struct.pack("<QQ", first, last)
    outb = bytearray(head + info + body)
    if not unfinished:
        if foreign:
            outb += b"OtherTag" + struct.pack("<HHI", 0, 0, 8) + b"\xEE" * 8
        esize = entry_size
        raw = b"".join(struct.pack("<QQ", t, o) + b"\xAB" * (esize - 16) for t, o in entries)
        outb += b"ListIdx\0" + struct.pack("<HHI", skip, esize, skip + len(raw))
        outb += b"\xCD" * skip + raw
        if block_file:
            blk = bytearray(open(block_file, "rb").read()[:512].ljust(512, b"\0"))
            blk[0:8] = b"BackInfo"
            struct.pack_into("<II", blk, 8, 512, key_flags)
            struct.pack_into("<QQ", blk, 112, first, last)
            outb += blk
    open(out, "wb").write(outb)


def le32(d, o):
    return struct.unpack_from("<I", d, o)[0]


class Checker:
    def __init__(self):
        self.errors = []

    def eq(self, what, got, want):
        if got != want:
            self.errors.append("%s: got %r, want %r" % (what, got, want))


def avi_chunks(data):
    """(fourcc, offset, size, head record) of the chunks behind the header."""
    pos = 2048
    out = []
    while pos + 8 <= len(data):
        cc, size = data[pos:pos + 4], le32(data, pos + 4)
        if cc in (b"00db", b"00dc", b"01wb"):
            rec = 40 if cc != b"01wb" else 48
            out.append((cc, pos, size, data[pos + 8 + size:pos + 8 + size + rec]))
            pos += 8 + size + rec + ((size + rec) & 1)
        else:
            break
    return out, pos


def cmd_avi_check(path):
    data = open(path, "rb").read()
    c = Checker()
    c.eq("RIFF", data[0:4], b"RIFF")
    c.eq("RIFF length", le32(data, 4), len(data) - 8)
    c.eq("AVI", data[8:12], b"AVI ")
    chunks, end = avi_chunks(data)
    video = [k for k in chunks if k[0] != b"01wb"]
    audio = [k for k in chunks if k[0] == b"01wb"]
    has_audio = bool(audio)
    t = 320 if has_audio else 212
    c.eq("LIST hdrl", data[12:16] + data[20:24], b"LISThdrl")
    c.eq("hdrl length", le32(data, 16), t - 20)
    c.eq("avih", data[24:28], b"avih")
    c.eq("avih length", le32(data, 28), 56)
    usf = le32(data, 32)
    c.eq("max bytes/s", le32(data, 36), 10000000)
    c.eq("flags", le32(data, 44), 0x10030)
    c.eq("frames", le32(data, 48), len(video))
    c.eq("streams", le32(data, 56), 2 if has_audio else 1)
    width, height = le32(data, 64), le32(data, 68)
    c.eq("strl video", data[88:92] + data[96:100], b"LISTstrl")
    c.eq("video list length", le32(data, 92), 116)
    c.eq("strh", data[100:104], b"strh")
    c.eq("strh length", le32(data, 104), 56)
    c.eq("vids", data[108:112], b"vids")
    comp = data[112:116]
    c.eq("strh flags", le32(data, 116), 1)
    c.eq("scale", le32(data, 128), usf)
    c.eq("rate", le32(data, 132), 1000000)
    c.eq("strh frames", le32(data, 140), len(video))
    c.eq("sample size", le32(data, 152), 0xFFFFFFFF)
    c.eq("strf", data[164:168], b"strf")
    c.eq("strf length", le32(data, 168), 40)
    c.eq("biSize", le32(data, 172), 40)
    c.eq("biWidth", le32(data, 176), width)
    c.eq("biHeight", le32(data, 180), height)
    c.eq("planes/bits", struct.unpack_from("<HH", data, 184), (1, 12))
    c.eq("compression", data[188:192], comp)
    c.eq("image size", le32(data, 192), width * height * 4)
    if video:
        first = video[0][3]
        fps = first[36]
        c.eq("size from head", (width, height), struct.unpack_from("<HH", first, 32))
        want_usf = int(1000000 / fps + 0.5) if fps else 0
        c.eq("us per frame", usf, want_usf)
        c.eq("compressor", comp, b"H265" if first[5] in (7, 8) else b"H264")
    summary = "video %s %dx%d frames %d usf %d" % (comp.decode("latin-1"), width, height,
                                                   len(video), usf)
    if has_audio:
        c.eq("strl audio", data[212:216] + data[220:224], b"LISTstrl")
        c.eq("audio list length", le32(data, 216), 100)
        c.eq("strh audio", data[224:228], b"strh")
        c.eq("strh audio length", le32(data, 228), 64)
        c.eq("auds", data[232:236], b"auds")
        scale, rate = le32(data, 252), le32(data, 256)
        c.eq("audio length", le32(data, 264), sum(k[2] for k in audio) // scale if scale else 0)
        c.eq("audio quality", le32(data, 272), 0xFFFFFFFF)
        c.eq("audio sample size", le32(data, 276), scale)
        c.eq("strf audio", data[296:300], b"strf")
        c.eq("strf audio length", le32(data, 300), 16)
        tag, ch, sps, bps, align, bits = struct.unpack_from("<HHIIHH", data, 304)
        c.eq("avg bytes/s", bps, rate)
        c.eq("block align", align, scale)
        c.eq("chunk data size", {k[2] for k in audio}, {scale})
        summary += " audio tag %d ch %d rate %d bits %d block %d byterate %d" % (
            tag, ch, sps, bits, align, bps)
    c.eq("JUNK", data[t:t + 4], b"JUNK")
    c.eq("JUNK length", le32(data, t + 4), 2028 - t)
    c.eq("JUNK zero", data[t + 16:2036], b"\0" * (2036 - t - 16))
    c.eq("movi", data[2036:2040] + data[2044:2048], b"LISTmovi")
    c.eq("movi length", le32(data, 2040), end - 2044)
    # idx1 and the time table behind the chunks.
    c.eq("idx1", data[end:end + 4], b"idx1")
    n = le32(data, end + 4) // 16
    c.eq("idx1 entries", n, len(chunks))
    for i, k in enumerate(chunks[:n]):
        cc, flags, off, size = struct.unpack_from("<4sIII", data, end + 8 + 16 * i)
        c.eq("idx1[%d]" % i, (cc, flags, off, size), (k[0], 0x10 if k[0] == b"00db" else 0,
                                                     k[1], k[2]))
    j = end + 8 + 16 * n
    c.eq("time table", data[j:j + 4], b"JUNK")
    c.eq("time table length", le32(data, j + 4), 8 * len(video))
    times = [struct.unpack_from("<Q", data, j + 8 + 8 * i)[0] for i in range(len(video))]
    c.eq("times", times, [struct.unpack_from("<Q", k[3], 16)[0] for k in video])
    c.eq("file end", len(data), j + 8 + 8 * len(video))
    if chunks:
        secs = (struct.unpack_from("<Q", chunks[-1][3], 16)[0] // 1000000 -
                struct.unpack_from("<Q", chunks[0][3], 16)[0] // 1000000)
        c.eq("duration", le32(data, t + 12), secs)
    print(summary)
    for e in c.errors:
        print("ERROR", e)
    return 1 if c.errors else 0


def cmd_avi_frames(path):
    data = open(path, "rb").read()
    chunks, _ = avi_chunks(data)
    for cc, pos, size, rec in chunks:
        payload = data[pos + 8:pos + 8 + size]
        if cc == b"01wb":
            head = bytearray(rec[:40])
            struct.pack_into("<I", head, 12, size + 4)
            print(frame_line(bytes(head), rec[40:44] + payload))
        else:
            print(frame_line(rec, payload))


def cmd_avi_stream(path, kind, out):
    data = open(path, "rb").read()
    chunks, _ = avi_chunks(data)
    want = (b"00db", b"00dc") if kind == "video" else (b"01wb",)
    with open(out, "wb") as f:
        for cc, pos, size, _ in chunks:
            if cc in want:
                f.write(data[pos + 8:pos + 8 + size])


def main(argv):
    import argparse
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    sub.add_parser("frames").add_argument("file")
    r = sub.add_parser("private-read")
    r.add_argument("file")
    r.add_argument("--password")
    r.add_argument("--check", action="store_true")
    w = sub.add_parser("private-write")
    w.add_argument("frames")
    w.add_argument("out")
    w.add_argument("--password")
    w.add_argument("--block")
    w.add_argument("--skip", type=int, default=0)
    w.add_argument("--entry-size", type=int, default=16)
    w.add_argument("--foreign-tag", action="store_true")
    w.add_argument("--unfinished", action="store_true")
    sub.add_parser("password-block").add_argument("text")
    sub.add_parser("avi-check").add_argument("file")
    sub.add_parser("avi-frames").add_argument("file")
    s = sub.add_parser("avi-stream")
    s.add_argument("file")
    s.add_argument("kind", choices=["video", "audio"])
    s.add_argument("out")
    a = p.parse_args(argv)
    if a.cmd == "frames":
        cmd_frames(a.file)
    elif a.cmd == "private-read":
        cmd_private_read(a.file, a.password, a.check)
    elif a.cmd == "private-write":
        cmd_private_write(a.frames, a.out, a.password, a.block, a.skip, a.entry_size,
                          a.foreign_tag, a.unfinished)
    elif a.cmd == "password-block":
        print(password_block(a.text).hex())
    elif a.cmd == "avi-check":
        return cmd_avi_check(a.file)
    elif a.cmd == "avi-frames":
        cmd_avi_frames(a.file)
    elif a.cmd == "avi-stream":
        cmd_avi_stream(a.file, a.kind, a.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
