"""`korvane check-result`: an execution-result document against korvane's rules."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TextIO

from .. import results
from ..exits import Exit
from ..output import GREEN, RED, Painter, dump_json

HELP = "check an execution-result document with korvane's rules"
DESCRIPTION = ("Check a JSON execution-result document with korvane's own rules and print "
               "`valid` or korvane's exact message.")
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
    try:
        document = json.loads(text)
    except (ValueError, RecursionError) as error:
        message: str | None = f"not JSON: {error}"
    else:
        message = results.result_verdict(document)
    if options.json:
        dump_json({"valid": message is None, "message": message}, out)
    else:
        paint = Painter(out)
        print(paint("valid", GREEN) if message is None else paint(message, RED), file=out)
    return Exit.OK if message is None else Exit.FAULT
