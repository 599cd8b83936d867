#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing. Name the sets
# wanted (several may be given; all of them by default):
#   native    the Linux build, the reference host (Chart.js too, which it builds into its
#             report), the suites' and benchmarks' libraries, and the Python package's build
#             (pybind11, Python headers), and the server's HTTP and JSON libraries
#   python    pandas, Dask's distributed, pytest and jsonschema, for the Python package's tests
#   serve     haproxy and wrk, for the server's tests and benchmarks, and Node.js with the OpenAPI
#             validator (npm, tests/openapi) that the server's description is checked with
#   browser   Chromium with a font, for the report's test in a real browser
#   valgrind  valgrind
#   fuzz      clang with libFuzzer
#   win32     the mingw-w64 i686 cross toolchain, and 32-bit Wine where it can be had
#   win64     the mingw-w64 x86-64 cross toolchain and 64-bit Wine
#   all       every set above
#
# apt-get's own output goes to build/apt.log; the console gets one line per set, and the log's
# end when an install fails. 32-bit Wine is the one package allowed to be missing: when no signed
# index offers it beside what is installed, the reason goes to build/wine32-unavailable, the rest
# is installed, and the Win32 stages of scripts/test.sh say why their suites did not run.
# TXSCREEN_TEST_WINE32_PACKAGES replaces the 32-bit Wine packages, for the tests of that path only.
set -euo pipefail
# Everything this script prints goes to standard error: the main command's standard output is
# the results CSV, even on the first run, when the packages are still missing.
exec 1>&2
cd "$(dirname "$0")/.."

# The linux preset configures the suites and benchmarks too, so the native build needs their
# libraries even when only the host is built.
native=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev libjs-chart.js googletest
        libbenchmark-dev pybind11-dev python3-dev libboost-dev libsimdjson-dev)
python=(python3-pandas python3-distributed python3-pytest python3-jsonschema)
serve=(haproxy wrk)
# A machine with a Node.js of its own keeps it; Debian's would conflict with it.
command -v npm >/dev/null || serve+=(nodejs npm)
browser=(chromium fonts-liberation)
valgrind=(valgrind)
fuzz=(clang libclang-rt-14-dev)
win32=(g++-mingw-w64-i686 wine)
read -r -a wine32 <<<"${TXSCREEN_TEST_WINE32_PACKAGES:-wine32:i386}"
win64=(g++-mingw-w64-x86-64-posix wine wine64)
all_sets=(native python serve browser valgrind fuzz win32 win64)

mkdir -p build
apt_log=build/apt.log
wine32_unavailable=build/wine32-unavailable
: >"$apt_log"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(all)
wanted_sets=()
for set in "${sets[@]}"; do
  case "$set" in
    all) wanted_sets+=("${all_sets[@]}") ;;
    native | python | serve | browser | valgrind | fuzz | win32 | win64) wanted_sets+=("$set") ;;
    *) echo "usage: $0 [${all_sets[*]// /|}|all]..."; exit 2 ;;
  esac
done

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The packages of "$@" that are not installed yet.
missing_of() {
  local package
  for package in "$@"; do
    is_installed "$package" || echo "$package"
  done
}

# apt-get, quiet: its output goes to the log.
apt() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@" >>"$apt_log" 2>&1
}

show_log_end() {
  tail -n 25 "$apt_log" | sed 's/^/  apt: /'
  echo "  (the whole of apt-get's output is in $apt_log)"
}

# An index that a mirror serves broken (a suite's i386 list in the middle of a sync, say) fails
# every try of a day alike. After three failed tries it is remembered with the day, and later
# runs of the same day take one try and say so, rather than sleeping through two more.
failed_indexes=/var/lib/txscreen/failed-indexes
failing_now() {
  sed -nE 's#^(E|W): Failed to fetch ([^ ]+) .*#\2#p' "$1" | sort -u
}
# Whether every index that fails now (listed in the file $1) failed three times earlier today.
remembered_today() {
  [ -s "$1" ] && [ -f "$failed_indexes" ] || return 1
  ! comm -23 "$1" <(awk -v day="$(date +%F)" '$1 == day { print $2 }' "$failed_indexes" | sort -u) |
    grep -q .
}
remember() {
  local today
  today=$(date +%F)
  "${as_root[@]}" mkdir -p "$(dirname "$failed_indexes")"
  awk -v day="$today" '{ print day, $0 }' "$1" | "${as_root[@]}" tee -a "$failed_indexes" >/dev/null
}

