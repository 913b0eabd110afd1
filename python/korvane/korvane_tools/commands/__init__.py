"""The subcommands of `korvane`, one module each, dispatched by a table.

A subcommand module provides:

    HELP         one line for `korvane --help`
    DESCRIPTION  the paragraph of its own --help
    EXITS        {Exit: meaning} for the statuses it can end with
    add_arguments(parser)              its options
    run(options, out, err) -> int      the work; returns an exit status

To add a subcommand, write its module here and add its name to COMMANDS.
"""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Mapping
from typing import Protocol, TextIO

from ..exits import Exit


class Command(Protocol):
    HELP: str
    DESCRIPTION: str
    EXITS: Mapping[Exit, str]

    def add_arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def run(self, options: argparse.Namespace, out: TextIO, err: TextIO) -> int: ...


# The subcommand's name on the command line, and its module here.
COMMANDS: dict[str, str] = {
    "list": "list",
    "check": "check",
    "run": "run",
    "check-result": "check_result",
    "batch": "batch",
    "report": "report",
    "new": "new",
}


def load(name: str) -> Command:
    module: Command = importlib.import_module(f"{__name__}.{COMMANDS[name]}")
    return module
