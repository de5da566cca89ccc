#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   msi.sh MSI EXE
#
# Installs MSI (Corvane-<version>-win64.msi) silently under Wine, in a fresh
# 64-bit prefix, and after each step of the table at the end compares the
# machine with exactly what must be there: for a version installed, its files
# (Corvane.exe with EXE's bytes: the zip's exe), the install folder last on the
# system PATH and one Apps & features entry; for none, no folder and PATH as
# before; for unchanged, files, PATH and Uninstall keys byte for byte. Two
# upgrades: from the previous release, 0.1.0, made by that release's own
# scripts from the commit it was made from (one component, three files: the
# guide's component is new since), and to a copy made by
# packaging/windows-msi.sh one patch version higher. The refused downgrade ends
# with 1603, which Wine's msiexec returns as its exit code and a Unix parent
# sees as 67 (modulo 256). After the install, a new cmd must find the tool
# through PATH: "Corvane.exe --help" and "corvane --probe" (on PoCL) print what
# EXE run directly prints; after the uninstall it must not. Every Wine read
# (the PATH, the Apps & features entries, the runs through PATH) must end as
# a read that worked ends: a read that fails stops the check with a FAIL line
# naming the step, with Wine's status and both its streams, so that it never
# passes for an empty answer. Prints each step's time.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
msi=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
start=$SECONDS

fail() {
  echo "FAIL: msi: $*" >&2
  exit 1
}
# The step under way, for the FAIL lines of the reads.
doing='making the prefix'

version=$(basename "$msi" | sed -n 's/^Corvane-\([0-9]*\.[0-9]*\.[0-9]*\)-win64\.msi$/\1/p')
[[ -n $version ]] || fail "$msi is not named Corvane-<version>-win64.msi"
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))

tmp=$(mktemp -d)
export WINEARCH=win64 WINEPREFIX=$tmp/prefix WINEDEBUG=-all
# No menu entries in the home folder, and no offer to install Mono or Gecko.
export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d'
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true; wineserver -w </dev/null >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
folder=$WINEPREFIX/drive_c/Program\ Files/Corvane
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
mkdir -p "$WINEPREFIX" "$tmp/cwd" "$tmp/vendors"
cp /etc/OpenCL/vendors/pocl.icd "$tmp/vendors/" || fail "no PoCL vendor file to run corvane --probe on"

cp "$msi" "$tmp/Corvane-$version-win64.msi"
"$root/packaging/windows-msi.sh" "$exe" "$newer" "$tmp/Corvane-$newer-win64.msi" ||
  fail "packaging/windows-msi.sh could not make the $newer MSI"
# The previous release's packaging, documents and time, from its commit (a
# clone with history; a shallow one cannot show this upgrade).
previous=0.1.0 previous_commit=2f6ab56d2ef7114d7176b79407fadc50897ce9a6
mkdir "$tmp/previous"
git -C "$root" archive "$previous_commit" packaging LICENSE README.md | tar -x -C "$tmp/previous" ||
  fail "no commit $previous_commit (release $previous) in $root: a shallow clone?"
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$previous_commit") \
  "$tmp/previous/packaging/windows-msi.sh" "$exe" "$previous" "$tmp/Corvane-$previous-win64.msi" ||
  fail "release $previous's packaging/windows-msi.sh could not make its MSI"

# Debian 12's 64-bit Wine has no preloader, the program that would reserve
# Windows' fixed addresses before anything else lands there: its loader,
# wine64, is a plain executable at 0x7d000000, and the kernel starts its heap
# at a random place up to 1 GiB above. About one Wine process in 5,000 gets
# its heap over 0x7ffe0000, where Windows' shared user data page must go, and
# exits with status 1 before running anything ("failed to map the shared user
# data: c0000018", shown under WINEDEBUG=err+all): a read comes back empty, a
# cmd runs nothing. This check starts about 100 Wine processes. Without
# address space randomization the heap follows the loader; each Wine process
# inherits that from the one that starts it (tests/README.md).
norandom=(setarch "$(uname -m)" -R)
if ! "${norandom[@]}" true 2>"$tmp/setarch.err"; then
  echo "msi: address space randomization stays on here ($(cat "$tmp/setarch.err")):" \
    "now and then a Wine process will fail to start, and this check with it" >&2
  norandom=()
fi

# Wine's background processes keep the streams they start with; started here
# away from any pipe, they hold no pipe of the checks below open.
wineserver -p </dev/null >/dev/null 2>&1 || fail "$doing: wineserver -p exited $?"
"${norandom[@]}" wineboot -i </dev/null >"$tmp/wineboot.out" 2>&1 ||
  fail "$doing: wineboot -i exited $?: $(cat "$tmp/wineboot.out")"
