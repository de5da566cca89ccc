#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   root-suite.sh
#
# Run inside a Debian build root (scripts/test.sh runs it through
# scripts/buildroot.sh, in the Debian 11 and Debian 13 roots): builds the tool
# and its tests into build-<codename>/ of the tree this script sits in (as
# build-bullseye/) with that release's compiler and CMake,
# warnings (CMake's too) as errors, runs the unit tests and every scripted-driver
# end-to-end case and the node-label table (dash, mawk and coreutils of that
# release), then the built tool's --probe on that release's own PoCL.
# The real-driver cases need oclgrind, Mesa and clinfo, which stay on the host;
# on a release the suite has a table for (scripts/debian/), the troubleshooting
# rows that need only PoCL run here too, on that release's PoCL, and the Slurm
# health check's rows on that release's Slurm.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC1091 # the root's own file
release=$(. /etc/os-release && echo "Debian ${VERSION_ID:-$VERSION_CODENAME}")
# shellcheck disable=SC1091
build=$root/build-$(. /etc/os-release && echo "$VERSION_CODENAME")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "$release: $(g++ --version | head -n 1), $(cmake --version | head -n 1)"
cmake -S "$root" -B "$build" -Werror=dev -Werror=deprecated -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=ON \
  -DCORVANE_WERROR=ON >"$tmp/configure.log" 2>&1 ||
  {
    cat "$tmp/configure.log"
    exit 1
  }
cmake --build "$build" -j "$(nproc)" >"$tmp/build.log" 2>&1 || {
  cat "$tmp/build.log"
  exit 1
}
(cd "$build" && ctest --output-on-failure -j "$(nproc)" -R '^(unit|e2e|labels)\.' -E 'Real')
# shellcheck disable=SC1091
if [[ -f $root/scripts/debian/$(. /etc/os-release && echo "$VERSION_CODENAME").sh ]]; then
  (cd "$build" && CI=true ctest --output-on-failure --no-tests=error \
    -R '^(troubleshooting\.(empty_folder|missing_library|pocl_without_ld)|slurm\.HealthCheck)$')
fi
echo "$release: $build/corvane --probe on this release's PoCL"
POCL_CACHE_DIR=$tmp/pocl-cache "$build/corvane" --probe
