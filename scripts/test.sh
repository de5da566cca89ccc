#!/usr/bin/env bash
# Fresh machine to green suite: installs what is missing, builds, and runs
# every test through CTest: the unit and end-to-end tests in build/, then the
# bounded fuzzer runs in build-fuzz/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-debian.sh"
"$root/scripts/build.sh" --fuzz
ctest --test-dir "${BUILD_DIR:-$root/build}" --output-on-failure -j "$(nproc)"
ctest --test-dir "${FUZZ_BUILD_DIR:-$root/build-fuzz}" --output-on-failure -j "$(nproc)"
