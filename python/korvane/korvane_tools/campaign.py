"""Campaigns: one machine run over many inputs, in parallel, on an existing engine.

The runs go to a `concurrent.futures` executor: a process pool of this
machine's cores by default, or the executor of a Dask `distributed.Client`.
Each worker process discovers the installed bundles once and keeps its
`korvane.Runtime` for every run it is given. What travels to a worker is
plain data (a `Task`: the machine id, the artifact's bytes, the four JSON
values and, when recording, the path of the recording file); the worker
builds its own `korvane.FileRecorder` from that path. What comes back is an
`Outcome`: the run's validated result as plain JSON values, or the type and
message of what it raised.

    campaign = Campaign("stack", jobs=2)
    with campaign:
        for outcome in campaign.run(read_inputs("runs.jsonl")):
            print(outcome.json_line())

A run that raises, or that ends its worker process, is one failed outcome;
the campaign goes on. Only a failure of the engine itself (a broken executor
that korvane did not create, a worker without the machine's bundle) ends it,
with `CampaignError`, after the runs still going have come back.
"""

from __future__ import annotations

import collections
import fcntl
import importlib
import importlib.metadata
import itertools
import json
import math
import os
import signal
import socket
import stat
import threading
import time
from collections.abc import Iterable, Iterator
from concurrent.futures import (
    FIRST_COMPLETED,
    BrokenExecutor,
    CancelledError,
    Executor,
    Future,
    ProcessPoolExecutor,
    ThreadPoolExecutor,
    wait,
)
from dataclasses import dataclass
from typing import Any

import korvane

INPUT_MEMBERS = ("id", "artifact", "configuration", "input_schedule", "execution_controls", "observation")
# Ids name recording files (ID.jsonl), so they stay usable as file names.
MAX_ID_BYTES = 200
# How long the pool's queue runs ahead of its workers, per worker: enough that
# a worker never waits for the client, few enough that a stop cancels little.
QUEUE_PER_WORKER = 2
# A Dask task goes client, scheduler, worker and back: more of them out per
# worker thread keep its thread busy while the others travel.
QUEUE_PER_DASK_THREAD = 8
POLL_SECONDS = 0.2
WORKER_JOIN_SECONDS = 30.0


class InputError(ValueError):
    """The inputs file cannot be used; `problems` holds one text per fault,
    each starting with its line number."""

    def __init__(self, path: str, problems: list[str]) -> None:
        super().__init__(f"{path}: " + "; ".join(problems))
        self.path = path
        self.problems = problems


class CampaignError(RuntimeError):
    """The engine failed, or the machine cannot be run: no run that was not
    reported as an outcome has run to completion."""


class WorkerUnfit(RuntimeError):
    """Raised in a worker that cannot run the machine as the client would
    (discovery fails there, or its bundle differs): a fault of the worker's
    installation, not of the run, so the run is not reported as failed."""


@dataclass(frozen=True, slots=True)
class RunInput:
    """One run of a campaign. `artifact` is the artifact's bytes, or the path
    of a file holding them (read when the run is handed to a worker)."""

    id: str
    artifact: bytes | str
    configuration: Any = None
    input_schedule: Any = None
    execution_controls: Any = None
    observation: Any = None


@dataclass(frozen=True, slots=True)
class Task:
    """What travels to a worker for one run."""

    machine: str
    id: str
    artifact: bytes
    configuration: Any
    input_schedule: Any
    execution_controls: Any
    observation: Any
    recording: str | None
    bundle: tuple[str, str] | None  # (distribution, bundle_version) the client has


@dataclass(frozen=True, slots=True)
class Outcome:
    """What comes back from one run: exactly one of `result` (the validated
    execution result, as plain JSON values) and `error` ({"type", "message"})."""

    id: str
    run_id: str | None
    result: dict[str, Any] | None
    error: dict[str, str] | None
    seconds: float
    worker: str | None

    @property
    def status(self) -> str:
        """The machine-execution status word of the result, or "error"."""
        if self.result is None:
            return "error"
        return str(self.result["machine_execution"]["status"])

    def json_line(self, ascii_only: bool = False) -> str:
        """The outcome as one line of results.jsonl, newline included."""
        line: dict[str, Any] = {"id": self.id, "run_id": self.run_id}
        if self.result is not None:
            line["result"] = self.result
        else:
            line["error"] = self.error
        line["seconds"] = round(self.seconds, 6)
        line["worker"] = self.worker
        return json.dumps(line, ensure_ascii=ascii_only) + "\n"


