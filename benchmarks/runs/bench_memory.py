"""What korvane keeps of the memory of large checks, whatever the thread count.

    PYTHONPATH=python/korvane/tests/support python benchmarks/runs/bench_memory.py [--threads 50] [--megabytes 20] [--loops 20]

Needs korvane installed in the running interpreter (and pytest, which the
bundle kit of the tests imports). Each figure comes from fresh child
processes, one doing korvane's work and one the same json.dumps work alone
(the control), so that only what korvane adds is counted (both with one
malloc arena, so that glibc's per-thread arenas do not drown the figure):

  * idle threads: THREADS threads each execute a run once with a large result
    (one whose kept levels hold most of it, so the parse builds a large
    tree) and then wait; the resident size above the control's, with every
    thread idle. Target: at most 64 MiB in all.
  * one thread in a loop: the same result checked LOOPS times; the minor page
    faults per call once warm, above the control's. Memory that is reused
    is already mapped and faulted in, so near 0 means no new mappings.
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
import gc, importlib, json, os, resource, sys, tempfile, threading, pathlib
from bundle_kit import QUIET_SOURCE, VALID_RESULT, BundleFolder
mode, threads, megabytes, loops = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])

def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

# Most of the result lies in the levels the check keeps: members of
# machine_execution, which the parse stores (a tree of some 30 MB for 20 MB).
members = {"m%07d" % i: "value %d of the machine's execution" % i for i in range(megabytes * 1_000_000 // 60)}
result = dict(VALID_RESULT, machine_execution=dict(members, status="completed"))

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
    done, release = threading.Barrier(threads + 1), threading.Event()
    def worker():
        work()
        done.wait()
        release.wait()
    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for thread in pool:
        thread.start()
    done.wait()
    gc.collect()
    print(json.dumps({"rss_kib": rss_kib()}))
    release.set()
    for thread in pool:
        thread.join()
else:
    for _ in range(3):
        work()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(loops):
        work()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    print(json.dumps({"faults_per_call": (after - before) / loops, "rss_kib": rss_kib()}))
"""


def child(mode: str, what: str, options: argparse.Namespace) -> dict[str, float]:
    argv = [
        sys.executable,
        "-c",
        CHILD,
        "-",
        mode,
        str(options.threads),
        str(options.megabytes),
        str(options.loops),
        what,
    ]
    # One malloc arena for all threads, in both processes: glibc's arena per
    # thread would otherwise keep freed json.dumps buffers at random, in the
    # control as much as with korvane, and drown what korvane keeps.
    environment = dict(os.environ, MALLOC_ARENA_MAX="1")
    return json.loads(subprocess.run(argv, check=True, capture_output=True, text=True, env=environment).stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=50)
    parser.add_argument("--megabytes", type=int, default=20)
    parser.add_argument("--loops", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds; medians are printed")
    options = parser.parse_args()

    idle, faults = [], []
    for _ in range(options.rounds):
        control, ours = child("control", "threads", options), child("korvane", "threads", options)
        idle.append((ours["rss_kib"] - control["rss_kib"]) / 1024)
        control, ours = child("control", "loop", options), child("korvane", "loop", options)
        faults.append(ours["faults_per_call"] - control["faults_per_call"])
    idle.sort()
    faults.sort()
    above, per_call = idle[len(idle) // 2], faults[len(faults) // 2]
    print(f"Python {sys.version.split()[0]}, {options.megabytes} MB results, medians of {options.rounds} rounds")
    print(
        f"{options.threads} idle threads after one large check each: {above:.1f} MiB above the control "
        f"(target <= 64 MiB): {'ok' if above <= 64 else 'MISSED'}"
    )
    print(
        f"one thread checking in a loop: {per_call:.0f} minor page faults per call above the control "
        f"(a {options.megabytes} MB tree newly mapped would fault some {options.megabytes * 256} pages)"
    )
    return 0 if above <= 64 else 1


if __name__ == "__main__":
    sys.exit(main())
