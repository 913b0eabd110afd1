#!/usr/bin/env bash
# The x86_64 wheels' compiler against the host's: korvane built by g++ as the
# sdist builds it (with KORVANE_OWN_FLOAT_CHARS, as KORVANE_X86_64_COMPILER=gcc
# builds the wheels) and by zig for x86_64-linux-gnu.2.17 (tools/zig-toolchain), each into
# its own venv and each with its own bench_json (korvane's candidates only);
# then benchmarks/toolchain/bench_toolchain.py measures both in interleaved
# rounds on one core (31 by default) and prints each figure's median and
# quartiles and the median of the rounds' own ratios.
#
#   tools/bench-toolchain.sh [--help] [bench_toolchain.py arguments, e.g. --rounds 41]
set -euo pipefail
case "${1:-}" in -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
source "$(dirname "$0")/common.sh"
use_build_tools
"$build/venv-tools/bin/python" -m pip install -q "ziglang>=0.17,<0.18"
ZIG="$("$build/venv-tools/bin/python" -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig"
export ZIG
zig_toolchain="$root/tools/zig-toolchain/x86_64-linux-gnu.2.17.cmake"

builds=()
for compiler in gcc zig; do
  env="$build/venv-bench-$compiler"
  module_args=(-C "build-dir=$build/bench-$compiler-module")
  json_args=()
  if [ "$compiler" = zig ]; then
    module_args+=(-C "cmake.define.CMAKE_TOOLCHAIN_FILE=$zig_toolchain")
    json_args+=("-DCMAKE_TOOLCHAIN_FILE=$zig_toolchain")
  else
    module_args+=(-C cmake.define.KORVANE_OWN_FLOAT_CHARS=ON)
  fi
  tools/make-venv.sh "$py314" "$env"
  "$env/bin/python" -m pip install -q pytest
  "$env/bin/python" -m pip install -q --force-reinstall --no-deps ./python/korvane "${module_args[@]}"
  cmake -S benchmarks/json -B "$build/bench-$compiler-json" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVANE_BENCH_ANCHORS=OFF "${json_args[@]}" >/dev/null
  cmake --build "$build/bench-$compiler-json" --target bench_json >/dev/null
  builds+=(--build "$compiler=$env/bin/python,$build/bench-$compiler-json/bench_json")
done
taskset -c 0 "$py314" benchmarks/toolchain/bench_toolchain.py "${builds[@]}" "$@"
