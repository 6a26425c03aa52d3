# shellcheck shell=bash
# OpenSSH's sshd mounted through sshfs (SFTP): how lib.sh brings it up, and its fault actions
# for faults.sh. Sourced by lib.sh; every name begins with "trackrelay_share_sftp_".

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

# --- Fault actions (faults.sh) -------------------------------------------------------------------

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