# inputs ----------------------------------------------------------------------


def _id_problem(run_id: object) -> str | None:
    if not isinstance(run_id, str):
        return "id must be a string"
    if run_id in ("", ".", ".."):
        return f"id {json.dumps(run_id)} cannot name a file"
    if "/" in run_id or "\0" in run_id:
        return f"id {json.dumps(run_id)} holds a '/' or a NUL character"
    try:
        size = len(run_id.encode("utf-8"))
    except UnicodeEncodeError:
        return "id holds a lone surrogate, which no file name can"
    if size > MAX_ID_BYTES:
        return f"id is longer than {MAX_ID_BYTES} bytes"
    return None


def _artifact_problem(path: str) -> str | None:
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        return f"artifact {path}: {error.strerror}"
    if not stat.S_ISREG(mode):
        return f"artifact {path}: not a regular file"
    if not os.access(path, os.R_OK):
        return f"artifact {path}: not readable"
    return None


def read_inputs(path: str | os.PathLike[str]) -> list[RunInput]:
    """The runs of a JSON Lines inputs file, one JSON object a line (blank
    lines are skipped). Every fault is collected before InputError is raised:
    a line that is not a JSON object, an unknown member, an id that is not a
    string usable as a file name or that repeats, an artifact file that does
    not exist or cannot be read. A missing id is the line number; artifact
    paths are relative to the inputs file's folder."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as stream:
            raw_lines = stream.read().split(b"\n")
    except OSError as error:
        raise InputError(path, [f"cannot read: {error.strerror}"]) from None
    folder = os.path.dirname(os.path.abspath(path))
    problems: list[str] = []
    runs: list[RunInput] = []
    seen: dict[str, int] = {}
    for number, raw in enumerate(raw_lines, start=1):
        if not raw.strip():
            continue
        faults: list[str] = []
        try:
            item = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            problems.append(f"line {number}: not JSON: {error}")
            continue
        if not isinstance(item, dict):
            problems.append(f"line {number}: not a JSON object")
            continue
        faults += [f"unknown member {json.dumps(key)}" for key in item if key not in INPUT_MEMBERS]
        run_id = item.get("id", str(number))
        id_fault = _id_problem(run_id)
        if id_fault is not None:
            faults.append(id_fault)
        elif run_id in seen:
            faults.append(f"id {json.dumps(run_id)} is also on line {seen[run_id]}")
        else:
            seen[run_id] = number
        artifact = item.get("artifact")
        if not isinstance(artifact, str) or not artifact:
            faults.append("artifact must be a non-empty path")
            artifact = ""
        else:
            artifact = os.path.join(folder, artifact)
            artifact_fault = _artifact_problem(artifact)
            if artifact_fault is not None:
                faults.append(artifact_fault)
        if faults:
            problems += [f"line {number}: {fault}" for fault in faults]
            continue
        runs.append(RunInput(run_id, artifact, *(item.get(name) for name in INPUT_MEMBERS[2:])))
    if problems:
        raise InputError(path, problems)
    return runs


# the worker side ---------------------------------------------------------------

WORKER = f"{socket.gethostname()}:{os.getpid()}"

_runtime_lock = threading.Lock()
_runtime: tuple[korvane.Runtime, dict[str, dict[str, Any]]] | None = None
_made_folders: set[str] = set()


def _worker_runtime() -> tuple[korvane.Runtime, dict[str, dict[str, Any]]]:
    """This process's Runtime and its bundles by machine id, discovered on
    first use and kept for every later run."""
    global _runtime, WORKER
    with _runtime_lock:
        if _runtime is None:
            # A forked or spawned worker is another process from the one that
            # imported this module first.
            WORKER = f"{socket.gethostname()}:{os.getpid()}"
            try:
                runtime = korvane.Runtime.discover()
            except Exception as error:
                raise WorkerUnfit(f"discovery fails in {WORKER}: {type(error).__name__}: {error}") from None
            _runtime = runtime, {record["machine_id"]: record for record in json.loads(runtime.bundles())}
        return _runtime


def _bundle_of(record: dict[str, Any] | None) -> tuple[str, str] | None:
    return None if record is None else (record["distribution"], record["bundle_version"])


def describe_bundle(bundle: tuple[str, str] | None) -> str:
    return "no such machine" if bundle is None else f"{bundle[0]} {bundle[1]}"


def _korvane_version() -> str:
    try:
        return importlib.metadata.version("korvane")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def worker_installation(machine: str) -> dict[str, Any]:
    """What this process would run for `machine`: korvane's version and the
    bundle's (distribution, bundle_version), or the reason it cannot."""
    try:
        _, machines = _worker_runtime()
    except WorkerUnfit as error:
        return {"korvane": _korvane_version(), "bundle": None, "problem": str(error)}
    return {"korvane": _korvane_version(), "bundle": _bundle_of(machines.get(machine)), "problem": None}


