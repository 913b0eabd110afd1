"""Every success and failure path of Runtime.prepare and PreparedRun.execute,
as callables for the leak check.

`scenarios(folder)` installs the bundles it needs into `folder` (a
bundle_kit.BundleFolder already on sys.path) and returns (name, callable)
pairs. Each callable makes one prepare or execute call and swallows the
expected exception after checking its type, so that a loop over it holds no
state of its own: the bundles here record nothing and return fixed objects.
"""

from __future__ import annotations

import gc
import importlib
import json
import math
import pathlib
import sys
from functools import partial

import korvane
from bundle_kit import QUIET_SOURCE, VALID_RESULT, Sink, metadata, raises_exactly

# Like QUIET_SOURCE, but execute returns what RETURN builds, when a scenario
# needs a value that JSON text cannot carry.
RETURNING_SOURCE = """
import json, types
RESULT = json.loads(RESULT_TEXT)
def provider():
    return PROVIDER_TEXT
def prepare(*args):
    return None
def execute(prepared, sinks, path):
    return RETURN()
"""

# prepare returns fresh state in which execute keeps the sinks, as a bundle
# that delivers later would.
HOLDING_SOURCE = """
import json
RESULT = json.loads(RESULT_TEXT)
def provider():
    return PROVIDER_TEXT
def prepare(*args):
    return []
def execute(prepared, sinks, path):
    prepared.append(list(sinks))
    return RESULT
"""

RAISING_SOURCE = """
def provider():
    return PROVIDER_TEXT
def prepare(*args):
    raise KeyError("prepare refused")
def execute(*args):
    raise ArithmeticError("execute refused")
"""


class Missing:
    def emit_batch(self, *args):
        pass


class NotCallable:
    emit_batch = None


class RaisingProperty(Sink):
    @property
    def emit_batch(self):
        raise ValueError("property broke")


class Interrupting(Sink):
    @property
    def record_capability_receipts(self):
        raise KeyboardInterrupt


class BrokenIteration(list):
    def __iter__(self):
        raise RuntimeError("cannot iterate")


def succeed(call, *args, **kwargs):
    def scenario():
        call(*args, **kwargs)

    return scenario


def with_dumps(replacement, exc_type, call, *args):
    """The call made while json.dumps is replaced, then restored."""

    def scenario():
        original = json.dumps
        json.dumps = replacement
        try:
            raises_exactly(exc_type, None, call, *args)
        finally:
            json.dumps = original

    return scenario


