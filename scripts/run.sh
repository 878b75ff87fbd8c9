#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the product and runs it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
out=${KV_BUILD_ROOT:-$top/build}/release
cmake -G Ninja -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF -DKV_BENCH=OFF
ninja -C "$out" -j"$(nproc)"
if [ -x "$out/app/kvtool" ]; then
  exec "$out/app/kvtool" "$@"
fi
echo "Built the client libraries in $out (the desktop tool is not part of this build yet):"
find "$out" -maxdepth 3 -name '*.a' -printf '  %P\n'
