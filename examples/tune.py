#!/usr/bin/python3
"""Where an analyst starts: screen the sample, sweep a threshold, compare, and write the report.

    PYTHONPATH=build/linux/python /usr/bin/python3 examples/tune.py [REPORT.html]

The rule set's sharp_increase check sweeps its threshold from 100 to 1000; the summary holds the
precision and recall of each value against the known outcomes in the is_fraud column.
"""

import os
import pathlib
import sys

import pandas as pd

import txscreen

EXAMPLES = pathlib.Path(__file__).resolve().parent
os.environ.setdefault("OCISIM_DATABASES", str(EXAMPLES / "databases"))


def percent(ratio):
    return "   -  " if ratio is None else f"{100 * ratio:5.1f}%"


def main(report_path):
    transactions = pd.read_csv(EXAMPLES / "transactions.csv", dtype={"id": str})
    with txscreen.RuleSet(EXAMPLES / "rules.conf") as rules:
        run = rules.screen(transactions, label="is_fraud")

    print(f"{len(run.results)} transactions screened, {len(run.rejects)} rejected, "
          f"{len(run.alerts)} alerts")
    print(run.results.drop(columns="id").sum().to_string())

    check = next(c for c in run.summary["checks"] if "sweep" in c)
    sweep = check["sweep"]
    print(f"\n{check['label']}: argument {sweep['argument']} now {sweep['current']}")
    print("   value   hits  precision  recall")
    for point in sweep["values"]:
        print(f"{point['value']:>8} {point['hits']:>6}     {percent(point['precision'])}"
              f"  {percent(point['recall'])}")

    run.write_report(report_path)
    print(f"\nthe report: {report_path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tune-report.html")
