"""RuleSet.screen as an analyst uses it: the same answers as txhost from a file or a DataFrame of
any dtypes, txhost's messages as exceptions, alerts as rows, and a prompt Ctrl-C."""

import csv
import json
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import txscreen
from conftest import EXAMPLES, TXHOST, comparable, sample_database_like, txhost_screen

RULES = EXAMPLES / "rules.conf"
DECISIONS = EXAMPLES / "decisions.conf"
TRANSACTIONS = EXAMPLES / "transactions.csv"


def as_texts(results):
    return results.reset_index(drop=True).astype(str)


@pytest.fixture(scope="module")
def rules():
    with txscreen.RuleSet(RULES) as rule_set:
        yield rule_set


@pytest.fixture(scope="module")
def txhost_sample(tmp_path_factory):
    return txhost_screen(TRANSACTIONS, RULES, tmp_path_factory.mktemp("txhost"),
                         "--label", "is_fraud")


def typed(frame):
    frame = frame.copy()
    frame["date"] = pd.to_datetime(frame["date"])
    for column in ("amount", "previous_amount"):
        frame[column] = frame[column].astype(np.float64)
    frame["credit_limit"] = frame["credit_limit"].astype(np.float32)
    for column in ("billing_zip", "shipping_zip", "is_fraud"):
        frame[column] = frame[column].astype(np.int64)
    return frame


@pytest.mark.parametrize("source", ["file", "texts", "typed"])
@pytest.mark.parametrize("rule_set", ["checks", "decisions"])
def test_every_source_gives_what_txhost_gives(rules, sample_frame, txhost_sample, tmp_path,
                                              source, rule_set):
    given = {"file": TRANSACTIONS, "texts": sample_frame, "typed": typed(sample_frame)}[source]
    if rule_set == "checks":
        run = rules.screen(given, label="is_fraud", threads=2)
        expected, summary = txhost_sample
        pd.testing.assert_frame_equal(expected, pd.read_csv(EXAMPLES / "expected.csv", dtype=str))
    else:
        with txscreen.RuleSet(DECISIONS) as decisions:
            run = decisions.screen(given, label="is_fraud", threads=2)
        expected, summary = txhost_screen(TRANSACTIONS, DECISIONS, tmp_path, "--label", "is_fraud")
        assert list(expected.columns[-2:]) == ["_score", "_outcome"]
        assert run.results["_score"].dtype == np.float64
        assert "outcomes" in summary and "decisions" in summary
    pd.testing.assert_frame_equal(as_texts(run.results), expected)
    assert comparable(run.summary) == comparable(summary)


