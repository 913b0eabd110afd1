"""PreparedRun.execute against real installed bundles: the sinks and the file
recorder request, the call into the bundle, and the acceptance of the
execution result it returns."""

import collections
import importlib
import json
import math
import os
import shutil
import subprocess
import sys
import threading
import types

import pytest

import korvane
from bundle_kit import Sink, raises_exactly, run_threads

RESULT = "bundle execution result "
PUBLISHED = {"publication": {"status": "published"}, "recorder_finalization": {"status": "finalized"}}
SINKS_MESSAGE = "sinks must be a list or tuple of emission consumers"
RECORDER_MESSAGE = "file_recorder must be a korvane.FileRecorder or None"
MAPPING_MESSAGE = "bundle execute_prepared must return a structured mapping"
NOT_JSON = "bundle execution result is not JSON-compatible: "


# Prints "watching", then the most threads process PID had at any look,
# once a line arrives on standard input.
WATCH_THREADS = """
import os, select, sys
task = "/proc/%s/task" % sys.argv[1]
most = 0
print("watching", flush=True)
while not select.select([sys.stdin], [], [], 0)[0]:
    most = max(most, len(os.listdir(task)))
print(most)
"""


class Partial:
    """A sink with only the named attributes, each set to the given value."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def method(*args):
    pass


def partial(**overrides):
    attributes = dict(emit_batch=method, record_capability_outputs=method, record_capability_receipts=method)
    for name, value in overrides.items():
        if value is None:
            del attributes[name]
        else:
            attributes[name] = value
    return Partial(**attributes)


@pytest.fixture
def run(bundles):
    """A prepared run of a default bundle; `run.module` is the bundle's module."""
    module_name = bundles.add("kve-demo")
    prepared = korvane.Runtime.discover().prepare("kve-demo", b"")
    module = importlib.import_module(module_name)
    module.CALLS.clear()
    prepared_run = types.SimpleNamespace(execute=prepared.execute, module=module, prepared=prepared)
    return prepared_run


def execute_args(module):
    ((kind, args),) = module.CALLS
    assert kind == "execute"
    return args


