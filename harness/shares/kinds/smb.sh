# shellcheck shell=bash
# Samba's smbd mounted through smbnetfs (SMB2/3, a share that ignores case): how lib.sh brings
# it up, and its fault actions for faults.sh. Sourced by lib.sh; every name begins with
# "trackrelay_share_smb_".

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

# --- Fault actions (faults.sh) -------------------------------------------------------------------

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
