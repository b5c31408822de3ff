#!/bin/sh
# Installs the Debian/Ubuntu packages that a task needs, only when some are missing.
# Usage: scripts/install-deps.sh build|test|PACKAGE...
set -eu

build="build-essential cmake pkg-config libavformat-dev libavcodec-dev libavutil-dev"
case "${1:-build}" in
build) packages=$build ;;
test) packages="$build ffmpeg python3 python3-mutagen valgrind e2fsprogs groff-base dpkg-dev file openssl" ;;
*) packages="$*" ;;
esac

missing=""
for package in $packages; do
  # With multiarch a name can stand for several architectures, one status line each.
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "installing:$missing"
$sudo apt-get update -q
# shellcheck disable=SC2086  # one word per package
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
