#!/usr/bin/env bash
# Runs one libFuzzer target of build-fuzz for a bounded time on a copy of its
# seed corpus; a failure prints the log's end and fails.
# Usage: tools/fuzz.sh TARGET SEED_DIR SECONDS MAX_LEN
set -euo pipefail
target=$1 seeds=$2 seconds=$3 max_len=$4
corpus=build-fuzz/corpus-$target log=build-fuzz/$target.log
rm -rf "$corpus" && mkdir -p "$corpus" && cp "$seeds"/* "$corpus"/
if ! "build-fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
     -artifact_prefix=build-fuzz/ "$corpus" >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "fuzzing $target found a failure: build-fuzz/crash-*"
  exit 1
fi
tail -n 6 "$log"
