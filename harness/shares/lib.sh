# Shell helpers that bring a network share up on this machine's loopback address, for the share
# tests and the benchmarks: Samba's smbd mounted through smbnetfs (SMB2/3, a share that ignores
# case), OpenSSH's sshd mounted through sshfs (SFTP), and a GlusterFS volume (a cluster file
# system whose file server enforces byte-range locks across its clients) mounted through one
# FUSE client per web server. Source this file; every name it defines begins with
# "trackrelay_share_". Needs root (the servers log in as root) and FUSE.
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
  # Ceph's OSD keeps its objects on a disk file of its own (see the CephFS section below).
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

# smbd's config for port $2, with every state and lock folder in $1 and one user, root, in a
# passdb of its own; the password, made once, is kept for the client in $1/password.
trackrelay_share_smb_config() {
  local dir=$1 port=$2 conf=$1/smb.conf password
  mkdir -p "$dir/samba"/{private,lock,state,cache,pid,ncalrpc,bind-dns}
  [ -s "$dir/password" ] || head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/password"
  password=$(cat "$dir/password")
  cat >"$conf" <<CONF
[global]
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server min protocol = SMB2_10
  passdb backend = tdbsam:$dir/samba/private/passdb.tdb
  private dir = $dir/samba/private
  lock directory = $dir/samba/lock
  state directory = $dir/samba/state
  cache directory = $dir/samba/cache
  pid directory = $dir/samba/pid
  ncalrpc dir = $dir/samba/ncalrpc
  binddns dir = $dir/samba/bind-dns
  log file = $dir/logs/smbd.log
  log level = 1
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  usershare path =
  map to guest = never
[trackrelay]
  path = $dir/server
  read only = no
  valid users = root
CONF
  printf '%s\n%s\n' "$password" "$password" | smbpasswd -c "$conf" -s -a root >"$dir/logs/smbpasswd.log" 2>&1 ||
    { cat "$dir/logs/smbpasswd.log" >&2; return 1; }
}

# smbd signals its whole process group when it stops: it gets a group of its own.
trackrelay_share_smb_run() {
  exec setsid smbd --foreground --no-process-group -s "$1/smb.conf" >>"$1/logs/smbd.out" 2>&1
}

# smbnetfs mounts the network of the server on port $2 at $1/mnt; the share then shows at
# MNT/127.0.0.1:PORT/trackrelay. A call that the server leaves unanswered fails after
# smb_timeout: 10 s, or 3 s for the fault tests, whose server hangs for a minute.
trackrelay_share_smb_mount() {
  local dir=$1 port=$2 pid timeout=10000
  trackrelay_share_for_faults "$dir" && timeout=3000
  mkdir -p "$dir/home/.smb"
  # The client's libsmbclient reads HOME/.smb/smb.conf after the system's: nothing of root's own.
  : >"$dir/home/.smb/smb.conf"
  cat >"$dir/smbnetfs.conf" <<CONF
auth "127.0.0.1" "root" "$(cat "$dir/password")"
host 127.0.0.1 visible=true
smb_query_browsers "false"
smb_timeout $timeout
log_file "$dir/logs/smbnetfs.log"
CONF
  # smbnetfs ignores the password in a file that others may read.
  chmod 600 "$dir/smbnetfs.conf"
  HOME=$dir/home smbnetfs "$dir/mnt" -f -o "config=$dir/smbnetfs.conf" </dev/null >>"$dir/logs/smbnetfs.out" 2>&1 &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
  TRACKRELAY_SHARE_MOUNTS+=("$dir/mnt")
  TRACKRELAY_SHARE_CLIENT=$dir/mnt/127.0.0.1:$port/trackrelay
  # The port is part of the path: smbnetfs hands it to libsmbclient with the host's name.
  if ! trackrelay_share_wait 300 "$pid" test -d "$TRACKRELAY_SHARE_CLIENT"; then
    echo "smbnetfs does not show the share at $TRACKRELAY_SHARE_CLIENT; see $dir/logs" >&2
    tail -n 20 "$dir/logs/smbnetfs.out" "$dir/logs/smbd.log" >&2
    return 1
  fi
}

