"""Discovery against the work it cannot avoid, and the listing of a registry.

Installs 200 bundles as real distributions (NAME-VERSION.dist-info folders
with METADATA and entry_points.txt, beside each bundle's module) into a
temporary folder, which for the measurement is the only folder on sys.path
that holds distributions. Then, interleaving the two in every repetition, it
times

  - korvane.discover_bundles(), and
  - the plain Python loop doing what discovery cannot avoid:
    importlib.metadata.entry_points().select(group=...), and for each entry
    point its name, ep.load() and the provider call,

and prints best and median of each and their ratio (target: at most 1.1),
and the time of Runtime.bundles() on the 200-bundle registry (target: under
1 ms). The bundle modules are imported by a warm-up call, as they would be
after the first discovery of a process.

    PYTHONPATH=python/korvane/tests/support python benchmarks/discovery/bench_discovery.py [--bundles 200] [--repeat 31]
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import pathlib
import statistics
import sys
import tempfile
import time

import korvane  # noqa: E402
from bundle_kit import GROUP, BundleFolder, only_bundles_from  # noqa: E402


def plain_loop():
    texts = []
    for ep in importlib.metadata.entry_points().select(group=GROUP):
        name = ep.name
        provider = ep.load()
        texts.append((name, provider()))
    return texts


def timed(call, inner=1):
    start = time.perf_counter()
    for _ in range(inner):
        call()
    return (time.perf_counter() - start) / inner


def summary(label, samples):
    best, median = min(samples), statistics.median(samples)
    print(f"{label:<34} best {best * 1e3:8.3f} ms   median {median * 1e3:8.3f} ms")
    return best, median


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bundles", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=31)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "site"
        root.mkdir()
        folder = BundleFolder(root)
        for n in range(options.bundles):
            folder.add(f"bench-{n:04d}", entry_name=f"bench{n}")
        with only_bundles_from(folder):
            listing = korvane.discover_bundles()  # warm-up: imports the bundle modules
            assert listing.count('"machine_id"') == options.bundles
            assert len(plain_loop()) == options.bundles

            korvane_times, plain_times = [], []
            gc.collect()
            for _ in range(options.repeat):
                korvane_times.append(timed(korvane.discover_bundles))
                plain_times.append(timed(plain_loop))
            runtime = korvane.Runtime.discover()
            assert runtime.bundles() == listing
            listing_times = [timed(runtime.bundles, inner=50) for _ in range(options.repeat)]

    print(f"{options.bundles} bundles, {options.repeat} repetitions, Python {sys.version.split()[0]}")
    k_best, k_median = summary("korvane.discover_bundles()", korvane_times)
    p_best, p_median = summary("plain entry_points/load/call loop", plain_times)
    print(
        f"{'ratio korvane / plain':<34} best {k_best / p_best:8.3f}      median {k_median / p_median:8.3f}"
        f"      (target <= 1.1)"
    )
    b_best, _ = summary("Runtime.bundles()", listing_times)
    print(f"{'':<34} {'within' if b_best < 1e-3 else 'OVER'} the 1 ms target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
