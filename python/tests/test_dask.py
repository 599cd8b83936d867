"""txscreen.dask on a local cluster of two worker processes: the results and the merged summary
of a few hundred thousand rows in several partitions are txhost's, and each worker logs in once."""

import signal
import subprocess
import sys
import textwrap
import time

import dask
import dask.dataframe as dd
import pandas as pd
import pytest
from distributed import Client, LocalCluster

import txscreen
import txscreen.dask
from conftest import EXAMPLES, comparable, sample_database_like, txhost_screen

RULES = EXAMPLES / "rules.conf"
DECISIONS = EXAMPLES / "decisions.conf"
PARTITIONS = 6


@pytest.fixture(scope="module")
def client():
    # Loopback only, no dashboard, and everything stopped when the module ends.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, death_timeout=60) as cluster:
        with Client(cluster, timeout=60) as dask_client:
            yield dask_client


@pytest.fixture
def reviewed_database(tmp_path, monkeypatch):
    """The sample database with one account whose every call raises: alerts on fixed rows."""
    return sample_database_like(
        tmp_path, monkeypatch, "reviewed",
        "raise account ACC-1033 ORA-20001: account ACC-1033 is under review\n")


# The checks alone, and the sample's decisions beside the live checks: outcomes, a swept
# threshold, rows by score and the comparison's pairs merged across partitions.
@pytest.mark.parametrize("rules_path, baseline", [(RULES, None), (DECISIONS, RULES)])
def test_a_cluster_gives_what_txhost_gives(client, reviewed_database, sample_frame, tmp_path,
                                           rules_path, baseline):
    rows = pd.concat([sample_frame] * 1000, ignore_index=True)  # 300,000 rows
    rows.loc[len(rows) - 7:, "is_fraud"] = ""  # unlabelled rows in the last partition only
    transactions = tmp_path / "transactions.csv"
    rows.to_csv(transactions, index=False)
    compared = ("--baseline", str(baseline)) if baseline else ()
    expected, summary = txhost_screen(transactions, rules_path, tmp_path, "--label", "is_fraud",
                                      "--connect", reviewed_database, *compared)
    assert summary["alerts"] > txscreen.dask._ALERT_EXAMPLES
    assert summary["rows_unlabelled"] == 7
    if baseline:
        assert len(summary["comparison"]["first_changes"]) == txscreen.dask._CHANGE_EXAMPLES

    # The workers inherit this process's environment; each reads the database directory anew.
    client.run(lambda path: __import__("os").environ.__setitem__("OCISIM_DATABASES", path),
               str(tmp_path / "databases"))
    logins_before = client.run(txscreen.sessions_begun)
    live = {"baseline": txscreen.RuleSet(baseline)} if baseline else {}
    run = txscreen.dask.screen(dd.from_pandas(rows, npartitions=PARTITIONS),
                               txscreen.RuleSet(rules_path), label="is_fraud",
                               connect=reviewed_database, **live)
    results, merged = [future.result(timeout=300)
                       for future in client.compute([run.results, run.summary])]

    pd.testing.assert_frame_equal(results.reset_index(drop=True).astype(str), expected)
    assert comparable(merged) == comparable(summary)
    assert merged["partitions"] == PARTITIONS
    assert 1 <= merged["workers"] <= 2, "one session in each worker process that screened"
    assert merged["rows_per_second"] == merged["rows_read"] / merged["seconds"]
    logins = client.run(txscreen.sessions_begun)
    opened = {worker: logins[worker] - logins_before[worker] for worker in logins}
    assert sum(opened.values()) >= 1 and max(opened.values()) <= 1, opened


def test_results_and_summary_share_one_screening_per_partition(sample_frame):
    run = txscreen.dask.screen(dd.from_pandas(sample_frame, npartitions=PARTITIONS),
                               txscreen.RuleSet(RULES))
    graph = dict(dask.base.collections_to_dsk([run.results, run.summary]))
    screenings = [key for key, task in graph.items()
                  if isinstance(task, tuple) and task[0] is txscreen.dask._screen_partition]
    assert len(screenings) == PARTITIONS


