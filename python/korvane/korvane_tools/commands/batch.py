"""`korvane batch`: one machine over every run of a JSON Lines file, on a
local process pool or a Dask cluster, each outcome a line of DIR/results.jsonl."""

from __future__ import annotations

import argparse
import collections
import contextlib
import ipaddress
import json
import math
import os
import signal
import time
import urllib.parse
from collections.abc import Iterator
from types import FrameType
from typing import TYPE_CHECKING, Any, TextIO

# The campaign engine (process pools, Dask) is imported when a batch runs,
# not whenever the command's parser is built.
if TYPE_CHECKING:
    from ..campaign import Campaign, ResultsFile
    from ..campaign.report import Report
from ..exits import Exit
from ..output import GREEN, RED, LiveLine, Painter, is_terminal

PROG = "korvane batch"
SHOWN_PROBLEMS = 20
CONNECT_SECONDS = 5.0
# Outcome words in the order the summary names them; others follow by name.
ORDER = ("completed", "failed", "interrupted_by_evidence_failure", "error")

HELP = "run one machine over many inputs in parallel"
DESCRIPTION = """\
Run MACHINE once per line of INPUTS.jsonl: a JSON object a line with the
members id, artifact (a file path relative to INPUTS.jsonl), configuration,
input_schedule, execution_controls and observation; only artifact is
required, and a missing id is the line number.

The runs go to local worker processes, or to the workers of a Dask cluster
with --scheduler. Each finished run appends one whole line to
DIR/results.jsonl; a rerun with the same --out skips the ids already there.
Ctrl-C (or SIGTERM) stops submitting and waits --grace seconds for the runs
going; a second Ctrl-C stops at once. Progress on a terminal; the summary
counts the runs by outcome."""
EXITS = {
    Exit.OK: "every run completed",
    Exit.FAULT: "a run did not complete (failed, interrupted, raised) or was not run",
    Exit.USAGE: "wrong use, or a bad line in INPUTS.jsonl (each named with its line number)",
    Exit.CANNOT_RUN: "the machine cannot be run: not installed, a cluster without it or at another "
    "version, an unreachable scheduler, an engine that failed",
    Exit.INTERRUPTED: "stopped by Ctrl-C or SIGTERM",
}


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("machine", metavar="MACHINE", help="the machine id")
    p.add_argument("inputs", metavar="INPUTS.jsonl", help="the runs, one JSON object a line")
    p.add_argument("--out", metavar="DIR", required=True, help="folder for results.jsonl (and recordings/)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--jobs", metavar="N", type=_positive, help="local worker processes (default: one per core)")
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster of this scheduler (tcp://HOST:PORT or tls://HOST:PORT; "
        "TLS settings come from the --tls-* options or Dask's configuration; needs korvane[dask])",
    )
    _cluster_arguments(p)
    p.add_argument(
        "--chunk",
        metavar="N",
        type=_positive,
        default=1,
        help="runs sent to a worker together, which spreads the engine's cost of a task over "
        "them (default 1; try 10 for runs of a few ms on a cluster)",
    )
    p.add_argument("--record", action="store_true", help="record each run to DIR/recordings/ID.jsonl")
    p.add_argument(
        "--grace",
        metavar="SECONDS",
        type=float,
        default=10.0,
        help="how long a stop waits for the runs going (default 10)",
    )
    p.add_argument("--json", action="store_true", help="print the summary as JSON")


def _cluster_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--connect-timeout",
        metavar="SECONDS",
        type=_seconds,
        default=CONNECT_SECONDS,
        help=f"how long to wait for the scheduler to answer (default {CONNECT_SECONDS:g})",
    )
    p.add_argument("--tls-ca-file", metavar="PEM", help="the certificate authority of the cluster's TLS")
    p.add_argument("--tls-cert", metavar="PEM", help="this client's TLS certificate (and key, unless --tls-key)")
    p.add_argument("--tls-key", metavar="PEM", help="this client's TLS private key")
    p.add_argument("--verbose", action="store_true", help="let Dask's own log lines and warnings through")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds above 0, not {text}")
    return value


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


class Progress(LiveLine):
    """Runs done, rate and time left, redrawn in place on a terminal."""

    INTERVAL = 0.25

    def __init__(self, stream: TextIO, total: int) -> None:
        super().__init__(stream)
        self.total = total
        self.done = self.failed = 0

    def text(self) -> str:
        from ..campaign import rate_text

        text = rate_text(self.done, self.total, time.monotonic() - self.started)
        if self.failed:
            text += f"  ({self.failed} not completed)"
        return text

    def say(self, line: str) -> None:
        with self.lock:
            self.stream.write("\r\x1b[2K" + line + "\n")
            self.stream.flush()


def _plain_tcp_elsewhere(address: str) -> bool:
    """True for a scheduler reached without TLS on another machine."""
    parts = urllib.parse.urlsplit(address if "://" in address else "tcp://" + address)
    if parts.scheme != "tcp":
        return False
    host = parts.hostname or ""
    if host == "localhost":
        return False
    try:
        return not ipaddress.ip_address(host).is_loopback
    except ValueError:
        return True


def _tls(options: argparse.Namespace, err: TextIO) -> Any:
    """The client's TLS settings from the --tls-* options: None without them,
    False (said on `err`) when they cannot be used."""
    from ..campaign import cluster

    given = [options.tls_ca_file, options.tls_cert, options.tls_key]
    if all(path is None for path in given):
        return None
    if options.scheduler is None or not options.scheduler.startswith("tls://"):
        print(f"{PROG}: the --tls-* options need --scheduler tls://HOST:PORT", file=err)
        return False
    try:
        return cluster.security(*given)
    except ValueError as error:
        print(f"{PROG}: {error}", file=err)
        return False


