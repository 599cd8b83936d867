"""Fixtures shared by the package's tests: the sources' examples, txhost, scratch files."""

import json
import os
import pathlib
import subprocess

import pandas as pd
import pytest

SOURCE = pathlib.Path(os.environ.get("TXSCREEN_SOURCE",
                                     pathlib.Path(__file__).resolve().parents[2]))
EXAMPLES = SOURCE / "examples"
TXHOST = os.environ.get("TXHOST", str(SOURCE / "build" / "linux" / "bin" / "txhost"))

# What differs between two runs of the same rows by nature: the clock, the workers, the paths.
VOLATILE = ("seconds", "rows_per_second", "workers", "partitions", "input", "rules")


@pytest.fixture(autouse=True)
def sample_databases(monkeypatch):
    monkeypatch.setenv("OCISIM_DATABASES", str(EXAMPLES / "databases"))


@pytest.fixture
def sample_frame():
    """The sample transactions as texts, exactly as the file holds them."""
    return pd.read_csv(EXAMPLES / "transactions.csv", dtype=str, keep_default_na=False)


def comparable(summary):
    return {key: value for key, value in summary.items() if key not in VOLATILE}


def txhost_screen(transactions, rules, tmp_path, *options):
    """Runs txhost screen; gives its results as texts and its summary."""
    out, summary = tmp_path / "txhost-out.csv", tmp_path / "txhost-summary.json"
    done = subprocess.run([TXHOST, "screen", "--rules", str(rules), "--out", str(out),
                           "--summary", str(summary), *options, str(transactions)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode in (0, 1), done.stderr
    return (pd.read_csv(out, dtype=str, keep_default_na=False),
            json.loads(summary.read_text()))


def sample_database_like(tmp_path, monkeypatch, name, faults):
    """A database `name` with the sample's users and history and `faults` (a faults.conf text),
    in a directory of its own that OCISIM_DATABASES then names; gives its connect string."""
    database = tmp_path / "databases" / name
    database.mkdir(parents=True)
    for file in ("users.csv", "history.csv"):
        (database / file).write_bytes((EXAMPLES / "databases" / "sample" / file).read_bytes())
    (database / "faults.conf").write_text(faults)
    monkeypatch.setenv("OCISIM_DATABASES", str(tmp_path / "databases"))
    return f"screener/screener@{name}"
