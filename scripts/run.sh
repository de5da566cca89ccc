#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Fresh Debian 12 machine to an answer: installs what building and running the
# tool needs (compiler, CMake, the OpenCL headers and loader, PoCL), builds the
# tool alone in build/, and runs its main job on this machine's OpenCL drivers:
# the probe, then the self-test. Exits with the first failing verdict.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
log=$build/run.log

"$root/scripts/setup-debian.sh" tool
mkdir -p "$build"
echo "build: configuring and compiling the tool in $build; output in $log"
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF && cmake --build "$build" --target corvane -j "$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
echo "run: $build/corvane --probe, then --self-test"
echo
"$build/corvane" --probe
echo
"$build/corvane" --self-test
