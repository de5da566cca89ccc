#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Measures corvane against its floor: plain C programs that make exactly the
# OpenCL calls of --probe and --self-test and print one line. Not a test; CI
# does not run it.
#
#   scripts/bench/run.sh [CORVANE_BINARY]      (default: build/corvane)
#
# Driver sets: PoCL alone, the machine's default (PoCL and Mesa), oclgrind
# alone, and none (an empty vendor folder). Per set: wall time (hyperfine
# medians), peak RSS (/usr/bin/time -v, the largest of several runs) and
# instructions (callgrind) of the tool, of a build of this tree that links the
# C++ runtime dynamically (-DCORVANE_STATIC_RUNTIME=OFF, to show what linking it
# in saves), of the floors, of `clinfo -l` and `clinfo`.
# --self-test runs with PoCL's kernel cache warm and cold; a binary without
# --self-test gets those rows marked unavailable. PoCL's cache lives in a
# temporary folder. Results: a table on standard output and in
# build/bench/results.md (BENCH_OUT sets the folder).
#
# Knobs: BENCH_ROUNDS (default 5) rounds of BENCH_RUNS runs of each command
# (default 40; BENCH_COLD_RUNS, default 3, for the cold-cache self-test),
# BENCH_RSS_RUNS (default 5), BENCH_COLD_CALLGRIND=0 to skip the slow
# callgrind runs of a cold-cache self-test.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
binary=$(realpath "${1:-$root/build/corvane}")
out=${BENCH_OUT:-$root/build/bench}
rounds=${BENCH_ROUNDS:-5}
runs=${BENCH_RUNS:-40}
cold_runs=${BENCH_COLD_RUNS:-3}
rss_runs=${BENCH_RSS_RUNS:-5}
cold_callgrind=${BENCH_COLD_CALLGRIND:-1}

[[ -x $binary ]] || { echo "no executable at $binary (build it with scripts/build.sh)" >&2; exit 1; }
"$root/scripts/setup-debian.sh" bench
mkdir -p "$out"
out=$(realpath "$out")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/no-drivers" "$tmp/warm" "$tmp/valgrind-warm"
log=$out/bench.log
: > "$log"
note() { echo "$*" | tee -a "$log" >&2; }

# --- what is measured ---------------------------------------------------------

note "building the floors and a build of this tree with the C++ runtime linked dynamically"
for floor in floor_probe floor_selftest; do
  cc -O2 -Wall -Wextra -Wpedantic -Werror -DCL_TARGET_OPENCL_VERSION=120 \
    "$root/scripts/bench/$floor.c" -o "$out/$floor" -lOpenCL
done
cmake -S "$root" -B "$out/dynamic-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=OFF \
  -DCORVANE_STATIC_RUNTIME=OFF >> "$log"
cmake --build "$out/dynamic-build" --target corvane -j "$(nproc)" >> "$log"
static=$out/corvane-dynamic
cp "$out/dynamic-build/corvane" "$static"
if ! readelf -d "$static" | grep -q 'NEEDED.*libstdc++'; then
  note "the dynamic build does not load libstdc++.so"; exit 1
fi

# Driver sets: name, label, OCL_ICD_VENDORS ("-" leaves it unset).
sets=(pocl default oclgrind none)
declare -A set_label=([pocl]="PoCL" [default]="PoCL+Mesa" [oclgrind]="oclgrind" [none]="no driver")
declare -A set_vendors=([pocl]=/etc/OpenCL/vendors/pocl.icd [default]=- \
  [oclgrind]=/usr/lib/oclgrind/liboclgrind-rt-icd.so [none]=$tmp/no-drivers)

# in_set SET CACHE_DIR COMMAND...: runs COMMAND with the set's drivers.
in_set() {
  local set=$1 cache=$2
  shift 2
  if [[ ${set_vendors[$set]} == - ]]; then
    env -u OCL_ICD_VENDORS POCL_CACHE_DIR="$cache" "$@"
  else
    env OCL_ICD_VENDORS="${set_vendors[$set]}" POCL_CACHE_DIR="$cache" "$@"
  fi
}

