# SPDX-License-Identifier: Apache-2.0
# OpenCL for the Windows build: no SDK is installed or downloaded. The Khronos
# headers of the build machine are staged into the build tree, so that CL/ is
# the only thing they add to the include path, and the import library for
# OpenCL.dll is made at build time from opencl/OpenCL.def. find_package(OpenCL) then
# yields the same OpenCL::OpenCL target the Linux build links against.

set(CORVANE_OPENCL_HEADERS /usr/include/CL CACHE PATH "Khronos OpenCL headers (the CL folder) to build against")
if(NOT EXISTS "${CORVANE_OPENCL_HEADERS}/cl.h")
  message(FATAL_ERROR "no cl.h in CORVANE_OPENCL_HEADERS=${CORVANE_OPENCL_HEADERS}; install opencl-headers")
endif()
find_program(CORVANE_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)

set(staged_include ${CMAKE_BINARY_DIR}/opencl/include)
file(REMOVE_RECURSE ${staged_include})
file(COPY ${CORVANE_OPENCL_HEADERS}/ DESTINATION ${staged_include}/CL)
# Configure again when the headers change, so the staged copy never goes stale.
file(GLOB staged_sources ${CORVANE_OPENCL_HEADERS}/*)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${staged_sources})

set(import_def ${PROJECT_SOURCE_DIR}/opencl/OpenCL.def)
set(import_lib ${CMAKE_BINARY_DIR}/opencl/libOpenCL.dll.a)
# dlltool names the library's members and symbols after the output path it is
# given: run in the library's folder with a bare file name, it gives every
# build tree the same names. Deterministic mode leaves out dates, owners and
# modes.
add_custom_command(
  OUTPUT ${import_lib}
  COMMAND ${CORVANE_DLLTOOL} --deterministic-libraries --input-def ${import_def} --dllname OpenCL.dll
          --output-lib libOpenCL.dll.a
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/opencl
  DEPENDS ${import_def}
  COMMENT "Generating the OpenCL.dll import library from OpenCL.def"
  VERBATIM)
add_custom_target(corvane_opencl_import DEPENDS ${import_lib})

set(OpenCL_INCLUDE_DIR ${staged_include} CACHE PATH "OpenCL include directory (staged)" FORCE)
set(OpenCL_LIBRARY ${import_lib} CACHE FILEPATH "OpenCL import library (generated)" FORCE)
find_package(OpenCL REQUIRED)
# Whatever links OpenCL::OpenCL waits for the import library to exist.
add_dependencies(OpenCL::OpenCL corvane_opencl_import)
