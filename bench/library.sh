#!/bin/bash
# Whole libraries: builds the default and the static vantrell, makes a library of over 1,000 tagged
# files of every container the test suite makes, and prints files per second on one core for each tool,
# plus the static build on every core.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/install-deps.sh test
scripts/install-deps.sh flac libimage-exiftool-perl util-linux
cmake -S . -B build-bench/default -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench/default --parallel --target vantrell >/dev/null
[ -f build-lean/ffmpeg-amd64/lib/libavformat.a ] || scripts/lean-ffmpeg.sh amd64
cmake -S . -B build-bench/static -DCMAKE_BUILD_TYPE=Release -DVANTRELL_FFMPEG_PREFIX="$top/build-lean/ffmpeg-amd64" >/dev/null
cmake --build build-bench/static --parallel --target vantrell >/dev/null
/usr/bin/python3 bench/library.py build-bench/library build-bench/default/vantrell build-bench/static/vantrell
