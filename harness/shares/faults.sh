#!/usr/bin/env bash
# Faults of a share that lib.sh brought up with TRACKRELAY_SHARE_FAULTS=1, injected while the
# program works on it, and their repairs: for the fault tests (e2e/fault_end_to_end_test.cc).
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
#   faults                        prints the names of the faults (e2e/fault_end_to_end_test.cc)
#                                 that the kind goes through
#
# A repair returns once the share serves again through its client (a file made and removed).
#
# What a kind K of share provides, in its file kinds/K.sh, each function taking DIR:
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

# The faults of e2e/fault_end_to_end_test.cc that a share of kind $1 goes through, by name.
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
