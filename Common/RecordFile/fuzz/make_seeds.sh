#!/usr/bin/env bash
# Makes fresh seed files for the record-file fuzz targets from generated media (tiny
# pictures, two seconds). The committed corpus/ is the minimised result of a long run
# over such seeds. Usage: make_seeds.sh <kvrecordfile_bench> <out-dir>
set -euo pipefail
bench=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
mm=$here/../../../tests/media/make_media.py
oracle=$here/../tests/oracle/recfile_oracle.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3
$py "$mm" media "$work/media" --seconds 2 --size 64x36
$py "$mm" frames "$work/a.frm" --media "$work/media" --seconds 2 --size 64x36 --video h264 \
  --audio alaw --vframes 3,7
$py "$mm" frames "$work/b.frm" --media "$work/media" --seconds 2 --size 64x36 --video h265 \
  --audio mulaw --vframes 5 --start-v
# Keep seeds small: the first frames only.
for f in a b; do head -c 6000 "$work/$f.frm" >"$work/$f.cut"; done
$py - "$work" <<'PY'
import sys, struct
w = sys.argv[1]
for f in ("a", "b"):
    d = open("%s/%s.cut" % (w, f), "rb").read()
    pos, out = 0, b""
    while pos + 40 <= len(d):
        size = struct.unpack_from("<I", d, pos + 12)[0]
        end = pos + ((size + 47) & ~7)
        if end > len(d):
            break
        out += d[pos:end]
        pos = end
    open("%s/%s.small" % (w, f), "wb").write(out)
PY
mkdir -p "$out"/{fuzz_frame_records,fuzz_private_file,fuzz_avi_reader,fuzz_avi_repair}
for f in a b; do
  s=$work/$f.small
  { printf '\x00\x04'; cat "$s"; } >"$out/fuzz_frame_records/$f.bare"
  "$bench" convert "$s" "$work/$f.dat" private
  "$bench" convert "$s" "$work/$f.pw.dat" private secret
  $py "$oracle" private-write "$s" "$work/$f.skip.dat" --skip 8 --entry-size 32 --foreign-tag
  $py "$oracle" private-write "$s" "$work/$f.data.dat" --unfinished
  for p in "$work/$f".*dat; do
    { printf '\x05'; cat "$p"; } >"$out/fuzz_private_file/$(basename "$p")"
  done
  { printf '\x00'; cat "$s"; } >"$out/fuzz_private_file/$f.bare"
  "$bench" convert "$s" "$work/$f.avi" avi
  { printf '\x00'; cat "$work/$f.avi"; } >"$out/fuzz_avi_reader/$f.avi"
  cp "$work/$f.avi" "$out/fuzz_avi_repair/$f.closed.avi"
  # An unfinished file: the chunks without idx1 and time table, header flags without 0x10.
  $py - "$work/$f.avi" "$out/fuzz_avi_repair/$f.open.avi" <<'PY'
import sys, struct
d = bytearray(open(sys.argv[1], "rb").read())
end = d.find(b"idx1", 2048)
d = d[:end]
struct.pack_into("<I", d, 44, 0x10020)
open(sys.argv[2], "wb").write(bytes(d))
PY
done
