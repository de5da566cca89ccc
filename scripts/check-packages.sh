#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check-packages.sh FILE...
#
# Checks the files that scripts/package.sh makes (give it all of them, as it
# prints them): for amd64 and for arm64,
#   the .deb: its control fields (dependencies as dpkg-shlibdeps reads them off
#     the binary, each alternative once: libc6 no newer than 2.17 and the
#     OpenCL loader; the drivers only recommended), exactly the expected files
#     with their modes and owners, no lintian error or warning, and the tool
#     unpacked from it runs (arm64's under qemu-aarch64) and asks glibc for
#     nothing past 2.17;
#   the tarball: exactly the install tree under one top folder, owned by root,
#     the same binary as the .deb's;
#   the build-info: the Debian 11 root's toolchain and the two files' sums;
# the amd64 .deb and tarball installed for real in the Debian 11 and Debian 13
# build roots (packaging/check-in-root.sh), each running --probe,
# --self-test and corvane-node-labels on that release's PoCL; the container
# image (and its build-info: every package with its version, and the right
# sums) by tests/container/image.sh, with the scripted driver built here; the
# zip: exactly Corvane.exe, LICENSE, README.md and troubleshooting.md, the
# documents as they are in the sources and the
# exe a 64-bit Windows executable; and the MSI: its File, Component,
# Directory, Property, Environment and LaunchCondition tables exactly as
# expected (read with msiinfo, the ProductCode worked out here afresh from the
# version), then installed, upgraded, downgraded and removed under Wine by
# tests/windows/msi.sh, which needs the zip's exe to compare with.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck source=tests/install/usage.sh
source "$root/tests/install/usage.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The files by name: corvane_<version>_<arch>.deb and the rest.
debs=() zip='' msi='' image='' image_info=''
for file in "$@"; do
  case $(basename "$file") in
  corvane_*.deb) debs+=("$file") ;;
  corvane-*-oci.tar) image=$file ;;
  corvane-*-oci.buildinfo) image_info=$file ;;
  Corvane-*-win64.zip) zip=$file ;;
  Corvane-*-win64.msi) msi=$file ;;
  esac
