"""txhost serve, a real process on loopback: the same answers as txhost screen and decide, every
class of bad request, and what it does through reloads, overload, stalls, lost sessions, a full
disk and a stop."""

import json
import re
import signal
import socket
import subprocess
import threading
import time

import pandas as pd
import pytest

import txscreen
from conftest import EXAMPLES, TXHOST, sample_database_like
from serve_helpers import (DECISIONS, Load, Server, check_answer, env_with, free_port,
                           parse_responses, raw_exchange, resident_megabytes, sample_rows,
                           slow_database, start_haproxy, stop_behind_haproxy)

NUMERIC = ("amount", "previous_amount", "credit_limit")
NUMBER_TEXT = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?")

def as_json(row):
    """The row as a request: the amounts that are JSON numbers as written are sent as numbers
    with their exact text, so that reading a number as its text is proven too."""
    members = []
    for key, value in row.items():
        literal = value if key in NUMERIC and NUMBER_TEXT.fullmatch(value) else json.dumps(value)
        members.append(f"{json.dumps(key)}: {literal}")
    return "{" + ", ".join(members) + "}"


BAD_VALUES = [  # (field, value): each a value the CSV path rejects
    ("amount", "12,5"),
    ("date", "2026-02-30"),
    ("user", "ca\0rol"),
    ("amount", "1e400"),
    ("amount", "9" * 400),
]
LONE_SURROGATE = ("column user: the text holds half of a UTF-16 surrogate pair alone (\\ud800 to "
                  "\\udfff), which stands for no character")


def with_literal(transaction, field, literal):
    """The transaction as JSON with `field` written as the JSON literal given."""
    others = {key: value for key, value in transaction.items() if key != field}
    return json.dumps(others)[:-1] + f', "{field}": {literal}}}'



def with_bad_rows(tmp_path):
    """The sample's rows and after them one row for each of BAD_VALUES (ids B0, B1, ...), as a
    file and as transactions."""
    good = sample_rows()[0]
    bad = [{**good, field: value, "id": f"B{n}"} for n, (field, value) in enumerate(BAD_VALUES)]
    rows = sample_rows() + bad
    path = tmp_path / "transactions.csv"
    path.write_bytes(pd.DataFrame(rows).to_csv(index=False).encode())
    return path, rows


