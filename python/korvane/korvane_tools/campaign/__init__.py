"""Campaigns: one machine run over many inputs, in parallel, on an existing engine.

The runs go to a `concurrent.futures` executor: a process pool of this
machine's cores by default, or the executor of a Dask `distributed.Client`.
Each worker process discovers the installed bundles once and keeps its
`korvane.Runtime` for every run it is given. What travels to a worker is
plain data (a `Task`: the machine id, the artifact's bytes, the four JSON
values and, when recording, the path of the recording file); the worker
builds its own `korvane.FileRecorder` from that path. What comes back is an
`Outcome`: the run's validated result as plain JSON values, or the type and
message of what it raised.

    campaign = Campaign("stack", jobs=2)
    with campaign:
        for outcome in campaign.run(read_inputs("runs.jsonl")):
            print(outcome.json_line())

A run that raises (whatever it raises) is one failed outcome; the campaign
goes on. A worker process that dies, or a run stopped at its time limit,
takes its neighbours down with the pool: those are tried again, and each
such try is an `Attempt` (kept in attempts.jsonl by `korvane batch`), never
an outcome. Only a failure of the engine itself (a broken executor that
korvane did not create, a worker without the machine's bundle) ends the
campaign, with `CampaignError`, after the runs still going have come back.

The package holds one module per job: `inputs` reads the inputs file,
`worker` is what runs in a worker process, `scheduler` is the client's loop
(`Campaign`), `results` is the results file, `attempts` the log of tries
that ended on infrastructure, and `manifest` is what a campaign runs with
(korvane's and the bundle's versions and code, here and on each worker) and
the identity it keeps beside its results. Every name is taken from here, as
before the package was split.
"""

from __future__ import annotations

# A name imported "as" itself is public here but outside `__all__`: the
# helpers `korvane batch` uses, and the settings.
from .attempts import Attempt, AttemptsFile
from .cluster import import_distributed as import_distributed
from .inputs import INPUT_MEMBERS as INPUT_MEMBERS
from .inputs import MAX_ID_BYTES as MAX_ID_BYTES
from .inputs import InputError, RunInput, read_inputs
from .manifest import WORKER_JOIN_SECONDS as WORKER_JOIN_SECONDS
from .manifest import CampaignError, IdentityRefused, check_cluster
from .manifest import local_bundle as local_bundle
from .manifest import worker_installation as worker_installation
from .results import ResultsFile, ResultsWriteError
from .results import rate_text as rate_text
from .scheduler import POLL_SECONDS as POLL_SECONDS
from .scheduler import QUEUE_PER_DASK_THREAD as QUEUE_PER_DASK_THREAD
from .scheduler import QUEUE_PER_WORKER as QUEUE_PER_WORKER
from .scheduler import Campaign, run_campaign
from .worker import Outcome, Task, WorkerStale, WorkerUnfit, execute_task, execute_tasks
from .worker import describe_bundle as describe_bundle
from .worker import failed_outcome as failed_outcome
from .worker import statuses_of as statuses_of
from .worker import unmet_of as unmet_of

__all__ = [
    "Attempt",
    "AttemptsFile",
    "Campaign",
    "CampaignError",
    "IdentityRefused",
    "InputError",
    "Outcome",
    "ResultsFile",
    "ResultsWriteError",
    "RunInput",
    "Task",
    "WorkerStale",
    "WorkerUnfit",
    "check_cluster",
    "execute_task",
    "execute_tasks",
    "read_inputs",
    "run_campaign",
]
