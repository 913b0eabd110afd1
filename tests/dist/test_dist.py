"""The distributions in dist/ as a package index would see them, and as a
user gets them: installed with pip from dist/ alone into fresh virtual
environments, where a machine runs.

    KORVANE_DIST=dist KORVANE_DIST_PYTHONS="3.14=/path/python3.14 3.15=/path/python3.15" \\
        KORVANE_DIST_EMULATED="3.14=/root314/usr/bin/python3.14 ..." \\
        KORVANE_DIST_TEST_WHEELS=/folder/with/pytest/wheels python -m pytest tests/dist

tools/run-tests.sh dist builds dist/ (tools/dist.sh) and runs this with the
provisioned interpreters: the host's, and the aarch64 ones of
KORVANE_DIST_EMULATED (tools/provision-python.sh --arch arm64), which run under
qemu-aarch64-static. Building a wheel from the korvane sdist fetches the
build requirements from the package index, as pip does for any sdist.
"""

from __future__ import annotations

import email.parser
import io
import json
import os
import re
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
LICENSE = (ROOT / "LICENSE").read_bytes()
ARCHS = ("x86_64", "aarch64")
# The platform part of a korvane wheel's name: built by zig (aarch64, and
# x86_64 by default) manylinux_2_17 with its older name manylinux2014 before
# it, as auditwheel writes them; x86_64 built by gcc manylinux_2_31.
PLATFORM = re.compile(r"-((?:manylinux2014_(?:x86_64|aarch64)\.)?manylinux_2_(17|31)_(x86_64|aarch64))\.whl$")

if "KORVANE_DIST" not in os.environ:
    pytest.skip("KORVANE_DIST is not set (the folder make dist fills)", allow_module_level=True)
DIST = Path(os.environ["KORVANE_DIST"]).resolve()
PYTHONS = dict(item.split("=", 1) for item in os.environ.get("KORVANE_DIST_PYTHONS", "").split())
EMULATED = dict(item.split("=", 1) for item in os.environ.get("KORVANE_DIST_EMULATED", "").split())
QEMU = "qemu-aarch64-static"


def archives() -> list[Path]:
    return sorted(path for path in DIST.iterdir() if path.name.endswith((".whl", ".tar.gz")))


def members(archive: Path) -> dict[str, bytes]:
    """Every file of a wheel or sdist by its path inside the archive."""
    if archive.suffix == ".whl":
        with zipfile.ZipFile(archive) as wheel:
            return {name: wheel.read(name) for name in wheel.namelist() if not name.endswith("/")}
    with tarfile.open(archive) as sdist:
        found = {}
        for info in sdist.getmembers():
            assert not info.issym() and not info.islnk(), f"{archive.name}: {info.name} is a link"
            if info.isfile():
                found[info.name] = sdist.extractfile(info).read()
        return found


def metadata(archive: Path) -> email.message.Message:
    files = members(archive)
    if archive.suffix == ".whl":
        (name,) = [n for n in files if re.fullmatch(r"[^/]+\.dist-info/METADATA", n)]
    else:
        (name,) = [n for n in files if re.fullmatch(r"[^/]+/PKG-INFO", n)]
    return email.parser.BytesParser().parsebytes(files[name])


def distribution(archive: Path) -> str:
    return re.match(r"(korvane(?:_[a-z]+)?)-", archive.name).group(1).replace("_", "-")


COMMON_CLASSIFIERS = {
    "Programming Language :: Python :: 3.14",
    "Programming Language :: Python :: 3.15",
}
CLASSIFIERS = {
    "korvane": COMMON_CLASSIFIERS | {"Programming Language :: C++", "Typing :: Typed",
                                     "Operating System :: POSIX :: Linux"},
    "korvane-stack": COMMON_CLASSIFIERS,
    "korvane-machines": COMMON_CLASSIFIERS,
}


