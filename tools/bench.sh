#!/usr/bin/env bash
# Every benchmark, printing figures side by side with their baselines:
#   json       parsers and writer against RapidJSON, simdjson, yyjson and Python's json;
#   discovery  discover_bundles() on 200 bundles against the plain Python loop;
#   runs       prepare/execute against plain-Python routing, a 1 MB result, resident size,
#              and the memory that threads keep after large checks (default arenas and one);
#   recorder   korvane-stack's peak resident growth per emitted value against the values alone;
#   cli        `korvane check` on 200 bundles against Runtime.discover() on the same set.
#   tools/bench.sh [json] [discovery] [runs] [recorder] [cli]      (default: all)
set -euo pipefail
source "$(dirname "$0")/common.sh"
which=("$@")
[ ${#which[@]} -eq 0 ] && which=(json discovery runs recorder cli)

use_build_tools rapidjson-dev libsimdjson-dev libyyjson-dev
env="$build/venv-bench"
tools/make-venv.sh "$py314" "$env"
install_into "$env" ./python/korvane -C "build-dir=$build/wheel-bench"

for name in "${which[@]}"; do
  printf '\n=== %s\n' "$name"
  case "$name" in
    json)
      cmake -S benchmarks/json -B "$build/bench-native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build "$build/bench-native" >/dev/null
      "$env/bin/python" benchmarks/json/bench_json.py --bench "$build/bench-native/bench_json"
      ;;
    discovery) "$env/bin/python" benchmarks/discovery/bench_discovery.py ;;
    runs)
      "$env/bin/python" benchmarks/runs/bench_runs.py
      "$env/bin/python" benchmarks/runs/bench_memory.py || true  # a missed target is printed; the rest still runs
      ;;
    recorder)
      install_into "$env" ./bundles/stack
      "$env/bin/python" benchmarks/recorder/bench_recorder_memory.py
      ;;
    cli) "$env/bin/python" benchmarks/cli/bench_cli.py ;;
    *) echo "unknown benchmark: $name" >&2; exit 2 ;;
  esac
done
