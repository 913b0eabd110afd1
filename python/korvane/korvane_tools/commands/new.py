"""`korvane new NAME`: a minimal bundle distribution to start from.

What it writes installs as it is, passes `korvane check`, its own test (which
uses korvane_tools.testing) and `mypy --strict`.
"""

from __future__ import annotations

import argparse
import json
import os
import re
from typing import TextIO

from ..exits import Exit

HELP = "write a minimal bundle distribution in a new folder"
DESCRIPTION = (
    "Write a minimal machine bundle in the new folder NAME (or --directory): "
    "pyproject.toml with the entry point, the package korvane_NAME with the provider, "
    "prepare and execute, a test that uses korvane_tools.testing, and py.typed. As "
    "written it installs, passes `korvane check`, its test and `mypy --strict`."
)
EXITS = {Exit.OK: "the bundle was written", Exit.USAGE: "a bad NAME, or the folder exists"}

# A machine id that is also a distribution suffix and, with _ for -, a module name.
_NAME = re.compile(r"[a-z][a-z0-9]*(-[a-z0-9]+)*")


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
in one batch and completes."""

from __future__ import annotations

import json
from typing import Any

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


def execute(prepared: tuple[str, list[Any]], sinks: list[Any], recorder_path: str | None) -> dict[str, Any]:
    """Runs the machine: each sink gets the values, then the result says how it went."""
    run_id, values = prepared
    for sink in sinks:
        sink.emit_batch(run_id, 0, values)
    return {{
        "machine_execution": {{"status": "completed"}},
        "evidence_fulfillment": {{"status": "complete"}},
        "python_sink_delivery": {{"status": "complete" if sinks else "not_requested"}},
        "recorder_finalization": {{"status": "not_requested"}},
        "publication": {{"status": "not_published"}},
        "published_run": None,
    }}
'''

TEST = '''\
"""The {name} bundle, installed, through korvane's own checks."""

from __future__ import annotations

from korvane_tools.testing import check_bundle, run_machine, validate_result

import {module}


def test_the_bundle_passes_korvane_check() -> None:
    check_bundle("{name}")


def test_a_run_emits_the_input_schedule() -> None:
    run = run_machine("{name}", b"", input_schedule=[1, 2, 3])
    assert run.values == [1, 2, 3]
    assert run.result["machine_execution"] == {{"status": "completed"}}


def test_the_result_passes_korvanes_rules_without_sinks() -> None:
    prepared = {module}.prepare(b"", "run-1", "null", "null", "null", "null")
    validate_result({module}.execute(prepared, [], None))
'''


def run(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    name = options.name
    if not _NAME.fullmatch(name):
        print(
            f"korvane new: {json.dumps(name)} is not a usable name: use lower-case letters and digits, "
            "words joined by - (like stack or word-count)",
            file=err,
        )
        return Exit.USAGE
    folder = options.directory or name
    module = "korvane_" + name.replace("-", "_")
    fields = {"name": name, "distribution": f"korvane-{name}", "module": module}
    files = {
        "pyproject.toml": PYPROJECT.format(**fields),
        f"src/{module}/__init__.py": MODULE.format(**fields),
        f"src/{module}/py.typed": "",
        f"tests/test_{module.removeprefix('korvane_')}.py": TEST.format(**fields),
    }
    try:
        os.mkdir(folder)
    except OSError as error:
        print(f"korvane new: cannot create {folder}: {error.strerror}", file=err)
        return Exit.USAGE
    for relative, text in files.items():
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "x", encoding="utf-8") as stream:
            stream.write(text)
    print(f"wrote the bundle {fields['distribution']} in {folder}/:", file=out)
    for relative in files:
        print(f"  {relative}", file=out)
    print(f"next: pip install -e {folder}  then  korvane check {name}  and  pytest {folder}/tests", file=out)
    return Exit.OK
