#!/usr/bin/env bash
# Runs every benchmark program of a release build. Each program measures its subject and the
# baseline it is compared with in the same run and prints the ratio as a counter.
# Usage: scripts/run-benchmarks.sh BUILD_DIR [benchmark-name-filter]
set -euo pipefail
build=${1:?build directory}
filter=${2:-}
shopt -s nullglob
for bench in "$build"/bench/*_bench; do
    name=$(basename "$bench")
    [[ -z "$filter" || "$name" == *"$filter"* ]] || continue
    echo "== $name"
    "$bench" --benchmark_counters_tabular=true
done
# Benchmarks of whole processes behind a web server are scripts.
root=$(cd "$(dirname "$0")/.." && pwd)
for script in "$root"/bench/*_bench.sh; do
    name=$(basename "$script" .sh)
    [[ -z "$filter" || "$name" == *"$filter"* ]] || continue
    echo "== $name"
    "$script" "$build"
done
