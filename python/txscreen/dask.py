"""Screening a Dask DataFrame, partition by partition, on any Dask cluster.

Each worker process loads the libraries and opens its database sessions once, the first time it
screens a partition, and keeps them for every later partition until the worker stops. A cluster
therefore holds ``worker processes x threads`` sessions at once: size it against the server's
session limit (``sessions N`` in the stand-in's ``server.conf``), and run one Dask thread per
worker process (``threads_per_worker=1``), since the runs of one process take turns.

>>> from dask.distributed import Client, LocalCluster
>>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))
>>> run = txscreen.dask.screen(ddf, txscreen.RuleSet("rules.conf"), label="is_fraud")
>>> results, summary = dask.compute(run.results, run.summary)   # each partition screened once
"""

import copy
import inspect
import decimal
import os
import socket
import time
from typing import Union

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from . import (_ALERT_COLUMNS, _EVERY_LIST_VALUE, InputError, OptionError, RuleSet,
               RuleSetError, TooManyRejects, _check_screen_options, _stop_every_run_on_ctrl_c,
               close_shared)

__all__ = ["screen", "DaskRun", "merge_summaries"]

_ALERT_EXAMPLES = 20  # as many first alerts as a run's summary keeps
_CHANGE_EXAMPLES = 20  # and as many first rows that a draft decides differently


class DaskRun:
    """``results``: a Dask DataFrame, partition for partition with the input (what ``Run.results``
    holds for each). ``summary``: a Dask Delayed that computes to the summary of the whole run,
    merged from the results themselves. ``rejects`` and ``alerts``: Dask DataFrames of what each
    partition's ``Run.rejects`` and ``Run.alerts`` hold, also carried by the results."""

    def __init__(self, results, rules, options, rejects_meta):
        self._rules, self._options, self._rejects_meta = rules, options, rejects_meta
        self.results = results

    @property
    def summary(self):
        return dask.delayed(merge_summaries, pure=True)(
            [dask.delayed(_summary_of, pure=True)(part) for part in self.results.to_delayed()])

    @property
    def rejects(self):
        return self._carried(_REJECTS, self._rejects_meta)

    @property
    def alerts(self):
        return self._carried(_ALERTS, _ALERTS_META)

    def persist(self, **kwargs):
        """Persists the results, on whatever scheduler computes them: the summary, rejects and
        alerts computed afterwards are read from them, with no partition screened again."""
        self.results = self.results.persist(**kwargs)
        return self

    def _carried(self, key, meta):
        parts = [dask.delayed(_carried_by, pure=True)(part, key)
                 for part in self.results.to_delayed()]
        return dd.from_delayed(parts, meta=meta, verify_meta=False)

    def __repr__(self):
        return (f"<txscreen.dask.DaskRun {self.results.npartitions} partitions through "
                f"{self._rules.path!r}: checks {', '.join(self._rules.labels)}>")


def screen(ddf: dd.DataFrame, rules: Union[RuleSet, str, os.PathLike], **options) -> DaskRun:
    """Screen every partition of ``ddf`` with ``rules.screen(partition, **options)``.

    ``rules`` is a :class:`txscreen.RuleSet` or the path of a rule-set file; the id column may be
    ``ddf``'s index (``set_index("id")``), which the results then keep. The options are those
    of :meth:`txscreen.RuleSet.screen`; ``max_rejects`` holds for the whole run: past it, the
    summary and the results raise :class:`txscreen.TooManyRejects` (each partition also stops
    as soon as it alone is past it). A password given as ``password`` travels to the workers in
    the task graph; prefer ``password_file`` (read on each worker) or ``TXHOST_PASSWORD`` in the
    workers' environment.

    Each partition's results carry its summary, so that the summary is merged from the results
    themselves: results computed or persisted first are not screened again for it.
    """
    if not isinstance(ddf, dd.DataFrame):
        raise OptionError(f"ddf must be a Dask DataFrame, not {type(ddf).__module__}."
                          f"{type(ddf).__name__}; RuleSet.screen takes a pandas one")
    if not isinstance(rules, RuleSet):
        rules = RuleSet(rules)
    _check_before_any_partition(ddf, rules, options)
    _stop_every_run_on_ctrl_c()
    _close_sessions_with_workers()
    screened = [dask.delayed(_screen_partition, pure=True)(part, rules, options)
                for part in ddf.to_delayed()]
    if options.get("max_rejects") is not None:
        rejected = dask.delayed(_rejects_within, pure=True)(
            [dask.delayed(_summary_of, pure=True)(part) for part in screened],
            options["max_rejects"])
        screened = [dask.delayed(_after, pure=True)(part, rejected) for part in screened]
    meta = _results_meta(ddf, rules, options)
    results = dd.from_delayed(screened, meta=meta, verify_meta=False)
    rejects_meta = ddf._meta.assign(_line=pd.Series([], dtype=np.int64),
                                    _reason=pd.Series([], dtype=object))
    return DaskRun(results, rules, options, rejects_meta)


