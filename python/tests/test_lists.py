"""Lists as a rule's text literal: a check with a list fires exactly where the same checks written
one per value, OR-ed, fire, in txhost, Python and the server; what the summary, explain and the
baseline say of lists; and the lists that are refused."""

import json
import random
import signal
import subprocess

import pandas as pd
import pytest

import txscreen
from conftest import EXAMPLES, TXHOST, txhost_screen
from serve_helpers import Load, Server

COLUMNS = ["id", "account", "user", "terminal", "registered_terminal", "merchant", "date",
           "billing_zip", "shipping_zip", "channel"]
# Texts a row may hold: a value with a trailing space is another value, byte for byte.
ACCOUNTS = ["ACC-1", "ACC-2", "ACC-2 ", "ACC-3", "ACC-4", "acc-1"]
USERS = ["svc-a", "svc-b", "carol", "dave"]
MERCHANTS = ["M-1", "M-2", "M-3"]
ZIPS = ["10001", "10002", "10003"]

# Each argument that may be a list, with the values of its list (some never on a row, one
# written twice): the rule's line with LIST where the list goes.
CASES = [
    ("BADACCOUNT account LIST", ["ACC-1", "ACC-2 ", "ACC-9", "ACC-1"]),
    ("BADACCOUNT LIST account", ["ACC-3", "ACC-2"]),
    ("SPECIAL_USER LIST registered_terminal user terminal", ["svc-a", "svc-b", "nobody"]),
    ('SPECIAL_USER "svc-b" registered_terminal LIST terminal', ["carol", "svc-b"]),
    ('TESTMERCHANT merchant LIST "SAT" date', ["M-1", "M-3"]),
    ('TESTMERCHANT LIST merchant "SUN" date', ["M-2"]),
    ('TESTMERCHANT merchant "M-2" LIST date', ["SAT", "SUN", "MON"]),
    ("TESTDATE LIST date", ["SAT", "SUN", "sun"]),
    ("SAMEZIPCODE billing_zip LIST channel", ["10001", "10003"]),
    ("SAMEZIPCODE LIST shipping_zip channel", ["10002"]),
]


def quoted(text):
    return '"' + text.replace('"', '""') + '"'


def library_of(rule_line):
    return "txscreen2" if rule_line.split()[0] in ("TESTMERCHANT", "SAMEZIPCODE") else "txscreen"


def write_list(path, values, crlf):
    """A list file as an operations team keeps one: comments, a blank line, CRLF or LF ends."""
    end = "\r\n" if crlf else "\n"
    path.write_bytes(("# kept by operations" + end + end + end.join(values) + end).encode())


@pytest.fixture(scope="module")
def listed(tmp_path_factory):
    """The transactions, the rule set with one list per check, and the same checks written one
    per value: (folder, transactions, list set, expanded set, {label: (values, expanded
    labels)})."""
    folder = tmp_path_factory.mktemp("lists")
    generator = random.Random(7)
    rows = []
    for n in range(600):
        user = generator.choice(USERS)
        terminal = generator.choice(["T-1", "T-2"])
        rows.append([f"R{n}", generator.choice(ACCOUNTS), user, terminal,
                     generator.choice(["T-1", "T-2"]), generator.choice(MERCHANTS),
                     f"2026-12-{generator.randint(1, 31):02d}", generator.choice(ZIPS),
                     generator.choice(ZIPS), generator.choice(["Store", "Internet"])])
    transactions = folder / "transactions.csv"
    pd.DataFrame(rows, columns=COLUMNS).to_csv(transactions, index=False)
    (folder / "lists").mkdir()
    listed_lines, expanded_lines, checks = [], [], {}
    for c, (rule_line, values) in enumerate(CASES):
        label, library = f"check{c}", library_of(rule_line)
        write_list(folder / "lists" / f"list {c}.txt", values, crlf=c % 2 == 0)
        reference = f'@"lists/list {c}.txt"'
        listed_lines.append(f"{label} {library} {rule_line.replace('LIST', reference)}")
        labels = []
        for v, value in enumerate(dict.fromkeys(values)):
            labels.append(f"{label}_{v}")
            expanded_lines.append(f"{labels[-1]} {library} "
                                  f"{rule_line.replace('LIST', quoted(value))}")
        checks[label] = (list(dict.fromkeys(values)), labels)
    list_set, expanded_set = folder / "lists.conf", folder / "expanded.conf"
    list_set.write_text("\n".join(listed_lines) + "\n")
    expanded_set.write_text("\n".join(expanded_lines) + "\n")
    return folder, transactions, list_set, expanded_set, checks


