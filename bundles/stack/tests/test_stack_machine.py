import json

import pytest
from stack_testkit import prepare, run

import korvane_stack
from korvane_stack import RunInputError

SUM_TO_ZERO = """
        push 0
loop:   read
        dup
        jz done
        add
        dup
        emit
        jmp loop
done:   drop
        halt
"""


def fault(result):
    return result["machine_execution"]["fault"]


def test_loop_with_inputs_completes():
    result = run(SUM_TO_ZERO, inputs=[5, -2, 10, 0, 99])
    assert result["machine_execution"]["status"] == "completed"
    assert result["outputs"] == [5, 3, 13]
    assert result["final_stack"] == [13]
    assert result["run_id"] == "python-stack-1"


@pytest.mark.parametrize("a, b, quotient, remainder", [(7, 2, 3, 1), (-7, 2, -3, -1), (7, -2, -3, 1), (-7, -2, 3, -1)])
def test_div_and_mod_round_toward_zero(a, b, quotient, remainder):
    result = run(f"push {a}\npush {b}\ndiv\nemit\npush {a}\npush {b}\nmod\nemit")
    assert result["outputs"] == [quotient, remainder]


def test_stack_shuffles():
    result = run("push 1\npush 2\nswap\nemit\ndup\nemit\ndrop\npush 3\npush 4\nsub\nemit")
    assert result["outputs"] == [1, 2, -1]
    assert result["final_stack"] == []


OVERFLOW = "result 9223372036854775808 is outside the signed 64-bit range"


@pytest.mark.parametrize(
    "program, kind, line, message",
    [
        ("push 1\npush 0\ndiv", "division_by_zero", 3, "division by zero"),
        ("push 1\npush 0\nmod", "division_by_zero", 3, "division by zero"),
        ("push 9223372036854775807\npush 1\nadd", "integer_overflow", 3, OVERFLOW),
        ("push -9223372036854775808\npush -1\ndiv", "integer_overflow", 3, OVERFLOW),
        ("push -9223372036854775808\npush -1\nmul", "integer_overflow", 3, OVERFLOW),
        ("push 1\nadd", "stack_underflow", 2, "add needs 2 values on the stack, found 1"),
        ("emit", "stack_underflow", 1, "emit needs 1 value on the stack, found 0"),
        ("dup", "stack_underflow", 1, "dup needs 1 value on the stack, found 0"),
        ("push 1\nswap", "stack_underflow", 2, "swap needs 2 values on the stack, found 1"),
        ("read\nread", "input_exhausted", 2, "read with no input left (1 consumed)"),
        ("loop: jmp loop", "step_limit_exceeded", 1, "step limit of 50 reached"),
        ("loop: push 1\njmp loop", "stack_overflow", 1, "stack limit of 8 values exceeded"),
    ],
)
def test_runtime_faults_fail_the_machine(program, kind, line, message):
    result = run(program, inputs=[1], controls={"step_limit": 50}, configuration={"stack_limit": 8})
    assert result["machine_execution"]["status"] == "failed"
    assert fault(result) == {"kind": kind, "line": line, "message": message}


def test_limits_are_exact():
    program = "push 1\npush 2\npush 3\nhalt"
    exact = run(program, configuration={"stack_limit": 3}, controls={"step_limit": 4})
    assert exact["machine_execution"]["status"] == "completed"
    assert fault(run(program, configuration={"stack_limit": 2}))["kind"] == "stack_overflow"
    limited = run(program, controls={"step_limit": 3})
    assert fault(limited)["kind"] == "step_limit_exceeded"
    assert limited["steps"] == 3


def test_outputs_before_a_fault_are_kept():
    result = run("push 4\nemit\npush 1\npush 0\ndiv\npush 5\nemit")
    assert result["machine_execution"]["status"] == "failed"
    assert result["outputs"] == [4]


def test_prepared_run_can_be_executed_again():
    prepared = prepare(SUM_TO_ZERO, inputs=[1, 2, 0])
    first = korvane_stack.execute(prepared, [], None)
    second = korvane_stack.execute(prepared, (), None)
    assert first["outputs"] == second["outputs"] == [1, 3]


# Evidence ---------------------------------------------------------------


def test_expected_outputs_met():
    result = run(SUM_TO_ZERO, inputs=[1, 2, 0], observation={"expected_outputs": [1, 3]})
    assert result["evidence_fulfillment"]["status"] == "complete"
    assert result["machine_execution"]["status"] == "completed"


def test_diverging_output_interrupts_at_once():
    result = run(SUM_TO_ZERO, inputs=[1, 2, 3, 0], observation={"expected_outputs": [1, 4, 8]})
    assert result["machine_execution"]["status"] == "interrupted_by_evidence_failure"
    assert result["evidence_fulfillment"]["status"] == "failed"
    assert result["outputs"] == [1, 3]
    assert result["evidence_fulfillment"]["contradiction"]["sequence"] == 1


def test_output_beyond_expected_interrupts():
    result = run("push 1\nemit\npush 2\nemit", observation={"expected_outputs": [1]})
    assert result["machine_execution"]["status"] == "interrupted_by_evidence_failure"
    assert result["outputs"] == [1, 2]


