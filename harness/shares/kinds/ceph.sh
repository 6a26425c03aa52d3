# shellcheck shell=bash
# CephFS on a one-node Ceph cluster, one ceph-fuse client per web server and one for the remote
# host: how lib.sh brings it up, and its fault actions for faults.sh. Sourced by lib.sh; every
# name begins with "trackrelay_share_ceph_" or "TRACKRELAY_CEPH_".

# --- CephFS ---------------------------------------------------------------------------------------
#
# A one-node Ceph cluster on 127.0.0.1: one monitor on a free port, one OSD, one metadata server
# (MDS), no manager (nothing here needs one), authentication off and every pool of one copy; and
# one FUSE client (ceph-fuse) per web server and one for the remote host, each at
# DIR/clients/NAME, as on Gluster. Everything the daemons keep (the monitor's store, the OSD's
# objects, the admin sockets, pid files and crash reports) is in DIR/ceph, their logs and the
# cluster's log in DIR/logs: DIR/ceph.conf names every such path, so that nothing reaches
# /var/lib/ceph, /var/log/ceph or /run/ceph, which the packages own (trackrelay_share_test_end
# checks it). The OSD and the MDS take ports of 127.0.0.1 from Ceph's own range (6800 to 7300),
# each binding the first that is free, so that several clusters run side by side.
#
# The OSD keeps its objects in memory (memstore), which costs nothing to make; for the fault tests
# on a disk of its own (bluestore on a file in DIR/ceph), so that an OSD killed and started again
# finds them, and a standby MDS stands beside the active one: a hung MDS holds every call that
# needs it until the monitor gives up on it (mds_beacon_grace, shortened to 5 s there, 15 s by
# default) and the standby takes its place. With a single MDS and no standby a call waits for as
# long as the MDS hangs.
#
# The settings that the program needs (see docs/deploy.md, CephFS): mds_early_reply off, without
# which a rename of a file that another client holds open waits for the MDS's next tick (5 s).

TRACKRELAY_CEPH_FS=trackrelay
# How long the monitor waits for an MDS's beacon before it hands its rank to a standby: Ceph's own
# 15 s, 5 s for the fault tests, whose MDS hangs for a minute.
trackrelay_share_ceph_beacon_grace() { if trackrelay_share_for_faults "$1"; then echo 5; else echo 15; fi; }
# How often an MDS sends its beacon, and the monitor looks at them: Ceph's own 4 s and 5 s, 1 s
# each for the fault tests. The monitor takes a look that came later than the grace less the
# interval for its own delay and starts every MDS's grace over, so that with 5 s of grace and
# the default intervals it would never give up on an MDS. For a minute after its quorum formed,
# here the cluster's start, it waits mds_beacon_mon_down_grace (60 s) instead of the grace.
trackrelay_share_ceph_beacon_intervals() {
  if trackrelay_share_for_faults "$1"; then
    printf 'mds beacon interval = 1\nmon tick interval = 1\nmds beacon mon down grace = 1\n'
  fi
}

# The ceph command line against the cluster of folder $1, bounded: a monitor that does not answer
# fails it after 10 s rather than the 5 minutes of its default.
trackrelay_share_ceph_cli() {
  local dir=$1
  shift
  timeout 60 ceph -c "$dir/ceph.conf" --connect-timeout 10 "$@" 2>>"$dir/logs/cli.err"
}

# The same, its output kept in the log; status 1, with the log's tail, when it fails. The command
# line first asks the monitor for its commands, and a monitor that is still settling on a loaded
# machine may refuse that ("problem getting command descriptions", EPERM, seen once in a share
# test's setup): the command itself was then never sent, and it is asked again, up to 5 times.
trackrelay_share_ceph_cli_logged() {
  local dir=$1 try seen
  for try in 1 2 3 4 5; do
    seen=$(wc -l 2>/dev/null <"$dir/logs/cli.err" || echo 0)
    trackrelay_share_ceph_cli "$@" >>"$dir/logs/cli.out" 2>&1 && return 0
    tail -n +"$((seen + 1))" "$dir/logs/cli.err" 2>/dev/null | grep -q 'problem getting command descriptions' || break
    sleep 1
  done
  tail -n 5 "$dir/logs/cli.out" "$dir/logs/cli.err" >&2
  return 1
}

