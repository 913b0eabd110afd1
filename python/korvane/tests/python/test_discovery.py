"""Discovery through real installed distributions: the order and exact text of
the listing, what reaches Python when a bundle or importlib.metadata
misbehaves, and the registry a Runtime keeps.

Every test sees only the bundles it installs (`site` hides the environment's
own distributions), so the listings can be compared byte for byte.
"""

import importlib.metadata
import json
import sys
import threading

import pytest

import korvane
from bundle_kit import GROUP, BundleFolder, metadata, only_bundles_from, raises_exactly


@pytest.fixture
def site(bundles):
    """The `bundles` folder as the only source of installed distributions."""
    with only_bundles_from(bundles):
        yield bundles


@pytest.fixture
def two_sites(tmp_path):
    """Two bundle folders, enumerated first-then-second; yields a function
    that activates them in a given order."""
    folders = []
    for name in ("first", "second"):
        root = tmp_path / name
        root.mkdir()
        folders.append(BundleFolder(root))
    contexts = []

    def activate(*order):
        context = only_bundles_from(*order)
        context.__enter__()
        contexts.append(context)

    yield folders, activate
    for context in reversed(contexts):
        context.__exit__(None, None, None)


def listed_ids(text=None):
    return [bundle["machine_id"] for bundle in json.loads(korvane.discover_bundles() if text is None else text)]


def provider_of(machine_id, **overrides):
    overrides.setdefault("module", "kv_module")
    return json.dumps(metadata(machine_id, **overrides))


def runtime_count():
    # Every Runtime instance holds a reference to its heap type.
    return sys.getrefcount(korvane.Runtime)


# The one-bundle listing for machine_id "demo" installed with entry point "demo".
DEMO_LISTING = (
    '[{"bundle_version":"1.0.0","distribution":"korvane-demo","entry_point":"demo",'
    '"execute_function":"execute","machine_id":"demo","module":"kv_module",'
    '"prepare_function":"prepare","protocol":"korvane.python_bundle",'
    '"protocol_version":{"major":2,"minor":0,"patch":0}}]'
)


class TestOrderAndSelection:
    def test_byte_order_of_machine_ids(self, site):
        for machine_id in ("b", "B", "a", "aa"):
            site.add(machine_id)
        assert listed_ids() == ["B", "a", "aa", "b"]
        assert listed_ids(korvane.Runtime.discover().bundles()) == ["B", "a", "aa", "b"]

    def test_case_and_non_ascii_sort_by_utf8_bytes(self, site):
        ids = ["zeta", "Alpha", "alpha", "\uff61", "\U00010000", "\u00e9", "~"]
        for machine_id in ids:
            site.add(machine_id)
        expected = sorted(ids, key=lambda text: text.encode("utf-8"))
        assert expected[:3] == ["Alpha", "alpha", "zeta"]
        assert listed_ids() == expected

    def test_empty_group(self, site):
        assert korvane.discover_bundles() == "[]"
        assert korvane.Runtime.discover().bundles() == "[]"

    def test_other_groups_are_not_walked(self, site):
        module = site.add("demo")
        info = next(site.root.glob("*.dist-info"))
        with open(info / "entry_points.txt", "a", encoding="utf-8") as file:
            file.write(
                f"\n[other.group]\nbroken = no_such_module_anywhere:provider\n[console_scripts]\nx = {module}:nope\n"
            )
        assert listed_ids() == ["demo"]

    def test_two_entry_points_with_one_name(self, site):
        site.add("one", entry_name="shared")
        site.add("two", entry_name="shared")
        listing = json.loads(korvane.discover_bundles())
        assert [(b["machine_id"], b["entry_point"]) for b in listing] == [("one", "shared"), ("two", "shared")]


