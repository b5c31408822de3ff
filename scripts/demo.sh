#!/bin/sh
# Sets up, builds, and saves the cover of the bundled sample to cover.jpg.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel >/dev/null
build/vantrell samples/sample.mp3 cover.jpg
