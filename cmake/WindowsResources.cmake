# SPDX-License-Identifier: Apache-2.0
# Corvane.exe's resources, compiled with windres: the version information
# (from the project version) and the application manifest, both from front/.
enable_language(RC)

set(corvane_version_tweak "${PROJECT_VERSION_TWEAK}")
if(corvane_version_tweak STREQUAL "")
  set(corvane_version_tweak 0)
endif()
set(corvane_manifest ${PROJECT_SOURCE_DIR}/front/corvane.exe.manifest)
set(corvane_rc ${PROJECT_BINARY_DIR}/front/corvane.rc)
configure_file(${PROJECT_SOURCE_DIR}/front/corvane.rc.in ${corvane_rc} @ONLY)
# windres reads the manifest as the resource's data, not as an #include, so
# CMake's dependency scan does not see it.
set_source_files_properties(${corvane_rc} PROPERTIES OBJECT_DEPENDS ${corvane_manifest})
target_sources(corvane PRIVATE ${corvane_rc})
