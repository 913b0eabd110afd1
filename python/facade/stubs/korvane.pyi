# Type information for the korvane extension module.
#
# The wheel installs this file as korvane-stubs/__init__.pyi, a stub-only
# package beside korvane.*.so: type checkers find typing for a package that way,
# but not for a lone extension module file (see python/facade/CMakeLists.txt).

from typing import Any, Protocol, Self, TypeVar, final, overload, type_check_only

__all__ = ["Runtime", "PreparedRun", "FileRecorder", "discover_bundles"]

@type_check_only
class Sink(Protocol):
    """An emission consumer: any object with these three callable attributes.

    korvane checks that they exist and are callable before a run starts; the
    bundle calls them, and the bundle fixes their arguments (korvane-stack:
    emit_batch(run_id, start, values), record_capability_outputs(run_id,
    outputs), record_capability_receipts(run_id, receipts)).

    Only for type checking: korvane has no attribute Sink at run time.
    """

    def emit_batch(self, *args: Any, **kwargs: Any) -> object: ...
    def record_capability_outputs(self, *args: Any, **kwargs: Any) -> object: ...
    def record_capability_receipts(self, *args: Any, **kwargs: Any) -> object: ...

_S = TypeVar("_S", bound=Sink)

@final
class Runtime:
    """The bundles found by one discovery. Made only by Runtime.discover()."""

    @staticmethod
    def discover() -> Runtime: ...
    def bundles(self) -> str: ...
    def prepare(
        self,
        machine_id: str,
        artifact: bytes,
        configuration: object = None,
        input_schedule: object = None,
        execution_controls: object = None,
        observation: object = None,
    ) -> PreparedRun: ...

@final
class PreparedRun:
    """A prepared run of one machine. Made only by Runtime.prepare()."""

    # A list is invariant: the second form lets a list[MySink] through, the
    # first a list literal that mixes several kinds of sink.
    @overload
    def execute(
        self,
        sinks: list[Sink] | tuple[Sink, ...] | None = None,
        file_recorder: FileRecorder | None = None,
    ) -> dict[str, Any]: ...
    @overload
    def execute(self, sinks: list[_S], file_recorder: FileRecorder | None = None) -> dict[str, Any]: ...

@final
class FileRecorder:
    """Selects the reference recorder for one execution, writing at path."""

    def __new__(cls, path: str) -> Self: ...

def discover_bundles() -> str: ...
