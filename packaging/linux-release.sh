#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   linux-release.sh BUILD_DIR OUT_DIR COMMIT [ARCH]
#
# Builds the Linux release of the tree this script sits in for the Debian
# architecture ARCH (default: this machine's; another one is cross-built with
# cmake/<its GNU triple>.cmake, as arm64 with aarch64-linux-gnu.cmake) and
# writes three files to OUT_DIR, printing their paths one a line:
#   corvane_<version>_<arch>.deb               the Debian package
#   corvane-<version>-linux-<cpu>.tar.gz       the same tool for any
#                                              distribution, laid out as
#                                              cmake --install lays it out
#   corvane-<version>-linux-<cpu>.buildinfo    the recipe: the toolchain's exact
#                                              package versions, the flags, the
#                                              sums of the two files
# scripts/package.sh runs it inside the oldest Debian build root
# (scripts/buildroot.sh), so that the binary asks only for what that release's
# glibc has and the .deb's dependencies are read off it there. Every date is
# SOURCE_DATE_EPOCH's, which must be set; COMMIT is recorded in the build-info.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
out=$2
commit=$3
arch=${4:-$(dpkg --print-architecture)}
[[ -n ${SOURCE_DATE_EPOCH:-} ]] || {
  echo "linux-release.sh: SOURCE_DATE_EPOCH is not set" >&2
  exit 1
}
export TZ=UTC LC_ALL=C.UTF-8
umask 022

# The target architecture's DEB_HOST_* variables, which dpkg-buildflags and
# dpkg-shlibdeps follow; a foreign one is cross-built.
triple=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
eval "$(CC=$triple-gcc dpkg-architecture -a"$arch" -s)"
cpu=$DEB_HOST_GNU_CPU
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_WERROR=ON)
# What the recipe lists: the compiler drivers and the versioned compilers,
# the C++ runtime linked in, binutils, the C library's headers and objects.
if [[ $DEB_HOST_ARCH != "$DEB_BUILD_ARCH" ]]; then
  cmake_args+=("-DCMAKE_TOOLCHAIN_FILE=$root/cmake/$triple.cmake")
  strip=$triple-strip
  major=$("$triple-gcc" -dumpversion | cut -d. -f1)
  toolchain=("gcc-$triple" "g++-$triple" "gcc-$major-$triple" "g++-$major-$triple"
    "libstdc++-$major-dev-$arch-cross" "binutils-$triple" "libc6-dev-$arch-cross")
else
  strip=strip
  major=$(gcc -dumpversion | cut -d. -f1)
  toolchain=(gcc g++ "gcc-$major" "g++-$major" "libstdc++-$major-dev" binutils libc6-dev)
fi
toolchain+=(cmake dpkg-dev "ocl-icd-opencl-dev:$arch" opencl-headers)

# Debian's own flags for its packages (fortified calls, stack protector,
# read-only relocations bound at start-up); the optimisation is the Release
# build type's.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP="-g -O2"
cxxflags="$(cd "$root" && dpkg-buildflags --get CPPFLAGS) $(cd "$root" && dpkg-buildflags --get CXXFLAGS)"
ldflags=$(cd "$root" && dpkg-buildflags --get LDFLAGS)
{
  cmake -S "$root" -B "$build" "${cmake_args[@]}" "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
  cmake --build "$build" -j "$(nproc)"
} >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || {
  echo "linux-release.sh: no project version in $build/CMakeCache.txt" >&2
  exit 1
}
mkdir -p "$out"
deb=$out/corvane_${version}_$arch.deb
tarball=$out/corvane-$version-linux-$cpu.tar.gz
buildinfo=$out/corvane-$version-linux-$cpu.buildinfo

# install PREFIX DESTDIR: the install tree, the binary stripped of its symbols
# and of the .comment and .note sections (as Debian strips its own; the
# node-label program beside it is a shell script, and corvane-slurm-health a
# link to it), every mode fixed whatever the umask of the checkout.
install_tree() {
  local prefix=$1 dest=$2
  rm -rf "$dest"
  DESTDIR=$dest cmake --install "$build" --prefix "$prefix" >/dev/null
  "$strip" --remove-section=.comment --remove-section=.note "$dest$prefix/bin/corvane"
  find "$dest" -type d -exec chmod 0755 {} +
  find "$dest" -type f -exec chmod 0644 {} +
  chmod 0755 "$dest$prefix/bin/corvane" "$dest$prefix/bin/corvane-node-labels"
}

