# Sourced by the tools, never run: the checkout root as the working folder,
# the build folder, the native build tools and the one way korvane is put
# into a venv.
#
#   source "$(dirname "$0")/common.sh"
#   use_build_tools [DEBIAN-PACKAGE...]   # CMake and Ninja from PyPI on PATH (provisions CPython 3.14)
#   install_into VENV PIP-ARGS...         # pip install --force-reinstall --no-deps, quietly
#
# Sets: root (the checkout), build (root/build, created), py314 (after use_build_tools).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build="$root/build"
mkdir -p "$build"
# The tests' shared helpers (bundle_kit), for the leak checks, benchmarks and
# fuzz seeds that import them; pytest finds them through its own setting.
export PYTHONPATH="$root/python/korvane/tests/support${PYTHONPATH:+:$PYTHONPATH}"

# pip's notes on the host's unused index locations, which say nothing about
# the install, are left out of the output.
quiet_pip() { "$@" 2>&1 | { grep -v 'is ignored: it is neither a file nor a directory' || true; }; return "${PIPESTATUS[0]}"; }

# Installs what the arguments name into VENV afresh, without dependencies:
# korvane (./python/korvane, with -C build-dir=... to reuse a build folder),
# a wheel, or the example bundle.
install_into() {
  local env="$1"; shift
  quiet_pip "$env/bin/python" -m pip install -q --force-reinstall --no-deps "$@"
}

# CMake and Ninja come from PyPI (tools/build-tools.txt) into
# build/venv-tools, which goes first on PATH; Debian stable's CMake is older
# than the build needs. The extra Debian packages to check for are the
# arguments (g++ and patchelf always among them).
use_build_tools() {
  tools/host-packages.sh g++ patchelf "$@"
  py314=$(tools/provision-python.sh 3.14)
  tools/make-venv.sh "$py314" "$build/venv-tools"
  quiet_pip "$build/venv-tools/bin/python" -m pip install -q -r tools/build-tools.txt
  export PATH="$build/venv-tools/bin:$PATH"
}