def test_dist_holds_every_sdist_and_wheel():
    names = [path.name for path in archives()]
    expected = [
        r"korvane-[\d.]+\.tar\.gz",
        r"korvane_machines-[\d.]+-py3-none-any\.whl",
        r"korvane_machines-[\d.]+\.tar\.gz",
        r"korvane_stack-[\d.]+-py3-none-any\.whl",
        r"korvane_stack-[\d.]+\.tar\.gz",
    ] + [rf"korvane-[\d.]+-cp{v.replace('.', '')}-cp{v.replace('.', '')}-manylinux[\w.]*_{arch}\.whl"
         for v in PYTHONS for arch in ARCHS]
    for pattern in expected:
        assert sum(bool(re.fullmatch(pattern, name)) for name in names) == 1, (pattern, names)
    assert len(names) == len(expected), names


@pytest.mark.parametrize("archive", archives(), ids=lambda path: path.name)
def test_metadata_an_index_accepts(archive):
    meta = metadata(archive)
    files = members(archive)
    name = distribution(archive)

    assert meta["Name"] == name
    assert meta["License-Expression"] == "Apache-2.0"
    assert meta.get_all("License-File") == ["LICENSE"]
    licences = [body for path, body in files.items() if path.endswith("/LICENSE")]
    assert licences == [LICENSE], "exactly one LICENSE, the project's own"
    assert CLASSIFIERS[name] <= set(meta.get_all("Classifier"))
    assert meta["Description-Content-Type"] == "text/markdown"

    # The long description is shown on the index, away from the repository:
    # a link may only point at an absolute address.
    description = meta.get_payload()
    assert description.startswith("# "), "the README is the long description"
    targets = re.findall(r"\]\(([^)]*)\)", description) + re.findall(r'href="([^"]*)"', description)
    assert [t for t in targets if not t.startswith("https://")] == []


KORVANE_WHEELS = [path for path in archives() if path.name.startswith("korvane-") and path.suffix == ".whl"]


@pytest.mark.parametrize("wheel", KORVANE_WHEELS, ids=lambda path: path.name)
def test_korvane_wheel_is_manylinux_and_exports_only_its_init(wheel, tmp_path):
    platforms, glibc_minor, arch = PLATFORM.search(wheel.name).groups()
    assert glibc_minor == "17" or arch == "x86_64", wheel.name
    version = re.search(r"-cp(\d)(\d+)-", wheel.name).groups()
    files = members(wheel)
    assert "korvane-stubs/__init__.pyi" in files
    suffix = rf"\.cpython-{''.join(version)}-{arch}-linux-gnu\.so"
    for pattern, init in ((rf"korvane{suffix}", "PyInit_korvane"),
                          (rf"korvane_tools/_rules{suffix}", "PyInit__rules")):
        found = [name for name in files if re.fullmatch(pattern, name)]
        assert len(found) == 1, (pattern, sorted(files))
        name = found[0]
        module = tmp_path / name.replace("/", "_")
        module.write_bytes(files[name])
        check_module(module, init, arch, ".".join(version), int(glibc_minor))
    wheel_info = next(body for name, body in files.items() if name.endswith(".dist-info/WHEEL"))
    tags = re.findall(r"^Tag: (.+)$", wheel_info.decode(), re.MULTILINE)
    assert sorted(tag.split("-")[-1] for tag in tags) == platforms.split("."), tags


ELF_MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}


def check_module(module: Path, init: str, arch: str, version: str, glibc_minor: int) -> None:
    header = run(["readelf", "-h", module])
    assert re.search(rf"Machine:\s+{ELF_MACHINES[arch]}$", header, re.MULTILINE), header
    exported = dynamic_symbols(module, "--defined-only")
    assert exported == {init}, exported
    # Nothing newer than the tag's glibc; built by zig, no C++ library of the system.
    listing = run(["nm", "-D", "--undefined-only", module])
    glibc = {tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_([\d.]+)", listing)}
    assert glibc and max(glibc) <= (2, glibc_minor), sorted(glibc)
    if glibc_minor == 17:
        assert not re.search(r"@(GLIBCXX|CXXABI)_", listing)

    # Every symbol the module needs, other than the interpreter's, is one that
    # the system libraries it names export (a member of the static libstdc++
    # can need an internal symbol the shared one hides; the link lets that
    # through, and only the import would fail).
    needed = {name.split("@")[0] for name in dynamic_symbols(module, "--undefined-only")}
    needed = {name for name in needed if not name.startswith(("Py", "_Py"))}
    libraries = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run(["readelf", "-d", module]))
    provided = set()
    for library in libraries:
        provided |= {name.split("@")[0] for name in dynamic_symbols(system_library(library, arch, version),
                                                                    "--defined-only")}
    assert needed - provided == set(), (libraries, sorted(needed - provided))