class TestSinks:
    def test_absent_gives_a_new_empty_list_each_time(self, run):
        run.execute()
        run.execute(None)
        run.execute(sinks=None)
        lists = [args[1] for _, args in run.module.CALLS]
        assert all(type(s) is list and s == [] for s in lists)
        assert len({id(s) for s in lists}) == 3

    @pytest.mark.parametrize(
        "sinks",
        [[], (), [Sink()], (Sink(), Sink), type("L", (list,), {})([Sink()]), type("T", (tuple,), {})()],
        ids=["list", "tuple", "one", "instance-and-class", "list-subclass", "tuple-subclass"],
    )
    def test_caller_sequence_handed_on_as_is(self, run, sinks):
        run.execute(sinks)
        assert execute_args(run.module)[1] is sinks

    def test_same_sink_twice_and_module_as_sink(self, run):
        sink_module = types.ModuleType("sinkmod")
        sink_module.emit_batch = sink_module.record_capability_outputs = sink_module.record_capability_receipts = len
        sink = Sink()
        sinks = [sink, sink, sink_module]
        run.execute(sinks)
        assert execute_args(run.module)[1] is sinks

    @pytest.mark.parametrize(
        "sinks",
        [lambda: (s for s in [Sink()]), lambda: {Sink()}, Sink, lambda: range(0), lambda: {"a": Sink()}]
        + [collections.deque, str, int],
        ids=["generator", "set", "single", "range", "dict", "deque", "str", "int"],
    )
    def test_other_shapes_refused_before_anything_else(self, run, sinks):
        raises_exactly(TypeError, SINKS_MESSAGE, run.execute, sinks(), "not a recorder")
        assert run.module.CALLS == []

    def test_third_sink_missing_a_method(self, run):
        sinks = [Sink(), Sink(), partial(record_capability_receipts=None)]
        raises_exactly(TypeError, "sink at index 2 must define callable record_capability_receipts", run.execute, sinks)
        assert run.module.CALLS == []

    def test_not_callable_reported_before_later_missing(self, run):
        sink = Partial(emit_batch=None)
        raises_exactly(TypeError, "sink at index 0 attribute emit_batch must be callable", run.execute, [sink])

    @pytest.mark.parametrize("name", ["emit_batch", "record_capability_outputs", "record_capability_receipts"])
    def test_each_method_checked_in_turn(self, run, name):
        missing, not_callable = (Sink(), partial(**{name: None})), [partial(**{name: "text"})]
        raises_exactly(TypeError, f"sink at index 1 must define callable {name}", run.execute, missing)
        raises_exactly(TypeError, f"sink at index 0 attribute {name} must be callable", run.execute, not_callable)

    @pytest.mark.parametrize(
        "name, neighbours",
        [
            ("emit_batch", ["emit", "emit_batches", "emit_value", "emitBatch"]),
            (
                "record_capability_outputs",
                ["record_capabilities_outputs", "record_outputs", "record_capability_results"],
            ),
            (
                "record_capability_receipts",
                ["record_capabilities_receipts", "record_receipts", "record_capability_receipt_s"],
            ),
        ],
    )
    def test_method_name_look_alikes_do_not_count(self, run, name, neighbours):
        # Other letter case, blanks, another separator, a letter less or more:
        # the sink still lacks the method, and nothing is called.
        look_alikes = [name.capitalize(), name.upper(), f" {name}", f"{name} ", name.replace("_", "")]
        for alike in [*look_alikes, name.replace("_", "-"), name[:-1], f"{name}s", f"_{name}", *neighbours]:
            sink = partial(**{name: None, alike: method})
            raises_exactly(TypeError, f"sink at index 0 must define callable {name}", run.execute, [sink])
        assert run.module.CALLS == []

    def test_failing_lookup_is_reported_as_missing(self, run):
        class Raising(Sink):
            @property
            def emit_batch(self):
                raise ValueError("property broke")

        class Dynamic:
            def __getattr__(self, name):
                raise KeyError(name)

        for sink in (Raising(), Dynamic()):
            error = raises_exactly(TypeError, "sink at index 0 must define callable emit_batch", run.execute, [sink])
            assert error.__context__ is None

    def test_dynamic_attributes_count(self, run):
        class Dynamic:
            def __getattr__(self, name):
                return method

        run.execute([Dynamic()])
        assert run.module.CALLS

    def test_first_bad_sink_decides(self, run):
        sinks = [Sink, partial(emit_batch=None), Partial()]
        raises_exactly(TypeError, "sink at index 1 must define callable emit_batch", run.execute, sinks)

    def test_sink_failure_before_recorder_failure(self, run):
        message = "sink at index 0 must define callable emit_batch"
        raises_exactly(TypeError, message, run.execute, [object()], file_recorder="/tmp/x")

    def test_iteration_goes_through_the_sequence_protocol(self, run):
        failure = RuntimeError("cannot iterate")

        class Broken(list):
            def __iter__(self):
                raise failure

        with pytest.raises(RuntimeError) as info:
            run.execute(Broken([Sink()]))
        assert info.value is failure

        class Hiding(list):
            def __iter__(self):
                return iter([object()])

        raises_exactly(TypeError, "sink at index 0 must define callable emit_batch", run.execute, Hiding())
        assert run.module.CALLS == []


class TestFileRecorder:
    @pytest.mark.parametrize("value", ["/tmp/run.kvr", b"/tmp/run.kvr", 0, object()])
    def test_anything_but_a_recorder_refused(self, run, value):
        raises_exactly(TypeError, RECORDER_MESSAGE, run.execute, None, value)
        assert run.module.CALLS == []

    def test_path_arrives_as_plain_str(self, run):
        class Path(str):
            pass

        for given in ("/tmp/a dir/é.kvr", Path("relative/p"), " "):
            run.module.CALLS.clear()
            run.execute(file_recorder=korvane.FileRecorder(given))
            path = execute_args(run.module)[2]
            assert type(path) is str and path == given

    def test_one_recorder_for_two_executions(self, run):
        recorder = korvane.FileRecorder("/tmp/shared.kvr")
        run.execute([], recorder)
        run.execute((), recorder)
        assert [args[2] for _, args in run.module.CALLS] == ["/tmp/shared.kvr"] * 2