update_log=build/apt-update.log
updated=0
update_package_lists() {
  [ "$updated" -eq 0 ] || return 0
  updated=1
  local attempt failing=build/apt-failing-indexes
  for attempt in 1 2 3; do
    "${as_root[@]}" apt-get update >"$update_log" 2>&1 && { cat "$update_log" >>"$apt_log"; return 0; }
    cat "$update_log" >>"$apt_log"
    failing_now "$update_log" >"$failing"
    if remembered_today "$failing"; then
      echo "apt-get update: $(paste -sd' ' "$failing") failed three times earlier today" \
           "($failed_indexes); not trying again, going on with the lists that were read"
      break
    fi
    if [ "$attempt" -eq 3 ]; then
      echo "apt-get update failed three times ($(paste -sd' ' "$failing")); going on with the" \
           "lists that were read, and remembering the index for today's later runs"
      remember "$failing"
      break
    fi
    echo "apt-get update failed (attempt $attempt of 3: $(paste -sd' ' "$failing")); trying again in 15 s"
    sleep 15
  done
}

# Installs `set`'s missing packages, "$2"...; one line for the set, the log's end on failure.
install_set() {
  local set=$1 started=$SECONDS
  shift
  [ $# -gt 0 ] || return 0
  # A new architecture needs its own package lists, even after an update for the others.
  if printf '%s\n' "$@" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
    updated=0
  fi
  update_package_lists
  echo "installing $set: $*"
  apt install -y --no-install-recommends "$@" || return 1
  echo "installed $set in $((SECONDS - started)) s"
}

# The win32 set with 32-bit Wine: in one install, so that the 64-bit side of Wine's libraries
# is chosen together with the 32-bit side. apt-get's own try first, then a second that pins each
# library to a version both architectures have. When neither works, the reason is kept for the
# Win32 stages, and the rest of the set is installed without 32-bit Wine.
install_win32() {
  rm -f "$wine32_unavailable"
  local missing i386=() others=() started=$SECONDS reason package
  mapfile -t missing < <(missing_of "${win32[@]}" "${wine32[@]}")
  for package in "${missing[@]}"; do
    if [[ $package == *:i386 ]]; then i386+=("$package"); else others+=("$package"); fi
  done
  [ ${#i386[@]} -gt 0 ] || { install_set win32 "${others[@]}"; return; }
  if install_set win32 "${missing[@]}"; then return 0; fi
  echo "apt-get could not install ${i386[*]}; trying again with their libraries' versions matched"
  if reason=$(scripts/install-i386-beside-amd64.sh "$update_log" "$apt_log" "${missing[@]}"); then
    echo "installed win32 with 32-bit Wine in $((SECONDS - started)) s"
    return 0
  fi
  show_log_end
  echo "32-bit Wine cannot be installed: ${reason:-see $apt_log}; installing the rest of win32"
  echo "${i386[*]} cannot be installed: ${reason:-see $apt_log}" >"$wine32_unavailable"
  install_set win32 "${others[@]}"
}

# The OpenAPI validator from npm, as tests/openapi/package-lock.json pins it, once per lock.
install_openapi_validator() {
  local dir=tests/openapi started=$SECONDS
  local installed=$dir/node_modules/.installed-from-lock
  cmp -s "$dir/package-lock.json" "$installed" 2>/dev/null && return 0
  echo "installing the OpenAPI validator (npm ci in $dir)"
  (cd "$dir" && npm ci --no-audit --no-fund) >>"$apt_log" 2>&1 || return 1
  cp "$dir/package-lock.json" "$installed"
  echo "installed the OpenAPI validator in $((SECONDS - started)) s"
}

declare -A done_sets=()
for set in "${wanted_sets[@]}"; do
  # A set named twice (each Win32 stage asks for win32) is installed once.
  [ -z "${done_sets[$set]:-}" ] || continue
  done_sets[$set]=1
  declare -n packages=$set
  mapfile -t missing < <(missing_of "${packages[@]}")
  unset -n packages
  if [ "$set" = win32 ]; then
    install_win32 && continue
  elif [ "$set" = serve ]; then
    install_set "$set" "${missing[@]}" && install_openapi_validator && continue
  elif install_set "$set" "${missing[@]}"; then
    continue
  fi
  show_log_end
  echo "failed to install the set $set: ${missing[*]}"
  exit 1
done
