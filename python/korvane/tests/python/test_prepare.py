"""Runtime.prepare against real installed bundles: the lookup, the six
arguments the bundle receives, the JSON texts of the optional inputs and their
failures, the routing to the bundle's function, and the run counter."""

import builtins
import gc
import importlib
import importlib.metadata
import json
import math
import re
import sys
import threading
import types

import pytest

import korvane
from bundle_kit import metadata, raises_exactly, run_threads

RUN_ID = re.compile(r"python-(.+)-([1-9][0-9]*)")
LABELS = ("configuration", "input_schedule", "execution_controls", "observation")


def calls(module_name):
    return importlib.import_module(module_name).CALLS


def prepare_args(module_name):
    """The positional arguments of the bundle's single prepare call."""
    ((kind, args),) = calls(module_name)
    assert kind == "prepare"
    return args


def sequence_of(run_id):
    return int(RUN_ID.fullmatch(run_id).group(2))


def not_installed(quoted, raw):
    return (
        f"machine bundle {quoted} is not installed; install `korvane` and `korvane-{raw}`, "
        f"or use `korvane-machines[{raw}]`"
    )


class TestLookup:
    def test_exact_identifier_routes_to_its_own_bundle(self, bundles):
        alpha = bundles.add("kvp-alpha")
        beta = bundles.add("kvp-beta")
        korvane.Runtime.discover().prepare("kvp-beta", b"x")
        assert calls(alpha) == []
        assert RUN_ID.fullmatch(prepare_args(beta)[1]).group(1) == "kvp-beta"

    @pytest.mark.parametrize("asked", ["KVP-ALPHA", "Kvp-alpha", "kvp-alpha ", " kvp-alpha", "kvp-alph"])
    def test_near_misses_are_not_installed(self, bundles, asked):
        module = bundles.add("kvp-alpha")
        runtime = korvane.Runtime.discover()
        raises_exactly(LookupError, not_installed(f'"{asked}"', asked), runtime.prepare, asked, b"")
        assert calls(module) == []

    def test_empty_registry(self, monkeypatch):
        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: importlib.metadata.EntryPoints(()))
        runtime = korvane.Runtime.discover()
        assert runtime.bundles() == "[]"
        raises_exactly(LookupError, not_installed('"stack"', "stack"), runtime.prepare, "stack", b"")
        raises_exactly(LookupError, not_installed('""', ""), runtime.prepare, "", b"")

    def test_quoted_and_raw_forms(self, bundles):
        bundles.add("kvp-alpha")
        runtime = korvane.Runtime.discover()
        asked = 'kvp"alpha\nline\\é\u200b'
        error = raises_exactly(
            LookupError, not_installed('"kvp\\"alpha\\nline\\\\é\\u{200b}"', asked), runtime.prepare, asked, b""
        )
        assert type(error) is LookupError  # the base class, not KeyError


class TestArgumentsHandedOn:
    def test_six_positional_arguments_of_the_given_forms(self, bundles):
        module = bundles.add("kvp-args")
        artifact = bytes(range(256)) * 3
        korvane.Runtime.discover().prepare("kvp-args", artifact, {"b": 1, "a": [1.5, "é"]}, [1, 2], "go", 7)
        args = prepare_args(module)
        assert len(args) == 6
        assert all(type(a) is str for a in args[1:])
        assert type(args[0]) is bytes and args[0] == artifact and args[0] is not artifact
        assert RUN_ID.fullmatch(args[1]).group(1) == "kvp-args"
        assert args[2:] == ('{"b": 1, "a": [1.5, "\\u00e9"]}', "[1, 2]", '"go"', "7")

    def test_bytes_subclass_arrives_as_plain_bytes(self, bundles):
        module = bundles.add("kvp-args")

        class Blob(bytes):
            pass

        korvane.Runtime.discover().prepare("kvp-args", Blob(b"\x00\xffab"))
        artifact = prepare_args(module)[0]
        assert type(artifact) is bytes and artifact == b"\x00\xffab"

    @pytest.mark.parametrize(
        "call",
        [
            lambda rt: rt.prepare("kvp-null", b""),
            lambda rt: rt.prepare("kvp-null", b"", None, None, None, None),
            lambda rt: rt.prepare(machine_id="kvp-null", artifact=b"", **dict.fromkeys(LABELS)),
        ],
        ids=["omitted", "positional-none", "keyword-none"],
    )
    def test_absent_values_are_null(self, bundles, call):
        module = bundles.add("kvp-null")
        call(korvane.Runtime.discover())
        assert prepare_args(module)[2:] == ("null",) * 4

    def test_keywords_land_in_their_positions(self, bundles):
        module = bundles.add("kvp-kw")
        korvane.Runtime.discover().prepare(
            "kvp-kw", b"", observation=4, execution_controls=3, input_schedule=2, configuration=1
        )
        assert prepare_args(module)[2:] == ("1", "2", "3", "4")

    @pytest.mark.parametrize(
        "value",
        [{}, "", 'text "q" é', {"z": 1, "a": {"n": None, "t": True}}, (1, "x"), 2**64, -0.0, 1e300, math.nan]
        + [math.inf, -math.inf, {"k": [math.nan]}, {1: "int", "1": "str"}],
    )
    def test_texts_are_json_dumps_verbatim(self, bundles, value):
        module = bundles.add("kvp-text")
        korvane.Runtime.discover().prepare("kvp-text", b"", value)
        assert prepare_args(module)[2] == json.dumps(value)

    def test_empty_dict_and_str_forms(self, bundles):
        module = bundles.add("kvp-text")
        korvane.Runtime.discover().prepare("kvp-text", b"", {}, "plain")
        assert prepare_args(module)[2:4] == ("{}", '"plain"')


