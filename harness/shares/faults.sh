#!/usr/bin/env bash
# Faults of a share that lib.sh brought up with TRACKRELAY_SHARE_FAULTS=1, injected while the
# program works on it, and their repairs: for the fault tests (app/fault_end_to_end_test.cc).
# Run it as
#
#   faults.sh DIR ACTION
#
# with DIR the share's folder (the one given to trackrelay_share_up) and ACTION one of:
#
#   kill-server, restart-server   every process of the share's server killed (SIGKILL); the
#                                 server started again on its port
#   hang-server, resume-server    every process of the server stopped (SIGSTOP); woken (SIGCONT)
#   kill-client, remount-client   the client's processes killed (SIGKILL), which leaves its mount
#                                 dead; the dead mount unmounted and the client mounted again
#   kill-client-NAME, remount-client-NAME
#                                 the same for the client NAME of a cluster file system (a web
#                                 server's of a farm, at DIR/clients/NAME), evicted where the
#                                 file server keeps a dead client's session (the soak's)
#   fill, unfill                  the server's disk filled up; the filler removed
#   read-only, writable           the server's disk made read-only; writable again
#   blocked-call-seconds          prints the longest that one call of the program may block on
#                                 the share while its server does not answer, with the client's
#                                 options in use
#   kill-osd, restart-osd         CephFS only: the OSD killed (SIGKILL); started again on its store
#   evict-client-NAME             the session of client NAME (a web server's, as farm_test.sh
#                                 names them) ended by the file server at once, as an
#                                 administrator ends a dead web server's; nothing where the file
#                                 server keeps no session of a dead client
#   faults                        prints the names of the faults (app/fault_end_to_end_test.cc)
#                                 that the kind goes through
#
# A repair returns once the share serves again through its client (a file made and removed).
#
# What a kind K of share provides, each function taking DIR:
#
#   trackrelay_share_K_server_pids   every process of the server now, one a line
#   trackrelay_share_K_client_pids   every process of the client now, one a line
#   trackrelay_share_K_blocked_call_seconds
#
# and, where the defaults do not fit, functions of the same form for restart_server, remount,
# fill, unfill, read_only and writable. The defaults fit a kind that lib.sh brings up with one
# server on a port (trackrelay_share_K_run DIR) and one client (trackrelay_share_K_mount DIR
# PORT), serving DIR/server on its small disk: smb and sftp. Gluster has its own restart and
# remount; its brick is DIR/server on that disk, so the defaults fill it and make it read-only.
# CephFS has its own server (the MDS that holds the rank), restart, remount and fill (the pool
# full), no read-only, and the OSD's faults besides; a kind may also provide K_client_killed,
# run after the client was killed, and K_evict DIR NAME. Every action runs in a process of
# its own, so a kind finds what it needs in DIR (share.env: kind, port, client, mount), and a
# process it starts names DIR in its command line and is remembered (trackrelay_share_remember
# DIR PID), so that trackrelay_share_down ends it.
#
# Sourced, it only defines these functions.

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# A setting of the share, as trackrelay_share_up kept it in DIR/share.env: its kind, its server's
# port, the folder where it serves through its client (client) and the client's mount point.
trackrelay_share_setting() { sed -n "s/^$2=//p" "$1/share.env"; }

# Processes whose command line holds $1, and all their descendants, one a line.
trackrelay_share_pids_naming() {
  local pid
  for pid in $(pgrep -f -- "$1"); do trackrelay_share_tree "$pid" | cut -d' ' -f1; done | sort -u
}

# Samba: smbd and the processes it forked (one for each connection, and its helpers).
trackrelay_share_smb_server_pids() { trackrelay_share_pids_naming "-s $1/smb.conf"; }
# smbnetfs and its children, one for each server it talks to.
trackrelay_share_smb_client_pids() { trackrelay_share_pids_naming "smbnetfs $1/mnt"; }
# smbnetfs fails a call after its smb_timeout (see trackrelay_share_smb_mount), and a call may
# wait its turn behind one other.
trackrelay_share_smb_blocked_call_seconds() {
  local ms
  ms=$(sed -n 's/^smb_timeout //p' "$1/smbnetfs.conf")
  echo $((2 * (ms + 999) / 1000))
}

# OpenSSH: the listening sshd and the sessions it forked, the SFTP server among them.
trackrelay_share_sftp_server_pids() { trackrelay_share_pids_naming "-f $1/sshd_config"; }
# sshfs and the ssh that carries its connection.
trackrelay_share_sftp_client_pids() {
  { trackrelay_share_pids_naming "$1/mnt -p"; trackrelay_share_pids_naming "IdentityFile=$1/client_key"; } | sort -u
}
# ssh gives a silent server up after (ServerAliveCountMax + 1) * ServerAliveInterval seconds, and
# sshfs's new connection may take ConnectTimeout more before the call fails.
trackrelay_share_sftp_blocked_call_seconds() {
  local options interval count connect
  options=$(trackrelay_share_sftp_timeouts "$1")
  interval=$(echo "$options" | sed -n 's/.*ServerAliveInterval=\([0-9]*\).*/\1/p')
  count=$(echo "$options" | sed -n 's/.*ServerAliveCountMax=\([0-9]*\).*/\1/p')
  connect=$(echo "$options" | sed -n 's/.*ConnectTimeout=\([0-9]*\).*/\1/p')
  echo $(((count + 1) * interval + connect + 1))
}

