"""The results file of a campaign, DIR/results.jsonl: one line per finished
run, appended whole as each outcome comes back, and read back on a resume so
that what is done is skipped (`ResultsFile`); and the progress text that
counts them (`rate_text`).

A resume reads the file a line at a time and keeps per id only its outcome
word, its line number and the digests of its input and code, so that its
memory does not grow with the results' size. A line it cannot use is named by
its number and its run done again. A deliberate re-run replaces the file
whole (`rewrite`): the lines it drops are kept in DIR/results.superseded.jsonl.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import math
import os
import stat
from collections.abc import Iterable
from typing import Any

from .manifest import sync_folder
from .worker import Outcome, unmet_of

SUPERSEDED = "results.superseded.jsonl"
# A line longer than this is not read whole on a resume: it is reported as
# bad and its run done again.
MAX_LINE_BYTES = 64 << 20
# How many bad lines a resume names; the others are counted.
SHOWN_BAD_LINES = 20
# Errors of a write that say the results cannot be kept, not that korvane
# is at fault: the campaign stops and says so.
FULL = {errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO}
# What older korvane versions wrote for a run lost with its worker: not the
# run's own outcome, so a resume runs it again.
INFRASTRUCTURE = ("WorkerDied", "KilledWorker")


class ResultsWriteError(OSError):
    """results.jsonl cannot take another line (a full disk, a quota, a file
    size limit, an I/O error): the lines before it are whole, and a resume
    runs what was not written."""


def _refuse_unless_regular(path: str, mode: int) -> None:
    if not stat.S_ISREG(mode):
        kind = "a FIFO" if stat.S_ISFIFO(mode) else "a folder" if stat.S_ISDIR(mode) else "not a regular file"
        raise OSError(errno.EINVAL, f"{os.path.basename(path)} is {kind}; results go to a regular file")


def _open_regular(path: str) -> int:
    """A descriptor of the regular file at `path` (made when absent), opened to
    append. Anything else is refused before it is opened to read, and the
    open itself cannot block on a FIFO put there meanwhile."""
    with contextlib.suppress(FileNotFoundError):
        _refuse_unless_regular(path, os.stat(path).st_mode)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC | os.O_NONBLOCK, 0o644)
    try:
        _refuse_unless_regular(path, os.fstat(fd).st_mode)
    except BaseException:
        os.close(fd)
        raise
    return fd


class ResultsFile:
    """DIR/results.jsonl: the outcome of each id it already holds, and one
    whole line appended (and flushed) per new outcome.

    A line cut short by a crash is dropped on opening, so that its run is
    done again and the next line starts on a line of its own. Any other line
    that cannot be used (not JSON, nested too deeply, not a result line) is
    named in `bad_lines` and its run is done again; `rewrite` drops it.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.finished: dict[str, str] = {}  # id -> outcome word (Outcome.status)
        self.unmet: dict[str, frozenset[str]] = {}  # id -> Outcome.unmet(), where not empty
        self.dropped_tail = 0
        self.bad_lines: list[str] = []  # "line N: what is wrong", the first SHOWN_BAD_LINES
        self.bad_count = 0
        # Per id: (line number, input digest, code digest); None for a digest
        # the line does not carry (written before lines carried them).
        self._lines: dict[str, tuple[int, str | None, str | None]] = {}
        self._drop: set[int] = set()  # line numbers a rewrite leaves out
        self._count = 0  # whole lines in the file
        self._failed: ResultsWriteError | None = None
        fd = self._lock()
        try:
            self._size = self._read(fd)
            self.read_lines = self._count  # whole lines found on opening
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def _lock(self) -> int:
        while True:
            fd = _open_regular(self.path)
            try:
                # Two campaigns appending to one file would both run what
                # neither had finished: the second is refused (BlockingIOError).
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                # A rewrite by the holder before this took the lock replaced
                # the file: lock the one now at the path.
                here, now = os.fstat(fd), os.stat(self.path)
                if (here.st_dev, here.st_ino) == (now.st_dev, now.st_ino):
                    return fd
            except FileNotFoundError:
                pass
            except BaseException:
                os.close(fd)
                raise
            os.close(fd)

    def _read(self, fd: int) -> int:
        """Reads the lines back, one at a time; returns the size of the whole
        lines, after dropping a last line cut short."""
        words: dict[str, str] = {}
        codes: dict[str, str] = {}
        start = offset = 0
        head = b""  # the line read so far, up to MAX_LINE_BYTES
        with os.fdopen(os.dup(fd), "rb") as stream:
            stream.seek(0)
            for piece in iter(lambda: stream.readline(MAX_LINE_BYTES), b""):
                head = piece if offset == start else head
                offset += len(piece)
                if not piece.endswith(b"\n"):
                    continue
                self._count += 1
                number, start = self._count, offset
                if not head.strip():
                    self._drop.add(number)
                    continue
                if not head.endswith(b"\n"):
                    self._bad(number, f"longer than {MAX_LINE_BYTES >> 20} MiB")
                    continue
                try:
                    run_id, word, (input_digest, code), result = _parse(head)
                    unmet = unmet_of(result) if isinstance(result, dict) else frozenset()
                except (ValueError, TypeError, KeyError, RecursionError) as error:
                    self._bad(number, _what_is_wrong(error))
                    continue
                if word is None:  # lost with its worker: run again
                    self._drop.add(number)
                    continue
                earlier = self._lines.get(run_id)
                if earlier is not None:  # the last line of an id counts
                    self._drop.add(earlier[0])
                self.finished[run_id] = words.setdefault(word, word)
                self.unmet.pop(run_id, None)
                if unmet:
                    self.unmet[run_id] = unmet
                self._lines[run_id] = (number, input_digest, None if code is None else codes.setdefault(code, code))
        if offset > start:
            # A last line cut short (by a crash while it was written): kept
            # aside, dropped here, and its run done again.
            self.dropped_tail = offset - start
            if self.dropped_tail <= MAX_LINE_BYTES:
                self._keep_superseded(head + b"\n")
            os.ftruncate(fd, start)
        return start

    def _bad(self, number: int, problem: str) -> None:
        self.bad_count += 1
        self._drop.add(number)
        if len(self.bad_lines) < SHOWN_BAD_LINES:
            self.bad_lines.append(f"line {number}: {problem}")

    def digests(self, run_id: str) -> tuple[str | None, str | None]:
        """The (input digest, code digest) on the line of a finished id; None
        for one the line does not carry."""
        _, input_digest, code_digest = self._lines[run_id]
        return input_digest, code_digest

    def rewrite(self, run_ids: Iterable[str] = ()) -> int:
        """Replaces the file with one that leaves out the lines of `run_ids`
        (to be run again) and every line a resume could not use or that an
        id's later line replaces. A reader sees the old file or the new one,
        never a part, and the lock stays held; the lines left out are added
        to DIR/results.superseded.jsonl first. Returns how many were left out.
        ResultsWriteError when the disk cannot take it (the file is then as
        it was)."""
        for run_id in run_ids:
            line = self._lines.pop(run_id, None)
            if line is not None:
                self._drop.add(line[0])
                del self.finished[run_id]
                self.unmet.pop(run_id, None)
        if not self._drop:
            return 0
        target = os.path.realpath(self.path)
        folder = os.path.dirname(target)
        temporary = os.path.join(folder, f".{os.path.basename(target)}.{os.getpid()}.tmp")
        owners = {line[0]: run_id for run_id, line in self._lines.items()}
        fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_APPEND | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            with (
                os.fdopen(os.dup(self._fd), "rb") as source,
                os.fdopen(os.dup(fd), "wb") as copy,
                os.fdopen(_open_regular(os.path.join(folder, SUPERSEDED)), "ab") as superseded,
            ):
                source.seek(0)
                number = kept = size = 0
                for piece in iter(lambda: source.readline(MAX_LINE_BYTES), b""):
                    if number + 1 in self._drop:
                        superseded.write(piece)
                    else:
                        copy.write(piece)
                        size += len(piece)
                    if piece.endswith(b"\n"):
                        number += 1
                        if number not in self._drop:
                            kept += 1
                            owner = owners.get(number)
                            if owner is not None:
                                self._lines[owner] = (kept, *self._lines[owner][1:])
                for stream in (copy, superseded):
                    stream.flush()
                    os.fsync(stream.fileno())
            os.replace(temporary, target)
        except BaseException as error:
            os.close(fd)
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            if isinstance(error, OSError) and error.errno in FULL:
                raise ResultsWriteError(error.errno, f"cannot rewrite {self.path}: {error.strerror}") from None
            raise
        sync_folder(folder)
        os.close(self._fd)
        self._fd, self._size, self._count = fd, size, kept
        dropped = len(self._drop)
        self._drop.clear()
        return dropped

    def _keep_superseded(self, data: bytes) -> None:
        path = os.path.join(os.path.dirname(os.path.realpath(self.path)), SUPERSEDED)
        fd = _open_regular(path)
        try:
            while data:
                data = data[os.write(fd, data) :]
            os.fsync(fd)
        except OSError as error:
            if error.errno in FULL:
                raise ResultsWriteError(error.errno, f"cannot write {path}: {error.strerror}") from None
            raise
        finally:
            os.close(fd)

    def write(self, outcome: Outcome) -> bool:
        """Appends the outcome's line; False (and nothing written) when its id
        is already there. ResultsWriteError when the line cannot be written:
        what was written of it is taken back where the system allows, and
        every later write is refused too."""
        if outcome.id in self.finished:
            return False
        if self._failed is not None:
            raise self._failed
        try:
            data = outcome.json_line().encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate, which JSON can carry escaped
            data = outcome.json_line(ascii_only=True).encode("ascii")
        size = len(data)
        try:
            while data:
                data = data[os.write(self._fd, data) :]
        except OSError as error:
            with contextlib.suppress(OSError):
                os.ftruncate(self._fd, self._size)
            self._failed = ResultsWriteError(
                error.errno,
                f"cannot write {self.path}: {error.strerror}; the line of {json.dumps(outcome.id)} and "
                "those after it are not written (the same command resumes once the file can grow)",
            )
            raise self._failed from None
        self._size += size
        self._count += 1
        self.finished[outcome.id] = outcome.status
        self._lines[outcome.id] = (self._count, outcome.input_digest, outcome.code_digest)
        _note_unmet(self.unmet, outcome.id, outcome.result)
        return True

    def close(self) -> None:
        os.close(self._fd)

    def __enter__(self) -> ResultsFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _parse(raw: bytes) -> tuple[str, str | None, tuple[str | None, str | None], Any]:
    """(id, outcome word, (input digest, code digest), result) of a results
    line; the word is None for a run an older korvane wrote as lost with its
    worker."""
    line = json.loads(raw)
    if not isinstance(line, dict):
        raise TypeError("not a JSON object")
    run_id = line["id"]
    if not isinstance(run_id, str):
        raise TypeError("id is not a string")
    digests = line.get("input_digest"), line.get("code_digest")
    if not all(digest is None or isinstance(digest, str) for digest in digests):
        raise TypeError("a digest is not a string")
    result = line.get("result")
    word = line.get("outcome")  # the outcome word, when the line names it
    if isinstance(word, str) and word:
        return run_id, word, digests, result
    if isinstance(result, dict):
        word = result["machine_execution"]["status"]
        if not isinstance(word, str):
            raise TypeError("the machine execution status is not a string")
        return run_id, word, digests, result
    error = line["error"]
    if not isinstance(error, dict):
        raise TypeError("neither a result nor an error")
    if error.get("type") in INFRASTRUCTURE and "code_digest" not in line:
        return run_id, None, digests, None
    return run_id, "error", digests, None


def _what_is_wrong(error: BaseException) -> str:
    if isinstance(error, RecursionError):
        return "nested too deeply"
    if isinstance(error, KeyError):
        return f"no member {error}"
    if isinstance(error, UnicodeDecodeError):
        return "not UTF-8"
    if isinstance(error, ValueError):
        return f"not JSON: {error}"
    return str(error)


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
