#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
#
#   node_labels.sh LABELS_PROGRAM TOOL FAKE_VENDORS [PROMTOOL]
#
# corvane-node-labels run as a process under dash against the real tool and
# the real OpenCL loader, with the scripted driver as the loader's one vendor
# (FAKE_VENDORS is its vendor folder). Each row scripts the driver and states
# the labels the feature file must hold, whole and in order; the expiry line
# is checked apart, against the clock, and every label against Kubernetes'
# label rules. Each row also writes its metrics (--metrics): they must say
# what the labels say, and pass `promtool check metrics` (PROMTOOL; without
# it the lint is skipped, saying so, except under CI). Then the cases that
# are not about OpenCL: the file replaced whole, folders that cannot be
# written, and the repeating mode going on after a failed write.
#
# POSIX sh, so that it runs under dash as the program does.
set -eu

labels_program=$1
tool=$2
fake_vendors=$3
promtool=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/no-vendors"
prefix=feature.node.kubernetes.io/corvane-
expiry=600
failures=0

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}

# The names in a folder, on one line.
names_in() {
    find "$1" -mindepth 1 -maxdepth 1 -printf '%f '
}

# Every label line must meet Kubernetes' rules: a name of at most 63
# characters after the prefix, a value of at most 63, both of [A-Za-z0-9._-]
# and alphanumeric at both ends.
check_label_rules() { # $1 row name, $2 feature file
    tail -n +3 "$2" | while IFS= read -r line; do
        name=${line%%=*}
        value=${line#*=}
        name=${name#feature.node.kubernetes.io/}
        for part in "$name" "$value"; do
            if [ "${#part}" -gt 63 ] ||
                ! printf '%s\n' "$part" | grep -Eqx '[A-Za-z0-9]([A-Za-z0-9._-]*[A-Za-z0-9])?'; then
                printf 'FAIL: %s: not a valid label: %s\n' "$1" "$line" >&2
                exit 1
            fi
        done
    done || failures=$((failures + 1))
}

# The expiry line: RFC 3339 in UTC, --expiry seconds after a time within the run.
check_expiry() { # $1 row name, $2 feature file, $3 start, $4 end (seconds)
    line=$(sed -n 2p "$2")
    stamp=${line#"# +expiry-time="}
    if ! printf '%s\n' "$line" | grep -Eqx '# \+expiry-time=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z'; then
        fail "$1: expiry line: $line"
        return
    fi
    at=$(date -u -d "$stamp" +%s)
    if [ "$at" -lt $(($3 + expiry)) ] || [ "$at" -gt $(($4 + expiry)) ]; then
        fail "$1: expiry $stamp is not $expiry s after the run ($3..$4)"
    fi
}

# The metrics must say what the labels say (the verdicts as their state sets
# and success gauges, the usable devices and GPUs, the OpenCL C version),
# carry a kernel time exactly when the self-test passed and a timestamp
# within the run, and pass promtool's lint.
check_metrics() { # $1 row name, $2 metrics file, $3 labels file, $4 start, $5 end (seconds)
    if ! awk -v start="$4" -v end="$5" '
        FNR == NR { sub(/^feature\.node\.kubernetes\.io\/corvane-/, ""); split($0, kv, "="); want[kv[1]] = kv[2]; next }
        /^#/ { next }
        { value[$1] = $2 }
        $2 == 1 && $1 ~ /_verdict\{/ { ones[$1 ~ /^corvane_probe_/ ? "probe" : "self-test"]++ }
        END {
            bad = ""
            if (value["corvane_probe_verdict{verdict=\"" want["probe"] "\"}"] != 1 || ones["probe"] != 1) bad = bad " probe verdict"
            if (value["corvane_self_test_verdict{verdict=\"" want["self-test"] "\"}"] != 1 || ones["self-test"] != 1) bad = bad " self-test verdict"
            if (value["corvane_probe_success"] != (want["probe"] == "usable")) bad = bad " probe success"
            if (value["corvane_self_test_success"] != (want["self-test"] == "pass")) bad = bad " self-test success"
            if (value["corvane_usable_devices"] != want["devices"]) bad = bad " devices"
            if ((value["corvane_usable_gpus"] > 0) != (want["gpu"] == "true")) bad = bad " gpus"
            if (("opencl-c" in want) != (("corvane_opencl_c_info{version=\"" want["opencl-c"] "\"}") in value)) bad = bad " version"
            if (("corvane_self_test_kernel_seconds" in value) != (want["self-test"] == "pass")) bad = bad " kernel time"
            t = value["corvane_last_run_timestamp_seconds"]
            if (t < start || t > end + 1) bad = bad " timestamp"
            if (bad != "") { print "the metrics do not say what the labels say:" bad; exit 1 }
        }' "$3" "$2" >"$work/metrics-check"; then
        fail "$1: $(cat "$work/metrics-check")"
    fi
    if [ -n "$promtool" ] && ! "$promtool" check metrics <"$2" >"$work/lint" 2>&1; then
        fail "$1: promtool check metrics: $(cat "$work/lint")"
    fi
}
if [ -z "$promtool" ]; then
    if [ -n "${CI:-}" ]; then
        fail "no promtool to lint the metrics (CI installs it: scripts/setup-debian.sh test)"
    else
        echo "skipped: the metrics' lint (no promtool: Debian package prometheus, or promtool on Debian 13)" >&2
    fi
fi

# One row: the scenario (or none), a separator line "--", then the labels
# expected, without their prefix. VENDORS is "fake" or "none" (an empty
# vendor folder); $tool_path, when set, is the tool to run instead. The
# driver's calls go to $work/calls-NAME.
table_row() { # $1 name, $2 vendors, $3 --timeout, stdin: scenario -- labels
    name=$1
    cat >"$work/row"
    awk '/^--$/ { exit } { print }' "$work/row" >"$work/scenario"
    dir=$work/out-$name
    mkdir "$dir"
    {
        echo '# Written by corvane-node-labels; NFD drops these labels after the expiry time.'
        awk -v prefix="$prefix" 'seen { print prefix $0 } /^--$/ { seen = 1 }' "$work/row"
    } >"$work/expected"
    if [ "$2" = fake ]; then vendors=$fake_vendors; else vendors=$work/no-vendors; fi
    start=$(date +%s)
    status=0
    OCL_ICD_VENDORS=$vendors CORVANE_FAKE_SCENARIO=$work/scenario CORVANE=${tool_path:-$tool} \
        CORVANE_FAKE_CALL_LOG=$work/calls-$name \
        dash "$labels_program" --dir "$dir" --timeout "$3" --expiry "$expiry" --metrics "$work/$name.prom" \
        >"$work/stdout" 2>"$work/stderr" || status=$?
    end=$(date +%s)
    if [ "$status" -ne 0 ] || [ -s "$work/stdout" ] || [ -s "$work/stderr" ]; then
        fail "$name: status $status, output: $(cat "$work/stdout" "$work/stderr")"
    fi
    # Each run is over within the time limit and the 5 s kill grace, hangs
    # included (a second for the clock's rounding).
    if [ "$((end - start))" -gt $((2 * ($3 + 5) + 1)) ]; then
        fail "$name: took $((end - start)) s with a limit of $3 s"
    fi
    if [ "$(names_in "$dir")" != 'corvane ' ]; then
        fail "$name: the folder holds: $(names_in "$dir")"
        return
    fi
    if ! sed 2d "$dir/corvane" | diff "$work/expected" - >"$work/diff"; then
        fail "$name: feature file differs (- expected, + written): $(cat "$work/diff")"
    fi
    check_expiry "$name" "$dir/corvane" "$start" "$end"
    check_label_rules "$name" "$dir/corvane"
    check_metrics "$name" "$work/$name.prom" "$work/expected" "$start" "$end"
}

gpu_and_cpu='platform
name Fake
device
type 4
name Fake GPU
opencl_c OpenCL C 3.0
compiler 1
device
type 2
name Fake CPU
opencl_c OpenCL C 1.2
compiler 1'

table_row no_platform none 10 <<'EOF'
--
probe=no-platform
self-test=no-usable-device
gpu=false
devices=0
EOF

table_row platform_without_devices fake 10 <<'EOF'
platform
--
probe=no-usable-device
self-test=no-usable-device
gpu=false
devices=0
EOF

# A GPU below OpenCL C 1.2 and one without a compiler serve nothing.
table_row old_gpus_only fake 10 <<'EOF'
platform
device
type 4
opencl_c OpenCL C 1.1
compiler 1
device
type 4
opencl_c OpenCL C 3.0
compiler 0
--
probe=no-usable-device
self-test=no-usable-device
gpu=false
devices=0
EOF

table_row cpu_only fake 10 <<'EOF'
platform
device
type 2
opencl_c OpenCL C 1.2
compiler 1
--
probe=usable
self-test=pass
gpu=false
opencl-c=1.2
devices=1
EOF

table_row usable_gpu_and_cpu fake 10 <<EOF
$gpu_and_cpu
--
probe=usable
self-test=pass
gpu=true
opencl-c=3.0
devices=2
EOF

# The GPU that cannot serve is neither counted nor a reason for gpu=true; the
# highest version is the usable devices' (2.0), not the old GPU's on a second
# platform.
table_row old_gpu_beside_cpu fake 10 <<'EOF'
platform
device
type 2
opencl_c OpenCL C 2.0
compiler 1
platform
device
type 4
opencl_c OpenCL C 9.9
compiler 0
--
probe=usable
self-test=pass
gpu=false
opencl-c=2.0
devices=1
EOF

table_row build_failure fake 10 <<EOF
$gpu_and_cpu
fail clBuildProgram -11
--
probe=usable
self-test=build-failed
gpu=true
opencl-c=3.0
devices=2
EOF

table_row call_failure fake 10 <<EOF
$gpu_and_cpu
fail clCreateContext -6
--
probe=usable
self-test=call-failed
gpu=true
opencl-c=3.0
devices=2
EOF

table_row wrong_result fake 10 <<EOF
$gpu_and_cpu
wrong 3 0
--
probe=usable
self-test=wrong-result
gpu=true
opencl-c=3.0
devices=2
EOF

# timeout(1) ends both runs with TERM (status 124) after 1 s.
table_row hang_in_listing fake 1 <<EOF
$gpu_and_cpu
hang clGetDeviceIDs
--
probe=timeout
self-test=timeout
gpu=false
devices=0
EOF

# The driver ignores TERM: KILL ends the self-test (status 137) 5 s later.
table_row hang_ignoring_term fake 1 <<EOF
$gpu_and_cpu
hang clBuildProgram ignore_term
--
probe=usable
self-test=timeout
gpu=true
opencl-c=3.0
devices=2
EOF

# SIGABRT (status 134) at once: a crash, not a timeout.
table_row crash_in_listing fake 10 <<EOF
$gpu_and_cpu
crash clGetDeviceIDs
--
probe=crashed
self-test=crashed
gpu=false
devices=0
EOF

# SIGKILL well before the limit gives 137 as a timeout's KILL does; the time
# it took tells them apart.
table_row killed_in_listing fake 10 <<EOF
$gpu_and_cpu
crash clGetDeviceIDs kill
--
probe=crashed
self-test=crashed
gpu=false
devices=0
EOF

table_row crash_in_self_test fake 10 <<EOF
$gpu_and_cpu
crash clEnqueueNDRangeKernel
--
probe=usable
self-test=crashed
gpu=true
opencl-c=3.0
devices=2
EOF

# Driver strings that no label may carry as they are: a version beyond 32
# bits (read as the tool reads it, clamped), newlines and NULs in names and
# versions, white space and a sign where the tool's number reading takes them,
# and a NUL that ends the number (the tool stops there: not usable).
table_row hostile_strings fake 10 <<'EOF'
platform
name Fake\nplatform\0name\xff
vendor \n\n
device
type 4
name GPU\n=\x01\nname
vendor \0
opencl_c OpenCL C 99999999999999999999999.1\nextra line
compiler 1
device
type 2
name \0OpenCL C 5.5
opencl_c \0OpenCL C \n +1.\t0012
compiler 1
device
type 12
opencl_c OpenCL C 1\0.2
compiler 1
device
type 4
opencl_c OpenCL C -7.9
compiler 1
--
probe=usable
self-test=pass
gpu=true
opencl-c=2147483647.1
devices=2
EOF

# A string may hold a line of the report's own form. Here only one reading
# fits (a GPU whose name runs on over a type line), and it is taken.
table_row report_line_in_a_name fake 10 <<'EOF'
platform
device
type 4
name GPU\ndevice[0:0].type=CPU
opencl_c OpenCL C 1.2
compiler 1
--
probe=usable
self-test=pass
gpu=true
opencl-c=1.2
devices=1
EOF

# Here two readings fit: the version runs on over an OpenCL C line of 3.0,
# or it ends before it and the OpenCL C text runs on over the real one. The
# probe's labels then say error rather than choose.
table_row report_with_two_readings fake 10 <<'EOF'
platform
device
type 4
version OpenCL 3.0\ndevice[0:0].opencl_c=OpenCL C 3.0
opencl_c OpenCL C 1.2
compiler 1
--
probe=error
self-test=pass
gpu=false
devices=0
EOF

# A hang whose driver first forked a helper into a session of its own, which
# keeps the tool's output open: the output goes to files, not to a pipe
# that waits for its end, so the round still ends within the bound. The
# helper must have been there when the program returned.
table_row hang_with_helper_holding_output fake 1 <<EOF
$gpu_and_cpu
hang clGetDeviceIDs escape
--
probe=timeout
self-test=timeout
gpu=false
devices=0
EOF
helpers=$(sed -n 's/^escape //p' "$work/calls-hang_with_helper_holding_output")
if [ "$(printf '%s\n' "$helpers" | grep -c .)" -ne 2 ]; then
    fail "hang_with_helper_holding_output: the driver logged helpers '$helpers', not one a run"
fi
for helper in $helpers; do
    kill -0 "$helper" 2>/dev/null || fail "hang_with_helper_holding_output: helper $helper was gone already"
    kill "$helper" 2>/dev/null || :
done

# The tool cannot be started (timeout(1) answers 127).
tool_path=$work/no-such-tool
table_row tool_missing fake 10 <<EOF
$gpu_and_cpu
--
probe=error
self-test=error
gpu=false
devices=0
EOF
tool_path=

# The new file replaces the old one whole (a rename: a second link to the old
# file keeps the old text), and no dot-file is left.
dir=$work/replace
mkdir "$dir"
printf 'old\n' >"$dir/corvane"
ln "$dir/corvane" "$work/old-link"
printf '%s\n' "$gpu_and_cpu" >"$work/scenario"
OCL_ICD_VENDORS=$fake_vendors CORVANE_FAKE_SCENARIO=$work/scenario CORVANE=$tool dash "$labels_program" --dir "$dir"
if [ "$(cat "$work/old-link")" != old ] || ! grep -qx "${prefix}probe=usable" "$dir/corvane"; then
    fail "replace: the old file was written over in place, or not replaced"
fi
if [ "$(names_in "$dir")" != 'corvane ' ]; then
    fail "replace: the folder holds: $(names_in "$dir")"
fi

# Folders the file cannot go into: one line on standard error, a non-zero
# status, nothing left behind. (A read-only folder does not stop root.)
mkdir "$work/target-is-folder" "$work/target-is-folder/corvane"
printf 'x\n' >"$work/a-file"
unwritable="missing:$work/missing file:$work/a-file target-is-folder:$work/target-is-folder"
if [ "$(id -u)" -ne 0 ]; then
    mkdir "$work/read-only"
    chmod 555 "$work/read-only"
    unwritable="$unwritable read-only:$work/read-only"
fi
for case_dir in $unwritable; do
    case_name=${case_dir%%:*}
    target=${case_dir#*:}
    status=0
    OCL_ICD_VENDORS=$work/no-vendors CORVANE=$tool dash "$labels_program" --dir "$target" \
        >"$work/stdout" 2>"$work/stderr" || status=$?
    if [ "$status" -eq 0 ] || [ -s "$work/stdout" ] ||
        [ "$(cat "$work/stderr")" != "corvane-node-labels: cannot write $target/corvane" ]; then
        fail "$case_name: status $status, stdout '$(cat "$work/stdout")', stderr '$(cat "$work/stderr")'"
    fi
    if [ -d "$target" ] && [ -n "$(find "$target" -mindepth 1 -maxdepth 1 -name '.*')" ]; then
        fail "$case_name: a dot-file was left: $(names_in "$target")"
    fi
done

# Repeating: a round that cannot write is reported and the next round still
# runs; once the folder exists the file appears.
dir=$work/later
OCL_ICD_VENDORS=$work/no-vendors CORVANE=$tool dash "$labels_program" --dir "$dir" --interval 1 \
    2>"$work/stderr" &
loop=$!
sleep 2
mkdir "$dir"
tries=0
while ! [ -f "$dir/corvane" ] && [ "$tries" -lt 10 ]; do
    sleep 1
    tries=$((tries + 1))
done
if ! kill -0 "$loop" 2>/dev/null; then
    fail "interval: the loop ended after a failed write"
fi
kill "$loop" 2>/dev/null || :
wait "$loop" 2>/dev/null || :
if ! grep -qx "${prefix}probe=no-platform" "$dir/corvane" 2>/dev/null; then
    fail "interval: no file once the folder existed"
fi
if ! grep -qx "corvane-node-labels: cannot write $dir/corvane" "$work/stderr"; then
    fail "interval: the failed round was not reported: $(cat "$work/stderr")"
fi
if [ "$(grep -c -v -x "corvane-node-labels: cannot write $dir/corvane" "$work/stderr")" -ne 0 ]; then
    fail "interval: unexpected standard error: $(cat "$work/stderr")"
fi

# Arguments that make no sense stop before any run.
for args in '--timeout 0' '--timeout x' '--expiry' '--dir' '--bogus' '--interval 9999999999'; do
    status=0
    # shellcheck disable=SC2086 # the words are the arguments
    dash "$labels_program" $args --dir "$work/args" >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 2 ] || [ -e "$work/args" ]; then
        fail "arguments '$args': status $status"
    fi
done

if [ "$failures" -ne 0 ]; then
    printf '%s failure(s)\n' "$failures" >&2
    exit 1
fi
echo "all node-label cases passed"
