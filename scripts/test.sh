#!/usr/bin/env bash
# Builds and tests both platforms from a clean tree: the native Linux build, then the Win32 DLLs
# with their suites under Wine. Installs any missing toolchain first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-toolchains.sh all

cmake --workflow --preset linux

# Wine needs a prefix; building it takes a few seconds once. A resident wineserver then spares
# every test program Wine's start-up.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || wineboot -i
wineserver -p 120
trap 'wineserver -k 2>/dev/null || true' EXIT
cmake --workflow --preset win32