# GlusterFS: glusterd and the volume's brick (glusterfsd), both of the folder's own glusterd.vol.
trackrelay_share_gluster_server_pids() {
  { trackrelay_share_pids_naming "-f $1/glusterd.vol"; trackrelay_share_gluster_brick_pid "$1"; } | sed '/^$/d' | sort -u
}
# The program's client only (the remote host's is a machine of its own, which the fault spares),
# or the client named $2 of a farm.
trackrelay_share_gluster_client_pids() { trackrelay_share_pids_naming "-l $1/logs/client-${2:-web}.log"; }
# A client gives a silent brick up after network.ping-timeout and fails the calls that wait; a
# call may have been sent just before the last answer, and one may wait its turn behind it.
trackrelay_share_gluster_blocked_call_seconds() { echo $((2 * $(trackrelay_share_setting "$1" ping_timeout) + 1)); }
# glusterd started again on its address, and the brick by it; under the machine lock, as at the
# start, since glusterd also writes to the machine's own folders.
trackrelay_share_gluster_restart_server() {
  trackrelay_share_locked trackrelay_share_gluster_restart_locked "$1"
}
trackrelay_share_gluster_restart_locked() {
  trackrelay_share_gluster_start_glusterd "$1" && trackrelay_share_gluster_start_brick "$1"
}
# A brick whose disk refuses its health check (full, read-only) takes itself down, as it should;
# the repair starts it again ("force" leaves a brick that still runs as it is).
trackrelay_share_gluster_unfill() { trackrelay_share_default_unfill "$1" && trackrelay_share_gluster_restart_brick "$1"; }
trackrelay_share_gluster_writable() { trackrelay_share_default_writable "$1" && trackrelay_share_gluster_restart_brick "$1"; }
trackrelay_share_gluster_restart_brick() { trackrelay_share_locked trackrelay_share_gluster_start_brick "$1"; }
# The program's client mounted again where it was.
trackrelay_share_gluster_remount() { trackrelay_share_gluster_mount "$1" web; }

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

# The defaults: the server started again on its port, the client mounted again.
trackrelay_share_default_restart_server() {
  trackrelay_share_serve "$1" "$(trackrelay_share_setting "$1" port)" "trackrelay_share_$(trackrelay_share_setting "$1" kind)_run"
}
trackrelay_share_default_remount() {
  "trackrelay_share_$(trackrelay_share_setting "$1" kind)_mount" "$1" "$(trackrelay_share_setting "$1" port)"
}

# The server's own disk of the fault tests (a tmpfs at DIR/server, see trackrelay_share_up):
# filled up by a file of the server's beside the drive folders, which takes all room left.
trackrelay_share_default_fill() {
  head -c 1G /dev/zero >"$1/server/filler" 2>/dev/null || true
  [ "$(df --output=avail "$1/server" | tail -n 1)" -eq 0 ]
}
trackrelay_share_default_unfill() { rm -f "$1/server/filler"; }
trackrelay_share_default_read_only() { trackrelay_share_disk_mode "$1" ro; }
trackrelay_share_default_writable() { trackrelay_share_disk_mode "$1" rw; }
# Made read-only ($2 ro) or writable again ($2 rw). A disk with a file open for writing cannot be
# made read-only; the servers hold none for long, so it is tried for a few seconds.
trackrelay_share_disk_mode() {
  local i
  for ((i = 0; i < 50; i++)); do
    mount -o "remount,$2" "$1/server" 2>/dev/null && return 0
    sleep 0.1
  done
  mount -o "remount,$2" "$1/server"
}

# Waits up to 30 s until the share works again through its client (or the folder $2, a named
# client's): a file can be made and removed there. A client may fail calls for some seconds
# after its server is back (smbnetfs until it has connected anew); the repair is done when the
# share serves again.
trackrelay_share_serves_again() {
  local client i probe
  client=${2:-$(trackrelay_share_setting "$1" client)}
  probe=$client/.trackrelay-probe
  for ((i = 0; i < 300; i++)); do
    if : 2>/dev/null >"$probe" && rm -f "$probe" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "the share does not serve again through $client" >&2
  return 1
}