def _recorder(path: str) -> korvane.FileRecorder:
    folder = os.path.dirname(path)
    if folder not in _made_folders:
        os.makedirs(folder, exist_ok=True)
        _made_folders.add(folder)
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return korvane.FileRecorder(path)
    if not stat.S_ISREG(mode):
        # The bundle replaces whatever is at the path; a FIFO or a device
        # node put there is left alone.
        raise FileExistsError(f"{path} exists and is not a regular file")
    return korvane.FileRecorder(path)


def execute_tasks(tasks: list[Task]) -> list[Outcome]:
    """Runs a chunk of tasks in this process, one after the other: the
    function the executor calls."""
    return [execute_task(task) for task in tasks]


def execute_task(task: Task) -> Outcome:
    """Runs one task in this process."""
    runtime, machines = _worker_runtime()
    if task.bundle is not None and _bundle_of(machines.get(task.machine)) != task.bundle:
        raise WorkerUnfit(
            f"worker {WORKER} has {describe_bundle(_bundle_of(machines.get(task.machine)))} for machine "
            f'"{task.machine}", the client {describe_bundle(task.bundle)}'
        )
    started = time.perf_counter()
    try:
        recorder = None if task.recording is None else _recorder(task.recording)
        prepared = runtime.prepare(
            task.machine,
            task.artifact,
            task.configuration,
            task.input_schedule,
            task.execution_controls,
            task.observation,
        )
        result = prepared.execute(None, recorder)
        # korvane has checked that json.dumps takes the result; the round trip
        # leaves plain values that travel back whatever types the bundle used.
        plain = json.loads(json.dumps(result))
    except (Exception, SystemExit) as error:
        return Outcome(
            task.id,
            None,
            None,
            {"type": type(error).__name__, "message": str(error)},
            time.perf_counter() - started,
            WORKER,
        )
    run_id = plain.get("run_id")
    return Outcome(
        task.id, run_id if isinstance(run_id, str) else None, plain, None, time.perf_counter() - started, WORKER
    )


def _pool_worker_start() -> None:
    # Ctrl-C on a terminal reaches the whole process group; the client alone
    # decides what stops, so a worker finishes the run it has.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# the client side ----------------------------------------------------------------


def local_bundle(machine: str) -> tuple[str, str]:
    """The (distribution, bundle_version) of `machine` in this process's
    discovery; LookupError naming the installed machines when it is absent."""
    try:
        _, machines = _worker_runtime()
    except WorkerUnfit as error:
        raise CampaignError(str(error)) from None
    bundle = _bundle_of(machines.get(machine))
    if bundle is None:
        known = ", ".join(f'"{name}"' for name in machines) or "none"
        raise LookupError(f'no machine "{machine}" among the installed bundles (installed: {known})')
    return bundle


