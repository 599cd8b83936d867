"""Screen transactions through txscreen rule sets, from pandas and Dask.

The same engine as ``txhost screen``, with the same rule sets, libraries and results::

    >>> import pandas as pd, txscreen
    >>> rules = txscreen.RuleSet("examples/rules.conf")
    >>> run = rules.screen(pd.read_csv("examples/transactions.csv", dtype=str))
    >>> run.results.head()          # the id, then one 0/1 column per check
    >>> run.summary["checks"][0]    # what txhost --summary writes
    >>> run.write_report("report.html")

``txscreen.dask.screen`` spreads the same call over a Dask cluster.
"""

import atexit
import contextvars
import hashlib
import json
import os
import signal
import sys
import threading
from collections.abc import Mapping
from typing import Optional, Union

import numpy as np
import pandas as pd

# The rule libraries find the engine's alert hook only among global symbols.
_dlopen_flags = sys.getdlopenflags()
sys.setdlopenflags(_dlopen_flags | os.RTLD_GLOBAL)
try:
    from . import _engine
finally:
    sys.setdlopenflags(_dlopen_flags)

from .errors import (Error, InputError, LoginError, OptionError, OutputError,  # noqa: E402
                     ReadError, RuleSetError, TooManyRejects)

__all__ = ["RuleSet", "Run", "Error", "RuleSetError", "InputError", "LoginError",
           "OptionError", "TooManyRejects", "ReadError", "OutputError"]

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
_PASSWORD_FILE_LIMIT = 4096
# The columns of Run.alerts, as --alerts names each line's members.
_ALERT_COLUMNS = ["id", "line", "label", "rule", "text", "value"]
# Set while a part of a Dask run is screened: its summary then gives every list value that fired,
# so that the parts add up exactly.
_EVERY_LIST_VALUE = contextvars.ContextVar("every_list_value", default=False)


class Run:
    """What one screening gave.

    Attributes
    ----------
    results : pandas.DataFrame
        The id column, then one 0/1 column (int8) per check, in input order, then ``_score``
        (float64) and ``_outcome`` when the rule set scores and decides: what ``--out`` holds.
        Rows from a DataFrame keep their index; rows from a file are numbered from 0.
    rejects : pandas.DataFrame
        The rows that could not be screened, with their fields, ``_line`` and ``_reason``: what
        ``--rejects`` holds.
    alerts : pandas.DataFrame
        One row per alert a rule raised: id, line, label, rule and text, as ``--alerts``.
    explain : pandas.DataFrame or None
        With ``explain=True``, one row per check that fired, with the exact argument values.
    changes : pandas.DataFrame or None
        With a ``baseline``, each row the two rule sets decide differently: id, line,
        flagged_by (which sets stop it), the labels that fired on each side, and each side's
        outcome, as ``--changes``.
    summary : dict
        What ``--summary`` holds.

    A row of a DataFrame has the line it would have in the same data written as CSV: its
    position plus 2.
    """

    def __init__(self, results, rejects, alerts, explain, summary, changes=None):
        self.changes = changes
        self.results = results
        self.rejects = rejects
        self.alerts = alerts
        self.explain = explain
        self.summary = summary

    def write_report(self, path: Union[str, os.PathLike]) -> None:
        """Write the run as one self-contained HTML page, the page of ``txhost --report``.

        The file is written beside ``path`` and renamed into place once complete.
        """
        write_report(self.summary, path)

    def __repr__(self):
        s = self.summary
        return (f"<txscreen.Run rows={s['rows_read']} screened={s['rows_screened']} "
                f"rejected={s['rows_rejected']} alerts={s['alerts']}>")


def write_report(summary: dict, path: Union[str, os.PathLike]) -> None:
    """Write the report page of a summary (a run's, or one merged from Dask partitions)."""
    page = _engine.report_html(json.dumps(summary))
    _engine.write_file(os.fspath(path), page)


