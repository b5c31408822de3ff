#!/bin/bash
# Builds a lean, static FFmpeg for vantrell from Debian's own source package: every demuxer, the
# protocols it reads from, zlib and a TLS library, and no decoders, encoders, filters or devices.
# Usage: scripts/lean-ffmpeg.sh [amd64|armhf|arm64|windows-x64] [PREFIX]
#        (default: amd64, build-lean/ffmpeg-ARCH); scripts/lean-ffmpeg.sh source only fetches the source.
# Then: cmake -S . -B build-lean -DVANTRELL_FFMPEG_PREFIX=PREFIX (with the architecture's toolchain file)
# FFmpeg stays under the LGPL here: no --enable-gpl, no --enable-nonfree. Linux builds use mbed TLS
# (Apache 2.0, hence --enable-version3); Windows builds use the system's own TLS (Schannel).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-amd64}
prefix=$(realpath -m "${2:-$top/build-lean/ffmpeg-$arch}")
sources=$top/build-lean/source
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

tls=(--enable-version3 --enable-mbedtls)
case "$arch" in
source) "$top/scripts/install-deps.sh" dpkg-dev ;;
amd64) "$top/scripts/install-deps.sh" build-essential pkg-config dpkg-dev zlib1g-dev libmbedtls-dev
       cross=() ;;
armhf | arm64)
       "$top/scripts/setup-cross.sh" "$arch"
       "$top/scripts/install-deps.sh" dpkg-dev "zlib1g-dev:$arch" "libmbedtls-dev:$arch"
       triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
       cross=(--enable-cross-compile "--arch=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)"
              --target-os=linux "--cross-prefix=$triplet-" --pkg-config=pkg-config)
       export PKG_CONFIG_LIBDIR=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig ;;
windows-x64)
       "$top/scripts/install-deps.sh" dpkg-dev pkg-config g++-mingw-w64-x86-64 libz-mingw-w64-dev
       cross=(--enable-cross-compile --arch=x86_64 --target-os=mingw32 --cross-prefix=x86_64-w64-mingw32-
              --pkg-config=pkg-config)
       tls=(--enable-schannel)
       export PKG_CONFIG_LIBDIR=/usr/x86_64-w64-mingw32/lib/pkgconfig ;;
*) echo "lean-ffmpeg: unknown architecture $arch (amd64, armhf, arm64 or windows-x64)" >&2; exit 2 ;;
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
    "$top/scripts/install-deps.sh" update
  fi
  mkdir -p "$sources"
  (cd "$sources" && apt-get source --download-only ffmpeg >/dev/null && dpkg-source -x ffmpeg_*.dsc >/dev/null)
fi
source_dir=$(ls -d "$sources"/ffmpeg-*/ | head -1)
[ "$arch" != source ] || exit 0
# FFmpeg gives mbed TLS no host name to check when the URL names an IP address, so any trusted
# certificate would pass for any address. Check the address like a name: mbed TLS then matches it
# against the certificate's DNS names and refuses a certificate that names it only as an IP address.
sed -i 's/if (!shr->listen \&\& !shr->numerichost) {/if (!shr->listen) {/' "$source_dir/libavformat/tls_mbedtls.c"

build=$top/build-lean/ffmpeg-build-$arch
rm -rf "$build" && mkdir -p "$build"
cd "$build"
"$source_dir/configure" --prefix="$prefix" "${cross[@]}" \
  --disable-shared --enable-static --disable-programs --disable-doc --disable-debug \
  --disable-autodetect --disable-everything --disable-avdevice --disable-avfilter --disable-swscale \
  --disable-swresample --disable-postproc --disable-asm \
  --enable-demuxers --enable-protocol=file,pipe,http,https,tcp,tls,ftp,data,crypto \
  --enable-zlib "${tls[@]}" >configure.log || { tail -n 20 configure.log ffbuild/config.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log; exit 1; }
make install >/dev/null
echo "lean FFmpeg ($(basename "$source_dir"), $arch) installed in $prefix"
