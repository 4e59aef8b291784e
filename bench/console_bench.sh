#!/usr/bin/env bash
# Requests per second of console pages through lighttpd, measured with wrk, every subject
# served by the same lighttpd in the same run. Two targets (bench/README.md has the figures
# and where a page's start-up goes):
#
# - Start-up: the fixed page written through libcgishare.so (fixed_page_library) against the
#   same page as a minimal C program (fixed_page, the floor for one process per request):
#   target at least 0.70. The same page in C++ without the library (fixed_page_cxx) is the
#   floor of any C++ page: libstdc++, libm and libgcc_s with their relocations and the
#   standard streams' locale. It alone stays below 0.70 on a machine where a page fault is
#   dear, so the script prints it beside the target.
# - The dashboard: the protected home page (home.cgi) with a 1 GiB event log in the server's
#   Log/ directory, the master service and the log server running, against the fixed page
#   through the library: target at least 0.80. What remains is the page's own work.
#
# Subjects take turns in short runs, round after round, and each ratio is the median of the
# rounds' ratios, so a load that comes and goes on the machine touches all of them alike.
#
# Usage: bench/console_bench.sh BUILD_DIR [SECONDS_PER_RUN] [ROUNDS]
# Environment: EVENTLOG_BYTES (default 1G), EVENTLOG_DAYS (default 30)
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-3}
rounds=${3:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/console_common.sh
source "$root/bench/console_common.sh"
command -v wrk >/dev/null || "$root/scripts/install-deps.sh" bench
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"  # the generated event log with it
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
password=bench-password
demo="$work/demo"
CONSOLE_PASSWORD=$password "$root/scripts/console-setup.sh" "$demo" "$build" "$port" en >/dev/null
cgi="$demo/www/norvel/cgi"
cp "$build/bench/fixed_page" "$cgi/fixed.cgi"
cp "$build/bench/fixed_page_cxx" "$cgi/fixed_cxx.cgi"
cp "$build/bench/fixed_page_library" "$cgi/fixed_library.cgi"

echo "Writing a ${EVENTLOG_BYTES:-1G} event log..."
"$build/bench/eventlog_gen" "$demo/home/Log" "${EVENTLOG_BYTES:-1G}" "${EVENTLOG_DAYS:-30}"

# The servers the dashboard reports on, as scripts/run-demo.sh starts them.
export NVL_RUNTIME_DIR="$demo/run" NVL_REGISTRY="$demo/etc/registry.reg"
fifo="$demo/run/logserver.ready"
mkfifo "$fifo"
"$build/standins/logserver/nvl-logserver" --log "$demo/logs/trace.log" --ready-fd 3 3>"$fifo" &
pids+=($!)
timeout 20 head -c 1 "$fifo" >/dev/null || { echo "console_bench: no log server" >&2; exit 1; }
"$build/standins/masterservice/nvl-masterservice" --log "$demo/logs/masterservice.log" \
    >"$work/masterservice.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 200); do
    [[ -e "$NVL_RUNTIME_DIR/objects/n.Halden_Norvel_Server_Stop_Event" ]] && break
    sleep 0.05
done

start_lighttpd "$demo" "$port"
pids+=("$lighttpd_pid")

base="http://127.0.0.1:$port/norvel/cgi"
# Log on once; every request of the run presents the session's cookies.
cookies=$(console_cookies "$port" "$password") ||
    { echo "console_bench: log-on failed" >&2; exit 1; }
home_page=$(curl -s -H "Cookie: $cookies" "$base/home.cgi")
grep -q 'id="logout"' <<<"$home_page" ||
    { echo "console_bench: the home page refused the session" >&2; exit 1; }
grep -q 'pattern updated\|client start up\|scheduled scan' <<<"$home_page" ||
    { echo "console_bench: the home page shows no event-log entry" >&2; exit 1; }

rate() {  # requests per second of one wrk run
    wrk -t 2 -c 8 -d "${seconds}s" "$@" | awk '/^Requests\/sec/ {print $2}'
}
subjects=(fixed fixed_cxx fixed_library home)
rate "$base/fixed.cgi" >/dev/null  # warm-up
results="$work/rates"
for round in $(seq 1 "$rounds"); do
    for subject in "${subjects[@]}"; do
        if [[ $subject == home ]]; then
            echo "$round $subject $(rate -H "Cookie: $cookies" "$base/home.cgi")" >>"$results"
        else
            echo "$round $subject $(rate "$base/$subject.cgi")" >>"$results"
        fi
    done
done

python3 - "$results" <<'EOF'
import collections, statistics, sys
rates = collections.defaultdict(dict)
for line in open(sys.argv[1]):
    round_, subject, value = line.split()
    rates[subject][round_] = float(value)
def ratio(a, b):
    return statistics.median(rates[a][r] / rates[b][r] for r in rates[a])
names = {"fixed": "fixed page, C (floor)", "fixed_cxx": "fixed page, C++ without the library",
         "fixed_library": "fixed page through the library", "home": "dashboard (home.cgi)"}
for subject, label in names.items():
    values = [rates[subject][r] for r in sorted(rates[subject], key=int)]
    print("%-38s median %7.1f requests/s  (%s)" % (label + ":", statistics.median(values),
                                                   " ".join("%.0f" % v for v in values)))
print("start-up: library page / C page     %.2f  (target 0.70)" % ratio("fixed_library", "fixed"))
print("          C++ floor / C page        %.2f  (no page on libstdc++ does better)" %
      ratio("fixed_cxx", "fixed"))
print("          library page / C++ floor  %.2f" % ratio("fixed_library", "fixed_cxx"))
print("dashboard / library page            %.2f  (target 0.80)" % ratio("home", "fixed_library"))
EOF
