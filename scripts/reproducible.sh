#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks that the packages are reproducible: one commit, built twice in two
# places at two times, gives the same bytes. Clones the committed HEAD (not
# the working tree) twice, into folders of different names and path lengths,
# runs scripts/package.sh in each, the second one later and under another
# umask, and compares the SHA-256 sums of what is shipped: the Linux tool for
# amd64 and arm64, Corvane.exe, each architecture's .deb, tarball and
# build-info, the container image and its build-info, the .zip and the .msi. Prints both lists; on any difference
# shows where the files differ, keeps the clones for a closer look and exits 1.
#
#   reproducible.sh     (clones under $TMPDIR, default /tmp; removed when equal)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse HEAD)
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no) ]]; then
  echo "reproducible: uncommitted changes are not checked; HEAD ${commit:0:12} is" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-reproducible.XXXXXX")
first=$work/a
second=$work/second-clone-of-the-same-commit
artifacts=(build-pkg/corvane build-pkg-arm64/corvane build-pkg-win/Corvane.exe)
for linux in "amd64 x86_64" "arm64 aarch64"; do
  read -r arch cpu <<<"$linux"
  artifacts+=("packages/corvane_*_$arch.deb" "packages/corvane-*-linux-$cpu.tar.gz" "packages/corvane-*-linux-$cpu.buildinfo")
done
artifacts+=("packages/corvane-*-oci.tar" "packages/corvane-*-oci.buildinfo")
artifacts+=("packages/Corvane-*-win64.zip" "packages/Corvane-*-win64.msi")

# package CLONE UMASK: clones the commit and packages it, all under that
# umask, in a shell of its own; the build folders are the defaults inside the
# clone, whatever the caller's environment says.
package() {
  local clone=$1 mask=$2 start=$SECONDS
  (
    umask "$mask"
    # A local clone copies the whole object store, so a detached HEAD is there too.
    git clone -q --no-checkout "$root" "$clone"
    git -C "$clone" checkout -q "$commit"
    if [[ ! -x $clone/scripts/package.sh ]]; then
      echo "reproducible: commit ${commit:0:12} has no executable scripts/package.sh"
      exit 1
    fi
    cd "$clone"
    unset PKG_BUILD_DIR PKG_ARM64_BUILD_DIR PKG_WIN_BUILD_DIR SOURCE_DATE_EPOCH
    nice -n 10 ./scripts/package.sh "$clone/packages"
  ) >"$clone.log" 2>&1 || {
    tail -n 30 "$clone.log" >&2
    echo "reproducible: packaging failed in $clone; the whole output is in $clone.log" >&2
    exit 1
  }
  echo "reproducible: packaged in $clone (umask $mask) in $((SECONDS - start)) s"
}

# sums CLONE: "sha256  path" for each artifact, paths relative to the clone.
sums() (
  cd "$1"
  for pattern in "${artifacts[@]}"; do
    # shellcheck disable=SC2206 # the pattern is meant to expand
    files=($pattern)
    if ((${#files[@]} != 1)) || [[ ! -f ${files[0]} ]]; then
      echo "reproducible: $1 has no single $pattern" >&2
      exit 1
    fi
    sha256sum "${files[0]}"
  done
)

# view FILE COMMAND...: the difference between what COMMAND says about the two
# clones' FILE; it runs inside each clone, so only the files' own differences show.
view() {
  local file=$1
  shift
  diff <(cd "$first" && "$@" "$file" 2>&1) <(cd "$second" && "$@" "$file" 2>&1) | head -n 40 || true
}

# msi_tables MSI: every table of MSI as text, and the SHA-256 of each stream
# (the cabinet among them).
msi_tables() {
  local table stream
  for table in $(msiinfo tables "$1" | sort); do
    echo "== $table"
    msiinfo export "$1" "$table"
  done
  for stream in $(msiinfo streams "$1" | sort); do
    echo "== stream $stream: $(msiinfo extract "$1" "$stream" | sha256sum)"
  done
}

# oci_members TAR: the small JSON blobs of an OCI layout in a tar as text, and
# the members of each layer (gzipped tar blobs) with their modes, owners and times.
oci_members() {
  local member
  tar -tvf "$1"
  for member in $(tar -tf "$1" | grep -v '/$'); do
    if tar -xOf "$1" "$member" | gzip -t 2>/dev/null; then
      echo "== layer $member"
      tar -xOf "$1" "$member" | tar -tvzf -
    else
      echo "== $member"
      tar -xOf "$1" "$member"
      echo
    fi
  done
}

# explain FILE: where the two clones' FILE differ, read with the tools that
# know its format.
explain() {
  local file=$1
  echo "=== $file differs: $(cmp -l "$first/$file" "$second/$file" 2>/dev/null | wc -l) bytes" \
    "(sizes $(stat -c %s "$first/$file") and $(stat -c %s "$second/$file")); the first (offset, octal bytes):"
  cmp -l "$first/$file" "$second/$file" 2>/dev/null | head -n 10 || true
  case $file in
  *.exe)
    view "$file" x86_64-w64-mingw32-objdump -p
    view "$file" strings -a
    ;;
  *.deb)
    view "$file" dpkg-deb -I
    view "$file" dpkg-deb -c
    ;;
  *.zip) view "$file" zipinfo -v ;;
  *.msi)
    # The summary information (times, package code), then every table.
    view "$file" msiinfo suminfo
    view "$file" msi_tables
    ;;
  *.tar.gz) view "$file" tar -tvzf ;;
  *-oci.tar)
    # The layout's own files (index, manifest, config), then the layer's members.
    view "$file" oci_members
    ;;
  *.buildinfo) view "$file" cat ;;
  *)
    view "$file" readelf -nS
    view "$file" strings -a
    ;;
  esac
}

echo "reproducible: commit ${commit:0:12}, clones in $work"
package "$first" 022
sleep 2 # the second build starts at least two seconds after the first ends
package "$second" 077

sums "$first" >"$work/a.sha256"
sums "$second" >"$work/b.sha256"
echo "$first:"
cat "$work/a.sha256"
echo "$second:"
cat "$work/b.sha256"

status=0
while read -r sum_a file_a <&3 && read -r sum_b _ <&4; do
  if [[ $sum_a != "$sum_b" ]]; then
    status=1
    explain "$file_a"
  fi
done 3<"$work/a.sha256" 4<"$work/b.sha256"

if ((status != 0)); then
  echo "reproducible: the two builds differ; the clones are kept in $work" >&2
  exit 1
fi
rm -rf "$work"
echo "reproducible: all ${#artifacts[@]} artifacts are identical"
