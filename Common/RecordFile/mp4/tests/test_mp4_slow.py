"""A 4.3 GB MP4 record file: the 64-bit "mdat" size and "co64" that real size brings,
read by ffprobe and by our reader. Runs only when the disk has room for it."""
import mmap
import os
import re
import subprocess
import sys
import unittest

import mp4_boxes

TOOL = os.environ.get("KVMP4_TOOL", "")
WORK = os.environ.get("KVMP4_WORK", "/tmp/kvmp4_peers")
MAKE_MEDIA = os.environ.get("KV_MAKE_MEDIA", "")
TARGET = 4300000000


class Large4GSlow(unittest.TestCase):
    def test_four_gigabytes_use_the_64_bit_layout(self):
        os.makedirs(WORK, exist_ok=True)
        st = os.statvfs(WORK)
        free = st.f_bavail * st.f_frsize
        if free < TARGET * 1.2 + (2 << 30):
            self.skipTest("%d bytes free, not enough for %d" % (free, TARGET))
        kvf = os.path.join(WORK, "slow.kvf")
        mp4 = os.path.join(WORK, "slow.mp4")
        subprocess.run([sys.executable, MAKE_MEDIA, "frames", kvf, "--media", os.path.join(WORK, "slow_media"),
                        "--seconds", "4", "--video", "h264", "--audio", "alaw"], check=True)
        try:
            r = subprocess.run([TOOL, "write", kvf, mp4, "--grow-to", str(TARGET)], capture_output=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            written = int(re.search(rb"frames=(\d+)", r.stdout).group(1))
            self.assertGreater(os.path.getsize(mp4), TARGET)
            with open(mp4, "rb") as f:
                data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
                self.assertEqual(mp4_boxes.mdat(data)["header"], 16)
                video, audio = mp4_boxes.tracks(data)
                self.assertIn("co64", video)
                self.assertIn("co64", audio)
                self.assertGreater(video["co64"][-1], 1 << 32)
                saved = mp4_boxes.free_records(data)
                self.assertEqual(sum(len(v["records"]) for v in saved.values()), written)
                data.close()
            r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                "packet=pos", "-of", "csv=p=0", mp4], capture_output=True)
            self.assertEqual(r.stderr, b"")
            positions = [int(x) for x in r.stdout.split()]
            self.assertEqual(len(positions), video["stsz"]["count"])
            self.assertGreater(max(positions), 1 << 32)
            r = subprocess.run([TOOL, "read", mp4, "/dev/null"], capture_output=True)
            self.assertEqual(r.returncode, 0, r.stdout)
            self.assertEqual(int(re.search(rb"frames=(\d+)", r.stdout).group(1)), written)
        finally:
            for p in (mp4, kvf):
                if os.path.exists(p):
                    os.remove(p)


if __name__ == "__main__":
    unittest.main()
