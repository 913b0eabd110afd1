"""`korvane check`: each bundle on its own, with korvane's rules."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from .. import bundles
from ..exits import Exit
from ..output import GREEN, RED, Painter, dump_json, table

HELP = "check each bundle on its own and name the broken ones"
DESCRIPTION = ("Check each bundle on its own, with korvane's own rules: the entry point "
               "loads, the provider can be called, korvane accepts its metadata, the module "
               "imports and both functions exist and are callable; then the machine ids "
               "claimed twice. Exit status 0 exactly when korvane.Runtime.discover() succeeds "
               "and every function resolves.")
EXITS = {
    Exit.OK: "every bundle checked passes",
    Exit.FAULT: "a bundle is broken, or a machine id is claimed twice",
}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("names", nargs="*", metavar="NAME",
                        help="entry-point or distribution names to check (default: all)")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def render(report: bundles.CheckReport, out: TextIO) -> None:
    paint = Painter(out)
    rows: list[list[Any]] = []
    for bundle in report.bundles:
        where = f"{bundle.distribution or '?'} {bundle.version or '?'}"
        if bundle.problem is None:
            rows.append([("OK", GREEN), bundle.entry_point, where, bundle.value, f'machine "{bundle.machine_id}"'])
        else:
            rows.append([("FAIL", RED), bundle.entry_point, where, bundle.value, bundle.problem.text()])
    for line in table(rows, paint):
        print(line, file=out)
    for clash in report.clashes:
        print(f"{paint('CLASH', RED)}  machine_id \"{clash.machine_id}\": {clash.text()}", file=out)
    if report.discovery is not None:
        print(f"{paint('FAIL', RED)}  {report.discovery.text()}", file=out)

    failing = sum(1 for bundle in report.bundles if not bundle.ok)
    counts = f"{len(report.bundles)} bundle{'s' if len(report.bundles) != 1 else ''} checked: " \
             f"{len(report.bundles) - failing} OK, {failing} failing"
    if report.clashes:
        counts += f", {len(report.clashes)} machine id{'s' if len(report.clashes) != 1 else ''} claimed twice"
    print(paint(counts, GREEN if report.ok else RED), file=out)


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        report = bundles.check(options.names)
    except LookupError as error:
        print(f"korvane check: {error.args[0]}", file=err)
        return Exit.USAGE
    if options.json:
        dump_json(report.as_json(), out)
    elif not report.bundles:
        print(f"no entry points in group {bundles.GROUP}", file=out)
    else:
        render(report, out)
    return Exit.OK if report.ok else Exit.FAULT
