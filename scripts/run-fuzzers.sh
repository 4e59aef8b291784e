#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build: first over its seed corpus (the regression
# inputs in fuzz/corpus/<target>/), then for a short while of new inputs.
# Usage: scripts/run-fuzzers.sh BUILD_DIR SECONDS_PER_TARGET
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)  # the targets run from a scratch directory
seconds=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

shopt -s nullglob
targets=("$build"/fuzz/*_fuzz)
if [[ ${#targets[@]} -eq 0 ]]; then
    echo "run-fuzzers: no fuzz targets in $build/fuzz" >&2
    exit 1
fi
passed=0
failed=0
for target in "${targets[@]}"; do
    name=$(basename "$target")
    seeds="$root/fuzz/corpus/$name"
    mkdir -p "$work/$name"
    echo "== $name: seed corpus, then ${seconds}s of fuzzing"
    args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=0
          -artifact_prefix="$work/$name-")
    dirs=("$work/$name")
    [[ -d "$seeds" ]] && dirs+=("$seeds")
    if (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$target" "${args[@]}" "${dirs[@]}" \
            >"$work/$name.log" 2>&1); then
        passed=$((passed + 1))
        grep -E '^(#[0-9]+\s+DONE|Done [0-9]+ runs)' "$work/$name.log" | tail -n 1 || true
    else
        failed=$((failed + 1))
        tail -n 60 "$work/$name.log"
        for crash in "$work/$name-"*; do
            echo "crashing input: $crash"
            mkdir -p "$root/build/fuzz-artifacts" && cp "$crash" "$root/build/fuzz-artifacts/"
        done
    fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
