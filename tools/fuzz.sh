#!/usr/bin/env bash
# Builds the libFuzzer targets of the pure core with clang (ASan, UBSan and
# coverage) and runs one of them, corpus-free, for a number of seconds.
#   tools/fuzz.sh [TARGET] [SECONDS]     e.g. tools/fuzz.sh fuzz_json 600
# Targets: fuzz_json, fuzz_json_shallow, fuzz_json_differential, fuzz_provider_metadata,
# fuzz_execution_result, fuzz_quoted. The JSON targets also read the JSONTestSuite
# corpus beside the checkout (../shared/json-conformance/test_parsing) as seeds, when present.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
target=${1:-fuzz_json}; seconds=${2:-60}
tools/host-packages.sh clang libclang-rt-14-dev
py=$(tools/provision-python.sh 3.14)
tools/make-venv.sh "$py" build/venv-tools
build/venv-tools/bin/python -m pip install -q "cmake>=3.26" ninja
export PATH="$root/build/venv-tools/bin:$PATH"
cmake -S python/facade -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_BUILD_MODULE=OFF -DKORVANE_BUILD_FUZZERS=ON >/dev/null
cmake --build build/fuzz --target "$target"
mkdir -p "build/fuzz/corpus-$target"
seeds=()
conformance="$root/../shared/json-conformance/test_parsing"
case "$target" in fuzz_json*) [ -d "$conformance" ] && seeds=("$conformance") ;; esac
cd build/fuzz
"./$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 "corpus-$target" ${seeds[@]+"${seeds[@]}"}