class TestDuplicates:
    MESSAGE = 'multiple bundle entry points advertise machine_id "dup"'

    @pytest.mark.parametrize("order", ["first-second", "second-first"])
    def test_duplicate_in_either_order(self, two_sites, order):
        (first, second), activate = two_sites
        first.add("dup", bundle_version="1")
        second.add("dup", bundle_version="2")
        first.add("fine")
        activate(*((first, second) if order == "first-second" else (second, first)))
        raises_exactly(RuntimeError, self.MESSAGE, korvane.discover_bundles)
        raises_exactly(RuntimeError, self.MESSAGE, korvane.Runtime.discover)

    def test_identical_metadata_is_still_a_duplicate(self, two_sites):
        (first, second), activate = two_sites
        # One module name in both folders: both entry points load the same provider.
        first.add("dup", module="kv_same_provider")
        second.add("dup", module="kv_same_provider")
        activate(first, second)
        raises_exactly(RuntimeError, self.MESSAGE, korvane.discover_bundles)

    def test_duplicate_machine_id_is_quoted(self, site):
        site.add('d"u\\p\t\u2028', entry_name="x1")
        site.add('d"u\\p\t\u2028', entry_name="x2")
        raises_exactly(
            RuntimeError,
            'multiple bundle entry points advertise machine_id "d\\"u\\\\p\\t\\u{2028}"',
            korvane.discover_bundles,
        )

    def test_validation_of_the_second_wins_over_the_duplicate(self, two_sites):
        (first, second), activate = two_sites
        first.add("dup")
        second.add("dup", entry_name="later", provider_text=provider_of("dup", extra=1))
        activate(first, second)
        raises_exactly(
            RuntimeError,
            'entry point "later" provider contains unsupported metadata field "extra"',
            korvane.discover_bundles,
        )


ODD_NAME = 'o"d\\d\u00a0\u00e9\u200bx'
ODD_QUOTED = '"o\\"d\\\\d\\u{a0}\u00e9\\u{200b}x"'

REJECTED = [
    ("", "bundle entry point {E} returned invalid JSON: EOF while parsing a value at line 1 column 0"),
    ('{"protocol": ', "bundle entry point {E} returned invalid JSON: EOF while parsing a value at line 1 column 13"),
    ('{\n  "a": 1,\n}', "bundle entry point {E} returned invalid JSON: trailing comma at line 3 column 1"),
    ("{} x", "bundle entry point {E} returned invalid JSON: trailing characters at line 1 column 4"),
    ("[]", "bundle provider must return a JSON object"),
    ("null", "bundle provider must return a JSON object"),
    (provider_of("m", protocol=None), 'entry point {E} provider is missing string field "protocol"'),
    (
        provider_of("m", protocol=["korvane.python_bundle"]),
        'entry point {E} provider is missing string field "protocol"',
    ),
    (
        provider_of("m", protocol="Korvane.python_bundle\t"),
        'entry point {E} returned unsupported provider protocol "Korvane.python_bundle\\t"',
    ),
    (provider_of("m", protocol_version=None), 'entry point {E} provider is missing object field "protocol_version"'),
    (
        provider_of("m", protocol_version=[2, 0, 0]),
        "entry point {E} provider has invalid protocol_version: expected an object",
    ),
    (
        provider_of("m", protocol_version={"major": 2, "minor": 0, "patch": 0, 'bu"ild': 1}),
        'entry point {E} provider has invalid protocol_version: unsupported field "bu\\"ild"',
    ),
    (
        provider_of("m", protocol_version={"major": 2.0, "minor": 0, "patch": 0}),
        'entry point {E} provider has invalid protocol_version: "major" must be an unsigned integer',
    ),
    (
        provider_of("m", protocol_version={"major": 2, "minor": 65536, "patch": 0}),
        'entry point {E} provider has invalid protocol_version: "minor" is out of range',
    ),
    (
        provider_of("m", protocol_version={"major": 2, "minor": 1, "patch": 0}),
        "entry point {E} returned unsupported provider protocol version 2.1.0",
    ),
    (provider_of("m", module=""), 'entry point {E} provider is missing string field "module"'),
    (provider_of("m", bundle_version=1), 'entry point {E} provider is missing string field "bundle_version"'),
    (provider_of("m", entry_point="m"), 'entry point {E} provider contains unsupported metadata field "entry_point"'),
    (
        provider_of("m", **{"\u2028z": 1, "Module": "x"}),
        'entry point {E} provider contains unsupported metadata field "Module"',
    ),
]


