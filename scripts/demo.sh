#!/usr/bin/env bash
# Builds trackrelay and runs it once, as a web server would, on a scratch drive root.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target trackrelay >/dev/null
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/c/woe" "$root/r/fromnt" "$root/r/tont"
printf ' 41 \r\n' > "$root/c/woe/track.txt"
echo "== a request whose CONTENT_LENGTH overflows =="
env -i TRACKRELAY_DRIVE_ROOT="$root" REQUEST_METHOD=POST CONTENT_LENGTH=99999999999 \
  SCRIPT_NAME=/cgi-bin/trackrelay build/default/trackrelay || echo "(exit status $?)"