def screened(tmp_path, rules, *options, transactions=EXAMPLES / "transactions.csv"):
    """txhost screen's results and rejects, by id."""
    out, rejects = tmp_path / "out.csv", tmp_path / "rejects.csv"
    done = subprocess.run([TXHOST, "screen", "--rules", str(rules), "--out", str(out),
                           "--rejects", str(rejects), *options, str(transactions)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode in (0, 1), done.stderr
    results = pd.read_csv(out, dtype=str, keep_default_na=False).set_index("id")
    reasons = pd.read_csv(rejects, dtype=str, keep_default_na=False).set_index("id")["_reason"]
    return results, reasons


def expected_answer(results, labels, transaction_id):
    row = results.loc[transaction_id]
    return ({label: int(row[label]) for label in labels}, float(row["_score"]), row["_outcome"])


def test_each_transaction_is_answered_as_txhost_screen_and_decide_answer_it(tmp_path):
    """One request a row on one kept-alive connection, then the whole sample as one batch:
    checks, score and outcome equal txhost screen's results, the rows it rejects are rejected
    with its reasons, and Python's decide gives the very answer the server gives."""
    transactions, rows = with_bad_rows(tmp_path)
    results, reasons = screened(tmp_path, DECISIONS, transactions=transactions)
    rules = txscreen.RuleSet(DECISIONS)
    labels = rules.labels
    assert len(reasons) == len(BAD_VALUES) and len(results) == len(rows) - len(BAD_VALUES)
    with Server("--threads", 2, rules=DECISIONS) as server:
        connection = server.connection()
        singles = []
        for row in rows:
            status, _, body = server.request("POST", "/v1/screen", as_json(row),
                                             connection=connection)
            singles.append((status, json.loads(body)))
        status, _, body = server.request("POST", "/v1/screen",
                                         "[" + ",".join(map(as_json, rows)) + "]")
        assert status == 200
        batch = json.loads(body)
        assert server.stop() == 0
    assert [item["id"] for item in batch] == [row["id"] for row in rows]
    for row, (status, single), item in zip(rows, singles, batch):
        transaction_id = row["id"]
        if transaction_id in reasons.index:
            assert (status, single) == (422, {"error": reasons[transaction_id]})
            assert item == {"id": transaction_id, "rejected": reasons[transaction_id]}
            continue
        assert status == 200
        assert single == item
        checks, score, outcome = expected_answer(results, labels, transaction_id)
        assert (item["checks"], item["score"], item["outcome"]) == (checks, score, outcome)
        assert item["flagged"] == (outcome != "approve")
        assert rules.decide(row) == item


def bad_requests(good, reasons):
    missing = {key: value for key, value in good.items() if key != "amount"}
    cases = [
        ("POST", "/v1/screen", '{"id": "T1", "amount": ', 400, "malformed JSON"),
        ("POST", "/v1/screen", "[1, 2]", 422, "item 1 of the batch is not a JSON object"),
        ("POST", "/v1/screen", '"T1"', 422, "expected a JSON object"),
        ("POST", "/v1/screen", "[]", 422, "an empty batch"),
        ("POST", "/v1/screen", json.dumps(missing), 422, "missing column amount"),
        ("POST", "/v1/screen", json.dumps({k: v for k, v in good.items() if k != "id"}), 422,
         "missing column id"),
        ("POST", "/v1/screen", json.dumps({**good, "amount": True}), 422,
         "column amount: expected a string or a number, found a boolean"),
        ("POST", "/v1/screen", json.dumps({**good, "amount": None}), 422,
         "column amount: expected a string or a number, found null"),
        ("POST", "/v1/screen", json.dumps(good)[:-1] + ', "amount": "1"}', 422,
         "column amount is given twice"),
        ("POST", "/v1/screen", json.dumps({**good, "pad": "x" * 500_000}), 413, "over the limit"),
        ("POST", "/v1/screen", with_literal(good, "user", '"\\ud800"'), 422, LONE_SURROGATE),
        ("POST", "/v1/screen", with_literal(good, "user", '"\\udc80x"'), 422, LONE_SURROGATE),
        ("POST", "/v1/screen", with_literal(good, "x", "[" * 150_000 + "]" * 150_000), 400,
         "deeper than 32 levels"),
        ("POST", "/v1/screen", with_literal(good, "x", "1e"), 400, "malformed JSON"),
        ("GET", "/v1/screen", None, 405, "/v1/screen takes POST only"),
        ("POST", "/healthz", "{}", 405, "/healthz takes GET or HEAD"),
        ("GET", "/v2/screen", None, 404, "no such path: /v2/screen"),
    ]
    for (field, value), reason in zip(BAD_VALUES, reasons):
        cases.append(("POST", "/v1/screen", json.dumps({**good, field: value}), 422, reason))
        if field == "amount" and value[0].isdigit() and "," not in value:
            # The same value as a JSON number: its text, whatever its range, as in the file.
            cases.append(("POST", "/v1/screen", with_literal(good, field, value), 422, reason))
    return cases


def test_every_bad_request_gets_its_status_and_reason_and_the_server_goes_on(tmp_path):
    """A 422 for a bad value carries the reason txhost screen gives the same value in a file."""
    good = sample_rows()[0]
    _, reasons = screened(tmp_path, DECISIONS, transactions=with_bad_rows(tmp_path)[0])
    reasons = reasons.tolist()
    assert len(reasons) == len(BAD_VALUES)
    with Server("--max-body", 400_000, rules=DECISIONS) as server:
        connection = server.connection()
        for method, path, body, status, reason in bad_requests(good, reasons):
            got, headers, text = server.request(method, path, body)
            assert (got, reason) == (status, reason) and reason in json.loads(text)["error"], text
            if status == 405:
                assert headers["Allow"] == ("POST" if path == "/v1/screen" else "GET, HEAD")
            # The server goes on, and a kept-alive connection with it.
            assert server.screen(good, connection)[0] == 200
        # A request that is not HTTP at all.
        with socket.create_connection((server.host, server.port), timeout=5) as raw:
            raw.sendall(b"NOT HTTP AT ALL\r\n\r\n")
            assert raw.recv(200).startswith(b"HTTP/1.1 400")
        assert server.screen(good)[0] == 200
        assert server.stop() == 0


def test_a_token_guards_screening_and_metrics_but_not_the_health_checks(tmp_path):
    token = tmp_path / "token"
    token.write_text("s3cret-token\n")
    token.chmod(0o600)
    good = sample_rows()[0]
    with Server("--token-file", token, rules=DECISIONS) as server:
        cases = [
            ({}, 401), ({"Authorization": "Bearer s3cret-toke"}, 401),
            ({"Authorization": "Bearer s3cret-token2"}, 401), ({"Authorization": "s3cret-token"}, 401),
            ({"Authorization": "bearer s3cret-token"}, 200),
        ]
        for headers, status in cases:
            assert server.request("POST", "/v1/screen", good, headers)[0] == status, headers
            assert server.request("GET", "/metrics", None, headers)[0] == status, headers
        assert server.request("GET", "/healthz")[0] == 200
        assert server.request("GET", "/readyz")[0] == 200
        assert all("s3cret" not in line for line in server.said)
        assert server.stop() == 0


def test_metrics_count_what_was_answered():
    rows = sample_rows()[:40]
    with Server(rules=DECISIONS) as server:
        answers = [server.screen(row)[1] for row in rows]
        server.request("GET", "/nowhere")
        status, headers, text = server.request("GET", "/metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain")
    answered = [a for a in answers if "checks" in a]
    samples = dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))
    assert int(samples['txscreen_requests_total{code="200"}']) == len(answered)
    assert int(samples['txscreen_requests_total{code="404"}']) == 1
    assert int(samples["txscreen_request_seconds_count"]) == len(rows) + 1
    for label in answered[0]["checks"]:
        hits = sum(a["checks"][label] for a in answered)
        assert int(samples.get(f'txscreen_check_hits_total{{check="{label}"}}', 0)) == hits
    for outcome in ("approve", "review", "decline"):
        count = sum(a["outcome"] == outcome for a in answered)
        assert int(samples.get(f'txscreen_outcomes_total{{outcome="{outcome}"}}', 0)) == count
    assert samples["txscreen_sessions_open"] == "1" and samples["txscreen_inflight"] == "0"
    assert samples['txscreen_reloads_total{result="ok"}'] == "0"


