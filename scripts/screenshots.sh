#!/usr/bin/env bash
# Screenshots of the title bar and tool bar (three editions) and of the About and warning
# boxes, in English, German and Chinese, taken on a private Xvfb screen of 1920x1080.
#   scripts/screenshots.sh [build dir]      (default build/dev; writes docs/screenshots/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/dev}
shots=$build/app/kvshots
out=$top/docs/screenshots
[ -x "$shots" ] || { echo "build kvshots first: ninja -C $build kvshots" >&2; exit 1; }
mkdir -p "$out"

# One X server for every picture; kvshots grabs with ImageMagick's import.
xvfb-run -a -s "-screen 0 1920x1080x24" bash -s "$shots" "$out" <<'RUN'
set -euo pipefail
shots=$1 out=$2
for lang in ENU:en GER:de CHS:zh; do
  file=${lang%%:*}.xml tag=${lang##*:}
  for edition in 2 13 20; do
    "$shots" "$edition" "$file" bars "$out/bars-e$edition-$tag.png"
  done
  "$shots" 0 "$file" about "$out/about-$tag.png"
  "$shots" 0 "$file" warning "$out/warning-$tag.png"
done
RUN
ls -1 "$out"
