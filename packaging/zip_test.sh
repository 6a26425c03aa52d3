#!/usr/bin/env bash
# The Windows zip: unpacked, it must hold the three programs, README.txt, the program's and the
# check's manual pages and a web.config that maps trackrelay.exe to IIS's CGI module with a CGI time limit; and
# its programs must work under Wine: trackrelay.exe, with r: mapped to a scratch folder and the
# counter in c:\woe, takes a new number and relays the answer that the zip's simulator writes,
# and shows the internal error page for a form without TRACKNO; trackrelay-check.exe passes
# those drives and fails them once a request file is left waiting.
#
# usage: zip_test.sh ZIP
# Exit status 0 when every check passes, 1 on a failure, 77 (skipped) when Wine is missing.
# KEEP_WORK=1 keeps the temporary folder.
set -uo pipefail

zip=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../harness/servers/lib.sh
source "$here/../harness/servers/lib.sh"

command -v wine >/dev/null && command -v wineserver >/dev/null || { echo "skipped: wine is not installed"; exit 77; }

started=$SECONDS
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
prefix=$work/prefix
sim_pid=
cleanup() {
  trackrelay_stop "$sim_pid"
  [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
  if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- contents ----------------------------------------------------------------------------------
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || { fail "cannot unpack $zip"; exit 1; }
top=$(basename "$zip" .zip)
listing=$(cd "$work/unpacked" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
expected="./$top/README.txt ./$top/trackrelay-check.exe ./$top/trackrelay-check.txt ./$top/trackrelay-remote-host.exe ./$top/trackrelay.exe ./$top/trackrelay.txt ./$top/web.config "
[ "$listing" = "$expected" ] && pass "the zip holds $expected" || fail "the zip holds $listing"
dir=$work/unpacked/$top

# The manual pages as text, each with a section only it has.
for page in "trackrelay-check:THE COUNTER.S END" "trackrelay:STEPS"; do
  manual=$dir/${page%%:*}.txt
  title=$(basename "$manual" .txt | tr a-z A-Z)
  if grep -q "^$title(8)" "$manual" && grep -q "^${page#*:}" "$manual" && [ "$(grep -c $'\r$' "$manual")" = "$(wc -l <"$manual")" ]; then
    pass "${page%%:*}.txt is the manual page, in lines that end in CR LF"
  else
    fail "${page%%:*}.txt is not the manual page as text with CR LF line ends"
  fi
done

config=$dir/web.config
if command -v xmllint >/dev/null; then
  xmllint --noout "$config" && pass "web.config is well-formed XML" || fail "web.config is not well-formed XML"
fi
# The handler: trackrelay.exe through the CGI module, with execute access; the CGI time limit
# 150 s or more: the program's longest wait, 90 s on a share that hangs, and one blocked call of
# the share's client (docs/deploy.md, When the share fails).
if grep -q '<add name="trackrelay" path="trackrelay.exe" verb="GET,POST" modules="CgiModule"' "$config" &&
  grep -q 'requireAccess="Execute"' "$config" && grep -q 'accessPolicy="Read, Script, Execute"' "$config"; then
  pass "web.config maps trackrelay.exe to the CGI module"
else
  fail "web.config has no CGI handler for trackrelay.exe"
fi
timeout=$(sed -n 's/.*<cgi timeout="\([0-9:]*\)".*/\1/p' "$config")
IFS=: read -r h m s <<<"${timeout:-0:0:0}"
[ $((10#$h * 3600 + 10#$m * 60 + 10#$s)) -ge 150 ] && pass "web.config: CGI time limit $timeout" ||
  fail "web.config: CGI time limit '${timeout}' below 150 s"

# --- under Wine ----------------------------------------------------------------------------------
bash "$here/../cmake/wine-run.sh" "$prefix" cmd /c exit 0 >/dev/null 2>&1 || { fail "cannot make a Wine prefix"; exit 1; }
export WINEPREFIX=$prefix WINEDEBUG=-all
mkdir -p "$work/r/fromnt" "$work/r/tont" "$work/kept" "$prefix/drive_c/woe"
ln -sfn "$work/r" "$prefix/dosdevices/r:"
printf ' 41 \r\n' >"$prefix/drive_c/woe/track.txt"

wine "$dir/trackrelay-remote-host.exe" --keep "Z:$work/kept" >"$work/simulator.log" 2>&1 &
sim_pid=$!

input='TRACKNO=0&name=Ada+Lovelace&note=caf%C3%A9'
REQUEST_METHOD=GET QUERY_STRING=$input SCRIPT_NAME=/cgi-bin/trackrelay.exe \
  wine "$dir/trackrelay.exe" >"$work/relayed.out" 2>"$work/relayed.err"
if [ -f "$work/kept/41.out" ] &&
  cmp -s <(printf 'HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n'; sed 's/\r$/\r\n\r/' "$work/kept/41.out") "$work/relayed.out" &&
  cmp -s <(printf '%s\r\n' "$input") "$work/kept/41.DAT"; then
  pass "trackrelay.exe under Wine: number 41 relayed byte for byte from the zip's simulator"
else
  fail "trackrelay.exe under Wine: no relayed page for number 41 ($(head -c 200 "$work/relayed.out" | tr '\r\n' '  '))"
fi
cmp -s <(printf ' 42 \r\n') "$prefix/drive_c/woe/track.txt" && pass "the counter holds 42" || fail "the counter does not hold 42"

REQUEST_METHOD=GET QUERY_STRING='name=nobody' wine "$dir/trackrelay.exe" >"$work/internal.out" 2>/dev/null
if cmp -s "$work/internal.out" <(printf '%s\r\n' 'HTTP/1.0 200 OK' 'Content-type: text/html' '' '<HTML><HEAD>' \
  '<TITLE>Internal CGI Error</TITLE>' '</HEAD>' \
  '<Center><H1>An internal error number 0 has caused the cgi program to terminate abnormaly</H1></Center>' \
  '<p>' '<hr>'); then
  pass "trackrelay.exe under Wine: the internal error page"
else
  fail "trackrelay.exe under Wine: the internal error page"
fi

# trackrelay-check.exe on the same drives: a request can be served; then, with a request file
# that no remote host has taken for two minutes, it cannot, and the check says why.
trackrelay_stop "$sim_pid"
sim_pid=
check_out=$(wine "$dir/trackrelay-check.exe" 2>&1 | tr -d '\r')
check_rc=${PIPESTATUS[0]}
if [ "$check_rc" -eq 0 ] && ! grep -q '^FAIL' <<<"$check_out" && grep -q '^ok: the counter holds 42' <<<"$check_out"; then
  pass "trackrelay-check.exe under Wine: a request can be served"
else
  fail "trackrelay-check.exe under Wine, status $check_rc: $(grep -v '^ok' <<<"$check_out" | tr '\n' ' ')"
fi
printf 'TRACKNO=0\r\n' >"$work/r/fromnt/99.DAT"
touch -d '2 minutes ago' "$work/r/fromnt/99.DAT"
check_out=$(wine "$dir/trackrelay-check.exe" --quiet 2>&1 | tr -d '\r')
check_rc=${PIPESTATUS[0]}
if [ "$check_rc" -eq 1 ] && grep -q '^FAIL: r:\\fromnt holds 1 request file(s) older than 45 s (99.DAT 2 min)' <<<"$check_out"; then
  pass "trackrelay-check.exe under Wine: a stale request, status 1"
else
  fail "trackrelay-check.exe under Wine with a stale request, status $check_rc: $(tr '\n' ' ' <<<"$check_out")"
fi
rm -f "$work/r/fromnt/99.DAT"
ls "$work/r/fromnt" "$work/r/tont" "$prefix/drive_c/woe" | grep -q trackrelay-check && fail "a probe file of the check was left"

echo "zip: $failures failed, $((SECONDS - started)) s"
[ "$failures" -eq 0 ]
