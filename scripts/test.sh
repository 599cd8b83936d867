#!/usr/bin/env bash
# Every test, from a clean tree: the native Linux suites, the same suites under AddressSanitizer
# with UndefinedBehaviorSanitizer, under ThreadSanitizer and under valgrind memcheck, a bounded
# run of each fuzz target, the Win32 DLLs' suites under Wine and the Win64 DLLs' under 64-bit Wine,
# each plain and with UBSan in trap mode, and the Python package's pytest suite with Debian's
# Python. Installs any missing toolchain first. Stages can be picked: scripts/test.sh linux win32.
# FUZZ_SECONDS sets each fuzz target's run (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(linux python sample report asan tsan valgrind fuzz win32 win32-ubsan
                                   win64 win64-ubsan)

# What each stage needs installed; the native build comes with every one.
toolchains=(native)
for stage in "${stages[@]}"; do
  case "$stage" in
    python) toolchains+=(python serve) ;;
    report) toolchains+=(browser) ;;
    valgrind) toolchains+=(valgrind) ;;
    fuzz) toolchains+=(fuzz) ;;
    win32 | win32-ubsan) toolchains+=(win32) ;;
    win64 | win64-ubsan) toolchains+=(win64) ;;
  esac
done
started_all=$SECONDS
mkdir -p build

# The CPU time, in seconds, of every command this shell has waited for so far, in $cpu. `times`
# runs in this shell: in a subshell it would count only the subshell's own children.
cpu=0
measure_cpu() {
  times >build/times.txt
  cpu=$(awk 'NR == 2 { split($0, t, /[ms ]+/); print t[1] * 60 + t[2] + t[3] * 60 + t[4] }' \
    build/times.txt)
}