def test_a_reload_under_load_fails_no_request_and_a_broken_set_is_refused(tmp_path):
    rules = tmp_path / "rules.conf"
    rules.write_text(DECISIONS.read_text())
    rows = sample_rows()
    with Server("--threads", 2, rules=rules) as server:
        load = Load(server.host, server.port, rows, threads=3)
        try:
            load.wait_for_answers(100)
            # Every check scores 100 more: every transaction is declined from now on.
            rules.write_text(re.sub(r"score (-?[0-9.]+)", lambda m: f"score {float(m[1]) + 100}",
                                    DECISIONS.read_text()))
            server.signal(signal.SIGHUP)
            assert "reloaded" in server.wait_for("reload")
            counted = server.request("GET", "/metrics")[2]
            assert 'txscreen_reloads_total{result="ok"} 1' in counted
            assert 'txscreen_reloads_total{result="refused"} 0' in counted
            reloaded_at = len(load.answers)
            rules.write_text(DECISIONS.read_text() + "broken  txscreen  NOSUCHRULE  amount\n")
            server.signal(signal.SIGHUP)
            refused = server.wait_for("reload")
            load.wait_for_answers(reloaded_at + 200)
        finally:
            answers, failures = load.stop()
        assert failures == []
        assert {status for status, _, _ in answers} <= {200, 422}
        assert re.search(rf"refused.*{re.escape(str(rules))}:\d+: .*NOSUCHRULE", refused), refused
        # After the refusal the last good set still answers: every transaction declined.
        status, answer = server.screen(rows[1])
        assert status == 200 and answer["outcome"] == "decline"
        metrics = server.request("GET", "/metrics")[2]
        assert 'txscreen_reloads_total{result="ok"} 1' in metrics
        assert 'txscreen_reloads_total{result="refused"} 1' in metrics
        assert server.stop() == 0


def test_a_stop_under_load_answers_only_what_it_audited(tmp_path):
    audit = tmp_path / "audit.jsonl"
    audit.write_text('{"kept": true}\n')  # an audit is appended to, never truncated
    rows = sample_rows()
    with Server("--threads", 2, "--audit", audit, rules=DECISIONS) as server:
        load = Load(server.host, server.port, rows, threads=4)
        try:
            load.wait_for_answers(300)
            status = server.stop()
        finally:
            answers, _ = load.stop()
    assert status == 0
    server.wait_for("stopped; the audit is synced")
    lines = audit.read_text().splitlines()
    records = [json.loads(line) for line in lines]  # a torn line would not parse
    assert records[0] == {"kept": True}
    sha = __import__("hashlib").sha256(DECISIONS.read_bytes()).hexdigest()
    audited = {record["id"]: record for record in records[1:] if "fired" in record}
    undelivered = {record["id"] for record in records[1:] if "undelivered" in record}
    assert all(record["rules_sha256"] == sha for record in audited.values())
    answered = [(i, a) for status, i, a in answers if status == 200]
    assert len(answered) >= 300
    # What the audit holds as given is exactly what the clients received.
    assert set(audited) - undelivered == {i for i, _ in answered}
    for transaction_id, answer in answered:
        record = audited[transaction_id]
        assert record["score"] == answer["score"] and record["outcome"] == answer["outcome"]
        assert record["fired"] == [label for label, fired in answer["checks"].items() if fired]
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", record["time"])


def test_a_request_in_flight_at_a_stop_is_answered_and_then_no_new_one_is_taken(
        tmp_path, monkeypatch):
    connect = sample_database_like(tmp_path, monkeypatch, "slow", "")
    (tmp_path / "databases" / "slow" / "server.conf").write_text("round trip 300ms\n")
    row = sample_rows()[1]
    with Server("--connect", connect, rules=DECISIONS) as server:
        answers = []
        inflight = threading.Thread(target=lambda: answers.append(server.screen(row)))
        inflight.start()
        time.sleep(0.1)
        server.signal(signal.SIGTERM)
        server.wait_for("stopping on SIGTERM")
        inflight.join(timeout=10)
        assert [status for status, _ in answers] == [200]
        with pytest.raises(ConnectionRefusedError):
            server.request("GET", "/healthz")
        assert server.stop() == 0


