"""One run in a child process of its own, for `execute_in_children`.

    python -m korvane_tools.campaign.child FD PARENT_PID

reads a pickled `Task` from standard input, checks korvane and the bundle
code as every worker does, writes one byte to FD once the bundle is
imported (the time limit counts from there), runs the task and writes the
pickled ("outcome", Outcome) or ("unfit", WorkerUnfit) after it. Standard
output is the parent's standard error here: what the bundle prints cannot
mix with the answer.
"""

from __future__ import annotations

import os
import pickle
import sys

from . import worker


def main() -> None:
    answer = os.fdopen(int(sys.argv[1]), "wb")
    task = pickle.load(sys.stdin.buffer)
    os.dup2(2, 1)
    worker._end_with_parent()
    if os.getppid() != int(sys.argv[2]):
        return  # the worker ended before the kernel was told to end this child with it
    try:
        worker.check_worker(task)
    except worker.WorkerUnfit as unfit:
        answer.write(b"-" + pickle.dumps(("unfit", unfit)))
        return
    answer.write(b"+")
    answer.flush()
    outcome = worker.execute_task(task)
    answer.write(pickle.dumps(("outcome", outcome)))
    answer.close()


if __name__ == "__main__":
    main()
