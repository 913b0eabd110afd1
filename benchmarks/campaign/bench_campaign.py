"""Campaigns of korvane-stack: how 2 local workers compare with 1, and what a
run costs on the process pool and on a Dask cluster beyond a plain loop.

    python benchmarks/campaign/bench_campaign.py [--runs 2000] [--rounds 3] [--no-dask]

Needs korvane and korvane-stack installed in the running interpreter (and
distributed for the Dask figures: pip install 'korvane[dask]').

  * speed-up: 2,000 runs of a program of about 10 ms each, one local worker
    against two (target: at least 1.8x on a 2-core machine); then the same in
    short back-to-back pairs, whose median ratio shifting load disturbs less;
  * overhead per run: the same number of runs of a program that does almost
    nothing, through the process pool and through a Dask cluster (each with
    one worker, so that the figure is the per-run cost and not parallelism;
    on Dask also with 10 runs a task) against a plain loop over
    Runtime.prepare and PreparedRun.execute. The pool runs as `korvane
    batch --timeout` does: with a time limit per run (so each worker shows
    the client the run it has) and its retries after a worker's death.

Modes are interleaved round by round and the medians printed. The machine's
load average is printed before and after: on a machine shared with other
work, the speed-up of two workers is bounded by the cores left free.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor

import korvane
from korvane_tools.campaign import Campaign, RunInput

COUNTDOWN = b"""\
        push %d
loop:   push 1
        sub
        dup
        jnz loop
        drop
        halt