# sshd's config for port $2, with a host key and an authorized key of its own in $1.
trackrelay_share_sftp_config() {
  local dir=$1 port=$2
  [ -e "$dir/host_key" ] || ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" >/dev/null
  [ -e "$dir/client_key" ] || ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key" >/dev/null
  cp "$dir/client_key.pub" "$dir/authorized_keys"
  mkdir -p /run/sshd  # sshd's privilege separation folder
  cat >"$dir/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
CONF
}

# sshd wants to be started by its full path.
trackrelay_share_sftp_run() { exec "$(command -v sshd)" -D -e -f "$1/sshd_config" >>"$1/logs/sshd.log" 2>&1; }

# The sshfs options that bound a call the server leaves unanswered: ssh gives the connection up
# after ServerAliveCountMax + 1 keep-alives of ServerAliveInterval seconds without an answer,
# and sshfs then connects anew (reconnect), within ConnectTimeout. Deployments: 5, 2 and 5, some
# 20 s at most; the fault tests, whose server hangs for a minute: 2, 2 and 3, some 9 s.
trackrelay_share_sftp_timeouts() {
  if trackrelay_share_for_faults "$1"; then
    echo ServerAliveInterval=2,ServerAliveCountMax=2,ConnectTimeout=3,reconnect
  else
    echo ServerAliveInterval=5,ServerAliveCountMax=2,ConnectTimeout=5,reconnect
  fi
}

# sshfs mounts the exported folder of the server on port $2 at $1/mnt without its cache and
# handling one request at a time. Its cache keeps a folder's listing for the rest of the second
# even with a timeout of 0 (its times are whole seconds), which hides a new N.out from a look
# that lists the folder, as the Windows build's does, for up to a second. Without the cache, the
# FUSE library's threads race: a delete handled while the close just before it is still on its
# way finds the file open and only hides it, as ".fuse_hidden...", and the close then leaves it
# so on the server (85 files of 300 opened, read, closed and deleted). One thread (-s) takes the
# close first, as it was sent.
trackrelay_share_sftp_mount() {
  local dir=$1 port=$2 pid
  sshfs -f "root@127.0.0.1:$dir/server" "$dir/mnt" -p "$port" \
    -o "IdentityFile=$dir/client_key,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,dir_cache=no" \
    -o "$(trackrelay_share_sftp_timeouts "$dir")" -s </dev/null >>"$dir/logs/sshfs.log" 2>&1 &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
  TRACKRELAY_SHARE_MOUNTS+=("$dir/mnt")
  TRACKRELAY_SHARE_CLIENT=$dir/mnt
  if ! trackrelay_share_wait 300 "$pid" mountpoint -q "$dir/mnt"; then
    echo "sshfs did not mount the share; see $dir/logs" >&2
    tail -n 20 "$dir/logs/sshfs.log" "$dir/logs/sshd.log" >&2
    return 1
  fi
}

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

# --- GlusterFS --------------------------------------------------------------------------------
#
# One glusterd with one volume of one brick (DIR/server), on a loopback address of its own
# (127.0.1.N: gluster refuses 127.0.0.1 and "localhost" as a brick's host), and one FUSE client
# per web server and one for the remote host, each at DIR/clients/NAME. glusterd keeps its state,
# logs, pid files and sockets in DIR (its own glusterd.vol names them), listens on that address
# only, and its brick takes a port of that address. What glusterd makes in the machine's own
# folders all the same (the brick's socket and an empty "snaps" in /run/gluster, "ss_brick" and a
# template in /var/lib/glusterd) is removed again when the last harness on this machine ends;
# those folders are compared with how the first harness found them. glusterd is started, and the
# machine's folders are put back, under the machine lock (/tmp/trackrelay-machine.lock).
#
# The volume's settings are kept in DIR/share.env (address, volume, ping_timeout), so that a
# fault action in a process of its own (faults.sh) can restart the server or mount a client again.

