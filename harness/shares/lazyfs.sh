#!/usr/bin/env bash
# LazyFS, a FUSE file system that keeps every write in a cache of its own until it is flushed and
# drops the rest on command, as a power cut drops a disk's cache: for the power-cut tests
# (e2e/power_cut_end_to_end_test.cc). Names go to its disk at once; only unflushed bytes are lost.
#
#   lazyfs.sh build SOURCE FOLDER    builds LazyFS from SOURCE in FOLDER (once, under a lock);
#                                    prints the path of the lazyfs program
#   lazyfs.sh DIR up PROGRAM         mounts LazyFS at DIR/mnt over its disk, DIR/disk
#   lazyfs.sh DIR cut                the power cut: every byte not flushed is dropped
#   lazyfs.sh DIR crash FAULT        LazyFS dies, dropping what is not flushed, at the file
#                                    operation that FAULT names ("timing=after::op=rename::
#                                    from_rgx=.*::to_rgx=tont/7\.out"; see its README)
#   lazyfs.sh DIR torn PATH PERSIST PARTS
#                                    the next write to the file at PATH (on the mount) is torn
#                                    into PARTS, of which those in PERSIST ("1") reach the disk,
#                                    and LazyFS dies
#   lazyfs.sh DIR crashed SECONDS    waits up to SECONDS for LazyFS to have died; status 1 if not
#   lazyfs.sh DIR restart            after a crash: the dead mount unmounted and LazyFS mounted
#                                    again on what its disk kept, as after the machine's restart
#   lazyfs.sh DIR down               unmounted and stopped
#
# A fault command is armed once LazyFS says it took it: its worker reads one command at a time
# (at most 99 bytes) from its FIFO, DIR/faults.fifo, and logs each to DIR/lazyfs.log.
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin

# The lines of LazyFS's log that match $2, counted.
lazyfs_log_count() { grep -c -- "$2" "$1/lazyfs.log" 2>/dev/null || true; }

# Writes command $2 to the FIFO and waits up to 10 s for the log to hold one more line matching $3.
lazyfs_command() {
  local dir=$1 command=$2 answer=$3 before i
  if [ "${#command}" -gt 99 ]; then
    echo "lazyfs.sh: '$command' is longer than the 99 bytes LazyFS reads at once" >&2
    return 1
  fi
  before=$(lazyfs_log_count "$dir" "$answer")
  # A LazyFS that died reads its FIFO no more, and the open would wait for ever.
  if ! lazyfs_alive "$dir" || ! timeout 5 bash -c 'echo "$1" >"$2"' _ "$command" "$dir/faults.fifo"; then
    echo "lazyfs.sh: LazyFS is not running to take '$command'" >&2
    return 1
  fi
  for ((i = 0; i < 100; i++)); do
    [ "$(lazyfs_log_count "$dir" "$answer")" -gt "$before" ] && return 0
    sleep 0.1
  done
  echo "lazyfs.sh: LazyFS did not take '$command'; its log:" >&2
  tail -n 20 "$dir/lazyfs.log" >&2
  return 1
}

lazyfs_alive() { [ -s "$1/lazyfs.pid" ] && kill -0 "$(cat "$1/lazyfs.pid")" 2>/dev/null; }

lazyfs_mount() {
  local dir=$1 program i
  program=$(cat "$dir/program")
  "$program" "$dir/mnt" --config-path "$dir/lazyfs.toml" -f -o allow_other -o modules=subdir \
    -o "subdir=$dir/disk" >>"$dir/lazyfs.out" 2>&1 &
  echo $! >"$dir/lazyfs.pid"
  for ((i = 0; i < 100; i++)); do
    if mountpoint -q "$dir/mnt" && [ "$(stat -f -c %T "$dir/mnt")" != "$(stat -f -c %T "$dir")" ]; then
      return 0
    fi
    lazyfs_alive "$dir" || break
    sleep 0.1
  done
  echo "lazyfs.sh: LazyFS did not mount at $dir/mnt; its output:" >&2
  tail -n 20 "$dir/lazyfs.out" >&2
  return 1
}

lazyfs_unmount() {
  local dir=$1 i
  fusermount3 -uz "$dir/mnt" 2>/dev/null || umount -l "$dir/mnt" 2>/dev/null || true
  if lazyfs_alive "$dir"; then
    kill "$(cat "$dir/lazyfs.pid")" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do lazyfs_alive "$dir" || break; sleep 0.1; done
    kill -9 "$(cat "$dir/lazyfs.pid")" 2>/dev/null || true
  fi
}

if [ "${1:-}" = build ]; then
  source=${2:?usage: lazyfs.sh build SOURCE FOLDER} folder=${3:?usage: lazyfs.sh build SOURCE FOLDER}
  if [ ! -f "$source/CMakeLists.txt" ]; then
    echo "lazyfs.sh: LazyFS's source is not at $source (TRACKRELAY_LAZYFS_SOURCE names it)" >&2
    exit 1
  fi
  mkdir -p "$folder"
  # Two builds' tests may want it at once; the second finds it built.
  exec 9>"$folder.lock"
  flock 9
  if ! { cmake -S "$source" -B "$folder" -DCMAKE_BUILD_TYPE=Release && cmake --build "$folder" -j 2; } \
    >"$folder.log" 2>&1; then
    tail -n 30 "$folder.log" >&2
    exit 1
  fi
  echo "$folder/lazyfs"
  exit 0
fi

dir=${1:?usage: lazyfs.sh DIR ACTION}
action=${2:?usage: lazyfs.sh DIR ACTION}
case $action in
  up)
    mkdir -p "$dir/mnt" "$dir/disk"
    echo "${3:?usage: lazyfs.sh DIR up PROGRAM}" >"$dir/program"
    rm -f "$dir/faults.fifo"
    # The cache holds whatever a test writes between flushes; nothing is evicted on its own.
    cat >"$dir/lazyfs.toml" <<CONF
[faults]
fifo_path="$dir/faults.fifo"
[cache]
apply_eviction=false
[cache.simple]
custom_size="512mb"
blocks_per_page=1
[filesystem]
log_all_operations=false
logfile="$dir/lazyfs.log"
CONF
    lazyfs_mount "$dir"
    ;;
  cut)
    lazyfs_command "$dir" lazyfs::clear-cache "cache is cleared"
    ;;
  crash)
    lazyfs_command "$dir" "lazyfs::crash::${3:?usage: lazyfs.sh DIR crash FAULT}" "VALID crash fault"
    ;;
  torn)
    # LazyFS names a file by its path on its disk.
    file=${3:?usage: lazyfs.sh DIR torn PATH PERSIST PARTS}
    case $file in
      "$dir/mnt/"*) file=$dir/disk/${file#"$dir/mnt/"} ;;
      *) echo "lazyfs.sh: $file is not on the mount $dir/mnt" >&2; exit 1 ;;
    esac
    lazyfs_command "$dir" "lazyfs::torn-op::file=$file::persist=${4:-1}::parts=${5:-2}" "configured successfully"
    ;;
  crashed)
    for ((i = 0; i < ${3:-10} * 10; i++)); do
      lazyfs_alive "$dir" || exit 0
      sleep 0.1
    done
    exit 1
    ;;
  restart)
    lazyfs_unmount "$dir"
    lazyfs_mount "$dir"
    ;;
  down)
    lazyfs_unmount "$dir"
    ;;
  *)
    echo "lazyfs.sh: unknown action $action" >&2
    exit 2
    ;;
esac
