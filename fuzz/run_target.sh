#!/usr/bin/env bash
# One fuzz target's run, the fuzz build's test of it: FUZZ_SECONDS (default 60) from a copy of
# its seeds, which the run grows. A crash, a sanitizer report, a leak or a broken property fails
# it, and leaves the input that did it beside the grown corpus.
#   usage: run_target.sh TARGET SEEDS WORK
#   WORK        the run's folder, emptied first: corpus/, log, findings (crash-*, leak-*, ...)
#   FUZZ_KEEP   a folder to run in instead, as FUZZ_KEEP/<target>, not emptied: a later run goes
#               on from the corpus an earlier one grew
set -euo pipefail
target=$1 seeds=$2 work=$3
name=$(basename "$target")
seconds=${FUZZ_SECONDS:-60}
[ -d "$seeds" ] || { echo "no seed corpus $seeds" >&2; exit 2; }
if [ -n "${FUZZ_KEEP:-}" ]; then
  work=$FUZZ_KEEP/$name
else
  rm -rf "$work"
fi
mkdir -p "$work/corpus"
cp -R "$seeds/." "$work/corpus/"

status=0
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1 || status=$?

echo "== $name, ${seconds}s: status $status (corpus, log and findings in $work)"
grep -E '^#[0-9]+.*DONE' "$work/log" | tail -n 1 || true
grep -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|SUMMARY|property broken|==[0-9]+==)' \
  "$work/log" || true
if [ "$status" -ne 0 ]; then tail -n 60 "$work/log"; fi
exit "$status"
