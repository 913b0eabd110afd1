#!/usr/bin/env bash
# The demo, from a fresh machine: provisions CPython 3.14, builds korvane into
# a venv of its own together with the example bundle korvane-stack, and runs
# examples/demo.py. Each set-up step prints one line with its time as it
# finishes; their full output goes to build/demo-setup.log. The run's
# recording stays in build/demo/. A later run reuses the interpreter, the venv
# and the build folder.
#
#   tools/demo.sh          (make demo)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "tools/demo.sh: unexpected argument '$1' (see --help)" >&2; exit 2 ;;
esac
source "$(dirname "$0")/common.sh"
log="$build/demo-setup.log"
env="$build/venv-demo"
: >"$log"

started=$EPOCHREALTIME
# step TEXT COMMAND...: runs the command with its output in the log, then
# prints the step with its own time and the time since the start.
step() {
  local text="$1"; shift
  local t0=$EPOCHREALTIME
  printf '  %-42s' "$text ..." >&2
  printf '\n### %s: %s\n' "$text" "$*" >>"$log"
  if "$@" >>"$log" 2>&1; then
    printf ' %6.1f s   (%.1f s in all)\n' "$(elapsed "$t0")" "$(elapsed "$started")" >&2
  else
    printf ' failed\n' >&2
    echo "set-up failed; the last lines of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}
elapsed() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
provision() { tools/provision-python.sh 3.14 >"$build/demo-python"; }
# The build back-ends, CMake and Ninja live in the demo's venv, so that a
# later run rebuilds only what changed (an isolated build would bring a new
# CMake each time and start the build folder afresh).
venv_with_build_tools() {
  tools/make-venv.sh "$py" "$env"
  quiet_pip "$env/bin/python" -m pip install -q -r tools/build-tools.txt
}
install_here() { "$env/bin/python" -m pip install --force-reinstall --no-deps --no-build-isolation "$@"; }

echo "Setting up the demo (full log: build/demo-setup.log)" >&2
step "Debian packages (g++)" tools/host-packages.sh g++ patchelf
step "CPython 3.14" provision
py=$(<"$build/demo-python")
step "venv build/venv-demo, build tools" venv_with_build_tools
step "korvane built and installed" install_here ./python/korvane -C "build-dir=$build/wheel-demo"
step "korvane-stack installed" install_here ./bundles/stack
echo >&2

exec "$env/bin/python" examples/demo.py --recording "$build/demo/collatz.jsonl"
