"""Two builds of bench_json side by side: one candidate on the same documents,
in interleaved rounds, each run pinned to one CPU; prints the median MB/s of
each build and their ratio. For "before and after" figures of a change: build
bench_json from both trees (tools/bench.sh json builds the current one into
build/bench-native), then

    python benchmarks/json/compare.py BEFORE/bench_json AFTER/bench_json \\
        [--candidate parse] [--rounds 9] [--seconds 0.3] [--cpu 0] DOCUMENT...

With no DOCUMENT, the field's documents (canada, citm_catalog, twitter) from
../shared/json-benchmark beside the checkout.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys

FIELD = pathlib.Path(__file__).resolve().parents[3] / "shared" / "json-benchmark"


def one_run(bench: str, document: str, candidate: str, seconds: float, cpu: int) -> float:
    out = subprocess.run(
        ["taskset", "-c", str(cpu), bench, document, str(seconds), candidate],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    # A run of one candidate writes nothing, so its write figure is infinite.
    return float(json.loads(out.replace(":inf", ":null"))[candidate + "_mb_s"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("documents", nargs="*")
    parser.add_argument("--candidate", default="parse", help="parse, check_result, check_depth, ...")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--seconds", type=float, default=0.3, help="minimum time per run")
    parser.add_argument("--cpu", type=int, default=0)
    options = parser.parse_args()
    documents = options.documents or [str(FIELD / f"{name}.json") for name in ("canada", "citm_catalog", "twitter")]

    figures: dict[tuple[str, str], list[float]] = {}
    for round_number in range(options.rounds):
        for document in documents:
            # Which build goes first alternates, so neither always meets a warmer machine.
            order = ("before", "after") if round_number % 2 == 0 else ("after", "before")
            for which in order:
                bench = options.before if which == "before" else options.after
                figures.setdefault((document, which), []).append(
                    one_run(bench, document, options.candidate, options.seconds, options.cpu)
                )
    print(f"{options.candidate}, median MB/s of {options.rounds} interleaved rounds on CPU {options.cpu}")
    for document in documents:
        before = statistics.median(figures[(document, "before")])
        after = statistics.median(figures[(document, "after")])
        print(
            f"{pathlib.Path(document).stem:24} before {before:8.0f}  after {after:8.0f}  after/before {after / before:.3f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