def scenarios(folder) -> list[tuple[str, object]]:
    def returning(machine_id, build):
        module = folder.add(machine_id, source=RETURNING_SOURCE)
        modules_to_patch.append((module, build))

    modules_to_patch = []
    ok_module = folder.add("leak-ok", source=QUIET_SOURCE)
    folder.add("leak-dotted", module="kv_leak_pkg.leaf", source=QUIET_SOURCE)
    folder.add("leak-raises", source=RAISING_SOURCE)
    folder.add("leak-hold", source=HOLDING_SOURCE)
    folder.add("leak-noncallable", source="def provider():\n    return PROVIDER_TEXT\nprepare = execute = 5\n")
    folder.add("leak-nomodule", provider_text=json.dumps(metadata("leak-nomodule", "kv_leak_no_such_module")))
    folder.add("leak-nofunction", source=QUIET_SOURCE, prepare_function="absent", execute_function="absent")
    folder.add("leak-noexecute", source=QUIET_SOURCE, execute_function="absent")
    folder.add("leak-nan", source=QUIET_SOURCE, result=dict(VALID_RESULT, score=math.nan))
    folder.add("leak-invalid", source=QUIET_SOURCE, result=dict(VALID_RESULT, publication={"status": "published"}))
    folder.add("leak-missing", source=QUIET_SOURCE, result={"machine_execution": {"status": "completed"}})
    returning("leak-none", lambda: None)
    returning("leak-text", lambda: json.dumps(VALID_RESULT))
    returning("leak-bare", lambda: dict(VALID_RESULT, evidence_fulfillment="complete"))
    returning("leak-list", lambda: [1, 2])
    returning("leak-proxy", lambda: __import__("types").MappingProxyType({}))
    returning("leak-set", lambda: dict(VALID_RESULT, extra={1, 2}))
    deep = []
    for _ in range(200):
        deep = [deep]
    returning("leak-deep", lambda: dict(VALID_RESULT, deep=deep))
    # Large results, whole and with a fault near their end: refused once
    # most of the text is read.
    rows = [{"step": step, "operands": [1, -2, 3.25], "note": "ok"} for step in range(5000)]
    returning("leak-large", lambda: dict(VALID_RESULT, rows=rows))
    late_nan = [dict(row) for row in rows]
    late_nan[-100]["operands"] = [math.nan]
    returning("leak-large-nan", lambda: dict(VALID_RESULT, rows=late_nan))
    importlib.invalidate_caches()

    for module, build in modules_to_patch:
        importlib.import_module(module).RETURN = build

    runtime = korvane.Runtime.discover()
    prepare = runtime.prepare
    run = prepare("leak-ok", b"artifact")
    run_for = {
        mid: prepare(mid, b"")
        for mid in (
            "leak-noexecute",
            "leak-none",
            "leak-text",
            "leak-bare",
            "leak-nan",
            "leak-invalid",
            "leak-missing",
            "leak-list",
            "leak-proxy",
            "leak-set",
            "leak-deep",
            "leak-large",
            "leak-large-nan",
        )
    }
    recorder = korvane.FileRecorder("/tmp/leak.kvr")
    loop = []
    loop.append(loop)

    def execute_through(exc_type, value):
        """Executes leak-ok with its module's execute function swapped for `value`."""
        module = importlib.import_module(ok_module)

        def scenario():
            original = module.execute
            module.execute = value
            try:
                raises_exactly(exc_type, None, run.execute)
            finally:
                module.execute = original

        return scenario

    def collected_cycle():
        # A run whose sink keeps it, handed to its own execution: only the
        # collector can free it.
        cyclic = prepare("leak-hold", b"")
        sink = Sink()
        sink.run = cyclic
        cyclic.execute([sink])
        del cyclic, sink
        gc.collect()

    def raise_arithmetic(*args):
        raise ArithmeticError("execute refused")

    from korvane_tools import _rules

    def rejected_through_the_hook(run_of):
        # The run's returned value and the verdict on it, not raised.
        def scenario():
            returned, verdict = _rules.execute(run_of)
            assert verdict is not None

        return scenario

    table = [
        # prepare: successes
        ("prepare absent values", succeed(prepare, "leak-ok", b"abc")),
        ("prepare with values", succeed(prepare, "leak-ok", b"abc", {"a": [1, 2.5, "é"]}, "s", [None], math.nan)),
        ("prepare by keywords", succeed(prepare, machine_id="leak-ok", artifact=b"", observation={})),
        ("prepare dotted module", succeed(prepare, "leak-dotted", b"")),
        # prepare: failures
        ("prepare not installed", partial(raises_exactly, LookupError, None, prepare, 'leak-"none"\n', b"")),
        ("prepare machine_id type", partial(raises_exactly, TypeError, None, prepare, 5, b"")),
        ("prepare artifact type", partial(raises_exactly, TypeError, None, prepare, "leak-ok", bytearray(b"x"))),
        ("prepare lone surrogate", partial(raises_exactly, UnicodeEncodeError, None, prepare, "leak-\ud800", b"")),
        ("prepare set value", partial(raises_exactly, TypeError, None, prepare, "leak-ok", b"", {"s": {1}})),
        ("prepare circular value", partial(raises_exactly, ValueError, None, prepare, "leak-ok", b"", None, loop)),
        ("prepare dumps non-str", with_dumps(lambda value: 42, ValueError, prepare, "leak-ok", b"", 1)),
        ("prepare dumps surrogate", with_dumps(lambda value: "\udc80", ValueError, prepare, "leak-ok", b"", 1)),
        ("prepare function raises", partial(raises_exactly, KeyError, None, prepare, "leak-raises", b"")),
        ("prepare not callable", partial(raises_exactly, TypeError, None, prepare, "leak-noncallable", b"")),
        ("prepare no module", partial(raises_exactly, ModuleNotFoundError, None, prepare, "leak-nomodule", b"")),
        ("prepare no function", partial(raises_exactly, AttributeError, None, prepare, "leak-nofunction", b"")),
        # execute: successes
        ("execute no arguments", succeed(run.execute)),
        ("execute sinks and recorder", succeed(run.execute, [Sink(), Sink], recorder)),
        ("execute tuple by keyword", succeed(run.execute, sinks=(Sink(),), file_recorder=None)),
        # execute: sink and recorder failures
        ("execute sinks shape", partial(raises_exactly, TypeError, None, run.execute, {Sink()})),
        ("execute sinks generator", partial(raises_exactly, TypeError, None, run.execute, (s for s in ()))),
        ("execute sink missing method", partial(raises_exactly, TypeError, None, run.execute, [Sink(), Missing()])),
        ("execute sink not callable", partial(raises_exactly, TypeError, None, run.execute, [NotCallable()])),
        ("execute sink property raises", partial(raises_exactly, TypeError, None, run.execute, [RaisingProperty()])),
        (
            "execute sinks iteration raises",
            partial(raises_exactly, RuntimeError, None, run.execute, BrokenIteration([Sink()])),
        ),
        (
            "execute sink lookup interrupted",
            partial(raises_exactly, KeyboardInterrupt, None, run.execute, [Sink(), Interrupting()]),
        ),
        ("prepared run in a collected cycle", collected_cycle),
        ("execute recorder str", partial(raises_exactly, TypeError, None, run.execute, None, "/tmp/leak.kvr")),
        ("execute bad sink and recorder", partial(raises_exactly, TypeError, None, run.execute, [object()], "x")),
        # execute: bundle failures
        ("execute function raises", execute_through(ArithmeticError, raise_arithmetic)),
        ("execute not callable", execute_through(TypeError, 5)),
        ("execute no function", partial(raises_exactly, AttributeError, None, run_for["leak-noexecute"].execute)),
        # execute: result failures
        ("execute result none", partial(raises_exactly, TypeError, None, run_for["leak-none"].execute)),
        ("execute result text", partial(raises_exactly, TypeError, None, run_for["leak-text"].execute)),
        ("execute result bare status", partial(raises_exactly, TypeError, None, run_for["leak-bare"].execute)),
        ("execute result list", partial(raises_exactly, TypeError, None, run_for["leak-list"].execute)),
        ("execute result mappingproxy", partial(raises_exactly, TypeError, None, run_for["leak-proxy"].execute)),
        ("execute result set inside", partial(raises_exactly, TypeError, None, run_for["leak-set"].execute)),
        ("execute result nan", partial(raises_exactly, TypeError, None, run_for["leak-nan"].execute)),
        ("execute result too deep", partial(raises_exactly, TypeError, None, run_for["leak-deep"].execute)),
        ("execute large result", succeed(run_for["leak-large"].execute)),
        ("execute large result nan", partial(raises_exactly, TypeError, None, run_for["leak-large-nan"].execute)),
        ("execute result invalid", partial(raises_exactly, TypeError, None, run_for["leak-invalid"].execute)),
        ("execute result missing", partial(raises_exactly, TypeError, None, run_for["leak-missing"].execute)),
        ("execute dumps non-str", with_dumps(lambda value: b"{}", ValueError, run.execute)),
        ("execute dumps raises", with_dumps(lambda value: {}[0], KeyError, run.execute)),
        # the same execution through korvane_tools._rules, keeping what the bundle returned
        ("rules execute", succeed(_rules.execute, run, [Sink()], recorder)),
        ("rules execute no run", partial(raises_exactly, TypeError, None, _rules.execute, recorder)),
        ("rules execute recorder str", partial(raises_exactly, TypeError, None, _rules.execute, run, None, "x")),
        ("rules execute sinks shape", partial(raises_exactly, TypeError, None, _rules.execute, run, {Sink()})),
    ]
    for mid in ("leak-none", "leak-text", "leak-bare", "leak-set", "leak-large-nan", "leak-invalid"):
        table.append((f"rules execute rejected {mid}", rejected_through_the_hook(run_for[mid])))
    return table


if __name__ == "__main__":
    # A quick self-check: every scenario runs once without an unexpected outcome.
    import tempfile

    from bundle_kit import BundleFolder

    root = pathlib.Path(tempfile.mkdtemp())
    sys.path.insert(0, str(root))
    for name, scenario in scenarios(BundleFolder(root)):
        scenario()
        print("ok", name)
