"""`korvane check-result`: an execution-result document against korvane's rules."""

from __future__ import annotations

import argparse
import dataclasses
import sys
from typing import TextIO

from .. import results
from ..exits import Exit
from ..output import GREEN, RED, Painter, dump_json

HELP = "check an execution-result document with korvane's rules"
DESCRIPTION = (
    "Check a JSON execution-result document with korvane's own rules and print "
    "`valid` or korvane's exact message. The file's own text is checked: a place in it "
    "is given as its line and column, with the line and a caret under the place."
)
EXITS = {Exit.OK: "the document is a valid execution result", Exit.FAULT: "it is not"}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="the document, or - for standard input")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        if options.file == "-":
            text = sys.stdin.buffer.read().decode("utf-8")
        else:
            with open(options.file, encoding="utf-8") as stream:
                text = stream.read()
    except (OSError, UnicodeDecodeError) as error:
        print(f"korvane check-result: cannot read {options.file}: {error}", file=err)
        return Exit.USAGE
    problem = results.text_problem(text)
    if problem is not None and problem.kind == "json":
        problem = dataclasses.replace(problem, message=f"not JSON: {problem.message}")
    if options.json:
        dump_json(
            {
                "valid": problem is None,
                "message": None if problem is None else problem.message,
                "problem": None if problem is None else problem.as_json(),
            },
            out,
        )
    else:
        paint = Painter(out)
        if problem is None:
            print(paint("valid", GREEN), file=out)
        else:
            print(paint(problem.message, RED), file=out)
            for note in problem.notes():
                print(note, file=out)
    return Exit.OK if problem is None else Exit.FAULT
