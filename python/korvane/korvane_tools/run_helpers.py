"""What `korvane run` needs around Runtime.prepare and PreparedRun.execute:
its inputs from the command line, a sink that shows what arrives, live
progress on a terminal, and a guard for the recording path."""

from __future__ import annotations

import json
import os
import shutil
import stat
import time
from typing import Any, TextIO

from .output import LiveLine, is_terminal


class UsageError(Exception):
    """A command-line value that cannot be used; the command exits with status 2."""


def read_json_option(option: str, text: str) -> Any:
    """The value of a JSON option: JSON text, or @file for a file holding it."""
    if text.startswith("@"):
        path = text[1:]
        try:
            with open(path, encoding="utf-8") as stream:
                text = stream.read()
        except (OSError, UnicodeDecodeError) as error:
            raise UsageError(f"{option}: cannot read {path}: {error}") from None
    try:
        return json.loads(text)
    except (ValueError, RecursionError) as error:
        raise UsageError(f"{option}: not JSON: {error}") from None


def guard_record_path(path: str) -> None:
    """Refuses a recording path that names something other than a regular file.

    A bundle writes its recording by replacing whatever is at the path;
    korvane itself only hands the path on. A device node, a FIFO, a socket or
    a folder given by mistake is left alone.
    """
    if not path:
        raise UsageError("--record: the path must not be empty")
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    except OSError as error:
        raise UsageError(f"--record: cannot use {path}: {error}") from None
    if not stat.S_ISREG(mode):
        raise UsageError(f"--record: {path} exists and is not a regular file; choose another path")


def _counted_values(args: tuple[Any, ...]) -> int:
    """How many values one batch carries: the length of its last argument when
    that is a list or tuple (korvane-stack: emit_batch(run_id, start, values)),
    else one."""
    if args and isinstance(args[-1], (list, tuple)):
        return len(args[-1])
    return 1


def _text(value: Any) -> str:
    try:
        return json.dumps(value, ensure_ascii=False, default=repr)
    except ValueError, RecursionError:
        return repr(value)


class ShowingSink:
    """A sink for any bundle: it accepts whatever arguments the bundle passes,
    prints each batch as a line of its arguments (unless `lines` is None) and
    keeps count for the progress line."""

    def __init__(self, lines: TextIO | None, progress: Progress | None) -> None:
        self.lines = lines
        # On a terminal a batch takes one screen line at most; a file or pipe
        # gets it whole.
        self.width = shutil.get_terminal_size().columns if lines is not None and is_terminal(lines) else None
        self.progress = progress
        self.batches = 0
        self.values = 0
        self.outputs: tuple[Any, ...] | None = None
        self.receipts: tuple[Any, ...] | None = None

    def emit_batch(self, *args: Any) -> None:
        self.batches += 1
        self.values += _counted_values(args)
        if self.lines is not None:
            line = f"batch {self.batches}: " + " ".join(_text(arg) for arg in args)
            if self.width is not None and len(line) > self.width:
                line = line[: max(self.width - 3, 10)] + "..."
            if self.progress is not None:
                self.progress.above(line, self.lines)
            else:
                print(line, file=self.lines, flush=True)
        if self.progress is not None:
            self.progress.update(self.batches, self.values)

    def record_capability_outputs(self, *args: Any) -> None:
        self.outputs = args

    def record_capability_receipts(self, *args: Any) -> None:
        self.receipts = args


class Progress(LiveLine):
    """The live line of `korvane run`: elapsed time, batches, values. The
    bundle's Python code lets its thread in between its steps."""

    def __init__(self, stream: TextIO) -> None:
        super().__init__(stream)
        self.batches = 0
        self.values = 0

    def text(self) -> str:
        elapsed = time.monotonic() - self.started
        return f"running {elapsed:6.1f}s  {self.batches} batches  {self.values} values"

    def update(self, batches: int, values: int) -> None:
        with self.lock:
            self.batches, self.values = batches, values
