"""Helpers shared by the stack bundle's tests."""

import json

import pytest

import korvane_stack
from korvane_stack import recording

MACHINE_STATUSES = {"completed", "failed", "interrupted_by_evidence_failure"}
EVIDENCE_STATUSES = {"complete", "incomplete", "failed"}
SINK_STATUSES = {"complete", "failed", "not_requested"}
RECORDER_STATUSES = {"finalized", "failed", "not_requested", "not_finalized"}


def check_result(result):
    """The rules korvane applies to an execution result, so a fault here shows
    up in these tests rather than as a TypeError from korvane."""
    assert type(result) is dict
    json.loads(json.dumps(result, allow_nan=False))  # plain JSON, no NaN
    assert result["machine_execution"]["status"] in MACHINE_STATUSES
    assert result["evidence_fulfillment"]["status"] in EVIDENCE_STATUSES
    assert result["python_sink_delivery"]["status"] in SINK_STATUSES
    assert result["recorder_finalization"]["status"] in RECORDER_STATUSES
    if result["publication"]["status"] == "published":
        assert result["recorder_finalization"]["status"] == "finalized"
        assert result["published_run"]["published"] is True
        assert isinstance(result["published_run"]["path"], str) and result["published_run"]["path"]
    else:
        assert result["publication"]["status"] == "not_published"
        assert result["published_run"] is None
    return result


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
    return (lines[0]["event"] == "run_started" and lines[-1]["event"] == "run_finished"
            and emits == list(range(len(emits))))
