#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fresh machine to green suite: installs what is missing, builds, and runs
# every check. Each stage stops the script on its first failure:
#   1. the Linux tool's unit and end-to-end tests, the same cases under
#      valgrind's memcheck, and Corvane.exe's import check and end-to-end
#      cases under Wine (build/, build-win/);
#   2. the whole suite again against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-asan/);
#   3. a line-coverage report of the tool's own sources (build-cov/);
#   4. the bounded fuzzer runs (build-fuzz/);
#   5. clang-format and clang-tidy over every source.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=$(nproc)

stage() {
  echo
  echo "=== $* ($(date -u +%H:%M:%S))"
}

stage "set-up and build"
"$root/scripts/setup-debian.sh" test
"$root/scripts/build.sh" --fuzz

stage "tests: unit, end-to-end, memcheck, Windows under Wine"
(cd "$build" && ctest --output-on-failure -j "$jobs")

stage "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# Cases whose allocation must fail are left out here: the sanitizer's
# operator new cannot throw std::bad_alloc and ends the process instead.
asan="$root/build-asan"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON >/dev/null
cmake --build "$asan" -j "$jobs"
(
  cd "$asan"
  export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=0
  export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --output-on-failure -j "$jobs" -E no_allocation_can_hold
)

stage "line coverage of the tool's own sources"
cov="$root/build-cov"
cmake -S "$root" -B "$cov" -DCMAKE_BUILD_TYPE=Debug -DCORVANE_COVERAGE=ON >/dev/null
cmake --build "$cov" -j "$jobs"
find "$cov" -name '*.gcda' -delete
(cd "$cov" && ctest --output-on-failure -j "$jobs" -LE memcheck)
"$root/scripts/coverage.sh" "$cov"

stage "fuzzers: version rule and string procedure"
ctest --test-dir "${FUZZ_BUILD_DIR:-$root/build-fuzz}" --output-on-failure -j "$jobs"

stage "clang-format and clang-tidy"
"$root/scripts/lint.sh" "$build" "${FUZZ_BUILD_DIR:-$root/build-fuzz}"

stage "all checks passed"