# The cluster's config for a monitor on port $2, and a new monitor store for it.
trackrelay_share_ceph_config() {
  local dir=$1 port=$2 fsid store=memstore
  fsid=$(cat /proc/sys/kernel/random/uuid)
  trackrelay_share_for_faults "$dir" && store=bluestore
  mkdir -p "$dir/ceph/run" "$dir/ceph/crash" "$dir/logs"
  cat >"$dir/ceph.conf" <<CONF
[global]
fsid = $fsid
mon host = v1:127.0.0.1:$port
public addr = 127.0.0.1
ms bind msgr2 = false
auth cluster required = none
auth service required = none
auth client required = none
keyring = $dir/ceph/keyring
run dir = $dir/ceph/run
admin socket = $dir/ceph/run/\$name.asok
pid file = $dir/ceph/run/\$name.pid
crash dir = $dir/ceph/crash
log file = $dir/logs/\$name.log
mon cluster log file = $dir/logs/cluster.\$channel.log
mon data = $dir/ceph/mon-\$id
osd data = $dir/ceph/osd-\$id
mds data = $dir/ceph/mds-\$id
mon data avail warn = 1
mon data avail crit = 0
mon allow pool size one = true
mon warn on pool no redundancy = false
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
osd crush update on start = false
osd class update on start = false
osd objectstore = $store
memstore device bytes = 268435456
bluestore block path = $dir/ceph/osd-\$id.block
bluestore block create = true
bluestore block size = 2147483648
bluestore cache autotune = false
bluestore cache size = 67108864
osd memory target = 939524096
mds beacon grace = $(trackrelay_share_ceph_beacon_grace "$dir")
$(trackrelay_share_ceph_beacon_intervals "$dir")
[mds]
mds early reply = false
[client]
client mount timeout = 30
CONF
  rm -rf "$dir/ceph/mon-a"
  monmaptool --create --addv a "v1:127.0.0.1:$port" --fsid "$fsid" --clobber "$dir/ceph/monmap" >>"$dir/logs/mkfs.out" 2>&1 &&
    ceph-mon -c "$dir/ceph.conf" --mkfs -i a --monmap "$dir/ceph/monmap" >>"$dir/logs/mkfs.out" 2>&1 ||
    { tail -n 5 "$dir/logs/mkfs.out" >&2; return 1; }
}

trackrelay_share_ceph_mon_run() { exec ceph-mon -c "$1/ceph.conf" -i a -f >>"$1/logs/mon.out" 2>&1; }

# Starts daemon $2 (osd or mds) of id $3 in the foreground of a background job, remembered for
# trackrelay_share_down.
trackrelay_share_ceph_start() {
  local dir=$1 daemon=$2 id=$3 pid
  "ceph-$daemon" -c "$dir/ceph.conf" -i "$id" -f </dev/null >>"$dir/logs/$daemon.$id.out" 2>&1 &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
}

# The pid of daemon $2.$3 (osd.0, mds.a) of folder $1 while it runs, or nothing.
trackrelay_share_ceph_pid() {
  local pid
  pid=$(cat "$1/ceph/run/$2.$3.pid" 2>/dev/null)
  [ -n "$pid" ] && trackrelay_share_ours "$1" "$pid" && echo "$pid"
  return 0
}

# Whether the OSD is up in the monitor's map, and the name of the MDS that is active (nothing
# while none is).
trackrelay_share_ceph_osd_up() { trackrelay_share_ceph_cli "$1" osd dump 2>/dev/null | grep -q '^osd\.0 up '; }
# With $2 "laggy", also one whose beacons the monitor has missed for a while (a loaded machine's
# MDS that still answers).
trackrelay_share_ceph_active_mds() {
  trackrelay_share_ceph_cli "$1" mds stat 2>/dev/null | grep -o '0=[a-z]*=up:active[^,}]*' |
    { if [ "${2:-}" = laggy ]; then cat; else grep -v laggy; fi; } | cut -d= -f2
}

# Waits up to $2 seconds for the command after it to succeed.
trackrelay_share_ceph_until() {
  local seconds=$1 i
  shift
  for ((i = 0; i < seconds * 5; i++)); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}
trackrelay_share_ceph_has_active_mds() { [ -n "$(trackrelay_share_ceph_active_mds "$1")" ]; }

# The OSD made and started, on a new store. It is put in the cluster's map here, not by itself
# at its start (osd crush update on start): the commands that it sends for that so early may
# reach the monitor before it knows the cluster's fsid, which refuses them, and the OSD ends.
trackrelay_share_ceph_osd_up_new() {
  local dir=$1 uuid
  uuid=$(cat /proc/sys/kernel/random/uuid)
  mkdir -p "$dir/ceph/osd-0"
  trackrelay_share_ceph_cli_logged "$dir" osd new "$uuid" &&
    trackrelay_share_ceph_cli_logged "$dir" osd crush add osd.0 1 root=default || return 1
  ceph-osd -c "$dir/ceph.conf" -i 0 --mkfs --osd-uuid "$uuid" >>"$dir/logs/mkfs.out" 2>&1 ||
    { tail -n 5 "$dir/logs/mkfs.out" >&2; return 1; }
  trackrelay_share_ceph_start "$dir" osd 0
  trackrelay_share_ceph_until 60 trackrelay_share_ceph_osd_up "$dir" ||
    { echo "the OSD did not come up; see $dir/logs" >&2; tail -n 20 "$dir/logs/osd.0.log" >&2; return 1; }
}

