#!/usr/bin/env bash
# trackrelay behind a real web server: lighttpd or Apache httpd with mod_cgi, started on a free
# loopback port with a config of this test's own, the remote-host simulator answering, and curl
# as the browser. Every file of the test lives in one temporary folder, removed at the end.
#
# usage: web_server_test.sh lighttpd|apache PROGRAM SIMULATOR
# Exit status 0 when every check passes, 77 (skipped) when the server or curl is missing.
# KEEP_WORK=1 keeps the temporary folder (configs, logs, pages) for a look afterwards.
set -uo pipefail

server=$1 program=$2 simulator=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

skip() { echo "skipped: $*"; exit 77; }
command -v curl >/dev/null || skip "curl is not installed"
case $server in
  lighttpd) command -v lighttpd >/dev/null || skip "lighttpd is not installed" ;;
  apache) { command -v apache2 >/dev/null && [ -e /usr/lib/apache2/modules/mod_cgi.so ]; } ||
    skip "apache2 with mod_cgi is not installed" ;;
  *) echo "unknown server $server" >&2; exit 2 ;;
esac

started=$SECONDS
work=$(mktemp -d)
chmod 755 "$work"
drives=$work/drives
sim_pid=
failures=0

cleanup() {
  trackrelay_stop "${TRACKRELAY_SERVER_PID:-}"
  trackrelay_stop "$sim_pid"
  if [ "$failures" -ne 0 ]; then
    for log in "$work"/logs/*.log; do
      [ -s "$log" ] && { echo "== $log"; tail -n 30 "$log"; }
    done
  fi
  if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() { echo "FAIL ($server): $*"; failures=$((failures + 1)); }
pass() { echo "ok ($server): $*"; }

mkdir -p "$drives/c/woe" "$drives/r/fromnt" "$drives/r/tont" "$work/www" "$work/cgi-bin" "$work/kept" "$work/logs"
printf ' 41 \r\n' >"$drives/c/woe/track.txt"

case $server in
  lighttpd)
    # lighttpd started as root keeps root unless told otherwise; so does the program then.
    script=trackrelay
    cp "$program" "$work/cgi-bin/trackrelay"
    # The fatal page needs a request whose CONTENT_LENGTH overflows: the program must start
    # before the body has come, which lighttpd does only when it streams the body.
    TRACKRELAY_EXTRA_CONFIG="alias.url += (\"/streamed/\" => \"$work/cgi-bin/\")
\$HTTP[\"url\"] =^ \"/streamed/\" { cgi.assign = (\"\" => \"\") server.stream-request-body = 2 }"
    server_args=()
    ;;
  apache)
    script=nph-trackrelay
    cp "$program" "$work/cgi-bin/nph-trackrelay"
    # The same program without the prefix, to show what Apache makes of its status line.
    cp "$program" "$work/cgi-bin/trackrelay"
    # Started as root, Apache runs its children, and so the program, as this user: the drive
    # folders must be open to it.
    chmod a+rwx "$drives/c/woe" "$drives/r/fromnt" "$drives/r/tont"
    chmod a+rw "$drives/c/woe/track.txt"
    # Apache refuses bodies above 1 GiB by default; the fatal page needs one above 2 GiB.
    TRACKRELAY_EXTRA_CONFIG="LimitRequestBody 0"
    server_args=(nobody "$(id -gn nobody)")
    ;;
esac
export TRACKRELAY_EXTRA_CONFIG

"$simulator" --drive-root "$drives" --keep "$work/kept" >"$work/logs/simulator.log" 2>&1 &
sim_pid=$!
trackrelay_start_server "$server" any "$work/www" "$work/cgi-bin" "$drives" "$work/logs" "${server_args[@]}" ||
  { failures=1; exit 1; }
base="http://127.0.0.1:$TRACKRELAY_SERVER_PORT"

# fetch NAME CURL-ARGS...: the body in $work/NAME.body, the header block in $work/NAME.headers,
# the status in $status.
fetch() {
  local name=$1
  shift
  status=$(curl -s --max-time 70 -o "$work/$name.body" -D "$work/$name.headers" -w '%{http_code}' "$@")
}

# The relayed page: the response file's lines, each followed by CR LF CR LF.
relayed_page() { sed 's/\r$/\r\n\r/' "$1"; }

long_note=$(printf 'x%.0s' {1..100000})
# method | form input | the number the request travels as. TRACKNO=0 takes the counter's next.
cases=(
  "GET|TRACKNO=0&name=Ada+Lovelace&note=%3Cb%3Ebold%3C%2Fb%3E+%26+caf%C3%A9|41"
  "POST|TRACKNO=7&name=Grace&note=line+one%0D%0Aline+two|7"
  "POST|TRACKNO=0&note=$long_note|42"
)
i=0
for case in "${cases[@]}"; do
  IFS='|' read -r method input number <<<"$case"
  name="relayed$i"
  i=$((i + 1))
  label="$method ${input:0:40} as $number"
  if [ "$method" = GET ]; then
    fetch "$name" "$base/cgi-bin/$script?$input"
  else
    fetch "$name" --data-binary "$input" "$base/cgi-bin/$script"
  fi
  if [ "$status" != 200 ]; then fail "$label: status $status"; continue; fi
  grep -qi '^content-type: text/html' "$work/$name.headers" || fail "$label: no text/html header"
  if [ ! -f "$work/kept/$number.out" ]; then fail "$label: the simulator wrote no $number.out"; continue; fi
  if cmp -s <(relayed_page "$work/kept/$number.out") "$work/$name.body"; then
    pass "$label: the relayed page, byte for byte"
  else
    fail "$label: the body is not the relayed page"
  fi
  cmp -s <(printf '%s\r\n' "$input") "$work/kept/$number.DAT" || fail "$label: request file content"
  [ ! -e "$drives/r/tont/$number.out" ] || fail "$label: the response file was not deleted"
  if [ "$server" = apache ] &&
    ! cmp -s <(printf 'HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n') "$work/$name.headers"; then
    fail "$label: Apache changed the nph program's header lines"
  fi
done
grep -q 'Ada Lovelace' "$work/relayed0.body" && grep -q '&lt;b&gt;bold&lt;/b&gt; &amp; caf' "$work/relayed0.body" ||
  fail "the relayed page lacks the decoded, escaped fields"
cmp -s <(printf ' 43 \r\n') "$drives/c/woe/track.txt" || fail "the counter does not hold 43 after two new numbers"

# No TRACKNO: the internal error page of step 0, with status 200, and no file touched.
fetch internal "$base/cgi-bin/$script?name=nobody"
if [ "$status" = 200 ] && cmp -s "$work/internal.body" <(printf '%s\r\n' '<HTML><HEAD>' '<TITLE>Internal CGI Error</TITLE>' \
  '</HEAD>' '<Center><H1>An internal error number 0 has caused the cgi program to terminate abnormaly</H1></Center>' \
  '<p>' '<hr>'); then
  pass "the internal error page, status 200"
else
  fail "the internal error page: status $status"
fi

# The fatal error page: a POST whose CONTENT_LENGTH overflows the program's 32-bit length.
case $server in
  lighttpd)
    fatal_script=/streamed/trackrelay
    # Only the first byte of the promised body is sent; the program answers before the rest.
    fetch fatal -H 'Content-Length: 2147483648' --data-binary 'x' "$base$fatal_script"
    ;;
  apache)
    fatal_script=/cgi-bin/nph-trackrelay
    # Apache hands the program its output only after the whole body: 2 GiB of a sparse file.
    truncate -s 2147483648 "$work/huge"
    fetch fatal -X POST -T "$work/huge" -H "Expect:" -H 'Content-Type: application/x-www-form-urlencoded' "$base$fatal_script"
    rm -f "$work/huge"
    ;;
esac
if [ "$status" = 500 ] &&
  [ "$(head -n 1 "$work/fatal.body")" = $'<HTML><HEAD>\r' ] &&
  grep -qxF $'<TITLE>Error in '"$fatal_script"$'</TITLE>\r' "$work/fatal.body" &&
  grep -qxF $'<PRE>Overflow Error Number =  6</PRE>\r' "$work/fatal.body" &&
  [ "$(tail -c 16 "$work/fatal.body")" = $'</BODY></HTML>\r' ] &&
  [ "$(wc -l <"$work/fatal.body")" = 15 ]; then
  pass "the fatal error page, status 500"
else
  fail "the fatal error page: status $status"
fi
if [ "$server" = apache ]; then
  cmp -s <(printf "HTTP/1.0 500 Internal Error\r\nContent-type: text/html\r\n\r\n") "$work/fatal.headers" ||
    fail "Apache changed the fatal page's header lines"
fi

# Without the nph- prefix Apache takes the status line for a malformed header.
if [ "$server" = apache ]; then
  fetch plain "$base/cgi-bin/trackrelay?TRACKNO=9"
  if [ "$status" = 500 ] && grep -q 'malformed header from script' "$work/logs/apache-error.log"; then
    pass "a name without nph-: 500, malformed header"
  else
    fail "a name without nph-: status $status"
  fi
fi

echo "$server: $failures failed, $((SECONDS - started)) s"
[ "$failures" -eq 0 ]