class TestEncodingFailures:
    def test_set_gives_json_dumps_own_type_error(self, bundles):
        module = bundles.add("kvp-enc")
        with pytest.raises(TypeError) as expected:
            json.dumps({"s": {1}})
        with pytest.raises(TypeError) as info:
            korvane.Runtime.discover().prepare("kvp-enc", b"", {"s": {1}})
        assert info.value.args == expected.value.args
        assert calls(module) == []

    def test_first_failing_value_in_argument_order_decides(self, bundles):
        bundles.add("kvp-enc")
        with pytest.raises(ValueError, match="Circular reference"):
            loop = []
            loop.append(loop)
            korvane.Runtime.discover().prepare("kvp-enc", b"", None, loop, {1}, object())

    def test_exception_from_dumps_is_the_same_object(self, bundles, monkeypatch):
        bundles.add("kvp-enc")
        runtime = korvane.Runtime.discover()
        failure = OSError("encoder broke")
        seen = []

        def dumps(value):
            seen.append(value)
            raise failure

        monkeypatch.setattr(json, "dumps", dumps)
        with pytest.raises(OSError) as info:
            runtime.prepare("kvp-enc", b"", None, None, None, {"o": 1})
        assert info.value is failure
        assert seen == [{"o": 1}]  # called with the value alone, absent values skipped

    @pytest.mark.parametrize("label", LABELS)
    def test_non_str_result_of_dumps(self, bundles, monkeypatch, label):
        module = bundles.add("kvp-enc")
        runtime = korvane.Runtime.discover()
        monkeypatch.setattr(json, "dumps", lambda value: b"{}")
        message = f"{label} must be JSON-compatible: TypeError: 'bytes' object cannot be cast as 'str'"
        raises_exactly(ValueError, message, runtime.prepare, "kvp-enc", b"", **{label: 1})
        assert calls(module) == []

    def test_str_without_utf8_form(self, bundles, monkeypatch):
        bundles.add("kvp-enc")
        runtime = korvane.Runtime.discover()
        try:
            "[\ud800]".encode()
        except UnicodeEncodeError as failure:
            error = f"UnicodeEncodeError: {failure}"
        monkeypatch.setattr(json, "dumps", lambda value: "[\ud800]")
        raises_exactly(
            ValueError, f"observation must be JSON-compatible: {error}", runtime.prepare, "kvp-enc", b"", observation=[]
        )

    def test_str_subclass_from_dumps_arrives_as_plain_str(self, bundles, monkeypatch):
        module = bundles.add("kvp-enc")
        runtime = korvane.Runtime.discover()

        class Text(str):
            pass

        monkeypatch.setattr(json, "dumps", lambda value: Text("[0]"))
        runtime.prepare("kvp-enc", b"", 0)
        text = prepare_args(module)[2]
        assert type(text) is str and text == "[0]"


RAISING_SOURCE = """
ERROR = KeyError("no such tape")
def provider():
    return PROVIDER_TEXT
def prepare(*args):
    raise ERROR
def execute(*args):
    raise AssertionError("not reached")
"""


