"""Discovery scenarios for the leak check: every successful and failing path of
discover_bundles(), Runtime.discover() and Runtime.bundles().

Interface: `scenarios(folder)` takes the leak check's shared BundleFolder and
returns a list of (name, callable). The shared folder is left untouched, so the
bundles others install there stay the only ones their scenarios see. Instead,
each scenario installs what it needs into BundleFolders of its own, in
subfolders of `folder.root.parent / "discovery"`, and its callable, for the
length of one discovery call, replaces sys.path by its own folders followed by
the entries that hold no installed distribution (computed once, when
`scenarios` runs). Scenarios that need an odd entry-point collection replace
importlib.metadata.entry_points for the call and restore it afterwards.

Each callable performs one discovery call; a failing one swallows the
expected exception after checking its exact type, and raises AssertionError
for anything else. Bundle modules stay imported between calls, so the rounds
measure discovery and not the import system.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import itertools
import json
import sys

import korvane
from bundle_kit import BundleFolder, _holds_distributions, metadata, raises_exactly

_folders = itertools.count(1)


def _text(machine_id, **overrides):
    overrides.setdefault("module", "kv_leak_module")
    return json.dumps(metadata(machine_id, **overrides))


# One provider text per rejection message of the metadata rules.
REJECTED = {
    "invalid JSON": '{"protocol": ',
    "not an object": "[]",
    "protocol missing": _text("m", protocol=None),
    "protocol wrong": _text("m", protocol="korvane.python_bundle "),
    "version missing": _text("m", protocol_version=None),
    "version not an object": _text("m", protocol_version=[2, 0, 0]),
    "version extra field": _text("m", protocol_version={"major": 2, "minor": 0, "patch": 0, "build": 1}),
    "version not unsigned": _text("m", protocol_version={"major": -1, "minor": 0, "patch": 0}),
    "version out of range": _text("m", protocol_version={"major": 2, "minor": 0, "patch": 65536}),
    "version unsupported": _text("m", protocol_version={"major": 3, "minor": 0, "patch": 0}),
    "text member missing": _text("m", execute_function=""),
    "unsupported member": _text("m", entry_point="m"),
}


class _Entry:
    def __init__(self, name, provider):
        self.name = name
        self._provider = provider

    def load(self):
        return self._provider


def scenarios(folder: BundleFolder) -> list[tuple[str, object]]:
    area = folder.root.parent / "discovery"
    area.mkdir(exist_ok=True)
    base = [entry for entry in sys.path if not _holds_distributions(entry)]

    def new_folder() -> BundleFolder:
        root = area / f"site{next(_folders)}"
        root.mkdir()
        return BundleFolder(root)

    def isolated(folders, call):
        roots = [str(f.root) for f in folders]

        def run():
            saved = sys.path[:]
            sys.path[:] = roots + base
            try:
                call()
            finally:
                sys.path[:] = saved

        return run

    def with_entry_points(make, call):
        def run():
            original = importlib.metadata.entry_points
            importlib.metadata.entry_points = make
            try:
                call()
            finally:
                importlib.metadata.entry_points = original

        return run

    found = []

    # Successful discoveries.
    several = new_folder()
    for machine_id in ("b", "B", "a", "aa"):
        several.add(machine_id, entry_name="shared" if machine_id in ("a", "b") else None)
    several.add("sub", source="class Text(str):\n    pass\ndef provider():\n    return Text(PROVIDER_TEXT)\n")
    found += [
        ("discovery: several bundles", isolated([several], korvane.discover_bundles)),
        ("discovery: Runtime.discover", isolated([several], korvane.Runtime.discover)),
        ("discovery: Runtime.discover().bundles()", isolated([several], lambda: korvane.Runtime.discover().bundles())),
        ("discovery: empty group", isolated([new_folder()], korvane.discover_bundles)),
    ]
    runtime = isolated(
        [several], lambda: found.append(("discovery: Runtime.bundles", korvane.Runtime.discover().bundles))
    )
    runtime()

    nested = new_folder()
    nested.add(
        "outer",
        source=(
            "import korvane\nDEPTH = [0]\n"
            "def provider():\n"
            "    if DEPTH[0] == 0:\n"
            "        DEPTH[0] += 1\n"
            "        try:\n"
            "            korvane.discover_bundles()\n"
            "        finally:\n"
            "            DEPTH[0] -= 1\n"
            "    return PROVIDER_TEXT\n"
        ),
    )
    nested.add("inner")
    found.append(("discovery: nested inside a provider", isolated([nested], korvane.discover_bundles)))

    # Duplicates: both enumeration orders, identical metadata, and an invalid second.
    first, second = new_folder(), new_folder()
    first.add("dup", bundle_version="1")
    second.add("dup", bundle_version="2")
    same_a, same_b = new_folder(), new_folder()
    same_a.add("dup", module="kv_leak_same_provider")
    same_b.add("dup", module="kv_leak_same_provider")
    bad_second = new_folder()
    bad_second.add("dup", provider_text=_text("dup", extra=1))
    for name, folders in (
        ("first-second", [first, second]),
        ("second-first", [second, first]),
        ("identical", [same_a, same_b]),
        ("second invalid", [first, bad_second]),
    ):
        found.append(
            (
                f"discovery: duplicate {name}",
                isolated(folders, lambda: raises_exactly(RuntimeError, None, korvane.discover_bundles)),
            )
        )
    found.append(
        (
            "discovery: duplicate, Runtime.discover",
            isolated([first, second], lambda: raises_exactly(RuntimeError, None, korvane.Runtime.discover)),
        )
    )

    # Rejected metadata, with a valid neighbour enumerated as well.
    for name, text in REJECTED.items():
        site = new_folder()
        site.add("neighbour")
        site.add("m", entry_name='odd "name"\u200b', provider_text=text)
        found.append(
            (
                f"discovery: rejected, {name}",
                isolated([site], lambda: raises_exactly(RuntimeError, None, korvane.discover_bundles)),
            )
        )
    found.append(
        (
            "discovery: rejected, Runtime.discover",
            isolated([site], lambda: raises_exactly(RuntimeError, None, korvane.Runtime.discover)),
        )
    )

    # What bundles and providers do wrong.
    def failing(name, exc_type, *, call=korvane.discover_bundles, **add):
        site = new_folder()
        site.add("fine")
        site.add("x", **add)
        found.append((f"discovery: {name}", isolated([site], lambda: raises_exactly(exc_type, None, call))))

    failing("missing module", ModuleNotFoundError, entry_target="kv_leak_no_such_module:provider")
    failing("missing provider attribute", AttributeError, entry_target="json:no_such_provider")
    failing("provider raises", ValueError, source="def provider():\n    raise ValueError('boom')\n")
    failing("provider returns dict", TypeError, source="def provider():\n    return {'a': 1}\n")
    failing(
        "provider returns dict, Runtime.discover",
        TypeError,
        call=korvane.Runtime.discover,
        source="def provider():\n    return {'a': 1}\n",
    )
    failing(
        "provider returns lone surrogate",
        UnicodeEncodeError,
        source="def provider():\n    return PROVIDER_TEXT[:-1] + '\\ud800}'\n",
    )

    # Odd entry-point collections.
    good = _Entry("demo", lambda: _text("demo"))

    class NoSelect(list):
        @property
        def select(self):
            raise AttributeError("select")

    class SelectFails(list):
        @property
        def select(self):
            raise KeyError("select")

    class SelectCallFails:
        def select(self, **kwargs):
            raise OSError("select call")

    class NotIterable:
        def select(self, **kwargs):
            return 5

    def halfway():
        yield good
        raise OSError("halfway")

    class NameFails:
        @property
        def name(self):
            raise LookupError("name")

    def entry_points_fail():
        raise OSError("entry_points")

    def load_fails():
        raise ImportError("load")

    class LoadFails:
        name = "demo"
        load = staticmethod(load_fails)

    empty = new_folder()
    odd = [
        ("no select, walked directly", lambda: [good], None),
        ("select raises AttributeError", lambda: NoSelect([good]), None),
        ("select lookup raises", lambda: SelectFails([good]), KeyError),
        ("select call raises", SelectCallFails, OSError),
        ("selected not iterable", NotIterable, TypeError),
        ("iterator raises halfway", halfway, OSError),
        ("entry_points raises", entry_points_fail, OSError),
        ("name raises", lambda: [NameFails()], LookupError),
        ("name not str", lambda: [_Entry(7, lambda: _text("demo"))], TypeError),
        ("name lone surrogate", lambda: [_Entry("d\udc80", lambda: _text("demo"))], UnicodeEncodeError),
        ("name str subclass", lambda: [_Entry(type("Name", (str,), {})("demo"), lambda: _text("demo"))], None),
        ("load raises", lambda: [LoadFails()], ImportError),
    ]
    for name, make, exc_type in odd:
        call = (
            korvane.discover_bundles
            if exc_type is None
            else (lambda t=exc_type: raises_exactly(t, None, korvane.discover_bundles))
        )
        found.append((f"discovery: entry points, {name}", isolated([empty], with_entry_points(make, call))))

    importlib.invalidate_caches()
    return found
