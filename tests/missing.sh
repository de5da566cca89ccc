# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced by the checks that need something a machine may lack (qemu, podman,
# node, yamllint): `missing WHAT` exits 77, which CTest reports as skipped,
# saying what is missing; under CI (CI set), where scripts/setup-debian.sh
# test has installed everything, it fails through the caller's fail instead.
missing() {
  if [[ -n ${CI:-} ]]; then
    fail "$* (CI installs everything this check needs: scripts/setup-debian.sh test)"
  fi
  echo "skipped: $*" >&2
  exit 77
}
