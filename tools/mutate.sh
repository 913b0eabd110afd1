#!/usr/bin/env bash
# `make mutate`: seeded single-point faults in the C++ sources, run one at a
# time against the core tests and the Python tests on 3.14 (tools/mutate.py);
# prints the kill rate and every surviving fault. A measure of the tests, not
# a test stage: the default sample of 160 took 34 minutes on two cores shared
# with other builds.
#
#   tools/mutate.sh [--limit N] [--seed S] [--list] [--rerun REPORT] [--report FILE]
#
# The builds are unoptimised, which keeps each incremental rebuild short: the
# core tests with ASan and UBSan as in the core stage, the module plain.
set -euo pipefail
source "$(dirname "$0")/common.sh"
work="$build/mutate"
mkdir -p "$work"

use_build_tools libgtest-dev
py=$py314
# A run that died half-way may have left a source mutated: put it back before
# anything is built from the sources.
"$py" tools/mutate.py --restore-only

# korvane is installed once, the way a user gets it; each mutant's module is
# then copied over the installed one.
tools/make-venv.sh "$py" "$work/venv"
quiet_pip "$work/venv/bin/python" -m pip install -q pytest
install_into "$work/venv" ./python/korvane -C "build-dir=$work/wheel"

# Two build folders, rebuilt incrementally for each mutant.
cmake -S python/korvane -B "$work/core" -G Ninja -DCMAKE_BUILD_TYPE= \
  -DKORVANE_BUILD_MODULE=OFF -DKORVANE_BUILD_TESTS=ON -DKORVANE_SANITIZE=ON >/dev/null
cmake -S python/korvane -B "$work/module" -G Ninja -DCMAKE_BUILD_TYPE= \
  -DKORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE="$py" >/dev/null

exec nice -n 19 "$py" tools/mutate.py "$@"
