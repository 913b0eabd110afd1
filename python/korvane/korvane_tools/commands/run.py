"""`korvane run`: prepare and execute one machine, showing what its sink receives."""

from __future__ import annotations

import argparse
import dataclasses
import faulthandler
import importlib
import importlib.metadata
import json
import os
import signal
import subprocess
import sys
import tempfile
import traceback
from typing import Any, TextIO

import korvane

from .. import _rules, bundles, children, output, results
from ..contain import KeptOutput, reraise_if_interrupted
from ..exits import Exit
from ..output import Painter, dump_json, is_terminal, stall_notice, status_code, table
from ..run_helpers import Progress, ShowingSink, UsageError, guard_record_path, read_json_option
from .check import near_miss_lines, stalled

HELP = "prepare and execute one machine"
DESCRIPTION = (
    "Prepare and execute one machine, showing the batches its sink receives "
    "(and live progress on a terminal), then the statuses of the result and the reason "
    "behind any that failed. Each JSON option takes JSON text, or @FILE for a file "
    "holding it. When korvane's discovery fails, the bundles that fail `korvane check` "
    "are left out and named. The bundle runs in this process: a bundle that ends the process "
    "itself (os._exit, a crash) cannot be contained there, and the command's exit status is then "
    "whatever the bundle made it. --isolate (or --timeout) runs it in a child process instead, and "
    "says how the bundle ended it."
)
EXITS = {
    Exit.OK: "the machine completed, with complete evidence (and the recording, when asked for)",
    Exit.FAULT: "the machine failed or was interrupted, or delivery to the sink failed",
    Exit.CANNOT_RUN: "the machine could not be run (discovery, prepare or execute failed, "
    "or korvane rejected the result)",
    Exit.EVIDENCE_INCOMPLETE: "the machine completed but its evidence is incomplete or failed",
    Exit.RECORDING_FAILED: "the recording asked for was not finalized or not published",
    Exit.BUNDLE_ENDED: "with --isolate or --timeout: the bundle ended its process itself (os._exit, a signal)",
    Exit.OUTPUT_LOST: "bundle code closed or reused standard output; the report was not written",
    Exit.TIMED_OUT: "with --timeout: the run took longer and was stopped",
}

_OPTIONS = ("configuration", "input_schedule", "execution_controls", "observation")
_FIELDS = ("machine_execution", "evidence_fulfillment", "python_sink_delivery", "recorder_finalization", "publication")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("machine", metavar="MACHINE", help="the machine id")
    parser.add_argument("artifact", metavar="ARTIFACT_FILE", help="the artifact file, or - for standard input")
    for name in _OPTIONS:
        flag = name.replace("_", "-")
        parser.add_argument(f"--{flag}", metavar="JSON", help=f"the run's {name.replace('_', ' ')} (JSON or @FILE)")
    parser.add_argument(
        "--record",
        metavar="PATH",
        help="ask the bundle to record the run at PATH (refused when PATH exists and is not a regular file)",
    )
    parser.add_argument(
        "--json", action="store_true", help="print the execution result as JSON (or the error, with a rejected result)"
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print no batches and no statuses; the exit status tells"
    )
    parser.add_argument(
        "--traceback",
        action="store_true",
        help="show the traceback of an exception raised by the bundle's code, and at Ctrl-C where the bundle was",
    )
    parser.add_argument(
        "--isolate",
        action="store_true",
        help="run the bundle in a child process, so that one that ends the process (os._exit, a crash) "
        "is reported as such",
    )
    parser.add_argument(
        "--timeout",
        type=children.seconds,
        metavar="S",
        help="stop a run that takes longer than S seconds and say where the bundle was (implies --isolate)",
    )
    # Set by the parent of an isolated run: the file descriptor for its
    # stack dumps and for the word that the command ended by itself.
    parser.add_argument("--child-of", type=int, metavar="FD", help=argparse.SUPPRESS)
    parser.add_argument("--child-timeout", type=float, metavar="S", help=argparse.SUPPRESS)


class CannotRun(Exception):
    """The machine cannot be run; the message says why."""

    def __init__(
        self,
        message: str,
        error: BaseException | None = None,
        rejected: object = None,
        problem: results.ResultProblem | None = None,
    ) -> None:
        super().__init__(message)
        self.error = error
        self.rejected = rejected
        self.problem = problem


def _describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}{bundles.suggestion(error)}"


