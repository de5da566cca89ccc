# SPDX-License-Identifier: Apache-2.0
# Cross build for 64-bit Windows with Debian's MinGW-w64 (the win32 thread
# model: the tool starts no threads, so it needs no winpthread DLL).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCORVANE_TESTS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(corvane_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${corvane_mingw_triple}-gcc-win32)
set(CMAKE_CXX_COMPILER ${corvane_mingw_triple}-g++-win32)
set(CMAKE_RC_COMPILER ${corvane_mingw_triple}-windres)
set(CMAKE_DLLTOOL ${corvane_mingw_triple}-dlltool)

# Libraries and headers come from the MinGW-w64 tree only, never from the
# host's /usr; programs (dlltool, objdump) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${corvane_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