@pytest.mark.parametrize(
    "observation, status",
    [
        ({"expected_outputs": [1, 3, 6]}, "incomplete"),
        ({"require_emitted": 3}, "incomplete"),
        ({"require_emitted": 2}, "complete"),
        (None, "complete"),
    ],
)
def test_missing_evidence_is_incomplete(observation, status):
    result = run(SUM_TO_ZERO, inputs=[1, 2, 0], observation=observation)
    assert result["evidence_fulfillment"]["status"] == status
    assert result["machine_execution"]["status"] == "completed"


def test_evidence_is_judged_separately_from_a_fault():
    result = run("push 1\nemit\ndrop", observation={"expected_outputs": [1]})
    assert result["machine_execution"]["status"] == "failed"
    assert result["evidence_fulfillment"]["status"] == "complete"


# Inputs of prepare ------------------------------------------------------


@pytest.mark.parametrize(
    "argument, text, fragment",
    [
        (2, "{not json", "not valid JSON"),
        (2, '{"stack_limt": 4}', "unknown member 'stack_limt'"),
        (2, '{"stack_limit": 0}', "between 1 and"),
        (2, '{"stack_limit": true}', "must be an integer"),
        (2, '{"batch_size": 2.0}', "must be an integer"),
        (2, "[]", "must be a JSON object"),
        (3, "[1, NaN]", "not valid JSON"),
        (3, "[9223372036854775808]", "between"),
        (3, '{"values": [1]}', "must be an array"),
        (4, '{"step_limit": -1}', "between 1 and"),
        (5, '{"expected_outputs": [1], "require_emitted": 2}', "exceeds the 1 expected outputs"),
        (5, '{"require_emitted": "3"}', "must be an integer"),
    ],
)
def test_bad_json_inputs_are_refused(argument, text, fragment):
    args = [b"halt", "python-stack-1", "null", "null", "null", "null"]
    args[argument] = text
    with pytest.raises(RunInputError, match=fragment):
        korvane_stack.prepare(*args)


def test_null_inputs_take_defaults():
    prepared = korvane_stack.prepare(b"halt", "python-stack-7", "null", "null", "null", "null")
    assert prepared.run_id == "python-stack-7"
    assert prepared.inputs == ()
    assert prepared.step_limit == 1_000_000
    assert prepared.configuration.stack_limit == 1024


def test_provider_metadata():
    metadata = json.loads(korvane_stack.provider())
    assert metadata == {
        "protocol": "korvane.python_bundle",
        "protocol_version": {"major": 2, "minor": 0, "patch": 0},
        "machine_id": "stack",
        "distribution": "korvane-stack",
        "module": "korvane_stack",
        "prepare_function": "prepare",
        "execute_function": "execute",
        "bundle_version": korvane_stack.__version__,
    }


def test_dup_and_swap_keep_the_values_and_their_order():
    result = run("push 1\npush 2\nswap\ndup\nemit\nemit\nemit\npush 3\ndup\nhalt")
    assert result["outputs"] == [1, 1, 2]
    assert result["final_stack"] == [3, 3]


NULLS = ("null",) * 4


@pytest.mark.parametrize(
    "function, args, message",
    [
        ("prepare", ("push 1", "r", *NULLS), "artifact must be bytes, not str"),
        ("prepare", (b"push 1", 7, *NULLS), "run_id must be a str, not int"),
        ("execute", (object(), [], None), "prepared must be a StackRun from korvane_stack.prepare, not object"),
        ("execute", (prepare("halt"), {}, None), "sinks must be a list or tuple, not dict"),
        ("execute", (prepare("halt"), [], b"run.jsonl"), "recorder_path must be a str or None, not bytes"),
    ],
)
def test_arguments_of_the_wrong_type(function, args, message):
    with pytest.raises(TypeError) as info:
        getattr(korvane_stack, function)(*args)
    assert str(info.value) == message


# What the evidence misses when one value is emitted.
@pytest.mark.parametrize(
    "observation, missing",
    [
        ({"expected_outputs": [1, 2, 3]}, ["2 expected outputs not emitted"]),
        ({"require_emitted": 3}, ["1 of 3 required outputs emitted"]),
        (
            {"expected_outputs": [1, 2], "require_emitted": 2},
            ["1 expected outputs not emitted", "1 of 2 required outputs emitted"],
        ),
        ({"expected_outputs": [1], "require_emitted": 1}, []),
    ],
)
def test_whole_evidence_reports(observation, missing):
    evidence = {"status": "incomplete" if missing else "complete", "requested": True, "emitted": 1}
    if missing:
        evidence["missing"] = missing
    assert run("push 1\nemit", observation=observation)["evidence_fulfillment"] == evidence


def test_output_beyond_the_expected_ones_is_reported_whole():
    result = run("push 1\nemit\npush 2\nemit", observation={"expected_outputs": [1]})
    message = "output 1 was not expected (1 outputs expected)"
    contradiction = {"sequence": 1, "expected": None, "emitted": 2, "message": message}
    evidence = result["evidence_fulfillment"]
    assert evidence == {"status": "failed", "requested": True, "emitted": 2, "contradiction": contradiction}
