# SPDX-License-Identifier: Apache-2.0
# Cross build for arm64 Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) against the arm64 OpenCL loader installed through
# multiarch (ocl-icd-opencl-dev:arm64, in /usr/lib/aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# What it builds runs on this machine under qemu-user's qemu-aarch64, which is
# named as the emulator so that CTest and test discovery can run it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(corvane_cross_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${corvane_cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${corvane_cross_triple}-g++)
# The library architecture: find_package looks in /usr/lib/aarch64-linux-gnu,
# never in the host's /usr/lib/x86_64-linux-gnu. The headers are shared.
set(CMAKE_LIBRARY_ARCHITECTURE ${corvane_cross_triple})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
