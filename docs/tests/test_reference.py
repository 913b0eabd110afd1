"""The reference pages of the built site (build/docs/html, which the docs
stage builds first) hold every public name, in the order a reader needs:
korvane's four run-time names first, then the types for type checkers; the
tools' modules by their __all__, wherever each name is defined."""

from __future__ import annotations

import ast
import importlib
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs" / "html"
STUBS = ROOT / "python" / "korvane" / "stubs" / "korvane.pyi"
ENTRY = re.compile(r'<dt class="sig sig-object py" id="([^"]+)"')


def entries(page: str, module: str) -> list[str]:
    """The names the page describes at the top level of `module`, in order."""
    path = SITE / page
    if not path.is_file():
        pytest.fail(f"{path} is missing: build the site first (tools/docs.sh)")
    found = [name.removeprefix(module + ".") for name in ENTRY.findall(path.read_text(encoding="utf-8"))]
    return [name for name in found if "." not in name]


def test_api_reference_leads_with_what_runs_machines():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    defined = [node.name for node in tree.body if isinstance(node, ast.ClassDef | ast.FunctionDef)]
    public = {name for name in defined if not name.startswith("_")}
    shown = entries("reference/api.html", "korvane")
    assert shown[:4] == ["Runtime", "PreparedRun", "FileRecorder", "discover_bundles"]
    assert sorted(shown) == sorted(public), "each public name of the stubs once"


@pytest.mark.parametrize("module", ["korvane_tools.campaign", "korvane_tools.testing"])
def test_tools_reference_holds_the_public_names(module):
    names = list(importlib.import_module(module).__all__)
    assert entries(f"reference/{module.rsplit('.', 1)[1]}.html", module) == names
