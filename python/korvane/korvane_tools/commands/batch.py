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
from collections.abc import Callable, Iterator
from types import FrameType
from typing import TYPE_CHECKING, Any, TextIO

# The campaign engine (process pools, Dask) is imported when a batch runs,
# not whenever the command's parser is built.
if TYPE_CHECKING:
    from ..campaign import Attempt, AttemptsFile, Campaign, ResultsFile, RunInput
    from ..campaign.report import Report
from ..exits import Exit
from ..output import GREEN, RED, LiveLine, Painter, is_terminal

PROG = "korvane batch"
SHOWN_PROBLEMS = 20
CONNECT_SECONDS = 5.0
# Outcome words in the order the summary names them; others follow by name.
ORDER = ("completed", "failed", "interrupted_by_evidence_failure", "error", "timeout")
# Ids named in a line of text before "and N more".
SHOWN_IDS = 10
# When several statuses apply to a campaign, the first of these wins.
WORST_FIRST = (Exit.CANNOT_RUN, Exit.FAULT, Exit.RECORDING_FAILED, Exit.EVIDENCE_INCOMPLETE)

HELP = "run one machine over many inputs in parallel"
DESCRIPTION = """\
Run MACHINE once per line of INPUTS.jsonl: a JSON object a line with the
members id, artifact (a file path relative to INPUTS.jsonl), configuration,
input_schedule, execution_controls and observation; only artifact is
required, and a missing id is the line number.

The runs go to local worker processes, or to the workers of a Dask cluster
with --scheduler. Each finished run appends one whole line to
DIR/results.jsonl, with its outcome (the machine's status, error when it
raised, timeout) and the result's five statuses; a rerun with the same
--out skips the ids already there, once it has checked that they were run
by this machine, bundle code and korvane (DIR/manifest.json) on the inputs
they have now. A run whose worker process dies is tried again (--retries),
alone, and blamed only when it ends its worker alone; runs lost with a
worker are tried again and never blamed: those tries go to
DIR/attempts.jsonl. Ctrl-C (or SIGTERM, to the command or its process
group) stops submitting and waits --grace seconds for the runs going, then
names those it cut; a second Ctrl-C stops at once. Progress on a terminal;
the summary counts the runs by outcome, and the completed ones whose
evidence or recording fell short.

The runs are judged as korvane run judges one; when several statuses apply,
the worst wins: 3, then 1, then 5, then 4."""
EXITS = {
    Exit.OK: "every run completed, with complete evidence (and its recording, with --record)",
    Exit.FAULT: "a run did not complete (failed, interrupted, raised, timed out) or was not run",
    Exit.USAGE: "wrong use, or a bad line in INPUTS.jsonl (each named with its line number), or DIR holds "
    "results of another machine, other bundle code, another korvane or other inputs (see --accept-code, "
    "--rerun, --adopt)",
    Exit.CANNOT_RUN: "the machine cannot be run: not installed, a cluster without it or at another "
    "version, an unreachable scheduler, an engine that failed, a worker whose bundle code is not this "
    "process's; or results.jsonl cannot be written (a full disk)",
    Exit.EVIDENCE_INCOMPLETE: "a run completed with its evidence incomplete or failed",
    Exit.RECORDING_FAILED: "a run's recording failed (with --record: was not finalized or not published)",
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
        type=_seconds(0.0),
        default=10.0,
        help="how long a stop waits for the runs going (default 10)",
    )
    p.add_argument(
        "--timeout",
        metavar="SECONDS",
        type=_seconds(None),
        help="stop a run that takes longer (its worker is killed and replaced; with --scheduler each run "
        "goes in a child process of its own, killed at the limit); its outcome is timeout, which a rerun "
        "does not repeat (default: no limit)",
    )
    p.add_argument(
        "--retries",
        metavar="N",
        type=_count,
        default=2,
        help="how many times a run whose worker process died goes again, alone (default 2)",
    )
    p.add_argument("--json", action="store_true", help="print the summary as JSON")
    p.add_argument(
        "--accept-code",
        action="store_true",
        help="resume DIR although its results were made by other bundle code or another korvane (the "
        "manifest records it; each line's code_digest names the code that made it)",
    )
    p.add_argument(
        "--rerun",
        metavar="WHICH",
        action="append",
        choices=("changed", "timeout"),
        default=[],
        help="run again, replacing their lines: changed (runs whose inputs changed since their line was "
        "written; refused otherwise), timeout (runs that timed out); repeatable",
    )
    p.add_argument(
        "--adopt",
        action="store_true",
        help="take over a DIR whose results.jsonl an older korvane wrote, without a manifest",
    )


