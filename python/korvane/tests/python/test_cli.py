"""The `korvane` command, run as a subprocess over bundles installed as real
distributions (dist-info folders in a folder on PYTHONPATH)."""

from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import pty
import signal
import subprocess
import sys
import textwrap
import time
import traceback
import types

import pytest

from bundle_kit import BundleFolder, metadata

# A bundle whose run emits its input schedule in batches of two; an artifact
# b"fail" makes the machine fail, and a recorder path gets one line written.
RUN_SOURCE = """
import importlib.util
import json

def provider():
    return PROVIDER_TEXT

def prepare(artifact, run_id, configuration, input_schedule, execution_controls, observation):
    return run_id, json.loads(input_schedule) or [], artifact

def execute(prepared, sinks, path):
    run_id, values, artifact = prepared
    for start in range(0, len(values), 2):
        for sink in sinks:
            sink.emit_batch(run_id, start, values[start:start + 2])
    published = path is not None
    if published:
        with open(path, "w") as stream:
            stream.write("recorded\\n")
    return {
        "machine_execution": {"status": "failed" if artifact == b"fail" else "completed"},
        "evidence_fulfillment": {"status": "complete"},
        "python_sink_delivery": {"status": "complete" if sinks else "not_requested"},
        "recorder_finalization": {"status": "finalized" if published else "not_requested"},
        "publication": {"status": "published" if published else "not_published"},
        "published_run": {"published": True, "path": path} if published else None,
        "values": values,
    }
"""


def korvane(
    site: pathlib.Path | None,
    *args: str,
    stdin: str | None = None,
    env: dict[str, str] | None = None,
    cwd: pathlib.Path | None = None,
) -> subprocess.CompletedProcess[str]:
    environment = dict(os.environ)
    environment.pop("NO_COLOR", None)
    if site is not None:
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), environment.get("PYTHONPATH", "")]))
    environment.update(env or {})
    command = [sys.executable, "-m", "korvane_tools", *args]
    return subprocess.run(command, input=stdin, capture_output=True, text=True, env=environment, cwd=cwd, timeout=120)


@pytest.fixture
def site(tmp_path):
    root = tmp_path / "site"
    root.mkdir()
    return BundleFolder(root)


def discovery_fails(site: BundleFolder) -> bool:
    """Whether korvane.Runtime.discover() raises with exactly these bundles installed."""
    code = "import korvane\ntry:\n    korvane.Runtime.discover()\nexcept Exception:\n    print('fails')\n"
    return korvane_python(site, code).stdout.strip() == "fails"


def korvane_python(site: BundleFolder, code: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=str(site.root))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


def did_you_mean(wrong: str, right: str) -> str:
    """This interpreter's own suggestion for a misspelt attribute (its words differ by version)."""
    module = types.ModuleType("m")
    setattr(module, right, None)
    try:
        getattr(module, wrong)
    except AttributeError as error:
        text = "".join(traceback.format_exception_only(error)).strip()
    return text[text.index("Did you mean") :]


