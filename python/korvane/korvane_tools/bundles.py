"""What `korvane list` and `korvane check` find out about the installed bundles.

korvane's discovery is all or nothing: one broken bundle makes it raise, and
its message does not always say which distribution is at fault. The checks
here take the bundles one at a time, and every verdict on the metadata comes
from korvane's own core (korvane_tools._rules, built from the same code as
the module), so the rules live in one place only. Nothing here changes
process-wide state: korvane's discovery and its entry points are left as
they are.

Whatever a bundle's code raises while it is checked (on import, in its
provider), SystemExit and KeyboardInterrupt included, is that bundle's
failure; only a real Ctrl-C stops the check (see korvane_tools.contain).
"""

from __future__ import annotations

import dataclasses
import difflib
import importlib
import importlib.metadata
import inspect
import json
import os
import sysconfig
import traceback
from collections.abc import Callable, Sequence
from typing import Any

import korvane

from . import _rules
from .contain import reraise_if_interrupted

GROUP = "korvane.machine_bundles"

# The positional arguments korvane passes: prepare(artifact, run_id,
# configuration, input_schedule, execution_controls, observation) and
# execute(prepared, sinks, recorder_path).
ARITY = {"prepare_function": 6, "execute_function": 3}


@dataclasses.dataclass(frozen=True)
class Problem:
    """Why a bundle fails, with the exception exactly as it was raised."""

    stage: str  # load, provider, metadata, module, prepare_function, execute_function, discovery
    summary: str  # what went wrong, in words, before the exception
    exception: str  # the exception's type name
    message: str  # str() of the exception: korvane's own message where korvane raised it
    file: str | None = None
    line: int | None = None
    notes: tuple[str, ...] = ()  # the exception's own notes (PEP 678)

    def text(self) -> str:
        where = f" (at {self.file}, line {self.line})" if self.file and self.line else ""
        detail = f"{self.exception}: {self.message}" if self.message else self.exception
        notes = "".join(f"; note: {note}" for note in self.notes)
        return f"{self.summary}: {detail}{where}{notes}"

    def as_json(self) -> dict[str, Any]:
        return {**dataclasses.asdict(self), "text": self.text()}

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> Problem:
        return cls(
            data["stage"],
            data["summary"],
            data["exception"],
            data["message"],
            data["file"],
            data["line"],
            tuple(data["notes"]),
        )