def _check_before_any_partition(ddf, rules, options):
    """What screen would refuse in every partition, refused now: an option it has not or
    cannot take, an id or label that is no column, a column the rule set reads that is not
    there."""
    try:
        given = inspect.signature(RuleSet.screen).bind(rules, None, **options).arguments
    except TypeError as error:
        raise OptionError(f"txscreen.dask.screen: {error}") from None
    checked = {name: given.get(name, parameter.default)
               for name, parameter in inspect.signature(RuleSet.screen).parameters.items()
               if parameter.kind is inspect.Parameter.KEYWORD_ONLY}
    _check_screen_options(**checked)
    header = [str(name) for name in ddf.columns]
    id_column, label = checked["id"], checked["label"]
    if id_column not in header and ddf.index.name != id_column:
        raise InputError(f"Dask DataFrame: no id column {id_column}")
    if label is not None and label not in header:
        raise InputError(f"Dask DataFrame: no label column {label}")
    header.append(id_column)
    for rule_set in (rules, checked["baseline"]):
        if rule_set is not None and (problems := rule_set._native.bind_problems(header)):
            raise RuleSetError("\n".join(problems))


_SUMMARY = "txscreen_summary"  # where a partition's results keep its summary
_FRAMES = "txscreen_frames"  # and its rejects and alerts
_REJECTS, _ALERTS = "rejects", "alerts"
_ALERTS_META = pd.DataFrame({name: pd.Series([], dtype=np.int64 if name == "line" else object)
                             for name in _ALERT_COLUMNS})
_screenings = 0  # partitions screened by this process, for the tests


def _indexed_by_id(frame: pd.DataFrame, options: dict) -> bool:
    """Whether the id column is the frame's index (``set_index("id")``) rather than a column."""
    id_column = options.get("id", "id")
    return id_column not in frame.columns and frame.index.name == id_column


def _screen_partition(frame: pd.DataFrame, rules: RuleSet, options: dict) -> pd.DataFrame:
    global _screenings
    started = time.time()
    indexed = _indexed_by_id(frame, options)
    every = _EVERY_LIST_VALUE.set(True)
    try:
        run = rules.screen(frame.reset_index() if indexed else frame, **options)
    finally:
        _EVERY_LIST_VALUE.reset(every)
    if indexed:
        # The screened rows' positions, as reset_index numbered them, back to the ids.
        run.results.index = frame.index[run.results.index]
    _screenings += 1
    # When and where it ran, for the run's time and workers; the merge takes these out.
    run.summary["_run"] = {"started": started, "ended": time.time(),
                           "process": f"{socket.gethostname()}:{os.getpid()}"}
    run.results.attrs[_SUMMARY] = run.summary
    run.results.attrs[_FRAMES] = _Frames({_REJECTS: run.rejects, _ALERTS: run.alerts})
    return run.results


def _summary_of(results: pd.DataFrame) -> dict:
    return results.attrs[_SUMMARY]


class _Frames(dict):
    """Frames a partition's results carry in their attrs. pandas compares attrs when it joins
    frames, and frames have no truth value: these compare as themselves only."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


def _carried_by(results: pd.DataFrame, key: str) -> pd.DataFrame:
    return results.attrs[_FRAMES][key]


def _rejects_within(summaries: list, max_rejects: int) -> int:
    rejected = sum(summary["rows_rejected"] for summary in summaries)
    if rejected > max_rejects:
        raise TooManyRejects(f"{rejected} rows rejected in all partitions, more than "
                             f"max_rejects={max_rejects}")
    return rejected


def _after(results: pd.DataFrame, _checked) -> pd.DataFrame:
    return results


def _results_meta(ddf, rules, options):
    """The empty frame that stands for each partition's results."""
    empty = ddf._meta
    id_column = options.get("id", "id")
    ids = empty.index.to_series() if _indexed_by_id(empty, options) else empty[id_column]
    meta = pd.DataFrame({id_column: ids}, index=empty.index)
    for label in rules.labels:
        meta[label] = pd.Series([], dtype=np.int8, index=meta.index)
    scored, decides = rules.decides
    if scored:
        meta["_score"] = pd.Series([], dtype=np.float64, index=meta.index)
    if decides:
        meta["_outcome"] = pd.Series([], dtype=object, index=meta.index)
    return meta


