"""The worker side of a campaign: what runs in a worker process.

A `Task` (plain data: the machine id, the artifact's bytes, the four JSON
values, the recording's path) travels to a worker; `execute_tasks`, the
function the executor calls, runs each on this process's `korvane.Runtime`,
discovered once and kept for every later run; an `Outcome` (the validated
result as plain JSON values, or the type and message of what the run raised)
comes back. A worker whose installation differs from the client's raises
`WorkerUnfit` rather than run, and one whose bundle code is not the client's
(or changed on its disk since it imported it) raises `WorkerStale`. Whatever
a run raises, `BaseException`s included, is that run's outcome and never the
worker's end.

A worker of the campaign's own pool also shows the client which run it has
on a shared board (its process id, the run, when it started), so that the
client can stop a run at its time limit and tell, when a worker dies, which
run was in it; and it ends when the client does (`_pool_worker_start`).

Whatever a pool or a Dask worker unpickles is defined at module level here,
so that it is found by name in the worker process. The client imports this
module too, for the types and for the discovery it shares with the worker.
"""

from __future__ import annotations

import ctypes
import dataclasses
import hashlib
import importlib
import importlib.machinery
import importlib.metadata
import json
import os
import pickle
import select
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any

import korvane

from ..children import ending, kill_group


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
    korvane: str | None = None  # korvane's version on the client


@dataclass(frozen=True, slots=True)
class Outcome:
    """What comes back from one run: exactly one of `result` (the validated
    execution result, as plain JSON values) and `error` ({"type", "message"}).
    `timed_out`: the run was stopped at its time limit (`error` says so);
    `attempt`: the try that gave this outcome (more than 1 after a worker died)."""

    id: str
    run_id: str | None
    result: dict[str, Any] | None
    error: dict[str, str] | None
    seconds: float
    worker: str | None
    timed_out: bool = False
    attempt: int = 1
    input_digest: str | None = None
    code_digest: str | None = None

    @property
    def status(self) -> str:
        """The outcome word: the machine-execution status of the result,
        "error" when the run raised, or "timeout"."""
        if self.timed_out:
            return "timeout"
        if self.result is None:
            return "error"
        return str(self.result["machine_execution"]["status"])

    def statuses(self) -> dict[str, str | None]:
        """The five statuses of the result by short name (None when there is no result)."""
        return statuses_of(self.result)

    def unmet(self, recording: bool = False) -> frozenset[str]:
        """What a completed machine left unmet, as `korvane run` judges it:
        "evidence" (incomplete or failed) and "recording" (failed, or, when a
        recording was asked for, not finalized or not published)."""
        return unmet_of(self.result, recording)

    def json_line(self, ascii_only: bool = False) -> str:
        """The outcome as one line of results.jsonl, newline included."""
        line: dict[str, Any] = {"id": self.id, "run_id": self.run_id}
        if self.result is not None:
            line["result"] = self.result
        else:
            line["error"] = self.error
        line["seconds"] = round(self.seconds, 6)
        line["worker"] = self.worker
        line["outcome"] = self.status
        line["statuses"] = self.statuses()
        line["input_digest"] = self.input_digest
        line["code_digest"] = self.code_digest
        return json.dumps(line, ensure_ascii=ascii_only) + "\n"


# The result's fields by the short names of a results line.
STATUS_FIELDS = {
    "machine": "machine_execution",
    "evidence": "evidence_fulfillment",
    "delivery": "python_sink_delivery",
    "recording": "recorder_finalization",
    "publication": "publication",
}


def _status(result: dict[str, Any], field: str) -> str | None:
    member = result.get(field)
    word = member.get("status") if isinstance(member, dict) else None
    return word if isinstance(word, str) else None


def statuses_of(result: dict[str, Any] | None) -> dict[str, str | None]:
    """The five statuses of a result (or of a results line's `result`) by short name."""
    if not isinstance(result, dict):
        return dict.fromkeys(STATUS_FIELDS)
    return {name: _status(result, field) for name, field in STATUS_FIELDS.items()}


def unmet_of(result: dict[str, Any] | None, recording: bool = False) -> frozenset[str]:
    """See `Outcome.unmet`; also for the `result` of a line read back."""
    words = statuses_of(result)
    if words["machine"] != "completed" or words["delivery"] == "failed":
        return frozenset()  # the run failed, which says more
    unmet = set()
    if words["evidence"] != "complete":
        unmet.add("evidence")
    recorder, publication = words["recording"], words["publication"]
    if (
        recorder in ("failed", "not_finalized")
        or (recorder == "finalized" and publication != "published")
        or (recording and recorder != "finalized")
    ):
        unmet.add("recording")
    return frozenset(unmet)