# Which binaries have --self-test: it must pass on PoCL.
declare -A selftest_ok
selftest_reason=""
for tool in "$binary" "$static"; do
  status=0
  in_set pocl "$tmp/warm" "$tool" --self-test > "$tmp/st.out" 2> "$tmp/st.err" || status=$?
  if [[ $status == 0 && $(head -n 1 "$tmp/st.out") == self_test=PASS ]]; then
    selftest_ok[$tool]=1
  else
    selftest_ok[$tool]=0
    [[ $tool == "$binary" ]] && selftest_reason="exit status $status: $(head -n 1 "$tmp/st.err" | cut -c 1-120)"
  fi
done
note "self-test in $binary: $([[ ${selftest_ok[$binary]} == 1 ]] && echo available || echo "unavailable ($selftest_reason)")"

# The floors must make the tool's calls: compare the call logs of the
# project's scripted driver, when it is built.
fake_icd=$root/build/tests/libcorvane_fake_icd.so
call_check="not checked (build the tests to get $fake_icd)"
if [[ -f $fake_icd ]]; then
  cat > "$tmp/scenario" <<'EOF'
platform
name first
vendor V
version OpenCL 1.2
device
type 2
name cpu
opencl_c OpenCL C 1.2
compiler 1
device
type 4
name gpu
opencl_c OpenCL C 1.2
compiler 1
max_work_group 32
platform
name second
vendor W
version OpenCL 3.0
device
type 2
name cpu2
opencl_c OpenCL C 3.0
compiler 1
EOF
  call_log() {  # OUTPUT COMMAND...
    local output=$1
    shift
    rm -f "$output"
    OCL_ICD_VENDORS=$fake_icd OCL_ICD_PLATFORM_SORT=none CORVANE_FAKE_SCENARIO=$tmp/scenario \
      CORVANE_FAKE_CALL_LOG=$output "$@" > /dev/null 2>&1 || true
  }
  same_calls() {  # COMMAND_LINE FLOOR: the differences go to the log
    # shellcheck disable=SC2086 # the command line is split into words on purpose
    call_log "$tmp/calls.tool" $1
    call_log "$tmp/calls.floor" "$2"
    diff "$tmp/calls.tool" "$tmp/calls.floor" >> "$log"
  }
  call_check="--probe: $(same_calls "$binary --probe" "$out/floor_probe" && echo identical || echo DIFFERENT)"
  if [[ ${selftest_ok[$binary]} == 1 ]]; then
    call_check+=", --self-test: $(same_calls "$binary --self-test" "$out/floor_selftest" && echo identical ||
      echo DIFFERENT)"
  fi
fi
note "OpenCL calls of tool and floor on the scripted driver: $call_check"

# The tool and the floor must see the same platforms and devices.
for set in "${sets[@]}"; do
  in_set "$set" "$tmp/warm" "$binary" --probe > "$tmp/report" 2> /dev/null || true
  tool_counts="platforms=$(sed -n 's/^platform_count=//p' "$tmp/report") devices=$(
    sed -n 's/^platform\[[0-9]*\]\.device_count=//p' "$tmp/report" | awk '{ n += $1 } END { print n + 0 }')"
  floor_counts=$(in_set "$set" "$tmp/warm" "$out/floor_probe" || true)
  note "${set_label[$set]}: tool $tool_counts, floor $floor_counts"
  [[ $tool_counts == "$floor_counts" ]] || { note "tool and floor disagree on ${set_label[$set]}"; exit 1; }
done

# --- measurements -------------------------------------------------------------

declare -A median rss instructions
rows=()  # "set|group|label", in table order

# row SET GROUP LABEL COMMAND...: registers a row and its command line.
declare -A row_command
row() {
  local key="$1|$2|$3"
  shift 3
  rows+=("$key")
  row_command[$key]="$*"
}

