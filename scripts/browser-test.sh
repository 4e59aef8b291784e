#!/usr/bin/env bash
# Serves the console from a fresh demo server with lighttpd on a free loopback port (idle
# period one minute) and drives it in headless Chromium (tests/browser/).
# Usage: scripts/browser-test.sh BUILD_DIR [LANGUAGE]
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
lang=${2:-en}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    if [[ "${KEEP_BROWSER_TEST:-}" == "" ]]; then rm -rf "$work"; else echo "kept $work"; fi
}
trap cleanup EXIT

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    "$root/scripts/install-deps.sh" node
fi
(cd "$root/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
password="browser-café-日本-$(head -c 6 /dev/urandom | od -An -tx1 | tr -d ' \n')"
CONSOLE_PASSWORD=$password CONSOLE_EXPIRE=1 \
    "$root/scripts/console-setup.sh" "$work/demo" "$build" "$port" "$lang" >/dev/null
"$(command -v lighttpd || echo /usr/sbin/lighttpd)" -D -f "$work/demo/lighttpd.conf" &
server_pid=$!
for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    kill -0 "$server_pid" 2>/dev/null || { echo "lighttpd did not start" >&2; exit 1; }
    sleep 0.1
done

mkdir -p "$build/browser-screenshots"
cd "$root/tests/browser"
CONSOLE_URL="http://127.0.0.1:$port/norvel/" CONSOLE_PASSWORD=$password \
    SCREENSHOT_DIR="$build/browser-screenshots" node --test --test-reporter=spec
