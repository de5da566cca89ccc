# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced: reads this machine's Debian release from /etc/os-release and sources
# its table beside this file (<codename>.sh: debian_release, clang_version,
# oclgrind, clover, pocl_without_ld, rusticl_arm64_unpacked,
# rusticl_arm64_depends). On a release
# without a table it stops with one line naming the releases it knows.
debian_tables=$(dirname "${BASH_SOURCE[0]}")
# shellcheck disable=SC1091 # this machine's own file
debian_codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [[ -z $debian_codename || ! -f $debian_tables/$debian_codename.sh ]]; then
  known=$(for table in "$debian_tables"/*.sh; do
    [[ $table == */release.sh ]] && continue
    echo "$(sed -n 's/^debian_release="\(.*\)"$/\1/p' "$table") ($(basename "$table" .sh))"
  done | sort -V | paste -sd, | sed 's/,/, /g')
  # shellcheck disable=SC1091
  echo "$(basename "$0"): this is $(. /etc/os-release && echo "${PRETTY_NAME:-an unknown system}"), and only $known are known" >&2
  exit 1
fi
# shellcheck source=scripts/debian/bookworm.sh
source "$debian_tables/$debian_codename.sh"
