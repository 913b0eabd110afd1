"""What `korvane list` and `korvane check` find out about the installed bundles.

korvane's discovery is all or nothing: one broken bundle makes it raise, and
its message does not always say which distribution is at fault. The checks
here take the bundles one at a time, and every verdict on the metadata comes
from korvane itself: its own discovery runs with only one entry point
visible (importlib.metadata.entry_points is swapped for the length of that one
call), so the rules live in one place only, the module.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import importlib.metadata
import json
import os
import sysconfig
import threading
import traceback
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import korvane

GROUP = "korvane.machine_bundles"

# Swapping importlib.metadata.entry_points is process-wide; one swap at a time.
_SWAP_LOCK = threading.RLock()


@dataclasses.dataclass(frozen=True)
class Problem:
    """Why a bundle fails, with the exception exactly as it was raised."""

    stage: str  # load, provider, metadata, module, prepare_function, execute_function, discovery
    summary: str  # what went wrong, in words, before the exception
    exception: str  # the exception's type name
    message: str  # str() of the exception: korvane's own message where korvane raised it
    file: str | None = None
    line: int | None = None

    def text(self) -> str:
        where = f" (at {self.file}, line {self.line})" if self.file and self.line else ""
        return f"{self.summary}: {self.exception}: {self.message}{where}"

    def as_json(self) -> dict[str, Any]:
        return {**dataclasses.asdict(self), "text": self.text()}


@dataclasses.dataclass
class BundleReport:
    """One entry point of the group and the verdict on it."""

    entry_point: str
    value: str
    distribution: str | None
    version: str | None
    metadata: dict[str, Any] | None = None  # korvane's listing object, once it accepted the provider
    problem: Problem | None = None

    @property
    def ok(self) -> bool:
        return self.problem is None

    @property
    def machine_id(self) -> str | None:
        return None if self.metadata is None else str(self.metadata["machine_id"])

    def culprit(self) -> str:
        """The entry point with its distribution, version and value."""
        return f"{self.entry_point} ({self.distribution or '?'} {self.version or '?'}, {self.value})"

    def as_json(self) -> dict[str, Any]:
        return {
            "entry_point": self.entry_point,
            "value": self.value,
            "distribution": self.distribution,
            "version": self.version,
            "ok": self.ok,
            "machine_id": self.machine_id,
            "metadata": self.metadata,
            "problem": None if self.problem is None else self.problem.as_json(),
        }


@dataclasses.dataclass
class Clash:
    """One machine id claimed by several bundles, with korvane's message for it."""

    machine_id: str
    message: str
    bundles: list[BundleReport]

    def text(self) -> str:
        claimed = " and ".join(bundle.culprit() for bundle in self.bundles)
        return f"RuntimeError: {self.message}; claimed by {claimed}"

    def as_json(self) -> dict[str, Any]:
        return {
            "machine_id": self.machine_id,
            "message": self.message,
            "text": self.text(),
            "entry_points": [
                {key: bundle.as_json()[key] for key in ("entry_point", "distribution", "version", "value")}
                for bundle in self.bundles
            ],
        }


@dataclasses.dataclass
class CheckReport:
    """The verdict of `korvane check` on every bundle it was asked about."""

    bundles: list[BundleReport]
    clashes: list[Clash]
    # korvane's own discovery over every installed bundle, run when everything
    # else passed and no names narrowed the check: the last word on whether
    # Runtime.discover() succeeds.
    discovery: Problem | None = None

    @property
    def ok(self) -> bool:
        return all(bundle.ok for bundle in self.bundles) and not self.clashes and self.discovery is None

    def as_json(self) -> dict[str, Any]:
        return {
            "ok": self.ok,
            "bundles": [bundle.as_json() for bundle in self.bundles],
            "clashes": [clash.as_json() for clash in self.clashes],
            "discovery": None if self.discovery is None else self.discovery.as_json(),
        }


def entry_points() -> list[importlib.metadata.EntryPoint]:
    """The group's entry points, sorted by name and value for a steady report.

    korvane's discovery meets them in sys.path and folder order, but whether
    it succeeds does not depend on that order.
    """
    found = importlib.metadata.entry_points().select(group=GROUP)
    return sorted(found, key=lambda ep: (ep.name, ep.value))


