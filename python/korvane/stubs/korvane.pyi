# Type information for the korvane extension module.
#
# The wheel installs this file as korvane-stubs/__init__.pyi, a stub-only
# package beside korvane.*.so: type checkers find typing for a package that way,
# but not for a lone extension module file (see python/korvane/CMakeLists.txt).

"""Find the machine bundles installed beside korvane, prepare a run of one
machine and execute it. Sink, ExecutionResult with its status types, and
Provider, PrepareFunction and ExecuteFunction exist in these stubs alone, for
type checkers: import them under typing.TYPE_CHECKING."""

from typing import Any, Literal, Protocol, ReadOnly, Self, TypedDict, TypeVar, final, overload, type_check_only

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

# The execution result that a bundle's execute function returns, as korvane
# checks it. Like Sink, these names exist for type checkers only: import them
# under typing.TYPE_CHECKING.
#
# Every item is read-only, so that a bundle can describe the members it adds
# by extending these: a subclass may narrow an item to its own extension
#
#     class StackMachineExecution(korvane.MachineExecution):
#         steps: int
#     class StackResult(korvane.ExecutionResult):
#         machine_execution: StackMachineExecution
#         outputs: list[int]
#
# and a StackResult is then an ExecutionResult.

@type_check_only
class MachineExecution(TypedDict):
    """`machine_execution`: how the machine run ended."""

    status: ReadOnly[Literal["completed", "failed", "interrupted_by_evidence_failure"]]

@type_check_only
class EvidenceFulfillment(TypedDict):
    """`evidence_fulfillment`: whether the run met the observation's expectations."""

    status: ReadOnly[Literal["complete", "incomplete", "failed"]]

@type_check_only
class PythonSinkDelivery(TypedDict):
    """`python_sink_delivery`: how delivery to the caller's sinks went (`not_requested` without sinks)."""

    status: ReadOnly[Literal["complete", "failed", "not_requested"]]

@type_check_only
class RecorderFinalization(TypedDict):
    """`recorder_finalization`: whether the recording asked for was completed."""

    status: ReadOnly[Literal["finalized", "failed", "not_requested", "not_finalized"]]

@type_check_only
class Publication(TypedDict):
    """`published` requires the recorder status `finalized` and a published_run
    reference; `not_published` requires published_run None (checked by korvane,
    not expressible here)."""

    status: ReadOnly[Literal["published", "not_published"]]

@type_check_only
class PublishedRun(TypedDict):
    """`published_run` of a published run: where the recording is."""

    published: ReadOnly[Literal[True]]
    path: ReadOnly[str]  # not empty

@type_check_only
class ExecutionResult(TypedDict):
    """The six members korvane checks in what a bundle's execute function returns."""

    machine_execution: ReadOnly[MachineExecution]
    evidence_fulfillment: ReadOnly[EvidenceFulfillment]
    python_sink_delivery: ReadOnly[PythonSinkDelivery]
    recorder_finalization: ReadOnly[RecorderFinalization]
    publication: ReadOnly[Publication]
    published_run: ReadOnly[PublishedRun | None]

# The three calls through which korvane reaches a bundle; korvane passes
# positional arguments only.

@type_check_only
class Provider(Protocol):
    """What the entry point loads: called with no arguments, returns the metadata as JSON text."""

    def __call__(self) -> str: ...

@type_check_only
class PrepareFunction(Protocol):
    """Called with the artifact, the run identifier and the JSON texts of
    configuration, input schedule, execution controls and observation
    ("null" for each one the caller left out); returns the prepared object."""

    def __call__(
        self,
        artifact: bytes,
        run_id: str,
        configuration: str,
        input_schedule: str,
        execution_controls: str,
        observation: str,
        /,
    ) -> object: ...

@type_check_only
class ExecuteFunction(Protocol):
    """Called with the prepared object, the caller's sinks and the recorder
    path or None; returns the execution result."""

    def __call__(
        self, prepared: Any, sinks: list[Sink] | tuple[Sink, ...], recorder_path: str | None, /
    ) -> ExecutionResult: ...

@final
class Runtime:
    """The bundles found by one discovery. Made only by Runtime.discover()."""

    @staticmethod
    def discover() -> Runtime:
        """Finds the installed bundles: all of them, or RuntimeError for the
        first with unusable metadata or a machine id claimed twice."""
    def bundles(self) -> str:
        """The listing of this runtime's bundles, as discover_bundles() gives it."""
    def prepare(
        self,
        machine_id: str,
        artifact: bytes,
        configuration: object = None,
        input_schedule: object = None,
        execution_controls: object = None,
        observation: object = None,
    ) -> PreparedRun:
        """Calls the bundle's prepare function with the artifact, a new run
        identifier and the JSON text of each optional value ("null" when
        omitted); LookupError when no bundle provides machine_id."""

@final
class PreparedRun:
    """A prepared run of one machine. Made only by Runtime.prepare()."""

    # A list is invariant: the second form lets a list[MySink] through, the
    # first a list literal that mixes several kinds of sink.
    #
    # The result is the bundle's own dict, with whatever members the bundle
    # adds; ExecutionResult (closed, as every TypedDict is to mypy) would hide
    # them. For typed access, cast it to ExecutionResult or to the bundle's
    # own extension of it.
    @overload
    def execute(
        self,
        sinks: list[Sink] | tuple[Sink, ...] | None = None,
        file_recorder: FileRecorder | None = None,
    ) -> dict[str, Any]:
        """Checks the sinks, calls the bundle's execute function and returns the
        dict it returned once korvane has checked it (TypeError when it breaks
        the result's rules)."""
    @overload
    def execute(self, sinks: list[_S], file_recorder: FileRecorder | None = None) -> dict[str, Any]: ...

@final
class FileRecorder:
    """Selects the reference recorder for one execution, writing at path."""

    def __new__(cls, path: str) -> Self: ...

def discover_bundles() -> str:
    """Compact JSON text: one object per installed bundle, sorted by machine_id."""