# The run ends with its own account however it ends, a failed install's or stage's too: each
# step's time, and a last line that says what failed, or that all passed and which suites did
# not run.
current=""
stage_started=0
timings=()
wine_prefixes=()  # each Wine prefix whose server this run started
not_run=()  # the stages whose suites could not run here, each with the reason
on_exit() {
  local status=$?
  if [ -n "$current" ]; then
    timings+=("$(printf '%-12s %4d s (failed)' "$current" $((SECONDS - stage_started)))")
  fi
  printf '%s\n' "${timings[@]}"
  measure_cpu
  printf '%-12s %4d s  %5.1f CPU-min\n' all $((SECONDS - started_all)) \
    "$(awk "BEGIN { print $cpu / 60 }")"
  local prefix
  for prefix in "${wine_prefixes[@]}"; do WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; done
  if [ "$status" -ne 0 ]; then
    echo "=== failed: ${current:-the run} (status $status)"
  elif [ ${#not_run[@]} -gt 0 ]; then
    echo "=== all passed, but the suites of $(printf '%s; ' "${not_run[@]}" | sed 's/; $//')"
  else
    echo "=== all passed"
  fi
  exit $status
}
trap on_exit EXIT

current=install
stage_started=$SECONDS
scripts/install-toolchains.sh "${toolchains[@]}"
timings+=("$(printf '%-12s %4d s' install $((SECONDS - started_all)))")
current=""

run_stage() {
  current=$1
  shift
  stage_started=$SECONDS
  measure_cpu
  local cpu_started=$cpu
  echo "=== $current"
  "$@"
  measure_cpu
  timings+=("$(printf '%-12s %4d s  %5.1f CPU-min' "$current" $((SECONDS - stage_started)) \
    "$(awk "BEGIN { print ($cpu - $cpu_started) / 60 }")")")
  current=""
}

# Runs a command whose output only matters when it fails: then the log's end is shown.
quietly() {
  local log="build/$1.log"
  shift
  mkdir -p build
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "failed: $*; the whole log is $log"
    return 1
  fi
}

memcheck() {
  quietly configure-linux cmake --preset linux
  quietly build-linux cmake --build --preset linux
  # The million-call test would take minutes here; the leak check needs no million.
  valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --show-leak-kinds=definite,indirect build/linux/bin/txscreen_tests \
    --gtest_filter='-*Million*'
}

fuzz() {
  local targets=(csv_fuzzer rule_set_fuzzer statement_date_fuzzer rule_text_fuzzer
                 request_rows_fuzzer)
  quietly configure-fuzz cmake --preset linux-fuzz
  # The targets alone: the rest of the tree is built and tested by the other stages.
  quietly build-fuzz cmake --build --preset linux-fuzz --target "${targets[@]}"
  for target in "${targets[@]}"; do
    # New inputs go to a scratch corpus; the seeds in the repository are only read.
    local scratch="build/fuzz-corpus/$target" log="build/fuzz-$target.log"
    mkdir -p "$scratch"
    # Bodies of the request reader may be long enough to nest past its depth limit many times.
    local longest=()
    [ "$target" != request_rows_fuzzer ] || longest=(-max_len=65536)
    if ! build/linux-fuzz/bin/$target -max_total_time="${FUZZ_SECONDS:-45}" -print_final_stats=1 "${longest[@]}" \
      -artifact_prefix="build/fuzz-$target-" "$scratch" "fuzz/corpus/$target" >"$log" 2>&1; then
      tail -n 40 "$log"
      echo "$target failed; the input that did it is in build/fuzz-$target-*"
      return 1
    fi
    echo "$target: $(awk '/^stat::number_of_executed_units/ {print $2}' "$log") executions," \
      "$(find "fuzz/corpus/$target" -type f | wc -l) seeds," \
      "$(find "$scratch" -type f | wc -l) inputs found"
  done
}

# The README promises that the main command's standard output is exactly examples/expected.csv,
# also on a fresh machine whose first run installs packages. Stand-ins for dpkg-query and apt-get
# report every package missing and chatter on standard output, as apt-get does; none of it may
# reach the CSV.
sample_stdout() {
  local shims="build/sample-shims" out="build/sample-stdout.csv"
  mkdir -p "$shims"
  printf '#!/bin/sh\nexit 1\n' >"$shims/dpkg-query"
  printf '#!/bin/sh\nfor i in $(seq 400); do echo "Unpacking package $i ..."; done\n' \
    >"$shims/apt-get"
  printf '#!/bin/sh\nexec "$@"\n' >"$shims/sudo"
  chmod +x "$shims"/*
  PATH="$PWD/$shims:$PATH" scripts/run-sample.sh >"$out" 2>build/sample-stderr.log
  grep -q 'Unpacking package 400' "$out" build/sample-stderr.log build/apt.log ||
    { echo "the stand-in apt-get did not run; this check proves nothing"; return 1; }
  cmp "$out" examples/expected.csv ||
    { echo "the main command's standard output is not examples/expected.csv"; return 1; }
}

# The report as a person opens it: headless Chromium loads the page from disk, with no network.
# The page counts the charts it meant to draw and those that drew, and any script error; rows
# whose ids are markup (their alerts put them in the report) must show as text and never run.
# The sample's decisions are screened beside the sample rule set, so that the decisions, the swept
# threshold and the comparison's outcomes are drawn too.
report_in_browser() {
  quietly configure-linux cmake --preset linux
  quietly build-report cmake --build --preset linux --target txhost txscreen txscreen2
  local dir="$PWD/build/report-test"
  rm -rf "$dir"
  mkdir -p "$dir"
  local hostile='<img src=x onerror=document.documentElement.dataset.pwned=1>'
  local row=2026-12-06,ACC-1033,bob,T-02,T-02,M-0012,90.00,80.00,500.00,1,2,Store
  {
    head -n 1 examples/transactions.csv
    printf '%s\n' "\"$hostile\",$row,1" \
      "\"<script>document.documentElement.dataset.pwned=1</script>\",$row,0" \
      "\"</script ><script>document.documentElement.dataset.pwned=1</script >\",$row,0" \
      "T-$(printf 'x%.0s' {1..400}),$row,0"
    tail -n +2 examples/transactions.csv
  } >"$dir/transactions.csv"
  local status=0
  OCISIM_DATABASES="$PWD/examples/databases" build/linux/bin/txhost screen \
    --rules examples/decisions.conf --baseline examples/rules.conf --label is_fraud \
    --connect screener/screener@faulty \
    --out /dev/null --report "$dir/report.html" "$dir/transactions.csv" 2>"$dir/txhost.log" ||
    status=$?
  [ "$status" -eq 1 ] || { echo "txhost screen gave $status, not 1 (alerts)"; return 1; }
  local chromium=(chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run
    --disable-background-networking --disable-component-update --disable-sync
    --user-data-dir="$dir/profile" --virtual-time-budget=10000)
  "${chromium[@]}" --dump-dom "file://$dir/report.html" >"$dir/dom.html" 2>"$dir/chromium.log"
  "${chromium[@]}" --window-size=1280,5600 --screenshot="$dir/report.png" \
    "file://$dir/report.html" 2>>"$dir/chromium.log"
  local root body expected drawn
  root=$(grep -o '<html[^>]*>' "$dir/dom.html")
  body=$(grep -o '<body[^>]*>' "$dir/dom.html")
  expected=$(sed -n 's/.*data-charts-expected="\([0-9]*\)".*/\1/p' <<<"$body")
  drawn=$(sed -n 's/.*data-charts-drawn="\([0-9]*\)".*/\1/p' <<<"$body")
  grep -q 'data-errors="0"' <<<"$root" || { echo "script errors on the page: $root"; return 1; }
  grep -q 'data-fits-width="true"' <<<"$body" ||
    { echo "the page is wider than its window (a long id?): $body"; return 1; }
  [ -n "$expected" ] && [ "$expected" -ge 5 ] && [ "$drawn" = "$expected" ] ||
    { echo "charts drawn: ${drawn:-none} of ${expected:-none}"; return 1; }
  if grep -q 'data-pwned' "$dir/dom.html"; then echo "an id from the input ran as markup"; return 1; fi
  grep -qF '&lt;img src=x onerror=' "$dir/dom.html" ||
    { echo "the hostile id is not shown as text"; return 1; }
  local section
  for section in '<h2>Decisions</h2>' '<h3>Threshold of decline (now from 75)</h3>' \
    '<th>live \ draft</th>'; do
    grep -qF "$section" "$dir/dom.html" || { echo "the report lacks $section"; return 1; }
  done
  echo "report: $drawn charts drawn, no script error, hostile ids shown as text, fits its width;" \
    "screenshot in build/report-test/report.png"
}

# The Python package, built for Debian's /usr/bin/python3, and its pytest suite through CTest.
python_package() {
  quietly configure-linux cmake --preset linux
  quietly build-linux cmake --build --preset linux
  ctest --preset python
}

# Sets up the Wine environment of test preset $1 (win32 or win64) in this shell, and starts its
# prefix's server once.
wine_up() {
  # The Wine environment is the test preset's, written there once: the server started here must
  # be the one CTest's programs find.
  eval "$(/usr/bin/python3 - "$PWD" "$1" <<'PRESET'
import json, shlex, sys
presets = json.load(open("CMakePresets.json"))["testPresets"]
environment = next(p for p in presets if p["name"] == sys.argv[2])["environment"]
for name, value in environment.items():
    print(f"export {name}={shlex.quote(value.replace('${sourceDir}', sys.argv[1]))}")
PRESET
  )"
  # The loader of the preset's width, named: Debian's `wine` takes the 32-bit one whenever it is
  # installed, even where the kernel cannot run it. Programs that Wine starts use it too.
  export WINELOADER=/usr/lib/wine/wine
  [ "$1" = win32 ] || WINELOADER=/usr/lib/wine/wine64
  local prefix
  for prefix in "${wine_prefixes[@]}"; do [ "$prefix" = "$WINEPREFIX" ] && return; done
  # Wine needs a prefix; building it takes a few seconds once. A resident wineserver then spares
  # every test program Wine's start-up.
  if [ ! -d "$WINEPREFIX" ]; then
    "$WINELOADER" wineboot.exe -i
    wineserver -w
  fi
  wineserver -p 120 || true  # a server that is already up serves the run just as well
  # Wine's background services start with the first program and keep its output open. Starting
  # them here, detached from any pipe, keeps CTest from waiting on them after each test.
  "$WINELOADER" cmd.exe /c exit </dev/null >/dev/null 2>&1
  wine_prefixes+=("$WINEPREFIX")
}

# Why the Win32 suites cannot run here, if they cannot: 32-bit Wine could not be installed (the
# installer says why), or the kernel runs 64-bit programs only (an i386 execve fails there, as on
# some virtual machines).
why_no_32_bit_suites() {
  if [ -f build/wine32-unavailable ]; then
    echo "32-bit Wine could not be installed: $(cat build/wine32-unavailable)"
  elif [ ! -x /usr/lib/wine/wine ]; then
    echo "32-bit Wine is not installed"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "32-bit Wine cannot start ($(/usr/lib/wine/wine --version 2>&1 | head -1 | sed 's/.*: //')): this machine runs no 32-bit programs"
  fi
}

# A Windows preset's build, and its tests that read the DLLs' files rather than run them.
build_and_check_images() {
  cmake --preset "$1" && cmake --build --preset "$1" && ctest --preset "$1" -L image
}

for stage in "${stages[@]}"; do
  case "$stage" in
    linux) run_stage linux cmake --workflow --preset linux ;;
    python) run_stage python python_package ;;
    sample) run_stage sample sample_stdout ;;
    report) run_stage report report_in_browser ;;
    asan) run_stage asan cmake --workflow --preset linux-asan ;;
    tsan) run_stage tsan cmake --workflow --preset linux-tsan ;;
    valgrind) run_stage valgrind memcheck ;;
    fuzz) run_stage fuzz fuzz ;;
    win32 | win32-ubsan)
      why=$(why_no_32_bit_suites)
      if [ -z "$why" ]; then
        wine_up win32
        run_stage "$stage" cmake --workflow --preset "$stage"
      else
        echo "$why. $stage builds the DLLs and checks their files, but runs none of its suites."
        run_stage "$stage (built, suites not run)" build_and_check_images "$stage"
        not_run+=("$stage did not run: $why")
      fi
      ;;
    win64 | win64-ubsan)
      wine_up "${stage%-ubsan}"
      run_stage "$stage" cmake --workflow --preset "$stage"
      ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
  esac
done

