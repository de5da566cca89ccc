#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds both trees, warnings as errors: Corvane.exe for 64-bit
# Windows with MinGW-w64 in build-win/ (or $WIN_BUILD_DIR), then the Linux tool
# and its tests, a Release build with GCC, in build/ (or $BUILD_DIR), whose
# tests also run that Corvane.exe under Wine.
# With --fuzz, also builds the libFuzzer targets with clang in a tree of their
# own, build-fuzz/ (or $FUZZ_BUILD_DIR); the other trees are not affected.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
build_win=${WIN_BUILD_DIR:-$root/build-win}
cmake -S "$root" -B "$build_win" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCORVANE_TESTS=OFF -DCORVANE_WERROR=ON >/dev/null
cmake --build "$build_win" -j "$(nproc)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON -DCORVANE_WINDOWS_EXE="$build_win/Corvane.exe" >/dev/null
cmake --build "$build" -j "$(nproc)"
if [[ ${1:-} == --fuzz ]]; then
  fuzz_build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
  cmake -S "$root" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCORVANE_TESTS=OFF -DCORVANE_FUZZ=ON -DCORVANE_WERROR=ON >/dev/null
  cmake --build "$fuzz_build" -j "$(nproc)"
fi