def screenings(client):
    return sum(client.run(lambda: txscreen.dask._screenings).values())


def test_the_partitions_answer_as_one_run(client, sample_frame):
    # Rows rejected in every partition: at most 5 in each, 12 in all.
    rows = pd.concat([sample_frame] * 4, ignore_index=True)
    rows.loc[rows.index % 100 == 7, "amount"] = "not a number"
    ddf = dd.from_pandas(rows, npartitions=PARTITIONS)
    client.run(lambda path: __import__("os").environ.__setitem__("OCISIM_DATABASES", path),
               str(EXAMPLES / "databases"))

    # A rule set may be given by its path; the summary of results already persisted is merged
    # from them, with no partition screened again.
    before = screenings(client)
    run = txscreen.dask.screen(ddf, str(RULES))
    persisted = client.persist(run.results)
    assert len(persisted) == len(rows) - 12
    assert screenings(client) - before == PARTITIONS
    summary = client.compute(run.summary).result(timeout=120)
    assert summary["rows_rejected"] == 12
    assert screenings(client) - before == PARTITIONS

    # The id column as the index: the same results, indexed by the ids.
    by_id = txscreen.dask.screen(ddf.set_index("id"), str(RULES)).results
    expected = persisted.compute().set_index("id", drop=False).sort_index(kind="mergesort")
    got = client.compute(by_id).result(timeout=120).sort_index(kind="mergesort")
    pd.testing.assert_frame_equal(got, expected, check_names=False)

    # max_rejects counts the whole run's rejects, not each partition's.
    run = txscreen.dask.screen(ddf, txscreen.RuleSet(RULES), max_rejects=10)
    for collection in (run.summary, run.results):
        with pytest.raises(txscreen.TooManyRejects, match="12 rows rejected"):
            client.compute(collection).result(timeout=120)
    run = txscreen.dask.screen(ddf, txscreen.RuleSet(RULES), max_rejects=12)
    assert client.compute(run.summary).result(timeout=120)["rows_rejected"] == 12


def test_lists_travel_with_the_rule_set_and_their_hits_add_up(client, sample_frame, tmp_path):
    """The workers never see the list files: the rule set carries its lists' values. Each
    partition gives every value's hits, so the run's values that fired most are exact."""
    (tmp_path / "lists").mkdir()
    accounts = sorted(set(sample_frame["account"]))[::2]  # more values fire than the summary shows
    (tmp_path / "lists" / "watched.txt").write_text("\n".join(accounts) + "\n")
    (tmp_path / "rules.conf").write_text(
        "watched txscreen BADACCOUNT account @lists/watched.txt\n"
        "weekend txscreen TESTDATE @lists/weekend.txt date\n")
    (tmp_path / "lists" / "weekend.txt").write_text("SAT\nSUN\n")
    rows = pd.concat([sample_frame] * 20, ignore_index=True)
    rows.to_csv(tmp_path / "transactions.csv", index=False)
    expected, summary = txhost_screen(tmp_path / "transactions.csv", tmp_path / "rules.conf",
                                      tmp_path)
    rules = txscreen.RuleSet(tmp_path / "rules.conf")
    for listed in (tmp_path / "lists").iterdir():
        listed.unlink()
    client.run(lambda path: __import__("os").environ.__setitem__("OCISIM_DATABASES", path),
               str(EXAMPLES / "databases"))
    run = txscreen.dask.screen(dd.from_pandas(rows, npartitions=PARTITIONS), rules)
    results, merged = [future.result(timeout=300)
                       for future in client.compute([run.results, run.summary])]
    pd.testing.assert_frame_equal(results.reset_index(drop=True).astype(str), expected)
    assert summary["checks"][0]["list"]["values_that_fired"] > len(
        summary["checks"][0]["list"]["top_values"])
    assert comparable(merged) == comparable(summary)


