#!/usr/bin/env bash
# Builds and runs the test suite, once per build configuration of the matrix
# (GCC and Clang; ASan+UBSan, TSan and Release; the TSan presets and the Clang
# release build the library and its tests only, and the TSan presets run the
# tests labelled "threads"), or only the presets named on the command line:
#   scripts/test.sh            # everything
#   scripts/test.sh debug      # one preset
# Parallelism comes from the environment: CMAKE_BUILD_PARALLEL_LEVEL for the builds (Ninja's
# own default when unset) and CTEST_PARALLEL_LEVEL for the tests (twice the cores when unset:
# most tests wait on sockets and child processes).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then
  presets=(debug tsan-gcc release clang-debug clang-tsan clang-release)
fi

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$((2 * $(nproc)))}
for preset in "${presets[@]}"; do
  echo "=== ${preset}"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}"
  ctest --preset "${preset}"
done
