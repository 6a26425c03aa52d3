# shellcheck shell=bash
# A GlusterFS volume (a cluster file system whose file server enforces byte-range locks across
# its clients), one FUSE client per web server and one for the remote host: how lib.sh brings it
# up, and its fault actions for faults.sh. Sourced by lib.sh; every name begins with
# "trackrelay_share_gluster_" or "TRACKRELAY_GLUSTER_".

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
# of missing names (nl-cache, off by default). And the most threads a client may have for its
# connections (client.event-threads, 2 by default): a lock wait that ends as the lock passes to it
# (the program's alarm at the end of its wait, a killed request) holds one of them until the
# brick has answered both, and with every one held the client answers nothing again, the brick's
# pings included (20 waiters ended at once hung a client with 2; 40 with 32 did not). Each is
# "option value".
TRACKRELAY_GLUSTER_VOLUME_OPTIONS=("performance.stat-prefetch off" "performance.nl-cache off" "client.event-threads 32")

# How long a client waits for a file server that does not answer before it gives the connection
# up and fails the calls that wait (network.ping-timeout): Gluster's own 42 s here, where no
# share hangs (a deployment sets 20 s, so that the program's 90 s and a call that waits twice it
# stay under the 150 s that the web servers give it: docs/deploy.md); 5 s for the fault tests,
# whose server hangs for a minute. The brick answers a ping from its own thread, so that a
# busy brick does not miss one.
trackrelay_share_gluster_ping_timeout() { if trackrelay_share_for_faults "$1"; then echo 5; else echo 42; fi; }

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

# --- Fault actions (faults.sh) -------------------------------------------------------------------

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