# An MDS of name $2 started, with a folder of its own.
trackrelay_share_ceph_mds_start() {
  mkdir -p "$1/ceph/mds-$2"
  trackrelay_share_ceph_start "$1" mds "$2"
}

# The cluster of folder $1 with the file system, a client for the program at $1/clients/web
# (TRACKRELAY_SHARE_CLIENT) and one for the remote host at $1/clients/remote
# (TRACKRELAY_SHARE_SERVER). More clients: trackrelay_share_ceph_mount.
trackrelay_share_ceph_up() {
  local dir=$1
  mkdir -p "$dir/clients"
  printf 'harness=%s\n' "$$" >>"$dir/share.env"
  trackrelay_share_locked trackrelay_share_reap_orphans ceph
  trackrelay_share_listen "$dir/logs/mon.a.log" trackrelay_share_ceph_config trackrelay_share_ceph_mon_run "$dir" || return 1
  printf 'port=%s\nfs=%s\nbeacon_grace=%s\n' "$port" "$TRACKRELAY_CEPH_FS" "$(trackrelay_share_ceph_beacon_grace "$dir")" >>"$dir/share.env"
  trackrelay_share_ceph_osd_up_new "$dir" || return 1
  trackrelay_share_ceph_cli_logged "$dir" osd pool create "${TRACKRELAY_CEPH_FS}_metadata" 8 &&
    trackrelay_share_ceph_cli_logged "$dir" osd pool create "${TRACKRELAY_CEPH_FS}_data" 8 &&
    trackrelay_share_ceph_cli_logged "$dir" fs new "$TRACKRELAY_CEPH_FS" "${TRACKRELAY_CEPH_FS}_metadata" "${TRACKRELAY_CEPH_FS}_data" ||
    return 1
  trackrelay_share_ceph_mds_start "$dir" a
  trackrelay_share_ceph_until 60 trackrelay_share_ceph_has_active_mds "$dir" ||
    { echo "no MDS became active; see $dir/logs" >&2; tail -n 20 "$dir/logs/mds.a.log" >&2; return 1; }
  trackrelay_share_for_faults "$dir" && trackrelay_share_ceph_mds_start "$dir" b
  trackrelay_share_mount_remote_and_web "$dir" trackrelay_share_ceph_mount
}

# Mounts a FUSE client of the file system of folder $1, named $2 (client.$2), at $1/clients/$2,
# remembered for trackrelay_share_down. The client runs in the foreground of a background job of
# this shell (so call this in the shell itself, not in $(...)).
trackrelay_share_ceph_mount() {
  local dir=$1 name=$2 pid mnt=$1/clients/$2
  mkdir -p "$mnt"
  ceph-fuse -c "$dir/ceph.conf" -n "client.$name" -f "$mnt" </dev/null >>"$dir/logs/client-$name.out" 2>&1 &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
  TRACKRELAY_SHARE_MOUNTS+=("$mnt")
  if ! trackrelay_share_wait 300 "$pid" mountpoint -q "$mnt" || ! trackrelay_share_wait 100 "$pid" test -d "$mnt/."; then
    echo "the ceph client $name did not mount the file system; see $dir/logs" >&2
    tail -n 20 "$dir/logs/client.$name.log" "$dir/logs/client-$name.out" >&2
    return 1
  fi
}

# The session of client $2 (client.$2) of folder $1 ended by the MDS at once, as an administrator
# ends a dead web server's (it is also blocklisted, so that it can never write again).
# An MDS that has just failed over is named active a moment before it answers: the eviction is
# asked of whichever is active again, laggy or not (late with its beacons on a loaded machine, it
# still answers), for up to two minutes by the clock: thirty tries, each ceph call seconds long
# beside Wine's tests and two busy cores, once ran out before the MDS gave the dead client up itself.
trackrelay_share_ceph_evict() {
  local dir=$1 name=$2 mds end=$((SECONDS + 120))
  while [ "$SECONDS" -lt "$end" ]; do
    mds=$(trackrelay_share_ceph_active_mds "$dir" laggy)
    if [ -n "$mds" ] &&
      trackrelay_share_ceph_cli_logged "$dir" tell "mds.$mds" client evict "client_metadata.entity_id=$name"; then
      return 0
    fi
    sleep 2
  done
  echo "no active MDS evicted client.$name" >&2
  return 1
}

# --- Fault actions (faults.sh) -------------------------------------------------------------------

