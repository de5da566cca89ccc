# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash disable=SC2034 # read by the scripts that source it
# Debian 13 (trixie): the names that differ between the Debian releases the
# suite runs on, one home each; scripts/debian/bookworm.sh says who reads them.
debian_release="Debian 13"
clang_version=19
# Debian 13 has no oclgrind package: the cases on it skip, saying so.
oclgrind=
# Mesa 25.0 still has Clover; PoCL 6.0 aborts like 3.1 without ld.
clover=mesa-opencl-icd
pocl_without_ld=134
promtool=promtool
rusticl_arm64_unpacked=(mesa-opencl-icd libclang-cpp19)
rusticl_arm64_depends=(libllvm19 libllvmspirvlib19.1 libdrm-amdgpu1 libdrm2 libelf1t64 libexpat1 libzstd1 zlib1g
  libstdc++6 libgcc-s1)
