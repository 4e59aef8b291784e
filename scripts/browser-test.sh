#!/usr/bin/env bash
# Drives the console in headless Chromium (tests/browser/*.test.mjs). Each test file lays out
# and serves the demo consoles it needs (tests/browser/support.mjs), in both languages.
# Usage: scripts/browser-test.sh BUILD_DIR [TEST_FILE...]
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    "$root/scripts/install-deps.sh" node
fi
(cd "$root/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)

mkdir -p "$build/browser-screenshots"
cd "$root/tests/browser"
files=("$@")
[[ ${#files[@]} -gt 0 ]] || files=(*.test.mjs)
# The files wait on idle periods of a minute; running them side by side keeps the whole run
# near the longest of them.
BUILD_DIR="$build" SCREENSHOT_DIR="$build/browser-screenshots" \
    node --test --test-concurrency=4 --test-reporter=spec "${files[@]}"
