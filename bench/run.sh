#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against a local nginx:
# the micro benchmarks once, then interleaved rounds of wrk (ceiling), the raw
# libcurl client (floor) and the library at each K, over plain HTTP and over
# HTTPS, then the burst run; then the polling rounds through a delaying relay;
# and prints the markdown tables (see bench/README.md).
#
#   bench/run.sh                                  # 5 rounds, N=20000, K=1 16 64, G=2
#   bench/run.sh --slow-polling                   # and the polling rows at G=6 and 30
#   bench/run.sh --rounds 2 --requests 5000       # a short run while developing
#   bench/run.sh --ks "16" --no-micro --settle 0 --https "" --polling ""
#   bench/run.sh --ks "" --no-micro --slow-polling  # the polling rows only
#   bench/run.sh --baseline /tmp/old/build/bench-release/bench/tavrello-bench-load
#
# Each round runs wrk, the raw client, the library with the main thread draining
# (library) and with handlers on an application loop thread (library+executor),
# and with --baseline another build's tavrello-bench-load in both modes (baseline,
# baseline+executor; build that one with this bench/load.cpp), side by side.
# Over HTTPS (--https "h1 h2": HTTP/1.1 only, and HTTP/2 offered) it runs the
# raw client, the library and the baseline, and at HTTP/2 the raw client with
# CURLOPT_PIPEWAIT (raw+pipewait).
#
# Polling (--polling "G ...", seconds; --slow-polling is "2 6 30"): in each of
# --rounds rounds, at each G, the raw client and the library call getLastData
# --poll-calls times, one call every G seconds, and the library calls createGroup
# the same way, each over HTTP/1.1 and HTTP/2, each through its own relay that
# delays every chunk --delay-ms each way (bench/relay.py); all of a round at once,
# their calls staggered.
#
# --settle S: before each round, wait up to S seconds (default 60) for the
# machine to be idle. Every result records the CPU share other processes took
# while it ran ("other load"); rounds go on until --rounds of them were quiet
# at every K, or --max-rounds (default 3 x --rounds) have run.
#
# Installs nginx and wrk when missing (apt-get update only then). Starts its
# own nginx on free 127.0.0.1 ports (plain HTTP, and HTTPS with a certificate
# from a CA the run makes with openssl), with every file in a temporary
# directory, and stops it, and every relay, by its PID on exit. Results land in
# bench/results/.
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
https="h1 h2"
polling="2"
poll_calls=5
delay_ms=25
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
    --https) https=$2; shift 2 ;;
    --polling) polling=$2; shift 2 ;;
    --slow-polling) polling="2 6 30"; shift ;;
    --poll-calls) poll_calls=$2; shift 2 ;;
    --delay-ms) delay_ms=$2; shift 2 ;;
    *) sed -n '2,39p' "$0"; exit 2 ;;
  esac
