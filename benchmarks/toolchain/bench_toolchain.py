#!/usr/bin/env python3
"""Two builds of korvane side by side: the JSON benchmark's korvane figures
and execute, each build measured in turn within every round, so that a change
in the machine's load hits both; each figure's median over the rounds with its
quartiles, and the median of the rounds' own ratios (the two builds' figures
of one round were taken back to back) with theirs.

    bench_toolchain.py --build NAME=VENV_PYTHON,BENCH_JSON --build NAME=VENV_PYTHON,BENCH_JSON
                       [--rounds 31] [--seconds 0.3]

The figures: execute without sinks (microseconds per call) and with a 1 MiB
result (milliseconds), the module's own share of that execute (execute less
json.dumps of the result and the bundle's call, as a share of json.dumps,
the median of a few measurements in the round), and bench_json's full parse
and check of a 1 MB execution result (MB/s).

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
# and milliseconds per execute of a 1 MiB result, best of a few repeats; and
# the module's own share of that execute as bench_runs.py measures it (the
# three timings taken side by side), the median of seven.
EXECUTE = f"""
import json, statistics, sys, timeit
sys.path.insert(0, {str(ROOT / "benchmarks" / "runs")!r})
from bench_runs import bench_bundles
runtime, bundle = bench_bundles()
run = runtime.prepare("bench-trivial", b"artifact")
big = runtime.prepare("bench-large", b"")
small_us = min(timeit.repeat(run.execute, number=2000, repeat=5)) / 2000 * 1e6
large_ms = min(timeit.repeat(big.execute, number=5, repeat=5)) / 5 * 1e3
shares = []
for _ in range(7):
    dumps = timeit.timeit(lambda: json.dumps(bundle.RESULT), number=5)
    execute = timeit.timeit(big.execute, number=5)
    call = timeit.timeit(lambda: bundle.execute(None, [], None), number=5)
    shares.append((execute - dumps - call) / dumps * 100)
print(json.dumps({{"execute_us": small_us, "execute_1mib_ms": large_ms, "own_share_pct": statistics.median(shares)}}))
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
    parser.add_argument("--rounds", type=int, default=31)
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
    print(
        f"medians of {args.rounds} interleaved rounds, quartiles in brackets; ratio = {second} against {first} "
        f"(above 1 is {second} faster; for the share, {second}'s less {first}'s in points), "
        "the median of the rounds' own ratios"
    )
    print(f"{'figure':17} {first:>24} {second:>24} {'ratio':>22}")
    for key in rounds[first][0]:
        a = [r[key] for r in rounds[first]]
        b = [r[key] for r in rounds[second]]
        if key.endswith("_mb_s"):
            ratios = [y / x for x, y in zip(a, b, strict=True)]
        elif key == "own_share_pct":
            ratios = [y - x for x, y in zip(a, b, strict=True)]
        else:
            ratios = [x / y for x, y in zip(a, b, strict=True)]
        print(f"{key:17} {spread(a, 2):>24} {spread(b, 2):>24} {spread(ratios, 3):>22}")


def spread(values: list[float], digits: int) -> str:
    """The median and, in brackets, the quartiles."""
    lower, median, upper = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
    return f"{median:.{digits}f} ({lower:.{digits}f}-{upper:.{digits}f})"


if __name__ == "__main__":
    main()
