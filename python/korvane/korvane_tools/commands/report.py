"""`korvane report`: what a campaign's results say, and what went wrong."""

from __future__ import annotations

import argparse
import os
from typing import TextIO

from ..exits import Exit
from ..output import Painter, dump_json
from .batch import _positive

PROG = "korvane report"
HELP = "summarise a campaign's results: outcomes, failures by cause, timing"
DESCRIPTION = """\
Read DIR/results.jsonl (written by korvane batch) and say what happened: the
runs by outcome; what went wrong, grouped by cause (the outcome, the error's
type and its message with numbers, quoted texts and hexadecimal collapsed)
with the first ids of each; the runs that timed out; the attempts retried
after an infrastructure failure (DIR/attempts.jsonl); the slowest runs and
the percentiles of the runs' durations. The file is read a line at a time;
a line that is not a results line is counted and named by its number.
DIR may also be the results file itself."""
EXITS = {
    Exit.OK: "every run completed, with complete evidence",
    Exit.FAULT: "a run did not complete, or a line is not a results line",
    Exit.USAGE: "wrong use, or the results cannot be read",
    Exit.EVIDENCE_INCOMPLETE: "every run completed, some with incomplete evidence",
    Exit.RECORDING_FAILED: "every run completed, some recordings failed",
}
_EXIT = {
    "ok": Exit.OK,
    "fault": Exit.FAULT,
    "recording": Exit.RECORDING_FAILED,
    "evidence": Exit.EVIDENCE_INCOMPLETE,
}


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("folder", metavar="DIR", help="the campaign's --out folder, or its results.jsonl")
    p.add_argument("--top", metavar="N", type=_positive, default=10, help="causes shown (default 10; --json gives all)")
    p.add_argument("--json", action="store_true", help="print the report as JSON, every cause included")


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ..campaign.report import read_report, text_lines

    folder = options.folder
    if os.path.isdir(folder):
        results = os.path.join(folder, "results.jsonl")
    else:
        results, folder = folder, os.path.dirname(folder) or "."
    try:
        report = read_report(results, os.path.join(folder, "attempts.jsonl"))
    except OSError as error:
        print(f"{PROG}: cannot read {results}: {error.strerror or error}", file=err)
        return Exit.USAGE
    if options.json:
        dump_json(report.as_json(), out)
    else:
        for line in text_lines(report, Painter(out), shown=options.top):
            print(line, file=out)
    return _EXIT[report.worst()]
