#!/usr/bin/env bash
# The demo, from a fresh machine: provisions CPython 3.14, builds korvane into
# a venv of its own together with the example bundle korvane-stack, and runs
# examples/demo.py. The set-up output goes to build/demo-setup.log; a later run
# reuses the interpreter, the venv and the build folder.
#
#   tools/demo.sh          (make demo)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build="$root/build"
mkdir -p "$build"
log="$build/demo-setup.log"
env="$build/venv-demo"
: >"$log"

step() { printf '%s\n' "$*" >&2; }
fail() { step "set-up failed; the last lines of $log:"; tail -n 30 "$log" >&2; exit 1; }

step "Setting up the demo (interpreter, korvane, korvane-stack; log in build/demo-setup.log) ..."
tools/host-packages.sh g++ >>"$log" 2>&1 || fail
py=$(tools/provision-python.sh 3.14 2>>"$log") || fail
tools/make-venv.sh "$py" "$env" >>"$log" 2>&1 || fail
"$env/bin/python" -m pip install --force-reinstall --no-deps ./python/facade \
  -C "build-dir=$build/wheel-demo" >>"$log" 2>&1 || fail
"$env/bin/python" -m pip install --force-reinstall --no-deps ./bundles/stack >>"$log" 2>&1 || fail

exec "$env/bin/python" examples/demo.py
