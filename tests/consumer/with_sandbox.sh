#!/usr/bin/env bash
# Starts the sandbox on a free port, runs PROGRAM HOST:PORT API_KEY SERVER_KEY
# against it, and stops the sandbox again, whatever happens.
#   with_sandbox.sh SANDBOX PROGRAM
set -euo pipefail
sandbox=$1 program=$2
api_key=consumer-api-key server_key=consumer-server-key
out=$(mktemp)
"$sandbox" --listen 127.0.0.1:0 --quiet --api-key "$api_key" --server-key "$server_key" >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do
  [[ -s "$out" ]] && break
  sleep 0.05
done
host=$(head -n 1 "$out" | sed -n 's/^listening on //p')
[[ -n "$host" ]] || { echo "the sandbox did not start" >&2; exit 1; }
"$program" "$host" "$api_key" "$server_key"