def test_typed_values_read_as_the_file_written_by_to_csv_reads(rules, tmp_path):
    # 1 + 2**-24 lies halfway between two floats: written out it reads as the upper one, while a
    # float64 cast straight to float32 would round to the even one below. NaN, NA, a missing text
    # and NaT are empty fields; a NUL and an amount past the float range are rejects.
    frame = pd.DataFrame({
        "id": ["a", "b", "c", "d", "e", "f", "g"],
        "amount": [1 + 2**-24, np.nan, 2.5, 1e39, 7.0, 3.0, 0.1],
        "credit_limit": pd.array([1, 1, 2, 1, 1, 1, pd.NA], dtype="Int64"),
        "account": ["ACC-6661", None, "ACC-6661\0XYZ", "x", "y", "z", "ACC-6661"],
        "date": pd.to_datetime(["2026-12-06", "2026-12-07", "2026-12-06", "2026-12-06",
                                "2026-12-06", "2026-12-07", None]),
        # Floats read as texts (a postal code column with a gap), written as repr writes them.
        # Rows a, e and f are screened: their values reach the explain lines below.
        "zip": [80217.0, np.nan, 0.1, 100000.0, 1e16, 1.5e-05, 80217.0],
        "zip32": np.array([100000.0, 0.1, np.nan, 3.0, 1e-05, 2.5e10, 1e16], dtype=np.float32),
        "zip16": np.array([0.1, np.nan, 1.0, 2.0, 1e-05, 65504.0, 0.333], dtype=np.float16),
        # Times of day with a fraction: to_csv gives every value of the column the digits the
        # finest one needs (here milliseconds); timedeltas as pandas writes them.
        "stamp": pd.to_datetime(["2026-12-06 10:00:00.5", "2026-12-07", None, "2026-12-06",
                                 "2026-12-06 23:59:59.25", "2026-12-07 00:00:01", "2026-12-06"]),
        "wait": pd.to_timedelta(["1.5s", "2 days", None, "0s", "3min", "1us", "1h"]),
    })
    rule_file = tmp_path / "rules.conf"
    rule_file.write_text("over txscreen OVERCREDITLIMIT amount credit_limit\n"
                         "bad txscreen BADACCOUNT account \"ACC-6661\"\n"
                         "sunday txscreen TESTDATE \"SUN\" date\n"
                         "zip txscreen BADACCOUNT zip \"80217.0\"\n"
                         "zip32 txscreen BADACCOUNT zip32 \"100000.0\"\n"
                         "zip_itself txscreen BADACCOUNT zip zip\n"
                         "zip32_itself txscreen BADACCOUNT zip32 zip32\n"
                         "zip16_itself txscreen BADACCOUNT zip16 zip16\n"
                         "stamp_itself txscreen BADACCOUNT stamp stamp\n"
                         "wait_itself txscreen BADACCOUNT wait wait\n")
    csv = tmp_path / "typed.csv"
    frame.to_csv(csv, index=False)
    with txscreen.RuleSet(rule_file) as typed_rules:
        from_frame = typed_rules.screen(frame, explain=True)
        from_file = typed_rules.screen(csv, explain=True)
    pd.testing.assert_frame_equal(as_texts(from_frame.results), as_texts(from_file.results))
    pd.testing.assert_frame_equal(from_frame.explain.astype(str), from_file.explain.astype(str))
    assert from_file.results[["zip", "zip32"]].sum().tolist() == [1, 1]
    texts = {arg["value"] for args in from_file.explain["args"] for arg in args}
    assert {"80217.0", "1e+16", "1.5e-05", "100000.0", "1e-05", "25000000000.0",
            "2026-12-06 10:00:00.500", "2026-12-06 23:59:59.250", "0 days 00:03:00",
            "0 days 00:00:00.000001", "0.1", "1e-05"} <= texts
    assert list(from_frame.results["id"]) == ["a", "e", "f"]
    assert list(from_frame.results["over"]) == [1, 1, 1]
    assert list(from_frame.results["sunday"]) == [1, 1, 0]
    assert list(from_frame.rejects["_reason"]) == list(from_file.rejects["_reason"])
    assert list(from_frame.rejects["_line"]) == [3, 4, 5, 8]
    assert "\"ACC-6661\\0XYZ\" holds a NUL byte" in from_frame.rejects["_reason"].iloc[1]
    assert comparable(from_frame.summary) == comparable(from_file.summary)
    # A time of day where a date is read is a reject, with the text the file holds.
    stamps = frame[["id", "stamp"]].rename(columns={"stamp": "date"}).iloc[[0, 4]]
    stamps.to_csv(csv, index=False)
    day_file = tmp_path / "day.conf"
    day_file.write_text("sunday txscreen TESTDATE \"SUN\" date\n")
    with txscreen.RuleSet(day_file) as day_rules:
        reasons = [list(day_rules.screen(source).rejects["_reason"]) for source in (stamps, csv)]
    assert reasons[0] == reasons[1] and "2026-12-06 10:00:00.500" in reasons[0][0]


