"""Keeping bundle code from taking the command down.

Anything a bundle's code raises (on import, in its provider, prepare or
execute), SystemExit and KeyboardInterrupt included, is that bundle's
failure: the command reports it and goes on. Only a real Ctrl-C ends the
command: while `watch_interrupts()` is active, a SIGINT handler notes the
signal before raising KeyboardInterrupt, so that an interrupt raised by the
bundle itself can be told from one the user sent.

What bundle code writes to standard output goes to standard error for the
whole command (`stdout_to_stderr()`), at the file-descriptor level too, so that
the command's own output, and `--json` above all, stays one document.
"""

from __future__ import annotations

import contextlib
import io
import os
import signal
import sys
import threading
from collections.abc import Buffer, Iterator
from types import FrameType
from typing import TextIO

_interrupted = threading.Event()
_watching = False


def _on_sigint(signum: int, frame: FrameType | None) -> None:
    _interrupted.set()
    raise KeyboardInterrupt


@contextlib.contextmanager
def watch_interrupts() -> Iterator[None]:
    """Notes every SIGINT while active (main thread only; elsewhere a no-op)."""
    global _watching
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, _on_sigint)
    _watching, _interrupted_before = True, _interrupted.is_set()
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        _watching = False
        if not _interrupted_before:
            _interrupted.clear()


def user_interrupted() -> bool:
    return _interrupted.is_set()


def bundle_fault(error: BaseException) -> bool:
    """Whether `error`, caught around bundle code, is the bundle's to answer
    for: everything but a real interrupt. Without the watch (the kit, in a
    test process) a KeyboardInterrupt is taken as the user's."""
    if isinstance(error, KeyboardInterrupt):
        return _watching and not _interrupted.is_set()
    if _interrupted.is_set():
        return False  # whatever bundle code made of the interrupt, the user asked to stop
    return True


def reraise_if_interrupted(error: BaseException) -> None:
    """Raises KeyboardInterrupt when `error` is not the bundle's fault."""
    if not bundle_fault(error):
        raise KeyboardInterrupt from error


class OutputReplaced(OSError):
    """The descriptor kept for the command's standard output was closed, or
    now refers to another file: bundle code closed it and opened something
    that took its number."""


class KeptOutput(io.FileIO):
    """The command's own standard output, a duplicate of descriptor 1 taken
    before any bundle code ran. Every write first checks that the descriptor
    still refers to the file it was taken from (same device and inode), so
    that the command never writes into a file that bundle code opened."""

    def __init__(self, fd: int) -> None:
        super().__init__(fd, "w", closefd=False)
        self.kept_fd = fd
        info = os.fstat(fd)
        self.identity = (info.st_dev, info.st_ino)

    def replaced(self) -> bool:
        try:
            info = os.fstat(self.kept_fd)
        except OSError:
            return True
        return (info.st_dev, info.st_ino) != self.identity

    def verify(self) -> None:
        if self.replaced():
            raise OutputReplaced(
                f"standard output (kept as descriptor {self.kept_fd}) was closed or replaced by bundle code; "
                "nothing more is written there"
            )

    def write(self, data: Buffer, /) -> int:
        self.verify()
        return super().write(data)


@contextlib.contextmanager
def stdout_to_stderr() -> Iterator[TextIO]:
    """Points sys.stdout and file descriptor 1 at standard error while active
    and yields a stream on the real standard output for the command's own
    output (writing to it raises OutputReplaced once bundle code has closed
    or reused its descriptor). Where standard output has no file descriptor
    (an embedding caller's stream), only sys.stdout is pointed at standard
    error."""
    real = sys.stdout
    try:
        real.flush()
        fd = real.fileno()
        err_fd = sys.stderr.fileno()
        kept = os.dup(fd)
    except AttributeError, OSError, ValueError, io.UnsupportedOperation:
        sys.stdout = sys.stderr
        try:
            yield real
        finally:
            sys.stdout = real
        return
    raw = KeptOutput(kept)
    out = io.TextIOWrapper(
        io.BufferedWriter(raw),
        encoding=real.encoding,
        errors=real.errors or "strict",
        line_buffering=bool(real.line_buffering),
    )
    os.dup2(err_fd, fd)
    sys.stdout = sys.stderr
    try:
        yield out
    finally:
        sys.stdout = real
        try:
            sys.stderr.flush()
        except OSError, ValueError:
            pass
        try:
            out.close()  # flushes what is left, through the check
        except BrokenPipeError:
            pass
        finally:
            # A descriptor that bundle code took over is its own: neither
            # closed nor made standard output again.
            if not raw.replaced():
                os.dup2(kept, fd)
                os.close(kept)
