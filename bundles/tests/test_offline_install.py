"""Install "korvane-machines[stack]" offline into a fresh virtual environment
and run a stack program through korvane there.

The wheels of korvane-stack and korvane-machines are built from this tree.
korvane itself is a compiled extension, so its wheel must be supplied:

    KORVANE_WHEELHOUSE=/path/to/dir-with-korvane-wheel   (or the .whl itself)

Without it the test is skipped. Everything runs without a package index: the
bundle wheels are built with --no-build-isolation, so the interpreter running
the tests needs setuptools>=77 (and pip) installed; the install uses
--no-index with the wheel directories as the only source. The virtual
environment is made with the interpreter running the tests, which must
therefore be one the korvane wheel was built for.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

BUNDLES = Path(__file__).resolve().parent.parent
WHEELHOUSE_VARIABLE = "KORVANE_WHEELHOUSE"


def _korvane_wheel_source() -> Path:
    given = os.environ.get(WHEELHOUSE_VARIABLE)
    if not given:
        pytest.skip(f"{WHEELHOUSE_VARIABLE} is not set (directory holding a korvane wheel, or the wheel)")
    source = Path(given)
    if source.is_file() and source.name.startswith("korvane-") and source.suffix == ".whl":
        return source
    if source.is_dir() and any(source.glob("korvane-*.whl")):
        return source
    pytest.fail(f"{WHEELHOUSE_VARIABLE}={given} is neither a korvane wheel nor a directory holding one")


def _require_offline_build_tools() -> None:
    try:
        from importlib.metadata import version

        major = int(version("setuptools").split(".")[0])
    except Exception:
        major = 0
    if major < 77:
        pytest.skip("building the bundle wheels offline needs setuptools>=77 in the test interpreter")


def _run(command: list[str], **kwargs) -> subprocess.CompletedProcess:
    completed = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if completed.returncode != 0:
        pytest.fail(f"{' '.join(map(str, command))} exited {completed.returncode}\n"
                    f"--- stdout\n{completed.stdout}\n--- stderr\n{completed.stderr}")
    return completed


def _venv_python(venv: Path) -> Path:
    return venv / ("Scripts/python.exe" if os.name == "nt" else "bin/python")


@pytest.fixture(scope="module")
def installed_venv(tmp_path_factory) -> Path:
    korvane_source = _korvane_wheel_source()
    _require_offline_build_tools()
    work = tmp_path_factory.mktemp("offline-install")

    # Build from copies so the tree gets no build/ or egg-info directories.
    wheels = work / "wheels"
    sources = []
    for name in ("stack", "machines"):
        copy = work / "src" / name
        shutil.copytree(BUNDLES / name, copy,
                        ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", ".pytest_cache"))
        sources.append(str(copy))
    _run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "--no-index",
          "--wheel-dir", str(wheels), *sources])
    built = sorted(path.name for path in wheels.iterdir())
    # Whatever the versions are: each is kept in one place, not here.
    assert len(built) == 2, built
    assert re.fullmatch(r"korvane_machines-[^-]+-py3-none-any\.whl", built[0]), built
    assert re.fullmatch(r"korvane_stack-[^-]+-py3-none-any\.whl", built[1]), built

    if korvane_source.is_file():
        shutil.copy2(korvane_source, wheels)
        find_links = ["--find-links", str(wheels)]
    else:
        find_links = ["--find-links", str(wheels), "--find-links", str(korvane_source)]

    venv = work / "venv"
    _run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    # pip installs into the new environment from outside it (--python), so the
    # environment needs no pip of its own and nothing is fetched.
    _run([sys.executable, "-m", "pip", "--python", str(_venv_python(venv)), "install",
          "--no-index", "--no-cache-dir", *find_links, "korvane-machines[stack]"],
         env={**os.environ, "PIP_CONFIG_FILE": os.devnull})
    return venv


RUN_SCRIPT = textwrap.dedent("""
    import importlib.metadata, json, sys
    import korvane, korvane_stack

    class Sink:
        def __init__(self):
            self.values, self.closing = [], []
        def emit_batch(self, run_id, start, values):
            self.values.extend(values)
        def record_capability_outputs(self, run_id, outputs):
            self.closing.append("outputs")
        def record_capability_receipts(self, run_id, receipts):
            self.closing.append("receipts")

    program = b'''
            push 0
    loop:   read
            dup
            jz done
            add
            dup
            emit
            jmp loop
    done:   drop
            halt
    '''
    runtime = korvane.Runtime.discover()
    prepared = runtime.prepare("stack", program, {"batch_size": 2}, [1, 2, 3, 4, 0],
                               {"step_limit": 1000}, {"expected_outputs": [1, 3, 6, 10]})
    sink = Sink()
    result = prepared.execute([sink], korvane.FileRecorder(sys.argv[1]))
    print(json.dumps({
        "bundles": json.loads(korvane.discover_bundles()),
        "result": result,
        "sink_values": sink.values,
        "sink_closing": sink.closing,
        "bundle_file": korvane_stack.__file__,
        "distributions": sorted(d.metadata["Name"] for d in importlib.metadata.distributions()),
    }))
""")


def test_machines_stack_extra_installs_and_runs_offline(installed_venv, tmp_path):
    recording = tmp_path / "run.jsonl"
    script = tmp_path / "run_stack.py"
    script.write_text(RUN_SCRIPT)
    # -I: only the virtual environment counts, not this tree or PYTHONPATH.
    completed = _run([str(_venv_python(installed_venv)), "-I", str(script), str(recording)], cwd=tmp_path)
    report = json.loads(completed.stdout)

    assert {"korvane", "korvane-machines", "korvane-stack"} <= set(report["distributions"])
    assert Path(report["bundle_file"]).resolve().is_relative_to(installed_venv.resolve())
    stack_entries = [entry for entry in report["bundles"] if entry["machine_id"] == "stack"]
    assert len(stack_entries) == 1
    assert stack_entries[0]["distribution"] == "korvane-stack"
    assert stack_entries[0]["entry_point"] == "stack"

    result = report["result"]
    assert result["machine_execution"]["status"] == "completed"
    assert result["evidence_fulfillment"]["status"] == "complete"
    assert result["python_sink_delivery"]["status"] == "complete"
    assert result["recorder_finalization"]["status"] == "finalized"
    assert result["publication"]["status"] == "published"
    assert result["published_run"]["path"] == str(recording)
    assert result["run_id"].startswith("python-stack-")
    assert result["outputs"] == report["sink_values"] == [1, 3, 6, 10]
    assert report["sink_closing"] == ["outputs", "receipts"]

    lines = [json.loads(line) for line in recording.read_text().splitlines()]
    assert lines[0]["event"] == "run_started" and lines[0]["run_id"] == result["run_id"]
    assert lines[-1]["event"] == "run_finished"
