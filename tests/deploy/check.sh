#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check.sh lint SOURCE_DIR VERSION
#   check.sh schemas SOURCE_DIR WORK_DIR
#
# The Kubernetes manifests of deploy/kubernetes/, checked offline (no cluster):
#   lint      yamllint with tests/deploy/yamllint.yaml, warnings included, and
#             every image the release's: localhost/corvane:VERSION, the name
#             podman load gives the release's image;
#   schemas   tests/deploy/validate.mjs under node: every document against
#             Kubernetes' schemas (npm's kubernetes-models) and the least
#             privilege every container must keep, then each manifest with a
#             table of faults put in, every one of which must be refused.
# The npm packages are installed by `npm ci` from the committed lock file into
# WORK_DIR (once; again when the lock file changes). That needs the npm
# registry or npm's cache; the checks themselves need no network.
# Exits 77 (skipped) saying exactly what is missing, unless CI is set: there
# everything must be present, and a missing piece fails the test.
set -euo pipefail
mode=$1
source_dir=$2
here=$source_dir/tests/deploy
manifests=("$source_dir"/deploy/kubernetes/*.yaml)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# shellcheck source=tests/missing.sh
source "$(dirname "$0")/../missing.sh"

((${#manifests[@]} >= 2)) || fail "expected the DaemonSet and the Job in deploy/kubernetes/: ${manifests[*]}"
case $mode in
lint)
  command -v yamllint >/dev/null || missing "no yamllint (Debian package yamllint)"
  yamllint --strict -c "$here/yamllint.yaml" "${manifests[@]}" || fail "yamllint"
  stale=$(grep -Hn '^ *image:' "${manifests[@]}" | grep -v " image: localhost/corvane:$3\$") &&
    fail "images other than localhost/corvane:$3:"$'\n'"$stale"
  echo "yamllint: ${#manifests[@]} manifests clean"
  ;;
schemas)
  work=$3
  command -v node >/dev/null || missing "no node (Debian package nodejs)"
  command -v npm >/dev/null || missing "no npm (Debian package npm)"
  mkdir -p "$work"
  # installed.lock, a copy of the lock file made after npm ci succeeded,
  # marks a finished install of exactly that lock.
  if ! cmp -s "$here/package-lock.json" "$work/installed.lock"; then
    rm -rf "$work/node_modules" "$work/installed.lock"
    cp "$here/package.json" "$here/package-lock.json" "$work/"
    (cd "$work" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) || fail "npm ci in $work"
    cp "$here/package-lock.json" "$work/installed.lock"
  fi
  cp "$here/validate.mjs" "$work/"
  node "$work/validate.mjs" "${manifests[@]}" || fail "the manifests"
  for manifest in "${manifests[@]}"; do
    node "$work/validate.mjs" --broken "$manifest" || fail "the checks let a fault in $manifest through"
  done
  ;;
*) fail "unknown mode: $mode" ;;
esac