class TestRouting:
    def test_exception_of_the_prepare_function_is_the_same_object(self, bundles):
        module = bundles.add("kvp-raise", source=RAISING_SOURCE)
        runtime = korvane.Runtime.discover()
        with pytest.raises(KeyError) as info:
            runtime.prepare("kvp-raise", b"")
        assert info.value is importlib.import_module(module).ERROR
        try:
            runtime.prepare("kvp-raise", b"")
        except LookupError as caught:  # the module's not-installed error and this one, alike
            assert type(caught) is KeyError

    def test_non_callable_prepare_function(self, bundles):
        bundles.add("kvp-nc", source="def provider():\n    return PROVIDER_TEXT\nprepare = 5\n")
        with pytest.raises(TypeError, match="^'int' object is not callable$"):
            korvane.Runtime.discover().prepare("kvp-nc", b"")

    def test_missing_module_is_the_import_error(self, bundles):
        bundles.add("kvp-gone", provider_text=json.dumps(metadata("kvp-gone", "kv_no_such_module_p")))
        with pytest.raises(ModuleNotFoundError) as info:
            korvane.Runtime.discover().prepare("kvp-gone", b"")
        assert info.value.name == "kv_no_such_module_p"

    def test_missing_function_is_the_attribute_error(self, bundles):
        bundles.add("kvp-nofn", prepare_function="no_such_function")
        with pytest.raises(AttributeError, match="no_such_function") as info:
            korvane.Runtime.discover().prepare("kvp-nofn", b"")
        assert info.value.name == "no_such_function"

    def test_function_name_is_used_whole(self, bundles):
        module = bundles.add("kvp-nul", prepare_function="prepare\u0000more")
        with pytest.raises(AttributeError) as info:
            korvane.Runtime.discover().prepare("kvp-nul", b"")
        assert info.value.name == "prepare\u0000more"
        assert calls(module) == []

    def test_import_error_inside_the_module_passes_unchanged(self, bundles):
        module = bundles.add("kvp-broken", source="def provider():\n    return PROVIDER_TEXT\n")
        runtime = korvane.Runtime.discover()
        del sys.modules[module]
        (bundles.root / f"{module}.py").write_text("raise ZeroDivisionError('at import')\n")
        importlib.invalidate_caches()
        with pytest.raises(ZeroDivisionError, match="at import"):
            runtime.prepare("kvp-broken", b"")

    def test_dotted_module_is_the_submodule_itself(self, bundles):
        module = bundles.add("kvp-dotted", module="kv_pkg_prep.inner.leaf")
        korvane.Runtime.discover().prepare("kvp-dotted", b"d")
        assert prepare_args(module)[0] == b"d"

    def test_module_is_imported_at_every_call(self, bundles, valid_result):
        module = bundles.add("kvp-fresh")
        runtime = korvane.Runtime.discover()
        runtime.prepare("kvp-fresh", b"")
        replacement = types.ModuleType(module)
        replacement.prepare = lambda *args: ["replacement", args[0].decode()]
        replacement.execute = lambda prepared, sinks, path: dict(valid_result, prepared=prepared)
        sys.modules[module] = replacement
        result = runtime.prepare("kvp-fresh", b"r").execute()
        assert result["prepared"] == ["replacement", "r"]

    def test_imports_go_through_the_interpreters_import_function(self, bundles, monkeypatch):
        # A replaced builtins.__import__ (a tracer, a lazy-import shim) sees
        # every import korvane makes: discovery's, the bundle's module at
        # prepare and at execute, and json for the texts.
        module = bundles.add("kvp-traced", module="kv_pkg_traced.leaf")
        seen = []
        original = builtins.__import__

        def tracing(name, *args, **kwargs):
            seen.append(name)
            return original(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", tracing)
        korvane.Runtime.discover().prepare("kvp-traced", b"", configuration={}).execute()
        monkeypatch.undo()
        for name in ("importlib.metadata", module, "json"):
            assert name in seen
        assert seen.count(module) == 2

    # Each entry point imports as an import statement in its caller does:
    # from code whose globals lack __builtins__ (the interpreter's own then
    # serve), or whose builtins lack __import__ (ImportError, never the
    # KeyError that callers of prepare read as "not installed").
    @pytest.mark.parametrize("caller_builtins", [None, {}], ids=["no __builtins__", "no __import__"])
    def test_imports_as_the_callers_import_statement(self, bundles, caller_builtins):
        bundles.add("kvp-caller")
        run = korvane.Runtime.discover().prepare("kvp-caller", b"")

        def from_caller(source, mode="eval", **names):
            if caller_builtins is not None:
                names["__builtins__"] = caller_builtins
            return types.FunctionType(compile(source, "<caller>", mode), names)()

        runtime = korvane.Runtime.discover()
        calls = [
            ("function()", korvane.discover_bundles),
            ("function()", korvane.Runtime.discover),
            ("function('kvp-caller', b'', {'c': 1})", runtime.prepare),
            ("function()", run.execute),
        ]
        if caller_builtins is None:
            from_caller("import json", "exec")
            for source, function in calls:
                from_caller(source, function=function)
        else:
            expected = raises_exactly(ImportError, None, from_caller, "import json", "exec")
            for source, function in calls:
                raises_exactly(ImportError, expected.args[0], from_caller, source, function=function)

    def test_prepared_none_is_kept(self, bundles):
        source = """
            CALLS = []
            def provider():
                return PROVIDER_TEXT
            def prepare(*args):
                return None
            def execute(*args):
                CALLS.append(args)
                return {"machine_execution": {"status": "failed"}, "evidence_fulfillment": {"status": "failed"},
                        "python_sink_delivery": {"status": "failed"}, "recorder_finalization": {"status": "failed"},
                        "publication": {"status": "not_published"}, "published_run": None}
        """
        module = bundles.add("kvp-none", source=source)
        run = korvane.Runtime.discover().prepare("kvp-none", b"")
        assert type(run) is korvane.PreparedRun
        run.execute()
        assert calls(module)[0][0] is None

    def test_prepared_run_outlives_its_runtime(self, bundles, valid_result):
        bundles.add("kvp-life", result=valid_result)
        runtime = korvane.Runtime.discover()
        run = runtime.prepare("kvp-life", b"")
        del runtime
        gc.collect()
        assert run.execute() == valid_result


COUNTER_SCRIPT = """
import importlib, json, korvane
runtime = korvane.Runtime.discover()
ids = []
def last_id(module):
    return importlib.import_module(module).CALLS[-1][1][1]
def attempt(*args, **kw):
    try:
        runtime.prepare(*args, **kw)
    except Exception as failure:
        return type(failure).__name__
    return None
ids.append(attempt("kvc-a", b"")); ids.append(last_id(A))
ids.append(attempt("kvc-b", b"")); ids.append(last_id(B))
ids.append(attempt("kvc-a", b"", observation={1}))            # json.dumps fails: number used
ids.append(attempt("kvc-missing", b""))                        # lookup fails: none used
ids.append(attempt("kvc-nomodule", b""))                       # import fails: none used
ids.append(attempt("kvc-nofunction", b""))                     # attribute lookup fails: none used
ids.append(attempt(7, b""))                                    # argument fails: none used
ids.append(attempt("kvc-a", bytearray()))
ids.append(attempt("kvc-a", b"")); ids.append(last_id(A))
ids.append(attempt("kvc-raises", b""))                         # the bundle raises: number used
ids.append(attempt("kvc-b", b"")); ids.append(last_id(B))
print(json.dumps(ids))
"""


def test_run_counter_in_a_fresh_process(bundles, fresh):
    a = bundles.add("kvc-a")
    b = bundles.add("kvc-b")
    bundles.add("kvc-nomodule", provider_text=json.dumps(metadata("kvc-nomodule", "kv_no_such_module_c")))
    bundles.add("kvc-nofunction", prepare_function="absent")
    bundles.add("kvc-raises", source=RAISING_SOURCE)
    out = fresh(f"A = {a!r}\nB = {b!r}\n" + COUNTER_SCRIPT, site=bundles.root)
    failures = ["TypeError", "LookupError", "ModuleNotFoundError", "AttributeError", "TypeError", "TypeError"]
    before, after = [None, "python-kvc-a-1", None, "python-kvc-b-2"], [None, "python-kvc-a-4", "KeyError"]
    assert json.loads(out) == [*before, *failures, *after, None, "python-kvc-b-6"]


def test_concurrent_preparations_get_distinct_gap_free_numbers(bundles):
    modules = [bundles.add(f"kvp-thread-{i}") for i in range(3)]
    runtime = korvane.Runtime.discover()
    threads, per_thread = 8, 150
    barrier = threading.Barrier(threads)
    failures = []

    def work(index):
        barrier.wait()
        try:
            for n in range(per_thread):
                runtime.prepare(f"kvp-thread-{(index + n) % 3}", b"")
        except BaseException as failure:  # reported below; a thread must not die silently
            failures.append(failure)

    run_threads(work, threads)
    assert failures == []
    numbers = sorted(sequence_of(args[1]) for m in modules for _, args in calls(m))
    assert len(numbers) == threads * per_thread
    assert numbers == list(range(numbers[0], numbers[0] + len(numbers)))
