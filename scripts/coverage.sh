#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Prints the line coverage of the tool's own sources (front/, opencl/, probe/,
# selftest/) from a tree built with -DCORVANE_COVERAGE=ON whose tests have run,
# and fails unless every function of the tool ran at least once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cov=${1:?usage: coverage.sh BUILD_TREE}
filters=(--filter 'front/' --filter 'opencl/' --filter 'probe/' --filter 'selftest/')
# gcovr searches only the coverage tree: left to search the whole source root
# it would walk into build/'s Wine prefix, whose z: drive is a link to /.
cd "$root"
gcovr -r "$root" "${filters[@]}" --txt - "$cov"
gcovr -r "$root" "${filters[@]}" --json-summary "$cov/coverage.json" "$cov"
python3 - "$cov/coverage.json" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
missed = [(f["filename"], f["function_total"] - f["function_covered"])
          for f in summary["files"] if f["function_covered"] < f["function_total"]]
total = sum(f["function_total"] for f in summary["files"])
if missed:
    for name, count in missed:
        print(f"{name}: {count} function(s) never ran", file=sys.stderr)
    sys.exit(1)
print(f"functions: {total} of {total} ran")
PY
