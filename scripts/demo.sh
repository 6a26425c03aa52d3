#!/usr/bin/env bash
# The demo: builds trackrelay and serves it on 127.0.0.1 behind lighttpd, with a tracking form
# at / and the remote-host simulator answering. Everything lives in state/ (drives, form page,
# configs, logs, the exchanges answered). Ctrl-C stops all of it.
#
# usage: scripts/demo.sh [options]        (PORT=9000 scripts/demo.sh works too)
#   --port N          serve on port N (default 8080; "any" for a free one)
#   --never-answer    the remote host takes each request and never answers: the timeout page
#   --delay MS        the remote host answers each request MS milliseconds late
#   --check           start everything, fetch the form, submit one request, print the answer and
#                     stop; status 0 when the answer came. Without a terminal on standard input
#                     the demo checks rather than serves, unless --serve is given.
#   --serve           serve even without a terminal
#   --build-dir DIR   take the programs from this build folder instead of building them
#   --state DIR       keep the demo's files in DIR instead of state/
# Installs what it needs when it is missing (as root, from Debian's packages).
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
repo=$PWD
# A folder named on the command line, as the caller meant it.
from_caller() { case $1 in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac; }

port=${PORT:-8080}
mode=
simulator_args=()
build_dir=
state=state
usage() { sed -n '/^# usage/,/^# Installs/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --port) port=${2:?--port needs a value}; shift ;;
    --never-answer) simulator_args+=(--never-answer) ;;
    --delay) simulator_args+=(--delay "${2:?--delay needs milliseconds}"); shift ;;
    --check) mode=check ;;
    --serve) mode=serve ;;
    --build-dir) build_dir=$(from_caller "${2:?--build-dir needs a folder}"); shift ;;
    --state) state=$(from_caller "${2:?--state needs a folder}"); shift ;;
    -h | --help) usage ;;
    *) echo "unknown option $1" >&2; usage ;;
  esac
  shift
done
if [ -z "$mode" ]; then
  if [ -t 0 ]; then
    mode=serve
  else
    mode=check
    echo "(no terminal on standard input: checking the demo instead of serving it; --serve to serve)"
  fi
fi

if [ -z "$build_dir" ]; then
  # Only what the build and the demo need; scripts/install-deps.sh installs the rest for the tests.
  need=()
  for pkg in cmake g++ make libgtest-dev curl lighttpd; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
  done
  if [ "${#need[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "missing packages: ${need[*]} (run as root to install them)" >&2
      exit 1
    fi
    echo "== installing ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
    # The package starts its own lighttpd on port 80; the demo starts one of its own.
    if [[ " ${need[*]} " == *" lighttpd "* ]] && command -v service >/dev/null; then
      service lighttpd stop >/dev/null 2>&1 || true
    fi
  fi
  echo "== building trackrelay and the remote-host simulator"
  cmake --preset default >/dev/null
  cmake --build --preset default --target trackrelay trackrelay-remote-host >/dev/null
  build_dir=build/default
fi
program=$(cd "$build_dir" && pwd)/app/trackrelay
simulator=$(cd "$build_dir" && pwd)/remote_host/trackrelay-remote-host

# shellcheck source=../harness/servers/lib.sh
source "$repo/harness/servers/lib.sh"

mkdir -p "$state"
state=$(cd "$state" && pwd)
drives=$state/drives
mkdir -p "$drives/c/woe" "$drives/r/fromnt" "$drives/r/tont" "$state/www" "$state/cgi-bin" "$state/logs" \
  "$state/exchanges"
# The counter goes on from where an earlier run left it.
[ -s "$drives/c/woe/track.txt" ] || printf ' 1 \r\n' >"$drives/c/woe/track.txt"
# Files left in the exchange by an earlier run would be taken for this run's: an old answer
# would be relayed to the next request of its number.
rm -f "$drives/r/fromnt/"* "$drives/r/tont/"*
cp "$program" "$state/cgi-bin/trackrelay"
cp "$repo/harness/servers/tracking_form.html" "$state/www/index.html"

sim_pid=
TRACKRELAY_SERVER_PID=
cleanup() {
  trackrelay_stop "$TRACKRELAY_SERVER_PID"
  trackrelay_stop "$sim_pid"
}
trap cleanup EXIT
trap 'echo; echo "stopping"; exit 0' INT TERM

if [ "$mode" = serve ]; then
  "$simulator" --drive-root "$drives" --keep "$state/exchanges" "${simulator_args[@]}" \
    > >(tee "$state/logs/simulator.log") 2>&1 &
else
  "$simulator" --drive-root "$drives" --keep "$state/exchanges" "${simulator_args[@]}" \
    >"$state/logs/simulator.log" 2>&1 &
fi
sim_pid=$!
if ! trackrelay_start_server lighttpd "$port" "$state/www" "$state/cgi-bin" "$drives" "$state/logs"; then
  tail -n 5 "$state/logs/lighttpd-error.log" >&2 || true
  [ "$port" = any ] || echo "Is port $port taken? Try: PORT=9000 scripts/demo.sh" >&2
  exit 1
fi
url="http://127.0.0.1:$TRACKRELAY_SERVER_PORT/"

if [ "$mode" = check ]; then
  echo "== the form at $url"
  form=$(curl -s --max-time 10 "$url" || true)
  grep -q 'name="TRACKNO"' <<<"$form" || { echo "the form page has no TRACKNO field" >&2; exit 1; }
  echo "ok: the form page has its TRACKNO field"
  echo "== a request: GET ${url}cgi-bin/trackrelay?TRACKNO=0&name=demo&note=checking+the+demo"
  answer=$(curl -s -i --max-time 70 "${url}cgi-bin/trackrelay?TRACKNO=0&name=demo&note=checking+the+demo" || true)
  printf '%s\n' "$answer" | tr -d '\r'
  if grep -q '<h1>Tracking number [0-9]*</h1>' <<<"$answer" ||
    { [[ " ${simulator_args[*]} " == *" --never-answer "* ]] && grep -q 'Data Wait Timeout' <<<"$answer"; }; then
    echo "== ok: the demo works"
    exit 0
  fi
  echo "== no relayed answer; logs in $state/logs" >&2
  exit 1
fi

cat <<EOF

trackrelay demo: open $url
  the drives:            $drives (counter c/woe/track.txt, exchange r/fromnt and r/tont)
  exchanges answered:    $state/exchanges
  logs:                  $state/logs
Ctrl-C stops it.

EOF
# Until Ctrl-C, or until the server or the simulator ends.
wait -n "$TRACKRELAY_SERVER_PID" "$sim_pid" || true
echo "the web server or the remote host has ended; see $state/logs" >&2
exit 1
