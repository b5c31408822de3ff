#!/bin/sh
# Prepares this Debian/Ubuntu amd64 machine to cross-build vantrell for 32-bit ARM (armhf) and to run
# the result under qemu. amd64 and armhf -dev packages are installed in one go, so apt keeps them at
# the same version, as multiarch requires.
set -eu
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo dpkg --add-architecture armhf
$sudo apt-get update -q
libs="libavformat-dev libavcodec-dev libavutil-dev"
armhf_libs=$(for lib in $libs; do printf '%s:armhf ' "$lib"; done)
# shellcheck disable=SC2086  # one word per package
$sudo apt-get install -y -q --no-install-recommends crossbuild-essential-armhf qemu-user pkg-config cmake \
  $libs $armhf_libs
