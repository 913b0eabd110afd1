"""`korvane check --isolate`: each bundle checked in a child process.

A bundle whose import hangs, calls os._exit or crashes the interpreter takes
only its own child down; the parent reports what happened to it (timed out
after S s, exited with status N, killed by SIGSEGV) and goes on with the
others. korvane's discovery over every bundle, the last word of the check,
runs in a child too. The children are this interpreter
(`python -m korvane_tools.isolated`), with the parent's sys.path.

Run as a module, it checks the entry point named on its command line and
prints its report as JSON on standard output (the bundle's own output goes
to standard error), or with --discovery, korvane's discovery's verdict.
"""

from __future__ import annotations

import concurrent.futures
import importlib.metadata
import json
import os
import signal
import subprocess
import sys
from collections.abc import Sequence

from . import bundles


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(entry for entry in sys.path if entry)
    return env


def _child(args: Sequence[str], timeout: float | None) -> tuple[str | None, str]:
    """Standard output of a child, or None and what happened to it."""
    try:
        proc = subprocess.run([sys.executable, "-m", "korvane_tools.isolated", *args], capture_output=True,
                              text=True, env=_environment(), timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return None, f"timed out after {timeout:g} s"
    if proc.returncode == 0:
        return proc.stdout, ""
    if proc.returncode < 0:
        try:
            name = signal.Signals(-proc.returncode).name
        except ValueError:
            name = f"signal {-proc.returncode}"
        return None, f"killed by {name}"
    return None, f"exited with status {proc.returncode}"


def _crashed(stage: str, summary: str, what: str) -> bundles.Problem:
    return bundles.Problem(stage, summary, "ChildProcessError", what)


def check_each(eps: Sequence[importlib.metadata.EntryPoint], timeout: float | None,
               jobs: int | None = None) -> list[bundles.BundleReport]:
    def one(ep: importlib.metadata.EntryPoint) -> bundles.BundleReport:
        printed, what = _child([ep.name, ep.value], timeout)
        if printed is not None:
            return bundles.BundleReport.from_json(json.loads(printed))
        distribution, version = bundles.distribution_of(ep)
        return bundles.BundleReport(ep.name, ep.value, distribution, version,
                                    problem=_crashed("isolate", "the check of this bundle in a child process", what))

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs or os.cpu_count() or 2) as pool:
        return list(pool.map(one, eps))


def discovery(timeout: float | None) -> bundles.Problem | None:
    printed, what = _child(["--discovery"], timeout)
    if printed is None:
        return _crashed("discovery", "korvane's discovery over every bundle, in a child process", what)
    found = json.loads(printed)
    return None if found is None else bundles.Problem(**{k: v for k, v in found.items() if k != "text"})


def check(names: Sequence[str], timeout: float | None, jobs: int | None = None) -> bundles.CheckReport:
    return bundles.check(names, check_each=lambda eps: check_each(eps, timeout, jobs),
                         discover=lambda: discovery(timeout))


def _main(argv: Sequence[str]) -> int:
    from .contain import stdout_to_stderr, watch_interrupts
    from .output import dump_json

    with watch_interrupts(), stdout_to_stderr() as out:
        if list(argv) == ["--discovery"]:
            problem = bundles.discovery_problem()
            dump_json(None if problem is None else problem.as_json(), out)
            return 0
        name, value = argv
        for ep in bundles.entry_points():
            if (ep.name, ep.value) == (name, value):
                dump_json(bundles.check_one(ep).as_json(), out)
                return 0
    print(f"korvane_tools.isolated: no entry point {name} = {value} in group {bundles.GROUP}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
