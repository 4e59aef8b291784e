#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted with the repository's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.c')
[[ ${#files[@]} -eq 0 ]] && exit 0
clang-format --dry-run -Werror "${files[@]}"
echo "format: ${#files[@]} files formatted"
