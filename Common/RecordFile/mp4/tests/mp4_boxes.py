#!/usr/bin/env python3
"""Box walker for the MP4 record files (stdlib only), written from the box layout alone.

    mp4_boxes.py FILE            prints the box tree
    mp4_boxes.py FILE --json     prints the tracks' tables, configuration records and the
                                 saved frame heads of the trailing "free" box as JSON

As a module: walk(data) gives the tree; tracks(data) the per-track tables;
free_records(data) the saved heads; parse_avcc / parse_hvcc the configuration records;
sample_ranges(track) every sample's (offset, size).
"""
import json
import struct
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"dinf", b"stbl", b"edts", b"udta"}
# Sample entries: bytes between the entry's header and its child boxes.
ENTRY_SKIP = {b"avc1": 78, b"hvc1": 78, b"hev1": 78}


class Box:
    def __init__(self, btype, offset, size, header):
        self.type, self.offset, self.size, self.header = btype, offset, size, header
        self.children = []

    @property
    def payload(self):
        return self.offset + self.header

    def find(self, btype):
        for c in self.children:
            if c.type == btype:
                return c
            f = c.find(btype)
            if f:
                return f
        return None

    def find_all(self, btype):
        out = []
        for c in self.children:
            if c.type == btype:
                out.append(c)
            out.extend(c.find_all(btype))
        return out


def walk(data, start=0, end=None, depth=0):
    end = len(data) if end is None else end
    boxes, pos = [], start
    while pos + 8 <= end:
        size, btype = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1:
            size = struct.unpack_from(">Q", data, pos + 8)[0]
            header = 16
        elif size == 0:
            size = end - pos
        if size < header or pos + size > end:
            raise ValueError("box %r at %d: size %d does not fit" % (btype, pos, size))
        box = Box(btype, pos, size, header)
        if depth < 16:
            if btype in CONTAINERS:
                box.children = walk(data, pos + header, pos + size, depth + 1)
            elif btype == b"stsd":
                box.children = walk(data, pos + header + 8, pos + size, depth + 1)
            elif btype in ENTRY_SKIP:
                box.children = walk(data, pos + header + ENTRY_SKIP[btype], pos + size, depth + 1)
        boxes.append(box)
        pos += size
    return boxes


def _u32s(data, at, n):
    return list(struct.unpack_from(">%dI" % n, data, at))


def parse_avcc(rec):
    out = {"version": rec[0], "profile": rec[1], "compat": rec[2], "level": rec[3],
           "length_size": (rec[4] & 3) + 1}
    pos = 5
    nsps = rec[pos] & 0x1F
    pos += 1
    out["sps"] = []
    for _ in range(nsps):
        n = struct.unpack_from(">H", rec, pos)[0]
        out["sps"].append(rec[pos + 2:pos + 2 + n].hex())
        pos += 2 + n
    npps = rec[pos]
    pos += 1
    out["pps"] = []
    for _ in range(npps):
        n = struct.unpack_from(">H", rec, pos)[0]
        out["pps"].append(rec[pos + 2:pos + 2 + n].hex())
        pos += 2 + n
    if pos + 4 <= len(rec):
        out["chroma_format"] = rec[pos] & 3
        out["bit_depth_luma"] = (rec[pos + 1] & 7) + 8
        out["bit_depth_chroma"] = (rec[pos + 2] & 7) + 8
    return out


def parse_hvcc(rec):
    out = {
        "version": rec[0],
        "profile_space": rec[1] >> 6, "tier": (rec[1] >> 5) & 1, "profile": rec[1] & 0x1F,
        "compat": struct.unpack_from(">I", rec, 2)[0],
        "constraint": rec[6:12].hex(),
        "level": rec[12],
        "min_spatial_segmentation": struct.unpack_from(">H", rec, 13)[0] & 0xFFF,
        "parallelism": rec[15] & 3,
        "chroma_format": rec[16] & 3,
        "bit_depth_luma": (rec[17] & 7) + 8,
        "bit_depth_chroma": (rec[18] & 7) + 8,
        "avg_frame_rate": struct.unpack_from(">H", rec, 19)[0],
        "constant_frame_rate": rec[21] >> 6,
        "temporal_layers": (rec[21] >> 3) & 7,
        "temporal_id_nested": (rec[21] >> 2) & 1,
        "length_size": (rec[21] & 3) + 1,
        "arrays": {},
    }
    pos = 23
    for _ in range(rec[22]):
        t = rec[pos] & 0x3F
        complete = rec[pos] >> 7
        n = struct.unpack_from(">H", rec, pos + 1)[0]
        pos += 3
        units = []
        for _ in range(n):
            ln = struct.unpack_from(">H", rec, pos)[0]
            units.append(rec[pos + 2:pos + 2 + ln].hex())
            pos += 2 + ln
        out["arrays"][t] = {"complete": complete, "units": units}
    return out


