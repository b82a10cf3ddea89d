#!/usr/bin/env bash
# Compiles each public header alone, as a consumer includes it from the installed tree (-I,
# so that its warnings are not hidden as a system header's would be), with GCC and Clang, as
# C++17 and C++20, every warning an error; and checks that a C++14 build stops at once with
# the library's own words. The headers are those of include/ and of every component in
# tools/*/include/, and the generated version.hpp.
#   headers_compile_alone.sh SOURCE_DIR PREFIX
set -euo pipefail
cd "$1"
prefix=$2
headers=(version.hpp)
for header in include/tavrello/*.hpp tools/*/include/tavrello/*.hpp; do
  [[ -e $header ]] && headers+=("${header##*/}")
done
flags=(-fsyntax-only -x c++ -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror
  -I "$prefix/include")
failed=0
for compiler in g++ clang++; do
  for standard in c++17 c++20; do
    for header in "${headers[@]}"; do
      printf '#include <tavrello/%s>\n' "$header" | "$compiler" "-std=$standard" "${flags[@]}" - ||
        { echo "^^^ $compiler -std=$standard: <tavrello/$header> alone"; failed=1; }
    done
  done
  said=$(printf '#include <tavrello/tavrello.hpp>\n' | "$compiler" -std=c++14 "${flags[@]}" - 2>&1 || true)
  if [[ $said != *"tavrello needs C++17 or later"* || $said == *std::any* ]]; then
    printf '%s\n^^^ %s -std=c++14 does not stop at once with "tavrello needs C++17 or later"\n' \
      "$said" "$compiler"
    failed=1
  fi
done
exit "$failed"