TRACKRELAY_GLUSTER_VOLUME=trackrelay
TRACKRELAY_GLUSTER_MACHINE_LOCK=/tmp/trackrelay-machine.lock
# The harnesses of this machine, one file each naming its folder, and how the first found the
# machine's folders.
TRACKRELAY_GLUSTER_REGISTRY=/tmp/trackrelay-gluster-harnesses
TRACKRELAY_GLUSTER_SYSTEM_FOLDERS=(/var/lib/glusterd /var/log/glusterfs /run/gluster)

# The client options that keep every look true to the server. The kernel keeps no name, no
# missing name and no attributes of the volume's files (entry, negative and attribute timeouts
# 0; by default a name and attributes are kept 1 s): a name that another client renamed over,
# removed or made would otherwise lead to the file it was, to nothing, or to a refusal (the
# no-replace rename of N.DAT finding the N.DAT that the remote host had removed, EEXIST) for
# that second.
TRACKRELAY_GLUSTER_CLIENT_OPTIONS=(--entry-timeout=0 --negative-timeout=0 --attribute-timeout=0)
# The volume options that do the same in Gluster's own client: no metadata cache (md-cache,
# "stat-prefetch", which answers a look-up from what it saw up to a second before) and no cache
# of missing names (nl-cache, off by default). Each is "option value".
TRACKRELAY_GLUSTER_VOLUME_OPTIONS=("performance.stat-prefetch off" "performance.nl-cache off")

# How long a client waits for a file server that does not answer before it gives the connection
# up and fails the calls that wait (network.ping-timeout): Gluster's own 42 s, which with the
# program's 90 s wait stays under the 150 s that the web servers give it; 5 s for the fault
# tests, whose server hangs for a minute. The brick answers a ping from its own thread, so that a
# busy brick does not miss one.
trackrelay_share_gluster_ping_timeout() { if trackrelay_share_for_faults "$1"; then echo 5; else echo 42; fi; }

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

# A loopback address of 127.0.1.0/24 on which nothing listens on glusterd's port, 24007 (the
# bricks find glusterd on that port only), and that no other harness of this machine holds: one
# whose server a fault test has killed for a while must find its address free again. Run under
# the machine lock.
trackrelay_share_gluster_address() {
  local n entry held=" "
  for entry in "$TRACKRELAY_GLUSTER_REGISTRY"/harness-*; do
    [ -e "$entry" ] && held+="$(trackrelay_share_setting "$(cat "$entry")" address) "
  done
  for ((n = 1; n < 255; n++)); do
    [[ "$held" == *" 127.0.1.$n "* ]] && continue
    if ! (exec 3<>"/dev/tcp/127.0.1.$n/24007") 2>/dev/null &&
      ! ss -Hltn "src 127.0.1.$n" 2>/dev/null | grep -q .; then
      echo "127.0.1.$n"
      return 0
    fi
  done
  return 1
}

# The listing of the machine's gluster folders.
trackrelay_share_gluster_system_listing() {
  find "${TRACKRELAY_GLUSTER_SYSTEM_FOLDERS[@]}" -mindepth 1 2>/dev/null | LC_ALL=C sort
}

