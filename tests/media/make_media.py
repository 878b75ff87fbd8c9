#!/usr/bin/env python3
"""Test media for the record files and the simulator, made with ffmpeg at test time.

Nothing is downloaded and no media file is committed: every stream comes from ffmpeg's own
test sources (testsrc2 for video, a sine tone for audio) with the Debian encoders.

Commands
--------
make_media.py media OUTDIR [--seconds S] [--size WxH] [--slices N]
    Writes the elementary streams into OUTDIR (skipped when already there):
      h264.264, h265.265   WxH (default 640x360), 25 fps, key interval 50, no B-frames,
                           an access unit delimiter before every picture, parameter sets
                           repeated before every key frame
      h264_slices.264      as h264.264 with --slices N (default 4) slices per picture: the
                           later slices of a picture begin with 3-byte start codes
      alaw.raw, mulaw.raw, pcm.raw (s16le), g726_16.raw ... g726_40.raw (g726le)
                           8 kHz mono
      picture.jpg, picture.png

make_media.py frames OUTPUT [--media DIR] [--video h264|h265|h264_slices|none]
        [--audio alaw|mulaw|pcm|g726_16|g726_24|g726_32|g726_40|none] [--seconds S]
        [--size WxH] [--t0 ISO-UTC] [--vframes N,N,...] [--vdist D] [--start-v]
        [--lead-v]
    Turns streams into a frame file: bare frame records (a 40-byte KVFrameHead, the
    payload, zero padding to a multiple of 8), video and audio interleaved by time.
      video  one frame per access unit (split at the AUD), 'I' when it holds an IDR/IRAP
             NAL unit, else 'P'; FrameNo counts up by 1 from 1 (audio frames share the
             counter); FrameTime = t0 + n x 40000 us; EncodeType 0 (H.264) or 7 (H.265);
             format {width, height, 25, 0, reference info}
      audio  324-byte frames of one block: block head 00 01 A0 00 and 320 data bytes;
             EncodeType 0 PCM, 1 A-law, 2 mu-law, 4-7 G.726 16/24/32/40k; format
             {8000, 1, 16, 324}; FrameNo counts audio frames from 1; FrameTime from
             the byte position in the stream
      t0     default 2024-03-09T23:59:50 (UTC)
      --vframes  video frame numbers (0-based among video frames) of P frames to relabel
                 'V'; their reference distance (bits 2-12 of the u16 at offset 38) is the
                 distance back to the GOP's 'I' frame, or --vdist D when given
      --start-v  the file starts with the first GOP's 'I' frame directly followed by the
                 first relabelled 'V' frame (the P frames between them are left out), as a
                 download that resumes at a virtual key frame stores it
      --lead-v   the file starts with a lone 'V' frame (refers to nothing in the file)
    Media missing in --media (default: OUTPUT's directory/media) are made first.

make_media.py audio-frames OUTPUT --codec C [...]  same as frames --video none --audio C

make_media.py picture OUTPUT [--size WxH] [--quality Q] [--noise N]
    One still picture of testsrc2: JPEG (quality Q, 2 = best, default 5) unless OUTPUT
    ends in ".png". --noise N (0-100) adds noise of that strength, which makes the file
    much larger (3328x1872 at Q 2 with noise 60: about 4 MiB).

Also usable as a module: read_records(path) yields (head fields dict, payload bytes).
"""
import argparse
import calendar
import datetime
import os
import struct
import subprocess
import sys

HEAD = struct.Struct("<4sBBHIIQQ8s")
AUDIO_BLOCK = 324
AUDIO_BLOCK_HEAD = bytes([0x00, 0x01, 0xA0, 0x00])
AUDIO_CODECS = {
    # name: (ffmpeg args, EncodeType, bytes per second of the coded stream)
    "pcm": (["-c:a", "pcm_s16le", "-f", "s16le"], 0, 16000),
    "alaw": (["-c:a", "pcm_alaw", "-f", "alaw"], 1, 8000),
    "mulaw": (["-c:a", "pcm_mulaw", "-f", "mulaw"], 2, 8000),
    "g726_16": (["-c:a", "g726le", "-b:a", "16k", "-f", "g726le"], 4, 2000),
    "g726_24": (["-c:a", "g726le", "-b:a", "24k", "-f", "g726le"], 5, 3000),
    "g726_32": (["-c:a", "g726le", "-b:a", "32k", "-f", "g726le"], 6, 4000),
    "g726_40": (["-c:a", "g726le", "-b:a", "40k", "-f", "g726le"], 7, 5000),
}
VIDEO_FILES = {"h264": "h264.264", "h265": "h265.265", "h264_slices": "h264_slices.264"}


