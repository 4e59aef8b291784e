#!/usr/bin/env bash
# Requests per second of the console's log pages through lighttpd, measured with wrk, against
# the fixed page written through the library (fixed_page_library: what every page pays to
# start), all served by the same lighttpd in the same run. The server's event log is one daily
# file of 1 GiB (bench/eventlog_gen), the update log 10,000 records.
#
# Subjects:
#   - logs.cgi, the newest 50 records                       target at least 0.80
#   - logs.cgi, 50 records from the middle of the 1 GiB file  target at least 0.80
#   - logs.cgi, the newest 50 records of one event number (1 record in 8)
#   - updatelog.cgi, the newest 50 records (the library's reader reads the file from its
#     start for the count and for each of its ten-record pages)
#   - home.cgi, the dashboard: another page in the same frame, for reference (what a page
#     behind the log-on costs beyond its own work)
# Subjects take turns in short runs, round after round; each ratio is the median of the
# rounds' ratios, so a load that comes and goes on the machine touches all of them alike.
#
# Usage: bench/logs_page_bench.sh BUILD_DIR [SECONDS_PER_RUN] [ROUNDS]
# Environment: EVENTLOG_BYTES (default 1G), EVENTLOG_DAYS (default 1)
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-3}
rounds=${3:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/console_common.sh
source "$root/bench/console_common.sh"
command -v wrk >/dev/null || "$root/scripts/install-deps.sh" bench
work=$(mktemp -d)
server_pid=
cleanup() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"  # the generated logs with it
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
password=bench-password
demo="$work/demo"
CONSOLE_PASSWORD=$password "$root/scripts/console-setup.sh" "$demo" "$build" "$port" en >/dev/null
cp "$build/bench/fixed_page_library" "$demo/www/norvel/cgi/fixed_library.cgi"

echo "Writing a ${EVENTLOG_BYTES:-1G} event log in ${EVENTLOG_DAYS:-1} daily file(s)..."
"$build/bench/eventlog_gen" "$demo/home/Log" "${EVENTLOG_BYTES:-1G}" "${EVENTLOG_DAYS:-1}"
newest=$(ls "$demo/home/Log"/nvl*.log | sort | tail -n 1)
# A record boundary near the middle of the newest file: where a deep page starts.
middle=$(python3 -c '
import os, sys
with open(sys.argv[1], "rb") as f:
    f.seek(os.path.getsize(sys.argv[1]) // 2)
    f.readline()
    print(f.tell())' "$newest")
day=$(basename "$newest" .log)
day=${day#nvl}
awk 'BEGIN { for (i = 0; i < 10000; ++i)
    printf "2026%02d%02d120000,%c,%d,%d,3.%d.%d\n", 1 + i / 3100, 1 + i / 100 % 28,
        i % 2 ? 97 : 98, i, -i, i / 100, i % 100 }' >"$demo/home/Log/update.log"

start_lighttpd "$demo" "$port"
server_pid=$lighttpd_pid

base="http://127.0.0.1:$port/norvel/cgi"
# Log on once; every request of the run presents the session's cookies.
cookies=$(console_cookies "$port" "$password") ||
    { echo "logs_page_bench: log-on failed" >&2; exit 1; }

declare -A urls=(
    [fixed_library]="$base/fixed_library.cgi"
    [logs_top]="$base/logs.cgi?size=50"
    [logs_middle]="$base/logs.cgi?size=50&at=$day-$middle"
    [logs_kind]="$base/logs.cgi?size=50&kind=3"
    [updatelog]="$base/updatelog.cgi?size=50"
    [home]="$base/home.cgi"
)
subjects=(fixed_library logs_top logs_middle logs_kind updatelog home)
# Every page shows its 50 records before it is timed.
for subject in logs_top logs_middle logs_kind updatelog; do
    rows=$(curl -s -H "Cookie: $cookies" "${urls[$subject]}" | grep -c '^<tr><td>' || true)
    [[ $rows -eq 50 ]] ||
        { echo "logs_page_bench: $subject shows $rows records, not 50" >&2; exit 1; }
done

rate() {  # requests per second of one wrk run
    wrk -t 2 -c 8 -d "${seconds}s" "$@" | awk '/^Requests\/sec/ {print $2}'
}
rate "${urls[fixed_library]}" >/dev/null  # warm-up
results="$work/rates"
for round in $(seq 1 "$rounds"); do
    for subject in "${subjects[@]}"; do
        if [[ $subject == fixed_library ]]; then
            echo "$round $subject $(rate "${urls[$subject]}")" >>"$results"
        else
            echo "$round $subject $(rate -H "Cookie: $cookies" "${urls[$subject]}")" >>"$results"
        fi
    done
done

python3 - "$results" <<'EOF'
import collections, statistics, sys
rates = collections.defaultdict(dict)
for line in open(sys.argv[1]):
    round_, subject, value = line.split()
    rates[subject][round_] = float(value)
names = {"fixed_library": "fixed page through the library",
         "logs_top": "event log, newest 50",
         "logs_middle": "event log, 50 from the middle of 1 GiB",
         "logs_kind": "event log, newest 50 of one event number",
         "updatelog": "update log, newest 50 of 10,000",
         "home": "dashboard (reference)"}
targets = {"logs_top": "  (target 0.80)", "logs_middle": "  (target 0.80)"}
for subject, label in names.items():
    values = [rates[subject][r] for r in sorted(rates[subject], key=int)]
    print("%-42s median %7.1f requests/s  (%s)" % (label + ":", statistics.median(values),
                                                   " ".join("%.0f" % v for v in values)))
print("ratio to the fixed page through the library, median of the rounds:")
for subject, label in names.items():
    if subject == "fixed_library":
        continue
    ratio = statistics.median(rates[subject][r] / rates["fixed_library"][r]
                              for r in rates[subject])
    print("  %-42s %.2f%s" % (label + ":", ratio, targets.get(subject, "")))
EOF