"""
NOTHING = b"push 1\ndrop\nhalt\n"


def plain(artifact: bytes, runs: int) -> float:
    """The plain loop, timed in a fresh process started as the pool's
    workers are, so that both sides run in the same kind of process."""
    with ProcessPoolExecutor(1) as pool:
        return pool.submit(plain_here, artifact, runs).result()


def plain_here(artifact: bytes, runs: int) -> float:
    runtime = korvane.Runtime.discover()
    started = time.perf_counter()
    for _ in range(runs):
        result = runtime.prepare("stack", artifact).execute()
        assert result["machine_execution"]["status"] == "completed"
    return time.perf_counter() - started


def campaign(artifact: bytes, runs: int, engine: object = None, jobs: int | None = None, chunk: int = 1) -> float:
    inputs = [RunInput(str(i), artifact) for i in range(runs)]
    # A limit no run reaches: its cost is the watch, not a kill.
    timeout = 3600.0 if engine is None else None
    with Campaign("stack", engine, jobs=jobs, chunk=chunk, timeout=timeout) as batch:
        # The workers start and discover before the clock starts.
        list(batch.run(inputs[: 2 * (jobs or 2)]))
        started = time.perf_counter()
        outcomes = list(batch.run(inputs))
        elapsed = time.perf_counter() - started
    assert [outcome.status for outcome in outcomes].count("completed") == runs
    BUSY.setdefault((jobs, artifact), []).append(sum(outcome.seconds for outcome in outcomes) / (elapsed * (jobs or 1)))
    return elapsed


# The share of the wall time that the workers spent in prepare and execute,
# by number of workers: near 1 when the engine keeps them fed, so that a
# speed-up short of the worker count comes from the cores being busy with
# other work, not from the campaign.
BUSY: dict[tuple[int | None, bytes], list[float]] = {}


class Cluster:
    """A Dask scheduler and one worker process (one thread) on 127.0.0.1, each
    a process of its own, as on a real cluster: this process stays the client
    alone, and connects only while a Dask mode runs."""

    def __init__(self) -> None:
        self.folder = tempfile.TemporaryDirectory()
        self.file = os.path.join(self.folder.name, "scheduler.json")
        common = ["--scheduler-file", self.file, "--no-dashboard"]
        self.processes = [
            subprocess.Popen(
                [sys.executable, "-m", "dask", "scheduler", "--host", "127.0.0.1", "--port", "0", *common],
                stderr=subprocess.DEVNULL,
            )
        ]
        while not os.path.exists(self.file) or not open(self.file).read().strip():
            time.sleep(0.1)
        self.processes.append(
            subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "dask",
                    "worker",
                    "--host",
                    "127.0.0.1",
                    "--nthreads",
                    "1",
                    "--no-nanny",
                    *common,
                ],
                stderr=subprocess.DEVNULL,
            )
        )

    def campaign(self, artifact: bytes, runs: int, chunk: int = 1) -> float:
        import distributed

        with distributed.Client(scheduler_file=self.file) as client:
            client.wait_for_workers(1)
            return campaign(artifact, runs, client, chunk=chunk)

    def close(self) -> None:
        for process in self.processes:
            process.terminate()
            process.wait()
        self.folder.cleanup()


def calibrate(target: float) -> bytes:
    """A countdown program whose run takes about `target` seconds here."""
    steps = 2000
    while True:
        artifact = COUNTDOWN % steps
        elapsed = min(plain_here(artifact, 5) for _ in range(3)) / 5
        if elapsed >= target / 2:
            return COUNTDOWN % int(steps * target / elapsed)
        steps *= 4


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pairs", type=int, default=10)
    parser.add_argument("--no-dask", action="store_true")
    options = parser.parse_args()
    n = options.runs

    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    work = calibrate(0.010)
    per_run = statistics.median(plain_here(work, 20) / 20 for _ in range(3))
    print(f"program: {work.split()[1].decode()} countdown steps, {per_run * 1e3:.1f} ms a run in a plain loop")

    cluster = None
    if not options.no_dask:
        cluster = Cluster()
    modes: dict[str, Callable[[], float]] = {
        "10 ms, plain loop": lambda: plain(work, n),
        "10 ms, pool of 1": lambda: campaign(work, n, jobs=1),
        "10 ms, pool of 2": lambda: campaign(work, n, jobs=2),
        "empty, plain loop": lambda: plain(NOTHING, n),
        "empty, pool of 1": lambda: campaign(NOTHING, n, jobs=1),
    }
    if cluster is not None:
        modes["empty, Dask 1 worker"] = lambda: cluster.campaign(NOTHING, n)
        modes["empty, Dask chunk 10"] = lambda: cluster.campaign(NOTHING, n, chunk=10)
    times: dict[str, list[float]] = {name: [] for name in modes}
    try:
        for round_number in range(options.rounds):
            for name, mode in modes.items():
                times[name].append(mode())
            print(f"round {round_number + 1}: " + ", ".join(f"{name} {times[name][-1]:.2f} s" for name in modes))
    finally:
        if cluster is not None:
            cluster.close()

    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"\n{n} runs, medians of {options.rounds} interleaved rounds")
    for name, value in median.items():
        print(f"  {name:22} {value:7.2f} s  {value / n * 1e3:7.3f} ms a run")
    print(f"speed-up of 2 workers over 1: {median['10 ms, pool of 1'] / median['10 ms, pool of 2']:.2f}x (target 1.8x)")
    base = median["empty, plain loop"] / n
    for name in ("empty, pool of 1", "empty, Dask 1 worker", "empty, Dask chunk 10"):
        if name in median:
            print(
                f"overhead a run, {name.split(', ')[1]}: {(median[name] / n - base) * 1e6:.0f} us over the plain loop"
            )
    for jobs in (1, 2):
        print(
            f"pool of {jobs}, 10 ms runs: workers in prepare/execute {statistics.median(BUSY[jobs, work]):.0%} "
            "of the wall time"
        )
    print(f"2 workers against the plain loop: {median['10 ms, plain loop'] / median['10 ms, pool of 2']:.2f}x")

    # On a machine shared with other work the free cores change from minute
    # to minute: short back-to-back pairs see nearly the same machine, so the
    # median of their ratios is the steadier figure.
    ratios = []
    size = max(n // 10, 20)
    for _ in range(options.pairs):
        one = campaign(work, size, jobs=1)
        ratios.append(one / campaign(work, size, jobs=2))
    ratios.sort()
    print(
        f"speed-up of 2 workers over 1 in {options.pairs} back-to-back pairs of {size} runs: "
        f"median {statistics.median(ratios):.2f}x (lowest {ratios[0]:.2f}x, highest {ratios[-1]:.2f}x)"
    )
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
