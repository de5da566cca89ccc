# SPDX-License-Identifier: Apache-2.0
# Sourced by the install and package checks: check_usage BINARY WHAT
# [LAUNCHER] runs BINARY --help (through LAUNCHER, such as qemu-aarch64, when
# given) and fails (through the caller's fail) unless it prints exactly the
# five usage lines, nothing on standard error, and exits 0. Uses the caller's
# $tmp folder.
check_usage() {
  local binary=$1 what=$2 launcher=${3:-} status=0
  ${launcher:+"$launcher"} "$binary" --help >"$tmp/out" 2>"$tmp/err" || status=$?
  printf '%s\n' "Corvane: standalone OpenCL client foundation" "Usage:" "  Corvane.exe --help" \
    "  Corvane.exe --probe" "  Corvane.exe --self-test" >"$tmp/out.expected"
  diff -u "$tmp/out.expected" "$tmp/out" || fail "$what: --help's standard output differs"
  [[ ! -s $tmp/err ]] || fail "$what: --help wrote to standard error: $(cat "$tmp/err")"
  ((status == 0)) || fail "$what: --help exited $status"
}
