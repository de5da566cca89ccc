#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   health.sh PROGRAM TOOL FAKE_VENDORS
#
# corvane-slurm-health (PROGRAM under that name) against a real Slurm: the
# release's slurmctld and slurmd with munge, started here on 127.0.0.1 with a
# configuration, ports, spool, state and munge socket of their own under a
# temporary folder, one node, cgroups unused (proctrack/linuxproc,
# task/none). The tool is TOOL on the real loader, the scripted driver its
# one vendor (FAKE_VENDORS is its vendor folder).
#
# First a table of runs made as slurmd makes them (an environment holding
# only SLURMD_NODENAME, and SLURM_CONF to find this cluster), each from a
# node state the row sets or the row before it left, checking what the
# program printed, its status, how long it took, and the node's state and
# reason after it. Then slurmd's own periodic run (HealthCheckInterval, set
# through `scontrol reconfigure`) through a one-line wrapper: it drains the
# node, and resumes it once OpenCL works again.
#
# Needs root (slurmd and munged run as root here). Exits 77 (skipped) saying
# what is missing, unless CI is set: there everything must be present.
# shellcheck disable=SC2034 # the table names the scenario_ variables it reads
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tool=$2 fake_vendors=$3

fail() {
  echo "FAIL: slurm: $*" >&2
  exit 1
}
# shellcheck source=tests/missing.sh
source "$here/../missing.sh"
# shellcheck source=tests/ports.sh
source "$here/../ports.sh"

((EUID == 0)) || missing "not root: slurmd and munged run as root here"
for daemon in slurmctld:slurmctld slurmd:slurmd munged:munge scontrol:slurm-client; do
  command -v "${daemon%%:*}" >/dev/null || missing "no ${daemon%%:*} (Debian package ${daemon#*:})"
done

