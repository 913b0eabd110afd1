"""Pages that show what the installed korvane says, produced when the site is built.

Three kinds of fenced block are replaced before a page is parsed:

    ```{korvane-command-reference}
    ```
        every subcommand's usage and help, from korvane_tools.cli.parser(), the
        parser the command itself runs: the reference follows the command.

    ```{korvane-session}
    # bundles: stack clock dice
    # new: echo
    $ korvane check
    $ echo $?
    ```
        the commands run in a fresh folder (one bash script, plain output,
        standard error merged into standard output), with the named bundles
        importable (and those `korvane new` writes there, installed), and
        shown with what they printed.

    ```{korvane-new} NAME
    ```
        the files that `korvane new NAME` writes, each in a block of its own.

A toctree line "optional: NAME" stands for the page NAME when it exists and
for nothing otherwise (see OPTIONAL below).

It also reads korvane_tools' plain-text docstrings for autodoc (an indented
example becomes a code block), marks inline code that holds a command-line
option so that _static/korvane.css keeps it on one line, and writes the
pages' text into _static/search-pages.js, from which _static/offline-search.js
gives the search its excerpts when the site is read from a file.

The bundles a session can name are korvane-stack (from bundles/stack) and the
broken ones in BROKEN below, each given to korvane as an installed
distribution would be: its package on the path and a dist-info holding its
entry point. Nothing is installed into the build's own environment.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import tomllib
from typing import Any

from docutils import nodes

HERE = pathlib.Path(__file__).resolve().parents[1]
ROOT = HERE.parent
STACK = ROOT / "bundles" / "stack"
WIDTH = "88"

FENCE = re.compile(r"^```\{(korvane-[a-z-]+)\}[ \t]*(.*?)\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

# Bundles with the mistakes bundle authors make, one each: (distribution,
# version, entry-point name, entry-point value, package, package source).
METADATA = """\
    "protocol": "korvane.python_bundle",
    "protocol_version": {{"major": 2, "minor": 0, "patch": 0}},
    "machine_id": "{machine}", "distribution": "{distribution}", "module": "{package}",
    "prepare_function": "prepare", "execute_function": "{execute}","""
FUNCTIONS = "\n\ndef prepare(*args):\n    return args\n\n\ndef execute(prepared, sinks, path):\n    return {}\n"


RESULT_WITH_NAN = """

def prepare(*args):
    return args


def execute(prepared, sinks, path):
    return {"machine_execution": {"status": "completed"}, "evidence_fulfillment": {"status": "complete"},
            "python_sink_delivery": {"status": "complete"}, "recorder_finalization": {"status": "not_requested"},
            "publication": {"status": "not_published"}, "published_run": None,
            "outputs": {"count": 3, "mean": float("nan")}}