# Registers the harness of folder $1 (its shell, $$) and, as the first one on the machine, writes
# down how the machine's gluster folders were. Run under the machine lock.
trackrelay_share_gluster_register() {
  local live=0 entry
  mkdir -p "$TRACKRELAY_GLUSTER_REGISTRY"
  for entry in "$TRACKRELAY_GLUSTER_REGISTRY"/harness-*; do
    [ -e "$entry" ] || continue
    if kill -0 "${entry##*-}" 2>/dev/null; then
      live=1
    else
      # A harness whose shell was killed before its end: what it left running goes now.
      trackrelay_share_gluster_reap "$(cat "$entry")"
      rm -f "$entry"
    fi
  done
  if [ "$live" = 0 ] || [ ! -e "$TRACKRELAY_GLUSTER_REGISTRY/baseline" ]; then
    trackrelay_share_gluster_system_listing >"$TRACKRELAY_GLUSTER_REGISTRY/baseline"
  fi
  echo "$1" >"$TRACKRELAY_GLUSTER_REGISTRY/harness-$$"
}

# Ends what the harness of folder $1, whose shell has gone, left behind: its processes (those
# of its list that still run from that folder), its mounts, and the folder.
trackrelay_share_gluster_reap() {
  local dir=$1 pid mnt
  case $dir in /tmp/trackrelay-*) ;; *) return 0 ;; esac
  [ -d "$dir" ] || return 0
  while read -r pid; do
    trackrelay_share_ours "$dir" "$pid" || continue
    kill -CONT "$pid" 2>/dev/null || true
    kill -KILL "$pid" 2>/dev/null || true
  done < <(cat "$dir/pids" "$dir"/run/vols/*/*.pid 2>/dev/null)
  for mnt in "$dir"/clients/* "$dir/server"; do
    if trackrelay_share_mounted "$mnt"; then umount -l "$mnt" 2>/dev/null || true; fi
  done
  rm -rf "$dir"
}

# Unregisters this harness and, when no other is left and no glusterd runs, removes from the
# machine's gluster folders what was not there when the first harness came. Run under the lock.
trackrelay_share_gluster_unregister() {
  local entry path
  rm -f "$TRACKRELAY_GLUSTER_REGISTRY/harness-$$"
  for entry in "$TRACKRELAY_GLUSTER_REGISTRY"/harness-*; do
    [ -e "$entry" ] || continue
    kill -0 "${entry##*-}" 2>/dev/null && return 0
    rm -f "$entry"
  done
  pgrep -x glusterd >/dev/null && return 0
  [ -e "$TRACKRELAY_GLUSTER_REGISTRY/baseline" ] || return 0
  # Deepest first, so that a folder is empty when its turn comes; nothing that was there before
  # is touched.
  trackrelay_share_gluster_system_listing | LC_ALL=C comm -13 "$TRACKRELAY_GLUSTER_REGISTRY/baseline" - |
    LC_ALL=C sort -r | while IFS= read -r path; do
      if [ -d "$path" ] && [ ! -L "$path" ]; then rmdir "$path" 2>/dev/null || true; else rm -f "$path"; fi
    done
  rm -f "$TRACKRELAY_GLUSTER_REGISTRY/baseline"
  rmdir "$TRACKRELAY_GLUSTER_REGISTRY" 2>/dev/null || true
}

# The gluster command line against the glusterd of folder $1.
trackrelay_share_gluster_cli() {
  local dir=$1
  shift
  gluster --mode=script --glusterd-sock="$dir/run/glusterd.socket" --log-file="$dir/logs/cli.log" "$@"
}

# The same, its output kept in the log; status 1, with the log's tail, when it fails.
trackrelay_share_gluster_cli_logged() {
  local dir=$1
  trackrelay_share_gluster_cli "$@" >>"$dir/logs/cli.out" 2>&1 || { tail -n 5 "$dir/logs/cli.out" >&2; return 1; }
}

# The pid of the running brick of the volume in folder $1, or nothing.
trackrelay_share_gluster_brick_pid() {
  local pid
  pid=$(cat "$1"/run/vols/*/*.pid 2>/dev/null | head -n 1)
  [ -n "$pid" ] && trackrelay_share_ours "$1" "$pid" && echo "$pid"
  return 0
}