tmp=$(mktemp -d)
daemons=()
cleanup() {
  local pid tries
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || :; done
  for pid in "${daemons[@]}"; do
    for ((tries = 0; tries < 100; tries++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || :
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/bin" "$tmp/spool" "$tmp/state" "$tmp/log" "$tmp/no-vendors"
ln -s "$program" "$tmp/bin/corvane-slurm-health"
health=$tmp/bin/corvane-slurm-health
node=corvane
export SLURM_CONF=$tmp/slurm.conf

# --- munge and Slurm, on this host only.
dd if=/dev/urandom of="$tmp/munge.key" bs=1024 count=1 status=none
chmod 0400 "$tmp/munge.key"
munged -F -f --socket="$tmp/munge.socket" --key-file="$tmp/munge.key" --pid-file="$tmp/munged.pid" \
  --seed-file="$tmp/munged.seed" --log-file="$tmp/log/munged.log" >"$tmp/log/munged.out" 2>&1 &
daemons+=($!)

version=$(slurmd -V | awk '{ print $2 }')
host=$(hostname -s)
write_conf() { # $1 HealthCheckInterval
  cat >"$SLURM_CONF" <<EOF
ClusterName=corvane
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
AuthInfo=socket=$tmp/munge.socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/builtin
SelectType=select/linear
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
JobAcctGatherType=jobacct_gather/none
ReturnToService=2
HealthCheckProgram=$tmp/bin/periodic
HealthCheckInterval=$1
NodeName=$node NodeHostname=$host NodeAddr=127.0.0.1 CPUs=1 State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
}
# (Not $(free_port): it must remember the ports it gave.)
free_port >"$tmp/port"
ctld_port=$(cat "$tmp/port")
free_port >"$tmp/port"
slurmd_port=$(cat "$tmp/port")
write_conf 0
# slurmd sets up cgroups whatever the plugins say; from 24.05 that can be
# turned off, and before, a host with cgroup v2 only would need systemd.
case $version in
22.* | 23.*) echo 'IgnoreSystemd=yes' >"$tmp/cgroup.conf" ;;
*) echo 'CgroupPlugin=disabled' >"$tmp/cgroup.conf" ;;
esac
slurmctld -D -i >"$tmp/log/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D -N "$node" >"$tmp/log/slurmd.out" 2>&1 &
daemons+=($!)

# node_state: "FLAGS|REASON" as scontrol shows them (State=IDLE+DRAIN and the
# reason without its [user@time]; empty when there is none).
node_state() {
  scontrol show node "$node" 2>&1 | awk '
    sub(/^ *State=/, "") { sub(/ .*/, ""); flags = $0 }
    sub(/^ *Reason=/, "") { sub(/ \[[^]]*\]$/, ""); reason = $0 }
    END { print flags "|" reason }'
}
# in_state FLAGS REASON: whether the node's flags and its reason match these
# extended regular expressions, whole.
in_state() {
  local now
  now=$(node_state)
  [[ ${now%%|*} =~ ^($1)$ && ${now#*|} =~ ^($2)$ ]]
}
# wait_for FLAGS REASON WHAT: polls the node state until in_state, for at
# most 30 s.
wait_for() {
  local tries
  for ((tries = 0; tries < 300; tries++)); do
    in_state "$1" "$2" && return
    sleep 0.1
  done
  echo "--- slurmctld" >&2
  tail -n 20 "$tmp/log/slurmctld.log" "$tmp/log/slurmctld.out" >&2 || :
  echo "--- slurmd" >&2
  tail -n 20 "$tmp/log/slurmd.log" "$tmp/log/slurmd.out" >&2 || :
  fail "$3: the node stayed $(node_state)"
}
start=$SECONDS
wait_for IDLE '.*' "Slurm $version starting on 127.0.0.1"
echo "slurm: Slurm $version up, node $node idle, in $((SECONDS - start)) s"

# --- The table.
gpu_and_cpu='platform
device
type 4
opencl_c OpenCL C 3.0
compiler 1
device
type 2
opencl_c OpenCL C 1.2
compiler 1'
scenario_gpu=$gpu_and_cpu
scenario_none=''
scenario_busy="$gpu_and_cpu
fail clCreateContext -2"
scenario_hang="$gpu_and_cpu
hang clGetDeviceIDs"
scenario_helper="$gpu_and_cpu
hang clBuildProgram ignore_term escape"

# Each row: name | scenario (none: an empty vendor folder) | options | the
# node before (idle: resumed and back in service; maintenance: drained by an
# administrator; resume: that drain just lifted; -: as the row before left
# it) | what the program prints after "corvane-slurm-health: corvane: " | the
# node's flags after | its reason after (both extended regular expressions,
# matched whole). A node back in service keeps its old reason in Slurm 24.11,
# and loses it in 22.05: where the node is in service, any reason goes.
rows='passing|gpu|-|idle|healthy|IDLE|.*
no_platform|none|-|idle|drained: corvane: probe no-platform|IDLE\+DRAIN|corvane: probe no-platform
recovered|gpu|-|-|healthy; resumed (was: corvane: probe no-platform)|IDLE(\+NOT_RESPONDING)?|.*
failing_under_an_administrators_drain|none|-|maintenance|corvane: probe no-platform; not drained, the node keeps its reason: maintenance|IDLE\+DRAIN|maintenance
passing_under_an_administrators_drain|gpu|-|-|healthy; not resumed, the node keeps its reason: maintenance|IDLE\+DRAIN|maintenance
failing_after_the_administrators_resume|none|-|resume|drained: corvane: probe no-platform|IDLE\+DRAIN|corvane: probe no-platform
busy_gpu|busy|-|idle|self-test busy: a job holds the device; the node is left as it is|IDLE|.*
fewer_gpus_than_required|gpu|--require-gpus 2|idle|drained: corvane: gpus 1 < 2|IDLE\+DRAIN|corvane: gpus 1 < 2
hang_replaces_its_own_reason|hang|--timeout 1|-|drained: corvane: probe timeout|IDLE\+DRAIN|corvane: probe timeout
hang_with_helper_holding_output|helper|--timeout 1|idle|drained: corvane: self-test timeout|IDLE\+DRAIN|corvane: self-test timeout'
while IFS='|' read -r name scenario options before out flags reason; do
  case $before in
  idle)
    in_state IDLE '.*' || scontrol update NodeName="$node" State=RESUME
    wait_for IDLE '.*' "$name: resuming"
    ;;
  maintenance)
    scontrol update NodeName="$node" State=DRAIN Reason=maintenance
    ;;
  resume)
    scontrol update NodeName="$node" State=RESUME
    wait_for IDLE '.*' "$name: resuming"
    ;;
  esac
  vendors=$fake_vendors
  [[ $scenario != none ]] || vendors=$tmp/no-vendors
  declare -n text=scenario_$scenario
  printf '%s\n' "$text" >"$tmp/scenario"
  unset -n text
  args=()
  [[ $options == - ]] || read -ra args <<<"$options"
  limit=10
  [[ ${args[0]:-} != --timeout ]] || limit=${args[1]}
  begin=$(date +%s%3N)
  status=0
  env -i SLURMD_NODENAME="$node" SLURM_CONF="$SLURM_CONF" CORVANE="$tool" OCL_ICD_VENDORS="$vendors" \
    CORVANE_FAKE_SCENARIO="$tmp/scenario" CORVANE_FAKE_CALL_LOG="$tmp/calls-$name" \
    "$health" --state-dir "$tmp/run" "${args[@]}" >"$tmp/out" 2>"$tmp/err" || status=$?
  took=$(($(date +%s%3N) - begin))
  [[ $(cat "$tmp/out") == "corvane-slurm-health: $node: $out" ]] ||
    fail "$name: printed: $(cat "$tmp/out" "$tmp/err")"
  [[ ! -s $tmp/err ]] || fail "$name: standard error: $(cat "$tmp/err")"
  ((status == 0)) || fail "$name: exit status $status"
  # Each of the two runs within its limit and the 5 s kill grace, and a
  # second for scontrol.
  ((took <= (2 * (limit + 5) + 1) * 1000)) || fail "$name: took $took ms with a limit of $limit s"
  # Slurm 24.11 keeps a resumed node's reason until its slurmd registers
  # again, a moment later.
  wait_for "$flags" "$reason" "$name: not $flags|$reason"
  echo "slurm: $name: $out, in $took ms"
