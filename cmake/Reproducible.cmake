# SPDX-License-Identifier: Apache-2.0
# Reproducible builds: one commit, built twice in two directories at two
# times, gives the same bytes. Nothing of the build machine's paths or clock
# goes into what is shipped.
#
# Source and build paths appear in the debug information (file names and the
# compilation directory) and in __FILE__; both trees map to "." there. The build
# tree is listed last so that, when it lies inside the source tree, its own
# mapping wins and its name stays out too. Coverage builds keep the real paths:
# gcov finds the sources through them.
if(NOT CORVANE_COVERAGE)
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=.>")
endif()

# A PE image's header carries a link time, the clock's or SOURCE_DATE_EPOCH's;
# without one it reads 0 in every build. (No source uses __DATE__ or __TIME__,
# the compiler's only clock readings.) The import library for OpenCL.dll is
# made reproducible where it is made, in WindowsOpenCL.cmake.
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
