#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against a local nginx:
# the micro benchmarks once, then interleaved rounds of wrk (ceiling), the raw
# libcurl client (floor) and the library at each K, then the burst run, and
# prints the markdown table (see bench/README.md).
#
#   bench/run.sh                                  # 5 rounds, N=20000, K=1 16 64
#   bench/run.sh --rounds 2 --requests 5000       # a short run while developing
#   bench/run.sh --ks "16" --no-micro --settle 0
#   bench/run.sh --baseline /tmp/old/build/bench-release/bench/tavrello-bench-load
#
# Each round runs wrk, the raw client, the library with the main thread draining
# (library) and with handlers on an application loop thread (library+executor),
# and with --baseline another build's tavrello-bench-load in both modes (baseline,
# baseline+executor; build that one with this bench/load.cpp), side by side.
#
# --settle S: before each round, wait up to S seconds (default 60) for the
# machine to be idle. Every result records the CPU share other processes took
# while it ran ("other load"); rounds go on until --rounds of them were quiet
# at every K, or --max-rounds (default 3 x --rounds) have run.
#
# Installs nginx and wrk when missing (apt-get update only then). Starts its
# own nginx on a free 127.0.0.1 port, with every file in a temporary
# directory, and stops it by its PID on exit. Results land in bench/results/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

rounds=5
requests=20000
ks="1 16 64"
burst=10000
wrk_seconds=2
micro=1
settle=60
max_rounds=""
build_dir=build/bench-release
baseline=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --ks) ks=$2; shift 2 ;;
    --burst) burst=$2; shift 2 ;;
    --wrk-seconds) wrk_seconds=$2; shift 2 ;;
    --no-micro) micro=0; shift ;;
    --settle) settle=$2; shift 2 ;;
    --max-rounds) max_rounds=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    *) sed -n '2,25p' "$0"; exit 2 ;;
  esac
