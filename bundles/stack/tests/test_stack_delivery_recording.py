import hashlib
import json
import os

import pytest
from stack_testkit import RecordingSink, check_result, prepare, run

import korvane_stack
from korvane_stack import recording

COUNT_DOWN = "read\nloop: dup\nemit\npush 1\nsub\ndup\njnz loop\nhalt"
IDS = {"run_id": "python-stack-1", "machine_id": "stack"}
# The members of a report of a run without a recorder.
UNRECORDED = {"recorder_finalization": {"status": "not_requested"}, "publication": {"status": "not_published"}}
UNRECORDED["published_run"] = None


def ending(outputs, steps):
    """The members of a report that name the run and what it ended with (an empty stack)."""
    return {**IDS, "outputs": outputs, "steps": steps, "final_stack": []}


def receipts(*batches):
    """The receipts of batches given as (start, count), numbered from 0."""
    return [{"batch": number, "start": start, "count": count} for number, (start, count) in enumerate(batches)]


# Sinks ------------------------------------------------------------------


def test_batches_then_outputs_then_receipts():
    sink = RecordingSink()
    result = run(COUNT_DOWN, [sink], inputs=[5], configuration={"batch_size": 2})
    assert result["python_sink_delivery"]["status"] == "complete"
    names = [call[0] for call in sink.calls]
    assert names == ["emit_batch"] * 3 + ["record_capability_outputs", "record_capability_receipts"]
    assert [call[2:] for call in sink.calls[:3]] == [(0, [5, 4]), (2, [3, 2]), (4, [1])]
    assert all(call[1] == "python-stack-1" for call in sink.calls)
    outputs = sink.calls[3][2]
    assert outputs["emitted"] == [5, 4, 3, 2, 1]
    assert outputs["machine_execution"] == "completed"
    assert sink.calls[4][2] == receipts((0, 2), (2, 2), (4, 1))


def test_no_sinks_is_not_requested():
    assert run(COUNT_DOWN, inputs=[3])["python_sink_delivery"]["status"] == "not_requested"


class FailingSink(RecordingSink):
    def __init__(self, method, on_call=1):
        super().__init__()
        self.method, self.on_call, self.seen = method, on_call, 0

    def __getattribute__(self, name):
        attribute = super().__getattribute__(name)
        if name == super().__getattribute__("method"):

            def wrapper(*args):
                self.seen += 1
                if self.seen == self.on_call:
                    raise RuntimeError(f"{name} broke \udcff")
                return attribute(*args)

            return wrapper
        return attribute


@pytest.mark.parametrize(
    "method, on_call", [("emit_batch", 2), ("record_capability_outputs", 1), ("record_capability_receipts", 1)]
)
def test_failing_sink_is_dropped_and_others_are_served(method, on_call):
    first, bad, last = RecordingSink(), FailingSink(method, on_call), RecordingSink()
    result = run(COUNT_DOWN, [first, bad, last], inputs=[5], configuration={"batch_size": 2})
    delivery = result["python_sink_delivery"]
    assert delivery["status"] == "failed"
    assert [(f["index"], f["method"]) for f in delivery["failures"]] == [(1, method)]
    # The lone surrogate of the message is escaped, so strict JSON readers take it.
    assert "\\udcff" in delivery["failures"][0]["error"]
    assert first.calls == last.calls and len(first.calls) == 5
    failed_at = [i for i, call in enumerate(first.calls) if call[0] == method][on_call - 1]
    assert bad.calls == first.calls[:failed_at]  # nothing after the failure


def test_sink_without_methods_fails_without_stopping_the_run():
    sink = RecordingSink()
    result = run(COUNT_DOWN, [object(), sink], inputs=[2])
    assert result["python_sink_delivery"]["failures"][0]["index"] == 0
    assert sink.emitted() == [2, 1]
    assert result["machine_execution"]["status"] == "completed"


