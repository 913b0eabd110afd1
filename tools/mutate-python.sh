#!/usr/bin/env bash
# `make mutate-python`: mutation testing of the project's Python packages with
# mutmut. Every pyproject.toml with a [tool.mutmut] table (under bundles/ and
# python/) is a project to mutate; each is copied into build/mutate/py/NAME and
# mutated there, so the checkout is never touched. Prints, per project, the
# kill rate and the surviving mutants; `mutmut show NAME` in that folder shows
# one. A measure of the tests, not a test stage.
#
#   tools/mutate-python.sh           (KORVANE_MUTATE_PY_MINUTES bounds each project, default 20)
set -euo pipefail
source "$(dirname "$0")/common.sh"
work="$build/mutate/py"
minutes=${KORVANE_MUTATE_PY_MINUTES:-20}
mkdir -p "$work"

py=$(tools/provision-python.sh 3.14)
tools/make-venv.sh "$py" "$work/venv"
quiet_pip "$work/venv/bin/python" -m pip install -q mutmut pytest

status=0
for config in $(grep -l '^\[tool\.mutmut\]' bundles/*/pyproject.toml python/*/pyproject.toml 2>/dev/null || true); do
  project=$(dirname "$config")
  name=$(basename "$project")
  dest="$work/$name"
  rm -rf "$dest"
  mkdir -p "$dest"
  for part in src tests pyproject.toml README.md; do
    [ -e "$project/$part" ] && cp -r "$project/$part" "$dest/"
  done
  echo "=== mutmut: $project (log: $dest/mutmut.log)"
  started=$(date +%s)
  if ! (cd "$dest" && nice -n 19 timeout "$((minutes * 60))" "$work/venv/bin/mutmut" run --max-children 2 \
          >mutmut.log 2>&1); then
    echo "mutmut did not finish for $project (time limit ${minutes} min, or an error: see the log)" >&2
    status=1
  fi
  (cd "$dest" && "$work/venv/bin/mutmut" export-cicd-stats >/dev/null 2>&1 || true)
  (cd "$dest" && "$work/venv/bin/mutmut" results 2>/dev/null || true) | sed 's/^ */SURVIVED /'
  "$work/venv/bin/python" - "$dest/mutants/mutmut-cicd-stats.json" "$(( $(date +%s) - started ))" <<'PY'
import json, sys
path, seconds = sys.argv[1], int(sys.argv[2])
try:
    stats = json.load(open(path))
except OSError:
    sys.exit(f"no statistics in {path}")
killed = stats["killed"] + stats["timeout"] + stats["segfault"]
counted = killed + stats["survived"]
rate = 100.0 * killed / counted if counted else 0.0
print(f"mutants: {stats['total']}; killed {killed} of {counted} = {rate:.1f}%; "
      f"survived {stats['survived']}; no tests {stats['no_tests']}; time {seconds / 60:.1f} min")
PY
done
exit $status