for set in "${sets[@]}"; do
  row "$set" probe "floor_probe" "$out/floor_probe"
  row "$set" probe "corvane --probe" "$binary" --probe
  row "$set" probe "corvane-dynamic --probe" "$static" --probe
  row "$set" probe "clinfo -l" clinfo -l
  row "$set" probe "clinfo" clinfo
  row "$set" probe "floor_probe (again)" "$out/floor_probe"
done
for group in selftest-warm selftest-cold; do
  row pocl "$group" "floor_selftest" "$out/floor_selftest"
  row pocl "$group" "corvane --self-test" "$binary" --self-test
  row pocl "$group" "corvane-dynamic --self-test" "$static" --self-test
done
row oclgrind selftest "floor_selftest" "$out/floor_selftest"
row oclgrind selftest "corvane --self-test" "$binary" --self-test
row oclgrind selftest "corvane-dynamic --self-test" "$static" --self-test

available() {  # KEY: whether the row's command exists in its binary
  local command=${row_command[$1]}
  case $command in
    *--self-test) [[ ${selftest_ok[${command% --self-test}]} == 1 ]] ;;
    *) true ;;
  esac
}

# Rows of one set and group, as hyperfine -n/command pairs.
hyperfine_rows() {
  local key
  for key in "${rows[@]}"; do
    [[ $key == "$1|$2|"* ]] && available "$key" && printf '%s\n%s\n' "${key##*|}" "${row_command[$key]}"
  done
  true
}

# wall SET GROUP CACHE RUNS [PREPARE]: wall time of the group's rows. hyperfine
# runs its commands one after the other, so a drift of the machine's speed
# would favour some; instead it runs in $rounds rounds of RUNS runs each, the
# order of the commands rotated every round, and a row's figure is the median
# of its round medians.
wall() {
  local set=$1 group=$2 cache=$3 per_round=$4 prepare=${5:-}
  local names=() commands=() name command round i n
  while IFS= read -r name && IFS= read -r command; do
    names+=("$name")
    commands+=("$command")
  done < <(hyperfine_rows "$set" "$group")
  n=${#names[@]}
  declare -A medians=()
  note "wall time: ${set_label[$set]} $group"
  for ((round = 0; round < rounds; round++)); do
    local args=(-N -i --style basic --warmup 2 --runs "$per_round" --export-csv "$tmp/wall.csv")
    [[ -n $prepare ]] && args+=(--prepare "$prepare")
    for ((i = 0; i < n; i++)); do
      args+=(-n "${names[(i + round) % n]}" "${commands[(i + round) % n]}")
    done
    in_set "$set" "$cache" hyperfine "${args[@]}" >> "$log" 2>&1
    while IFS=, read -r name _ _ med _; do
      [[ $name == command ]] || medians[$name]+="$med "
    done < "$tmp/wall.csv"
  done
  for name in "${names[@]}"; do
    # shellcheck disable=SC2086 # one argument per round
    median["$set|$group|$name"]=$(median_of ${medians[$name]})
  done
}

median_of() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }

# cache_for GROUP: the PoCL cache folder and, for a cold cache, how to empty it.
cache_for() {
  case $1 in
    selftest-cold) echo "$tmp/cold" ;;
    *) echo "$tmp/warm" ;;
  esac
}

for set in "${sets[@]}"; do
  wall "$set" probe "$tmp/warm" "$runs"
done
wall pocl selftest-warm "$tmp/warm" "$runs"
wall pocl selftest-cold "$tmp/cold" "$cold_runs" "rm -rf $tmp/cold"
wall oclgrind selftest "$tmp/warm" "$runs"

note "peak RSS"
for key in "${rows[@]}"; do
  available "$key" || continue
  IFS='|' read -r set group _ <<< "$key"
  cache=$(cache_for "$group")
  peak=0
  for ((i = 0; i < rss_runs; i++)); do
    [[ $group == selftest-cold ]] && rm -rf "$cache"
    # shellcheck disable=SC2086 # the row's command line is split into words on purpose
    in_set "$set" "$cache" /usr/bin/time -v ${row_command[$key]} > /dev/null 2> "$tmp/time" || true
    kib=$(sed -n 's/^\tMaximum resident set size (kbytes): //p' "$tmp/time")
    ((kib > peak)) && peak=$kib
  done
  rss[$key]=$peak
