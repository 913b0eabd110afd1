"""What a campaign runs with: korvane's version and the machine's bundle.

`local_bundle` is the bundle this client would run; `worker_installation`
is what a worker has (a Dask client runs it on each of its workers), and
`check_cluster` refuses a cluster whose workers differ from this client.
`CampaignError` is what the client raises when the machine cannot be run
there, or the engine fails. A campaign's identity, kept beside its results,
belongs here too.
"""

from __future__ import annotations

import importlib.metadata
from typing import Any

from .worker import WorkerUnfit, _bundle_of, _worker_runtime, describe_bundle

WORKER_JOIN_SECONDS = 30.0


class CampaignError(RuntimeError):
    """The engine failed, or the machine cannot be run: no run that was not
    reported as an outcome has run to completion."""


def _korvane_version() -> str:
    try:
        return importlib.metadata.version("korvane")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def worker_installation(machine: str) -> dict[str, Any]:
    """What this process would run for `machine`: korvane's version and the
    bundle's (distribution, bundle_version), or the reason it cannot."""
    try:
        _, machines = _worker_runtime()
    except WorkerUnfit as error:
        return {"korvane": _korvane_version(), "bundle": None, "problem": str(error)}
    return {"korvane": _korvane_version(), "bundle": _bundle_of(machines.get(machine)), "problem": None}


def local_bundle(machine: str) -> tuple[str, str]:
    """The (distribution, bundle_version) of `machine` in this process's
    discovery; LookupError naming the installed machines when it is absent."""
    try:
        _, machines = _worker_runtime()
    except WorkerUnfit as error:
        raise CampaignError(str(error)) from None
    bundle = _bundle_of(machines.get(machine))
    if bundle is None:
        known = ", ".join(f'"{name}"' for name in machines) or "none"
        raise LookupError(f'no machine "{machine}" among the installed bundles (installed: {known})')
    return bundle


def check_cluster(client: Any, machine: str, bundle: tuple[str, str]) -> int:
    """Waits for a first worker, then checks that every worker has korvane and
    the machine's bundle at the versions this client has. Returns the number of
    worker threads; CampaignError names the workers that differ."""
    try:
        client.wait_for_workers(1, timeout=WORKER_JOIN_SECONDS)
    except TimeoutError:
        raise CampaignError(f"no worker joined the scheduler within {WORKER_JOIN_SECONDS:g} s") from None
    here = {"korvane": _korvane_version(), "bundle": bundle}
    # A worker that cannot even answer (korvane missing there) answers with
    # its exception.
    replies: dict[str, Any] = client.run(worker_installation, machine, on_error="return")
    differing = []
    for address, reply in sorted(replies.items()):
        if isinstance(reply, BaseException):
            differing.append(f"{address}: {type(reply).__name__}: {reply}")
            continue
        found = reply["bundle"] if reply["bundle"] is None else tuple(reply["bundle"])
        if reply["problem"] is not None:
            differing.append(f"{address}: {reply['problem']}")
        elif found != bundle or reply["korvane"] != here["korvane"]:
            differing.append(f"{address}: korvane {reply['korvane']}, {describe_bundle(found)}")
    if differing:
        raise CampaignError(
            f"{len(differing)} of {len(replies)} workers differ from this client (korvane {here['korvane']}, "
            f'{describe_bundle(bundle)} for machine "{machine}"): ' + "; ".join(differing)
        )
    return sum(client.nthreads().values()) or 1
