"""What txhost serve records and promises of each decision, as real processes on loopback:
idempotent retries (also after a restart), an audit that accounts for every decision whose
answer went astray, logs that rotate, fill up and come back, a shadow draft that cannot touch
live answers, traces, and the API's description."""

import hashlib
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

import txscreen
from conftest import SOURCE
from serve_helpers import (DECISIONS, OPENAPI, OPENAPI_FILE, Server, free_port, metric,
                           raw_exchange, resident_megabytes, sample_rows, slow_database,
                           start_haproxy, stop_behind_haproxy)

TRACE = "4bf92f3577b34da6a3ce929d0e0e4736"
TRACEPARENT = f"00-{TRACE}-00f067aa0ba902b7-01"


def records(path):
    """Every line of a log, each parsed: a torn line fails here."""
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def decided_ids(lines):
    return [line["id"] for line in lines if "fired" in line]


def keyed(server, body, key, **headers):
    return server.request("POST", "/v1/screen", body, {"Idempotency-Key": key, **headers})


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"not {what} within {seconds} s"
        time.sleep(0.05)


def ready(server):
    status, _, body = server.request("GET", "/readyz")
    return status == 200, json.loads(body).get("reason", "")


def test_a_retry_with_its_key_gets_the_first_answer_and_nothing_is_decided_again(tmp_path):
    audit = tmp_path / "audit.jsonl"
    rows = sample_rows()
    single, batch = json.dumps(rows[0]), json.dumps(rows[1:6])
    unprocessable = json.dumps({**rows[6], "amount": "12,5"})
    with Server("--audit", audit, rules=DECISIONS) as server:
        for key, body, status in (("single", single, 200), ("batch", batch, 200),
                                  ("unprocessable", unprocessable, 422)):
            first = keyed(server, body, key, traceparent=TRACEPARENT)
            for retry in (key, f'"{key}"'):  # bare, and as a structured-field string
                again = keyed(server, body, retry)
                assert (again[0], again[2]) == (first[0], first[2]) and first[0] == status
                assert again[1].get("Idempotent-Replayed") == "true"
            assert "Idempotent-Replayed" not in first[1]
            assert ("Server-Timing" in first[1]) == (status == 200)
            assert "Server-Timing" not in again[1], "a replay is no decision"
        status, _, text = keyed(server, batch, "single")
        assert status == 422 and "Idempotency-Key single was used with another body" in text
        for field, says in (("k" * 256, "1 to 255 characters; this one has 256"),
                            ('""', "this one has 0"), ("two words", "without spaces"),
                            ('"open', "no closing quote")):
            status, _, text = keyed(server, single, field)
            assert status == 400 and says in json.loads(text)["error"], (field, text)
        twice = (b"POST /v1/screen HTTP/1.1\r\nHost: t\r\nIdempotency-Key: a\r\n"
                 b"Idempotency-Key: b\r\nContent-Length: %d\r\n\r\n" % len(single) + single.encode())
        answered, _ = raw_exchange(server.host, server.port, twice, seconds=2)
        assert answered.startswith(b"HTTP/1.1 400") and b"more than once" in answered
        # Traceparents that are not one are ignored, never an error.
        for n, bad in enumerate([TRACEPARENT.upper(), f"ff-{TRACE}-00f067aa0ba902b7-01",
                                 f"00-{'0' * 32}-00f067aa0ba902b7-01", "00-abc"]):
            row = {**rows[7], "id": f"TRACE{n}"}
            assert server.request("POST", "/v1/screen", row, {"traceparent": bad})[0] == 200
        metrics = server.request("GET", "/metrics")[2]
        assert server.stop() == 0
    assert metric(metrics, "txscreen_idempotent_replays_total") == 6
    assert metric(metrics, "txscreen_idempotency_keys") == 3
    lines = records(audit)
    ids = decided_ids(lines)
    assert sorted(ids) == sorted([row["id"] for row in rows[:6]] + [f"TRACE{n}" for n in range(4)])
    by_id = {line["id"]: line for line in lines if "fired" in line}
    assert by_id[rows[0]["id"]]["idempotency_key"] == "single"
    assert by_id[rows[0]["id"]]["trace_id"] == TRACE
    assert all(by_id[row["id"]]["idempotency_key"] == "batch" for row in rows[1:6])
    assert not any("trace_id" in by_id[f"TRACE{n}"] for n in range(4))