# One broken bundle per kind of fault: how to install it, and what its line says.
BROKEN = {
    "provider not importable": (
        dict(entry_target="kv_nowhere:provider"),
        "entry point kv_nowhere:provider does not load: ModuleNotFoundError: No module named 'kv_nowhere'",
    ),
    "provider raises": (
        dict(source="import json\n\ndef provider():\n    raise ValueError('no metadata today')\n"),
        "provider raised: ValueError: no metadata today (at {module_file}, line 6)",
    ),
    "provider raises with a note": (
        dict(source="def provider():\n    e = ValueError('no'); e.add_note('see the docs'); raise e\n"),
        "provider raised: ValueError: no (at {module_file}, line 4); note: see the docs",
    ),
    "provider is not callable": (
        dict(source="provider = 42\n"),
        "entry point {module}:provider names no callable: TypeError: 'int' object is not callable",
    ),
    "provider exits": (
        dict(source="import sys\n\ndef provider():\n    sys.exit(3)\n"),
        "provider raised: SystemExit: 3 (at {module_file}, line 6)",
    ),
    "provider returns a dict": (
        dict(source="def provider():\n    return {'machine_id': 'broken'}\n"),
        "provider returned dict, not JSON text: TypeError: 'dict' object cannot be cast as 'str'",
    ),
    "wrong protocol": (
        dict(protocol="korvane.python_bundle "),
        'korvane refuses the metadata: RuntimeError: entry point "broken" returned unsupported provider '
        'protocol "korvane.python_bundle "',
    ),
    "wrong protocol version": (
        dict(protocol_version={"major": 2, "minor": 1, "patch": 0}),
        'korvane refuses the metadata: RuntimeError: entry point "broken" returned unsupported provider '
        "protocol version 2.1.0",
    ),
    "extra field": (
        dict(colour="red"),
        'korvane refuses the metadata: RuntimeError: entry point "broken" provider contains unsupported '
        'metadata field "colour"',
    ),
    "missing field": (
        dict(bundle_version=None),
        'korvane refuses the metadata: RuntimeError: entry point "broken" provider is missing string field '
        '"bundle_version"',
    ),
    "misspelt provider in the entry point": (
        dict(module="kv_provder", entry_target="kv_provder:provder"),
        "entry point kv_provder:provder does not load: AttributeError: module 'kv_provder' has no attribute "
        "'provder'. " + did_you_mean("provder", "provider"),
    ),
    "misspelt prepare function": (
        dict(prepare_function="prepair"),
        "prepare_function \"prepair\": AttributeError: module '{module}' has no attribute 'prepair'. "
        + did_you_mean("prepair", "prepare"),
    ),
    "misspelt execute function": (
        dict(execute_function="exeucte"),
        "execute_function \"exeucte\": AttributeError: module '{module}' has no attribute 'exeucte'. "
        + did_you_mean("exeucte", "execute"),
    ),
    "module exits on import": (
        dict(source="import sys\nsys.exit(7)\n"),
        "entry point {module}:provider does not load: SystemExit: 7 (at {module_file}, line 4)",
    ),
    "module raises KeyboardInterrupt on import": (
        dict(source="raise KeyboardInterrupt\n"),
        "entry point {module}:provider does not load: KeyboardInterrupt (at {module_file}, line 3)",
    ),
    "prepare cannot take six arguments": (
        dict(
            source="def provider():\n    return PROVIDER_TEXT\n\ndef prepare(artifact, run_id):\n    pass\n\n"
            "def execute(prepared, sinks, path):\n    pass\n"
        ),
        'prepare_function "prepare(artifact, run_id)" cannot take the 6 positional arguments korvane passes: '
        "TypeError: too many positional arguments (at {module_file}, line 6)",
    ),
    "module does not import": (
        dict(provider_text=json.dumps(metadata("broken", "kv_gone.inner"))),
        "module \"kv_gone.inner\" does not import: ModuleNotFoundError: No module named 'kv_gone'",
    ),
}


@pytest.mark.parametrize("kind", BROKEN)
def test_check_names_the_broken_bundle_and_passes_the_others(site, kind):
    install, expected = BROKEN[kind]
    site.add("fine", entry_name="fine")
    module = site.add("broken", entry_name="broken", **install)
    expected = expected.format(module=module, module_file=site.root / f"{module}.py")
    infos = [p for p in site.root.glob("*.dist-info") if "broken =" in (p / "entry_points.txt").read_text()]
    [dist] = [info.name.split("-")[0] for info in infos]

    text = korvane(site.root, "check")
    assert text.returncode == 1, text
    lines = {line.split()[1]: line for line in text.stdout.splitlines() if line.split()[0] in ("OK", "FAIL")}
    assert lines["fine"].startswith("OK ")
    broken = lines["broken"].split()
    assert broken[:4] == ["FAIL", "broken", dist, "1.0"]
    assert lines["broken"].endswith(expected), lines["broken"]
    assert text.stdout.splitlines()[-1] == "2 bundles checked: 1 OK, 1 failing"
    assert text.stderr == ""

    report = json.loads(korvane(site.root, "check", "--json").stdout)
    assert report["ok"] is False
    [entry] = [b for b in report["bundles"] if b["entry_point"] == "broken"]
    assert (entry["distribution"], entry["version"], entry["ok"]) == (dist, "1.0", False)
    assert entry["problem"]["text"] == expected

    # Only the named bundle: the broken one alone decides the status.
    assert korvane(site.root, "check", "fine").returncode == 0
    assert korvane(site.root, "check", "broken").returncode == 1


def test_functions_that_do_not_resolve_fail_the_check_though_discovery_works(site):
    site.add("typo", prepare_function="prepair")
    assert not discovery_fails(site)
    assert korvane(site.root, "check").returncode == 1


@pytest.mark.parametrize("kind", ["provider raises", "extra field", "wrong protocol version"])
def test_a_failing_check_is_a_failing_discovery(site, kind):
    site.add("broken", entry_name="broken", **BROKEN[kind][0])
    assert discovery_fails(site)


