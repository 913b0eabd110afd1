"""`korvane new NAME`: a minimal bundle distribution to start from.

What it writes installs as it is, passes `korvane check`, its own test (which
uses korvane_tools.testing) and `mypy --strict` against korvane's protocols.
A name whose package, distribution or machine id is taken (by korvane itself,
by an installed module or distribution, or by an installed bundle) is
refused, since installing the new bundle would overwrite, replace or clash
with what is there; nothing is written then, and a bundle is written whole
or not at all (into a hidden folder beside the target, renamed at the end).
"""

from __future__ import annotations

import argparse
import importlib.metadata
import importlib.util
import json
import os
import re
import secrets
import shutil
from typing import TextIO

from .. import bundles
from ..contain import reraise_if_interrupted
from ..exits import Exit

HELP = "write a minimal bundle distribution in a new folder"
DESCRIPTION = (
    "Write a minimal machine bundle in the new folder NAME (or --directory): "
    "pyproject.toml with the entry point, the package korvane_NAME with the provider, "
    "prepare and execute, a test that uses korvane_tools.testing, and py.typed. As "
    "written it installs, passes `korvane check`, its test and `mypy --strict`. A NAME "
    "whose package, distribution or machine id is korvane's own or already installed is "
    "refused, and nothing is written."
)
EXITS = {Exit.OK: "the bundle was written", Exit.USAGE: "a bad or taken NAME, or the folder exists"}

# A machine id that is also a distribution suffix and, with _ for -, a module name.
_NAME = re.compile(r"[a-z][a-z0-9]*(-[a-z0-9]+)*")
MAX_NAME = 64

# korvane's own distributions and top-level names, installed or not.
KORVANE_OWN = ("korvane", "korvane_tools", "korvane-stubs", "korvane-machines", "korvane-stack")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("name", metavar="NAME", help="the machine id: lower-case letters and digits, words joined by -")
    parser.add_argument("--directory", metavar="DIR", help="the folder to create (default: NAME)")


PYPROJECT = """\
[build-system]
requires = ["setuptools>=77"]
build-backend = "setuptools.build_meta"

[project]
name = "{distribution}"
version = "0.1.0"
description = "The {name} machine for korvane"
requires-python = ">=3.14"
dependencies = ["korvane"]

[project.optional-dependencies]
test = ["pytest"]

# korvane finds the bundle through this entry point: its name, and the provider.
[project.entry-points."korvane.machine_bundles"]
{name} = "{module}:provider"

[tool.setuptools.packages.find]
where = ["src"]

[tool.setuptools.package-data]
{module} = ["py.typed"]
"""

