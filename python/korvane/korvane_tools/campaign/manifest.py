"""What a campaign runs with: korvane's version and the machine's bundle.

`local_bundle` is the bundle this client would run; `worker_installation`
is what a worker has (a Dask client runs it on each of its workers), and
`check_cluster` refuses a cluster whose workers differ from this client.
`CampaignError` is what the client raises when the machine cannot be run
there, or the engine fails.

A campaign's identity is kept beside its results, in DIR/manifest.json: the
machine, the bundle's distribution and version, the digest of the bundle's
code as this client imported it, and korvane's version. `settle_identity`
compares it with what this client runs before a resume, and refuses (with
`IdentityRefused`) to mix the results of other code into the folder unless
told to.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import stat
from typing import Any

from .worker import WorkerUnfit, _bundle_of, _worker_runtime, describe_bundle, machine_code
from .worker import korvane_version as _korvane_version

WORKER_JOIN_SECONDS = 30.0


class CampaignError(RuntimeError):
    """The engine failed, or the machine cannot be run: no run that was not
    reported as an outcome has run to completion."""


def worker_installation(machine: str) -> dict[str, Any]:
    """What this process would run for `machine`: korvane's version and the
    bundle's (distribution, bundle_version), or the reason it cannot."""
    try:
        _, machines = _worker_runtime()
        code = machine_code(machine)
    except WorkerUnfit as error:
        return {"korvane": _korvane_version(), "bundle": None, "code": None, "problem": str(error)}
    return {
        "korvane": _korvane_version(),
        "bundle": _bundle_of(machines.get(machine)),
        "code": None if code is None else code.digest,
        "problem": None,
    }


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


def check_cluster(client: Any, machine: str, bundle: tuple[str, str], code_digest: str | None = None) -> int:
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
        elif code_digest is not None and reply.get("code") != code_digest:
            differing.append(f"{address}: other bundle code (code digest {str(reply.get('code'))[:16]})")
    if differing:
        raise CampaignError(
            f"{len(differing)} of {len(replies)} workers differ from this client (korvane {here['korvane']}, "
            f'{describe_bundle(bundle)} for machine "{machine}"): ' + "; ".join(differing)
        )
    return sum(client.nthreads().values()) or 1


MANIFEST = "manifest.json"
# The members of a campaign's identity, in the order a refusal names them.
IDENTITY = {
    "machine": "machine",
    "distribution": "bundle distribution",
    "bundle_version": "bundle version",
    "code_digest": "bundle code digest",
    "korvane": "korvane version",
}


class IdentityRefused(ValueError):
    """A resume that would mix other results into a campaign's folder:
    `differences` says what differs, `remedy` how to go on deliberately."""

    def __init__(self, folder: str, differences: list[str], remedy: str) -> None:
        super().__init__(f"{folder}: " + "; ".join(differences))
        self.folder = folder
        self.differences = differences
        self.remedy = remedy


def local_identity(machine: str) -> dict[str, str]:
    """The identity of a campaign of `machine` run from this process.
    LookupError when the machine is not installed, CampaignError when its
    bundle's module cannot be imported."""
    distribution, version = local_bundle(machine)
    try:
        code = machine_code(machine)
    except WorkerUnfit as error:
        raise CampaignError(str(error)) from None
    assert code is not None  # local_bundle found the machine
    return {
        "machine": machine,
        "distribution": distribution,
        "bundle_version": version,
        "code_digest": code.digest,
        "korvane": _korvane_version(),
    }


def _now() -> str:
    return datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")


def read_manifest(folder: str) -> dict[str, Any] | None:
    """DIR/manifest.json, None when there is none. IdentityRefused when it is
    not a regular file or not a manifest."""
    path = os.path.join(folder, MANIFEST)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise IdentityRefused(folder, [f"{MANIFEST} is not a regular file"], "give another --out")
        with open(path, "rb") as stream:
            manifest = json.loads(stream.read())
    except FileNotFoundError:
        return None
    except (OSError, ValueError, RecursionError) as error:
        if isinstance(error, IdentityRefused):
            raise
        raise IdentityRefused(folder, [f"{MANIFEST} cannot be read: {error}"], "mend or remove it") from None
    if not isinstance(manifest, dict) or not all(isinstance(manifest.get(key), str) for key in IDENTITY):
        raise IdentityRefused(folder, [f"{MANIFEST} is not a campaign's manifest"], "mend or remove it")
    return manifest


def write_manifest(folder: str, manifest: dict[str, Any]) -> None:
    """Replaces DIR/manifest.json whole: a reader sees the old one or the new
    one, never a part."""
    path = os.path.join(folder, MANIFEST)
    temporary = f"{path}.{os.getpid()}.tmp"
    try:
        with open(temporary, "w", encoding="utf-8") as stream:
            json.dump(manifest, stream, indent=2)
            stream.write("\n")
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    sync_folder(folder)


def sync_folder(folder: str) -> None:
    """Makes a rename in `folder` last through a crash."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def settle_identity(
    folder: str, here: dict[str, str], *, has_results: bool, accept_code: bool = False, adopt: bool = False
) -> dict[str, Any] | None:
    """The manifest that `folder` needs before this client adds to it (to be
    written with `write_manifest` once the runs may start): a new one when
    there was none, an updated one when other code is accepted; None when
    the one there serves.

    IdentityRefused when the folder holds results of another machine, or of
    other code or another korvane (unless `accept_code`: the manifest then
    keeps the earlier identity in `earlier`), or results without a manifest,
    written before manifests existed (unless `adopt`)."""
    manifest = read_manifest(folder)
    if manifest is None:
        if has_results and not adopt:
            raise IdentityRefused(
                folder,
                [
                    "it holds results.jsonl but no manifest.json (an older korvane wrote it): "
                    "which code and inputs made those results is unknown"
                ],
                "--adopt takes the folder over as it is, for this code; or give another --out",
            )
        manifest = {**here, "created": _now(), "earlier": []}
        if has_results:
            manifest["adopted"] = manifest["created"]
        return manifest
    if manifest["machine"] != here["machine"]:
        raise IdentityRefused(
            folder,
            [f'it holds the results of machine "{manifest["machine"]}", not "{here["machine"]}"'],
            "give another --out",
        )
    differences = [
        f"{IDENTITY[key]} {_short(manifest[key])} there, {_short(here[key])} here"
        for key in IDENTITY
        if manifest[key] != here[key]
    ]
    if not differences:
        return None
    if not accept_code:
        raise IdentityRefused(
            folder,
            differences,
            "--accept-code goes on with this code, keeping the earlier lines (each line's code_digest "
            "names the code that made it); or give another --out",
        )
    earlier = manifest.get("earlier")
    manifest = {
        **manifest,
        **here,
        "earlier": [
            *(earlier if isinstance(earlier, list) else []),
            {**{key: manifest[key] for key in IDENTITY}, "until": _now()},
        ],
    }
    return manifest


def _short(value: str) -> str:
    return value[:16] if len(value) == 64 and all(c in "0123456789abcdef" for c in value) else value
