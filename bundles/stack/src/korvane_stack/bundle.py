"""The three calls through which korvane reaches this bundle.

``provider()`` returns the bundle's metadata as JSON text; the entry point
``stack`` in the group "korvane.machine_bundles" names it. ``prepare`` turns
an artifact and the JSON inputs into a ``StackRun``; ``execute`` runs one,
delivers to the sinks, writes the recording and returns the execution result.
Both take positional arguments only, as korvane calls them.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

from ._version import __version__
from .delivery import SinkFanout
from .machine import INTERRUPTED, run
from .program import Program, parse_program
from .recording import Recording, run_finished, run_started
from .run_inputs import (
    Configuration,
    EvidenceWatch,
    Observation,
    read_configuration,
    read_input_schedule,
    read_observation,
    read_step_limit,
)
from .text import safe_text

MACHINE_ID = "stack"
DISTRIBUTION = "korvane-stack"


def provider() -> str:
    """Metadata for the provider protocol "korvane.python_bundle" 2.0.0."""
    return json.dumps(
        {
            "protocol": "korvane.python_bundle",
            "protocol_version": {"major": 2, "minor": 0, "patch": 0},
            "machine_id": MACHINE_ID,
            "distribution": DISTRIBUTION,
            "module": "korvane_stack",
            "prepare_function": "prepare",
            "execute_function": "execute",
            "bundle_version": __version__,
        }
    )


@dataclass(frozen=True, slots=True)
class StackRun:
    """A prepared run. Immutable, so it can be executed any number of times;
    every execution starts from an empty stack and the first input."""

    run_id: str
    program: Program
    configuration: Configuration
    inputs: tuple[int, ...]
    step_limit: int
    observation: Observation


def prepare(
    artifact, run_id, configuration_json, input_schedule_json, execution_controls_json, observation_json
) -> StackRun:
    """Parse the program and the four JSON inputs.

    Raises ProgramError (a ValueError) for a bad program, with the line
    number, RunInputError (a ValueError) for a bad JSON input, and TypeError
    for arguments of the wrong type.
    """
    if not isinstance(run_id, str):
        raise TypeError(f"run_id must be a str, not {type(run_id).__name__}")
    program = parse_program(artifact)
    return StackRun(
        run_id=run_id,
        program=program,
        configuration=read_configuration(configuration_json),
        inputs=read_input_schedule(input_schedule_json),
        step_limit=read_step_limit(execution_controls_json),
        observation=read_observation(observation_json),
    )


def execute(prepared, sinks, recorder_path) -> dict:
    """Run a prepared program and report every outcome in the result dict.

    Machine faults, evidence failures, failing sinks and recorder failures
    are reported in the result, never raised; only arguments of the wrong type
    raise TypeError.
    """
    if not isinstance(prepared, StackRun):
        raise TypeError(f"prepared must be a StackRun from korvane_stack.prepare, not {type(prepared).__name__}")
    if not isinstance(sinks, (list, tuple)):
        raise TypeError(f"sinks must be a list or tuple, not {type(sinks).__name__}")
    if recorder_path is not None and not isinstance(recorder_path, str):
        raise TypeError(f"recorder_path must be a str or None, not {type(recorder_path).__name__}")

    run_id = prepared.run_id
    fanout = SinkFanout(list(sinks), run_id, prepared.configuration.batch_size)
    watch = EvidenceWatch(prepared.observation)
    # The recording is written while the run goes, so that a long run costs
    # no memory beyond its outputs.
    recording = None if recorder_path is None else Recording(recorder_path, run_started(prepared, MACHINE_ID))

    def on_emit(step: int, sequence: int, value: int) -> bool:
        if recording is not None:
            recording.write({"event": "emit", "step": step, "sequence": sequence, "value": value})
        fanout.add(value)
        return watch.accept(sequence, value)

    def on_read(step: int, index: int, value: int) -> None:
        if recording is not None:
            recording.write({"event": "read", "step": step, "index": index, "value": value})

    try:
        outcome = run(
            prepared.program, prepared.inputs, prepared.configuration.stack_limit, prepared.step_limit, on_emit, on_read
        )
        evidence = watch.report()
        # Each sink gets its own copy of the emitted values; the result keeps
        # the machine's own list.
        delivery = fanout.finish(
            {
                "machine_id": MACHINE_ID,
                "machine_execution": outcome.status,
                "emitted": outcome.outputs,
                "final_stack": list(outcome.final_stack),
                "inputs_consumed": outcome.inputs_consumed,
                "steps": outcome.steps,
            }
        )
        if recording is None:
            recorder = {"status": "not_requested"}
        else:
            recorder = recording.publish(run_finished(outcome, evidence, delivery))
    finally:
        # An exception that ends the call (KeyboardInterrupt from a sink, say)
        # leaves no temporary file behind.
        if recording is not None:
            recording.discard()

    machine = {
        "status": outcome.status,
        "steps": outcome.steps,
        "fault": None if outcome.fault is None else outcome.fault.as_json(),
    }
    if outcome.status == INTERRUPTED:
        machine["interrupted_by"] = evidence.get("contradiction")

    if recorder["status"] == "finalized":
        publication = {"status": "published"}
        published_run = {"published": True, "path": recorder_path, "run_id": safe_text(run_id)}
    else:
        publication = {"status": "not_published"}
        published_run = None

    return {
        "machine_execution": machine,
        "evidence_fulfillment": evidence,
        "python_sink_delivery": delivery,
        "recorder_finalization": recorder,
        "publication": publication,
        "published_run": published_run,
        "run_id": safe_text(run_id),
        "machine_id": MACHINE_ID,
        "outputs": outcome.outputs,
        "steps": outcome.steps,
        "final_stack": list(outcome.final_stack),
    }
