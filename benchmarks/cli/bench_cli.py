"""`korvane check` against korvane.Runtime.discover() on the same 200 bundles.

Installs 200 bundles as real distributions (as benchmarks/discovery does) into
a temporary folder, the only folder on sys.path that holds distributions, and
times, interleaved in every repetition:

  - the check that `korvane check` runs (korvane_tools.bundles.check(): every
    bundle on its own through korvane's discovery with one entry point
    visible, its module and functions resolved, the clash search, and
    korvane's discovery over the whole set), and
  - korvane.Runtime.discover(),

both with the bundle modules already imported, and prints best and median of
each and their ratio (target: at most 3). Then the same as whole commands in
fresh processes: `python -m korvane_tools check` against
`python -c "import korvane; korvane.Runtime.discover()"`, where interpreter
start-up and the first imports count too. Last, `korvane check --isolate`
(each bundle in a child process of its own) against the plain command.

    PYTHONPATH=python/korvane/tests/support python benchmarks/cli/bench_cli.py [--bundles 200] [--repeat 21] [--processes 5] [--isolated 3]
"""

from __future__ import annotations

import argparse
import gc
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import korvane  # noqa: E402
from bundle_kit import BundleFolder, only_bundles_from  # noqa: E402
from korvane_tools import bundles  # noqa: E402


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def summary(label, samples):
    best, median = min(samples), statistics.median(samples)
    print(f"{label:<44} best {best * 1e3:8.2f} ms   median {median * 1e3:8.2f} ms")
    return best, median


def ratio(label, a, b, target):
    print(f"{label:<44} best {a[0] / b[0]:8.2f}      median {a[1] / b[1]:8.2f}      (target <= {target})")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bundles", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--processes", type=int, default=5)
    parser.add_argument("--isolated", type=int, default=3, help="runs of check --isolate (0: none)")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "site"
        root.mkdir()
        folder = BundleFolder(root)
        for n in range(options.bundles):
            folder.add(f"bench-{n:04d}", entry_name=f"bench{n}")

        with only_bundles_from(folder):
            report = bundles.check()  # warm-up: imports the bundle modules
            assert report.ok and len(report.bundles) == options.bundles, report.as_json()
            korvane.Runtime.discover()
            check_times, discover_times = [], []
            gc.collect()
            for _ in range(options.repeat):
                check_times.append(timed(bundles.check))
                discover_times.append(timed(korvane.Runtime.discover))

        # Whole commands: a fresh interpreter each, seeing only these bundles
        # besides what the environment itself has installed.
        env = dict(os.environ, PYTHONPATH=str(root))
        command = [sys.executable, "-m", "korvane_tools", "check"]
        plain = [sys.executable, "-c", "import korvane; korvane.Runtime.discover()"]
        proc = subprocess.run(command, env=env, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        command_times, plain_times = [], []
        for _ in range(options.processes):
            command_times.append(timed(lambda: subprocess.run(command, env=env, capture_output=True, check=True)))
            plain_times.append(timed(lambda: subprocess.run(plain, env=env, capture_output=True, check=True)))
        isolated_times = [
            timed(lambda: subprocess.run([*command, "--isolate"], env=env, capture_output=True, check=True))
            for _ in range(options.isolated)
        ]

    print(f"{options.bundles} bundles, {options.repeat} repetitions, Python {sys.version.split()[0]}")
    check_figures = summary("korvane check (in process, modules imported)", check_times)
    discover_figures = summary("korvane.Runtime.discover()", discover_times)
    ratio("ratio check / discover", check_figures, discover_figures, 3)
    command_figures = summary("python -m korvane_tools check (new process)", command_times)
    plain_figures = summary("python -c 'Runtime.discover()' (new process)", plain_times)
    ratio("ratio command / discover process", command_figures, plain_figures, 3)
    if isolated_times:
        isolated_figures = summary("python -m korvane_tools check --isolate", isolated_times)
        ratio("ratio --isolate / command", isolated_figures, command_figures, "-")
        print(f"(--isolate: {os.cpu_count()} children at a time, each checking a share of the bundles)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