def test_one_machine_id_in_two_distributions(site):
    first = site.add("echo", entry_name="echo-a")
    second = site.add("echo", entry_name="echo-b")
    site.add("other")
    proc = korvane(site.root, "check")
    assert proc.returncode == 1
    [clash] = [line for line in proc.stdout.splitlines() if line.startswith("CLASH")]
    assert 'RuntimeError: multiple bundle entry points advertise machine_id "echo"' in clash
    for module in (first, second):
        n = module.rsplit("_", 1)[1]
        assert f"(kv_bundle_dist_{n} 1.0, {module}:provider)" in clash
    assert proc.stdout.splitlines()[-1] == "3 bundles checked: 3 OK, 0 failing, 1 machine id claimed twice"

    report = json.loads(korvane(site.root, "check", "--json").stdout)
    [entry] = report["clashes"]
    assert entry["message"] == 'multiple bundle entry points advertise machine_id "echo"'
    assert sorted(e["entry_point"] for e in entry["entry_points"]) == ["echo-a", "echo-b"]
    # A name outside the clash is not held back by it; one inside is.
    assert korvane(site.root, "check", "other").returncode == 0
    assert korvane(site.root, "check", "echo-b").returncode == 1


def test_sound_bundles_pass_and_so_does_none(site):
    assert korvane(site.root, "check").stdout == "no entry points in group korvane.machine_bundles\n"
    site.add("alpha")
    site.add("beta", module="kv_pkg.beta")
    proc = korvane(site.root, "check")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert [line.split()[0] for line in proc.stdout.splitlines()] == ["OK", "OK", "WARN", "WARN", "2"]
    assert 'the metadata names distribution "korvane-alpha", but the entry point comes from' in proc.stdout
    report = json.loads(korvane(site.root, "check", "--json").stdout)
    assert report["ok"] is True and report["discovery"] is None
    assert sorted(b["machine_id"] for b in report["bundles"]) == ["alpha", "beta"]


def test_check_of_an_unknown_name_is_a_usage_error(site):
    site.add("alpha")
    proc = korvane(site.root, "check", "nope")
    assert proc.returncode == 2 and proc.stdout == ""
    assert (
        proc.stderr
        == "korvane check: no entry point, machine id or distribution named nope in group korvane.machine_bundles\n"
    )


def test_list_imports_nothing_and_metadata_calls_the_providers(site, tmp_path):
    marker = tmp_path / "imported"
    site.add("loud", source=f"open({str(marker)!r}, 'w').close()\n\ndef provider():\n    return PROVIDER_TEXT\n")
    site.add("broken", entry_name="broken", colour="red")
    proc = korvane(site.root, "list")
    assert proc.returncode == 0 and not marker.exists()
    assert proc.stdout.splitlines()[0].split() == ["ENTRY", "POINT", "DISTRIBUTION", "VERSION", "VALUE"]
    listed = json.loads(korvane(site.root, "list", "--json").stdout)
    assert sorted((e["entry_point"], e["version"]) for e in listed) == [("broken", "1.0"), ("loud", "1.0")]
    assert not marker.exists()

    with_metadata = json.loads(korvane(site.root, "list", "--metadata", "--json").stdout)
    assert marker.exists()
    by_name = {e["entry_point"]: e for e in with_metadata}
    assert by_name["loud"]["machine_id"] == "loud" and by_name["loud"]["problem"] is None
    assert by_name["broken"]["machine_id"] is None
    assert 'unsupported metadata field "colour"' in by_name["broken"]["problem"]
    text = korvane(site.root, "list", "--metadata").stdout
    assert 'unsupported metadata field "colour"' in text


# check-result -------------------------------------------------------------

VALID = {
    "machine_execution": {"status": "completed"},
    "evidence_fulfillment": {"status": "complete"},
    "python_sink_delivery": {"status": "not_requested"},
    "recorder_finalization": {"status": "not_requested"},
    "publication": {"status": "not_published"},
    "published_run": None,
}

# One document per kind of verdict: korvane's rule messages come through as
# they are; a text that is not JSON is placed in the file's own lines.
DOCUMENTS = [
    (json.dumps(VALID), ["valid"]),
    (json.dumps({**VALID, "extra": [1, 2]}), ["valid"]),
    (
        json.dumps({**VALID, "machine_execution": {"status": "complete"}}),
        ['bundle execution result has unsupported machine-execution status "complete"'],
    ),
    ("[1, 2]", ["bundle execution result must be an object"]),
    (
        json.dumps({**VALID, "extra": {"big": 1e300}}, indent=2).replace("1e+300", "1e400"),
        [
            "not JSON: number out of range at line 19 column",
            "found: the number 1e400, out of a double's range",
            '  line 19:     "big": 1e400',
            "                      ^",
        ],
    ),
    (
        '{"a": NaN}',
        ["not JSON: expected value at line 1 column 7", "found: NaN", '  line 1: {"a": NaN}', "                ^"],
    ),
]


