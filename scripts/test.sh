#!/usr/bin/env bash
# Fresh machine to green suite: installs what is missing, builds, and runs
# every test through CTest: those of the Linux tool, and Corvane.exe's
# import check and end-to-end cases under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-debian.sh"
"$root/scripts/build.sh"
cd "${BUILD_DIR:-$root/build}"
ctest --output-on-failure -j "$(nproc)"