def _discover(err: TextIO, quiet: bool) -> tuple[korvane.Runtime, list[bundles.BundleReport]]:
    """korvane's discovery; when it fails, the same over the bundles that
    pass `korvane check` on their own (korvane's own discovery code, reached
    through korvane_tools._rules), naming on `err` those left out (and
    returning them)."""
    try:
        return korvane.Runtime.discover(), []
    except BaseException as error:
        reraise_if_interrupted(error)
        failure = _describe(error)
    keep, left_out = bundles.usable_entry_points()
    if not quiet:
        print(f"korvane run: korvane's discovery fails ({failure}); leaving out:", file=err)
        for bundle in left_out.bundles:
            print(f"  {bundle.culprit()}: {_why_left_out(bundle)}", file=err)
        print("  (run `korvane check` for the whole report)", file=err)
    try:
        return _rules.discover(keep), left_out.bundles
    except BaseException as error:
        reraise_if_interrupted(error)
        raise CannotRun(f"korvane's discovery fails even without them: {_describe(error)}", error) from None


def _why_left_out(bundle: bundles.BundleReport) -> str:
    return bundle.problem.text() if bundle.problem else f'machine_id "{bundle.machine_id}" is claimed twice'


def _not_found(machine: str, error: BaseException, left_out: list[bundles.BundleReport]) -> str:
    """Why no bundle provides `machine`: an installed bundle left out (by its
    machine id, entry-point name or distribution), or none installed."""

    def _matches(bundle: bundles.BundleReport) -> bool:
        names = {bundle.machine_id, bundle.entry_point}
        if bundle.distribution is not None:
            names |= {bundle.distribution.lower(), bundle.distribution.lower().removeprefix("korvane-")}
        return machine in names

    culprits = [bundle for bundle in left_out if _matches(bundle)]
    if culprits:
        lines = [f'machine "{machine}": its bundle is installed but left out, as above:']
        lines += [f"  {bundle.culprit()}: {_why_left_out(bundle)}" for bundle in culprits]
        lines.append(f"  fix the bundle, then check it with `korvane check {culprits[0].entry_point}`")
        return "\n".join(lines)
    lines = [f'no installed bundle provides machine "{machine}"']
    extras = _machines_extras()
    if machine in extras:
        lines.append(f"  it comes with `pip install korvane-machines[{machine}]`")
    lines.append("  `korvane list --metadata` shows the machines installed")
    lines += [f"  {line}" for line in near_miss_lines(bundles.near_misses())]
    return "\n".join(lines)


def _machines_extras() -> set[str]:
    """The extras of an installed korvane-machines, the only ones worth suggesting."""
    try:
        return set(importlib.metadata.metadata("korvane-machines").get_all("Provides-Extra") or ())
    except importlib.metadata.PackageNotFoundError:
        return set()


def render_result(result: dict[str, Any], sink: ShowingSink, out: TextIO) -> None:
    paint = Painter(out)
    rows: list[list[Any]] = []
    for field in _FIELDS:
        member = result[field]
        word = member["status"]
        row: list[Any] = [field, (str(word), status_code(word))]
        reason = {k: v for k, v in member.items() if k != "status"} if isinstance(member, dict) else {}
        if reason:
            row.append(
                ", ".join(
                    f"{key}: {value if isinstance(value, str) else json.dumps(value, default=repr)}"
                    for key, value in reason.items()
                )
            )
        rows.append(row)
    published = result.get("published_run")
    rows.append(["recording", str(published["path"]) if isinstance(published, dict) else "not published"])
    rows.append(["sink", f"{sink.batches} batches, {sink.values} values"])
    for line in table(rows, paint):
        print(line, file=out)


def exit_status(result: dict[str, Any], recording: bool) -> Exit:
    """The exit status a result calls for (korvane has checked its words)."""
    if result["machine_execution"]["status"] != "completed" or result["python_sink_delivery"]["status"] == "failed":
        return Exit.FAULT
    if result["evidence_fulfillment"]["status"] != "complete":
        return Exit.EVIDENCE_INCOMPLETE
    if result["recorder_finalization"]["status"] == "failed" or (
        recording
        and (result["recorder_finalization"]["status"] != "finalized" or result["publication"]["status"] != "published")
    ):
        return Exit.RECORDING_FAILED
    return Exit.OK


