"""What a campaign's results say: the runs by outcome, what went wrong grouped
by cause, the time limits hit, the retries, and how long the runs took.

`read_report` reads DIR/results.jsonl one line at a time (memory bounded by
the number of causes kept, not by the file's size) and DIR/attempts.jsonl
when there is one. A line that is not a results line is counted and named by
its number, never fatal. Lines written before results carried an `outcome`
or `statuses` member are read too: the outcome word is then the machine's
status, or "error" for a run that raised.

A cause is the outcome word, the error's type (or the machine's own words
for a run that failed without raising) and its message with the parts that
differ from run to run collapsed: quoted texts, hexadecimal, numbers. So
"line 3: unknown instruction 'garbage'" and "line 9: unknown instruction
'nop'" are one cause, "line <n>: unknown instruction <text>".
"""

from __future__ import annotations

import collections
import heapq
import json
import math
import os
import re
import stat
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

# The statuses a results line can carry, and the words that are no problem.
STATUS_MEMBERS = {
    "machine": "machine_execution",
    "evidence": "evidence_fulfillment",
    "delivery": "python_sink_delivery",
    "recording": "recorder_finalization",
    "publication": "publication",
}
_NO_PROBLEM = {
    "machine": {"completed"},
    "evidence": {"complete"},
    "delivery": {"complete", "not_requested"},
    "recording": {"finalized", "not_requested", "not_finalized"},
    "publication": {"published", "not_published"},
}
FIRST_IDS = 3
KEPT_BAD_LINES = 20
KEPT_CAUSES = 1000
MESSAGE_CHARS = 160
# Durations go to buckets 1 % wide: percentiles within 0.5 %, in a few
# thousand counters whatever the number of runs.
_BUCKET = math.log(1.01)

_QUOTED = re.compile(r"'[^'\n]*'|\"[^\"\n]*\"")
_HEX = re.compile(r"\b0[xX][0-9a-fA-F]+\b|\b(?=[0-9a-fA-F]*\d)(?=[0-9a-fA-F]*[a-fA-F])[0-9a-fA-F]{6,}\b")
_NUMBER = re.compile(r"\d+(?:\.\d+)?(?:[eE][-+]?\d+)?")


def pattern(message: str) -> str:
    """A message with quoted texts, hexadecimal and numbers collapsed."""
    text = _NUMBER.sub("<n>", _HEX.sub("<hex>", _QUOTED.sub("<text>", message)))
    return text if len(text) <= MESSAGE_CHARS else text[: MESSAGE_CHARS - 1] + "…"


@dataclass
class Cause:
    outcome: str
    type: str
    pattern: str
    count: int = 0
    ids: list[str] = field(default_factory=list)
    example: str = ""


