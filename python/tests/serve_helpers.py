"""txhost serve as the tests run it: a real process on loopback, stopped at the end."""

import http.client
import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.parse

import jsonschema
import pandas as pd

from conftest import EXAMPLES, SOURCE, TXHOST, sample_database_like

START_SECONDS = 20
DECISIONS = EXAMPLES / "decisions.conf"
OPENAPI_FILE = SOURCE / "host" / "serve" / "openapi.json"
OPENAPI = json.loads(OPENAPI_FILE.read_text())
_VALIDATORS = {}


def _follow(item):
    """`item`, or what its $ref names in the description."""
    while "$ref" in item:
        target = OPENAPI
        for part in item["$ref"].lstrip("#/").split("/"):
            target = target[part]
        item = target
    return item


def _validator(schema):
    key = json.dumps(schema, sort_keys=True)
    if key not in _VALIDATORS:
        resolver = jsonschema.RefResolver.from_schema(OPENAPI)
        _VALIDATORS[key] = jsonschema.Draft202012Validator(schema, resolver=resolver)
    return _VALIDATORS[key]


def check_answer(method, target, status, headers, body):
    """Holds one answer to host/serve/openapi.json: its status is one its route declares, its
    body fits the status's schema, and every header the description requires is there (one
    with a schema fits it). A path the description has not is a 404."""
    if status == 100:
        return
    path = urllib.parse.urlsplit(target).path or "/"
    headers = {name.lower(): value for name, value in headers.items()}
    operation = OPENAPI["paths"].get(path, {}).get(method.lower())
    if path not in OPENAPI["paths"]:
        response = _follow(OPENAPI["components"]["responses"]["NotFound"])
        assert status == 404, f"{method} {path}: {status} from a path the description has not"
    elif operation is None:
        response = _follow(OPENAPI["components"]["responses"]["MethodNotAllowed"])
        assert status == 405, f"{method} {path}: {status} for a method the description has not"
    else:
        assert str(status) in operation["responses"], \
            f"{method} {path}: status {status} is not in the description"
        response = _follow(operation["responses"][str(status)])
    for name, header in response.get("headers", {}).items():
        header = _follow(header)
        value = headers.get(name.lower())
        if header.get("required"):
            assert value is not None, f"{method} {path} {status}: no {name} header"
        if value is not None and "schema" in header:
            _validator(header["schema"]).validate(value)
    if method == "HEAD" or "content" not in response:
        return
    content_type = headers.get("content-type", "")
    media = response["content"].get(content_type) or response["content"].get(
        content_type.split(";")[0])
    assert media is not None, f"{method} {path} {status}: Content-Type {content_type} undescribed"
    if content_type.startswith("application/json"):
        _validator(media["schema"]).validate(json.loads(body))


