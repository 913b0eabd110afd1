"""korvane_tools.testing in the test process: the kit bundle authors use."""

from __future__ import annotations

import importlib.metadata
import json
import sys

import pytest

import korvane
from bundle_kit import VALID_RESULT, raises_exactly
from korvane_tools import results
from korvane_tools.testing import BundleCheckError, check_bundle, run_machine, validate_result

EMITTING = '''
import json

def provider():
    return PROVIDER_TEXT

def prepare(artifact, run_id, *json_texts):
    return run_id, json.loads(json_texts[1])

def execute(prepared, sinks, path):
    run_id, values = prepared
    for sink in sinks:
        sink.emit_batch(run_id, 0, values)
        sink.record_capability_outputs(run_id, {"emitted": values})
        sink.record_capability_receipts(run_id, [])
    return dict(json.loads(RESULT_TEXT), python_sink_delivery={"status": "complete"})
'''


def result(**changes):
    document = json.loads(json.dumps(VALID_RESULT))
    document.update(changes)
    return document


@pytest.mark.parametrize("document,message", [
    (result(machine_execution={"status": "Completed"}),
     'bundle execution result has unsupported machine-execution status "Completed"'),
    (result(python_sink_delivery={"status": "done"}), 'bundle execution result has unsupported Python-sink status "done"'),
    (result(recorder_finalization="finalized"), 'bundle execution result field "recorder_finalization" needs a string status'),
    (result(publication={"status": "published"}, recorder_finalization={"status": "finalized"}),
     "published outcome requires an object published-run reference"),
    (result(published_run={"published": True, "path": ""}, publication={"status": "published"},
            recorder_finalization={"status": "finalized"}),
     "published-run reference needs a non-empty path and published=true"),
    (result(published_run={}), "unpublished outcome cannot carry a published-run reference"),
    ({"machine_execution": {"status": "completed"}}, 'bundle execution result is missing "evidence_fulfillment"'),
    (json.loads(json.dumps(VALID_RESULT)).items(), "bundle execute_prepared must return a structured mapping"),
])
def test_validate_result_raises_korvanes_own_error(document, message):
    raises_exactly(TypeError, message, validate_result, document)


def test_validate_result_returns_the_mapping_and_restores_the_process():
    saved_entry_points = importlib.metadata.entry_points
    modules = set(sys.modules)
    document = result(extra={"kept": True})
    assert validate_result(document) is document
    with pytest.raises(TypeError):
        validate_result({})
    assert importlib.metadata.entry_points is saved_entry_points
    assert set(sys.modules) - modules <= {"korvane_tools.results"}
    # json.dumps's own error passes through, as from a bundle.
    with pytest.raises(TypeError, match="set is not JSON serializable"):
        validate_result(result(extra={1}))


def test_check_bundle_verdicts(bundles):
    bundles.add("good")
    bundles.add("typo", execute_function="exeucte")
    bundles.add("echo", entry_name="echo-a")
    bundles.add("echo", entry_name="echo-b")

    report = check_bundle("good")
    assert report.ok and report.metadata is not None and report.metadata["entry_point"] == "good"

    with pytest.raises(BundleCheckError) as info:
        check_bundle("typo")
    assert [b.problem.stage for b in info.value.report.bundles if b.problem] == ["execute_function"]
    assert "has no attribute 'exeucte'" in str(info.value)

    with pytest.raises(BundleCheckError) as info:
        check_bundle("echo-a")
    assert 'multiple bundle entry points advertise machine_id "echo"' in str(info.value)

    with pytest.raises(LookupError):
        check_bundle("absent")


def test_run_machine_records_what_each_sink_received(bundles):
    bundles.add("emitter", source=EMITTING)
    run = run_machine("emitter", b"", input_schedule=[3, 4], sinks=2)
    assert run.result["python_sink_delivery"] == {"status": "complete"}
    assert run.values == [3, 4]
    assert [name for name, _ in run.calls] == ["emit_batch", "record_capability_outputs", "record_capability_receipts"]
    assert run.sinks[0].calls == run.sinks[1].calls
    run_id = run.batches[0][0]
    assert run_id.startswith("python-emitter-")

    runtime = korvane.Runtime.discover()
    assert run_machine("emitter", b"", runtime=runtime, input_schedule=[1]).values == [1]
