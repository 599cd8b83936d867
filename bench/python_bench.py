#!/usr/bin/python3
"""The Python package's figures, each beside the one it is compared with, in one run.

    PYTHONPATH=build/linux/python /usr/bin/python3 bench/python_bench.py [ROWS] [DASK_ROWS]

- screening a DataFrame of texts (and one with typed columns) with the five argument-only checks,
  against pandas.read_csv reading the same file: screening should cost less than loading;
- a Dask DataFrame read from a file, 2 worker processes against 1: the whole compute of results
  and summary, and how much of it is reading alone;
- 37 one-row partitions of a rule set with one database rule, on 2 worker processes against a
  server 100 ms away, beside the round trips their rows need: kept sessions that answered a
  moment ago cost no ping per partition;
Each figure is the median of three runs.
"""

import math
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import txscreen
import txscreen.dask
from argument_rules import ARGUMENT_ONLY

SOURCE = pathlib.Path(__file__).resolve().parents[1]


def median_seconds(action, repetitions=3):
    times = []
    for _ in range(repetitions):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def sample_file(path, rows):
    """The sample's rows over and over, each with an id of its own."""
    sample = pd.read_csv(SOURCE / "examples" / "transactions.csv", dtype=str,
                         keep_default_na=False)
    frame = sample.iloc[np.arange(rows) % len(sample)].reset_index(drop=True)
    frame["id"] = [f"T{i:08d}" for i in range(rows)]
    frame.to_csv(path, index=False)


def row(name, measured, baseline, target):
    ratio = measured / baseline
    print(f"| {name} | {measured:.3f} s | {baseline:.3f} s | {ratio:.2f}x | {target} |")


def dataframe_figures(path, rules):
    read = lambda: pd.read_csv(path, dtype=str, keep_default_na=False)  # noqa: E731
    texts = read()
    typed = pd.read_csv(path)
    row("screen a DataFrame of texts / pandas.read_csv of the file",
        median_seconds(lambda: rules.screen(texts)), median_seconds(read), "< 1x")
    row("screen a typed DataFrame / pandas.read_csv of the file",
        median_seconds(lambda: rules.screen(typed)), median_seconds(read), "")


def dask_seconds(path, rules, workers):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster):
        def frame():
            return dd.read_csv(path, dtype=str, keep_default_na=False, blocksize="32MB")

        def whole():
            run = txscreen.dask.screen(frame(), rules)
            dask.compute(run.results, run.summary)

        whole()  # each worker loads the libraries once
        return (median_seconds(whole),
                median_seconds(lambda: frame().map_partitions(len).compute()))


DISTANT_PARTITIONS = 37
DISTANT_ROUND_TRIP = 0.1


def distant_database(scratch):
    """The sample database behind a 100 ms round trip, as the service "distant"."""
    directory = scratch / "databases" / "distant"
    shutil.copytree(SOURCE / "examples" / "databases" / "sample", directory)
    (directory / "server.conf").write_text(f"round trip {int(DISTANT_ROUND_TRIP * 1000)}ms\n")
    return directory.parent


def kept_sessions_seconds(scratch):
    """37 one-row partitions, each a run of its own on a worker's kept session."""
    (scratch / "distant.conf").write_text("over_average txscreen TESTCONN amount account\n")
    rules = str(scratch / "distant.conf")
    sample = pd.read_csv(SOURCE / "examples" / "transactions.csv", dtype=str,
                         keep_default_na=False)
    frame = dd.from_pandas(sample.head(DISTANT_PARTITIONS), npartitions=DISTANT_PARTITIONS)
    os.environ["OCISIM_DATABASES"] = str(distant_database(scratch))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster):
        def whole():
            run = txscreen.dask.screen(frame, rules, connect="screener/screener@distant")
            dask.compute(run.results, run.summary)

        whole()  # each worker logs in once
        return median_seconds(whole)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    dask_rows = int(sys.argv[2]) if len(sys.argv) > 2 else 4_000_000
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        (scratch / "rules.conf").write_text(ARGUMENT_ONLY)
        rules = txscreen.RuleSet(scratch / "rules.conf")
        print("| comparison | measured | baseline | ratio | target |")
        print("|---|---|---|---|---|")
        sample_file(scratch / "rows.csv", rows)
        dataframe_figures(scratch / "rows.csv", rules)
        sample_file(scratch / "dask.csv", dask_rows)
        two, two_reading = dask_seconds(scratch / "dask.csv", rules, 2)
        one, one_reading = dask_seconds(scratch / "dask.csv", rules, 1)
        row(f"Dask, {dask_rows:,} rows, 2 worker processes / 1", two, one, "<= 0.7x")
        row("  of which reading alone, 2 / 1", two_reading, one_reading, "")
        rows_need = math.ceil(DISTANT_PARTITIONS / 2) * DISTANT_ROUND_TRIP
        row(f"Dask, {DISTANT_PARTITIONS} one-row partitions on 2 workers, 100 ms server / the "
            "round trips of their rows", kept_sessions_seconds(scratch), rows_need, "< 2.5 s")


if __name__ == "__main__":
    os.environ.setdefault("OCISIM_DATABASES", str(SOURCE / "examples" / "databases"))
    main()
