#!/usr/bin/env bash
# Builds trackrelay and runs every test: the release build, the sanitizer build, and the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in default asan windows; do
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done