@pytest.mark.parametrize("document,expected", DOCUMENTS)
def test_check_result_prints_korvanes_verdict(tmp_path, document, expected):
    path = tmp_path / "result.json"
    path.write_text(document, encoding="utf-8")
    from_file = korvane(None, "check-result", str(path))
    from_stdin = korvane(None, "check-result", "-", stdin=document)
    for proc in (from_file, from_stdin):
        assert proc.returncode == (0 if expected == ["valid"] else 1)
        lines = proc.stdout.splitlines()
        assert len(lines) == len(expected) and all(a.startswith(b) for a, b in zip(lines, expected)), lines
        assert proc.stderr == ""
    verdict = json.loads(korvane(None, "check-result", "--json", str(path)).stdout)
    assert verdict["valid"] is (expected == ["valid"])
    assert verdict["message"] is None if expected == ["valid"] else verdict["message"].startswith(expected[0])


def test_check_result_of_an_unreadable_file(tmp_path):
    proc = korvane(None, "check-result", str(tmp_path / "absent.json"))
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith(f"korvane check-result: cannot read {tmp_path / 'absent.json'}: ")


# bundle code that exits, interrupts or prints -------------------------------

FAULTY_SOURCE = """
import json, os, sys
{on_import}
def provider():
    {in_provider}
    return PROVIDER_TEXT

def prepare(artifact, run_id, configuration, input_schedule, execution_controls, observation):
    return None

def execute(prepared, sinks, path):
    {in_execute}
    return json.loads(RESULT_TEXT)
"""


def faulty(on_import: str = "", in_provider: str = "pass", in_execute: str = "pass") -> str:
    return FAULTY_SOURCE.format(on_import=on_import, in_provider=in_provider, in_execute=in_execute)


NOISE = "print('noise'); os.write(1, b'fd noise\\n')"
NAN = "return dict(json.loads(RESULT_TEXT), outputs={'mean': float('nan')})"

# Where the bundle "bad" misbehaves, and what `run bad` then ends with.
BUNDLE_FAULTS = {
    "exits on import": (dict(on_import="sys.exit(7)"), 3, 'machine "bad": its bundle is installed but left out'),
    "exits in its provider": (dict(in_provider="sys.exit(5)"), 3, "provider raised: SystemExit: 5"),
    "exits in execute": (dict(in_execute="sys.exit(9)"), 3, "korvane run: SystemExit: 9"),
    "KeyboardInterrupt in execute": (dict(in_execute="raise KeyboardInterrupt"), 3, "korvane run: KeyboardInterrupt"),
    "prints everywhere": (dict(on_import=NOISE, in_provider=NOISE, in_execute=NOISE), 0, "fd noise"),
    "returns a NaN": (dict(in_execute=NAN), 3, "outputs.mean"),
}


@pytest.mark.parametrize("kind", BUNDLE_FAULTS)
def test_bundle_faults_never_take_the_command_down(run_site, tmp_path, kind):
    hooks, status, says = BUNDLE_FAULTS[kind]
    run_site.add("bad", source=faulty(**hooks))
    program = str(tmp_path / "program")

    for args in (["check", "--json"], ["list", "--metadata", "--json"], ["run", "bad", program, "--json"]):
        proc = korvane(run_site.root, *args)
        json.loads(proc.stdout)  # exactly one document, whatever the bundle wrote
    assert proc.returncode == status and (says in proc.stderr or says in proc.stdout), proc
    assert korvane(run_site.root, "run", "emitter", program).returncode == 0
    text = korvane(run_site.root, "run", "bad", program)
    assert text.returncode == status and says in text.stderr, text


def test_rejected_result_is_shown_with_its_place(run_site, tmp_path):
    run_site.add("bad", source=faulty(in_execute="return {'outputs': {'n': 10 ** 400}}"))
    report = json.loads(korvane(run_site.root, "run", "bad", str(tmp_path / "program"), "--json").stdout)
    assert report["rejected_result"] == {"outputs": {"n": 10**400}}
    assert report["problem"]["path"] == "outputs.n"
    assert report["problem"]["token"] == "an integer of 401 digits that does not fit a double"
    assert report["error"].startswith(
        "korvane rejects the execution result: TypeError: bundle execution result "
        "is not JSON-compatible: number out of range at line 1"
    )


