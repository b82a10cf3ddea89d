#!/usr/bin/env bash
# Installs the Debian packages the build, tools, tests, docs and README commands need, when
# missing, with the extra packages named on its command line. Idempotent: runs apt-get update
# only when something has to be installed.
#   scripts/install-deps.sh [PACKAGE...]
#   scripts/install-deps.sh --list     # the packages it installs, one a line
set -euo pipefail

list=0
if [[ ${1:-} == --list ]]; then
  list=1
  shift
fi
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev nlohmann-json3-dev libcli11-dev libasio-dev
  python3 openssl ca-certificates curl doxygen "$@"
)
if [[ $list -eq 1 ]]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