def system_library(name: str, arch: str, version: str) -> Path:
    """The C library's file of that name: the host's, or for another
    architecture the one in its provisioned interpreter's tree."""
    if arch == os.uname().machine:
        cache = run(["ldconfig", "-p"])
        return Path(re.search(rf"^\s+{re.escape(name)} \(.*\) => (\S+)$", cache, re.MULTILINE).group(1))
    if version not in EMULATED:
        pytest.skip(f"no {arch} interpreter for {version} given (KORVANE_DIST_EMULATED)")
    return Path(EMULATED[version]).parents[2] / "usr" / "lib" / f"{arch}-linux-gnu" / name


def dynamic_symbols(library: Path, which: str) -> set[str]:
    """Names of the global dynamic symbols: nm's upper-case kinds, "u" (unique
    global) and "i" (indirect function, as the C library's memcpy). Local ones (a link-time-optimised link leaves some in the
    table) take part in no lookup, and weak references ("w", "v") may stay
    unresolved."""
    listing = subprocess.run(["nm", "-D", which, str(library)], capture_output=True, text=True,
                             check=True).stdout
    return {fields[-1] for fields in map(str.split, listing.splitlines())
            if fields and (fields[-2].isupper() or fields[-2] in ("u", "i"))}


def run(command: list, **kwargs) -> str:
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, (f"{' '.join(map(str, command))} exited {done.returncode}\n"
                                  f"--- stdout\n{done.stdout}\n--- stderr\n{done.stderr}")
    return done.stdout


RUN_MACHINE = textwrap.dedent("""
    import json, sys
    import korvane

    class Sink:
        def __init__(self):
            self.values = []
        def emit_batch(self, run_id, start, values):
            self.values.extend(values)
        def record_capability_outputs(self, run_id, outputs):
            pass
        def record_capability_receipts(self, run_id, receipts):
            pass

    sink = Sink()
    prepared = korvane.Runtime.discover().prepare(
        "stack", b"read\\nread\\nadd\\nemit\\n", input_schedule=[2, 40],
        observation={"expected_outputs": [42]})
    result = prepared.execute([sink], korvane.FileRecorder(sys.argv[1]))
    print(json.dumps({"result": result, "sink": sink.values, "module": korvane.__file__}))
""")


def run_machine(venv: Path, work: Path) -> dict:
    script = work / "run_machine.py"
    script.write_text(RUN_MACHINE, encoding="utf-8")
    recording = work / "run.jsonl"
    # -I: the venv alone counts, not this checkout or PYTHONPATH.
    report = json.loads(run([venv / "bin" / "python", "-I", script, recording], cwd=work))
    assert Path(report["module"]).resolve().is_relative_to(venv.resolve())
    result = report["result"]
    assert [result[f]["status"] for f in ("machine_execution", "evidence_fulfillment",
                                          "python_sink_delivery", "recorder_finalization",
                                          "publication")] == \
        ["completed", "complete", "complete", "finalized", "published"]
    assert result["outputs"] == report["sink"] == [42]
    assert recording.read_text(encoding="utf-8").splitlines()[-1].startswith('{"event":"run_finished"')
    return report


# A bundle whose results carry doubles: korvane reads every number of a result
# when it checks it, with the double conversion the wheel carries itself.
FLOAT_BUNDLE = textwrap.dedent("""
    import json

    def provider():
        return json.dumps({"protocol": "korvane.python_bundle",
                           "protocol_version": {"major": 2, "minor": 0, "patch": 0},
                           "machine_id": "floats", "distribution": "korvane-floats",
                           "module": "korvane_floats", "prepare_function": "prepare",
                           "execute_function": "execute", "bundle_version": "0"})

    def prepare(artifact, run_id, *inputs):
        return json.loads(inputs[0])

    def execute(prepared, sinks, recorder_path):
        return {"machine_execution": {"status": "completed"},
                "evidence_fulfillment": {"status": "complete", "score": prepared},
                "python_sink_delivery": {"status": "not_requested"},
                "recorder_finalization": {"status": "not_requested"},
                "publication": {"status": "not_published"}, "published_run": None}
""")
FLOATS = [0.1, -2.5, 1e300, 5e-324, -0.0, 1.7976931348623157e308, 123456.789e-20]