done
[[ "$settle" =~ ^[0-9]+$ ]] || { echo "not a count of seconds: $settle" >&2; exit 2; }
for n in "$rounds" "$requests" "$burst" "$wrk_seconds" $ks; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $n" >&2; exit 2; }
done
max_rounds=${max_rounds:-$((rounds * 3))}
[[ "$max_rounds" =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $max_rounds" >&2; exit 2; }
(( max_rounds >= rounds )) || max_rounds=$rounds
(( max_rounds <= 60 )) || { echo "at most 60 rounds" >&2; exit 2; }

# --- packages -----------------------------------------------------------------
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
scripts/install-deps.sh
missing=()
[[ -x /usr/sbin/nginx ]] || missing+=(nginx)
command -v wrk >/dev/null || missing+=(wrk)
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing: ${missing[*]}"
  # Keep the package from starting the system's own nginx: we run our own.
  policy=/usr/sbin/policy-rc.d
  added_policy=0
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    added_policy=1
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
  [[ $added_policy -eq 0 ]] || "${sudo[@]}" rm -f "$policy"
fi

# --- build --------------------------------------------------------------------
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRELLO_BUILD_BENCH=ON \
  -DTAVRELLO_BUILD_TESTS=OFF -DTAVRELLO_BUILD_TOOLS=ON -DTAVRELLO_BUILD_EXAMPLES=OFF \
  -DTAVRELLO_BUILD_FUZZ=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" \
  --target tavrello-bench-micro tavrello-bench-load tavrello-bench-raw
bin=$root/$build_dir/bench

# --- CPUs: nginx on the first, the clients on the others ------------------------
read -r -a cpus <<<"$(python3 bench/report.py cpus)"
server_pin=()
client_pin=()
if [[ ${#cpus[@]} -ge 2 ]]; then
  server_pin=(taskset -c "${cpus[0]}")
  client_pin=(taskset -c "$(IFS=,; echo "${cpus[*]:1}")")
fi

# --- nginx ----------------------------------------------------------------------
export NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}"
export no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}"
work=$(mktemp -d /tmp/tavrello-bench.XXXXXX)
nginx_pid=""
cleanup() {
  if [[ -n $nginx_pid ]]; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$(python3 bench/report.py free-port)
sed -e "s|@PORT@|$port|g" -e "s|@DIR@|$work|g" bench/nginx.conf.in >"$work/nginx.conf"
"${server_pin[@]}" /usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
host=127.0.0.1:$port
for _ in $(seq 50); do
  python3 bench/report.py ready "$port" && break
  kill -0 "$nginx_pid" 2>/dev/null || { cat "$work/error.log" >&2; exit 1; }
  sleep 0.1
done

# --- runs -----------------------------------------------------------------------
mkdir -p bench/results
stamp=$(date +%Y%m%d-%H%M%S)
results=bench/results/run-$stamp.jsonl
: >"$results"
export TAVRELLO_BENCH_BODY
TAVRELLO_BENCH_BODY=$("$bin/tavrello-bench-raw" --print-body)

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'),"\
  "kernel $(uname -r); nginx on CPU ${cpus[0]}, clients on ${client_pin[2]:-any}"
echo "target: nginx at $host; rounds=$rounds N=$requests K=($ks) burst=$burst"

if [[ $micro -eq 1 ]]; then
  echo "--- micro benchmarks"
  [[ $settle -eq 0 ]] || python3 bench/report.py settle --max-seconds "$settle"
  "${client_pin[@]}" "$bin/tavrello-bench-micro" --benchmark_min_time=0.2 \
    | tee "bench/results/micro-$stamp.txt"
fi

# CPU time (clock ticks) the whole machine spent in processes, and nginx's
# own share: what is left after the client's share was taken by other
# processes. Interrupt time is left out: the loopback traffic of the run
# itself is handled there, and no process is charged for it.
busy_ticks() {
  local _ user nice system idle iowait irq softirq steal
  read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
  echo $((user + nice + system + steal))
}
nginx_ticks() {
  local total=0 pid stat
  for pid in $nginx_pid $(cat /proc/"$nginx_pid"/task/*/children 2>/dev/null); do
    read -r -a stat 2>/dev/null </proc/"$pid"/stat || continue
    total=$((total + stat[13] + stat[14]))
  done
  echo $total
}

# One run: appends its JSON line, with the round and the other load added.
record() {
  local round=$1 line busy0 nginx0 start
  shift
  busy0=$(busy_ticks)
  nginx0=$(nginx_ticks)
  start=$EPOCHREALTIME
  if ! line=$(timeout 600 "${client_pin[@]}" "$@" | tail -n 1); then
    echo "warning: failed or not all ok: $*" >&2
  fi
  [[ $line == \{* ]] || { echo "no result from: $*" >&2; return 0; }
  local end=$EPOCHREALTIME busy=$(($(busy_ticks) - busy0)) nginx=$(($(nginx_ticks) - nginx0))
  python3 bench/report.py annotate --round "$round" --line "$line" --busy "$busy" \
    --nginx "$nginx" --start "$start" --end "$end" >>"$results"
}

run_client() {
  local round=$1 client=$2 k=$3
  case $client in
    wrk) record "$round" python3 bench/report.py wrk --url "http://$host/" \
           --script bench/wrk_post.lua --k "$k" --seconds "$wrk_seconds" ;;
    raw) record "$round" "$bin/tavrello-bench-raw" --host "$host" --requests "$requests" \
           --concurrency "$k" ;;
    library) record "$round" "$bin/tavrello-bench-load" --host "$host" --requests "$requests" \
               --concurrency "$k" ;;
    executor) record "$round" "$bin/tavrello-bench-load" --host "$host" --requests "$requests" \
                --concurrency "$k" --executor ;;
    # Another build's load driver, its lines renamed.
    baseline) record "$round" bash -c '"$0" "$@" | sed "s/\"client\":\"library/\"client\":\"baseline/"' \
                "$baseline" --host "$host" --requests "$requests" --concurrency "$k" ;;
    baseline+executor) record "$round" bash -c '"$0" "$@" | sed "s/\"client\":\"library/\"client\":\"baseline/"' \
                "$baseline" --host "$host" --requests "$requests" --concurrency "$k" --executor ;;
  esac
}

# Warm-up: connections, page cache, CPU frequency. Not recorded.
timeout 120 "${client_pin[@]}" "$bin/tavrello-bench-raw" --host "$host" --requests 2000 \
  --concurrency 16 >/dev/null || true

# Rounds until --rounds of them ran on a quiet machine at every K, at most
# --max-rounds in all.
step=0
round=0
while (( round < max_rounds )); do
  if (( round >= rounds )); then
    quiet=$(python3 bench/report.py quiet-rounds "$results")
    (( quiet >= rounds )) && break
    echo "--- $quiet of $round rounds quiet at every K: one more"
  fi
  round=$((round + 1))
  echo "--- round $round (of $rounds, at most $max_rounds)"
  # A shared machine: give other work up to --settle seconds to finish.
  [[ $settle -eq 0 ]] || python3 bench/report.py settle --max-seconds "$settle"
  for k in $ks; do
    # Alternate the order, so no client always runs first or last.
    order="wrk raw library executor${baseline:+ baseline baseline+executor}"
    if (( step % 2 == 1 )); then order=$(echo "$order" | tr ' ' '\n' | tac | tr '\n' ' '); fi
    step=$((step + 1))
    for client in $order; do run_client "$round" "$client" "$k"; done
  done
  record "$round" "$bin/tavrello-bench-load" --host "$host" --requests "$burst" --burst
done

echo "--- results: $results"
python3 bench/report.py table "$results" | tee "bench/results/table-$stamp.md"
