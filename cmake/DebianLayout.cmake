# SPDX-License-Identifier: Apache-2.0
# Run by CPack (CPACK_PRE_BUILD_SCRIPTS, cmake/Package.cmake) on the staged
# install tree before it packs the .deb, to give that tree the layout Debian
# wants: the binary stripped of its symbols and of the .comment and .note
# sections, as Debian's own packaging strips it; the machine-readable
# /usr/share/doc/corvane/copyright, which points to common-licenses, in place
# of LICENSE; a changelog.gz; and the manual page and the README gzipped with
# -9n (no name and no time in the header). The files written here get fixed
# modes, so the umask of the build does not show in the .deb.
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
if(NOT EXISTS "${doc}/LICENSE" OR NOT EXISTS "${usr}/share/man/man1/corvane.1")
  message(FATAL_ERROR "no staged install tree at ${usr}")
endif()

execute_process(
  COMMAND "${CPACK_CORVANE_STRIP}" --remove-section=.comment --remove-section=.note "${usr}/bin/corvane"
  COMMAND_ERROR_IS_FATAL ANY)

file(REMOVE "${doc}/LICENSE")
file(COPY_FILE "${CPACK_CORVANE_SOURCE_DIR}/packaging/deb/copyright" "${doc}/copyright")

# A native package's changelog: one entry for this version, dated by
# SOURCE_DATE_EPOCH (string(TIMESTAMP) reads it) like everything else here.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
  "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n"
  "\n"
  "  * Corvane ${CPACK_PACKAGE_VERSION}, built from its sources; README.md.gz\n"
  "    in this folder describes what it does.\n"
  "\n"
  " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")

set(compress "${doc}/changelog" "${doc}/README.md" "${usr}/share/man/man1/corvane.1")
foreach(file IN LISTS compress)
  file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(CHMOD "${doc}/copyright" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
