"""What `check --isolate`, `run --isolate` and `run --timeout` share: time
limits, child processes in their own session, and where bundle code was when
a child was stopped.

A child runs bundle code with faulthandler writing into a file of the
parent's: the Python stack of every thread at a fatal signal, and at the time
limit (`dump_traceback_later(exit=True)`: the child writes its stack and
ends itself). The parent reads that file once the child is gone and names
the innermost frame of bundle code. Each child leads its own session, so
that what its bundle started is stopped with it (`kill_group`).
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import re
import signal
import subprocess
import sysconfig
from typing import IO

# The longest time limit taken: a week. Longer ones would overflow the
# clocks of select() and faulthandler.
MAX_SECONDS = 7 * 24 * 3600.0

# What the parent waits beyond a child's own time limit before stopping it
# itself: the child stops on its own at the limit, with its stack written,
# from a thread that needs no interpreter lock; the parent steps in only for a
# child that never got as far as setting its limit, however slowly it started.
GRACE = 30.0


def seconds(text: str) -> float:
    """An argparse type: a finite number of seconds above 0, at most a week."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not (math.isfinite(value) and 0 < value <= MAX_SECONDS):
        raise argparse.ArgumentTypeError(f"{text}: give a number of seconds above 0 and at most {MAX_SECONDS:g}")
    return value


def spawn(args: list[str], keep: IO[bytes], **popen: object) -> subprocess.Popen[bytes]:
    """A child leading its own session, with the file `keep` passed on."""
    return subprocess.Popen(args, start_new_session=True, pass_fds=(keep.fileno(),), **popen)  # type: ignore[call-overload, no-any-return]


def kill_group(proc: subprocess.Popen[bytes]) -> None:
    """Stops the child and whatever it started in its session."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError, PermissionError:
        pass


def ending(returncode: int) -> str:
    """How a child ended, in words."""
    if returncode < 0:
        try:
            return f"killed by {signal.Signals(-returncode).name}"
        except ValueError:
            return f"killed by signal {-returncode}"
    return f"exited with status {returncode}"


def signal_name(returncode: int) -> str | None:
    return ending(returncode).removeprefix("killed by ") if returncode < 0 else None


def arm(timeout: float | None, fd: int) -> None:
    """In the child: the stack into `fd` at a fatal signal and, with a
    timeout, at the time limit, after which the child ends itself."""
    import faulthandler

    faulthandler.enable(file=fd)
    if timeout is not None:
        faulthandler.dump_traceback_later(timeout, exit=True, file=fd)


def read(dump: IO[bytes]) -> str:
    dump.seek(0)
    return dump.read().decode("utf-8", errors="replace")


def timed_out(text: str) -> bool:
    """Whether faulthandler's time limit fired (its dump starts so)."""
    return "Timeout (" in text


@dataclasses.dataclass(frozen=True)
class Frame:
    file: str
    line: int
    function: str

    def text(self) -> str:
        return f"{self.function} ({self.file}, line {self.line})"


_FRAME = re.compile(r'^\s+File "(.*)", line (\d+) in (.*)$')
_TOOLS = os.path.dirname(os.path.abspath(__file__)) + os.sep
_STDLIB = sysconfig.get_paths()["stdlib"] + os.sep


def stack(text: str) -> list[Frame]:
    """The stack of the thread that runs korvane's tools (the child's main
    thread) in faulthandler's last dump, most recent call first."""
    blocks: list[list[Frame]] = []
    for line in text.splitlines():
        if line.startswith(("Thread ", "Current thread ")):
            blocks.append([])
        elif blocks and (match := _FRAME.match(line)):
            blocks[-1].append(Frame(match[1], int(match[2]), match[3]))
    main = [block for block in blocks if any(frame.file.startswith(_TOOLS) for frame in block)]
    return (main or blocks or [[]])[-1]


def bundle_frames(frames: list[Frame]) -> list[Frame]:
    """The frames of bundle code: in a real file, outside korvane's tools and
    the standard library."""
    return [
        frame
        for frame in frames
        if not frame.file.startswith(("<", _TOOLS))
        and not (frame.file.startswith(_STDLIB) and "-packages" not in frame.file)
    ]


def bundle_frame(frames: list[Frame]) -> Frame | None:
    """The innermost frame of bundle code."""
    return next(iter(bundle_frames(frames)), None)
