"""`korvane run`: prepare and execute one machine, showing what its sink receives."""

from __future__ import annotations

import argparse
import sys
from typing import Any, TextIO

import korvane

from .. import bundles
from ..exits import Exit
from ..output import Painter, dump_json, is_terminal, status_code, table
from ..runs import Progress, ShowingSink, UsageError, check_record_path, read_json_option

HELP = "prepare and execute one machine"
DESCRIPTION = ("Prepare and execute one machine, showing the batches its sink receives "
               "(and live progress on a terminal), then the statuses of the result. Each "
               "JSON option takes JSON text, or @FILE for a file holding it. When korvane's "
               "discovery fails, the bundles that fail `korvane check` are left out and named.")
EXITS = {
    Exit.OK: "the machine completed",
    Exit.FAULT: "the run did not complete",
    Exit.CANNOT_RUN: "the machine could not be run (discovery, prepare or execute raised)",
}

_OPTIONS = ("configuration", "input_schedule", "execution_controls", "observation")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("machine", metavar="MACHINE", help="the machine id")
    parser.add_argument("artifact", metavar="ARTIFACT_FILE", help="the artifact file, or - for standard input")
    for name in _OPTIONS:
        flag = name.replace("_", "-")
        parser.add_argument(f"--{flag}", metavar="JSON", help=f"the run's {name.replace('_', ' ')} (JSON or @FILE)")
    parser.add_argument("--record", metavar="PATH",
                        help="ask the bundle to record the run at PATH (refused when PATH exists and is "
                             "not a regular file)")
    parser.add_argument("--json", action="store_true", help="print the execution result as JSON")


def _discover(err: TextIO) -> tuple[korvane.Runtime, list[bundles.BundleReport]]:
    """korvane's discovery; when it fails, the same over the bundles that
    pass `korvane check` on their own, naming on `err` those left out (and
    returning them)."""
    try:
        return korvane.Runtime.discover(), []
    except Exception as error:
        failure = f"{type(error).__name__}: {error}"
    keep, left_out = bundles.usable_entry_points()
    print(f"korvane run: korvane's discovery fails ({failure}); leaving out:", file=err)
    for bundle in left_out.bundles:
        why = bundle.problem.text() if bundle.problem else f'machine_id "{bundle.machine_id}" is claimed twice'
        print(f"  {bundle.culprit()}: {why}", file=err)
    print("  (run `korvane check` for the whole report)", file=err)
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


def _read_inputs(options: argparse.Namespace) -> tuple[dict[str, Any], bytes, korvane.FileRecorder | None]:
    inputs = {
        name: None if getattr(options, name) is None
        else read_json_option("--" + name.replace("_", "-"), getattr(options, name))
        for name in _OPTIONS
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
    return inputs, artifact, recorder


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        inputs, artifact, recorder = _read_inputs(options)
    except UsageError as error:
        print(f"korvane run: {error}", file=err)
        return Exit.USAGE

    left_out: list[bundles.BundleReport] = []
    try:
        runtime, left_out = _discover(err)
        prepared = runtime.prepare(options.machine, artifact, **inputs)
    except LookupError as error:
        if any(bundle.machine_id == options.machine for bundle in left_out):
            print(f'korvane run: machine "{options.machine}" is provided only by bundles left out above', file=err)
        else:
            print(f"korvane run: {type(error).__name__}: {error}", file=err)
        return Exit.CANNOT_RUN
    except Exception as error:
        print(f"korvane run: {type(error).__name__}: {error}", file=err)
        return Exit.CANNOT_RUN

    progress = Progress(err) if is_terminal(err) else None
    sink = ShowingSink(None if options.json else out, progress)
    try:
        if progress is not None:
            with progress:
                result = prepared.execute([sink], recorder)
        else:
            result = prepared.execute([sink], recorder)
    except Exception as error:
        print(f"korvane run: {type(error).__name__}: {error}", file=err)
        return Exit.CANNOT_RUN

    if options.json:
        dump_json(result, out)
    else:
        if sink.batches:
            print(file=out)
        render_result(result, sink, out)
    return Exit.OK if result["machine_execution"]["status"] == "completed" else Exit.FAULT