done

# Instructions: the median of three callgrind runs (one for a cold cache, whose
# compile takes most of a minute under valgrind). Valgrind's CPU is not the
# host's, so PoCL keeps separate cache entries for it: a warm run under
# valgrind uses a cache that a valgrind run has filled.
note "callgrind"
count_instructions() {  # SET CACHE COMMAND...
  local set=$1 cache=$2
  shift 2
  in_set "$set" "$cache" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" > /dev/null 2> "$tmp/cg" || true
  sed -n 's/^==[0-9]*== Collected : //p' "$tmp/cg"
}
in_set pocl "$tmp/valgrind-warm" valgrind --tool=none "$out/floor_selftest" > /dev/null 2>&1 || true
for key in "${rows[@]}"; do
  available "$key" || continue
  IFS='|' read -r set group label <<< "$key"
  [[ $label == *"(again)" || $label == clinfo* ]] && continue
  [[ $group == selftest && $set == oclgrind ]] && continue
  counts=()
  if [[ $group == selftest-cold ]]; then
    [[ $cold_callgrind == 1 ]] || continue
    rm -rf "$tmp/valgrind-cold"
    # shellcheck disable=SC2086
    counts+=("$(count_instructions "$set" "$tmp/valgrind-cold" ${row_command[$key]})")
  else
    for _ in 1 2 3; do
      # shellcheck disable=SC2086
      counts+=("$(count_instructions "$set" "$tmp/valgrind-warm" ${row_command[$key]})")
    done
  fi
  if [[ " ${counts[*]} " == *"  "* ]]; then
    note "callgrind gave no count for ${row_command[$key]} on ${set_label[$set]}"
  else
    instructions[$key]=$(median_of "${counts[@]}")
  fi
done

# --- results ------------------------------------------------------------------

floor_of() {  # KEY: the key of the floor row for that row
  IFS='|' read -r set group _ <<< "$1"
  [[ $group == probe ]] && echo "$set|$group|floor_probe" || echo "$set|$group|floor_selftest"
}
describe() {  # KEY: "drivers, cache, command" for the text
  IFS='|' read -r set group label <<< "$1"
  case $group in
    selftest-warm) echo "${set_label[$set]}, warm cache, $label" ;;
    selftest-cold) echo "${set_label[$set]}, cold cache, $label" ;;
    *) echo "${set_label[$set]}, $label" ;;
  esac
}
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

