#!/usr/bin/env bash
# Builds the statically linked program and the benchmark drivers (the bench preset: build/bench,
# the default preset's program) and runs every benchmark. Each prints its figures as it ends; the
# table at the end is the one docs/benchmarks.md keeps. Run it on a quiet machine: it measures time.
#   BENCH_RUNS      runs of each command of the process cost, one a round (default 2000)
#   BENCH_LATENCY   requests of each relay latency run (default 150 of each build in its turns)
#   BENCH_CLIENTS, BENCH_REQUESTS   the load run (default 200 clients, 2000 requests)
#   BENCH_NUMBERS, BENCH_NUMBERS_PARALLEL   new numbers per second (default 1000 requests, 4 at a
#                   time on each web server)
#   BENCH_PROCESS_ONLY=1   the process cost only, then stop
#   BENCH_PROFILE=DIR   sample the whole machine during each load run (perf record, software
#                   clock) into DIR/load-trackrelay.data and DIR/load-yardstick.data
#   BENCH_BEFORE    the program as it was before an earlier request's answer was removed before
#                   publication, run beside the program in the floor's and the relay latency's
#                   rounds: a path to it built already, or "no" to leave it out; by default it is
#                   built from git (the bench preset, in build/bench-before/) at
#                   BENCH_BEFORE_COMMIT, by default the commit before that change
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-2000}
clients=${BENCH_CLIENTS:-200}
load_requests=${BENCH_REQUESTS:-2000}
number_requests=${BENCH_NUMBERS:-1000}
number_parallel=${BENCH_NUMBERS_PARALLEL:-4}

build=build/bench
cmake --workflow --preset bench >/dev/null
program=$PWD/$build/app/trackrelay
# The same program without its confinement, linked alike: what shutting itself in costs.
unconfined=$PWD/$build/bench/trackrelay_unconfined
simulator=$PWD/$build/remote_host/trackrelay-remote-host
drivers=$PWD/$build/bench
# The same program with its flushes left out, run beside it to show what they cost.
unflushed=$drivers/trackrelay_unflushed

# shellcheck source=../harness/shares/lib.sh
source harness/shares/lib.sh
work=$(mktemp -d)
chmod 755 "$work"

# Every program and yardstick that the drivers compare runs from a copy made here, all alike: on
# this machine a file fresh from the linker ran up to 12% slower than a copy of itself, each by
# an amount of its own that outlived dropping it from the page cache, which moves a ratio by
# several points; the copies ran alike.
bin=$work/bin
mkdir "$bin"
for file in "$program" "$drivers"/trackrelay_*; do
  [ ! -f "$file" ] || cp "$file" "$bin/"
done
program=$bin/trackrelay unconfined=$bin/trackrelay_unconfined drivers=$bin unflushed=$bin/trackrelay_unflushed

# The program before the rules that keep an earlier request's answer from this one: a standing
# answer removed before publication (a look on a miss), an answer taken only once its request is
# gone (a look at N.DAT once it is seen). Built from the sources of that commit, alike, and named
# apart so that the drivers' figures tell it from the program. Prints its path, or nothing.
before_program() {
  local rev tree
  case "${BENCH_BEFORE:-}" in
    no) return 0 ;;
    "") ;;
    *) realpath "$BENCH_BEFORE"; return 0 ;;
  esac
  rev=${BENCH_BEFORE_COMMIT:-}
  if [ -z "$rev" ]; then
    rev=$(git log --format=%H -S RemoveAnswerLeftBefore --reverse -- relay/file_drop.cc 2>/dev/null | head -n 1)
    [ -n "$rev" ] && rev="$rev^"
  fi
  if [ -z "$rev" ] || ! rev=$(git rev-parse --verify -q "$rev^{commit}"); then
    echo "the build before the change is left out: no such commit in git (set BENCH_BEFORE)" >&2
    return 0
  fi
  tree=$PWD/build/bench-before/$rev
  if [ ! -x "$tree/build/bench/app/trackrelay" ]; then
    echo "building the program of $rev in $tree" >&2
    rm -rf "$tree" && mkdir -p "$tree"
    if ! git archive "$rev" | tar -x -C "$tree" ||
      ! (cd "$tree" && cmake --preset bench >/dev/null && cmake --build build/bench --target trackrelay -j 2 >/dev/null); then
      echo "the build before the change is left out: it did not build" >&2
      return 0
    fi
  fi
  echo "$tree/build/bench/app/trackrelay"
}
before=
built_before=$(before_program)
if [ -n "$built_before" ]; then
  before=$bin/trackrelay_before
  cp "$built_before" "$before"
