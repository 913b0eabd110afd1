"""`korvane list`: the group's entry points, importing nothing unless asked."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from .. import bundles
from ..exits import Exit
from ..output import BOLD, RED, Painter, dump_json, stall_notice, table
from .check import near_miss_lines, stalled

HELP = "list the bundles' entry points, importing nothing"
DESCRIPTION = (
    "List every entry point in the group korvane.machine_bundles with its "
    "distribution, version and value, without importing anything."
)
EXITS = {
    Exit.OK: "listed (a broken bundle is shown, not an error)",
    Exit.OUTPUT_LOST: "bundle code closed or reused standard output; the list was not written",
}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--metadata", action="store_true", help="also load each entry point, call its provider and show the machine id"
    )
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    items = []
    for ep in bundles.entry_points():
        distribution, version = bundles.distribution_of(ep)
        item: dict[str, Any] = {
            "entry_point": ep.name,
            "distribution": distribution,
            "version": version,
            "value": ep.value,
        }
        if options.metadata:
            with stall_notice(err, stalled("korvane list", f"loading {ep.name} ({ep.value})")):
                report = bundles.check_one(ep, resolve_functions=False)
            item["machine_id"] = report.machine_id
            item["problem"] = None if report.problem is None else report.problem.text()
        items.append(item)

    if options.json:
        dump_json(items, out)
        return Exit.OK
    near = near_miss_lines(bundles.near_misses())
    for line in near:
        print(f"korvane list: {line}", file=err)
    if not items:
        print(f"no entry points in group {bundles.GROUP}", file=out)
        return Exit.OK
    paint = Painter(out)
    header: list[Any] = [(h, BOLD) for h in ("ENTRY POINT", "DISTRIBUTION", "VERSION", "VALUE")]
    if options.metadata:
        header.append(("MACHINE", BOLD))
    rows: list[list[Any]] = [header]
    for item in items:
        row: list[Any] = [item["entry_point"], item["distribution"] or "?", item["version"] or "?", item["value"]]
        if options.metadata:
            row.append(item["machine_id"] if item["problem"] is None else (item["problem"], RED))
        rows.append(row)
    for line in table(rows, paint):
        print(line, file=out)
    return Exit.OK
