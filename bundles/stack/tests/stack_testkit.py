"""Helpers shared by the stack bundle's tests."""

import json

import korvane_stack
from korvane_tools.testing import validate_result


def check_result(result):
    """korvane's own rules for an execution result (korvane_tools.testing hands
    the result to korvane's execute), so a fault here shows up in these tests
    rather than as a TypeError from korvane in a user's run."""
    assert type(result) is dict
    return validate_result(result)


def prepare(program, *, configuration=None, inputs=None, controls=None, observation=None,
            run_id="python-stack-1"):
    if isinstance(program, str):
        program = program.encode()
    return korvane_stack.prepare(program, run_id, json.dumps(configuration), json.dumps(inputs),
                                 json.dumps(controls), json.dumps(observation))


def run(program, sinks=(), recorder_path=None, **kwargs):
    return check_result(korvane_stack.execute(prepare(program, **kwargs), list(sinks), recorder_path))


class RecordingSink:
    def __init__(self):
        self.calls = []

    def emit_batch(self, run_id, start, values):
        self.calls.append(("emit_batch", run_id, start, values))

    def record_capability_outputs(self, run_id, outputs):
        self.calls.append(("record_capability_outputs", run_id, outputs))

    def record_capability_receipts(self, run_id, receipts):
        self.calls.append(("record_capability_receipts", run_id, receipts))

    def emitted(self):
        values = []
        for call in self.calls:
            if call[0] == "emit_batch":
                assert call[2] == len(values)  # batches are consecutive
                values.extend(call[3])
        return values
