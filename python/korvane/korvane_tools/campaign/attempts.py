"""Attempts that ended on a failure of the machinery rather than of the run:
a worker process that died, a pool taken down to stop another run at its
time limit, a stop, a lost Dask worker.

None of these is the run's own outcome, so none goes to results.jsonl: the
run is tried again (now or on a resume), and the attempt is kept in
DIR/attempts.jsonl, one line each, so that what happened overnight can be
read in the morning.
"""

from __future__ import annotations

import errno
import json
import os
import stat
import time
from dataclasses import dataclass

# Why an attempt ended, as written in its line.
WORKER_DIED = "worker_died"  # the worker process running it ended abruptly
POOL_LOST = "pool_lost"  # it was in the pool (queued, or on another worker) when a worker died
TIME_LIMIT_NEIGHBOUR = "time_limit_neighbour"  # the pool went down to stop another run at its time limit
STOPPED = "stopped"  # the campaign was stopping (Ctrl-C, SIGTERM)
KILLED_WORKER = "killed_worker"  # Dask gave up on it after its workers died
GIVEN_UP = "given_up"  # its worker died more often than --retries allows, never while it ran alone


@dataclass(frozen=True, slots=True)
class Attempt:
    """One attempt of a run that ended on infrastructure. `attempt` counts the
    run's tries in this session, from 1; `retried` says whether it goes again
    in this session (else a resume does it)."""

    id: str
    attempt: int
    reason: str
    message: str
    worker: str | None
    retried: bool

    def json_line(self) -> str:
        line = {
            "id": self.id,
            "attempt": self.attempt,
            "reason": self.reason,
            "message": self.message,
            "worker": self.worker,
            "retried": self.retried,
            "time": round(time.time(), 3),
        }
        return json.dumps(line, ensure_ascii=True) + "\n"


class AttemptsFile:
    """DIR/attempts.jsonl, appended one whole line per attempt. Anything at
    the path but a regular file (a FIFO would hang the campaign) is refused
    with OSError on opening."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.written = 0
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOFOLLOW
        self._fd = os.open(self.path, flags, 0o644)
        if not stat.S_ISREG(os.fstat(self._fd).st_mode):
            os.close(self._fd)
            raise OSError(errno.EINVAL, "not a regular file", self.path)
        os.set_blocking(self._fd, True)

    def write(self, attempt: Attempt) -> None:
        data = attempt.json_line().encode("ascii")
        while data:
            data = data[os.write(self._fd, data) :]
        self.written += 1

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> AttemptsFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
