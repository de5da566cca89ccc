#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Debian build roots: a minimal Debian of another release in a folder outside
# the work tree, made with debootstrap, kept and reused while its package set
# is unchanged, and commands run inside it with chroot. The release builds on
# the oldest base so that its binary runs on every newer one; the newest
# release shows what a newer toolchain makes of the tree.
#
#   buildroot.sh run RELEASE [--bind DIR]... -- COMMAND [ARG]...
#       runs COMMAND inside the root (made first if need be), in a clean
#       environment (PATH, HOME, LANG; pass more with env NAME=VALUE COMMAND),
#       in DIR when one is bound, else in /. Each DIR is bound at its own path;
#       /proc, /sys and a fresh /tmp are mounted for the command's length
#       only, in a mount namespace of its own, so nothing stays mounted when
#       it ends, however it ends. Debian 11's PoCL crashes in clGetDeviceIDs
#       without /sys.
#   buildroot.sh ensure RELEASE     makes the root, or checks the cached one
#   buildroot.sh path RELEASE       prints the root's folder
#   buildroot.sh remove RELEASE     deletes it; refused while a command runs in it
#
# RELEASE is a Debian codename, or one of the two settings:
#   base    the oldest Debian the releases are built on ($CORVANE_BASE_RELEASE,
#           default bullseye)
#   newest  the newest one the tree is tested on ($CORVANE_NEWEST_RELEASE,
#           default trixie)
# Roots live in $CORVANE_ROOTS (default /var/cache/corvane/roots). Packages
# come from the Debian mirror that this machine's apt already uses. Needs root
# (debootstrap, chroot, mount; run through sudo otherwise), and debootstrap.
set -euo pipefail

roots=${CORVANE_ROOTS:-/var/cache/corvane/roots}

# What every root holds: the compiler, CMake, the OpenCL headers, loader and
# PoCL (the tool and its tests, and a real driver to run them on), GoogleTest,
# and dpkg-dev (dpkg-buildflags, dpkg-shlibdeps, dpkg-deb for the .deb).
packages=(g++ make cmake dpkg-dev file xz-utils ocl-icd-opencl-dev opencl-headers pocl-opencl-icd libgtest-dev)
# The base root, where the releases are built, also builds the arm64 one: the
# cross compiler, and the arm64 OpenCL loader through multiarch (arm64 added
# to its dpkg), which dpkg-shlibdeps reads the arm64 Depends against.
cross=(g++-aarch64-linux-gnu ocl-icd-opencl-dev:arm64 ocl-icd-libopencl1:arm64)
# The newest root also runs the style checks with its own clang-format and
# clang-tidy, the one version whose verdict counts (scripts/lint.sh), and with
# arm64 added to its dpkg it answers whether the test set of that release
# resolves (scripts/setup-debian.sh --simulate).
lint_tools() {
  local table
  table=$(dirname "$0")/debian/$(codename newest).sh
  [[ -f $table ]] || die "no table for Debian $(codename newest) in scripts/debian/: its clang version is not known"
  # shellcheck disable=SC1090,SC2154 # the newest release's table sets clang_version
  (source "$table" && echo "clang-$clang_version clang-format-$clang_version clang-tidy-$clang_version")
}
# It also renders the Kubernetes variants (deploy/kubernetes/<vendor>/) with
# its release's kubectl, whose kustomize understands them (tests/deploy/):
# Debian 12's kubectl 1.20 carries kustomize 2.0.3, which does not.
render_tools=(kubectl)
# And it runs the Slurm health check's rows (tests/slurm/) against its
# release's Slurm, 24.11 on Debian 13, beside Debian 12's 22.05 on the host.
slurm=(slurmctld slurmd munge)
# Bump when the way a root is made changes, so that cached roots are remade.
recipe=1

die() {
  echo "buildroot: $*" >&2
  exit 1
}

codename() {
  case $1 in
  base) echo "${CORVANE_BASE_RELEASE:-bullseye}" ;;
  newest) echo "${CORVANE_NEWEST_RELEASE:-trixie}" ;;
  *[!a-z]* | '') die "not a Debian codename: '$1'" ;;
  *) echo "$1" ;;
  esac
}

# The main Debian archive of this machine's apt sources: the repository that
# serves this machine's own release (not its -updates or -security suites).
# shellcheck source=scripts/debian-archive.sh
source "$(dirname "$0")/debian-archive.sh"
mirror() {
  debian_archive "" || exit 1
}

# packages_of RELEASE, foreign_of RELEASE: what its root holds, and the
# architectures added to its dpkg.
packages_of() {
  echo "${packages[@]}"
  if [[ $1 == "$(codename base)" ]]; then
    echo "${cross[@]}"
  fi
  if [[ $1 == "$(codename newest)" ]]; then
    lint_tools
    echo "${render_tools[@]}" "${slurm[@]}"
  fi
}
foreign_of() {
  if [[ $1 == "$(codename base)" || $1 == "$(codename newest)" ]]; then
    echo arm64
  fi
}

# The key of a root's contents: when it changes, the cached root is remade.
key() {
  printf '%s\n' "recipe $recipe" "release $1" "packages $(packages_of "$1")" "foreign $(foreign_of "$1")" |
    sha256sum | cut -c1-16
}

# mounted_under DIR: whether anything is mounted at or below DIR, as this
# process sees it.
mounted_under() {
  awk -v dir="$1" '{ gsub(/\\040/, " ", $5); if ($5 == dir || index($5, dir "/") == 1) found = 1 } END { exit !found }' \
    /proc/self/mountinfo
}

