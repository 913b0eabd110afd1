"""Helpers shared by the stack bundle's tests."""

import json

import pytest

import korvane_stack
from korvane_stack import recording
from korvane_tools.testing import validate_result


def check_result(result):
    """korvane's own rules for an execution result (korvane_tools.testing hands
    the result to korvane's execute), so a fault here shows up in these tests
    rather than as a TypeError from korvane in a user's run."""
    assert type(result) is dict
    return validate_result(result)


def prepare(program, *, configuration=None, inputs=None, controls=None, observation=None, run_id="python-stack-1"):
    if isinstance(program, str):
        program = program.encode()
    return korvane_stack.prepare(
        program, run_id, json.dumps(configuration), json.dumps(inputs), json.dumps(controls), json.dumps(observation)
    )


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


@pytest.fixture(params=["unnamed", "named"])
def temporaries(request, monkeypatch):
    """Runs a recorder test with each kind of temporary file: the unnamed one
    (O_TMPFILE) and the named fallback. Import it into a test module to use."""
    if request.param == "unnamed" and not recording.UNNAMED_TEMPORARIES:
        pytest.skip("no O_TMPFILE or /proc/self/fd here")
    monkeypatch.setattr(recording, "UNNAMED_TEMPORARIES", request.param == "unnamed")
    return request.param


def is_complete_recording(path):
    """Whether the file at ``path`` is a whole recording: every line JSON,
    run_started first, run_finished last, the emits numbered without a gap."""
    with open(path, "rb") as stream:
        data = stream.read()
    if not data.endswith(b"\n"):
        return False
    lines = [json.loads(line) for line in data.split(b"\n")[:-1]]
    emits = [line["sequence"] for line in lines if line["event"] == "emit"]
    return (
        lines[0]["event"] == "run_started" and lines[-1]["event"] == "run_finished" and emits == list(range(len(emits)))
    )
