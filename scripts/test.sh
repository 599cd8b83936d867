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
if [ ! -d "$WINEPREFIX" ]; then
  wineboot -i
  wineserver -w
fi
wineserver -p 120 || true  # a server that is already up serves the run just as well
# Wine's background services start with the first program and keep its output open. Starting
# them here, detached from any pipe, keeps CTest from waiting on them after each test.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
cmake --workflow --preset win32
