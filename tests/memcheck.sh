#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one program under valgrind's memcheck, as a launcher for the end-to-end
# tests. The program's own streams and exit status pass through untouched; when
# memcheck finds an error the exit status is 99 and its report follows on
# standard error, so the test that ran it fails and shows why.
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --show-leak-kinds=definite,indirect --track-origins=yes --log-file="$log" "$@"
status=$?
if [[ $status -eq 99 ]]; then
  cat "$log" >&2
fi
exit "$status"
