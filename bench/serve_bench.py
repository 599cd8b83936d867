#!/usr/bin/python3
"""The decision server's figures, each measured beside its baseline in one run with Debian's
wrk: a decision against the server's own floor (GET /healthz), its latency, single decisions
beside two clients sending batches of 1,000 against the same alone, batches against txhost screen
on the same rows, the server against a small Python HTTP service calling txscreen, 8 database
workers against 1 over a 200 us server, the memory of 300 clients holding unfinished 1 MiB
bodies; decisions with an idempotency key on each against the same without, and the memory of a
million keys; and Python's decide per transaction.

    PYTHONPATH=build/linux/python bench/serve_bench.py [--seconds 5] [--build build/linux]
        [--only keys]

Prints a Markdown table. Every server and service it starts listens on loopback and is stopped.
"""

import argparse
import csv
import http.server
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import timeit
import urllib.request

from argument_rules import ARGUMENT_ONLY

SOURCE = pathlib.Path(__file__).resolve().parents[1]
WRK_SCRIPT = """\
local bodies = {}
for line in io.lines(os.getenv("BODIES")) do bodies[#bodies + 1] = line end
local method, target, keyed = os.getenv("METHOD"), os.getenv("TARGET"), os.getenv("KEYED")
local header = os.getenv("KEY_HEADER")
local n, sent = 0, 0
-- Each thread names its keys apart: KEYED gives every request a KEY_HEADER of its own (an
-- Idempotency-Key, or an X-Request-Id the server ignores, which costs the client the same).
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("thread_id", threads)
end
local headers = {["Content-Type"] = "application/json"}
request = function()
  n = n % #bodies + 1
  if keyed then
    sent = sent + 1
    headers[header] = keyed .. "-" .. thread_id .. "-" .. sent
  end
  return wrk.format(method, target, headers, method == "POST" and bodies[n] or nil)
end
"""


def sample_rows():
    with (SOURCE / "examples" / "transactions.csv").open(newline="") as sample:
        return list(csv.DictReader(sample))


class Server:
    def __init__(self, txhost, rules, *options, env=None):
        self.process = subprocess.Popen(
            [txhost, "serve", "--rules", rules, "--listen", "127.0.0.1:0", *options],
            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True, env=env)
        line = self.process.stderr.readline()
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if not found:
            sys.exit(f"txhost serve did not start: {line}{self.process.stderr.read()}")
        self.port = int(found.group(1))

    def rss_kib(self):
        status = pathlib.Path(f"/proc/{self.process.pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+) kB", status).group(1))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)


def wrk(port, seconds, bodies, method="POST", target="/v1/screen", connections=16, keyed=None,
        header="Idempotency-Key"):
    """(requests per second, p50 ms, p99 ms, non-2xx) of a wrk run; with `keyed`, every request
    carries a `header` of its own, beginning with it."""
    with tempfile.TemporaryDirectory() as scratch:
        script, lines = pathlib.Path(scratch, "bodies.lua"), pathlib.Path(scratch, "bodies.txt")
        script.write_text(WRK_SCRIPT)
        lines.write_text("\n".join(bodies) + "\n")
        env = dict(os.environ, BODIES=str(lines), METHOD=method, TARGET=target)
        if keyed:
            env.update(KEYED=keyed, KEY_HEADER=header)
        done = subprocess.run(["wrk", "-t", "2", "-c", str(connections), "-d", f"{seconds}s",
                               "--latency", "-s", str(script), f"http://127.0.0.1:{port}"],
                              capture_output=True, text=True, env=env, check=True)
    out = done.stdout

    def milliseconds(label):
        value, unit = re.search(rf"^\s+{label}\s+([\d.]+)(us|ms|s)\s*$", out, re.M).groups()
        return float(value) * {"us": 1e-3, "ms": 1, "s": 1e3}[unit]

    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return (float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)), milliseconds("50%"),
            milliseconds("99%"), int(errors.group(1)) if errors else 0)


def singles_beside_batches(port, seconds, singles, batch):
    """(singles alone, singles while two clients send batches back to back): wrk's figures of
    single decisions on 4 connections."""
    alone = wrk(port, seconds, singles, connections=4)
    load = threading.Thread(target=wrk, args=(port, seconds + 2, [batch]),
                            kwargs={"connections": 2})
    load.start()
    time.sleep(1)
    beside = wrk(port, seconds, singles, connections=4)
    load.join()
    return alone, beside


