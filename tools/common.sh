# Sourced by the tools, never run: the checkout root as the working folder,
# the build folder, and the native build tools.
#
#   source "$(dirname "$0")/common.sh"
#   use_build_tools          # CMake and Ninja from PyPI on PATH (provisions CPython 3.14)
#
# Sets: root (the checkout), build (root/build, created), py314 (after use_build_tools).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build="$root/build"
mkdir -p "$build"

# CMake and Ninja come from PyPI into build/venv-tools, which goes first on
# PATH; Debian stable's CMake is older than the build needs. The extra Debian
# packages to check for are the arguments (g++ is always among them).
use_build_tools() {
  tools/host-packages.sh g++ patchelf "$@"
  py314=$(tools/provision-python.sh 3.14)
  tools/make-venv.sh "$py314" "$build/venv-tools"
  "$build/venv-tools/bin/python" -m pip install -q "cmake>=3.26" ninja
  export PATH="$build/venv-tools/bin:$PATH"
}
