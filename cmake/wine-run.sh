#!/bin/sh
# Runs a Windows program of the cross build under Wine, in a prefix of its own:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# A new prefix takes Wine about 5 s to make; it is made once, on first use, and every later
# start takes a fraction of a second. ctest starts many programs at once: one of them makes the
# prefix while the others wait for it. Wine stays quiet, so that only the program speaks.
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all

if [ ! -e "$prefix/.trackrelay-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  flock "$prefix.lock" sh -eu -c '
    prefix=$1
    [ -e "$prefix/.trackrelay-ready" ] && exit 0
    rm -rf "$prefix"
    wineboot -i >/dev/null 2>&1
    # Ends the prefix server, which saves the registry that the end-to-end tests copy, and waits
    # for its end, so that the prefix is whole before it is marked ready and no program starts
    # against a server on its way out.
    wineserver -k || true
    wineserver -w || true
    touch "$prefix/.trackrelay-ready"
  ' sh "$prefix"
fi

exec wine "$@"
