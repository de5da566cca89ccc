#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one program under valgrind's memcheck, as a launcher for the end-to-end
# tests. The program's own streams and exit status pass through untouched; when
# memcheck finds an error the exit status is 99 and its report follows on
# standard error, so the test that ran it fails and shows why.
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The report goes to a descriptor above 2 that bash chooses: given
# --log-file, valgrind would open it on the lowest free descriptor and leave
# it open in the program, so a program started with its standard output
# closed would write into the report instead of failing.
exec {report}>"$log"
valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --show-leak-kinds=definite,indirect --track-origins=yes --log-fd="$report" "$@"
status=$?
if [[ $status -eq 99 ]]; then
  cat "$log" >&2
fi
exit "$status"
