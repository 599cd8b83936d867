#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing. Name the sets
# wanted (several may be given; all of them by default):
#   native    the Linux build, the reference host (Chart.js too, which it builds into its
#             report), the suites' and benchmarks' libraries, and the Python package's build
#             (pybind11, Python headers), and the server's HTTP and JSON libraries
#   python    pandas, Dask's distributed and pytest, for the Python package's tests
#   serve     haproxy and wrk, for the server's tests and benchmarks
#   browser   Chromium with a font, for the report's test in a real browser
#   valgrind  valgrind
#   fuzz      clang with libFuzzer
#   win32     the mingw-w64 i686 cross toolchain and 32-bit Wine
#   win64     the mingw-w64 x86-64 cross toolchain and 64-bit Wine
#   all       every set above
set -euo pipefail
# Everything this script and apt-get print goes to standard error: the main command's standard
# output is the results CSV, even on the first run, when the packages are still missing.
exec 1>&2

# The linux preset configures the suites and benchmarks too, so the native build needs their
# libraries even when only the host is built.
native=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev libjs-chart.js googletest
        libbenchmark-dev pybind11-dev python3-dev libboost-dev libsimdjson-dev)
python=(python3-pandas python3-distributed python3-pytest)
serve=(haproxy wrk)
browser=(chromium fonts-liberation)
valgrind=(valgrind)
fuzz=(clang libclang-rt-14-dev)
win32=(g++-mingw-w64-i686 wine wine32:i386)
win64=(g++-mingw-w64-x86-64-posix wine wine64)

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(all)
wanted=()
for set in "${sets[@]}"; do
  case "$set" in
    native) wanted+=("${native[@]}") ;;
    python) wanted+=("${python[@]}") ;;
    serve) wanted+=("${serve[@]}") ;;
    browser) wanted+=("${browser[@]}") ;;
    valgrind) wanted+=("${valgrind[@]}") ;;
    fuzz) wanted+=("${fuzz[@]}") ;;
    win32) wanted+=("${win32[@]}") ;;
    win64) wanted+=("${win64[@]}") ;;
    all) wanted+=("${native[@]}" "${python[@]}" "${serve[@]}" "${browser[@]}" "${valgrind[@]}" "${fuzz[@]}"
                  "${win32[@]}" "${win64[@]}") ;;
    *) echo "usage: $0 [native|python|serve|browser|valgrind|fuzz|win32|win64|all]..."; exit 2 ;;
  esac
done

# Sets share packages (Wine); each is looked up and named once.
missing=()
for package in $(printf '%s\n' "${wanted[@]}" | awk '!seen[$0]++'); do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

install_missing() {
  echo "Installing the missing packages: ${missing[*]}"
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "These need root, and there is no sudo."; exit 1; }
    as_root=(sudo)
  fi
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  # A mirror in the middle of a sync fails an index or two (seen: bookworm-security's i386 list).
  # Try again after a pause; if some index still fails, go on with the lists that were read: the
  # install below fails, naming the package, if what we need is not in them. 32-bit packages then
  # get a second try that works around a dropped i386 index (its log tells which).
  local attempt status
  update_log=$(mktemp)
  trap 'rm -f "$update_log"' EXIT
  for attempt in 1 2 3; do
    "${as_root[@]}" apt-get update 2>&1 | tee "$update_log" && break
    [ "$attempt" -lt 3 ] || { echo "apt-get update failed three times; installing from the lists it read"; break; }
    echo "apt-get update failed (attempt $attempt of 3); trying again in 15 s"
    sleep 15
  done
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}" && return
  status=$?
  printf '%s\n' "${missing[@]}" | grep -q ':i386$' || exit "$status"
  echo "apt-get could not install the 32-bit packages; trying again with their libraries' versions matched"
  "$(dirname "$0")/install-i386-beside-amd64.sh" "$update_log" "${missing[@]}"
}

[ ${#missing[@]} -eq 0 ] || install_missing
