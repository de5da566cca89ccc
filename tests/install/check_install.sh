#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check_install.sh BUILD_DIR
#
# Installs BUILD_DIR into a fresh prefix, checks that exactly the tool, the
# node-label program and its second name (a link), their manual pages and the
# three documents land there, and runs the installed tool and program under
# both names.
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
(cd "$prefix" && find . ! -type d -printf '%y %p %l\n' | LC_ALL=C sort -k2) >"$tmp/files"
printf '%s\n' 'f ./bin/corvane ' 'f ./bin/corvane-node-labels ' 'l ./bin/corvane-slurm-health corvane-node-labels' \
  'f ./share/doc/corvane/LICENSE ' 'f ./share/doc/corvane/README.md ' 'f ./share/doc/corvane/troubleshooting.md ' \
  'f ./share/man/man1/corvane-node-labels.1 ' 'f ./share/man/man1/corvane-slurm-health.1 ' 'f ./share/man/man1/corvane.1 ' \
  >"$tmp/files.expected"
diff -u "$tmp/files.expected" "$tmp/files" || fail "installed files differ"

check_usage "$prefix/bin/corvane" "the installed tool"
for name in corvane-node-labels corvane-slurm-health; do
  help=$("$prefix/bin/$name" --help) || fail "the installed $name --help failed"
  [[ $help == "Usage: $name "* ]] || fail "the installed $name --help: $help"
done

echo "installed tree and tool: as expected"
