#!/usr/bin/env bash
# Builds the libFuzzer targets of the pure core with clang (ASan, UBSan and
# coverage) and runs one of them for a number of seconds, seeded from its
# committed corpus (python/korvane/fuzz/corpus/TARGET) and, for the JSON targets,
# from the JSONTestSuite corpus where it lies (KORVANE_JSON_CONFORMANCE_DIR, by
# default ../shared/json-conformance/test_parsing beside the checkout). What the
# run finds goes to build/fuzz/corpus-TARGET, never into the committed corpus.
#   tools/fuzz.sh [TARGET] [SECONDS]     e.g. tools/fuzz.sh fuzz_json 600
# Targets: fuzz_json, fuzz_json_shallow, fuzz_json_differential, fuzz_provider_metadata,
# fuzz_execution_result, fuzz_quoted.
set -euo pipefail
source "$(dirname "$0")/common.sh"
target=${1:-fuzz_json}; seconds=${2:-60}
use_build_tools clang libclang-rt-14-dev
cmake -S python/korvane -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_BUILD_MODULE=OFF -DKORVANE_BUILD_FUZZERS=ON >/dev/null
cmake --build build/fuzz --target "$target"
mkdir -p "build/fuzz/corpus-$target"
seeds=()  # libFuzzer stops at a folder that does not exist; not every target has committed seeds
# The differential target reads its input as the shallow one does (a depth
# byte, then the text): it starts from both JSON corpora.
case "$target" in
  fuzz_json_differential) corpora=(fuzz_json_shallow fuzz_json) ;;
  *) corpora=("$target") ;;
esac
for corpus in "${corpora[@]}"; do
  if [ -d "$root/python/korvane/fuzz/corpus/$corpus" ]; then seeds+=("$root/python/korvane/fuzz/corpus/$corpus"); fi
done
conformance=${KORVANE_JSON_CONFORMANCE_DIR:-$root/../shared/json-conformance/test_parsing}
if [[ $target == fuzz_json* ]] && [ -d "$conformance" ]; then seeds+=("$conformance"); fi
cd build/fuzz
"./$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 "corpus-$target" "${seeds[@]}"
