#!/usr/bin/env bash
# The quick start: installs what is missing, builds a release build, starts the sandbox
# service on a free loopback port, tours all eleven operations through the command-line
# tool, then runs the tour example against the same service. Stops the sandbox at exit and
# exits non-zero if any step failed.
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "=== building the release preset (sandbox, command-line tool, tour example)"
cmake --preset release >/dev/null
cmake --build --preset release \
  --target tavrello-sandbox tavrello-cli tavrello-example-tour

build=build/release
sandbox_bin=$build/tools/sandbox/tavrello-sandbox
cli=$build/tools/cli/tavrello
tour=$build/examples/tavrello-example-tour

# The sandbox's demo keys. They go to the tools through the environment and are never shown.
api_key=demo-api-key
server_key=demo-server-key
# Everything here talks to loopback: never through a proxy.
export NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}"
export no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}"

work=$(mktemp -d)
sandbox_pid=""
cleanup() {
  if [[ -n "$sandbox_pid" ]]; then
    kill "$sandbox_pid" 2>/dev/null || true
    wait "$sandbox_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Its first line says where it listens; the lines after it name the keys, so the file is
# read for that first line only and removed at exit.
"$sandbox_bin" --listen 127.0.0.1:0 --quiet --api-key "$api_key" --server-key "$server_key" \
  >"$work/sandbox.out" &
sandbox_pid=$!
line=""
for _ in $(seq 200); do
  # read succeeds only on a whole line, so a half-written port is never taken.
  if IFS= read -r line <"$work/sandbox.out" && [[ "$line" == "listening on "* ]]; then break; fi
  line=""
  kill -0 "$sandbox_pid" 2>/dev/null || break
  sleep 0.05
done
if [[ -z "$line" ]]; then
  echo "demo: the sandbox did not start" >&2
  exit 1
fi
export TAVRELLO_HOST=${line#listening on }
export TAVRELLO_API_KEY=$api_key TAVRELLO_SERVER_KEY=$server_key
echo "=== sandbox service listening on $TAVRELLO_HOST (pid $sandbox_pid)"

# shorten LINES: passes standard input through, cutting it after LINES lines and every line
# after 160 characters, so that a page of 100 members stays readable.
shorten() {
  python3 -c '
import sys
limit = int(sys.argv[1])
lines = sys.stdin.read().splitlines()
for line in lines[:limit]:
    print(line if len(line) <= 160 else line[:160] + " ...")
if len(lines) > limit:
    print("    ... (%d more lines)" % (len(lines) - limit))
' "$1"
}

# json_get PATH: reads a JSON reply on standard input and prints the value at PATH (keys
# separated by dots); fails when the text is not JSON or has no such value.
json_get() {
  python3 -c '
import json, sys
value = json.load(sys.stdin)
for key in sys.argv[1].split("."):
    value = value[key]
print(value)
' "$1" 2>/dev/null
}

failures=0
reply=""
# step ARGS...: runs `tavrello --pretty ARGS...`, shows the command and its reply, and counts
# a failure unless the exchange succeeded and the service answered "result": "ok".
step() {
  echo
  printf '$ tavrello --pretty'
  local arg
  for arg in "$@"; do
    if [[ "$arg" =~ ^[A-Za-z0-9._:/-]+$ ]]; then printf ' %s' "$arg"; else printf " '%s'" "$arg"; fi
  done
  echo
  local status=0
  reply=$("$cli" --pretty "$@") || status=$?
  printf '%s\n' "$reply" | shorten 40
  if [[ $status -ne 0 || "$(printf '%s' "$reply" | json_get result)" != "ok" ]]; then
    echo "^^^ FAILED (exit code $status)"
    failures=$((failures + 1))
  fi
}

echo
echo "=== a tour of the eleven operations with the command-line tool"
now=$(date +%s)
step get-objects-data 1
step get-last-data m-0001
step get-data-between-24-hours m-0001 $((now - 3600)) "$now"
step get-groups
step create-group "Demo group"
group=$(printf '%s' "$reply" | json_get data.group_key || true)
step edit-group-name "$group" "Demo group, renamed"
step add-group-member "$group" m-0001
step get-group-members "$group"
step get-groups-with-object m-0001
step remove-group-member "$group" m-0001
step remove-group "$group"

echo
echo "=== the tour example ($tour)"
tour_status=0
"$tour" > "$work/tour.out" || tour_status=$?
shorten 100 < "$work/tour.out"
if [[ $tour_status -ne 0 ]]; then
  echo "^^^ FAILED (exit code $tour_status)"
  failures=$((failures + 1))
fi

echo
if [[ $failures -ne 0 ]]; then
  echo "=== demo FAILED: $failures step(s) failed"
  exit 1
fi
echo "=== demo done: every step succeeded"