class RuleSet:
    """A rule set, checked against the libraries as txhost checks it.

    Parameters
    ----------
    path : str or path-like
        The rule-set file (the format of ``txhost screen --help``).
    libdir : str, optional
        Where the rule libraries are; by default those installed with this package.
    lists : mapping of str to a sequence of str, optional
        Lists kept in Python, such as a DataFrame's column: ``{"bad_accounts": frame.account}``
        lets a check write ``@bad_accounts`` where it would name a list file. A name given here
        stands for it before any file; values compare byte for byte, as a list file's do.

    Raises
    ------
    RuleSetError
        With every problem of the file, as ``path:line: message``.

    Examples
    --------
    >>> rules = txscreen.RuleSet("examples/rules.conf")
    >>> run = rules.screen("examples/transactions.csv", label="is_fraud")

    The libraries stay loaded and the database sessions open from one ``screen`` to the next;
    ``close()`` (or a ``with`` block) ends the sessions.
    """

    def __init__(self, path: Union[str, os.PathLike], libdir: Optional[str] = None,
                 lists: Optional[Mapping] = None):
        self._libdir = libdir
        self._native = _engine.NativeRuleSet(os.fspath(path), None, libdir or _PACKAGE_DIR,
                                             _given_lists(lists))
        self._decide_requests = {}  # each way decide is called, its checked request
        self._shipped = None

    @property
    def path(self) -> str:
        return self._native.path

    @property
    def labels(self) -> list:
        """The checks' labels, in order: the columns of ``Run.results`` after the id."""
        return self._native.labels()

    @property
    def decides(self) -> tuple:
        """``(scores, outcomes)``: whether ``Run.results`` has ``_score`` (the sum of the scores of
        the checks that fired, as a float) and ``_outcome`` (the outcome's name) after the
        checks."""
        return tuple(self._native.decides())

    def screen(self, source: Union[str, os.PathLike, pd.DataFrame], *,
               connect: Optional[str] = None, password: Optional[str] = None,
               password_file: Optional[str] = None, threads: int = 1, id: str = "id",
               label: Optional[str] = None, explain: bool = False,
               max_rejects: Optional[int] = None,
               baseline: Optional["RuleSet"] = None) -> Run:
        """Screen every row of ``source`` through every check.

        Parameters
        ----------
        source : str, path-like or pandas.DataFrame
            A CSV file with a header line, or a DataFrame. A DataFrame's columns may hold texts,
            numbers of any int or float dtype (read as the CSV path reads the same value written
            out by ``to_csv``) or ``datetime64`` dates; a missing value is an empty field.
        connect : str, optional
            ``user[/password]@service`` for the database rules; ``screener/screener@sample`` by
            default, as txhost.
        password, password_file : str, optional
            The password, or a file whose first line is the password, when ``connect`` has none;
            otherwise the environment variable ``TXHOST_PASSWORD``.
        threads : int
            Workers, each on a database session of its own.
        id, label : str
            The id column, and the column of known outcomes (1 fraud, 0 genuine) for a backtest.
        explain : bool
            Also give ``Run.explain``.
        max_rejects : int, optional
            Raise :class:`TooManyRejects` once more rows than this were rejected.
        baseline : RuleSet, optional
            The live rule set: every row is screened through both in one pass (a check both have
            is called once), ``Run.summary["comparison"]`` compares them (by outcome when both
            sets have outcomes; a set without outcomes flags a row when at least one of its
            checks fires) and ``Run.changes`` lists the rows they decide differently, with each
            side's outcome. The results stay this rule set's.

        Returns
        -------
        Run

        Raises
        ------
        RuleSetError, InputError, LoginError, TooManyRejects, ReadError
            With txhost's messages. ``KeyboardInterrupt`` stops a run promptly.
        """
        interrupts_seen = _engine.interrupts()  # before the call waits for its turn
        _check_screen_options(connect=connect, password=password, password_file=password_file,
                              threads=threads, id=id, label=label, explain=explain,
                              max_rejects=max_rejects, baseline=baseline)
        request = _engine.ScreenRequest()
        request.connect = connect
        request.password = _password(password, password_file)
        request.threads = int(threads)
        request.id_column = id
        request.label_column = label or ""
        request.explain = explain
        if max_rejects is not None:
            request.max_rejects = int(max_rejects)
        request.every_list_value = _EVERY_LIST_VALUE.get()
        request.interrupts_seen = interrupts_seen
        live = baseline._native if baseline is not None else None
        if isinstance(source, pd.DataFrame):
            return self._screen_frame(source, request, baseline)
        raw = self._native.screen(os.fspath(source), [], [], 0, request, live)
        return _run(raw, None, id, explain)

    def decide(self, transaction: Mapping, *, connect: Optional[str] = None,
               password: Optional[str] = None, password_file: Optional[str] = None,
               id: str = "id") -> dict:
        """Decide one transaction as ``txhost serve`` does, and give the dict it would answer.

        ``transaction`` maps each column the checks read, and the id, to a str or a number (a
        number is read as its text, as the server reads a JSON number): ``{"id": ..., "checks":
        {label: 0 or 1}, "flagged": bool, "alerts": [{"label", "rule", "text"}]}``, with
        ``"score"`` and ``"outcome"`` when the set has them. The session for the database rules
        is kept from one call to the next, as for ``screen``.

        Raises
        ------
        InputError
            A column missing, or a value the server would answer 422 for, with its reason.
        RuleSetError, LoginError
            As ``screen``; LoginError also when the session was lost, which the next call
            opens again.
        """
        key = (connect, password, password_file, id)
        request = self._decide_requests.get(key)
        if request is None:
            for name, value in (("connect", connect), ("password", password),
                                ("password_file", password_file)):
                _check_option(name, value, str, optional=True)
            _check_option("id", id, str)
            request = _engine.ScreenRequest()
            request.connect = connect
            request.password = _password(password, password_file)
            request.id_column = id
            # A password is kept no longer than the call, whether given apart or in the connect
            # string ("user/password@service"); a file may change between calls.
            if password is None and password_file is None and "/" not in (connect or ""):
                self._decide_requests[key] = request
        if isinstance(transaction, pd.Series):
            transaction = transaction.to_dict()  # a DataFrame's row, as df.iloc[i] gives it
        if not isinstance(transaction, dict):
            if not isinstance(transaction, Mapping):
                raise OptionError(f"transaction: expected a mapping of column to value, "
                                  f"not {type(transaction).__name__}")
            transaction = dict(transaction)
        if any(isinstance(value, np.generic) for value in transaction.values()):
            transaction = {column: _plain_number(value) for column, value in transaction.items()}
        return self._native.decide(transaction, request)

    def _screen_frame(self, frame: pd.DataFrame, request, baseline) -> Run:
        if isinstance(frame.columns, pd.MultiIndex):
            raise InputError(f"the DataFrame's columns are a MultiIndex of {frame.columns.nlevels} "
                             f"levels; a rule set names one column by one name: flatten them "
                             f"first, frame.columns = ['_'.join(map(str, c)) for c in "
                             f"frame.columns]")
        header = [str(name) for name in frame.columns]
        wanted = set(self._native.columns_read(header))
        if baseline is not None:
            wanted.update(baseline._native.columns_read(header))
        wanted.update(name for name in (request.id_column, request.label_column) if name)
        columns = [_column_values(frame.iloc[:, i]) if name in wanted else None
                   for i, name in enumerate(header)]
        live = baseline._native if baseline is not None else None
        raw = self._native.screen(None, header, columns, len(frame), request, live)
        return _run(raw, frame, request.id_column, request.explain)

    def close(self) -> None:
        """End the database sessions kept for later runs."""
        self._native.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __reduce__(self):
        # Sent to another process (a Dask worker), a rule set travels as its text and its lists'
        # values, and is loaded there once per process; the digest tells the copies apart.
        if self._shipped is None:
            digest = hashlib.sha256(self._native.fingerprint()).hexdigest()
            self._shipped = (self.path, self._native.text, self._libdir, self._native.lists(),
                             digest)
        return (_shared_rule_set, self._shipped)

    def __repr__(self):
        return f"<txscreen.RuleSet {self.path!r}>"


