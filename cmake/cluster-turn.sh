#!/bin/sh
# Runs a command once the machine has a turn free on a cluster file system of one kind:
#   cluster-turn.sh KIND SLOTS WAIT COMMAND [ARGUMENTS...]
# KIND's clusters (gluster, ceph) are brought up by the tests themselves, at most SLOTS at a time
# on the machine, whichever build's tests they are: each turn is a lock file,
# /tmp/trackrelay-KIND-cluster-N.lock, held while the command runs and closed in it, so that no
# daemon it starts goes on holding the turn. Waits up to WAIT seconds for a turn; status 1 with a
# line saying so when none came, else the command's own.
set -eu
kind=$1 slots=$2 wait=$3
shift 3
busy=75
deadline=$(($(date +%s) + wait))
while :; do
  n=1
  while [ "$n" -le "$slots" ]; do
    status=0
    flock --nonblock --close --conflict-exit-code "$busy" "/tmp/trackrelay-$kind-cluster-$n.lock" "$@" || status=$?
    [ "$status" -eq "$busy" ] || exit "$status"
    n=$((n + 1))
  done
  if [ "$(date +%s)" -ge "$deadline" ]; then
    echo "no turn on a $kind cluster came free within $wait s" >&2
    exit 1
  fi
  sleep 2
done