# Signals $1 to every process listed on standard input; then waits, up to 5 s, for the killed
# to end, so that the fault is complete when this returns.
trackrelay_share_signal_all() {
  local pids i
  mapfile -t pids
  [ "${#pids[@]}" -gt 0 ] || { echo "no process to signal" >&2; return 1; }
  kill "-$1" "${pids[@]}" 2>/dev/null || true
  [ "$1" = KILL ] || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "${pids[@]}" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# The faults of app/fault_end_to_end_test.cc that a share of kind $1 goes through, by name.
trackrelay_share_faults_of() {
  case $1 in
    ceph) echo "server_killed server_hung client_killed osd_killed share_full" ;;
    *) echo "server_killed server_hung client_killed share_full share_read_only" ;;
  esac
}

# Calls function $2 of the kind of the share in folder $1, or the default where the kind has none.
trackrelay_share_kind_call() {
  local kind
  kind=$(trackrelay_share_setting "$1" kind)
  if declare -F "trackrelay_share_${kind}_$2" >/dev/null; then
    "trackrelay_share_${kind}_$2" "$1"
  else
    "trackrelay_share_default_$2" "$1"
  fi
}

# Carries out action $2 on the share in folder $1 (see the top of this file).
trackrelay_share_fault() {
  local dir=$1 action=$2 kind mnt
  kind=$(trackrelay_share_setting "$dir" kind)
  [ -n "$kind" ] || { echo "no share in $dir" >&2; return 1; }
  TRACKRELAY_SHARE_DIR=$dir
  case $action in
    kill-server) "trackrelay_share_${kind}_server_pids" "$dir" | trackrelay_share_signal_all KILL ;;
    hang-server) "trackrelay_share_${kind}_server_pids" "$dir" | trackrelay_share_signal_all STOP ;;
    resume-server)
      "trackrelay_share_${kind}_server_pids" "$dir" | trackrelay_share_signal_all CONT && trackrelay_share_serves_again "$dir"
      ;;
    kill-client)
      "trackrelay_share_${kind}_client_pids" "$dir" | trackrelay_share_signal_all KILL || return 1
      if declare -F "trackrelay_share_${kind}_client_killed" >/dev/null; then "trackrelay_share_${kind}_client_killed" "$dir"; fi
      ;;
    remount-client)
      mnt=$(trackrelay_share_setting "$dir" mount)
      fusermount3 -u -z "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
      trackrelay_share_kind_call "$dir" remount && trackrelay_share_serves_again "$dir"
      ;;
    restart-server) trackrelay_share_kind_call "$dir" restart_server && trackrelay_share_serves_again "$dir" ;;
    fill) trackrelay_share_kind_call "$dir" fill ;;
    unfill) trackrelay_share_kind_call "$dir" unfill && trackrelay_share_serves_again "$dir" ;;
    read-only) trackrelay_share_kind_call "$dir" read_only ;;
    writable) trackrelay_share_kind_call "$dir" writable && trackrelay_share_serves_again "$dir" ;;
    blocked-call-seconds) "trackrelay_share_${kind}_blocked_call_seconds" "$dir" ;;
    kill-osd | restart-osd)
      declare -F "trackrelay_share_${kind}_kill_osd" >/dev/null || { echo "a $kind share has no OSD" >&2; return 1; }
      if [ "$action" = kill-osd ]; then
        "trackrelay_share_${kind}_kill_osd" "$dir"
      else
        "trackrelay_share_${kind}_restart_osd" "$dir" && trackrelay_share_serves_again "$dir"
      fi
      ;;
    kill-client-* | remount-client-*)
      # A named client of a cluster file system, mounted at DIR/clients/NAME as farm_test.sh and
      # the soak mount them.
      local name=${action#*-client-}
      case $kind in gluster | ceph) ;; *) echo "a $kind share has no named clients" >&2; return 1 ;; esac
      if [ "${action%%-client-*}" = kill ]; then
        "trackrelay_share_${kind}_client_pids" "$dir" "$name" | trackrelay_share_signal_all KILL || return 1
        if declare -F "trackrelay_share_${kind}_evict" >/dev/null; then "trackrelay_share_${kind}_evict" "$dir" "$name"; fi
      else
        fusermount3 -u -z "$dir/clients/$name" 2>/dev/null || umount -l "$dir/clients/$name" 2>/dev/null || true
        "trackrelay_share_${kind}_mount" "$dir" "$name" && trackrelay_share_serves_again "$dir" "$dir/clients/$name"
      fi
      ;;
    evict-client-*)
      # Where the file server keeps no session of a dead client (Gluster's brick lets its locks go
      # when its connection ends), there is nothing to evict.
      if declare -F "trackrelay_share_${kind}_evict" >/dev/null; then "trackrelay_share_${kind}_evict" "$dir" "${action#evict-client-}"; fi
      ;;
    faults) trackrelay_share_faults_of "$kind" ;;
    *) echo "unknown fault action $action" >&2; return 1 ;;
  esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  trackrelay_share_fault "${1:?usage: faults.sh DIR ACTION}" "${2:?usage: faults.sh DIR ACTION}"
fi