# CephFS: the server is the MDS that holds the file system's rank, the one the clients talk to;
# an MDS that a fault stopped stays among them, so that it is woken whichever now holds the rank.
# The monitor and the OSD are left alone (the OSD has faults of its own: kill-osd, restart-osd).
trackrelay_share_ceph_server_pids() {
  local name pid active
  active=$(trackrelay_share_ceph_active_mds "$1")
  for name in a b; do
    pid=$(trackrelay_share_ceph_pid "$1" mds "$name")
    [ -n "$pid" ] || continue
    if [ "$name" = "$active" ] || [ "$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f1)" = T ]; then
      echo "$pid"
    fi
  done
}
# The program's client only, as on Gluster, or the client named $2 of a farm.
trackrelay_share_ceph_client_pids() { trackrelay_share_pids_naming "-n client.${2:-web} -f $1/clients/${2:-web}"; }
# A killed client's session stays with the MDS, and with it the capabilities and locks it held,
# until the MDS gives up on it (session_timeout, 60 s): the administrator evicts it, as for a
# dead web server.
trackrelay_share_ceph_client_killed() { trackrelay_share_ceph_evict "$1" web; }
# A call that needs the MDS waits until one holds the rank: a hung or dead MDS is given up after
# mds_beacon_grace, and the standby then replays the journal and lets the clients reconnect
# (some seconds); a call may have been sent just before, and one may wait its turn behind it.
trackrelay_share_ceph_blocked_call_seconds() { echo $((2 * ($(trackrelay_share_setting "$1" beacon_grace) + 5))); }
# Every MDS that is not running started again; it comes back as the standby, or takes the rank
# when none holds it.
trackrelay_share_ceph_restart_server() {
  local name
  for name in a b; do
    [ -n "$(trackrelay_share_ceph_pid "$1" mds "$name")" ] || trackrelay_share_ceph_mds_start "$1" "$name"
  done
  trackrelay_share_ceph_until 60 trackrelay_share_ceph_has_active_mds "$1"
}
trackrelay_share_ceph_remount() { trackrelay_share_ceph_mount "$1" web; }
# The pool full: the OSD reports itself full once its use passes the full ratio, which is set
# below what it uses (with the near-full and backfill-full ratios below it, since the OSD takes
# the largest of the three for full); the monitor then marks the pools full, and the clients'
# writes fail (ENOSPC) at their flush while metadata (creates, renames, removals) goes on. Each
# waits until the monitor's map says so; the ratios go back to Ceph's own.
trackrelay_share_ceph_fill() {
  trackrelay_share_ceph_cli_logged "$1" osd set-nearfull-ratio 0.000001 &&
    trackrelay_share_ceph_cli_logged "$1" osd set-backfillfull-ratio 0.000002 &&
    trackrelay_share_ceph_cli_logged "$1" osd set-full-ratio 0.000003 &&
    trackrelay_share_ceph_until 60 trackrelay_share_ceph_pools_full "$1" &&
    trackrelay_share_ceph_until 30 trackrelay_share_ceph_refuses_writes "$1"
}
trackrelay_share_ceph_unfill() {
  trackrelay_share_ceph_cli_logged "$1" osd set-full-ratio 0.95 &&
    trackrelay_share_ceph_cli_logged "$1" osd set-backfillfull-ratio 0.90 &&
    trackrelay_share_ceph_cli_logged "$1" osd set-nearfull-ratio 0.85 &&
    trackrelay_share_ceph_until 60 trackrelay_share_ceph_pools_not_full "$1" &&
    trackrelay_share_ceph_until 30 trackrelay_share_ceph_takes_writes "$1"
}
# Whether a write flushed through the program's client is taken. A client learns that the pools
# are full, or no longer, with the next map it gets, some time after the monitor's; the fault is
# complete once the client refuses a write, the repair once it takes one.
trackrelay_share_ceph_takes_writes() {
  local probe
  probe=$(trackrelay_share_setting "$1" client)/.trackrelay-write-probe
  dd if=/dev/zero of="$probe" bs=512 count=1 conv=fsync status=none 2>/dev/null
  local status=$?
  rm -f "$probe"
  return "$status"
}
trackrelay_share_ceph_refuses_writes() { ! trackrelay_share_ceph_takes_writes "$1"; }
trackrelay_share_ceph_pools_full() { trackrelay_share_ceph_cli "$1" osd dump 2>/dev/null | grep -q '^pool .* flags [a-z_,]*full'; }
trackrelay_share_ceph_pools_not_full() {
  local dump
  dump=$(trackrelay_share_ceph_cli "$1" osd dump 2>/dev/null) && ! grep -q '^pool .* flags [a-z_,]*full' <<<"$dump"
}
# The OSD killed; started again on its store, until the monitor has it up.
trackrelay_share_ceph_kill_osd() { trackrelay_share_ceph_pid "$1" osd 0 | trackrelay_share_signal_all KILL; }
trackrelay_share_ceph_restart_osd() {
  trackrelay_share_ceph_start "$1" osd 0
  trackrelay_share_ceph_until 60 trackrelay_share_ceph_osd_up "$1"
}
