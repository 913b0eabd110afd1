"""Parser of stack programs.

A program is UTF-8 text with one instruction per line::

    program     = line { LF line }
    line        = blank [ label ":" blank ] [ instruction blank ] [ comment ]
    comment     = "#" { any character except LF }
    instruction = "push" blank+ integer
                | "add" | "sub" | "mul" | "div" | "mod"
                | "dup" | "swap" | "drop"
                | "read" | "emit"
                | "jz" blank+ label | "jnz" blank+ label | "jmp" blank+ label
                | "halt"
    label       = ( letter | "_" ) { letter | digit | "_" }
    integer     = [ "+" | "-" ] digit { digit }
    blank       = { " " | TAB }

Letters and digits are ASCII only. Mnemonics are lower case and, like labels,
compared exactly (``Push`` is not an instruction, ``Loop`` and ``loop`` are two
labels). A CR right before the LF is ignored, so CRLF files read the same, and a
UTF-8 byte-order mark at the very start is skipped. Lines are split on LF only,
never on the other Unicode line separators, so the line numbers in error
messages are the ones an editor shows.

Integers are signed 64-bit: a ``push`` literal outside -9223372036854775808 ..
9223372036854775807 is refused here rather than at run time. Every label is
defined once at most, and every jump names a defined label. A label may stand
after the last instruction; jumping there ends the run as ``halt`` does.

See ``machine.py`` for what the instructions do.
"""

from __future__ import annotations

import hashlib
import re
from dataclasses import dataclass

from .errors import ProgramError

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# Mnemonic -> whether it takes an operand, and of which kind.
_NO_OPERAND = frozenset({"add", "sub", "mul", "div", "mod", "dup", "swap", "drop", "read", "emit", "halt"})
_LABEL_OPERAND = frozenset({"jz", "jnz", "jmp"})
_INTEGER_OPERAND = frozenset({"push"})

_LABEL = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_INTEGER = re.compile(r"([+-]?)([0-9]+)\Z")
_BLANKS = re.compile(r"[ \t]+")


@dataclass(frozen=True, slots=True)
class Instruction:
    """One parsed instruction.

    ``operand`` is the integer of ``push``, the target index of a jump (an
    index into the program's instructions; the instruction count for a label
    at the end) and None otherwise. ``line`` is the source line, kept for error
    reports at run time; ``label`` is the jump target's name for the recording.
    """

    op: str
    operand: int | None
    line: int
    label: str | None = None


@dataclass(frozen=True, slots=True)
class Program:
    instructions: tuple[Instruction, ...]
    labels: tuple[tuple[str, int], ...]
    sha256: str


def _parse_integer(text: str, line: int) -> int:
    match = _INTEGER.match(text)
    if match is None:
        raise ProgramError(line, f"push needs a decimal integer, got {text!r}")
    digits = match.group(2).lstrip("0")
    # More than 19 significant digits is out of range whatever they are; the
    # check also keeps int() away from megabyte-long literals.
    if len(digits) > 19:
        raise ProgramError(line, f"integer {text} is outside the signed 64-bit range")
    value = int(match.group(1) + (digits or "0"))
    if not INT64_MIN <= value <= INT64_MAX:
        raise ProgramError(line, f"integer {text} is outside the signed 64-bit range")
    return value


def _decode(artifact: bytes) -> str:
    try:
        text = artifact.decode("utf-8")
    except UnicodeDecodeError as error:
        line = artifact.count(b"\n", 0, error.start) + 1
        raise ProgramError(line, f"program is not valid UTF-8 (byte {error.start})") from None
    if text.startswith("\ufeff"):
        text = text[1:]
    return text


def parse_program(artifact: bytes) -> Program:
    """Parse a program artifact; raise ProgramError for the first fault found."""
    if not isinstance(artifact, bytes):
        raise TypeError(f"artifact must be bytes, not {type(artifact).__name__}")
    text = _decode(artifact)

    # First pass: split lines into (line, label, mnemonic, operand text).
    raw: list[tuple[int, str, str | None]] = []  # (line, mnemonic, operand)
    labels: dict[str, int] = {}
    for number, line in enumerate(text.split("\n"), start=1):
        if line.endswith("\r"):
            line = line[:-1]
        line = line.split("#", 1)[0]
        tokens = [token for token in _BLANKS.split(line) if token]
        if tokens and ":" in tokens[0]:
            name, rest = tokens[0].split(":", 1)
            if not _LABEL.match(name):
                raise ProgramError(number, f"invalid label name {name!r}")
            if name in labels:
                raise ProgramError(number, f"label {name!r} is already defined")
            labels[name] = len(raw)
            tokens = ([rest] if rest else []) + tokens[1:]
        if not tokens:
            continue
        mnemonic, operands = tokens[0], tokens[1:]
        if mnemonic in _NO_OPERAND:
            if operands:
                raise ProgramError(number, f"{mnemonic} takes no operand")
            raw.append((number, mnemonic, None))
        elif mnemonic in _INTEGER_OPERAND or mnemonic in _LABEL_OPERAND:
            if len(operands) != 1:
                raise ProgramError(number, f"{mnemonic} takes exactly one operand")
            raw.append((number, mnemonic, operands[0]))
        else:
            raise ProgramError(number, f"unknown instruction {mnemonic!r}")

    # Second pass: operands, now that every label is known.
    instructions = []
    for number, mnemonic, operand in raw:
        if mnemonic in _INTEGER_OPERAND:
            instructions.append(Instruction(mnemonic, _parse_integer(operand, number), number))
        elif mnemonic in _LABEL_OPERAND:
            if not _LABEL.match(operand):
                raise ProgramError(number, f"invalid label name {operand!r}")
            if operand not in labels:
                raise ProgramError(number, f"undefined label {operand!r}")
            instructions.append(Instruction(mnemonic, labels[operand], number, operand))
        else:
            instructions.append(Instruction(mnemonic, None, number))

    return Program(
        instructions=tuple(instructions),
        labels=tuple(sorted(labels.items())),
        sha256=hashlib.sha256(artifact).hexdigest(),
    )
