"""The four JSON inputs of prepare: their closed sets of member names, against
look-alikes, and the exact refusal of each malformed value."""

import json

import pytest

import korvane_stack
from korvane_stack import RunInputError

INT64_MAX = 2**63 - 1

# Each input with a closed set of members, and a valid value for each member.
INPUTS = {
    "configuration": {"stack_limit": 8, "batch_size": 2},
    "execution_controls": {"step_limit": 100},
    "observation": {"expected_outputs": [1], "require_emitted": 1},
}

PROGRAM = b"read\nemit\n"


def prepare_with(**texts):
    arguments = {"configuration": "null", "input_schedule": "[1]", "execution_controls": "null", "observation": "null"}
    arguments.update(texts)  # the keys keep prepare's order of arguments
    return korvane_stack.prepare(PROGRAM, "python-stack-1", *arguments.values())


def look_alikes(name):
    camel = name.split("_")[0] + "".join(part.capitalize() for part in name.split("_")[1:])
    alikes = [name.capitalize(), name.upper(), f" {name}", f"{name} ", name.replace("_", "-"), camel]
    return [*alikes, name.replace("_", ""), name[:-1], f"{name}s"]


@pytest.mark.parametrize("field", sorted(INPUTS))
def test_member_name_look_alikes_are_refused(field):
    members = INPUTS[field]
    allowed = ", ".join(members)
    prepare_with(**{field: json.dumps(members)})  # the real names pass
    for name, value in members.items():
        for alike in look_alikes(name):
            with pytest.raises(RunInputError) as info:
                prepare_with(**{field: json.dumps({alike: value})})
            reason = f"unknown member {alike!r} (allowed: {allowed})"
            assert (info.value.field, info.value.reason) == (field, reason), alike
            assert str(info.value) == f"{field}: {info.value.reason}"
    # A member of another input is a look-alike too.
    for other_field, other_members in INPUTS.items():
        for name in other_members:
            if other_field != field and name not in members:
                with pytest.raises(RunInputError, match=f"^{field}: unknown member '{name}'"):
                    prepare_with(**{field: json.dumps({name: 1})})


def between(path, low, got):
    return f"{path}: must be between {low} and {INT64_MAX}, got {got}"


@pytest.mark.parametrize(
    "field, text, message",
    [
        ("configuration", "[]", "configuration: must be a JSON object or null"),
        ("configuration", '"x"', "configuration: must be a JSON object or null"),
        ("configuration", '{"stack_limit": 0}', between("configuration.stack_limit", 1, 0)),
        ("configuration", '{"batch_size": 0}', between("configuration.batch_size", 1, 0)),
        ("configuration", '{"stack_limit": true}', "configuration.stack_limit: must be an integer"),
        ("configuration", '{"batch_size": 2.0}', "configuration.batch_size: must be an integer"),
        ("configuration", f'{{"stack_limit": {2**63}}}', between("configuration.stack_limit", 1, 2**63)),
        ("configuration", '{"stack_limit": NaN}', "configuration: not valid JSON: NaN is not a number"),
        ("input_schedule", '{"a": 1}', "input_schedule: must be an array of integers"),
        ("input_schedule", "[1, 2.5]", "input_schedule[1]: must be an integer"),
        ("input_schedule", f"[{-INT64_MAX - 2}]", between("input_schedule[0]", -INT64_MAX - 1, -INT64_MAX - 2)),
        ("input_schedule", "[Infinity]", "input_schedule: not valid JSON: Infinity is not a number"),
        ("execution_controls", '{"step_limit": 0}', between("execution_controls.step_limit", 1, 0)),
        ("execution_controls", "7", "execution_controls: must be a JSON object or null"),
        ("observation", '{"require_emitted": -1}', between("observation.require_emitted", 0, -1)),
        ("observation", '{"expected_outputs": "12"}', "observation.expected_outputs: must be an array of integers"),
        ("observation", '{"expected_outputs": [1, null]}', "observation.expected_outputs[1]: must be an integer"),
        (
            "observation",
            '{"expected_outputs": [1], "require_emitted": 2}',
            "observation: require_emitted 2 exceeds the 1 expected outputs",
        ),
    ],
)
def test_malformed_values_are_refused_exactly(field, text, message):
    with pytest.raises(RunInputError) as info:
        prepare_with(**{field: text})
    assert str(info.value) == message
    assert info.value.field == message.split(":")[0]


@pytest.mark.parametrize(
    "field, text",
    [
        ("configuration", '{"stack_limit": 1, "batch_size": 1}'),
        ("configuration", f'{{"stack_limit": {INT64_MAX}}}'),
        ("input_schedule", f"[{-INT64_MAX - 1}, {INT64_MAX}]"),
        ("input_schedule", "null"),
        ("execution_controls", '{"step_limit": 1}'),
        ("observation", '{"require_emitted": 0}'),
        ("observation", '{"expected_outputs": [1], "require_emitted": 1}'),
        ("observation", '{"expected_outputs": null, "require_emitted": null}'),
    ],
)
def test_values_at_the_edges_are_accepted(field, text):
    prepare_with(**{field: text})


def test_inputs_must_be_text():
    for field in ("configuration", "input_schedule", "execution_controls", "observation"):
        with pytest.raises(TypeError, match=f"^{field} must be JSON text \\(str\\), not bytes$"):
            prepare_with(**{field: b"null"})
