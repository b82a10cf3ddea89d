#!/usr/bin/env bash
# Static analysis of the library (src/ and include/) with the project's
# .clang-tidy and cppcheck settings, and a clang-format check of the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-tidy cppcheck clang-format

cmake -S . -B build/lint -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DTAVRELLO_BUILD_TESTS=OFF -DTAVRELLO_BUILD_TOOLS=OFF -DTAVRELLO_BUILD_EXAMPLES=OFF \
  -DTAVRELLO_BUILD_BENCH=OFF -DTAVRELLO_BUILD_FUZZ=OFF >/dev/null

echo "clang-tidy"
clang-tidy -p build/lint --quiet src/*.cpp

echo "cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
  --inline-suppr --error-exitcode=1 --quiet --suppress=missingIncludeSystem \
  -I include -I src src include

echo "clang-format"
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
