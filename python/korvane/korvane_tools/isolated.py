"""`korvane check --isolate`: the bundles checked in child processes.

A bundle whose import hangs, forks, calls os._exit or crashes the
interpreter takes only a child down; the parent reports what happened (timed
out after S s, and where; exited with status N; killed by SIGSEGV) as that
bundle's fault and goes on with the others in a new child. Each child checks
a share of the bundles and writes one JSON line per bundle as it finishes it,
so the parent always knows which bundle a child was on, and the time limit
applies to each bundle: the child stops itself at the limit, writing its
Python stack first (korvane_tools.children). Each child leads its own
session, and is stopped with whatever its bundles started when it ends, at
the time limit and at Ctrl-C, which stops the check at once with a report of
what was checked. The children are this interpreter (`python -m
korvane_tools.isolated`) with the parent's sys.path; what bundle code prints
goes to standard error.
"""

from __future__ import annotations

import concurrent.futures
import importlib.metadata
import json
import os
import selectors
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Sequence
from typing import IO, Any

from . import bundles, children

Item = tuple[int, importlib.metadata.EntryPoint, tuple[str | None, str | None]]


class CheckInterrupted(KeyboardInterrupt):
    """Ctrl-C during the check, with the reports of the bundles checked by then."""

    def __init__(self, checked: list[bundles.BundleReport], total: int) -> None:
        super().__init__()
        self.checked = checked
        self.total = total


