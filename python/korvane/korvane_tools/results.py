"""Checking an execution result with korvane's own rules, and saying where
it breaks them.

The verdict and its message come from korvane's core through
korvane_tools._rules, the same code korvane's execute runs on what a
bundle's execute function returns; nothing here changes process-wide state
or uses a run number. What this module adds is the way to the fix: the
member path of the value that is not JSON (`outputs.mean`, named by the
core as execute's note names it), the token (NaN, Infinity, an integer too
large for a double) and an excerpt of the text with a caret under the place.
"""

from __future__ import annotations

import dataclasses
import json
from typing import Any

from . import _rules


@dataclasses.dataclass(frozen=True)
class ResultProblem:
    """Why korvane rejects a result."""

    kind: str  # mapping (not a dict), json (not JSON text), rule (a rule of the format)
    message: str  # korvane's exact message
    line: int = 0  # 1-based line and column of the checked text, for kind "json"
    column: int = 0
    path: str | None = None  # the member path of the offending value, when known
    token: str | None = None  # what stands there, in words
    excerpt: str | None = None  # the line of the text, and a caret under the place

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
        return dataclasses.asdict(self)


def _problem(
    found: tuple[str, str, str, int, int] | None, text: str | None, path: str | None = None
) -> ResultProblem | None:
    if found is None:
        return None
    kind, message, _description, line, column = found
    excerpt = token = None
    if kind == "json" and text is not None:
        excerpt, at = _excerpt(text, line, column)
        token = _token_at(at)
    return ResultProblem(kind, message, line, column, path, token, excerpt)


def text_problem(text: str) -> ResultProblem | None:
    """korvane's verdict on a JSON text as an execution result; positions
    are this text's lines and columns."""
    return _problem(_rules.result_text_problem(text), text)


def result_problem(result: object) -> ResultProblem | None:
    """korvane's verdict on what a bundle's execute function returned (the
    check its execute makes); json.dumps's own exceptions pass through."""
    found = _rules.result_problem(result)
    if found is None or found[0] != "json":
        return _problem(found, None)
    # The text korvane checked: json.dumps writes one line, so the column
    # places the byte, and the core names its member as execute's note does.
    text = json.dumps(result)
    _, _, _, line, column = found
    path = _rules.member_path(text, column - 1) if line == 1 and column > 0 else ""
    return _problem(found, text, path or None)


def validate_result(result: object) -> object:
    """Returns `result` when korvane accepts it as an execution result;
    otherwise raises what korvane's execute raises (TypeError with its exact
    message, or json.dumps's own exception), with notes naming the place."""
    problem = result_problem(result)
    if problem is None:
        return result
    error = TypeError(problem.message)
    for note in problem.notes():
        error.add_note(note)
    raise error


def result_verdict(result: object) -> str | None:
    """None when korvane accepts `result`, otherwise its message."""
    problem = result_problem(result)
    return None if problem is None else problem.message


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
