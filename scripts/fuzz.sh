#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time (FUZZ_SECONDS, default 60) from the
# seed corpus in fuzz/corpus. A crash, a sanitizer report or a leak ends it with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for seeds in fuzz/corpus/*/; do
  name=$(basename "$seeds")
  mkdir -p "$work/$name"
  echo "== fuzz_$name for ${seconds}s =="
  status=0
  build/fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/$name" "$seeds" >"$work/$name.log" 2>&1 || status=$?
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|SUMMARY|==[0-9]+==)' "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$name.log"
    echo "fuzz_$name failed (status $status)"
    exit 1
  fi
done
echo "fuzzing: every target ran ${seconds}s without a finding"
