#!/bin/sh
# Prepares this Debian/Ubuntu amd64 machine to cross-build vantrell for ARM and to run the result under
# qemu. Usage: scripts/setup-cross.sh [armhf|arm64...]   (default: both)
# Multiarch wants a library at one version for every architecture, so the ARM -dev packages are pinned
# to the version the host has installed, or installed together with the host's in one go.
set -eu
[ $# -gt 0 ] || set -- armhf arm64
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
libs="libavformat-dev libavcodec-dev libavutil-dev libtag1-dev"
packages="qemu-user pkg-config cmake"
for arch in "$@"; do
  case "$arch" in
  armhf | arm64) ;;
  *) echo "setup-cross: unknown architecture $arch (armhf or arm64)" >&2; exit 2 ;;
  esac
  $sudo dpkg --add-architecture "$arch"
  packages="$packages crossbuild-essential-$arch"
  for lib in $libs; do
    version=$(dpkg-query -W -f='${Version}' "$lib:$(dpkg --print-architecture)" 2>/dev/null || true)
    packages="$packages $lib:$arch${version:+=$version}"
  done
done
[ -n "$(dpkg-query -W -f='${Version}' libtag1-dev 2>/dev/null || true)" ] || packages="$packages $libs"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}\n' "${package%%=*}" 2>/dev/null | grep -q '^install ok installed$' ||
    missing="$missing $package"
done
[ -n "$missing" ] || exit 0
"$(dirname "$0")/install-deps.sh" update
# shellcheck disable=SC2086  # one word per package
$sudo apt-get install -y -q --no-install-recommends $packages
