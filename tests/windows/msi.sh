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
# EXE run directly prints; after the uninstall it must not. Prints each step's
# time.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
msi=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
start=$SECONDS

fail() {
  echo "FAIL: msi: $*" >&2
  exit 1
}

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
cp /etc/OpenCL/vendors/pocl.icd "$tmp/vendors/"

cp "$msi" "$tmp/Corvane-$version-win64.msi"
"$root/packaging/windows-msi.sh" "$exe" "$newer" "$tmp/Corvane-$newer-win64.msi"
# The previous release's packaging, documents and time, from its commit (a
# clone with history; a shallow one cannot show this upgrade).
previous=0.1.0 previous_commit=2f6ab56d2ef7114d7176b79407fadc50897ce9a6
mkdir "$tmp/previous"
git -C "$root" archive "$previous_commit" packaging LICENSE README.md | tar -x -C "$tmp/previous" ||
  fail "no commit $previous_commit (release $previous) in $root: a shallow clone?"
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$previous_commit") \
  "$tmp/previous/packaging/windows-msi.sh" "$exe" "$previous" "$tmp/Corvane-$previous-win64.msi"

# Wine's background processes keep the streams they start with; started here
# on /dev/null, they hold no pipe of the checks below open.
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
echo "msi: a fresh 64-bit Wine prefix in $((SECONDS - start)) s"

# in_cwd COMMAND...: runs COMMAND in a folder that holds no Corvane.exe, so
# that cmd can find the tool only through PATH.
in_cwd() {
  (cd "$tmp/cwd" && "$@" </dev/null)
}
product_code() {
  msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductCode" { print $2 }'
}
path_entries() {
  in_cwd wine reg query "$env_key" /v PATH 2>/dev/null | tr -d '\r' |
    sed -n 's/^    PATH    REG_[A-Z_]*SZ    //p' | tr ';' '\n' | sed '/^$/d'
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
  path_entries | sed 's/^/PATH entry: /'
  in_cwd wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk -F '    ' '
    /^HKEY_/ { key = $0; sub(/.*\\/, "", key); keys[key] = 1; next }
    NF >= 4 { value[key, $2] = $4 }
    END {
      for (key in keys) if (value[key, "DisplayName"] == "Corvane")
        printf "entry %s: DisplayName=%s DisplayVersion=%s Publisher=%s NoModify=%s\n", key,
          value[key, "DisplayName"], value[key, "DisplayVersion"], value[key, "Publisher"], value[key, "NoModify"]
    }' | sort
}

# expected VERSION|none: what view must print with VERSION installed, or none.
mapfile -t path_before < <(path_entries)
((${#path_before[@]} > 0)) || fail "no system PATH in the fresh prefix"
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
  echo "entry $(product_code "$tmp/Corvane-$1-win64.msi"): DisplayName=Corvane DisplayVersion=$1" \
    "Publisher=Corvane project NoModify=0x1"
}

# raw: every byte a step could change, for the steps that must change nothing.
raw() {
  if [[ -d $folder ]]; then
    (cd "$folder" && find . -printf '%p %y %i %s %T@ %C@\n' | sort)
  fi
  in_cwd wine reg query "$env_key" /v PATH
  in_cwd wine reg query "$uninstall_key" /s
}

# through_path: the installed tool, found by a new cmd through PATH, against
# the zip's exe run directly: the same standard output bytes and status.
through_path() {
  local run name args direct via
  for run in "Corvane.exe|--help" "corvane|--probe"; do
    IFS='|' read -r name args <<<"$run"
    direct=0 via=0
    OCL_ICD_VENDORS=$tmp/vendors POCL_CACHE_DIR=$tmp/pocl in_cwd wine "$exe" "$args" >"$tmp/direct.out" 2>/dev/null || direct=$?
    OCL_ICD_VENDORS=$tmp/vendors POCL_CACHE_DIR=$tmp/pocl in_cwd wine cmd /c "$name $args" >"$tmp/via.out" 2>"$tmp/via.err" || via=$?
    [[ -s $tmp/direct.out ]] || fail "Corvane.exe $args run directly printed nothing (status $direct)"
    cmp -s "$tmp/direct.out" "$tmp/via.out" ||
      fail "cmd /c \"$name $args\" printed other bytes than the exe run directly: $(head -c 300 "$tmp/via.out" "$tmp/via.err")"
    ((direct == via)) || fail "cmd /c \"$name $args\" exited $via, the exe run directly $direct"
  done
}
# Wine 8's cmd says nothing and exits 0 for a command it cannot find, so only
# the missing usage text shows that the tool is gone.
not_through_path() {
  in_cwd wine cmd /c "Corvane.exe --help" >"$tmp/via.out" 2>/dev/null || true
  [[ ! -s $tmp/via.out ]] || fail "after the uninstall cmd still runs Corvane.exe: $(head -c 300 "$tmp/via.out")"
}

# step NAME OPTION VERSION STATUS STATE: msiexec OPTION the MSI of VERSION
# /qn must exit STATUS and leave STATE: a version installed, none, or
# unchanged.
step() {
  local name=$1 option=$2 file=$tmp/Corvane-$3-win64.msi want=$4 state=$5 status=0 begin=$SECONDS
  [[ $state != unchanged ]] || raw >"$tmp/raw.before"
  in_cwd wine msiexec "$option" "Z:${file//\//\\}" /qn >"$tmp/msiexec.out" 2>&1 || status=$?
  ((status == want)) || fail "$name: msiexec $option $(basename "$file") /qn exited $status, not $want: $(cat "$tmp/msiexec.out")"
  if [[ $state == unchanged ]]; then
    raw >"$tmp/raw.after"
    diff -u "$tmp/raw.before" "$tmp/raw.after" >&2 || fail "$name changed the machine"
  else
    diff -u <(expected "$state") <(view) >&2 || fail "$name: the machine is not as expected with $state installed"
  fi
  echo "msi: $name (msiexec $option $(basename "$file") /qn): status $status as expected, in $((SECONDS - begin)) s"
}

step install /i "$version" 0 "$version"
begin=$SECONDS
through_path
echo "msi: Corvane.exe --help and corvane --probe found through PATH by a new cmd, in $((SECONDS - begin)) s"
step reinstall /i "$version" 0 unchanged
step uninstall /x "$version" 0 none
step "install $previous" /i "$previous" 0 "$previous"
step "upgrade from $previous" /i "$version" 0 "$version"
step upgrade /i "$newer" 0 "$newer"
step downgrade /i "$version" 67 unchanged
step uninstall /x "$newer" 0 none
not_through_path
echo "msi: $(basename "$msi") installs, upgrades, refuses the downgrade and uninstalls as expected, in $((SECONDS - start)) s"
