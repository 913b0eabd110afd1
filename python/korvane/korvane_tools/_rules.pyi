# korvane_tools._rules: korvane's verdicts, built from korvane's own glue and core.

from collections.abc import Iterable
from typing import Any

import korvane

# (exception, kind, detail, text, line, column, path)
_Verdict = tuple[BaseException, str, str, str | None, int, int, str]

def provider_record(entry_point_name: str, returned: object, /) -> str: ...
def result_verdict(result: object, /) -> _Verdict | None: ...
def text_verdict(text: str, /) -> _Verdict | None: ...
def execute(
    run: korvane.PreparedRun,
    sinks: list[Any] | tuple[Any, ...] | None = None,
    file_recorder: korvane.FileRecorder | None = None,
    /,
) -> tuple[object, _Verdict | None]: ...

# A Runtime and PreparedRuns of this module's own copies of korvane's classes.
def discover(entry_points: Iterable[Any], /) -> korvane.Runtime: ...
def clash_message(machine_id: str, /) -> str: ...
def status_words() -> dict[str, tuple[str, ...]]: ...