done <<<"$rows"
# The helper kept the self-test's output open: it must have been there when
# the program returned, and goes now.
helper=$(sed -n 's/^escape //p' "$tmp/calls-hang_with_helper_holding_output")
if [[ -z $helper ]] || ! kill -0 "$helper" 2>/dev/null; then
  fail "hang_with_helper_holding_output: no live helper ($helper)"
fi
kill "$helper"

# --- slurmd's own runs, every 2 s, through a site's one-line wrapper (here
# with the test's environment, as a site would give its options).
cat >"$tmp/bin/periodic" <<EOF
#!/bin/sh
SLURM_CONF='$SLURM_CONF' CORVANE='$tool' OCL_ICD_VENDORS='$fake_vendors' CORVANE_FAKE_SCENARIO='$tmp/periodic.scenario' exec '$health' --state-dir '$tmp/run'
EOF
chmod 0755 "$tmp/bin/periodic"
scontrol update NodeName="$node" State=RESUME
wait_for IDLE '.*' "periodic: resuming"
: >"$tmp/periodic.scenario"
write_conf 2
scontrol reconfigure
start=$SECONDS
wait_for 'IDLE\+DRAIN' 'corvane: probe no-platform' "slurmd's periodic run with no platform"
drained=$((SECONDS - start))
printf '%s\n' "$gpu_and_cpu" >"$tmp/periodic.scenario"
wait_for IDLE '.*' "slurmd's periodic run on a working driver"
echo "slurm: slurmd's own runs drained the node in $drained s and resumed it $((SECONDS - start - drained)) s later"