class _Children:
    """The live children; once stopped, none is started and the live ones are killed."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.live: set[subprocess.Popen[bytes]] = set()
        self.stopped = False

    def start(self, args: list[str], dump: IO[bytes]) -> subprocess.Popen[bytes] | None:
        with self.lock:
            if self.stopped:
                return None
            proc = children.spawn(args, dump, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=_environment())
            self.live.add(proc)
            return proc

    def end(self, proc: subprocess.Popen[bytes]) -> None:
        children.kill_group(proc)  # what the bundles started goes with the child
        proc.wait()
        with self.lock:
            self.live.discard(proc)

    def stop(self) -> None:
        with self.lock:
            self.stopped = True
            for proc in self.live:
                children.kill_group(proc)


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(entry for entry in sys.path if entry)
    return env


# How often a quiet child is looked at, to notice that it ended.
_POLL = 0.5


def _lines(proc: subprocess.Popen[bytes], timeout: float) -> Iterator[bytes | None]:
    """The child's lines as they come, until it ends (though what it forked
    may hold its end of the pipe open); None when one takes longer than
    `timeout`."""
    assert proc.stdout is not None
    fd = proc.stdout.fileno()
    buffer = b""
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                yield line
                deadline = time.monotonic() + timeout
            left = deadline - time.monotonic()
            if left <= 0:
                yield None
                return
            if not selector.select(min(left, _POLL)):
                if proc.poll() is not None and not selector.select(0):
                    return
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            buffer += chunk


def _failure(proc: subprocess.Popen[bytes], dump: str, timeout: float, stopped_here: bool) -> bundles.Problem:
    """Why a child ended before its bundle's line: the bundle's fault."""
    frames = children.stack(dump)
    where = children.bundle_frame(frames)
    if stopped_here or children.timed_out(dump):
        what = f"timed out after {timeout:g} s"
    elif proc.returncode == 74:  # the child's own status for a lost standard output
        what = "bundle code closed or reused the descriptor of the check's report (exit status 74)"
    else:
        what = children.ending(proc.returncode)
    notes: tuple[str, ...] = ()
    if where is not None:
        shown = children.bundle_frames(frames)[:8]
        notes = ("bundle code when stopped, most recent call first: " + " <- ".join(f.text() for f in shown),)
    return bundles.Problem(
        "isolate",
        "its check in a child process failed",
        "ChildProcessError",
        what,
        where.file if where else None,
        where.line if where else None,
        notes,
    )


def _check_share(items: list[Item], timeout: float, state: _Children) -> list[tuple[int, bundles.BundleReport]]:
    done: list[tuple[int, bundles.BundleReport]] = []
    pending = list(items)
    while pending:
        request = {"timeout": timeout, "bundles": [[ep.name, ep.value, *origin] for _, ep, origin in pending]}
        with tempfile.TemporaryFile() as dump:
            proc = state.start([sys.executable, "-m", "korvane_tools.isolated", str(dump.fileno())], dump)
            if proc is None:
                return done
            assert proc.stdin is not None and proc.stdout is not None
            try:
                proc.stdin.write(json.dumps(request).encode())
                proc.stdin.close()
            except BrokenPipeError:
                pass
            stopped_here = False
            try:
                # The child stops itself at the limit; this is for one that cannot.
                for line in _lines(proc, timeout + children.GRACE):
                    if line is None:
                        stopped_here = True
                        break
                    index, _, _ = pending.pop(0)
                    done.append((index, bundles.BundleReport.from_json(json.loads(line))))
                    if not pending:
                        break
                else:
                    # The pipe closed (bundle code may close it): the child's end tells.
                    try:
                        proc.wait(timeout + children.GRACE)
                    except subprocess.TimeoutExpired:
                        stopped_here = True
            finally:
                state.end(proc)
                proc.stdout.close()
            if pending and not state.stopped:
                index, ep, (distribution, version) = pending.pop(0)
                problem = _failure(proc, children.read(dump), timeout, stopped_here)
                done.append((index, bundles.BundleReport(ep.name, ep.value, distribution, version, problem=problem)))
    return done


def check_each(
    eps: Sequence[importlib.metadata.EntryPoint], timeout: float, jobs: int | None = None
) -> list[bundles.BundleReport]:
    """Raises CheckInterrupted at Ctrl-C, once every child is stopped."""
    items: list[Item] = [(index, ep, bundles.distribution_of(ep)) for index, ep in enumerate(eps)]
    jobs = max(1, min(jobs or os.cpu_count() or 2, len(items)))
    shares = [items[start::jobs] for start in range(jobs)]
    reports: dict[int, bundles.BundleReport] = {}
    state = _Children()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = [pool.submit(_check_share, share, timeout, state) for share in shares]
        try:
            for future in futures:
                reports.update(future.result())
        except KeyboardInterrupt:
            state.stop()
            for future in futures:
                reports.update(future.result())
            raise CheckInterrupted([reports[index] for index in sorted(reports)], len(items)) from None
    return [reports[index] for index in range(len(items))]


def check(names: Sequence[str], timeout: float, jobs: int | None = None) -> bundles.CheckReport:
    return bundles.check(names, check_each=lambda eps: check_each(eps, timeout, jobs))


def _main() -> int:
    from .contain import OutputReplaced

    dump_fd = int(sys.argv[1])
    request = json.loads(sys.stdin.read())
    try:
        _check(request, dump_fd)
    except OutputReplaced as error:
        print(f"korvane check: {error}", file=sys.stderr)
        return 74
    return 0


def _check(request: dict[str, Any], dump_fd: int) -> None:
    import faulthandler

    from .contain import stdout_to_stderr, watch_interrupts

    me = os.getpid()
    forks: list[int] = []
    os.register_at_fork(after_in_parent=lambda: forks.append(1))
    with watch_interrupts(), stdout_to_stderr() as out:
        for name, value, distribution, version in request["bundles"]:
            ep = importlib.metadata.EntryPoint(name, value, bundles.GROUP)
            children.arm(request["timeout"], dump_fd)
            forks.clear()
            report = bundles.check_one(ep, origin=(distribution, version))
            if os.getpid() != me:
                os._exit(0)  # a copy that bundle code forked: it reports nothing
            if forks and report.problem is None:
                report.problem = bundles.Problem(
                    "isolate",
                    "bundle code forked the checking process",
                    "ChildProcessError",
                    f"os.fork() was called {len(forks)} time{'s' if len(forks) != 1 else ''} while it was checked",
                )
            out.write(json.dumps(report.as_json(), default=repr) + "\n")
            out.flush()
    faulthandler.cancel_dump_traceback_later()


if __name__ == "__main__":
    sys.exit(_main())
