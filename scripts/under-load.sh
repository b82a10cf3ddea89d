#!/usr/bin/env bash
# Runs a command while the machine is busy, as a shared CI runner or a laptop with a build in
# the background is: HOGS processes (default: four per core) spin for as long as the command
# runs, and are stopped by their process ids however it ends. Exits with the command's status.
#   scripts/under-load.sh ctest --preset debug -j 4
#   HOGS=16 scripts/under-load.sh ctest --preset tsan-gcc -j 4
set -uo pipefail
[[ $# -gt 0 ]] || { echo "usage: scripts/under-load.sh COMMAND [ARG...]" >&2; exit 2; }
hogs=${HOGS:-$((4 * $(nproc)))}
pids=()
stop_hogs() {
  [[ ${#pids[@]} -gt 0 ]] && kill "${pids[@]}" 2>/dev/null
  wait "${pids[@]}" 2>/dev/null
  pids=()
}
trap stop_hogs EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$hogs"); do
  sh -c 'while :; do :; done' &
  pids+=("$!")
done
echo "under-load: ${hogs} busy processes on $(nproc) cores while: $*" >&2
"$@"
status=$?
stop_hogs
exit "$status"