def expected_columns(listed):
    """Each list check's column as the OR of its checks written one per value, and each value's
    hits, from txhost on the expanded set."""
    folder, transactions, _, expanded_set, checks = listed
    expanded, _ = txhost_screen(transactions, expanded_set, folder)
    columns, hits = {}, {}
    for label, (values, labels) in checks.items():
        fired = expanded[labels].astype(int)
        columns[label] = fired.max(axis=1).astype(str)
        hits[label] = {value: int(fired[name].sum()) for value, name in zip(values, labels)}
    return expanded["id"], columns, hits


def test_a_list_fires_where_its_values_written_one_by_one_fire(listed, tmp_path):
    folder, transactions, list_set, _, checks = listed
    ids, columns, hits = expected_columns(listed)
    assert all(columns[label].eq("1").any() and columns[label].eq("0").any() for label in checks)
    results, summary = txhost_screen(transactions, list_set, tmp_path)
    with txscreen.RuleSet(list_set) as rules:
        in_python = rules.screen(transactions, explain=True)
    for label in checks:
        assert results[label].tolist() == columns[label].tolist(), label
        assert in_python.results[label].astype(str).tolist() == columns[label].tolist(), label
    # The summary gives each value's hits, those that fired most first.
    for entry in summary["checks"]:
        listed_values = entry["list"]
        assert listed_values["values"] == len(checks[entry["label"]][0])
        fired = {v: n for v, n in hits[entry["label"]].items() if n > 0}
        assert listed_values["values_that_fired"] == len(fired)
        assert {v["value"]: v["hits"] for v in listed_values["top_values"]} == fired
        ranked = [v["hits"] for v in listed_values["top_values"]]
        assert ranked == sorted(ranked, reverse=True)
    # Explain names the value the row matched: the row's own text, for a list it must equal.
    explained = in_python.explain[in_python.explain["label"] == "check0"]
    assert len(explained) == int((columns["check0"] == "1").sum())
    for _, line in explained.iterrows():
        account, value = line["args"]
        assert value["source"] == "list" and value["list"] == "lists/list 0.txt"
        assert value["value"] == account["value"]


def test_lists_given_from_python_stand_for_the_files(listed):
    folder, transactions, list_set, _, checks = listed
    _, columns, _ = expected_columns(listed)
    given = {f"lists/list {c}.txt": pd.Series(values) for c, (_, values) in enumerate(CASES)}
    with txscreen.RuleSet(list_set, lists=given) as rules:
        results = rules.screen(pd.read_csv(transactions, dtype=str, keep_default_na=False)).results
    for label in checks:
        assert results[label].astype(str).tolist() == columns[label].tolist(), label
    # Given lists go before files: an emptier list fires on fewer rows.
    with txscreen.RuleSet(list_set, lists={"lists/list 0.txt": ["ACC-9"]}) as rules:
        assert rules.screen(transactions).results["check0"].sum() == 0
    for lists, wrong in [({"lists/list 0.txt": ["ACC-1", float("nan")]}, "value 2 is nan"),
                         ({"lists/list 0.txt": []}, "holds no values"),
                         ({"lists/list 0.txt": ["a\0b"]}, "NUL"),
                         ({"lists/list 0.txt": "ACC-1"}, "expected a sequence of str")]:
        with pytest.raises(txscreen.Error, match=wrong):
            txscreen.RuleSet(list_set, lists=lists)