# Starts glusterd for folder $1 in the foreground of a background job, on the address kept in
# share.env, remembered for trackrelay_share_down; waits until it answers. Run under the lock.
trackrelay_share_gluster_start_glusterd() {
  local dir=$1 address pid
  address=$(trackrelay_share_setting "$dir" address)
  mkdir -p "$dir/glusterd" "$dir/run" "$dir/logs"
  cat >"$dir/glusterd.vol" <<CONF
volume management
    type mgmt/glusterd
    option working-directory $dir/glusterd
    option run-directory $dir/run
    option logging-directory $dir/logs
    option glusterd-sockfile $dir/run/glusterd.socket
    option transport-type socket
    option transport.address-family inet
    option transport.socket.bind-address $address
    option transport.socket.listen-port 24007
    option transport.socket.read-fail-log off
    option ping-timeout 0
    option event-threads 1
end-volume
CONF
  # A socket left by a glusterd that was killed would pass for the new one's.
  rm -f "$dir/run/glusterd.socket"
  glusterd -N -f "$dir/glusterd.vol" -p "$dir/run/glusterd.pid" -l "$dir/logs/glusterd.log" \
    </dev/null >>"$dir/logs/glusterd.out" 2>&1 &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
  if ! trackrelay_share_wait 300 "$pid" test -S "$dir/run/glusterd.socket" ||
    ! trackrelay_share_wait 300 "$pid" trackrelay_share_gluster_cli "$dir" volume list; then
    echo "glusterd did not start on $address; see $dir/logs" >&2
    tail -n 20 "$dir/logs/glusterd.log" >&2
    return 1
  fi
}

# Starts the volume's brick ("force": also when glusterd thinks it started, as after a kill) and
# remembers it once it runs. Run under the lock.
trackrelay_share_gluster_start_brick() {
  local dir=$1 i pid
  trackrelay_share_gluster_cli_logged "$dir" volume start "$(trackrelay_share_setting "$dir" volume)" force || return 1
  for ((i = 0; i < 100; i++)); do
    pid=$(trackrelay_share_gluster_brick_pid "$dir")
    if [ -n "$pid" ]; then
      grep -qx "$pid" "$dir/pids" || trackrelay_share_remember "$dir" "$pid"
      return 0
    fi
    sleep 0.1
  done
  echo "the brick did not start; see $dir/logs" >&2
  return 1
}

