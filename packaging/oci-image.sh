#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   oci-image.sh DEB VERSION COMMIT OUT_DIR
#
# Builds Corvane's container image from DEB (the amd64 .deb that
# scripts/package.sh has just made) and prints the two files it writes, one a
# line:
#   OUT_DIR/corvane-<VERSION>-oci.tar        an OCI image layout in a tar, for
#                                            podman load -i (named
#                                            localhost/corvane:<VERSION>)
#   OUT_DIR/corvane-<VERSION>-oci.buildinfo  its recipe: the exact version of
#                                            every package in the image, and
#                                            the sums of the tar and the .deb
#
# The image is a Debian root made with Debian's own tools, with no base image
# from any registry: mmdebstrap --variant=minbase from the archive this
# machine's apt uses (scripts/debian-archive.sh reads it from apt's own
# configuration), then umoci packs it as one layer. It holds the tool, the
# ocl-icd loader with an up-to-date ld.so.cache, and
# /etc/OpenCL/vendors/nvidia.icd naming libnvidia-opencl.so.1, since NVIDIA's
# container toolkit mounts the library but that file only from 1.20.0, and
# then only through CDI or with the graphics or display capability. No
# OpenCL driver is in it: with a CPU driver every node would answer yes, and
# the vendors' runtimes are large, so derived images add the one they need
# (packaging/containers/). apt stays, and its sources name the release's main,
# -updates and -security suites, so `apt-get update` works in a derived image.
#
# The release is Debian 13 (trixie): the current stable release, with the
# longest security support ahead of it and the smallest minbase root. Debian
# 12's one advantage, Intel's compute runtime in main, would bring LLVM, Clang
# and Perl, far too much for the default image; its Containerfile says to
# build that one on Debian 12.
#
# Trimmed as Debian's slim images are: dpkg's path-exclude keeps out
# documentation (but the copyright files), manual pages, info pages and
# locales, in this image and in anything installed on top of it; apt's lists
# and caches are removed.
#
# One commit gives the same bytes on the same day's archive: mmdebstrap reads
# SOURCE_DATE_EPOCH (required here); every file's time is set to it; the
# machine-specific /etc/resolv.conf, /etc/hostname and ldconfig's aux-cache
# are removed; umoci gets explicit created times; the outer tar is sorted,
# owned by 0:0 and dated SOURCE_DATE_EPOCH. The downloaded .debs are kept
# between runs in $CORVANE_IMAGE_CACHE (default
# /var/cache/corvane/image-debs), outside the clone: apt checks each against
# the archive's sums before it uses it. Needs root (run through sudo otherwise).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if (($# != 4)); then
  echo "usage: $0 DEB VERSION COMMIT OUT_DIR" >&2
  exit 2
fi
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
version=$2 commit=$3 out=$4
: "${SOURCE_DATE_EPOCH:?oci-image: SOURCE_DATE_EPOCH must be set (scripts/package.sh sets it)}"
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
release=trixie
cache=${CORVANE_IMAGE_CACHE:-/var/cache/corvane/image-debs}
name=corvane-$version-oci
tarball=$out/$name.tar
buildinfo=$out/$name.buildinfo
created=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)

for tool in mmdebstrap umoci; do
  command -v "$tool" >/dev/null || {
    echo "oci-image: $tool is not installed (scripts/setup-debian.sh test installs it)" >&2
    exit 1
  }
done
# mmdebstrap's root mode (chroot, mounts): through sudo for anyone else.
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || {
    echo "oci-image: mmdebstrap's root mode needs root, and there is no sudo" >&2
    exit 1
  }
  exec sudo --preserve-env=SOURCE_DATE_EPOCH,CORVANE_IMAGE_CACHE,TMPDIR "$0" "$@"
fi
# shellcheck source=scripts/debian-archive.sh
source "$root/scripts/debian-archive.sh"
main=$(debian_archive)
security=$(debian_archive -security)

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-oci.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
rootfs=$work/rootfs
mkdir -p "$cache"

