#!/bin/bash
# What the working tree costs against an earlier commit (default: the one before HEAD): builds both, with
# Debian's shared FFmpeg and static, and prints each figure as a ratio measured side by side in one run.
# Usage: bench/against.sh [COMMIT]     BENCH_RUNS, BENCH_ROUNDS: runs per command, rounds per batch;
#        BENCH_NETWORK=no leaves out the far servers, the small server and the mix (bench/network.py)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
baseline=${1:-HEAD~1}
scripts/install-deps.sh test
scripts/install-deps.sh util-linux time nginx-light
[ -f build-lean/ffmpeg-amd64/lib/libtag.a ] || scripts/lean-ffmpeg.sh amd64

source=build-bench/baseline-source
rm -rf "$source" && mkdir -p "$source"
git archive "$baseline" | tar -x -m -C "$source"  # -m: a build folder made for another baseline rebuilds
build() {  # build folder, source folder, extra CMake arguments...
  local dir=$1 from=$2; shift 2
  cmake -S "$from" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" --parallel --target vantrell vantrell-batch vantrell-floor >/dev/null
}
static=-DVANTRELL_FFMPEG_PREFIX=$top/build-lean/ffmpeg-amd64
build build-bench/new-default .
build build-bench/new-static . "$static"
build build-bench/old-default "$source"
build build-bench/old-static "$source" "$static"
echo "baseline: $(git log -1 --format='%h %s' "$baseline")"

# The library on a journaled ext4, as users' disks are: a file system without a journal (this project's
# build machines) scans every recently deleted inode when it makes a new one, which makes replacing many
# files look far dearer than it is. Without root or loop devices, the build folder serves.
work=build-bench/against
disk=build-bench/disk
if [ "$(id -u)" -eq 0 ] && truncate -s 2G build-bench/ext4.img && mkfs.ext4 -q -F build-bench/ext4.img &&
  mkdir -p "$disk" && mount -o loop build-bench/ext4.img "$disk"; then
  trap 'umount "$disk"; rm -f build-bench/ext4.img' EXIT
  work=$disk/against
  echo "library on a journaled ext4 image ($(findmnt -no OPTIONS "$disk"))"
else
  echo "library on $(findmnt -no FSTYPE,OPTIONS -T build-bench)"
fi
/usr/bin/python3 bench/against.py "$work" build-bench/new-default build-bench/new-static \
  build-bench/old-default build-bench/old-static
# How many at once: far servers behind a latency proxy, a small server, a mix, large pictures (static builds).
[ "${BENCH_NETWORK:-yes}" = no ] || /usr/bin/python3 bench/network.py "$work" build-bench/new-static build-bench/old-static
