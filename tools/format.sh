#!/usr/bin/env bash
# The house style, applied or checked: ruff (layout and lint) over the Python,
# clang-format over the C++. The tools are the pinned ones of
# tools/build-tools.txt, installed into build/venv-tools.
#
#   tools/format.sh           rewrite the files (make format), then lint
#   tools/format.sh --check   change nothing; fail on a file that is not laid
#                             out as the formatters would, or a lint finding
set -euo pipefail
source "$(dirname "$0")/common.sh"
check=0
[ "${1:-}" = "--check" ] && check=1

use_build_tools
# The checkout's own C++ (the generated tables are left as generated).
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t cxx < <(git ls-files -- '*.cpp' '*.hpp')
else  # an unpacked archive of the checkout
  mapfile -t cxx < <(find python benchmarks -name '*.cpp' -o -name '*.hpp' | sort)
fi
if [ ${#cxx[@]} -eq 0 ]; then echo "format.sh: no C++ sources found" >&2; exit 1; fi

if [ "$check" -eq 1 ]; then
  # All three run, so one look shows every finding.
  failed=0
  ruff format --check --quiet . || { echo "ruff format would change the files above: run make format" >&2; failed=1; }
  clang-format --dry-run -Werror "${cxx[@]}" || { echo "clang-format would change the lines above: run make format" >&2; failed=1; }
  ruff check --quiet . || failed=1
  exit "$failed"
else
  ruff format --quiet .
  clang-format -i "${cxx[@]}"
  ruff check --fix --quiet .
fi
