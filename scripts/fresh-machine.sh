#!/usr/bin/env bash
# Runs a command on a fresh machine: a Debian bookworm base system (debootstrap's minbase: the
# required packages and apt) with git and nothing else, in a chroot of its own, on a clean
# clone of the committed tree. A program that a README command or a script runs and that our
# scripts do not install fails there, whatever this machine happens to have. Needs root (for
# debootstrap, chroot and the mounts) and Debian's package archive.
#
#   scripts/fresh-machine.sh                      # CI=true .ci/run, as CI runs it
#   scripts/fresh-machine.sh scripts/demo.sh      # any command, from the top of the clone
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $(id -u) -eq 0 ]] || { echo "fresh-machine: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
[[ $# -gt 0 ]] || set -- env CI=true bash .ci/run
scripts/install-deps.sh debootstrap

root=$(mktemp -d /var/tmp/tavrello-fresh.XXXXXX)
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -lR "${mounted[i]}"
  done
  rm -rf --one-file-system "$root" "$root.log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "fresh-machine: a base system in $root"
debootstrap --variant=minbase bookworm "$root" "${DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
  >"$root.log" 2>&1 || { cat "$root.log"; exit 1; }
rm -f "$root.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --rbind /sys "$root/sys" && mounted+=("$root/sys")
mount --rbind /dev "$root/dev" && mounted+=("$root/dev")
git clone --quiet . "$root/tavrello"
# Only what a fresh machine has: the base system, and git to clone with.
chroot "$root" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c 'apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends git >/dev/null'
# The parallelism asked for here holds there too.
environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
for name in CMAKE_BUILD_PARALLEL_LEVEL CTEST_PARALLEL_LEVEL; do
  [[ -z ${!name:-} ]] || environment+=("$name=${!name}")
done
echo "fresh-machine: running $*"
chroot "$root" env -i "${environment[@]}" bash -c 'cd /tavrello && exec "$@"' bash "$@"