_shared = {}
_shared_lock = threading.Lock()  # a worker's threads may receive the same rule set at once


def _shared_rule_set(path, text, libdir, lists, digest):
    key = (path, text, libdir, digest)
    with _shared_lock:
        rules = _shared.get(key)
        if rules is None:
            rules = RuleSet.__new__(RuleSet)
            rules._libdir = libdir
            rules._native = _engine.NativeRuleSet(path, text, libdir or _PACKAGE_DIR, lists)
            rules._decide_requests = {}
            rules._shipped = None
            _shared[key] = rules
        return rules


def close_shared() -> None:
    """End the sessions of every rule set this process received from another one."""
    for rules in _shared.values():
        rules.close()


atexit.register(close_shared)


def sessions_begun() -> int:
    """How many database sessions this process has begun so far."""
    return _engine.sessions_begun()


def _stop_every_run_on_ctrl_c() -> None:
    """Has Ctrl-C stop the runs on other threads too (a Dask pool's, whose partitions would
    otherwise run on after the interrupt and hold the rule set), by counting it in the engine
    before Python's own handler raises KeyboardInterrupt. Only Python's default handler is
    wrapped, from the main thread; a handler of the caller's own is left as it is."""
    if threading.current_thread() is not threading.main_thread():
        return
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _interrupt_every_run)


