# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash disable=SC2034 # read by the scripts that source it
# Debian 12 (bookworm): the names that differ between the Debian releases the
# suite runs on, one home each. Sourced through scripts/debian/release.sh by
# scripts/setup-debian.sh, build.sh, test.sh, tests/arm64/rusticl.sh and
# tests/troubleshooting/rows.sh; the line oclgrind= is also read by
# tests/CMakeLists.txt.
debian_release="Debian 12"
# clang for the clang build and the fuzzers, with its runtimes (libFuzzer,
# ASan, UBSan): the packages clang-N and libclang-rt-N-dev
clang_version=14
# oclgrind, a real driver of the end-to-end tests (empty: not in this release)
oclgrind=oclgrind
# Mesa's rusticl for arm64: the packages tests/arm64/rusticl.sh downloads and
# unpacks into the build tree, and the multi-arch libraries they need, which
# scripts/setup-debian.sh installs as :arm64
rusticl_arm64_unpacked=(mesa-opencl-icd libclang-cpp15)
rusticl_arm64_depends=(libllvm15 libllvmspirvlib15 libsensors5 libdrm-amdgpu1 libdrm-nouveau2 libdrm-radeon1 libdrm2
  libelf1 libexpat1 libzstd1 zlib1g libstdc++6 libgcc-s1)
# The troubleshooting rows (tests/troubleshooting/rows.sh): the package with
# Mesa's Clover (empty: none in this release), and the status that PoCL leaves
# when the self-test runs without ld on PATH (PoCL 3.1 aborts: 128 + SIGABRT)
clover=mesa-opencl-icd
pocl_without_ld=134
# promtool, which lints the metrics and tests the alert rules: inside the
# prometheus package here, a package of its own from Debian 13
promtool=prometheus
