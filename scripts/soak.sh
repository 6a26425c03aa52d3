#!/usr/bin/env bash
# A soak of any length (harness/soak/, docs/testing.md#the-soak): clients at once under a
# nemesis of random faults, on the local disk with power cuts or on a farm of two web servers on
# a cluster file system, the whole history checked at the end. Builds what it needs first (the
# default preset's programs; with --wine the windows preset's trackrelay.exe and a Wine prefix).
# As root. The records (history, logs, report) stay in build/soak/.
#
# usage: scripts/soak.sh --minutes N [--seed S] [--farm ceph|gluster] [--wine] [--clients K]
#                        [--faults KIND,KIND...|none]
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  echo "usage: scripts/soak.sh --minutes N [--seed S] [--farm ceph|gluster] [--wine] [--clients K] [--faults KINDS|none]" >&2
  exit 2
}
minutes= seed= farm= wine= clients=6 faults=
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=${2:?}; shift 2 ;;
    --seed) seed=${2:?}; shift 2 ;;
    --farm) farm=${2:?}; shift 2 ;;
    --wine) wine=1; shift ;;
    --clients) clients=${2:?}; shift 2 ;;
    --faults) faults=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
[[ "$minutes" =~ ^[0-9]+$ ]] && [ "$minutes" -gt 0 ] || usage
case $farm in "" | ceph | gluster) ;; *) usage ;; esac

cmake --preset default >/dev/null
cmake --build --preset default --target trackrelay trackrelay-remote-host >/dev/null
program=$PWD/build/default/app/trackrelay
remote_host=$PWD/build/default/remote_host/trackrelay-remote-host
if [ -n "$wine" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target trackrelay >/dev/null
  program=$PWD/build/windows/app/trackrelay.exe
  export TRACKRELAY_SOAK_WINE_PREFIX=$PWD/build/soak/wine-prefix
  sh cmake/wine-run.sh "$TRACKRELAY_SOAK_WINE_PREFIX" cmd /c exit 0
fi
# LazyFS as the power-cut tests find and build it (cmake/Tests.cmake).
cache() { sed -n "s/^$1:PATH=//p" build/default/CMakeCache.txt; }
export TRACKRELAY_LAZYFS_SOURCE=${TRACKRELAY_LAZYFS_SOURCE:-$(cache TRACKRELAY_LAZYFS_SOURCE)}
export TRACKRELAY_LAZYFS_BUILD=${TRACKRELAY_LAZYFS_BUILD:-$(cache TRACKRELAY_LAZYFS_BUILD)}
export TRACKRELAY_SOAK_RECORDS=$PWD/build/soak/$(date -u +%Y%m%dT%H%M%SZ)-${farm:-local}${wine:+-wine}

replay="scripts/soak.sh --minutes $minutes${farm:+ --farm $farm}${wine:+ --wine} --clients $clients${faults:+ --faults '$faults'}"
status=0
bash harness/soak/soak_test.sh "${farm:-local}" "$program" "$remote_host" --seconds $((minutes * 60)) \
  --clients "$clients" ${seed:+--seed "$seed"} ${faults:+--faults "$faults"} --replay "$replay" || status=$?
echo "the records: $TRACKRELAY_SOAK_RECORDS"
exit "$status"
