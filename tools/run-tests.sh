#!/usr/bin/env bash
# Every test of the project, from a fresh machine:
#   lint        the house style: ruff's layout and lint checks over the Python,
#               clang-format's over the C++ (tools/format.sh --check; make format fixes);
#   core        the C++ unit tests of the pure core, and every fuzz target replayed over
#               its seed corpus, built with ASan and UBSan;
#   python      the Python tests against the installed package, per interpreter version;
#   bundles     the example bundle's tests (korvane-machines[stack] is installed from dist/ in dist);
#   faults      the example bundle's recorder under faults: writers killed with SIGKILL, a
#               file size limit, a full and a read-only file system (tmpfs mounts when
#               root), FIFOs, sockets, device nodes and symlinks at the recorder path, all
#               inside the tests' own temporary folders;
#   leaks       the leak check against the debug interpreter, and the surface and
#               hostile-use tests on it;
#   sanitizers  the Python tests again with ASan and UBSan preloaded into the interpreter;
#   stubs       the type stubs against the built module (mypy's stubtest), and typed uses
#               of the module, right and wrong, and a typed example bundle, through
#               mypy; mypy over the installed korvane_tools;
#   dist        make dist, then the archives' metadata, and korvane-machines[stack]
#               installed from dist/ alone into fresh venvs per version, running a
#               machine; the same for the aarch64 wheels in Debian's arm64 CPython
#               under qemu-aarch64-static, with some of the module's tests; and a
#               wheel built from the korvane sdist.
#   docs        the documentation site built as make docs builds it (warnings, unresolved
#               references and broken internal links fail), nothing in it loaded from
#               elsewhere, its search usable offline; every Python block of the README
#               and of every page run, and type-checked with mypy --strict.
# Each stage installs what it needs and reuses what an earlier run left.
#
# The project's own builds treat compiler warnings as errors (KORVANE_WERROR);
# the wheels of make dist, and a user's build from the sdist, do not.
#
#   tools/run-tests.sh [stage...]              (default: all stages)
#   tools/run-tests.sh STAGE -- ARGS...        ARGS go to that stage's pytest (or,
#                                              for core, to ctest), e.g.
#     tools/run-tests.sh python -- -k campaign -x
#     tools/run-tests.sh core -- -R 'JsonParse'
set -euo pipefail
source "$(dirname "$0")/common.sh"
stages=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do stages+=("$1"); shift; done
selection=()
if [ $# -gt 0 ]; then
  shift
  selection=("$@")
  if [ ${#stages[@]} -ne 1 ]; then
    echo "run-tests.sh: name exactly one stage before --, whose tests the arguments select" >&2; exit 2
  fi
fi
[ ${#stages[@]} -eq 0 ] && stages=(lint core python bundles faults leaks sanitizers stubs dist docs)
# What a stage hands pytest: its own test folders, then the arguments given
# after --; when those name a test file or folder themselves, they replace the
# folders (so "-k name -x" narrows the stage, "path/test_x.py::test_y" picks one).
tests_or() {
  local arg names_path=0
  for arg in "${selection[@]}"; do [ -e "${arg%%::*}" ] && names_path=1; done
  [ "$names_path" -eq 0 ] && printf '%s\n' "$@"
  [ ${#selection[@]} -gt 0 ] && printf '%s\n' "${selection[@]}"
  return 0
}
versions=${KORVANE_PYTHON_VERSIONS:-3.14 3.15}
# The Python tests (python, sanitizers, dist) run on this many processes (pytest-xdist;
# 0: in pytest's own, for -s or --pdb). Most of their time is spent waiting on
# child processes, clusters and time limits, so more than the cores pays.
workers=${KORVANE_TEST_WORKERS:-4}

say() { printf '\n=== %s\n' "$*"; }
seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }'; }

# Each stage's time as it ends, and a table of them when the run ends, with
# the plain closing line "stages: N passed, M failed".
done_stages=()
run_started=$EPOCHREALTIME
summary() {
  local status=$? passed=${#done_stages[@]} failed=0 row
  [ "$status" -ne 0 ] && failed=1
  printf '\n%-12s %8s  %s\n' stage seconds result
  for row in "${done_stages[@]}"; do printf '%-12s %8s  passed\n' $row; done
  if [ "$failed" -eq 1 ] && [ -n "${stage:-}" ]; then
    printf '%-12s %8s  failed\n' "$stage" "$(seconds_since "$stage_started")"
  fi
  printf '%-12s %8s\n' total "$(seconds_since "$run_started")"
  echo
  echo "stages: $passed passed, $failed failed"
}
trap summary EXIT

use_build_tools libgtest-dev

# A venv with pytest and korvane installed the way a user gets it; no bundle
# is installed there, so the tests see only the bundles they install.
install_env() {  # PYTHON DIR [extra pip args for korvane]
  local py="$1" env="$2"; shift 2
  tools/make-venv.sh "$py" "$env"
  quiet_pip "$env/bin/python" -m pip install -q pytest pytest-xdist
  install_into "$env" -C cmake.define.KORVANE_WERROR=ON "$@" ./python/korvane
}

# The stages that run with the example bundle installed (bundles, faults) and
# the type checks (stubs) share one venv, korvane installed in it once a run.
shared_env() {
  env="$build/venv-3.14-shared"
  [ -n "${shared_ready:-}" ] && return 0
  tools/make-venv.sh "$py314" "$env"
  quiet_pip "$env/bin/python" -m pip install -q pytest "setuptools>=77" mypy
  rm -rf "$build/wheelhouse"
  quiet_pip "$env/bin/python" -m pip wheel -q --no-deps -w "$build/wheelhouse" ./python/korvane \
    -C "build-dir=$build/wheel-3.14" -C cmake.define.KORVANE_WERROR=ON
  install_into "$env" "$build"/wheelhouse/korvane-*.whl ./bundles/stack
  shared_ready=1
}

stage=""
for stage in "${stages[@]}"; do
  stage_started=$EPOCHREALTIME
  printf '\n##### [%d/%d] %s\n' "$(( ${#done_stages[@]} + 1 ))" "${#stages[@]}" "$stage"
  case "$stage" in
    lint)
      say "House style: ruff format and ruff check (Python), clang-format (C++)"
      tools/format.sh --check
      ;;
    core)
      say "Each source of the core compiles on its own"
      for source in python/korvane/core/*.cpp python/korvane/core/json/*.cpp; do
        g++ -std=c++20 -fsyntax-only -Ipython/korvane/core "$source"
      done
      # The core stays pure: nothing in it names the interpreter.
      if grep -rlE 'Python\.h|PyObject|py_ref\.hpp' python/korvane/core; then
        echo "the core names the interpreter (files above)" >&2; exit 1
      fi
      say "C++ unit tests of the core (ASan, UBSan)"
      cmake -S python/korvane -B "$build/core-tests" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DKORVANE_BUILD_MODULE=OFF -DKORVANE_BUILD_TESTS=ON -DKORVANE_SANITIZE=ON -DKORVANE_WERROR=ON \
        "-DKORVANE_JSON_CONFORMANCE_DIR=${KORVANE_JSON_CONFORMANCE_DIR:-$root/../shared/json-conformance/test_parsing}" >/dev/null
      cmake --build "$build/core-tests"
      if [ ${#selection[@]} -gt 0 ]; then
        ctest --test-dir "$build/core-tests" --output-on-failure "${selection[@]}"
      else
      "$build/core-tests/korvane_core_tests" --gtest_brief=1
      say "Fuzz targets replayed over their seed corpora (ASan, UBSan)"
      ctest --test-dir "$build/core-tests" -L fuzz_replay --output-on-failure
      fi
      ;;
    python)
      for v in $versions; do
        py=$(tools/provision-python.sh "$v")
        say "Python tests on $v"
        install_env "$py" "$build/venv-$v" -C "build-dir=$build/wheel-$v"
        # korvane[dask]: the campaign tests start a real cluster, and must not skip here.
        # setuptools and mypy: the bundle `korvane new` writes is built offline and type-checked.
        quiet_pip "$build/venv-$v/bin/python" -m pip install -q distributed "setuptools>=77" mypy
        mapfile -t chosen < <(tests_or python/korvane/tests/python)
        KORVANE_TESTS_NEED_DASK=1 "$build/venv-$v/bin/python" -m pytest -q -n "$workers" "${chosen[@]}"
      done
      ;;
    bundles)
      say "The example bundle korvane-stack"
      shared_env
      mapfile -t chosen < <(tests_or bundles/stack/tests)
      "$env/bin/python" -m pytest -q -p no:cacheprovider "${chosen[@]}"
      ;;
    faults)
      say "Recorder fault injection"
      # The bundle's test helpers check results with korvane's own rules.
      shared_env
      mapfile -t chosen < <(tests_or bundles/stack/faults)
      "$env/bin/python" -m pytest -q -p no:cacheprovider -rs "${chosen[@]}"
      ;;
    leaks)
      pyd=$(tools/provision-python.sh --debug 3.14)
      say "Leak check with the debug interpreter"
      install_env "$pyd" "$build/venv-3.14d" -C "build-dir=$build/wheel-3.14d"
      "$build/venv-3.14d/bin/python" python/korvane/tests/leaks/check_leaks.py
      # The debug interpreter checks its own invariants and aborts on a broken
      # type or object, so the surface and the hostile-use tests run there too.
      mapfile -t chosen < <(tests_or python/korvane/tests/python/test_module.py python/korvane/tests/python/test_hostile.py)
      "$build/venv-3.14d/bin/python" -m pytest -q -p no:cacheprovider "${chosen[@]}"
      ;;
    sanitizers)
      say "Python tests with ASan and UBSan"
      mapfile -t chosen < <(tests_or python/korvane/tests/python)
      install_env "$py314" "$build/venv-3.14-asan" -C "build-dir=$build/wheel-3.14-asan" \
        -C cmake.define.KORVANE_SANITIZE=ON -C cmake.build-type=Debug
      LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
      PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/venv-3.14-asan/bin/python" -m pytest -q -p no:cacheprovider -n "$workers" "${chosen[@]}"
      ;;
    stubs)
      say "Type stubs against the module"
      shared_env
      # From a neutral folder, so that only the installed korvane-stubs package is seen.
      (cd "$build" && "$env/bin/python" -m mypy.stubtest korvane)
      "$env/bin/python" -m mypy --strict --warn-unused-ignores --no-incremental \
        python/korvane/tests/typing examples/demo.py
      # The pure-Python tools as installed, typed inline (py.typed).
      (cd "$build" && "$env/bin/python" -m mypy --strict --warn-unused-ignores --no-incremental -p korvane_tools)
      ;;
    dist)
      say "Distributions: make dist, then installs from dist/ alone"
      mapfile -t chosen < <(tests_or tests/dist)
      KORVANE_PYTHON_VERSIONS="$versions" tools/dist.sh
      pythons=""
      emulated=""
      for v in $versions; do
        pythons="$pythons $v=$(tools/provision-python.sh "$v")"
        emulated="$emulated $v=$(tools/provision-python.sh --arch arm64 "$v")"
      done
      env="$build/venv-dist-tests"
      tools/make-venv.sh "$py314" "$env"
      quiet_pip "$env/bin/python" -m pip install -q pytest pytest-xdist
      # pytest's wheels (pure Python) for the emulated venvs, which install offline.
      quiet_pip "$env/bin/python" -m pip download -q --only-binary :all: -d "$build/dist-test-wheels" pytest
      KORVANE_DIST="$root/dist" KORVANE_DIST_PYTHONS="$pythons" KORVANE_DIST_EMULATED="$emulated" \
        KORVANE_DIST_TEST_WHEELS="$build/dist-test-wheels" \
        "$env/bin/python" -m pytest -q -p no:cacheprovider -n "$workers" --durations=5 "${chosen[@]}"
      ;;
    docs)
      say "Documentation: the site built strictly, and every Python block of every page run and type-checked"
      tools/docs.sh
      mapfile -t chosen < <(tests_or docs/tests)
      "$build/venv-docs/bin/python" -m pytest -q -p no:cacheprovider "${chosen[@]}"
      ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
  printf '##### %s: %s s\n' "$stage" "$(seconds_since "$stage_started")"
  done_stages+=("$stage $(seconds_since "$stage_started")")
done
stage=""
