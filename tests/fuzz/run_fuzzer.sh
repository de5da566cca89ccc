#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one fuzzer on a fresh copy of its seed corpus, so that the inputs it
# adds and any crash reproducer it writes stay in the build tree, never in the
# source tree. Exits with the fuzzer's status: non-zero on a divergence or crash.
# ASan's one-line warning for each allocation it refuses (the string
# procedure's fuzzer asks for absurd sizes on purpose) is counted, not printed.
#   run_fuzzer.sh FUZZER SEED_DIR WORK_DIR [libFuzzer flags...]
set -euo pipefail
fuzzer=$1
seeds=$2
work=$3
shift 3
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$seeds"/* "$work/corpus/"
"$fuzzer" -artifact_prefix="$work/artifacts/" -timeout=30 -print_final_stats=1 "$@" "$work/corpus" 2>&1 |
  awk '/^==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$/ { refused++; next }
       { print }
       END { print "allocations refused by ASan (absurd sizes): " refused + 0 }'