"""


def _provider(
    package: str,
    distribution: str,
    machine: str,
    body: str = "",
    execute: str = "execute",
    version: str = '"bundle_version": "1.0.0",',
    returns: str = "json.dumps",
    functions: str = FUNCTIONS,
    head: str = "",
) -> str:
    members = METADATA.format(machine=machine, distribution=distribution, package=package, execute=execute)
    return (
        f"{head}import json\n\n\ndef provider():\n{body}    return {returns}({{\n{members}\n    {version}\n    }})\n"
        + functions
    )


BROKEN: dict[str, tuple[str, str, str, str, str, str]] = {
    "clock": (
        "korvane-clock",
        "1.1.0",
        "clock",
        "korvane_clock:provider",
        "korvane_clock",
        _provider("korvane_clock", "korvane-clock", "clock", returns="dict"),
    ),
    "dice": (
        "korvane-dice",
        "0.2.0",
        "dice",
        "korvane_dice:provder",
        "korvane_dice",
        _provider("korvane_dice", "korvane-dice", "dice"),
    ),
    "echo": (
        "korvane-echo",
        "1.0.0",
        "echo",
        "korvane_echo:provider",
        "korvane_echo",
        _provider("korvane_echo", "korvane-echo", "echo", execute="excute"),
    ),
    "fan": (
        "korvane-fan",
        "2.0.0",
        "fan",
        "korvane_fan:provider",
        "korvane_fan",
        _provider("korvane_fan", "korvane-fan", "fan", body="    settings = open('fan-settings.json').read()\n"),
    ),
    "lamp": (
        "korvane-lamp",
        "0.3.0",
        "lamp",
        "korvane_lamp:provider",
        "korvane_lamp",
        _provider("korvane_lamp", "korvane-lamp", "lamp", version=""),
    ),
    "parrot": (
        "korvane-parrot",
        "0.1.0",
        "parrot",
        "korvane_parrot:provider",
        "korvane_parrot",
        _provider("korvane_parrot", "korvane-parrot", "stack"),
    ),
    # Faults that discovery lets through and a run would meet later.
    "gauge": (
        "korvane-gauge",
        "0.4.0",
        "gauge",
        "korvane_gauge:provider",
        "korvane_gauge",
        _provider(
            "korvane_gauge",
            "korvane-gauge",
            "gauge",
            functions=FUNCTIONS.replace("def prepare(*args)", "def prepare(artifact, run_id)"),
        ),
    ),
    "meter": (
        "korvane-meter",
        "1.2.0",
        "meter",
        "korvane_meter:provider",
        "korvane_meter",
        _provider("korvane_meter", "korvane-metre", "meter"),
    ),
    "knob": (
        "korvane-knob",
        "0.1.0",
        "knob",
        "korvane_knob:provider",
        "korvane_knob",
        _provider("korvane_knob", "korvane-knob", "knob"),
    ),
    "stats": (
        "korvane-stats",
        "0.9.0",
        "stats",
        "korvane_stats:provider",
        "korvane_stats",
        _provider("korvane_stats", "korvane-stats", "stats", functions=RESULT_WITH_NAN),
    ),
    # A module that ends the interpreter when it is imported.
    "crash": (
        "korvane-crash",
        "0.0.1",
        "crash",
        "korvane_crash:provider",
        "korvane_crash",
        _provider("korvane_crash", "korvane-crash", "crash", head="import os\n\nos._exit(3)\n\n"),
    ),
}
# Entry points registered in a group other than korvane's.
GROUPS = {"knob": "korvane.machine_bundle"}

# Files every session finds in its folder.
FILES = {
    "count-down.stk": "        read\nloop:   dup\n        emit\n        push 1\n        sub\n        dup\n        jnz loop\n",
    "result.json": '{"machine_execution": {"status": "complete"}, "evidence_fulfillment": {"status": "complete"},\n'
    ' "python_sink_delivery": {"status": "not_requested"},\n'
    ' "recorder_finalization": {"status": "not_requested"},\n'
    ' "publication": {"status": "not_published"}, "published_run": null}\n',
    "nothing.art": "",
}


def _dist_info(
    site: pathlib.Path, distribution: str, version: str, entry: str, value: str, group: str = "korvane.machine_bundles"
) -> None:
    info = site / f"{distribution.replace('-', '_')}-{version}.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {distribution}\nVersion: {version}\n")
    (info / "entry_points.txt").write_text(f"[{group}]\n{entry} = {value}\n")


def _install_project(site: pathlib.Path, project: pathlib.Path, version: str = "0") -> None:
    """A project folder given to korvane as pip would install it: its packages
    (src layout or flat) on the path, and a dist-info with its entry points."""
    meta = tomllib.loads((project / "pyproject.toml").read_text())["project"]
    base = project / "src" if (project / "src").is_dir() else project
    for package in base.iterdir():
        if package.is_dir() and (package / "__init__.py").is_file() and package.name != "tests":
            shutil.copytree(package, site / package.name, ignore=shutil.ignore_patterns("__pycache__"))
    version = meta.get("version", version)
    for entry, value in meta.get("entry-points", {}).get("korvane.machine_bundles", {}).items():
        _dist_info(site, meta["name"], version, entry, value)


def _install(site: pathlib.Path, name: str) -> None:
    if name == "stack":
        version = re.search(
            r'^__version__ = "(.+)"', (STACK / "src/korvane_stack/_version.py").read_text(), re.MULTILINE
        )
        _install_project(site, STACK, version.group(1) if version else "0")
        return
    distribution, version, entry, value, package, source = BROKEN[name]
    (site / package).mkdir()
    (site / package / "__init__.py").write_text(source)
    _dist_info(site, distribution, version, entry, value, GROUPS.get(name, "korvane.machine_bundles"))


def _environment(bin_dir: pathlib.Path, site: pathlib.Path | None) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if not key.startswith(("PYTHON", "FORCE_COLOR"))}
    env.update(
        NO_COLOR="1",
        TERM="dumb",
        COLUMNS=WIDTH,
        PYTHONDONTWRITEBYTECODE="1",
        PYTHONSAFEPATH="1",
        PATH=f"{bin_dir}{os.pathsep}{env.get('PATH', '')}",
    )
    if site is not None:
        env["PYTHONPATH"] = str(site)
    return env


def _fence(language: str, text: str) -> str:
    ticks = "````" if "```" in text else "```"
    return f"{ticks}{language}\n{text.rstrip()}\n{ticks}"


def _bin_dir() -> pathlib.Path:
    return pathlib.Path(sys.executable).parent


def command_reference(_argument: str, _body: str) -> str:
    from korvane_tools import cli

    os.environ.setdefault("NO_COLOR", "1")
    os.environ["COLUMNS"] = WIDTH
    top = cli.parser()
    subcommands: dict[str, argparse.ArgumentParser] = {}
    helps: dict[str, str] = {}
    for action in top._actions:
        if isinstance(action, argparse._SubParsersAction):
            subcommands.update(action.choices)
            helps.update({choice.dest: choice.help or "" for choice in action._choices_actions})
    parts = ["### korvane", "", _fence("text", ANSI.sub("", top.format_help()))]
    for name, sub in subcommands.items():
        parts += [
            "",
            f"### korvane {name}",
            "",
            helps.get(name, ""),
            "",
            _fence("text", ANSI.sub("", sub.format_help())),
        ]
    return "\n".join(parts)


def _has_subcommand(name: str) -> bool:
    from korvane_tools import cli

    return any(
        name in action.choices for action in cli.parser()._actions if isinstance(action, argparse._SubParsersAction)
    )


NO_NEW = (
    "```{note}\nThis build's `korvane` command has no `new` subcommand yet; what it writes is shown once it has.\n```"
)


def session(_argument: str, body: str) -> str:
    lines = body.splitlines()
    bundles = [name for line in lines if line.startswith("# bundles:") for name in line.split(":", 1)[1].split()]
    new = [name for line in lines if line.startswith("# new:") for name in line.split(":", 1)[1].split()]
    commands = [line[2:] for line in lines if line.startswith("$ ")]
    if new and not _has_subcommand("new"):
        return NO_NEW
    marker = "@@korvane-session@@"
    with tempfile.TemporaryDirectory(prefix="korvane-docs-") as folder:
        work = pathlib.Path(folder) / "work"
        site = pathlib.Path(folder) / "site-packages"
        work.mkdir()
        site.mkdir()
        for name in bundles:
            _install(site, name)
        for name in new:
            _korvane_new(name, work)  # written into the session's folder, and installed
            _install_project(site, work / name)
        for name, text in FILES.items():
            (work / name).write_text(text)
        script = "".join(f"rc=$?; printf '%s\\n' '{marker}'; (exit $rc)\n{command}\n" for command in commands)
        proc = subprocess.run(
            ["bash", "-c", script],
            cwd=work,
            env=_environment(_bin_dir(), site),
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            timeout=300,
        )
        output = ANSI.sub("", proc.stdout).replace(str(site), "/venv/lib/python3.14/site-packages")
    outputs = output.split(marker + "\n")[1:]
    shown = []
    for command, printed in zip(commands, outputs):
        shown.append(f"$ {command}\n{printed}".rstrip("\n"))
    return _fence("text", "\n".join(shown))


LANGUAGES = {".py": "python", ".toml": "toml", ".md": "markdown", ".cfg": "ini", ".txt": "text"}


def _korvane_new(name: str, folder: str | pathlib.Path) -> subprocess.CompletedProcess[str]:
    """`korvane new NAME` run in `folder`; its failure, with what it printed, fails the build."""
    proc = subprocess.run(
        ["korvane", "new", name],
        cwd=folder,
        env=_environment(_bin_dir(), None),
        capture_output=True,
        text=True,
        timeout=120,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"korvane new {name} failed:\n{proc.stdout}{proc.stderr}")
    return proc


def new_bundle(argument: str, _body: str) -> str:
    name = argument.strip() or "echo"
    if not _has_subcommand("new"):
        return NO_NEW
    with tempfile.TemporaryDirectory(prefix="korvane-docs-new-") as folder:
        proc = _korvane_new(name, folder)
        parts = [_fence("text", f"$ korvane new {name}\n{ANSI.sub('', proc.stdout + proc.stderr)}")]
        base = pathlib.Path(folder)
        for path in sorted(p for p in base.rglob("*") if p.is_file() and "__pycache__" not in p.parts):
            relative = path.relative_to(base).as_posix()
            text = path.read_text()
            parts.append(f"`{relative}`" + (" (empty: it marks the package as typed)" if not text.strip() else ""))
            if text.strip():
                parts.append(_fence(LANGUAGES.get(path.suffix, "text"), text))
    return "\n\n".join(parts)


HANDLERS = {"korvane-command-reference": command_reference, "korvane-session": session, "korvane-new": new_bundle}


# A toctree line "optional: NAME" lists the page NAME (relative to the
# page's folder, as toctree entries are) once it exists: pages that other
# topics add are linked as soon as they land, and not missed before.
OPTIONAL = re.compile(r"^optional: (\S+)[ \t]*$", re.MULTILINE)


def _source_read(_app: Any, docname: str, source: list[str]) -> None:
    def replace(match: re.Match[str]) -> str:
        return HANDLERS[match.group(1)](match.group(2), textwrap.dedent(match.group(3)))

    def optional(match: re.Match[str]) -> str:
        name = match.group(1)
        return name if (HERE / docname).parent.joinpath(f"{name}.md").is_file() else ""

    source[0] = OPTIONAL.sub(optional, FENCE.sub(replace, source[0]))


def _plain_docstring(_app: Any, _what: str, name: str, _obj: object, _options: Any, lines: list[str]) -> None:
    """korvane_tools' docstrings are plain text, in which a block indented
    under a paragraph is an example of code. reStructuredText would read it
    as a quotation (and fail on its nested indentation), so it is made a
    literal block: a paragraph of "::" alone goes before it."""
    if not name.startswith("korvane_tools"):
        return
    above = ""  # the last line with text
    result: list[str] = []
    for index, line in enumerate(lines):
        opens_block = line.startswith(" ") and index > 0 and not lines[index - 1].strip()
        if opens_block and above and not above.startswith(" ") and not above.rstrip().endswith("::"):
            result += ["::", ""]
        result.append(line)
        if line.strip():
            above = line
    lines[:] = result


# A word of inline code that is a command-line option: -n, --help, --no-color.
OPTION = re.compile(r"^--?[A-Za-z0-9][A-Za-z0-9_-]*(=\S*)?$")


def _mark_options(_app: Any, doctree: nodes.document) -> None:
    """Inline code holding an option gets the class option-text, which
    _static/korvane.css keeps from breaking at the option's hyphens."""
    for literal in doctree.findall(nodes.literal):
        if any(OPTION.match(word) for word in literal.astext().split()):
            literal["classes"].append("option-text")


