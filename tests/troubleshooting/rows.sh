#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   rows.sh GUIDE TOOL ROW [WINE_LAUNCHER]
#
# One row of the troubleshooting guide (docs/troubleshooting.md) shown on the
# real loader and real drivers: the row builds the situation in a vendor
# folder of its own, runs the guide's check command exactly as the guide
# prints it and asserts the line the guide says it shows, asserts the tool's
# status and line, then applies the guide's fix and asserts that the tool says
# yes. Each check command must stand in the guide as a line of its own, so a
# guide that changes a command without its row (or the reverse) fails here.
# The guide's commands name /etc/OpenCL/vendors and `corvane`; here they run
# with the row's folder in their place and TOOL first on PATH as `corvane`.
#
# A row whose driver this Debian release does not package skips (status 77)
# naming what is missing, as the release's table in scripts/debian/ says; on a
# release that packages it, a missing driver fails the row.
#
# Rows: empty_folder missing_library rusticl_unset clover pocl_without_ld
#       windows_registry (reg.exe under Wine: needs WINE_LAUNCHER)
set -euo pipefail
guide=$1
tool=$2
row=$3
wine=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/debian/release.sh
source "$root/scripts/debian/release.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
vendors=$tmp/vendors
mkdir -p "$vendors" "$tmp/bin" "$tmp/pocl-cache"
ln -s "$tool" "$tmp/bin/corvane"
export OCL_ICD_VENDORS=$vendors POCL_CACHE_DIR=$tmp/pocl-cache
unset RUSTICL_ENABLE

fail() {
  echo "FAIL: $row: $*" >&2
  exit 1
}
skip() {
  echo "skipped: $row: $*" >&2
  exit 77
}
# needs FILE PACKAGE: the system's vendor file FILE, which PACKAGE installs.
needs() {
  [[ -f /etc/OpenCL/vendors/$1 ]] || fail "no /etc/OpenCL/vendors/$1 (package $2; scripts/setup-debian.sh test installs it)"
}

# in_guide LINE: the guide holds LINE on a line of its own (indented or not).
in_guide() {
  sed 's/^ *//' "$guide" | grep -Fx -- "$1" >/dev/null || fail "the guide has no line: $1"
}
# check COMMAND: runs the guide's COMMAND (see in_guide) on the row's folder;
# its output and status in $out, $status.
check() {
  in_guide "$1"
  status=0
  out=$(PATH=$tmp/bin:$PATH bash -c "${1//\/etc\/OpenCL\/vendors/$vendors}" 2>&1) || status=$?
}
shows() {
  grep -Eq -- "$1" <<<"$out" || fail "the guide's command did not show /$1/; it printed:"$'\n'"$out"
}
# says ARG STATUS LINE [ENV...]: the tool run with ARG exits STATUS, and LINE
# is on its standard error (the tool's own line, or the driver's).
says() {
  local arg=$1 want=$2 line=$3
  shift 3
  local got=0
  env "$@" "$tool" "$arg" >"$tmp/out" 2>"$tmp/err" || got=$?
  [[ $got == "$want" ]] || fail "$arg exited $got, not $want; standard error:"$'\n'"$(cat "$tmp/err")"
  grep -Fq -- "$line" "$tmp/err" || fail "$arg did not say: $line; standard error:"$'\n'"$(cat "$tmp/err")"
}
# says_yes [ENV...]: the probe finds a usable device and the self-test passes.
says_yes() {
  local arg got
  for arg in --probe --self-test; do
    got=0
    env "$@" "$tool" "$arg" >"$tmp/out" 2>"$tmp/err" || got=$?
    [[ $got == 0 ]] || fail "after the fix $arg exited $got:"$'\n'"$(cat "$tmp/err")"
  done
  [[ $(head -n 1 "$tmp/out") == self_test=PASS ]] || fail "after the fix the self-test did not say self_test=PASS"
}
no_platform='no OpenCL platforms found'
no_device='no usable OpenCL C 1.2 compiler device found'
device_lines="corvane --probe | grep -E '\.(name|version|device_count|opencl_c|compiler)='"

case $row in
empty_folder)
  needs pocl.icd pocl-opencl-icd
  check 'ls -l /etc/OpenCL/vendors/'
  shows '^total 0$'
  says --probe 2 "$no_platform"
  cp /etc/OpenCL/vendors/pocl.icd "$vendors/"
  says_yes
  ;;
missing_library)
  needs pocl.icd pocl-opencl-icd
  echo libcorvane-gone.so.1 >"$vendors/gone.icd"
  says --probe 2 "$no_platform"
  check "LD_DEBUG=libs corvane --probe 2>&1 | grep -E 'find library=|calling init:'"
  shows 'find library=libcorvane-gone\.so\.1 '
  ! grep -q 'calling init:.*libcorvane-gone' <<<"$out" || fail "the linker says it opened libcorvane-gone.so.1"
  rm "$vendors/gone.icd"
  cp /etc/OpenCL/vendors/pocl.icd "$vendors/"
  says_yes
  ;;
rusticl_unset)
  needs rusticl.icd mesa-opencl-icd
  cp /etc/OpenCL/vendors/rusticl.icd "$vendors/"
  check "$device_lines"
  shows '^platform\[0\]\.name=rusticl$'
  shows '^platform\[0\]\.device_count=0$'
  says --probe 3 "$no_device"
  in_guide 'RUSTICL_ENABLE=radeonsi corvane --probe'
  says_yes RUSTICL_ENABLE=llvmpipe
  ;;
