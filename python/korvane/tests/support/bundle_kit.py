"""Machine bundles installed as real distributions into a folder on sys.path.

Each bundle is a `NAME-VERSION.dist-info` folder (METADATA and entry_points.txt
with a [korvane.machine_bundles] section) beside the bundle's module, which is
exactly what importlib.metadata finds for a wheel installed into site-packages.
Used by the tests and by the leak check.
"""

from __future__ import annotations

import itertools
import json
import os
import pathlib
import subprocess
import sys
import textwrap

GROUP = "korvane.machine_bundles"

VALID_RESULT = {
    "machine_execution": {"status": "completed"},
    "evidence_fulfillment": {"status": "complete"},
    "python_sink_delivery": {"status": "not_requested"},
    "recorder_finalization": {"status": "not_finalized"},
    "publication": {"status": "not_published"},
    "published_run": None,
}

# The default module of a bundle: a provider, and prepare/execute functions
# that record their arguments and return what the test asks for.
DEFAULT_SOURCE = """
import json
CALLS = []
RESULT = json.loads(RESULT_TEXT)

def provider():
    return PROVIDER_TEXT

def prepare(*args):
    CALLS.append(("prepare", args))
    return {"prepared_with": args}

def execute(*args):
    CALLS.append(("execute", args))
    return RESULT
"""

# A bundle that keeps nothing between calls and does no work of its own, for
# loops that watch memory or time.
QUIET_SOURCE = """
import json
RESULT = json.loads(RESULT_TEXT)
PREPARED = object()

def provider():
    return PROVIDER_TEXT

def prepare(*args):
    return PREPARED

def execute(prepared, sinks, path):
    return RESULT
"""


class Sink:
    """An emission consumer with the three methods, each accepting anything."""

    def emit_batch(self, *args):
        pass

    def record_capability_outputs(self, *args):
        pass

    def record_capability_receipts(self, *args):
        pass


_counter = itertools.count(1)


def metadata(machine_id, module, **overrides):
    """The provider metadata of a valid bundle, with overrides (None removes a member)."""
    data = {
        "protocol": "korvane.python_bundle",
        "protocol_version": {"major": 2, "minor": 0, "patch": 0},
        "machine_id": machine_id,
        "distribution": f"korvane-{machine_id}",
        "module": module,
        "prepare_function": "prepare",
        "execute_function": "execute",
        "bundle_version": "1.0.0",
    }
    for key, value in overrides.items():
        if value is None:
            data.pop(key, None)
        else:
            data[key] = value
    return data


class BundleFolder:
    """A folder of installed bundles; `add` installs one more."""

    def __init__(self, root: pathlib.Path):
        self.root = root
        self.modules: list[str] = []

    def add(
        self,
        machine_id: str = "demo",
        *,
        module: str | None = None,
        entry_name: str | None = None,
        provider_text: str | None = None,
        source: str | None = None,
        result: dict | None = None,
        entry_target: str | None = None,
        **metadata_overrides,
    ) -> str:
        """Installs a bundle and returns its module name.

        `provider_text` replaces the provider's JSON text; `source` replaces the
        module's code (PROVIDER_TEXT and RESULT_TEXT are defined before it);
        `entry_target` replaces the entry point's object reference.
        """
        n = next(_counter)
        module = module or f"kv_bundle_{n}"
        dist = f"kv_bundle_dist_{n}"
        if provider_text is None:
            provider_text = json.dumps(metadata(machine_id, module, **metadata_overrides))
        result_text = json.dumps(VALID_RESULT if result is None else result)
        package_dir = self.root
        parts = module.split(".")
        for part in parts[:-1]:
            package_dir = package_dir / part
            package_dir.mkdir(exist_ok=True)
            (package_dir / "__init__.py").touch()
        code = f"PROVIDER_TEXT = {provider_text!r}\nRESULT_TEXT = {result_text!r}\n"
        code += textwrap.dedent(source if source is not None else DEFAULT_SOURCE)
        (package_dir / f"{parts[-1]}.py").write_text(code, encoding="utf-8")

        info = self.root / f"{dist}-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {dist}\nVersion: 1.0\n", encoding="utf-8")
        target = entry_target or f"{module}:provider"
        (info / "entry_points.txt").write_text(f"[{GROUP}]\n{entry_name or machine_id} = {target}\n", encoding="utf-8")
        self.modules.append(parts[0])
        return module


def run_fresh(code: str, site: pathlib.Path | None = None) -> str:
    """Runs `code` in a fresh interpreter (same venv) and returns its stdout.

    For behaviour that depends on process state: the run counter, sys.modules,
    the cached module object.
    """
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), env.get("PYTHONPATH", "")]))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


def raises_exactly(exc_type, message, call, *args, **kwargs):
    """Calls `call` and checks that it raises exactly `exc_type` (a subclass
    does not count). With a `message`, also that the message is the
    exception's only argument and that the exception has no cause; with None,
    the type alone is checked. Returns the exception.

    The one helper for expected exceptions, shared by the tests, the leak
    scenarios and the bundles' tests.
    """
    try:
        call(*args, **kwargs)
    except BaseException as failure:  # noqa: BLE001 - the type is checked exactly
        if type(failure) is not exc_type:
            raise AssertionError(f"expected {exc_type.__name__}, got {failure!r}") from failure
        if message is not None:
            if failure.args != (message,):
                raise AssertionError(f"expected args {(message,)!r}, got {failure.args!r}") from failure
            if failure.__cause__ is not None:
                raise AssertionError(f"unexpected cause {failure.__cause__!r}") from failure
        return failure
    raise AssertionError(f"{call!r} did not raise {exc_type.__name__}")


def _holds_distributions(entry: str) -> bool:
    import importlib.metadata

    try:
        return any(True for _ in importlib.metadata.distributions(path=[entry]))
    except Exception:
        return False


class only_bundles_from:
    """Context manager: while active, sys.path keeps only the given bundle
    folders (in that order, first enumerated first) and the entries that hold
    no installed distribution, so discovery sees exactly these bundles and not
    whatever else the environment has installed. On exit sys.path is restored
    and the bundles' modules are forgotten.

        with only_bundles_from(folder_a, folder_b):
            korvane.discover_bundles()
    """

    def __init__(self, *folders: BundleFolder):
        self.folders = folders
        self._saved: list[str] | None = None

    def __enter__(self):
        import importlib

        self._saved = list(sys.path)
        roots = [str(folder.root) for folder in self.folders]
        kept = [entry for entry in self._saved if entry not in roots and not _holds_distributions(entry)]
        sys.path[:] = roots + kept
        importlib.invalidate_caches()
        return self

    def __exit__(self, *exc_info):
        import importlib

        sys.path[:] = self._saved
        tops = {name for folder in self.folders for name in folder.modules}
        for name in list(sys.modules):
            if name.split(".")[0] in tops:
                del sys.modules[name]
        importlib.invalidate_caches()
        return False


def run_threads(work, count: int) -> None:
    """Runs work(index) on `count` threads at once, with the interpreter
    switching between them as often as it can, and waits for all of them."""
    import threading

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        pool = [threading.Thread(target=work, args=(i,)) for i in range(count)]
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join()
    finally:
        sys.setswitchinterval(previous)
