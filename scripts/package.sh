#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   package.sh [OUT_DIR]
#
# Builds the release packages of the tree this script sits in, and prints
# their paths on standard output, one a line (the build's own output goes to
# standard error):
#   OUT_DIR/corvane_<version>_amd64.deb   Debian package, from a Release tree
#                                         in build-pkg/ (or $PKG_BUILD_DIR)
#   OUT_DIR/Corvane-<version>-win64.zip   Corvane.exe, README.md and LICENSE,
#                                         from a Release MinGW-w64 tree in
#                                         build-pkg-win/ (or $PKG_WIN_BUILD_DIR)
# OUT_DIR defaults to build-pkg/packages. The version is the one of the
# project() line in CMakeLists.txt.
#
# One commit gives the same bytes every time: every date comes from
# SOURCE_DATE_EPOCH (default: the last commit's time), which is exported for
# everything run from here; archive members are sorted, owned by root (0:0)
# and carry that time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PKG_BUILD_DIR:-$root/build-pkg}
build_win=${PKG_WIN_BUILD_DIR:-$root/build-pkg-win}
out=${1:-$build/packages}
jobs=$(nproc)

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
# zip writes local time; the manual page and the changelog are dated in UTC.
export TZ=UTC LC_ALL=C
umask 022

# The Linux tool with the flags Debian builds its own packages with
# (fortified calls, stack protector, read-only relocations bound at start-up),
# the optimisation left to the Release build type. The host's flags must not
# reach the MinGW tree, so they are passed to this tree alone.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP="-g -O2" DEB_CFLAGS_MAINT_STRIP="-g -O2"
cxxflags="$(cd "$root" && dpkg-buildflags --get CPPFLAGS) $(cd "$root" && dpkg-buildflags --get CXXFLAGS)"
ldflags=$(cd "$root" && dpkg-buildflags --get LDFLAGS)
{
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_WERROR=ON \
    "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
  cmake --build "$build" -j "$jobs"
  cmake -S "$root" -B "$build_win" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCORVANE_TESTS=OFF -DCORVANE_WERROR=ON
  cmake --build "$build_win" -j "$jobs"
} >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [[ -z $version ]]; then
  echo "package.sh: no project version in $build/CMakeCache.txt" >&2
  exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The .deb: CPack stages the install tree in build-pkg/cpack/, applies
# cmake/DebianLayout.cmake to it and packs it.
deb_name=corvane_${version}_$(dpkg --print-architecture).deb
rm -f "$build/cpack/$deb_name"
(cd "$build" && cpack -G DEB -B "$build/cpack") >&2
mv "$build/cpack/$deb_name" "$out/$deb_name"

# The zip: the three files at its top level, in byte order, with fixed modes
# and times, and no extra fields (-X: no Unix owner, no extended timestamps).
zip_name=Corvane-$version-win64.zip
stage=$build_win/zip-stage
rm -rf "$stage"
rm -f "$out/$zip_name"
mkdir -p "$stage"
cp "$build_win/Corvane.exe" "$root/LICENSE" "$root/README.md" "$stage/"
chmod 0755 "$stage/Corvane.exe"
chmod 0644 "$stage/LICENSE" "$stage/README.md"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
(cd "$stage" && zip -X -9 -q "$out/$zip_name" Corvane.exe LICENSE README.md)

echo "$out/$deb_name"
echo "$out/$zip_name"