clover)
  if [[ -z $clover && ! -f /etc/OpenCL/vendors/mesa.icd ]]; then
    skip "$debian_release's Mesa has no Clover (mesa.icd)"
  fi
  needs mesa.icd mesa-opencl-icd
  needs rusticl.icd mesa-opencl-icd
  cp /etc/OpenCL/vendors/mesa.icd "$vendors/"
  check "$device_lines"
  shows '^platform\[0\]\.name=Clover$'
  shows '^platform\[0\]\.version=OpenCL 1\.1 Mesa '
  # No GPU here: Clover lists no device. On a GPU it serves, its devices say
  # OpenCL C 1.1; either way the answer is no.
  shows '^platform\[0\]\.device_count=0$'
  says --probe 3 "$no_device"
  # The guide's remedy: rusticl in Clover's place.
  rm "$vendors/mesa.icd"
  cp /etc/OpenCL/vendors/rusticl.icd "$vendors/"
  says_yes RUSTICL_ENABLE=llvmpipe
  ;;
pocl_without_ld)
  needs pocl.icd pocl-opencl-icd
  cp /etc/OpenCL/vendors/pocl.icd "$vendors/"
  # A PATH that has the tool and nothing else. What PoCL leaves then differs
  # by release: the status (128 + its signal) is this release's, from its table.
  [[ -n $pocl_without_ld ]] || fail "scripts/debian/$debian_codename.sh gives no pocl_without_ld status"
  status=0
  PATH=$tmp/bin bash -c 'command -v ld' >/dev/null 2>&1 || status=$?
  in_guide 'command -v ld'
  ((status != 0)) || fail "command -v ld found an ld on a PATH without one"
  says --self-test "$pocl_without_ld" 'Final linking of kernel add_one failed' PATH="$tmp/bin"
  grep -Fq 'Executable "ld" doesn'"'"'t exist!' "$tmp/err" || fail "PoCL did not say that ld is missing"
  says_yes PATH=/usr/bin:/bin
  ;;
windows_registry)
  # Wine's builtin opencl.dll hands every call to the Linux loader, so no
  # Windows driver search can be reproduced here. What is shown: each reg
  # command of the guide is one that reg.exe accepts, typed as cmd splits it
  # (blanks part the words, double quotes group them, backslashes stay), and
  # each query reads back what a driver registers there.
  [[ -n $wine ]] || fail "no Wine launcher given"
  reg() {
    "$wine" reg "$@" </dev/null 2>&1 | tr -d '\r'
  }
  # cmd_words LINE: LINE's words as cmd gives them to a program, one a line.
  cmd_words() {
    local rest=$1
    while [[ $rest =~ ^\ *(\"([^\"]*)\"|([^\ ]+))(.*)$ ]]; do
      echo "${BASH_REMATCH[2]}${BASH_REMATCH[3]}"
      rest=${BASH_REMATCH[4]}
    done
  }
  adapters='HKLM\SYSTEM\CurrentControlSet\Control\Class\{4d36e968-e325-11ce-bfc1-08002be10318}'
  components='HKLM\SYSTEM\CurrentControlSet\Control\Class\{5c4c3332-344d-483c-8739-259e934c9cc8}'
  khronos='HKLM\SOFTWARE\Khronos\OpenCL\Vendors'
  wow='HKLM\SOFTWARE\WOW6432Node\Khronos\OpenCL\Vendors'
  # What a graphics driver (under its adapter, or under a Software Components
  # device of it) and a 32-bit driver leave; the guide's own reg add
  # registers the fourth.
  trap 'reg delete "$adapters\\0099" /f >/dev/null || true; reg delete "$components\\0099" /f >/dev/null || true
    reg delete "$khronos" /f >/dev/null || true; reg delete "$wow" /f >/dev/null || true; rm -rf "$tmp"' EXIT
  reg add "$adapters\\0099" /v OpenCLDriverName /t REG_SZ /d 'C:\Windows\System32\corvane_gpu_icd.dll' /f >/dev/null
  reg add "$components\\0099" /v OpenCLDriverName /t REG_SZ /d 'C:\Windows\System32\corvane_swc_icd.dll' /f >/dev/null
  reg add "$wow" /v 'C:\Windows\SysWOW64\corvane_icd32.dll' /t REG_DWORD /d 0 /f >/dev/null
  # The adds first, then the queries, in the guide's order.
  mapfile -t commands < <(sed -n 's/^\(reg add .*\)$/\1/p; ' "$guide"; sed -n 's/^\(reg query .*\)$/\1/p' "$guide")
  expected=('^ +C:\\path\\to\\driver\.dll +REG_DWORD +0x0$'
    '^ +OpenCLDriverName +REG_SZ +C:\\Windows\\System32\\corvane_gpu_icd\.dll$'
    '^ +OpenCLDriverName +REG_SZ +C:\\Windows\\System32\\corvane_swc_icd\.dll$'
    '^ +C:\\path\\to\\driver\.dll +REG_DWORD +0x0$'
    '^ +C:\\Windows\\SysWOW64\\corvane_icd32\.dll +REG_DWORD +0x0$')
  ((${#commands[@]} == ${#expected[@]})) ||
    fail "the guide has ${#commands[@]} reg commands, not ${#expected[@]}:"$'\n'"$(printf '%s\n' "${commands[@]}")"
  for i in "${!commands[@]}"; do
    mapfile -t words < <(cmd_words "${commands[i]}")
    out=$(reg "${words[@]:1}") || fail "reg.exe refused: ${commands[i]}"$'\n'"$out"
    [[ ${commands[i]} == "reg add "* ]] && out=$(reg query "${words[2]}")
    shows "${expected[i]}"
  done
  ;;
*)
  fail "no such row"
  ;;
esac
echo "$row: as the guide says"
