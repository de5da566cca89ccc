#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check-packages.sh DEB ZIP
#
# Checks the two files that scripts/package.sh makes:
#   the .deb: its control fields (dependencies as dpkg-shlibdeps reads them off
#     the binary: libc6 and the OpenCL loader; the drivers only recommended),
#     exactly the expected files with their modes and owners, no lintian error
#     or warning, and the tool unpacked from it runs;
#   the zip: exactly Corvane.exe, LICENSE and README.md, the two documents as
#     they are in the sources and the exe a 64-bit Windows executable.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deb=$1
zip=$2
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
[[ $(basename "$zip") == "Corvane-$version-win64.zip" ]] || fail "$zip is not named Corvane-$version-win64.zip"

field() {
  dpkg-deb --field "$deb" "$1"
}
[[ $(field Package) == corvane ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), file name says $version"
[[ $(field Architecture) == amd64 ]] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)(,|$)' <<<"$depends" || fail "Depends lacks libc6: $depends"
grep -Eq '(^|, )ocl-icd-libopencl1( |,|$)' <<<"$depends" || fail "Depends lacks the OpenCL loader: $depends"
[[ $(field Recommends) == "pocl-opencl-icd | opencl-icd" ]] || fail "Recommends: $(field Recommends)"

dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }' >"$tmp/contents"
cat >"$tmp/contents.expected" <<'EOF'
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

zipinfo -1 "$zip" >"$tmp/members"
printf '%s\n' Corvane.exe LICENSE README.md >"$tmp/members.expected"
diff -u "$tmp/members.expected" "$tmp/members" || fail "the zip's members differ"
unzip -q "$zip" -d "$tmp/zip"
cmp "$root/LICENSE" "$tmp/zip/LICENSE" || fail "the zip's LICENSE differs from the sources'"
cmp "$root/README.md" "$tmp/zip/README.md" || fail "the zip's README.md differs from the sources'"
x86_64-w64-mingw32-objdump -f "$tmp/zip/Corvane.exe" | grep -q 'file format pei-x86-64' ||
  fail "the zip's Corvane.exe is not a 64-bit Windows executable"

echo "packages: $(basename "$deb") and $(basename "$zip") as expected"
