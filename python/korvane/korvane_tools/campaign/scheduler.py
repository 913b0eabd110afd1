"""The scheduler loop, in the client: `Campaign` hands runs to an executor
and yields their outcomes as they finish.

The executor is a process pool the campaign owns, a Dask client's executor,
or any `concurrent.futures.Executor`. Runs go out a chunk of `Task`s at a
time, no more than a window of them at once; when a worker dies, the runs
it may have held go again one at a time, so that the one that ends its
worker is found and the others finish. A stop cancels what has not started
and gives what is running a grace time. `run_campaign` is the same for a loop.
"""

from __future__ import annotations

import collections
import importlib
import itertools
import os
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
from typing import Any

from .cluster import SchedulerWatch
from .inputs import RunInput
from .manifest import CampaignError, check_cluster, local_bundle
from .worker import Outcome, Task, WorkerUnfit, _pool_worker_start, execute_tasks

# How long the pool's queue runs ahead of its workers, per worker: enough that
# a worker never waits for the client, few enough that a stop cancels little.
QUEUE_PER_WORKER = 2
# A Dask task goes client, scheduler, worker and back: more of them out per
# worker thread keep its thread busy while the others travel.
QUEUE_PER_DASK_THREAD = 8
POLL_SECONDS = 0.2


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
        self._watch: SchedulerWatch | None = None
        if engine is None:
            self._executor = self._new_pool()
            window = window or QUEUE_PER_WORKER * self._jobs
        elif hasattr(engine, "get_executor"):  # a distributed.Client
            threads = check_cluster(engine, machine, self.bundle)
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
            self._heartbeat()
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

    def _heartbeat(self) -> None:
        # A scheduler that is gone ends the campaign: what it held is
        # cancelled (a rerun does it), and nothing more is sent.
        lost = None if self._watch is None or self._failure is not None else self._watch.check()
        if lost is not None:
            self._fail(lost)
            for future in self._flight:
                future.cancel()

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


def import_distributed() -> Any:
    """The `distributed` module, which the extra korvane[dask] installs."""
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise CampaignError("--scheduler needs Dask's distributed: pip install 'korvane[dask]'") from None