def _interrupt_every_run(number, frame):
    _engine.note_interrupt()
    signal.default_int_handler(number, frame)


def _given_lists(lists) -> dict:
    """The lists given to a RuleSet as lists of str, or a RuleSetError naming what is wrong."""
    if lists is None:
        return {}
    if not isinstance(lists, Mapping):
        raise OptionError(f"lists: expected a mapping of name to values, "
                          f"not {type(lists).__name__}")
    given = {}
    for name, values in lists.items():
        if not isinstance(name, str):
            raise OptionError(f"lists: a name must be a str, not {type(name).__name__}")
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            raise OptionError(f"lists: {name}: expected a sequence of str, not "
                              f"{type(values).__name__}")
        given[name] = []
        for place, value in enumerate(values, 1):
            if not isinstance(value, str):
                raise OptionError(f"lists: {name}: value {place} is {value!r}, not a str")
            try:
                value.encode("utf-8")
            except UnicodeEncodeError as error:
                raise OptionError(f"lists: {name}: value {place} is not UTF-8 text: {error.reason}"
                                  ) from None
            given[name].append(value)
    return given


def _plain_number(value):
    """A NumPy number as Python's own, read as screen reads the same value in a column: a
    narrow float with the digits its own precision needs (float32's 0.1 is 0.1)."""
    if isinstance(value, np.floating) and value.dtype.itemsize < 8:
        return float(str(value))
    if isinstance(value, (np.integer, np.floating)):
        return value.item()
    if isinstance(value, np.bool_):
        return bool(value)
    return value


def _one_field_per_column(fields, width):
    """A short row padded with empty fields; a long row's extra fields folded into its last
    column, joined by commas as they stood."""
    if len(fields) > width:
        return list(fields[:width - 1]) + [",".join(fields[width - 1:])]
    return list(fields) + [""] * (width - len(fields))


def _check_screen_options(*, connect, password, password_file, threads, id, label, explain,
                          max_rejects, baseline):
    """Raises OptionError naming the first option of screen whose value it cannot take."""
    for name, value in (("connect", connect), ("password", password),
                        ("password_file", password_file), ("label", label)):
        _check_option(name, value, str, optional=True)
    _check_option("id", id, str)
    _check_option("explain", explain, bool)
    _check_option("threads", threads, int, least=1, most=_engine.MAX_WORKERS)
    _check_option("max_rejects", max_rejects, int, least=0, optional=True,
                  most=_engine.MAX_REJECTS)
    if baseline is not None and not isinstance(baseline, RuleSet):
        raise OptionError(f"baseline must be a RuleSet, not {baseline!r}")


def _check_option(name, value, kind, least=None, optional=False, most=None):
    """Raises OptionError, naming the option, unless ``value`` is of ``kind`` (a bool is no
    whole number here) and from ``least`` to ``most``; None passes when the option is
    ``optional``."""
    if value is None and optional:
        return
    whole = kind is int and isinstance(value, (int, np.integer)) and not isinstance(value, bool)
    if not (whole or (kind is not int and isinstance(value, kind))):
        wanted = {int: "a whole number", str: "a text", bool: "True or False"}[kind]
        raise OptionError(f"{name} must be {wanted}, not {value!r}")
    if least is not None and value < least:
        raise OptionError(f"{name} must be at least {least}, not {value!r}")
    if most is not None and value > most:
        raise OptionError(f"{name} must be at most {most}, not {value!r}")