class TestCall:
    def test_three_positional_arguments(self, bundles):
        source = """
            CALLS = []
            PREPARED = object()
            def provider():
                return PROVIDER_TEXT
            def prepare(*args):
                return PREPARED
            def execute(*args, **kwargs):
                CALLS.append((args, kwargs))
                return json.loads(RESULT_TEXT)
            import json
        """
        module_name = bundles.add("kve-call", source=source)
        run = korvane.Runtime.discover().prepare("kve-call", b"")
        module = importlib.import_module(module_name)
        sinks = [Sink()]
        run.execute(sinks, korvane.FileRecorder("out.kvr"))
        run.execute()
        (first, kw1), (second, kw2) = module.CALLS
        assert kw1 == kw2 == {}
        assert first[0] is module.PREPARED and first[1] is sinks and first[2] == "out.kvr"
        assert second[0] is module.PREPARED and second[1] == [] and second[2] is None

    def test_execute_function_exception_is_the_same_object(self, run):
        failure = ArithmeticError("machine fell over")

        def execute(*args):
            raise failure

        run.module.execute = execute
        with pytest.raises(ArithmeticError) as info:
            run.execute()
        assert info.value is failure

    def test_non_callable_and_missing_execute_function(self, run):
        run.module.execute = None
        with pytest.raises(TypeError, match="^'NoneType' object is not callable$"):
            run.execute()
        del run.module.execute
        with pytest.raises(AttributeError) as info:
            run.execute()
        assert info.value.name == "execute"

    def test_function_name_is_used_whole(self, bundles):
        module_name = bundles.add("kve-nul", execute_function="execute\u0000more")
        run = korvane.Runtime.discover().prepare("kve-nul", b"")
        with pytest.raises(AttributeError) as info:
            run.execute()
        assert info.value.name == "execute\u0000more"
        assert importlib.import_module(module_name).CALLS[1:] == []

    def test_bundle_removed_between_prepare_and_execute(self, bundles, run):
        name = run.module.__name__
        del sys.modules[name]
        (bundles.root / f"{name}.py").unlink()
        shutil.rmtree(bundles.root / "__pycache__", ignore_errors=True)
        importlib.invalidate_caches()
        with pytest.raises(ModuleNotFoundError) as info:
            run.execute()
        assert info.value.name == name

    def test_bundle_broken_between_prepare_and_execute(self, bundles, run):
        name = run.module.__name__
        del sys.modules[name]
        (bundles.root / f"{name}.py").write_text("def execute(:\n")
        shutil.rmtree(bundles.root / "__pycache__", ignore_errors=True)
        importlib.invalidate_caches()
        with pytest.raises(SyntaxError):
            run.execute()

    def test_dotted_module(self, bundles, valid_result):
        bundles.add("kve-dotted", module="kv_pkg_exec.leaf", result=valid_result)
        assert korvane.Runtime.discover().prepare("kve-dotted", b"").execute() == valid_result


