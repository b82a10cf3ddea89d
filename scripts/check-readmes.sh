#!/usr/bin/env bash
# Runs every command of every README as written, in a clean clone of the committed tree, and
# builds every CMake snippet; checks that every program a README or a script runs is one our
# scripts install.
#
#   scripts/check-readmes.sh
#
# Programs: each word of a README's shell blocks (manual ones too) and of every script that
# names a program of this machine must name one that a fresh Debian machine has once our
# scripts ran: Debian's required packages, git, and what scripts/install-deps.sh installs
# (with the packages scripts pass to it or install themselves), with their dependencies.
#
# The blocks fenced as ```sh of each README run in order, as one bash script per README
# (so a variable or PATH set in one block holds in the next), from the top of the clone,
# stopping at the first command that fails. HOME is an empty directory of the run's own, so
# an install to ~/... stays in it. The sandbox listens on its default address, 127.0.0.1:8787,
# with the demo keys, for the examples that talk to the service.
#
# A block fenced as ```sh manual is not run: the long scripts that CI runs anyway, servers
# that run until they are stopped, commands that need the real service's keys. Every program
# such a block names by a path (build/..., scripts/...) must exist once the rest has run.
#
# Each ```cmake block is built as a project of its own (cmake_minimum_required() and project()
# added when it has none, and a one-line program for each target it links but does not
# define), against the library the README's commands installed in ~/.local/tavrello; a
# repository URL in it is replaced by the clean clone, where the branch main is the tree
# under test. The README's first C++ block, in a main() that points it at a host, must print
# the service's refusal from the sandbox and the detail of a failed exchange.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "=== programs that READMEs and scripts run"
# The names of the programs (in /usr/bin, /bin, /usr/sbin, /sbin) of the packages given and
# of all they depend on.
programs_of() {
  local names
  names=$(find /usr/bin /usr/sbin -maxdepth 1 \( -type f -o -type l \))
  # A name an alternative gives (c++, awk) counts when it leads to one of their files.
  apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "$@" | grep -v '^[ <]' | sort -u |
    { xargs dpkg-query -L 2>/dev/null || true; } | grep -E '^/(usr/)?s?bin/[^/]+$' |
    xargs -r realpath -m |
    awk 'NR == FNR { ours[$1]; next } $2 in ours { sub(".*/", "", $1); print $1 }' - \
      <(paste <(echo "$names") <(xargs realpath -m <<<"$names"))
}
scripts=$(git ls-files '*.sh' .ci/run)
# The shell blocks of every README, run or manual: a README that says to install a package
# with install-deps.sh before using it counts as installing it.
readme_blocks=$(git ls-files '*.md' | xargs awk '/^```sh/ { run = 1; next } /^```/ { run = 0 } run')
# What a fresh machine has once our scripts ran: Debian's required packages, git, and the
# packages of install-deps.sh, those scripts pass to it and those a script installs itself.
# shellcheck disable=SC2086
packages=$(dpkg-query -W -f '${Package} ${Priority}\n' | awk '$2 == "required" { print $1 }'
  echo git
  scripts/install-deps.sh --list
  { cat $scripts; echo "$readme_blocks"; } |
    grep -o 'install-deps\.sh [a-z0-9 .+-]*\|missing+=([a-z0-9.+-]*)' |
    sed 's/.*install-deps\.sh//; s/missing+=(//; s/)//' | tr ' ' '\n' |
    grep -E '^[a-z0-9][a-z0-9.+-]+$')
