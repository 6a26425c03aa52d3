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
# folder (the brick) but the server: SERVER is then the remote host's own client of the volume,
# as a remote host of a farm would have it.

# shellcheck source=../servers/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../servers/lib.sh"

# The servers live in the administrator's folders, which a plain PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
TRACKRELAY_SHARE_PIDS=()
TRACKRELAY_SHARE_MOUNTS=()

# Why share $1 (smb or sftp) cannot be brought up here, or nothing when it can: no FUSE, a
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
    *) echo "unknown share $kind"; return ;;
  esac
  for program in "${programs[@]}"; do
    command -v "$program" >/dev/null 2>&1 ||
      { echo "$program is missing (packages: samba smbnetfs openssh-server sshfs glusterfs-server glusterfs-client fuse3)"; return; }
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
  if [ "${KEEP_WORK:-}" = 1 ] || [ "$status" -ne 0 ]; then
    echo "the servers' configs and logs are in $work"
  else
    rm -rf "$work"
  fi
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

# Starts a share's server on a free loopback port: $2 PORT writes its config for that port, and
# $3 runs it in the foreground (it is started in the background here). Another process may take
# the port first, or the server may fail: then another port, five tries in all. Sets port and
# remembers the server for trackrelay_share_down; status 1, with the tail of log $1, when the
# server never listened.
trackrelay_share_listen() {
  local log=$1 configure=$2 run=$3 attempt pid
  for ((attempt = 0; attempt < 5; attempt++)); do
    port=$(trackrelay_pick_port)
    "$configure" "$port" || return 1
    "$run" </dev/null &
    pid=$!
    TRACKRELAY_SHARE_PIDS+=("$pid")
    if trackrelay_share_wait 100 "$pid" bash -c "exec 3<>/dev/tcp/127.0.0.1/$port"; then return 0; fi
    trackrelay_stop "$pid"
    unset 'TRACKRELAY_SHARE_PIDS[-1]'
  done
  port=
  echo "the share's server did not start; see $(dirname "$log")" >&2
  tail -n 20 "$log" >&2
  return 1
}

# Brings share $1 (smb or sftp) up with everything it needs in folder $2: the server's config,
# state and logs, the exported folder ($2/server) and the mount point ($2/mnt). Sets
# TRACKRELAY_SHARE_SERVER and TRACKRELAY_SHARE_CLIENT; remembers what it started and mounted
# for trackrelay_share_down, which the caller runs however it ends (trap ... EXIT).
trackrelay_share_up() {
  local kind=$1 dir=$2
  mkdir -p "$dir/server" "$dir/mnt" "$dir/logs"
  TRACKRELAY_SHARE_SERVER=$dir/server
  case $kind in
    smb) trackrelay_share_up_smb "$dir" ;;
    sftp) trackrelay_share_up_sftp "$dir" ;;
    gluster) trackrelay_share_up_gluster "$dir" ;;
    *) echo "unknown share $kind" >&2; return 1 ;;
  esac
}