def ffmpeg(args):
    cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"] + args
    subprocess.run(cmd, check=True)


def make_media(outdir, seconds=10, size="640x360", slices=4):
    os.makedirs(outdir, exist_ok=True)
    src = ["-f", "lavfi", "-i", "testsrc2=size=%s:rate=25" % size, "-t", str(seconds)]
    x264 = "keyint=50:min-keyint=50:scenecut=0:bframes=0:aud=1:repeat-headers=1"
    x265 = "keyint=50:min-keyint=50:scenecut=0:bframes=0:aud=1:repeat-headers=1:log-level=error"
    jobs = {
        "h264.264": src + ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast",
                           "-x264-params", x264, "-f", "h264"],
        "h264_slices.264": src + ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset",
                                  "veryfast", "-x264-params", x264 + ":slices=%d" % slices,
                                  "-f", "h264"],
        "h265.265": src + ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-preset", "veryfast",
                           "-x265-params", x265, "-f", "hevc"],
        "picture.jpg": ["-f", "lavfi", "-i", "testsrc2=size=%s" % size, "-frames:v", "1",
                        "-c:v", "mjpeg", "-pix_fmt", "yuvj420p"],
        "picture.png": ["-f", "lavfi", "-i", "testsrc2=size=%s" % size, "-frames:v", "1",
                        "-c:v", "png"],
    }
    tone = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000", "-t", str(seconds),
            "-ac", "1", "-ar", "8000"]
    for name, (args, _, _) in AUDIO_CODECS.items():
        jobs[name + ".raw"] = tone + args
    for name, args in jobs.items():
        path = os.path.join(outdir, name)
        if os.path.exists(path) and os.path.getsize(path) > 0:
            continue
        tmp = path + ".tmp"
        fmt = [] if "-f" in args[4:] else ["-f", "image2"]
        ffmpeg(args + fmt + [tmp])
        os.replace(tmp, path)


def split_nals(data):
    """(start offset of the start code, start-code length, NAL offset) for every NAL unit."""
    out = []
    i, n = 0, len(data)
    while True:
        j = data.find(b"\x00\x00\x01", i)
        if j < 0:
            break
        sc = 4 if j > 0 and data[j - 1] == 0 else 3
        out.append((j - (sc - 3), sc, j + 3))
        i = j + 3
    return out


def access_units(data, hevc):
    """The stream cut before every access unit delimiter; (bytes, is key picture)."""
    nals = split_nals(data)
    units, cur_start, key = [], None, False
    for start, _, nal in nals:
        if nal >= len(data):
            break
        if hevc:
            t = (data[nal] >> 1) & 0x3F
            aud, irap = t == 35, 16 <= t <= 23
        else:
            t = data[nal] & 0x1F
            aud, irap = t == 9, t == 5
        if aud:
            if cur_start is not None:
                units.append((data[cur_start:start], key))
            cur_start, key = start, False
        elif irap:
            key = True
    if cur_start is not None:
        units.append((data[cur_start:], key))
    return units


def parse_t0(text):
    dt = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S")
    return calendar.timegm(dt.timetuple()) * 1000000


def record(ftype, encode, flags, no, time_us, fmt, payload):
    head = HEAD.pack(b"KVFm", ord(ftype), encode, flags, no, len(payload), time_us, 0, fmt)
    pad = (-(40 + len(payload))) % 8
    return head + payload + b"\x00" * pad


