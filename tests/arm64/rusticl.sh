#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   rusticl.sh TOOL WORK_DIR
#
# Runs the arm64 TOOL under qemu-aarch64 on a real arm64 driver: Mesa's rusticl
# with its llvmpipe device (RUSTICL_ENABLE=swrast). mesa-opencl-icd:arm64
# cannot be installed beside the amd64 drivers the rest of the suite runs on
# (with its libclang-cpp it is not co-installable), so the two are unpacked
# privately into WORK_DIR: apt-get download, dpkg-deb -x; a vendor folder's
# .icd file names the unpacked library by its absolute path, and its own
# libraries come through LD_LIBRARY_PATH, set for the emulated process only.
# Its other dependencies are multi-arch packages that scripts/setup-debian.sh
# installs. Both lists are the Debian release's (scripts/debian/).
#
# --probe must exit 0 and list the llvmpipe device; --self-test must pass.
# Exits 77 (skipped) saying exactly what is missing, unless CI is set: there
# everything must be present, and a missing piece fails the test.
set -euo pipefail
tool=$1
work=$2
# shellcheck source=scripts/debian/release.sh
source "$(dirname "$0")/../../scripts/debian/release.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# shellcheck source=tests/missing.sh
source "$(dirname "$0")/../missing.sh"

command -v qemu-aarch64 >/dev/null || missing "no qemu-aarch64 (Debian package qemu-user)"
[[ -e /usr/lib/aarch64-linux-gnu/libOpenCL.so.1 ]] || missing "no arm64 OpenCL loader (ocl-icd-libopencl1:arm64)"
for package in "${rusticl_arm64_depends[@]}"; do
  dpkg-query -W -f='${Status}' "$package:arm64" 2>/dev/null | grep -q 'install ok installed' ||
    missing "$package:arm64 is not installed (rusticl for arm64 needs it)"
done

unpacked=$work/root
library=$unpacked/usr/lib/aarch64-linux-gnu/libRusticlOpenCL.so.1
if [[ ! -e $library ]]; then
  rm -rf "$work"
  mkdir -p "$work/debs"
  unpacked_debs=("${rusticl_arm64_unpacked[@]/%/:arm64}")
  (cd "$work/debs" && apt-get download "${unpacked_debs[@]}") >"$work/download.log" 2>&1 ||
    missing "apt-get download ${unpacked_debs[*]} failed: $(tail -n 1 "$work/download.log")"
  for deb in "$work"/debs/*.deb; do
    dpkg-deb -x "$deb" "$unpacked"
  done
fi
[[ -e $library ]] || fail "no $library in the unpacked packages"
mkdir -p "$work/vendors"
echo "$library" >"$work/vendors/rusticl.icd"

run() {
  OCL_ICD_VENDORS=$work/vendors RUSTICL_ENABLE=swrast \
    qemu-aarch64 -E "LD_LIBRARY_PATH=$unpacked/usr/lib/aarch64-linux-gnu" "$tool" "$1" >"$tmp/out" 2>"$tmp/err"
}

status=0
run --probe || status=$?
cat "$tmp/out"
((status == 0)) || fail "--probe exited $status: $(cat "$tmp/err")"
grep -Eq '^device\[0:[0-9]+\]\.name=llvmpipe' "$tmp/out" || fail "--probe lists no llvmpipe device"
status=0
run --self-test || status=$?
cat "$tmp/out"
((status == 0)) || fail "--self-test exited $status: $(cat "$tmp/err")"
[[ $(head -n 1 "$tmp/out") == self_test=PASS ]] || fail "--self-test did not say self_test=PASS"