class TestResult:
    def test_the_very_object_is_returned(self, run, valid_result):
        run.module.RESULT = valid_result
        assert run.execute() is valid_result

    def test_subclass_extra_members_and_order_kept(self, run, valid_result):
        class Result(collections.OrderedDict):
            pass

        result = Result(extra=(1, 2), **valid_result)
        result["machine_execution"]["note"] = {"deep": [1, 2**70]}
        result[1] = "int key"
        run.module.RESULT = result
        returned = run.execute()
        assert returned is result and type(returned) is Result
        assert list(returned) == ["extra", *valid_result, 1]
        assert returned["extra"] == (1, 2)

    @pytest.mark.parametrize(
        "value",
        [lambda r: list(r.items()), lambda r: None, types.MappingProxyType, collections.UserDict, json.dumps],
        ids=["list", "none", "mappingproxy", "userdict", "text"],
    )
    def test_anything_but_a_dict_refused(self, run, valid_result, value):
        run.module.RESULT = value(valid_result)
        raises_exactly(TypeError, MAPPING_MESSAGE, run.execute)

    def test_unencodable_member_gives_json_dumps_own_error(self, run, valid_result):
        run.module.RESULT = dict(valid_result, extra={1, 2})
        with pytest.raises(TypeError) as expected:
            json.dumps(run.module.RESULT)
        with pytest.raises(TypeError) as info:
            run.execute()
        assert info.value.args == expected.value.args

    def test_encoder_returning_a_non_str(self, run, valid_result, monkeypatch):
        run.module.RESULT = valid_result
        monkeypatch.setattr(json, "dumps", lambda value: None)
        message = "execution result must be JSON-compatible: TypeError: 'NoneType' object cannot be cast as 'str'"
        raises_exactly(ValueError, message, run.execute)

    @pytest.mark.parametrize("number", [math.nan, math.inf])
    def test_non_finite_numbers_fail_the_parse(self, run, valid_result, number):
        result = dict(valid_result, score={"values": [1, number]})
        run.module.RESULT = result
        text = json.dumps(result)
        column = text.index(json.dumps(number)) + 1
        raises_exactly(TypeError, f"{NOT_JSON}expected value at line 1 column {column}", run.execute)

    def test_negative_infinity_fails_as_a_number(self, run, valid_result):
        run.module.RESULT = dict(valid_result, score=-math.inf)
        with pytest.raises(TypeError) as info:
            run.execute()
        assert info.value.args[0].startswith(f"{NOT_JSON}invalid number at line 1 column ")

    def nested(self, valid_result, levels):
        """The valid result with members nested so that `levels` containers are open at once."""
        inner = []
        for _ in range(levels - 3):
            inner = [inner]
        return dict(valid_result, deep={"list": inner})

    def test_nesting_limit(self, run, valid_result):
        run.module.RESULT = self.nested(valid_result, 127)
        assert run.execute() is run.module.RESULT
        run.module.RESULT = self.nested(valid_result, 128)
        with pytest.raises(TypeError) as info:
            run.execute()
        assert type(info.value) is TypeError
        assert info.value.args[0].startswith(f"{NOT_JSON}recursion limit exceeded at line 1 column ")

    def large(self, valid_result, rows=6000):
        """The valid result with a `rows` member of some 400 kB."""
        row = {"step": 0, "operands": [1, -2, 3.25], "note": "ok, \u00e9 [x]"}
        return dict(valid_result, rows=[dict(row, step=step) for step in range(rows)])

    def test_large_results_pass_or_fail_as_small_ones(self, run, valid_result):
        result = self.large(valid_result)
        assert len(json.dumps(result)) > 300_000
        run.module.RESULT = result
        assert run.execute() is result
        # A fault anywhere in the rows, or in a status after them, is found
        # where it is.
        for where in (0.1, 0.5, 0.52, 0.9, 1.0):
            broken = self.large(valid_result)
            broken["rows"][min(int(len(broken["rows"]) * where), len(broken["rows"]) - 1)]["operands"][1] = math.nan
            run.module.RESULT = broken
            text = json.dumps(broken)
            column = text.index("NaN") + 1
            raises_exactly(TypeError, f"{NOT_JSON}expected value at line 1 column {column}", run.execute)
        broken = self.large(valid_result)
        broken["machine_execution"] = {"status": "lost"}
        broken["rows"], broken["machine_execution"] = broken.pop("rows"), broken.pop("machine_execution")
        run.module.RESULT = broken
        raises_exactly(TypeError, RESULT + 'has unsupported machine-execution status "lost"', run.execute)

    @pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts threads in /proc")
    def test_a_large_result_is_checked_on_the_calling_thread(self, run, valid_result):
        # Another process counts this one's threads as fast as it can while
        # large results are checked here; execute holds the interpreter lock,
        # so no thread of this process could count during the check.
        run.module.RESULT = self.large(valid_result, rows=20000)
        before = len(os.listdir("/proc/self/task"))
        command = [sys.executable, "-c", WATCH_THREADS, str(os.getpid())]
        watcher = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert watcher.stdout.readline() == "watching\n"
            for _ in range(30):
                run.execute()
        finally:
            most = int(watcher.communicate("stop\n", timeout=60)[0])
        assert most == before

    @pytest.mark.parametrize(
        "change, message",
        [
            ({"publication": ..., "published_run": ...}, RESULT + 'is missing "publication"'),
            ({"machine_execution": "completed"}, RESULT + 'field "machine_execution" needs a string status'),
            (
                {"machine_execution": {"status": "Completed\n"}, "evidence_fulfillment": {}},
                RESULT + 'has unsupported machine-execution status "Completed\\n"',
            ),
            ({"evidence_fulfillment": {}}, "evidence_fulfillment must contain a string status"),
            ({"python_sink_delivery": {"status": 1}}, RESULT + 'field "python_sink_delivery" needs a string status'),
            ({"recorder_finalization": {"status": "done"}}, RESULT + 'has unsupported recorder status "done"'),
            (
                {
                    **PUBLISHED,
                    "recorder_finalization": {"status": "failed"},
                    "published_run": {"published": True, "path": "p"},
                },
                "published run requires finalized recorder outcome and a run reference",
            ),
            (PUBLISHED, "published outcome requires an object published-run reference"),
            (
                {**PUBLISHED, "published_run": {"published": 1, "path": "p"}},
                "published-run reference needs a non-empty path and published=true",
            ),
            ({"published_run": False}, "unpublished outcome cannot carry a published-run reference"),
            ({"publication": {"status": "draft"}}, RESULT + 'has unsupported publication status "draft"'),
        ],
    )
    def test_validation_messages(self, run, valid_result, change, message):
        result = dict(valid_result)
        for key, value in change.items():
            if value is ...:
                del result[key]
            else:
                result[key] = value
        run.module.RESULT = result
        raises_exactly(TypeError, message, run.execute)

    def test_published_result_and_str_subclass_status(self, run, valid_result):
        class Word(str):
            pass

        result = dict(
            valid_result,
            machine_execution={"status": Word("failed")},
            recorder_finalization={"status": "finalized"},
            publication={"status": "published", "extra": [1]},
            published_run={"published": True, "path": " "},
        )
        run.module.RESULT = result
        assert run.execute() is result


