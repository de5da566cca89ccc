#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks over every C and C++ source of the project: clang-format's
# layout (no file may differ from it) and clang-tidy with the project's
# .clang-tidy, warnings as errors. clang-tidy reads the compile commands of two
# build trees: the default one (build/, or the first argument) and the fuzz
# tree (build-fuzz/, or the second argument), the only one that compiles
# tests/fuzz/; scripts/build.sh --fuzz makes both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$root/build}}
fuzz_build=${2:-${FUZZ_BUILD_DIR:-$root/build-fuzz}}
cd "$root"

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

# tidy TREE FILES: clang-tidy over the files of TREE's compile commands whose
# path matches FILES; the headers they include are checked through the
# .clang-tidy header filter. A tree that compiles none of them is an error.
tidy() {
  local tree=$1 files=$2
  if ! grep -Eq "\"file\": \"$files" "$tree/compile_commands.json" 2>/dev/null; then
    echo "clang-tidy: $tree/compile_commands.json lists none of $files (scripts/build.sh --fuzz makes both trees)" >&2
    exit 1
  fi
  run-clang-tidy -quiet -p "$tree" "$files" >"$tree/clang-tidy.log" 2>&1 || {
    cat "$tree/clang-tidy.log"
    echo "clang-tidy: findings above" >&2
    exit 1
  }
}
tidy "$build" "$root/(front|opencl|probe|selftest|tests)/"
tidy "$fuzz_build" "$root/tests/fuzz/"
echo "clang-tidy: clean"
