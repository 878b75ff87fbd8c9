#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, then builds and runs every test: the plain build,
# ASan+UBSan, TSan, and a short run of every libFuzzer target over its seed corpus.
# Network tests run in private namespaces and need root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"

jobs=$(nproc)
out=${KV_BUILD_ROOT:-$top/build}
export CCACHE_DIR=${CCACHE_DIR:-$out/.ccache}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
status=0

step() { # name, build dir, cmake args..., then -- ctest args...
  local name=$1 dir=$2; shift 2
  local cm=() ct=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cm+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ct=("$@")
  echo "=== $name ==="
  cmake -G Ninja -S "$top" -B "$dir" "${cm[@]}" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  ninja -C "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log"; return 1; }
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 "${ct[@]}")
}

mkdir -p "$out"
step plain "$out/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
# Sanitizer builds skip the slow real-time cases, which the plain build runs.
step asan "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=address -DKV_BENCH=OFF -- -E "Slow|kvsim_selftest|netns_harness" || status=1
step tsan "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=thread -DKV_BENCH=OFF -- -E "Slow|kvsim_selftest|netns_harness" || status=1
step fuzz "$out/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON -DKV_TESTS=OFF -DKV_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -- -L fuzz || status=1

if [ $status -ne 0 ]; then
  echo "SOME TEST STEPS FAILED"
else
  echo "ALL TEST STEPS PASSED"
fi
exit $status
