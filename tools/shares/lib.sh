# Shell helpers that bring a network share up on this machine's loopback address, for the share
# tests and the benchmarks: Samba's smbd mounted through smbnetfs (SMB2/3, a share that ignores
# case) and OpenSSH's sshd mounted through sshfs (SFTP). Source this file; every name it defines
# begins with "trackrelay_share_". Needs root (the servers log in as root) and FUSE.
#
# A share serves a folder of the server's, SERVER; the client mounts it, and the same folder
# shows at CLIENT. The remote host works on SERVER, as a real one works on its own disk; the
# program reaches the drive through CLIENT only.

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

# Unmounts what trackrelay_share_up mounted and stops what it started, the clients first.
trackrelay_share_down() {
  local mnt i
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    mountpoint -q "$mnt" 2>/dev/null || continue
    fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
  done
  # Last started, first stopped: the client before its server.
  for ((i = ${#TRACKRELAY_SHARE_PIDS[@]} - 1; i >= 0; i--)); do trackrelay_stop "${TRACKRELAY_SHARE_PIDS[i]}"; done
  for mnt in "${TRACKRELAY_SHARE_MOUNTS[@]}"; do
    if mountpoint -q "$mnt" 2>/dev/null; then umount -l "$mnt" 2>/dev/null || true; fi
  done
  TRACKRELAY_SHARE_PIDS=()
  TRACKRELAY_SHARE_MOUNTS=()
}