def failed_outcome(outcome: Outcome) -> bool:
    """Whether the run itself failed, as `korvane run` exits 1 (or 3) for it: it
    raised, timed out, or its machine or its sink delivery did not complete."""
    return outcome.status != "completed" or statuses_of(outcome.result)["delivery"] == "failed"


def worker_name(pid: int | None = None) -> str:
    """host:pid, how outcomes and messages name a worker process (this one by default)."""
    return f"{socket.gethostname()}:{os.getpid() if pid is None else pid}"


WORKER = worker_name()

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
            WORKER = worker_name()
            try:
                runtime = korvane.Runtime.discover()
            except Exception as error:
                raise WorkerUnfit(f"discovery fails in {WORKER}: {type(error).__name__}: {error}") from None
            _runtime = runtime, {record["machine_id"]: record for record in json.loads(runtime.bundles())}
        return _runtime


def korvane_version() -> str:
    """The version of the installed korvane distribution ("unknown" without one)."""
    try:
        return importlib.metadata.version("korvane")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


_korvane_here: str | None = None


def _check_korvane(task: Task) -> None:
    """WorkerUnfit unless this process has the client's korvane: a worker
    that joined the cluster after the campaign's first look runs nothing."""
    global _korvane_here
    if task.korvane is None:
        return
    if _korvane_here is None:
        _korvane_here = korvane_version()
    if _korvane_here != task.korvane:
        worker = worker_name()
        raise WorkerUnfit(f"worker {worker} has korvane {_korvane_here}, the client korvane {task.korvane}")


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


def execute_tasks(tasks: list[Task], serial: int = 0) -> list[Outcome]:
    """Runs a chunk of tasks in this process, one after the other: the
    function the executor calls. `serial` names the chunk on the board of
    the campaign's own pool (0: none). WorkerStale, and nothing run, when
    this process's bundle code is not the client's."""
    if tasks:
        check_worker(tasks[0])
    if not serial or _board is None:
        outcomes = [execute_task(task) for task in tasks]
    else:
        outcomes = []
        base = _slot * BOARD_WIDTH
        for index, task in enumerate(tasks):
            # Start time first and the chunk last: the client reads them in the
            # other order, so it never pairs this run with an older start.
            _board[base + 3] = time.monotonic()
            _board[base + 2] = index
            _board[base + 1] = serial
            try:
                outcomes.append(execute_task(task))
            finally:
                _board[base + 1] = 0
    return _stamped(outcomes, tasks)


def _stamped(outcomes: list[Outcome], tasks: list[Task]) -> list[Outcome]:
    # The code checked is the code the client named: each outcome says so.
    return [
        dataclasses.replace(outcome, input_digest=task.input_digest, code_digest=task.code_digest)
        for outcome, task in zip(outcomes, tasks)
    ]


def check_worker(task: Task) -> None:
    """WorkerUnfit (WorkerStale for other bundle code) unless this process
    may run `task`; discovers the bundles on first use."""
    _check_korvane(task)
    _check_code(task)
    _worker_runtime()


# Starting a child and importing the bundle there is not the run's time: a
# child gets this long for it on top of the run's limit.
CHILD_START_SECONDS = 60.0


def execute_in_children(tasks: list[Task], limit: float) -> list[Outcome]:
    """execute_tasks for an executor whose runs cannot be stopped from outside
    (a Dask worker runs its tasks on threads of one process): each run goes
    in a child process of its own (`korvane_tools.campaign.child`), killed
    with all it started once the run has taken `limit` seconds; its outcome
    is then "timeout". A run that ends its child itself ran alone there, so
    its outcome is WorkerDied at once. A child that cannot start or import
    the bundle makes this worker unfit."""
    here = worker_name()
    return _stamped([dataclasses.replace(_in_child(task, limit), worker=here) for task in tasks], tasks)