def test_each_sink_gets_its_own_copies():
    class Mutating(RecordingSink):
        def emit_batch(self, run_id, start, values):
            values.clear()

        def record_capability_outputs(self, run_id, outputs):
            outputs["emitted"].append(99)

    other = RecordingSink()
    result = run(COUNT_DOWN, [Mutating(), other], inputs=[2])
    assert other.emitted() == [2, 1]
    assert other.calls[-2][2]["emitted"] == [2, 1]
    assert result["outputs"] == [2, 1]


def test_keyboard_interrupt_from_a_sink_is_not_swallowed():
    class Interrupting(RecordingSink):
        def emit_batch(self, *args):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        run(COUNT_DOWN, [Interrupting()], inputs=[2])


# Recording --------------------------------------------------------------


def read_lines(path):
    with open(path, "rb") as stream:
        data = stream.read()
    assert data.endswith(b"\n")
    return [json.loads(line) for line in data.decode("ascii").split("\n")[:-1]]


def test_recording_is_published(tmp_path):
    sink = RecordingSink()
    path = str(tmp_path / "run.jsonl")
    result = run("read\nemit\nread\nemit", [sink], path, inputs=[7, 8], observation={"require_emitted": 2})
    assert result["recorder_finalization"]["status"] == "finalized"
    assert result["publication"] == {"status": "published"}
    assert result["published_run"]["path"] == path
    lines = read_lines(path)
    assert [line["event"] for line in lines] == ["run_started", "read", "emit", "read", "emit", "run_finished"]
    assert lines[0]["run_id"] == "python-stack-1" and lines[0]["inputs"] == [7, 8]
    assert [(line["step"], line["value"]) for line in lines[1:5]] == [(1, 7), (2, 7), (3, 8), (4, 8)]
    assert lines[-1]["machine_execution"] == "completed"
    assert lines[-1]["evidence_fulfillment"] == "complete"
    assert lines[-1]["python_sink_delivery"] == "complete"
    assert os.listdir(tmp_path) == ["run.jsonl"]


def test_failed_run_is_still_recorded(tmp_path):
    path = str(tmp_path / "run.jsonl")
    result = run("push 1\npush 0\ndiv", recorder_path=path)
    assert result["publication"]["status"] == "published"
    assert read_lines(path)[-1]["fault"]["kind"] == "division_by_zero"


def test_rename_comes_after_a_full_write_and_fsync(tmp_path, monkeypatch):
    path = str(tmp_path / "run.jsonl")
    synced = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(fd):
        status = os.fstat(fd)
        synced.append((status.st_dev, status.st_ino))
        real_fsync(fd)

    def replace(source, target):
        assert os.path.dirname(source) == os.path.dirname(target)
        status = os.stat(source)
        assert (status.st_dev, status.st_ino) in synced  # synced before the rename
        assert read_lines(source)[-1]["event"] == "run_finished"
        assert not os.path.exists(target)
        real_replace(source, target)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    assert run("push 1\nemit", recorder_path=path)["publication"]["status"] == "published"


@pytest.mark.parametrize("broken", ["fsync", "replace"])
def test_failed_finalization_leaves_the_old_file(tmp_path, monkeypatch, broken):
    path = tmp_path / "run.jsonl"
    path.write_text("previous recording\n")

    def fail(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, broken, fail)
    result = run("push 1\nemit", recorder_path=str(path))
    assert result["recorder_finalization"]["status"] == "failed"
    assert "No space left" in result["recorder_finalization"]["error"]
    assert result["publication"] == {"status": "not_published"}
    assert result["published_run"] is None
    assert path.read_text() == "previous recording\n"
    assert os.listdir(tmp_path) == ["run.jsonl"]


