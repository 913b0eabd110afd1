"""The `korvane` command: list, check, run, check-result.

    korvane list [--metadata] [--json]
    korvane check [NAME...] [--json]
    korvane run MACHINE ARTIFACT_FILE|- [--configuration J] [--input-schedule J]
                [--execution-controls J] [--observation J] [--record PATH] [--json]
    korvane check-result FILE|- [--json]

Reports go to standard output, the command's own errors to standard error.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import sys
from collections.abc import Sequence
from typing import Any, TextIO

import korvane

from . import bundles, results
from .output import BOLD, GREEN, RED, YELLOW, Painter, is_terminal, status_code, table
from .runs import Progress, ShowingSink, UsageError, check_record_path, read_json_option

PROG = "korvane"
EXIT_STATUSES = """\
exit status:
  0  success
  1  the checked thing is at fault (a broken bundle, an invalid result,
     a run that did not complete)
  2  wrong use of the command (bad option, unreadable file)
  3  korvane run could not run the machine (discovery, prepare or execute raised)"""


def _dump(value: Any, out: TextIO) -> None:
    json.dump(value, out, indent=2, ensure_ascii=False, default=repr)
    out.write("\n")


# list ---------------------------------------------------------------------

def cmd_list(options: argparse.Namespace, out: TextIO) -> int:
    items = []
    for ep in bundles.entry_points():
        distribution, version = bundles.distribution_of(ep)
        item: dict[str, Any] = {"entry_point": ep.name, "distribution": distribution,
                                "version": version, "value": ep.value}
        if options.metadata:
            report = bundles.check_one(ep, resolve_functions=False)
            item["machine_id"] = report.machine_id
            item["problem"] = None if report.problem is None else report.problem.text()
        items.append(item)

    if options.json:
        _dump(items, out)
        return 0
    if not items:
        print(f"no entry points in group {bundles.GROUP}", file=out)
        return 0
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
    return 0


# check --------------------------------------------------------------------

def render_check(report: bundles.CheckReport, out: TextIO) -> None:
    paint = Painter(out)
    rows: list[list[Any]] = []
    for bundle in report.bundles:
        if bundle.problem is None:
            verdict: Any = f'machine "{bundle.machine_id}"'
            rows.append([("OK", GREEN), bundle.entry_point, f"{bundle.distribution or '?'} {bundle.version or '?'}",
                         bundle.value, verdict])
        else:
            rows.append([("FAIL", RED), bundle.entry_point, f"{bundle.distribution or '?'} {bundle.version or '?'}",
                         bundle.value, bundle.problem.text()])
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


def cmd_check(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        report = bundles.check(options.names)
    except LookupError as error:
        print(f"{PROG} check: {error.args[0]}", file=err)
        return 2
    if options.json:
        _dump(report.as_json(), out)
    elif not report.bundles:
        print(f"no entry points in group {bundles.GROUP}", file=out)
    else:
        render_check(report, out)
    return 0 if report.ok else 1


# run ----------------------------------------------------------------------

def _discover(err: TextIO) -> tuple[korvane.Runtime, list[bundles.BundleReport]]:
    """korvane's discovery; when it fails, the same over the bundles that
    pass `korvane check` on their own, naming on `err` those left out (and
    returning them)."""
    try:
        return korvane.Runtime.discover(), []
    except Exception as error:
        failure = f"{type(error).__name__}: {error}"
    keep, left_out = bundles.usable_entry_points()
    print(f"{PROG} run: korvane's discovery fails ({failure}); leaving out:", file=err)
    for bundle in left_out.bundles:
        why = bundle.problem.text() if bundle.problem else f'machine_id "{bundle.machine_id}" is claimed twice'
        print(f"  {bundle.culprit()}: {why}", file=err)
    print(f"  (run `{PROG} check` for the whole report)", file=err)
    with bundles.only_visible(keep):
        return korvane.Runtime.discover(), left_out.bundles


def render_result(result: dict[str, Any], sink: ShowingSink, out: TextIO) -> None:
    paint = Painter(out)
    rows: list[list[Any]] = []
    for field in ("machine_execution", "evidence_fulfillment", "python_sink_delivery",
                  "recorder_finalization", "publication"):
        word = result[field]["status"]
        rows.append([field, (str(word), status_code(word))])
    published = result.get("published_run")
    rows.append(["recording", str(published["path"]) if isinstance(published, dict) else "not published"])
    rows.append(["sink", f"{sink.batches} batches, {sink.values} values"])
    for line in table(rows, paint):
        print(line, file=out)


def cmd_run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        inputs = {
            name: None if getattr(options, name) is None
            else read_json_option("--" + name.replace("_", "-"), getattr(options, name))
            for name in ("configuration", "input_schedule", "execution_controls", "observation")
        }
        if options.artifact == "-":
            artifact = sys.stdin.buffer.read()
        else:
            try:
                with open(options.artifact, "rb") as stream:
                    artifact = stream.read()
            except OSError as error:
                raise UsageError(f"cannot read the artifact {options.artifact}: {error.strerror}") from None
        recorder = None
        if options.record is not None:
            check_record_path(options.record)
            recorder = korvane.FileRecorder(options.record)
    except UsageError as error:
        print(f"{PROG} run: {error}", file=err)
        return 2

    left_out: list[bundles.BundleReport] = []
    try:
        runtime, left_out = _discover(err)
        prepared = runtime.prepare(options.machine, artifact, **inputs)
    except LookupError as error:
        if any(bundle.machine_id == options.machine for bundle in left_out):
            print(f'{PROG} run: machine "{options.machine}" is provided only by bundles left out above', file=err)
        else:
            print(f"{PROG} run: {type(error).__name__}: {error}", file=err)
        return 3
    except Exception as error:
        print(f"{PROG} run: {type(error).__name__}: {error}", file=err)
        return 3

    live = is_terminal(err)
    progress = Progress(err) if live else None
    sink = ShowingSink(None if options.json else out, progress)
    try:
        if progress is not None:
            with progress:
                result = prepared.execute([sink], recorder)
        else:
            result = prepared.execute([sink], recorder)
    except Exception as error:
        print(f"{PROG} run: {type(error).__name__}: {error}", file=err)
        return 3

    if options.json:
        _dump(result, out)
    else:
        if sink.batches:
            print(file=out)
        render_result(result, sink, out)
    return 0 if result["machine_execution"]["status"] == "completed" else 1


# check-result ---------------------------------------------------------------

def cmd_check_result(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        if options.file == "-":
            text = sys.stdin.buffer.read().decode("utf-8")
        else:
            with open(options.file, encoding="utf-8") as stream:
                text = stream.read()
    except (OSError, UnicodeDecodeError) as error:
        print(f"{PROG} check-result: cannot read {options.file}: {error}", file=err)
        return 2
    try:
        document = json.loads(text)
    except (ValueError, RecursionError) as error:
        message: str | None = f"not JSON: {error}"
    else:
        message = results.result_verdict(document)
    if options.json:
        _dump({"valid": message is None, "message": message}, out)
    else:
        paint = Painter(out)
        print(paint("valid", GREEN) if message is None else paint(message, RED), file=out)
    return 0 if message is None else 1


# the parser -----------------------------------------------------------------

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
        epilog=EXIT_STATUSES + "\n\nColour only on a terminal, never with NO_COLOR set.")
    top.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = commands.add_parser(
        "list", formatter_class=formatter, epilog=EXIT_STATUSES,
        help="list the bundles' entry points, importing nothing",
        description="List every entry point in the group korvane.machine_bundles with its "
                    "distribution, version and value, without importing anything.")
    p.add_argument("--metadata", action="store_true",
                   help="also load each entry point, call its provider and show the machine id")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")

    p = commands.add_parser(
        "check", formatter_class=formatter, epilog=EXIT_STATUSES,
        help="check each bundle on its own and name the broken ones",
        description="Check each bundle on its own, with korvane's own rules: the entry point "
                    "loads, the provider can be called, korvane accepts its metadata, the module "
                    "imports and both functions exist and are callable; then the machine ids "
                    "claimed twice. Exit status 0 exactly when korvane.Runtime.discover() succeeds "
                    "and every function resolves.")
    p.add_argument("names", nargs="*", metavar="NAME",
                   help="entry-point or distribution names to check (default: all)")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")

    p = commands.add_parser(
        "run", formatter_class=formatter, epilog=EXIT_STATUSES,
        help="prepare and execute one machine",
        description="Prepare and execute one machine, showing the batches its sink receives "
                    "(and live progress on a terminal), then the statuses of the result. Each "
                    "JSON option takes JSON text, or @FILE for a file holding it. When korvane's "
                    "discovery fails, the bundles that fail `korvane check` are left out and named.")
    p.add_argument("machine", metavar="MACHINE", help="the machine id")
    p.add_argument("artifact", metavar="ARTIFACT_FILE", help="the artifact file, or - for standard input")
    for name in ("configuration", "input-schedule", "execution-controls", "observation"):
        p.add_argument(f"--{name}", metavar="JSON", help=f"the run's {name.replace('-', ' ')} (JSON or @FILE)")
    p.add_argument("--record", metavar="PATH",
                   help="ask the bundle to record the run at PATH (refused when PATH exists and is "
                        "not a regular file)")
    p.add_argument("--json", action="store_true", help="print the execution result as JSON")

    p = commands.add_parser(
        "check-result", formatter_class=formatter, epilog=EXIT_STATUSES,
        help="check an execution-result document with korvane's rules",
        description="Check a JSON execution-result document with korvane's own rules and print "
                    "`valid` or korvane's exact message.")
    p.add_argument("file", metavar="FILE", help="the document, or - for standard input")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    options = parser().parse_args(argv)
    out, err = sys.stdout, sys.stderr
    try:
        if options.command == "list":
            return cmd_list(options, out)
        if options.command == "check":
            return cmd_check(options, out, err)
        if options.command == "run":
            return cmd_run(options, out, err)
        return cmd_check_result(options, out, err)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`korvane list | head`): no traceback, and
        # none at interpreter exit when stdout is flushed again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141


if __name__ == "__main__":
    sys.exit(main())