def check_doubles(venv: Path, work: Path) -> None:
    (site,) = (venv / "lib").glob("python3.*/site-packages")
    (site / "korvane_floats.py").write_text(FLOAT_BUNDLE, encoding="utf-8")
    info = site / "korvane_floats-0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: korvane-floats\nVersion: 0\n")
    (info / "entry_points.txt").write_text("[korvane.machine_bundles]\nfloats = korvane_floats:provider\n")
    script = work / "run_floats.py"
    script.write_text(textwrap.dedent(f"""
        import korvane
        prepared = korvane.Runtime.discover().prepare("floats", b"", configuration={FLOATS!r})
        assert prepared.execute()["evidence_fulfillment"]["score"] == {FLOATS!r}
    """), encoding="utf-8")
    run([venv / "bin" / "python", "-I", script], cwd=work)


def fresh_venv(python: str, where: Path) -> Path:
    # The provisioned interpreter makes venvs the usual way, pip included.
    run([python, "-m", "venv", where])
    return where


OFFLINE = {**os.environ, "PIP_CONFIG_FILE": os.devnull, "PIP_DISABLE_PIP_VERSION_CHECK": "1"}


@pytest.mark.parametrize("version", sorted(PYTHONS))
def test_machines_stack_installs_from_dist_alone_and_runs(version, tmp_path):
    venv = fresh_venv(PYTHONS[version], tmp_path / "venv")
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-cache-dir",
         "--find-links", DIST, "korvane-machines[stack]"], env=OFFLINE)
    installed = run([venv / "bin" / "python", "-m", "pip", "list", "--format=json"], env=OFFLINE)
    names = {item["name"] for item in json.loads(installed)}
    assert {"korvane", "korvane-stack", "korvane-machines"} <= names
    run_machine(venv, tmp_path)
    check_doubles(venv, tmp_path)


# The module's own tests (those run under emulation for aarch64) against each
# x86_64 wheel as installed: its module is built by another compiler than
# the one the other stages test (zig's clang, by default).
@pytest.mark.parametrize("version", sorted(PYTHONS))
def test_x86_64_wheel_passes_the_module_tests(version, tmp_path):
    wheels = os.environ.get("KORVANE_DIST_TEST_WHEELS")
    if not wheels:
        pytest.skip("KORVANE_DIST_TEST_WHEELS is not set (a folder holding pytest's wheels)")
    venv = fresh_venv(PYTHONS[version], tmp_path / "venv")
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-cache-dir",
         "--find-links", DIST, "--find-links", wheels, "korvane", "pytest"], env=OFFLINE)
    tests = ROOT / "python" / "korvane" / "tests" / "python"
    module = run([venv / "bin" / "python", "-I", "-c", "import korvane; print(korvane.__file__)"], cwd=tmp_path)
    assert module.strip().endswith("-x86_64-linux-gnu.so") and Path(module.strip()).is_relative_to(venv)
    run([venv / "bin" / "python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
         *(tests / name for name in EMULATED_TESTS)], cwd=tmp_path)


def emulated_venv(python: str, where: Path) -> Path:
    """A venv of an aarch64 interpreter whose bin/python runs on this host.

    There is no binfmt_misc here, so an aarch64 program cannot be started
    directly: bin/python becomes a script that starts the interpreter under
    qemu with the script's own path as argv[0]. The interpreter then finds the
    venv from it, and sys.executable is the script, so an interpreter that a
    test starts as a child goes through qemu too."""
    root = Path(python).parents[2]
    run([QEMU, "-L", root, python, "-m", "venv", "--without-pip", where])
    exe = where / "bin" / "python"
    exe.unlink()
    # Compiling is the slow part under emulation: the interpreter keeps the
    # bytecode it compiles, whatever the caller's environment says.
    exe.write_text(f'#!/bin/sh\nunset PYTHONDONTWRITEBYTECODE\n'
                   f'exec {QEMU} -L "{root}" -0 "$0" "{python}" "$@"\n', encoding="utf-8")
    exe.chmod(0o755)
    return where