def test_the_server_decides_a_list_as_its_values_and_reloads_lists(listed, tmp_path):
    folder, transactions, list_set, _, checks = listed
    ids, columns, _ = expected_columns(listed)
    rows = pd.read_csv(transactions, dtype=str, keep_default_na=False).to_dict("records")
    audit = tmp_path / "audit.jsonl"
    with Server("--audit", audit, rules=list_set) as server:
        status, _, body = server.request("POST", "/v1/screen", rows)
        assert status == 200
        for label in checks:
            assert [str(a["checks"][label]) for a in json.loads(body)] == columns[label].tolist()
        metrics = server.request("GET", "/metrics")[2]
        assert 'txscreen_list_values{list="lists/list 0.txt"} 3' in metrics
        # A value added to a list under load: taken at the reload, with no request failed.
        row = {**rows[0], "account": "ACC-NEW"}
        assert server.screen(row)[1]["checks"]["check0"] == 0
        load = Load(server.host, server.port, rows, threads=3)
        try:
            load.wait_for_answers(50)
            write_list(folder / "lists" / "list 0.txt", CASES[0][1] + ["ACC-NEW"], crlf=True)
            server.signal(signal.SIGHUP)
            assert "reloaded" in server.wait_for("reload")
            added = server.screen(row)[1]["checks"]["check0"]
            # A list that cannot be read keeps the last good set, lists and all.
            (folder / "lists" / "list 0.txt").write_bytes(b"# emptied\n")
            server.signal(signal.SIGHUP)
            refused = server.wait_for("reload")
            kept = server.screen(row)[1]["checks"]["check0"]
        finally:
            answers, failures = load.stop()
            write_list(folder / "lists" / "list 0.txt", CASES[0][1], crlf=True)
        assert failures == [] and {status for status, _, _ in answers} == {200}
        assert added == 1 and kept == 1
        assert "refused" in refused and "list 0.txt: the list holds no values" in refused
        assert server.stop() == 0
    # Each audit line names the lists' contents: the set's digest moved with the added value.
    digests = [json.loads(line)["rules_sha256"] for line in audit.read_text().splitlines()]
    assert len(set(digests)) == 2


def test_a_baseline_counts_the_values_a_list_gained_and_lost(tmp_path):
    live, draft = tmp_path / "live", tmp_path / "draft"
    for folder, values in ((live, ["ACC-1", "ACC-2", "ACC-3"]),
                           (draft, ["ACC-3", "ACC-2", "ACC-4"])):
        (folder / "lists").mkdir(parents=True)
        write_list(folder / "lists" / "bad.txt", values, crlf=False)
        (folder / "rules.conf").write_text("bad txscreen BADACCOUNT account @lists/bad.txt\n"
                                           "same txscreen BADACCOUNT @lists/same.txt account\n")
        write_list(folder / "lists" / "same.txt", ["X", "Y"] if folder == live else ["Y", "X"],
                   crlf=folder == live)
    transactions = tmp_path / "t.csv"
    transactions.write_text("id,account\nA,ACC-1\nB,ACC-4\nC,ACC-3\n")
    _, summary = txhost_screen(transactions, draft / "rules.conf", tmp_path,
                               "--baseline", str(live / "rules.conf"))
    checks = summary["comparison"]["checks"]
    # The same values in another order and with other line ends are the same list.
    assert checks["changed"] == ["bad"]
    assert checks["list_changes"] == [{"label": "bad", "values_added": 1, "values_removed": 1}]
    assert summary["comparison"]["rows"]["draft_only"] == 1
    assert summary["comparison"]["rows"]["live_only"] == 1


def test_an_output_over_a_list_is_refused(listed, tmp_path):
    folder, transactions, list_set, _, _ = listed
    target = folder / "lists" / "list 1.txt"
    before = target.read_bytes()
    done = subprocess.run([TXHOST, "screen", "--rules", str(list_set), "--summary", str(target),
                           str(transactions)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert "is the same file as the list" in done.stderr
    assert target.read_bytes() == before


def test_the_example_list_set_gives_its_expected_results(tmp_path):
    results, _ = txhost_screen(EXAMPLES / "transactions.csv", EXAMPLES / "lists.conf", tmp_path)
    expected = pd.read_csv(EXAMPLES / "expected-lists.csv", dtype=str, keep_default_na=False)
    pd.testing.assert_frame_equal(results, expected)
