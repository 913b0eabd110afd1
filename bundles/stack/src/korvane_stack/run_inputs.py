"""Reading the four JSON texts that prepare receives.

Each arrives as a str of JSON text, the four characters ``null`` when the
caller gave nothing. Accepted forms:

configuration       null, or an object with any of
                      "stack_limit": integer >= 1 (default 1024), the deepest
                                     the stack may grow;
                      "batch_size":  integer >= 1 (default 64), how many
                                     emitted values go to a sink per
                                     emit_batch call.
input_schedule      null (no input), or an array of signed 64-bit integers
                    that ``read`` takes in order.
execution_controls  null, or an object with
                      "step_limit":  integer >= 1 (default 1000000), the most
                                     instructions the run may execute.
observation         null (nothing asked), or an object with any of
                      "expected_outputs": array of signed 64-bit integers, the
                                     exact sequence the run must emit; the first
                                     emitted value that differs from it, or any
                                     value beyond its end, interrupts the run;
                      "require_emitted": integer >= 0, the least number of
                                     values the run must emit.

Integers must be written as JSON integers (no fraction, no exponent, not
true/false). Unknown members are refused, so a misspelt limit is an error
rather than a silently ignored request. NaN and Infinity are refused.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

from .errors import RunInputError
from .program import INT64_MAX, INT64_MIN

DEFAULT_STACK_LIMIT = 1024
DEFAULT_BATCH_SIZE = 64
DEFAULT_STEP_LIMIT = 1_000_000


def _reject_constant(name: str):
    raise ValueError(f"{name} is not a number")


def _load(field: str, text: object) -> object:
    if not isinstance(text, str):
        raise TypeError(f"{field} must be JSON text (str), not {type(text).__name__}")
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except ValueError as error:  # JSONDecodeError included
        raise RunInputError(field, f"not valid JSON: {error}") from None


def _object(field: str, value: object, allowed: tuple[str, ...]) -> dict:
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise RunInputError(field, "must be a JSON object or null")
    for key in value:
        if key not in allowed:
            raise RunInputError(field, f"unknown member {key!r} (allowed: {', '.join(allowed)})")
    return value


def _integer(field: str, value: object, minimum: int, maximum: int) -> int:
    if type(value) is not int:
        raise RunInputError(field, "must be an integer")
    if not minimum <= value <= maximum:
        raise RunInputError(field, f"must be between {minimum} and {maximum}, got {value}")
    return value


def _integers(field: str, value: object) -> tuple[int, ...]:
    if not isinstance(value, list):
        raise RunInputError(field, "must be an array of integers")
    return tuple(_integer(f"{field}[{index}]", item, INT64_MIN, INT64_MAX) for index, item in enumerate(value))


@dataclass(frozen=True, slots=True)
class Configuration:
    stack_limit: int = DEFAULT_STACK_LIMIT
    batch_size: int = DEFAULT_BATCH_SIZE


@dataclass(frozen=True, slots=True)
class Observation:
    expected_outputs: tuple[int, ...] | None = None
    require_emitted: int | None = None

    @property
    def asks_anything(self) -> bool:
        return self.expected_outputs is not None or self.require_emitted is not None

    def as_json(self) -> dict | None:
        if not self.asks_anything:
            return None
        return {
            "expected_outputs": None if self.expected_outputs is None else list(self.expected_outputs),
            "require_emitted": self.require_emitted,
        }


def read_configuration(text: str) -> Configuration:
    value = _object("configuration", _load("configuration", text), ("stack_limit", "batch_size"))
    return Configuration(
        stack_limit=_integer("configuration.stack_limit", value.get("stack_limit", DEFAULT_STACK_LIMIT), 1, INT64_MAX),
        batch_size=_integer("configuration.batch_size", value.get("batch_size", DEFAULT_BATCH_SIZE), 1, INT64_MAX),
    )


def read_input_schedule(text: str) -> tuple[int, ...]:
    value = _load("input_schedule", text)
    if value is None:
        return ()
    return _integers("input_schedule", value)


def read_step_limit(text: str) -> int:
    value = _object("execution_controls", _load("execution_controls", text), ("step_limit",))
    return _integer("execution_controls.step_limit", value.get("step_limit", DEFAULT_STEP_LIMIT), 1, INT64_MAX)


def read_observation(text: str) -> Observation:
    value = _object("observation", _load("observation", text), ("expected_outputs", "require_emitted"))
    expected = None
    if value.get("expected_outputs") is not None:
        expected = _integers("observation.expected_outputs", value["expected_outputs"])
    required = None
    if value.get("require_emitted") is not None:
        required = _integer("observation.require_emitted", value["require_emitted"], 0, INT64_MAX)
    if expected is not None and required is not None and required > len(expected):
        # Emitting past the expected outputs is itself a failure, so this
        # request could never be met; refuse it instead of running in vain.
        raise RunInputError("observation", f"require_emitted {required} exceeds the {len(expected)} expected outputs")
    return Observation(expected, required)


class EvidenceWatch:
    """Checks the emitted values against the observation as they appear.

    Status after the run: ``failed`` when an emitted value contradicted the
    expected outputs; ``incomplete`` when the run ended before emitting all the
    expected outputs or the required number of values; ``complete`` otherwise
    (also when nothing was asked). The machine status has no say: a run that
    faulted after emitting everything asked still fulfilled the evidence.
    """

    def __init__(self, observation: Observation) -> None:
        self._observation = observation
        self.emitted = 0
        self.contradiction: dict | None = None

    def accept(self, sequence: int, value: int) -> bool:
        self.emitted = sequence + 1
        expected = self._observation.expected_outputs
        if expected is None or self.contradiction is not None:
            return self.contradiction is None
        if sequence >= len(expected):
            self.contradiction = {
                "sequence": sequence,
                "expected": None,
                "emitted": value,
                "message": f"output {sequence} was not expected ({len(expected)} outputs expected)",
            }
        elif expected[sequence] != value:
            self.contradiction = {
                "sequence": sequence,
                "expected": expected[sequence],
                "emitted": value,
                "message": f"output {sequence} is {value}, expected {expected[sequence]}",
            }
        return self.contradiction is None

    def report(self) -> dict:
        observation = self._observation
        details: dict = {"requested": observation.asks_anything, "emitted": self.emitted}
        if self.contradiction is not None:
            return {"status": "failed", **details, "contradiction": self.contradiction}
        missing = []
        if observation.expected_outputs is not None and self.emitted < len(observation.expected_outputs):
            missing.append(f"{len(observation.expected_outputs) - self.emitted} expected outputs not emitted")
        if observation.require_emitted is not None and self.emitted < observation.require_emitted:
            missing.append(f"{self.emitted} of {observation.require_emitted} required outputs emitted")
        if missing:
            return {"status": "incomplete", **details, "missing": missing}
        return {"status": "complete", **details}