def test_crash_while_writing_leaves_no_partial_recording(tmp_path, monkeypatch):
    path = tmp_path / "run.jsonl"
    real_encode = recording.encode_line
    written = []

    def encode_then_crash(record):
        if len(written) == 2:
            raise KeyboardInterrupt  # the process is going down mid-write
        written.append(record)
        return real_encode(record)

    monkeypatch.setattr(recording, "encode_line", encode_then_crash)
    with pytest.raises(KeyboardInterrupt):
        run("push 1\nemit\npush 2\nemit", recorder_path=str(path))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "make_path",
    [
        lambda tmp: str(tmp / "missing" / "run.jsonl"),
        lambda tmp: str(tmp),  # a directory
        lambda tmp: str(tmp) + os.sep,  # names no file
        lambda tmp: str(tmp / "bad\0name"),
    ],
)
def test_unusable_recorder_path_is_reported(tmp_path, make_path):
    before = sorted(os.listdir(tmp_path))
    result = run("push 1\nemit", recorder_path=make_path(tmp_path))
    assert result["recorder_finalization"]["status"] == "failed"
    assert result["publication"]["status"] == "not_published"
    assert sorted(os.listdir(tmp_path)) == before


def test_existing_recording_is_replaced(tmp_path):
    path = tmp_path / "run.jsonl"
    path.write_text("old\n")
    run("push 3\nemit", recorder_path=str(path))
    assert read_lines(path)[-1]["event"] == "run_finished"


def test_wrong_argument_types_raise():
    prepared = prepare("halt")
    with pytest.raises(TypeError):
        korvane_stack.execute(object(), [], None)
    with pytest.raises(TypeError):
        korvane_stack.execute(prepared, None, None)
    with pytest.raises(TypeError):
        korvane_stack.execute(prepared, [], b"path")
    check_result(korvane_stack.execute(prepared, [], None))


# --- Whole reports: every member of the result, the sink calls and the recording ----------


def test_whole_report_of_a_published_run(tmp_path):
    path = str(tmp_path / "run.jsonl")
    sink = RecordingSink()
    program = b"read\nread\nadd\nemit\nread\nemit\n"
    observation = {"expected_outputs": [42, 7], "require_emitted": 2}
    prepared = prepare(program, configuration={"batch_size": 1}, inputs=[2, 40, 7], observation=observation)
    result = korvane_stack.execute(prepared, [sink], path)
    assert result == {
        "machine_execution": {"status": "completed", "steps": 6, "fault": None},
        "evidence_fulfillment": {"status": "complete", "requested": True, "emitted": 2},
        "python_sink_delivery": {"status": "complete", "sinks": 1, "batches": 2, "failures": []},
        "recorder_finalization": {"status": "finalized", "path": path, "directory_synced": True},
        "publication": {"status": "published"},
        "published_run": {"published": True, "path": path, "run_id": "python-stack-1"},
        **ending([42, 7], 6),
    }
    outputs = {"machine_id": "stack", "machine_execution": "completed", "emitted": [42, 7], "final_stack": []}
    assert sink.calls == [
        ("emit_batch", "python-stack-1", 0, [42]),
        ("emit_batch", "python-stack-1", 1, [7]),
        ("record_capability_outputs", "python-stack-1", outputs | {"inputs_consumed": 3, "steps": 6}),
        ("record_capability_receipts", "python-stack-1", receipts((0, 1), (1, 1))),
    ]
    started = {"event": "run_started", "format": "korvane-stack-recording", "format_version": 1, **IDS}
    started |= {"bundle_version": korvane_stack.__version__, "program_sha256": hashlib.sha256(program).hexdigest()}
    started |= {"instructions": 6, "stack_limit": 1024, "step_limit": 1000000, "batch_size": 1, "inputs": [2, 40, 7]}
    finished = {"event": "run_finished", "machine_execution": "completed", "fault": None, "steps": 6, "final_stack": []}
    finished |= {"inputs_consumed": 3, "evidence_fulfillment": "complete", "python_sink_delivery": "complete"}
    with open(path, encoding="utf-8") as recording:
        assert [json.loads(line) for line in recording] == [
            started | {"observation": observation},
            {"event": "read", "step": 1, "index": 0, "value": 2},
            {"event": "read", "step": 2, "index": 1, "value": 40},
            {"event": "emit", "step": 4, "sequence": 0, "value": 42},
            {"event": "read", "step": 5, "index": 2, "value": 7},
            {"event": "emit", "step": 6, "sequence": 1, "value": 7},
            finished,
        ]