fi
# Its place beside the program in a driver's command line.
beside_before=()
[ -z "$before" ] || beside_before=(--beside "$before")
latency_requests=${BENCH_LATENCY:-$((150 * (2 + ${#beside_before[@]} / 2)))}
sim_pid=
perf_pid=
cleanup() {
  if [ -n "$perf_pid" ]; then kill -INT "$perf_pid" 2>/dev/null || true; wait "$perf_pid" 2>/dev/null || true; fi
  trackrelay_share_down
  if [ -n "${TRACKRELAY_SERVER_PID:-}" ]; then trackrelay_stop "$TRACKRELAY_SERVER_PID"; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/drives/c/woe" "$work/drives/r/fromnt" "$work/drives/r/tont"
declare -A figure=()

# The CGI variables of a request whose page needs no file: no TRACKNO, or a CONTENT_LENGTH
# beyond 32 bits; and of a request of number 7 that the driver answers the moment it is
# published, the floor of a relayed page. The drive root is there all the same, as it would be.
cgi=(GATEWAY_INTERFACE=CGI/1.1 SCRIPT_NAME=/cgi-bin/trackrelay SERVER_PROTOCOL=HTTP/1.0 SERVER_NAME=localhost
  REMOTE_ADDR=127.0.0.1 TRACKRELAY_DRIVE_ROOT="$work/drives")

# Files written and removed by the run before are still being written back to the disk, which
# slows the next run's flushes; back to back, the load run loses a third of its rate to it.
settle() { sync; sleep "${BENCH_SETTLE:-15}"; }

# The end of the page, p50 / p99, and the exit beside it.
latency_figures='s/.*end of the page p50 \([0-9.]*\) ms, p90 [0-9.]* ms, p99 \([0-9.]*\) ms.*; exit p50 \([0-9.]*\) ms, p99 \([0-9.]*\) ms;.*/\1 ms \/ \2 ms (exit \3 ms \/ \4 ms)/p'
# The figures of the program (or with $2 = unflushed or before, of its build without flushes or
# of the build before the change) in a latency run's output, file $1.
program_latency_figures() {
  local name=trackrelay${2:+_$2}
  if [ "${2:-}" = before ] && [ -z "$before" ]; then echo "not measured"; return; fi
  grep " of $name, " "$1" | sed -n "$latency_figures"
}
# The same of a latency run on a share, with its wrong pages.
share_latency_figures() {
  local figures
  figures=$(program_latency_figures "$@")
  if [ "$figures" = "not measured" ]; then
    echo "$figures"
  elif [ -n "$figures" ]; then
    echo "$figures; $(grep " of trackrelay${2:+_$2}, " "$1" | sed -n 's/.*; \([0-9]*\) wrong pages$/\1/p') wrong pages"
  else
    echo "the run failed"
  fi
}
# The floor of a relayed page on drives at $1 (whose r: may be a share), $2 runs: the program,
# its build without flushes, the exchange's yardstick and the build before the change; into
# figure[floor_$3_*]. The driver answers as the remote host, in $4 (r: as the server keeps it),
# woken by a watch of $4/fromnt or of $5 where only that view is told of the program's changes.
share_floor() {
  local root=$1 rounds=$2 name=$3 exchange=$4 watch=() k
  [ -z "${5:-}" ] || watch=(--watch "$5")
  mkdir -p "$work/floor-answer/fromnt" "$work/floor-answer/tont"
  printf 'TRACKNO=7\r\n' >"$work/floor-answer/fromnt/7.DAT"
  "$simulator" --outbound "$work/floor-answer/fromnt" --inbound "$work/floor-answer/tont" --once --quiet
  if ! env -i "${cgi[@]}" TRACKRELAY_DRIVE_ROOT="$root" REQUEST_METHOD=GET QUERY_STRING=TRACKNO=7 \
    "$drivers/trackrelay_page_end" --rounds "$rounds" --json "$work/floor-$name.json" \
    --answer "$work/floor-answer/tont/7.out" 7 "$exchange/fromnt" "$exchange/tont" "${watch[@]}" \
    "$program" "$unflushed" "$drivers/trackrelay_cxx_baseline_exchange" ${before:+"$before"} >"$work/floor-$name.txt" 2>&1; then
    for k in program unflushed exchange ratio before; do figure[floor_${name}_$k]="the run failed"; done
    return
  fi
  figure[floor_${name}_program]=$(jq -r '.[0].output_end.p50 * 1000 | round' "$work/floor-$name.json")
  figure[floor_${name}_unflushed]=$(jq -r '.[1].output_end.p50 * 1000 | round' "$work/floor-$name.json")
  figure[floor_${name}_exchange]=$(jq -r '.[2].output_end.p50 * 1000 | round' "$work/floor-$name.json")
  figure[floor_${name}_ratio]=$(jq -r '(.[0].output_end.p50 / .[2].output_end.p50) * 100 | round / 100' "$work/floor-$name.json")
  if [ -n "$before" ]; then
    figure[floor_${name}_before]="$(jq -r '.[3].output_end.p50 * 1000 | round' "$work/floor-$name.json") µs"
  else
    figure[floor_${name}_before]="not measured"
  fi
}

# The farm's figures: new numbers per second and the relay latency with c:\woe and r: on a volume.
bench_farm() {
  echo "== a farm: c:\\woe and r: on a cluster file system on the loopback address (a GlusterFS volume, then CephFS), each web server with a client of its own =="
  # New numbers per second: requests that take a number and end at once (no r:\fromnt),
  # $number_parallel at a time on each web server; on the local disk, then on each file system
  # with one and with two web servers. Then the relay latency there with one and two web servers,
  # the simulator on the remote host's own client.
  mkdir -p "$work/numbers/c/woe"
  printf ' 1 \r\n' >"$work/numbers/c/woe/track.txt"
  settle
  "$drivers/trackrelay_number_rate" "$program" "$number_requests" "$number_parallel" "$work/numbers" | tee "$work/numbers.txt"
  figure[numbers_local]=$(sed -n 's/.*: \([0-9]*\) numbers\/s;.*/\1/p' "$work/numbers.txt")
  bench_farm_on gluster
  bench_farm_on ceph
}

# The farm's figures on file system $1 (gluster or ceph) into figure[numbers_$1N],
# figure[latency_$1N], figure[latency_$1N_unflushed] and figure[latency_$1N_before], N the web
# servers (1, 2); on Gluster also the floor of a relayed page (figure[floor_gluster_*]).
bench_farm_on() {
  local kind=$1 reason= name farm=$work/farm-$1 servers folder roots i clients_list
  local names=("numbers_${kind}1" "numbers_${kind}2" "latency_${kind}1" "latency_${kind}2" "latency_${kind}1_unflushed"
    "latency_${kind}2_unflushed" "latency_${kind}1_before" "latency_${kind}2_before")
  reason=$(trackrelay_share_missing "$kind")
  if [ -z "$reason" ] && { ! trackrelay_share_up "$kind" "$farm" || ! "trackrelay_share_${kind}_mount" "$farm" second; }; then
    trackrelay_share_down
    reason="the file system did not come up"
  fi
  if [ -n "$reason" ]; then
    for name in "${names[@]}"; do figure[$name]="not measured: $reason"; done
    if [ "$kind" = gluster ]; then for name in program unflushed exchange ratio before; do figure[floor_gluster_$name]="not measured"; done; fi
    return 0
  fi
  local farm_clients=("$farm/clients/web" "$farm/clients/second")
  for servers in 1 2; do
    folder=$(mktemp -d "$TRACKRELAY_SHARE_SERVER/numbers-XXXXXX")
    printf ' 1 \r\n' >"$folder/track.txt"
    roots=()
    for ((i = 0; i < servers; i++)); do
      mkdir -p "$work/numbers-$kind-$servers-$i/c"
      ln -s "${farm_clients[i]}/$(basename "$folder")" "$work/numbers-$kind-$servers-$i/c/woe"
      roots+=("$work/numbers-$kind-$servers-$i")
    done
    settle
    "$drivers/trackrelay_number_rate" "$program" "$number_requests" "$number_parallel" "${roots[@]}" |
      tee "$work/numbers.txt" || true
    figure[numbers_$kind$servers]=$(sed -n 's/.*: \([0-9]*\) numbers\/s; the counter moved on by \([0-9]*\); \([0-9]*\) wrong pages$/\1 numbers\/s (the counter moved on by \2, \3 wrong pages)/p' "$work/numbers.txt")
    [ -n "${figure[numbers_$kind$servers]}" ] || figure[numbers_$kind$servers]="the run failed"
    rm -rf "$folder"
    settle
    clients_list=$(IFS=:; echo "${farm_clients[*]:0:servers}")
    "$drivers/trackrelay_relay_latency" --beside "$unflushed" "${beside_before[@]}" --farm "$clients_list" \
      "$TRACKRELAY_SHARE_SERVER" "$program" "$simulator" "$latency_requests" | tee "$work/latency.txt" || true
    figure[latency_$kind$servers]=$(share_latency_figures "$work/latency.txt")
    figure[latency_$kind${servers}_unflushed]=$(share_latency_figures "$work/latency.txt" unflushed)
    figure[latency_$kind${servers}_before]=$(share_latency_figures "$work/latency.txt" before)
  done
  if [ "$kind" = gluster ]; then
    # The floor of a relayed page with r: on the volume, through a web server's client; the driver
    # answers through the remote host's client, woken by the web server's (a client is told
    # nothing of another's changes, but of its own).
    local floor_folder
    floor_folder=$(mktemp -d "$TRACKRELAY_SHARE_SERVER/floor-XXXXXX")
    mkdir -p "$floor_folder/fromnt" "$floor_folder/tont" "$work/floor-gluster/c/woe"
    ln -s "${farm_clients[0]}/$(basename "$floor_folder")" "$work/floor-gluster/r"
    share_floor "$work/floor-gluster" "${BENCH_SHARE_RUNS:-200}" gluster "$floor_folder" \
      "${farm_clients[0]}/$(basename "$floor_folder")/fromnt"
  fi
  trackrelay_share_down
}

farm_rows() {
  cat <<ROWS
| the same, c:\\woe and r: on a GlusterFS volume (loopback), one web server | ${figure[latency_gluster1]}; without flushes ${figure[latency_gluster1_unflushed]}; before ${figure[latency_gluster1_before]} | 0 wrong pages |
| the same, two web servers taking turns, each through its own client | ${figure[latency_gluster2]}; without flushes ${figure[latency_gluster2_unflushed]}; before ${figure[latency_gluster2_before]} | 0 wrong pages |
| the same, c:\\woe and r: on CephFS (one-node cluster on the loopback address, ceph-fuse), one web server | ${figure[latency_ceph1]}; without flushes ${figure[latency_ceph1_unflushed]}; before ${figure[latency_ceph1_before]} | 0 wrong pages |
| the same, two web servers taking turns, each through its own client | ${figure[latency_ceph2]}; without flushes ${figure[latency_ceph2_unflushed]}; before ${figure[latency_ceph2_before]} | 0 wrong pages |
| floor of a relayed page, r: on the volume through a web server's client (p50 of ${BENCH_SHARE_RUNS:-200} runs) | ${figure[floor_gluster_program]} µs, without flushes ${figure[floor_gluster_unflushed]} µs, the exchange's yardstick ${figure[floor_gluster_exchange]} µs: **${figure[floor_gluster_ratio]}×**; before ${figure[floor_gluster_before]} | ≤ 1.15× |
| new numbers per second ($number_requests requests, $number_parallel at a time on each web server), local disk | ${figure[numbers_local]} numbers/s | |
| the same, c:\\woe on the GlusterFS volume, one web server | ${figure[numbers_gluster1]} | the counter moves on by every request |
| the same, two web servers, each through its own client | ${figure[numbers_gluster2]} | the counter moves on by every request |
| the same, c:\\woe on CephFS, one web server | ${figure[numbers_ceph1]} | the counter moves on by every request |
| the same, two web servers, each through its own client | ${figure[numbers_ceph2]} | the counter moves on by every request |
ROWS
}
if [ -n "${BENCH_FARM_ONLY:-}" ]; then
  bench_farm
  echo
  farm_rows
  exit 0
fi

if [ -z "${BENCH_PROCESS_ONLY:-}" ]; then
  echo "== form decoding (Google Benchmark) =="
  "$drivers/trackrelay_form_bench" --benchmark_out="$work/form.json" --benchmark_out_format=json
  for name in BM_ManyFields BM_ManyEscapes BM_Lookup; do
    figure[$name]=$(jq -r --arg n "$name" '.benchmarks[] | select(.name == $n) | "\(.real_time * 100 | round / 100) \(.time_unit)"' "$work/form.json")
  done
fi

internal=("${cgi[@]}" REQUEST_METHOD=GET QUERY_STRING=name=nobody)
fatal=("${cgi[@]}" REQUEST_METHOD=POST CONTENT_LENGTH=99999999999)
# shellcheck disable=SC2034 # read through declare -n below
relayed=("${cgi[@]}" REQUEST_METHOD=GET QUERY_STRING=TRACKNO=7)
# The answer to that request as the remote host writes it.
mkdir -p "$work/answer/fromnt" "$work/answer/tont"
printf 'TRACKNO=7\r\n' >"$work/answer/fromnt/7.DAT"
"$simulator" --outbound "$work/answer/fromnt" --inbound "$work/answer/tont" --once --quiet

echo "== process cost and the floor of a relayed page: $runs runs each, one a round, each first in turn =="
# Two yardsticks that write the same page: the C++ one is the floor of any C++ program linked as a
# static PIE (the target), the C one the floor of any program at all. The driver counts a run
# whose page differs from the program's as wrong, so that a yardstick is only timed when it is
# fair. Each run is timed to the end of its standard output, where a web server's page ends, and
# to its exit beside it. The program's unconfined twin runs in the same rounds: the difference is
# what the confinement costs.
for path in internal fatal relayed; do
  declare -n vars=$path
  options=()
  # The fatal page ends the program with status 1, as it should.
  [ "$path" = fatal ] && options=(--status 1)
  # The relayed page: the driver is the remote host, and before each run of each command alike
  # makes the answer ready and clears what the run before left; the moment 7.DAT is published it
  # removes it and renames the answer in. Also beside the program without its flushes, the
  # exchange's yardstick, which does the page's exchange by its rules, the flush among them, and
  # nothing else, and the build before the change.
  extra=()
  [ "$path" = relayed ] && options=(--answer "$work/answer/tont/7.out" 7 "$work/drives/r/fromnt" "$work/drives/r/tont") &&
    extra=("$unflushed" "$drivers/trackrelay_cxx_baseline_exchange" ${before:+"$before"})
  env -i "${vars[@]}" "$drivers/trackrelay_page_end" --rounds "$runs" --json "$work/$path.json" "${options[@]}" \
    "$program" "$drivers/trackrelay_cxx_baseline_$path" "$drivers/trackrelay_baseline_$path" "$unconfined" "${extra[@]}"
  at() { jq -r "$1" "$work/$path.json"; }
  us() { at "$1 * 1000 | round"; }
  ratio() { at "($1 / $2) * 100 | round / 100"; }
  for q in p50 p99; do
    figure[${path}_program_$q]=$(us ".[0].output_end.$q")
    figure[${path}_cxx_$q]=$(us ".[1].output_end.$q")
    figure[${path}_baseline_$q]=$(us ".[2].output_end.$q")
    figure[${path}_cxx_ratio_$q]=$(ratio ".[0].output_end.$q" ".[1].output_end.$q")
    figure[${path}_ratio_$q]=$(ratio ".[0].output_end.$q" ".[2].output_end.$q")
  done
  figure[${path}_cxx_c_ratio]=$(ratio ".[1].output_end.p50" ".[2].output_end.p50")
  for q in p50 p99; do
    figure[${path}_unconfined_$q]=$(us ".[3].output_end.$q")
    figure[${path}_unconfined_cxx_ratio_$q]=$(ratio ".[3].output_end.$q" ".[1].output_end.$q")
    figure[${path}_confinement_$q]=$(at "((.[0].output_end.$q - .[3].output_end.$q) * 1000) | round")
  done
  if [ "$path" = relayed ]; then
    for q in p50 p99; do
      figure[relayed_unflushed_$q]=$(us ".[4].output_end.$q")
      figure[relayed_exchange_$q]=$(us ".[5].output_end.$q")
      figure[relayed_exchange_ratio_$q]=$(ratio ".[0].output_end.$q" ".[5].output_end.$q")
      figure[relayed_unflushed_ratio_$q]=$(ratio ".[4].output_end.$q" ".[1].output_end.$q")
      if [ -n "$before" ]; then
        figure[relayed_before_$q]="$(us ".[6].output_end.$q") µs"
        figure[relayed_rules_$q]="$(at "((.[0].output_end.$q - .[6].output_end.$q) * 1000) | round |
          if . >= 0 then \"+\\(.)\" else tostring end") µs"
        figure[relayed_before_ratio_$q]="$(at "(.[0].output_end.$q / .[6].output_end.$q) * 100 | round / 100 |
          tostring | if test(\"[.]\") then . else . + \".0\" end")×"
      else
        figure[relayed_before_$q]="not measured" figure[relayed_rules_$q]="?" figure[relayed_before_ratio_$q]="?"
      fi
    done
  fi
  figure[${path}_exit]="$(us ".[0].exit.p50") / $(us ".[1].exit.p50") / $(us ".[2].exit.p50") µs"
  figure[${path}_exit_p99]="$(us ".[0].exit.p99") / $(us ".[1].exit.p99") / $(us ".[2].exit.p99") µs"
  unset -n vars
done
confinement_rows() {
  cat <<ROWS
| the confinement's cost, internal error page: the program vs its unconfined twin (the same runs) | ${figure[internal_program_p50]} µs vs ${figure[internal_unconfined_p50]} µs: **+${figure[internal_confinement_p50]} µs**; the twin ${figure[internal_unconfined_cxx_ratio_p50]}× C++ | |
| the same, fatal error page | ${figure[fatal_program_p50]} µs vs ${figure[fatal_unconfined_p50]} µs: **+${figure[fatal_confinement_p50]} µs**; the twin ${figure[fatal_unconfined_cxx_ratio_p50]}× C++ | |
| the same, floor of a relayed page, p50 / p99 | ${figure[relayed_program_p50]} / ${figure[relayed_program_p99]} µs vs ${figure[relayed_unconfined_p50]} / ${figure[relayed_unconfined_p99]} µs: **+${figure[relayed_confinement_p50]} / +${figure[relayed_confinement_p99]} µs**; the twin ${figure[relayed_unconfined_cxx_ratio_p50]}× C++ | |
ROWS
}
floor_rows() {
  cat <<ROWS
| floor of a relayed page: \`TRACKNO=7\`, answered by the driver the moment it is published (the same runs) | end of output p50 ${figure[relayed_program_p50]} µs vs ${figure[relayed_exchange_p50]} µs for the exchange's C++ yardstick: **${figure[relayed_exchange_ratio_p50]}×**; p99 ${figure[relayed_program_p99]} µs vs ${figure[relayed_exchange_p99]} µs: **${figure[relayed_exchange_ratio_p99]}×**; the page's yardsticks ${figure[relayed_cxx_p50]} µs for C++ (${figure[relayed_cxx_ratio_p50]}×) and ${figure[relayed_baseline_p50]} µs for C; exit p50 ${figure[relayed_exit]}, p99 ${figure[relayed_exit_p99]} | p50 ≤ 1.15×, p99 ≤ 2× the exchange's yardstick |
| the same, the program without its flushes | p50 ${figure[relayed_unflushed_p50]} µs (${figure[relayed_unflushed_ratio_p50]}× the page's C++ yardstick), p99 ${figure[relayed_unflushed_p99]} µs | what the flushes cost |
| the same, the build before the change (no removal before publication, no look at N.DAT) | p50 ${figure[relayed_before_p50]}, p99 ${figure[relayed_before_p99]}: the program ${figure[relayed_before_ratio_p50]} / ${figure[relayed_before_ratio_p99]} of it, **${figure[relayed_rules_p50]}** / ${figure[relayed_rules_p99]} | what the rules cost |
ROWS
}
if [ -n "${BENCH_PROCESS_ONLY:-}" ]; then
  echo
  floor_rows
  confinement_rows
  exit 0
fi

echo "== peak memory of one request (ru_maxrss, the largest of the runs) =="
figure[rss_internal]=$(env -i "${internal[@]}" "$drivers/trackrelay_peak_memory" 50 -- "$program")
figure[rss_fatal]=$(env -i "${fatal[@]}" "$drivers/trackrelay_peak_memory" 50 -- "$program")
# A relayed page, answered the moment it is published (made ready as t7.out, renamed in once
# 7.DAT is removed). A short page, and one of 1 MiB.
relayed_peak() {
  local page=$1 peak=0 kib i wait pid
  for ((i = 0; i < 20; i++)); do
    rm -f "$work/drives/r/tont/7.out" "$work/drives/r/fromnt/7.DAT"
    cp "$page" "$work/drives/r/tont/t7.out"
    env -i "${cgi[@]}" REQUEST_METHOD=GET QUERY_STRING=TRACKNO=7 "$drivers/trackrelay_peak_memory" 1 -- "$program" \
      >"$work/peak.txt" &
    pid=$!
    wait=0
    while [ ! -e "$work/drives/r/fromnt/7.DAT" ] && [ $((wait += 1)) -lt 2000 ]; do sleep 0.005; done
    rm -f "$work/drives/r/fromnt/7.DAT"
    mv "$work/drives/r/tont/t7.out" "$work/drives/r/tont/7.out"
    wait "$pid"
    kib=$(cat "$work/peak.txt")
    [ ! -e "$work/drives/r/tont/7.out" ] || { echo "the relayed page was not taken" >&2; exit 1; }
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$peak"
}
printf '<p>tracking 7</p>\r\n' >"$work/short.out"
for ((i = 0; i < 16384; i++)); do printf '%062d\r\n' "$i"; done >"$work/large.out"
figure[rss_relayed]=$(relayed_peak "$work/short.out")
figure[rss_relayed_large]=$(relayed_peak "$work/large.out")
echo "peak memory: internal error ${figure[rss_internal]} KiB, fatal ${figure[rss_fatal]} KiB," \
  "relayed page ${figure[rss_relayed]} KiB, relayed 1 MiB page ${figure[rss_relayed_large]} KiB"

# Memory bounded by the input: a POST body of 4 MiB of "=" (4 Mi field slots, one of them filled),
# which ends in the internal error page, and a response of one line of 16 MiB, the most of an
# answer that the program relays.
head -c 4194304 /dev/zero | tr '\0' '=' >"$work/equals.body"
if ! env -i "${cgi[@]}" REQUEST_METHOD=POST CONTENT_LENGTH=4194304 "$program" <"$work/equals.body" |
  grep -q 'internal error number 0 '; then
  echo "4 MiB of = did not end in the internal error page of step 0" >&2
  exit 1
fi
figure[rss_equals]=$(env -i "${cgi[@]}" REQUEST_METHOD=POST CONTENT_LENGTH=4194304 \
  "$drivers/trackrelay_peak_memory" 20 "$work/equals.body" -- "$program")
{ head -c 16777216 /dev/zero | tr '\0' 'x'; printf '\r\n'; } >"$work/long_line.out"
figure[rss_long_line]=$(relayed_peak "$work/long_line.out")
echo "peak memory: 4 MiB of = ${figure[rss_equals]} KiB, one 16 MiB response line ${figure[rss_long_line]} KiB"

echo "== relay latency: the simulator answers at once =="
# TRACKNO=0 with an empty inbound folder and with 10,000 unrelated files in it; then numbers
# that the requests bring, which leaves out the counter's flush to disk.
# Each run takes turns with the program's build without flushes and the build before the change,
# whose figures stand beside.
for run in "0" "10000" "0 given"; do
  settle
  # shellcheck disable=SC2086
  "$drivers/trackrelay_relay_latency" --beside "$unflushed" "${beside_before[@]}" "$program" "$simulator" \
    "$latency_requests" $run | tee "$work/latency.txt"
  figure[latency_${run// /_}]=$(program_latency_figures "$work/latency.txt")
  figure[latency_${run// /_}_unflushed]=$(program_latency_figures "$work/latency.txt" unflushed)
  figure[latency_${run// /_}_before]=$(program_latency_figures "$work/latency.txt" before)
  [ "$(grep -c '; 0 wrong pages$' "$work/latency.txt")" -eq $((2 + ${#beside_before[@]} / 2)) ] ||
    { echo "the latency run saw wrong pages" >&2; exit 1; }
done

echo "== relay latency with r: on a network share on the loopback address, the simulator on the server's folder =="
# The program goes through the share's client; a page counts only when it is its own.
# And the floor of a relayed page there: each flush is a round trip to the server.
for kind in smb sftp; do
  reason=$(trackrelay_share_missing "$kind")
  if [ -n "$reason" ]; then
    for name in latency_$kind latency_${kind}_unflushed latency_${kind}_before; do figure[$name]="not measured: $reason"; done
    for k in program unflushed exchange ratio before; do figure[floor_${kind}_$k]="not measured"; done
    continue
  fi
  settle
  if ! trackrelay_share_up "$kind" "$work/share-$kind"; then
    trackrelay_share_down
    for name in latency_$kind latency_${kind}_unflushed latency_${kind}_before; do
      figure[$name]="not measured: the share did not come up"
    done
    for k in program unflushed exchange ratio before; do figure[floor_${kind}_$k]="not measured"; done
    continue
  fi
  "$drivers/trackrelay_relay_latency" --beside "$unflushed" "${beside_before[@]}" --share "$TRACKRELAY_SHARE_CLIENT" \
    "$TRACKRELAY_SHARE_SERVER" "$program" "$simulator" "$latency_requests" | tee "$work/latency.txt" || true
  figure[latency_$kind]=$(share_latency_figures "$work/latency.txt")
  figure[latency_${kind}_unflushed]=$(share_latency_figures "$work/latency.txt" unflushed)
  figure[latency_${kind}_before]=$(share_latency_figures "$work/latency.txt" before)
  # The floor's drives: c: local, r: a folder of its own on the share, through its client; the
  # driver answers on the server's folder, as a remote host there would.
  floor_share=$(mktemp -d "$TRACKRELAY_SHARE_SERVER/floor-XXXXXX")
  mkdir -p "$floor_share/fromnt" "$floor_share/tont" "$work/floor-$kind/c/woe"
  for ((i = 0; i < 100; i++)); do
    [ -d "$TRACKRELAY_SHARE_CLIENT/$(basename "$floor_share")/tont" ] && break
    sleep 0.05
  done
  ln -s "$TRACKRELAY_SHARE_CLIENT/$(basename "$floor_share")" "$work/floor-$kind/r"
  share_floor "$work/floor-$kind" "${BENCH_SHARE_RUNS:-200}" "$kind" "$floor_share"
  trackrelay_share_down
done

bench_farm

echo "== load: $clients clients, $load_requests requests with TRACKNO=0 through lighttpd =="
# shellcheck source=../harness/servers/lib.sh
source harness/servers/lib.sh
mkdir -p "$work/www" "$work/cgi-bin" "$work/logs"
cp "$program" "$work/cgi-bin/trackrelay"
# The yardstick of the load: the static C page as the CGI program, through the same server. What
# it costs is the server's and the kernel's part of a request (fork, exec, pipes), which varies
# from machine to machine and day to day several times over; the program is measured against it.
cp "$drivers/trackrelay_baseline_internal" "$work/cgi-bin/yardstick"
rm -f "$work/drives/r/fromnt/"* "$work/drives/r/tont/"*
printf ' 1 \r\n' >"$work/drives/c/woe/track.txt"
settle
"$simulator" --drive-root "$work/drives" --quiet >"$work/logs/simulator.log" 2>&1 &
sim_pid=$!
# Room for every client's connection and its CGI child's pipes at once.
export TRACKRELAY_EXTRA_CONFIG="server.max-fds = 8192
server.max-connections = 2048
server.listen-backlog = 1024"
trackrelay_start_server lighttpd any "$work/www" "$work/cgi-bin" "$work/drives" "$work/logs"
# Where the time of a load run goes: read with perf report -i FILE --comm trackrelay --sort sym.
profile_start() {
  [ -n "${BENCH_PROFILE:-}" ] || return 0
  mkdir -p "$BENCH_PROFILE"
  perf record -e cpu-clock -F 1999 -a -g -o "$BENCH_PROFILE/load-$1.data" >/dev/null 2>&1 &
  perf_pid=$!
  sleep 1
}
profile_stop() {
  [ -n "$perf_pid" ] || return 0
  kill -INT "$perf_pid"
  wait "$perf_pid" || true
  perf_pid=
}
profile_start trackrelay
"$drivers/trackrelay_load_clients" "$TRACKRELAY_SERVER_PORT" /cgi-bin/trackrelay "$clients" "$load_requests" 1 \
  "$TRACKRELAY_SERVER_PID" "$sim_pid" | tee "$work/load.txt"
profile_stop
figure[load_rate]=$(sed -n 's/.* s: \([0-9]*\) requests\/s.*/\1/p' "$work/load.txt")
figure[load_latency]=$(sed -n 's/.*latency p50 \([0-9.]*\) ms, p99 \([0-9.]*\) ms.*/\1 ms \/ \2 ms/p' "$work/load.txt")
figure[load_correct]=$(sed -n 's/^load: \([0-9]*\) pages correct.* \([0-9]*\) distinct numbers, \([0-9]*\) repeated.*/\1 correct, \2 distinct, \3 repeated/p' "$work/load.txt")
figure[load_cpu]=$(sed -n 's/.*CPU per request \([0-9.]*\) ms in the .*; \([0-9.]*\) ms on the whole.*/\1 ms (server side), \2 ms (machine)/p' "$work/load.txt")
figure[load_split]=$(sed -n 's/^load: CPU per request by process: [0-9]*: \([0-9.]*\) ms, its children \([0-9.]*\) ms; [0-9]*: \([0-9.]*\) ms.*/\1 ms, \2 ms, \3 ms/p' "$work/load.txt")
[ "$(grep -c '^load: ' "$work/load.txt")" -ge 3 ] || { echo "the load run did not finish" >&2; exit 1; }
echo "== load yardstick: the same through the static C page (its pages count as wrong) =="
profile_start yardstick
{ "$drivers/trackrelay_load_clients" "$TRACKRELAY_SERVER_PORT" /cgi-bin/yardstick "$clients" "$load_requests" 1 \
  "$TRACKRELAY_SERVER_PID" "$sim_pid" || true; } | tee "$work/load_yardstick.txt"
profile_stop
figure[load_yardstick_rate]=$(sed -n 's/.* s: \([0-9]*\) requests\/s.*/\1/p' "$work/load_yardstick.txt")
figure[load_yardstick_cpu]=$(sed -n 's/.*CPU per request \([0-9.]*\) ms in the .*; \([0-9.]*\) ms on the whole.*/\1 ms (server side), \2 ms (machine)/p' "$work/load_yardstick.txt")
if [ -n "${figure[load_rate]}" ] && [ -n "${figure[load_yardstick_rate]}" ]; then
  figure[load_ratio]=$(awk -v a="${figure[load_rate]}" -v b="${figure[load_yardstick_rate]}" 'BEGIN { printf "%.2f", a / b }')
fi

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo
echo "Machine: $(nproc) cores, $cpu, Linux $(uname -r); $(date -u +%Y-%m-%d)"
echo "The build before the change: ${BENCH_BEFORE:-${built_before:-left out}}"
echo
cat <<TABLE
| benchmark | figure | target |
|---|---|---|
| process cost, internal error page (end of output, median of $runs runs, one a round, each first in turn) | ${figure[internal_program_p50]} µs vs ${figure[internal_cxx_p50]} µs for C++ and ${figure[internal_baseline_p50]} µs for C: **${figure[internal_cxx_ratio_p50]}× C++**, ${figure[internal_ratio_p50]}× C (C++ ${figure[internal_cxx_c_ratio]}× C); exit ${figure[internal_exit]} | ≤ 1.03× C++ |
| process cost, fatal error page (the same) | ${figure[fatal_program_p50]} µs vs ${figure[fatal_cxx_p50]} µs for C++ and ${figure[fatal_baseline_p50]} µs for C: **${figure[fatal_cxx_ratio_p50]}× C++**, ${figure[fatal_ratio_p50]}× C (C++ ${figure[fatal_cxx_c_ratio]}× C); exit ${figure[fatal_exit]} | ≤ 1.03× C++ |
$(floor_rows)
$(confinement_rows)
| peak memory: internal error / fatal / relayed page / relayed 1 MiB page | ${figure[rss_internal]} / ${figure[rss_fatal]} / ${figure[rss_relayed]} / ${figure[rss_relayed_large]} KiB | ≤ 2048 KiB |
| peak memory: a POST body of 4 MiB of \`=\` / a response of one 16 MiB line (the most relayed) | ${figure[rss_equals]} / ${figure[rss_long_line]} KiB | ≤ 3 × 4096 + 1024 KiB / as a relayed page |
| relay latency, end of the page p50 / p99 ($latency_requests requests, \`TRACKNO=0\`, the simulator answering by rename at once; in turns with the program without its flushes and the build before the change) | ${figure[latency_0]}; without flushes ${figure[latency_0_unflushed]}; before ${figure[latency_0_before]} | ≤ 5 ms / ≤ 15 ms |
| the same, 10,000 unrelated files in the inbound folder | ${figure[latency_10000]}; without flushes ${figure[latency_10000_unflushed]}; before ${figure[latency_10000_before]} | no change beyond noise |
| the same, each request with its own number (no counter flush) | ${figure[latency_0_given]}; without flushes ${figure[latency_0_given_unflushed]}; before ${figure[latency_0_given_before]} | ≤ 2 ms / ≤ 5 ms |
| the same, r: on a Samba share (smbd + smbnetfs on the loopback address)¹ | ${figure[latency_smb]}; without flushes ${figure[latency_smb_unflushed]}; before ${figure[latency_smb_before]} | 0 wrong pages |
| the same, r: on an SFTP share (sshd + sshfs on the loopback address, \`dir_cache=no\` and \`-s\`)¹ | ${figure[latency_sftp]}; without flushes ${figure[latency_sftp_unflushed]}; before ${figure[latency_sftp_before]} | 0 wrong pages |
| floor of a relayed page, r: on the Samba share (p50 of ${BENCH_SHARE_RUNS:-200} runs, the driver answering on the server's folder) | ${figure[floor_smb_program]} µs, without flushes ${figure[floor_smb_unflushed]} µs, the exchange's yardstick ${figure[floor_smb_exchange]} µs: **${figure[floor_smb_ratio]}×**; before ${figure[floor_smb_before]} | ≤ 1.15× |
| the same, r: on the SFTP share | ${figure[floor_sftp_program]} µs, without flushes ${figure[floor_sftp_unflushed]} µs, the exchange's yardstick ${figure[floor_sftp_exchange]} µs: **${figure[floor_sftp_ratio]}×**; before ${figure[floor_sftp_before]} | ≤ 1.15× |
$(farm_rows)
| load: $clients clients, $load_requests requests through lighttpd | ${figure[load_rate]} requests/s; p50 / p99 ${figure[load_latency]}; ${figure[load_correct]} | every page its own, every number once |
| load yardstick: the same through the static C page | ${figure[load_yardstick_rate]} requests/s: the program runs at **${figure[load_ratio]}×** its rate² | ≥ 0.8× |
| load: CPU per request | ${figure[load_cpu]}; the yardstick ${figure[load_yardstick_cpu]} | |
| load: CPU per request by process (lighttpd, its CGI children, the simulator) | ${figure[load_split]} | |
| form decoding: 1 MiB of 100,000 fields / 300,000 escapes / a lookup among 30,000 | ${figure[BM_ManyFields]} / ${figure[BM_ManyEscapes]} / ${figure[BM_Lookup]}³ | linear |
TABLE