done
if ((${#debs[@]} != 2)) || [[ -z $zip ]] || [[ -z $msi ]] || [[ -z $image ]] || [[ -z $image_info ]]; then
  fail "expected two .debs, the image and its build-info, the zip and the MSI among: $*"
fi
version=$(basename "$zip" | sed -n 's/^Corvane-\(.*\)-win64\.zip$/\1/p')
dir=$(cd "$(dirname "$zip")" && pwd)

# check_linux ARCH CPU LAUNCHER PACKAGE...: the .deb, the tarball and the
# build-info of one architecture; LAUNCHER (or "") runs its binary on this
# machine; the build-info must give the version of each PACKAGE.
check_linux() {
  local arch=$1 cpu=$2 launcher=$3
  local deb=$dir/corvane_${version}_$arch.deb tarball=$dir/corvane-$version-linux-$cpu.tar.gz
  local buildinfo=$dir/corvane-$version-linux-$cpu.buildinfo top=corvane-$version-linux-$cpu
  local work=$tmp/$arch
  mkdir -p "$work"
  for file in "$deb" "$tarball" "$buildinfo"; do
    [[ -f $file ]] || fail "no $file"
  done

  field() {
    dpkg-deb --field "$deb" "$1"
  }
  [[ $(field Package) == corvane ]] || fail "$arch Package: $(field Package)"
  [[ $(field Version) == "$version" ]] || fail "$arch Version: $(field Version), file name says $version"
  [[ $(field Architecture) == "$arch" ]] || fail "$arch Architecture: $(field Architecture)"
  # Every Debian from 11 on (glibc 2.31) and other distributions from glibc 2.17.
  local depends
  depends=$(field Depends)
  if ! [[ $depends =~ ^libc6\ \(\>=\ 2\.([0-9]+)\),\ ocl-icd-libopencl1\ \|\ libopencl1$ ]] || ((BASH_REMATCH[1] > 17)); then
    fail "$arch Depends is not libc6 (>= 2.17 at most) and the loader once: $depends"
  fi
  [[ $(field Recommends) == "pocl-opencl-icd | opencl-icd" ]] || fail "$arch Recommends: $(field Recommends)"

  # (dpkg-deb puts the links last.)
  dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }' >"$work/contents"
  cat >"$work/contents.expected" <<'EOF'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/corvane
-rwxr-xr-x root/root ./usr/bin/corvane-node-labels
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/systemd/
drwxr-xr-x root/root ./usr/lib/systemd/system/
-rw-r--r-- root/root ./usr/lib/systemd/system/corvane-metrics.service
-rw-r--r-- root/root ./usr/lib/systemd/system/corvane-metrics.timer
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/corvane/
-rw-r--r-- root/root ./usr/share/doc/corvane/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/corvane/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/corvane/copyright
-rw-r--r-- root/root ./usr/share/doc/corvane/troubleshooting.md.gz
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/corvane-node-labels.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/corvane-slurm-health.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/corvane.1.gz
lrwxrwxrwx root/root ./usr/bin/corvane-slurm-health
EOF
  diff -u "$work/contents.expected" "$work/contents" || fail "the $arch .deb's files differ"

  # lintian warns when run as root, on standard error; its tags go to standard output.
  lintian --fail-on error,warning "$deb" >"$work/lintian" 2>/dev/null || fail "$arch lintian: $(cat "$work/lintian")"

  dpkg-deb --extract "$deb" "$work/root"
  check_usage "$work/root/usr/bin/corvane" "the unpacked $arch tool" "$launcher"
  local name
  for name in corvane-node-labels corvane-slurm-health; do
    "$work/root/usr/bin/$name" --help | grep -q "^Usage: $name " || fail "the unpacked $name --help failed"
  done
  # The systemd units are clean under systemd-analyze verify, in a root made
  # of the unpacked .deb and the host's own units (the targets they name).
  cp -a "$work/root" "$work/units-root"
  cp -an /usr/lib/systemd/system/. "$work/units-root/usr/lib/systemd/system/"
  systemd-analyze verify --man=no --root="$work/units-root" \
    "$work/units-root/usr/lib/systemd/system/corvane-metrics."{service,timer} >"$work/verify" 2>&1 &&
    [[ ! -s $work/verify ]] || fail "the $arch .deb's systemd units: $(cat "$work/verify")"
  local glibc
  glibc=$(readelf --dyn-syms -W "$work/root/usr/bin/corvane" | grep -o 'GLIBC_2\.[0-9.]*' | sort -uV | tail -n 1)
  [[ $(printf '%s\n' "$glibc" GLIBC_2.17 | sort -V | tail -n 1) == GLIBC_2.17 ]] ||
    fail "the $arch tool asks for $glibc; releases must run on glibc 2.17"

  tar -tvzf "$tarball" | awk '{ print $1, $2, $6 }' >"$work/tar-contents"
  sed "s#@TOP@#$top#" >"$work/tar-contents.expected" <<'EOF'
drwxr-xr-x 0/0 @TOP@/
drwxr-xr-x 0/0 @TOP@/bin/
-rwxr-xr-x 0/0 @TOP@/bin/corvane
-rwxr-xr-x 0/0 @TOP@/bin/corvane-node-labels
lrwxrwxrwx 0/0 @TOP@/bin/corvane-slurm-health
drwxr-xr-x 0/0 @TOP@/share/
drwxr-xr-x 0/0 @TOP@/share/doc/
drwxr-xr-x 0/0 @TOP@/share/doc/corvane/
-rw-r--r-- 0/0 @TOP@/share/doc/corvane/LICENSE
-rw-r--r-- 0/0 @TOP@/share/doc/corvane/README.md
-rw-r--r-- 0/0 @TOP@/share/doc/corvane/troubleshooting.md
drwxr-xr-x 0/0 @TOP@/share/man/
drwxr-xr-x 0/0 @TOP@/share/man/man1/
-rw-r--r-- 0/0 @TOP@/share/man/man1/corvane-node-labels.1
-rw-r--r-- 0/0 @TOP@/share/man/man1/corvane-slurm-health.1
-rw-r--r-- 0/0 @TOP@/share/man/man1/corvane.1
EOF
  diff -u "$work/tar-contents.expected" "$work/tar-contents" || fail "the $arch tarball's files differ"
  tar -xzf "$tarball" -C "$work"
  cmp "$work/root/usr/bin/corvane" "$work/$top/bin/corvane" || fail "the $arch tarball's tool differs from the .deb's"

  # The recipe: the Debian 11 root, the toolchain that built the binary (for
  # arm64, the cross compiler and the arm64 loader) and the files' sums.
  local package
  for package in "${@:4}" cmake dpkg-dev opencl-headers; do
    awk -v p="$package" '{ sub(/:(amd64|all)$/, "", $1) } $1 == p && $2 ~ /^[0-9]/ { found = 1 } END { exit !found }' \
      "$buildinfo" || fail "the $arch build-info has no version of $package"
  done
  grep -q '^Built-In: Debian GNU/Linux 11 ' "$buildinfo" || fail "the $arch build-info names no Debian 11 root"
  (cd "$dir" && sed -n 's/^ \([0-9a-f]\{64\}  \)/\1/p' "$buildinfo" | sha256sum --quiet -c -) ||
    fail "the $arch build-info's sums are not those of the files beside it"
  echo "packages: $(basename "$deb"), $(basename "$tarball") and $(basename "$buildinfo") as expected"
}

check_linux amd64 x86_64 "" gcc g++ binutils libc6-dev ocl-icd-opencl-dev
check_linux arm64 aarch64 qemu-aarch64 gcc-aarch64-linux-gnu g++-aarch64-linux-gnu binutils-aarch64-linux-gnu \
  libc6-dev-arm64-cross ocl-icd-opencl-dev:arm64

# The amd64 .deb and tarball installed for real, in the oldest and the newest
# Debian, each run on that release's PoCL.
for release in base newest; do
  "$root/scripts/buildroot.sh" run "$release" --bind "$root" --bind "$dir" -- "$root/packaging/check-in-root.sh" \
    "$dir/corvane_${version}_amd64.deb" "$dir/corvane-$version-linux-x86_64.tar.gz"
done

# The container image: its build-info lists every package in it with a
# version and gives the sums of the image and the .deb it was made from; then
# tests/container/image.sh, with the scripted driver it mounts into the
# image, built here on its own (CORVANE_FAKE_ICD builds nothing else).
[[ $(basename "$image") == "corvane-$version-oci.tar" ]] || fail "the image's version is not the zip's: $image"
awk '/^Packages:$/ { on = 1; next } /^[A-Z]/ { on = 0 } on && $1 ~ /:/ && $2 ~ /^[0-9]/ { n++ } END { exit n < 50 }' \
  "$image_info" || fail "the image's build-info lists too few packages with versions"
sed -n '/^Packages:$/,/^[A-Z]/p' "$image_info" | grep -qx " corvane:amd64 $version" ||
  fail "the image's build-info lists no corvane $version"
(cd "$dir" && sed -n 's/^ \([0-9a-f]\{64\}  \)/\1/p' "$image_info" | sha256sum --quiet -c -) ||
  fail "the image's build-info sums are not those of the files beside it"
cmake -S "$root" -B "$tmp/fake-icd" -DCORVANE_FAKE_ICD=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tmp/fake-icd" --target corvane_fake_icd -j "$(nproc)" >/dev/null
image_status=0
"$root/tests/container/image.sh" "$image" "$dir/corvane_${version}_amd64.deb" "$tmp/fake-icd/tests/libcorvane_fake_icd.so" ||
  image_status=$?
case $image_status in
0) echo "packages: $(basename "$image") and $(basename "$image_info") as expected" ;;
77) echo "packages: $(basename "$image") checked without podman (see the line above)" ;;
*) fail "the container image: tests/container/image.sh failed" ;;
esac

