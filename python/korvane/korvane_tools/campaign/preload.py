"""Imported by the forkserver of a campaign's pool before it forks a worker
(and only there: importing it makes the importing process ignore SIGINT
and SIGTERM).

SIGTERM sent to the whole process group (`timeout`, `kill %1`, a batch
scheduler) would otherwise end the forkserver, and with it every worker,
each of which ends with its parent. And a worker takes the forkserver's
SIGINT handling as it was before the forkserver set its own: ignored from
here on, a Ctrl-C cannot end a worker still starting. The client alone
decides what stops; the forkserver still ends when the client does.
Importing the worker side here also spares each forked worker korvane's
import.
"""

from __future__ import annotations

import signal

from . import worker as worker

signal.signal(signal.SIGINT, signal.SIG_IGN)
signal.signal(signal.SIGTERM, signal.SIG_IGN)
