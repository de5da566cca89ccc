#!/usr/bin/env bash
# Installs what building and testing the tool needs on Debian 12. Safe to run
# again: it asks apt only for packages that are missing. Runs apt through sudo
# when not already root. With --bench, also what scripts/bench/run.sh measures
# with.
set -euo pipefail

packages=(
  # toolchain and test framework
  g++ make cmake libgtest-dev
  # the fuzzers: clang 14 and its runtimes (libFuzzer, ASan, UBSan)
  clang-14 libclang-rt-14-dev
  # the OpenCL loader and headers the tool links against
  ocl-icd-opencl-dev opencl-headers
  # real OpenCL implementations the tests run on, and a reference client
  pocl-opencl-icd oclgrind mesa-opencl-icd clinfo
  # the Windows build: MinGW-w64 (win32 threads) with its binutils (dlltool, objdump)
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  # running Corvane.exe in the tests: 64-bit Wine, and the locale sources from
  # which the tests compile the cp1252 locale they run Wine in
  wine wine64 locales
  # the checks beyond the tests: memcheck, coverage, layout and static analysis
  valgrind gcovr python3 clang-format clang-tidy
)
if [[ ${1:-} == --bench ]]; then
  packages+=(hyperfine time valgrind)
fi

missing=()
for p in "${packages[@]}"; do
  [[ $p == \#* ]] && continue
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  as_root=(sudo)
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