def check_cluster(client: Any, machine: str, bundle: tuple[str, str]) -> int:
    """Waits for a first worker, then checks that every worker has korvane and
    the machine's bundle at the versions this client has. Returns the number of
    worker threads; CampaignError names the workers that differ."""
    try:
        client.wait_for_workers(1, timeout=WORKER_JOIN_SECONDS)
    except TimeoutError:
        raise CampaignError(f"no worker joined the scheduler within {WORKER_JOIN_SECONDS:g} s") from None
    here = {"korvane": _korvane_version(), "bundle": bundle}
    # A worker that cannot even answer (korvane missing there) answers with
    # its exception.
    replies: dict[str, Any] = client.run(worker_installation, machine, on_error="return")
    differing = []
    for address, reply in sorted(replies.items()):
        if isinstance(reply, BaseException):
            differing.append(f"{address}: {type(reply).__name__}: {reply}")
            continue
        found = reply["bundle"] if reply["bundle"] is None else tuple(reply["bundle"])
        if reply["problem"] is not None:
            differing.append(f"{address}: {reply['problem']}")
        elif found != bundle or reply["korvane"] != here["korvane"]:
            differing.append(f"{address}: korvane {reply['korvane']}, {describe_bundle(found)}")
    if differing:
        raise CampaignError(
            f"{len(differing)} of {len(replies)} workers differ from this client (korvane {here['korvane']}, "
            f'{describe_bundle(bundle)} for machine "{machine}"): ' + "; ".join(differing)
        )
    return sum(client.nthreads().values()) or 1


