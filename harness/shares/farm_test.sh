#!/usr/bin/env bash
# The farm's end-to-end tests: several web servers on one cluster file system (KIND gluster: a
# GlusterFS volume; ceph: CephFS), each with c:\woe and r: on it through a FUSE client of its own,
# and the remote host on a client of its own (see lib.sh). Brings the file system up on the
# loopback address, runs the farm's cases of the end-to-end test program E2E_TESTS (FarmEndToEnd)
# with two web servers and, beside them, the case of a web server whose client is killed
# (FarmClientKilled) with a third client in the place of the first web server's, and stops
# everything it started however it ends. The program under test is the one E2E_TESTS runs: the
# POSIX build's, or trackrelay.exe under Wine when TRACKRELAY_E2E_EXECUTABLE and
# TRACKRELAY_E2E_WINEPREFIX say so.
#
# usage: farm_test.sh KIND E2E_TESTS
# Status 77 (a skip) with the reason when FUSE or a program of the file system is missing, or not
# root. KEEP_WORK=1 keeps the folder with the file system's configs and logs.
set -euo pipefail
kind=${1:?usage: farm_test.sh gluster|ceph E2E_TESTS}
tests=${2:?usage: farm_test.sh gluster|ceph E2E_TESTS}
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

trackrelay_share_test_begin "$kind" "the farm's $kind file system" farm

started=$SECONDS
trackrelay_share_up "$kind" "$work"
# The first web server is the share's own client; the second and the one whose client dies get
# clients of their own.
"trackrelay_share_${kind}_mount" "$work" second
"trackrelay_share_${kind}_mount" "$work" dying
clients=$work/clients
echo "== the $kind file system is up in $((SECONDS - started)) s: web servers' clients" \
  "$clients/web and $clients/second, the remote host's $TRACKRELAY_SHARE_SERVER"
export TRACKRELAY_E2E_SHARE_SERVER=$TRACKRELAY_SHARE_SERVER
# The case of the dying client asks the harness to evict it (faults.sh evict-client), as an
# administrator ends a dead web server's session.
export TRACKRELAY_E2E_FAULTS=$(cd "$(dirname "$0")" && pwd)/faults.sh TRACKRELAY_E2E_FAULTS_SHARE=$work

# Bounded, so that this script always ends in time to unmount and stop its servers.
trackrelay_share_beside "$work/client-killed.log" env TRACKRELAY_E2E_FARM="$clients/dying:$clients/second" \
  timeout -k 10 300 "$tests" --gtest_filter='FarmClientKilled.*'
status=0
TRACKRELAY_E2E_FARM=$clients/web:$clients/second \
  timeout -k 10 600 "$tests" --gtest_filter='FarmEndToEnd.*' || status=$?
trackrelay_share_finish "farm on $kind" "$status"
