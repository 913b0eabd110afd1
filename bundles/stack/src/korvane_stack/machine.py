"""The stack machine.

State: a stack of signed 64-bit integers (top at the end), an instruction
pointer, and a read position in the input schedule. The run starts at the
first instruction with an empty stack and ends at ``halt``, after the last
instruction, or on a fault.

Instructions ("a" is the value below the top, "b" the top):

    push N     push N
    add        pop b, pop a, push a + b
    sub        pop b, pop a, push a - b
    mul        pop b, pop a, push a * b
    div        pop b, pop a, push a / b rounded toward zero
    mod        pop b, pop a, push a - b * (a div b)  (sign of a, as in C)
    dup        push a copy of the top
    swap       exchange the two top values
    drop       pop and discard the top
    read       push the next value of the input schedule
    emit       pop the top and emit it as the run's next output
    jz L       pop; jump to L when the value is 0
    jnz L      pop; jump to L when the value is not 0
    jmp L      jump to L
    halt       stop

Faults end the run with machine status ``failed`` and one of these kinds:
``stack_underflow`` (an instruction needs more values than the stack holds),
``stack_overflow`` (a push would make the stack deeper than the stack limit),
``division_by_zero``, ``integer_overflow`` (a result outside the signed 64-bit
range, including the minimum divided by -1), ``input_exhausted`` (``read``
with no input left) and ``step_limit_exceeded`` (the run would execute more
instructions than the step limit allows; every executed instruction is one
step, labels and comments are none).

The machine reports each value read and each value emitted to callbacks as it
goes, and keeps nothing of them but the emitted values; an emit callback that
returns False stops the run there (status ``interrupted_by_evidence_failure``).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from .program import INT64_MAX, INT64_MIN, Program

COMPLETED = "completed"
FAILED = "failed"
INTERRUPTED = "interrupted_by_evidence_failure"


@dataclass(frozen=True, slots=True)
class Fault:
    kind: str
    message: str
    line: int | None

    def as_json(self) -> dict:
        return {"kind": self.kind, "message": self.message, "line": self.line}


@dataclass(slots=True)
class MachineOutcome:
    status: str
    fault: Fault | None
    steps: int
    outputs: list[int]
    final_stack: list[int]
    inputs_consumed: int


class _Stop(Exception):
    def __init__(self, fault: Fault) -> None:
        self.fault = fault


def _checked(value: int, line: int) -> int:
    if not INT64_MIN <= value <= INT64_MAX:
        raise _Stop(Fault("integer_overflow", f"result {value} is outside the signed 64-bit range", line))
    return value


def _divide(a: int, b: int, line: int) -> int:
    if b == 0:
        raise _Stop(Fault("division_by_zero", "division by zero", line))
    quotient = abs(a) // abs(b)
    return _checked(quotient if (a < 0) == (b < 0) else -quotient, line)


def _modulo(a: int, b: int, line: int) -> int:
    if b == 0:
        raise _Stop(Fault("division_by_zero", "division by zero", line))
    remainder = abs(a) % abs(b)
    return remainder if a >= 0 else -remainder


_ARITHMETIC: dict[str, Callable[[int, int, int], int]] = {
    "add": lambda a, b, line: _checked(a + b, line),
    "sub": lambda a, b, line: _checked(a - b, line),
    "mul": lambda a, b, line: _checked(a * b, line),
    "div": _divide,
    "mod": _modulo,
}

# How many values each instruction pops before it can run.
_NEEDS = {
    "add": 2,
    "sub": 2,
    "mul": 2,
    "div": 2,
    "mod": 2,
    "dup": 1,
    "swap": 2,
    "drop": 1,
    "emit": 1,
    "jz": 1,
    "jnz": 1,
}


def run(
    program: Program,
    inputs: tuple[int, ...],
    stack_limit: int,
    step_limit: int,
    on_emit: Callable[[int, int, int], bool],
    on_read: Callable[[int, int, int], None],
) -> MachineOutcome:
    """Run ``program`` to its end, a fault, or an interrupt from ``on_emit``.

    ``on_read(step, index, value)`` is called for every value read and
    ``on_emit(step, sequence, value)`` for every value emitted, ``step``
    counting executed instructions from 1 and ``index`` and ``sequence`` from 0.
    """
    code = program.instructions
    stack: list[int] = []
    outputs: list[int] = []
    consumed = 0
    steps = 0
    pc = 0
    status, fault = COMPLETED, None

    def push(value: int, line: int) -> None:
        if len(stack) >= stack_limit:
            raise _Stop(Fault("stack_overflow", f"stack limit of {stack_limit} values exceeded", line))
        stack.append(value)

    try:
        while pc < len(code):
            instruction = code[pc]
            op, line = instruction.op, instruction.line
            if steps >= step_limit:
                raise _Stop(Fault("step_limit_exceeded", f"step limit of {step_limit} reached", line))
            steps += 1
            pc += 1
            needed = _NEEDS.get(op, 0)
            if len(stack) < needed:
                raise _Stop(
                    Fault(
                        "stack_underflow",
                        f"{op} needs {needed} value{'s' if needed > 1 else ''} on the stack, found {len(stack)}",
                        line,
                    )
                )
            if op == "push":
                push(instruction.operand, line)
            elif op in _ARITHMETIC:
                b = stack.pop()
                a = stack.pop()
                stack.append(_ARITHMETIC[op](a, b, line))
            elif op == "dup":
                push(stack[-1], line)
            elif op == "swap":
                stack[-1], stack[-2] = stack[-2], stack[-1]
            elif op == "drop":
                stack.pop()
            elif op == "read":
                if consumed >= len(inputs):
                    raise _Stop(Fault("input_exhausted", f"read with no input left ({len(inputs)} consumed)", line))
                push(inputs[consumed], line)
                on_read(steps, consumed, inputs[consumed])
                consumed += 1
            elif op == "emit":
                value = stack.pop()
                sequence = len(outputs)
                outputs.append(value)
                if not on_emit(steps, sequence, value):
                    status = INTERRUPTED
                    break
            elif op == "jz":
                if stack.pop() == 0:
                    pc = instruction.operand
            elif op == "jnz":
                if stack.pop() != 0:
                    pc = instruction.operand
            elif op == "jmp":
                pc = instruction.operand
            elif op == "halt":
                break
            else:  # the parser admits no other mnemonic
                raise AssertionError(f"unhandled instruction {op!r}")
    except _Stop as stop:
        status, fault = FAILED, stop.fault

    return MachineOutcome(status, fault, steps, outputs, stack, consumed)