class Campaign:
    """Runs one machine over many inputs on an executor.

    `engine` is None for a process pool of `jobs` workers (default: the
    number of cores) that the campaign owns, a `distributed.Client` (checked
    first: every worker must have the machine's bundle at this process's
    version), or any `concurrent.futures.Executor` whose workers can import
    korvane_tools. `recordings` is a folder: each run records to ID.jsonl
    there (on a cluster, a path the workers write to). `chunk` runs travel
    together as one task of the executor, which spreads the engine's cost of
    a task over them; `window` is how many tasks may be out at once.

    The machine must be installed in this process too: LookupError otherwise,
    before any run.
    """

    def __init__(
        self,
        machine: str,
        engine: Executor | Any = None,
        *,
        jobs: int | None = None,
        recordings: str | os.PathLike[str] | None = None,
        chunk: int = 1,
        window: int | None = None,
    ) -> None:
        if chunk < 1 or (jobs is not None and jobs < 1):
            raise ValueError("chunk and jobs must be at least 1")
        self.machine = machine
        self.bundle = local_bundle(machine)
        self.recordings = None if recordings is None else os.path.abspath(recordings)
        self.chunk = chunk
        self._owns_pool = engine is None
        self._jobs = jobs or os.cpu_count() or 1
        self._executor: Executor
        if engine is None:
            self._executor = self._new_pool()
            window = window or QUEUE_PER_WORKER * self._jobs
        elif hasattr(engine, "get_executor"):  # a distributed.Client
            threads = check_cluster(engine, machine, self.bundle)
            self._executor = engine.get_executor(pure=False)
            window = window or QUEUE_PER_DASK_THREAD * threads
        else:
            self._executor = engine
            window = window or QUEUE_PER_WORKER * (getattr(engine, "_max_workers", None) or self._jobs)
        self.window = window
        # Only these executors mark a future as running when a worker takes
        # it; a stop waits for those and cancels the rest. For any other
        # executor every run in flight may be running and gets the grace.
        self._knows_running = isinstance(self._executor, (ProcessPoolExecutor, ThreadPoolExecutor))
        self._flight: dict[Future[list[Outcome]], list[Task]] = {}
        # Runs that were out when a worker died go alone, one at a time, so
        # that the one that ends its worker is found and the others finish.
        self._suspects: collections.deque[Task] = collections.deque()
        self._suspect_ids: set[str] = set()
        self._unsent: collections.deque[list[Task]] = collections.deque()
        self._closed = False
        self._stop_requested = False
        self._failure: str | None = None
        self._artifacts: dict[str, bytes] = {}

    def _new_pool(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(self._jobs, initializer=_pool_worker_start)

    def __enter__(self) -> Campaign:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close(kill=bool(self._flight))

    def close(self, kill: bool = False) -> None:
        """Shuts down the pool the campaign owns; with `kill`, ends its workers
        without waiting for the runs they have."""
        for future in self._flight:
            future.cancel()
        self._flight.clear()
        if self._owns_pool and not self._closed:
            self._closed = True
            assert isinstance(self._executor, ProcessPoolExecutor)
            if kill:
                self._executor.terminate_workers()
            else:
                self._executor.shutdown(wait=True)

    def request_stop(self) -> None:
        """Asks `run` to stop: nothing more is submitted, what has not started
        is cancelled, and what is running gets the grace time. Safe to call
        from a signal handler."""
        self._stop_requested = True

    def _artifact(self, artifact: bytes | str) -> bytes:
        if isinstance(artifact, bytes):
            return artifact
        data = self._artifacts.get(artifact)
        if data is None:
            with open(artifact, "rb") as stream:
                data = stream.read()
            if len(self._artifacts) >= 32:
                self._artifacts.clear()
            self._artifacts[artifact] = data
        return data

    def _task(self, item: RunInput) -> Task:
        recording = None if self.recordings is None else os.path.join(self.recordings, f"{item.id}.jsonl")
        return Task(
            self.machine,
            item.id,
            self._artifact(item.artifact),
            item.configuration,
            item.input_schedule,
            item.execution_controls,
            item.observation,
            recording,
            self.bundle,
        )

    def run(self, inputs: Iterable[RunInput], *, grace: float = 10.0) -> Iterator[Outcome]:
        """Yields each run's outcome as it finishes, in finishing order.

        After `request_stop` the runs still going get `grace` seconds; those
        that do not finish in time (and those never started) yield nothing.
        Raises CampaignError at the end when the engine failed.
        """
        source = iter(inputs)
        deadline: float | None = None
        while True:
            if self._stop_requested and deadline is None:
                deadline = time.monotonic() + grace
                if self._knows_running:
                    for future in list(self._flight):
                        if future.cancel():  # not started yet
                            del self._flight[future]
            while deadline is None and self._failure is None and len(self._flight) < self._limit():
                tasks, unreadable = self._next_chunk(source)
                yield from unreadable
                if not tasks:
                    if unreadable:
                        continue
                    break
                try:
                    self._flight[self._executor.submit(execute_tasks, tasks)] = tasks
                except BrokenExecutor:
                    # A worker died after the last look: these runs never left.
                    self._unsent.appendleft(tasks)
                    yield from self._after_break([])
            if not self._flight:
                break
            timeout = POLL_SECONDS
            if deadline is not None:
                timeout = min(timeout, deadline - time.monotonic())
                if timeout <= 0:
                    self.close(kill=True)
                    break
            done, _ = wait(self._flight, timeout=timeout, return_when=FIRST_COMPLETED)
            yield from self._collect(done)
        if self._failure is not None:
            raise CampaignError(self._failure)

    def _next_chunk(self, source: Iterator[RunInput]) -> tuple[list[Task], list[Outcome]]:
        """The next task to submit (a suspect alone, else up to `chunk` new
        runs), and the outcomes of runs whose artifact could not be read."""
        if self._suspects:
            return [self._suspects.popleft()], []
        if self._unsent:
            return self._unsent.popleft(), []
        tasks: list[Task] = []
        unreadable: list[Outcome] = []
        for item in itertools.islice(source, self.chunk):
            try:
                tasks.append(self._task(item))
            except OSError as error:
                unreadable.append(
                    Outcome(item.id, None, None, {"type": type(error).__name__, "message": str(error)}, 0.0, None)
                )
        return tasks, unreadable

    def _limit(self) -> int:
        return 1 if self._suspects or self._suspects_out else self.window

    @property
    def _suspects_out(self) -> bool:
        return any(tasks[0].id in self._suspect_ids for tasks in self._flight.values())

    def _collect(self, done: Iterable[Future[list[Outcome]]]) -> Iterator[Outcome]:
        broken: list[Task] = []
        for future in done:
            tasks = self._flight.pop(future)
            try:
                yield from future.result()
            except CancelledError:
                pass
            except BrokenExecutor:
                broken += tasks
            except WorkerUnfit as error:
                self._fail(str(error))
            except Exception as error:
                if type(error).__name__ != "KilledWorker":
                    self._fail(f"the executor failed: {type(error).__name__}: {error}")
                elif len(tasks) > 1:
                    # Dask gave up on a chunk that ended several workers: its
                    # runs go again alone, to find the one at fault.
                    self._suspect(tasks)
                else:
                    yield Outcome(tasks[0].id, None, None, {"type": "KilledWorker", "message": str(error)}, 0.0, None)
        if broken:
            yield from self._after_break(broken)

    def _after_break(self, broken: list[Task]) -> Iterator[Outcome]:
        # A broken pool fails every task it holds at once: take them all.
        rest = list(self._flight)
        wait(rest)
        for future in rest:
            tasks = self._flight.pop(future)
            try:
                yield from future.result()
            except BrokenExecutor, CancelledError:
                broken += tasks
        if not self._owns_pool:
            self._fail("the executor broke (a worker process ended abruptly)")
            return
        if len(broken) == 1:
            yield Outcome(
                broken[0].id,
                None,
                None,
                {"type": "WorkerDied", "message": "the worker process ended abruptly while running it"},
                0.0,
                None,
            )
        elif broken:
            self._suspect(broken)
        self._executor.shutdown(wait=False)
        self._executor = self._new_pool()

    def _suspect(self, tasks: list[Task]) -> None:
        self._suspect_ids = self._suspect_ids | {task.id for task in tasks}
        self._suspects.extend(tasks)

    def _fail(self, text: str) -> None:
        if self._failure is None:
            self._failure = text


def run_campaign(
    machine: str,
    inputs: Iterable[RunInput],
    engine: Executor | Any = None,
    *,
    jobs: int | None = None,
    recordings: str | os.PathLike[str] | None = None,
    chunk: int = 1,
) -> Iterator[Outcome]:
    """`Campaign(...).run(inputs)` for a loop: the pool it makes is shut down
    when the loop ends or is left."""
    with Campaign(machine, engine, jobs=jobs, recordings=recordings, chunk=chunk) as campaign:
        yield from campaign.run(inputs)


# results.jsonl ---------------------------------------------------------------


class ResultsFile:
    """DIR/results.jsonl: the outcome of each id it already holds, and one
    whole line appended (and flushed) per new outcome.

    A line cut short by a crash is dropped on opening, so that its run is
    done again and the next line starts on a line of its own.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.finished: dict[str, str] = {}  # id -> outcome word (Outcome.status)
        self.dropped_tail = 0
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)
        try:
            # Two campaigns appending to one file would both run what neither
            # had finished: the second is refused (BlockingIOError).
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            with os.fdopen(os.dup(fd), "rb") as stream:
                data = stream.read()
            whole = data.rfind(b"\n") + 1
            if whole < len(data):
                os.ftruncate(fd, whole)
                self.dropped_tail = len(data) - whole
            for line in data[:whole].splitlines():
                try:
                    item = json.loads(line)
                    self.finished[item["id"]] = _status_of(item)
                except ValueError, TypeError, KeyError:
                    continue
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def write(self, outcome: Outcome) -> bool:
        """Appends the outcome's line; False (and nothing written) when its id
        is already there."""
        if outcome.id in self.finished:
            return False
        try:
            data = outcome.json_line().encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate, which JSON can carry escaped
            data = outcome.json_line(ascii_only=True).encode("ascii")
        while data:
            data = data[os.write(self._fd, data) :]
        self.finished[outcome.id] = outcome.status
        return True

    def close(self) -> None:
        os.close(self._fd)

    def __enter__(self) -> ResultsFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _status_of(line: dict[str, Any]) -> str:
    if not isinstance(line["id"], str):
        raise TypeError
    result = line.get("result")
    if isinstance(result, dict):
        return str(result["machine_execution"]["status"])
    return "error"


def rate_text(done: int, total: int, elapsed: float) -> str:
    """ "412/2000 runs  37.5/s  0:42 left" for a progress line."""
    rate = done / elapsed if elapsed > 0 else 0.0
    text = f"{done}/{total} runs  {rate:.1f}/s"
    if 0 < done < total and rate > 0:
        left = math.ceil((total - done) / rate)
        text += (
            f"  {left // 3600}:{left // 60 % 60:02d}:{left % 60:02d} left"
            if left >= 3600
            else f"  {left // 60}:{left % 60:02d} left"
        )
    return text


def import_distributed() -> Any:
    """The `distributed` module, which the extra korvane[dask] installs."""
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise CampaignError("--scheduler needs Dask's distributed: pip install 'korvane[dask]'") from None


__all__ = [
    "Campaign",
    "CampaignError",
    "InputError",
    "Outcome",
    "ResultsFile",
    "RunInput",
    "Task",
    "WorkerUnfit",
    "check_cluster",
    "execute_task",
    "execute_tasks",
    "read_inputs",
    "run_campaign",
]
