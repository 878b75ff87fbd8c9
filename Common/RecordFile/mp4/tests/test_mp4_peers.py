"""MP4 record files checked by independent peers: ffprobe, ffmpeg, mediainfo and the
box walker. Frame files come from tests/media/make_media.py (ffmpeg encoders); the MP4
files from kvmp4_tool (CKVMP4RecordFile)."""
import json
import math
import os
import struct
import subprocess
import sys
import unittest

import g726_ref
import mp4_boxes

TOOL = os.environ.get("KVMP4_TOOL", "")
WORK = os.environ.get("KVMP4_WORK", "/tmp/kvmp4_peers")
MAKE_MEDIA = os.environ.get("KV_MAKE_MEDIA", "")
SECONDS = 4
T0 = 1710028790 * 1000000  # 2024-03-09T23:59:50 UTC, make_media's default

sys.path.insert(0, os.path.dirname(MAKE_MEDIA))
import make_media  # noqa: E402


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, **kw)


def frames(path):
    return list(make_media.read_records(path))


def four_byte_codes(payload):
    """Every NAL unit behind a 4-byte start code, as the reader gives video back."""
    out = b""
    nals = make_media.split_nals(payload)
    for i, (start, sc, nal) in enumerate(nals):
        end = nals[i + 1][0] if i + 1 < len(nals) else len(payload)
        unit = payload[nal:end].rstrip(b"\x00") if i + 1 < len(nals) else payload[nal:end]
        unit = unit.lstrip(b"\x00")
        if unit:
            out += b"\x00\x00\x00\x01" + unit
    return out


def normalized(records):
    out = []
    for h, p in records:
        if h["type"] != "A":
            p = four_byte_codes(p)
            h = dict(h, size=len(p))
        out.append((h, p))
    return out


def strip_heads(payloads):
    out = b""
    for p in payloads:
        assert p[:2] == b"\x00\x01"
        out += p[4:]
    return out


