"""The `korvane` command: its parser and the dispatch to one module per
subcommand (korvane_tools.commands).

    korvane list           the installed bundles
    korvane check          each bundle checked on its own
    korvane run            one run of one machine
    korvane check-result   an execution-result document against korvane's rules
    korvane batch          one machine over many runs (a campaign)
    korvane new            the project of a new bundle

`korvane COMMAND --help` gives each one's arguments.

Reports go to standard output, the command's own errors to standard error.
Bundle code runs with its standard output sent to standard error, and what
it raises is its bundle's failure (korvane_tools.contain).
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import sys
from collections.abc import Sequence

from . import output
from .commands import COMMANDS, load
from .contain import OutputReplaced, stdout_to_stderr, watch_interrupts
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
        prog=PROG,
        formatter_class=formatter,
        description="Find, check and run the machine bundles installed for korvane.",
        epilog=epilog(MEANING) + "\n\nEach command's --help lists the statuses it can end with.\n"
        "Colour only on a terminal, never with NO_COLOR set; FORCE_COLOR or --color always\n"
        "asks for it anywhere.",
    )
    top.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    top.add_argument(
        "--color",
        "--colour",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour the output: auto (on a terminal), always or never",
    )
    subparsers = top.add_subparsers(dest="command", metavar="COMMAND")
    for name in COMMANDS:
        command = load(name)
        sub = subparsers.add_parser(
            name,
            formatter_class=formatter,
            help=command.HELP,
            description=command.DESCRIPTION,
            epilog=epilog(command.EXITS),
        )
        command.add_arguments(sub)
        sub.set_defaults(handler=command.run)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    options = top.parse_args(argv)
    if options.command is None:
        top.print_help(sys.stderr)
        return Exit.USAGE
    output.colour_mode = options.color
    try:
        with watch_interrupts(), stdout_to_stderr() as out:
            return int(options.handler(options, out, sys.stderr))
    except KeyboardInterrupt:
        return Exit.INTERRUPTED
    except OutputReplaced as error:
        print(f"{PROG} {options.command}: {error}", file=sys.stderr)
        return Exit.OUTPUT_LOST
    except BrokenPipeError:
        # The reader went away (`korvane list | head`): no traceback, and
        # none at interpreter exit when stdout is flushed again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return Exit.BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(main())
