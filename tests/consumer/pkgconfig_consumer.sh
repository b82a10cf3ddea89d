#!/usr/bin/env bash
# Builds and runs the consumer program against an installed tree with pkg-config only, as
# C++20: the package's flags must leave the consumer's language standard alone. The testing
# example, a GoogleTest test against the in-process sandbox, with the sandbox's own package.
#   pkgconfig_consumer.sh PREFIX CXX "CXXFLAGS" OUTDIR
set -euo pipefail
prefix=$1 cxx=$2 flags=$3 out=$4
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -n 1)
export PKG_CONFIG_PATH="$libdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
if [[ $(pkg-config --cflags tavrello) == *-std=* ]]; then
  echo "pkg-config --cflags tavrello names a language standard: $(pkg-config --cflags tavrello)"
  exit 1
fi
mkdir -p "$out"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags $(pkg-config --cflags tavrello) -DTAVRELLO_CONSUMER_STANDARD=202002L \
  "$(dirname "$0")/project/main.cpp" -o "$out/consumer-pc" $(pkg-config --libs tavrello)
"$out/consumer-pc"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags $(pkg-config --cflags tavrello tavrello-sandbox gtest_main) \
  "$(dirname "$0")/../../examples/testing_with_sandbox.cpp" -o "$out/consumer-tests-pc" \
  $(pkg-config --libs tavrello tavrello-sandbox gtest_main)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir tavrello-sandbox)" "$out/consumer-tests-pc"
