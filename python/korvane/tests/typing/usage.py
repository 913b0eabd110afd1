"""Uses of korvane as its stubs describe them, checked by mypy, never run.

Each wrong use carries a `type: ignore` with the expected error code; the
check runs with --warn-unused-ignores, so a wrong use that the stubs let
through fails the check as surely as a right use that they refuse.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, assert_type

import korvane

if TYPE_CHECKING:
    from korvane import Sink


class Printer:
    def emit_batch(self, run_id: str, start: int, values: list[int]) -> None:
        print(run_id, start, values)

    def record_capability_outputs(self, run_id: str, outputs: dict[str, Any]) -> None:
        pass

    def record_capability_receipts(self, run_id: str, receipts: list[dict[str, int]]) -> None:
        pass


class Counter:
    def __init__(self) -> None:
        self.batches = 0

    def emit_batch(self, *args: object) -> None:
        self.batches += 1

    def record_capability_outputs(self, *args: object) -> None: ...
    def record_capability_receipts(self, *args: object) -> None: ...


class HalfSink:
    def emit_batch(self, *args: object) -> None: ...


def right_uses() -> None:
    assert_type(korvane.discover_bundles(), str)
    runtime = korvane.Runtime.discover()
    assert_type(runtime, korvane.Runtime)
    assert_type(runtime.bundles(), str)
    prepared = runtime.prepare("stack", b"push 1\nemit\n")
    assert_type(prepared, korvane.PreparedRun)
    runtime.prepare(
        machine_id="stack",
        artifact=b"read\nemit\n",
        configuration={"stack_limit": 8},
        input_schedule=[1],
        execution_controls=None,
        observation={"expected_outputs": [1]},
    )
    assert_type(prepared.execute(), dict[str, Any])
    prepared.execute(None, None)
    prepared.execute([])
    prepared.execute(())
    prepared.execute([Printer()], korvane.FileRecorder("run.jsonl"))
    prepared.execute(sinks=(Printer(), Counter()), file_recorder=korvane.FileRecorder(path="run.jsonl"))
    prepared.execute([Printer(), Counter()])
    printers = [Printer()]
    prepared.execute(printers)
    declared: list[Sink] = [Printer(), Counter()]
    prepared.execute(declared)


def wrong_uses(runtime: korvane.Runtime, prepared: korvane.PreparedRun) -> None:
    runtime.prepare(42, b"")  # type: ignore[arg-type]
    runtime.prepare("stack", bytearray(b"push 1"))  # type: ignore[arg-type]
    runtime.prepare("stack")  # type: ignore[call-arg]
    runtime.prepare("stack", b"", None, None, None, None, None)  # type: ignore[call-arg]
    prepared.execute(sink=[])  # type: ignore[call-overload]
    prepared.execute([object()])  # type: ignore[list-item]
    prepared.execute([HalfSink()])  # type: ignore[list-item]
    prepared.execute(Printer())  # type: ignore[call-overload]
    prepared.execute({Printer()})  # type: ignore[call-overload]
    prepared.execute(None, "run.jsonl")  # type: ignore[call-overload]
    korvane.FileRecorder()  # type: ignore[call-arg]
    korvane.FileRecorder(b"run.jsonl")  # type: ignore[arg-type]
    korvane.discover_bundles(True)  # type: ignore[call-arg]
    korvane.Runtime.discover().bundles(1)  # type: ignore[call-arg]

    class Mine(korvane.FileRecorder):  # type: ignore[misc]
        pass
