"""Checking an execution result with korvane's own rules, and saying where
it breaks them.

The verdict, its exception and its notes come from korvane's glue and core
through korvane_tools._rules, the very code korvane's execute runs on what a
bundle's execute function returns (one call into it, one json.dumps);
nothing here changes process-wide state or uses a run number. What this
module adds is the way to the fix: the token at the place where the text is
not JSON (NaN, Infinity, an integer too large for a double) and an excerpt
of the text with a caret under it.
"""

from __future__ import annotations

import dataclasses
from typing import Any

import korvane

from . import _rules


@dataclasses.dataclass(frozen=True)
class ResultProblem:
    """Why korvane rejects a result."""

    kind: str  # mapping (not a dict), dumps (json.dumps raised), encoding (it gave no text), json, rule
    message: str  # korvane's exact message
    line: int = 0  # 1-based line and column of the checked text, for kind "json"
    column: int = 0
    path: str | None = None  # the member path of the offending value, when known
    token: str | None = None  # what stands there, in words
    excerpt: str | None = None  # the line of the text, and a caret under the place
    # The exception korvane's execute raises for the result, notes and all.
    error: BaseException | None = dataclasses.field(default=None, compare=False, repr=False)

    def notes(self) -> list[str]:
        """The context beyond korvane's message, one line each."""
        lines = []
        if self.path is not None:
            lines.append(f"at {self.path}" + (f": {self.token}" if self.token else ""))
        elif self.token:
            lines.append(f"found: {self.token}")
        if self.excerpt is not None:
            lines.append(self.excerpt)
        return lines

    def text(self) -> str:
        return "\n".join([self.message, *self.notes()])

    def as_json(self) -> dict[str, Any]:
        return {field.name: getattr(self, field.name) for field in dataclasses.fields(self) if field.name != "error"}


_Verdict = tuple[BaseException, str, str, str | None, int, int, str]


def _problem(verdict: _Verdict | None, document: str | None = None) -> ResultProblem | None:
    """The problem of a verdict; with `document`, for that text as the
    reader wrote it (its message the parse error or the rule's message)."""
    if verdict is None:
        return None
    error, kind, detail, text, line, column, path = verdict
    message_of_text = document is not None
    text = document if message_of_text else text
    excerpt = token = None
    if kind == "json" and text is not None:
        excerpt, at = _excerpt(text, line, column)
        token = _token_at(at)
    message = detail if message_of_text else str(error)
    place = None if message_of_text else (path or None)
    return ResultProblem(kind, message, line, column, place, token, excerpt, error)


def text_problem(text: str) -> ResultProblem | None:
    """korvane's verdict on a JSON text as an execution result; positions
    are this text's lines and columns, and the message is the parse error or
    the rule's message."""
    return _problem(_rules.text_verdict(text), text)


def result_problem(result: object) -> ResultProblem | None:
    """korvane's verdict on what a bundle's execute function returned (the
    check its execute makes); json.dumps's own exceptions pass through."""
    verdict = _rules.result_verdict(result)
    if verdict is not None and verdict[1] == "dumps":
        raise verdict[0]
    return _problem(verdict)


def validate_result(result: object) -> object:
    """Returns `result` when korvane accepts it as an execution result;
    otherwise raises what korvane's execute raises for it: the same exception
    type, message and notes (json.dumps's own exception included)."""
    verdict = _rules.result_verdict(result)
    if verdict is None:
        return result
    raise verdict[0]


def result_verdict(result: object) -> str | None:
    """None when korvane accepts `result`, otherwise its message."""
    problem = result_problem(result)
    return None if problem is None else problem.message


def execute(
    run: korvane.PreparedRun, sinks: list[Any] | tuple[Any, ...] | None, recorder: korvane.FileRecorder | None
) -> tuple[object, ResultProblem | None]:
    """`run.execute(sinks, recorder)` through korvane's own code, keeping
    what the bundle's execute function returned: that value, and None when
    korvane accepts it, else why not (`problem.error` is the exception
    execute raises for it, its note naming the bundle's function). Errors
    before the bundle returned are raised as execute raises them; nothing
    in any module is replaced."""
    returned, verdict = _rules.execute(run, sinks, recorder)
    return returned, _problem(verdict)


# Excerpts of a text -------------------------------------------------------------

_WIDTH = 72


def _excerpt(text: str, line: int, column: int) -> tuple[str, str]:
    """The line `line` of `text` around byte column `column` (1-based), with a
    caret under it, and the text from there on for reading the token."""
    lines = text.split("\n")
    if not 1 <= line <= len(lines):
        return "", ""
    row = lines[line - 1].rstrip("\r")
    at = len(row.encode("utf-8")[: max(column - 1, 0)].decode("utf-8", errors="ignore"))
    # Back to the start of a number the parser stopped inside.
    start = at
    while start > 0 and row[start - 1] in "0123456789+-.eE":
        start -= 1
    if start < at and row[start : at + 1].lstrip("-")[:1].isdigit():
        at = start
    left = max(0, at - _WIDTH // 2)
    shown = row[left : left + _WIDTH]
    prefix = "..." if left > 0 else ""
    suffix = "..." if left + _WIDTH < len(row) else ""
    lead = f"  line {line}: "
    excerpt = f"{lead}{prefix}{shown}{suffix}\n{' ' * (len(lead) + len(prefix) + at - left)}^"
    return excerpt, row[at:]


def _token_at(rest: str) -> str | None:
    for word in ("NaN", "-Infinity", "Infinity", "-NaN"):
        if rest.startswith(word):
            return word
    number = ""
    for char in rest:
        if char not in "0123456789+-.eE":
            break
        number += char
    if number and any(c.isdigit() for c in number):
        digits = sum(c.isdigit() for c in number.split("e")[0].split("E")[0])
        if "." in number or "e" in number.lower():
            return f"the number {number if len(number) <= 24 else number[:20] + '...'}, out of a double's range"
        return f"an integer of {digits} digits that does not fit a double"
    return None
