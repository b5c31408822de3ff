#!/bin/bash
# Builds vantrell with warnings as errors and runs the whole test suite inside a minimal Debian chroot
# of each named release (default: bullseye trixie forky), against that release's own libavformat,
# ffmpeg and CMake. A prepared chroot is packed into the cache folder and reused next time.
#   VANTRELL_CACHE   cache folder (default: ~/.cache/vantrell)
#   DEBIAN_MIRROR    where debootstrap and apt fetch from (default: deb.debian.org)
#   VANTRELL_SWEEP_SAMPLE  damaged inputs the sweep samples in the chroots (default: all)
#   VANTRELL_TEST_BATCH    OFF: the suites run against vantrell only, and vantrell-batch's own rows
# Needs root (debootstrap, chroot, mount).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${VANTRELL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrell}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ $# -gt 0 ] || set -- bullseye trixie forky

"$top/scripts/install-deps.sh" debootstrap git
mkdir -p "$cache"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/vantrell-compat.XXXXXX")

unmount_all() {
  local root=$1
  for point in "$root/dev" "$root/proc"; do
    if mountpoint -q "$point"; then umount "$point" || umount -l "$point"; fi
  done
}
cleanup() {
  local root
  for root in "$work"/*/; do [ -d "$root" ] && unmount_all "${root%/}"; done
  # Never delete through a mount that is still there: /dev of the host would go with it.
  if grep -q " $work/" /proc/mounts; then echo "compat: mounts left under $work; not removing it" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

for suite in "$@"; do
  root=$work/$suite
  packed=$cache/chroot-$suite.tar.gz
  start=$SECONDS
  mkdir -p "$root"
  if [ -f "$packed" ]; then
    echo "== $suite: reusing $packed"
    tar -C "$root" -xzf "$packed"
  else
    echo "== $suite: bootstrapping from $mirror"
    # A debootstrap older than the release may have no script of that name; testing and unstable
    # bootstrap alike, so sid's serves.
    script=/usr/share/debootstrap/scripts/$suite
    [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
    debootstrap --variant=minbase "$suite" "$root" "$mirror" "$script" >"$work/debootstrap-$suite.log" 2>&1 ||
      { tail -20 "$work/debootstrap-$suite.log"; exit 1; }
    # The mirror may serve testing's Release file past its Valid-Until date. This throwaway chroot's own
    # apt may accept it (the signature is still checked); the host's apt is never told so.
    if [ ! -e "/usr/share/debootstrap/scripts/$suite" ] || [ "$suite" = sid ]; then
      echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99vantrell-test-chroot"
    fi
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mount --bind /dev "$root/dev"
  mount -t proc proc "$root/proc"

  # The tests' own packages, installed by the same script that a user runs; then keep the result.
  mkdir -p "$root/tmp/deps"
  cp "$top/scripts/install-deps.sh" "$root/tmp/deps/"
  chroot "$root" /tmp/deps/install-deps.sh test
  if [ ! -f "$packed" ]; then
    unmount_all "$root"
    tar -C "$root" --exclude=./proc/* --exclude=./dev/* -czf "$packed.part" . && mv "$packed.part" "$packed"
    mount --bind /dev "$root/dev"
    mount -t proc proc "$root/proc"
  fi

  rm -rf "$root/src" && mkdir -p "$root/src"
  git -C "$top" ls-files -co --exclude-standard -z | tar -C "$top" --null -T - -cf - | tar -C "$root/src" -xf -
  echo "== $suite: $(chroot "$root" sh -c 'cmake --version | head -1; ffmpeg -version | head -1')"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 CI="${CI:-}" \
    ${VANTRELL_SWEEP_SAMPLE:+VANTRELL_SWEEP_SAMPLE=$VANTRELL_SWEEP_SAMPLE} \
    ${VANTRELL_TEST_BATCH:+VANTRELL_TEST_BATCH=$VANTRELL_TEST_BATCH} \
    sh -c 'cd /src && scripts/test.sh ${VANTRELL_TEST_BATCH:+-DVANTRELL_TEST_BATCH=$VANTRELL_TEST_BATCH}'
  unmount_all "$root"
  echo "== $suite: passed in $((SECONDS - start)) s"
done
