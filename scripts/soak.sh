#!/usr/bin/env bash
# Soak run (release build): the bench load driver's soak mode, a random mix of all eleven
# operations against an in-process sandbox with a share of requests sent where they fail on
# purpose (a sandbox's faults, a stopped sandbox's port), checking that every handler runs
# once and memory and descriptors stay flat.
#   scripts/soak.sh [MINUTES] [IN_FLIGHT] [FAULT_PERCENT]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-2}
in_flight=${2:-16}
fault_percent=${3:-5}
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tavrello-bench-load
build/release/bench/tavrello-bench-load --minutes "$minutes" --concurrency "$in_flight" \
  --fault-percent "$fault_percent"