class Peers(unittest.TestCase):
    files = {}

    @classmethod
    def setUpClass(cls):
        os.makedirs(WORK, exist_ok=True)
        media = os.path.join(WORK, "media")
        plans = {
            "h264": ["--video", "h264", "--audio", "alaw"],
            "h265": ["--video", "h265", "--audio", "mulaw"],
            "slices": ["--video", "h264_slices", "--audio", "pcm"],
            "virtual": ["--video", "h264", "--audio", "pcm", "--vframes", "10,20,60"],
            "startv": ["--video", "h265", "--audio", "alaw", "--vframes", "5", "--start-v"],
        }
        for rate in (16, 24, 32, 40):
            plans["g726_%d" % rate] = ["--video", "h264", "--audio", "g726_%d" % rate]
        for name, args in plans.items():
            kvf = os.path.join(WORK, name + ".kvf")
            if not os.path.exists(kvf):
                subprocess.run([sys.executable, MAKE_MEDIA, "frames", kvf, "--media", media,
                                "--seconds", str(SECONDS)] + args, check=True)
            cls.files[name] = kvf
        for name in list(plans):
            cls.write(name, name)
        cls.write("large", "h264", "--large")

    @classmethod
    def write(cls, out_name, src, *extra):
        mp4 = os.path.join(WORK, out_name + ".mp4")
        r = run([TOOL, "write", cls.files[src], mp4] + list(extra))
        assert r.returncode == 0, r.stdout + r.stderr
        cls.files[out_name + ".mp4"] = mp4

    def mp4(self, name):
        return self.files[name + ".mp4"]

    def video_source(self, name, ext):
        """The video payloads of a frame file as one elementary stream."""
        path = os.path.join(WORK, name + "_src." + ext)
        with open(path, "wb") as f:
            for h, p in frames(self.files[name]):
                if h["type"] != "A":
                    f.write(p)
        return path

    def assert_silent(self, mp4):
        r = run(["ffprobe", "-v", "error", "-show_streams", "-show_packets", mp4])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, b"", mp4)
        r = run(["ffmpeg", "-nostdin", "-v", "error", "-i", mp4, "-f", "null", "-"])
        self.assertEqual(r.stderr, b"", mp4)

    def framemd5(self, path, *opts):
        r = run(["ffmpeg", "-nostdin", "-v", "error"] + list(opts) + ["-i", path, "-map", "0:v",
                 "-f", "framemd5", "-"])
        self.assertEqual(r.returncode, 0, r.stderr)
        return [line.split(",")[-1].strip() for line in r.stdout.decode().splitlines()
                if line and not line.startswith("#")]

    def test_ffprobe_and_ffmpeg_read_every_file_silently(self):
        # ("startv" leaves out the frames between its 'I' and 'V' frames: not decodable.)
        for name in ("h264", "h265", "slices", "virtual", "large", "g726_32"):
            with self.subTest(name):
                self.assert_silent(self.mp4(name))

    def test_key_flags_and_pts_follow_the_frames(self):
        for name in ("h264", "h265", "virtual"):
            with self.subTest(name):
                video = [h for h, _ in frames(self.files[name]) if h["type"] != "A"]
                r = run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                         "packet=pts,flags", "-of", "csv=p=0", self.mp4(name)])
                packets = [line.split(",") for line in r.stdout.decode().split()]
                self.assertEqual(len(packets), len(video))
                for h, (pts, flags) in zip(video, packets):
                    self.assertEqual("K" in flags, h["type"] == "I")
                    self.assertEqual(int(pts), (h["time"] - video[0]["time"]) * 90000 // 1000000)

    def test_decoded_pictures_equal_the_source(self):
        for name, ext in (("h264", "264"), ("h265", "265"), ("slices", "264"), ("large", "264")):
            src_name = "h264" if name == "large" else name
            with self.subTest(name):
                src = self.video_source(src_name, ext)
                ours = self.framemd5(self.mp4(name))
                self.assertEqual(ours, self.framemd5(src, "-r", "25"))
                self.assertEqual(len(ours), SECONDS * 25)

    def test_configuration_records_equal_ffmpegs(self):
        for name, ext, box in (("h264", "264", "avcC"), ("h265", "265", "hvcC")):
            with self.subTest(name):
                src = self.video_source(name, ext)
                ref = os.path.join(WORK, name + "_ffmpeg.mp4")
                tag = ["-tag:v", "hvc1"] if box == "hvcC" else []
                subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-r", "25", "-i", src,
                                "-c", "copy"] + tag + [ref], check=True)
                ours = mp4_boxes.tracks(open(self.mp4(name), "rb").read())[0][box]
                theirs = mp4_boxes.tracks(open(ref, "rb").read())[0][box]
                if box == "hvcC":
                    # Parameter-set arrays compared; SEI arrays are optional in the record.
                    for rec in (ours, theirs):
                        rec["arrays"] = {t: a for t, a in rec["arrays"].items() if t in (32, 33, 34)}
                        rec.pop("avg_frame_rate")
                        rec.pop("constant_frame_rate")
                    self.assertEqual(sorted(ours["arrays"]), [32, 33, 34])
                self.assertEqual(ours, theirs)
                self.assertIn("chroma_format", ours)

    def test_mediainfo_identifies_both_tracks(self):
        for name, vformat, aformat in (("h264", "AVC", "A-Law"), ("h265", "HEVC", "U-Law")):
            with self.subTest(name):
                r = run(["mediainfo", "--Output=JSON", self.mp4(name)])
                info = json.loads(r.stdout)
                kinds = {t["@type"]: t for t in info["media"]["track"]}
                self.assertEqual(kinds["Video"]["Format"], vformat)
                self.assertEqual(kinds["Audio"]["Format_Profile"], aformat)
                self.assertEqual(kinds["Video"]["Width"], "640")

    def test_sample_tables_and_saved_heads(self):
        data = open(self.mp4("h264"), "rb").read()
        recs = frames(self.files["h264"])
        video = [(h, p) for h, p in recs if h["type"] != "A"]
        audio = [(h, p) for h, p in recs if h["type"] == "A"]
        v, a = mp4_boxes.tracks(data)
        self.assertEqual((v["handler"], a["handler"]), ("vide", "soun"))
        self.assertEqual(v["stts"], [(len(video), 3600)])
        self.assertEqual(a["stts"], [(len(audio), 320)])
        self.assertEqual(v["stss"], [i + 1 for i, (h, _) in enumerate(video) if h["type"] == "I"])
        self.assertEqual(v["stsz"]["sizes"], [len(four_byte_codes(p)) for _, p in video])
        self.assertEqual(a["stsz"], {"common": 320, "count": len(audio), "sizes": []})
        self.assertEqual(a["audio"], {"version": 0, "channels": 1, "bits": 16, "rate": 8000})
        self.assertEqual(a["entry_size"], 36)
        saved = mp4_boxes.free_records(data)
        self.assertEqual(sorted(saved), [1, 2])
        for tid, items in ((1, video), (2, audio)):
            heads = saved[tid]["records"]
            self.assertEqual(len(heads), len(items))
            self.assertEqual(saved[tid]["offset"], saved[tid]["at"])
            for rec, (h, p) in zip(heads, items):
                self.assertEqual(struct.unpack_from("<QI", rec, 16)[0], h["time"])
                self.assertEqual(rec[40:48], p[:8])
        ranges = mp4_boxes.sample_ranges(v)
        self.assertEqual(len(ranges), len(video))
        for (off, size), (_, p) in zip(ranges, video):
            sample = bytearray(data[off:off + size])
            pos = 0
            while pos + 4 <= len(sample):  # length prefixes back to start codes
                n = struct.unpack_from(">I", sample, pos)[0]
                sample[pos:pos + 4] = b"\x00\x00\x00\x01"
                pos += 4 + n
            self.assertEqual(bytes(sample), four_byte_codes(p))

    def test_g711_comes_out_byte_equal(self):
        for name, fmt in (("h264", "alaw"), ("h265", "mulaw")):
            with self.subTest(fmt):
                r = run(["ffmpeg", "-nostdin", "-v", "error", "-i", self.mp4(name), "-map", "0:a",
                         "-c", "copy", "-f", fmt, "-"])
                self.assertEqual(r.stderr, b"")
                src = strip_heads(p for h, p in frames(self.files[name]) if h["type"] == "A")
                self.assertEqual(r.stdout, src)

    def g726_pcm(self, rate):
        """Our PCM of a G.726 file, ffmpeg's decoding of the same codes, and the codes."""
        name = "g726_%d" % rate
        audio_frames = [p for h, p in frames(self.files[name]) if h["type"] == "A"]
        codes = strip_heads(audio_frames)
        raw = os.path.join(WORK, name + "_codes.raw")
        with open(raw, "wb") as f:
            f.write(codes)
        r = run(["ffmpeg", "-nostdin", "-v", "error", "-f", "g726le", "-code_size",
                 str(rate // 8), "-ar", "8000", "-ac", "1", "-i", raw, "-f", "s16le", "-"])
        self.assertEqual(r.returncode, 0, r.stderr)
        ref = list(struct.unpack("<%dh" % (len(r.stdout) // 2), r.stdout))
        with open(self.mp4(name), "rb") as f:
            data = f.read()
        audio = mp4_boxes.tracks(data)[1]
        self.assertEqual(audio["entry"], "6d730001")
        self.assertEqual(audio["audio"]["bits"], 16)
        pcm = b"".join(data[o:o + s] for o, s in mp4_boxes.sample_ranges(audio))
        ours = list(struct.unpack("<%dh" % (len(pcm) // 2), pcm))
        self.assertEqual(len(ours), len(codes) * 8 // (rate // 8))
        # The saved heads tell what the samples now are: PCM, 16 bits, the PCM bytes.
        heads = mp4_boxes.free_records(data)[2]["records"]
        sizes = [s for _, s in mp4_boxes.sample_ranges(audio)]
        self.assertEqual(len(heads), len(audio_frames))
        for head, size in zip(heads, sizes):
            self.assertEqual((head[5], head[37]), (0, 16))
            self.assertEqual(struct.unpack_from("<I", head, 12)[0], size)
            self.assertEqual(head[40:48], bytes(8))
        self.assertGreater(min(len(ours), len(ref)), 8000 * (SECONDS - 1))
        return ours, ref, codes

    @staticmethod
    def snr(ref, ours):
        n = min(len(ours), len(ref))
        sig = sum(x * x for x in ref[:n])
        err = sum((x - y) ** 2 for x, y in zip(ref[:n], ours[:n]))
        return 10 * math.log10(sig / err) if err else 200.0

    # Why our PCM is not within 40 dB of ffmpeg's decoding of the same codes: ffmpeg's g726
    # decoder departs from the G.726 arithmetic in two steps (see g726_ref.py): the speed
    # mix of the scale factors (all rates) and the predictor leak at 40 kbit/s (2^-8 for
    # 2^-9). The adaptive state then drifts: 25.6, 25.7, 37.9 and 2.5 dB at 16, 24, 32 and
    # 40k. The packing agrees (codes low bits first, spandsp packing 2): the other order
    # gives 0.3 dB and below. The reference decoder proves both halves sample for sample:
    # with the recommendation's arithmetic it equals our PCM, with ffmpeg's two steps it
    # equals ffmpeg's output. So the goal below stays an expected failure.
    def test_g726_equals_reference_decoder(self):
        for rate in (16, 24, 32, 40):
            with self.subTest(rate):
                ours, ref, codes = self.g726_pcm(rate)
                units = g726_ref.unpack_le(codes, rate // 8)
                self.assertEqual(ours, g726_ref.decode(units, rate // 8))
                self.assertEqual(ref, g726_ref.decode(units, rate // 8, itu_mix=False,
                                                      leak40=False))

    def test_g726_decodes_close_to_ffmpeg(self):
        for rate, bound in ((16, 24.0), (24, 24.0), (32, 35.0)):
            with self.subTest(rate):
                ours, ref, _ = self.g726_pcm(rate)
                self.assertGreaterEqual(self.snr(ref, ours), bound)

    @unittest.expectedFailure
    def test_g726_reaches_forty_db_against_ffmpeg(self):
        for rate in (16, 24, 32, 40):
            ours, ref, _ = self.g726_pcm(rate)
            self.assertGreaterEqual(self.snr(ref, ours), 40.0, rate)

    def test_large_layout_seam(self):
        data = open(self.mp4("large"), "rb").read()
        m = mp4_boxes.mdat(data)
        self.assertEqual(m["header"], 16)
        for t in mp4_boxes.tracks(data):
            self.assertIn("co64", t)
            self.assertNotIn("stco", t)
        small = open(self.mp4("h264"), "rb").read()
        self.assertEqual(mp4_boxes.tracks(small)[0]["stco"], mp4_boxes.tracks(data)[0]["co64"])

    def read_back(self, name):
        out = os.path.join(WORK, name + "_back.kvf")
        r = run([TOOL, "read", self.mp4(name), out])
        self.assertEqual(r.returncode, 0, r.stdout)
        return frames(out)

    def test_reader_gives_the_frames_back(self):
        for name in ("h264", "h265", "virtual", "large"):
            src_name = "h264" if name == "large" else name
            with self.subTest(name):
                src = normalized(frames(self.files[src_name]))
                back = self.read_back(name)
                self.assertEqual(len(back), len(src))
                for (h1, p1), (h2, p2) in zip(src, back):
                    self.assertEqual(h1, h2)
                    self.assertEqual(p1, p2)

    def test_reader_marks_the_reference_of_a_leading_virtual_frame(self):
        src = normalized(frames(self.files["startv"]))
        back = self.read_back("startv")
        self.assertEqual(len(back), len(src))
        self.assertEqual(back[0][0]["flags"], src[0][0]["flags"] | 0x100)
        self.assertEqual(back[1:], src[1:])

    def test_reader_refuses_other_files(self):
        src = self.video_source("h264", "264")
        ref = os.path.join(WORK, "other.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-r", "25", "-i", src, "-c", "copy",
                        ref], check=True)
        r = run([TOOL, "read", ref, os.path.join(WORK, "other.kvf")])
        self.assertIn(b"open=-6", r.stdout)


if __name__ == "__main__":
    unittest.main()
