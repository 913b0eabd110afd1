"""Checking an execution result with korvane's own rules.

korvane checks a result only inside PreparedRun.execute, so the result is
handed to it the way a bundle would hand it: a throwaway bundle lives in this
process (a module registered in sys.modules for the length of one call, and an
entry point that korvane's discovery alone sees), its execute function returns
the mapping, and korvane's execute accepts it or raises its own message.

The throwaway bundle is discovered and prepared once per process, which uses
up one run number of korvane's process-wide counter; every check after that
executes the same prepared run again.
"""

from __future__ import annotations

import json
import sys
import threading
import types
from typing import Any

import korvane

from .bundles import GROUP, only_visible

_MODULE = "_korvane_tools_result_check"
_MACHINE = "korvane-tools-result-check"
_PROVIDER_TEXT = json.dumps({
    "protocol": "korvane.python_bundle",
    "protocol_version": {"major": 2, "minor": 0, "patch": 0},
    "machine_id": _MACHINE,
    "distribution": "korvane",
    "module": _MODULE,
    "prepare_function": "prepare",
    "execute_function": "execute",
    "bundle_version": "0",
})

_lock = threading.Lock()
_prepared: korvane.PreparedRun | None = None


class _EntryPoint:
    """What korvane's discovery reads of an entry point (its name and load()),
    and what EntryPoints.select needs to keep it."""

    name = _MACHINE
    group = GROUP

    def matches(self, **params: Any) -> bool:
        return all(getattr(self, key, None) == value for key, value in params.items())

    @staticmethod
    def load() -> Any:
        return lambda: _PROVIDER_TEXT


def _module(result: object) -> types.ModuleType:
    module = types.ModuleType(_MODULE)
    module.prepare = lambda *args: None  # type: ignore[attr-defined]
    module.execute = lambda prepared, sinks, path: result  # type: ignore[attr-defined]
    return module


def _with_module(result: object, call: Any) -> Any:
    previous = sys.modules.get(_MODULE)
    sys.modules[_MODULE] = _module(result)
    try:
        return call()
    finally:
        if previous is None:
            sys.modules.pop(_MODULE, None)
        else:
            sys.modules[_MODULE] = previous


def validate_result(result: object) -> object:
    """Hands `result` to korvane as an execution result and returns it when
    korvane accepts it; otherwise raises what korvane raises (TypeError with
    the rule's exact message, or json.dumps's own exception for a value it
    cannot encode)."""
    global _prepared
    with _lock:
        if _prepared is None:
            with only_visible([_EntryPoint()]):
                runtime = korvane.Runtime.discover()
            _prepared = _with_module(None, lambda: runtime.prepare(_MACHINE, b""))
        prepared = _prepared
        return _with_module(result, prepared.execute)


def result_verdict(result: object) -> str | None:
    """None when korvane accepts `result`, otherwise its message."""
    try:
        validate_result(result)
    except (TypeError, ValueError) as error:
        return str(error)
    return None