# Bundle code that ends, stalls, forks or takes over the process: the command
# (in a child process where asked), what it ends with and what it says. Only
# the bundle "bad" is installed, so a time limit bears on nothing healthy.
# Under the address sanitizer its own handler would turn a SIGSEGV into an
# exit status: the signal is let through.
ASAN = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "handle_segv=0"]))}
HANG = "import threading; threading.Event().wait()"
CLOSES = "os.closerange(3, 4096); TRAP = open(os.path.join(os.path.dirname(__file__), 'trap'), 'w')"
AT_EXECUTE = "\n  the bundle was at execute ({module_file}, line 14)"
TIMED_OUT = "ChildProcessError: timed out after 2 s (at {module_file}, line 5)"
REPLACED = "standard output (kept as descriptor 3) was closed or replaced by bundle code"
PROCESS_FAULTS = [
    ("in_execute", "os._exit(3)", "run --isolate", 6, "with exit status 3"),
    ("in_execute", "os._exit(0)", "run --json --timeout 60", 6, '"exit_status": 0'),
    ("in_execute", "import ctypes; ctypes.string_at(0)", "run --isolate", 6, "killed by SIGSEGV" + AT_EXECUTE),
    ("in_execute", HANG, "run --timeout 2", 124, "longer than 2 s and was stopped" + AT_EXECUTE),
    ("on_import", HANG, "check --isolate --timeout 2", 1, TIMED_OUT),
    ("on_import", "import time; os.fork() or time.sleep(600); " + HANG, "check --isolate --timeout 2", 1, TIMED_OUT),
    ("on_import", "os.fork() or os._exit(0)", "check --isolate", 1, "bundle code forked the checking process"),
    ("on_import", CLOSES, "check --json", 74, REPLACED),
    ("on_import", CLOSES, "check --isolate", 1, "reused the descriptor of the check's report (exit status 74)"),
    ("on_import", CLOSES, "run --isolate --json", 74, "korvane run: " + REPLACED),
]


@pytest.mark.parametrize("hook,code,args,status,says", PROCESS_FAULTS)
def test_bundles_that_end_or_take_over_the_process_are_named(site, tmp_path, hook, code, args, status, says):
    module = site.add("bad", source=faulty(**{hook: code}))
    command, *options = args.split()
    proc = korvane(site.root, command, *(["bad", "-"] if command == "run" else []), *options, stdin="", env=ASAN)
    says = says.format(module_file=site.root / f"{module}.py")
    assert proc.returncode == status and (says in proc.stderr or says in proc.stdout), proc
    assert not (site.root / "trap").exists() or (site.root / "trap").read_text() == ""


# Ctrl-C while bundle code hangs: the command, what it says first when it has
# waited long, and what it ends with on stdout and on stderr.
CTRL_C = [
    (["check"], "", "", ""),
    (["list", "--metadata"], "korvane list: still loading slow (", "", ""),
    (["check", "--isolate", "--timeout", "600", "--json"], "", '"interrupted": true', "bundles checked"),
    (["run", "slow", "-", "--traceback"], "", "", "the bundle was here:\nTraceback"),
    (["run", "slow", "-", "--timeout", "600", "--traceback"], "", "", "the bundle was here:\nTraceback"),
]


@pytest.mark.parametrize("args,notice,stdout,stderr", CTRL_C)
def test_a_real_ctrl_c_still_ends_the_command_with_130(site, tmp_path, args, notice, stdout, stderr):
    started = tmp_path / "started"
    # Short sleeps: an interrupt that comes just before one is taken at the next.
    sleeps = "    for _ in range(6000):\n        time.sleep(0.1)\n"
    module = site.add(
        "slow", source=f"import time\n\ndef provider():\n    open({str(started)!r}, 'w').close()\n{sleeps}"
    )
    env = dict(os.environ, PYTHONPATH=str(site.root))
    command = [sys.executable, "-m", "korvane_tools", *args]
    proc = subprocess.Popen(
        command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    while not started.exists():
        assert proc.poll() is None
        time.sleep(0.05)
    assert notice in (proc.stderr.readline() if notice else "")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)  # far below the bundle's 600 s
    assert proc.returncode == 130 and stdout in out and stderr in err, (out, err)
    assert args[0] != "run" or f'{module}.py", line 8, in provider' in err


# run ----------------------------------------------------------------------

ECHO_SOURCE = """
import importlib.util
import json

def provider():
    return PROVIDER_TEXT

def prepare(artifact, run_id, *inputs):
    return json.loads(artifact)

def execute(prepared, sinks, path):
    return prepared
"""

# A result korvane accepts, and the exit status and status line `run` gives it.
OUTCOMES = [
    ({}, [], 0, "machine_execution      completed"),
    (
        {"machine_execution": {"status": "failed", "reason": "stack underflow"}},
        [],
        1,
        "machine_execution      failed     reason: stack underflow",
    ),
    ({"evidence_fulfillment": {"status": "incomplete"}}, [], 4, "evidence_fulfillment   incomplete"),
    ({"recorder_finalization": {"status": "failed"}}, [], 5, "recorder_finalization  failed"),
    ({}, ["--record", "{record}"], 5, "publication            not_published"),
]


