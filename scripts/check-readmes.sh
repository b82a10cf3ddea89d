#!/usr/bin/env bash
# Runs every command of every README as written, in a clean clone of the committed tree.
#
#   scripts/check-readmes.sh
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
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
sandbox=
cleanup() {
  [[ -n $sandbox ]] && kill "$sandbox" 2>/dev/null && wait "$sandbox" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
git clone --quiet . "$work/tavrello"
cd "$work/tavrello"
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
exit "$missing"
