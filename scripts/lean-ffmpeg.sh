#!/bin/bash
# Builds a lean, static FFmpeg for vantrell from Debian's own source package: every demuxer, the
# protocols it reads from, zlib and OpenSSL, and no decoders, encoders, filters or devices.
# Usage: scripts/lean-ffmpeg.sh [amd64|armhf] [PREFIX]   (default: amd64, build-lean/ffmpeg-ARCH)
# Then: cmake -S . -B build-lean -DVANTRELL_FFMPEG_PREFIX=PREFIX
# FFmpeg stays under the LGPL here: no --enable-gpl, no --enable-nonfree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-amd64}
prefix=$(realpath -m "${2:-$top/build-lean/ffmpeg-$arch}")
sources=$top/build-lean/source
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

case "$arch" in
amd64) "$top/scripts/install-deps.sh" build-essential pkg-config dpkg-dev zlib1g-dev libmbedtls-dev ;;
armhf) "$top/scripts/setup-armhf.sh"
       "$top/scripts/install-deps.sh" dpkg-dev zlib1g-dev:armhf libmbedtls-dev:armhf ;;
*) echo "lean-ffmpeg: unknown architecture $arch (amd64 or armhf)" >&2; exit 2 ;;
esac

# The source of the FFmpeg version that this system ships, through apt (deb-src added when missing).
if ! ls "$sources"/ffmpeg-*/configure >/dev/null 2>&1; then
  if ! apt-get source --print-uris ffmpeg >/dev/null 2>&1; then
    for list in /etc/apt/sources.list.d/*.sources; do
      [ -f "$list" ] && grep -q '^Types:.*\bdeb\b' "$list" || continue
      grep -q 'deb-src' "$list" || $sudo sed -i 's/^Types: *deb$/Types: deb deb-src/' "$list"
    done
    if [ -f /etc/apt/sources.list ]; then
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $sudo tee /etc/apt/sources.list.d/vantrell-deb-src.list >/dev/null
    fi
    $sudo apt-get update -q
  fi
  mkdir -p "$sources"
  (cd "$sources" && apt-get source --download-only ffmpeg >/dev/null && dpkg-source -x ffmpeg_*.dsc >/dev/null)
fi
source_dir=$(ls -d "$sources"/ffmpeg-*/ | head -1)

cross=()
if [ "$arch" = armhf ]; then
  cross=(--enable-cross-compile --arch=arm --target-os=linux --cross-prefix=arm-linux-gnueabihf-
         --pkg-config=pkg-config)
  export PKG_CONFIG_LIBDIR=/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig
fi

build=$top/build-lean/ffmpeg-build-$arch
rm -rf "$build" && mkdir -p "$build"
cd "$build"
"$source_dir/configure" --prefix="$prefix" "${cross[@]}" \
  --disable-shared --enable-static --disable-programs --disable-doc --disable-debug \
  --disable-autodetect --disable-everything --disable-avdevice --disable-avfilter --disable-swscale \
  --disable-swresample --disable-postproc --disable-asm \
  --enable-demuxers --enable-protocol=file,pipe,http,https,tcp,tls,data,crypto \
  --enable-zlib --enable-version3 --enable-mbedtls >configure.log || { tail -n 20 configure.log ffbuild/config.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log; exit 1; }
make install >/dev/null
echo "lean FFmpeg ($(basename "$source_dir"), $arch) installed in $prefix"
