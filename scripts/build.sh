#!/usr/bin/env bash
# Configures and builds both trees: Corvane.exe for 64-bit Windows with
# MinGW-w64 in build-win/ (or $WIN_BUILD_DIR), then the Linux tool and its
# tests in build/ (or $BUILD_DIR), whose tests also run that Corvane.exe under
# Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
build_win=${WIN_BUILD_DIR:-$root/build-win}
cmake -S "$root" -B "$build_win" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCORVANE_TESTS=OFF >/dev/null
cmake --build "$build_win" -j "$(nproc)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_WINDOWS_EXE="$build_win/Corvane.exe" >/dev/null
cmake --build "$build" -j "$(nproc)"
