# SPDX-License-Identifier: Apache-2.0
# What `cmake --install build --prefix P` puts in place, at the GNU standard
# directories: P/bin/corvane, P/bin/corvane-node-labels (the shell program
# that turns corvane's verdicts into Kubernetes node labels) and
# P/bin/corvane-slurm-health (the same program under the name that makes it
# Slurm's health check: a link), their manual pages in P/share/man/man1/, and
# P/share/doc/corvane/ with README.md, LICENSE and troubleshooting.md (the
# guide for a machine where the answer is no).
include(GNUInstallDirs)

# The manual page carries the project's version and a date. The date is that
# of the sources, not of the build, so that two builds of one commit write the
# same page: SOURCE_DATE_EPOCH when it is set (scripts/package.sh sets it),
# else the last commit's time; the day of the configure only outside a clone.
set(corvane_source_date "$ENV{SOURCE_DATE_EPOCH}")
if(corvane_source_date STREQUAL "")
  find_package(Git QUIET)
  if(Git_FOUND)
    execute_process(
      COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
      OUTPUT_VARIABLE corvane_source_date
      OUTPUT_STRIP_TRAILING_WHITESPACE
      ERROR_QUIET)
  endif()
endif()
if(corvane_source_date MATCHES "^[0-9]+$")
  # string(TIMESTAMP) formats SOURCE_DATE_EPOCH instead of the current time.
  # The variable is put back as it was, unset when it was: set to an empty
  # value it would reach every later compiler run of the configure, and
  # clang 19 refuses an empty SOURCE_DATE_EPOCH.
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(corvane_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${corvane_source_date}")
  string(TIMESTAMP CORVANE_MAN_DATE "%Y-%m-%d" UTC)
  if(DEFINED corvane_saved_epoch)
    set(ENV{SOURCE_DATE_EPOCH} "${corvane_saved_epoch}")
  else()
    unset(ENV{SOURCE_DATE_EPOCH})
  endif()
else()
  string(TIMESTAMP CORVANE_MAN_DATE "%Y-%m-%d" UTC)
endif()
configure_file(docs/corvane.1.in "${PROJECT_BINARY_DIR}/corvane.1" @ONLY)
configure_file(docs/corvane-node-labels.1.in "${PROJECT_BINARY_DIR}/corvane-node-labels.1" @ONLY)
configure_file(docs/corvane-slurm-health.1.in "${PROJECT_BINARY_DIR}/corvane-slurm-health.1" @ONLY)
# The link is made here and installed as a link (install copies links as
# they are), relative, so that it holds wherever the prefix is.
file(CREATE_LINK corvane-node-labels "${PROJECT_BINARY_DIR}/corvane-slurm-health" SYMBOLIC)

install(TARGETS corvane RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(PROGRAMS deploy/corvane-node-labels "${PROJECT_BINARY_DIR}/corvane-slurm-health"
        DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${PROJECT_BINARY_DIR}/corvane.1" "${PROJECT_BINARY_DIR}/corvane-node-labels.1"
              "${PROJECT_BINARY_DIR}/corvane-slurm-health.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES README.md LICENSE docs/troubleshooting.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