# The root. Hooks run on the host with the root's path as $1; the cache is
# synchronised in before the packages are downloaded and out before the tool
# is installed, so it holds the archive's packages only.
# shellcheck disable=SC2016 # a hook's $1 is expanded by mmdebstrap's shell
mmdebstrap --quiet --mode=root --variant=minbase --include=ocl-icd-libopencl1 \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/lintian/*' \
  --skip=essential/unlink \
  --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
  --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
  --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
  --customize-hook="copy-in '$deb' /tmp" \
  --customize-hook="chroot \"\$1\" dpkg --install '/tmp/$(basename "$deb")'" \
  --customize-hook='mkdir -p "$1/etc/OpenCL/vendors"' \
  --customize-hook='echo libnvidia-opencl.so.1 >"$1/etc/OpenCL/vendors/nvidia.icd"' \
  --customize-hook='chroot "$1" ldconfig' \
  "$release" "$rootfs" \
  "deb $main $release main" "deb $main $release-updates main" "deb $security $release-security main" >&2
rm -rf "$rootfs/tmp/"* "$rootfs/var/lib/apt/lists/"* "$rootfs/var/cache/apt/"*.bin \
  "$rootfs/var/cache/ldconfig/aux-cache" "$rootfs/etc/resolv.conf" "$rootfs/etc/hostname"
find "$rootfs/var/cache/apt/archives" -name '*.deb' -delete
find "$rootfs" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +

# The recipe, written before the image so that the image's sum can follow.
# shellcheck disable=SC2016 # dpkg-query's own format
packages=$(chroot "$rootfs" dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture} ${Version}\n' |
  awk '$1 == "ii" { print " " $2, $3 }' | sort)
unpacked=$(du -sk --apparent-size "$rootfs" | cut -f1)

# The image: one layer holding the whole root, the tool as entry point and
# --probe as the default command.
oci=$work/oci
umoci init --layout "$oci"
umoci new --image "$oci:$version"
umoci config --image "$oci:$version" --no-history --created "$created" --author "Corvane project" \
  --architecture amd64 --os linux \
  --config.env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  --config.entrypoint corvane --config.cmd --probe \
  --config.label org.opencontainers.image.title=corvane \
  --config.label org.opencontainers.image.description="OpenCL probe and self-test; bring your GPU's driver" \
  --config.label org.opencontainers.image.version="$version" \
  --config.label org.opencontainers.image.revision="$commit" \
  --config.label org.opencontainers.image.licenses=Apache-2.0 \
  --config.label org.opencontainers.image.created="$created" \
  --config.label org.opencontainers.image.base.name="debian:$release (mmdebstrap --variant=minbase)" \
  --manifest.annotation org.opencontainers.image.version="$version" \
  --manifest.annotation org.opencontainers.image.revision="$commit" \
  --manifest.annotation org.opencontainers.image.licenses=Apache-2.0 \
  --manifest.annotation org.opencontainers.image.created="$created"
umoci insert --image "$oci:$version" --history.created "$created" \
  --history.created_by "mmdebstrap --variant=minbase $release, ocl-icd-libopencl1, $(basename "$deb")" \
  "$rootfs" /
umoci gc --layout "$oci"
# podman load names the image after the index's reference name: a full name
# gives localhost/corvane:<version> instead of a bare tag.
jq -c --arg ref "localhost/corvane:$version" \
  '.manifests[0].annotations["org.opencontainers.image.ref.name"] = $ref' "$oci/index.json" >"$work/index.json"
mv "$work/index.json" "$oci/index.json"
find "$oci" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
chmod -R u=rwX,go=rX "$oci"
mkdir -p "$out"
rm -f "$tarball"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" --format=gnu \
  -C "$oci" -cf "$tarball" oci-layout index.json blobs

{
  echo "Corvane $version, OCI image for amd64"
  echo "Commit: $commit"
  echo "Source-Date-Epoch: $SOURCE_DATE_EPOCH"
  echo "Base: Debian $(cat "$rootfs/etc/debian_version") ($release), mmdebstrap --variant=minbase, suites $release $release-updates $release-security"
  echo "Built-With: $(dpkg-query -W -f='${Package} ${Version}, ' mmdebstrap umoci | sed 's/, $//')"
  echo "Entrypoint: corvane --probe"
  echo "Unpacked-KiB: $unpacked"
  echo "Packages:"
  echo "$packages"
  echo "SHA-256:"
  (cd "$out" && sha256sum "$(basename "$tarball")") | sed 's/^/ /'
  (cd "$(dirname "$deb")" && sha256sum "$(basename "$deb")") | sed 's/^/ /'
} >"$buildinfo"

printf '%s\n' "$tarball" "$buildinfo"
