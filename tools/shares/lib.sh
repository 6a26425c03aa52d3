# Shell helpers that bring a network share up on this machine's loopback address, for the share
# tests and the benchmarks: Samba's smbd mounted through smbnetfs (SMB2/3, a share that ignores
# case) and OpenSSH's sshd mounted through sshfs (SFTP). Source this file; every name it defines
# begins with "trackrelay_share_". Needs root (the servers log in as root) and FUSE.
#
# A share serves a folder of the server's, SERVER; the client mounts it, and the same folder
# shows at CLIENT. The remote host works on SERVER, as a real one works on its own disk; the
# program reaches the drive through CLIENT only.
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
    *) echo "unknown share $kind"; return ;;
  esac
  for program in "${programs[@]}"; do
    command -v "$program" >/dev/null 2>&1 ||
      { echo "$program is missing (packages: samba smbnetfs openssh-server sshfs fuse3)"; return; }
  done
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

# Brings share $1 (smb or sftp) up with everything it needs in folder $2: the server's config,
# state and logs, the exported folder ($2/server) and the mount point ($2/mnt). Sets
# TRACKRELAY_SHARE_SERVER and TRACKRELAY_SHARE_CLIENT; remembers what it started and mounted
# for trackrelay_share_down, which the caller runs however it ends (trap ... EXIT).
trackrelay_share_up() {
  local kind=$1 dir=$2 port
  mkdir -p "$dir/server" "$dir/mnt" "$dir/logs"
  TRACKRELAY_SHARE_DIR=$dir
  TRACKRELAY_SHARE_SERVER=$dir/server
  : >"$dir/pids"
  if [ "${TRACKRELAY_SHARE_FAULTS:-}" = 1 ]; then
    mount -t tmpfs -o "size=${TRACKRELAY_SHARE_DISK_SIZE:-16m},mode=755" trackrelay-share "$dir/server" ||
      { echo "cannot mount a disk of its own for the share's server at $dir/server" >&2; return 1; }
    TRACKRELAY_SHARE_MOUNTS+=("$dir/server")
  fi
  case $kind in
    smb) trackrelay_share_listen "$dir/logs/smbd.log" trackrelay_share_smb_config trackrelay_share_smb_run "$dir" || return 1 ;;
    sftp) trackrelay_share_listen "$dir/logs/sshd.log" trackrelay_share_sftp_config trackrelay_share_sftp_run "$dir" || return 1 ;;
    *) echo "unknown share $kind" >&2; return 1 ;;
  esac
  printf 'kind=%s\nport=%s\nfaults=%s\n' "$kind" "$port" "${TRACKRELAY_SHARE_FAULTS:-}" >"$dir/share.env"
  "trackrelay_share_${kind}_mount" "$dir" "$port" || return 1
  printf 'client=%s\nmount=%s\n' "$TRACKRELAY_SHARE_CLIENT" "$dir/mnt" >>"$dir/share.env"
}

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
  local mnt i pid tree=() ours=()
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
    mountpoint -q "$mnt" 2>/dev/null || continue
    fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
  done
  # Last started, first stopped: the client before its server.
  for ((i = ${#ours[@]} - 1; i >= 0; i--)); do trackrelay_stop "${ours[i]}"; done
  printf '%s\n' "${tree[@]}" | trackrelay_share_signal KILL
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true; fi
  done
  TRACKRELAY_SHARE_PIDS=()
  TRACKRELAY_SHARE_MOUNTS=()
  TRACKRELAY_SHARE_DIR=
}