def make_frames(args):
    media = args.media or os.path.join(os.path.dirname(os.path.abspath(args.output)), "media")
    make_media(media, args.seconds, args.size)
    t0 = parse_t0(args.t0)
    width, height = (int(x) for x in args.size.split("x"))
    events = []  # (time, order, kind, data)
    if args.video != "none":
        hevc = args.video == "h265"
        with open(os.path.join(media, VIDEO_FILES[args.video]), "rb") as f:
            units = access_units(f.read(), hevc)
        vset = set(int(x) for x in args.vframes.split(",") if x) if args.vframes else set()
        video = []
        last_i = 0
        for n, (au, key) in enumerate(units):
            if key:
                last_i = n
            ftype = "I" if key else ("V" if n in vset else "P")
            dist = (args.vdist if args.vdist is not None else n - last_i) if ftype == "V" else 0
            video.append([ftype, au, dist, n])
        if args.start_v:
            first_v = next(i for i, v in enumerate(video) if v[0] == "V")
            ref = max(i for i in range(first_v) if video[i][0] == "I")
            video = video[: ref + 1] + video[first_v:]
        if args.lead_v:
            video = [["V", video[1][1], 1, -1]] + video
        for k, (ftype, au, dist, n) in enumerate(video):
            events.append((t0 + k * 40000, 0, k, ("v", ftype, au, dist, hevc, n + 1)))
    if args.audio != "none":
        _, encode, rate = AUDIO_CODECS[args.audio]
        with open(os.path.join(media, args.audio + ".raw"), "rb") as f:
            data = f.read()
        per = AUDIO_BLOCK - 4
        for k in range(len(data) // per):
            t = t0 + (k * per * 1000000) // rate
            events.append((t, 1, k, ("a", encode, data[k * per:(k + 1) * per], k + 1)))
    events.sort(key=lambda e: (e[0], e[1], e[2]))
    with open(args.output, "wb") as out:
        for t, _, _, ev in events:
            if ev[0] == "v":
                _, ftype, au, dist, hevc, no = ev
                encode = 7 if hevc else 0
                fmt = struct.pack("<HHBBH", width, height, 25, 0, (dist & 0x7FF) << 2)
                out.write(record(ftype, encode, 0, no, t, fmt, au))
            else:
                _, encode, block, no = ev
                fmt = struct.pack("<IBBH", 8000, 1, 16, AUDIO_BLOCK)
                out.write(record("A", encode, 0, no, t, fmt, AUDIO_BLOCK_HEAD + block))


def read_records(path):
    """Yields (fields, payload) for every complete frame record of a bare frame file."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 0
    while pos + 40 <= len(data):
        magic, ftype, enc, flags, no, size, t, res, fmt = HEAD.unpack_from(data, pos)
        if magic != b"KVFm" or pos + 40 + size > len(data):
            break
        yield ({"type": chr(ftype), "encode": enc, "flags": flags, "no": no, "size": size,
                "time": t, "reserved": res, "format": fmt}, data[pos + 40:pos + 40 + size])
        pos += (size + 47) & ~7


def make_picture(output, size="640x360", quality=5, noise=0):
    src = ["-f", "lavfi", "-i", "testsrc2=size=%s" % size, "-frames:v", "1"]
    if noise:
        src += ["-vf", "noise=alls=%d:allf=u" % noise]
    if output.endswith(".png"):
        codec = ["-c:v", "png"]
    else:
        codec = ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-q:v", str(quality)]
    tmp = output + ".tmp"
    ffmpeg(src + codec + ["-f", "image2", tmp])
    os.replace(tmp, output)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    m = sub.add_parser("media")
    m.add_argument("outdir")
    m.add_argument("--seconds", type=int, default=10)
    m.add_argument("--size", default="640x360")
    m.add_argument("--slices", type=int, default=4)
    for name in ("frames", "audio-frames"):
        f = sub.add_parser(name)
        f.add_argument("output")
        f.add_argument("--media")
        f.add_argument("--video", default="h264" if name == "frames" else "none",
                       choices=["h264", "h265", "h264_slices", "none"])
        f.add_argument("--audio", "--codec", default="alaw" if name == "frames" else None,
                       choices=list(AUDIO_CODECS) + ["none"], required=name == "audio-frames")
        f.add_argument("--seconds", type=int, default=10)
        f.add_argument("--size", default="640x360")
        f.add_argument("--t0", default="2024-03-09T23:59:50")
        f.add_argument("--vframes", default="")
        f.add_argument("--vdist", type=int)
        f.add_argument("--start-v", action="store_true")
        f.add_argument("--lead-v", action="store_true")
    pic = sub.add_parser("picture")
    pic.add_argument("output")
    pic.add_argument("--size", default="640x360")
    pic.add_argument("--quality", type=int, default=5)
    pic.add_argument("--noise", type=int, default=0)
    a = p.parse_args()
    if a.cmd == "picture":
        make_picture(a.output, a.size, a.quality, a.noise)
    elif a.cmd == "media":
        make_media(a.outdir, a.seconds, a.size, a.slices)
    else:
        make_frames(a)
    return 0


if __name__ == "__main__":
    sys.exit(main())