results=$out/results.md
{
  echo "# corvane against its floor"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(sed -n 's/^model name\t: //p' /proc/cpuinfo | head -n 1)," \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(sed -n 's/^PRETTY_NAME="\(.*\)"$/\1/p' /etc/os-release)."
  echo "Tool: \`$binary\`; --self-test $([[ ${selftest_ok[$binary]} == 1 ]] && echo available || echo "unavailable ($selftest_reason)")."
  echo "OpenCL calls of tool and floor on the scripted driver: $call_check."
  echo
  echo "Wall time: the median of $rounds round medians, each of $runs runs ($cold_runs with a cold cache) after 2"
  echo "warm-up runs, the commands' order rotated every round; peak RSS: the largest of $rss_runs runs; instructions:"
  echo "callgrind's total (median of 3; 1 with a cold cache). \"× floor\" and \"+ floor\" compare with the floor"
  echo "program of the same driver set and cache state."
  echo
  echo "| drivers | cache | command | median ms | × floor | peak RSS KiB | + floor KiB | instructions | + floor |"
  echo "|---|---|---|--:|--:|--:|--:|--:|--:|"
  for key in "${rows[@]}"; do
    IFS='|' read -r set group label <<< "$key"
    case $group in
      selftest-warm) cache=warm ;;
      selftest-cold) cache=cold ;;
      *) cache=- ;;
    esac
    floor=$(floor_of "$key")
    if ! available "$key"; then
      echo "| ${set_label[$set]} | $cache | $label | unavailable | | | | | |"
      continue
    fi
    m=${median[$key]:-}
    fm=${median[$floor]:-}
    r=${rss[$key]:-}
    fr=${rss[$floor]:-}
    n=${instructions[$key]:-}
    fn=${instructions[$floor]:-}
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "${set_label[$set]}" "$cache" "$label" \
      "$([[ -n $m ]] && calc %.1f "$m * 1000")" "$([[ -n $m && -n $fm ]] && calc %.3f "$m / $fm")" \
      "$r" "$([[ -n $r && -n $fr ]] && echo $((r - fr)))" \
      "$([[ -n $n ]] && calc %.3fM "$n / 1e6")" \
      "$([[ -n $n && -n $fn ]] && calc '%.3fM (%.2f%%)' "($n - $fn) / 1e6, 100 * ($n - $fn) / $fn")"
  done
  echo
  echo "## Targets"
  echo
  verdict() { awk "BEGIN { exit !($1) }" && echo reached || echo "NOT reached"; }
  for tool in corvane corvane-dynamic; do
    key="pocl|probe|$tool --probe"
    n=${instructions[$key]:-} fn=${instructions["pocl|probe|floor_probe"]:-}
    if [[ -n $n && -n $fn ]]; then
      d=$((n - fn))
      echo "- $tool --probe on PoCL, instructions over the floor ≤ 0.3M: $(calc %.3fM "$d / 1e6") — $(verdict "$d <= 300000")"
    else
      echo "- $tool --probe on PoCL, instructions over the floor ≤ 0.3M: not measured (callgrind failed)"
    fi
    for group in selftest-warm selftest-cold; do
      key="pocl|$group|$tool --self-test"
      if available "$key" && [[ -n ${instructions[$key]:-} && -n ${instructions["pocl|$group|floor_selftest"]:-} ]]; then
        n=${instructions[$key]} fn=${instructions["pocl|$group|floor_selftest"]}
        echo "- $tool --self-test on PoCL (${group#selftest-} cache), instructions over the floor ≤ 1%:" \
          "$(calc %.3f%% "100 * ($n - $fn) / $fn") — $(verdict "($n - $fn) <= $fn / 100")"
      else
        echo "- $tool --self-test on PoCL (${group#selftest-} cache), instructions over the floor ≤ 1%: not measured" \
          "($(available "$key" && echo "callgrind gave no count" || echo "no --self-test in the binary"))"
      fi
    done
    worst_rss="" worst_ratio=""
    for key in "${rows[@]}"; do
      { [[ ${key##*|} == "$tool "* ]] && available "$key"; } || continue
      floor=$(floor_of "$key")
      d=$((rss[$key] - rss[$floor]))
      [[ -z $worst_rss ]] || ((d > ${worst_rss%% *})) && worst_rss="$(printf %+d "$d") KiB ($(describe "$key"))"
      ratio=$(calc %.3f "${median[$key]} / ${median[$floor]}")
      [[ -z $worst_ratio ]] || awk "BEGIN { exit !($ratio > ${worst_ratio%% *}) }" && worst_ratio="$ratio ($(describe "$key"))"
    done
    echo "- $tool peak RSS ≤ floor + 1024 KiB, worst row: ${worst_rss} — $(verdict "${worst_rss%% *} <= 1024")"
    echo "- $tool wall time ≤ 1.05 × floor, worst row: ${worst_ratio} — $(verdict "${worst_ratio%% *} <= 1.05")"
    ratio=$(calc %.2f "${median["pocl|probe|clinfo"]} / ${median["pocl|probe|$tool --probe"]}")
    echo "- $tool --probe at least 1.4× faster than full clinfo on PoCL: ${ratio}× — $(verdict "$ratio >= 1.4")"
  done
  noise=$(calc %.3f "${median["pocl|probe|floor_probe (again)"]} / ${median["pocl|probe|floor_probe"]}")
  echo
  echo "Measurement noise: the PoCL probe floor run a second time, after the other commands, took ${noise}× its first median."
} > "$results"

cat "$results"
note "written: $results (hyperfine's own output: $log)"