def merge_summaries(parts: list) -> dict:
    """The summary of a run made of ``parts``, the summaries of its partitions in input order.

    Counts add; rates, precision and recall are worked out again from the added counts; sweeps
    merge value by value, a swept threshold's as a check's; rows by score, by outcome and the
    backtest of stopping add up, and so do the comparison's rows and pairs of outcomes; hits by
    day and checks that fire together add up; the first alerts and the first rows a draft decides
    differently are those of the whole run, with each line counted from the start of the first
    partition.
    """
    if not parts:
        raise ValueError("no partitions to merge")
    merged = copy.deepcopy(parts[0])
    offset = parts[0]["rows_read"]
    for part in parts[1:]:
        for key in ("rows_read", "rows_screened", "rows_rejected", "alerts",
                    "rows_on_lost_session", "seconds", "rows_unlabelled"):
            if key in merged:
                merged[key] += part[key]
        for reason, count in part["rejects_by_reason"].items():
            merged["rejects_by_reason"][reason] = merged["rejects_by_reason"].get(reason, 0) + count
        for check, other in zip(merged["checks"], part["checks"]):
            _add_counts(check, other)
            _add_list_hits(check, other)
            for point, other_point in zip(check.get("sweep", {}).get("values", []),
                                          other.get("sweep", {}).get("values", [])):
                _add_counts(point, other_point)
        for day, hits in part.get("hits_by_day", {}).items():
            mine = merged.setdefault("hits_by_day", {}).setdefault(day, [0] * len(hits))
            merged["hits_by_day"][day] = [a + b for a, b in zip(mine, hits)]
        together = {tuple(pair["checks"]): pair for pair in merged["fired_together"]}
        for other in part["fired_together"]:
            mine = together.setdefault(tuple(other["checks"]),
                                       {"checks": other["checks"], "rows": 0})
            mine["rows"] += other["rows"]
        merged["fired_together"] = _in_check_order(together.values(), merged["checks"])
        merged["fired_together_complete"] &= part["fired_together_complete"]
        for alert in part["first_alerts"]:
            if len(merged["first_alerts"]) < _ALERT_EXAMPLES:
                merged["first_alerts"].append({**alert, "line": alert["line"] + offset})
        offset += part["rows_read"]
    _merge_decisions(merged, parts[1:])
    if "comparison" in merged:
        _merge_comparisons(merged, parts)
    if "hits_by_day" in merged:
        merged["hits_by_day"] = dict(sorted(merged["hits_by_day"].items()))
    for check in merged["checks"]:
        _ratios(check, merged)
        _top_list_values(check)
        for point in check.get("sweep", {}).get("values", []):
            _ratios(point, merged)
    # The run's own figures: from the first partition's start to the last one's end, on as many
    # sessions as the processes that screened held (a process's runs take turns).
    runs = [part["_run"] for part in parts if "_run" in part]
    merged.pop("_run", None)
    if runs:
        merged["seconds"] = max(run["ended"] for run in runs) - min(run["started"] for run in runs)
        merged["workers"] = parts[0]["workers"] * len({run["process"] for run in runs})
    seconds = merged["seconds"]
    merged["rows_per_second"] = merged["rows_read"] / seconds if seconds > 0 else 0.0
    merged["partitions"] = len(parts)
    return merged


_COUNTS = ("hits", "alerts", "true_positives", "false_positives", "false_negatives", "flagged",
           "stopped", "rows", "fraud", "genuine")


def _in_check_order(pairs, checks):
    """The pairs that fired together in the order of their checks, as txhost lists them."""
    place = {check["label"]: i for i, check in enumerate(checks)}
    return sorted(pairs, key=lambda pair: (place[pair["checks"][0]], place[pair["checks"][1]]))


_TOP_LIST_VALUES = 10  # as many as txhost's summary gives


def _add_list_hits(check, other):
    """A list's hits per value, summed over the parts, which give every value that fired."""
    if "list" not in check:
        return
    listed = check["list"]
    hits = listed.setdefault("_hits", {v["value"]: v["hits"] for v in listed["top_values"]})
    for entry in other["list"]["top_values"]:
        hits[entry["value"]] = hits.get(entry["value"], 0) + entry["hits"]


