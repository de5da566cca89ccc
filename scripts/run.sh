#!/usr/bin/env bash
# Fresh machine to answer: installs what is missing, builds, and runs the tool's
# main job on this machine's OpenCL drivers: the probe, then the self-test.
# Exits with the first failing verdict.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-debian.sh"
"$root/scripts/build.sh"
"${BUILD_DIR:-$root/build}/corvane" --probe
"${BUILD_DIR:-$root/build}/corvane" --self-test