def _table(data, box):
    p = box.payload + 4
    if box.type == b"stts":
        n = struct.unpack_from(">I", data, p)[0]
        v = _u32s(data, p + 4, 2 * n)
        return [(v[i], v[i + 1]) for i in range(0, 2 * n, 2)]
    if box.type == b"stss":
        n = struct.unpack_from(">I", data, p)[0]
        return _u32s(data, p + 4, n)
    if box.type == b"stsc":
        n = struct.unpack_from(">I", data, p)[0]
        v = _u32s(data, p + 4, 3 * n)
        return [(v[i], v[i + 1], v[i + 2]) for i in range(0, 3 * n, 3)]
    if box.type == b"stsz":
        common, n = struct.unpack_from(">II", data, p)
        return {"common": common, "count": n, "sizes": [] if common else _u32s(data, p + 8, n)}
    if box.type == b"stco":
        n = struct.unpack_from(">I", data, p)[0]
        return _u32s(data, p + 4, n)
    if box.type == b"co64":
        n = struct.unpack_from(">I", data, p)[0]
        return list(struct.unpack_from(">%dQ" % n, data, p + 4))
    return None


def tracks(data):
    root = walk(data)
    out = []
    for moov in (b for b in root if b.type == b"moov"):
        for trak in moov.find_all(b"trak"):
            t = {}
            hdlr = trak.find(b"hdlr")
            t["handler"] = data[hdlr.payload + 8:hdlr.payload + 12].decode("latin-1") if hdlr else None
            tkhd = trak.find(b"tkhd")
            if tkhd:
                ver = data[tkhd.payload]
                t["track_id"] = struct.unpack_from(">I", data, tkhd.payload + (20 if ver else 12))[0]
            mdhd = trak.find(b"mdhd")
            if mdhd:
                ver = data[mdhd.payload]
                t["timescale"] = struct.unpack_from(">I", data, mdhd.payload + (20 if ver else 12))[0]
                t["duration"] = (struct.unpack_from(">Q", data, mdhd.payload + 24)[0] if ver else
                                 struct.unpack_from(">I", data, mdhd.payload + 16)[0])
            stsd = trak.find(b"stsd")
            if stsd and stsd.children:
                e = stsd.children[0]
                t["entry"] = data[e.offset + 4:e.offset + 8].hex()
                t["entry_size"] = e.size
                if t["handler"] == "soun":
                    ver, = struct.unpack_from(">H", data, e.offset + 16)
                    ch, bits = struct.unpack_from(">HH", data, e.offset + 24)
                    t["audio"] = {"version": ver, "channels": ch, "bits": bits,
                                  "rate": struct.unpack_from(">I", data, e.offset + 32)[0] >> 16}
            for cfg in (b"avcC", b"hvcC"):
                box = trak.find(cfg)
                if box:
                    rec = data[box.payload:box.offset + box.size]
                    t[cfg.decode()] = parse_avcc(rec) if cfg == b"avcC" else parse_hvcc(rec)
                    t[cfg.decode() + "_bytes"] = rec.hex()
            for name in (b"stts", b"stss", b"stsc", b"stsz", b"stco", b"co64"):
                box = trak.find(name)
                if box:
                    t[name.decode()] = _table(data, box)
            out.append(t)
    return out


def sample_ranges(track):
    """(offset, size) of every sample, from the chunk tables."""
    offsets = track.get("stco") or track.get("co64") or []
    stsc = track.get("stsc") or []
    stsz = track["stsz"]
    sizes = stsz["sizes"] or [stsz["common"]] * stsz["count"]
    out, k = [], 0
    for c, off in enumerate(offsets, start=1):
        per = 0
        for first, n, _ in stsc:
            if first <= c:
                per = n
        for _ in range(per):
            if k >= len(sizes):
                return out
            out.append((off, sizes[k]))
            off += sizes[k]
            k += 1
    return out


def free_records(data):
    """The trailing "free" box of saved frame heads: {track ID: [48-byte records]}."""
    root = walk(data)
    frees = [b for b in root if b.type == b"free" and b.size > 16]
    if not frees:
        return None
    box = frees[-1]
    p = box.payload
    n = struct.unpack_from(">I", data, p)[0]
    pos, out = p + 8, {}
    for _ in range(n):
        tid, count, ln, _, off = struct.unpack_from(">IIIIQ", data, pos)
        recs = [data[pos + 24 + 48 * i:pos + 24 + 48 * (i + 1)] for i in range(ln // 48)]
        out[tid] = {"samples": count, "offset": off, "at": pos, "records": recs}
        pos += 24 + ln
    return out


def mdat(data):
    for b in walk(data):
        if b.type == b"mdat":
            return {"offset": b.offset, "size": b.size, "header": b.header}
    return None


def _print(boxes, data, indent=0):
    for b in boxes:
        print("%s%s size=%d at=%d%s" % ("  " * indent, b.type.decode("latin-1"), b.size, b.offset,
                                         " (64-bit)" if b.header == 16 else ""))
        _print(b.children, data, indent + 1)


def main():
    data = open(sys.argv[1], "rb").read()
    if "--json" in sys.argv:
        out = {"tracks": tracks(data), "mdat": mdat(data)}
        fr = free_records(data)
        out["free"] = {str(k): {"samples": v["samples"], "offset": v["offset"],
                                "heads": [r[:40].hex() for r in v["records"]]}
                       for k, v in (fr or {}).items()}
        print(json.dumps(out, indent=1))
    else:
        _print(walk(data), data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
