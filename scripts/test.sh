#!/usr/bin/env bash
# Builds trackrelay and runs every test: the release build, the sanitizer build, the Windows build
# under Wine, the packages (built from their presets, the Debian package installed, served and
# purged, the zip's programs run under Wine; as root), the fuzz targets for FUZZ_SECONDS each
# (default 60), two at a time, and the browser check. Installs what the tests need first when it
# is missing (root).
#
# After the release build, two lanes: its tests, the packages, the browser check and the fuzz
# build and targets; and the Windows build, then the sanitizer build beside the Windows tests. Each
# build's tests start as soon as it stands, beside the other lane, since most of their time is
# spent waiting (shares, farms, faults, timeouts, Wine). At most two GlusterFS volumes and two
# Ceph clusters are up at a time on the machine (cmake/Tests.cmake): the tests on them start
# first in each run and take turns across the runs. Each stage's output is in
# build/test-logs/STAGE.log, its time and result printed as it ends; the status is 1 when any
# stage failed.
#
#   scripts/test.sh --quick   the release build's unit and end-to-end tests alone, without
#                             shares, farms, power cuts, Wine or packages (the quick preset), and
#                             without installing anything: a developer's loop
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --quick ]; then
  exec cmake --workflow --preset quick
fi
if [ "$#" -gt 0 ]; then
  echo "usage: scripts/test.sh [--quick]" >&2
  exit 2
fi

bash scripts/install-deps.sh

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
begun=$SECONDS

# Runs a stage, its output in its log; prints its time and the processor time it took (user and
# system, of all its processes), and the end of its log when it failed.
stage() {
  local name=$1 started=$SECONDS status=0 cpu TIMEFORMAT='%U %S'
  shift
  { time "$@" >"$logs/$name.log" 2>&1; } 2>"$logs/$name.cpu" || status=$?
  cpu=$(awk '{printf "%d", $1 + $2}' "$logs/$name.cpu")
  if [ "$status" -eq 0 ]; then
    echo "== $name: passed in $((SECONDS - started)) s, $cpu s of processor time (at $((SECONDS - begun)) s)"
  else
    echo "== $name: FAILED (status $status) in $((SECONDS - started)) s; the end of $logs/$name.log:"
    tail -n 40 "$logs/$name.log" | sed 's/^/   /'
    touch "$logs/$name.failed"
  fi
  return "$status"
}
# The packages compile the files that the release build (the Debian package) and the Windows
# build (the zip) compile: those three go through ccache, its cache in build/ccache, so that the
# packages take their files from it. Paths are hashed relative to the checkout (base_dir), and
# the compiler's own list of headers is used (depend mode), so that a miss costs no second pass of
# the preprocessor. The sanitizer and fuzz builds share nothing and compile without it.
shared=()
if command -v ccache >/dev/null; then
  export CCACHE_DIR=$PWD/build/ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_DEPEND=1
  shared=(env CMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Each build: configured and built.
default_build() { "${shared[@]}" cmake --preset default && cmake --build --preset default; }
windows_build() { "${shared[@]}" cmake --preset windows && cmake --build --preset windows; }
asan_build() { cmake --preset asan && cmake --build --preset asan; }
fuzz_build() { cmake --preset fuzz && cmake --build --preset fuzz; }

# Everything else needs the release build: its programs, and its harness for the Windows build's
# end-to-end tests (cmake/WineTests.cmake).
if ! stage default-build default_build; then
  exit 1
fi

lanes=()
# The release build's tests; then, in its folder once they are done, the packages (built from
# their presets, their files from ccache) and the browser check; then the fuzz build and its
# targets, which share nothing and so wait here rather than behind the sanitizer build.
{
  stage default-tests ctest --preset default || true
  stage package "${shared[@]}" ctest --preset package || true
  stage browser bash scripts/browser-check.sh || true
  # The targets at a lower priority: the sanitizer build beside them is the run's last stage, and
  # they run for their seconds by the clock however much of the processor they get. (The fuzz
  # build at that priority took 398 s against 212 s and so ended the run itself.)
  if stage fuzz-build fuzz_build; then
    stage fuzz nice -n 10 ctest --preset fuzz || true
  fi
} &
lanes+=($!)

# The Windows build, its tests started beside the sanitizer build, then the sanitizer build's tests.
{
  if stage windows-build windows_build; then
    stage windows-tests ctest --preset windows &
    windows=$!
  fi
  if stage asan-build asan_build; then
    stage asan-tests ctest --preset asan || true
  fi
  wait ${windows:-} || true
} &
lanes+=($!)

wait "${lanes[@]}" || true
# The stages that failed, by their marks (a glob that matches nothing is no failure).
failed=
for mark in "$logs"/*.failed; do
  [ -e "$mark" ] || continue
  mark=${mark##*/}
  failed+="${mark%.failed} "
done
echo "== the whole run: $((SECONDS - begun)) s${failed:+; FAILED: $failed}"
[ -z "$failed" ]
