#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check-packages.sh DEB TARBALL BUILDINFO ZIP
#
# Checks the files that scripts/package.sh makes, in the order it prints them:
#   the .deb: its control fields (dependencies as dpkg-shlibdeps reads them off
#     the binary, each alternative once: libc6 no newer than 2.17 and the
#     OpenCL loader; the drivers only recommended), exactly the expected files
#     with their modes and owners, no lintian error or warning, and the tool
#     unpacked from it runs and asks glibc for nothing past 2.17;
#   the tarball: exactly the install tree under one top folder, owned by root,
#     the same binary as the .deb's;
#   the build-info: the toolchain of the Debian 11 root and the two files' sums;
#   both installed for real in the Debian 11 and Debian 13 build roots
#     (packaging/check-in-root.sh): the .deb with apt, the tarball unpacked,
#     each running --probe and --self-test on that release's PoCL;
#   the zip: exactly Corvane.exe, LICENSE and README.md, the two documents as
#     they are in the sources and the exe a 64-bit Windows executable.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deb=$1
tarball=$2
buildinfo=$3
zip=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck source=tests/install/usage.sh
source "$root/tests/install/usage.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

version=$(basename "$deb" | sed -n 's/^corvane_\(.*\)_amd64\.deb$/\1/p')
[[ -n $version ]] || fail "$deb is not named corvane_<version>_amd64.deb"
[[ $(basename "$tarball") == "corvane-$version-linux-x86_64.tar.gz" ]] || fail "$tarball is not named corvane-$version-linux-x86_64.tar.gz"
[[ $(basename "$buildinfo") == "corvane-$version-linux-x86_64.buildinfo" ]] || fail "$buildinfo is not named corvane-$version-linux-x86_64.buildinfo"
[[ $(basename "$zip") == "Corvane-$version-win64.zip" ]] || fail "$zip is not named Corvane-$version-win64.zip"

field() {
  dpkg-deb --field "$deb" "$1"
}
[[ $(field Package) == corvane ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), file name says $version"
[[ $(field Architecture) == amd64 ]] || fail "Architecture: $(field Architecture)"
# Every Debian from 11 on (glibc 2.31) and other distributions from glibc 2.17.
depends=$(field Depends)
[[ $depends =~ ^libc6\ \(\>=\ 2\.([0-9]+)\),\ ocl-icd-libopencl1\ \|\ libopencl1$ ]] && ((BASH_REMATCH[1] <= 17)) ||
  fail "Depends is not libc6 (>= 2.17 at most) and the loader once: $depends"
[[ $(field Recommends) == "pocl-opencl-icd | opencl-icd" ]] || fail "Recommends: $(field Recommends)"

dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }' >"$tmp/contents"
cat >"$tmp/contents.expected" <<'EOF'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/corvane
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/corvane/
-rw-r--r-- root/root ./usr/share/doc/corvane/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/corvane/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/corvane/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/corvane.1.gz
EOF
diff -u "$tmp/contents.expected" "$tmp/contents" || fail "the .deb's files differ"

# lintian warns when run as root, on standard error; its tags go to standard output.
lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>/dev/null || fail "lintian: $(cat "$tmp/lintian")"

dpkg-deb --extract "$deb" "$tmp/root"
check_usage "$tmp/root/usr/bin/corvane" "the unpacked tool"
glibc=$(objdump -T "$tmp/root/usr/bin/corvane" | grep -o 'GLIBC_2\.[0-9.]*' | sort -uV | tail -n 1)
[[ $(printf '%s\n' "$glibc" GLIBC_2.17 | sort -V | tail -n 1) == GLIBC_2.17 ]] ||
  fail "the tool asks for $glibc; releases must run on glibc 2.17"

top=corvane-$version-linux-x86_64
tar -tvzf "$tarball" | awk '{ print $1, $2, $6 }' >"$tmp/tar-contents"
sed "s#@TOP@#$top#" >"$tmp/tar-contents.expected" <<'EOF'
drwxr-xr-x 0/0 @TOP@/
drwxr-xr-x 0/0 @TOP@/bin/
-rwxr-xr-x 0/0 @TOP@/bin/corvane
drwxr-xr-x 0/0 @TOP@/share/
drwxr-xr-x 0/0 @TOP@/share/doc/
drwxr-xr-x 0/0 @TOP@/share/doc/corvane/
-rw-r--r-- 0/0 @TOP@/share/doc/corvane/LICENSE
-rw-r--r-- 0/0 @TOP@/share/doc/corvane/README.md
drwxr-xr-x 0/0 @TOP@/share/man/
drwxr-xr-x 0/0 @TOP@/share/man/man1/
-rw-r--r-- 0/0 @TOP@/share/man/man1/corvane.1
EOF
diff -u "$tmp/tar-contents.expected" "$tmp/tar-contents" || fail "the tarball's files differ"
tar -xzf "$tarball" -C "$tmp"
cmp "$tmp/root/usr/bin/corvane" "$tmp/$top/bin/corvane" || fail "the tarball's tool differs from the .deb's"

for package in gcc g++ binutils libc6-dev libstdc++-10-dev cmake dpkg-dev ocl-icd-opencl-dev opencl-headers; do
  awk -v p="$package" '$1 == p && $2 ~ /^[0-9]/ { found = 1 } END { exit !found }' "$buildinfo" ||
    fail "the build-info has no version of $package"
done
grep -q '^Built-In: Debian GNU/Linux 11 ' "$buildinfo" || fail "the build-info names no Debian 11 root"
(cd "$(dirname "$deb")" && sed -n 's/^ \([0-9a-f]\{64\}  \)/\1/p' "$buildinfo" | sha256sum --quiet -c -) ||
  fail "the build-info's sums are not those of the files beside it"

# Installed for real, in the oldest and the newest Debian.
for release in base newest; do
  "$root/scripts/buildroot.sh" run "$release" --bind "$root" --bind "$(dirname "$deb")" --bind "$(dirname "$tarball")" -- \
    "$root/packaging/check-in-root.sh" "$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")" \
    "$(cd "$(dirname "$tarball")" && pwd)/$(basename "$tarball")"
done

zipinfo -1 "$zip" >"$tmp/members"
printf '%s\n' Corvane.exe LICENSE README.md >"$tmp/members.expected"
diff -u "$tmp/members.expected" "$tmp/members" || fail "the zip's members differ"
unzip -q "$zip" -d "$tmp/zip"
cmp "$root/LICENSE" "$tmp/zip/LICENSE" || fail "the zip's LICENSE differs from the sources'"
cmp "$root/README.md" "$tmp/zip/README.md" || fail "the zip's README.md differs from the sources'"
x86_64-w64-mingw32-objdump -f "$tmp/zip/Corvane.exe" | grep -q 'file format pei-x86-64' ||
  fail "the zip's Corvane.exe is not a 64-bit Windows executable"

echo "packages: $(basename "$deb"), $(basename "$tarball"), $(basename "$buildinfo") and $(basename "$zip") as expected"
