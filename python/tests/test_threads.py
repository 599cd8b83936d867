"""One rule set used from several threads at once: the runs take turns, never deadlock against
the GIL, and each gives what a run alone gives. Each case runs in a child process, since a
deadlock holding the GIL would stop the test process itself; the child is given a minute."""

import subprocess
import sys
import textwrap

import pytest

from conftest import EXAMPLES

# Each case screens 12 copies of the sample (3,600 rows, a database call on each) four times at
# once on one rule set, and prints "same" when every result equals a run alone.
CASES = {
    "threads": """
        import threading
        got = []
        threads = [threading.Thread(target=lambda: got.append(rules.screen(frame).results))
                   for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    """,
    "dask threaded scheduler": """
        import dask, dask.dataframe as dd, txscreen.dask
        run = txscreen.dask.screen(dd.from_pandas(pd.concat([frame] * 4, ignore_index=True),
                                                  npartitions=4), rules)
        whole = dask.compute(run.results, scheduler="threads", num_workers=4)[0]
        got = [whole.iloc[i * len(frame):(i + 1) * len(frame)].reset_index(drop=True)
               for i in range(4)]
    """,
    "a Dask worker with two threads": """
        import dask.dataframe as dd, txscreen.dask
        from distributed import Client, LocalCluster
        with LocalCluster(n_workers=1, threads_per_worker=2, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            run = txscreen.dask.screen(dd.from_pandas(pd.concat([frame] * 4, ignore_index=True),
                                                      npartitions=4), rules)
            whole = client.compute(run.results).result(timeout=50)
        got = [whole.iloc[i * len(frame):(i + 1) * len(frame)].reset_index(drop=True)
               for i in range(4)]
    """,
}


@pytest.mark.parametrize("case", list(CASES))
def test_runs_on_one_rule_set_take_turns(case):
    script = textwrap.dedent("""
        import pandas as pd, txscreen
        frame = pd.read_csv({transactions!r}, dtype=str, keep_default_na=False)
        frame = pd.concat([frame] * 12, ignore_index=True)
        rules = txscreen.RuleSet({rules!r})
        alone = rules.screen(frame).results
    """).format(transactions=str(EXAMPLES / "transactions.csv"),
                rules=str(EXAMPLES / "rules.conf"))
    script += textwrap.dedent(CASES[case]) + textwrap.dedent("""
        assert len(got) == 4, len(got)
        print("same" if all(g.reset_index(drop=True).equals(alone) for g in got) else "differs")
    """)
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case}: the runs did not finish within a minute (a deadlock?)")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "same", done.stderr


