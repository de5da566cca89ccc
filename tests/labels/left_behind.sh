#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
#
#   left_behind.sh LABELS_PROGRAM TOOL FAKE_VENDORS
#
# A tool that not even SIGKILL ends, as one stuck in the kernel on a GPU that
# fell off the bus: the scripted driver hangs in clGetDeviceIDs and freezes
# itself in a cgroup-v1 freezer group, where a signal takes effect only once
# the group is thawed. corvane-node-labels (under dash) must
#   1. give up on it within the time limit and the kill grace, with the
#      verdict timeout, and not start the self-test beside it;
#   2. start no tool at all in the next round while it lives (the driver's
#      call log stays as it was), saying still-running;
#   3. run again as usual once it is gone.
# Needs root and the cgroup-v1 freezer (/sys/fs/cgroup/freezer); without
# them it exits 77 (skipped), saying which is missing: a kernel feature is
# nothing a set-up script can install.
set -eu

labels_program=$1
tool=$2
fake_vendors=$3
freezer=/sys/fs/cgroup/freezer
if [ "$(id -u)" -ne 0 ] || ! [ -w "$freezer" ]; then
    echo "skipped: needs root and the cgroup-v1 freezer at $freezer" >&2
    exit 77
fi
work=$(mktemp -d)
group=$freezer/corvane-left-behind.$$
mkdir "$group"
cleanup() {
    for pid in $(cat "$group/cgroup.procs" 2>/dev/null); do
        kill -KILL "$pid" 2>/dev/null || :
    done
    echo THAWED >"$group/freezer.state" 2>/dev/null || :
    tries=0
    while [ -n "$(cat "$group/cgroup.procs" 2>/dev/null)" ] && [ "$tries" -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    rmdir "$group" 2>/dev/null || :
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/labels"

fail() {
    printf 'FAIL: left behind: %s\n' "$*" >&2
    exit 1
}

# round SCENARIO: one run of the program; sets labels (the probe's and the
# self-test's) and took (seconds).
round() {
    printf '%s\n' platform device 'type 4' 'opencl_c OpenCL C 3.0' 'compiler 1' "$1" >"$work/scenario"
    start=$(date +%s)
    OCL_ICD_VENDORS=$fake_vendors CORVANE_FAKE_SCENARIO=$work/scenario CORVANE_FAKE_CALL_LOG=$work/calls \
        CORVANE=$tool dash "$labels_program" --dir "$work/labels" --timeout 1 ||
        fail "the program exited $?"
    took=$(($(date +%s) - start))
    labels=$(sed -n 's/^feature\.node\.kubernetes\.io\/corvane-\(probe\|self-test\)=//p' "$work/labels/corvane" |
        paste -sd' ' -)
}

round "hang clGetDeviceIDs unkillable=$group"
[ "$labels" = 'timeout still-running' ] || fail "first round: $labels"
# One second's limit and the 5 s grace, and two seconds for the clock and a
# busy machine: far below the 12 s that a second frozen tool would add up to.
[ "$took" -le 8 ] || fail "first round took $took s"
[ "$(wc -l <"$group/cgroup.procs")" -eq 1 ] || fail "the frozen group holds: $(cat "$group/cgroup.procs")"
calls=$(wc -l <"$work/calls")

round "hang clGetDeviceIDs unkillable=$group"
[ "$labels" = 'still-running still-running' ] || fail "second round: $labels"
[ "$took" -le 1 ] || fail "second round took $took s"
[ "$(wc -l <"$work/calls")" -eq "$calls" ] || fail "the second round started a tool beside the one left behind"

echo THAWED >"$group/freezer.state"
tries=0
while [ -n "$(cat "$group/cgroup.procs" 2>/dev/null)" ]; do
    [ "$tries" -lt 50 ] || fail "the thawed tool did not end: $(cat "$group/cgroup.procs")"
    sleep 0.1
    tries=$((tries + 1))
done
round '# no hang'
[ "$labels" = 'usable pass' ] || fail "once the tool was gone: $labels"
echo "left behind: a tool that KILL did not end was given up on within the bound, no tool ran beside it, and the round after it ended was as usual"