def held_bodies_rss_kib(server, clients=300, size=1 << 20):
    """The server's resident memory while `clients` each hold all but the last byte of a body
    of `size` bytes, and whether a decision beside them was answered."""
    import socket
    holders = []

    def hold():
        raw = socket.create_connection(("127.0.0.1", server.port), timeout=30)
        holders.append(raw)
        raw.sendall(b"POST /v1/screen HTTP/1.1\r\nHost: b\r\nContent-Length: %d\r\n\r\n" % size
                    + b" " * (size - 1))

    threads = [threading.Thread(target=hold) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    rss = server.rss_kib()
    answered = wrk(server.port, 1, [json.dumps(sample_rows()[0])], connections=2)[0] > 0
    for raw in holders:
        raw.close()
    return rss, answered


def python_service(rules_path):
    """What a team would write instead: a threaded http.server calling txscreen per request."""
    import txscreen
    rules = txscreen.RuleSet(rules_path)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            transaction = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
            body = json.dumps(rules.decide(transaction)).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    class Server(http.server.ThreadingHTTPServer):
        def handle_error(self, request, client_address):
            pass  # wrk closes its connections at the end of a run: nothing to report

    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def screen_rows_per_second(txhost, rules, rows, scratch):
    """txhost screen's rows per second over `rows` written as one file, many times over."""
    path = pathlib.Path(scratch, "rows.csv")
    with path.open("w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0]))
        writer.writeheader()
        for _ in range(1000):
            writer.writerows(rows)
    started = time.perf_counter()
    subprocess.run([txhost, "screen", "--rules", rules, "--out", "/dev/null", str(path)],
                   check=False, stderr=subprocess.DEVNULL)
    return 1000 * len(rows) / (time.perf_counter() - started)


def metric(port, sample):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as answer:
        text = answer.read().decode()
    return float(re.search(rf"^{re.escape(sample)} (\S+)$", text, re.M).group(1))


def keys_against_none(server, singles, seconds, pairs, name):
    """The row of decisions with an Idempotency-Key on each request against the same with an
    X-Request-Id (the client's work alike), each against GET /healthz: the median of `pairs`
    turns of the three, the machine being shared. Every answer must be a 2xx."""
    runs = []
    for pair in range(pairs):
        tag = f"t{time.monotonic_ns()}"  # a key of its own for every request of every run
        floor = wrk(server.port, seconds, [""], "GET", "/healthz")
        plain = wrk(server.port, seconds, singles, keyed=tag, header="X-Request-Id")
        keyed = wrk(server.port, seconds, singles, keyed=tag)
        if floor[3] or plain[3] or keyed[3]:
            sys.exit(f"{name}: answers other than 2xx: {floor[3]}, {plain[3]}, {keyed[3]}")
        runs.append((keyed[0] / plain[0], plain[0] / floor[0], keyed[0] / floor[0], floor[0]))
    cost, plain, keyed, floor = sorted(runs)[len(runs) // 2]
    return (f"decisions / `GET /healthz`, {name}: without keys, with a key on each (median of "
            f"{pairs} turns; keyed / without ranged {min(r[0] for r in runs):.2f}–"
            f"{max(r[0] for r in runs):.2f})", f"{plain:.2f}×, {keyed:.2f}×",
            f"{floor:,.0f} req/s", cost, "keys cost ≤ 10% (≥ 0.90×)")


def idempotency_rows(txhost, rules, singles, seconds, scratch, pairs=5):
    """The table's rows of idempotency keys: their cost while the store fills (each key new
    memory), with --audit too, and once it holds a million (each key taking an old one's place);
    and the memory of a million keys."""
    audit = str(pathlib.Path(scratch, "audit.jsonl"))
    server = Server(txhost, rules, "--threads", "2", "--audit", audit)
    rows = [keys_against_none(server, singles, seconds, pairs, "with --audit, the store filling")]
    server.stop()
    pathlib.Path(audit).unlink()
    server = Server(txhost, rules, "--threads", "2")
    rows.append(keys_against_none(server, singles, seconds, pairs, "the store filling"))
    server.stop()
    server = Server(txhost, rules, "--threads", "2")
    before = server.rss_kib()
    while metric(server.port, "txscreen_idempotency_keys") < 1_000_000:
        if wrk(server.port, 5, singles, keyed=f"m{time.monotonic_ns()}")[3]:
            sys.exit("a million keys: answers other than 2xx")
    keys = metric(server.port, "txscreen_idempotency_keys")
    counted = metric(server.port, "txscreen_idempotency_bytes")
    grown = server.rss_kib() - before
    rows.append(keys_against_none(server, singles, seconds, pairs,
                                  "the store at its bound of a million keys"))
    server.stop()
    rows.append((f"a million keys ({keys:,.0f} kept, answers of {len(singles[0])} bytes' "
                 "transactions): resident memory grown / counted",
                 f"{grown / 1024:.0f} MiB", f"{counted / 2**20:.0f} MiB", grown * 1024 / counted,
                 "counted within 1.5× of resident, under 512 MiB"))
    return rows


def print_table(table):
    print("| comparison | measured | baseline | ratio | target |")
    print("|---|---|---|---|---|")
    for name, measured, baseline, ratio, target in table:
        print(f"| {name} | {measured} | {baseline} | {f'{ratio:.2f}×' if ratio else ''} | "
              f"{target} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--build", default=str(SOURCE / "build" / "linux"))
    parser.add_argument("--only", choices=["keys"],
                        help="only the idempotency keys' rows")
    args = parser.parse_args()
    txhost = str(pathlib.Path(args.build, "bin", "txhost"))
    rows = sample_rows()
    for row in rows:
        row.pop("is_fraud")
    singles = [json.dumps(row) for row in rows]
    batch = json.dumps(rows * 4 + rows[:-200])  # 1,000 transactions
    table = []
    with tempfile.TemporaryDirectory() as scratch:
        rules = str(pathlib.Path(scratch, "five.conf"))
        pathlib.Path(rules).write_text(ARGUMENT_ONLY)
        table += idempotency_rows(txhost, rules, singles, args.seconds, scratch)
        if args.only == "keys":
            return print_table(table)

        server = Server(txhost, rules, "--threads", "2")
        floor = wrk(server.port, args.seconds, [""], "GET", "/healthz")
        decide = wrk(server.port, args.seconds, singles)
        rss_before, requests_before = server.rss_kib(), decide[0] * args.seconds
        # Long enough for about a million more decisions: memory must not grow with them.
        more = wrk(server.port, max(args.seconds, round(1e6 / decide[0])), singles)
        rss_after = server.rss_kib()
        requests_after = requests_before + more[0] * max(args.seconds, round(1e6 / decide[0]))
        batches = wrk(server.port, args.seconds, [batch], connections=2)
        alone, beside = singles_beside_batches(server.port, args.seconds, singles, batch)
        server.stop()
        server = Server(txhost, rules, "--threads", "2", "--timeout", "60")
        held_rss, held_answered = held_bodies_rss_kib(server)
        server.stop()
        table.append(("decision, five argument-only checks / `GET /healthz`, 16 connections",
                      f"{decide[0]:,.0f} req/s", f"{floor[0]:,.0f} req/s", decide[0] / floor[0],
                      "≥ 0.5×"))
        table.append(("latency at that load: p50, p99", f"{decide[1]:.2f} ms, {decide[2]:.2f} ms",
                      "", None, "p99 ≤ 2 ms"))
        table.append((f"resident memory after {requests_before / 1e6:.1f} M / after "
                      f"{requests_after / 1e6:.1f} M decisions",
                      f"{rss_after / 1024:.1f} MiB", f"{rss_before / 1024:.1f} MiB",
                      rss_after / rss_before, "flat"))
        table.append(("single decisions beside two clients sending batches of 1,000, p99 / "
                      "alone, 4 connections", f"{beside[2]:.2f} ms", f"{alone[2]:.2f} ms",
                      beside[2] / alone[2], "≤ 3 ms beside, ≤ 2 ms alone"))
        table.append(("resident memory with 300 clients holding unfinished 1 MiB bodies",
                      f"{held_rss / 1024:.0f} MiB", "", None,
                      "< 160 MiB, a decision answered: " + ("yes" if held_answered else "no")))
        screened = screen_rows_per_second(txhost, rules, rows, scratch)
        table.append(("batches of 1,000, 2 connections / `txhost screen` on the same rows",
                      f"{batches[0] * 1000:,.0f} rows/s", f"{screened:,.0f} rows/s",
                      batches[0] * 1000 / screened, "≥ 0.5×"))

        service = python_service(rules)
        python = wrk(service.server_address[1], args.seconds, singles)
        service.shutdown()
        table.append(("`txhost serve` / a Python http.server calling `decide`, 16 connections",
                      f"{decide[0]:,.0f} req/s", f"{python[0]:,.0f} req/s", decide[0] / python[0],
                      "≥ 20×"))

        databases = pathlib.Path(scratch, "databases", "slow")
        databases.mkdir(parents=True)
        for name in ("users.csv", "history.csv"):
            (databases / name).write_text((SOURCE / "examples" / "databases" / "sample" / name)
                                          .read_text())
        (databases / "server.conf").write_text("round trip 200us\n")
        env = dict(os.environ, OCISIM_DATABASES=str(databases.parent))
        testconn = str(pathlib.Path(scratch, "testconn.conf"))
        pathlib.Path(testconn).write_text("over_average txscreen TESTCONN amount account\n")
        figures = {}
        for workers in (1, 8):
            server = Server(txhost, testconn, "--threads", str(workers), "--connect",
                            "screener/screener@slow", env=env)
            figures[workers] = wrk(server.port, args.seconds, singles)
            server.stop()
        table.append(("`TESTCONN` over 200 µs round trips, 16 connections: 8 workers / 1",
                      f"{figures[8][0]:,.0f} req/s", f"{figures[1][0]:,.0f} req/s",
                      figures[8][0] / figures[1][0], "≥ 5×"))

    import txscreen
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch, "five.conf")
        path.write_text(ARGUMENT_ONLY)
        rule_set = txscreen.RuleSet(path)
    calls = 50_000
    per_call = min(timeit.repeat(lambda: rule_set.decide(rows[7]), number=calls, repeat=3)) / calls
    table.append(("Python `decide`, five argument-only checks, per transaction",
                  f"{per_call * 1e6:.1f} µs", "", None, "≤ 20 µs"))

    errors = sum(f[3] for f in (floor, decide, more, batches, alone, beside, python,
                                *figures.values()))
    print_table(table)
    print(f"\nresponses other than 2xx in all runs: {errors}")


if __name__ == "__main__":
    main()
