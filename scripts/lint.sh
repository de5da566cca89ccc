#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks over every C and C++ source of the project: clang-format's
# layout (no file may differ from it) and clang-tidy with the project's
# .clang-tidy, warnings as errors.
#
# The verdict is one version's, the newest Debian's (clang-format and
# clang-tidy 19 of Debian 13), on every machine: newer versions format some
# code differently and bring checks that older ones lack, so a tree checked
# with whatever the machine has could pass on one release and fail on
# another. Run anywhere, the script runs itself again in the newest Debian
# build root (scripts/buildroot.sh, which holds those two tools; needs root).
# There it configures two trees for their compile commands alone:
# build-lint/ (the tool and its tests, GCC) and build-lint-fuzz/ (clang, the
# only tree that compiles tests/fuzz/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -f /.corvane-root ]]; then
  exec "$root/scripts/buildroot.sh" run newest --bind "$root" -- "$root/scripts/lint.sh"
fi
# shellcheck source=scripts/debian/release.sh
source "$root/scripts/debian/release.sh"
cd "$root"

mapfile -t sources < <(find front opencl probe selftest tests scripts -type f \
  \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) | sort)
"clang-format-$clang_version" --dry-run --Werror "${sources[@]}"
echo "clang-format $clang_version ($debian_release): ${#sources[@]} files clean"

build=$root/build-lint
fuzz_build=$root/build-lint-fuzz
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=ON >/dev/null
cmake -S "$root" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="clang-$clang_version" \
  -DCMAKE_CXX_COMPILER="clang++-$clang_version" -DCORVANE_TESTS=OFF -DCORVANE_FUZZ=ON >/dev/null

# tidy TREE FILES: clang-tidy over the files of TREE's compile commands whose
# path matches FILES; the headers they include are checked through the
# .clang-tidy header filter. A tree that compiles none of them is an error.
tidy() {
  local tree=$1 files=$2
  if ! grep -Eq "\"file\": \"$files" "$tree/compile_commands.json"; then
    echo "clang-tidy: $tree/compile_commands.json lists none of $files" >&2
    exit 1
  fi
  "run-clang-tidy-$clang_version" -quiet -clang-tidy-binary "clang-tidy-$clang_version" -p "$tree" "$files" \
    >"$tree/clang-tidy.log" 2>&1 || {
    cat "$tree/clang-tidy.log"
    echo "clang-tidy: findings above" >&2
    exit 1
  }
}
tidy "$build" "$root/(front|opencl|probe|selftest|tests)/"
tidy "$fuzz_build" "$root/tests/fuzz/"
echo "clang-tidy $clang_version ($debian_release): clean"