@dataclasses.dataclass
class BundleReport:
    """One entry point of the group and the verdict on it."""

    entry_point: str
    value: str
    distribution: str | None
    version: str | None
    metadata: dict[str, Any] | None = None  # korvane's listing object, once it accepted the provider
    problem: Problem | None = None
    warnings: list[str] = dataclasses.field(default_factory=list)  # worth fixing, not fatal

    @property
    def ok(self) -> bool:
        return self.problem is None

    @property
    def machine_id(self) -> str | None:
        return None if self.metadata is None else str(self.metadata["machine_id"])

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> BundleReport:
        problem = data["problem"]
        return cls(
            data["entry_point"],
            data["value"],
            data["distribution"],
            data["version"],
            data["metadata"],
            None if problem is None else Problem.from_json(problem),
            list(data["warnings"]),
        )

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
            "warnings": self.warnings,
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
    # Entry points in a group whose name is close to korvane's, which
    # korvane never sees: (group, entry point, distribution).
    near_misses: list[tuple[str, str, str | None]] = dataclasses.field(default_factory=list)
    # Stopped by Ctrl-C: `bundles` holds those checked by then.
    interrupted: bool = False

    @property
    def ok(self) -> bool:
        return (
            all(bundle.ok for bundle in self.bundles)
            and not self.clashes
            and self.discovery is None
            and not self.interrupted
        )

    def as_json(self) -> dict[str, Any]:
        return {
            "ok": self.ok,
            "interrupted": self.interrupted,
            "bundles": [bundle.as_json() for bundle in self.bundles],
            "clashes": [clash.as_json() for clash in self.clashes],
            "discovery": None if self.discovery is None else self.discovery.as_json(),
            "near_misses": [
                {"group": group, "entry_point": name, "distribution": distribution}
                for group, name, distribution in self.near_misses
            ],
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


def suggestion(error: BaseException) -> str:
    """What Python adds after the message of a misspelt name when it shows
    the exception (". Did you mean: 'prepare'?"), or ""."""
    if not isinstance(error, (AttributeError, NameError, ImportError)):
        return ""
    try:
        shown = "".join(traceback.format_exception_only(error))
        message = str(error)
    except Exception:
        return ""
    at = shown.find(message)
    rest = shown[at + len(message) :].split("\n", 1)[0] if at >= 0 else ""
    return rest if rest.startswith(". ") else ""


def _problem(stage: str, summary: str, error: BaseException) -> Problem:
    file, line = _where(error)
    notes = getattr(error, "__notes__", ())
    return Problem(
        stage,
        summary,
        type(error).__name__,
        str(error) + suggestion(error),
        file,
        line,
        tuple(str(note) for note in notes) if isinstance(notes, (list, tuple)) else (),
    )


def _call(function: Callable[[], Any]) -> tuple[Any, BaseException | None]:
    """Runs bundle code: its value, or what it raised when that is the
    bundle's fault (a real Ctrl-C goes on as KeyboardInterrupt)."""
    try:
        return function(), None
    except BaseException as error:
        reraise_if_interrupted(error)
        return None, error


def listing_object(entry_point_name: str, returned: object) -> dict[str, Any]:
    """korvane's listing object for what a provider returned, or the
    TypeError or RuntimeError korvane's discovery raises for it."""
    found: dict[str, Any] = json.loads(_rules.provider_record(entry_point_name, returned))
    return found


def _same_name(a: str, b: str) -> bool:
    return _normalized(a) == _normalized(b)


def check_one(
    ep: importlib.metadata.EntryPoint,
    *,
    resolve_functions: bool = True,
    origin: tuple[str | None, str | None] | None = None,
) -> BundleReport:
    """Every check of one bundle on its own; the first failure is the verdict.
    `origin`: the distribution's name and version when already known."""
    distribution, version = origin if origin is not None else distribution_of(ep)
    report = BundleReport(ep.name, ep.value, distribution, version)

    provider, error = _call(ep.load)
    if error is not None:
        report.problem = _problem("load", f"entry point {ep.value} does not load", error)
        return report
    if not callable(provider):
        report.problem = Problem(
            "provider",
            f"entry point {ep.value} names no callable",
            "TypeError",
            f"'{type(provider).__name__}' object is not callable",
        )
        return report
    returned, error = _call(provider)
    if error is not None:
        report.problem = _problem("provider", "provider raised", error)
        return report

    try:
        report.metadata = listing_object(ep.name, returned)
    except (TypeError, RuntimeError) as error:
        summary = "korvane refuses the metadata"
        if not isinstance(returned, str):
            summary = f"provider returned {type(returned).__name__}, not JSON text"
        report.problem = Problem("metadata", summary, type(error).__name__, str(error))
        return report

    claimed = report.metadata["distribution"]
    if distribution is not None and not _same_name(claimed, distribution):
        report.warnings.append(
            f'the metadata names distribution "{claimed}", but the entry point comes from "{distribution}"'
        )
    if resolve_functions:
        report.problem = resolve(report.metadata)
    return report


def _arity_problem(field: str, attribute: str, function: Any) -> Problem | None:
    """A function that cannot take the positional arguments korvane passes,
    as far as its signature can be read."""
    try:
        signature = inspect.signature(function)
    except TypeError, ValueError:  # no signature to read (some builtins): the call will tell
        return None
    count = ARITY[field]
    try:
        signature.bind(*range(count))
    except TypeError as error:
        code = getattr(function, "__code__", None)
        return Problem(
            field,
            f'{field} "{attribute}{signature}" cannot take the {count} positional arguments korvane passes',
            "TypeError",
            str(error),
            getattr(code, "co_filename", None),
            getattr(code, "co_firstlineno", None),
        )
    return None


def resolve(metadata: dict[str, Any]) -> Problem | None:
    """The module imports and both functions exist, are callable and take the
    arguments korvane passes: what prepare and execute would otherwise find
    out only at their first call."""
    name = metadata["module"]
    module, error = _call(lambda: importlib.import_module(name))
    if error is not None:
        return _problem("module", f'module "{name}" does not import', error)
    for field in ("prepare_function", "execute_function"):
        attribute = metadata[field]
        function, error = _call(lambda: getattr(module, attribute))  # noqa: B023 (called at once)
        if error is not None:
            return _problem(field, f'{field} "{attribute}"', error)
        if not callable(function):
            return Problem(
                field, f'{field} "{attribute}"', "TypeError", f"'{type(function).__name__}' object is not callable"
            )
        problem = _arity_problem(field, attribute, function)
        if problem is not None:
            return problem
    return None


def near_misses() -> list[tuple[str, str, str | None]]:
    """Entry points in groups whose names are close to korvane's group (a
    typo such as korvane.machine_bundle), which korvane never looks at."""
    groups = importlib.metadata.entry_points()
    close = difflib.get_close_matches(GROUP, [g for g in groups.groups if g != GROUP], n=5, cutoff=0.85)
    found = []
    for group in sorted(close):
        for ep in groups.select(group=group):
            found.append((group, ep.name, distribution_of(ep)[0]))
    return found


def discovery_problem() -> Problem | None:
    """korvane's own discovery over every installed bundle: what
    Runtime.discover() would say."""
    _, error = _call(korvane.discover_bundles)
    return None if error is None else _problem("discovery", "korvane's discovery over every bundle fails", error)


def check(
    names: Sequence[str] = (),
    *,
    check_each: Callable[[Sequence[importlib.metadata.EntryPoint]], list[BundleReport]] | None = None,
    discover: Callable[[], Problem | None] | None = None,
) -> CheckReport:
    """The verdict on the bundles named (entry-point, distribution names or
    machine ids), or on every installed bundle when no name is given.

    Every bundle passing on its own, with no machine id claimed twice, is
    what korvane's discovery asks of the same entry points, with the same
    core: it is not run again here (its scan and provider calls would double
    the check's time). `discover`, when given, still runs when everything
    passed and no names narrowed the check, and has the last word (a
    provider that answers differently from one call to the next).
    `check_each` replaces the checks made in this process
    (korvane_tools.isolated makes them in child processes).

    Raises LookupError for a name that no entry point of the group carries.
    """
    eps = entry_points()
    reports = check_each(eps) if check_each is not None else [check_one(ep) for ep in eps]
    clashes = find_clashes(reports)

    if names:
        chosen = select(reports, names)
        wanted = {id(report) for report in chosen}
        clashes = [clash for clash in clashes if any(id(bundle) in wanted for bundle in clash.bundles)]
        return CheckReport(chosen, clashes)

    result = CheckReport(reports, clashes)
    if result.ok and discover is not None:
        result.discovery = discover()
    return result


def find_clashes(reports: Sequence[BundleReport]) -> list[Clash]:
    """The machine ids that more than one of `reports` claims."""
    claims: dict[str, list[BundleReport]] = {}
    for report in reports:
        if report.machine_id is not None:
            claims.setdefault(report.machine_id, []).append(report)
    return [
        Clash(machine_id, _rules.clash_message(machine_id), claimed)
        for machine_id, claimed in claims.items()
        if len(claimed) > 1
    ]


def _normalized(name: str) -> str:
    return name.replace("_", "-").replace(".", "-").lower()


def _named(report: BundleReport, name: str) -> bool:
    return (
        report.entry_point == name
        or report.machine_id == name
        or (report.distribution is not None and _same_name(report.distribution, name))
    )


def named(report: BundleReport, names: Sequence[str]) -> bool:
    """Whether `report` carries one of `names`."""
    return any(_named(report, name) for name in names)


def select(reports: Sequence[BundleReport], names: Sequence[str]) -> list[BundleReport]:
    """The reports whose entry-point name, machine id or distribution name is
    among `names`."""
    unknown = [name for name in names if not any(_named(r, name) for r in reports)]
    if unknown:
        raise LookupError(f"no entry point, machine id or distribution named {', '.join(unknown)} in group {GROUP}")
    return [r for r in reports if any(_named(r, name) for name in names)]


def usable_entry_points() -> tuple[list[importlib.metadata.EntryPoint], CheckReport]:
    """The entry points that pass every check and claim a machine id alone,
    with the report that says which were left out."""
    eps = entry_points()
    reports = [check_one(ep) for ep in eps]
    clashing = {id(bundle) for clash in find_clashes(reports) for bundle in clash.bundles}
    usable = [report.ok and id(report) not in clashing for report in reports]
    keep = [ep for ep, ok in zip(eps, usable) if ok]
    skipped = [report for report, ok in zip(reports, usable) if not ok]
    return keep, CheckReport(skipped, [])
