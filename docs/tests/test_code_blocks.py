"""Every ```python block of the README and of every page of the site runs,
and passes `mypy --strict`.

Each block runs on its own in a fresh interpreter of this venv, in an empty
working folder. A block whose first lines hold `# requires: korvane-stack`
gets the example bundle installed for it: its sources copied into a folder on
PYTHONPATH beside a dist-info that carries the bundle's entry point, which is
what importlib.metadata finds for a pip-installed wheel; when the venv has the
bundle installed already, that one serves (a second copy would make discovery
refuse the repeated machine id). Blocks without the marker must work whether
or not bundles are installed.

A reader may copy a block into a typed code base, so each is type-checked as
it stands, as a module of its own, against korvane's stubs and korvane_tools
as installed here. The example bundles ship no type information, so their
modules are typed as Any, as they are for a reader who imports them.
"""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tomllib
from collections import defaultdict
from importlib import metadata

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
STACK = ROOT / "bundles" / "stack"
BUNDLES = {"korvane-stack": STACK}

# A line of mypy's report on a block's file: block_NN.py:LINE: error: ...
MYPY_LINE = re.compile(r"^block_(\d+)\.py:(\d+): (?:error|note): (.*)$")

BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
REQUIRES = re.compile(r"^# requires: (.+)$", re.MULTILINE)


def python_blocks(text: str) -> list[tuple[int, str]]:
    """(line number, code) of every ```python block."""
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in BLOCK.finditer(text)]


def required_bundles(code: str) -> list[str]:
    head = "\n".join(code.splitlines()[:3])
    return [name.strip() for match in REQUIRES.findall(head) for name in match.split(",")]


def installed(name: str) -> bool:
    try:
        metadata.distribution(name)
    except metadata.PackageNotFoundError:
        return False
    return True


def install_source_bundle(project: pathlib.Path, site: pathlib.Path) -> None:
    """Copies a src-layout bundle into `site` with a dist-info naming its entry points."""
    meta = tomllib.loads((project / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    if installed(meta["name"]):
        return
    for package in (project / "src").iterdir():
        if package.is_dir() and (package / "__init__.py").is_file():
            shutil.copytree(package, site / package.name, ignore=shutil.ignore_patterns("__pycache__"))
    info = site / f"{meta['name'].replace('-', '_')}-0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {meta['name']}\nVersion: 0\n", encoding="utf-8")
    lines = []
    for group, entries in meta.get("entry-points", {}).items():
        lines.append(f"[{group}]")
        lines += [f"{name} = {target}" for name, target in entries.items()]
    (info / "entry_points.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")


BLOCKS = [
    (f"{page.relative_to(ROOT)}:{line}", code)
    for page in PAGES
    for line, code in python_blocks(page.read_text(encoding="utf-8"))
]


def test_the_pages_have_their_examples():
    where = {place.split(":")[0] for place, _ in BLOCKS}
    needing_stack = [code for _, code in BLOCKS if "korvane-stack" in required_bundles(code)]
    assert {"README.md", "docs/using.md", "docs/bundles/testing.md"} <= where
    assert len(BLOCKS) >= 8 and len(needing_stack) >= 3


def test_the_readme_stays_short():
    # What it cannot say in 150 lines belongs on a page of the site.
    assert len((ROOT / "README.md").read_text(encoding="utf-8").splitlines()) <= 150


def test_requires_marker_is_read_from_the_head_of_a_block():
    assert required_bundles("# requires: korvane-stack\nimport korvane\n") == ["korvane-stack"]
    assert required_bundles("import korvane\n\n\n# requires: korvane-stack\n") == []
    assert python_blocks("x\n```python\nprint(1)\n```\n") == [(3, "print(1)\n")]


@pytest.mark.parametrize("place,code", BLOCKS, ids=[place for place, _ in BLOCKS])
def test_block_runs(place, code, tmp_path):
    needs = required_bundles(code)
    unknown = [name for name in needs if name not in BUNDLES]
    assert not unknown, f"{place} requires unknown bundles {unknown}"
    site = tmp_path / "site"
    site.mkdir()
    for name in needs:
        install_source_bundle(BUNDLES[name], site)
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), env.get("PYTHONPATH", "")]))
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    proc = subprocess.run([sys.executable, "-c", code], cwd=work, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"the block at {place} failed:\n{proc.stdout}\n{proc.stderr}"


def bundle_modules(project: pathlib.Path) -> list[str]:
    """The top-level packages of a src-layout bundle."""
    return sorted(p.name for p in (project / "src").iterdir() if (p / "__init__.py").is_file())


@pytest.fixture(scope="module")
def type_errors(tmp_path_factory: pytest.TempPathFactory) -> dict[int, list[str]]:
    """mypy --strict over every block at once (one run is much faster than
    one a block), each block its own module: the errors of block N, as
    "page:line: message"."""
    folder = tmp_path_factory.mktemp("typed-blocks")
    untyped = [name for project in BUNDLES.values() for name in bundle_modules(project)]
    sections = [f"[mypy-{name}.*,{name}]\nignore_missing_imports = True\nfollow_imports = skip\n" for name in untyped]
    (folder / "mypy.ini").write_text("\n".join(["[mypy]\nstrict = True\nwarn_unused_ignores = True\n", *sections]))
    files = [f"block_{number:02d}.py" for number in range(len(BLOCKS))]
    for file, (_, code) in zip(files, BLOCKS):
        (folder / file).write_text(code, encoding="utf-8")
    command = [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--cache-dir", "cache", *files]
    proc = subprocess.run(command, cwd=folder, capture_output=True, text=True, timeout=300)
    # 0: no errors, 1: errors in the blocks; anything else is mypy failing.
    assert proc.returncode in (0, 1), f"mypy did not run:\n{proc.stdout}\n{proc.stderr}"
    errors: dict[int, list[str]] = defaultdict(list)
    for line in proc.stdout.splitlines():
        match = MYPY_LINE.match(line)
        if match:
            number, at, message = match.groups()
            page, start = BLOCKS[int(number)][0].rsplit(":", 1)
            errors[int(number)].append(f"{page}:{int(start) + int(at) - 1}: {message}")
    assert proc.returncode == 0 or errors, f"mypy failed on no block:\n{proc.stdout}\n{proc.stderr}"
    return errors


@pytest.mark.parametrize("number", range(len(BLOCKS)), ids=[place for place, _ in BLOCKS])
def test_block_type_checks(number, type_errors):
    assert not type_errors.get(number), "mypy --strict:\n" + "\n".join(type_errors[number])
