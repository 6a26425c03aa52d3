#!/usr/bin/env bash
# Relay latency of the Windows build under Wine: trackrelay.exe relaying the native simulator's
# answers, which it writes under another name and renames into place at once; then the floor,
# the same requests answered by the driver itself the moment each is published (the answer made
# ready before the program starts, the request removed and the answer renamed in), which is what
# starting Wine and the program and the bare exchange cost. The benchmarks' own driver measures
# both (bench/relay_latency.cc).
#   scripts/bench-wine.sh [EXE]     EXE defaults to build/windows/app/trackrelay.exe
#   BENCH_LATENCY   requests of each run (default 300)
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$(realpath "${1:-build/windows/app/trackrelay.exe}")
requests=${BENCH_LATENCY:-300}

build=build/bench
cmake --preset bench >/dev/null
cmake --build --preset bench --target trackrelay-remote-host trackrelay_relay_latency >/dev/null
simulator=$PWD/$build/remote_host/trackrelay-remote-host
driver=$PWD/$build/bench/trackrelay_relay_latency

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
# The server stays up between runs, as it does on a web server that runs the program often.
wineserver -w
wineserver -p

# What the driver starts for each request: Wine running the program, with r: and c: mapped to
# the driver's drive root. c: is the root's c itself, with Windows borrowed into it, so that
# c:\woe is a plain folder below the drive: the program refuses one reached through a link, and
# would claim no number there. The driver passes the CGI variables and nothing else.
cat >"$work/program" <<EOF
#!/bin/sh
export PATH=/usr/bin:/bin HOME=$HOME WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
ln -sfn "\$TRACKRELAY_DRIVE_ROOT/r" "\$WINEPREFIX/dosdevices/r:"
[ -e "\$TRACKRELAY_DRIVE_ROOT/c/windows" ] || ln -s "$WINEPREFIX/drive_c/windows" "\$TRACKRELAY_DRIVE_ROOT/c/windows"
ln -sfn "\$TRACKRELAY_DRIVE_ROOT/c" "\$WINEPREFIX/dosdevices/c:"
exec wine "$exe"
EOF
chmod 755 "$work/program"

echo "== relay latency under Wine: the simulator answers at once by rename =="
# Wine 8 now and then reports the request's rename as failed although it was made: its server
# looks the new name up after renaming (NO_MEMORY when it is gone), and the native simulator may
# have taken the file in between. The program then shows internal error 3. The driver counts such
# pages as wrong and leaves them out of the figures; the run goes on.
"$driver" "$work/program" "$simulator" "$requests" 0 given || echo "(the run above saw wrong pages)"
echo "== the floor: the driver answers each request the moment it is published =="
"$driver" "$work/program" instant "$requests" 0 given || echo "(the run above saw wrong pages)"
