#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check.sh LABELS_PROGRAM TOOL FAKE_VENDORS
#
# The metrics as Prometheus gets them, and the alerts on them:
#   - the alert rules (deploy/prometheus/) pass `promtool check rules` and
#     their unit tests, `promtool test rules` (tests/metrics/alerts.test.yml);
#   - a real node_exporter (Debian's prometheus-node-exporter), listening on
#     127.0.0.1 with only its textfile collector, serves the file that
#     corvane-node-labels --metrics wrote for the scripted GPU: every sample
#     of the file, with its value, and no scrape error.
# Exits 77 (skipped) saying what is missing, unless CI is set: there
# everything must be present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 tool=$2 fake_vendors=$3

fail() {
  echo "FAIL: metrics: $*" >&2
  exit 1
}
# shellcheck source=tests/missing.sh
source "$here/../missing.sh"
# shellcheck source=tests/ports.sh
source "$here/../ports.sh"
command -v promtool >/dev/null || missing "no promtool (Debian 12: package prometheus; Debian 13: promtool)"
command -v prometheus-node-exporter >/dev/null || missing "no prometheus-node-exporter (Debian package of that name)"
command -v curl >/dev/null || missing "no curl (Debian package curl)"

promtool check rules "$here/../../deploy/prometheus/corvane-alerts.yml" >/dev/null || fail "promtool check rules"
(cd "$here" && promtool test rules alerts.test.yml) >/dev/null || fail "promtool test rules alerts.test.yml"
echo "metrics: the alert rules pass promtool check rules and their unit tests"

tmp=$(mktemp -d)
exporter=
cleanup() {
  if [[ -n $exporter ]]; then
    kill "$exporter" 2>/dev/null || :
    wait "$exporter" 2>/dev/null || :
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir "$tmp/textfile" "$tmp/labels"
printf '%s\n' platform device 'type 4' 'opencl_c OpenCL C 3.0' 'compiler 1' 'profiling_end 43000' >"$tmp/scenario"
OCL_ICD_VENDORS=$fake_vendors CORVANE_FAKE_SCENARIO=$tmp/scenario CORVANE=$tool \
  dash "$program" --dir "$tmp/labels" --metrics "$tmp/textfile/corvane.prom" || fail "corvane-node-labels exited $?"

port=$(free_port)
prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$tmp/textfile" >"$tmp/exporter.log" 2>&1 &
exporter=$!
for ((tries = 0; tries < 100; tries++)); do
  curl -sf "http://127.0.0.1:$port/metrics" >"$tmp/served" && break
  kill -0 "$exporter" 2>/dev/null || fail "node_exporter ended: $(cat "$tmp/exporter.log")"
  sleep 0.1
done
[[ -s $tmp/served ]] || fail "node_exporter on 127.0.0.1:$port did not answer: $(cat "$tmp/exporter.log")"

# Every sample of the file, served with the same value (node_exporter
# writes its numbers its own way: 1.79e+09 for 1790000000), and the
# collector reading the file without an error.
samples() {
  awk '!/^#/ && NF == 2 { print $1, $2 + 0 }' "$@" | sort
}
served=$(grep -E '^corvane_' "$tmp/served" | samples)
[[ $served == "$(samples "$tmp/textfile/corvane.prom")" ]] ||
  fail "node_exporter served other samples than the file's:"$'\n'"$(diff <(samples "$tmp/textfile/corvane.prom") <(echo "$served"))"
grep -qx 'node_textfile_scrape_error 0' "$tmp/served" ||
  fail "node_exporter's scrape error: $(grep node_textfile_scrape_error "$tmp/served")"
grep -qx 'corvane_self_test_kernel_seconds 4.2e-05' "$tmp/served" ||
  fail "the kernel time as served: $(grep kernel_seconds "$tmp/served")"
echo "metrics: node_exporter $(prometheus-node-exporter --version 2>&1 | awk 'NR == 1 { print $3 }') on 127.0.0.1 serves" \
  "the $(echo "$served" | wc -l) samples of corvane-node-labels --metrics as written"