# The .deb. Debian wants more than the install tree: the machine-readable
# copyright file, which points to common-licenses, in place of LICENSE; a
# changelog; the manual page, the documents and the changelog gzipped with -9n (no
# name, no time in the header). The tree stands where Debian's tools look for
# a package's tree, in debian/corvane/. It also carries the systemd service
# and timer that write the metrics for Debian's node_exporter, shipped
# disabled (no maintainer script enables them).
stage=$build/deb/debian/corvane
install_tree /usr "$stage"
install -m 0755 -d "$stage/usr/lib/systemd" "$stage/usr/lib/systemd/system"
install -m 0644 "$root/packaging/systemd/corvane-metrics.service" "$root/packaging/systemd/corvane-metrics.timer" \
  "$stage/usr/lib/systemd/system/"
doc=$stage/usr/share/doc/corvane
rm "$doc/LICENSE"
install -m 0644 "$root/packaging/deb/copyright" "$doc/copyright"
cat >"$doc/changelog" <<EOF
corvane ($version) unstable; urgency=medium

  * Corvane $version, built from its sources; README.md.gz
    in this folder describes what it does.

 -- Corvane Dev <dev@corvane.invalid>  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
EOF
gzip -9n "$doc/changelog" "$doc/README.md" "$doc/troubleshooting.md" "$stage/usr/share/man/man1/corvane.1" \
  "$stage/usr/share/man/man1/corvane-node-labels.1" "$stage/usr/share/man/man1/corvane-slurm-health.1"

# Depends as dpkg-shlibdeps reads it off the binary against this release's
# libraries (it wants debian/control beside the package tree, and DEBIAN/ in
# it to see where the tree starts): libc6 and the OpenCL loader. The loader's
# symbols file gives one group of alternatives for the library and another,
# wider one for its OpenCL 1.0 symbols; both must hold, so the wider group
# says nothing more and is dropped: a group is left out when another (or an
# earlier equal one) has only alternatives it has too.
mkdir -p "$stage/DEBIAN"
printf 'Source: corvane\n\nPackage: corvane\nArchitecture: any\n' >"$build/deb/debian/control"
depends=$(cd "$build/deb" && dpkg-shlibdeps -O debian/corvane/usr/bin/corvane | sed -n 's/^shlibs:Depends=//p' |
  awk -F', ' '{
    for (i = 1; i <= NF; i++) {
      n[i] = split($i, alt, / [|] /)
      for (k = 1; k <= n[i]; k++) has[i, alt[k]] = 1
    }
    for (i = 1; i <= NF; i++) {
      keep = 1
      for (j = 1; j <= NF && keep; j++) {
        if (j == i || n[j] > n[i] || (n[j] == n[i] && j > i)) continue
        inside = 1
        m = split($j, alt, / [|] /)
        for (k = 1; k <= m; k++) if (!((i, alt[k]) in has)) inside = 0
        if (inside) keep = 0
      }
      if (keep) out = out (out == "" ? "" : ", ") $i
    }
    print out
  }')
# Installed-Size as dpkg-gencontrol counts it: KiB, each file rounded up.
installed_size=$(find "$stage" -type f -printf '%s\n' | awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$installed_size/" \
  -e "s/@DEPENDS@/$depends/" "$root/packaging/deb/control.in" >"$stage/DEBIAN/control"
(cd "$stage" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
rm -f "$deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >&2

# The tarball: one top folder laid out like cmake --install, so that
#   tar -xzf corvane-...tar.gz --strip-components=1 -C ~/.local
# installs it for one user. Members sorted, owned by root, dated
# SOURCE_DATE_EPOCH; gzip without a name or time.
top=corvane-$version-linux-$cpu
install_tree "/$top" "$build/tar-root"
rm -f "$tarball"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" --format=gnu \
  -C "$build/tar-root" -cf - "$top" | gzip -9n >"$tarball"

# The recipe: what built these bytes. Another build root with the same
# package versions and flags gives the same files.
{
  echo "Corvane $version, Linux release for $arch ($cpu)"
  echo "Commit: $commit"
  echo "Source-Date-Epoch: $SOURCE_DATE_EPOCH"
  echo "Built-In: $(. /etc/os-release && echo "$PRETTY_NAME"), a debootstrap --variant=minbase root (scripts/buildroot.sh)"
  echo "CMake-Options: ${cmake_args[*]//$root/<source>}"
  # The checkout's path, mapped away in the binary, is not part of the recipe.
  echo "CXXFLAGS: ${cxxflags//$root/<source>}"
  echo "LDFLAGS: $ldflags"
  echo "Toolchain:"
  dpkg-query -W -f=' ${Package}:${Architecture} ${Version}\n' "${toolchain[@]}" | LC_ALL=C sort
  echo "SHA-256:"
  (cd "$out" && sha256sum "$(basename "$deb")" "$(basename "$tarball")") | sed 's/^/ /'
} >"$buildinfo"

printf '%s\n' "$deb" "$tarball" "$buildinfo"