def _seconds(least: float | None) -> Any:
    """A parser of seconds: finite, and at least `least` (None: above 0)."""

    def seconds(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError("must be a finite number of seconds")
        if value < 0 or (least is None and value == 0):
            raise argparse.ArgumentTypeError("must be above 0" if least is None else f"must be at least {least:g}")
        return value

    return seconds


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be at least 0")
    return value


def _cluster_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--connect-timeout",
        metavar="SECONDS",
        type=_seconds(None),
        default=CONNECT_SECONDS,
        help=f"how long to wait for the scheduler to answer (default {CONNECT_SECONDS:g})",
    )
    p.add_argument("--tls-ca-file", metavar="PEM", help="the certificate authority of the cluster's TLS")
    p.add_argument("--tls-cert", metavar="PEM", help="this client's TLS certificate (and key, unless --tls-key)")
    p.add_argument("--tls-key", metavar="PEM", help="this client's TLS private key")
    p.add_argument("--verbose", action="store_true", help="let Dask's own log lines and warnings through")


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
        # Called from a signal handler too, perhaps while this very thread
        # holds the lock: never wait for it.
        held = self.lock.acquire(blocking=False)
        try:
            self.stream.write("\r\x1b[2K" + line + "\n")
            self.stream.flush()
        finally:
            if held:
                self.lock.release()


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


def _summary_text(
    counts: collections.Counter[str], unmet: collections.Counter[str], earlier: int, not_run: int, paint: Painter
) -> str:
    words = [word for word in ORDER if counts[word]] + sorted(set(counts) - set(ORDER))
    total = sum(counts.values()) + not_run
    parts = [paint(f"{counts[word]} {word}", GREEN if word == "completed" else RED) for word in words]
    if not_run:
        parts.append(paint(f"{not_run} not run", RED))
    text = f"{total} run{'s' if total != 1 else ''}" + (": " + ", ".join(parts) if parts else "")
    short = [f"{unmet[what]} {what}" for what in ("evidence incomplete", "recording failed") if unmet[what]]
    if short:
        text += "; " + paint(", ".join(short), RED)
    if earlier:
        text += f" ({earlier} finished earlier, skipped)"
    return text


def _some(ids: list[str]) -> str:
    """Ids for a line of text: the first few, then how many more."""
    text = ", ".join(ids[:SHOWN_IDS])
    return text + (f" and {len(ids) - SHOWN_IDS} more" if len(ids) > SHOWN_IDS else "")


def exit_status(failure: bool, failed: bool, unmet: collections.Counter[str]) -> Exit:
    """The campaign's exit status: the worst that applies, as `WORST_FIRST` orders them."""
    applies = {
        Exit.CANNOT_RUN: failure,
        Exit.FAULT: failed,
        Exit.RECORDING_FAILED: unmet["recording failed"] > 0,
        Exit.EVIDENCE_INCOMPLETE: unmet["evidence incomplete"] > 0,
    }
    return next((status for status in WORST_FIRST if applies[status]), Exit.OK)


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ..campaign import AttemptsFile, Campaign, CampaignError, InputError, ResultsFile, cluster, read_inputs
    from ..campaign.results import ResultsWriteError

    tls = _tls(options, err)
    if tls is False:
        return Exit.USAGE

    # Fixed now: a bundle imported later may change the working folder.
    options.out = os.path.abspath(options.out)
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
    except ResultsWriteError as error:
        print(f"{PROG}: {error.strerror}", file=err)
        return Exit.CANNOT_RUN
    except BlockingIOError:
        print(f"{PROG}: {options.out} is in use by another korvane batch", file=err)
        return Exit.USAGE
    except OSError as error:
        print(f"{PROG}: cannot use {options.out}: {error.strerror or error}", file=err)
        return Exit.USAGE
    try:
        attempts = AttemptsFile(os.path.join(options.out, "attempts.jsonl"))
    except OSError as error:
        results.close()
        print(f"{PROG}: cannot use {os.path.join(options.out, 'attempts.jsonl')}: {error.strerror or error}", file=err)
        return Exit.USAGE
    with results, attempts:
        if results.dropped_tail:
            print(
                f"{PROG}: the last line of results.jsonl was cut short ({results.dropped_tail} bytes); "
                "dropped, its run is done again",
                file=err,
            )
        status = _resume(runs, results, options, err)
        if status is not None:
            return status
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
                timeout=options.timeout,
                retries=options.retries,
                on_attempt=_keeper(attempts, err),
            )
        except (LookupError, CampaignError, OSError) as error:
            print(f"{PROG}: {error}", file=err)
            if client is not None:
                cluster.close(client)
            return Exit.CANNOT_RUN
        try:
            return _run(campaign, [item.id for item in runs], todo, results, attempts, options, out, err)
        finally:
            if client is not None:
                cluster.close(client)


