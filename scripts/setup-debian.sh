#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Installs the Debian packages that a job needs, and only those missing, on
# Debian 12 or 13: the names that differ between them come from the release's
# table, scripts/debian/<codename>.sh (scripts/debian/release.sh reads
# /etc/os-release and stops on any other release).
#
#   setup-debian.sh tool    building and running the tool (README command 1)
#   setup-debian.sh test    everything the whole test suite uses (command 2)
#   setup-debian.sh bench   the test set plus what scripts/bench/ measures with
#   setup-debian.sh JOB --simulate
#                           only asks apt whether the missing packages resolve
#                           (apt-get -s: nothing downloaded or installed)
#
# apt's own output goes to a log file ($SETUP_LOG, default build/setup-debian.log);
# the terminal gets one line, and the log's tail if apt fails. Runs apt through
# sudo when not already root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian/release.sh
source "$root/scripts/debian/release.sh"

# Building the tool and running it on a machine with no GPU driver.
tool=(g++ make cmake ocl-icd-opencl-dev opencl-headers pocl-opencl-icd)
# The test suite, on top of that.
test=(
  libgtest-dev
  # the clang build and the fuzzers: the release's clang and its runtimes (libFuzzer, ASan, UBSan)
  "clang-$clang_version" "libclang-rt-$clang_version-dev"
  # further real OpenCL implementations (oclgrind where the release has it), and a reference client
  ${oclgrind:+"$oclgrind"} mesa-opencl-icd clinfo
  # the Windows build: MinGW-w64 (win32 threads) with its binutils (windres, dlltool, objdump)
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  # running Corvane.exe in the tests: 64-bit Wine, and the locale sources from
  # which the tests compile the cp1252 locale they run Wine in
  wine wine64 locales
  # the checks beyond the tests: memcheck and coverage (clang-format and
  # clang-tidy run in the newest Debian build root: scripts/lint.sh)
  valgrind gcovr python3
  # the packages and their checks: the man page, the .deb, the zip, the MSI
  mandoc man-db dpkg-dev lintian zip unzip wixl msitools
  # the Debian 11 and 13 build roots that build and test the releases
  debootstrap
  # the container image: its Debian root, its OCI layout, podman with runc to
  # load and run it (crun refuses hosts with a hybrid cgroup layout), and
  # skopeo, which converts it for Docker
  mmdebstrap umoci jq podman runc skopeo
  # arm64: the cross compiler, qemu-user to run what it builds, the arm64
  # OpenCL loader through multiarch, and the multi-arch libraries that Mesa's
  # rusticl for arm64 needs (rusticl itself is unpacked into the build tree by
  # tests/arm64/rusticl.sh: its package would replace the amd64 drivers)
  g++-aarch64-linux-gnu qemu-user ocl-icd-libopencl1:arm64 ocl-icd-opencl-dev:arm64
  "${rusticl_arm64_depends[@]/%/:arm64}"
  # the Kubernetes manifests' checks (tests/deploy/): yamllint here, node and
  # npm below
  yamllint
  # the fleet checks: a real Slurm for the health check (tests/slurm/), and
  # node_exporter, promtool and curl for the metrics and alerts
  # (tests/metrics/); systemd-analyze verifies the .deb's units
  slurmctld slurmd munge prometheus-node-exporter "$promtool" curl systemd
)
# node and npm for the manifests' schema check, from Debian only when either
# is missing: a node already installed (NodeSource's nodejs, which holds npm
# and conflicts with Debian's npm) is kept, and --no-remove below would refuse
# to take it away in any case.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  test+=(nodejs npm)
fi
bench=(hyperfine time)

simulate=
if [[ ${2:-} == --simulate ]]; then
  simulate=-s
elif (($# != 1)); then
  set -- usage
fi
case "${1:-}" in
tool) packages=("${tool[@]}") ;;
test) packages=("${tool[@]}" "${test[@]}") ;;
bench) packages=("${tool[@]}" "${test[@]}" "${bench[@]}") ;;
*)
  echo "usage: setup-debian.sh tool|test|bench [--simulate]" >&2
  exit 2
  ;;
esac

# A name without an architecture means this machine's own (or an
# architecture-independent package); with both installed, dpkg-query lists each.
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  want=$native
  [[ $p == *:* ]] && want=${p#*:}
  if ! dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
    grep -Eq "^install ok installed ($want|all)$"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  echo "packages: all ${#packages[@]} present"
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 && -z $simulate ]]; then
  as_root=(sudo)
fi
log=${SETUP_LOG:-$root/build/setup-debian.log}
mkdir -p "$(dirname "$log")"
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture need it added to dpkg first.
for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\([a-z0-9]*\)$/\1/p' | sort -u); do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    if [[ -n $simulate ]]; then
      echo "packages: $arch is not among dpkg's architectures (dpkg --add-architecture $arch), so nothing for it resolves" >&2
      exit 1
    fi
    "${as_root[@]}" dpkg --add-architecture "$arch"
  fi
done
if [[ -n $simulate ]]; then
  # apt's lists as they are: a simulation changes nothing on the machine.
  if ! apt-get install -s -q --no-install-recommends --no-remove "${missing[@]}" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "packages: the ${#missing[@]} missing of $debian_release do not resolve; apt's output is in $log" >&2
    exit 1
  fi
  echo "packages: the ${#missing[@]} missing of $debian_release resolve ($(grep -c '^Inst ' "$log") to install with their dependencies; apt-get -s)"
  exit 0
fi
echo "packages: installing ${#missing[@]} (${missing[*]}); apt's output is in $log"
# --no-remove: an install that would take away a package already here (as a
# non-multi-arch package of another architecture would) fails instead.
if ! { "${as_root[@]}" apt-get update -q &&
  "${as_root[@]}" apt-get install -y -q --no-install-recommends --no-remove "${missing[@]}"; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "packages: apt-get failed; the whole output is in $log" >&2
  exit 1
fi
