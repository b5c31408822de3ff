#!/bin/bash
# Whole libraries: builds the default and the static vantrell and vantrell-batch, makes a library of 1,000
# tagged and damaged files of every container the test suite makes, prints files per second on one core for
# each tool, what more cores, far servers and many pairs do, and draws doc/whole-library.svg.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/install-deps.sh test
scripts/install-deps.sh libimage-exiftool-perl util-linux time python3-matplotlib
cmake -S . -B build-bench/default -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench/default --parallel --target vantrell vantrell-batch >/dev/null
[ -f build-lean/ffmpeg-amd64/lib/libtag.a ] || scripts/lean-ffmpeg.sh amd64
cmake -S . -B build-bench/static -DCMAKE_BUILD_TYPE=Release -DVANTRELL_FFMPEG_PREFIX="$top/build-lean/ffmpeg-amd64" >/dev/null
cmake --build build-bench/static --parallel --target vantrell vantrell-batch >/dev/null
/usr/bin/python3 bench/library.py build-bench/library build-bench/default build-bench/static doc/whole-library.svg
