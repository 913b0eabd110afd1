"""The scheduler loop, in the client: `Campaign` hands runs to an executor
and yields their outcomes as they finish.

The executor is a process pool the campaign owns, a Dask client's executor,
or any `concurrent.futures.Executor`. Runs go out a chunk of `Task`s at a
time, no more than a window of them at once. A stop cancels what has not
started and gives what is running a grace time. `run_campaign` is the same
for a loop.

On its own pool the campaign sees which run each worker has (the worker's
board): a run past its time limit is stopped by killing its worker, and
when a worker dies, the run that was in it is known. That run goes again
alone, up to `retries` times, and is blamed (error `WorkerDied`) only when
its worker dies while it runs alone; every other run lost with the pool is
tried again and never blamed. Such losses are attempts, not outcomes: they
go to `on_attempt`, never to the results.

On Dask, the scheduler gives a task that was on workers that died to another
worker, and gives up on it (`KilledWorker`) after
`distributed.scheduler.allowed-failures` more deaths. Which run of a chunk
was going, or whether a task was going at all or only waiting on that
worker, Dask does not say: the runs of such a task go again alone, unblamed,
and only a run that was the only one out when Dask gave up on it counts a
death of its own, retried and blamed as on the own pool.
"""

from __future__ import annotations

import collections
import dataclasses
import itertools
import math
import multiprocessing
import os
import signal
import time
from collections.abc import Callable, Iterable, Iterator
from collections.abc import Set as AbstractSet
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
from typing import Any

from . import attempts
from .attempts import Attempt
from .cluster import SchedulerWatch
from .inputs import RunInput, artifact_digest, input_digest
from .manifest import CampaignError, check_cluster, local_bundle
from .worker import (
    BOARD_WIDTH,
    Outcome,
    Task,
    WorkerUnfit,
    _pool_worker_start,
    execute_in_children,
    execute_tasks,
    korvane_version,
    machine_code,
    worker_name,
)

# How long the pool's queue runs ahead of its workers, per worker: enough that
# a worker never waits for the client, few enough that a stop cancels little.
QUEUE_PER_WORKER = 2
# A Dask task goes client, scheduler, worker and back: more of them out per
# worker thread keep its thread busy while the others travel.
QUEUE_PER_DASK_THREAD = 8
POLL_SECONDS = 0.2
# Pools that break this many times in a row with no run to show for it (no
# outcome, no run found in a dead worker) are an engine that cannot work.
# Before each new pool after such a break, a pause that doubles from
# BLIND_PAUSE: what broke it (a forkserver ending, memory short) may pass.
BLIND_BREAKS = 5
BLIND_PAUSE = 0.1
# The module the forkserver imports before forking the pool's workers.
PRELOAD = "korvane_tools.campaign.preload"