def test_behind_haproxy_a_keys_retries_reach_the_instance_that_has_it(tmp_path):
    front, first, second = free_port(), free_port(), free_port()
    proxy = start_haproxy(tmp_path, front, first, second)
    servers = [Server(rules=DECISIONS, listen=f"127.0.0.1:{port}") for port in (first, second)]
    try:
        time.sleep(1.5)  # haproxy's rise: 2 checks 250 ms apart
        through = Server.through_proxy(front)
        rows = sample_rows()
        replayed = []
        for n in range(20):
            body = json.dumps({**rows[n], "id": f"H{n}"})
            first_answer = keyed(through, body, f"haproxy-{n}")
            for _ in range(2):
                again = keyed(through, body, f"haproxy-{n}")
                replayed.append(again[1].get("Idempotent-Replayed") == "true"
                                and again[2] == first_answer[2])
        decided = [sum(float(line.rsplit(" ", 1)[1])
                       for line in server.request("GET", "/metrics")[2].splitlines()
                       if line.startswith("txscreen_outcomes_total{")) for server in servers]
    finally:
        stop_behind_haproxy(proxy, servers)
    assert all(replayed), f"{replayed.count(False)} of {len(replayed)} retries decided anew"
    assert min(decided) > 0, f"the keys did not spread over both instances: {decided}"


def test_a_second_request_with_a_key_being_decided_gets_409(tmp_path, monkeypatch):
    connect = slow_database(tmp_path, monkeypatch, 0.3)
    body = json.dumps(sample_rows()[0])
    with Server("--connect", connect, "--threads", 2, rules=DECISIONS) as server:
        answers = []
        clients = [threading.Thread(target=lambda: answers.append(keyed(server, body, "same")))
                   for _ in range(2)]
        for client in clients:
            client.start()
            time.sleep(0.05)
        for client in clients:
            client.join(timeout=30)
        assert sorted(status for status, _, _ in answers) == [200, 409], answers
        conflict = next(text for status, _, text in answers if status == 409)
        assert "still being decided" in conflict
        decided = next(text for status, _, text in answers if status == 200)
        assert keyed(server, body, "same")[2] == decided
        assert server.stop() == 0


def test_a_retry_after_a_restart_is_answered_as_before_it_within_the_window(tmp_path):
    audit = tmp_path / "audit.jsonl"
    rows = sample_rows()
    bodies = {"one": json.dumps(rows[0]), "many": json.dumps(rows[1:4])}
    with Server("--audit", audit, rules=DECISIONS) as server:
        first = {key: keyed(server, body, key)[2] for key, body in bodies.items()}
        assert server.stop() == 0
    written = audit.read_bytes()
    with Server("--audit", audit, rules=DECISIONS) as server:
        assert "2 idempotency keys restored from" in server.said[0]
        for key, body in bodies.items():
            status, headers, text = keyed(server, body, key)
            assert (status, text) == (200, first[key]) and headers["Idempotent-Replayed"] == "true"
        assert keyed(server, bodies["many"], "one")[0] == 422
        assert server.stop() == 0
    assert audit.read_bytes() == written, "a retry was recorded again"
    time.sleep(1.1)
    with Server("--audit", audit, "--idempotency-window", 1, rules=DECISIONS) as server:
        assert "0 idempotency keys restored" in server.said[0]
        status, headers, _ = keyed(server, bodies["one"], "one")
        assert status == 200 and "Idempotent-Replayed" not in headers
        assert server.stop() == 0
    assert decided_ids(records(audit)).count(rows[0]["id"]) == 2


