"""A machine bundle written against korvane's types, checked by mypy, never run.

It echoes its input schedule as the outputs. The last lines assign its three
functions to korvane's protocols, so a signature or a result that strays from
what korvane calls and checks fails the check. The wrong results at the end
carry a `type: ignore` with the expected error code; the check runs with
--warn-unused-ignores, so a misspelt status word that mypy let through would
fail it.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, cast

import korvane

if TYPE_CHECKING:
    from korvane import (
        ExecuteFunction,
        ExecutionResult,
        MachineExecution,
        PrepareFunction,
        Provider,
        PythonSinkDelivery,
        Sink,
    )

    # The members this bundle adds, described by extending korvane's types.
    class EchoMachineExecution(MachineExecution):
        steps: int

    class EchoResult(ExecutionResult):
        machine_execution: EchoMachineExecution
        outputs: list[int]


def provider() -> str:
    return json.dumps(
        {
            "protocol": "korvane.python_bundle",
            "protocol_version": {"major": 2, "minor": 0, "patch": 0},
            "machine_id": "echo",
            "distribution": "korvane-echo",
            "module": "korvane_echo",
            "prepare_function": "prepare",
            "execute_function": "execute",
            "bundle_version": "1.0.0",
        }
    )


@dataclass(frozen=True)
class EchoRun:
    run_id: str
    values: list[int]


def prepare(
    artifact: bytes, run_id: str, configuration: str, input_schedule: str, execution_controls: str, observation: str
) -> EchoRun:
    return EchoRun(run_id, [int(value) for value in json.loads(input_schedule) or []])


def execute(prepared: EchoRun, sinks: Sequence[Sink], recorder_path: str | None) -> EchoResult:
    failures = 0
    for sink in sinks:
        try:
            sink.emit_batch(prepared.run_id, 0, prepared.values)
        except Exception:
            failures += 1
    delivery: PythonSinkDelivery = (
        {"status": "not_requested"} if not sinks else {"status": "failed" if failures else "complete"}
    )
    return {
        "machine_execution": {"status": "completed", "steps": len(prepared.values)},
        "evidence_fulfillment": {"status": "complete"},
        "python_sink_delivery": delivery,
        "recorder_finalization": {"status": "not_requested"},
        "publication": {"status": "not_published"},
        "published_run": None,
        "outputs": prepared.values,
    }


# korvane calls these three exactly so.
_calls: tuple[Provider, PrepareFunction, ExecuteFunction] = (provider, prepare, execute)


def misspelt_results() -> list[ExecutionResult]:
    return [
        {
            "machine_execution": {"status": "complete"},  # type: ignore[typeddict-item]
            "evidence_fulfillment": {"status": "complete"},
            "python_sink_delivery": {"status": "not_requested"},
            "recorder_finalization": {"status": "not_requested"},
            "publication": {"status": "not_published"},
            "published_run": None,
        },
        {
            "machine_execution": {"status": "completed"},
            "evidence_fulfillment": {"status": "complete"},
            "python_sink_delivery": {"status": "not_requested"},
            "recorder_finalization": {"status": "finalised"},  # type: ignore[typeddict-item]
            "publication": {"status": "not_published"},
            "published_run": None,
        },
        {  # type: ignore[typeddict-item]
            "machine_execution": {"status": "completed"},
            "evidence_fulfillment": {"status": "complete"},
            "python_sink_delivery": {"status": "not_requested"},
            "recorder_finalization": {"status": "not_requested"},
            "publication": {"status": "not_published"},
        },
    ]


def wrong_signatures() -> None:
    def prepare_too_few(artifact: bytes, run_id: str) -> object:
        return None

    def execute_untyped_result(prepared: object, sinks: Sequence[Sink], path: str | None) -> dict[str, str]:
        return {}

    def provider_of_a_dict() -> dict[str, str]:
        return {}

    wrong_prepare: PrepareFunction = prepare_too_few  # type: ignore[assignment]
    wrong_execute: ExecuteFunction = execute_untyped_result  # type: ignore[assignment]
    wrong_provider: Provider = provider_of_a_dict  # type: ignore[assignment]


def caller(prepared: korvane.PreparedRun) -> int:
    result = cast("EchoResult", prepared.execute())
    if result["machine_execution"]["status"] == "complete":  # type: ignore[comparison-overlap]
        return 0
    return sum(result["outputs"])
