# Shell helpers that bring a network share up on this machine's loopback address, for the share
# tests, the farm's, the soak and the benchmarks: what every kind of share has in common (the
# test's folder and its end, starting a server on a free port, remembering and stopping every
# process and mount, the machine lock), and, sourced at the end, one file a kind in kinds/:
# smb.sh (Samba's smbd through smbnetfs), sftp.sh (OpenSSH's sshd through sshfs), gluster.sh (a
# GlusterFS volume) and ceph.sh (CephFS), each with its fault actions for faults.sh. Source this
# file; every name it defines begins with "trackrelay_share_". Needs root (the servers log in as
# root) and FUSE.
#
# A share serves a folder of the server's, SERVER; the client mounts it, and the same folder
# shows at CLIENT. The remote host works on SERVER, as a real one works on its own disk; the
# program reaches the drive through CLIENT only. On Gluster no one may write to the server's own
# folder (the brick, DIR/server) but the server: SERVER is then the remote host's own client of
# the volume, as a remote host of a farm would have it.
#
# With TRACKRELAY_SHARE_FAULTS=1 the share is brought up for the fault tests (faults.sh): SERVER
# is a small disk of its own (a tmpfs of TRACKRELAY_SHARE_DISK_SIZE, 16m by default) that can be
# filled up or made read-only, and the client gives up on a server that does not answer sooner.
# Everything a later process needs to restart the server or remount the client is kept in the
# share's folder (share.env), and the processes it starts are listed there (pids).

# shellcheck source=../servers/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../servers/lib.sh"

# The servers live in the administrator's folders, which a plain PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
TRACKRELAY_SHARE_PIDS=()
TRACKRELAY_SHARE_MOUNTS=()

# Why share $1 (smb, sftp, gluster or ceph) cannot be brought up here, or nothing when it can: no FUSE, a
# program missing, not root. The caller reports a skip with this reason.
trackrelay_share_missing() {
  local kind=$1 program
  [ "$(id -u)" -eq 0 ] || { echo "not root: the share's server logs its user in as root"; return; }
  [ -c /dev/fuse ] || { echo "no FUSE: /dev/fuse is missing"; return; }
  local programs=(fusermount3)
  case $kind in
    smb) programs+=(smbd smbpasswd smbnetfs) ;;
    sftp) programs+=(sshd ssh-keygen sshfs) ;;
    gluster) programs+=(glusterd gluster glusterfs) ;;
    ceph) programs+=(ceph-mon ceph-osd ceph-mds ceph-fuse ceph monmaptool) ;;
    *) echo "unknown share $kind"; return ;;
  esac
  for program in "${programs[@]}"; do
    command -v "$program" >/dev/null 2>&1 ||
      { echo "$program is missing (packages: samba smbnetfs openssh-server sshfs glusterfs-server glusterfs-client ceph-mon ceph-osd ceph-mds ceph-fuse ceph-common fuse3)"; return; }
  done
}

# The start of a test script on share $1: a skip (status 77) with the reason when it cannot be
# brought up here ($2 names it in the message), else a folder of its own, $work (/tmp/trackrelay-
# $3-...), and at the script's exit trackrelay_share_down and the folder's removal, unless the
# script failed or KEEP_WORK=1: then the folder keeps the servers' configs and logs.
trackrelay_share_test_begin() {
  local reason
  reason=$(trackrelay_share_missing "$1")
  if [ -n "$reason" ]; then
    echo "SKIPPED: $2 cannot be brought up here: $reason"
    exit 77
  fi
  work=$(mktemp -d "/tmp/trackrelay-$3-XXXXXX")
  trap trackrelay_share_test_end EXIT
  trap 'exit 130' INT TERM
}

trackrelay_share_test_end() {
  local status=$?
  trackrelay_share_down
  # Ceph's daemons and clients are told to keep everything in the test's folder; whatever they
  # left in the machine's own folders all the same fails the test.
  if [ "$(trackrelay_share_setting "$work" kind)" = ceph ]; then
    local left
    left=$(find /var/lib/ceph /var/log/ceph /run/ceph -newer "$work/ceph.conf" 2>/dev/null)
    if [ -n "$left" ]; then
      echo "the cluster left files in the machine's own folders:" $left >&2
      [ "$status" -ne 0 ] || status=1
    fi
  fi
  if [ "${KEEP_WORK:-}" = 1 ] || [ "$status" -ne 0 ]; then
    echo "the servers' configs and logs are in $work"
  else
    rm -rf "$work"
  fi
  exit "$status"
}

