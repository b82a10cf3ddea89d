#!/usr/bin/env bash
# Runs every libFuzzer target for a given time (default 60 s each), starting
# from the seed corpus in fuzz/corpus/<target>. New inputs are kept in a
# scratch folder; crashes land in fuzz/artifacts/ and fail the run.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  targets=()
  for source in fuzz/*_fuzz.cpp; do
    targets+=("$(basename "${source%_fuzz.cpp}")")
  done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p fuzz/artifacts
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
printf '%-14s %12s %8s\n' target executions corpus
for target in "${targets[@]}"; do
  binary=$(find build/fuzz -name "${target}_fuzz" -type f -perm -u+x | head -n 1)
  mkdir -p "$scratch/$target"
  log="$scratch/$target.log"
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="fuzz/artifacts/${target}-" \
      "$scratch/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    status=1
    tail -n 40 "$log"
  fi
  executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  printf '%-14s %12s %8s\n' "$target" "$executions" "$(ls "$scratch/$target" | wc -l)"
done
exit $status