class TestRejectedMetadata:
    @pytest.mark.parametrize("entry_name, quoted", [("demo", '"demo"'), (ODD_NAME, ODD_QUOTED)], ids=["plain", "odd"])
    @pytest.mark.parametrize("provider_text, message", REJECTED)
    def test_message_reaches_python_exactly(self, site, entry_name, quoted, provider_text, message):
        site.add("valid-neighbour")
        site.add("m", entry_name=entry_name, provider_text=provider_text)
        expected = message.replace("{E}", quoted)
        before = runtime_count()
        raises_exactly(RuntimeError, expected, korvane.discover_bundles)
        raises_exactly(RuntimeError, expected, korvane.Runtime.discover)
        assert runtime_count() == before

    def test_notes_name_the_entry_point(self, site, two_sites):
        # The message stays korvane's; a note says which bundle and how to look
        # closer, and for a clash which two, with what their providers claim.
        site.add("m", entry_name="broken", provider_text="{}")
        failure = raises_exactly(RuntimeError, None, korvane.discover_bundles)
        assert failure.__notes__ == ['in entry point "broken"; run `korvane check broken` for details']
        (first, second), activate = two_sites
        first.add("dup", entry_name="one")
        second.add("dup", entry_name="two", bundle_version="2.0")
        activate(first, second)
        failure = raises_exactly(RuntimeError, TestDuplicates.MESSAGE, korvane.Runtime.discover)
        assert failure.__notes__ == [
            'advertised by entry point "one" (distribution "korvane-dup", version "1.0.0") '
            'and by entry point "two" (distribution "korvane-dup", version "2.0")'
        ]

    @pytest.mark.parametrize("provider_text", ["{}", provider_of("m")], ids=["rejected", "clash"])
    def test_nothing_but_name_and_load_is_read(self, site, monkeypatch, provider_text):
        # Whatever else an entry point holds is never looked at, so nothing
        # there can replace korvane's verdict on it.
        class Entry(FakeEntryPoint):
            def __getattr__(self, attribute):
                raise KeyboardInterrupt(attribute)

        items = [Entry("m", provides(provider_of("m"))), Entry("n", provides(provider_text))]
        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: items)
        failure = raises_exactly(RuntimeError, None, korvane.discover_bundles)
        assert "entry point" in failure.__notes__[0]

    def test_odd_entry_name_reaches_the_listing_unescaped(self, site):
        site.add("m", entry_name=ODD_NAME)
        assert json.loads(korvane.discover_bundles())[0]["entry_point"] == ODD_NAME


class TestProviderValues:
    def test_provider_exception_is_the_same_object(self, site):
        site.add("fine")
        module = site.add("boom", source="ERROR = ValueError('boom')\ndef provider():\n    raise ERROR\n")
        with pytest.raises(ValueError) as info:
            korvane.discover_bundles()
        assert info.value is sys.modules[module].ERROR
        assert info.value.__cause__ is None and info.value.__context__ is None

    @pytest.mark.parametrize(
        "returned, type_name",
        [
            ("{'machine_id': 'x'}", "dict"),
            ("None", "NoneType"),
            ("PROVIDER_TEXT.encode()", "bytes"),
            ("Holder.Text()", "Holder.Text"),
        ],
    )
    def test_non_str_return_is_the_cast_error(self, site, returned, type_name):
        site.add("x", source=f"class Holder:\n    class Text:\n        pass\ndef provider():\n    return {returned}\n")
        raises_exactly(TypeError, f"'{type_name}' object cannot be cast as 'str'", korvane.discover_bundles)

    def test_str_subclass_is_accepted(self, site):
        site.add(
            "demo",
            module="kv_module",
            source="class Text(str):\n    pass\ndef provider():\n    return Text(PROVIDER_TEXT)\n",
        )
        assert korvane.discover_bundles() == DEMO_LISTING

    def test_lone_surrogate_is_the_encoding_error(self, site):
        site.add("demo", source="def provider():\n    return PROVIDER_TEXT[:-1] + '\\ud800}'\n")
        with pytest.raises(UnicodeEncodeError) as expected:
            ("x" + "\ud800").encode("utf-8")
        with pytest.raises(UnicodeEncodeError) as info:
            korvane.discover_bundles()
        assert type(info.value) is UnicodeEncodeError
        assert info.value.reason == expected.value.reason and info.value.encoding == "utf-8"

    def test_missing_module_passes_unchanged(self, site):
        site.add("fine")
        site.add("gone", entry_target="kv_no_such_module_anywhere:provider")
        with pytest.raises(ModuleNotFoundError) as info:
            korvane.discover_bundles()
        assert type(info.value) is ModuleNotFoundError
        assert info.value.args == ("No module named 'kv_no_such_module_anywhere'",)
        assert info.value.name == "kv_no_such_module_anywhere"
        with pytest.raises(ModuleNotFoundError):
            korvane.Runtime.discover()

    def test_missing_provider_attribute_passes_unchanged(self, site):
        module = site.add("demo", entry_target=None)
        site.add("other", entry_target=f"{module}:no_such_provider")
        with pytest.raises(AttributeError) as info:
            korvane.discover_bundles()
        assert "no_such_provider" in str(info.value)


