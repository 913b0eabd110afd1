"""`korvane check`: each bundle on its own, with korvane's rules."""

from __future__ import annotations

import argparse
import importlib.metadata
from typing import Any, TextIO

from .. import bundles, children
from ..exits import Exit
from ..output import GREEN, RED, STALL_AFTER, YELLOW, Painter, dump_json, stall_notice, table

HELP = "check each bundle on its own and name the broken ones"
DESCRIPTION = (
    "Check each bundle on its own, with korvane's own rules: the entry point "
    "loads, the provider can be called, korvane accepts its metadata, the module "
    "imports and both functions exist, are callable and take the positional "
    "arguments korvane passes; then the machine ids claimed twice. NAME is an "
    "entry-point name, a machine id or a distribution name. Exit status 0 exactly "
    "when korvane.Runtime.discover() succeeds and every function resolves. A bundle "
    "that exits, is interrupted or prints is reported, never ends the check."
)
EXITS = {
    Exit.OK: "every bundle checked passes",
    Exit.FAULT: "a bundle is broken, or a machine id is claimed twice",
    Exit.OUTPUT_LOST: "bundle code closed or reused standard output; the report was not written",
}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "names",
        nargs="*",
        metavar="NAME",
        help="entry-point names, machine ids or distribution names to check (default: all)",
    )
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")
    parser.add_argument(
        "--isolate",
        action="store_true",
        help="check each bundle in a child process, so that one that hangs, exits or "
        "crashes the interpreter is reported as such",
    )
    parser.add_argument(
        "--timeout",
        type=children.seconds,
        metavar="S",
        default=None,
        help="with --isolate, the seconds each bundle's check may take (default 60); at the limit the "
        "report names where the bundle was",
    )


def near_miss_lines(near: list[tuple[str, str, str | None]]) -> list[str]:
    return [
        f'entry point "{name}" of {distribution or "?"} is in group "{group}", which korvane never '
        f'reads: did you mean "{bundles.GROUP}"?'
        for group, name, distribution in near
    ]


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
        print(f'{paint("CLASH", RED)}  machine_id "{clash.machine_id}": {clash.text()}', file=out)
    if report.discovery is not None:
        print(f"{paint('FAIL', RED)}  {report.discovery.text()}", file=out)
    for bundle in report.bundles:
        for warning in bundle.warnings:
            print(f"{paint('WARN', YELLOW)}  {bundle.entry_point}: {warning}", file=out)
    for line in near_miss_lines(report.near_misses):
        print(f"{paint('WARN', YELLOW)}  {line}", file=out)

    failing = sum(1 for bundle in report.bundles if not bundle.ok)
    counts = (
        f"{len(report.bundles)} bundle{'s' if len(report.bundles) != 1 else ''} checked: "
        f"{len(report.bundles) - failing} OK, {failing} failing"
    )
    if report.clashes:
        counts += f", {len(report.clashes)} machine id{'s' if len(report.clashes) != 1 else ''} claimed twice"
    print(paint(counts, GREEN if report.ok else RED), file=out)


def _check_one(ep: importlib.metadata.EntryPoint, err: TextIO) -> bundles.BundleReport:
    with stall_notice(err, stalled("korvane check", f"checking {ep.name} ({ep.value})")):
        return bundles.check_one(ep)


def stalled(command: str, what: str) -> str:
    return (
        f"{command}: still {what} after {STALL_AFTER:g} s; Ctrl-C stops, and "
        "`korvane check --isolate` names a bundle that hangs and where"
    )


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    if options.timeout is not None and not options.isolate:
        print("korvane check: --timeout needs --isolate", file=err)
        return Exit.USAGE
    try:
        if options.isolate:
            from .. import isolated  # child processes and threads: only when asked for

            try:
                report = isolated.check(options.names, options.timeout if options.timeout is not None else 60.0)
            except isolated.CheckInterrupted as stop:
                # What was checked by then, then the status of an interrupt.
                checked = [r for r in stop.checked if not options.names or bundles.named(r, options.names)]
                report = bundles.CheckReport(checked, bundles.find_clashes(checked), interrupted=True)
                _show(report, options, out)
                print(f"korvane check: interrupted; {len(stop.checked)} of {stop.total} bundles checked", file=err)
                return Exit.INTERRUPTED
        else:
            report = bundles.check(options.names, check_each=lambda eps: [_check_one(ep, err) for ep in eps])
    except LookupError as error:
        print(f"korvane check: {error.args[0]}", file=err)
        for line in near_miss_lines(bundles.near_misses()):
            print(f"  {line}", file=err)
        return Exit.USAGE
    if not options.names:
        report.near_misses = bundles.near_misses()
    _show(report, options, out)
    return Exit.OK if report.ok else Exit.FAULT


def _show(report: bundles.CheckReport, options: argparse.Namespace, out: TextIO) -> None:
    if options.json:
        dump_json(report.as_json(), out)
    elif not report.bundles:
        print(f"no entry points in group {bundles.GROUP}", file=out)
        for line in near_miss_lines(report.near_misses):
            print(line, file=out)
    else:
        render(report, out)