def test_a_run_is_checked_when_made_and_gives_rejects_alerts_and_a_persisted_summary(
        sample_frame, tmp_path, monkeypatch):
    """On the threaded scheduler: the faults every partition would meet are refused at once;
    results persisted are not screened again for the summary, rejects or alerts."""
    connect = sample_database_like(tmp_path, monkeypatch, "reviewed",
                                   "raise account ACC-1033 ORA-20001: under review\n")
    rows = sample_frame.copy()
    rows.loc[[3, 250], "amount"] = "x"
    ddf = dd.from_pandas(rows, npartitions=PARTITIONS)
    rules = txscreen.RuleSet(RULES)
    refused = [
        (lambda: txscreen.dask.screen(ddf, rules, lable="is_fraud"), txscreen.OptionError,
         "unexpected keyword argument 'lable'"),
        (lambda: txscreen.dask.screen(ddf, rules, threads=0), txscreen.OptionError,
         "threads must be at least 1"),
        (lambda: txscreen.dask.screen(ddf, rules, label="fraud"), txscreen.InputError,
         "no label column fraud"),
        (lambda: txscreen.dask.screen(ddf, rules, id="tx"), txscreen.InputError, "no id column tx"),
        (lambda: txscreen.dask.screen(ddf.drop(columns="amount"), rules), txscreen.RuleSetError,
         "unknown column amount"),
        (lambda: txscreen.dask.screen(rows, rules), txscreen.OptionError,
         "must be a Dask DataFrame, not pandas.core.frame.DataFrame"),
    ]
    for make, error, words in refused:
        with pytest.raises(error, match=words):
            make()
    expected = rules.screen(rows, connect=connect)
    with dask.config.set(scheduler="threads"):
        run = txscreen.dask.screen(ddf, rules, connect=connect)
        assert "6 partitions" in repr(run) and "sharp_increase" in repr(run)
        before = txscreen.dask._screenings
        run.persist()
        assert txscreen.dask._screenings - before == PARTITIONS
        summary, rejects, alerts = dask.compute(run.summary, run.rejects, run.alerts)
        assert txscreen.dask._screenings - before == PARTITIONS
    assert comparable(summary) == comparable(expected.summary)
    pd.testing.assert_frame_equal(rejects.drop(columns="_line"),
                                  expected.rejects.drop(columns="_line"))
    assert len(alerts) == len(expected.alerts) > 0
    assert sorted(alerts["id"]) == sorted(expected.alerts["id"])


def test_ctrl_c_during_compute_stops_the_partitions_being_screened(tmp_path):
    """On the threaded scheduler Ctrl-C reaches the main thread only: the partitions the pool's
    threads are screening stop as well, so the rule set is free for the next screen at once."""
    database = tmp_path / "slow"
    database.mkdir()
    for name in ("users.csv", "history.csv"):
        (database / name).write_bytes((EXAMPLES / "databases" / "sample" / name).read_bytes())
    (database / "server.conf").write_text("round trip 2ms\n")
    script = textwrap.dedent(f"""
        import os, time, pandas as pd, dask, dask.dataframe as dd, txscreen, txscreen.dask
        os.environ["OCISIM_DATABASES"] = {str(tmp_path)!r}
        frame = pd.read_csv({str(EXAMPLES / "transactions.csv")!r}, dtype=str,
                            keep_default_na=False)
        rules = txscreen.RuleSet({str(RULES)!r})
        run = txscreen.dask.screen(dd.from_pandas(pd.concat([frame] * 40, ignore_index=True),
                                                  npartitions=4), rules,
                                   connect="screener/screener@slow")
        print("computing", flush=True)
        try:
            dask.compute(run.results, scheduler="threads", num_workers=2)
        except KeyboardInterrupt:
            started = time.monotonic()
            rules.screen(frame.head(4), connect="screener/screener@slow")
            print("next screen", time.monotonic() - started, flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "computing"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert out.startswith("next screen"), err
    assert float(out.split()[-1]) < 1.5, out