@pytest.mark.parametrize("changes,args,status,line", OUTCOMES)
def test_run_exit_status_follows_the_result(site, tmp_path, changes, args, status, line):
    site.add("echo", source=ECHO_SOURCE)
    args = [arg.replace("{record}", str(tmp_path / "run.rec")) for arg in args]
    proc = korvane(site.root, "run", "echo", "-", *args, stdin=json.dumps({**VALID, **changes}))
    assert proc.returncode == status and line.split() in [row.split() for row in proc.stdout.splitlines()], proc
    quiet = korvane(site.root, "run", "echo", "-", "--quiet", *args, stdin=json.dumps({**VALID, **changes}))
    assert (quiet.returncode, quiet.stdout) == (status, "")


def test_run_traceback_and_notes_of_a_bundles_exception(site, tmp_path):
    site.add("boom", source=faulty(in_execute="e = ValueError('boom'); e.add_note('while stacking'); raise e"))
    plain = korvane(site.root, "run", "boom", "-", stdin="")
    assert plain.returncode == 3
    assert (
        plain.stderr
        == "korvane run: ValueError: boom\n  while stacking\n  (--traceback shows where the bundle raised it)\n"
    )
    traced = korvane(site.root, "run", "boom", "-", "--traceback", stdin="")
    assert "Traceback (most recent call last):" in traced.stderr and "in execute" in traced.stderr


def test_check_by_machine_id_and_a_group_near_miss(site):
    site.add("alpha", entry_name="first")
    typo = site.root / "kv_typo-1.0.dist-info"
    typo.mkdir()
    (typo / "METADATA").write_text("Metadata-Version: 2.1\nName: kv_typo\nVersion: 1.0\n", encoding="utf-8")
    (typo / "entry_points.txt").write_text("[korvane.machine_bundle]\ntypo = kv_typo:provider\n", encoding="utf-8")
    assert korvane(site.root, "check", "alpha").returncode == 0
    proc = korvane(site.root, "check")
    assert (
        'WARN  entry point "typo" of kv_typo is in group "korvane.machine_bundle", which korvane never reads: '
        'did you mean "korvane.machine_bundles"?'
    ) in proc.stdout.splitlines()
    assert "did you mean" in korvane(site.root, "list").stderr
    assert 'did you mean "korvane.machine_bundles"?' in korvane(site.root, "run", "typo", "-", stdin="").stderr


@pytest.fixture
def run_site(site, tmp_path):
    site.add("emitter", source=RUN_SOURCE)
    (tmp_path / "program").write_bytes(b"ok")
    (tmp_path / "failing").write_bytes(b"fail")
    return site


def test_run_shows_batches_then_the_statuses(run_site, tmp_path):
    record = tmp_path / "out" / "run.jsonl"
    record.parent.mkdir()
    program = str(tmp_path / "program")
    proc = korvane(run_site.root, "run", "emitter", program, "--input-schedule=[1, 2, 3]", f"--record={record}")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.splitlines() == [
        'batch 1: "python-emitter-1" 0 [1, 2]',
        'batch 2: "python-emitter-1" 2 [3]',
        "",
        "machine_execution      completed",
        "evidence_fulfillment   complete",
        "python_sink_delivery   complete",
        "recorder_finalization  finalized",
        "publication            published",
        f"recording              {record}",
        "sink                   2 batches, 3 values",
    ]
    assert record.read_text() == "recorded\n"


def test_run_exit_status_and_json(run_site, tmp_path):
    failing = korvane(run_site.root, "run", "emitter", str(tmp_path / "failing"), "--json", "--input-schedule", "[7]")
    assert failing.returncode == 1
    result = json.loads(failing.stdout)
    assert result["machine_execution"] == {"status": "failed"} and result["values"] == [7]
    assert result["published_run"] is None
    from_stdin = korvane(run_site.root, "run", "emitter", "-", stdin="ok")
    assert from_stdin.returncode == 0 and "recording              not published" in from_stdin.stdout


def test_run_reads_json_options_from_files(run_site, tmp_path):
    (tmp_path / "inputs.json").write_text("[4, 5]")
    program, inputs = str(tmp_path / "program"), tmp_path / "inputs.json"
    proc = korvane(run_site.root, "run", "emitter", program, "--json", "--input-schedule", f"@{inputs}")
    assert json.loads(proc.stdout)["values"] == [4, 5]


