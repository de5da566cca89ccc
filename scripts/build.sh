#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds the three trees, warnings as errors: Corvane.exe for
# 64-bit Windows with MinGW-w64 in build-win/ (or $WIN_BUILD_DIR); the arm64
# Linux tool and scripted driver with Debian's cross compiler in build-arm64/
# (or $ARM64_BUILD_DIR); then the Linux tool and its tests, a Release build
# with GCC, in build/ (or $BUILD_DIR), whose tests also run that Corvane.exe
# under Wine and the arm64 tool under qemu-aarch64.
# With --fuzz, also builds the libFuzzer targets with the Debian release's
# clang (scripts/debian/) in a tree of their own, build-fuzz/ (or
# $FUZZ_BUILD_DIR); the other trees are not affected.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
build_win=${WIN_BUILD_DIR:-$root/build-win}
build_arm64=${ARM64_BUILD_DIR:-$root/build-arm64}
cmake -S "$root" -B "$build_win" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCORVANE_TESTS=OFF -DCORVANE_WERROR=ON >/dev/null
cmake --build "$build_win" -j "$(nproc)"
cmake -S "$root" -B "$build_arm64" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DCORVANE_FAKE_ICD=ON -DCORVANE_WERROR=ON >/dev/null
cmake --build "$build_arm64" -j "$(nproc)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON \
  -DCORVANE_WINDOWS_EXE="$build_win/Corvane.exe" -DCORVANE_ARM64_BUILD="$build_arm64" >/dev/null
cmake --build "$build" -j "$(nproc)"
if [[ ${1:-} == --fuzz ]]; then
  # shellcheck source=scripts/debian/release.sh
  source "$root/scripts/debian/release.sh"
  fuzz_build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
  cmake -S "$root" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="clang-$clang_version" -DCMAKE_CXX_COMPILER="clang++-$clang_version" \
    -DCORVANE_TESTS=OFF -DCORVANE_FUZZ=ON -DCORVANE_WERROR=ON >/dev/null
  cmake --build "$fuzz_build" -j "$(nproc)"
fi
