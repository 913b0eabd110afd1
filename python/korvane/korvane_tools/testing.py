"""A kit for bundle authors' own tests, with korvane's own rules.

    from korvane_tools.testing import check_bundle, run_machine, validate_result

    def test_bundle_is_sound():
        check_bundle("stack")          # the entry point's name

    def test_result_passes_korvane():
        validate_result(my_bundle.execute(my_bundle.prepare(...), [], None))

    def test_through_korvane():
        run = run_machine("stack", b"push 1\\nemit\\n")
        assert run.values == [1]

Nothing here copies korvane's rules: `check_bundle` is `korvane check`, and
`validate_result` runs the check korvane's execute makes, from korvane's own
core (korvane_tools.results). Neither changes process-wide state: korvane's
discovery, its entry points and its run numbers are left alone, so the kit
can run beside other threads that use korvane.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import korvane

from . import bundles
from .results import validate_result

__all__ = ["BundleCheckError", "RecordingSink", "RecordedRun", "check_bundle", "run_machine", "validate_result"]


class BundleCheckError(AssertionError):
    """`korvane check` found a fault; `report` is its whole report."""

    def __init__(self, report: bundles.CheckReport) -> None:
        self.report = report
        lines = [f"{b.culprit()}: {b.problem.text()}" for b in report.bundles if b.problem is not None]
        lines += [clash.text() for clash in report.clashes]
        super().__init__("\n".join(lines))


def check_bundle(entry_point_name: str) -> bundles.BundleReport:
    """The `korvane check NAME` verdict on the entry point of that name.

    Returns the bundle's report (its `machine_id`, and korvane's listing
    object as `metadata`) when it passes; raises BundleCheckError carrying the report when the
    bundle, or a clash of its machine id with another installed bundle, is at
    fault, and LookupError when no entry point of the group has that name.
    """
    report = bundles.check([entry_point_name])
    chosen = [bundle for bundle in report.bundles if bundle.entry_point == entry_point_name]
    if not chosen:
        raise LookupError(f"no entry point named {entry_point_name} in group {bundles.GROUP}")
    report = bundles.CheckReport(chosen, [c for c in report.clashes if any(b in chosen for b in c.bundles)])
    if not report.ok:
        raise BundleCheckError(report)
    return chosen[0]


class RecordingSink:
    """Keeps every call the bundle makes, in order, as (method, arguments)."""

    def __init__(self) -> None:
        self.calls: list[tuple[str, tuple[Any, ...]]] = []

    def emit_batch(self, *args: Any) -> None:
        self.calls.append(("emit_batch", args))

    def record_capability_outputs(self, *args: Any) -> None:
        self.calls.append(("record_capability_outputs", args))

    def record_capability_receipts(self, *args: Any) -> None:
        self.calls.append(("record_capability_receipts", args))


@dataclasses.dataclass
class RecordedRun:
    """What one run through korvane gave: the result korvane accepted and
    the calls each sink received."""

    result: dict[str, Any]
    sinks: list[RecordingSink]

    @property
    def calls(self) -> list[tuple[str, tuple[Any, ...]]]:
        """The calls the first sink received."""
        return self.sinks[0].calls

    @property
    def batches(self) -> list[tuple[Any, ...]]:
        """The arguments of every emit_batch call of the first sink."""
        return [args for name, args in self.calls if name == "emit_batch"]

    @property
    def values(self) -> list[Any]:
        """The values of every batch, in order, taken as the last argument of
        emit_batch (korvane-stack: emit_batch(run_id, start, values))."""
        return [value for args in self.batches if args for value in args[-1]]


def run_machine(
    machine_id: str,
    artifact: bytes,
    *,
    configuration: object = None,
    input_schedule: object = None,
    execution_controls: object = None,
    observation: object = None,
    sinks: int = 1,
    record: str | None = None,
    runtime: korvane.Runtime | None = None,
) -> RecordedRun:
    """Prepares and executes `machine_id` through korvane (a fresh
    Runtime.discover() unless `runtime` is given) with `sinks` recording
    sinks, and a FileRecorder at `record` when given."""
    runtime = runtime if runtime is not None else korvane.Runtime.discover()
    prepared = runtime.prepare(machine_id, artifact, configuration, input_schedule, execution_controls, observation)
    recording: Sequence[RecordingSink] = [RecordingSink() for _ in range(sinks)]
    recorder = korvane.FileRecorder(record) if record is not None else None
    result = prepared.execute(list(recording), recorder)
    return RecordedRun(result, list(recording))