def test_faulty_server_alerts_are_rows(sample_frame):
    expected = pd.read_json(EXAMPLES / "expected-faulty-alerts.jsonl", lines=True, dtype=False)
    with txscreen.RuleSet(RULES) as rule_set:
        run = rule_set.screen(sample_frame, connect="screener/screener@faulty")
    assert len(expected) == 33
    pd.testing.assert_frame_equal(run.alerts, expected[["id", "line", "label", "rule", "text"]]
                                  .assign(value=""))
    assert run.summary["alerts"] == 33


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text for this one")


@pytest.mark.parametrize("make, error, words", [
    (lambda r, f, p: txscreen.RuleSet(p("bad.conf", "x txscreen NOSUCHRULE a\n")),
     txscreen.RuleSetError, ["bad.conf:1: txscreen has no rule NOSUCHRULE"]),
    (lambda r, f, p: txscreen.RuleSet(p("missing.conf", None)),
     txscreen.RuleSetError, ["missing.conf: No such file or directory"]),
    (lambda r, f, p: r.screen(f.drop(columns="amount")),
     txscreen.RuleSetError, ["rules.conf:5: unknown column amount"]),
    (lambda r, f, p: r.screen(f, id="tx_id"),
     txscreen.InputError, ["no id column tx_id"]),
    (lambda r, f, p: txscreen.RuleSet(p("scores.conf", "a txscreen OVERCREDITLIMIT amount 3 "
                                            "score 10\n"))
     .screen(f.rename(columns={"id": "_score"}), id="_score"),
     txscreen.RuleSetError, ["the id column _score has the name of the column the scores go in"]),
    (lambda r, f, p: r.screen(f, connect="screener/wrong-secret@sample"),
     txscreen.LoginError, ["cannot log in to sample as screener", "ORA-01017"]),
    (lambda r, f, p: r.screen(f, connect="screener/wrong-secret@sample", password="other"),
     txscreen.LoginError, ["the password is given twice"]),
    (lambda r, f, p: r.screen(f, connect="screener@sample", password_file=p("none", None)),
     txscreen.LoginError, ["No such file or directory"]),
    (lambda r, f, p: r.screen(f.assign(amount="x"), max_rejects=3),
     txscreen.TooManyRejects, ["more than 3 rows rejected", "DataFrame:5"]),
    (lambda r, f, p: r.screen(f.assign(account=["\ud800"] + list(f["account"][1:]))),
     txscreen.InputError, ["column account, row 0 (line 2): its value cannot be read as a text"]),
    (lambda r, f, p: r.screen(f.assign(user=list(f["user"][:5]) + [Unprintable()] +
                                       list(f["user"][6:]))),
     txscreen.InputError, ["column user, row 5 (line 7)", "no text for this one"]),
    (lambda r, f, p: r.screen(f, threads=0), ValueError, ["threads must be at least 1, not 0"]),
    (lambda r, f, p: r.screen(f, threads=2.5), TypeError,
     ["threads must be a whole number, not 2.5"]),
    (lambda r, f, p: r.screen(f, threads=True), TypeError, ["threads must be a whole number"]),
    (lambda r, f, p: r.screen(f, max_rejects=-1), ValueError,
     ["max_rejects must be at least 0, not -1"]),
    # txhost's ranges, past which a fixed-width number would wrap or the process would end.
    (lambda r, f, p: r.screen(f, threads=257), ValueError,
     ["threads must be at most 256, not 257"]),
    (lambda r, f, p: r.screen(f, threads=40000), ValueError, ["threads must be at most 256"]),
    (lambda r, f, p: r.screen(f, threads=2**32 + 1), ValueError, ["threads must be at most 256"]),
    (lambda r, f, p: r.screen(f, threads=np.int8(-3)), ValueError, ["threads must be at least 1"]),
    (lambda r, f, p: r.screen(f, max_rejects=2**64), ValueError,
     ["max_rejects must be at most 18446744073709551615, not 18446744073709551616"]),
    (lambda r, f, p: r.screen(f, id=None), TypeError, ["id must be a text, not None"]),
    (lambda r, f, p: r.screen(f, label=3), TypeError, ["label must be a text, not 3"]),
    (lambda r, f, p: r.screen(f, explain="yes"), TypeError, ["explain must be True or False"]),
])
def test_errors_carry_txhosts_messages(sample_frame, tmp_path, make, error, words):
    def path(name, text):
        if text is not None:
            (tmp_path / name).write_text(text)
        return str(tmp_path / name)

    with txscreen.RuleSet(RULES) as rule_set:
        with pytest.raises(error) as raised:
            make(rule_set, sample_frame, path)
    message = str(raised.value)
    for word in words:
        assert word in message
    assert "wrong-secret" not in message and "wrong-secret" not in repr(raised.value)
    assert isinstance(raised.value, txscreen.Error)