@dataclass
class Report:
    """The reading of one results file (and its attempts log)."""

    path: str
    runs: int = 0
    outcomes: collections.Counter[str] = field(default_factory=collections.Counter)
    problems: dict[str, collections.Counter[str]] = field(default_factory=dict)
    causes: dict[tuple[str, str, str], Cause] = field(default_factory=dict)
    other_causes: int = 0
    timeouts: list[str] = field(default_factory=list)
    bad_lines: int = 0
    bad_line_numbers: list[int] = field(default_factory=list)
    attempts: int | None = None
    retried_runs: int = 0
    retry_causes: collections.Counter[str] = field(default_factory=collections.Counter)
    slowest: list[tuple[float, str]] = field(default_factory=list)  # a heap of the largest
    top: int = 5
    _buckets: collections.Counter[int] = field(default_factory=collections.Counter)
    _timed: int = 0
    _total_seconds: float = 0.0
    _min: float = math.inf
    _max: float = 0.0

    def add(self, line: dict[str, Any]) -> None:
        run_id = line["id"]
        word = outcome_of(line)
        statuses = statuses_of(line)
        self.runs += 1
        self.outcomes[word] += 1
        if word == "timeout" and len(self.timeouts) < FIRST_IDS * 3:
            self.timeouts.append(run_id)
        for member, status in statuses.items():
            if member != "machine" and status is not None and status not in _NO_PROBLEM[member]:
                self.problems.setdefault(member, collections.Counter())[status] += 1
                if word == "completed":
                    self._cause(run_id, f"{member} {status}", "", "")
        if word != "completed":
            kind, message = _cause_of(line, word)
            self._cause(run_id, word, kind, message)
        seconds = line.get("seconds")
        if isinstance(seconds, (int, float)) and not isinstance(seconds, bool) and math.isfinite(seconds):
            self._time(float(seconds), run_id)

    def _cause(self, run_id: str, word: str, kind: str, message: str) -> None:
        key = (word, kind, pattern(message))
        cause = self.causes.get(key)
        if cause is None:
            if len(self.causes) >= KEPT_CAUSES:
                self.other_causes += 1
                return
            cause = self.causes[key] = Cause(word, kind, key[2], example=message[:MESSAGE_CHARS])
        cause.count += 1
        if len(cause.ids) < FIRST_IDS:
            cause.ids.append(run_id)

    def _time(self, seconds: float, run_id: str) -> None:
        seconds = max(seconds, 0.0)
        self._timed += 1
        self._total_seconds += seconds
        self._min = min(self._min, seconds)
        self._max = max(self._max, seconds)
        self._buckets[math.floor(math.log(seconds) / _BUCKET) if seconds > 0 else -(10**9)] += 1
        if len(self.slowest) < self.top:
            heapq.heappush(self.slowest, (seconds, run_id))
        elif seconds > self.slowest[0][0]:
            heapq.heapreplace(self.slowest, (seconds, run_id))

    def percentile(self, fraction: float) -> float | None:
        """The duration below which `fraction` of the timed runs fall."""
        if not self._timed:
            return None
        rank = max(1, math.ceil(fraction * self._timed))
        seen = 0
        for bucket in sorted(self._buckets):
            seen += self._buckets[bucket]
            if seen >= rank:
                middle = 0.0 if bucket == -(10**9) else math.exp((bucket + 0.5) * _BUCKET)
                return min(max(middle, self._min), self._max)
        return self._max

    def durations(self) -> dict[str, float] | None:
        if not self._timed:
            return None
        values = {
            "min": self._min,
            "p50": self.percentile(0.5),
            "p90": self.percentile(0.9),
            "p99": self.percentile(0.99),
            "max": self._max,
            "mean": self._total_seconds / self._timed,
        }
        return {name: float(f"{value:.6g}") for name, value in values.items() if value is not None}

    def ranked_causes(self) -> list[Cause]:
        return sorted(self.causes.values(), key=lambda cause: (-cause.count, cause.outcome, cause.type, cause.pattern))

    def worst(self) -> str:
        """The worst thing the results hold, ranked as `korvane batch` ranks
        it: "fault" (a run did not complete, a delivery failed, or a line is
        not a results line), "recording" (failed), "evidence" (not complete)
        or "ok"."""
        if self.bad_lines or set(self.outcomes) - {"completed"} or self.problems.get("delivery"):
            return "fault"
        if self.problems.get("recording"):
            return "recording"
        return "evidence" if self.problems.get("evidence") else "ok"

    def as_json(self) -> dict[str, Any]:
        return {
            "results": self.path,
            "runs": self.runs,
            "outcomes": dict(self.outcomes),
            "problems": {member: dict(counts) for member, counts in self.problems.items()},
            "causes": [
                {
                    "count": cause.count,
                    "outcome": cause.outcome,
                    "type": cause.type,
                    "pattern": cause.pattern,
                    "example": cause.example,
                    "ids": cause.ids,
                }
                for cause in self.ranked_causes()
            ],
            "other_causes": self.other_causes,
            "timeouts": {"count": self.outcomes["timeout"], "ids": self.timeouts},
            "retries": None
            if self.attempts is None
            else {"attempts": self.attempts, "runs": self.retried_runs, "causes": dict(self.retry_causes)},
            "seconds": self.durations(),
            "slowest": [{"id": run_id, "seconds": seconds} for seconds, run_id in self.slowest_first()],
            "bad_lines": {"count": self.bad_lines, "lines": self.bad_line_numbers},
        }

    def slowest_first(self) -> list[tuple[float, str]]:
        return sorted(self.slowest, key=lambda item: (-item[0], item[1]))


def outcome_of(line: dict[str, Any]) -> str:
    """A line's outcome word: its `outcome`, or for an older line the
    machine's status, or "error"."""
    word = line.get("outcome")
    if isinstance(word, str):
        return word
    status = _status(line.get("result"), "machine_execution")
    return status if status is not None else "error"


def statuses_of(line: dict[str, Any]) -> dict[str, str | None]:
    given = line.get("statuses")
    if isinstance(given, dict):
        return {member: value if isinstance(value, str) else None for member, value in given.items()}
    result = line.get("result")
    return {member: _status(result, name) for member, name in STATUS_MEMBERS.items()}


def _status(result: object, name: str) -> str | None:
    member = result.get(name) if isinstance(result, dict) else None
    status = member.get("status") if isinstance(member, dict) else None
    return status if isinstance(status, str) else None


def _cause_of(line: dict[str, Any], word: str) -> tuple[str, str]:
    """The type and message of what went wrong in a run that did not complete."""
    error = line.get("error")
    if isinstance(error, dict):
        return str(error.get("type", "")), str(error.get("message", ""))
    result = line.get("result")
    machine = result.get("machine_execution") if isinstance(result, dict) else None
    if isinstance(machine, dict):
        words = ", ".join(
            f"{key}: {value if isinstance(value, str) else json.dumps(value, default=repr)}"
            for key, value in machine.items()
            if key != "status"
        )
        return "", words
    return "", ""


