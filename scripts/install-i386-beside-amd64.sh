#!/usr/bin/env bash
# Installs 32-bit packages (PACKAGE:i386 ...) when apt-get's own attempt failed, for the two ways
# seen to break it on a machine whose 64-bit libraries are already installed:
#   - a mirror in the middle of a sync serves a suite's i386 index at another size than its
#     signed InRelease gives, so apt drops it and the security updates have no i386 side. The
#     same archive also serves that suite under its alias name (oldstable-security for
#     bookworm-security), often from another sync: that index is read instead, for i386 only.
#     Its InRelease is signed by the same key; it may have expired, which is harmless here,
#     since it adds versions beside the ones apt already trusts and never replaces them.
#   - a library that both architectures need must be at one version in both, and apt's
#     resolver gives up when the amd64 side's candidate has no i386 build. Each such library
#     is asked for at the highest version both have, never below the installed one.
# Usage: install-i386-beside-amd64.sh UPDATE_LOG PACKAGE:i386...
# UPDATE_LOG holds what apt-get update printed, to find the indexes it failed.
set -euo pipefail
update_log=$1
shift
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
lists=/var/lib/apt/lists
alias_sources=/etc/apt/sources.list.d/txscreen-i386-alias.sources

# "Failed to fetch URI/dists/SUITE/COMPONENT/binary-i386/Packages.xz" names each dropped index.
add_alias_sources() {
  local uri suite component list suite_alias added=0
  while read -r uri suite component; do
    list="$lists/$(printf '%s' "${uri#*://}" | tr / _)_dists_${suite}_InRelease"
    suite_alias=$(awk '/^Suite:/ { print $2; exit }' "$list" 2>/dev/null || true)
    [ -n "$suite_alias" ] && [ "$suite_alias" != "$suite" ] || continue
    echo "reading $uri $suite's i386 index under its alias $suite_alias"
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: %s\nArchitectures: i386\n%s\n%s\n\n' \
      "$uri" "$suite_alias" "$component" 'Check-Valid-Until: no' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
      "${as_root[@]}" tee -a "$alias_sources" >/dev/null
    added=1
  done < <(sed -nE 's#.*Failed to fetch ([a-z]+://[^ ]+)/dists/([^/ ]+)/([^/ ]+)/binary-i386/Packages.*#\1 \2 \3#p' \
             "$update_log" | sort -u)
  [ "$added" -eq 0 ] || "${as_root[@]}" apt-get update || true
}

versions_of() {
  apt-cache madison "$1" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | sort -u
}

# For each library of the packages' dependencies that is installed for amd64 and must match its
# i386 twin: PACKAGE:i386=VERSION, and PACKAGE:amd64=VERSION when that is an upgrade.
version_requests() {
  local package base installed version best multi_arch
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
      --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[^ ].*:i386$' | sort -u |
  while read -r package; do
    base=${package%:i386}
    installed=$(dpkg-query -W -f='${Version}' "$base:amd64" 2>/dev/null || true)
    [ -n "$installed" ] || continue
    best=
    for version in $(comm -12 <(versions_of "$base:amd64") <(versions_of "$package")); do
      dpkg --compare-versions "$version" ge "$installed" || continue
      if [ -z "$best" ] || dpkg --compare-versions "$version" gt "$best"; then best=$version; fi
    done
    [ -n "$best" ] || continue
    multi_arch=$(apt-cache show "$package=$best" 2>/dev/null | awk '/^Multi-Arch:/ { print $2; exit }')
    [ "$multi_arch" = same ] || continue
    echo "$package=$best"
    [ "$best" = "$installed" ] || echo "$base:amd64=$best"
  done
}

"${as_root[@]}" rm -f "$alias_sources"
add_alias_sources
mapfile -t requests < <(version_requests "$@")
echo "asking for ${#requests[@]} libraries at the version both architectures have"
status=0
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "$@" "${requests[@]}" || status=$?
# The alias was only for this install; the next apt-get update forgets its index.
[ ! -e "$alias_sources" ] || "${as_root[@]}" rm -f "$alias_sources"
exit "$status"
