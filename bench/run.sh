#!/bin/bash
# One command from a fresh clone: installs what the benchmark needs, builds the default and the lean
# vantrell (and, with --armhf, both for armhf too), makes the media and prints the table.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/install-deps.sh test
scripts/install-deps.sh flac atomicparsley strace binutils time

build() {  # build folder, extra CMake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" --parallel --target vantrell vantrell-floor >/dev/null
}
build build-bench/default
[ -d build-lean/ffmpeg-amd64 ] || scripts/lean-ffmpeg.sh amd64
build build-bench/lean -DVANTRELL_FFMPEG_PREFIX="$top/build-lean/ffmpeg-amd64"
armhf=()
if [ "${1:-}" = --armhf ]; then
  [ -d build-lean/ffmpeg-armhf ] || scripts/lean-ffmpeg.sh armhf
  build build-bench/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
  build build-bench/armhf-lean -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
    -DVANTRELL_FFMPEG_PREFIX="$top/build-lean/ffmpeg-armhf"
  armhf=(build-bench/armhf build-bench/armhf-lean)
fi
/usr/bin/python3 bench/bench.py build-bench/work build-bench/default build-bench/lean "${armhf[@]}"