def _password(password, password_file):
    if password is not None and password_file is not None:
        raise LoginError("the password is given twice: as password and as password_file")
    if password_file is None:
        return password
    try:
        with open(password_file, "rb") as file:
            line = file.readline(_PASSWORD_FILE_LIMIT)
    except OSError as error:
        raise LoginError(f"password_file {password_file}: {error.strerror}") from None
    line = line.rstrip(b"\n")
    if line.endswith(b"\r"):
        line = line[:-1]
    return line.decode("utf-8", "surrogateescape")


def _column_values(series: pd.Series):
    """A column as the engine converts it: a NumPy array of a dtype it reads (missing values,
    None, NaN, NA and NaT, become empty fields there)."""
    values = series.to_numpy()
    kind = values.dtype.kind if isinstance(values, np.ndarray) else "?"
    if kind == "M":
        return values.astype("datetime64[ns]")
    if kind == "f" and values.dtype.itemsize < 4:
        # float16 as to_csv writes it, the shortest digits that read back as the same half
        # float (0.1, not the 0.099975586 of the float32 it would widen to); NaN is empty.
        return np.where(np.isnan(values), None, values.astype(str)).astype(object)
    if kind in "fiubO":
        return values
    return series.astype(object).to_numpy()


def _run(raw, frame, id_column, explain) -> Run:
    lines = raw["lines"]
    labels = raw["labels"]
    if frame is None:
        # A file's rows by their line, which names each whatever was rejected before it.
        index = pd.Index(np.asarray(lines, dtype=np.int64), name="line")
        ids = pd.Series(raw["ids"], index=index, dtype=object)
    else:
        positions = lines - 2
        index = frame.index[positions]
        id_values = frame.iloc[:, [str(name) for name in frame.columns].index(id_column)]
        ids = pd.Series(id_values.to_numpy()[positions], index=index)
    # Built at once: a column at a time, thousands of checks would fragment the frame.
    columns = {id_column: ids}
    for label, fired in zip(labels, raw["fired"]):
        columns[label] = fired.astype(np.int8)
    if "scores" in raw:
        columns["_score"] = raw["scores"]
    if "outcome_names" in raw:
        names = np.array(raw["outcome_names"], dtype=object)
        columns["_outcome"] = names[raw["outcome_codes"]]
    results = pd.DataFrame(columns, index=index)
    reject_lines = np.asarray(raw["reject_lines"], dtype=np.int64)
    if frame is None:
        # A malformed row may have fewer or more fields than the header names: shaped as txhost
        # writes --rejects, one field per column.
        header = list(raw["header"])
        rejects = pd.DataFrame([_one_field_per_column(fields, len(header))
                                for fields in raw["reject_fields"]], columns=header, dtype=object,
                               index=pd.Index(np.asarray(raw["reject_lines"], dtype=np.int64),
                                              name="line"))
    else:
        rejects = frame.iloc[reject_lines - 2].copy()
    rejects["_line"] = reject_lines
    rejects["_reason"] = pd.Series(raw["reject_reasons"], index=rejects.index, dtype=object)
    alerts = pd.DataFrame(raw["alerts"], columns=_ALERT_COLUMNS)
    explained = None
    if explain:
        rows = [json.loads(line) for line in raw["explain"].splitlines()]
        # A set that scores gives what each check that fired added, as --explain does.
        columns = ["id", "line", "label", "library", "rule", "args"]
        explained = pd.DataFrame(rows, columns=columns + (["score"] if "scores" in raw else []))
    summary = json.loads(raw["summary"])
    changes = None
    if "comparison" in summary:
        changes = pd.DataFrame(
            [(id_, line, side, ";".join(draft), ";".join(live), live_outcome, draft_outcome)
             for id_, line, side, draft, live, live_outcome, draft_outcome in raw["changes"]],
            columns=[id_column, "_line", "flagged_by", "draft_checks", "live_checks",
                     "live_outcome", "draft_outcome"])
    return Run(results, rejects, alerts, explained, summary, changes)