def distribution_of(ep: importlib.metadata.EntryPoint) -> tuple[str | None, str | None]:
    """Name and version of the distribution that advertises `ep`.

    Read from the head of its METADATA (the Name and Version fields come
    before the first blank line), once: Distribution.name and .version each
    run the whole file through the email parser, which made the metadata
    the larger part of `korvane check`'s time.
    """
    dist = ep.dist
    if dist is None:
        return None, None
    try:
        text = dist.read_text("METADATA") or dist.read_text("PKG-INFO")
    except Exception:  # unreadable metadata: the report still shows the entry point
        text = None
    if text is None:
        return None, None
    fields: dict[str, str] = {}
    for line in text.splitlines():
        if not line.strip():
            break
        key, colon, value = line.partition(":")
        if colon and key.lower() in ("name", "version") and key.lower() not in fields:
            fields[key.lower()] = value.strip()
    return fields.get("name"), fields.get("version")


_STDLIB = sysconfig.get_paths()["stdlib"]


def _in_stdlib(path: str) -> bool:
    parts = path.split(os.sep)
    return path.startswith(_STDLIB + os.sep) and "site-packages" not in parts and "dist-packages" not in parts


def _where(error: BaseException) -> tuple[str | None, int | None]:
    """File and line where a bundle's code raised `error`.

    The innermost frame in a real file that is neither this one nor the
    standard library's: the provider's own line, or the line of a bundle
    module that fails on import. None for korvane's own exceptions and for a
    module that is simply not there.
    """
    if isinstance(error, SyntaxError) and error.filename:
        return error.filename, error.lineno
    for frame in reversed(traceback.extract_tb(error.__traceback__)):
        name = frame.filename
        if not name or name.startswith("<") or name == __file__ or _in_stdlib(name):
            continue
        if os.path.exists(name):
            return name, frame.lineno
    return None, None


def _problem(stage: str, summary: str, error: BaseException) -> Problem:
    file, line = _where(error)
    return Problem(stage, summary, type(error).__name__, str(error), file, line)


@contextlib.contextmanager
def only_visible(eps: Iterable[Any]) -> Iterator[None]:
    """While active, importlib.metadata.entry_points() returns just `eps`.

    korvane's discovery looks entry_points up on importlib.metadata at every
    call, so its own rules run over exactly these entry points. The original
    function is back when the block ends, however it ends.
    """
    visible = importlib.metadata.EntryPoints(tuple(eps))

    def only_these(**params: Any) -> importlib.metadata.EntryPoints:
        return visible.select(**params) if params else visible

    with _SWAP_LOCK:
        saved = importlib.metadata.entry_points
        importlib.metadata.entry_points = only_these
        try:
            yield
        finally:
            importlib.metadata.entry_points = saved


def korvane_metadata(ep: importlib.metadata.EntryPoint) -> dict[str, Any]:
    """korvane's discovery with only `ep` visible: its listing object, or what it raised."""
    with only_visible([ep]):
        listing = korvane.discover_bundles()
    found: list[dict[str, Any]] = json.loads(listing)
    return found[0]


def check_one(ep: importlib.metadata.EntryPoint, *, resolve_functions: bool = True) -> BundleReport:
    """Every check of one bundle on its own; the first failure is the verdict."""
    distribution, version = distribution_of(ep)
    report = BundleReport(ep.name, ep.value, distribution, version)

    try:
        provider = ep.load()
    except Exception as error:
        report.problem = _problem("load", f"entry point {ep.value} does not load", error)
        return report
    if not callable(provider):
        report.problem = Problem("provider", f"entry point {ep.value} names no callable", "TypeError",
                                 f"'{type(provider).__name__}' object is not callable")
        return report
    try:
        returned = provider()
    except (Exception, SystemExit) as error:  # a provider that exits is as broken as one that raises
        report.problem = _problem("provider", "provider raised", error)
        return report

    try:
        report.metadata = korvane_metadata(ep)
    except Exception as error:
        summary = "korvane refuses the metadata"
        if not isinstance(returned, str):
            summary = f"provider returned {type(returned).__name__}, not JSON text"
        report.problem = _problem("metadata", summary, error)
        return report

    if resolve_functions:
        report.problem = resolve(report.metadata)
    return report


