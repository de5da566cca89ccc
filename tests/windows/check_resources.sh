#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
#   check_resources.sh WINDRES EXE VERSION
#
# Reads Corvane.exe's resources back out of the built file (windres turns a
# PE's resource section into resource-script text) and fails unless the
# version information carries VERSION (MAJOR.MINOR.PATCH) in every version
# field with the fixed names, and the application manifest asks for no
# elevation and names Windows 7, 8, 8.1 and 10/11, each line exactly so.
set -euo pipefail
windres=$1 exe=$2 version=$3
IFS=. read -r major minor patch <<<"$version"

found=$(mktemp)
trap 'rm -f "$found"' EXIT
# An exe without resources gives no lines, and so fails the comparison.
"$windres" -i "$exe" -O rc |
  grep -E 'FILEVERSION|PRODUCTVERSION|VALUE "|assemblyIdentity|requestedExecutionLevel|supportedOS' |
  sed -E 's/^ *"? *//; s/\\n"$//; s/""/"/g' >"$found" || true

diff -u - "$found" <<EXPECTED || { echo "FAIL: $exe: resources differ" >&2; exit 1; }
FILEVERSION $major, $minor, $patch, 0
PRODUCTVERSION $major, $minor, $patch, 0
VALUE "CompanyName", "Corvane project"
VALUE "FileDescription", "Corvane OpenCL compute check"
VALUE "FileVersion", "$version"
VALUE "InternalName", "Corvane"
VALUE "LegalCopyright", "Licensed under the Apache License, Version 2.0"
VALUE "OriginalFilename", "Corvane.exe"
VALUE "ProductName", "Corvane"
VALUE "ProductVersion", "$version"
VALUE "Translation", 0x409, 1200
<assemblyIdentity type="win32" name="Corvane" version="$version.0" processorArchitecture="amd64"/>
<requestedExecutionLevel level="asInvoker" uiAccess="false"/>
<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
EXPECTED
echo "$exe: version $version, asInvoker, Windows 7 to 11"