MODULE = '''\
"""The {name} machine for korvane: it emits the values of its input schedule
in one batch, records them when asked, and completes."""

from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvane import (
        ExecuteFunction,
        ExecutionResult,
        PrepareFunction,
        Provider,
        Publication,
        PublishedRun,
        PythonSinkDelivery,
        RecorderFinalization,
        Sink,
    )

    # korvane passes on members beside "status": these say why something failed.
    class SinkDelivery(PythonSinkDelivery, total=False):
        reason: str

    class Recording(RecorderFinalization, total=False):
        reason: str

__version__ = "0.1.0"


def provider() -> str:
    """The bundle's metadata, as JSON text; korvane calls it at every discovery."""
    return json.dumps({{
        "protocol": "korvane.python_bundle",
        "protocol_version": {{"major": 2, "minor": 0, "patch": 0}},
        "machine_id": "{name}",
        "distribution": "{distribution}",
        "module": "{module}",
        "prepare_function": "prepare",
        "execute_function": "execute",
        "bundle_version": __version__,
    }})


def prepare(artifact: bytes, run_id: str, configuration: str, input_schedule: str,
            execution_controls: str, observation: str) -> tuple[str, list[Any]]:
    """Checks the inputs (JSON texts, "null" when not given) and keeps what execute needs."""
    values = json.loads(input_schedule)
    if values is None:
        values = []
    if not isinstance(values, list):
        raise ValueError("the input schedule must be a JSON array of values")
    return run_id, values


def execute(prepared: tuple[str, list[Any]], sinks: Sequence[Sink], recorder_path: str | None) -> ExecutionResult:
    """Runs the machine: each sink gets the values, the recording is written
    when asked, and the result says how each went. A failing sink or
    recording is a status, never an exception: the run itself went well."""
    run_id, values = prepared
    delivery: SinkDelivery = {{"status": "complete" if sinks else "not_requested"}}
    for sink in sinks:
        try:
            sink.emit_batch(run_id, 0, values)
        except Exception as error:
            delivery = {{"status": "failed", "reason": f"{{type(error).__name__}}: {{error}}"}}
    recording: Recording = {{"status": "not_requested"}}
    publication: Publication = {{"status": "not_published"}}
    published_run: PublishedRun | None = None
    if recorder_path is not None:
        try:
            _record(recorder_path, run_id, values)
        except (OSError, ValueError) as error:
            recording = {{"status": "failed", "reason": f"{{type(error).__name__}}: {{error}}"}}
        else:
            recording = {{"status": "finalized"}}
            publication = {{"status": "published"}}
            published_run = {{"published": True, "path": recorder_path}}
    return {{
        "machine_execution": {{"status": "completed"}},
        "evidence_fulfillment": {{"status": "complete"}},
        "python_sink_delivery": delivery,
        "recorder_finalization": recording,
        "publication": publication,
        "published_run": published_run,
    }}


def _record(path: str, run_id: str, values: list[Any]) -> None:
    """Writes the recording beside `path` and publishes it by renaming, so
    that `path` never holds half a recording."""
    fd, partial = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)), prefix=".recording-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            json.dump({{"run_id": run_id, "values": values}}, stream, allow_nan=False)
            stream.write("\\n")
        os.replace(partial, path)
    except BaseException:
        os.unlink(partial)
        raise


# korvane calls these three exactly so: mypy holds them to its protocols.
_calls: tuple[Provider, PrepareFunction, ExecuteFunction] = (provider, prepare, execute)
'''

TEST = '''\
"""The {name} bundle, installed, through korvane's own checks."""

from __future__ import annotations

import json
import pathlib

from korvane_tools.testing import RecordingSink, check_bundle, run_machine, validate_result

import {module}


def test_the_bundle_passes_korvane_check() -> None:
    check_bundle("{name}")


def test_a_run_emits_the_input_schedule_and_records_it(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "run.json"
    run = run_machine("{name}", b"", input_schedule=[1, 2, 3], record=str(path))
    assert run.values == [1, 2, 3]
    assert run.result["publication"] == {{"status": "published"}}
    assert json.loads(path.read_text(encoding="utf-8"))["values"] == [1, 2, 3]


class FailingSink(RecordingSink):
    def emit_batch(self, *args: object) -> None:
        raise OSError("the sink is gone")


def test_a_failing_sink_is_a_status_and_the_result_passes_korvanes_rules() -> None:
    prepared = {module}.prepare(b"", "run-1", "null", "[1]", "null", "null")
    result = {module}.execute(prepared, [FailingSink()], None)
    validate_result(result)
    assert result["python_sink_delivery"]["status"] == "failed"
    assert "OSError: the sink is gone" in str(result["python_sink_delivery"])
'''


def _normalized(name: str) -> str:
    """A distribution or module name as installers compare them."""
    return re.sub(r"[-_.]+", "-", name).lower()


def _korvanes_own() -> set[str]:
    """The names korvane's own distributions take: themselves and the
    top-level names they install."""
    own = {_normalized(name) for name in KORVANE_OWN}
    for distribution in KORVANE_OWN:
        try:
            files = importlib.metadata.files(distribution) or []
        except importlib.metadata.PackageNotFoundError:
            continue
        for file in files:
            top = file.parts[0].split(".")[0] if file.parts else ""
            if top and not top.endswith(("-info", "__pycache__")):
                own.add(_normalized(top))
    return own


