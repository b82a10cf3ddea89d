#!/usr/bin/env bash
# Builds and runs the consumer program against an installed tree with pkg-config only.
#   pkgconfig_consumer.sh PREFIX CXX "CXXFLAGS" OUTDIR
set -euo pipefail
prefix=$1 cxx=$2 flags=$3 out=$4
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -n 1)
export PKG_CONFIG_PATH="$libdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
mkdir -p "$out"
# shellcheck disable=SC2046,SC2086
"$cxx" $flags $(pkg-config --cflags tavrello) "$(dirname "$0")/project/main.cpp" \
  -o "$out/consumer-pc" $(pkg-config --libs tavrello)
"$out/consumer-pc"