def test_keys_are_bounded_and_their_memory_stays_flat_under_load():
    row = sample_rows()[0]
    with Server("--idempotency-keys", 100, rules=DECISIONS) as server:
        connection = server.connection()
        sizes = []
        for n in range(3000):
            status = server.request("POST", "/v1/screen", {**row, "id": f"K{n}"},
                                    {"Idempotency-Key": f"key-{n}"}, connection)[0]
            assert status == 200
            if n in (999, 2999):
                sizes.append(resident_megabytes(server.process.pid))
        metrics = server.request("GET", "/metrics")[2]
        # The newest key is kept; the oldest went, and is decided anew.
        assert server.request("POST", "/v1/screen", {**row, "id": "K2999"},
                              {"Idempotency-Key": "key-2999"})[1].get("Idempotent-Replayed")
        assert "Idempotent-Replayed" not in server.request(
            "POST", "/v1/screen", {**row, "id": "K0"}, {"Idempotency-Key": "key-0"})[1]
        assert server.stop() == 0
    assert metric(metrics, "txscreen_idempotency_keys") == 100
    assert metric(metrics, "txscreen_idempotency_evicted_total") == 2900
    assert 100 * 200 < metric(metrics, "txscreen_idempotency_bytes") < 100 * 2000
    assert sizes[1] - sizes[0] < 3, f"resident memory grew from {sizes[0]:.1f} to {sizes[1]:.1f} MB"


def send_and_leave(server, row, after):
    """A request sent whole on a connection of its own, closed `after` seconds later."""
    raw = socket.create_connection((server.host, server.port))
    body = json.dumps(row).encode()
    raw.sendall(b"POST /v1/screen HTTP/1.1\r\nHost: t\r\nContent-Length: %d\r\n\r\n" % len(body)
                + body)
    time.sleep(after)
    raw.close()


def test_clients_that_leave_are_not_decided_or_are_audited_as_undelivered(tmp_path, monkeypatch):
    """One worker on a slow database: a client that leaves while its request is decided gets
    its decision audited and then marked undelivered; clients that leave while queued behind it
    are not decided at all; a client that stays is answered and audited alone."""
    connect = slow_database(tmp_path, monkeypatch, 0.3)
    audit = tmp_path / "audit.jsonl"
    rows = [{**row, "id": f"L{n}"} for n, row in enumerate(sample_rows()[:5])]
    with Server("--connect", connect, "--audit", audit, rules=DECISIONS) as server:
        leaving = [threading.Thread(target=send_and_leave, args=(server, rows[0], 0.15))]
        leaving += [threading.Thread(target=send_and_leave, args=(server, row, 0.05))
                    for row in rows[1:4]]
        for client in leaving:
            client.start()
            time.sleep(0.02)
        for client in leaving:
            client.join()
        status, answer = server.screen(rows[4])
        assert status == 200
        metrics = server.request("GET", "/metrics")[2]
        assert server.stop() == 0
    lines = records(audit)
    assert decided_ids(lines) == ["L0", "L4"]
    undelivered = [line for line in lines if "undelivered" in line]
    assert [(line["id"], line["undelivered"]) for line in undelivered] == [
        ("L0", "the client went away before its answer")]
    assert metric(metrics, 'txscreen_requests_total{code="499"}') == 4
    assert metric(metrics, "txscreen_undelivered_total") == 1


@pytest.fixture
def small_disk(tmp_path):
    """A 256 KiB tmpfs mounted for the test, unmounted after it."""
    mount = tmp_path / "small"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"no tmpfs can be mounted here: {done.stderr.strip()}")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=True)


def fill(mount, leave):
    """A file that leaves `leave` bytes of the file system free."""
    filler = mount / "filler"
    stats = os.statvfs(mount)
    filler.write_bytes(b"\0" * max(0, stats.f_bavail * stats.f_frsize - leave))
    return filler