def _report(path: str, folder: str, err: TextIO) -> Report | None:
    """What the results file says as a whole (korvane report), or None when
    it cannot be read back."""
    from ..campaign.report import read_report

    try:
        return read_report(path, os.path.join(folder, "attempts.jsonl"))
    except OSError as error:
        print(f"{PROG}: cannot read {path} back for the summary: {error.strerror or error}", file=err)
        return None


def _summary_text(counts: collections.Counter[str], earlier: int, not_run: int, paint: Painter) -> str:
    words = [word for word in ORDER if counts[word]] + sorted(set(counts) - set(ORDER))
    total = sum(counts.values()) + not_run
    parts = [paint(f"{counts[word]} {word}", GREEN if word == "completed" else RED) for word in words]
    if not_run:
        parts.append(paint(f"{not_run} not run", RED))
    text = f"{total} run{'s' if total != 1 else ''}" + (": " + ", ".join(parts) if parts else "")
    if earlier:
        text += f" ({earlier} finished earlier, skipped)"
    return text


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ..campaign import Campaign, CampaignError, InputError, ResultsFile, cluster, read_inputs

    tls = _tls(options, err)
    if tls is False:
        return Exit.USAGE
    try:
        runs = read_inputs(options.inputs)
    except InputError as error:
        for problem in error.problems[:SHOWN_PROBLEMS]:
            print(f"{PROG}: {error.path}: {problem}", file=err)
        if len(error.problems) > SHOWN_PROBLEMS:
            print(f"{PROG}: ... and {len(error.problems) - SHOWN_PROBLEMS} more", file=err)
        return Exit.USAGE
    try:
        os.makedirs(options.out, exist_ok=True)
        results = ResultsFile(os.path.join(options.out, "results.jsonl"))
    except BlockingIOError:
        print(f"{PROG}: {options.out} is in use by another korvane batch", file=err)
        return Exit.USAGE
    except OSError as error:
        print(f"{PROG}: cannot use {options.out}: {error.strerror or error}", file=err)
        return Exit.USAGE
    with results:
        if results.dropped_tail:
            print(
                f"{PROG}: the last line of results.jsonl was cut short ({results.dropped_tail} bytes); "
                "dropped, its run is done again",
                file=err,
            )
        todo = [item for item in runs if item.id not in results.finished]

        client: Any = None
        try:
            if options.scheduler is not None:
                if _plain_tcp_elsewhere(options.scheduler):
                    print(
                        f"{PROG}: {options.scheduler} is not TLS: runs and results travel unencrypted, and "
                        "whoever reaches the scheduler runs code on its workers",
                        file=err,
                    )
                client = cluster.connect(
                    options.scheduler, timeout=options.connect_timeout, tls=tls, verbose=options.verbose
                )
            campaign = Campaign(
                options.machine,
                client,
                jobs=options.jobs,
                chunk=options.chunk,
                recordings=os.path.join(options.out, "recordings") if options.record else None,
            )
        except (LookupError, CampaignError, OSError) as error:
            print(f"{PROG}: {error}", file=err)
            if client is not None:
                cluster.close(client)
            return Exit.CANNOT_RUN
        try:
            return _run(campaign, [item.id for item in runs], todo, results, options, out, err)
        finally:
            if client is not None:
                cluster.close(client)


def _run(
    campaign: Campaign,
    ids: list[str],
    todo: list[Any],
    results: ResultsFile,
    options: argparse.Namespace,
    out: TextIO,
    err: TextIO,
) -> int:
    from ..campaign import CampaignError
    from ..campaign.report import text_lines

    failure: str | None = None
    stopped = killed = False
    progress = Progress(err, len(todo)) if is_terminal(err) else None

    def on_signal(signum: int, frame: FrameType | None) -> None:
        nonlocal stopped
        if stopped:
            raise KeyboardInterrupt
        stopped = True
        campaign.request_stop()
        line = f"{PROG}: stopping; waiting up to {options.grace:g} s for the runs going (Ctrl-C again: stop now)"
        if progress is not None:
            progress.say(line)
        else:
            print(line, file=err, flush=True)

    def outcomes() -> Iterator[Any]:
        with campaign:
            yield from campaign.run(todo, grace=options.grace)

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        with progress if progress is not None else contextlib.nullcontext():
            try:
                for outcome in outcomes():
                    if results.write(outcome) and progress is not None:
                        with progress.lock:
                            progress.done += 1
                            progress.failed += outcome.status != "completed"
            except CampaignError as error:
                failure = str(error)
            except KeyboardInterrupt:
                killed = True
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)

    # The campaign as a whole: this session's outcomes and the earlier ones.
    counts = collections.Counter(results.finished[run_id] for run_id in ids if run_id in results.finished)
    not_run = len(ids) - sum(counts.values())
    earlier = len(ids) - len(todo)
    if failure is not None:
        print(f"{PROG}: {failure}", file=err)
    report = _report(results.path, options.out, err)
    if options.json:
        json.dump(
            {
                "runs": len(ids),
                "outcomes": dict(counts),
                "not_run": not_run,
                "finished_earlier": earlier,
                "stopped": stopped,
                "failure": failure,
                "results": results.path,
                "report": None if report is None else report.as_json(),
            },
            out,
            indent=2,
        )
        out.write("\n")
    else:
        print(_summary_text(counts, earlier, not_run, Painter(out)), file=out)
        for line in [] if report is None else text_lines(report, Painter(out), counts=False):
            print(line, file=out)
    if stopped or killed:
        return Exit.INTERRUPTED
    if failure is not None:
        return Exit.CANNOT_RUN
    return Exit.OK if not_run == 0 and counts["completed"] == sum(counts.values()) else Exit.FAULT