# Runs the command after $1 in the background, its output kept in file $1 until
# trackrelay_share_finish shows it: a case that waits long runs beside the others.
trackrelay_share_beside() {
  beside_log=$1
  shift
  "$@" >"$beside_log" 2>&1 &
  beside_pid=$!
}

# Ends the script with a line that tells how its runs went, $1 naming what was tested: the
# status $2 of the run in the foreground unless it failed, else that of the run beside it.
trackrelay_share_finish() {
  local what=$1 status=$2 beside=0
  if [ -n "${beside_pid:-}" ]; then
    wait "$beside_pid" || beside=$?
    cat "$beside_log"
  fi
  [ "$status" -eq 0 ] && status=$beside
  echo "== $what: $([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)") in $((SECONDS - started)) s"
  exit "$status"
}

# Waits up to $1 tenths of a second for the command after it to succeed while process $2 lives.
trackrelay_share_wait() {
  local tenths=$1 pid=$2 i
  shift 2
  for ((i = 0; i < tenths; i++)); do
    "$@" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Starts a share's server on a free loopback port: $2 DIR PORT writes its config for that port,
# and $3 DIR runs it in the foreground (it is started in the background here). Another process
# may take the port first, or the server may fail: then another port, five tries in all. Sets
# port and remembers the server for trackrelay_share_down; status 1, with the tail of log $1,
# when the server never listened.
trackrelay_share_listen() {
  local log=$1 configure=$2 run=$3 dir=$4 attempt
  for ((attempt = 0; attempt < 5; attempt++)); do
    port=$(trackrelay_pick_port)
    "$configure" "$dir" "$port" || return 1
    if trackrelay_share_serve "$dir" "$port" "$run"; then return 0; fi
  done
  port=
  echo "the share's server did not start; see $(dirname "$log")" >&2
  tail -n 20 "$log" >&2
  return 1
}

# Runs $3 DIR in the background, remembered for trackrelay_share_down, and waits until it
# listens on port $2: status 0; status 1, with the server stopped again, when it never does.
trackrelay_share_serve() {
  local dir=$1 port=$2 run=$3 pid
  "$run" "$dir" </dev/null &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
  if trackrelay_share_wait 100 "$pid" bash -c "exec 3<>/dev/tcp/127.0.0.1/$port"; then return 0; fi
  trackrelay_stop "$pid"
  return 1
}

# Remembers process $2 of the share in folder $1 for trackrelay_share_down, also when a process
# other than the one that brought the share up started it.
trackrelay_share_remember() {
  # Out of the shell's jobs: a fault test kills it on purpose, and the shell need not say so.
  disown "$2" 2>/dev/null || true
  TRACKRELAY_SHARE_PIDS+=("$2")
  echo "$2" >>"$1/pids"
}

# Brings share $1 (smb, sftp, gluster or ceph) up with everything it needs in folder $2: the server's
# config, state and logs, the exported folder ($2/server) and the mount point ($2/mnt; Gluster's
# clients are mounted in $2/clients). Sets TRACKRELAY_SHARE_SERVER and TRACKRELAY_SHARE_CLIENT;
# remembers what it started and mounted for trackrelay_share_down, which the caller runs however
# it ends (trap ... EXIT).
trackrelay_share_up() {
  local kind=$1 dir=$2 port
  mkdir -p "$dir/server" "$dir/mnt" "$dir/logs"
  TRACKRELAY_SHARE_DIR=$dir
  TRACKRELAY_SHARE_SERVER=$dir/server
  : >"$dir/pids"
  # Ceph's OSD keeps its objects on a disk file of its own (see kinds/ceph.sh).
  if [ "${TRACKRELAY_SHARE_FAULTS:-}" = 1 ] && [ "$kind" != ceph ]; then
    mount -t tmpfs -o "size=${TRACKRELAY_SHARE_DISK_SIZE:-16m},mode=755" trackrelay-share "$dir/server" ||
      { echo "cannot mount a disk of its own for the share's server at $dir/server" >&2; return 1; }
    TRACKRELAY_SHARE_MOUNTS+=("$dir/server")
  fi
  case $kind in
    smb) trackrelay_share_listen "$dir/logs/smbd.log" trackrelay_share_smb_config trackrelay_share_smb_run "$dir" || return 1 ;;
    sftp) trackrelay_share_listen "$dir/logs/sshd.log" trackrelay_share_sftp_config trackrelay_share_sftp_run "$dir" || return 1 ;;
    gluster)
      # Known from the start, so that trackrelay_share_down ends the volume however far it got.
      printf 'kind=gluster\nfaults=%s\n' "${TRACKRELAY_SHARE_FAULTS:-}" >"$dir/share.env"
      trackrelay_share_gluster_up "$dir" || return 1
      printf 'client=%s\nmount=%s\n' "$TRACKRELAY_SHARE_CLIENT" "$TRACKRELAY_SHARE_CLIENT" >>"$dir/share.env"
      return 0
      ;;
    ceph)
      printf 'kind=ceph\nfaults=%s\n' "${TRACKRELAY_SHARE_FAULTS:-}" >"$dir/share.env"
      trackrelay_share_ceph_up "$dir" || return 1
      printf 'client=%s\nmount=%s\n' "$TRACKRELAY_SHARE_CLIENT" "$TRACKRELAY_SHARE_CLIENT" >>"$dir/share.env"
      return 0
      ;;
    *) echo "unknown share $kind" >&2; return 1 ;;
  esac
  printf 'kind=%s\nport=%s\nfaults=%s\n' "$kind" "$port" "${TRACKRELAY_SHARE_FAULTS:-}" >"$dir/share.env"
  "trackrelay_share_${kind}_mount" "$dir" "$port" || return 1
  printf 'client=%s\nmount=%s\n' "$TRACKRELAY_SHARE_CLIENT" "$dir/mnt" >>"$dir/share.env"
}

