"""Leak check: every entry point and every error path, many times in one
process of the debug interpreter, failing when the total reference count or
the count of allocated memory blocks grows in every round.

Run with an interpreter that has sys.gettotalrefcount (a debug build) and the
installed korvane built against it:

    python check_leaks.py [--rounds N] [--calls N] [-k SUBSTRING]
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.metadata
import json
import pathlib
import sys
import tempfile
import types

HERE = pathlib.Path(__file__).resolve().parent

import korvane  # noqa: E402
from bundle_kit import QUIET_SOURCE, VALID_RESULT, BundleFolder, metadata, raises_exactly  # noqa: E402


def from_caller(caller_globals, source, function):
    """Evaluates `source` with `function` in globals of the caller's own."""
    return types.FunctionType(compile(source, "<caller>", "eval"), dict(caller_globals, function=function))()


def surface_scenarios(folder: BundleFolder):
    folder.add("leak_surface", source=QUIET_SOURCE)
    runtime = korvane.Runtime.discover()
    run = runtime.prepare("leak_surface", b"")

    def reimport():
        del sys.modules["korvane"]
        importlib.import_module("korvane")

    return [
        ("discover_bundles", korvane.discover_bundles),
        ("Runtime.discover", korvane.Runtime.discover),
        ("Runtime.bundles", runtime.bundles),
        ("FileRecorder", lambda: korvane.FileRecorder("some/path")),
        ("FileRecorder keyword", lambda: korvane.FileRecorder(path="p")),
        ("FileRecorder empty", lambda: raises_exactly(ValueError, None, korvane.FileRecorder, "")),
        ("FileRecorder bytes", lambda: raises_exactly(TypeError, None, korvane.FileRecorder, b"p")),
        ("FileRecorder surrogate", lambda: raises_exactly(UnicodeEncodeError, None, korvane.FileRecorder, "\ud800")),
        ("FileRecorder missing", lambda: raises_exactly(TypeError, None, korvane.FileRecorder)),
        ("FileRecorder too many", lambda: raises_exactly(TypeError, None, korvane.FileRecorder, "a", "b")),
        ("FileRecorder twice", lambda: raises_exactly(TypeError, None, korvane.FileRecorder, "a", path="b")),
        ("FileRecorder unknown keyword", lambda: raises_exactly(TypeError, None, korvane.FileRecorder, nope="b")),
        ("Runtime()", lambda: raises_exactly(TypeError, None, korvane.Runtime)),
        ("prepare missing", lambda: raises_exactly(TypeError, None, runtime.prepare)),
        ("prepare too many", lambda: raises_exactly(TypeError, None, runtime.prepare, *range(7))),
        ("prepare unknown keyword", lambda: raises_exactly(TypeError, None, runtime.prepare, "a", b"", sink=1)),
        ("prepare twice", lambda: raises_exactly(TypeError, None, runtime.prepare, "a", b"", machine_id="a")),
        ("prepare machine_id type", lambda: raises_exactly(TypeError, None, runtime.prepare, 1, 2)),
        ("prepare artifact type", lambda: raises_exactly(TypeError, None, runtime.prepare, "a", bytearray())),
        ("prepare surrogate", lambda: raises_exactly(UnicodeEncodeError, None, runtime.prepare, "\udc80", b"")),
        ("prepare not installed", lambda: raises_exactly(LookupError, None, runtime.prepare, 'no"such\n', b"")),
        ("prepare by keyword", lambda: runtime.prepare(artifact=b"x", machine_id="leak_surface", observation=[1])),
        ("execute", run.execute),
        ("execute too many", lambda: raises_exactly(TypeError, None, run.execute, 1, 2, 3)),
        ("execute unknown keyword", lambda: raises_exactly(TypeError, None, run.execute, sink=[])),
        ("execute surrogate keyword", lambda: raises_exactly(TypeError, None, run.execute, **{"\udc80": 1})),
        (
            "FileRecorder surrogate keyword",
            lambda: raises_exactly(TypeError, None, korvane.FileRecorder, **{"\udc80": 1}),
        ),
        ("discover without __builtins__", lambda: from_caller({}, "function()", korvane.discover_bundles)),
        (
            "prepare without __import__",
            lambda: raises_exactly(
                ImportError, None, from_caller, {"__builtins__": {}}, "function('leak_surface', b'')", runtime.prepare
            ),
        ),
        ("module reimport", reimport),
    ]


