#!/usr/bin/env bash
# The power-cut tests: builds LazyFS (harness/shares/lazyfs.sh), mounts it, and runs the cases of
# E2E_TESTS that cut the power (e2e/power_cut_end_to_end_test.cc, e2e/exec_host_power_cut_end_to_
# end_test.cc) with every drive root, c: and r: both, on it. The program under test is the
# one E2E_TESTS runs: the POSIX build's, or trackrelay.exe under Wine when
# TRACKRELAY_E2E_EXECUTABLE and TRACKRELAY_E2E_WINEPREFIX say so; under Wine the cases of the
# remote host's hand-over alone, which the program takes no part in, are left out.
#
# usage: power_cut_test.sh LAZYFS_SOURCE LAZYFS_BUILD E2E_TESTS
# Status 77 (a skip) with the reason where FUSE is missing or the user is not root.
# KEEP_WORK=1 keeps the folder with LazyFS's disk, log and the remote host's logs.
set -euo pipefail
source=${1:?usage: power_cut_test.sh LAZYFS_SOURCE LAZYFS_BUILD E2E_TESTS}
build=${2:?usage: power_cut_test.sh LAZYFS_SOURCE LAZYFS_BUILD E2E_TESTS}
tests=${3:?usage: power_cut_test.sh LAZYFS_SOURCE LAZYFS_BUILD E2E_TESTS}
here=$(cd "$(dirname "$0")" && pwd)
PATH=$PATH:/usr/sbin:/sbin

skip() {
  echo "SKIPPED: LazyFS cannot be mounted here: $1"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root: the drives are mounted for the test, with allow_other"
[ -c /dev/fuse ] || skip "no FUSE: /dev/fuse is missing"
command -v fusermount3 >/dev/null 2>&1 || skip "fusermount3 is missing (package fuse3)"

started=$SECONDS
program=$(bash "$here/lazyfs.sh" build "$source" "$build")
echo "== LazyFS built in $((SECONDS - started)) s: $program"

# A short name: LazyFS's fault commands name a file by its whole path, in 99 bytes at most.
work=$(mktemp -d /tmp/trpcXXXXXX)
finish() {
  local status=$?
  bash "$here/lazyfs.sh" "$work" down || true
  if [ "${KEEP_WORK:-}" = 1 ] || [ "$status" -ne 0 ]; then
    echo "LazyFS's disk, its log and the remote host's logs are in $work"
  else
    rm -rf "$work"
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM
bash "$here/lazyfs.sh" "$work" up "$program"
echo "== LazyFS mounted at $work/mnt over $work/disk"

export TRACKRELAY_E2E_POWER_CUT=$here/lazyfs.sh TRACKRELAY_E2E_POWER_CUT_DIR=$work
filter='PowerCutEndToEnd.*:RemoteHostPowerCut.*'
if [ -n "${TRACKRELAY_E2E_WINEPREFIX:-}" ]; then
  filter="$filter:-RemoteHostPowerCut.ThePowerGoingAtAnyStepOfTheHandOver*"
fi
# Bounded, so that this script always gets to unmount.
set +e
timeout -k 10 900 "$tests" --gtest_filter="$filter" 2>&1 | tee "$work/tests.log"
status=${PIPESTATUS[0]}
set -e
# A case that skipped here did not see LazyFS: that is a fault of this harness, not a pass.
if [ "$status" -eq 0 ] && grep -q '^\[  SKIPPED \]' "$work/tests.log"; then
  echo "a power-cut case was skipped although LazyFS is mounted"
  status=1
fi
echo "== the power-cut tests: $([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)") in $((SECONDS - started)) s"
exit "$status"
