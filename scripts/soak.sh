#!/usr/bin/env bash
# Soak run against the sandbox with injected faults (release build):
#   scripts/soak.sh [MINUTES] [IN_FLIGHT]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-2}
in_flight=${2:-16}
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tavrello-soak tavrello-sandbox
build/release/tests/soak/tavrello-soak --sandbox build/release/tools/sandbox/tavrello-sandbox \
  --minutes "$minutes" --in-flight "$in_flight"