def _keeper(attempts: AttemptsFile, err: TextIO) -> Callable[[Attempt], None]:
    """Writes each attempt; one that cannot be written (a full disk) is named
    once on `err` and the campaign goes on: no result depends on it."""
    failed = False

    def keep(attempt: Attempt) -> None:
        nonlocal failed
        try:
            attempts.write(attempt)
        except OSError as error:
            if not failed:
                print(f"{PROG}: cannot write {attempts.path}: {error.strerror or error}; going on without it", file=err)
            failed = True

    return keep


def _resume(runs: list[RunInput], results: ResultsFile, options: argparse.Namespace, err: TextIO) -> int | None:
    """Checks that DIR may take this campaign's runs, and takes out of
    results.jsonl the lines to be run again. The exit status when it may not."""
    from ..campaign import CampaignError
    from ..campaign.inputs import artifact_digest, file_digest, input_digest
    from ..campaign.manifest import IdentityRefused, local_identity, settle_identity, write_manifest
    from ..campaign.results import SUPERSEDED

    for problem in results.bad_lines:
        print(f"{PROG}: {results.path}: {problem}; set aside in {SUPERSEDED}", file=err)
    if results.bad_count > len(results.bad_lines):
        print(f"{PROG}: ... and {results.bad_count - len(results.bad_lines)} more such lines", file=err)
    if results.bad_count:
        print(f"{PROG}: the runs that no other line names are done again", file=err)
    try:
        here = local_identity(options.machine)
        manifest = settle_identity(
            options.out,
            here,
            has_results=results.read_lines > 0,
            accept_code=options.accept_code,
            adopt=options.adopt,
        )
    except (LookupError, CampaignError) as error:
        print(f"{PROG}: {error}", file=err)
        return Exit.CANNOT_RUN
    except IdentityRefused as error:
        print(f"{PROG}: {error}", file=err)
        print(f"{PROG}: {error.remedy}", file=err)
        return Exit.USAGE
    others = len(results.finished) - sum(item.id in results.finished for item in runs)
    if others:
        print(
            f"{PROG}: note: {results.path} also holds {others} run{'s' if others != 1 else ''} whose id is not "
            f"in {options.inputs} (another inputs file?); they are left as they are",
            file=err,
        )
    rerun: set[str] = set()
    changed: list[str] = []
    artifacts: dict[str, str] = {}  # path -> digest: each file read once
    for item in runs:
        if item.id not in results.finished:
            continue
        if "timeout" in options.rerun and results.finished[item.id] == "timeout":
            rerun.add(item.id)
            continue
        earlier, _ = results.digests(item.id)
        if earlier is None:  # a line from before digests: its input is unknown
            continue
        try:
            if isinstance(item.artifact, bytes):
                artifact = artifact_digest(item.artifact)
            else:
                artifact = artifacts.get(item.artifact) or artifacts.setdefault(
                    item.artifact, file_digest(item.artifact)
                )
        except OSError:
            artifact = ""
        if input_digest(item, artifact) != earlier:
            changed.append(item.id)
    if changed and "changed" not in options.rerun:
        shown = ", ".join(json.dumps(run_id) for run_id in changed[:10])
        more = f" and {len(changed) - 10} more" if len(changed) > 10 else ""
        print(
            f"{PROG}: {options.out}: the inputs of {len(changed)} finished run{'s' if len(changed) != 1 else ''} "
            f"changed since {'their lines were' if len(changed) != 1 else 'its line was'} written "
            f"(artifact bytes or values): {shown}{more}",
            file=err,
        )
        print(
            f"{PROG}: --rerun changed runs them again (their earlier lines go to results.superseded.jsonl); "
            "or give another --out",
            file=err,
        )
        return Exit.USAGE
    try:
        if manifest is not None:
            write_manifest(options.out, manifest)
    except OSError as error:
        print(f"{PROG}: cannot write the manifest of {options.out}: {error.strerror or error}", file=err)
        return Exit.CANNOT_RUN
    try:
        results.rewrite(rerun.union(changed))
    except OSError as error:
        print(f"{PROG}: {error.strerror or error}", file=err)
        return Exit.CANNOT_RUN
    return None


