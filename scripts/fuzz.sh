#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time from its seed corpus in fuzz/corpus.
# A crash, a sanitizer report, a leak or a broken property ends it with a failure.
#   FUZZ_SECONDS   time per target (default 60)
#   FUZZ_JOBS      targets run at the same time (default 1)
#   FUZZ_TARGETS   names of the targets to run (default: every folder in fuzz/corpus)
#   FUZZ_BUILD     build folder (default build/fuzz, the fuzz preset's)
#   FUZZ_KEEP      a folder to keep each target's grown corpus and log in (default: thrown away)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
build=${FUZZ_BUILD:-build/fuzz}
if [ -z "${FUZZ_TARGETS:-}" ]; then
  FUZZ_TARGETS=$(for seeds in fuzz/corpus/*/; do basename "$seeds"; done)
fi
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2
if [ -n "${FUZZ_KEEP:-}" ]; then
  work=$FUZZ_KEEP
  mkdir -p "$work"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# One target: its grown corpus in $work/<name>, its log in $work/<name>.log, findings beside.
run_target() {
  local name=$1
  mkdir -p "$work/$name"
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" "fuzz/corpus/$name" >"$work/$name.log" 2>&1
}

# Prints what a finished target did, and its log's end when it failed.
report_target() {
  local name=$1 status=$2
  echo "== fuzz_$name, ${seconds}s: status $status =="
  grep -E '^#[0-9]+.*DONE' "$work/$name.log" | tail -n 1 || true
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|SUMMARY|property broken|==[0-9]+==)' \
    "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then tail -n 60 "$work/$name.log"; fi
}

declare -A running=()
failed=()
finish_one() {
  local pid status=0
  wait -n -p pid "${!running[@]}" || status=$?
  report_target "${running[$pid]}" "$status"
  [ "$status" -eq 0 ] || failed+=("${running[$pid]}")
  unset "running[$pid]"
}
for name in $FUZZ_TARGETS; do
  [ -d "fuzz/corpus/$name" ] || { echo "no seed corpus fuzz/corpus/$name" >&2; exit 2; }
  while [ "${#running[@]}" -ge "$jobs" ]; do finish_one; done
  echo "-- fuzz_$name started"
  run_target "$name" &
  running[$!]=$name
done
while [ "${#running[@]}" -gt 0 ]; do finish_one; done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing: findings in ${failed[*]} (inputs in $work)"
  [ -n "${FUZZ_KEEP:-}" ] || trap - EXIT  # keep the findings for a look
  exit 1
fi
echo "fuzzing: every target ran ${seconds}s without a finding"