# The main part of a page as Furo writes it: what Sphinx's search quotes.
MAIN = re.compile(r'<article role="main"[^>]*>(.*?)</article>', re.DOTALL)
# The highlighting in a code block, which an excerpt (plain text) has no use for.
PRE = re.compile(r"<pre>.*?</pre>", re.DOTALL)
SPAN = re.compile(r"</?span[^>]*>")


def _search_page_scripts(app: Any, pagename: str, _template: str, _context: dict[str, Any], _doctree: Any) -> None:
    if pagename == "search":
        app.add_js_file("offline-search.js")


def _write_search_pages(app: Any, exception: BaseException | None) -> None:
    """_static/search-pages.js: the main part of every page, which
    _static/offline-search.js hands Sphinx's search when the site is read
    from a file (where it cannot fetch the pages to quote them)."""
    if exception is not None or app.builder.format != "html":
        return
    out = pathlib.Path(app.outdir)
    main: dict[str, str] = {}
    for page in sorted(out.rglob("*.html")):
        found = MAIN.search(page.read_text(encoding="utf-8"))
        if found and page.name not in ("search.html", "genindex.html"):
            main[page.relative_to(out).as_posix()] = PRE.sub(lambda pre: SPAN.sub("", pre.group(0)), found.group(1))
    (out / "_static" / "search-pages.js").write_text(f"korvaneSearchPages({json.dumps(main)});\n", encoding="utf-8")


def setup(app: Any) -> dict[str, Any]:
    app.connect("source-read", _source_read)
    app.connect("autodoc-process-docstring", _plain_docstring)
    app.connect("doctree-read", _mark_options)
    app.connect("html-page-context", _search_page_scripts)
    app.connect("build-finished", _write_search_pages)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
