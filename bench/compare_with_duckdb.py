#!/usr/bin/python3
"""txhost beside DuckDB's Node package: the same file, the same five checks, whole processes
timed side by side in one run; and txhost's reading alone and its scaling over workers.

    bench/compare_with_duckdb.py [--runs N] [--earlier-txhost PATH]

Needs the linux build (`cmake --preset linux && cmake --build --preset linux --target txbench`)
and npm: the peer is installed into bench/peer/node_modules on first use. It is a benchmark
peer only, and not part of the README's commands. `--earlier-txhost` adds the sample rule set
screened by another build of txhost, to hold this one to it.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys

from compare_commands import print_table, time_commands

SOURCE = pathlib.Path(__file__).resolve().parents[1]
BIN = SOURCE / "build" / "linux" / "bin"
PEER = SOURCE / "bench" / "peer"


def prepare():
    """The million-row file and the five checks (txbench writes both), and the peer."""
    transactions, rules = BIN / "bench-transactions.csv", BIN / "bench-argument-rules.conf"
    if not transactions.exists() or not rules.exists():
        subprocess.run([BIN / "txbench", "--benchmark_filter=BM_ScreenArgumentOnlyParseOnly"],
                       check=True, stdout=subprocess.DEVNULL)
    if not (PEER / "node_modules" / "@duckdb" / "node-api").exists():
        subprocess.run(["npm", "install", "--no-audit", "--no-fund"], cwd=PEER, check=True)
    return transactions, rules


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--earlier-txhost")
    args = parser.parse_args()
    transactions, rules = prepare()
    out = f"/tmp/txscreen-bench-{os.getpid()}"
    txhost = f"{BIN / 'txhost'} screen --connect screener/screener@sample"
    commands = [
        ("DuckDB", f"node {PEER / 'five_checks.mjs'} {transactions} {out}-duckdb.csv"),
        ("txhost 2 workers", f"{txhost} --rules {rules} --threads 2 --out {out}-2.csv {transactions}"),
        ("txhost 1 worker", f"{txhost} --rules {rules} --threads 1 --out {out}-1.csv {transactions}"),
        ("txhost parse only", f"{txhost} --rules {rules} --parse-only {transactions}"),
    ]
    sample = SOURCE / "examples" / "rules.conf"
    for workers in (1, 2):
        commands.append((f"sample rule set, {workers} workers",
                         f"{txhost} --rules {sample} --threads {workers} --out /dev/null {transactions}"))
        if args.earlier_txhost:
            commands.append((f"sample rule set, {workers} workers, earlier txhost",
                             f"{args.earlier_txhost} screen --connect screener/screener@sample "
                             f"--rules {sample} --threads {workers} --out /dev/null {transactions}"))
    times = time_commands(commands, args.runs)
    # Both answer the same: the same rows, the same flags.
    for ours in ("1", "2"):
        if pathlib.Path(f"{out}-{ours}.csv").read_bytes() != pathlib.Path(f"{out}-duckdb.csv").read_bytes():
            sys.exit(f"txhost ({ours} workers) and DuckDB disagree: compare {out}-{ours}.csv and {out}-duckdb.csv")
    print_table(times, args.runs)
    median = {name: statistics.median(values) for name, values in times.items()}
    size = transactions.stat().st_size
    print(f"\n| figure | measured | target |\n|---|---|---|")
    print(f"| txhost 2 workers / DuckDB | {median['txhost 2 workers'] / median['DuckDB']:.2f}x | at most 0.35x |")
    print(f"| txhost 2 workers / 1 worker | {median['txhost 2 workers'] / median['txhost 1 worker']:.2f}x | at most 0.6x |")
    print(f"| parse only, 1 worker | {size / median['txhost parse only'] / 1e6:.0f} MB/s of {size / 1e6:.1f} MB | at least 600 MB/s |")
    if args.earlier_txhost:
        for workers in (1, 2):
            now = median[f"sample rule set, {workers} workers"]
            before = median[f"sample rule set, {workers} workers, earlier txhost"]
            print(f"| sample rule set, {workers} workers / earlier txhost | {now / before:.2f}x | at most 1x |")
    for suffix in ("-duckdb.csv", "-1.csv", "-2.csv"):
        os.remove(out + suffix)


if __name__ == "__main__":
    main()
