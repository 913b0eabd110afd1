#!/usr/bin/env bash
# The documentation site, from docs/ into build/docs/html.
#
#   tools/docs.sh           build it (make docs)
#   tools/docs.sh serve     build it, then serve it on http://127.0.0.1:8000 (make docs-serve)
#
# Sphinx and its parts come pinned from docs/requirements.txt into
# build/venv-docs, with korvane itself: the command reference, the tutorial's
# files and the troubleshooting output are produced by the installed korvane
# while the site is built. A warning, an unresolved reference or a broken
# internal link fails the build. The site needs no network to be read.
# KORVANE_DOCS_VENV and KORVANE_DOCS_WHEEL_BUILD move the venv and korvane's
# build folder.
set -euo pipefail
source "$(dirname "$0")/common.sh"
env=${KORVANE_DOCS_VENV:-$build/venv-docs}
wheel=${KORVANE_DOCS_WHEEL_BUILD:-$build/wheel-3.14}
out="$build/docs/html"

use_build_tools
tools/make-venv.sh "$py314" "$env"
quiet_pip "$env/bin/python" -m pip install -q -r docs/requirements.txt
install_into "$env" ./python/korvane -C "build-dir=$wheel"
rm -rf "$out"
# -E: every page read afresh, so that what the installed korvane says is
# produced again; -n: every cross-reference must resolve.
"$env/bin/python" -m sphinx -E -W --keep-going -n -q -b html docs "$out"
"$env/bin/python" docs/tests/check_site.py "$out"
echo "site: $out/index.html"

if [ "${1:-}" = serve ]; then
  echo "serving on http://127.0.0.1:8000 (Ctrl-C ends)"
  exec "$env/bin/python" -m http.server --bind 127.0.0.1 --directory "$out" 8000
fi
