#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   image.sh OCI_TAR DEB FAKE_DRIVER
#
# Checks the container image that packaging/oci-image.sh made, OCI_TAR, as a
# user gets it. First what it holds, read straight from the tar: its
# configuration (entry point, default command, labels), the name podman gives
# it, its packages (the loader and the tool from DEB, byte for byte; no OpenCL
# driver of any kind), the loader's cache, the one nvidia.icd, and the trimmed
# documentation; and that skopeo turns it into the archive Docker's classic
# image store loads. Then the image under podman, in a private storage under a
# temporary folder so that nothing stays behind: the default command and
# --self-test with no driver, and with the scripted driver FAKE_DRIVER
# (libcorvane_fake_icd.so) provided as NVIDIA's toolkit provides its library,
# mounted as libnvidia-opencl.so.1 for the image's own nvidia.icd, and as a
# mounted vendor folder; and corvane-node-labels run as the Kubernetes
# manifests run it. A podman that warns about its machine first, as podman 5
# does on a cgroups-v1 kernel, loads and runs the image all the same. Last,
# the ROCm Containerfile of packaging/containers/ built FROM the loaded image
# (apt reaching the archive through the host's network), whose probe, with no
# AMD GPU here, finds ROCm's platform and no device.
#
# The runs pass podman flags that some hosts need and others accept: runc,
# cgroupfs, and ulimits lowered below this shell's hard limits (podman as root
# otherwise raises them, which a sandbox without CAP_SYS_RESOURCE refuses).
# The image itself needs none of them. What podman and skopeo warn about the
# machine they run on is shown, never compared: a status and an output decide.
#
# Exits 77 (skipped) saying exactly what is missing when podman cannot run
# here, unless CI is set: there everything must be present.
# shellcheck disable=SC2034 # the tables name variables that are read as ${!name}
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if (($# != 3)); then
  echo "usage: $0 OCI_TAR DEB FAKE_DRIVER" >&2
  exit 2
fi
tar=$1 deb=$2 driver=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
export LC_ALL=C
tmp=$(mktemp -d)
trap 'rm -rf --one-file-system "$tmp"' EXIT
start=$SECONDS

fail() {
  echo "FAIL: image: $*" >&2
  exit 1
}
# unwarn FILE: takes out of FILE, a standard error of podman or skopeo, the
# warnings they log about the machine they run on (logrus' lines:
# time="..." level=warning msg="...", or WARN[0000] ... on a terminal; podman
# 5 on a cgroups-v1 kernel warns before every command that cgroups v1 is
# deprecated) and shows them on this script's standard error. They say
# nothing of the image; what is left of FILE is what a check may compare.
unwarn() {
  : >"$1.rest"
  awk -v rest="$1.rest" '/^(time="[^"]*" level=warning msg=|WARN\[[0-9]+\] )/ { print "image: warning: " $0 > "/dev/stderr"; next }
    { print > rest }' "$1"
  mv "$1.rest" "$1"
}
# shellcheck source=tests/missing.sh
source "$root/tests/missing.sh"

version=$(dpkg-deb --field "$deb" Version)
[[ -f $driver ]] || fail "no scripted driver at $driver"

# --- What the image holds, from the tar alone.
layout=$tmp/layout rootfs=$tmp/rootfs
mkdir -p "$layout" "$rootfs"
tar -xf "$tar" -C "$layout"
blob() {
  echo "$layout/blobs/${1/://}"
}
manifest=$(blob "$(jq -r '.manifests[0].digest' "$layout/index.json")")
config=$(blob "$(jq -r '.config.digest' "$manifest")")
mapfile -t layers < <(jq -r '.layers[].digest' "$manifest")
((${#layers[@]} == 1)) || fail "expected one layer, found ${#layers[@]}"
# (The layer names its top folder "/", which tar says it strips.)
tar -xzf "$(blob "${layers[0]}")" -C "$rootfs" --exclude='dev/*' 2>"$tmp/tar.err" || fail "the layer: $(cat "$tmp/tar.err")"
dpkg-deb --extract "$deb" "$tmp/deb"

# installed PATTERN: the installed packages whose name matches the extended
# regular expression PATTERN, or that provide an OpenCL driver, one a line.
installed() {
  awk -v want="$1" '
    /^Package: / { name = $2; provides = ""; ok = 0 }
    /^Provides: / { provides = $0 }
    /^Status: install ok installed/ { ok = 1 }
    /^$/ { if (ok && (name ~ want || provides ~ /opencl-icd/)) print name; name = "" }
    END { if (ok && (name ~ want || provides ~ /opencl-icd/)) print name }
  ' "$rootfs/var/lib/dpkg/status" | sort
}

# Each row: what is checked @ the shell command whose output is compared @
# the output expected (\n between lines).
contents=$(
  cat <<EOF
configuration@jq -c '[.architecture, .os, .config.Entrypoint, .config.Cmd, .config.Labels["org.opencontainers.image.version"], .config.Labels["org.opencontainers.image.licenses"], .history[0].created == .created]' "$config"@["amd64","linux",["corvane"],["--probe"],"$version","Apache-2.0",true]
the name podman load gives it@jq -r '.manifests[].annotations["org.opencontainers.image.ref.name"]' "$layout/index.json"@localhost/corvane:$version
the loader and the tool, nothing that provides opencl-icd nor any other runtime@installed '^(corvane|ocl-icd-libopencl1|pocl.*|mesa.*|.*nvidia.*|intel-.*|rocm.*|hip.*|libamdhip.*|beignet.*|libze.*|clinfo)\$'@corvane\nocl-icd-libopencl1
the tool's version@dpkg-query --admindir="$rootfs/var/lib/dpkg" -W -f='\${Version}' corvane@$version
the vendor folder: NVIDIA's library name only@grep -r . "$rootfs/etc/OpenCL/vendors" | sed "s#^$rootfs##"@/etc/OpenCL/vendors/nvidia.icd:libnvidia-opencl.so.1
the loader in ld.so.cache@ldconfig -C "$rootfs/etc/ld.so.cache" -p | awk '\$1 == "libOpenCL.so.1" { print \$1, \$NF }'@libOpenCL.so.1 /lib/x86_64-linux-gnu/libOpenCL.so.1
the binary is the .deb's@cmp "$rootfs/usr/bin/corvane" "$tmp/deb/usr/bin/corvane" && echo same@same
trimmed: documentation but copyright files, manual pages, locales, apt lists and caches, the build machine's resolver and name@cd "$rootfs" && find usr/share/doc usr/share/man usr/share/locale var/lib/apt/lists var/cache/apt etc/resolv.conf etc/hostname -type f ! -path 'usr/share/doc/*/copyright' ! -name lock 2>&1 | sort@find: 'etc/hostname': No such file or directory\nfind: 'etc/resolv.conf': No such file or directory
converted for Docker's classic image store, which loads only docker-archive tars, by the README's skopeo line@skopeo copy -q "oci-archive:$tar" "docker-archive:$tmp/docker.tar:localhost/corvane:$version" && tar -xOf "$tmp/docker.tar" manifest.json | jq -c '[.[].RepoTags[]]'@["localhost/corvane:$version"]
each Containerfile built FROM the image defaults to this version@grep -h '^ARG BASE=' "$root"/packaging/containers/*.Containerfile | sort -u@ARG BASE=localhost/corvane:$version
EOF
)
while IFS='@' read -r what command expected; do
  eval "$command" >"$tmp/row" 2>&1 || true
  unwarn "$tmp/row"
  actual=$(cat "$tmp/row")
  [[ $actual == "$(printf '%b' "$expected")" ]] ||
    fail "$what: expected
$(printf '%b' "$expected")
got
$actual"
done <<<"$contents"
echo "image: $(basename "$tar") holds what it should ($(du -sk --apparent-size "$rootfs" | cut -f1) KiB unpacked, $(($(stat -c %s "$tar") / 1024)) KiB as a tar)"

# --- The image under podman.
command -v podman >/dev/null || missing "podman is not installed (Debian package podman)"
[[ -n $(ls -A /sys/fs/cgroup 2>/dev/null) ]] || missing "no cgroup file system at /sys/fs/cgroup: podman cannot run a container here"
podman=(podman --root "$tmp/storage" --runroot "$tmp/run" --tmpdir "$tmp/libpod" --storage-driver vfs
  --cgroup-manager cgroupfs)
if command -v runc >/dev/null; then
  podman+=(--runtime runc)
fi
# Limits below this shell's hard ones: lowering needs no privilege.
limits=(--ulimit "nofile=1024:$(ulimit -Hn)" --ulimit nproc=1000:1000)
# The same podman warning about its machine first, as podman 5 does on a
# kernel with cgroups v1 (its exact words), for the rows that need one.
cat >"$tmp/warning-podman" <<'EOF'
echo 'time="2025-01-01T00:00:00Z" level=warning msg="Using cgroups-v1 which is deprecated in favor of cgroups-v2 with Podman v5 and will be removed in a future version. Set environment variable `PODMAN_IGNORE_CGROUPSV1_WARNING` to hide this warning."' >&2
exec podman "$@"
EOF
warning_podman=(sh "$tmp/warning-podman" "${podman[@]:1}")

# Each row: which podman loads the image (the name of an array above). What
# counts is the status and the "Loaded image:" line on standard output.
loads='podman as it is|podman
a podman that warns about its machine first, as podman 5 on cgroups v1|warning_podman'
while IFS='|' read -r what runner; do
  declare -n run_podman=$runner
  got=0
  "${run_podman[@]}" load -q -i "$tar" >"$tmp/out" 2>"$tmp/err" || got=$?
  unwarn "$tmp/err"
  ((got == 0)) || fail "$what: podman load exited $got: $(cat "$tmp/out" "$tmp/err")"
  [[ $(cat "$tmp/out") == "Loaded image: localhost/corvane:$version" ]] ||
    fail "$what: podman load says: $(cat "$tmp/out" "$tmp/err")"
  [[ ! -s $tmp/err ]] || echo "image: $what: podman load says on standard error: $(cat "$tmp/err")" >&2
  unset -n run_podman
done <<<"$loads"
image=localhost/corvane:$version

# The scripted driver's scenario: one usable GPU, and a kernel that takes 42 us.
cat >"$tmp/scenario" <<'EOF'
profiling_start 1000
profiling_end 43000
platform
name Fake Platform
vendor Corvane tests
version OpenCL 1.2 fake
device
type 4
name Fake GPU
vendor Fake Vendor
version OpenCL 1.2 fake
opencl_c OpenCL C 1.2 fake
compute_units 8
max_work_group 256
global_mem 1073741824
max_alloc 268435456
local_mem 32768
compiler 1
EOF
mkdir -p "$tmp/vendors"
echo /opt/corvane-fake/libcorvane_fake_icd.so >"$tmp/vendors/corvane-fake.icd"
scenario=(-v "$tmp/scenario:/run/corvane-scenario:ro" -e CORVANE_FAKE_SCENARIO=/run/corvane-scenario)
# How the driver reaches the container: none; NVIDIA's way, the library at
# its name in the image's library folder; or a vendor folder over the image's.
mounts_none=()
mounts_nvidia=(-v "$driver:/usr/lib/x86_64-linux-gnu/libnvidia-opencl.so.1:ro" "${scenario[@]}")
mounts_vendors=(-v "$tmp/vendors:/etc/OpenCL/vendors:ro" -v "$driver:/opt/corvane-fake/libcorvane_fake_icd.so:ro"
  "${scenario[@]}")

empty=''
no_platform_out=$'Corvane OpenCL probe\nplatform_count=0'
no_platform_err='no OpenCL platforms found'
no_usable_err='no usable OpenCL C 1.2 compiler device found'
gpu_report=$'Corvane OpenCL probe\nplatform_count=1\nplatform[0].name=Fake Platform
platform[0].vendor=Corvane tests\nplatform[0].version=OpenCL 1.2 fake\nplatform[0].device_count=1
device[0:0].name=Fake GPU\ndevice[0:0].type=GPU\ndevice[0:0].vendor=Fake Vendor
device[0:0].version=OpenCL 1.2 fake\ndevice[0:0].opencl_c=OpenCL C 1.2 fake\ndevice[0:0].compiler=true
device[0:0].compute_units=8\ndevice[0:0].max_work_group=256\ndevice[0:0].global_mem=1073741824
device[0:0].max_alloc=268435456\ndevice[0:0].local_mem=32768'
pass_report=$'self_test=PASS\nplatform=Fake Platform\ndevice=Fake GPU\nopencl_c=OpenCL C 1.2 fake\nkernel_us=42'

# Each row: what runs | which podman (the name of an array above) | the
# driver's mounts | the arguments after the image (- for none) | status |
# standard output | the tool's standard error (names of the variables above).
runs='the default command, no driver, a dangling nvidia.icd|podman|none|-|2|no_platform_out|no_platform_err
--self-test passed to the tool, no driver|podman|none|--self-test|2|empty|no_usable_err
the default command, the driver mounted as NVIDIA mounts its library|podman|nvidia|-|0|gpu_report|empty
--self-test, the driver mounted as NVIDIA mounts its library|podman|nvidia|--self-test|0|pass_report|empty
--probe, the driver through a mounted vendor folder|podman|vendors|--probe|0|gpu_report|empty
--self-test, no driver, podman warning about its machine first|warning_podman|none|--self-test|2|empty|no_usable_err'
while IFS='|' read -r what runner mounts args status out err; do
  declare -n run_podman=$runner mount_list=mounts_$mounts
  arguments=()
  [[ $args == - ]] || read -ra arguments <<<"$args"
  got=0
  "${run_podman[@]}" run --rm --network none "${limits[@]}" "${mount_list[@]}" "$image" "${arguments[@]}" \
    </dev/null >"$tmp/out" 2>"$tmp/err" || got=$?
  unwarn "$tmp/err"
  [[ $(cat "$tmp/out") == "${!out}" ]] || fail "$what: status $got, standard error $(cat "$tmp/err"), standard output:
$(cat "$tmp/out")"
  [[ $(cat "$tmp/err") == "${!err}" ]] || fail "$what: standard error: $(cat "$tmp/err")"
  ((got == status)) || fail "$what: exit status $got, expected $status"
  unset -n run_podman mount_list
done <<<"$runs"
echo "image: $image runs as expected under podman: no driver, the driver as NVIDIA's library, a mounted vendor folder"

# corvane-node-labels in the image as the manifests run it: the root file
# system read-only (no tmpfs either), no capability, no privilege escalation,
# the features folder the one writable mount; the driver as NVIDIA's library.
mkdir "$tmp/features"
got=0
"${podman[@]}" run --rm --network none "${limits[@]}" --read-only --read-only-tmpfs=false --cap-drop all \
  --security-opt no-new-privileges -v "$tmp/features:/features" "${mounts_nvidia[@]}" \
  --entrypoint corvane-node-labels "$image" --dir /features --timeout 30 </dev/null >"$tmp/out" 2>"$tmp/err" || got=$?
((got == 0)) || fail "corvane-node-labels in the image exited $got: $(cat "$tmp/err")"
[[ $(ls -A "$tmp/features") == corvane ]] || fail "corvane-node-labels left: $(ls -A "$tmp/features")"
labels=$(grep -v '^#' "$tmp/features/corvane" | sed 's|^feature\.node\.kubernetes\.io/corvane-||')
[[ $labels == $'probe=usable\nself-test=pass\ngpu=true\nopencl-c=1.2\ndevices=1' ]] ||
  fail "corvane-node-labels in the image wrote: $(cat "$tmp/features/corvane")"
echo "image: corvane-node-labels labels the scripted GPU from a read-only container without capabilities"

# --- A derived image: ROCm's OpenCL runtime, the cheapest of the three to
# download (about 45 MB in 14 packages; Mesa's is about 83 MB, and Intel's
# needs Debian 12). With no /dev/kfd its platform shows, without a device.
derived_start=$SECONDS
mkdir -p "$tmp/context"
if ! "${podman[@]}" build -q --pull=never --network=host "${limits[@]}" --build-arg "BASE=$image" \
  -f "$root/packaging/containers/rocm.Containerfile" -t localhost/corvane-rocm "$tmp/context" >"$tmp/build" 2>&1; then
  tail -n 20 "$tmp/build" >&2
  fail "building packaging/containers/rocm.Containerfile FROM $image failed"
fi
got=0
"${podman[@]}" run --rm --network none "${limits[@]}" localhost/corvane-rocm >"$tmp/out" 2>"$tmp/err" || got=$?
unwarn "$tmp/err"
expected=$'Corvane OpenCL probe\nplatform_count=1\nplatform[0].name=AMD Accelerated Parallel Processing
platform[0].vendor=Advanced Micro Devices, Inc.\nplatform[0].device_count=0'
[[ $(grep -v '^platform\[0\]\.version=' "$tmp/out") == "$expected" ]] ||
  fail "the ROCm image's probe without an AMD GPU: standard output:
$(cat "$tmp/out")"
[[ $(cat "$tmp/err") == "$no_usable_err" ]] || fail "the ROCm image's probe: standard error: $(cat "$tmp/err")"
((got == 3)) || fail "the ROCm image's probe without an AMD GPU exited $got, expected 3"
echo "image: the ROCm Containerfile builds FROM $image in $((SECONDS - derived_start)) s; without an AMD GPU its probe exits 3"
echo "image: checked in $((SECONDS - start)) s"