@pytest.mark.parametrize("full", ["--audit", "--changes"])
def test_a_full_disk_is_503_until_it_has_room_and_records_only_what_was_answered(
        tmp_path, small_disk, full):
    audit = (small_disk if full == "--audit" else tmp_path) / "audit.jsonl"
    changes = (small_disk if full == "--changes" else tmp_path) / "changes.jsonl"
    draft = tmp_path / "draft.conf"  # every transaction a check fires on declined
    draft.write_text(re.sub(r"score (-?[0-9.]+)", lambda m: f"score {float(m[1]) + 100}",
                            DECISIONS.read_text()))
    full_path = audit if full == "--audit" else changes
    filler = fill(small_disk, 6000)
    rows = sample_rows()
    answered = {}
    with Server("--audit", audit, "--shadow", draft, "--changes", changes,
                rules=DECISIONS) as server:
        for n in range(200):
            row = {**rows[n % len(rows)], "id": f"D{n}"}
            status, headers, _ = server.request("POST", "/v1/screen", row)
            answered[row["id"]] = status
            if status == 503:
                assert headers["Retry-After"] == "1"
                break
        assert 200 in answered.values() and 503 in answered.values(), answered
        is_ready, reason = ready(server)
        assert not is_ready and str(full_path) in reason and "No space left" in reason
        filler.unlink()
        wait_until(lambda: ready(server)[0], 3, "ready again")
        assert server.wait_for("can be written again")
        row = {**rows[0], "id": "AFTER"}
        assert server.request("POST", "/v1/screen", row)[0] == 200
        answered["AFTER"] = 200
        assert server.stop() == 0
    given = sorted(key for key, status in answered.items() if status == 200)
    assert sorted(decided_ids(records(audit))) == given
    changed = [line["id"] for line in records(changes)]
    assert changed and set(changed) <= set(given) and len(set(changed)) == len(changed)


def test_sigusr1_reopens_the_logs_and_a_moved_or_deleted_log_is_not_ready(tmp_path):
    audit = tmp_path / "audit.jsonl"
    rows = sample_rows()

    def decide(phase, count=3):
        ids = [f"{phase}{n}" for n in range(count)]
        for transaction_id, row in zip(ids, rows):
            assert server.request("POST", "/v1/screen", {**row, "id": transaction_id})[0] == 200
        return ids

    with Server("--audit", audit, rules=DECISIONS) as server:
        before = decide("A")
        audit.rename(tmp_path / "audit.jsonl.1")
        wait_until(lambda: not ready(server)[0], 2.5, "unready once the log was moved")
        assert str(audit) in ready(server)[1]
        assert "no longer names the file" in server.wait_for("no longer names")
        moved = decide("B")  # still recorded, in the file moved
        server.signal(signal.SIGUSR1)
        assert f"reopened {audit}" in server.wait_for("SIGUSR1")
        assert ready(server)[0]
        after = decide("C")
        assert decided_ids(records(audit)) == after
        audit.unlink()
        wait_until(lambda: not ready(server)[0], 2.5, "unready once the log was deleted")
        status, answer = server.screen({**rows[0], "id": "LOST"})
        assert status == 503 and "was deleted" in answer["error"]
        server.signal(signal.SIGUSR1)
        server.wait_for("SIGUSR1")
        wait_until(lambda: ready(server)[0], 2, "ready once reopened")
        anew = decide("D")
        assert server.stop() == 0
    assert decided_ids(records(tmp_path / "audit.jsonl.1")) == before + moved
    assert decided_ids(records(audit)) == anew


