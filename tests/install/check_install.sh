#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check_install.sh BUILD_DIR FAKE_ICD
#
# Installs BUILD_DIR into a fresh prefix, checks that exactly the tool, its
# manual page and its two documents land there, and runs the installed tool:
# the usage, and a probe through the real loader with the scripted driver as
# the one .icd file of a vendor directory.
set -euo pipefail
build=$1
fake_icd=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
# shellcheck source=tests/install/usage.sh
source "$(dirname "$0")/usage.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f | LC_ALL=C sort) >"$tmp/files"
printf '%s\n' ./bin/corvane ./share/doc/corvane/LICENSE ./share/doc/corvane/README.md \
  ./share/man/man1/corvane.1 >"$tmp/files.expected"
diff -u "$tmp/files.expected" "$tmp/files" || fail "installed files differ"

check_usage "$prefix/bin/corvane" "the installed tool"

mkdir "$tmp/vendors"
echo "$fake_icd" >"$tmp/vendors/scripted.icd"
cat >"$tmp/scenario" <<'SCENARIO'
platform
name Installed
vendor Corvane tests
version OpenCL 1.2 fake
device
type 2
name Fake CPU
vendor Fake Vendor
version OpenCL 1.2 fake
opencl_c OpenCL C 1.2 fake
compute_units 4
max_work_group 1024
global_mem 4096
max_alloc 1024
local_mem 512
compiler 1
SCENARIO
status=0
env -u OPENCL_VENDOR_PATH -u OCL_ICD_ASSUME_ICD_EXTENSION -u OPENCL_LAYERS -u CORVANE_FAKE_CALL_LOG \
  OCL_ICD_VENDORS="$tmp/vendors" OCL_ICD_PLATFORM_SORT=none \
  CORVANE_FAKE_SCENARIO="$tmp/scenario" "$prefix/bin/corvane" --probe >"$tmp/out" 2>"$tmp/err" || status=$?
cat >"$tmp/out.expected" <<'REPORT'
Corvane OpenCL probe
platform_count=1
platform[0].name=Installed
platform[0].vendor=Corvane tests
platform[0].version=OpenCL 1.2 fake
platform[0].device_count=1
device[0:0].name=Fake CPU
device[0:0].type=CPU
device[0:0].vendor=Fake Vendor
device[0:0].version=OpenCL 1.2 fake
device[0:0].opencl_c=OpenCL C 1.2 fake
device[0:0].compiler=true
device[0:0].compute_units=4
device[0:0].max_work_group=1024
device[0:0].global_mem=4096
device[0:0].max_alloc=1024
device[0:0].local_mem=512
REPORT
diff -u "$tmp/out.expected" "$tmp/out" || fail "--probe: standard output differs"
[[ ! -s $tmp/err ]] || fail "--probe: standard error is not empty: $(cat "$tmp/err")"
((status == 0)) || fail "--probe: exit status $status"
echo "installed tree and tool: as expected"
