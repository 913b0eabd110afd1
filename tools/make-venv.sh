#!/usr/bin/env bash
# Creates (or reuses) a virtual environment for the given interpreter and
# makes sure pip is in it.
#   tools/make-venv.sh PYTHON DIR
set -euo pipefail
py="$1"; dir="$2"
if [ -x "$dir/bin/python" ] && "$dir/bin/python" -m pip --version >/dev/null 2>&1; then exit 0; fi
rm -rf "$dir"
# A provisioned prefix carries unstable's pip wheel; its ensurepip would find
# the host's older one, so pip is installed from that wheel instead.
wheel=$(ls "$(dirname "$py")"/../share/python-wheels/pip-*.whl 2>/dev/null | sort -V | tail -n1 || true)
if [ -n "$wheel" ]; then
  "$py" -m venv --without-pip "$dir"
  "$dir/bin/python" "$wheel/pip" install -q --no-index "$wheel"
else
  "$py" -m venv "$dir"
fi
"$dir/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
