#!/usr/bin/env bash
# Builds the native libraries and the reference host, then calls each rule on sample arguments
# the way a host does: load the library, look the rule up by name, call it, print its answer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-toolchains.sh native
cmake --preset linux >/dev/null
cmake --build --preset linux --target txhost txscreen txscreen2 >/dev/null

host=build/linux/bin/txhost
run() {
  printf '%-60s -> ' "$*"
  "$host" call "$@"
}
run txscreen SHARPINCREASE 900 450 400
run txscreen SHARPINCREASE 500 450 400
run txscreen OVERCREDITLIMIT 500.01 500
run txscreen OVERCREDITLIMIT 500 500
run txscreen BADACCOUNT ACC-6661 ACC-6661
run txscreen BADACCOUNT ACC-6661 acc-6661
run txscreen SPECIAL_USER alice bob alice carol
run txscreen SPECIAL_USER alice bob alice bob
export OCISIM_DATABASES="$PWD/examples/databases"
run --connect screener/screener@sample txscreen TESTDATE MON 2026-12-07
run --connect screener/screener@sample txscreen TESTDATE mon 2026-12-07
run --connect screener/screener@sample txscreen TESTCONN 150 ACC-1001
run --connect screener/screener@sample txscreen TESTCONN 90 ACC-1001
run --connect screener/screener@sample txscreen2 TESTMERCHANT M-42 M-42 MON 2026-12-07
run txscreen2 SAMEZIPCODE 10115 10115 Store
run txscreen2 SAMEZIPCODE 10115 10115 Internet