# The same metadata as DEMO_LISTING, written in other ways.
EQUIVALENT_TEXTS = [
    pytest.param(json.dumps(metadata("demo", "kv_module")), id="dumps"),
    pytest.param(json.dumps(metadata("demo", "kv_module"), indent=4, sort_keys=True), id="indented-sorted"),
    pytest.param(
        ' \r\n\t{ "protocol_version" : { "patch":0,"minor" : 0, "major":2 } ,"bundle_version":"1.0.0",'
        '"machine_id":"other","module":"kv_module","prepare_function":"prepare","execute_function":"execute",'
        '"distribution":"korvane-demo","protocol":"korvane.python_bundle","machine_id":"demo"}\n',
        id="spaced-reordered-repeated-key",
    ),
    pytest.param(
        '{"\\u0070rotocol":"korvane\\u002epython_bundle","protocol_version":{"major":2,"minor":0,"patch":0},'
        '"machine_id":"\\u0064\\u0065mo","distribution":"korvane-demo","module":"kv\\u005fmodule",'
        '"prepare_function":"prep\\u0061re","execute_function":"execute","bundle_version":"1.0.0"}',
        id="escaped",
    ),
]


class TestListingText:
    @pytest.mark.parametrize("provider_text", EQUIVALENT_TEXTS)
    def test_compact_key_ordered_text(self, site, provider_text):
        site.add("demo", provider_text=provider_text)
        assert korvane.discover_bundles() == DEMO_LISTING
        assert korvane.Runtime.discover().bundles() == DEMO_LISTING

    def test_string_escapes(self, site):
        machine_id = 'q"\\/\b\f\n\r\t\x01\x1f\x7f\u00e9\u2028\U0001f600'
        site.add("q", provider_text=provider_of(machine_id, bundle_version="1\u0000"))
        text = korvane.discover_bundles()
        assert '"machine_id":"q\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\u00e9\u2028\U0001f600"' in text
        assert '"bundle_version":"1\\u0000"' in text
        assert json.loads(text)[0]["machine_id"] == machine_id
        assert korvane.Runtime.discover().bundles() == text

    def test_several_bundles(self, site):
        site.add("b")
        site.add("a", entry_name="ep-a", distribution="d\u00e9")
        text = korvane.discover_bundles()
        assert text.startswith('[{"bundle_version":"1.0.0","distribution":"d\u00e9","entry_point":"ep-a",')
        assert '},{"bundle_version":' in text and text.count('"protocol_version":{"major":2,"minor":0,"patch":0}') == 2
        assert text == korvane.Runtime.discover().bundles()


class TestRuntimeRegistry:
    def test_bundles_is_fixed_at_discovery(self, site):
        site.add("one")
        runtime = korvane.Runtime.discover()
        before = runtime.bundles()
        site.add("two")
        assert runtime.bundles() == before
        assert listed_ids(runtime.bundles()) == ["one"]
        assert listed_ids() == ["one", "two"]
        assert listed_ids(korvane.Runtime.discover().bundles()) == ["one", "two"]

    def test_runtime_listing_equals_discover_bundles(self, site):
        for machine_id in ("m\u00e9", "M", "m\\x", "m1"):
            site.add(machine_id, entry_name=f"ep {machine_id}")
        assert korvane.Runtime.discover().bundles() == korvane.discover_bundles()

    def test_failing_discovery_creates_no_runtime(self, site):
        site.add("fine")
        before = runtime_count()
        kept = korvane.Runtime.discover()
        assert runtime_count() == before + 1
        site.add("bad", provider_text="[]")
        with pytest.raises(RuntimeError):
            korvane.Runtime.discover()
        assert runtime_count() == before + 1
        del kept
        assert runtime_count() == before

    def test_each_discover_is_independent(self, site):
        site.add("one")
        first = korvane.Runtime.discover()
        second = korvane.Runtime.discover()
        assert first is not second and first.bundles() == second.bundles()


class FakeEntryPoint:
    def __init__(self, name, provider=None, value=None):
        self.name = name
        self._provider = provider
        self.loads = 0

    def load(self):
        self.loads += 1
        return self._provider


def provides(text):
    return lambda: text