def test_whole_report_of_an_interrupted_run():
    sink = RecordingSink()
    prepared = prepare("read\nemit\nread\nemit\nadd\n", inputs=[5, 6], observation={"expected_outputs": [5, 7]})
    result = korvane_stack.execute(prepared, [sink], None)
    contradiction = {"sequence": 1, "expected": 7, "emitted": 6, "message": "output 1 is 6, expected 7"}
    assert result == {
        "machine_execution": {
            "status": "interrupted_by_evidence_failure",
            "steps": 4,
            "fault": None,
            "interrupted_by": contradiction,
        },
        "evidence_fulfillment": {"status": "failed", "requested": True, "emitted": 2, "contradiction": contradiction},
        "python_sink_delivery": {"status": "complete", "sinks": 1, "batches": 1, "failures": []},
        **UNRECORDED,
        **ending([5, 6], 4),
    }
    assert sink.calls[-1] == ("record_capability_receipts", "python-stack-1", receipts((0, 2)))


def test_whole_report_of_a_faulted_run_without_sinks():
    result = korvane_stack.execute(prepare("read\nemit\nadd\n", inputs=[5], configuration={"stack_limit": 4}), [], None)
    underflow = {"kind": "stack_underflow", "line": 3, "message": "add needs 2 values on the stack, found 0"}
    assert result == {
        "machine_execution": {"status": "failed", "steps": 3, "fault": underflow},
        "evidence_fulfillment": {"status": "complete", "requested": False, "emitted": 1},
        "python_sink_delivery": {"status": "not_requested", "sinks": 0, "batches": 0, "failures": []},
        **UNRECORDED,
        **ending([5], 3),
    }


def test_recorder_path_naming_no_file_is_reported_whole(tmp_path):
    path = str(tmp_path) + os.sep
    result = korvane_stack.execute(prepare("halt"), [], path)
    assert result["recorder_finalization"] == {"status": "failed", "path": path, "error": "recorder path names no file"}
    assert result["publication"] == {"status": "not_published"} and result["published_run"] is None


def test_recorder_in_a_missing_folder_is_reported_whole(tmp_path):
    path = str(tmp_path / "missing" / "run.jsonl")
    recorder = korvane_stack.execute(prepare("halt"), [], path)["recorder_finalization"]
    assert sorted(recorder) == ["error", "path", "status"]
    assert recorder["status"] == "failed" and recorder["path"] == path
    assert recorder["error"].startswith("FileNotFoundError: ")


def test_an_unexpected_recording_failure_keeps_the_report(tmp_path, monkeypatch):
    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no text")

    for failure, error in [
        (RuntimeError("disk on fire"), "RuntimeError: disk on fire"),
        (RuntimeError(), "RuntimeError"),
        (Unprintable(), f"{Unprintable.__qualname__}: <exception text unavailable>"),
    ]:

        def broken(*args, failure=failure):
            raise failure

        # Fails at publication, after the whole run was written.
        monkeypatch.setattr("korvane_stack.recording._resolve", broken)
        path = str(tmp_path / "run.jsonl")
        result = korvane_stack.execute(prepare("push 1\nemit"), [], path)
        assert result["recorder_finalization"] == {"status": "failed", "path": path, "error": error}
        assert result["publication"] == {"status": "not_published"} and result["published_run"] is None
        assert result["outputs"] == [1]
        assert not (tmp_path / "run.jsonl").exists()


def test_recording_lines_are_compact_ascii(tmp_path):
    path = str(tmp_path / "run.jsonl")
    korvane_stack.execute(prepare("push 1\nemit"), [], path)
    with open(path, "rb") as recording:
        lines = recording.read().split(b"\n")
    assert lines[-1] == b""
    assert lines[1] == b'{"event":"emit","step":2,"sequence":0,"value":1}'
    assert all(b", " not in line and b": " not in line for line in lines)