# shellcheck disable=SC2086
fresh=$(programs_of $packages)
# The first word of each command of the shell text on standard input, past assignments and
# the words that run the next one (exec, env, xargs, ...).
commands_in() {
  sed -E 's/(^|[[:space:]])#.*$//' |
    sed -E 's/(\$\(|`|&&|\|\||[;|&(!]|\{[[:space:]]|\<(then|do|else|elif|if|while|until)\>)/\n/g' |
    sed -E 's/^[[:space:]]*(([A-Za-z_][A-Za-z0-9_]*=[^[:space:]]*|exec|command|env|nohup|'\
'xargs( -r)?|timeout [0-9]+)[[:space:]]+)*//' |
    grep -oE '^[A-Za-z_][A-Za-z0-9_.+-]*' | sort -u
}
unknown=0
for file in $(git ls-files '*.md') $scripts; do
  if [[ $file == *.md ]]; then
    text=$(awk '/^```sh/ { run = 1; next } /^```/ { run = 0 } run' "$file")
  else
    text=$(<"$file")
  fi
  for word in $(commands_in <<<"$text"); do
    [[ $word != sudo ]] || continue  # used only by a user who is not root, and then theirs
    path=$(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      command -v -- "$word" 2>/dev/null) || continue
    [[ $path == /* ]] && ! grep -qxF -- "$word" <<<"$fresh" || continue
    echo "check-readmes: $file runs $word ($path), which nothing of ours installs"
    unknown=1
  done
done
[[ $unknown -eq 0 ]] || exit 1

work=$(mktemp -d)
sandbox=
cleanup() {
  [[ -n $sandbox ]] && kill "$sandbox" 2>/dev/null && wait "$sandbox" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
git clone --quiet . "$work/tavrello"
cd "$work/tavrello"
[[ $(git branch --show-current) == main ]] || git branch --quiet --force main HEAD
export HOME="$work/home"
mkdir -p "$HOME"

echo "=== the sandbox on 127.0.0.1:8787"
cmake --preset release >/dev/null
cmake --build --preset release --target tavrello-sandbox >/dev/null
build/release/tools/sandbox/tavrello-sandbox --quiet >"$work/sandbox.out" 2>&1 &
sandbox=$!
for _ in $(seq 100); do
  grep -q '^listening on' "$work/sandbox.out" && break
  kill -0 "$sandbox" 2>/dev/null || { cat "$work/sandbox.out"; exit 1; }
  sleep 0.1
done

readmes=$(git ls-files '*.md')
for readme in $readmes; do
  awk '/^```sh$/ { run = 1; next } /^```/ { run = 0 } run' "$readme" >"$work/run.sh"
  [[ -s $work/run.sh ]] || continue
  echo "=== $readme"
  if ! bash -euo pipefail "$work/run.sh" >"$work/run.log" 2>&1; then
    cat "$work/run.log"
    echo "check-readmes: a command of $readme failed (above)"
    exit 1
  fi
done

missing=0
# shellcheck disable=SC2086
for program in $(awk '/^```sh manual$/ { manual = 1; next } /^```/ { manual = 0 }
                      manual && $1 ~ /\// { print $1 }' $readmes | sort -u); do
  [[ -e $program ]] || { echo "check-readmes: $program is named in a README but not there"; missing=1; }
done
[[ $missing -eq 0 ]] || exit 1

# shellcheck disable=SC2086
awk '/^```cmake$/ { n++; run = 1; next } /^```/ { run = 0 }
     run { print > (dir "/" n ".cmake") }' dir="$work" $readmes
for snippet in "$work"/*.cmake; do
  [[ -e $snippet ]] || break
  echo "=== CMake snippet $(basename "$snippet" .cmake):" \
    "$(grep -m1 -oE '(find_package|FetchContent_Declare)\([a-z]+' "$snippet" || true)"
  project=${snippet%.cmake}
  mkdir -p "$project"
  {
    grep -q '^cmake_minimum_required' "$snippet" || echo 'cmake_minimum_required(VERSION 3.20)'
    grep -q '^project(' "$snippet" || echo 'project(snippet LANGUAGES CXX)'
    for target in $(grep -oE 'target_link_libraries\([A-Za-z0-9_]+' "$snippet" | cut -d'(' -f2 |
                    sort -u); do
      grep -qE "add_(executable|library)\\($target[ )]" "$snippet" ||
        echo "add_executable($target $target.cpp)"
      links=$(grep -E "target_link_libraries\\($target " "$snippet")
      {
        echo '#include <tavrello/tavrello.hpp>'
        if [[ $links == *tavrello::sandbox* ]]; then
          echo '#include <tavrello/sandbox.hpp>'
          echo 'void start() { tavrello::sandbox::Sandbox sandbox{tavrello::sandbox::Options{}}; }'
        fi
        if [[ $links == *gtest_main* ]]; then
          echo '#include <gtest/gtest.h>'
          echo 'TEST(Snippet, Builds) { EXPECT_TRUE(*tavrello::version()); }'
        else
          echo 'int main() { return *tavrello::version() ? 0 : 1; }'
        fi
      } >"$project/$target.cpp"
    done
    sed -E "s#GIT_REPOSITORY [^ )]+#GIT_REPOSITORY file://$work/tavrello#" "$snippet"
  } >"$project/CMakeLists.txt"
  if ! { cmake -S "$project" -B "$project/build" -G Ninja \
           -DCMAKE_PREFIX_PATH="$HOME/.local/tavrello" &&
         cmake --build "$project/build"; } >"$work/run.log" 2>&1; then
    cat "$project/CMakeLists.txt" "$work/run.log"
    echo "check-readmes: a CMake snippet does not build as written (above)"
    exit 1
  fi
done

echo "=== the first C++ block of README.md"
{
  awk '/^```cpp$/ { run = 1; next } /^```/ { if (run) exit; run = 0 } run && /^#include/' README.md
  printf '#include <chrono>\n#include <cstdio>\n#include <cstdlib>\n#include <memory>\n'
  echo 'int main() { tavrello::TavrelloAPI::shared().setServiceHost(std::getenv("SNIPPET_HOST"));'
  awk '/^```cpp$/ { run = 1; next } /^```/ { if (run) exit; run = 0 } run && !/^#include/' README.md
  echo '}'
} >"$work/first.cpp"
export PKG_CONFIG_PATH=$HOME/.local/tavrello/lib/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 "$work/first.cpp" -o "$work/first" $(pkg-config --cflags --libs tavrello)
refused=$(SNIPPET_HOST=127.0.0.1:8787 "$work/first" 2>&1)  # "my-api-key" is not the sandbox's
failed=$(SNIPPET_HOST=127.0.0.1:1 "$work/first" 2>&1)
if [[ $refused != *'"result":"fail"'* || $failed != *"connection refused by 127.0.0.1:1"* ]]; then
  printf '%s\n' "$refused" "$failed"
  echo "check-readmes: the first C++ block does not show the refusal and the failure's detail"
  exit 1
fi