def resolve(metadata: dict[str, Any]) -> Problem | None:
    """The module imports and both functions exist and are callable: what
    prepare and execute would otherwise find out only at their first call."""
    name = metadata["module"]
    try:
        module = importlib.import_module(name)
    except Exception as error:
        return _problem("module", f'module "{name}" does not import', error)
    for field in ("prepare_function", "execute_function"):
        attribute = metadata[field]
        try:
            function = getattr(module, attribute)
        except Exception as error:
            return _problem(field, f'{field} "{attribute}"', error)
        if not callable(function):
            return Problem(field, f'{field} "{attribute}"', "TypeError",
                           f"'{type(function).__name__}' object is not callable")
    return None


def clash_message(bundles: Sequence[BundleReport], eps: Sequence[importlib.metadata.EntryPoint]) -> str:
    """korvane's own message for bundles that claim one machine id."""
    try:
        with only_visible(eps):
            korvane.discover_bundles()
    except Exception as error:
        return str(error)
    # Only when a provider answers differently on a second call.
    return f'machine_id "{bundles[0].machine_id}" is claimed by {len(bundles)} entry points'


def check(names: Sequence[str] = ()) -> CheckReport:
    """The verdict on the bundles named (entry-point or distribution names),
    or on every installed bundle when no name is given.

    Raises LookupError for a name that no entry point of the group carries.
    """
    eps = entry_points()
    reports = [check_one(ep) for ep in eps]
    claims: dict[str, list[int]] = {}
    for index, report in enumerate(reports):
        if report.machine_id is not None:
            claims.setdefault(report.machine_id, []).append(index)
    clashes = [
        Clash(machine_id, clash_message([reports[i] for i in indices], [eps[i] for i in indices]),
              [reports[i] for i in indices])
        for machine_id, indices in claims.items()
        if len(indices) > 1
    ]

    if names:
        chosen = select(reports, names)
        wanted = {id(report) for report in chosen}
        clashes = [clash for clash in clashes if any(id(bundle) in wanted for bundle in clash.bundles)]
        return CheckReport(chosen, clashes)

    result = CheckReport(reports, clashes)
    if result.ok:
        # Each bundle passed on its own; korvane's discovery over all of them
        # (the same entry points, so no second scan) has the last word.
        try:
            with only_visible(eps):
                korvane.discover_bundles()
        except Exception as error:
            result.discovery = _problem("discovery", "korvane's discovery over every bundle fails", error)
    return result


def _normalized(name: str) -> str:
    return name.replace("_", "-").replace(".", "-").lower()


def select(reports: Sequence[BundleReport], names: Sequence[str]) -> list[BundleReport]:
    """The reports whose entry-point name, or distribution name, is among `names`."""
    unknown = [
        name for name in names
        if not any(r.entry_point == name or (r.distribution and _normalized(r.distribution) == _normalized(name))
                   for r in reports)
    ]
    if unknown:
        raise LookupError(f"no entry point or distribution named {', '.join(unknown)} "
                          f"in group {GROUP}")
    return [
        r for r in reports
        if r.entry_point in names
        or (r.distribution and _normalized(r.distribution) in {_normalized(n) for n in names})
    ]


def usable_entry_points() -> tuple[list[importlib.metadata.EntryPoint], CheckReport]:
    """The entry points that pass every check and claim a machine id alone,
    with the report that says which were left out."""
    eps = entry_points()
    reports = [check_one(ep) for ep in eps]
    counts: dict[str, int] = {}
    for report in reports:
        if report.machine_id is not None:
            counts[report.machine_id] = counts.get(report.machine_id, 0) + 1
    keep = [ep for ep, report in zip(eps, reports)
            if report.ok and counts.get(report.machine_id or "", 0) == 1]
    skipped = [report for report in reports
               if not report.ok or counts.get(report.machine_id or "", 0) > 1]
    return keep, CheckReport(skipped, [])
