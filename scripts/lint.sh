#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks over every C and C++ source of the project: clang-format's
# layout (no file may differ from it) and clang-tidy with the project's
# .clang-tidy, warnings as errors. Takes the build tree whose compile
# commands clang-tidy reads (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$root/build}}
cd "$root"

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

# clang-tidy reads the files the build compiles; it checks the headers they
# include through the .clang-tidy header filter.
run-clang-tidy -quiet -p "$build" "$root/(front|opencl|probe|selftest|tests)/" >"$build/clang-tidy.log" 2>&1 || {
  cat "$build/clang-tidy.log"
  echo "clang-tidy: findings above" >&2
  exit 1
}
echo "clang-tidy: clean"
