#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check-in-root.sh DEB TARBALL
#
# Run inside a Debian build root (scripts/check-packages.sh does, through
# scripts/buildroot.sh): installs DEB with apt as a user would, runs the
# installed tool's --probe and --self-test on that release's PoCL, removes the
# package and checks that it is gone; then unpacks TARBALL into a fresh
# ~/.local the way the README says and runs the same two commands from there.
# Each time, corvane-node-labels runs too and must label the PoCL device.
# Prints one line for each run, saying what the self-test (and the labels) saw.
set -euo pipefail
deb=$1
tarball=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export POCL_CACHE_DIR=$tmp/pocl-cache
release=$(. /etc/os-release && echo "Debian ${VERSION_ID:-$VERSION_CODENAME}")

fail() {
  echo "FAIL ($release): $*" >&2
  exit 1
}

# run_both BINARY WHAT: the probe must find a usable device (PoCL's CPU
# device); the self-test must pass, or fail to build in exactly the way an
# old PoCL does on a CPU its LLVM does not know, which is the right report.
run_both() {
  local binary=$1 what=$2 status=0 devices
  "$binary" --probe >"$tmp/out" 2>"$tmp/err" || status=$?
  ((status == 0)) || fail "$what --probe exited $status: $(cat "$tmp/out" "$tmp/err")"
  devices=$(sed -n 's/^device\[[0-9]*:[0-9]*\]\.name=//p' "$tmp/out" | paste -sd, -)
  status=0
  "$binary" --self-test >"$tmp/out" 2>"$tmp/err" || status=$?
  if ((status == 0)) && [[ $(head -n 1 "$tmp/out") == self_test=PASS ]]; then
    echo "$release, $what: --probe 0 ($devices); --self-test PASS ($(grep '^kernel_us=' "$tmp/out"))"
  elif ((status == 4)) && grep -q "error: unknown target CPU 'generic'" "$tmp/err"; then
    echo "$release, $what: --probe 0 ($devices); --self-test 4, the kernel did not build:" \
      "this PoCL's LLVM does not know this CPU (unknown target CPU 'generic')"
  else
    fail "$what --self-test exited $status: $(cat "$tmp/out" "$tmp/err")"
  fi
}

# run_labels PROGRAM WHAT [TOOL]: the node-label program as installed, on the
# same PoCL, with this release's shell, awk and coreutils: its file must say
# the probe found a usable device and that it is no GPU. TOOL, when given, is
# the tool it runs instead of corvane from PATH.
run_labels() {
  local program=$1 what=$2 dir=$tmp/features status=0
  rm -rf "$dir"
  mkdir "$dir"
  CORVANE=${3:-} "$program" --dir "$dir" --timeout 120 2>"$tmp/err" || status=$?
  ((status == 0)) || fail "$what corvane-node-labels exited $status: $(cat "$tmp/err")"
  if ! grep -qx 'feature.node.kubernetes.io/corvane-probe=usable' "$dir/corvane" ||
    ! grep -qx 'feature.node.kubernetes.io/corvane-gpu=false' "$dir/corvane"; then
    fail "$what corvane-node-labels wrote: $(cat "$dir/corvane")"
  fi
  echo "$release, $what: corvane-node-labels: $(sed -n 's|^feature\.node\.kubernetes\.io/||p' "$dir/corvane" | paste -sd' ' -)"
}

apt-get install -y -q --no-install-recommends "$deb" >"$tmp/apt.log" 2>&1 || fail "apt-get install: $(cat "$tmp/apt.log")"
run_both /usr/bin/corvane "the .deb installed with apt"
run_labels /usr/bin/corvane-node-labels "the .deb installed with apt"
apt-get remove -y -q corvane >"$tmp/apt.log" 2>&1 || fail "apt-get remove: $(cat "$tmp/apt.log")"
[[ ! -e /usr/bin/corvane ]] || fail "/usr/bin/corvane is still there after apt-get remove"

mkdir -p "$tmp/home/.local"
tar -xzf "$tarball" --strip-components=1 -C "$tmp/home/.local"
[[ -f $tmp/home/.local/share/man/man1/corvane.1 ]] || fail "the tarball put no manual page in ~/.local/share/man/man1"
run_both "$tmp/home/.local/bin/corvane" "the tarball in ~/.local"
run_labels "$tmp/home/.local/bin/corvane-node-labels" "the tarball in ~/.local" "$tmp/home/.local/bin/corvane"
