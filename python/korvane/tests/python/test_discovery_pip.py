"""Discovery of bundles that pip installed into a fresh virtual environment.

Two tiny bundle projects are written to a temporary folder, one built with
setuptools and one with flit_core, and pip installs them, and korvane from
this source tree, into a new venv made from the interpreter running the
tests. Discovery in that venv must list exactly those two bundles.

The build back ends come from the package index through pip's build
isolation, so the test is skipped when pip cannot fetch them (set
KORVANE_SKIP_NETWORK_TESTS=1 to skip it outright). korvane is compiled in a
build folder under build/ that is kept between runs, so later runs only
relink.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[4]
KORVANE_PROJECT = REPO / "python" / "korvane"
MAKE_VENV = REPO / "tools" / "make-venv.sh"

pytestmark = pytest.mark.skipif(os.environ.get("KORVANE_SKIP_NETWORK_TESTS") == "1", reason="network tests disabled")

PROVIDER = """
import json

def provider():
    return json.dumps({{
        "protocol": "korvane.python_bundle",
        "protocol_version": {{"major": 2, "minor": 0, "patch": 0}},
        "machine_id": "{machine_id}",
        "distribution": "{distribution}",
        "module": "{module}",
        "prepare_function": "prepare",
        "execute_function": "execute",
        "bundle_version": "0.3.1",
    }}, indent=2)

def prepare(artifact, run_id, configuration, input_schedule, execution_controls, observation):
    return run_id

def execute(prepared, sinks, recorder_path):
    return {{}}
"""

PROJECT = """
[project]
name = "{distribution}"
version = "0.3.1"
description = "A test bundle"

[project.entry-points."korvane.machine_bundles"]
{entry_name} = "{module}:provider"
"""

# Each back end's build-system table, and what it needs beyond the project table.
PROJECTS = {
    "setuptools": """
[build-system]
requires = ["setuptools>=61"]
build-backend = "setuptools.build_meta"
"""
    + PROJECT
    + """
[tool.setuptools]
py-modules = ["{module}"]
""",
    "flit_core": """
[build-system]
requires = ["flit_core>=3.4,<4"]
build-backend = "flit_core.buildapi"
"""
    + PROJECT,
}

BUNDLES = [
    # (back end, machine_id, distribution, module, entry point name)
    ("setuptools", "pip-zeta", "kvpip-zeta", "kvpip_zeta", "zeta"),
    ("flit_core", "pip-Alpha", "kvpip-alpha", "kvpip_alpha", "alpha"),
]


def run(command, **kwargs):
    proc = subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=600, **kwargs)
    return proc


def must(proc):
    assert proc.returncode == 0, f"{proc.args}\nexit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


def write_project(root: pathlib.Path, backend, machine_id, distribution, module, entry_name):
    root.mkdir(parents=True)
    fields = dict(machine_id=machine_id, distribution=distribution, module=module, entry_name=entry_name)
    (root / "pyproject.toml").write_text(PROJECTS[backend].format(**fields), encoding="utf-8")
    (root / f"{module}.py").write_text(f'"""Bundle {machine_id}."""\n' + PROVIDER.format(**fields), encoding="utf-8")


@pytest.fixture(scope="module")
def venv_python(tmp_path_factory):
    if sys.platform == "win32":
        pytest.skip("POSIX venv layout")
    work = tmp_path_factory.mktemp("pip-venv")
    venv = work / "venv"
    base = getattr(sys, "_base_executable", sys.executable)
    must(run(["bash", MAKE_VENV, base, venv]))
    python = venv / "bin" / "python"
    probe = run(
        [
            python,
            "-m",
            "pip",
            "download",
            "-q",
            "--no-deps",
            "-d",
            work / "probe",
            "setuptools>=61",
            "flit_core>=3.4,<4",
            "scikit-build-core>=0.10",
        ]
    )
    if probe.returncode != 0:
        pytest.skip(f"pip cannot fetch the build back ends:\n{probe.stderr[-2000:]}")
    return python


def test_pip_installed_bundles_are_discovered(venv_python, tmp_path):
    build_dir = REPO / "build" / f"pip-discovery-{sys.version_info.major}.{sys.version_info.minor}"
    must(run([venv_python, "-m", "pip", "install", "-q", "--no-deps", KORVANE_PROJECT, "-C", f"build-dir={build_dir}"]))
    projects = []
    for backend, machine_id, distribution, module, entry_name in BUNDLES:
        root = tmp_path / distribution
        write_project(root, backend, machine_id, distribution, module, entry_name)
        projects.append(root)
    must(run([venv_python, "-m", "pip", "install", "-q", *projects]))

    script = (
        "import korvane\n"
        "print(korvane.discover_bundles())\n"
        "runtime = korvane.Runtime.discover()\n"
        "print(runtime.bundles())\n"
        "print(runtime.prepare('pip-zeta', b'').__class__.__name__)\n"
    )
    # Run outside the source tree so nothing but the venv is importable.
    out = must(run([venv_python, "-c", script], cwd=tmp_path)).splitlines()

    def entry(machine_id, distribution, module, entry_name):
        return (
            f'{{"bundle_version":"0.3.1","distribution":"{distribution}","entry_point":"{entry_name}",'
            f'"execute_function":"execute","machine_id":"{machine_id}","module":"{module}",'
            f'"prepare_function":"prepare","protocol":"korvane.python_bundle",'
            f'"protocol_version":{{"major":2,"minor":0,"patch":0}}}}'
        )

    expected = (
        "["
        + entry("pip-Alpha", "kvpip-alpha", "kvpip_alpha", "alpha")
        + ","
        + entry("pip-zeta", "kvpip-zeta", "kvpip_zeta", "zeta")
        + "]"
    )
    assert out == [expected, expected, "PreparedRun"]

    # Uninstalling one bundle removes it from the next discovery.
    must(run([venv_python, "-m", "pip", "uninstall", "-q", "-y", "kvpip-zeta"]))
    out = must(run([venv_python, "-c", "import korvane; print(korvane.discover_bundles())"], cwd=tmp_path))
    assert out.splitlines() == ["[" + entry("pip-Alpha", "kvpip-alpha", "kvpip_alpha", "alpha") + "]"]
