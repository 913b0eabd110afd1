#!/usr/bin/env bash
# Creates (or reuses) a virtual environment for the given interpreter, with
# pip in it brought up to date.
#   tools/make-venv.sh PYTHON DIR
# A provisioned interpreter makes venvs the usual way (`python3.14 -m venv`):
# tools/provision-python.sh points its ensurepip at unstable's pip wheel.
set -euo pipefail
py="$1"; dir="$2"
if [ -x "$dir/bin/python" ] && "$dir/bin/python" -m pip --version >/dev/null 2>&1; then exit 0; fi
rm -rf "$dir"
"$py" -m venv "$dir"
"$dir/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
