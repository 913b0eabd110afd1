"""The korvane documentation site: Sphinx, Furo and MyST Markdown.

Built by `make docs` (tools/docs.sh) into build/docs/html with warnings as
errors and every cross-reference checked. The API reference is written from
the type stubs by sphinx-autoapi; the references of korvane_tools.campaign
and korvane_tools.testing by autodoc from the installed modules' public names
(__all__); the command reference and the sample output come from the
installed korvane at build time (_ext/korvane_docs.py).
"""

from __future__ import annotations

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "korvane"
author = "the korvane developers"
copyright = "the korvane developers; Apache License 2.0"
try:
    import tomllib

    release = tomllib.loads((ROOT / "python/korvane/pyproject.toml").read_text())["project"]["version"]
except OSError, KeyError:
    release = ""
version = release

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.autodoc", "korvane_docs"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
# command-notes.md: notes on the command for these pages, folded into them;
# never a page of its own.
exclude_patterns = ["_build", "_ext", "tests", "requirements.txt", "**/README.md", "command-notes.md"]
root_doc = "index"
# `name` in the stubs' docstrings is code, as in Markdown.
default_role = "literal"

# Every internal reference must resolve (a broken one is a warning, and
# warnings fail the build).
nitpicky = True
nitpick_ignore_regex = [
    # Names from the standard library and typing: no inventory is fetched, so
    # they cannot be linked.
    (r"py:.*", r"(typing|typing_extensions|collections\.abc|argparse|pathlib|dataclasses|os|concurrent\.futures)\..*"),
    (
        r"py:class",
        r"(Any|Literal|Protocol|ReadOnly|Self|TypedDict|TypeVar|object|str|bytes|int|float|bool|dict|list|tuple|None)",
    ),
    (r"py:class", r"(Sequence|Mapping|Iterable|Callable|TextIO)"),
    # Names private to the stubs.
    (r"py:.*", r"(korvane\.)?_S"),
    (r"py:class", r"bundles\..*|korvane_tools\.bundles\..*"),
]

# A block whose text its language's lexer cannot read (a JSON example with
# "..." in it) is still shown, plainly; that alone does not fail the build.
suppress_warnings = ["misc.highlighting_failure"]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# The API reference of the module, from its type stubs alone: nothing is
# imported and nothing is copied by hand.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "python/korvane/stubs")]
autoapi_file_patterns = ["*.pyi"]
# Rendered by the directives on reference/api.md, each name in its place
# (what a caller uses first, then the types for type checkers), not as pages
# of its own.
autoapi_generate_api_docs = False
autoapi_add_toctree_entry = False
autoapi_options = ["members", "undoc-members", "show-inheritance", "special-members", "imported-members"]
autoapi_member_order = "bysource"
autodoc_typehints = "signature"
# A module's names in the order of its __all__, wherever they are defined:
# a module that re-exports names from a package of its own is documented as
# one that defines them.
autodoc_member_order = "bysource"

html_theme = "furo"
html_title = f"korvane {release}"
html_static_path = ["_static"]
html_css_files = ["korvane.css"]
html_copy_source = False
html_show_sourcelink = False
html_theme_options = {"navigation_with_keys": True}
pygments_style = "sphinx"
