#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
#   install-toolchains.sh native   what the Linux build and the reference host need (Chart.js
#                                  too, which the host builds into its report)
#                                  and the Python package's build (pybind11, Python headers)
#   install-toolchains.sh all      that, plus pandas, Dask's distributed and pytest for the
#                                  Python package's tests, valgrind, clang with libFuzzer, the Win32 cross
#                                  toolchain, 32-bit Wine, and Chromium with a font for the
#                                  report's test in a real browser
set -euo pipefail
# Everything this script and apt-get print goes to standard error: the main command's standard
# output is the results CSV, even on the first run, when the packages are still missing.
exec 1>&2

# The linux preset configures the suites and benchmarks too, so the native build needs their
# libraries even when only the host is built.
native=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev libjs-chart.js googletest
        libbenchmark-dev pybind11-dev python3-dev)
# The Python package's tests run with Debian's own Python and its packages.
python=(python3-pandas python3-distributed python3-pytest)
all=("${native[@]}" "${python[@]}" valgrind clang libclang-rt-14-dev g++-mingw-w64-i686 wine
     wine32:i386 chromium fonts-liberation)

case "${1:-all}" in
  native) wanted=("${native[@]}") ;;
  all) wanted=("${all[@]}") ;;
  *) echo "usage: $0 [native|all]"; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing the missing packages: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "These need root, and there is no sudo."; exit 1; }
  as_root=(sudo)
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "${missing[@]}"
