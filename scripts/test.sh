#!/usr/bin/env bash
# Builds trackrelay and runs every test, each a preset's workflow: the release build, the
# sanitizer build, the Windows build under Wine, the packages (built from their presets, the
# Debian package installed, served and purged, the zip's programs run under Wine; as root), the
# fuzz targets for FUZZ_SECONDS each (default 60), two at a time; then the browser check.
# Installs what the tests need first when it is missing (root).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in default asan windows package fuzz; do
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done

# Headless Chromium submits the demo's form and sees the relayed answers.
echo "== browser =="
bash scripts/browser-check.sh