# A setting of the share in folder $1, as trackrelay_share_up kept it in share.env: kind, port,
# faults, client (the folder where it serves through the program's client), mount (that
# client's mount point), and a kind's own (Gluster's address, volume and ping_timeout).
trackrelay_share_setting() { sed -n "s/^$2=//p" "$1/share.env" 2>/dev/null; }

# Whether the share in folder $1 was brought up for the fault tests.
trackrelay_share_for_faults() { grep -qx 'faults=1' "$1/share.env" 2>/dev/null; }

# Whether something is mounted at $1. A client that was killed leaves its mount point answering
# "not connected", which mountpoint(1) takes for no mount point at all; the kernel's table tells.
trackrelay_share_mounted() {
  awk -v mnt="$1" '$2 == mnt { found = 1 } END { exit !found }' /proc/self/mounts
}

# Whether process $2 is one of the share's in folder $1: its command line names the folder.
trackrelay_share_ours() { { tr '\0' ' ' <"/proc/$2/cmdline"; } 2>/dev/null | grep -qF -- "$1/"; }

# Process $1 and all its descendants, one a line, each with its start time: "PID START".
trackrelay_share_tree() {
  local child
  echo "$1 $(trackrelay_share_started "$1")"
  for child in $(pgrep -P "$1" 2>/dev/null); do trackrelay_share_tree "$child"; done
}

# When process $1 started (in clock ticks since boot), which tells it from a later process that
# was given the same number; empty once it has ended.
trackrelay_share_started() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f20; }

# Sends signal $1 to each process "PID START" on standard input that still runs.
trackrelay_share_signal() {
  local signal=$1 pid started
  while read -r pid started; do
    [ -n "$started" ] && [ "$(trackrelay_share_started "$pid")" = "$started" ] && kill "-$signal" "$pid" 2>/dev/null
  done
  return 0
}

