# SPDX-License-Identifier: Apache-2.0
# The Debian package, corvane_<version>_amd64.deb, made by CPack's DEB
# generator from the install rules (cmake/Install.cmake):
#   cpack --config build/CPackConfig.cmake -G DEB
# scripts/package.sh makes it from a Release tree, with SOURCE_DATE_EPOCH set:
# CPack then gives every archive member that time, root as owner and a sorted
# order, so one commit always yields the same bytes. The Windows zip is made
# by that script alone; nothing here applies to the MinGW tree.
if(WIN32)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check whether this machine can do OpenCL compute work")
set(CPACK_PACKAGE_DESCRIPTION [[
corvane lists every OpenCL platform and device that the installed OpenCL
drivers offer, as key=value lines for people and scripts, and says through
its exit status whether any device has an OpenCL C 1.2 (or later) compiler.
Its self-test builds and runs a small kernel on the best device, checks all
256 results and reports the kernel's time.

It finds devices only through an installed OpenCL driver; PoCL provides one
that runs on the CPU.]])
set(CPACK_PACKAGE_CONTACT "Corvane Dev <dev@corvane.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Directories CPack creates itself get these modes whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Depends is what dpkg-shlibdeps reads off the binary: libc6 and the OpenCL
# loader (ocl-icd-libopencl1 or another libopencl1). A driver is only
# recommended: without one the probe still runs and says so.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pocl-opencl-icd | opencl-icd")

# Debian wants more than the install tree has: a stripped binary, the
# copyright file in place of LICENSE, a changelog, and the manual page and the
# README compressed.
set(CPACK_CORVANE_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_CORVANE_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebianLayout.cmake")

include(CPack)