zipinfo -1 "$zip" >"$tmp/members"
printf '%s\n' Corvane.exe LICENSE README.md troubleshooting.md >"$tmp/members.expected"
diff -u "$tmp/members.expected" "$tmp/members" || fail "the zip's members differ"
unzip -q "$zip" -d "$tmp/zip"
cmp "$root/LICENSE" "$tmp/zip/LICENSE" || fail "the zip's LICENSE differs from the sources'"
cmp "$root/README.md" "$tmp/zip/README.md" || fail "the zip's README.md differs from the sources'"
cmp "$root/docs/troubleshooting.md" "$tmp/zip/troubleshooting.md" || fail "the zip's troubleshooting.md differs from the sources'"
x86_64-w64-mingw32-objdump -f "$tmp/zip/Corvane.exe" | grep -q 'file format pei-x86-64' ||
  fail "the zip's Corvane.exe is not a 64-bit Windows executable"

echo "packages: $(basename "$zip") as expected"

# The MSI's own tables, one line a row, sorted: rows have no order, and wixl
# 0.101 and 0.106 store some in different orders. The ProductCode is the name-based UUID
# of the version in Corvane's fixed namespace (packaging/windows-msi.sh), here
# from Python's implementation; UpgradeCode and component GUID never change.
[[ $(basename "$msi") == "Corvane-$version-win64.msi" ]] || fail "the MSI's version is not the zip's: $msi"
product_code=$(python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
  F1091A56-C464-425A-A89E-3AB2317C71FB "$version")
