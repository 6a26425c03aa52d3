#!/usr/bin/env bash
# Builds trackrelay and runs every test: the release build, the sanitizer build, the Windows
# build under Wine, the fuzz targets for a bounded time, and the browser check.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in default asan windows; do
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done

# Each fuzz target for about a minute from its seeds, two at a time: a finding fails the run.
echo "== fuzz =="
FUZZ_SECONDS=60 FUZZ_JOBS=2 bash scripts/fuzz.sh

# Headless Chromium submits the demo's form and sees the relayed answers.
echo "== browser =="
bash scripts/browser-check.sh
