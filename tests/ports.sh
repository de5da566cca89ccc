# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced by the checks that start servers on 127.0.0.1 (Slurm,
# node_exporter). free_port prints a TCP port, at random from 20000 to 59999,
# that no socket of this machine uses now, as /proc/net/tcp and tcp6 show
# them: nothing more than the kernel's own tables is needed, so it works in
# a bare build root too. Ports it printed before in this shell are skipped.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    [[ " ${given_ports:-} " != *" $port "* ]] || continue
    grep -qF "$(printf ':%04X ' "$port")" /proc/net/tcp /proc/net/tcp6 2>/dev/null && continue
    given_ports="${given_ports:-} $port"
    echo "$port"
    return
  done
}
