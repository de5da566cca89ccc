#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check_install.sh BUILD_DIR
#
# Installs BUILD_DIR into a fresh prefix, checks that exactly the tool, the
# node-label program, their manual pages and the three documents land there,
# and runs the installed tool and program.
# Its reports are the end-to-end tests' business; here it must start from the
# prefix and print its usage.
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
# shellcheck source=tests/install/usage.sh
source "$(dirname "$0")/usage.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f | LC_ALL=C sort) >"$tmp/files"
printf '%s\n' ./bin/corvane ./bin/corvane-node-labels ./share/doc/corvane/LICENSE ./share/doc/corvane/README.md \
  ./share/doc/corvane/troubleshooting.md ./share/man/man1/corvane-node-labels.1 ./share/man/man1/corvane.1 \
  >"$tmp/files.expected"
diff -u "$tmp/files.expected" "$tmp/files" || fail "installed files differ"

check_usage "$prefix/bin/corvane" "the installed tool"
help=$("$prefix/bin/corvane-node-labels" --help) || fail "the installed corvane-node-labels --help failed"
[[ $help == "Usage: corvane-node-labels "* ]] || fail "the installed corvane-node-labels --help: $help"

echo "installed tree and tool: as expected"
