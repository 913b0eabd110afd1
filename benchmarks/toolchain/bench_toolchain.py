#!/usr/bin/env python3
"""Two builds of korvane side by side: the JSON benchmark's korvane figures
and execute, each build measured in turn within every round, so that a change
in the machine's load hits both; the medians of the rounds and their ratio.

    bench_toolchain.py --build NAME=VENV_PYTHON,BENCH_JSON --build NAME=VENV_PYTHON,BENCH_JSON
                       [--rounds 9] [--seconds 0.3]

VENV_PYTHON is a venv's interpreter with that build of korvane installed (and
pytest, which the bundle kit of the tests imports), BENCH_JSON the bench_json
program built by the same toolchain (benchmarks/json). tools/bench-toolchain.sh
builds both with g++ and with zig and runs this.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import re
import statistics
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "benchmarks" / "json"))
from bench_json import execution_result_document  # noqa: E402

# Run inside each build's venv: microseconds per call of execute (no sinks)
# and milliseconds per execute of a 1 MiB result, best of a few repeats.
EXECUTE = f"""
import json, sys, timeit
sys.path.insert(0, {str(ROOT / "benchmarks" / "runs")!r})
from bench_runs import bench_bundles
runtime, _ = bench_bundles()
run = runtime.prepare("bench-trivial", b"artifact")
big = runtime.prepare("bench-large", b"")
small_us = min(timeit.repeat(run.execute, number=2000, repeat=5)) / 2000 * 1e6
large_ms = min(timeit.repeat(big.execute, number=5, repeat=5)) / 5 * 1e3
print(json.dumps({{"execute_us": small_us, "execute_1mib_ms": large_ms}}))
"""


def measure(build: dict, document: str, seconds: float) -> dict:
    figures = json.loads(
        subprocess.run([build["python"], "-c", EXECUTE], capture_output=True, text=True, check=True).stdout
    )
    for candidate in ("parse", "check_result"):
        out = subprocess.run(
            [build["bench"], document, str(seconds), candidate], capture_output=True, text=True, check=True
        ).stdout
        # One candidate alone leaves the write figure at "inf", which is no JSON.
        figures[f"{candidate}_mb_s"] = float(re.search(rf'"{candidate}_mb_s":([\d.]+)', out).group(1))
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", required=True, help="NAME=VENV_PYTHON,BENCH_JSON (twice)")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--seconds", type=float, default=0.3, help="minimum time per JSON figure")
    args = parser.parse_args()
    builds = []
    for given in args.build:
        name, paths = given.split("=", 1)
        python, bench = paths.split(",")
        builds.append({"name": name, "python": python, "bench": bench})
    if len(builds) != 2:
        parser.error("give --build twice")

    with tempfile.TemporaryDirectory() as folder:
        document = os.path.join(folder, "result.json")
        with open(document, "w", encoding="utf-8") as out:
            json.dump(execution_result_document(1_000_000), out)
        rounds = {build["name"]: [] for build in builds}
        shuffler = random.Random(7)
        for _ in range(args.rounds):
            order = builds[:]
            shuffler.shuffle(order)
            for build in order:
                rounds[build["name"]].append(measure(build, document, args.seconds))

    first, second = (build["name"] for build in builds)
    keys = rounds[first][0].keys()
    higher_is_better = {key: key.endswith("_mb_s") for key in keys}
    print(f"medians of {args.rounds} interleaved rounds; ratio = {second} / {first} (above 1 is {second} faster)")
    print(f"{'figure':20} {first:>12} {second:>12} {'ratio':>7}")
    for key in keys:
        a = statistics.median(r[key] for r in rounds[first])
        b = statistics.median(r[key] for r in rounds[second])
        ratio = b / a if higher_is_better[key] else a / b
        print(f"{key:20} {a:12.2f} {b:12.2f} {ratio:7.3f}")


if __name__ == "__main__":
    main()
