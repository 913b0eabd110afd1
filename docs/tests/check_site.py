"""Checks a built site for what a reader without a network needs.

    python docs/tests/check_site.py build/docs/html

Fails (exit 1, the offending files and tags on stderr) when any page loads a
script, style sheet, font or image from another host, or when the search
page cannot work from a file opened locally: its index must be a script
beside it that a <script> tag loads (browsers refuse fetch() from file://),
holding the words of the pages, and the excerpts of its results need the
pages' text in a script too (_static/search-pages.js, loaded by
_static/offline-search.js); or when inline code that holds a
command-line option (`--help`) could break at the option's hyphens: it must
carry the class that the site's style sheet keeps on one line.
"""

from __future__ import annotations

import pathlib
import re
import sys
from html.parser import HTMLParser

# Attributes through which a page loads something when it is shown; a link
# (<a href>) to another site is a link, not a load.
LOADS = {("link", "href"), ("object", "data")}
LOADS |= {(tag, "src") for tag in ("script", "img", "iframe", "source", "video", "audio", "embed")}
# The kinds of <link> that load what they name.
LOADING_LINKS = ("stylesheet", "preload", "icon", "modulepreload", "manifest", "prefetch", "preconnect", "dns-prefetch")
REMOTE = re.compile(r"^\s*(https?:)?//", re.IGNORECASE)
CSS_REMOTE = re.compile(r"(@import\s+(url\()?|url\()\s*['\"]?\s*(https?:)?//", re.IGNORECASE)
# A word of inline code that is an option, and the rule that keeps such code whole.
OPTION = re.compile(r"^--?[A-Za-z0-9][A-Za-z0-9_-]*(=\S*)?$")
NOWRAP = re.compile(r"code\.literal\.option-text span\.pre\s*\{[^}]*white-space:\s*nowrap", re.S)
INLINE_CODE = re.compile(r'<code class="([^"]*\bliteral\b[^"]*)">(.*?)</code>', re.S)
SHEET = re.compile(r'<link rel="stylesheet"[^>]*href="([^"?]+)')
TAG = re.compile(r"<[^>]+>")

# Words (as the index stems them) it must hold: one from each kind of page.
WORDS = ("discov", "provid", "sink", "break", "benchmark", "changelog")


class Loads(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.remote: list[str] = []
        self.scripts: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for name, value in attrs:
            if value and (tag, name) in LOADS and REMOTE.match(value):
                if tag == "link" and dict(attrs).get("rel", "") not in LOADING_LINKS:
                    continue
                self.remote.append(f"<{tag} {name}={value!r}>")
            if tag == "script" and name == "src" and value:
                self.scripts.append(value)
            if name == "style" and value and CSS_REMOTE.search(value):
                self.remote.append(f"<{tag} style={value!r}>")


def option_faults(site: pathlib.Path, page: pathlib.Path) -> list[str]:
    """Inline code holding an option that the page's style sheets let break."""
    html = page.read_text(encoding="utf-8")
    sheets = [page.parent / href for href in SHEET.findall(html)]
    kept = any(NOWRAP.search(sheet.read_text(encoding="utf-8")) for sheet in sheets if sheet.is_file())
    codes = [(classes.split(), TAG.sub("", inner)) for classes, inner in INLINE_CODE.findall(html)]
    return [
        f"{page.relative_to(site)}: the option in <code>{text}</code> may break at its hyphens"
        for classes, text in codes
        if any(OPTION.match(word) for word in text.split()) and not (kept and "option-text" in classes)
    ]


def main(site: pathlib.Path) -> int:
    faults: list[str] = []
    for page in sorted(site.rglob("*.html")):
        parser = Loads()
        parser.feed(page.read_text(encoding="utf-8"))
        faults += [f"{page.relative_to(site)}: {load}" for load in parser.remote]
        faults += option_faults(site, page)
        for style in re.findall(r"<style[^>]*>(.*?)</style>", page.read_text(encoding="utf-8"), re.S):
            if CSS_REMOTE.search(style):
                faults.append(f"{page.relative_to(site)}: a <style> element loads from another host")
    for sheet in sorted(site.rglob("*.css")):
        if CSS_REMOTE.search(sheet.read_text(encoding="utf-8", errors="replace")):
            faults.append(f"{sheet.relative_to(site)}: loads from another host")

    search = Loads()
    search.feed((site / "search.html").read_text(encoding="utf-8"))
    if "searchindex.js" not in search.scripts:
        faults.append("search.html: the search index is not loaded by a <script> tag")
    index = (site / "searchindex.js").read_text(encoding="utf-8")
    if not index.startswith("Search.setIndex("):
        faults.append("searchindex.js: not the script form of the index")
    faults += [f"searchindex.js: no {word!r}" for word in WORDS if f'"{word}"' not in index]
    if "_static/offline-search.js" not in [script.split("?")[0] for script in search.scripts]:
        faults.append("search.html: offline-search.js is not loaded, so results from a file have no excerpts")
    texts = (site / "_static" / "search-pages.js").read_text(encoding="utf-8")
    if not texts.startswith("korvaneSearchPages({"):
        faults.append("_static/search-pages.js: not the script form of the pages' text")
    quoted = [p for p in site.rglob("*.html") if p.name not in ("search.html", "genindex.html")]
    faults += [
        f"_static/search-pages.js: no text of {page.relative_to(site)}"
        for page in quoted
        if f'"{page.relative_to(site).as_posix()}": "' not in texts
    ]

    for fault in faults:
        print(fault, file=sys.stderr)
    pages = sum(1 for _ in site.rglob("*.html"))
    works = "nothing loaded from elsewhere, search and its excerpts work offline"
    print(f"{pages} pages: {f'{len(faults)} faults' if faults else works}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
