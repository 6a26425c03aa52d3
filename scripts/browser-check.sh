#!/usr/bin/env bash
# The browser check: the demo (scripts/demo.sh) serves its tracking form with lighttpd, trackrelay
# behind it and the remote-host simulator answering; headless Chromium (Debian's, driven by
# playwright-core) submits the form by GET and by POST and must see each relayed answer. The
# screenshots are kept in build/browser/.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target trackrelay trackrelay-remote-host >/dev/null
# playwright-core as the lock file fixes it; it brings no browser of its own.
npm ci --prefix browser --no-audit --no-fund --loglevel=error

work=$(mktemp -d)
demo_pid=
cleanup() {
  if [ -n "$demo_pid" ]; then
    kill -TERM "$demo_pid" 2>/dev/null || true
    wait "$demo_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A demo of its own: a fresh state folder, so its counter starts at 1, on a free port.
scripts/demo.sh --serve --port any --build-dir build/default --state "$work/state" </dev/null >"$work/demo.log" 2>&1 &
demo_pid=$!
url=
for ((i = 0; i < 300; i++)); do
  url=$(sed -n 's/^trackrelay demo: open \(http[^ ]*\)$/\1/p' "$work/demo.log")
  [ -n "$url" ] && break
  kill -0 "$demo_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "the demo did not start:" >&2
  cat "$work/demo.log" >&2
  exit 1
fi

mkdir -p build/browser
rm -f build/browser/*.png
status=0
TRACKRELAY_FORM_URL=$url TRACKRELAY_FIRST_NUMBER=1 TRACKRELAY_SCREENSHOTS="$PWD/build/browser" \
  node --test browser/ || status=$?
if [ "$status" -ne 0 ]; then
  echo "== the demo's output" >&2
  tail -n 30 "$work/demo.log" >&2
  for log in "$work"/state/logs/*.log; do [ -s "$log" ] && { echo "== $log"; tail -n 20 "$log"; } >&2; done
  exit "$status"
fi
cmp -s <(printf ' 3 \r\n') "$work/state/drives/c/woe/track.txt" ||
  { echo "the counter did not move on to 3 after two requests" >&2; exit 1; }
echo "browser check: the answers are in build/browser/"