def _installed_machine_ids() -> dict[str, str]:
    """The machine ids the installed bundles provide, with the bundle's entry
    point, distribution and value (bundles that cannot say are left out)."""
    found: dict[str, str] = {}
    for ep in bundles.entry_points():
        report = bundles.check_one(ep, resolve_functions=False)
        if report.machine_id is not None:
            found.setdefault(report.machine_id, report.culprit())
    return found


def refusal(name: str, module: str, distribution: str) -> str | None:
    """Why `name` cannot be used, or None."""
    if len(name) > MAX_NAME:
        return f"a name has at most {MAX_NAME} characters; this one has {len(name)}"
    if not _NAME.fullmatch(name):
        return "use lower-case letters and digits, words joined by - (like stack or word-count)"
    own = _korvanes_own()
    for what, value in (("package", module), ("distribution", distribution)):
        if _normalized(value) in own:
            return f"its {what} would be {value}, which is korvane's own"
    try:
        found = importlib.util.find_spec(module)
    except (ImportError, ValueError) as error:  # a broken module of that name is still there
        return f"its package would be {module}, which is installed and does not import ({error})"
    except BaseException as error:
        reraise_if_interrupted(error)
        return f"its package would be {module}, which is installed and does not import ({error!r})"
    if found is not None:
        where = found.origin or ", ".join(found.submodule_search_locations or []) or "installed"
        return f"its package would be {module}, which is installed ({where}); installing would overwrite it"
    try:
        version = importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        pass
    else:
        return f"its distribution would be {distribution}, which is installed ({version}); installing would replace it"
    claimed = _installed_machine_ids().get(name)
    if claimed is not None:
        return f'the machine id "{name}" is provided by the installed bundle {claimed}'
    return None


def _write(folder: str, files: dict[str, str]) -> None:
    """Writes `files` into the new folder `folder`, whole or not at all: into
    a hidden folder beside it, renamed to `folder` at the end."""
    parent = os.path.dirname(os.path.abspath(folder))
    staging = os.path.join(parent, f".{os.path.basename(os.path.abspath(folder))[:32]}.{secrets.token_hex(4)}.partial")
    os.mkdir(staging)  # with the mode the umask leaves, as the folder will keep
    try:
        for relative, text in files.items():
            path = os.path.join(staging, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "x", encoding="utf-8") as stream:
                stream.write(text)
        if os.path.lexists(folder):  # it appeared meanwhile: leave it be
            raise FileExistsError(17, "File exists")
        os.rename(staging, folder)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    name = options.name
    module = "korvane_" + name.replace("-", "_")
    fields = {"name": name, "distribution": f"korvane-{name}", "module": module}
    why = refusal(name, module, fields["distribution"])
    if why is not None:
        shown = json.dumps(name if len(name) <= MAX_NAME else name[:MAX_NAME] + "...")
        print(f"korvane new: {shown} is not a usable name: {why}", file=err)
        return Exit.USAGE
    folder = options.directory or name
    files = {
        "pyproject.toml": PYPROJECT.format(**fields),
        f"src/{module}/__init__.py": MODULE.format(**fields),
        f"src/{module}/py.typed": "",
        f"tests/test_{module.removeprefix('korvane_')}.py": TEST.format(**fields),
    }
    if os.path.lexists(folder):
        print(f"korvane new: cannot create {folder}: it exists", file=err)
        return Exit.USAGE
    try:
        _write(folder, files)
    except OSError as error:
        print(f"korvane new: cannot create {folder}: {error.strerror or error}", file=err)
        return Exit.USAGE
    print(f"wrote the bundle {fields['distribution']} in {folder}/:", file=out)
    for relative in files:
        print(f"  {relative}", file=out)
    print(f"next: pip install -e {folder}  then  korvane check {name}  and  pytest {folder}/tests", file=out)
    return Exit.OK
