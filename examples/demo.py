"""A tour of korvane with the example bundle korvane-stack installed.

Lists the installed bundles, runs a stack program that emits the Collatz
sequence of a number (with a sink that prints every batch, and a recording
that stays for you to read: build/demo/collatz.jsonl in the checkout unless
--recording says otherwise), shows the result that korvane validated and the
first lines of the recording, and ends with what a caller sees when it asks
for a machine that is not installed.

    make demo                 (sets everything up, then runs this file)
    python examples/demo.py [--recording PATH]
                              (in an environment with korvane and korvane-stack)
"""

from __future__ import annotations

import argparse
import json
import pathlib
import textwrap
from typing import Any

import korvane

# The Collatz sequence: halve an even number, take 3n+1 of an odd one, stop at 1.
# The start value comes from the input schedule.
COLLATZ = b"""\
        read
loop:   dup
        emit            # every value of the sequence, the start and the 1 included
        dup
        push 1
        sub
        jz done         # reached 1
        dup
        push 2
        mod
        jz even
        push 3          # odd: 3n + 1
        mul
        push 1
        add
        jmp loop
even:   push 2
        div
        jmp loop
done:   drop
"""
START = 7
RECORDING = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo" / "collatz.jsonl"


def collatz(n: int) -> list[int]:
    sequence = [n]
    while n != 1:
        n = n // 2 if n % 2 == 0 else 3 * n + 1
        sequence.append(n)
    return sequence


def heading(text: str) -> None:
    print(f"\n== {text}")


def shorten(line: str, width: int = 110) -> str:
    return line if len(line) <= width else line[: width - 4] + " ..."


class PrintingSink:
    """Prints what the bundle delivers; korvane-stack calls these three
    methods with positional arguments and ignores what they return."""

    def emit_batch(self, run_id: str, start: int, values: list[int]) -> None:
        print(f"  sink: {run_id} batch from position {start}: {values}")

    def record_capability_outputs(self, run_id: str, outputs: dict[str, Any]) -> None:
        print(
            f"  sink: {run_id} finished: machine {outputs['machine_execution']}, "
            f"{len(outputs['emitted'])} values emitted in {outputs['steps']} steps"
        )

    def record_capability_receipts(self, run_id: str, receipts: list[dict[str, int]]) -> None:
        print(f"  sink: {run_id} receipts for {len(receipts)} batches")


def show_result(result: dict[str, Any]) -> None:
    for field in (
        "machine_execution",
        "evidence_fulfillment",
        "python_sink_delivery",
        "recorder_finalization",
        "publication",
    ):
        print(f"  {field:<22} {result[field]['status']}")
    print(f"  {'published_run':<22} {json.dumps(result['published_run'])}")
    print(f"  {'outputs':<22} {result['outputs']}")
    print(f"  {'steps':<22} {result['steps']}")


def main() -> None:
    parser = argparse.ArgumentParser(description="A tour of korvane with the example bundle korvane-stack.")
    parser.add_argument(
        "--recording",
        type=pathlib.Path,
        default=RECORDING,
        metavar="PATH",
        help=f"where the run's recording is written (default: {RECORDING})",
    )
    recording: pathlib.Path = parser.parse_args().recording.absolute()
    recording.parent.mkdir(parents=True, exist_ok=True)

    heading("Installed bundles: korvane.discover_bundles()")
    print(textwrap.indent(json.dumps(json.loads(korvane.discover_bundles()), indent=2), "  "))

    runtime = korvane.Runtime.discover()
    expected = collatz(START)

    heading(f'Machine "stack": the Collatz sequence of {START}')
    print(textwrap.indent(COLLATZ.decode(), "  "))
    prepared = runtime.prepare(
        "stack",
        COLLATZ,
        configuration={"batch_size": 8},
        input_schedule=[START],
        execution_controls={"step_limit": 10_000},
        observation={"expected_outputs": expected},
    )

    result = prepared.execute([PrintingSink()], korvane.FileRecorder(str(recording)))

    heading("Execution result, validated by korvane")
    show_result(result)

    heading("First lines of the recording")
    if result["recorder_finalization"]["status"] == "finalized":
        for line in recording.read_text(encoding="utf-8").splitlines()[:4]:
            print("  " + shorten(line))
        print(f"  (the whole recording stays in {recording})")
    else:
        print(f"  no recording in {recording}: {json.dumps(result['recorder_finalization'])}")

    heading("A machine that is not installed")
    try:
        runtime.prepare("forth", b": square dup * ;")
    except LookupError as error:
        print(f"  {type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
