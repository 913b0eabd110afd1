"""The worker side of a campaign: what runs in a worker process.

A `Task` (plain data: the machine id, the artifact's bytes, the four JSON
values, the recording's path) travels to a worker; `execute_tasks`, the
function the executor calls, runs each on this process's `korvane.Runtime`,
discovered once and kept for every later run; an `Outcome` (the validated
result as plain JSON values, or the type and message of what the run raised)
comes back. A worker whose installation differs from the client's raises
`WorkerUnfit` rather than run.

Whatever a pool or a Dask worker unpickles is defined at module level here,
so that it is found by name in the worker process. The client imports this
module too, for the types and for the discovery it shares with the worker.
"""

from __future__ import annotations

import json
import os
import signal
import socket
import stat
import threading
import time
from dataclasses import dataclass
from typing import Any

import korvane


class WorkerUnfit(RuntimeError):
    """Raised in a worker that cannot run the machine as the client would
    (discovery fails there, or its bundle differs): a fault of the worker's
    installation, not of the run, so the run is not reported as failed."""


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
