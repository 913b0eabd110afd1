"""The exit statuses of the `korvane` command, named in one place.

Each subcommand lists the statuses it can end with (and what they mean for
it); its --help shows those and no others.
"""

from __future__ import annotations

import enum
from collections.abc import Mapping


class Exit(enum.IntEnum):
    OK = 0
    FAULT = 1  # the checked thing is at fault: a broken bundle, an invalid result, a failed machine
    USAGE = 2  # wrong use of the command: a bad option, an unreadable file
    CANNOT_RUN = 3  # run, batch: the machine could not be run at all
    EVIDENCE_INCOMPLETE = 4  # run, batch: the machine completed, its evidence did not
    RECORDING_FAILED = 5  # run, batch: the recording asked for was not finalized or not published
    BUNDLE_ENDED = 6  # run --isolate: the bundle ended its process itself (os._exit, a signal)
    OUTPUT_LOST = 74  # bundle code closed or reused the command's standard output (EX_IOERR)
    TIMED_OUT = 124  # run --timeout: the run took longer (as timeout(1) reports it)
    INTERRUPTED = 130  # Ctrl-C at the terminal (128 + SIGINT)
    BROKEN_PIPE = 141  # the reader of standard output went away (128 + SIGPIPE)


# What each status means across the command (`korvane --help`).
MEANING: Mapping[Exit, str] = {
    Exit.OK: "success",
    Exit.FAULT: "the checked thing is at fault (a broken bundle, an invalid result, a failed machine)",
    Exit.USAGE: "wrong use of the command (bad option, unreadable file)",
    Exit.CANNOT_RUN: "the machine could not be run at all (korvane run: discovery, prepare or execute failed; "
    "korvane batch: not installed, or a cluster that differs or cannot be reached)",
    Exit.EVIDENCE_INCOMPLETE: "korvane run, batch: the machine completed but its evidence is incomplete",
    Exit.RECORDING_FAILED: "korvane run, batch: the recording asked for was not finalized or not published",
    Exit.BUNDLE_ENDED: "korvane run --isolate: the bundle ended its process itself (os._exit, a signal)",
    Exit.OUTPUT_LOST: "bundle code closed or reused the command's standard output; the report was not written",
    Exit.TIMED_OUT: "korvane run --timeout: the run took longer and was stopped",
    Exit.INTERRUPTED: "interrupted (Ctrl-C)",
    Exit.BROKEN_PIPE: "the reader of standard output went away",
}

# Every subcommand can end with these.
COMMON: Mapping[Exit, str] = {
    Exit.USAGE: "wrong use of the command (bad option, unreadable file)",
    Exit.INTERRUPTED: "interrupted (Ctrl-C)",
}


def epilog(statuses: Mapping[Exit, str]) -> str:
    """The `exit status:` block of a --help text."""
    lines = ["exit status:"]
    # A subcommand's own word on a common status comes first.
    for status, meaning in sorted({**COMMON, **statuses}.items()):
        lines.append(f"  {int(status):<3}  {meaning}")
    return "\n".join(lines)
