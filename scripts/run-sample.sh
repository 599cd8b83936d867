#!/usr/bin/env bash
# The main job: builds the native libraries and the reference host, then screens the shipped
# sample transactions through all eight rules of both libraries, as a real host would. The
# results (CSV) go to standard output, the summary and backtest to standard error, and the audit
# trail to build/sample-explain.jsonl, and the report, with its sweep of the sharp-increase
# threshold, to build/sample-report.html. Extra arguments go to `txhost screen`.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-toolchains.sh native
# The build's own output goes to a log, since standard output carries the results; a failed
# build shows the log's end.
mkdir -p build
log=build/run-sample-build.log
if ! { cmake --preset linux && cmake --build --preset linux --target txhost txscreen txscreen2; } \
  >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "the build failed; the whole log is $log" >&2
  exit 1
fi

# The stand-in client library finds the sample database (users and account history) here.
export OCISIM_DATABASES="$PWD/examples/databases"
status=0
build/linux/bin/txhost screen --rules examples/rules.conf --label is_fraud \
  --explain build/sample-explain.jsonl --report build/sample-report.html "$@" \
  examples/transactions.csv || status=$?
# Standard output stays exactly the results; where the rest went is the last line of standard
# error. txhost publishes both files or neither, and says why on standard error when it did not.
if [ -f build/sample-report.html ] && [ -f build/sample-explain.jsonl ] && [ "$status" -le 1 ]; then
  echo "the report is $PWD/build/sample-report.html and the audit trail" \
       "$PWD/build/sample-explain.jsonl" >&2
fi
exit "$status"