def _lines(path: str) -> Iterator[tuple[int, bytes]]:
    """The numbered lines of a regular file; OSError for anything else."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(0, "not a regular file")
        os.set_blocking(fd, True)
        stream = os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise
    with stream:
        yield from enumerate(stream, start=1)


def _objects(path: str, on_bad: Any) -> Iterator[dict[str, Any]]:
    for number, raw in _lines(path):
        if not raw.strip():
            continue
        try:
            item = json.loads(raw)
        except ValueError, RecursionError:
            item = None
        if isinstance(item, dict) and isinstance(item.get("id"), str):
            yield item
        else:
            on_bad(number)


def read_report(results: str, attempts: str | None = None, *, top: int = 5) -> Report:
    """The report of a results file and, when it exists, its attempts log.
    OSError when the results file cannot be read (or is not a regular file)."""
    report = Report(os.fspath(results), top=top)

    def bad(number: int) -> None:
        report.bad_lines += 1
        if len(report.bad_line_numbers) < KEPT_BAD_LINES:
            report.bad_line_numbers.append(number)

    for line in _objects(report.path, bad):
        report.add(line)
    if attempts is not None and os.path.exists(attempts):
        retried: set[str] = set()
        report.attempts = 0
        try:
            for line in _objects(attempts, lambda number: None):
                report.attempts += 1
                retried.add(line["id"])
                error = line.get("error")
                kind = error.get("type") if isinstance(error, dict) else line.get("outcome")
                report.retry_causes[str(kind) if kind else "unknown"] += 1
        except OSError:
            report.attempts = None
        report.retried_runs = len(retried)
    return report


def text_lines(report: Report, paint: Any, *, counts: bool = True, shown: int = 10) -> list[str]:
    """The report for a terminal: `paint` is an output.Painter; without
    `counts`, the first line (the runs by outcome) is left to the caller."""
    from ..output import GREEN, RED, YELLOW, Cell, table

    lines = []
    if counts:
        words = sorted(report.outcomes, key=lambda word: (word != "completed", -report.outcomes[word], word))
        parts = [paint(f"{report.outcomes[word]} {word}", GREEN if word == "completed" else RED) for word in words]
        lines.append(
            f"{report.path}: {report.runs} run{'s' if report.runs != 1 else ''}" + ": " * bool(parts) + ", ".join(parts)
        )
    if report.bad_lines:
        numbers = ", ".join(map(str, report.bad_line_numbers)) + (", ..." if report.bad_lines > KEPT_BAD_LINES else "")
        lines.append(
            paint(f"{report.bad_lines} line{'s' if report.bad_lines != 1 else ''} not a results line", RED)
            + f" (line {numbers}), not counted"
        )
    causes = report.ranked_causes()
    if causes:
        wrong = sum(cause.count for cause in causes) + report.other_causes
        lines.append(f"what went wrong: {wrong} in {len(causes)} cause{'s' if len(causes) != 1 else ''}")
        rows: list[list[Cell]] = [
            [
                str(cause.count).rjust(len(str(causes[0].count))),
                (cause.outcome, YELLOW if cause.outcome.startswith(("evidence", "recording", "delivery")) else RED),
                ": ".join(filter(None, [cause.type, cause.pattern])) or "-",
                "e.g. " + ", ".join(cause.ids),
            ]
            for cause in causes[:shown]
        ]
        lines += ["  " + row for row in table(rows, paint)]
        if len(causes) > shown:
            lines.append(f"  ... {len(causes) - shown} more causes (--json lists them all)")
        if report.other_causes:
            lines.append(f"  ... {report.other_causes} runs of further causes, not kept")
    if report.timeouts:
        more = report.outcomes["timeout"] - len(report.timeouts)
        lines.append(f"timed out: {', '.join(report.timeouts)}" + (f" and {more} more" if more > 0 else ""))
    if report.attempts:
        causes_text = ", ".join(f"{kind} {count}" for kind, count in report.retry_causes.most_common())
        lines.append(
            f"retried: {report.attempts} attempt{'s' if report.attempts != 1 else ''} ended by the infrastructure, "
            f"over {report.retried_runs} run{'s' if report.retried_runs != 1 else ''} ({causes_text})"
        )
    durations = report.durations()
    if durations is not None:
        lines.append(
            "time a run: "
            + "  ".join(f"{name} {_seconds(value)}" for name, value in durations.items() if name != "min")
        )
        lines.append(
            "slowest: " + ", ".join(f"{run_id} {_seconds(seconds)}" for seconds, run_id in report.slowest_first())
        )
    return lines


def _seconds(value: float) -> str:
    if value < 1:
        return f"{value * 1000:.3g} ms"
    return f"{value:.3g} s" if value < 100 else f"{value:.0f} s"
