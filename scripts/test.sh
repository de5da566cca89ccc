#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fresh machine to green suite: installs what is missing, builds, and runs
# every check. Each stage stops the script on its first failure:
#   1. the Linux tool's unit and end-to-end tests, the same cases under
#      valgrind's memcheck, the install rules and the manual page,
#      Corvane.exe's import check and end-to-end cases under Wine, and the
#      arm64 tool's scripted-driver cases and rusticl run under qemu-aarch64,
#      and the Kubernetes manifests, their per-vendor variants rendered by the
#      Debian 13 build root's kubectl (the root is made there on first use)
#      (build/, GCC Release; build-win/; build-arm64/);
#   2. the tool built as a user builds it, without GoogleTest (build-plain/),
#      and the tool and tests with the release's clang (build-clang/), both
#      Release; the tool and tests built and run in a Debian 11 and a Debian
#      13 build root with their own toolchains (scripts/buildroot.sh,
#      scripts/root-suite.sh; build-bullseye/, build-trixie/); Debian 13 as a
#      contributor's machine: the test set resolves there, and run.sh passes
#      from a clean clone; the release packages, the .deb and the tarball for
#      amd64 and arm64, the container image, the Windows zip and MSI, made by
#      scripts/package.sh (build-pkg/, build-pkg-arm64/, build-pkg-win/) and
#      checked by scripts/check-packages.sh, which also installs the amd64
#      ones in both roots and runs the image under podman;
#   3. the whole suite again against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-asan/);
#   4. a line-coverage report of the tool's own sources (build-cov/);
#   5. the bounded fuzzer runs (build-fuzz/);
#   6. clang-format and clang-tidy 19 over every source, in the Debian 13
#      build root (scripts/lint.sh);
#   7. reproducible builds: HEAD packaged twice, in two fresh clones, must give
#      the same bytes (scripts/reproducible.sh);
#   8. a fixed sample of mutants of the tool's sources, each built and run
#      against the unit and scripted-driver end-to-end tests (build-mut/,
#      tests/mutation/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian/release.sh
source "$root/scripts/debian/release.sh"
build=${BUILD_DIR:-$root/build}
jobs=$(nproc)

stage() {
  echo
  echo "=== $* ($(date -u +%H:%M:%S))"
}

stage "set-up and build"
"$root/scripts/setup-debian.sh" test
"$root/scripts/build.sh" --fuzz

stage "tests: unit, end-to-end, memcheck, Windows under Wine, arm64 under qemu-aarch64"
(cd "$build" && ctest --output-on-failure -j "$jobs")

stage "builds as users make them: the tool alone without GoogleTest; clang $clang_version Release"
# A plain configure on a machine without GoogleTest: the tool builds, and the
# configure says once that the tests are off.
plain="$root/build-plain"
mkdir -p "$plain"
cmake -S "$root" -B "$plain" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$plain/configure.log" 2>&1 || { cat "$plain/configure.log"; exit 1; }
grep -q 'GoogleTest not found: the tests are off' "$plain/configure.log" || { cat "$plain/configure.log"; echo "no message that the tests are off" >&2; exit 1; }
cmake --build "$plain" -j "$jobs"
"$plain/corvane" --help >/dev/null
[[ ! -e $plain/tests ]] || { echo "the tests were configured without GoogleTest" >&2; exit 1; }
# The tool and its tests with clang, warnings as errors (build/ is GCC's).
clang_build="$root/build-clang"
cmake -S "$root" -B "$clang_build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="clang-$clang_version" \
  -DCMAKE_CXX_COMPILER="clang++-$clang_version" -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON >/dev/null
cmake --build "$clang_build" -j "$jobs"
(cd "$clang_build" && ctest --output-on-failure -j "$jobs" -R '^unit\.')

stage "Debian 11 and Debian 13 build roots: the tool and tests with each release's compiler and CMake"
# The oldest Debian the releases are built on and the newest: each root's
# toolchain builds the whole tree without a warning and passes the unit and
# scripted-driver cases, and the tool probes that release's PoCL.
for release in base newest; do
  "$root/scripts/buildroot.sh" run "$release" --bind "$root" -- "$root/scripts/root-suite.sh"
done

stage "Debian 13 as a contributor's machine: the test set resolves, run.sh passes from a clean clone"
# What scripts/setup-debian.sh test would install there resolves (apt-get -s,
# nothing downloaded), and README command 1 builds, probes and self-tests on
# that release's PoCL, in a clone of HEAD (committed work only).
clone=$(mktemp -d "${TMPDIR:-/tmp}/corvane-newest.XXXXXX")
git clone -q "$root" "$clone/corvane"
"$root/scripts/buildroot.sh" run newest --bind "$clone/corvane" -- sh -c \
  'POCL_CACHE_DIR=/tmp/pocl-cache; export POCL_CACHE_DIR; ./scripts/setup-debian.sh test --simulate && ./scripts/run.sh'
rm -rf "$clone"

stage "release packages: the .debs and tarballs for amd64 and arm64, built in the Debian 11 root, the container image, and the Windows zip and MSI"
packages=$("$root/scripts/package.sh")
mapfile -t packages <<<"$packages"
"$root/scripts/check-packages.sh" "${packages[@]}"

stage "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# Cases whose allocation must fail are left out here: the sanitizer's
# operator new cannot throw std::bad_alloc and ends the process instead. So
# are the troubleshooting rows whose fix runs rusticl's llvmpipe: every
# allocation here is unwound the slow way (fast_unwind_on_malloc=0), through
# libgcc's _Unwind_Find_FDE; after llvmpipe's JIT registers new frames, that
# function sorts them under its lock and allocates while it does, and that
# allocation's unwind waits for the lock its own thread holds (seen in gdb:
# LLVM's registerEHFrames, new, _Unwind_Find_FDE, malloc, _Unwind_Find_FDE,
# the lock; with fast unwinding the self-test passes in 2 s).
asan="$root/build-asan"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON >/dev/null
cmake --build "$asan" -j "$jobs"
(
  cd "$asan"
  export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=0
  export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --output-on-failure -j "$jobs" -E 'no_allocation_can_hold|^troubleshooting\.(rusticl_unset|clover)$'
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

stage "clang-format and clang-tidy, Debian 13's, in its build root"
"$root/scripts/lint.sh"

stage "reproducible builds: HEAD packaged in two clones, compared"
"$root/scripts/reproducible.sh"

stage "mutation sample: the fast tests against changed tool sources"
python3 "$root/tests/mutation/mutate.py" --sample 200 --suite-from "$build"

stage "all checks passed"
