# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced: where this machine's apt gets Debian from, read from apt's own
# configuration at run time (whatever sources.list or deb822 .sources names),
# so that no mirror's address is written down anywhere in the tree. Used by
# scripts/buildroot.sh and packaging/oci-image.sh.

# debian_archive [SUFFIX]: the URI, without a trailing slash, of the
# repository that serves this machine's own release with SUFFIX appended to
# its codename: "" the release itself, "-updates", "-security". Prints one
# line on standard error and returns 1 when apt has none (its lists not yet
# fetched, or no such suite configured).
debian_archive() {
  local own uri
  # shellcheck disable=SC1091 # this machine's own file
  own=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # shellcheck disable=SC2016 # apt's own format, not the shell's
  uri=$(apt-get indextargets --format '$(REPO_URI)' "Codename: $own${1:-}" "Identifier: Packages" 2>/dev/null |
    sort -u | head -n 1)
  if [[ -z $uri ]]; then
    echo "$(basename "$0"): apt has no repository for '$own${1:-}' (run apt-get update first)" >&2
    return 1
  fi
  echo "${uri%/}"
}
