"""The `korvane` command: its parser and the dispatch to one module per
subcommand (korvane_tools.commands).

    korvane list [--metadata] [--json]
    korvane check [NAME...] [--json]
    korvane run MACHINE ARTIFACT_FILE|- [--configuration J] [--input-schedule J]
                [--execution-controls J] [--observation J] [--record PATH] [--json]
    korvane check-result FILE|- [--json]
    korvane batch MACHINE INPUTS.jsonl --out DIR [--jobs N | --scheduler ADDRESS] [--record] [--json]

Reports go to standard output, the command's own errors to standard error.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import sys
from collections.abc import Sequence

from .commands import COMMANDS, load
from .exits import MEANING, Exit, epilog

PROG = "korvane"


def _version() -> str:
    try:
        return importlib.metadata.version("korvane")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    top = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter,
        description="Find, check and run the machine bundles installed for korvane.",
        epilog=epilog(MEANING) + "\n\nEach command's --help lists the statuses it can end with.\n"
               "Colour only on a terminal, never with NO_COLOR set.")
    top.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    subparsers = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in COMMANDS:
        command = load(name)
        sub = subparsers.add_parser(name, formatter_class=formatter, help=command.HELP,
                                    description=command.DESCRIPTION, epilog=epilog(command.EXITS))
        command.add_arguments(sub)
        sub.set_defaults(handler=command.run)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    options = parser().parse_args(argv)
    try:
        return int(options.handler(options, sys.stdout, sys.stderr))
    except KeyboardInterrupt:
        return Exit.INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`korvane list | head`): no traceback, and
        # none at interpreter exit when stdout is flushed again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return Exit.BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(main())