echo "msi: a fresh 64-bit Wine prefix in $((SECONDS - start)) s"

# in_cwd COMMAND...: runs COMMAND, without address space randomization, in a
# folder that holds no Corvane.exe, so that cmd can find the tool only
# through PATH.
in_cwd() {
  (cd "$tmp/cwd" && "${norandom[@]}" "$@" </dev/null)
}
product_code() {
  msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductCode" { print $2 }'
}
# streams STATUS: the last Wine run's STATUS and both its streams, for a FAIL line.
streams() {
  printf 'status %s\nstandard output:\n%s\nstandard error:\n%s' "$1" "$(tr -d '\r' <"$tmp/wine.out")" \
    "$(tr -d '\r' <"$tmp/wine.err")"
}
# reg_query WHAT KEY OPTION...: reads KEY with Wine's reg.exe into
# $tmp/wine.out. A read that worked exits 0 and, under WINEDEBUG=-all, writes
# nothing to standard error; any other read ends the check, naming the step
# and WHAT was read.
reg_query() {
  local what=$1 status=0
  shift
  in_cwd wine reg query "$@" >"$tmp/wine.out" 2>"$tmp/wine.err" || status=$?
  if ((status != 0)) || [[ -s $tmp/wine.err ]]; then
    fail "$doing: reading $what (reg query $*) failed: $(streams "$status")"
  fi
}
# path_entries: the entries of the PATH that reg_query read, one a line.
path_entries() {
  tr -d '\r' <"$tmp/wine.out" | sed -n 's/^    PATH    REG_[A-Z_]*SZ    //p' | tr ';' '\n' | sed '/^$/d'
}

# view: the machine as the checks read it: the folder's files with their
# SHA-256, the PATH's entries (empty ones left out: Wine's removal of an
# appended entry leaves the separator before it) and every Apps & features
# entry named Corvane.
view() {
  if [[ -d $folder ]]; then
    (cd "$folder" && find . -mindepth 1 -printf '%y %P\n' | sort | while read -r type name; do
      if [[ $type == f ]]; then echo "file $name $(sha256sum <"$name" | cut -c1-64)"; else echo "$type $name"; fi
    done)
  else
    echo "no folder"
  fi
  reg_query "the system PATH" "$env_key" /v PATH
  path_entries | sed 's/^/PATH entry: /'
  reg_query "the Apps & features entries" "$uninstall_key" /s
  tr -d '\r' <"$tmp/wine.out" | awk -F '    ' '
    /^HKEY_/ { key = $0; sub(/.*\\/, "", key); keys[key] = 1; next }
    NF >= 4 { value[key, $2] = $4 }
    END {
      for (key in keys) if (value[key, "DisplayName"] == "Corvane")
        printf "entry %s: DisplayName=%s DisplayVersion=%s Publisher=%s NoModify=%s\n", key,
          value[key, "DisplayName"], value[key, "DisplayVersion"], value[key, "Publisher"], value[key, "NoModify"]
    }' | sort
}