# glusterd and the volume of folder $1, made and started. Run under the lock.
trackrelay_share_gluster_up_locked() {
  local dir=$1 address option volume=$TRACKRELAY_GLUSTER_VOLUME
  trackrelay_share_gluster_register "$dir"
  address=$(trackrelay_share_gluster_address) || { echo "no loopback address of 127.0.1.0/24 is free for glusterd" >&2; return 1; }
  printf 'address=%s\nvolume=%s\nping_timeout=%s\n' "$address" "$volume" "$(trackrelay_share_gluster_ping_timeout "$dir")" \
    >>"$dir/share.env"
  trackrelay_share_gluster_start_glusterd "$dir" || return 1
  # "force": the brick lies on the root file system (or a tmpfs), which gluster would rather not have.
  trackrelay_share_gluster_cli_logged "$dir" volume create "$volume" "$address:$dir/server" force || return 1
  for option in "${TRACKRELAY_GLUSTER_VOLUME_OPTIONS[@]}" "network.ping-timeout $(trackrelay_share_setting "$dir" ping_timeout)"; do
    # shellcheck disable=SC2086  # "option value"
    trackrelay_share_gluster_cli_logged "$dir" volume set "$volume" $option || return 1
  done
  trackrelay_share_gluster_start_brick "$dir"
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

# The volume of folder $1 (its brick on $1/server), with a client for the program at
# $1/clients/web (TRACKRELAY_SHARE_CLIENT) and one for the remote host at $1/clients/remote
# (TRACKRELAY_SHARE_SERVER). More clients: trackrelay_share_gluster_mount.
trackrelay_share_gluster_up() {
  local dir=$1
  mkdir -p "$dir/clients"
  trackrelay_share_locked trackrelay_share_gluster_up_locked "$dir" || return 1
  trackrelay_share_mount_remote_and_web "$dir" trackrelay_share_gluster_mount
}

# Mounts a FUSE client of the volume of folder $1, named $2, at $1/clients/$2 with the options
# above (and those after the name), remembered for trackrelay_share_down. The client runs in the
# foreground of a background job of this shell (so call this in the shell itself, not in $(...)).
trackrelay_share_gluster_mount() {
  local dir=$1 name=$2 pid mnt=$1/clients/$2
  shift 2
  mkdir -p "$mnt"
  glusterfs -N --volfile-server="$(trackrelay_share_setting "$dir" address)" \
    --volfile-id="$(trackrelay_share_setting "$dir" volume)" "${TRACKRELAY_GLUSTER_CLIENT_OPTIONS[@]}" "$@" \
    --process-name="fuse-$name" -l "$dir/logs/client-$name.log" "$mnt" </dev/null \
    >>"$dir/logs/client-$name.out" 2>&1 &
  pid=$!
  trackrelay_share_remember "$dir" "$pid"
  TRACKRELAY_SHARE_MOUNTS+=("$mnt")
  if ! trackrelay_share_wait 300 "$pid" mountpoint -q "$mnt" || ! trackrelay_share_wait 100 "$pid" test -d "$mnt/."; then
    echo "the gluster client $name did not mount the volume; see $dir/logs" >&2
    tail -n 20 "$dir/logs/client-$name.log" >&2
    return 1
  fi
}

# Stops the volume of folder $1 while its glusterd still runs (its clients are unmounted by now),
# so that the brick ends as glusterd ends it; the socket it keeps in /run/gluster is noted, for
# trackrelay_share_gluster_put_back.
trackrelay_share_gluster_stop_volume() {
  local dir=$1 brick
  brick=$(trackrelay_share_gluster_brick_pid "$dir")
  [ -z "$brick" ] || tr '\0' '\n' <"/proc/$brick/cmdline" 2>/dev/null | sed -n '/^-S$/{n;p;q}' >>"$dir/run/brick-sockets"
  if [ -S "$dir/run/glusterd.socket" ] && [ -n "$(trackrelay_share_setting "$dir" volume)" ]; then
    timeout 30 gluster --mode=script --glusterd-sock="$dir/run/glusterd.socket" --log-file="$dir/logs/cli.log" \
      volume stop "$(trackrelay_share_setting "$dir" volume)" force >>"$dir/logs/cli.out" 2>&1 || true
  fi
}

# Once every process of the volume of folder $1 has ended: its brick's socket removed, and the
# machine's folders put back as the first harness found them when this was the last.
trackrelay_share_gluster_put_back() {
  local dir=$1 socket
  while read -r socket; do
    [ -S "$socket" ] && rm -f "$socket"
  done < <(sort -u "$dir/run/brick-sockets" 2>/dev/null)
  trackrelay_share_locked trackrelay_share_gluster_unregister || true
}

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
trackrelay_share_ceph_active_mds() {
  trackrelay_share_ceph_cli "$1" mds stat 2>/dev/null | grep -o '0=[a-z]*=up:active[^,}]*' | grep -v laggy | cut -d= -f2
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
# asked of whichever is active again, for up to 30 s.
trackrelay_share_ceph_evict() {
  local dir=$1 name=$2 mds try
  for try in $(seq 1 15); do
    mds=$(trackrelay_share_ceph_active_mds "$dir")
    if [ -n "$mds" ] &&
      trackrelay_share_ceph_cli_logged "$dir" tell "mds.$mds" client evict "client_metadata.entity_id=$name"; then
      return 0
    fi
    sleep 2
  done
  echo "no active MDS evicted client.$name" >&2
  return 1
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