def _run(
    campaign: Campaign,
    ids: list[str],
    todo: list[Any],
    results: ResultsFile,
    attempts: AttemptsFile,
    options: argparse.Namespace,
    out: TextIO,
    err: TextIO,
) -> int:
    from ..campaign import CampaignError, failed_outcome
    from ..campaign.report import text_lines
    from ..campaign.results import ResultsWriteError

    failure: str | None = None
    stopped = killed = False
    progress = Progress(err, len(todo)) if is_terminal(err) else None

    def on_signal(signum: int, frame: FrameType | None) -> None:
        nonlocal stopped
        if stopped:
            raise KeyboardInterrupt
        stopped = True
        campaign.request_stop()
        going = campaign.going()
        line = f"{PROG}: stopping; waiting up to {options.grace:g} s for the runs going"
        line += f" ({_some(going)})" if going else ""
        line += " (Ctrl-C again: stop now)"
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
                    if not results.write(outcome):
                        continue
                    if options.record and outcome.unmet(recording=True):
                        results.unmet[outcome.id] = outcome.unmet(recording=True)
                    if progress is not None:
                        with progress.lock:
                            progress.done += 1
                            progress.failed += failed_outcome(outcome)
            except CampaignError as error:
                failure = str(error)
            except ResultsWriteError as error:  # results.jsonl cannot grow: stop, every line written is whole
                failure = error.strerror
            except KeyboardInterrupt:
                killed = True
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)

    # The campaign as a whole: this session's outcomes and the earlier ones.
    counts = collections.Counter(results.finished[run_id] for run_id in ids if run_id in results.finished)
    unmet = collections.Counter(
        f"{what} {'incomplete' if what == 'evidence' else 'failed'}"
        for run_id in ids
        for what in results.unmet.get(run_id, ())
    )
    not_run = len(ids) - sum(counts.values())
    earlier = len(ids) - len(todo)
    still_going = [run_id for run_id in campaign.still_going if run_id not in results.finished]
    if failure is not None:
        print(f"{PROG}: {failure}", file=err)
    if still_going:
        print(
            f"{PROG}: {len(still_going)} run{'s' if len(still_going) != 1 else ''} still going at the stop "
            f"(not written; a rerun does them): {_some(still_going)}",
            file=err,
        )
    if attempts.written:
        print(
            f"{PROG}: {attempts.written} tries ended on infrastructure (a worker's death, another run's time "
            f"limit, a stop), not on the run: see {attempts.path}",
            file=err,
        )
    report = _report(results.path, options.out, err)
    if options.json:
        json.dump(
            {
                "runs": len(ids),
                "outcomes": dict(counts),
                "evidence_incomplete": unmet["evidence incomplete"],
                "recording_failed": unmet["recording failed"],
                "not_run": not_run,
                "finished_earlier": earlier,
                "stopped": stopped,
                "still_going": still_going,
                "failure": failure,
                "results": results.path,
                "attempts": attempts.written,
                "report": None if report is None else report.as_json(),
            },
            out,
            indent=2,
        )
        out.write("\n")
    else:
        print(_summary_text(counts, unmet, earlier, not_run, Painter(out)), file=out)
        for line in [] if report is None else text_lines(report, Painter(out), counts=False):
            print(line, file=out)
    if stopped or killed:
        return Exit.INTERRUPTED
    failed = not_run > 0 or counts["completed"] != sum(counts.values())
    return exit_status(failure is not None, failed, unmet)
