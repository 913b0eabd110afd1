#!/usr/bin/env bash
# `make mutate`: seeded single-point faults in the C++ sources, run one at a
# time against the core tests and the Python tests on 3.14 (tools/mutate.py);
# prints the kill rate and every surviving fault. A measure of the tests, not
# a test stage: it takes a good part of an hour on two cores.
#
#   tools/mutate.sh [--limit N] [--seed S] [--list] [--rerun REPORT] [--report FILE]
#
# The builds here are plain (no sanitizers) and unoptimised, which keeps each
# incremental rebuild short; the sanitized builds stay with tools/run-tests.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work="$root/build/mutate"
mkdir -p "$work"

# A run that died half-way may have left a source mutated: put it back before
# anything is built from the sources.
python3 tools/mutate.py --restore-only

tools/host-packages.sh g++ libgtest-dev patchelf
py=$(tools/provision-python.sh 3.14)
tools/make-venv.sh "$py" "$root/build/venv-tools"
"$root/build/venv-tools/bin/python" -m pip install -q "cmake>=3.26" ninja
export PATH="$root/build/venv-tools/bin:$PATH"

# korvane is installed once, the way a user gets it; each mutant's module is
# then copied over the installed one.
tools/make-venv.sh "$py" "$work/venv"
"$work/venv/bin/python" -m pip install -q pytest
"$work/venv/bin/python" -m pip install -q --force-reinstall --no-deps ./python/facade \
  -C "build-dir=$work/wheel"

# One build folder for the module and the core tests, rebuilt incrementally.
cmake -S python/facade -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE= \
  -DKORVANE_BUILD_MODULE=ON -DKORVANE_BUILD_TESTS=ON -DPython_EXECUTABLE="$py" >/dev/null

exec nice -n 19 "$py" tools/mutate.py "$@"
