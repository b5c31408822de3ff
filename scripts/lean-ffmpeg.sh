#!/bin/bash
# Builds the static libraries of vantrell's static and Windows builds from Debian's own source packages: a
# lean FFmpeg (every demuxer, the protocols it reads from, zlib and a TLS library, and no decoders,
# encoders, filters or devices) and TagLib (with zlib, for compressed ID3v2 frames), in one prefix.
# Usage: scripts/lean-ffmpeg.sh [amd64|armhf|arm64|windows-x64] [PREFIX]
#        (default: amd64, build-lean/ffmpeg-ARCH); scripts/lean-ffmpeg.sh source only fetches the sources.
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
toolchain=()
case "$arch" in
source) "$top/scripts/install-deps.sh" dpkg-dev ;;
amd64) "$top/scripts/install-deps.sh" build-essential cmake pkg-config dpkg-dev zlib1g-dev libmbedtls-dev
       cross=() ;;
armhf | arm64)
       "$top/scripts/setup-cross.sh" "$arch"
       "$top/scripts/install-deps.sh" dpkg-dev "zlib1g-dev:$arch" "libmbedtls-dev:$arch"
       triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
       cross=(--enable-cross-compile "--arch=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)"
              --target-os=linux "--cross-prefix=$triplet-" --pkg-config=pkg-config)
       toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/$arch.cmake")
       export PKG_CONFIG_LIBDIR=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig ;;
windows-x64)
       "$top/scripts/install-deps.sh" dpkg-dev pkg-config g++-mingw-w64-x86-64 libz-mingw-w64-dev
       cross=(--enable-cross-compile --arch=x86_64 --target-os=mingw32 --cross-prefix=x86_64-w64-mingw32-
              --pkg-config=pkg-config)
       tls=(--enable-schannel)
       toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw64.cmake")
       export PKG_CONFIG_LIBDIR=/usr/x86_64-w64-mingw32/lib/pkgconfig ;;
*) echo "lean-ffmpeg: unknown architecture $arch (amd64, armhf, arm64 or windows-x64)" >&2; exit 2 ;;
esac

# The source of the version of package that this system ships, through apt (deb-src added when missing).
debian_source() {
  local package=$1
  ls "$sources/$package"-*/debian >/dev/null 2>&1 && return 0
  if ! apt-get source --print-uris "$package" >/dev/null 2>&1; then
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
  (cd "$sources" && apt-get source --download-only "$package" >/dev/null && dpkg-source -x "$package"_*.dsc >/dev/null)
}
debian_source ffmpeg
debian_source taglib
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

# Debian's TagLib takes its UTF-8 headers from the system; the source's own copy serves, under the name that
# its patched code includes.
taglib_source=$(ls -d "$sources"/taglib-*/ | head -1)
build=$top/build-lean/taglib-build-$arch
rm -rf "$build" && mkdir -p "$build/include"
ln -s "$taglib_source/3rdparty/utf8-cpp" "$build/include/utf8"
cmake -S "$taglib_source" -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_CXX_FLAGS="-I$build/include" -DBUILD_SHARED_LIBS=OFF -DBUILD_BINDINGS=OFF -DBUILD_TESTING=OFF \
  -DWITH_ZLIB=ON >"$build/configure.log" 2>&1 || { tail -n 20 "$build/configure.log"; exit 1; }
cmake --build "$build" --parallel >"$build/make.log" 2>&1 || { tail -n 30 "$build/make.log"; exit 1; }
cmake --install "$build" >/dev/null
echo "TagLib ($(basename "$taglib_source"), $arch) installed in $prefix"
