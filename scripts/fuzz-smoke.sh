#!/usr/bin/env bash
# Runs a libFuzzer target briefly over its seed corpus (copied, so the tree stays clean).
# Usage: fuzz-smoke.sh <fuzzer> <seed-dir> [seconds]
# Inputs may reach 256 KiB (KV_FUZZ_MAX_LEN), above the 100 KiB a message body holds
# inline, so that heap bodies are received whole.
set -euo pipefail
fuzzer=$1 seeds=$2 secs=${3:-${KV_FUZZ_SECONDS:-20}} maxlen=${KV_FUZZ_MAX_LEN:-262144}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
if [ -d "$seeds" ]; then cp -r "$seeds"/. "$work/corpus/"; fi
# Replay every seed, then explore for a few seconds.
"$fuzzer" -runs=0 "$work/corpus" >"$work/replay.log" 2>&1 || { cat "$work/replay.log"; exit 1; }
"$fuzzer" -max_total_time="$secs" -max_len="$maxlen" -rss_limit_mb=2048 -timeout=25 "$work/corpus" >"$work/run.log" 2>&1 \
  || { tail -60 "$work/run.log"; exit 1; }
tail -2 "$work/run.log"