def _top_list_values(check):
    """The values that fired most, most first, ties in the order of their bytes, as txhost."""
    if "list" not in check:
        return
    listed = check["list"]
    hits = listed.pop("_hits", {v["value"]: v["hits"] for v in listed["top_values"]})
    ranked = sorted(hits.items(),
                    key=lambda item: (-item[1], item[0].encode("utf-8", "surrogateescape")))
    listed["values_that_fired"] = len(hits)
    listed["top_values"] = [{"value": value, "hits": count}
                            for value, count in ranked[:_TOP_LIST_VALUES]]


def _merge_decisions(merged, others):
    """Scores, outcomes, swept thresholds and the backtest of stopping, added part by part."""
    if "score_distribution" not in merged:
        return
    by_score = {entry["score"]: entry for entry in merged["score_distribution"]}
    for part in others:
        for entry in part["score_distribution"]:
            mine = by_score.setdefault(entry["score"], dict.fromkeys(entry, 0))
            mine["score"] = entry["score"]
            _add_counts(mine, entry)
        for outcome, other in zip(merged.get("outcomes", []), part.get("outcomes", [])):
            _add_counts(outcome, other)
            for point, other_point in zip(outcome.get("sweep", {}).get("values", []),
                                          other.get("sweep", {}).get("values", [])):
                _add_counts(point, other_point)
        if "decisions" in merged:
            _add_counts(merged["decisions"], part["decisions"])
    # Every score is written at the same precision, so its decimal value orders it.
    merged["score_distribution"] = sorted(by_score.values(),
                                          key=lambda entry: decimal.Decimal(entry["score"]))
    for outcome in merged.get("outcomes", []):
        for point in outcome.get("sweep", {}).get("values", []):
            _ratios(point, merged)
    if "decisions" in merged:
        _ratios(merged["decisions"], merged)


def _merge_comparisons(merged, parts):
    """The draft against the live set over the whole run: rows, pairs of outcomes, the backtest
    and the first rows decided differently, with their lines counted from the first partition."""
    comparison = merged["comparison"]
    names = comparison["outcome_names"]
    pairs = {}
    comparison["first_changes"] = []
    offset = 0
    for index, part in enumerate(parts):
        theirs = part["comparison"]
        if index > 0:
            for key in comparison["rows"]:
                comparison["rows"][key] += theirs["rows"][key]
            if "backtest" in comparison:
                for key in ("fraud_newly_caught", "fraud_newly_missed", "false_alarms_added",
                            "false_alarms_removed"):
                    comparison["backtest"][key] += theirs["backtest"][key]
                for side in ("draft", "live"):
                    _add_counts(comparison["backtest"][side], theirs["backtest"][side])
        for pair in theirs["outcomes"]:
            key = (pair["live"], pair["draft"])
            pairs[key] = pairs.get(key, 0) + pair["rows"]
        for change in theirs["first_changes"]:
            if len(comparison["first_changes"]) < _CHANGE_EXAMPLES:
                comparison["first_changes"].append({**change, "line": change["line"] + offset})
        offset += part["rows_read"]
    order = sorted(pairs, key=lambda key: (names["live"].index(key[0]),
                                           names["draft"].index(key[1])))
    comparison["outcomes"] = [{"live": live, "draft": draft, "rows": pairs[(live, draft)]}
                              for live, draft in order]
    if "backtest" in comparison:
        for side in ("draft", "live"):
            _ratios(comparison["backtest"][side], merged)


def _add_counts(mine, other):
    for key in _COUNTS:
        if key in mine:
            mine[key] += other[key]


def _ratio(part, whole):
    return part / whole if whole else None


def _ratios(entry, summary):
    if "rate" in entry:
        entry["rate"] = _ratio(entry["hits"], summary["rows_screened"])
    if "precision" in entry:
        tp = entry["true_positives"]
        entry["precision"] = _ratio(tp, tp + entry["false_positives"])
        entry["recall"] = _ratio(tp, tp + entry["false_negatives"])


_plugin_registered = set()


def _close_sessions_with_workers():
    """Ends each worker's sessions when the worker stops, through a worker plugin of the client
    in use, when there is one."""
    try:
        from distributed import get_client
        from distributed.diagnostics.plugin import WorkerPlugin
        client = get_client()
    except (ImportError, ValueError):
        return
    if id(client) in _plugin_registered:
        return

    class CloseSessions(WorkerPlugin):
        name = "txscreen-sessions"

        def teardown(self, worker):
            close_shared()

    client.register_worker_plugin(CloseSessions(), name=CloseSessions.name)
    _plugin_registered.add(id(client))