# Unmounts what trackrelay_share_up mounted and stops what it and the fault actions started, the
# clients first. A server that a fault left stopped is woken first, so that it can end, and no
# process of theirs is left behind.
trackrelay_share_down() {
  local mnt i pid kind= tree=() ours=() gluster=
  [ -z "${TRACKRELAY_SHARE_DIR:-}" ] || kind=$(trackrelay_share_setting "$TRACKRELAY_SHARE_DIR" kind)
  [ "$kind" = gluster ] && gluster=$TRACKRELAY_SHARE_DIR
  if [ "$kind" = gluster ] || [ "$kind" = ceph ]; then
    # Every client of the volume, also those that a fault action mounted again.
    for mnt in "$TRACKRELAY_SHARE_DIR"/clients/*; do
      [[ " ${TRACKRELAY_SHARE_MOUNTS[*]} " == *" $mnt "* ]] || TRACKRELAY_SHARE_MOUNTS+=("$mnt")
    done
  fi
  if [ -n "${TRACKRELAY_SHARE_DIR:-}" ] && [ -s "$TRACKRELAY_SHARE_DIR/pids" ]; then
    while read -r pid; do
      [[ " ${TRACKRELAY_SHARE_PIDS[*]} " == *" $pid "* ]] || TRACKRELAY_SHARE_PIDS+=("$pid")
    done <"$TRACKRELAY_SHARE_DIR/pids"
  fi
  # Only a process that still is the share's own (a number may have gone to another process).
  for pid in "${TRACKRELAY_SHARE_PIDS[@]}"; do
    [ -n "${TRACKRELAY_SHARE_DIR:-}" ] && trackrelay_share_ours "$TRACKRELAY_SHARE_DIR" "$pid" || continue
    ours+=("$pid")
    while read -r i; do tree+=("$i"); done < <(trackrelay_share_tree "$pid")
  done
  printf '%s\n' "${tree[@]}" | trackrelay_share_signal CONT
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    [ "$mnt" = "${TRACKRELAY_SHARE_DIR:-}/server" ] && continue
    trackrelay_share_mounted "$mnt" || continue
    fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
  done
  [ -z "$gluster" ] || trackrelay_share_gluster_stop_volume "$gluster"
  # Last started, first stopped: the client before its server.
  for ((i = ${#ours[@]} - 1; i >= 0; i--)); do trackrelay_stop "${ours[i]}"; done
  printf '%s\n' "${tree[@]}" | trackrelay_share_signal KILL
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    if trackrelay_share_mounted "$mnt"; then umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true; fi
  done
  [ -z "$gluster" ] || trackrelay_share_gluster_put_back "$gluster"
  # Ended: no later harness is to reap the folder, which a failed test keeps for its logs.
  [ "$kind" != ceph ] || sed -i '/^harness=/d' "$TRACKRELAY_SHARE_DIR/share.env"
  TRACKRELAY_SHARE_PIDS=()
  TRACKRELAY_SHARE_MOUNTS=()
  TRACKRELAY_SHARE_DIR=
}

# The machine lock: what changes the machine's own folders (glusterd's start, their putting back,
# the reaping of a killed harness's cluster) is done by one harness at a time.
TRACKRELAY_GLUSTER_MACHINE_LOCK=/tmp/trackrelay-machine.lock
# Runs the command after it with the machine lock held (waiting up to 10 minutes for it) and the
# lock's descriptor closed in the command, so that no daemon it starts goes on holding the lock.
trackrelay_share_locked() {
  local status=0
  exec 9>>"$TRACKRELAY_GLUSTER_MACHINE_LOCK"
  if ! flock -w 600 9; then
    exec 9>&-
    echo "the machine lock $TRACKRELAY_GLUSTER_MACHINE_LOCK was not free within 10 minutes" >&2
    return 1
  fi
  "$@" 9>&- || status=$?
  exec 9>&-
  return "$status"
}

# Processes whose command line holds $1, and all their descendants, one a line.
trackrelay_share_pids_naming() {
  local pid
  for pid in $(pgrep -f -- "$1"); do trackrelay_share_tree "$pid" | cut -d' ' -f1; done | sort -u
}

# Mounts the cluster file system of folder $1 with mount function $2 twice: for the remote host at
# $1/clients/remote (TRACKRELAY_SHARE_SERVER) and for the web server at $1/clients/web
# (TRACKRELAY_SHARE_CLIENT). In the shell itself, as the mount functions are.
trackrelay_share_mount_remote_and_web() {
  "$2" "$1" remote || return 1
  TRACKRELAY_SHARE_SERVER=$1/clients/remote
  "$2" "$1" web || return 1
  TRACKRELAY_SHARE_CLIENT=$1/clients/web
}

# Ends what a harness of kind $1 left behind whose shell has gone (killed before its end): the
# processes of its list that still run from its folder, its mounts, and the folder. Run under the
# machine lock.
trackrelay_share_reap_orphans() {
  local env dir harness
  for env in /tmp/trackrelay-*/share.env; do
    [ -e "$env" ] || continue
    dir=$(dirname "$env")
    [ "$(trackrelay_share_setting "$dir" kind)" = "$1" ] || continue
    harness=$(trackrelay_share_setting "$dir" harness)
    [ -n "$harness" ] && ! kill -0 "$harness" 2>/dev/null || continue
    trackrelay_share_gluster_reap "$dir"
  done
}

# Each kind of share in a file of its own: how its server and clients are brought up, and its
# fault actions, which faults.sh calls by name (trackrelay_share_KIND_server_pids and so on).
for trackrelay_share_kind_file in smb sftp gluster ceph; do
  # shellcheck source=/dev/null
  source "$(dirname "${BASH_SOURCE[0]}")/kinds/$trackrelay_share_kind_file.sh"
done
unset trackrelay_share_kind_file