class TestEntryPointCollections:
    """importlib.metadata.entry_points() replaced by odd collections."""

    def test_collection_without_select_is_walked_unfiltered(self, site, monkeypatch):
        module = site.add("demo", module="kv_module")
        # Real entry points of an unrelated group: without `select` nothing filters them.
        items = [importlib.metadata.EntryPoint("demo", f"{module}:provider", "unrelated.group")]
        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: items)
        assert korvane.discover_bundles() == DEMO_LISTING

    def test_select_attribute_error_means_absent(self, site, monkeypatch):
        class Collection(list):
            @property
            def select(self):
                raise AttributeError("select")

        monkeypatch.setattr(
            importlib.metadata,
            "entry_points",
            lambda: Collection([FakeEntryPoint("demo", provides(provider_of("demo")))]),
        )
        assert listed_ids() == ["demo"]

    def test_select_lookup_error_passes_through(self, site, monkeypatch):
        error = KeyError("select")

        class Collection(list):
            @property
            def select(self):
                raise error

        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: Collection())
        with pytest.raises(KeyError) as info:
            korvane.discover_bundles()
        assert info.value is error

    def test_select_called_with_the_group_keyword_only(self, site, monkeypatch):
        calls = []

        class Collection:
            def select(self, *args, **kwargs):
                calls.append((args, kwargs))
                return (FakeEntryPoint("demo", provides(provider_of("demo"))),)

        monkeypatch.setattr(importlib.metadata, "entry_points", Collection)
        assert listed_ids() == ["demo"]
        assert calls == [((), {"group": GROUP})]

    @pytest.mark.parametrize("where", ["entry_points", "select", "iter", "name", "load"])
    def test_failures_in_the_walk_pass_unchanged(self, site, monkeypatch, where):
        error = LookupError(where)

        def fail(*args, **kwargs):
            raise error

        class Entry:
            name = property(fail) if where == "name" else "demo"
            load = fail if where == "load" else (lambda self: provides(provider_of("demo")))

        class Selected:
            def __iter__(self):
                if where == "iter":
                    raise error
                return iter([Entry()])

        class Collection:
            select = fail if where == "select" else (lambda self, **kw: Selected())

        monkeypatch.setattr(importlib.metadata, "entry_points", fail if where == "entry_points" else Collection)
        with pytest.raises(LookupError) as info:
            korvane.discover_bundles()
        assert info.value is error

    def test_iterator_failing_halfway(self, site, monkeypatch):
        error = OSError("halfway")
        first = FakeEntryPoint("a", provides(provider_of("a")))
        later = FakeEntryPoint("c", provides(provider_of("c")))

        def walk():
            yield first
            raise error
            yield later

        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: walk())
        before = runtime_count()
        with pytest.raises(OSError) as info:
            korvane.Runtime.discover()
        assert info.value is error
        assert (first.loads, later.loads) == (1, 0)
        assert runtime_count() == before

    def test_non_str_name(self, site, monkeypatch):
        entry = FakeEntryPoint(b"demo", provides(provider_of("demo")))
        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: [entry])
        raises_exactly(TypeError, "'bytes' object cannot be cast as 'str'", korvane.discover_bundles)
        assert entry.loads == 0  # the name is read before load()

    def test_str_subclass_name_and_surrogate_name(self, site, monkeypatch):
        class Name(str):
            pass

        items = [FakeEntryPoint(Name("demo"), provides(provider_of("demo")))]
        monkeypatch.setattr(importlib.metadata, "entry_points", lambda: items)
        assert json.loads(korvane.discover_bundles())[0]["entry_point"] == "demo"
        items[0] = FakeEntryPoint("de\udc80mo", provides(provider_of("demo")))
        with pytest.raises(UnicodeEncodeError):
            korvane.discover_bundles()
        assert items[0].loads == 0


class TestReentrancy:
    def test_nested_discovery_from_a_provider(self, site):
        source = (
            "import korvane\nNESTED = []\n"
            "def provider():\n"
            "    if not NESTED:\n"
            "        NESTED.append(None)\n"
            "        NESTED[0] = (korvane.discover_bundles(), korvane.Runtime.discover().bundles())\n"
            "    return PROVIDER_TEXT\n"
        )
        module = site.add("outer", source=source)
        site.add("inner")
        outer = korvane.discover_bundles()
        assert listed_ids(outer) == ["inner", "outer"]
        assert sys.modules[module].NESTED == [(outer, outer)]

    def test_threads_discover_independently(self, site):
        for n in range(4):
            site.add(f"t{n}", source="import time\ndef provider():\n    time.sleep(0.001)\n    return PROVIDER_TEXT\n")
        expected = korvane.discover_bundles()
        results, errors = [], []

        def work():
            try:
                for _ in range(5):
                    results.append(korvane.discover_bundles())
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        threads = [threading.Thread(target=work) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert errors == [] and results == [expected] * 15