@pytest.mark.parametrize(
    "args,message",
    [
        (["--configuration", "{nope"], "korvane run: --configuration: not JSON: "),
        (["--observation", "@/nonexistent/obs.json"], "korvane run: --observation: cannot read /nonexistent/obs.json"),
        (["--record", ""], "korvane run: --record: the path must not be empty"),
        (["--timeout", "inf"], "argument --timeout: inf: give a number of seconds above 0 and at most 604800"),
        (["--timeout", "1e300"], "argument --timeout: 1e300: give a number of seconds above 0"),
    ],
)
def test_run_usage_errors(run_site, tmp_path, args, message):
    proc = korvane(run_site.root, "run", "emitter", str(tmp_path / "program"), *args)
    assert proc.returncode == 2 and proc.stdout == ""
    assert message in proc.stderr, proc.stderr


@pytest.mark.parametrize("kind", ["fifo", "folder", "symlink to a fifo"])
def test_run_leaves_a_path_that_is_not_a_regular_file_alone(run_site, tmp_path, kind):
    target = tmp_path / "target"
    if kind == "folder":
        target.mkdir()
    else:
        os.mkfifo(target)
    path = target
    if kind.startswith("symlink"):
        path = tmp_path / "link"
        path.symlink_to(target)
    proc = korvane(run_site.root, "run", "emitter", str(tmp_path / "program"), "--record", str(path))
    assert proc.returncode == 2
    assert proc.stderr == f"korvane run: --record: {path} exists and is not a regular file; choose another path\n"
    assert target.exists() and (target.is_dir() or target.is_fifo())


def test_run_of_a_machine_that_is_not_installed(run_site, tmp_path):
    proc = korvane(run_site.root, "run", "nope", str(tmp_path / "program"))
    assert proc.returncode == 3
    assert proc.stderr == (
        'korvane run: no installed bundle provides machine "nope"\n'
        "  `korvane list --metadata` shows the machines installed\n"
    )


def test_run_of_a_machine_whose_bundles_are_left_out(run_site, tmp_path):
    run_site.add("emitter", entry_name="second")
    proc = korvane(run_site.root, "run", "emitter", str(tmp_path / "program"))
    assert proc.returncode == 3
    assert 'korvane run: machine "emitter": its bundle is installed but left out, as above:' in proc.stderr
    assert sum('machine_id "emitter" is claimed twice' in line for line in proc.stderr.splitlines()) == 4


def test_run_leaves_out_a_broken_bundle_and_names_it(run_site, tmp_path):
    broken = run_site.add("broken", colour="red")
    proc = korvane(run_site.root, "run", "emitter", str(tmp_path / "program"), "--input-schedule", "[1]")
    assert proc.returncode == 0
    n = broken.rsplit("_", 1)[1]
    assert proc.stderr.splitlines()[:2] == [
        'korvane run: korvane\'s discovery fails (RuntimeError: entry point "broken" provider contains '
        'unsupported metadata field "colour"); leaving out:',
        f"  broken (kv_bundle_dist_{n} 1.0, {broken}:provider): korvane refuses the metadata: RuntimeError: "
        'entry point "broken" provider contains unsupported metadata field "colour"',
    ]


# conventions ----------------------------------------------------------------


@pytest.mark.parametrize("command", [[], ["list"], ["check"], ["run"], ["check-result"]])
def test_help_everywhere(command):
    proc = korvane(None, *command, "--help")
    assert proc.returncode == 0 and proc.stdout.startswith("usage: korvane")
    statuses = proc.stdout.split("exit status:\n")[1].split("\n\n")[0]
    codes = {int(line.split()[0]) for line in statuses.splitlines() if line[:5].strip().isdigit()}
    # Each command lists its own statuses; only run ends with 3 to 5.
    assert codes >= {2, 130} and (codes >= {3, 4, 5}) == (command in ([], ["run"]))


def test_no_arguments_prints_the_help():
    proc = korvane(None)
    assert proc.returncode == 2 and proc.stderr.startswith("usage: korvane") and "COMMAND" in proc.stderr


def test_usage_error_goes_to_stderr():
    proc = korvane(None, "frobnicate")
    assert proc.returncode == 2 and proc.stdout == "" and "invalid choice" in proc.stderr


def on_terminal(site: BundleFolder, *args: str, env: dict[str, str]) -> bytes:
    """The command's output with a terminal as its stdout and stderr."""
    leader, follower = pty.openpty()
    environment = dict(os.environ, PYTHONPATH=str(site.root), TERM="xterm", **env)
    if "NO_COLOR" not in env:
        environment.pop("NO_COLOR", None)
    command = [sys.executable, "-m", "korvane_tools", *args]
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=follower, stderr=follower, env=environment)
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # EIO once the child has closed its side
            break
        if not chunk:
            break
        output += chunk
    os.close(leader)
    assert proc.wait(timeout=120) in (0, 1)
    return output


