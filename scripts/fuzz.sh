#!/usr/bin/env bash
# The fuzz workflow: builds the fuzz preset and runs each fuzz target as its test, for a bounded
# time from its seed corpus in fuzz/corpus, two at a time. A crash, a sanitizer report, a leak
# or a broken property fails it.
#   FUZZ_SECONDS   time per target (default 60)
#   FUZZ_KEEP      a folder to keep each target's grown corpus, log and findings in (default:
#                  build/fuzz/fuzz/runs/<target>, emptied at each run's start)
# Options are ctest's, for a part: scripts/fuzz.sh -R form_input, scripts/fuzz.sh -j 4.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tests run in the build folder: a relative FUZZ_KEEP is taken from the top of the sources.
if [ -n "${FUZZ_KEEP:-}" ]; then FUZZ_KEEP=$(realpath -m "$FUZZ_KEEP"); export FUZZ_KEEP; fi
if [ "$#" -eq 0 ]; then
  exec cmake --workflow --preset fuzz
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
exec ctest --preset fuzz "$@"
