#!/usr/bin/env bash
# Configures and builds the tool and its tests in build/ (or $BUILD_DIR).
# With --fuzz, also builds the libFuzzer targets with clang in a tree of their
# own, build-fuzz/ (or $FUZZ_BUILD_DIR); the default tree is not affected.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
if [[ ${1:-} == --fuzz ]]; then
  fuzz_build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
  cmake -S "$root" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCORVANE_TESTS=OFF -DCORVANE_FUZZ=ON >/dev/null
  cmake --build "$fuzz_build" -j "$(nproc)"
fi
