#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check.sh lint SOURCE_DIR VERSION
#   check.sh schemas SOURCE_DIR WORK_DIR
#   check.sh variants SOURCE_DIR WORK_DIR VERSION
#
# The Kubernetes manifests of deploy/kubernetes/, checked offline (no cluster):
#   lint      yamllint with tests/deploy/yamllint.yaml, warnings included, over
#             every YAML file there (the kustomizations and their patches
#             too), and every image of the plain manifests the release's:
#             localhost/corvane:VERSION, the name podman load gives it;
#   schemas   tests/deploy/validate.mjs under node: every document of the
#             plain manifests against Kubernetes' schemas (npm's
#             kubernetes-models) and the least privilege every container must
#             keep, then each manifest with a table of faults put in, every
#             one of which must be refused;
#   variants  each variant (deploy/kubernetes/<vendor>/) rendered by Debian
#             13's kubectl in the Debian 13 build root (scripts/buildroot.sh,
#             which needs root), which must say nothing on standard error (a
#             deprecated kustomize field, say); then on each rendering the
#             checks above, and validate.mjs --variants: the nodes each runs
#             on and the way it reaches its GPU.
# The npm packages are installed by `npm ci` from the committed lock file into
# WORK_DIR (once; again when the lock file changes). That needs the npm
# registry or npm's cache; the checks themselves need no network (making the
# build root the first time does: it needs the Debian mirror apt uses).
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
# The variants: every folder with a kustomization but the base they share.
variants=()
for kustomization in "$source_dir"/deploy/kubernetes/*/kustomization.yaml; do
  name=$(basename "$(dirname "$kustomization")")
  [[ $name == base ]] || variants+=("$name")
done

# node_ready WORK: node and npm here, the npm packages in WORK (under a lock:
# the schemas and variants checks may run at once), validate.mjs beside them.
node_ready() {
  command -v node >/dev/null || missing "no node (Debian package nodejs)"
  command -v npm >/dev/null || missing "no npm (Debian package npm)"
  mkdir -p "$1"
  exec 8>"$1/npm.lock"
  flock 8
  # installed.lock, a copy of the lock file made after npm ci succeeded,
  # marks a finished install of exactly that lock.
  if ! cmp -s "$here/package-lock.json" "$1/installed.lock"; then
    rm -rf "$1/node_modules" "$1/installed.lock"
    cp "$here/package.json" "$here/package-lock.json" "$1/"
    (cd "$1" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) || fail "npm ci in $1"
    cp "$here/package-lock.json" "$1/installed.lock"
  fi
  cp "$here/validate.mjs" "$1/"
  exec 8>&-
}
# checked FILE...: the schemas, the least privilege and the table of faults.
checked() {
  node "$work/validate.mjs" "$@" || fail "the manifests"
  local manifest
  for manifest in "$@"; do
    node "$work/validate.mjs" --broken "$manifest" || fail "the checks let a fault in $manifest through"
  done
}

case $mode in
lint)
  command -v yamllint >/dev/null || missing "no yamllint (Debian package yamllint)"
  yaml=("${manifests[@]}" "$source_dir"/deploy/kubernetes/*/*.yaml)
  yamllint --strict -c "$here/yamllint.yaml" "${yaml[@]}" || fail "yamllint"
  stale=$(grep -Hn '^ *image:' "${manifests[@]}" | grep -v " image: localhost/corvane:$3\$") &&
    fail "images other than localhost/corvane:$3:"$'\n'"$stale"
  echo "yamllint: ${#yaml[@]} files clean"
  ;;
schemas)
  work=$3
  node_ready "$work"
  checked "${manifests[@]}"
  ;;
variants)
  work=$3
  version=$4
  ((${#variants[@]} > 0)) || fail "no variants in deploy/kubernetes/"
  [[ $(id -u) == 0 ]] || missing "not root: the Debian 13 build root that renders the variants needs root"
  command -v debootstrap >/dev/null || missing "no debootstrap (Debian package debootstrap), which makes the build root"
  command -v yamllint >/dev/null || missing "no yamllint (Debian package yamllint)"
  node_ready "$work"
  out=$work/rendered
  rm -rf "$out"
  mkdir -p "$out"
  # One command in the root renders them all; kubectl's own time is measured
  # there, without the root's set-up.
  # shellcheck disable=SC2016 # expanded by the root's shell
  "$source_dir/scripts/buildroot.sh" run newest --bind "$source_dir" --bind "$out" -- sh -c '
    out=$1
    shift
    kubectl version --client >"$out/kubectl.version" 2>&1 || exit 1
    for variant; do
      start=$(date +%s%N)
      kubectl kustomize "deploy/kubernetes/$variant" >"$out/$variant.yaml" 2>"$out/$variant.err" || exit 1
      echo "$variant: $((($(date +%s%N) - start) / 1000000)) ms" >>"$out/times"
    done' sh "$out" "${variants[@]}" || fail "kubectl kustomize in the Debian 13 build root:"$'\n'"$(cat "$out"/*.err 2>/dev/null)"
  for variant in "${variants[@]}"; do
    [[ ! -s $out/$variant.err ]] || fail "kubectl said, rendering $variant:"$'\n'"$(cat "$out/$variant.err")"
  done
  echo "rendered by Debian 13's kubectl ($(paste -sd' ' "$out/kubectl.version")): $(paste -sd' ' "$out/times")"
  rendered=()
  pairs=()
  for variant in "${variants[@]}"; do
    rendered+=("$out/$variant.yaml")
    pairs+=("$variant=$out/$variant.yaml")
  done
  yamllint --strict -c "$here/yamllint.yaml" "${rendered[@]}" || fail "yamllint on the rendered variants"
  checked "${rendered[@]}"
  node "$work/validate.mjs" --variants "$version" "${pairs[@]}" || fail "the variants' node selection or way to the GPU"
  ;;
*) fail "unknown mode: $mode" ;;
esac
