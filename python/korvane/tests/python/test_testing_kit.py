"""korvane_tools.testing in the test process: the kit bundle authors use."""

from __future__ import annotations

import importlib.metadata
import json
import sys
import threading

import pytest

import korvane
from bundle_kit import VALID_RESULT, raises_exactly
from korvane_tools import results
from korvane_tools.testing import BundleCheckError, check_bundle, run_machine, validate_result

EMITTING = """
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
"""


def result(**changes):
    document = json.loads(json.dumps(VALID_RESULT))
    document.update(changes)
    return document


RETURNING = """
def provider():
    return PROVIDER_TEXT

def prepare(*args):
    return None

def execute(prepared, sinks, path):
    return VALUE
"""


MAPPING = "bundle execute_prepared must return a structured mapping"
NOT_JSON = "bundle execution result is not JSON-compatible: "
UNENCODABLE = "execution result must be JSON-compatible: "
OBJECT = 'a status must be an object: {{"status": "{0}"}}, not the bare string "{0}"'
IN_MEMBER = "in member {} of the execution result"

# Each way korvane's execute can reject what a bundle returns: the value
# (for "dumps gives", what json.dumps is made to return), the start of the
# message and the notes (None: json.dumps's own exception, passed on as is).
REJECTED = {
    "no return": (None, MAPPING, ["None \u2014 is a return missing?"]),
    "JSON text": ("{}", MAPPING, ["str \u2014 JSON text? return the dict itself, not json.dumps of it"]),
    "items": ([], MAPPING, ["list \u2014 return a dict (a subclass of dict counts, other mappings do not)"]),
    "a set inside": (result(extra={1}), "Object of type set", None),
    "dumps gives bytes": (b"{}", f"{UNENCODABLE}TypeError: 'bytes' object", []),
    "dumps gives a surrogate": ("\udc80", f"{UNENCODABLE}UnicodeEncodeError", []),
    "NaN": (result(n={"rows": [1, {"mean": float("nan")}]}), NOT_JSON, [IN_MEMBER.format("n.rows[1].mean")]),
    "too deep": (result(deep=json.loads("[" * 127 + "]" * 127)), NOT_JSON, [IN_MEMBER.format("deep" + "[0]" * 126)]),
    "bare word": (result(machine_execution="completed"), "bundle execution result field", [OBJECT.format("completed")]),
    "bare evidence": (result(evidence_fulfillment="complete"), "evidence_fulfillment", [OBJECT.format("complete")]),
    "unknown word": (result(publication={"status": "draft"}), "bundle execution result has", []),
    "missing member": ({}, 'bundle execution result is missing "machine_execution"', []),
}


@pytest.mark.parametrize("case", REJECTED)
def test_a_rejected_result_gets_one_verdict_everywhere(bundles, monkeypatch, case):
    # korvane's execute, the kit and the command's way in (results.execute,
    # which keeps what the bundle returned) raise the same exception,
    # message and notes; execute's last note names the bundle's function.
    value, message, notes = REJECTED[case]
    exc_type = ValueError if message.startswith(UNENCODABLE) else TypeError
    module = bundles.add("echo", source=RETURNING)
    prepared = korvane.Runtime.discover().prepare("echo", b"")
    if case.startswith("dumps gives"):
        value, dumps_gives = result(), value
        monkeypatch.setattr(json, "dumps", lambda _: dumps_gives)
    sys.modules[module].VALUE = value
    korvanes = raises_exactly(exc_type, None, prepared.execute)
    kits = raises_exactly(exc_type, korvanes.args[0], validate_result, value)
    returned, problem = results.execute(prepared, None, None)
    assert korvanes.args[0].startswith(message) and returned is value
    assert type(problem.error) is exc_type and problem.error.args == korvanes.args
    assert getattr(problem.error, "__notes__", []) == getattr(korvanes, "__notes__", [])
    kit_notes = getattr(kits, "__notes__", [])
    if notes is None:  # json.dumps's own exception, notes and all
        assert korvanes.__notes__ == kit_notes
    else:
        assert kit_notes == notes and korvanes.__notes__ == [*notes, f"returned by {module}:execute"]


def test_the_kit_leaves_discovery_alone_on_other_threads(bundles):
    bundles.add("seen")
    bundles.add("other")
    stop = threading.Event()
    counts = set()

    def discover():
        while not stop.is_set():
            counts.add(len(json.loads(korvane.discover_bundles())))

    thread = threading.Thread(target=discover)
    thread.start()
    try:
        for _ in range(50):
            check_bundle("seen")
            validate_result(result())
    finally:
        stop.set()
        thread.join()
    assert counts == {2}


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


def test_status_words_have_one_source():
    # korvane's core holds the vocabulary; the type stubs' Literals and the
    # command's colours must not drift from it.
    import ast
    import pathlib
    import re
    import sysconfig

    from korvane_tools import _rules, output

    words = _rules.status_words()
    stubs = pathlib.Path(sysconfig.get_paths()["platlib"]) / "korvane-stubs" / "__init__.pyi"
    typed = {}
    for node in ast.walk(ast.parse(stubs.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.AnnAssign) and getattr(item.target, "id", None) == "status":
                    field = re.sub(r"(?<!^)(?=[A-Z])", "_", node.name).lower()
                    typed[field] = tuple(c.value for c in ast.walk(item.annotation) if isinstance(c, ast.Constant))
    assert typed == words
    accepted = {word for field_words in words.values() for word in field_words}
    assert output.STATUS_GOOD | output.STATUS_BAD <= accepted