@pytest.mark.parametrize("args", [["check"], ["list", "--metadata"]])
def test_colour_only_on_a_terminal_and_never_with_no_color(site, args):
    site.add("alpha")
    site.add("broken", colour="red")
    assert b"\x1b[" in on_terminal(site, *args, env={})
    assert b"\x1b[" not in on_terminal(site, *args, env={"NO_COLOR": "1"})
    assert "\x1b[" not in korvane(site.root, *args).stdout
    assert "\x1b[" in korvane(site.root, *args, env={"FORCE_COLOR": "1"}).stdout
    assert "\x1b[" in korvane(site.root, "--color", "always", *args, env={"NO_COLOR": "1"}).stdout
    assert b"\x1b[" not in on_terminal(site, "--color", "never", *args, env={"FORCE_COLOR": "1"})


def test_console_script_is_installed():
    script = pathlib.Path(sys.executable).parent / "korvane"
    proc = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.startswith("usage: korvane")


def test_the_module_surface_is_unchanged():
    code = textwrap.dedent("""
        import korvane, korvane_tools.cli, korvane_tools.testing
        print(sorted(n for n in dir(korvane) if not n.startswith("__")))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120).stdout
    assert out.strip() == "['FileRecorder', 'PreparedRun', 'Runtime', 'discover_bundles']"


def test_new_writes_a_bundle_that_installs_and_passes_its_checks(tmp_path):
    pytest.importorskip("setuptools")  # the generated pyproject's build backend, offline
    assert korvane(None, "new", "Bad_Name", cwd=tmp_path).returncode == 2
    assert korvane(None, "new", "word-count", cwd=tmp_path).returncode == 0
    assert korvane(None, "new", "word-count", cwd=tmp_path).returncode == 2  # the folder exists
    site, project = tmp_path / "site", tmp_path / "word-count"
    env = dict(os.environ, PYTHONPATH=str(site))

    def python(*args, **options):
        return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300, **options)

    python("pip", "install", "-q", "--no-build-isolation", "--no-deps", "--target", str(site), str(project), check=True)
    check = korvane(site, "check", "--json")
    assert check.returncode == 0 and [b["machine_id"] for b in json.loads(check.stdout)["bundles"]] == ["word-count"]
    tests = python("pytest", "-q", "-p", "no:cacheprovider", "tests", cwd=project, env=env)
    assert tests.returncode == 0, tests.stdout
    if importlib.util.find_spec("mypy") is not None:
        typed = python("mypy", "--strict", "--no-incremental", "src", "tests", cwd=project, env=env)
        assert typed.returncode == 0, typed.stdout


# Names that `korvane new` refuses, and why: nothing is written for them.
TAKEN_NAMES = [
    ("tools", "its package would be korvane_tools, which is korvane's own"),
    ("stubs", "its package would be korvane_stubs, which is korvane's own"),
    ("a" * 250, "a name has at most 64 characters; this one has 250"),
    ("demo", 'the machine id "demo" is provided by the installed bundle demo (kv_bundle_dist_'),
    ("gauge", "its distribution would be korvane-gauge, which is installed (2.0); installing would replace it"),
    ("widget", "its package would be korvane_widget, which is installed ({site}/korvane_widget.py)"),
]


@pytest.mark.parametrize("name,why", TAKEN_NAMES)
def test_new_refuses_a_taken_name_and_writes_nothing(site, tmp_path, name, why):
    site.add("demo")
    (site.root / "korvane_widget.py").write_text("")
    info = site.root / "korvane_gauge-2.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: korvane-gauge\nVersion: 2.0\n")
    work = tmp_path / "work"
    work.mkdir()
    proc = korvane(site.root, "new", name, cwd=work)
    assert proc.returncode == 2 and why.format(site=site.root) in proc.stderr, proc
    assert list(work.iterdir()) == []


def test_check_isolate_reports_what_happened_to_each_child(site):
    site.add("fine", entry_name="fine")
    site.add("exits", entry_name="exits", source="import os\nos._exit(4)\n")
    site.add("crashes", entry_name="crashes", source="import ctypes\nctypes.string_at(0)\n")
    proc = korvane(site.root, "check", "--isolate", "--json", env=ASAN)
    assert proc.returncode == 1
    report = {b["entry_point"]: b for b in json.loads(proc.stdout)["bundles"]}
    assert report["fine"]["ok"], report["fine"]
    for name, what in [("exits", "exited with status 4"), ("crashes", "killed by SIGSEGV")]:
        assert report[name]["problem"]["message"] == what
    for timeout in ("1", "inf", "1e300", "0", "nan"):
        assert korvane(site.root, "check", "--timeout", timeout).returncode == 2