# smbd on a free loopback port with a config of its own, every state and lock folder in $1, and
# one user, root, in a passdb of its own; smbnetfs mounts the network, the share then shows at
# MNT/127.0.0.1:PORT/trackrelay.
trackrelay_share_up_smb() {
  local dir=$1 port pid password conf=$1/smb.conf
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  mkdir -p "$dir/samba"/{private,lock,state,cache,pid,ncalrpc,bind-dns} "$dir/home/.smb"
  trackrelay_share_smb_config() {
    cat >"$conf" <<CONF
[global]
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $1
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
  path = $TRACKRELAY_SHARE_SERVER
  read only = no
  valid users = root
CONF
    printf '%s\n%s\n' "$password" "$password" | smbpasswd -c "$conf" -s -a root >"$dir/logs/smbpasswd.log" 2>&1 ||
      { cat "$dir/logs/smbpasswd.log" >&2; return 1; }
  }
  # smbd signals its whole process group when it stops: it gets a group of its own.
  trackrelay_share_smb_run() { exec setsid smbd --foreground --no-process-group -s "$conf" >>"$dir/logs/smbd.out" 2>&1; }
  trackrelay_share_listen "$dir/logs/smbd.log" trackrelay_share_smb_config trackrelay_share_smb_run || return 1

  # The client's libsmbclient reads HOME/.smb/smb.conf after the system's: nothing of root's own.
  : >"$dir/home/.smb/smb.conf"
  cat >"$dir/smbnetfs.conf" <<CONF
auth "127.0.0.1" "root" "$password"
host 127.0.0.1 visible=true
smb_query_browsers "false"
log_file "$dir/logs/smbnetfs.log"
CONF
  # smbnetfs ignores the password in a file that others may read.
  chmod 600 "$dir/smbnetfs.conf"
  HOME=$dir/home smbnetfs "$dir/mnt" -f -o "config=$dir/smbnetfs.conf" </dev/null >>"$dir/logs/smbnetfs.out" 2>&1 &
  pid=$!
  TRACKRELAY_SHARE_PIDS+=("$pid")
  TRACKRELAY_SHARE_MOUNTS+=("$dir/mnt")
  TRACKRELAY_SHARE_CLIENT=$dir/mnt/127.0.0.1:$port/trackrelay
  # The port is part of the path: smbnetfs hands it to libsmbclient with the host's name.
  if ! trackrelay_share_wait 300 "$pid" test -d "$TRACKRELAY_SHARE_CLIENT"; then
    echo "smbnetfs does not show the share at $TRACKRELAY_SHARE_CLIENT; see $dir/logs" >&2
    tail -n 20 "$dir/logs/smbnetfs.out" "$dir/logs/smbd.log" >&2
    return 1
  fi
}

