#!/usr/bin/env bash
# Builds and runs the whole test suite, once per build configuration of the
# matrix (GCC and Clang; ASan+UBSan, TSan and Release), or only the presets
# named on the command line:   scripts/test.sh            # everything
#                              scripts/test.sh debug      # one preset
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then
  presets=(debug tsan-gcc release clang-debug clang-tsan clang-release)
fi

# Every server in the tests is on loopback; never route it through a proxy.
export NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}" no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}"

jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== ${preset}"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  ctest --preset "${preset}" -j "${jobs}"
done