@pytest.mark.parametrize("decides", [False, True])
def test_a_draft_beside_the_live_set_compares_as_txhost_does(sample_frame, tmp_path, decides):
    draft_file = tmp_path / "draft.conf"
    draft_file.write_text(RULES.read_text().replace("previous_amount 400", "previous_amount 500")
                          + 'saturday txscreen TESTDATE "SAT" date\n')
    if decides:
        draft_file = DECISIONS
    changes = tmp_path / "changes.csv"
    _, summary = txhost_screen(TRANSACTIONS, draft_file, tmp_path, "--label", "is_fraud",
                               "--baseline", str(RULES), "--changes", str(changes))
    with txscreen.RuleSet(draft_file) as draft, txscreen.RuleSet(RULES) as live:
        run = draft.screen(sample_frame, label="is_fraud", baseline=live)
    assert run.summary["comparison"] == summary["comparison"]
    rows = summary["comparison"]["rows"]
    assert rows["draft_only"] + rows["live_only"] > 0
    expected = pd.read_csv(changes, dtype=str, keep_default_na=False)
    pd.testing.assert_frame_equal(run.changes.astype(str), expected)
    assert list(run.results.columns)[:len(draft.labels) + 1] == ["id"] + draft.labels


def test_explain_and_report(rules, sample_frame, tmp_path):
    run = rules.screen(sample_frame, label="is_fraud", explain=True)
    fired = int(run.results.drop(columns="id").to_numpy().sum())
    assert len(run.explain) == fired > 0
    assert run.explain.iloc[0]["args"][0]["kind"] in ("amount", "text", "date")
    report = tmp_path / "report.html"
    run.write_report(report)
    page = report.read_text()
    assert json.dumps(run.summary["checks"][0]["label"]) in page and "Chart" in page
    assert not list(tmp_path.glob(".*"))  # no temporary file left beside it


def test_bytes_that_are_not_utf8_come_back_exactly(tmp_path):
    transactions = tmp_path / "bytes.csv"
    transactions.write_bytes(b"id,account\n\xffT1\xe9,ACC-6661\n")
    rules_file = tmp_path / "rules.conf"
    rules_file.write_text('bad txscreen BADACCOUNT account "ACC-6661"\n')
    with txscreen.RuleSet(rules_file) as rule_set:
        run = rule_set.screen(transactions, explain=True)
    for id_ in (run.results["id"].iloc[0], run.explain["id"][0]):
        assert id_.encode("utf-8", "surrogateescape") == b"\xffT1\xe9"


# Minutes of work unless Ctrl-C stops it: many rows on a 2 ms server, or the sample's 300 rows on
# one worker and a 100 ms server, where a batch alone holds 25 s of round trips; or two million
# rows of a frame whose columns are still being converted when Ctrl-C comes.
# The sessions begun when it comes: none while the columns are converted.
@pytest.mark.parametrize("round_trip, copies, threads, wait, sessions",
                         [("2ms", 200, 2, 1.0, 2), ("100ms", 1, 1, 1.0, 1),
                          ("0ms", 7000, 1, 0.05, 0)])
