"""The module surface: members, classes, docstrings and signatures, argument
binding and its messages, instances, and the module object's life."""

import pathlib
import weakref

import pytest

import korvane
from bundle_kit import raises_exactly

CLASSES = (korvane.Runtime, korvane.PreparedRun, korvane.FileRecorder)


@pytest.fixture
def runtime():
    return korvane.Runtime.discover()


class TestModuleObject:
    def test_members_and_all(self):
        assert korvane.__all__ == ["Runtime", "PreparedRun", "FileRecorder", "discover_bundles"]
        assert set(korvane.__all__) <= set(dir(korvane))
        assert korvane.__doc__ == ""

    def test_no_attributes_of_its_own(self):
        own = {name for name in vars(korvane) if not name.startswith("__")}
        assert own == {"Runtime", "PreparedRun", "FileRecorder", "discover_bundles"}
        assert not hasattr(korvane, "__version__")

    def test_discover_bundles_function(self):
        f = korvane.discover_bundles
        assert f.__module__ == "korvane"
        assert f.__self__ is korvane
        assert f.__text_signature__ == "()"
        assert "entry points" in f.__doc__ and not f.__doc__.startswith("discover_bundles(")


class TestClasses:
    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_names(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"

    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_not_a_base_type(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("cls", [korvane.Runtime, korvane.PreparedRun], ids=lambda c: c.__name__)
    def test_cannot_be_instantiated(self, cls):
        with pytest.raises(TypeError):
            cls()
        assert cls.__doc__ is None

    def test_docstrings_and_signatures(self):
        assert korvane.FileRecorder.__text_signature__ == "(path)"
        doc = korvane.FileRecorder.__doc__
        assert doc.startswith("Selects") and "provider side" in doc and "--" not in doc
        prepare = korvane.Runtime.prepare
        assert prepare.__text_signature__ == (
            "($self, machine_id, artifact, configuration=None, input_schedule=None, "
            "execution_controls=None, observation=None)"
        )
        assert prepare.__doc__ is None
        assert korvane.Runtime.bundles.__text_signature__ == "($self)"
        assert korvane.Runtime.discover.__text_signature__ == "()"
        assert korvane.PreparedRun.execute.__text_signature__ == "($self, sinks=None, file_recorder=None)"
        assert korvane.PreparedRun.execute.__doc__ is None

    def test_no_argument_methods_refuse_arguments(self, runtime):
        for call in (korvane.discover_bundles, korvane.Runtime.discover, runtime.bundles, runtime.discover):
            with pytest.raises(TypeError, match="takes no arguments"):
                call(1)

    def test_discover_on_an_instance(self, runtime):
        assert isinstance(runtime.discover(), korvane.Runtime)

    def test_instances_have_no_dict_and_no_weakrefs(self, runtime):
        recorder = korvane.FileRecorder("p")
        for obj in (runtime, recorder):
            with pytest.raises(AttributeError):
                obj.anything = 1
            with pytest.raises(TypeError):
                weakref.ref(obj)
        with pytest.raises(AttributeError):
            recorder.path  # noqa: B018

    def test_foreign_self_refused_by_descriptor(self):
        with pytest.raises(TypeError):
            korvane.Runtime.bundles(object())
        with pytest.raises(TypeError):
            korvane.PreparedRun.execute(korvane.FileRecorder("x"))


class TestArgumentBinding:
    def test_prepare_messages(self, runtime):
        raises_exactly(
            TypeError,
            "Runtime.prepare() missing 2 required positional arguments: 'machine_id' and 'artifact'",
            runtime.prepare,
        )
        raises_exactly(
            TypeError,
            "Runtime.prepare() missing 1 required positional argument: 'artifact'",
            runtime.prepare,
            "m",
        )
        raises_exactly(
            TypeError,
            "Runtime.prepare() takes from 2 to 6 positional arguments but 7 were given",
            runtime.prepare,
            *range(7),
        )
        raises_exactly(
            TypeError, "Runtime.prepare() got an unexpected keyword argument 'sink'", runtime.prepare, "m", b"", sink=1
        )
        raises_exactly(
            TypeError,
            "Runtime.prepare() got multiple values for argument 'artifact'",
            runtime.prepare,
            "m",
            b"",
            artifact=b"",
        )

    def test_execute_and_constructor_messages(self, bundles):
        bundles.add("demo")
        run = korvane.Runtime.discover().prepare("demo", b"")
        raises_exactly(
            TypeError,
            "PreparedRun.execute() takes from 0 to 2 positional arguments but 3 were given",
            run.execute,
            1,
            2,
            3,
        )
        raises_exactly(
            TypeError, "PreparedRun.execute() got an unexpected keyword argument 'sink'", run.execute, sink=[]
        )
        raises_exactly(
            TypeError, "FileRecorder.__new__() missing 1 required positional argument: 'path'", korvane.FileRecorder
        )
        raises_exactly(
            TypeError,
            "FileRecorder.__new__() takes 1 positional arguments but 2 were given",
            korvane.FileRecorder,
            "a",
            "b",
        )
        raises_exactly(
            TypeError,
            "FileRecorder.__new__() got an unexpected keyword argument 'paths'",
            korvane.FileRecorder,
            paths="a",
        )
        raises_exactly(
            TypeError,
            "FileRecorder.__new__() got multiple values for argument 'path'",
            korvane.FileRecorder,
            "a",
            path="b",
        )

    def test_binding_failures_come_before_conversion(self, runtime):
        # count first, then keywords in the caller's order, then the missing ones
        raises_exactly(
            TypeError,
            "Runtime.prepare() takes from 2 to 6 positional arguments but 7 were given",
            runtime.prepare,
            1,
            2,
            3,
            4,
            5,
            6,
            7,
            bogus=1,
        )
        raises_exactly(
            TypeError, "Runtime.prepare() got an unexpected keyword argument 'zz'", runtime.prepare, zz=1, aa=2
        )
        raises_exactly(
            TypeError, "Runtime.prepare() got an unexpected keyword argument 'bogus'", runtime.prepare, 1, bogus=1
        )
        # A keyword name with a lone surrogate is an unexpected keyword, named
        # as written (as by the interpreter's own functions), at its turn, in
        # both calling conventions.
        for call, label in ((runtime.prepare, "Runtime.prepare()"), (korvane.FileRecorder, "FileRecorder.__new__()")):
            with pytest.raises(TypeError, match="positional arguments but 7 were given"):
                call(1, 2, 3, 4, 5, 6, 7, **{"\udc80": 1})
            with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
                call(bogus=1, **{"\udc80": 1})
            raises_exactly(TypeError, f"{label} got an unexpected keyword argument '\udc80'", call, **{"\udc80": 1})

    def test_missing_required_named_in_parameter_order(self, runtime):
        raises_exactly(
            TypeError,
            "Runtime.prepare() missing 2 required positional arguments: 'machine_id' and 'artifact'",
            runtime.prepare,
            configuration=1,
        )

    def test_conversion_in_parameter_order(self, runtime):
        raises_exactly(TypeError, "argument 'machine_id': 'int' object cannot be cast as 'str'", runtime.prepare, 1, 2)
        raises_exactly(
            TypeError,
            "argument 'artifact': 'bytearray' object cannot be cast as 'bytes'",
            runtime.prepare,
            "m",
            bytearray(),
        )
        raises_exactly(
            TypeError,
            "argument 'artifact': 'memoryview' object cannot be cast as 'bytes'",
            runtime.prepare,
            "m",
            memoryview(b""),
        )

    def test_qualified_type_name_in_cast_message(self, runtime):
        class Outer:
            class Inner:
                pass

        raises_exactly(
            TypeError,
            "argument 'machine_id': 'TestArgumentBinding.test_qualified_type_name_in_cast_message.<locals>.Outer.Inner'"
            " object cannot be cast as 'str'",
            runtime.prepare,
            Outer.Inner(),
            b"",
        )

    def test_keywords_accepted_for_every_parameter(self, runtime):
        with pytest.raises(LookupError):
            runtime.prepare(artifact=b"", machine_id="nothing", observation=None)

    def test_lone_surrogate_machine_id_is_the_encoding_error(self, runtime):
        with pytest.raises(UnicodeEncodeError):
            runtime.prepare("\ud800", b"")

    def test_subclasses_of_str_and_bytes_accepted(self, runtime):
        class S(str):
            pass

        class B(bytes):
            pass

        with pytest.raises(LookupError):
            runtime.prepare(S("nothing"), B(b"x"))


class TestFileRecorder:
    def test_paths_accepted_as_given(self):
        for path in (" ", "relative/p", "/", "a\0b", "é"):
            assert type(korvane.FileRecorder(path)) is korvane.FileRecorder
        assert type(korvane.FileRecorder(path="x")) is korvane.FileRecorder

    def test_empty_path(self):
        raises_exactly(ValueError, "file recorder path must not be empty", korvane.FileRecorder, "")

    def test_only_str(self):
        raises_exactly(TypeError, "argument 'path': 'bytes' object cannot be cast as 'str'", korvane.FileRecorder, b"p")
        raises_exactly(
            TypeError,
            "argument 'path': 'PosixPath' object cannot be cast as 'str'",
            korvane.FileRecorder,
            pathlib.Path("p"),
        )
        with pytest.raises(UnicodeEncodeError):
            korvane.FileRecorder("\udcff")

    def test_default_repr(self):
        assert repr(korvane.FileRecorder("p")).startswith("<builtins.FileRecorder object at 0x")


class TestModuleLife:
    def test_reimport_returns_the_same_object(self, fresh):
        out = fresh(
            """
            import sys, korvane
            first = korvane
            del sys.modules["korvane"]
            import korvane
            print(korvane is first, korvane.Runtime is first.Runtime)
            """
        )
        assert out.split() == ["True", "True"]

    def test_isolated_subinterpreter_refuses(self, fresh):
        out = fresh(
            """
            import korvane
            from concurrent import interpreters
            interp = interpreters.create()
            try:
                interp.exec("import korvane")
            except interpreters.ExecutionFailed as failure:
                print(failure.excinfo.type.__name__)
            """
        )
        assert out.strip() == "ImportError"

    def test_legacy_subinterpreter_refused_by_the_module(self, fresh):
        # A legacy interpreter lets single-phase modules load, so the refusal
        # there is the module's own.
        out = fresh(
            """
            import _interpreters
            import korvane
            interp = _interpreters.create("legacy")
            failure = _interpreters.exec(interp, "import korvane")
            print(failure.type.__name__, "|", failure.msg)
            _interpreters.destroy(interp)
            print(korvane.discover_bundles())
            """
        )
        first, second = out.strip().splitlines()
        assert first.startswith("ImportError |") and "sub-interpreters" in first
        assert second == "[]"
