#!/usr/bin/env python3
"""Writes the sample transactions and the sample database's account history.

The output is fixed by the seed, so the files in examples/ can be made again exactly. Besides
random traffic, the sample holds rows that sit on each rule's edges: a threshold met exactly, a
credit limit met exactly, equal postal codes on "Internet" and on "internet", a bad account in
lower case, the watched merchant on its day and on another.
"""
import csv
import datetime
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
rng = random.Random(20261208)

ACCOUNTS = [f"ACC-{1001 + i}" for i in range(40)]
TYPICAL = {account: rng.choice([40, 80, 150, 300, 600]) for account in ACCOUNTS}
USERS = ["alice", "bob", "carol", "dave", "erin", "svc-batch"]
MERCHANTS = [f"M-{n:04d}" for n in (12, 77, 310, 512, 666, 901)]
CHANNELS = ["Store", "Store", "Phone", "Internet", "Internet", "internet"]
START = datetime.date(2026, 11, 2)  # a Monday


def money(value):
    return f"{value:.2f}"


def write_history():
    rows = []
    for account in ACCOUNTS[:36]:  # the last four accounts have no history
        for _ in range(rng.randint(4, 9)):
            rows.append((account, money(TYPICAL[account] * rng.uniform(0.6, 1.4))))
    with open(os.path.join(HERE, "databases", "sample", "history.csv"), "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["account", "amount"])
        out.writerows(rows)


def transaction(n):
    account = rng.choice(ACCOUNTS)
    user = rng.choice(USERS)
    registered = f"T-{USERS.index(user) + 1:02d}"
    terminal = registered if rng.random() < 0.85 else f"T-{rng.randint(10, 99):02d}"
    typical = TYPICAL[account]
    amount = typical * rng.uniform(0.3, 2.5)
    previous = typical * rng.uniform(0.3, 1.5)
    if rng.random() < 0.08:
        amount = previous + rng.uniform(400, 900)
    zip_code = f"{rng.randint(10000, 99999)}"
    shipping = zip_code if rng.random() < 0.5 else f"{rng.randint(10000, 99999)}"
    limit = rng.choice([500, 1000, 2500])
    return {
        "id": f"T{n:05d}",
        "date": (START + datetime.timedelta(days=rng.randint(0, 48))).isoformat(),
        "account": account,
        "user": user,
        "terminal": terminal,
        "registered_terminal": registered,
        "merchant": rng.choice(MERCHANTS),
        "amount": money(amount),
        "previous_amount": money(previous),
        "credit_limit": money(limit),
        "billing_zip": zip_code,
        "shipping_zip": shipping,
        "channel": rng.choice(CHANNELS),
    }


def edge_cases(n):
    base = transaction(n)
    cases = [
        # exactly at the sharp-increase threshold, and just short of it
        dict(amount="900.50", previous_amount="500.50"),
        dict(amount="900.25", previous_amount="500.50"),
        # exactly at the credit limit, and just over it
        dict(amount="500.00", credit_limit="500.00", previous_amount="400.00"),
        dict(amount="500.01", credit_limit="500.00", previous_amount="400.00"),
        # the known bad account, and the same text in lower case
        dict(account="ACC-6661"),
        dict(account="acc-6661"),
        # equal postal codes on the Internet channel, in both cases, and with a trailing blank
        dict(billing_zip="10115", shipping_zip="10115", channel="Internet"),
        dict(billing_zip="10115", shipping_zip="10115", channel="internet"),
        dict(billing_zip="10115", shipping_zip="10115", channel="Internet "),
        # the batch user on another terminal, and on its own
        dict(user="svc-batch", registered_terminal="T-06", terminal="T-42"),
        dict(user="svc-batch", registered_terminal="T-06", terminal="T-06"),
        # the watched merchant on a Saturday and on a Friday; another merchant on a Saturday
        dict(merchant="M-0666", date="2026-12-12"),
        dict(merchant="M-0666", date="2026-12-11"),
        dict(merchant="M-0512", date="2026-12-12"),
        # an account without history, with a large amount
        dict(account=ACCOUNTS[-1], amount="9999.00"),
        # a field with a comma and a quote, which the CSV must carry intact
        dict(merchant='M-0077 "Corner, Shop"'),
    ]
    rows = []
    for i, case in enumerate(cases):
        row = transaction(n + i)
        row.update(case)
        rows.append(row)
    return rows


def fraud_label(row):
    """A plausible known outcome: most big jumps, bad accounts and moved batch users were fraud."""
    amount, previous = float(row["amount"]), float(row["previous_amount"])
    suspicious = (amount - previous >= 400 or row["account"] == "ACC-6661" or
                  (row["user"] == "svc-batch" and row["terminal"] != row["registered_terminal"]))
    if suspicious:
        return "1" if rng.random() < 0.7 else "0"
    return "1" if rng.random() < 0.03 else "0"


def write_transactions():
    rows = [transaction(n) for n in range(1, 285)] + edge_cases(285)
    columns = list(rows[0].keys()) + ["is_fraud"]
    with open(os.path.join(HERE, "transactions.csv"), "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(columns)
        for row in rows:
            row["is_fraud"] = fraud_label(row)
            out.writerow([row[c] for c in columns])


if __name__ == "__main__":
    write_history()
    write_transactions()