@dataclasses.dataclass(slots=True)
class _Sent:
    """A chunk in flight, and the serial that names it on the board."""

    serial: int
    tasks: list[Task]
    # Sent when nothing else was out: while no other task is sent after it,
    # it is the only one going.
    alone: bool = False


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

    `timeout` (seconds) stops a run that takes longer, and the run's outcome
    is "timeout": on the campaign's own pool its worker is killed and
    replaced; on another executor (Dask) each run goes in a child process of
    its own on the worker, killed at the limit. `retries` is how many times
    a run whose worker died under it goes again (alone); `on_attempt` is
    called with an `Attempt` for every try that ended on such an
    infrastructure failure.

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
        timeout: float | None = None,
        retries: int = 2,
        on_attempt: Callable[[Attempt], object] | None = None,
    ) -> None:
        if chunk < 1 or (jobs is not None and jobs < 1):
            raise ValueError("chunk and jobs must be at least 1")
        if timeout is not None and not (math.isfinite(timeout) and timeout > 0):
            raise ValueError("timeout must be a finite number of seconds above 0")
        if retries < 0:
            raise ValueError("retries must be at least 0")
        # Made absolute before discovery imports the bundle, which may chdir.
        self.recordings = None if recordings is None else os.path.abspath(recordings)
        self.machine = machine
        self.bundle = local_bundle(machine)
        try:
            code = machine_code(machine)
        except WorkerUnfit as error:
            raise CampaignError(str(error)) from None
        assert code is not None  # local_bundle found the machine
        # The digest of the bundle code this process imported: every worker
        # must run the same, and every outcome names it.
        self.code_digest = code.digest
        self._korvane = korvane_version()
        self.chunk = chunk
        self.timeout = timeout
        self.retries = retries
        self.on_attempt = on_attempt
        # Ids of the runs cut short by a stop (running when its grace ran out,
        # or lost with the pool while stopping): not run, and named.
        self.still_going: list[str] = []
        self._owns_pool = engine is None
        self._jobs = jobs or os.cpu_count() or 1
        self._board: Any = None
        self._executor: Executor
        self._watch: SchedulerWatch | None = None
        if engine is None:
            self._executor = self._new_pool()
            window = window or QUEUE_PER_WORKER * self._jobs
        elif hasattr(engine, "get_executor"):  # a distributed.Client
            threads = check_cluster(engine, machine, self.bundle, self.code_digest)
            self._executor = engine.get_executor(pure=False)
            self._watch = SchedulerWatch(engine)
            window = window or QUEUE_PER_DASK_THREAD * threads
        else:
            self._executor = engine
            window = window or QUEUE_PER_WORKER * (getattr(engine, "_max_workers", None) or self._jobs)
        self.window = window
        # Only these executors mark a future as running when a worker takes
        # it; a stop waits for those and cancels the rest. For any other
        # executor every run in flight may be running and gets the grace.
        self._knows_running = isinstance(self._executor, (ProcessPoolExecutor, ThreadPoolExecutor))
        self._flight: dict[Future[list[Outcome]], _Sent] = {}
        self._serials = itertools.count(1)
        self._last_serial = 0
        # A run found in a dead worker goes again alone, one at a time, so
        # that a run that ends its worker is proven to, and the others finish.
        self._suspects: collections.deque[Task] = collections.deque()
        self._suspect_ids: set[str] = set()
        self._unsent: collections.deque[list[Task]] = collections.deque()
        # Per run with infrastructure losses: how many, and how many of them
        # its own worker died under it.
        self._losses: dict[str, int] = {}
        self._deaths: dict[str, int] = {}
        # Runs stopped at their time limit since the pool was made: the chunk's
        # serial, to (index in the chunk, seconds, worker pid).
        self._killed: dict[int, tuple[int, float, int]] = {}
        self._blind_breaks = 0
        self._last_break_cause: str | None = None
        self._closed = False
        self._stop_requested = False
        self._failure: str | None = None
        # Artifacts by path (or by their bytes), with their digests: a file
        # is read and hashed once, however many runs it serves.
        self._artifacts: dict[str | bytes, tuple[bytes, str]] = {}
        # The input digest of each run out, for the outcomes made here.
        self._input_digests: dict[str, str] = {}

    def _new_pool(self) -> ProcessPoolExecutor:
        context = multiprocessing.get_context()
        if context.get_start_method() == "forkserver":
            _preload_forkserver(context)
        self._board = context.RawArray("d", BOARD_WIDTH * self._jobs)
        self._killed = {}
        slots = context.Value("i", 0)
        return ProcessPoolExecutor(
            self._jobs, mp_context=context, initializer=_pool_worker_start, initargs=(self._board, slots)
        )

    def __enter__(self) -> Campaign:
        return self

    def __exit__(self, *exc_info: object) -> None:
        # Left by an exception (a second Ctrl-C, say), or with runs still out:
        # no waiting for what the workers have.
        self.close(kill=bool(self._flight) or exc_info[0] is not None)

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
                self._kill_pool()
                self._executor.shutdown(wait=False, cancel_futures=True)
            else:
                self._executor.shutdown(wait=True)

    def request_stop(self) -> None:
        """Asks `run` to stop: nothing more is submitted, what has not started
        is cancelled, and what is running gets the grace time. Safe to call
        from a signal handler."""
        self._stop_requested = True

    def going(self) -> list[str]:
        """The ids of the runs going now (on the campaign's own pool, those a
        worker has started; elsewhere, those the executor may have started)."""
        if self._owns_pool and self._board is not None:
            return [task.id for task, _, _, _ in self._running().values()]
        return [
            task.id
            for future, sent in list(self._flight.items())
            if not self._knows_running or future.running()
            for task in sent.tasks
        ]

    def _artifact(self, artifact: bytes | str) -> tuple[bytes, str]:
        known = self._artifacts.get(artifact)
        if known is None:
            if isinstance(artifact, bytes):
                data = artifact
            else:
                with open(artifact, "rb") as stream:
                    data = stream.read()
            if len(self._artifacts) >= 32:
                self._artifacts.clear()
            known = self._artifacts[artifact] = data, artifact_digest(data)
        return known

    def _task(self, item: RunInput) -> Task:
        recording = None if self.recordings is None else os.path.join(self.recordings, f"{item.id}.jsonl")
        data, digest = self._artifact(item.artifact)
        digest = self._input_digests[item.id] = input_digest(item, digest)
        return Task(
            self.machine,
            item.id,
            data,
            item.configuration,
            item.input_schedule,
            item.execution_controls,
            item.observation,
            recording,
            self.bundle,
            digest,
            self.code_digest,
            self._korvane,
        )

    def _stamped(self, outcome: Outcome) -> Outcome:
        """The outcome with the digests of its input and code: a worker's
        outcome has them, one made here (a run that never reached a worker,
        or that ended it) gets them from its task."""
        digest = self._input_digests.pop(outcome.id, None)
        if outcome.code_digest is not None:
            return outcome
        return dataclasses.replace(outcome, input_digest=digest, code_digest=self.code_digest)

    def run(self, inputs: Iterable[RunInput], *, grace: float = 10.0) -> Iterator[Outcome]:
        """Yields each run's outcome as it finishes, in finishing order.

        After `request_stop` the runs still going get `grace` seconds; those
        that do not finish in time (named in `still_going`) and those never
        started yield nothing. Raises CampaignError at the end when the
        engine failed, naming a worker whose bundle code is not this
        process's (`WorkerStale`).
        """
        if not (math.isfinite(grace) and grace >= 0):
            raise ValueError("grace must be a finite number of seconds, at least 0")
        for outcome in self._outcomes(inputs, grace):
            yield self._stamped(outcome)

    def _outcomes(self, inputs: Iterable[RunInput], grace: float) -> Iterator[Outcome]:
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
                    self._submit(tasks)
                except BrokenExecutor:
                    # A worker died after the last look: these runs never left.
                    self._unsent.appendleft(tasks)
                    yield from self._after_break([])
                except OSError as error:
                    # The own pool could not start a worker (its forkserver
                    # gone, say): a pool that breaks.
                    if not self._owns_pool:
                        raise
                    self._unsent.appendleft(tasks)
                    self._fail_soon(f"cannot start a worker process: {error}")
                    yield from self._after_break([])
            if not self._flight:
                break
            timeout = POLL_SECONDS
            if deadline is not None:
                timeout = min(timeout, deadline - time.monotonic())
                if timeout <= 0:
                    self._cut_at_stop()
                    break
            done, _ = wait(self._flight, timeout=timeout, return_when=FIRST_COMPLETED)
            self._heartbeat()
            yield from self._collect(done)
            self._enforce_time_limit()
            if self._failure is not None and self._watch is not None:
                # Once the campaign failed, nothing bounds the wait for the
                # Dask tasks still out: they are cancelled, a rerun does them.
                for future in self._flight:
                    future.cancel()
                self._flight.clear()
        if self._failure is not None:
            raise CampaignError(self._failure)

    def _cut_at_stop(self) -> None:
        """The stop's grace has run out: the runs still going are killed with
        their workers, named, and left for a resume."""
        if self._owns_pool and self._board is not None:
            cut = [(task, _worker_name(pid)) for pid, (task, _, _, _) in self._running().items()]
        else:
            ids = set(self.going())
            cut = [(task, None) for sent in self._flight.values() for task in sent.tasks if task.id in ids]
        self.close(kill=True)
        for task, worker in cut:
            self.still_going.append(task.id)
            self._lost(task, attempts.STOPPED, "still going when the stop's grace ran out", worker)

    def _submit(self, tasks: list[Task]) -> None:
        serial = next(self._serials)
        if self._owns_pool:
            future = self._executor.submit(execute_tasks, tasks, serial)
        elif self.timeout is not None:
            future = self._executor.submit(execute_in_children, tasks, self.timeout)
        else:
            future = self._executor.submit(execute_tasks, tasks)
        self._flight[future] = _Sent(serial, tasks, not self._flight)
        self._last_serial = serial

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
        return any(sent.tasks[0].id in self._suspect_ids for sent in self._flight.values())

    def _running(self, sent: Iterable[_Sent] = ()) -> dict[int, tuple[Task, int, int, float]]:
        """By worker pid, the run each worker of the own pool has started, of
        the chunks in flight and `sent`: (task, chunk serial, index in the
        chunk, time.monotonic() it started at)."""
        board, found = self._board, {}
        chunks = {chunk.serial: chunk.tasks for chunk in itertools.chain(self._flight.values(), sent)}
        for base in range(0, BOARD_WIDTH * self._jobs, BOARD_WIDTH):
            # The worker writes the chunk last: read it first.
            serial = int(board[base + 1])
            index, started = int(board[base + 2]), board[base + 3]
            tasks = chunks.get(serial)
            if tasks is not None and index < len(tasks):
                found[int(board[base])] = (tasks[index], serial, index, started)
        return found

    def _enforce_time_limit(self) -> None:
        # Another executor's runs are stopped in their own child on the worker.
        if self.timeout is None or self._closed or not self._owns_pool:
            return
        now = time.monotonic()
        for pid, (_, serial, index, started) in self._running().items():
            if now - started > self.timeout and serial not in self._killed:
                self._killed[serial] = (index, now - started, pid)
                try:
                    os.kill(pid, signal.SIGKILL)  # the pool breaks: see _after_break
                except ProcessLookupError:
                    pass

    def _collect(self, done: Iterable[Future[list[Outcome]]]) -> Iterator[Outcome]:
        broken: list[_Sent] = []
        for future in done:
            sent = self._flight.pop(future)
            try:
                outcomes = future.result()
            except CancelledError:
                continue
            except BrokenExecutor:
                broken.append(sent)
                continue
            except WorkerUnfit as error:
                self._fail(str(error))
                continue
            except Exception as error:
                if type(error).__name__ != "KilledWorker":
                    self._fail(f"the executor failed: {type(error).__name__}: {error}")
                else:
                    yield from self._killed_worker(sent, error)
                continue
            self._blind_breaks = 0
            self._killed.pop(sent.serial, None)  # it finished after all
            for outcome in outcomes:
                yield self._numbered(outcome)
        if broken:
            yield from self._after_break(broken)

    def _numbered(self, outcome: Outcome) -> Outcome:
        self._deaths.pop(outcome.id, None)
        losses = self._losses.pop(outcome.id, 0)
        return dataclasses.replace(outcome, attempt=losses + 1) if losses else outcome

    def _after_break(self, broken: list[_Sent]) -> Iterator[Outcome]:
        # A broken pool fails every task it holds at once: take them all.
        rest = list(self._flight)
        wait(rest)
        running = self._running(broken) if self._owns_pool else {}
        for future in rest:
            sent = self._flight.pop(future)
            try:
                outcomes = future.result()
            except BrokenExecutor, CancelledError:
                broken.append(sent)
            else:
                yield from map(self._numbered, outcomes)
        if not self._owns_pool:
            self._fail("the executor broke (a worker process ended abruptly)")
            return
        # Which workers died on their own (not killed here for a time limit);
        # then the others go too: their runs cannot come back from a broken pool.
        killed = {pid for _, _, pid in self._killed.values()}
        dead = {pid for pid in self._pool_pids() if pid not in killed and not _alive(pid)}
        self._kill_pool(dead | killed)
        # The runs in the dead workers; when none is found dead yet (they end
        # a moment after their forkserver, say), each run going is suspect.
        culprits = dead & running.keys() if dead or killed else set(running)
        stopping = self._stop_requested
        # Proof that a run ends its worker: it was the only run out.
        alone = sum(len(sent.tasks) for sent in broken) == 1
        where = {(serial, index): pid for pid, (_, serial, index, _) in running.items()}
        found = False
        for sent in broken:
            stopped = self._killed.get(sent.serial)
            again: list[Task] = []
            for index, task in enumerate(sent.tasks):
                pid = where.get((sent.serial, index))
                if stopped is not None and stopped[0] == index:
                    found = True
                    yield self._timed_out(task, stopped[1], stopped[2])
                elif pid is not None and pid in culprits:
                    found = True
                    yield from self._worker_died(task, _worker_name(pid), alone, stopping)
                elif stopping:
                    if pid is not None:  # started: cut short (the others were never run)
                        self._lost(task, attempts.STOPPED, "the campaign was stopping", _worker_name(pid))
                        self.still_going.append(task.id)
                else:
                    if dead or not killed:
                        reason, text = attempts.POOL_LOST, "lost with the pool when another worker died"
                    else:
                        reason, text = (
                            attempts.TIME_LIMIT_NEIGHBOUR,
                            "lost with the pool stopped for another run's time",
                        )
                    self._lost(task, reason, text, _worker_name(pid), retried=True)
                    again.append(task)
            if again:
                self._unsent.appendleft(again)
        self._killed = {}
        self._blind_breaks = 0 if found else self._blind_breaks + 1
        if self._blind_breaks >= BLIND_BREAKS:
            self._fail(
                self._last_break_cause
                or f"the pool's worker processes ended abruptly {BLIND_BREAKS} times in a row, with no run in them"
            )
        self._last_break_cause = None
        if not stopping and self._failure is None:
            self._executor.shutdown(wait=False, cancel_futures=True)
            if self._blind_breaks:
                time.sleep(BLIND_PAUSE * 2**self._blind_breaks)
            self._executor = self._new_pool()

    def _kill_pool(self, dead: AbstractSet[int] = frozenset()) -> None:
        """Kills the workers of the own pool. The pool's own kill would wait
        for its lock, which a broken pool holds until its workers end (and
        ours ignore the SIGTERM it sends them)."""
        for pid in self._pool_pids() - dead:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _pool_pids(self) -> set[int]:
        """The process ids of the own pool's workers, those still starting included."""
        pids = {int(self._board[base]) for base in range(0, BOARD_WIDTH * self._jobs, BOARD_WIDTH)}
        processes = getattr(self._executor, "_processes", None)
        return (pids | set(processes.copy() if processes else ())) - {0}

    def _timed_out(self, task: Task, seconds: float, pid: int) -> Outcome:
        assert self.timeout is not None
        error = {"type": "Timeout", "message": f"stopped at the time limit of {self.timeout:g} s"}
        self._deaths.pop(task.id, None)
        attempt = self._losses.pop(task.id, 0) + 1
        return Outcome(task.id, None, None, error, seconds, _worker_name(pid), timed_out=True, attempt=attempt)

    def _killed_worker(self, sent: _Sent, error: Exception) -> Iterator[Outcome]:
        """Dask gave up on a task whose workers died under it."""
        last = getattr(error, "last_worker", None)
        last = getattr(last, "address", last)  # a WorkerState in some versions of Dask
        worker = None if last is None else str(last)
        if len(sent.tasks) == 1 and sent.alone and sent.serial == self._last_serial:
            yield from self._worker_died(sent.tasks[0], worker, True, self._stop_requested, dask=True)
            return
        retried = not self._stop_requested
        for task in sent.tasks:
            text = "Dask gave up on it after the workers it was on died (not the only run out): it goes again alone"
            self._lost(task, attempts.KILLED_WORKER, text, worker, retried)
        if retried:
            self._suspect(sent.tasks)

    def _worker_died(
        self, task: Task, worker: str | None, alone: bool, stopping: bool, dask: bool = False
    ) -> Iterator[Outcome]:
        if stopping:
            # Perhaps the very signal that stops the campaign: not the run's doing.
            self._lost(task, attempts.WORKER_DIED, "its worker process ended while the campaign was stopping", worker)
            self.still_going.append(task.id)
            return
        deaths = self._deaths[task.id] = self._deaths.get(task.id, 0) + 1
        if deaths <= self.retries:
            if dask:
                reason, text = attempts.KILLED_WORKER, "Dask gave up on it after the workers running it alone died"
            else:
                reason, text = attempts.WORKER_DIED, "its worker process ended abruptly while running it"
            self._lost(task, reason, text, worker, True)
            self._suspect([task])
        elif alone:
            what = (
                "Dask gave up on it as its workers died"
                if dask
                else "the worker process ended abruptly while running it"
            )
            error = {"type": "WorkerDied", "message": f"{what}, {deaths} times (the last with no other run going)"}
            self._deaths.pop(task.id)
            attempt = self._losses.pop(task.id, 0) + 1
            yield Outcome(task.id, None, None, error, 0.0, worker, attempt=attempt)
        else:
            self._lost(
                task,
                attempts.GIVEN_UP,
                f"its worker process ended {deaths} times, never while it ran alone: left for a resume",
                worker,
            )

    def _lost(self, task: Task, reason: str, message: str, worker: str | None, retried: bool = False) -> None:
        """Notes a try of `task` that ended on infrastructure."""
        losses = self._losses[task.id] = self._losses.get(task.id, 0) + 1
        if not retried:
            self._losses.pop(task.id)
            self._deaths.pop(task.id, None)
        if self.on_attempt is not None:
            self.on_attempt(Attempt(task.id, losses, reason, message, worker, retried))

    def _suspect(self, tasks: list[Task]) -> None:
        self._suspect_ids = self._suspect_ids | {task.id for task in tasks}
        self._suspects.extend(tasks)

    def _heartbeat(self) -> None:
        # A scheduler that is gone ends the campaign: what it held is
        # cancelled (a rerun does it), and nothing more is sent.
        lost = None if self._watch is None or self._failure is not None else self._watch.check()
        if lost is not None:
            self._fail(lost)
            for future in self._flight:
                future.cancel()

    def _fail_soon(self, text: str) -> None:
        """Notes why the pool broke without a run in it: the campaign's failure
        if it keeps breaking."""
        self._last_break_cause = text

    def _fail(self, text: str) -> None:
        if self._failure is None:
            self._failure = text


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _worker_name(pid: int | None) -> str | None:
    return None if pid is None else worker_name(pid)


def _preload_forkserver(context: Any) -> None:
    """Has the forkserver, when it starts, import `PRELOAD` besides what it
    imports already (the main module)."""
    from multiprocessing import forkserver

    modules = list(getattr(getattr(forkserver, "_forkserver", None), "_preload_modules", None) or ["__main__"])
    if PRELOAD not in modules:
        context.set_forkserver_preload([*modules, PRELOAD])


def run_campaign(
    machine: str,
    inputs: Iterable[RunInput],
    engine: Executor | Any = None,
    *,
    jobs: int | None = None,
    recordings: str | os.PathLike[str] | None = None,
    chunk: int = 1,
    timeout: float | None = None,
    retries: int = 2,
    on_attempt: Callable[[Attempt], object] | None = None,
) -> Iterator[Outcome]:
    """`Campaign(...).run(inputs)` for a loop: the pool it makes is shut down
    when the loop ends or is left."""
    with Campaign(
        machine,
        engine,
        jobs=jobs,
        recordings=recordings,
        chunk=chunk,
        timeout=timeout,
        retries=retries,
        on_attempt=on_attempt,
    ) as campaign:
        yield from campaign.run(inputs)
