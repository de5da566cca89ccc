#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   windows-msi.sh EXE VERSION OUT.msi
#
# Builds Corvane's Windows Installer package from EXE (a MinGW-w64
# Corvane.exe), with LICENSE, README.md and docs/troubleshooting.md from the
# tree this script sits in:
# per machine, x64, into C:\Program Files\Corvane\, which it appends to the
# system PATH. VERSION is the project() version (three numbers). Run by
# scripts/package.sh, and by tests/windows/msi.sh to make a higher version.
#
# Made on Linux with msitools: wixl compiles packaging/msi/corvane.wxs;
# msibuild then adds the PATH entry (the Environment table and its two
# actions; wixl 0.101, Debian 12's, rejects <Environment>) and rewrites the
# summary information, whose time and package code wixl takes from the clock
# and the random generator. One commit gives the same bytes: the time is
# SOURCE_DATE_EPOCH (default: the last commit's time), the ProductCode a
# name-based UUID of VERSION, the package code one of VERSION and that time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if (($# != 3)); then
  echo "usage: $0 EXE VERSION OUT.msi" >&2
  exit 2
fi
exe=$1 version=$2 out=$3
# Windows Installer compares the first three fields, each with a limit.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 ||
  BASH_REMATCH[3] > 65535)); then
  echo "windows-msi: $version is no Windows Installer version (0-255.0-255.0-65535)" >&2
  exit 2
fi
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
# gcab stores the files' local times in the cabinet.
export TZ=UTC LC_ALL=C
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# uuid5 NAMESPACE NAME: the name-based (SHA-1) UUID of RFC 4122, in capitals
# as Windows Installer wants its codes.
uuid5() {
  local ns=${1//-/} bytes='' hash i
  for ((i = 0; i < 32; i += 2)); do
    bytes+=\\x${ns:i:2}
  done
  hash=$({
    printf '%b' "$bytes"
    printf '%s' "$2"
  } | sha1sum)
  hash=${hash:0:12}5${hash:13:3}$(printf '%x' $((0x${hash:16:1} & 0x3 | 0x8)))${hash:17:15}
  printf '{%s-%s-%s-%s-%s}\n' "${hash:0:8}" "${hash:8:4}" "${hash:12:4}" "${hash:16:4}" "${hash:20:12}" | tr a-f A-F
}
# The namespace of Corvane's installer codes: a random UUID drawn once. It
# must never change, or every version's ProductCode would change with it.
namespace=F1091A56-C464-425A-A89E-3AB2317C71FB
product_code=$(uuid5 $namespace "$version")
# "@" cannot occur in a version, so no package code equals a ProductCode.
package_code=$(uuid5 $namespace "$version@$SOURCE_DATE_EPOCH")

# The files with fixed modes and times: the cabinet keeps each file's time.
mkdir "$tmp/files"
cp "$exe" "$tmp/files/Corvane.exe"
cp "$root/LICENSE" "$root/README.md" "$root/docs/troubleshooting.md" "$tmp/files/"
chmod 0644 "$tmp/files"/*
touch -d "@$SOURCE_DATE_EPOCH" "$tmp/files"/*

msi=$tmp/corvane.msi
# wixl 0.101 takes no absolute Source path: the files are named relative to
# the folder it runs in.
(cd "$tmp/files" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" -o "$msi" \
  "$root/packaging/msi/corvane.wxs")

# PATH: "=" sets it at install, "-" takes the value away at removal, "*" makes
# it the system's variable; "[~];" appends the value to what is there. wixl
# 0.106 (Debian 13) writes an empty Environment table into every package;
# 0.101 writes none.
if ! msiinfo tables "$msi" | grep -x Environment >/dev/null; then
  # shellcheck disable=SC2016 # SQL's own quotes
  msibuild "$msi" -q 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)'
fi
msibuild "$msi" \
  -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Corvane')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"

# The summary information, every property written here: importing this table
# is the one way msitools 0.101 offers to set the two times (msibuild -s sets
# the package code but leaves them at the clock's).
date=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y/%m/%d %H:%M:%S')
mkdir "$tmp/summary"
printf '%s\r\n' $'PropertyId\tValue' $'i2\tl255' $'_SummaryInformation\tPropertyId' \
  $'1\t1252' $'2\tInstallation Database' $'3\tCorvane '"$version" $'4\tCorvane project' $'5\tInstaller' \
  $'6\tLists OpenCL platforms and devices and runs a self-test kernel.' $'7\tx64;1033' $'9\t'"$package_code" \
  $'12\t'"$date" $'13\t'"$date" $'14\t500' $'15\t2' $'18\tmsitools' $'19\t2' >"$tmp/summary/_SummaryInformation.idt"
(cd "$tmp/summary" && msibuild "$msi" -i _SummaryInformation.idt)

mv "$msi" "$out"
