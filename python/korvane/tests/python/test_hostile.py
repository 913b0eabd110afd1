"""What hostile or careless callers and bundles do to the classes: class
attributes rewritten, runs chained through their prepared objects, cycles
through a run, Ctrl-C while a sink is looked at. These also run on the debug
interpreter (the leak stage), where a broken type aborts the process."""

import gc
import importlib
import weakref

import pytest

import korvane
from bundle_kit import Sink, raises_exactly, run_fresh

CLASSES = [korvane.Runtime, korvane.PreparedRun, korvane.FileRecorder]

# prepare hands back whatever the test left in NEXT; execute keeps the sinks in
# the prepared state, as a bundle that delivers later would.
HOLDING_SOURCE = """
import json
RESULT = json.loads(RESULT_TEXT)
NEXT = None

class State:
    sinks = None

def provider():
    return PROVIDER_TEXT

def prepare(*args):
    return NEXT if NEXT is not None else State()

def execute(prepared, sinks, path):
    prepared.sinks = list(sinks)
    return RESULT
"""


class TestImmutableClasses:
    @pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
    @pytest.mark.parametrize("name", ["__new__", "__init__", "execute", "extra", "__doc__"])
    def test_class_attributes_cannot_be_set_or_deleted(self, cls, name):
        before = cls.__dict__.get(name)
        with pytest.raises(TypeError, match="immutable type"):
            setattr(cls, name, lambda *args: None)
        with pytest.raises(TypeError, match="immutable type"):
            delattr(cls, name)
        assert cls.__dict__.get(name) is before

    def test_instances_still_made_only_by_the_module(self, fresh):
        # The attack that used to yield instances with unconstructed members.
        out = fresh("""
            import korvane
            for cls in (korvane.Runtime, korvane.PreparedRun, korvane.FileRecorder):
                try:
                    cls.__new__ = lambda c: object.__new__(c)
                except TypeError as e:
                    print(type(e).__name__)
            print(type(korvane.FileRecorder("x")).__name__)
        """)
        assert out.split() == ["TypeError"] * 3 + ["FileRecorder"]


@pytest.fixture
def holding(bundles):
    module_name = bundles.add("kvh-hold", source=HOLDING_SOURCE)
    runtime = korvane.Runtime.discover()
    return runtime, importlib.import_module(module_name)


class TestPreparedRunCollection:
    def test_cycle_through_sinks_is_collected(self, holding):
        runtime, module = holding

        class KeepingSink(Sink):
            run = None

        gc.collect()
        refs = []
        for _ in range(50):
            run = runtime.prepare("kvh-hold", b"")
            sink = KeepingSink()
            sink.run = run  # the sink keeps its run ...
            run.execute([sink])  # ... and the bundle keeps the sink
            refs.append(weakref.ref(sink))
            del run, sink
        gc.collect()
        assert [ref() for ref in refs] == [None] * 50

    def test_run_reachable_only_from_its_prepared_object(self, holding):
        runtime, module = holding
        state = module.State()
        module.NEXT = state
        run = runtime.prepare("kvh-hold", b"")
        module.NEXT = None
        state.run = run
        probe = weakref.ref(state)
        del state, run
        gc.collect()
        assert probe() is None

    def test_collected_run_keeps_working_while_reachable(self, holding):
        runtime, module = holding
        run = runtime.prepare("kvh-hold", b"")
        for _ in range(3):
            gc.collect()
            assert run.execute([Sink()])["machine_execution"]["status"] == "completed"

    def test_long_chain_is_freed(self, tmp_path):
        site = tmp_path / "site"
        site.mkdir()
        from bundle_kit import BundleFolder

        BundleFolder(site).add("kvh-chain", module="kvh_chain", source=HOLDING_SOURCE)
        out = run_fresh(
            """
            import gc, weakref
            import korvane, kvh_chain
            runtime = korvane.Runtime.discover()
            bottom = kvh_chain.State()
            probe = weakref.ref(bottom)
            kvh_chain.NEXT = bottom
            del bottom
            for _ in range(100_000):
                kvh_chain.NEXT = runtime.prepare("kvh-chain", b"")
            top = kvh_chain.NEXT
            kvh_chain.NEXT = None
            gc.collect()
            print(probe() is not None)
            del top
            print(probe() is None)
        """,
            site=site,
        )
        assert out.split() == ["True", "True"]


class TestSinkLookupInterrupted:
    @pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
    def test_exceptions_outside_exception_pass_through(self, holding, exc_type):
        runtime, module = holding
        raised = exc_type("from the sink")

        class Interrupted(Sink):
            @property
            def record_capability_outputs(self):
                raise raised

        run = runtime.prepare("kvh-hold", b"")
        with pytest.raises(BaseException) as info:
            run.execute([Sink(), Interrupted()])
        assert info.value is raised

    @pytest.mark.parametrize("exc_type", [AttributeError, ValueError, RuntimeError, ArithmeticError])
    def test_ordinary_failures_become_the_missing_method_message(self, holding, exc_type):
        runtime, module = holding

        class Broken(Sink):
            def __getattribute__(self, name):
                raise exc_type(name)

        run = runtime.prepare("kvh-hold", b"")
        raises_exactly(TypeError, "sink at index 1 must define callable emit_batch", run.execute, [Sink(), Broken()])