def rules_scenarios():
    """The private module the command and the kit use for korvane's verdicts."""
    from korvane_tools import _rules

    provider = json.dumps(metadata("leak_rules", "leak_rules"))
    not_json = {**VALID_RESULT, "outputs": {"mean": float("nan")}}
    installed = importlib.metadata.entry_points(group="korvane.machine_bundles")
    own = _rules.discover(installed)
    return [
        ("rules discover", lambda: _rules.discover(installed).bundles()),
        ("rules discover clash", lambda: raises_exactly(RuntimeError, None, _rules.discover, [*installed, *installed])),
        ("rules discover not iterable", lambda: raises_exactly(TypeError, None, _rules.discover, 1)),
        ("rules prepare and execute", lambda: _rules.execute(own.prepare("leak_surface", b""))),
        ("rules provider_record", lambda: _rules.provider_record("leak", provider)),
        (
            "rules provider_record refused",
            lambda: raises_exactly(RuntimeError, None, _rules.provider_record, "leak", "{}"),
        ),
        ("rules provider_record not str", lambda: raises_exactly(TypeError, None, _rules.provider_record, "leak", 1)),
        ("rules result_verdict", lambda: _rules.result_verdict(VALID_RESULT)),
        ("rules result_verdict not JSON", lambda: _rules.result_verdict(not_json)),
        ("rules result_verdict rule", lambda: _rules.result_verdict({})),
        ("rules result_verdict bare status", lambda: _rules.result_verdict({**VALID_RESULT, "publication": "x"})),
        ("rules result_verdict None", lambda: _rules.result_verdict(None)),
        ("rules result_verdict str", lambda: _rules.result_verdict("{}")),
        ("rules result_verdict dumps fails", lambda: _rules.result_verdict({1j: 1})),
        ("rules text_verdict", lambda: _rules.text_verdict('{"a": [1,\n NaN]}')),
        ("rules text_verdict not str", lambda: raises_exactly(TypeError, None, _rules.text_verdict, b"{}")),
        ("rules clash_message", lambda: _rules.clash_message("leak")),
        ("rules status_words", _rules.status_words),
    ]


def optional_scenarios(module_name: str, folder: BundleFolder):
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError:
        print(f"({module_name} not present: skipped)")
        return []
    return module.scenarios(folder)


def measure(call, rounds: int, calls: int):
    for _ in range(max(10, calls // 2)):  # warm-up: caches, interned strings, free lists
        call()
    # Everything the measurement itself needs exists before the first reading.
    refs = [0] * (rounds + 1)
    blocks = [0] * (rounds + 1)
    indices = list(range(rounds + 1))
    repeat = range(calls)
    for i in indices:
        if i:
            for _ in repeat:
                call()
        gc.collect()
        refs[i] = sys.gettotalrefcount()
        blocks[i] = sys.getallocatedblocks()
    return [(refs[i + 1] - refs[i], blocks[i + 1] - blocks[i]) for i in range(rounds)]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=100)
    parser.add_argument("-k", dest="only", default="")
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("check_leaks.py needs a debug build of the interpreter", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "site"
        root.mkdir()
        sys.path.insert(0, str(root))
        folder = BundleFolder(root)
        scenarios = surface_scenarios(folder) + rules_scenarios()
        scenarios += optional_scenarios("discovery_scenarios", folder)
        scenarios += optional_scenarios("run_scenarios", folder)
        importlib.invalidate_caches()

        # What one round costs when the call does nothing: the readings themselves.
        noise = measure(lambda: None, options.rounds, options.calls)
        base_refs = max(r for r, _ in noise)
        base_blocks = max(b for _, b in noise)

        leaks, checked = [], 0
        for name, call in scenarios:
            if options.only not in name:
                continue
            growth = measure(call, options.rounds, options.calls)
            checked += 1
            # A path that leaks loses at least one reference or block per call;
            # caches of the import system and importlib.metadata grow by less
            # and settle.
            floor = options.calls // 2
            refs_grow = all(r - base_refs >= floor for r, _ in growth)
            blocks_grow = all(b - base_blocks >= floor for _, b in growth)
            if refs_grow or blocks_grow:
                leaks.append(name)
                print(f"LEAK  {name}: (refs, blocks) per round {growth}")
        print(f"{checked - len(leaks)} passed, {len(leaks)} failed")
        return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
