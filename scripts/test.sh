#!/bin/sh
# Sets up, builds with warnings as errors, and runs the whole test suite.
# Extra arguments go to CMake (for example -DVANTRELL_SANITIZE=ON); BUILD_DIR picks the build folder;
# TESTS, a regular expression, picks the tests to run (default: all).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -DVANTRELL_WERROR=ON "$@"
cmake --build "$dir" --parallel
cd "$dir" && ctest --output-on-failure --parallel 4 ${TESTS:+--tests-regex "$TESTS"}
grep -ho "report: .*" Testing/Temporary/LastTest.log || true  # what the tests found of this platform
