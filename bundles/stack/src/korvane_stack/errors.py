"""Exceptions that prepare raises for input it cannot run.

Both are ValueError subclasses, so a caller that only knows "bad value" can
catch them as such; the attributes carry the detail for callers that want it.
"""

from __future__ import annotations


class StackBundleError(ValueError):
    """Base class of every refusal of this bundle's input."""


class ProgramError(StackBundleError):
    """The artifact is not a valid stack program.

    ``line`` is the 1-based line of the program text at fault and ``reason``
    the description without the line prefix.
    """

    def __init__(self, line: int, reason: str) -> None:
        super().__init__(f"line {line}: {reason}")
        self.line = line
        self.reason = reason


class RunInputError(StackBundleError):
    """One of the JSON inputs of prepare (configuration, input schedule,
    execution controls, observation) is malformed.

    ``field`` names the input, or the input and its member (for example
    ``configuration.stack_limit``).
    """

    def __init__(self, field: str, reason: str) -> None:
        super().__init__(f"{field}: {reason}")
        self.field = field
        self.reason = reason