# sshd on a free loopback port with a config, host key and authorized key of its own in $1;
# sshfs mounts the exported folder at MNT without its cache and handling one request at a time.
# Its cache keeps a folder's listing for the rest of the second even with a timeout of 0 (its
# times are whole seconds), which hides a new N.out from a look that lists the folder, as the
# Windows build's does, for up to a second. Without the cache, the FUSE library's threads race:
# a delete handled while the close just before it is still on its way finds the file open and
# only hides it, as ".fuse_hidden...", and the close then leaves it so on the server (85 files of
# 300 opened, read, closed and deleted). One thread (-s) takes the close first, as it was sent.
trackrelay_share_up_sftp() {
  local dir=$1 port pid conf=$1/sshd_config
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" >/dev/null
  ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key" >/dev/null
  cp "$dir/client_key.pub" "$dir/authorized_keys"
  mkdir -p /run/sshd  # sshd's privilege separation folder
  trackrelay_share_sftp_config() {
    cat >"$conf" <<CONF
ListenAddress 127.0.0.1:$1
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
  trackrelay_share_sftp_run() { exec "$(command -v sshd)" -D -e -f "$conf" >>"$dir/logs/sshd.log" 2>&1; }
  trackrelay_share_listen "$dir/logs/sshd.log" trackrelay_share_sftp_config trackrelay_share_sftp_run || return 1

  sshfs -f "root@127.0.0.1:$TRACKRELAY_SHARE_SERVER" "$dir/mnt" -p "$port" \
    -o "IdentityFile=$dir/client_key,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,dir_cache=no" -s \
    </dev/null >>"$dir/logs/sshfs.log" 2>&1 &
  pid=$!
  TRACKRELAY_SHARE_PIDS+=("$pid")
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

# Unmounts what trackrelay_share_up mounted and stops what it started, the clients first.
trackrelay_share_down() {
  local mnt i
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    trackrelay_share_mounted "$mnt" || continue
    fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
  done
  # A hung server (stopped by a test) would keep its clients from ending.
  [ -z "${TRACKRELAY_GLUSTER_DIR:-}" ] || trackrelay_share_gluster_signal server CONT 2>/dev/null || true
  # Last started, first stopped: the client before its server.
  for ((i = ${#TRACKRELAY_SHARE_PIDS[@]} - 1; i >= 0; i--)); do
    kill -CONT "${TRACKRELAY_SHARE_PIDS[i]}" 2>/dev/null || true
    trackrelay_stop "${TRACKRELAY_SHARE_PIDS[i]}"
  done
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    if trackrelay_share_mounted "$mnt"; then umount -l "$mnt" 2>/dev/null || true; fi
  done
  [ -z "${TRACKRELAY_GLUSTER_DIR:-}" ] || trackrelay_share_down_gluster
  TRACKRELAY_SHARE_PIDS=()
  TRACKRELAY_SHARE_MOUNTS=()
}

# --- GlusterFS --------------------------------------------------------------------------------
#
# One glusterd with one volume of one brick, on a loopback address of its own (127.0.1.N: gluster
# refuses 127.0.0.1 and "localhost" as a brick's host), and one FUSE client per web server and
# one for the remote host. glusterd keeps its state, logs, pid files and sockets in the harness's
# folder (its own glusterd.vol names them), listens on that address only, and its brick takes a
# port of that address. What glusterd makes in the machine's own folders all the same (the
# brick's socket and an empty "snaps" in /run/gluster, "ss_brick" and a template in
# /var/lib/glusterd) is removed again when the last harness on this machine ends; those folders
# are compared with how the first harness found them. glusterd is started, and the machine's
# folders are put back, under the machine lock (/tmp/trackrelay-machine.lock).
#
# For the fault tests: trackrelay_share_gluster_pid names each process (server: glusterd; brick:
# the file server itself; client NAME: a client's FUSE process), and
# trackrelay_share_gluster_signal sends one a signal (KILL, STOP, CONT).

TRACKRELAY_GLUSTER_DIR=
TRACKRELAY_GLUSTER_ADDRESS=
TRACKRELAY_GLUSTER_VOLUME=trackrelay
TRACKRELAY_GLUSTER_GLUSTERD_PID=
TRACKRELAY_GLUSTER_MACHINE_LOCK=/tmp/trackrelay-machine.lock
# The harnesses of this machine, one file each, and how the first found the machine's folders.
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

# Runs the command after it with the machine lock held (waiting up to 10 minutes for it) and the
# lock's descriptor closed in the command, so that no daemon it starts goes on holding the lock.
trackrelay_share_gluster_locked() {
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
# bricks find glusterd on that port only).
trackrelay_share_gluster_address() {
  local n
  for ((n = 1; n < 255; n++)); do
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

# Registers this harness (its folder $1) and, as the first one on the machine, writes down how the
# machine's gluster folders were. Run under the machine lock.
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

# Stops what the harness of folder $1, whose shell has gone, left running: its clients, its
# glusterd and its brick, by their pid files; unmounts its clients and removes the folder.
trackrelay_share_gluster_reap() {
  local dir=$1 pidfile pid mnt
  case $dir in /tmp/trackrelay-*) ;; *) return 0 ;; esac
  [ -d "$dir/run" ] || return 0
  for mnt in "$dir"/clients/*; do
    if trackrelay_share_mounted "$mnt"; then umount -l "$mnt" 2>/dev/null || true; fi
  done
  for pidfile in "$dir"/run/client-*.pid "$dir/run/glusterd.pid" "$dir"/run/vols/*/*.pid; do
    [ -f "$pidfile" ] || continue
    pid=$(cat "$pidfile" 2>/dev/null)
    # Only a gluster process that still runs from this folder.
    if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$dir"; then
      kill -CONT "$pid" 2>/dev/null || true
      kill -KILL "$pid" 2>/dev/null || true
    fi
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

# The gluster command line against this harness's glusterd.
trackrelay_share_gluster_cli() {
  gluster --mode=script --glusterd-sock="$TRACKRELAY_GLUSTER_DIR/run/glusterd.socket" \
    --log-file="$TRACKRELAY_GLUSTER_DIR/logs/cli.log" "$@"
}

# Starts glusterd in the foreground of a background job, with everything in $1, and makes and
# starts the volume. Run under the machine lock.
trackrelay_share_gluster_start_server() {
  local dir=$1 address=$2 i option
  mkdir -p "$dir/glusterd" "$dir/run" "$dir/logs" "$dir/brick"
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
  glusterd -N -f "$dir/glusterd.vol" -p "$dir/run/glusterd.pid" -l "$dir/logs/glusterd.log" \
    </dev/null >>"$dir/logs/glusterd.out" 2>&1 &
  TRACKRELAY_GLUSTER_GLUSTERD_PID=$!
  if ! trackrelay_share_wait 300 "$TRACKRELAY_GLUSTER_GLUSTERD_PID" test -S "$dir/run/glusterd.socket" ||
    ! trackrelay_share_wait 300 "$TRACKRELAY_GLUSTER_GLUSTERD_PID" trackrelay_share_gluster_cli volume list; then
    echo "glusterd did not start on $address; see $dir/logs" >&2
    tail -n 20 "$dir/logs/glusterd.log" >&2
    return 1
  fi
  # "force": the brick lies on the root file system, which gluster would rather not have.
  trackrelay_share_gluster_cli volume create "$TRACKRELAY_GLUSTER_VOLUME" "$address:$dir/brick" force \
    >>"$dir/logs/cli.out" 2>&1 || { tail -n 5 "$dir/logs/cli.out" >&2; return 1; }
  for option in "${TRACKRELAY_GLUSTER_VOLUME_OPTIONS[@]}"; do
    # shellcheck disable=SC2086  # "option value"
    trackrelay_share_gluster_cli volume set "$TRACKRELAY_GLUSTER_VOLUME" $option >>"$dir/logs/cli.out" 2>&1 ||
      { tail -n 5 "$dir/logs/cli.out" >&2; return 1; }
  done
  trackrelay_share_gluster_cli volume start "$TRACKRELAY_GLUSTER_VOLUME" >>"$dir/logs/cli.out" 2>&1 ||
    { tail -n 5 "$dir/logs/cli.out" >&2; return 1; }
  for ((i = 0; i < 100; i++)); do
    [ -n "$(trackrelay_share_gluster_pid brick)" ] && return 0
    sleep 0.1
  done
  echo "the brick did not start; see $dir/logs" >&2
  return 1
}

# The volume on a loopback address of its own, with a client for the program at $1/clients/web
# (TRACKRELAY_SHARE_CLIENT) and one for the remote host at $1/clients/remote
# (TRACKRELAY_SHARE_SERVER). More clients: trackrelay_share_gluster_mount.
trackrelay_share_up_gluster() {
  local dir=$1
  TRACKRELAY_GLUSTER_DIR=$dir
  mkdir -p "$dir/clients" "$dir/logs"
  trackrelay_share_gluster_locked trackrelay_share_gluster_up_locked "$dir" || return 1
  trackrelay_share_gluster_mount remote || return 1
  TRACKRELAY_SHARE_SERVER=$dir/clients/remote
  trackrelay_share_gluster_mount web || return 1
  TRACKRELAY_SHARE_CLIENT=$dir/clients/web
}

trackrelay_share_gluster_up_locked() {
  local dir=$1
  trackrelay_share_gluster_register "$dir"
  TRACKRELAY_GLUSTER_ADDRESS=$(trackrelay_share_gluster_address) ||
    { echo "no loopback address of 127.0.1.0/24 is free for glusterd" >&2; return 1; }
  trackrelay_share_gluster_start_server "$dir" "$TRACKRELAY_GLUSTER_ADDRESS"
}

# Mounts one more FUSE client of the volume, named $1, at $DIR/clients/$1 with the options above
# (and those after the name). The client runs in the foreground of a background job of this
# shell (so call this in the shell itself, not in $(...)): trackrelay_share_gluster_pid client
# NAME names it.
trackrelay_share_gluster_mount() {
  local name=$1 pid mnt=$TRACKRELAY_GLUSTER_DIR/clients/$1
  shift
  mkdir -p "$mnt"
  glusterfs -N --volfile-server="$TRACKRELAY_GLUSTER_ADDRESS" --volfile-id="$TRACKRELAY_GLUSTER_VOLUME" \
    "${TRACKRELAY_GLUSTER_CLIENT_OPTIONS[@]}" "$@" --process-name="fuse-$name" \
    -l "$TRACKRELAY_GLUSTER_DIR/logs/client-$name.log" "$mnt" </dev/null \
    >>"$TRACKRELAY_GLUSTER_DIR/logs/client-$name.out" 2>&1 &
  pid=$!
  echo "$pid" >"$TRACKRELAY_GLUSTER_DIR/run/client-$name.pid"
  TRACKRELAY_SHARE_PIDS+=("$pid")
  TRACKRELAY_SHARE_MOUNTS+=("$mnt")
  if ! trackrelay_share_wait 300 "$pid" mountpoint -q "$mnt" || ! trackrelay_share_wait 100 "$pid" test -d "$mnt/."; then
    echo "the gluster client $name did not mount the volume; see $TRACKRELAY_GLUSTER_DIR/logs" >&2
    tail -n 20 "$TRACKRELAY_GLUSTER_DIR/logs/client-$name.log" >&2
    return 1
  fi
}

# The pid of a process of the volume: server (glusterd), brick (the file server, glusterfsd) or
# client NAME (that client's FUSE process); nothing when it is not running.
trackrelay_share_gluster_pid() {
  local pid=
  case $1 in
    server) pid=$TRACKRELAY_GLUSTER_GLUSTERD_PID ;;
    brick) pid=$(cat "$TRACKRELAY_GLUSTER_DIR"/run/vols/"$TRACKRELAY_GLUSTER_VOLUME"/*.pid 2>/dev/null | head -n 1) ;;
    client) pid=$(cat "$TRACKRELAY_GLUSTER_DIR/run/client-$2.pid" 2>/dev/null) ;;
  esac
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then echo "$pid"; fi
}

# Sends signal $2 to a process of the volume ($1 and, for a client, its name $3): KILL, STOP,
# CONT... "server" stands for glusterd and the brick together, as a file server's machine.
trackrelay_share_gluster_signal() {
  local what=$1 signal=$2 pid
  case $what in
    server)
      for what in brick server; do
        pid=$(trackrelay_share_gluster_pid "$what")
        [ -z "$pid" ] || kill "-$signal" "$pid"
      done ;;
    *)
      pid=$(trackrelay_share_gluster_pid "$what" "${3:-}")
      [ -n "$pid" ] || { echo "no $what ${3:-} is running" >&2; return 1; }
      kill "-$signal" "$pid" ;;
  esac
}

# Stops the volume's server side (the clients are gone by now) and puts the machine's folders back.
trackrelay_share_down_gluster() {
  local dir=$TRACKRELAY_GLUSTER_DIR brick socket
  brick=$(trackrelay_share_gluster_pid brick)
  socket=
  [ -z "$brick" ] || socket=$(tr '\0' '\n' <"/proc/$brick/cmdline" 2>/dev/null | sed -n '/^-S$/{n;p;q}')
  if [ -n "$TRACKRELAY_GLUSTER_GLUSTERD_PID" ] && kill -0 "$TRACKRELAY_GLUSTER_GLUSTERD_PID" 2>/dev/null; then
    timeout 30 gluster --mode=script --glusterd-sock="$dir/run/glusterd.socket" --log-file="$dir/logs/cli.log" \
      volume stop "$TRACKRELAY_GLUSTER_VOLUME" force >>"$dir/logs/cli.out" 2>&1 || true
  fi
  trackrelay_stop "$TRACKRELAY_GLUSTER_GLUSTERD_PID"
  [ -z "$brick" ] || trackrelay_stop "$brick"
  [ -z "$socket" ] || [ ! -S "$socket" ] || rm -f "$socket"
  trackrelay_share_gluster_locked trackrelay_share_gluster_unregister || true
  TRACKRELAY_GLUSTER_GLUSTERD_PID=
  TRACKRELAY_GLUSTER_DIR=
}