def test_a_burst_beyond_the_bound_gets_only_answers_or_503(tmp_path, monkeypatch):
    connect = sample_database_like(tmp_path, monkeypatch, "slow", "")
    (tmp_path / "databases" / "slow" / "server.conf").write_text("round trip 20ms\n")
    statuses, lock = [], threading.Lock()
    row = sample_rows()[1]

    def client():
        try:
            status, headers, _ = server.request("POST", "/v1/screen", row)
            with lock:
                statuses.append((status, headers.get("Retry-After")))
        except OSError as error:
            with lock:
                statuses.append((repr(error), None))

    with Server("--connect", connect, "--max-inflight", 8, rules=DECISIONS) as server:
        clients = [threading.Thread(target=client) for _ in range(200)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join(timeout=60)
        assert server.request("GET", "/healthz")[0] == 200
        assert server.stop() == 0
    assert len(statuses) == 200
    assert {status for status, _ in statuses} == {200, 503}, statuses
    assert all(retry == "1" for status, retry in statuses if status == 503)


def test_a_stalled_client_is_cut_off_and_holds_no_one_up():
    row = sample_rows()[1]
    with Server("--timeout", 0.5, rules=DECISIONS) as server:
        stalled_headers = socket.create_connection((server.host, server.port), timeout=5)
        stalled_headers.sendall(b"POST /v1/screen HTTP/1.1\r\nHost: x\r\n")
        stalled_body = socket.create_connection((server.host, server.port), timeout=5)
        stalled_body.sendall(b"POST /v1/screen HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{")
        started = time.monotonic()
        for _ in range(20):
            assert server.screen(row)[0] == 200
        assert time.monotonic() - started < 0.5, "the stalled clients held others up"
        for stalled in (stalled_headers, stalled_body):
            assert stalled.recv(100) == b"", "the stalled client was not cut off"
            assert time.monotonic() - started < 3
            stalled.close()
        assert server.stop() == 0


def test_a_lost_session_is_503_with_the_reason_then_reopened(tmp_path, monkeypatch):
    connect = sample_database_like(tmp_path, monkeypatch, "fragile", "session lost after 3\n")
    row = sample_rows()[1]
    with Server("--connect", connect, rules=DECISIONS) as server:
        answers = [server.screen(row) for _ in range(8)]
        lost = [n for n, (status, _) in enumerate(answers) if status == 503]
        assert lost, answers
        status, answer = answers[lost[0]]
        assert "the database session was lost: ORA-03113" in answer["error"]
        # The next request after the loss logs in again and is answered.
        assert answers[lost[0] + 1][0] == 200
        assert all(status == 200 for status, _ in answers[:lost[0]])
        assert server.stop() == 0


def test_an_audit_that_cannot_be_written_answers_503_and_is_not_ready():
    row = sample_rows()[1]
    with Server("--audit", "/dev/full", rules=DECISIONS) as server:
        assert server.request("GET", "/readyz")[0] == 200
        status, answer = server.screen(row)
        assert status == 503 and "/dev/full: No space left on device" in answer["error"]
        status, _, body = server.request("GET", "/readyz")
        assert status == 503 and "/dev/full" in json.loads(body)["reason"]
        assert server.request("GET", "/healthz")[0] == 200
        server.stop()


def test_a_shadow_draft_records_what_it_decides_otherwise_as_the_baseline_does(tmp_path):
    draft = tmp_path / "draft.conf"
    draft.write_text(DECISIONS.read_text().replace("from 75", "from 45"))
    changes_file = tmp_path / "changes.jsonl"
    results, _ = screened(tmp_path, draft, "--baseline", str(DECISIONS),
                          "--changes", str(tmp_path / "changes.csv"))
    expected = pd.read_csv(tmp_path / "changes.csv", dtype=str, keep_default_na=False)
    assert len(expected) > 0
    rows = sample_rows()
    with Server("--shadow", draft, "--changes", changes_file, rules=DECISIONS) as server:
        answers = [server.screen(row)[1] for row in rows]
        metrics = server.request("GET", "/metrics")[2]
        assert server.stop() == 0
    # The answers stay the live set's.
    live, _ = screened(tmp_path, DECISIONS)
    for answer in answers:
        if "outcome" in answer:
            assert answer["outcome"] == live.loc[answer["id"], "_outcome"]
    changes = [json.loads(line) for line in changes_file.read_text().splitlines()]
    assert [c["id"] for c in changes] == expected["id"].tolist()
    for change, (_, row) in zip(changes, expected.iterrows()):
        assert (change["live_outcome"], change["draft_outcome"]) == (row["live_outcome"],
                                                                     row["draft_outcome"])
    assert f"txscreen_shadow_changes_total {len(changes)}" in metrics


def test_setup_faults_are_refused_before_listening(tmp_path):
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    taken = f"127.0.0.1:{busy.getsockname()[1]}"
    pipe = tmp_path / "pipe"
    __import__("os").mkfifo(pipe)
    spaced, tabbed = tmp_path / "spaced", tmp_path / "tabbed"
    spaced.write_text("s3cret \n")
    tabbed.write_text("\ts3cret\n")
    # A log is appended to: never to a file the server reads.
    token, rules = tmp_path / "token", tmp_path / "rules.conf"
    token.write_text("s3cret\n")
    (tmp_path / "watched.txt").write_text("ACC-1\n")
    rules.write_text("watched txscreen BADACCOUNT account @watched.txt\n")
    read = {path: path.read_bytes() for path in (token, rules, tmp_path / "watched.txt")}
    cases = [
        (["--rules", EXAMPLES / "missing.conf"], "missing.conf: No such file or directory"),
        (["--rules", DECISIONS, "--listen", "nowhere"], "--listen nowhere: expected HOST:PORT"),
        (["--rules", DECISIONS, "--listen", taken], f"--listen {taken}: Address already in use"),
        (["--rules", DECISIONS, "--audit", tmp_path], f"--audit {tmp_path}: Is a directory"),
        (["--rules", DECISIONS, "--audit", pipe], "is a pipe or socket"),
        (["--rules", DECISIONS, "--shadow", DECISIONS], "needs --changes"),
        (["--rules", DECISIONS, "--connect", "screener/wrong@sample"], "ORA-01017"),
        (["--rules", DECISIONS, "--token-file", spaced], "begins or ends with white space"),
        (["--rules", DECISIONS, "--token-file", tabbed], "begins or ends with white space"),
        (["--rules", rules, "--audit", rules], "is the same file as --rules"),
        (["--rules", rules, "--token-file", token, "--shadow", DECISIONS, "--changes", token],
         "is the same file as --token-file"),
        (["--rules", rules, "--audit", tmp_path / "watched.txt"], "is the same file as the list"),
    ]
    for options, message in cases:
        listen = [] if "--listen" in options else ["--listen", "127.0.0.1:0"]
        done = subprocess.run([TXHOST, "serve", *listen, *map(str, options)],
                              capture_output=True, text=True, timeout=30)
        assert done.returncode == 2 and message in done.stderr, (options, done.stderr)
        assert "wrong" not in done.stderr, "a password was shown"
    busy.close()
    assert {path: path.read_bytes() for path in read} == read


def test_behind_haproxy_a_stop_and_a_kill_of_one_instance_fail_no_request(tmp_path):
    """Two instances behind the shipped haproxy.cfg, on free ports: one stopped with SIGTERM
    under load fails no request, and once haproxy has seen one killed every request is answered
    by the other."""
    front, first, second = free_port(), free_port(), free_port()
    rows = sample_rows()

    def instance(port):
        return Server("--threads", 2, rules=DECISIONS, listen=f"127.0.0.1:{port}")

    def both_up():
        """Until haproxy has both servers in rotation: rise 2 checks at 250 ms apart."""
        time.sleep(1.5)

    proxy = start_haproxy(tmp_path, front, first, second)
    servers = [instance(first), instance(second)]
    load = None
    try:
        both_up()
        load = Load("127.0.0.1", front, rows, threads=4)
        load.wait_for_answers(200)
        assert servers[0].stop() == 0
        load.wait_for_answers(len(load.answers) + 300)
        assert load.failures == [], "a stop under load failed requests"
        servers[0].__exit__()
        servers[0] = instance(first)
        both_up()
        load.wait_for_answers(len(load.answers) + 100)
        killed_at = time.monotonic()
        servers[1].process.kill()
        load.wait_for_answers(len(load.answers) + 300)
    finally:
        answers, failures = load.stop() if load else ([], [])
        stop_behind_haproxy(proxy, servers)
    # Only a request sent before haproxy's checks (every 250 ms) took the killed instance out
    # may fail: one it held, or one sent to it on a kept connection just after.
    assert all(sent_at < killed_at + 0.5 for _, _, sent_at in failures), failures
    assert len(failures) <= 4
    assert {status for status, _, _ in answers} == {200}


def test_decide_refuses_what_the_server_refuses_and_reopens_a_lost_session(tmp_path,
                                                                          monkeypatch):
    good = {key: value for key, value in sample_rows()[1].items()}
    _, reasons = screened(tmp_path, DECISIONS, transactions=with_bad_rows(tmp_path)[0])
    cases = [({k: v for k, v in good.items() if k != "amount"}, "missing column amount"),
             ({**good, "amount": True}, "column amount: expected a string or a number, found a "
                                        "boolean"),
             ({**good, "amount": None}, "column amount: expected a string or a number, found null"),
             ({**good, "amount": [1]}, "column amount: expected a string or a number, found a "
                                       "list"),
             ({**good, "user": "\ud800"}, LONE_SURROGATE),
             ({**good, "user": "ca\udcffrol"}, LONE_SURROGATE)]
    cases += [({**good, field: value}, reason)
              for (field, value), reason in zip(BAD_VALUES, reasons)]
    connect = sample_database_like(tmp_path, monkeypatch, "fragile", "session lost after 3\n")
    with txscreen.RuleSet(DECISIONS) as rules:
        for transaction, reason in cases:
            with pytest.raises(txscreen.InputError) as raised:
                rules.decide(transaction, connect=connect)
            assert str(raised.value) == reason
        outcomes = []
        for _ in range(6):
            try:
                outcomes.append(rules.decide(good, connect=connect)["outcome"])
            except txscreen.LoginError as error:
                outcomes.append(str(error))
    lost = [n for n, outcome in enumerate(outcomes) if "session was lost" in outcome]
    assert lost and lost[0] + 1 < len(outcomes), outcomes
    assert "ORA-03113" in outcomes[lost[0]]
    assert outcomes[lost[0] + 1] == outcomes[0], "the next call opened a session again"


def http_request(method, target, body=b"", version="1.1", host=b"Host: t\r\n", extra=b""):
    length = b"Content-Length: %d\r\n" % len(body) if body else b""
    return (f"{method} {target} HTTP/{version}\r\n".encode() + host + length + extra + b"\r\n" +
            body)


GOOD = json.dumps(sample_rows()[0]).encode()
HEALTHY = b'{"status":"ok"}\n'
# What a client sends, as bytes; the answers it gets, each (status, a header that must be there
# or None, what the body holds); whether the server then closes the connection.
MANNERS = [
    ("HEAD is GET's headers without the body, on a kept connection",
     http_request("HEAD", "/healthz") + http_request("GET", "/healthz"), ["HEAD", "GET"],
     [(200, ("content-length", str(len(HEALTHY))), b""), (200, None, HEALTHY)], False),
    ("HEAD of a POST route", http_request("HEAD", "/v1/screen"), ["HEAD"],
     [(405, ("allow", "POST"), b"")], True),
    ("no Host in HTTP/1.1", http_request("GET", "/healthz", host=b""), ["GET"],
     [(400, None, b"must carry a Host header")], True),
    ("two Hosts", http_request("GET", "/healthz", host=b"Host: a\r\nHost: b\r\n"), ["GET"],
     [(400, None, b"more than once")], True),
    ("a transfer coding other than chunked",
     http_request("POST", "/v1/screen", extra=b"Transfer-Encoding: gzip, chunked\r\n") +
     b"0\r\n\r\n", ["POST"], [(501, None, b'coding \\"gzip\\" is not supported')], True),
    ("chunked HTTP/1.0",
     http_request("POST", "/v1/screen", version="1.0", extra=b"Transfer-Encoding: chunked\r\n") +
     b"0\r\n\r\n", ["POST"], [(400, None, b"HTTP/1.0 has no Transfer-Encoding")], True),
    ("a target in absolute form", http_request("GET", "http://t:8080/healthz?x=1"), ["GET"],
     [(200, None, HEALTHY)], False),
    ("an HTTP/1.0 connection kept alive is told so",
     http_request("GET", "/healthz", version="1.0", extra=b"Connection: keep-alive\r\n") +
     http_request("GET", "/healthz", version="1.0"), ["GET", "GET"],
     [(200, ("connection", "keep-alive"), HEALTHY), (200, ("connection", "close"), HEALTHY)],
     True),
    ("100 Continue only once the route is known",
     http_request("POST", "/nowhere", extra=b"Expect: 100-continue\r\nContent-Length: 2\r\n"),
     ["POST"], [(404, None, b"no such path: /nowhere")], True),
    ("100 Continue, then the answer",
     http_request("POST", "/v1/screen", extra=b"Expect: 100-continue\r\nContent-Length: %d\r\n"
                  % len(GOOD)) + GOOD, ["POST"], [(100, None, b""), (200, None, b'"checks"')],
     False),
    ("no 100 Continue to HTTP/1.0",
     http_request("POST", "/v1/screen", GOOD, version="1.0", extra=b"Expect: 100-continue\r\n"),
     ["POST"], [(200, None, b'"checks"')], True),
    ("a body of exactly --max-body",
     http_request("POST", "/v1/screen", GOOD + b" " * (400_000 - len(GOOD))), ["POST"],
     [(200, None, b'"checks"')], False),
    ("a byte over --max-body",
     http_request("POST", "/v1/screen", GOOD + b" " * (400_001 - len(GOOD))), ["POST"],
     [(413, None, b"over the limit of 400000")], True),
]


@pytest.mark.parametrize("name, sent, methods, expected, closed", MANNERS,
                         ids=[case[0] for case in MANNERS])
def test_http_manners(http_server, name, sent, methods, expected, closed):
    received, was_closed = raw_exchange(http_server.host, http_server.port, sent)
    answers = parse_responses(received, methods)
    targets = re.findall(rb"^[A-Z]+ (\S+) HTTP/1\.[01]\r$", sent, re.M)
    finals = [answer for answer in answers if answer[0] != 100]
    for (status, headers, body), method, target in zip(finals, methods, targets):
        check_answer(method, target.decode(), status,
                     {name: values[0] for name, values in headers.items()}, body)
    assert [status for status, _, _ in answers] == [status for status, _, _ in expected], received
    for (status, headers, body), (_, header, holds) in zip(answers, expected):
        assert status == 100 or headers.get("date"), "every answer has a Date"
        if header is not None:
            assert headers.get(header[0]) == [header[1]], headers
        assert holds in body if holds else body == b"", body
    assert was_closed == closed


@pytest.fixture(scope="module")
def http_server():
    with Server("--max-body", 400_000, rules=DECISIONS) as server:
        yield server
        assert server.stop() == 0


def test_an_early_answer_reaches_a_client_that_sends_its_whole_body_first():
    """Python's http.client sends a whole body before it reads: a 413 given from the headers
    must still reach it, not a reset."""
    with Server("--max-body", 100_000, rules=DECISIONS) as server:
        for size in (200_000, 4_000_000):
            status, _, text = server.request("POST", "/v1/screen", "x" * size)
            assert status == 413 and "--max-body" in json.loads(text)["error"]
        assert server.screen(sample_rows()[0])[0] == 200


def test_held_bodies_and_connections_are_bounded_and_a_decision_still_answered(tmp_path):
    """300 clients each sending all but the last byte of a 1 MiB body: the bodies beyond the
    budget are answered 503 unread, memory stays bounded, and a transaction is still decided;
    a connection beyond --max-connections is answered 503 at once."""
    megabyte = 1 << 20
    with Server("--timeout", 60, "--max-connections", 320, rules=DECISIONS) as server:
        refused, holders = [], []

        def hold():
            raw = socket.create_connection((server.host, server.port), timeout=30)
            holders.append(raw)
            raw.sendall(b"POST /v1/screen HTTP/1.1\r\nHost: t\r\nContent-Length: %d\r\n\r\n"
                        % megabyte + b" " * (megabyte - 1))
            raw.settimeout(0.5)
            try:
                if raw.recv(100).startswith(b"HTTP/1.1 503"):
                    refused.append(raw)
            except socket.timeout:
                pass

        threads = [threading.Thread(target=hold) for _ in range(300)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
        resident = resident_megabytes(server.process.pid)
        assert 200 < len(refused) < 300, len(refused)
        assert resident < 160, f"{resident:.0f} MB resident"
        assert server.screen(sample_rows()[0])[0] == 200
        extra = [socket.create_connection((server.host, server.port)) for _ in range(25)]
        answered, _ = raw_exchange(server.host, server.port, b"")
        assert answered.startswith(b"HTTP/1.1 503") and b"--max-connections" in answered
        for raw in holders + extra:
            raw.close()
        assert server.stop() == 0


def test_lost_sessions_come_back_on_their_own_and_readiness_with_them(tmp_path, monkeypatch):
    connect = sample_database_like(tmp_path, monkeypatch, "fragile", "session lost after 3\n")
    with Server("--connect", connect, rules=DECISIONS) as server:
        statuses = [server.screen(row)[0] for row in sample_rows()[:4]]
        assert statuses[:3] == [200, 200, 200] and statuses[3] == 503, statuses
        # No request after the loss: the worker opens a session on its own.
        deadline = time.monotonic() + 3
        while server.request("GET", "/readyz")[0] != 200:
            assert time.monotonic() < deadline, "not ready again without requests"
            time.sleep(0.05)
        assert sessions_open(server) == 1
        assert server.screen(sample_rows()[4])[0] == 200
        assert server.stop() == 0


def test_a_stop_answers_the_rest_503_at_its_limit_and_audits_none_of_them(tmp_path, monkeypatch):
    """Each decision waits 2 s on the database; a stop with --drain 1 answers what is still in
    flight 503, audits none of it, and the process is gone within the limit and a second."""
    connect = slow_database(tmp_path, monkeypatch, 2)
    audit = tmp_path / "audit.jsonl"
    with Server("--connect", connect, "--drain", 1, "--threads", 2, "--audit", audit,
                rules=DECISIONS) as server:
        answers = []

        def ask(row):
            answers.append((row["id"], *server.screen(row)))

        clients = [threading.Thread(target=ask, args=(row,)) for row in sample_rows()[:6]]
        for client in clients:
            client.start()
        time.sleep(0.5)
        stopped_at = time.monotonic()
        status = server.stop()
        took = time.monotonic() - stopped_at
        for client in clients:
            client.join(timeout=10)
    assert status == 0 and took < 2.5, took
    assert sorted(status for _, status, _ in answers) == [503] * 6, answers
    assert all("drain limit" in answer["error"] for _, _, answer in answers)
    assert not audit.exists() or audit.read_text() == ""


def test_signals_while_starting_are_honoured_once_serving(tmp_path, monkeypatch):
    """The logins take a second on a slow database: a SIGHUP then is kept for a reload, and a
    SIGUSR1 (logrotate's, whose default would end the process) for reopening the audit."""
    connect = slow_database(tmp_path, monkeypatch, 0.5)
    process = subprocess.Popen([TXHOST, "serve", "--rules", str(DECISIONS), "--listen",
                                "127.0.0.1:0", "--connect", connect, "--audit",
                                str(tmp_path / "audit.jsonl")], stderr=subprocess.PIPE,
                               text=True)
    try:
        time.sleep(0.3)
        process.send_signal(signal.SIGHUP)
        process.send_signal(signal.SIGUSR1)
        said = "".join(process.stderr.readline() for _ in range(3))
        assert "listening" in said and "a SIGHUP came while the server started: reloaded" in said
        assert f"a SIGUSR1 came while the server started: reopened {tmp_path}" in said, said
        assert process.poll() is None, said
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=20) == 0
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stderr.close()


def test_the_largest_batch_passes_the_default_limit():
    rows = [dict(row, id=f"T{n}") for n, row in
            enumerate(sample_rows() * (10_000 // len(sample_rows()) + 1))][:10_000]
    with Server(rules=DECISIONS) as server:
        status, _, text = server.request("POST", "/v1/screen", "[" + ",".join(map(as_json, rows)) + "]")
        assert status == 200 and len(json.loads(text)) == 10_000
        assert server.stop() == 0


def test_the_inflight_bound_is_exact(tmp_path, monkeypatch):
    """One worker on a database 300 ms away and --max-inflight 3: of 5 requests at once,
    exactly 3 are decided and 2 refused at once."""
    connect = slow_database(tmp_path, monkeypatch, 0.3)
    with Server("--connect", connect, "--max-inflight", 3, rules=DECISIONS) as server:
        statuses = []
        clients = [threading.Thread(target=lambda row=row: statuses.append(server.screen(row)[0]))
                   for row in sample_rows()[:5]]
        for client in clients:
            client.start()
        for client in clients:
            client.join(timeout=30)
        assert sorted(statuses) == [200, 200, 200, 503, 503], statuses
        assert server.stop() == 0


def test_alerts_are_counted_per_check_as_the_answers_give_them(tmp_path, monkeypatch):
    connect = sample_database_like(
        tmp_path, monkeypatch, "reviewed",
        "raise account ACC-1033 ORA-20001: account ACC-1033 is under review\n")
    with Server("--connect", connect, rules=DECISIONS) as server:
        answers = [server.screen(row)[1] for row in sample_rows()[:120]]
        text = server.request("GET", "/metrics")[2]
        assert server.stop() == 0
    raised = {}
    for answer in answers:
        for alert in answer["alerts"]:
            raised[alert["label"]] = raised.get(alert["label"], 0) + 1
    assert raised, "no row of the account under review"
    counted = dict(re.findall(r'^txscreen_alerts_total\{check="([^"]+)"\} (\d+)$', text, re.M))
    assert {check: int(count) for check, count in counted.items()} == raised


SYNC_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
/* Counts each fdatasync in the file SYNC_COUNT, and fails every one when SYNC_FAILS is set. */
int fdatasync(int fd) {
  FILE* count = fopen(getenv("SYNC_COUNT"), "a");
  if (count) { fputs("sync\n", count); fclose(count); }
  if (getenv("SYNC_FAILS")) { errno = EIO; return -1; }
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  return real(fd);
}
"""


@pytest.fixture(scope="module")
def sync_shim(tmp_path_factory):
    directory = tmp_path_factory.mktemp("shim")
    (directory / "shim.c").write_text(SYNC_SHIM)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(directory / "shim.so"),
                    str(directory / "shim.c"), "-ldl"], check=True)
    return directory / "shim.so"


@pytest.mark.parametrize("fails", [False, True])
def test_the_audit_reaches_the_disk_every_second_and_at_the_stop(tmp_path, sync_shim, fails):
    count = tmp_path / "syncs"
    audit = tmp_path / "audit.jsonl"
    env = env_with(LD_PRELOAD=sync_shim, SYNC_COUNT=count, **({"SYNC_FAILS": 1} if fails else {}))
    with Server("--audit", audit, rules=DECISIONS, env=env) as server:
        assert server.screen(sample_rows()[0])[0] == 200
        time.sleep(1.5)
        periodic = len(count.read_text().splitlines()) if count.exists() else 0
        assert periodic >= 1, "no sync within a second and a half"
        if fails:
            assert server.request("GET", "/readyz")[0] == 503
        status = server.stop()
        said = "\n".join(server.messages())
    if fails:
        assert status == 3 and "could not be put on the disk" in said, said
    else:
        assert len(count.read_text().splitlines()) > periodic, "no sync at the stop"
        assert status == 0 and len(audit.read_text().splitlines()) == 1


def sessions_open(server):
    text = server.request("GET", "/metrics")[2]
    return int(re.search(r"^txscreen_sessions_open (\d+)$", text, re.M).group(1))


def test_behind_haproxy_every_instance_comes_back_when_the_database_does(tmp_path, monkeypatch):
    """Both instances lose their sessions while the database is down: haproxy has none in
    rotation. Once the database is back, each reopens its sessions on its own, within one
    backoff, although haproxy sends nothing to an instance that is not ready."""
    connect = sample_database_like(tmp_path, monkeypatch, "flaky", "session lost after 4\n")
    users = tmp_path / "databases" / "flaky" / "users.csv"
    front, first, second = free_port(), free_port(), free_port()
    proxy = start_haproxy(tmp_path, front, first, second)
    servers = [Server("--connect", connect, rules=DECISIONS, listen=f"127.0.0.1:{port}")
               for port in (first, second)]
    try:
        time.sleep(1.5)  # haproxy's rise: 2 checks 250 ms apart
        users.rename(users.with_suffix(".down"))  # a server that cannot start: ORA-01034
        for server in servers:
            while server.screen(sample_rows()[0])[0] == 200:
                pass
        front_server = Server.through_proxy(front)
        time.sleep(1)
        assert front_server.request("POST", "/v1/screen", sample_rows()[0])[0] == 503, \
            "an instance still in rotation"
        assert [sessions_open(server) for server in servers] == [0, 0]
        users.with_suffix(".down").rename(users)
        back_at = time.monotonic()
        while front_server.request("POST", "/v1/screen", sample_rows()[0])[0] != 200:
            assert time.monotonic() - back_at < 5 + 1, "not back within a backoff"
            time.sleep(0.05)
        assert 1 in [sessions_open(server) for server in servers]
    finally:
        stop_behind_haproxy(proxy, servers)