class TestRepetition:
    def test_many_executions_of_one_prepared_run(self, run, valid_result):
        run.module.RESULT = valid_result
        for _ in range(200):
            assert run.execute([Sink()]) is valid_result
        prepared = {args[0]["prepared_with"][1] for _, args in run.module.CALLS}
        assert len(run.module.CALLS) == 200 and len(prepared) == 1

    def test_concurrent_executions_of_one_prepared_run(self, run, valid_result):
        run.module.RESULT = valid_result
        threads, per_thread = 8, 100
        barrier = threading.Barrier(threads)
        outcomes = []

        def work(_index):
            barrier.wait()
            try:
                outcomes.extend(run.execute([Sink()], korvane.FileRecorder("/tmp/t.kvr")) for _ in range(per_thread))
            except BaseException as failure:
                outcomes.append(failure)

        run_threads(work, threads)
        assert len(outcomes) == threads * per_thread
        assert all(outcome is valid_result for outcome in outcomes)

    def test_execution_from_inside_a_sink(self, bundles, valid_result):
        source = """
            import json
            def provider():
                return PROVIDER_TEXT
            def prepare(*args):
                return None
            def execute(prepared, sinks, path):
                for sink in sinks:
                    sink.emit_batch()
                return json.loads(RESULT_TEXT)
        """
        bundles.add("kve-reenter", result=valid_result, source=source)
        run = korvane.Runtime.discover().prepare("kve-reenter", b"")
        inner = []

        class Reentrant(Sink):
            def emit_batch(self):
                inner.append(run.execute())

        assert run.execute([Reentrant()]) == valid_result
        assert inner == [valid_result]
