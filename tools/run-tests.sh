#!/usr/bin/env bash
# Every test of the project, from a fresh machine:
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
#               and of every page run.
# Each stage installs what it needs and reuses what an earlier run left.
#
#   tools/run-tests.sh [stage...]   (default: all stages)
set -euo pipefail
source "$(dirname "$0")/common.sh"
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(core python bundles faults leaks sanitizers stubs dist docs)
versions=${KORVANE_PYTHON_VERSIONS:-3.14 3.15}

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
  quiet_pip "$env/bin/python" -m pip install -q pytest
  install_into "$env" "$@" ./python/korvane
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
    -C "build-dir=$build/wheel-3.14"
  install_into "$env" "$build"/wheelhouse/korvane-*.whl ./bundles/stack
  shared_ready=1
}

stage=""
for stage in "${stages[@]}"; do
  stage_started=$EPOCHREALTIME
  printf '\n##### [%d/%d] %s\n' "$(( ${#done_stages[@]} + 1 ))" "${#stages[@]}" "$stage"
  case "$stage" in
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
        -DKORVANE_BUILD_MODULE=OFF -DKORVANE_BUILD_TESTS=ON -DKORVANE_SANITIZE=ON \
        "-DKORVANE_JSON_CONFORMANCE_DIR=${KORVANE_JSON_CONFORMANCE_DIR:-$root/../shared/json-conformance/test_parsing}" >/dev/null
      cmake --build "$build/core-tests"
      "$build/core-tests/korvane_core_tests" --gtest_brief=1
      say "Fuzz targets replayed over their seed corpora (ASan, UBSan)"
      ctest --test-dir "$build/core-tests" -L fuzz_replay --output-on-failure
      ;;
    python)
      for v in $versions; do
        py=$(tools/provision-python.sh "$v")
        say "Python tests on $v"
        install_env "$py" "$build/venv-$v" -C "build-dir=$build/wheel-$v"
        # korvane[dask]: the campaign tests start a real cluster, and must not skip here.
        # setuptools and mypy: the bundle `korvane new` writes is built offline and type-checked.
        quiet_pip "$build/venv-$v/bin/python" -m pip install -q distributed "setuptools>=77" mypy
        KORVANE_TESTS_NEED_DASK=1 "$build/venv-$v/bin/python" -m pytest -q python/korvane/tests/python
      done
      ;;
    bundles)
      say "The example bundle korvane-stack"
      shared_env
      "$env/bin/python" -m pytest -q -p no:cacheprovider bundles/stack/tests
      ;;
    faults)
      say "Recorder fault injection"
      # The bundle's test helpers check results with korvane's own rules.
      shared_env
      "$env/bin/python" -m pytest -q -p no:cacheprovider -rs bundles/stack/faults
      ;;
    leaks)
      pyd=$(tools/provision-python.sh --debug 3.14)
      say "Leak check with the debug interpreter"
      install_env "$pyd" "$build/venv-3.14d" -C "build-dir=$build/wheel-3.14d"
      "$build/venv-3.14d/bin/python" python/korvane/tests/leaks/check_leaks.py
      # The debug interpreter checks its own invariants and aborts on a broken
      # type or object, so the surface and the hostile-use tests run there too.
      "$build/venv-3.14d/bin/python" -m pytest -q -p no:cacheprovider \
        python/korvane/tests/python/test_module.py python/korvane/tests/python/test_hostile.py
      ;;
    sanitizers)
      say "Python tests with ASan and UBSan"
      install_env "$py314" "$build/venv-3.14-asan" -C "build-dir=$build/wheel-3.14-asan" \
        -C cmake.define.KORVANE_SANITIZE=ON -C cmake.build-type=Debug
      LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
      PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/venv-3.14-asan/bin/python" -m pytest -q -p no:cacheprovider python/korvane/tests/python
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
      KORVANE_PYTHON_VERSIONS="$versions" tools/dist.sh
      pythons=""
      emulated=""
      for v in $versions; do
        pythons="$pythons $v=$(tools/provision-python.sh "$v")"
        emulated="$emulated $v=$(tools/provision-python.sh --arch arm64 "$v")"
      done
      env="$build/venv-dist-tests"
      tools/make-venv.sh "$py314" "$env"
      quiet_pip "$env/bin/python" -m pip install -q pytest
      # pytest's wheels (pure Python) for the emulated venvs, which install offline.
      quiet_pip "$env/bin/python" -m pip download -q --only-binary :all: -d "$build/dist-test-wheels" pytest
      KORVANE_DIST="$root/dist" KORVANE_DIST_PYTHONS="$pythons" KORVANE_DIST_EMULATED="$emulated" \
        KORVANE_DIST_TEST_WHEELS="$build/dist-test-wheels" \
        "$env/bin/python" -m pytest -q -p no:cacheprovider --durations=5 tests/dist
      ;;
    docs)
      say "Documentation: the site built strictly, and every Python block of every page"
      tools/docs.sh
      "$build/venv-docs/bin/python" -m pytest -q -p no:cacheprovider docs/tests
      ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
  printf '##### %s: %s s\n' "$stage" "$(seconds_since "$stage_started")"
  done_stages+=("$stage $(seconds_since "$stage_started")")
done
stage=""
