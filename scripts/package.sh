#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   package.sh [OUT_DIR]
#
# Builds the release packages of the tree this script sits in, and prints
# their paths on standard output, one a line (the build's own output goes to
# standard error):
#   OUT_DIR/corvane_<version>_amd64.deb                Debian package
#   OUT_DIR/corvane-<version>-linux-x86_64.tar.gz       the same tool for
#                                                       other distributions
#   OUT_DIR/corvane-<version>-linux-x86_64.buildinfo    their recipe
#   OUT_DIR/corvane_<version>_arm64.deb                 the same three for
#   OUT_DIR/corvane-<version>-linux-aarch64.tar.gz      arm64, cross-built
#   OUT_DIR/corvane-<version>-linux-aarch64.buildinfo
#   OUT_DIR/corvane-<version>-oci.tar                   the amd64 .deb in a
#   OUT_DIR/corvane-<version>-oci.buildinfo             container image (an OCI
#                                                       layout in a tar) and
#                                                       its package list, made
#                                                       by packaging/oci-image.sh
#   OUT_DIR/Corvane-<version>-win64.zip                 Corvane.exe, README.md,
#                                                       LICENSE and
#                                                       troubleshooting.md, from a
#                                                       Release MinGW-w64 tree
#                                                       in build-pkg-win/ (or
#                                                       $PKG_WIN_BUILD_DIR)
#   OUT_DIR/Corvane-<version>-win64.msi                 the same four files
#                                                       as a Windows Installer
#                                                       package, made by
#                                                       packaging/windows-msi.sh
#                                                       with msitools
# OUT_DIR defaults to build-pkg/packages. The version is the one of the
# project() line in CMakeLists.txt.
#
# The Linux files are made by packaging/linux-release.sh in build-pkg/ and
# build-pkg-arm64/ (or $PKG_BUILD_DIR, $PKG_ARM64_BUILD_DIR), run inside the
# Debian 11 build root (scripts/buildroot.sh, made on first use; this needs
# root), so that the tool runs on every Debian from 11 on and on other
# distributions with glibc 2.17 or later.
#
# One commit gives the same bytes every time: every date comes from
# SOURCE_DATE_EPOCH (default: the last commit's time), which is exported for
# everything run from here; archive members are sorted, owned by root (0:0)
# and carry that time. The MSI's ProductCode and package code are name-based
# UUIDs of the version and of that time (packaging/README.md).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PKG_BUILD_DIR:-$root/build-pkg}
build_arm64=${PKG_ARM64_BUILD_DIR:-$root/build-pkg-arm64}
build_win=${PKG_WIN_BUILD_DIR:-$root/build-pkg-win}
out=${1:-$build/packages}
jobs=$(nproc)

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
commit=$(git -C "$root" rev-parse HEAD)
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no) ]]; then
  commit+=-modified
fi
# zip writes local time; the manual page and the changelog are dated in UTC.
export TZ=UTC LC_ALL=C
umask 022

mkdir -p "$out"
out=$(cd "$out" && pwd)
# release BUILD_DIR ARCH: the Linux files for ARCH, from the Debian 11 root.
release() {
  mkdir -p "$1"
  "$root/scripts/buildroot.sh" run base --bind "$root" --bind "$1" --bind "$out" -- \
    env SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" "$root/packaging/linux-release.sh" "$(cd "$1" && pwd)" "$out" "$commit" "$2"
}
amd64=$(release "$build" amd64)
arm64=$(release "$build_arm64" arm64)
mapfile -t linux <<<"$amd64"$'\n'"$arm64"

# The container image, from the amd64 .deb just made.
amd64_deb=$(grep '_amd64\.deb$' <<<"$amd64")
mapfile -t image < <("$root/packaging/oci-image.sh" "$amd64_deb" "$(dpkg-deb --field "$amd64_deb" Version)" "$commit" "$out")
((${#image[@]} == 2)) || {
  echo "package.sh: packaging/oci-image.sh made no image" >&2
  exit 1
}

cmake -S "$root" -B "$build_win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCORVANE_TESTS=OFF -DCORVANE_WERROR=ON >&2
cmake --build "$build_win" -j "$jobs" >&2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_win/CMakeCache.txt")

# The zip: the four files at its top level, in byte order, with fixed modes
# and times, and no extra fields (-X: no Unix owner, no extended timestamps).
zip_name=Corvane-$version-win64.zip
stage=$build_win/zip-stage
rm -rf "$stage"
rm -f "$out/$zip_name"
mkdir -p "$stage"
cp "$build_win/Corvane.exe" "$root/LICENSE" "$root/README.md" "$root/docs/troubleshooting.md" "$stage/"
chmod 0755 "$stage/Corvane.exe"
chmod 0644 "$stage/LICENSE" "$stage/README.md" "$stage/troubleshooting.md"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
(cd "$stage" && zip -X -9 -q "$out/$zip_name" Corvane.exe LICENSE README.md troubleshooting.md)

# The MSI: the same four files, per machine into C:\Program Files\Corvane.
msi_name=Corvane-$version-win64.msi
"$root/packaging/windows-msi.sh" "$build_win/Corvane.exe" "$version" "$out/$msi_name" >&2

printf '%s\n' "${linux[@]}" "${image[@]}" "$out/$zip_name" "$out/$msi_name"
