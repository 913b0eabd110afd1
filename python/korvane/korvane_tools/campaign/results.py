"""The results file of a campaign, DIR/results.jsonl: one line per finished
run, appended whole as each outcome comes back, and read back on a resume so
that what is done is skipped (`ResultsFile`); and the progress text that
counts them (`rate_text`).
"""

from __future__ import annotations

import fcntl
import json
import math
import os
from typing import Any

from .worker import Outcome, unmet_of


class ResultsFile:
    """DIR/results.jsonl: the outcome of each id it already holds, and one
    whole line appended (and flushed) per new outcome.

    A line cut short by a crash is dropped on opening, so that its run is
    done again and the next line starts on a line of its own.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.finished: dict[str, str] = {}  # id -> outcome word (Outcome.status)
        self.unmet: dict[str, frozenset[str]] = {}  # id -> Outcome.unmet(), where not empty
        self.dropped_tail = 0
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)
        try:
            # Two campaigns appending to one file would both run what neither
            # had finished: the second is refused (BlockingIOError).
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            with os.fdopen(os.dup(fd), "rb") as stream:
                data = stream.read()
            whole = data.rfind(b"\n") + 1
            if whole < len(data):
                os.ftruncate(fd, whole)
                self.dropped_tail = len(data) - whole
            for line in data[:whole].splitlines():
                try:
                    item = json.loads(line)
                    self.finished[item["id"]] = _status_of(item)
                    _note_unmet(self.unmet, item["id"], item.get("result"))
                except ValueError, TypeError, KeyError:
                    continue
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def write(self, outcome: Outcome) -> bool:
        """Appends the outcome's line; False (and nothing written) when its id
        is already there."""
        if outcome.id in self.finished:
            return False
        try:
            data = outcome.json_line().encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate, which JSON can carry escaped
            data = outcome.json_line(ascii_only=True).encode("ascii")
        while data:
            data = data[os.write(self._fd, data) :]
        self.finished[outcome.id] = outcome.status
        _note_unmet(self.unmet, outcome.id, outcome.result)
        return True

    def close(self) -> None:
        os.close(self._fd)

    def __enter__(self) -> ResultsFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _status_of(line: dict[str, Any]) -> str:
    if not isinstance(line["id"], str):
        raise TypeError
    result = line.get("result")
    if line.get("outcome") == "timeout" and result is None:
        return "timeout"
    if isinstance(result, dict):
        return str(result["machine_execution"]["status"])
    return "error"


def _note_unmet(unmet: dict[str, frozenset[str]], run_id: str, result: Any) -> None:
    """Keeps what a completed run left unmet (evidence, recording), for the
    summary and the exit status of the campaign as a whole."""
    found = unmet_of(result)
    if found:
        unmet[run_id] = found


def rate_text(done: int, total: int, elapsed: float) -> str:
    """ "412/2000 runs  37.5/s  0:42 left" for a progress line."""
    rate = done / elapsed if elapsed > 0 else 0.0
    text = f"{done}/{total} runs  {rate:.1f}/s"
    if 0 < done < total and rate > 0:
        left = math.ceil((total - done) / rate)
        text += (
            f"  {left // 3600}:{left // 60 % 60:02d}:{left % 60:02d} left"
            if left >= 3600
            else f"  {left // 60}:{left % 60:02d} left"
        )
    return text
