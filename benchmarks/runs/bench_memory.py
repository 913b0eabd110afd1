"""What korvane keeps of the memory of large checks, whatever the thread count.

    PYTHONPATH=python/korvane/tests/support python benchmarks/runs/bench_memory.py [--threads 16] [--megabytes 20 72] [--loops 20]

Needs korvane installed in the running interpreter (and pytest, which the
bundle kit of the tests imports). Each figure comes from fresh child
processes, one doing korvane's work and one the same json.dumps work alone
(the control), so that only what korvane adds is counted; each pair runs
twice, with glibc's default malloc arenas (one per thread, up to eight per
core) and with one arena for all threads (MALLOC_ARENA_MAX=1):

  * threads: THREADS threads each execute a run once with a large result
    (one whose kept levels hold most of it, with its members out of key
    order, so the parse builds and sorts a large object); the resident size
    above the control's after gc.collect() and malloc_trim(0), first with
    every thread idle, then after they have exited. Target: at most 64 MiB
    in all (the span cache's budget).
    All threads are started before any of them works, in both processes, so
    that each has the same malloc arena of its own in both: a thread started
    while another is inside a long call would otherwise share or reuse an
    arena by chance, and the number of arenas holding a freed json.dumps
    buffer (which malloc_trim does not give back from a thread's arena)
    would decide the figure.
  * one thread in a loop: the same kind of result checked LOOPS times; the
    minor page faults per call once warm, above the control's. Memory that
    is reused is already mapped and faulted in, so 0 or less means no new
    mappings.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]

CHILD = r"""
import ctypes, gc, importlib, json, os, resource, sys, tempfile, threading, pathlib
from bundle_kit import QUIET_SOURCE, VALID_RESULT, BundleFolder
mode, threads, megabytes, loops = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
libc = ctypes.CDLL(None)

def rss_kib():
    gc.collect()
    libc.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

# Most of the result lies in the levels the check keeps: members of
# machine_execution, which the parse stores (a tree of some 30 MB for 20 MB)
# and sorts, as its status comes first.
members = {"m%07d" % i: "value %d of the machine's execution" % i for i in range(megabytes * 1_000_000 // 60)}
result = dict(VALID_RESULT, machine_execution=dict({"status": "completed"}, **members))

if mode == "korvane":
    import korvane
    root = pathlib.Path(tempfile.mkdtemp(prefix="bench-memory-"))
    sys.path.insert(0, str(root))
    module = BundleFolder(root).add("bench-memory", source=QUIET_SOURCE)
    importlib.invalidate_caches()
    importlib.import_module(module).RESULT = result
    run = korvane.Runtime.discover().prepare("bench-memory", b"")
    work = run.execute
else:
    work = lambda: json.dumps(result)

if sys.argv[6] == "threads":
    start, done, release = threading.Barrier(threads), threading.Barrier(threads + 1), threading.Event()
    def worker():
        start.wait()
        work()
        done.wait()
        release.wait()
    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for thread in pool:
        thread.start()
    done.wait()
    idle = rss_kib()
    release.set()
    for thread in pool:
        thread.join()
    print(json.dumps({"idle_kib": idle, "exited_kib": rss_kib()}))
else:
    for _ in range(3):
        work()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(loops):
        work()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    print(json.dumps({"faults_per_call": (after - before) / loops}))
"""

ARENAS = {"default arenas": {}, "one arena": {"MALLOC_ARENA_MAX": "1"}}


def child(mode: str, what: str, megabytes: int, arenas: str, options: argparse.Namespace) -> dict[str, float]:
    argv = [
        sys.executable,
        "-c",
        CHILD,
        "-",
        mode,
        str(options.threads),
        str(megabytes),
        str(options.loops),
        what,
    ]
    environment = {name: value for name, value in os.environ.items() if name != "MALLOC_ARENA_MAX"}
    environment.update(ARENAS[arenas])
    return json.loads(subprocess.run(argv, check=True, capture_output=True, text=True, env=environment).stdout)


def median(values: list[float]) -> float:
    return sorted(values)[len(values) // 2]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--megabytes", type=int, nargs="+", default=[20, 72], help="result sizes for the threads")
    parser.add_argument("--loop-megabytes", type=int, default=20, help="result size for the loop")
    parser.add_argument("--loops", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds; medians are printed")
    options = parser.parse_args()

    print(f"Python {sys.version.split()[0]}, medians of {options.rounds} rounds")
    missed = False
    for megabytes in options.megabytes:
        for arenas in ARENAS:
            idle, exited = [], []
            for _ in range(options.rounds):
                control = child("control", "threads", megabytes, arenas, options)
                ours = child("korvane", "threads", megabytes, arenas, options)
                idle.append((ours["idle_kib"] - control["idle_kib"]) / 1024)
                exited.append((ours["exited_kib"] - control["exited_kib"]) / 1024)
            worst = max(median(idle), median(exited))
            missed = missed or worst > 64
            print(
                f"{options.threads} threads after one {megabytes} MB check each, {arenas}: above the control "
                f"{median(idle):.1f} MiB while idle, {median(exited):.1f} MiB after they exited "
                f"(target <= 64 MiB): {'ok' if worst <= 64 else 'MISSED'}"
            )
    faults = []
    for _ in range(options.rounds):
        control = child("control", "loop", options.loop_megabytes, "default arenas", options)
        ours = child("korvane", "loop", options.loop_megabytes, "default arenas", options)
        faults.append(ours["faults_per_call"] - control["faults_per_call"])
    print(
        f"one thread checking a {options.loop_megabytes} MB result in a loop: {median(faults):.0f} minor page faults "
        f"per call above the control (0 or less: nothing newly mapped; that tree newly mapped would fault some "
        f"{options.loop_megabytes * 256} pages)"
    )
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