# lock RELEASE MODE: takes the root's lock on fd 9 for the rest of the
# process: -s (shared) while a command runs in it, -x (exclusive, waiting for
# those to end) to make it, -xn (exclusive or fail at once) to delete it.
lock() {
  mkdir -p "$roots"
  exec 9>"$roots/$1.lock"
  flock "$2" 9
}

# delete DIR: removes a root that nothing holds. Anything still mounted in it
# (a bound work tree above all) stops the removal.
delete() {
  local dir=$1
  [[ -e $dir ]] || return 0
  if mounted_under "$dir"; then
    die "$dir still has something mounted in it; not removing it"
  fi
  rm -rf --one-file-system "$dir"
}

# inside ROOT [--bind DIR]... -- COMMAND...: the command in the root, with
# /proc, /sys, /tmp and each DIR mounted in a private mount namespace.
inside() {
  local dir=$1
  shift
  local binds=()
  while (($# > 0)) && [[ $1 != -- ]]; do
    [[ $1 == --bind && $# -ge 2 ]] || die "usage: run RELEASE [--bind DIR]... -- COMMAND"
    [[ -d $2 ]] || die "no folder to bind: $2"
    binds+=("$(cd "$2" && pwd -P)")
    shift 2
  done
  (($# >= 2)) || die "usage: run RELEASE [--bind DIR]... -- COMMAND"
  shift
  local workdir=/
  if ((${#binds[@]} > 0)); then
    workdir=${binds[0]}
  fi
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private /bin/bash -c '
    set -e
    dir=$1 workdir=$2 nbinds=$3
    shift 3
    mount -t proc proc "$dir/proc"
    mount -t sysfs sysfs "$dir/sys"
    mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
    for ((i = 0; i < nbinds; i++)); do
      mkdir -p "$dir$1"
      mount --bind "$1" "$dir$1"
      shift
    done
    exec chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$workdir" "$@"
  ' bash "$dir" "$workdir" "${#binds[@]}" "${binds[@]}" "$@"
}

# populate DIR RELEASE MIRROR: debootstrap's minimal Debian in DIR, then
# the root's packages. (Each step is checked: set -e does not reach into a
# function whose status its caller tests.)
populate() {
  local dir=$1 release=$2 url=$3 arch
  debootstrap --variant=minbase "$release" "$dir" "$url" || return 1
  echo "deb $url $release main" >"$dir/etc/apt/sources.list" || return 1
  cp /etc/resolv.conf "$dir/etc/resolv.conf" || return 1
  for arch in $(foreign_of "$release"); do
    inside "$dir" -- dpkg --add-architecture "$arch" || return 1
  done
  inside "$dir" -- apt-get update -q || return 1
  # shellcheck disable=SC2046 # one word a package
  inside "$dir" -- apt-get install -y -q --no-install-recommends --no-remove $(packages_of "$release") || return 1
  inside "$dir" -- apt-get clean
}

# ensure RELEASE: the root, made when missing or stale. The new root is built
# beside the old one and renamed into place only when complete, so an
# interrupted run never leaves a half-made root behind that looks finished.
ensure() {
  local release=$1 dir=$roots/$1 want
  want=$(key "$release")
  if [[ -f $dir/.corvane-root && $(cat "$dir/.corvane-root") == "$want" ]]; then
    return 0
  fi
  command -v debootstrap >/dev/null || die "debootstrap is not installed"
  lock "$release" -x
  if [[ -f $dir/.corvane-root && $(cat "$dir/.corvane-root") == "$want" ]]; then
    return 0 # made meanwhile by another run
  fi
  local url new=$dir.new log=$roots/$release.log start=$SECONDS
  url=$(mirror)
  if ! wget -q --spider --timeout=60 "$url/dists/$release/Release"; then
    die "the mirror apt uses no longer serves Debian $release: set CORVANE_BASE_RELEASE or CORVANE_NEWEST_RELEASE to a release it serves"
  fi
  echo "buildroot: making the Debian $release root in $dir (log: $log)" >&2
  delete "$new"
  populate "$new" "$release" "$url" >"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    die "making the Debian $release root failed; the whole output is in $log"
  }
  echo "$want" >"$new/.corvane-root"
  delete "$dir"
  mv "$new" "$dir"
  echo "buildroot: Debian $release root ready in $((SECONDS - start)) s" >&2
}

command=${1:-}
(($# >= 2)) || die "usage: buildroot.sh run|ensure|path|remove RELEASE ..."
# debootstrap, mount and chroot need root: through sudo for anyone else.
if [[ $command != path && $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || die "$command needs root (debootstrap, mount, chroot), and there is no sudo"
  exec sudo --preserve-env=CORVANE_ROOTS,CORVANE_BASE_RELEASE,CORVANE_NEWEST_RELEASE "$0" "$@"
fi
release=$(codename "$2")
shift 2
if [[ $release == "$(codename newest)" ]]; then
  lint_tools >/dev/null
fi
case $command in
path) echo "$roots/$release" ;;
ensure) ensure "$release" ;;
run)
  ensure "$release"
  lock "$release" -s
  inside "$roots/$release" "$@"
  ;;
remove)
  lock "$release" -xn || die "a command is running in the Debian $release root; not removing it"
  delete "$roots/$release"
  delete "$roots/$release.new"
  ;;
*) die "unknown command '$command' (run, ensure, path or remove)" ;;
esac