class Server:
    """`txhost serve` on an ephemeral loopback port; its standard error is read as it comes.
    Every answer it gives through request() is held to the API's description."""

    described = True  # False for a proxy in front, whose own answers are not the server's

    def __init__(self, *options, rules, listen="127.0.0.1:0", env=None):
        self.process = subprocess.Popen(
            [TXHOST, "serve", "--rules", str(rules), "--listen", listen, *map(str, options)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True, env=env)
        self.lines = queue.Queue()
        self.said = []
        threading.Thread(target=self._read_messages, daemon=True).start()
        first = self.wait_for(".", START_SECONDS)
        found = re.search(r"listening on (\S+):(\d+);", first)
        assert found, f"txhost serve did not start: {first}"
        self.host, self.port = found.group(1), int(found.group(2))

    def _read_messages(self):
        for line in self.process.stderr:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, pattern, seconds=10):
        """The next line of standard error that matches `pattern`; the start fails on any
        line that does not."""
        deadline = time.monotonic() + seconds
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no line like {pattern!r} in {seconds} s; "
                                     f"so far: {self.said}") from None
            if line is None:
                raise AssertionError(f"txhost serve ended ({self.process.wait()}) before a line "
                                     f"like {pattern!r}: {self.said}")
            self.said.append(line)
            if re.search(pattern, line):
                return line

    def messages(self):
        """Every line of standard error, once the process has ended."""
        while (line := self.lines.get(timeout=10)) is not None:
            self.said.append(line)
        self.lines.put(None)
        return self.said

    def connection(self, timeout=10):
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, connection=None):
        """(status, headers, body as text) of one request, on `connection` when given; the
        headers are looked up by name in any case, as HTTP names them."""
        own = connection is None
        connection = connection or self.connection()
        try:
            if isinstance(body, (dict, list)):
                body = json.dumps(body)
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            answer = response.status, response.headers, response.read().decode()
            if self.described:
                check_answer(method, path, *answer)
            return answer
        finally:
            if own:
                connection.close()

    def screen(self, transaction, connection=None, headers=None):
        """(status, answer) of POST /v1/screen."""
        status, _, body = self.request("POST", "/v1/screen", transaction, headers, connection)
        return status, json.loads(body)

    @classmethod
    def through_proxy(cls, port):
        """Requests to a proxy on loopback `port`, in front of servers: its own answers are not
        held to the server's description."""
        proxy = cls.__new__(cls)
        proxy.host, proxy.port, proxy.described = "127.0.0.1", port, False
        return proxy

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self, seconds=20):
        """SIGTERM, then its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=seconds)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)
        self.process.stderr.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Load:
    """Threads that keep sending transactions, each on a kept-alive connection, until stopped;
    each answer's status and id are kept, and each failure to get one with the moment
    (time.monotonic()) its request was sent."""

    def __init__(self, host, port, transactions, threads=4):
        self.host, self.port, self.transactions = host, port, transactions
        self.answers, self.failures, self.undescribed = [], [], []
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._threads = [threading.Thread(target=self._run, args=(t,)) for t in range(threads)]
        for thread in self._threads:
            thread.start()

    def _run(self, number):
        connection = None
        sent = 0
        while not self._stop.is_set():
            transaction = dict(self.transactions[(number * 7919 + sent) % len(self.transactions)])
            transaction["id"] = f"{number}-{sent}"
            sent += 1
            sent_at = time.monotonic()
            try:
                connection = connection or http.client.HTTPConnection(self.host, self.port,
                                                                      timeout=10)
                connection.request("POST", "/v1/screen", body=json.dumps(transaction))
                response = connection.getresponse()
                text = response.read()
                try:
                    check_answer("POST", "/v1/screen", response.status,
                                 dict(response.getheaders()), text)
                except (AssertionError, jsonschema.ValidationError) as error:
                    with self._lock:
                        self.undescribed.append((transaction["id"], str(error)[:300]))
                answer = json.loads(text)
                with self._lock:
                    self.answers.append((response.status, transaction["id"], answer))
                if response.getheader("Connection", "").lower() == "close":
                    connection.close()
                    connection = None
            except (OSError, http.client.HTTPException) as error:
                with self._lock:
                    self.failures.append((transaction["id"], repr(error), sent_at))
                if connection is not None:
                    connection.close()
                connection = None
                time.sleep(0.01)

    def wait_for_answers(self, count, seconds=20):
        deadline = time.monotonic() + seconds
        while len(self.answers) < count:
            assert time.monotonic() < deadline, f"only {len(self.answers)} answers in {seconds} s"
            time.sleep(0.01)

    def stop(self):
        """Stops the threads: the answers and failures, once every answer was found to fit the
        description."""
        self._stop.set()
        for thread in self._threads:
            thread.join(timeout=30)
        assert self.undescribed == [], self.undescribed[:3]
        return self.answers, self.failures


def env_with(**values):
    env = dict(os.environ)
    env.update({name: str(value) for name, value in values.items()})
    return env


def raw_exchange(host, port, data, seconds=5):
    """Sends `data` as it is and reads until the server closes or `seconds` pass: the bytes
    received, and whether the server closed the connection."""
    with socket.create_connection((host, port), timeout=seconds) as raw:
        raw.sendall(data)
        received = b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            raw.settimeout(max(0.05, min(0.5, deadline - time.monotonic())))
            try:
                chunk = raw.recv(65536)
            except socket.timeout:
                if received:
                    return received, False
                continue
            if not chunk:
                return received, True
            received += chunk
        return received, False


def parse_responses(received, methods=()):
    """Each response in `received`: (status, headers with lower-case names, body); the answer to
    a HEAD (by `methods`, the requests' in order) has no body whatever its length says."""
    responses = []
    methods = list(methods)
    while received:
        head, _, rest = received.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.setdefault(name.strip().lower(), []).append(value.strip())
        head_request = status != 100 and methods and methods.pop(0) == "HEAD"
        length = (0 if status in (100, 204, 304) or head_request
                  else int(headers.get("content-length", ["0"])[0]))
        responses.append((status, headers, rest[:length]))
        received = rest[length:]
    return responses


def resident_megabytes(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError(f"no VmRSS for {pid}")


def sample_rows():
    """The sample's transactions as requests: each a dict of column texts."""
    frame = pd.read_csv(EXAMPLES / "transactions.csv", dtype=str, keep_default_na=False)
    return frame.drop(columns=["is_fraud"]).to_dict("records")


def slow_database(tmp_path, monkeypatch, seconds):
    """A copy of the sample database whose every round trip takes `seconds`."""
    connect = sample_database_like(tmp_path, monkeypatch, "slow", "")
    (tmp_path / "databases" / "slow" / "server.conf").write_text(
        f"round trip {int(seconds * 1000)}ms\n")
    return connect


def metric(text, sample):
    """The value of one sample of a /metrics text (0 when it is not there)."""
    for line in text.splitlines():
        name, _, value = line.rpartition(" ")
        if name == sample:
            return float(value)
    return 0


def start_haproxy(tmp_path, front, first, second):
    """Debian's haproxy with the shipped haproxy.cfg, on the ports given."""
    config = (EXAMPLES / "haproxy.cfg").read_text()
    for port, free in ((8000, front), (8081, first), (8082, second)):
        config = config.replace(f"127.0.0.1:{port}", f"127.0.0.1:{free}")
    (tmp_path / "haproxy.cfg").write_text(config)
    haproxy = shutil.which("haproxy") or "/usr/sbin/haproxy"
    return subprocess.Popen([haproxy, "-db", "-f", str(tmp_path / "haproxy.cfg")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def stop_behind_haproxy(proxy, servers):
    """Ends the servers and the haproxy in front of them."""
    for server in servers:
        server.__exit__()
    proxy.kill()
    proxy.wait(timeout=10)
    proxy.stderr.close()
