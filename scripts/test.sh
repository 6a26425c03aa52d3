#!/usr/bin/env bash
# Builds trackrelay and runs every test: the release build and the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in default asan; do
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done