@pytest.fixture(scope="session")
def emulated_pip(tmp_path_factory):
    """Runs pip in a version's emulated venv, from its interpreter's own pip
    wheel (it cannot be installed by ensurepip, which starts a child
    interpreter by its real path). The wheel is unpacked once per version and
    byte-compiled by the host's interpreter of that version: bytecode does not
    depend on the architecture, and the host compiles it in a second, not half
    a minute. What pip installs is not byte-compiled: the tests import little of it."""
    unpacked: dict[str, Path] = {}

    def pip(version: str, venv: Path, *args) -> None:
        if version not in unpacked:
            pythons = Path(EMULATED[version]).parents[2] / "usr" / "share" / "python-wheels"
            (wheel,) = pythons.glob("pip-*.whl")
            unpacked[version] = tmp_path_factory.mktemp("pip")
            with zipfile.ZipFile(wheel) as archive:
                archive.extractall(unpacked[version])
            if version in PYTHONS:
                run([PYTHONS[version], "-m", "compileall", "-q", "-j0", unpacked[version]])
        run([venv / "bin" / "python", unpacked[version] / "pip", "install", "-q", "--no-index",
             "--no-cache-dir", "--no-compile", "--find-links", DIST, *args], env=OFFLINE)

    return pip


# The module's own tests that run under emulation: its life and surface and
# the whole road through execute (prepare runs in the machine below). Speed
# means nothing there. One test is left out: it counts the process's threads
# over 30 executes of a large result, a minute under emulation, and whether a
# thread starts does not depend on the architecture.
EMULATED_TESTS = ["test_module.py", "test_execute.py"]
EMULATED_SKIPPED = "test_a_large_result_is_checked_on_the_calling_thread"


@pytest.mark.parametrize("version", sorted(EMULATED))
def test_aarch64_wheel_installs_and_runs_under_emulation(version, tmp_path, emulated_pip):
    python = EMULATED[version]
    venv = emulated_venv(python, tmp_path / "venv")
    wheels = os.environ.get("KORVANE_DIST_TEST_WHEELS")
    # First korvane alone, as the module's tests expect no bundle installed.
    # They run on the first version only: under emulation they take minutes
    # per version, and every version's module is built from the same source
    # by the same cross-compiler (the machine below runs on each).
    if wheels and version == min(EMULATED):
        emulated_pip(version, venv, "--find-links", wheels, "korvane", "pytest")
        tests = ROOT / "python" / "korvane" / "tests" / "python"
        run([venv / "bin" / "python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
             "-k", f"not {EMULATED_SKIPPED}", *(tests / name for name in EMULATED_TESTS)],
            cwd=tmp_path)
    emulated_pip(version, venv, "korvane-machines[stack]")
    report = run_machine(venv, tmp_path)
    assert report["module"].endswith("-aarch64-linux-gnu.so")
    check_doubles(venv, tmp_path)
    if not wheels:
        pytest.skip("KORVANE_DIST_TEST_WHEELS is not set (a folder holding pytest's wheels): "
                    "the module's tests were not run")


def test_korvane_sdist_builds_a_wheel_that_runs(tmp_path):
    (sdist,) = DIST.glob("korvane-*.tar.gz")
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path / "src", filter="data")
    (source,) = (tmp_path / "src").iterdir()
    python = PYTHONS.get("3.14") or next(iter(PYTHONS.values()), sys.executable)
    venv = fresh_venv(python, tmp_path / "venv")
    # Build requirements come from the index into an isolated environment, as
    # for any user who installs from the sdist.
    run([venv / "bin" / "python", "-m", "pip", "wheel", "-q", "--no-deps", "-w", tmp_path / "wheels",
         source])
    (built,) = (tmp_path / "wheels").glob("korvane-*.whl")
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--find-links", DIST,
         built, "korvane-stack"], env=OFFLINE)
    run_machine(venv, tmp_path)