def test_a_shadow_draft_that_cannot_decide_leaves_the_live_answer_alone(tmp_path):
    """The draft reads a column the live set does not, and rejects a value only it reads: the
    live answer is the live set's own, and the draft's error is counted and written with both
    digests."""
    draft = tmp_path / "draft.conf"
    draft.write_text(DECISIONS.read_text() +
                     'trusted_device txscreen BADACCOUNT device "D-1" score 5\n'
                     "device_jump txscreen SHARPINCREASE device_amount amount 100 score 5\n")
    changes = tmp_path / "changes.jsonl"
    live = txscreen.RuleSet(DECISIONS)
    rows = sample_rows()[:4]
    sent = [rows[0],  # no device at all
            {**rows[1], "device": "D-1"},  # no device_amount
            {**rows[2], "device": "D-1", "device_amount": "much"},  # a value only the draft reads
            {**rows[3], "device": "D-1", "device_amount": "1.00"}]
    with Server("--shadow", draft, "--changes", changes, rules=DECISIONS) as server:
        answers = [server.request("POST", "/v1/screen", row, {"traceparent": TRACEPARENT})
                   for row in sent]
        bad_live = server.screen({**sent[3], "amount": "12,5"})
        batch = server.request("POST", "/v1/screen", sent)
        metrics = server.request("GET", "/metrics")[2]
        server.signal(signal.SIGHUP)
        reloaded = server.wait_for("reload")
        assert server.stop() == 0
    for (status, _, text), row in zip(answers, sent):
        assert status == 200 and json.loads(text) == live.decide(row)
    assert json.loads(batch[2]) == [live.decide(row) for row in sent]
    assert bad_live[0] == 422 and "12,5" in bad_live[1]["error"]
    live_sha = hashlib.sha256(DECISIONS.read_bytes()).hexdigest()
    draft_sha = hashlib.sha256(draft.read_bytes()).hexdigest()
    errors = [line for line in records(changes) if "draft_error" in line]
    assert [(line["id"], line["draft_error"]) for line in errors][:3] == [
        (sent[0]["id"], "missing column device"),
        (sent[1]["id"], "missing column device_amount"),
        (sent[2]["id"], next(line["draft_error"] for line in errors if "much" in
                             line["draft_error"]))]
    assert len(errors) == 6  # the singles' three and the batch's three
    assert all(line["live_sha256"] == live_sha and line["draft_sha256"] == draft_sha
               for line in records(changes))
    assert all(line.get("trace_id") == TRACE for line in errors[:3])
    assert metric(metrics, "txscreen_shadow_errors_total") == 6
    assert f"(sha256 {live_sha[:12]}), shadow {draft} (sha256 {draft_sha[:12]})" in reloaded


def test_each_decision_tells_its_stages_and_the_metrics_count_them():
    with Server(rules=DECISIONS) as server:
        timings = [server.request("POST", "/v1/screen", row)[1]["Server-Timing"]
                   for row in sample_rows()[:5]]
        metrics = server.request("GET", "/metrics")[2]
        assert server.stop() == 0
    for timing in timings:
        stages = dict(re.findall(r"(\w+);dur=([0-9.]+)", timing))
        assert list(stages) == ["queue", "decide", "audit"] and float(stages["decide"]) > 0
    for stage in ("queue", "decide", "audit"):
        assert metric(metrics, f'txscreen_stage_seconds_count{{stage="{stage}"}}') == 5


def test_the_description_is_served_and_is_valid_openapi(tmp_path):
    with Server(rules=DECISIONS) as server:
        status, headers, text = server.request("GET", "/openapi.json")
        assert status == 200 and json.loads(text) == OPENAPI
        assert server.stop() == 0
    validator = SOURCE / "tests" / "openapi" / "node_modules" / ".bin" / "validate-api"
    done = subprocess.run([str(validator), str(OPENAPI_FILE)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and json.loads(done.stdout) == {"valid": True}, done.stdout
    # The validator looks: a reference to nothing is refused.
    broken = tmp_path / "broken.json"
    broken.write_text(OPENAPI_FILE.read_text().replace("#/components/schemas/Answer",
                                                       "#/components/schemas/Nothing"))
    done = subprocess.run([str(validator), str(broken)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode != 0 and "Nothing" in done.stdout