done
[[ "$settle" =~ ^[0-9]+$ ]] || { echo "not a count of seconds: $settle" >&2; exit 2; }
for n in "$rounds" "$requests" "$burst" "$wrk_seconds" "$poll_calls" "$delay_ms" $ks $polling; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $n" >&2; exit 2; }
done
max_rounds=${max_rounds:-$((rounds * 3))}
[[ "$max_rounds" =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $max_rounds" >&2; exit 2; }
(( max_rounds >= rounds )) || max_rounds=$rounds
(( max_rounds <= 60 )) || { echo "at most 60 rounds" >&2; exit 2; }
for protocol in $https; do
  [[ $protocol == h[12] ]] || { echo "--https takes h1 and h2: $protocol" >&2; exit 2; }
done

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

# A CA of the run's own and a certificate for 127.0.0.1 signed by it (ECDSA P-256).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=tavrello bench CA" -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  >"$work/server.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -set_serial 2 \
  -days 2 -extfile "$work/server.ext" -out "$work/server.crt" 2>/dev/null
ca=$work/ca.crt
access_log=$work/tls-access.log

port=$(python3 bench/report.py free-port)
h1_port=$(python3 bench/report.py free-port)
h2_port=$(python3 bench/report.py free-port)
sed -e "s|@PORT@|$port|g" -e "s|@H1_PORT@|$h1_port|g" -e "s|@H2_PORT@|$h2_port|g" \
  -e "s|@DIR@|$work|g" bench/nginx.conf.in >"$work/nginx.conf"
"${server_pin[@]}" /usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
host=127.0.0.1:$port
declare -A tls_host=([h1]=https://127.0.0.1:$h1_port [h2]=https://127.0.0.1:$h2_port)
for _ in $(seq 50); do
  python3 bench/report.py ready "$port" && python3 bench/report.py ready "$h1_port" \
    && python3 bench/report.py ready "$h2_port" && break
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
echo "target: nginx at $host, HTTPS at ${tls_host[h1]} (HTTP/1.1) and ${tls_host[h2]} (HTTP/2);"\
  "rounds=$rounds N=$requests K=($ks) burst=$burst; polling G=($polling) calls=$poll_calls"\
  "delay=${delay_ms} ms each way"

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

# One run: appends its JSON line, with the round, the protocol, the other load and,
# over HTTPS, what nginx logged of it added.
record() {
  local round=$1 protocol=$2 line busy0 nginx0 start log_from
  shift 2
  log_from=$(stat -c %s "$access_log" 2>/dev/null || echo 0)
  busy0=$(busy_ticks)
  nginx0=$(nginx_ticks)
  start=$EPOCHREALTIME
  if ! line=$(timeout 600 "${client_pin[@]}" "$@" | tail -n 1); then
    echo "warning: failed or not all ok: $*" >&2
  fi
  [[ $line == \{* ]] || { echo "no result from: $*" >&2; return 0; }
  local end=$EPOCHREALTIME busy=$(($(busy_ticks) - busy0)) nginx=$(($(nginx_ticks) - nginx0))
  local logged=()
  [[ $protocol == http ]] || logged=(--log "$access_log" --log-from "$log_from")
  python3 bench/report.py annotate --round "$round" --protocol "$protocol" --line "$line" \
    --busy "$busy" --nginx "$nginx" --start "$start" --end "$end" "${logged[@]}" >>"$results"
}

# The clients of one protocol: "http" (plain), "h1" or "h2" (HTTPS).
clients_of() {
  case $1 in
    http) echo "wrk raw library executor${baseline:+ baseline baseline+executor}" ;;
    h1) echo "raw library${baseline:+ baseline}" ;;
    h2) echo "raw raw+pipewait library${baseline:+ baseline}" ;;
  esac
}

run_client() {
  local round=$1 protocol=$2 client=$3 k=$4 target=(--host "$host")
  [[ $protocol == http ]] || target=(--host "${tls_host[$protocol]}" --ca "$ca")
  local load=("${target[@]}" --requests "$requests" --concurrency "$k")
  case $client in
    wrk) record "$round" "$protocol" python3 bench/report.py wrk --url "http://$host/" \
           --script bench/wrk_post.lua --k "$k" --seconds "$wrk_seconds" ;;
    raw) record "$round" "$protocol" "$bin/tavrello-bench-raw" "${load[@]}" ;;
    raw+pipewait) record "$round" "$protocol" "$bin/tavrello-bench-raw" "${load[@]}" --pipewait ;;
    library) record "$round" "$protocol" "$bin/tavrello-bench-load" "${load[@]}" ;;
    executor) record "$round" "$protocol" "$bin/tavrello-bench-load" "${load[@]}" --executor ;;
    # Another build's load driver, its lines renamed.
    baseline*)
      [[ $client == baseline ]] || load+=(--executor)
      record "$round" "$protocol" \
        bash -c '"$0" "$@" | sed "s/\"client\":\"library/\"client\":\"baseline/"' \
        "$baseline" "${load[@]}" ;;
  esac
}

# Warm-up: connections, page cache, CPU frequency. Not recorded.
timeout 120 "${client_pin[@]}" "$bin/tavrello-bench-raw" --host "$host" --requests 2000 \
  --concurrency 16 >/dev/null || true

# Rounds until --rounds of them ran on a quiet machine at every protocol and K,
# at most --max-rounds in all (none with --ks "": the polling rows only).
step=0
round=0
while [[ -n $ks ]] && (( round < max_rounds )); do
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
    for protocol in http $https; do
      # Alternate the order, so no client always runs first or last.
      order=$(clients_of "$protocol")
      if (( step % 2 == 1 )); then order=$(echo "$order" | tr ' ' '\n' | tac | tr '\n' ' '); fi
      step=$((step + 1))
      for client in $order; do
        # Waiting for a connection to share means nothing with one request at a time.
        [[ $client == raw+pipewait && $k -eq 1 ]] && continue
        run_client "$round" "$protocol" "$client" "$k"
      done
    done
  done
  record "$round" http "$bin/tavrello-bench-load" --host "$host" --requests "$burst" --burst
done

# Polling: every client of a round at once, each through a relay of its own.
if [[ -n $polling && -n $https ]]; then
  for round in $(seq "$rounds"); do
    for every in $polling; do
      echo "--- polling round $round of $rounds, one call every $every s"
      python3 bench/report.py poll --round "$round" --every "$every" --calls "$poll_calls" \
        --delay-ms "$delay_ms" --bin "$bin" --ca "$ca" --log "$access_log" \
        --protocols "$https" --h1 "${tls_host[h1]}" --h2 "${tls_host[h2]}" \
        ${baseline:+--baseline "$baseline"} >>"$results"
    done
  done
fi

echo "--- results: $results"
python3 bench/report.py table "$results" | tee "bench/results/table-$stamp.md"