def _in_child(task: Task, limit: float) -> Outcome:
    read_end, write_end = os.pipe()
    try:
        child = subprocess.Popen(
            # -P: the worker's folder does not come first on the child's path,
            # so a korvane_tools folder there cannot stand in for the installed one.
            [sys.executable, "-P", "-m", "korvane_tools.campaign.child", str(write_end), str(os.getpid())],
            stdin=subprocess.PIPE,
            pass_fds=(write_end,),
            start_new_session=True,
        )
    finally:
        os.close(write_end)
    answer = bytearray()
    started: float | None = None  # when the child had imported the bundle
    try:
        assert child.stdin is not None
        try:
            child.stdin.write(pickle.dumps(task))
            child.stdin.close()
        except BrokenPipeError:
            pass  # the child is gone: its missing answer says so
        deadline = time.monotonic() + limit + CHILD_START_SECONDS
        whole = False
        while (ready := deadline - time.monotonic()) > 0 and select.select([read_end], [], [], ready)[0]:
            data = os.read(read_end, 1 << 16)
            if not data:
                whole = True
                break
            if started is None and not answer and data[:1] == b"+":
                started = time.monotonic()
                deadline = started + limit
            answer += data
        # With the answer whole, what the child still does (a thread of the
        # bundle's that keeps it alive) is left behind. Without one, the child
        # may have ended, or closed the pipe and gone on: it is waited for,
        # left unreaped, so that its process group, killed below with what the
        # run started, is still its own.
        ended = (whole and len(answer) > 1) or _ended_unreaped(child.pid, deadline)
    finally:
        os.close(read_end)
        kill_group(child)
        child.wait()
    seconds = 0.0 if started is None else time.monotonic() - started
    if started is None:
        how = "did not start in time" if not ended else ending(child.returncode)
        if answer[:1] == b"-":  # named after this worker, not after its short-lived child
            unfit: WorkerUnfit = pickle.loads(answer[1:])[1]
            raise type(unfit)(str(unfit).replace(worker_name(child.pid), worker_name()))
        raise WorkerUnfit(f"worker {worker_name()}: a child process for a run {how} before the bundle was imported")
    if not ended:
        error = {"type": "Timeout", "message": f"stopped at the time limit of {limit:g} s"}
        return Outcome(task.id, None, None, error, seconds, None, timed_out=True)
    if len(answer) > 1:
        outcome: Outcome = pickle.loads(answer[1:])[1]
        return outcome
    error = {"type": "WorkerDied", "message": f"the run ended its process alone: it {ending(child.returncode)}"}
    return Outcome(task.id, None, None, error, seconds, None)


def _ended_unreaped(pid: int, deadline: float) -> bool:
    """Whether the child `pid` ends before `deadline`; it stays unreaped."""
    while os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.005)
    return True


def error_of(error: BaseException) -> dict[str, str]:
    """The type and message of what a run raised, even when its str() raises."""
    try:
        message = str(error)
    except BaseException:
        try:
            message = repr(error)
        except BaseException:
            message = "(its message cannot be shown: str() and repr() raise)"
    return {"type": type(error).__name__, "message": message}


def execute_task(task: Task) -> Outcome:
    """Runs one task in this process. Whatever the run raises (KeyboardInterrupt
    and SystemExit included) is its outcome: in a worker, no signal reaches
    the run as an exception, so those are the bundle's own."""
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
    except BaseException as error:
        return Outcome(task.id, None, None, error_of(error), time.perf_counter() - started, WORKER)
    run_id = plain.get("run_id")
    return Outcome(
        task.id, run_id if isinstance(run_id, str) else None, plain, None, time.perf_counter() - started, WORKER
    )


# The board of the campaign's own pool: BOARD_WIDTH doubles a worker (its
# process id, the serial of the chunk it runs or 0, the run's index in the
# chunk, the time.monotonic() the run started at), a slot each.
BOARD_WIDTH = 4
_board: Any = None
_slot = 0

PR_SET_PDEATHSIG = 1


def _end_with_parent() -> None:
    """Has the kernel kill this process when its parent ends: the forkserver,
    which ends with the client (or the client itself, without one)."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except OSError, AttributeError:  # not Linux: the pool's own shutdown has to do
        return
    # The forkserver ends when no process holds the write end of its "alive"
    # pipe; every child it forks holds one, and a worker whose client was
    # killed would keep it (and so itself) alive for ever.
    try:
        from multiprocessing import forkserver

        server: Any = forkserver._forkserver
        if server._forkserver_alive_fd is not None and server._forkserver_pid is None:
            os.close(server._forkserver_alive_fd)
            server._forkserver_alive_fd = None
    except ImportError, AttributeError, OSError:
        pass


def _pool_worker_start(board: Any = None, slots: Any = None) -> None:
    global _board, _slot
    # Ctrl-C on a terminal, or SIGTERM to the process group, reaches every
    # process of the group; the client alone decides what stops, so a worker
    # finishes the run it has. The client ends a worker with SIGKILL.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    _end_with_parent()
    if board is not None and slots is not None:
        with slots.get_lock():
            _slot = slots.value
            slots.value += 1
        _board = board
        _board[_slot * BOARD_WIDTH] = os.getpid()
