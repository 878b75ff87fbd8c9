#!/usr/bin/env bash
# Makes the media and frame files that the record-file tests read, into DIR (once).
set -euo pipefail
dir=$1
mm=$(cd "$(dirname "$0")/../../../tests/media" && pwd)/make_media.py
mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
[ -f "$dir/.done" ] && exit 0
py=/usr/bin/python3
$py "$mm" media "$dir/media"
$py "$mm" frames "$dir/h264_alaw.frm" --media "$dir/media" --video h264 --audio alaw
$py "$mm" frames "$dir/h265_mulaw.frm" --media "$dir/media" --video h265 --audio mulaw
$py "$mm" frames "$dir/h264_pcm.frm" --media "$dir/media" --video h264 --audio pcm
$py "$mm" frames "$dir/h264_vframes.frm" --media "$dir/media" --video h264 --audio alaw \
  --vframes 10,20,60,110,175
$py "$mm" frames "$dir/h265_startv.frm" --media "$dir/media" --video h265 --audio mulaw \
  --vframes 10,60,120 --start-v
$py "$mm" frames "$dir/h264_slices.frm" --media "$dir/media" --video h264_slices --audio none
for c in g726_16 g726_24 g726_32 g726_40; do
  $py "$mm" frames "$dir/h264_$c.frm" --media "$dir/media" --video h264 --audio $c
done
touch "$dir/.done"