# expected VERSION|none: what view must print with VERSION installed, or none.
reg_query "the system PATH" "$env_key" /v PATH
path_entries >"$tmp/path.before"
mapfile -t path_before <"$tmp/path.before"
((${#path_before[@]} > 0)) || fail "no system PATH in the fresh prefix: $(streams 0)"
declare -A code
for release in "$version" "$previous" "$newer"; do
  code[$release]=$(product_code "$tmp/Corvane-$release-win64.msi") || fail "msiinfo cannot read Corvane-$release-win64.msi"
  [[ -n ${code[$release]} ]] || fail "no ProductCode in Corvane-$release-win64.msi"
done
expected() {
  if [[ $1 == none ]]; then
    echo "no folder"
    printf 'PATH entry: %s\n' "${path_before[@]}"
    return
  fi
  local docs=("$root/LICENSE" "$root/README.md" "$root/docs/troubleshooting.md") file
  [[ $1 != "$previous" ]] || docs=("$tmp/previous/LICENSE" "$tmp/previous/README.md")
  echo "file Corvane.exe $(sha256sum <"$exe" | cut -c1-64)"
  for file in "${docs[@]}"; do
    echo "file $(basename "$file") $(sha256sum <"$file" | cut -c1-64)"
  done
  printf 'PATH entry: %s\n' "${path_before[@]}" "C:\\Program Files\\Corvane\\"
  echo "entry ${code[$1]}: DisplayName=Corvane DisplayVersion=$1" \
    "Publisher=Corvane project NoModify=0x1"
}

# raw: every byte a step could change, for the steps that must change nothing.
raw() {
  if [[ -d $folder ]]; then
    (cd "$folder" && find . -printf '%p %y %i %s %T@ %C@\n' | sort)
  fi
  reg_query "the system PATH" "$env_key" /v PATH
  cat "$tmp/wine.out"
  reg_query "the Apps & features entries" "$uninstall_key" /s
  cat "$tmp/wine.out"
}

# through_path: the installed tool, found by a new cmd through PATH, against
# the zip's exe run directly: the same status and the same bytes on both
# streams. A Wine process that failed to start (status 1, nothing printed)
# matches neither.
through_path() {
  local run name args direct via
  for run in "Corvane.exe|--help" "corvane|--probe"; do
    IFS='|' read -r name args <<<"$run"
    direct=0 via=0
    OCL_ICD_VENDORS=$tmp/vendors POCL_CACHE_DIR=$tmp/pocl in_cwd wine "$exe" "$args" \
      >"$tmp/direct.out" 2>"$tmp/direct.err" || direct=$?
    OCL_ICD_VENDORS=$tmp/vendors POCL_CACHE_DIR=$tmp/pocl in_cwd wine cmd /c "$name $args" \
      >"$tmp/wine.out" 2>"$tmp/wine.err" || via=$?
    [[ -s $tmp/direct.out ]] ||
      fail "$doing: Corvane.exe $args run directly printed nothing (status $direct): $(cat "$tmp/direct.err")"
    if ((direct != via)) || ! cmp -s "$tmp/direct.out" "$tmp/wine.out" || ! cmp -s "$tmp/direct.err" "$tmp/wine.err"; then
      fail "$doing: cmd /c \"$name $args\" through PATH ended unlike the exe run directly (status $direct):" \
        "$(streams "$via")"
    fi
  done
}
# not_through_path: after the uninstall a new cmd must not find the tool. What
# Wine's cmd says of a command it cannot find varies (in a fresh prefix Wine 8
# says "Can't recognize ..." and exits 49; after an install and uninstall it
# says nothing and exits 0), so cmd echoes a line after it: that line alone on
# standard output shows that cmd ran and found nothing to run.
not_through_path() {
  local status=0
  in_cwd wine cmd /c "Corvane.exe --help & echo cmd ran" >"$tmp/wine.out" 2>"$tmp/wine.err" || status=$?
  [[ $(tr -d '\r' <"$tmp/wine.out") == "cmd ran" ]] ||
    fail "$doing: cmd /c \"Corvane.exe --help & echo cmd ran\": $(streams "$status")"
}

# step NAME OPTION VERSION STATUS STATE: msiexec OPTION the MSI of VERSION
# /qn must exit STATUS and leave STATE: a version installed, none, or
# unchanged.
step() {
  local name=$1 option=$2 file=$tmp/Corvane-$3-win64.msi want=$4 state=$5 status=0 begin=$SECONDS
  doing=$name
  if [[ $state == unchanged ]]; then
    raw >"$tmp/raw.before"
  fi
  in_cwd wine msiexec "$option" "Z:${file//\//\\}" /qn >"$tmp/msiexec.out" 2>&1 || status=$?
  ((status == want)) || fail "$name: msiexec $option $(basename "$file") /qn exited $status, not $want: $(cat "$tmp/msiexec.out")"
  if [[ $state == unchanged ]]; then
    raw >"$tmp/raw.after"
    diff -u "$tmp/raw.before" "$tmp/raw.after" >&2 || fail "$name changed the machine"
  else
    expected "$state" >"$tmp/expected"
    view >"$tmp/view"
    diff -u "$tmp/expected" "$tmp/view" >&2 || fail "$name: the machine is not as expected with $state installed"
  fi
  echo "msi: $name (msiexec $option $(basename "$file") /qn): status $status as expected, in $((SECONDS - begin)) s"
}

step install /i "$version" 0 "$version"
begin=$SECONDS
doing='after the install'
through_path
echo "msi: Corvane.exe --help and corvane --probe found through PATH by a new cmd, in $((SECONDS - begin)) s"
step reinstall /i "$version" 0 unchanged
step uninstall /x "$version" 0 none
step "install $previous" /i "$previous" 0 "$previous"
step "upgrade from $previous" /i "$version" 0 "$version"
step upgrade /i "$newer" 0 "$newer"
step downgrade /i "$version" 67 unchanged
step uninstall /x "$newer" 0 none
doing='after the uninstall'
not_through_path
echo "msi: $(basename "$msi") installs, upgrades, refuses the downgrade and uninstalls as expected, in $((SECONDS - start)) s"
