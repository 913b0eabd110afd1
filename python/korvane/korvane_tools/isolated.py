"""`korvane check --isolate`: the bundles checked in child processes.

A bundle whose import hangs, calls os._exit or crashes the interpreter takes
only a child down; the parent reports what happened (timed out after S s,
exited with status N, killed by SIGSEGV) as that bundle's fault and goes on
with the others in a new child. Each child checks a share of the bundles and
writes one JSON line per bundle as it finishes it, so the parent always knows
which bundle a child was on, and the time limit applies to each bundle (the
first one of a child also waits for the interpreter to start). The children
are this interpreter (`python -m korvane_tools.isolated`) with the parent's
sys.path; what bundle code prints goes to standard error.
"""

from __future__ import annotations

import concurrent.futures
import importlib.metadata
import json
import os
import selectors
import signal
import subprocess
import sys
import time
from collections.abc import Sequence
from typing import Any

from . import bundles

Item = tuple[int, importlib.metadata.EntryPoint, tuple[str | None, str | None]]


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(entry for entry in sys.path if entry)
    return env


def _what_happened(proc: subprocess.Popen[bytes]) -> str:
    status = proc.wait()
    if status < 0:
        try:
            return f"killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"killed by signal {-status}"
    return f"exited with status {status}"


def _lines(proc: subprocess.Popen[bytes], timeout: float | None) -> Any:
    """The child's lines as they come; None when one takes longer than `timeout`."""
    assert proc.stdout is not None
    fd = proc.stdout.fileno()
    buffer = b""
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                yield line
                deadline = None if timeout is None else time.monotonic() + timeout
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0 or not selector.select(left):
                yield None
                return
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            buffer += chunk


def _check_share(items: list[Item], timeout: float | None) -> list[tuple[int, bundles.BundleReport]]:
    done: list[tuple[int, bundles.BundleReport]] = []
    pending = list(items)
    while pending:
        request = [[ep.name, ep.value, *origin] for _, ep, origin in pending]
        proc = subprocess.Popen(
            [sys.executable, "-m", "korvane_tools.isolated"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=_environment(),
        )
        assert proc.stdin is not None and proc.stdout is not None
        try:
            proc.stdin.write(json.dumps(request).encode())
            proc.stdin.close()
        except BrokenPipeError:
            pass
        what = None
        try:
            for line in _lines(proc, timeout):
                if line is None:
                    proc.kill()
                    proc.wait()
                    what = f"timed out after {timeout:g} s"
                    break
                index, _, _ = pending.pop(0)
                done.append((index, bundles.BundleReport.from_json(json.loads(line))))
        finally:
            proc.stdout.close()
        if pending:
            what = what or _what_happened(proc)
            index, ep, (distribution, version) = pending.pop(0)
            problem = bundles.Problem("isolate", "its check in a child process failed", "ChildProcessError", what)
            done.append((index, bundles.BundleReport(ep.name, ep.value, distribution, version, problem=problem)))
        else:
            proc.wait()
    return done


def check_each(
    eps: Sequence[importlib.metadata.EntryPoint], timeout: float | None, jobs: int | None = None
) -> list[bundles.BundleReport]:
    items: list[Item] = [(index, ep, bundles.distribution_of(ep)) for index, ep in enumerate(eps)]
    jobs = max(1, min(jobs or os.cpu_count() or 2, len(items)))
    shares = [items[start::jobs] for start in range(jobs)]
    reports: dict[int, bundles.BundleReport] = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for share in pool.map(lambda share: _check_share(share, timeout), shares):
            reports.update(share)
    return [reports[index] for index in range(len(items))]


def check(names: Sequence[str], timeout: float | None, jobs: int | None = None) -> bundles.CheckReport:
    return bundles.check(names, check_each=lambda eps: check_each(eps, timeout, jobs))


def _main() -> int:
    from .contain import stdout_to_stderr, watch_interrupts

    request = json.loads(sys.stdin.read())
    with watch_interrupts(), stdout_to_stderr() as out:
        for name, value, distribution, version in request:
            ep = importlib.metadata.EntryPoint(name, value, bundles.GROUP)
            report = bundles.check_one(ep, origin=(distribution, version))
            out.write(json.dumps(report.as_json(), default=repr) + "\n")
            out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(_main())
