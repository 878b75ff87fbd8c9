#!/bin/bash
# Runs a command against an X server of its own: xvfb_run.sh WxH CMD...
# The server starts in the caller's network namespace (its sockets stay there) and ends
# with the command. DISPLAY and QT_QPA_PLATFORM=xcb are set for the command.
set -euo pipefail
size=${1:?WxH}
shift
dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$dir/display" >"$dir/log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 200); do
    [[ -s $dir/display ]] && break
    kill -0 $xvfb 2>/dev/null || { cat "$dir/log" >&2; exit 2; }
    sleep 0.05
done
[[ -s $dir/display ]] || { echo "xvfb_run.sh: no display" >&2; exit 2; }
export DISPLAY=:$(head -1 "$dir/display") QT_QPA_PLATFORM=xcb KV_SCREEN_SIZE=$size
"$@"
