# SPDX-License-Identifier: Apache-2.0
# Corvane.exe's resources, compiled with windres: the version information and
# the application manifest, both made from templates in front/ with the
# project version filled in.
enable_language(RC)

set(corvane_version_tweak "${PROJECT_VERSION_TWEAK}")
if(corvane_version_tweak STREQUAL "")
  set(corvane_version_tweak 0)
endif()
set(corvane_version4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${corvane_version_tweak})
set(corvane_manifest ${PROJECT_BINARY_DIR}/front/Corvane.exe.manifest)
set(corvane_rc ${PROJECT_BINARY_DIR}/front/corvane.rc)
configure_file(${PROJECT_SOURCE_DIR}/front/corvane.exe.manifest.in ${corvane_manifest} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/front/corvane.rc.in ${corvane_rc} @ONLY)
# windres reads the manifest as the resource's data, not as an #include, so
# CMake's dependency scan does not see it.
set_source_files_properties(${corvane_rc} PROPERTIES OBJECT_DEPENDS ${corvane_manifest})
target_sources(corvane PRIVATE ${corvane_rc})