def _read_inputs(options: argparse.Namespace) -> tuple[dict[str, Any], bytes, korvane.FileRecorder | None]:
    inputs = {
        name: None
        if getattr(options, name) is None
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
        guard_record_path(options.record)
        recorder = korvane.FileRecorder(options.record)
    return inputs, artifact, recorder


def _execute(
    options: argparse.Namespace,
    artifact: bytes,
    inputs: dict[str, Any],
    recorder: korvane.FileRecorder | None,
    sink: ShowingSink,
    progress: Progress | None,
    err: TextIO,
) -> dict[str, Any]:
    left_out: list[bundles.BundleReport] = []
    try:
        with stall_notice(err, stalled("korvane run", "discovering the bundles and preparing the run")):
            runtime, left_out = _discover(err, options.quiet)
            prepared = runtime.prepare(options.machine, artifact, **inputs)
    except LookupError as error:
        if error.args and isinstance(error.args[0], str) and options.machine in error.args[0]:
            raise CannotRun(_not_found(options.machine, error, left_out), error) from None
        raise CannotRun(_describe(error), error) from None
    except CannotRun:
        raise
    except BaseException as error:
        reraise_if_interrupted(error)
        raise CannotRun(_describe(error), error) from None

    try:
        # korvane's own execute, keeping what the bundle returned: a rejected
        # result is shown as it came back, and no module is patched for it.
        if progress is not None:
            with progress:
                returned, problem = results.execute(prepared, [sink], recorder)
        else:
            returned, problem = results.execute(prepared, [sink], recorder)
    except BaseException as error:
        reraise_if_interrupted(error)
        raise CannotRun(_describe(error), error) from None
    if problem is not None:
        raised = problem.error
        assert raised is not None  # the exception execute raises for it
        if problem.kind == "dumps":  # json.dumps's own exception: the value is not JSON at all
            raise CannotRun(_describe(raised), raised) from None
        raise CannotRun(f"korvane rejects the execution result: {_describe(raised)}", raised, returned, problem)
    assert isinstance(returned, dict)
    return returned


def _report(failure: CannotRun, options: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    if options.json:
        document: dict[str, Any] = {"error": str(failure)}
        if failure.error is not None:
            document["exception"] = type(failure.error).__name__
            document["notes"] = list(getattr(failure.error, "__notes__", ()))
        if failure.problem is not None:
            document["problem"] = failure.problem.as_json()
            document["rejected_result"] = failure.rejected
        dump_json(document, out)
    print(f"korvane run: {failure}", file=err)
    if failure.error is not None:
        for note in getattr(failure.error, "__notes__", ()):
            print(f"  {note}", file=err)
    if failure.problem is not None:
        problem = failure.problem
        korvanes = getattr(failure.error, "__notes__", ())
        if problem.path is not None and any(problem.path in str(note) for note in korvanes):
            problem = dataclasses.replace(problem, path=None)  # korvane's own note names the member
        for note in problem.notes():
            print("  " + note.replace("\n", "\n  "), file=err)
    if failure.error is not None and options.traceback:
        traceback.print_exception(failure.error, file=err)
    elif failure.error is not None and _from_bundle(failure.error) and not options.quiet:
        print("  (--traceback shows where the bundle raised it)", file=err)


_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _from_bundle(error: BaseException) -> bool:
    """Whether code outside korvane_tools (a bundle's) raised `error`."""
    return any(not frame.filename.startswith(_HERE) for frame in traceback.extract_tb(error.__traceback__))


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    if options.isolate or options.timeout is not None:
        return _run_in_child(options, out, err)
    if options.child_of is not None:
        children.arm(options.child_timeout, options.child_of)
        finished = KeptOutput(options.child_of)  # checked before the last word, as standard output is
    elif not faulthandler.is_enabled():
        faulthandler.enable()  # a crash in bundle code then shows where it happened
    try:
        status = _run_here(options, out, err)
    except KeyboardInterrupt as interrupt:
        if options.traceback:
            # Where the bundle was when Ctrl-C came: the interrupted frame's stack.
            where: BaseException = interrupt
            while where.__cause__ is not None:
                where = where.__cause__
            print("korvane run: interrupted; the bundle was here:", file=err)
            traceback.print_exception(where, file=err)
        raise
    if options.child_of is not None:
        try:
            finished.write(_FINISHED)
        except OSError:
            pass  # bundle code closed or reused it: the parent reports the end it sees
    return status


def _run_here(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        inputs, artifact, recorder = _read_inputs(options)
    except UsageError as error:
        print(f"korvane run: {error}", file=err)
        return Exit.USAGE

    progress = Progress(err) if is_terminal(err) and not options.quiet else None
    sink = ShowingSink(None if options.json or options.quiet else out, progress)
    try:
        result = _execute(options, artifact, inputs, recorder, sink, progress, err)
    except CannotRun as failure:
        _report(failure, options, out, err)
        return Exit.CANNOT_RUN

    if options.json:
        dump_json(result, out)
    elif not options.quiet:
        if sink.batches:
            print(file=out)
        render_result(result, sink, out)
    return exit_status(result, recorder is not None)


# Running the bundle in a child process (--isolate, --timeout) -----------------

# What an isolated run's child writes, last, into the parent's file when the
# command ends by itself; without it the bundle ended the child.
_FINISHED = b"\nkorvane run: finished\n"


def _child_arguments(options: argparse.Namespace) -> list[str]:
    """This command line again, for the child: without --isolate and --timeout."""
    args = ["--color", output.colour_mode, "run", options.machine, options.artifact]
    for name in _OPTIONS:
        if getattr(options, name) is not None:
            args += ["--" + name.replace("_", "-"), getattr(options, name)]
    if options.record is not None:
        args += ["--record", options.record]
    args += [f"--{flag}" for flag in ("json", "quiet", "traceback") if getattr(options, flag)]
    if options.timeout is not None:
        args += ["--child-timeout", repr(options.timeout)]
    return args


def _run_in_child(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """The same run in a child process that leads its own session; its
    output is the command's. How it ended, when the command in it did not
    end by itself, is this command's report."""
    out.flush()
    with tempfile.TemporaryFile() as dump:
        args = [sys.executable, "-m", "korvane_tools", *_child_arguments(options), "--child-of", str(dump.fileno())]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(entry for entry in sys.path if entry))
        try:
            stdout: int | None = out.fileno()
        except AttributeError, OSError, ValueError:
            stdout = None
        proc = children.spawn(args, dump, stdout=stdout, env=env)
        limit = None if options.timeout is None else options.timeout + children.GRACE
        stopped_here = False
        try:
            proc.wait(limit)
        except subprocess.TimeoutExpired:
            stopped_here = True
        except KeyboardInterrupt:
            # The child has no terminal of its own: it gets the interrupt from here.
            _interrupt(proc)
            raise
        finally:
            children.kill_group(proc)
            proc.wait()
        text = children.read(dump)
    if text.endswith(_FINISHED.decode()) or proc.returncode == Exit.OUTPUT_LOST:
        return proc.returncode  # the child has said why, when standard output was lost
    return _report_end(proc.returncode, text, stopped_here, options, out, err)


def _interrupt(proc: subprocess.Popen[bytes]) -> None:
    try:
        os.killpg(proc.pid, signal.SIGINT)
        proc.wait(5)  # what it says about where the bundle was; then it goes with the rest
    except ProcessLookupError, PermissionError, subprocess.TimeoutExpired:
        pass


def _report_end(
    returncode: int, dump: str, stopped_here: bool, options: argparse.Namespace, out: TextIO, err: TextIO
) -> int:
    frames = children.stack(dump)
    where = children.bundle_frame(frames)
    timed_out = stopped_here or (options.timeout is not None and children.timed_out(dump))
    if timed_out:
        message, status = f"the run took longer than {options.timeout:g} s and was stopped", Exit.TIMED_OUT
    elif returncode < 0:
        message, status = f"the bundle's process was {children.ending(returncode)}", Exit.BUNDLE_ENDED
    else:
        message = f"bundle code ended the process itself with exit status {returncode} (os._exit), with no result"
        status = Exit.BUNDLE_ENDED
    if options.json:
        document = {
            "error": message,
            "timed_out": timed_out,
            "exit_status": None if timed_out or returncode < 0 else returncode,
            "signal": None if timed_out else children.signal_name(returncode),
            "stack": [dataclasses.asdict(frame) for frame in frames],
        }
        dump_json(document, out)
    print(f"korvane run: {message}", file=err)
    if where is not None:
        print(f"  the bundle was at {where.text()}", file=err)
    elif not timed_out:
        print("  (`korvane check --isolate` names a bundle that does so on import or in its provider)", file=err)
    if frames and options.traceback:
        print("  stack, most recent call first:", file=err)
        for frame in frames:
            print(f"    {frame.text()}", file=err)
    return status
