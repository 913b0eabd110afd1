"""Plain text for pipes and files, a little colour for a terminal.

Colour only when the stream is a terminal, TERM is not "dumb" and NO_COLOR
is unset or empty (https://no-color.org); FORCE_COLOR (not empty, not "0")
asks for it anywhere, and `--color always|never` overrides both. Tables are aligned columns of
plain text, so what a script reads never holds escape sequences.
"""

from __future__ import annotations

import contextlib
import json
import os
import threading
import time
from collections.abc import Iterator, Sequence
from typing import TextIO

GREEN, RED, YELLOW, BOLD, DIM = "32", "31", "33", "1", "2"


def is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except AttributeError, ValueError:  # a replaced or closed stream
        return False


# Set by `korvane --color`: "auto" (the default), "always" or "never".
colour_mode = "auto"


def wants_colour(stream: TextIO) -> bool:
    if colour_mode != "auto":
        return colour_mode == "always"
    if os.environ.get("NO_COLOR", "") != "":
        return False
    if os.environ.get("FORCE_COLOR", "") not in ("", "0"):
        return True
    if os.environ.get("TERM") == "dumb":
        return False
    return is_terminal(stream)


class Painter:
    """Wraps text in SGR sequences when colour is on, returns it as is otherwise."""

    def __init__(self, stream: TextIO) -> None:
        self.on = wants_colour(stream)

    def __call__(self, text: str, code: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.on and text else text


# A cell is its text and, optionally, an SGR code for it.
Cell = str | tuple[str, str]


def table(rows: Sequence[Sequence[Cell]], paint: Painter, gap: str = "  ") -> list[str]:
    """Rows as aligned lines; the last column is not padded."""
    texts = [[cell if isinstance(cell, str) else cell[0] for cell in row] for row in rows]
    columns = max((len(row) for row in texts), default=0)
    widths = [max((len(row[i]) for row in texts if i < len(row)), default=0) for i in range(columns)]
    lines = []
    for row in rows:
        parts = []
        for i, cell in enumerate(row):
            text, code = (cell, "") if isinstance(cell, str) else cell
            padded = text if i == len(row) - 1 else text.ljust(widths[i])
            parts.append(paint(text, code) + padded[len(text) :] if code else padded)
        lines.append(gap.join(parts).rstrip())
    return lines


STATUS_GOOD = {"completed", "complete", "finalized", "published", "not_requested"}
STATUS_BAD = {"failed", "interrupted_by_evidence_failure"}


def status_code(word: object) -> str:
    if word in STATUS_GOOD:
        return GREEN
    if word in STATUS_BAD:
        return RED
    return YELLOW


def dump_json(value: object, out: TextIO) -> None:
    """One JSON document on `out`; what JSON cannot hold is written as its repr."""
    json.dump(value, out, indent=2, ensure_ascii=False, default=repr)
    out.write("\n")


# After how many seconds of bundle code a command says what it is waiting for.
STALL_AFTER = 10.0


class _StallWatch:
    """One daemon thread for the whole command that writes the text of the
    work in hand once, when that work has taken longer than STALL_AFTER."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.changed = threading.Condition()
        self.serial = 0
        self.task: tuple[int, str, float] | None = None
        threading.Thread(target=self._watch, name="korvane-stall", daemon=True).start()

    def _watch(self) -> None:
        said = 0
        with self.changed:
            while True:
                task = self.task
                if task is None or task[0] == said:
                    self.changed.wait()
                    continue
                left = task[2] + STALL_AFTER - time.monotonic()
                if left > 0:
                    self.changed.wait(left)
                    continue
                said = task[0]
                try:
                    print(task[1], file=self.stream, flush=True)
                except OSError, ValueError:
                    pass


_watches: dict[int, _StallWatch] = {}


@contextlib.contextmanager
def stall_notice(stream: TextIO, text: str) -> Iterator[None]:
    """Writes `text` as a line on `stream` once, if what runs inside takes
    longer than STALL_AFTER seconds, so that bundle code that hangs does not
    leave the command silent."""
    watch = _watches.get(id(stream))
    if watch is None:
        watch = _watches[id(stream)] = _StallWatch(stream)
    with watch.changed:
        watch.serial += 1
        watch.task = (watch.serial, text, time.monotonic())
        watch.changed.notify()
    try:
        yield
    finally:
        with watch.changed:
            watch.task = None


class LiveLine:
    """One line on a terminal, redrawn in place a few times a second by a
    daemon thread, so that it moves on while the work below it is busy.
    Subclasses say what it shows (text); `lock` guards what text reads."""

    INTERVAL = 0.2

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.paint = Painter(stream)
        self.started = time.monotonic()
        self.lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._tick, name="korvane-progress", daemon=True)

    def text(self) -> str:
        raise NotImplementedError

    def __enter__(self) -> LiveLine:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._stop.set()
        self._thread.join()
        with self.lock:
            self.stream.write("\r\x1b[2K")
            self.stream.flush()

    def _draw(self) -> None:
        self.stream.write("\r\x1b[2K" + self.paint(self.text(), DIM))
        self.stream.flush()

    def _tick(self) -> None:
        while not self._stop.wait(self.INTERVAL):
            with self.lock:
                self._draw()

    def above(self, line: str, stream: TextIO) -> None:
        """Prints a line on `stream` without tearing the live line."""
        with self.lock:
            self.stream.write("\r\x1b[2K")
            self.stream.flush()
            print(line, file=stream, flush=True)
            self._draw()