def test_ctrl_c_stops_a_long_run_promptly(tmp_path, round_trip, copies, threads, wait, sessions):
    database = tmp_path / "slow"
    database.mkdir()
    for name in ("users.csv", "history.csv"):
        (database / name).write_bytes((EXAMPLES / "databases" / "sample" / name).read_bytes())
    (database / "server.conf").write_text(f"round trip {round_trip}\n")
    script = textwrap.dedent(f"""
        import os, pandas as pd, sys, time, txscreen
        os.environ["OCISIM_DATABASES"] = {str(tmp_path)!r}
        frame = pd.read_csv({str(TRANSACTIONS)!r}, dtype=str, keep_default_na=False)
        frame = pd.concat([frame] * {copies}, ignore_index=True)
        rules = txscreen.RuleSet({str(RULES)!r})
        print("screening", flush=True)
        try:
            rules.screen(frame, connect="screener/screener@slow", threads={threads})
        except KeyboardInterrupt:
            print("interrupted", txscreen.sessions_begun(), time.monotonic(), flush=True)
            sys.exit(42)
        print("completed", flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "screening"
        time.sleep(wait)
        child.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = child.communicate(timeout=30)
        waited = time.monotonic() - started
    finally:
        child.kill()
    assert child.returncode == 42, err
    said, begun, caught = out.split()
    assert (said, int(begun)) == ("interrupted", sessions)
    # The interrupt itself, on the clock both processes share, and then the exit.
    assert float(caught) - started < 0.6 and waited < 3


def test_the_analysts_example_runs(tmp_path):
    report = tmp_path / "tune.html"
    done = subprocess.run([sys.executable, str(EXAMPLES / "tune.py"), str(report)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "     400     66      72.7%   71.6%" in done.stdout
    assert report.stat().st_size > 100_000  # the page with Chart.js built in


@pytest.fixture
def lost_database(tmp_path, monkeypatch):
    """The sample database whose sessions break after 280 statements."""
    return sample_database_like(tmp_path, monkeypatch, "lost", "session lost after 280\n")


# A rule set keeps its sessions from one run to the next only for the same login, password
# included, and only while they still answer: each case is a first run, then a second.
@pytest.mark.parametrize("first, second, outcome", [
    ("screener/screener@lost", "screener/screener@lost", "kept"),
    ("screener/screener@lost", "screener/wrong@lost", "refused"),
    ("screener/screener@lost", "screener/screener@lost", "reopened after a lost session"),
])
def test_kept_sessions_serve_only_their_login_while_alive(sample_frame, lost_database, first,
                                                          second, outcome):
    with txscreen.RuleSet(RULES) as rules:
        rows = 300 if outcome.startswith("reopened") else 100
        run = rules.screen(sample_frame.head(rows), connect=first)
        assert (run.summary["rows_on_lost_session"] > 0) == outcome.startswith("reopened")
        begun = txscreen.sessions_begun()
        if outcome == "refused":
            with pytest.raises(txscreen.LoginError, match="ORA-01017"):
                rules.screen(sample_frame.head(10), connect=second)
            return
        again = rules.screen(sample_frame.head(100), connect=second)
        assert again.summary["rows_on_lost_session"] == 0
        assert txscreen.sessions_begun() - begun == (0 if outcome == "kept" else 1)


def test_lines_are_counted_as_pythons_csv_module_counts_them(tmp_path):
    # Lone CRs, CRLF, LF, a quoted field over two lines, an empty line: each rejected row's line
    # is where csv.reader starts reading it.
    transactions = tmp_path / "lines.csv"
    transactions.write_bytes(b'id,amount\rT1,x\rT2,"two\rlines"\r\nT3,y\n\rT4,z\rT5,w')
    rules_file = tmp_path / "rules.conf"
    rules_file.write_text("over txscreen OVERCREDITLIMIT amount 5\n")
    expected = {}
    with open(transactions, newline="") as file:
        reader = csv.reader(file)
        next(reader)
        while True:
            start = reader.line_num + 1
            try:
                row = next(reader)
            except StopIteration:
                break
            if row:
                expected[row[0]] = start
    with txscreen.RuleSet(rules_file) as rule_set:
        run = rule_set.screen(transactions)
    assert dict(zip(run.rejects["id"], run.rejects["_line"])) == expected
    assert len(expected) == 5


def test_every_column_of_a_frame_can_be_named_and_no_bare_word_is_taken_for_one(tmp_path):
    frame = pd.DataFrame({"id": ["T1", "T2"], "2fa_zip": ["1", "2"], "-ship zip": ["1", "3"],
                          "channel": ["Store", "Store"]})
    named = tmp_path / "named.conf"
    named.write_text("same txscreen2 SAMEZIPCODE `2fa_zip` `-ship zip` channel\n")
    with txscreen.RuleSet(named) as rules:
        assert rules.screen(frame).results["same"].tolist() == [1, 0]
    bare = tmp_path / "bare.conf"
    bare.write_text("same txscreen BADACCOUNT 2fa_zip channel\n")
    with txscreen.RuleSet(bare) as rules:
        with pytest.raises(txscreen.RuleSetError, match="2fa_zip, is both a bare literal and a "
                                                        "column's name: write `2fa_zip`"):
            rules.screen(frame)


def test_rejects_are_shaped_as_txhost_writes_them_and_never_hold_two_columns_of_one_name(
        rules, sample_frame, tmp_path):
    header = ",".join(sample_frame.columns)
    good = ",".join(sample_frame.iloc[0])
    transactions = tmp_path / "t.csv"
    transactions.write_text(f"{header}\n{good}\n{good},extra,fields\nT9,short\n"
                            f"{good.replace('97.67', 'x')}\n")
    rejects = tmp_path / "rejects.csv"
    done = subprocess.run([TXHOST, "screen", "--rules", str(RULES), "--rejects", str(rejects),
                           "--out", str(tmp_path / "out.csv"), str(transactions)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1, done.stderr
    written = pd.read_csv(rejects, dtype=str, keep_default_na=False)
    run = rules.screen(transactions)
    assert len(written) == 3
    pd.testing.assert_frame_equal(run.rejects.reset_index(drop=True).astype(str), written)
    # An input column named as one the rejects add is refused, in both.
    clashing = tmp_path / "clash.csv"
    clashing.write_text(f"{header},_reason\n{good},x\n")
    done = subprocess.run([TXHOST, "screen", "--rules", str(RULES), "--rejects", str(rejects),
                           str(clashing)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert "the column _reason has the name of a column the rejects add" in done.stderr
    for source in (clashing, sample_frame.assign(_line=1)):
        with pytest.raises(txscreen.InputError, match="has the name of a column the rejects add"):
            rules.screen(source)


def test_python_keeps_what_the_files_hold(sample_frame, tmp_path, monkeypatch):
    """Every part of a run that txhost writes to a file, Python gives whole: results by the
    file's line, the score in explain, each alert's swept value; decide takes a DataFrame's row
    as it is, and a bool label is a label."""
    connect = sample_database_like(tmp_path, monkeypatch, "reviewed",
                                   "raise account ACC-1033 ORA-20001: under review\n")
    rules_file = tmp_path / "rules.conf"
    rules_file.write_text("over txscreen TESTCONN 100 in [50, 100, 200] account score 5\n"
                          "limit txscreen OVERCREDITLIMIT amount credit_limit score 7\n")
    rows = sample_frame.copy()
    rows.loc[[3, 7], "amount"] = "x"  # rejected: the rows after them keep their lines
    transactions = tmp_path / "t.csv"
    rows.to_csv(transactions, index=False)
    explain, alerts = tmp_path / "explain.jsonl", tmp_path / "alerts.jsonl"
    expected, _ = txhost_screen(transactions, rules_file, tmp_path, "--connect", connect,
                                "--explain", str(explain), "--alerts", str(alerts))
    with txscreen.RuleSet(rules_file) as rules:
        run = rules.screen(transactions, connect=connect, explain=True)
        read = pd.read_csv(transactions, dtype=str, keep_default_na=False)
        assert (run.results["id"] == read.loc[run.results.index - 2, "id"].to_numpy()).all()
        assert run.rejects.index.tolist() == [5, 9]
        written = [json.loads(line) for line in explain.read_text().splitlines()]
        assert run.explain["score"].tolist() == [line["score"] for line in written]
        raised = pd.DataFrame([json.loads(line) for line in alerts.read_text().splitlines()])
        assert len(raised) > 3 and raised["value"].notna().any()
        pd.testing.assert_frame_equal(run.alerts.replace("", np.nan), raised[run.alerts.columns],
                                      check_dtype=False)
        as_texts = rules.decide(sample_frame.iloc[0].to_dict(), connect=connect)
        numbers = {"amount": np.float32(97.67), "credit_limit": np.int64(500)}
        assert rules.decide({**sample_frame.iloc[0].to_dict(), **numbers},
                            connect=connect) == as_texts
        assert rules.decide(sample_frame.iloc[0], connect=connect) == as_texts
    flags = sample_frame.assign(is_fraud=sample_frame["is_fraud"] == "1")
    with txscreen.RuleSet(RULES) as rules:
        as_bools = rules.screen(flags, label="is_fraud", connect=connect).summary
        as_digits = rules.screen(sample_frame, label="is_fraud", connect=connect).summary
    assert as_bools["rows_unlabelled"] == 0
    assert comparable(as_bools) == comparable(as_digits)


def test_thousands_of_checks_cost_what_fires(sample_frame, tmp_path):
    """A blocklist written as 3,000 checks: no pandas warning, and a summary of the pairs that
    fired together only."""
    rules_file = tmp_path / "block.conf"
    rules_file.write_text("".join(f'bad{i} txscreen BADACCOUNT account "ACC-{1000 + i}"\n'
                                  for i in range(3000)))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with txscreen.RuleSet(rules_file) as rules:
            run = rules.screen(sample_frame)
    assert run.results.shape == (300, 3001)
    listed = sample_frame["account"].isin([f"ACC-{1000 + i}" for i in range(3000)])
    assert run.results.drop(columns="id").sum(axis=1).tolist() == listed.astype(int).tolist()
    assert run.summary["fired_together"] == [] and run.summary["fired_together_complete"]


def test_frames_and_files_pandas_writes_are_named_for_what_they_are(rules, sample_frame,
                                                                      tmp_path):
    nested = sample_frame.copy()
    nested.columns = pd.MultiIndex.from_tuples([("tx", name) for name in sample_frame.columns])
    with pytest.raises(txscreen.InputError, match="MultiIndex of 2 levels.*flatten them"):
        rules.screen(nested)
    indexed = tmp_path / "indexed.csv"
    sample_frame.to_csv(indexed)
    with pytest.raises(txscreen.InputError, match="column 1 has no name: a file written with its "
                                                  "index.*index=False"):
        rules.screen(indexed)


def test_decide_follows_the_id_column_of_each_call(rules, sample_frame):
    row = sample_frame.iloc[0].to_dict()
    by_tx = {("tx" if key == "id" else key): value for key, value in row.items()}
    by_tx["id"] = "not the id"
    first = rules.decide(row)
    assert rules.decide(by_tx, id="tx")["id"] == row["id"]
    assert rules.decide({**row, "id": "T-other"})["id"] == "T-other"
    with pytest.raises(txscreen.InputError, match="tx"):
        rules.decide(row, id="tx")
    assert rules.decide(row) == first
