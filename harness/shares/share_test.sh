#!/usr/bin/env bash
# The end-to-end tests of the exchange with r: on a real network share: brings share KIND up on
# the loopback address (smb: smbd + smbnetfs; sftp: sshd + sshfs; gluster: a GlusterFS volume,
# the remote host on a client of its own; see lib.sh), runs the
# end-to-end test program E2E_TESTS with each drive root's r: on the mounted share and the
# remote host's side on the server's own folder, and stops everything it started however it
# ends. The program under test is the one E2E_TESTS runs: the POSIX build's, or trackrelay.exe
# under Wine when TRACKRELAY_E2E_EXECUTABLE and TRACKRELAY_E2E_WINEPREFIX say so.
#
# With "faults", the fault tests instead: the share brought up for them (on a small disk of the
# server's own, with the client's timeouts shortened; see lib.sh), and the faults of faults.sh
# injected and repaired while requests wait (e2e/fault_end_to_end_test.cc).
#
# usage: share_test.sh KIND E2E_TESTS [faults]
# Status 77 (a skip) with the reason when FUSE or a program of the share is missing.
# KEEP_WORK=1 keeps the folder with the servers' configs and logs; TRACKRELAY_FAULT=server_hung
# (and so on) runs the one fault.
set -euo pipefail
kind=${1:?usage: share_test.sh smb|sftp|gluster E2E_TESTS [faults]}
tests=${2:?usage: share_test.sh smb|sftp|gluster E2E_TESTS [faults]}
mode=${3:-exchange}
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

trackrelay_share_test_begin "$kind" "the $kind share" share

started=$SECONDS
if [ "$mode" = faults ]; then
  export TRACKRELAY_SHARE_FAULTS=1
  export TRACKRELAY_E2E_FAULTS=$(cd "$(dirname "$0")" && pwd)/faults.sh TRACKRELAY_E2E_FAULTS_SHARE=$work
fi
trackrelay_share_up "$kind" "$work"
echo "== the $kind share is up in $((SECONDS - started)) s: the server's folder $TRACKRELAY_SHARE_SERVER," \
  "mounted at $TRACKRELAY_SHARE_CLIENT"
export TRACKRELAY_E2E_SHARE=$TRACKRELAY_SHARE_CLIENT TRACKRELAY_E2E_SHARE_SERVER=$TRACKRELAY_SHARE_SERVER
# Wine walks every name of a path, many times over, for each Windows call, and on the volume each
# walk is a round trip to the file server (its clients keep no names or attributes, so that every
# look is true to it): a request whose answer is there took about 350 ms there against 75 ms with
# r: on the local disk (6 runs each, 2026-12-09), more beside other tests. The one test that times
# how soon an answer is taken allows for what such a request takes in the same minute.
if [ "$kind" = gluster ] && [ -n "${TRACKRELAY_E2E_WINEPREFIX:-}" ]; then export TRACKRELAY_E2E_RELAY_FLOOR=1; fi

if [ "$mode" = faults ]; then
  # One fault after another on the one share, each repaired before the next; bounded, so that
  # this script always ends in time to unmount and stop its servers.
  status=0
  # The faults that this kind of share goes through (faults.sh lists them), or the one asked for.
  filter=$(for fault in ${TRACKRELAY_FAULT:-$(bash "$TRACKRELAY_E2E_FAULTS" "$work" faults)}; do
    printf 'Faults/ShareFaultEndToEnd.*/%s:' "$fault"
  done)
  timeout -k 10 600 "$tests" --gtest_filter="$filter" || status=$?
  trackrelay_share_finish "$kind share faults" "$status"
fi

# The exchange's cases: the road of a request, given numbers, the bytes of an answer, a body in
# pieces, a late answer, the internal errors (a request already waiting among them) and
# concurrent requests; beside them, in a process of their own since it waits its 45 s, an
# answer stored as N.OUT. The plain timeout is the same wait and tells nothing new of a share.
slow='TrackingRequestEndToEnd.ResponseNamedInAnotherCaseIsNeverTaken'
fast="TrackingRequestEndToEnd.*:-$slow:TrackingRequestEndToEnd.NoResponseWithin450LooksGivesTheTimeoutPage"
# Bounded, so that this script always ends in time to unmount and stop its servers.
trackrelay_share_beside "$work/slow.log" timeout -k 10 360 "$tests" --gtest_filter="$slow"
status=0
timeout -k 10 360 "$tests" --gtest_filter="$fast" || status=$?
trackrelay_share_finish "$kind share" "$status"
