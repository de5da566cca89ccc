#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check_man.sh PAGE VERSION
#
# The configured manual page: mandoc finds nothing to say about it, style
# included, and man renders it without a warning, with the project's version
# in its footer.
set -euo pipefail
page=$1
version=$2
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

lint=$(mandoc -T lint -W style "$page" 2>&1) || fail "mandoc -T lint: $lint"
[[ -z $lint ]] || fail "mandoc -T lint -W style: $lint"

err=$(mktemp)
trap 'rm -f "$err"' EXIT
rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$err") || fail "man -l: $(cat "$err")"
[[ ! -s $err ]] || fail "man -l: $(cat "$err")"
footer=$(tail -n 1 <<<"$rendered")
[[ $footer == "corvane $version "* ]] || fail "man -l: footer '$footer' lacks 'corvane $version'"
echo "manual page: clean, renders, version $version"