for table in File Component Directory Property Environment LaunchCondition; do
  msiinfo export "$msi" "$table" | tr -d '\r' | tail -n +4 | sed "s/^/$table|/; s/\t/|/g"
done | sort >"$tmp/msi-tables"
size() {
  stat -c %s "$tmp/zip/$1"
}
sort >"$tmp/msi-tables.expected" <<EOF
File|Corvane.exe|Corvane|Corvane.exe|$(size Corvane.exe)|||512|1
File|LICENSE|Corvane|LICENSE|$(size LICENSE)|||512|2
File|README.md|Corvane|README.md|$(size README.md)|||512|3
File|troubleshooting.md|Guide|troubleshooting.md|$(size troubleshooting.md)|||512|4
Component|Corvane|{FD4388DE-A74C-43A9-B0CF-4CA89AD1EF21}|INSTALLDIR|256||Corvane.exe
Component|Guide|{3A7A9480-38D2-4A1B-B8E1-C7BFAA29E2C9}|INSTALLDIR|256||troubleshooting.md
Directory|INSTALLDIR|ProgramFiles64Folder|Corvane
Directory|ProgramFiles64Folder|TARGETDIR|.
Directory|TARGETDIR||SourceDir
Property|ALLUSERS|1
Property|ARPNOMODIFY|1
Property|Manufacturer|Corvane project
Property|ProductLanguage|1033
Property|ProductCode|$product_code
Property|ProductName|Corvane
Property|ProductVersion|$version
Property|UpgradeCode|{6E12F125-8A32-4847-9007-B103777E2126}
Property|SecureCustomProperties|WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED
Environment|PATH|=-*PATH|[~];[INSTALLDIR]|Corvane
LaunchCondition|NOT WIX_DOWNGRADE_DETECTED|A newer version of Corvane is already installed. Uninstall it first to install this one.
EOF
diff -u "$tmp/msi-tables.expected" "$tmp/msi-tables" || fail "the MSI's tables differ"
"$root/tests/windows/msi.sh" "$msi" "$tmp/zip/Corvane.exe"
echo "packages: $(basename "$msi") as expected"
