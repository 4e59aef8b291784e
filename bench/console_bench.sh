#!/usr/bin/env bash
# Requests per second for the console's protected home page through lighttpd, measured with
# wrk against a minimal CGI program that prints a fixed page (the floor for one process per
# request), both served by the same lighttpd in the same run. Target: at least 0.8 of the floor.
# A second floor is the same fixed page written through the library (fixed_page_library): what
# every page pays to start with the shared library and the C++ run-time loaded; the home
# page's ratio to it is the cost of the page's own work.
# Usage: bench/console_bench.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
command -v wrk >/dev/null || "$root/scripts/install-deps.sh" bench
work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
password=bench-password
CONSOLE_PASSWORD=$password "$root/scripts/console-setup.sh" "$work/demo" "$build" "$port" en >/dev/null
cp "$build/bench/fixed_page" "$work/demo/www/norvel/cgi/fixed.cgi"
cp "$build/bench/fixed_page_library" "$work/demo/www/norvel/cgi/fixed_library.cgi"
"$(command -v lighttpd || echo /usr/sbin/lighttpd)" -D -f "$work/demo/lighttpd.conf" &
server_pid=$!
for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
done

base="http://127.0.0.1:$port/norvel/cgi"
# Log on once; every request of the run presents the session's cookies.
cookies=$(curl -s -D - -o /dev/null --data "user=admin&password=$password" "$base/login.cgi" |
    sed -n 's/^Set-Cookie: \([a-z]*=[^;]*\).*/\1/p' | tr -d '\r' | paste -sd ';' -)
[[ "$cookies" == *key=* ]] || { echo "console_bench: log-on failed" >&2; exit 1; }
curl -s -H "Cookie: $cookies" "$base/home.cgi" | grep -q 'id="logout"' ||
    { echo "console_bench: the home page refused the session" >&2; exit 1; }

rate() {  # requests per second of one wrk run
    wrk -t 2 -c 8 -d "${seconds}s" "$@" | awk '/^Requests\/sec/ {print $2}'
}
rate "$base/fixed.cgi" >/dev/null  # warm-up
floor=$(rate "$base/fixed.cgi")
library=$(rate "$base/fixed_library.cgi")
home=$(rate -H "Cookie: $cookies" "$base/home.cgi")
floor2=$(rate "$base/fixed.cgi")
echo "fixed page (floor):             $floor, $floor2 requests/s"
echo "fixed page through the library: $library requests/s"
echo "protected home page:            $home requests/s"
python3 -c "
import sys
floor = (float(sys.argv[1]) + float(sys.argv[4])) / 2
library, home = float(sys.argv[2]), float(sys.argv[3])
print('ratio to the floor: %.2f (target 0.80)' % (home / floor))
print('library floor to the floor: %.2f' % (library / floor))
print('ratio to the library floor: %.2f' % (home / library))
" "$floor" "$library" "$home" "$floor2"
