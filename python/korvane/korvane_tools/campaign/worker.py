"""The worker side of a campaign: what runs in a worker process.

A `Task` (plain data: the machine id, the artifact's bytes, the four JSON
values, the recording's path) travels to a worker; `execute_tasks`, the
function the executor calls, runs each on this process's `korvane.Runtime`,
discovered once and kept for every later run; an `Outcome` (the validated
result as plain JSON values, or the type and message of what the run raised)
comes back. A worker whose installation differs from the client's raises
`WorkerUnfit` rather than run, and one whose bundle code is not the client's
(or changed on its disk since it imported it) raises `WorkerStale`.

Whatever a pool or a Dask worker unpickles is defined at module level here,
so that it is found by name in the worker process. The client imports this
module too, for the types and for the discovery it shares with the worker.
"""

from __future__ import annotations

import dataclasses
import hashlib
import importlib
import importlib.machinery
import json
import os
import signal
import socket
import stat
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any

import korvane


class WorkerUnfit(RuntimeError):
    """Raised in a worker that cannot run the machine as the client would
    (discovery fails there, or its bundle differs): a fault of the worker's
    installation, not of the run, so the run is not reported as failed."""


class WorkerStale(WorkerUnfit):
    """Raised in a worker whose bundle code is not the code the client sends
    the runs for: another digest, or files changed on its disk since it
    imported them. It runs nothing."""


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
    input_digest: str | None = None  # of the line's members and the artifact's bytes
    code_digest: str | None = None  # of the bundle code the client has


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
    input_digest: str | None = None
    code_digest: str | None = None

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
        line["input_digest"] = self.input_digest
        line["code_digest"] = self.code_digest
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


# The files a bundle's code digest covers: whatever the interpreter imports
# code from, not the bytecode caches it writes beside the sources.
_CODE_SUFFIXES = tuple(importlib.machinery.all_suffixes())
_code_lock = threading.Lock()
_codes: dict[str, CodeIdentity] = {}  # by module
_machine_codes: dict[str, CodeIdentity] = {}  # by machine, once looked up
_next_look: dict[str, float] = {}  # by machine: when its files are looked at again


@dataclass(frozen=True, slots=True)
class CodeIdentity:
    """The code of a bundle as this process imported it: the sha256 of its
    files (each one's path and bytes, in sorted path order), and each file's
    (size, mtime_ns, inode) when it was read, to notice a later edit."""

    digest: str
    files: tuple[tuple[str, tuple[int, int, int]], ...]

    def changed(self) -> list[str]:
        """The files that are no longer as they were read (edited, replaced
        or removed)."""
        changed = []
        for path, seen in self.files:
            try:
                now = os.stat(path)
            except OSError:
                changed.append(path)
                continue
            if (now.st_size, now.st_mtime_ns, now.st_ino) != seen:
                changed.append(path)
        return changed


def _code_files(module_name: str) -> list[tuple[str, str]]:
    """(name, path) of the files of the bundle's code: every file of the
    outermost regular package that holds its module, or the module's own
    file. A namespace package above it is left out, as it may hold other
    distributions' code."""
    parts = module_name.split(".")
    root = sys.modules[module_name]
    for depth in range(len(parts) - 1, 0, -1):
        parent = sys.modules.get(".".join(parts[:depth]))
        if parent is None or getattr(parent, "__file__", None) is None:
            break
        root = parent
    file = getattr(root, "__file__", None)
    if file is None:
        return []
    if getattr(root, "__path__", None) is None:
        return [(os.path.basename(file), file)]
    folder = os.path.dirname(file)
    found = []
    for where, folders, names in os.walk(folder):
        folders[:] = [name for name in folders if name != "__pycache__"]
        found += [
            (os.path.relpath(os.path.join(where, name), os.path.dirname(folder)), os.path.join(where, name))
            for name in names
            if name.endswith(_CODE_SUFFIXES)
        ]
    return sorted(found)


def code_identity(module_name: str) -> CodeIdentity:
    """The identity of the bundle code in module `module_name`, taken once
    per process right after importing it (it is imported here if it was
    not): what this process runs. WorkerUnfit when it cannot be imported."""
    with _code_lock:
        code = _codes.get(module_name)
        if code is not None:
            return code
        try:
            importlib.import_module(module_name)
            files = _code_files(module_name)
        except Exception as error:
            raise WorkerUnfit(
                f"the bundle module {module_name} cannot be imported in {WORKER}: {type(error).__name__}: {error}"
            ) from None
        digest = hashlib.sha256()
        kept = []
        for name, path in files:
            with open(path, "rb") as stream:
                seen = os.fstat(stream.fileno())
                data = stream.read()
            digest.update(b"%d:%b\0%d:" % (len(os.fsencode(name)), os.fsencode(name), len(data)))
            digest.update(data)
            kept.append((path, (seen.st_size, seen.st_mtime_ns, seen.st_ino)))
        code = _codes[module_name] = CodeIdentity(digest.hexdigest(), tuple(kept))
        return code


def machine_code(machine: str) -> CodeIdentity | None:
    """The code identity of `machine`'s bundle in this process, None when no
    installed bundle has the machine."""
    _, machines = _worker_runtime()
    record = machines.get(machine)
    return None if record is None else code_identity(record["module"])


def _check_code(task: Task) -> None:
    """WorkerStale unless this process runs the code the client has, as it
    was when this process imported it."""
    if task.code_digest is None:
        return
    code = _machine_codes.get(task.machine)
    if code is None:
        code = machine_code(task.machine)
        if code is None:
            return  # the run says that the machine is missing here
        _machine_codes[task.machine] = code
    if code.digest != task.code_digest:
        raise WorkerStale(
            f'worker {WORKER} has other code for machine "{task.machine}" than the client '
            f"(code digest {code.digest[:16]}, the client's {task.code_digest[:16]}): "
            "its bundle's files differ from the client's"
        )
    # The look at the files' stats costs a few microseconds a file: a bundle
    # of many files is looked at less often, so that the look stays within
    # a twentieth of the worker's time.
    now = time.monotonic()
    if now < _next_look.get(task.machine, 0.0):
        return
    changed = code.changed()
    _next_look[task.machine] = now + 20 * (time.monotonic() - now)
    if changed:
        shown = ", ".join(changed[:5]) + (f" and {len(changed) - 5} more" if len(changed) > 5 else "")
        raise WorkerStale(
            f'worker {WORKER}: the code of machine "{task.machine}" changed on disk since the worker '
            f"imported it: {shown}"
        )


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
    function the executor calls. WorkerStale, and nothing run, when this
    process's bundle code is not the client's."""
    if tasks:
        _check_code(tasks[0])
    # The code checked is the code the client named: each outcome says so.
    return [
        dataclasses.replace(execute_task(task), input_digest=task.input_digest, code_digest=task.code_digest)
        for task in tasks
    ]


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
