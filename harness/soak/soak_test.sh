#!/usr/bin/env bash
# The soak (soak.py) on drives that this script brings up, and takes down however it ends:
#
#   local    one web server on a local disk: LazyFS (harness/shares/lazyfs.sh), built from
#            TRACKRELAY_LAZYFS_SOURCE into TRACKRELAY_LAZYFS_BUILD, so that the power can be cut
#   ceph     a farm of two web servers on CephFS, each its own client (ceph-fuse), the remote
#            host on a third (harness/shares/lib.sh, brought up for the fault tests: a standby
#            MDS, so that one killed or hung is replaced)
#   gluster  the same on a GlusterFS volume (the brick killed or hung)
#
# usage: soak_test.sh local|ceph|gluster PROGRAM REMOTE_HOST SOAK_OPTIONS...
# PROGRAM is trackrelay, or trackrelay.exe run under Wine when TRACKRELAY_SOAK_WINE_PREFIX names
# the Wine prefix to borrow from (cmake/wine-run.sh makes one); REMOTE_HOST is the POSIX build's
# trackrelay-remote-host. SOAK_OPTIONS go to soak.py (--seconds, --seed, --clients).
# TRACKRELAY_SOAK_RECORDS keeps the soak's records (history, logs, report) in that folder, else
# they go with the work folder; KEEP_WORK=1 keeps that. Status 77 (a skip) with the reason where
# FUSE, root, Python or a program of the file system is missing; 1 when the checker found a
# violation.
set -euo pipefail
where=${1:?usage: soak_test.sh local|ceph|gluster PROGRAM REMOTE_HOST SOAK_OPTIONS...}
program=${2:?usage: soak_test.sh local|ceph|gluster PROGRAM REMOTE_HOST SOAK_OPTIONS...}
remote_host=${3:?usage: soak_test.sh local|ceph|gluster PROGRAM REMOTE_HOST SOAK_OPTIONS...}
shift 3
here=$(cd "$(dirname "$0")" && pwd)
shares=$(cd "$here/../shares" && pwd)
PATH=$PATH:/usr/sbin:/sbin
# Debian's own Python 3: the soak needs nothing beyond its standard library.
python=$(command -v /usr/bin/python3 || command -v python3 || true)

skip() {
  echo "SKIPPED: the soak cannot run here: $1"
  exit 77
}
[ -n "$python" ] || skip "python3 is missing (package python3)"
wine=()
if [ -n "${TRACKRELAY_SOAK_WINE_PREFIX:-}" ]; then
  wine=(--wine-prefix "$TRACKRELAY_SOAK_WINE_PREFIX")
  command -v wine >/dev/null 2>&1 || skip "wine is missing"
fi

# The soak's folder: woe/ with the counter, r/fromnt and r/tont, made where the remote host
# sees it; the counter flushed, so that a power cut finds it.
make_folder() {
  mkdir -p "$1/woe" "$1/r/fromnt" "$1/r/tont"
  printf ' 1 \r\n' >"$1/woe/track.txt"
  sync "$1/woe/track.txt" "$1/woe" "$1/r"
}

records() { echo "${TRACKRELAY_SOAK_RECORDS:-$work/records}"; }

if [ "$where" = local ]; then
  [ "$(id -u)" -eq 0 ] || skip "not root: LazyFS is mounted with allow_other"
  [ -c /dev/fuse ] || skip "no FUSE: /dev/fuse is missing"
  command -v fusermount3 >/dev/null 2>&1 || skip "fusermount3 is missing (package fuse3)"
  lazyfs=$(bash "$shares/lazyfs.sh" build "${TRACKRELAY_LAZYFS_SOURCE:?}" "${TRACKRELAY_LAZYFS_BUILD:?}")
  work=$(mktemp -d /tmp/trsoakXXXXXX)
  finish() {
    local status=$?
    bash "$shares/lazyfs.sh" "$work/lazyfs" down || true
    if [ "${KEEP_WORK:-}" = 1 ] || [ "$status" -ne 0 ]; then
      echo "the soak's records are in $(records), LazyFS's disk and log in $work/lazyfs"
    else
      rm -rf "$work"
    fi
    exit "$status"
  }
  trap finish EXIT
  trap 'exit 130' INT TERM
  bash "$shares/lazyfs.sh" "$work/lazyfs" up "$lazyfs"
  folder=$work/lazyfs/mnt/soak
  make_folder "$folder"
  mkdir -p "$(records)"
  "$python" "$here/soak.py" --where "the local disk (LazyFS)" --program "$program" --remote-host "$remote_host" \
    --web "web=$folder" --remote "$folder" --lazyfs "$work/lazyfs" --work "$(records)" "${wine[@]}" "$@"
  exit
fi

# shellcheck source=../shares/lib.sh
source "$shares/lib.sh"
trackrelay_share_test_begin "$where" "the $where file system" soak
export TRACKRELAY_SHARE_FAULTS=1 TRACKRELAY_SHARE_DISK_SIZE=256m
started=$SECONDS
trackrelay_share_up "$where" "$work"
"trackrelay_share_${where}_mount" "$work" second
echo "== the $where file system is up in $((SECONDS - started)) s: web servers' clients $work/clients/web and" \
  "$work/clients/second, the remote host's $TRACKRELAY_SHARE_SERVER"
make_folder "$TRACKRELAY_SHARE_SERVER/soak"
for client in web second; do
  trackrelay_share_wait 100 $$ test -d "$work/clients/$client/soak/r/tont" ||
    { echo "the $client client does not show the soak's folder" >&2; exit 1; }
done
mkdir -p "$(records)"
status=0
"$python" "$here/soak.py" --where "a farm of two web servers on $where" --program "$program" \
  --remote-host "$remote_host" --web "web=$work/clients/web/soak" --web "second=$work/clients/second/soak" \
  --remote "$TRACKRELAY_SHARE_SERVER/soak" --share "$work" --work "$(records)" "${wine[@]}" "$@" || status=$?
exit "$status"
