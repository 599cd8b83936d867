#!/usr/bin/env bash
# Installs 32-bit packages (PACKAGE:i386 ...) when apt-get's own attempt failed, for the two ways
# seen to break it on a machine whose 64-bit libraries are already installed:
#   - a mirror in the middle of a sync serves a suite's i386 index at another size than its
#     signed InRelease gives, so apt drops it and the security updates have no i386 side. The
#     same archive also serves that suite under its alias name (oldstable-security for
#     bookworm-security), often from another sync: that index is read instead, for i386 only.
#     Its InRelease is signed by the same key; it may have expired, which is harmless here,
#     since it adds versions beside the ones apt already trusts and never replaces them.
#   - a library that both architectures need (Multi-Arch: same) must be at one version in both,
#     and apt's resolver gives up when the amd64 side's candidate has no i386 build. Every such
#     library of the packages' dependencies, installed or not, is pinned for this install to the
#     highest version that both architectures have in the indexes apt read, all of them signed.
#     An installed amd64 version above that has no i386 twin: it is named, and nothing is
#     installed, since matching it would take a downgrade.
# Usage: install-i386-beside-amd64.sh UPDATE_LOG APT_LOG PACKAGE:i386...
# UPDATE_LOG holds what apt-get update printed, to find the indexes it failed; apt-get's own output
# is appended to APT_LOG. Progress goes to standard error; when the packages cannot be installed,
# the reason is the one line on standard output, and the status is 1.
set -euo pipefail
update_log=$1
apt_log=$2
shift 2
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
lists=/var/lib/apt/lists
alias_sources=/etc/apt/sources.list.d/txscreen-i386-alias.sources
pins=/etc/apt/preferences.d/txscreen-i386-twins

say() { echo "$@" >&2; }
cleanup() { "${as_root[@]}" rm -f "$alias_sources" "$pins"; }
trap cleanup EXIT
cleanup

# "Failed to fetch URI/dists/SUITE/COMPONENT/binary-i386/Packages.xz" names each dropped index.
add_alias_sources() {
  local uri suite component list suite_alias added=0
  while read -r uri suite component; do
    list="$lists/$(printf '%s' "${uri#*://}" | tr / _)_dists_${suite}_InRelease"
    suite_alias=$(awk '/^Suite:/ { print $2; exit }' "$list" 2>/dev/null || true)
    [ -n "$suite_alias" ] && [ "$suite_alias" != "$suite" ] || continue
    say "reading $uri $suite's i386 index under its alias $suite_alias"
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: %s\nArchitectures: i386\n%s\n%s\n\n' \
      "$uri" "$suite_alias" "$component" 'Check-Valid-Until: no' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
      "${as_root[@]}" tee -a "$alias_sources" >/dev/null
    added=1
  done < <(sed -nE 's#.*Failed to fetch ([a-z]+://[^ ]+)/dists/([^/ ]+)/([^/ ]+)/binary-i386/Packages.*#\1 \2 \3#p' \
             "$update_log" | sort -u)
  [ "$added" -eq 0 ] || "${as_root[@]}" apt-get update >>"$apt_log" 2>&1 || true
}

# The i386 packages the requested ones need, whose Multi-Arch is "same": each must match its amd64
# twin's version.
twins() {
  local closure
  mapfile -t closure < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[^ ].*:i386$' | sort -u)
  [ ${#closure[@]} -gt 0 ] || return 0
  apt-cache show "${closure[@]}" 2>/dev/null |
    awk '/^Package:/ { name = $2 } /^Multi-Arch: same/ { print name }' | sort -u
}

# "NAME ARCH VERSION" for every version of the twins that an index offers, in one look-up.
offered_versions() {
  local queries=() name
  for name in "$@"; do queries+=("$name:i386" "$name:amd64"); done
  apt-cache madison "${queries[@]}" 2>/dev/null | awk -F'|' '{
    name = $1; gsub(/ /, "", name); sub(/:.*/, "", name)
    version = $2; gsub(/ /, "", version)
    n = split($3, where, " "); print name, where[n - 1], version }' | sort -u
}

# The highest of the versions on standard input, in Debian's order.
highest() {
  local version best=
  while read -r version; do
    if [ -z "$best" ] || dpkg --compare-versions "$version" gt "$best"; then best=$version; fi
  done
  echo "$best"
}

# Writes a pin for each twin at the highest version both architectures offer; names each twin
# whose installed amd64 version is above that, and then gives false.
pin_twins() {
  local name best installed offered problems=() pinned=0
  offered=$(mktemp)
  offered_versions "$@" >"$offered"
  : | "${as_root[@]}" tee "$pins" >/dev/null
  for name in "$@"; do
    best=$(comm -12 <(awk -v n="$name" '$1 == n && $2 == "i386" { print $3 }' "$offered" | sort -u) \
                    <(awk -v n="$name" '$1 == n && $2 == "amd64" { print $3 }' "$offered" | sort -u) |
           highest)
    installed=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null || true)
    # A pair already installed at one version stays as it is.
    [ -z "$installed" ] || [ "$(dpkg-query -W -f='${Version}' "$name:i386" 2>/dev/null || true)" != "$installed" ] ||
      continue
    if [ -n "$installed" ] && { [ -z "$best" ] || dpkg --compare-versions "$installed" gt "$best"; }; then
      problems+=("$name:amd64 $installed has no i386 twin in any signed index${best:+ (i386 goes up to $best)}")
      continue
    fi
    [ -n "$best" ] || continue
    printf 'Package: %s:i386 %s:amd64\nPin: version %s\nPin-Priority: 1001\n\n' "$name" "$name" "$best" |
      "${as_root[@]}" tee -a "$pins" >/dev/null
    pinned=$((pinned + 1))
  done
  rm -f "$offered"
  say "pinned $pinned libraries to the version both architectures have"
  if [ ${#problems[@]} -gt 0 ]; then
    printf '%s\n' "${problems[@]}" | sed 's/^/  /' >&2
    echo "${problems[0]}$([ ${#problems[@]} -eq 1 ] || echo " (and $((${#problems[@]} - 1)) more)")"
    return 1
  fi
}

add_alias_sources
mapfile -t same < <(twins "$@")
[ ${#same[@]} -eq 0 ] || pin_twins "${same[@]}" || exit 1
if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "$@" >>"$apt_log" 2>&1; then
  echo "apt-get could not install $* even with every library's version matched on both" \
       "architectures: $(grep -E '^E: ' "$apt_log" | tail -n 1)"
  exit 1
fi
