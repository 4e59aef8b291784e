#!/usr/bin/env bash
# The demo: the web console served by lighttpd on http://127.0.0.1:$CONSOLE_PORT/norvel/, with
# the log server (every trace of every page arrives in demo/logs/trace.log) and the master
# service beside it, in a server of its own under demo/ in the checkout. What it shows is what
# the console does: nothing writes traces or log records but the pages and the servers.
# Runs until Ctrl-C, then stops everything cleanly.
#
# Usage: scripts/run-demo.sh BUILD_DIR
# Environment: CONSOLE_PORT (default 8080), CONSOLE_LANG (en or ja; default en)
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/demo"
port=${CONSOLE_PORT:-8080}
lang=${CONSOLE_LANG:-en}

logserver="$build/standins/logserver/nvl-logserver"
masterservice="$build/standins/masterservice/nvl-masterservice"
sender="$build/standins/masterservice/nvl-send"
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
for program in "$logserver" "$lighttpd"; do
    [[ -x "$program" ]] || { echo "run-demo: $program is missing" >&2; exit 1; }
done

"$root/scripts/console-setup.sh" "$demo" "$build" "$port" "$lang"
export NVL_RUNTIME_DIR="$demo/run" NVL_REGISTRY="$demo/etc/registry.reg"
trace_log="$demo/logs/trace.log"
service_log="$demo/logs/masterservice.log"

pids=()
stop() {
    trap - INT TERM EXIT
    echo
    echo "Stopping the demo..."
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    echo "Logs are kept in $demo/logs"
}
trap stop EXIT
trap 'exit 0' INT TERM

# Each server says when it is ready by writing to a pipe, so nothing here waits on a guess.
start_with_ready_fd() {
    local name=$1
    shift
    local fifo="$demo/run/$name.ready"
    rm -f "$fifo" && mkfifo "$fifo"
    "$@" --ready-fd 3 3>"$fifo" &
    pids+=($!)
    if ! timeout 20 head -c 1 "$fifo" >/dev/null; then
        echo "run-demo: $name did not start" >&2
        exit 1
    fi
    rm -f "$fifo"
}

# Only this run's traces are shown: the log keeps what earlier runs wrote.
trace_start=$(stat -c %s "$trace_log" 2>/dev/null || echo 0)
start_with_ready_fd logserver "$logserver" --log "$trace_log"
if [[ -x "$masterservice" ]]; then
    "$masterservice" --log "$service_log" &
    pids+=($!)
    # Its stop event exists once the service is up.
    for _ in $(seq 1 200); do
        [[ -e "$NVL_RUNTIME_DIR/objects/n.Halden_Norvel_Server_Stop_Event" ]] && break
        kill -0 "${pids[-1]}" 2>/dev/null || { echo "run-demo: the master service did not start" >&2; exit 1; }
        sleep 0.05
    done
fi
"$lighttpd" -D -f "$demo/lighttpd.conf" &
pids+=($!)
for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    kill -0 "${pids[-1]}" 2>/dev/null || { echo "run-demo: lighttpd did not start (port $port in use?)" >&2; exit 1; }
    sleep 0.05
done

cat <<EOF

  Console:         http://127.0.0.1:$port/norvel/   (log on as user admin; language $lang)
  Traces:          $trace_log   (every trace of every page, from the log server)
EOF
if [[ -x "$masterservice" ]]; then
    cat <<EOF
  Master service:  $service_log
                   send it a record: NVL_RUNTIME_DIR=$NVL_RUNTIME_DIR $sender "hello"
EOF
fi
cat <<EOF
  Event log:       $demo/home/Log/nvlYYYYMMDD.log   (one file a day)
  Audit log:       $demo/home/Log/auditYYYYMMDD.log (log-ons, log-offs, changes)
  Web server:      $demo/logs/lighttpd-access.log, $demo/logs/lighttpd-error.log
  New pattern:     $build/tools/nvlpattern/nvl-pattern write '$demo/home/sig\$vpf.350' \\
                       --internal-version 35000 --type Worm:0:3 --extensions '{*;EXE;COM}'
                   then "Read from current pattern" and "Notify services" on the console's
                   Patterns and engines page (the master service's log shows the reload)
  System cleaner:  $demo/home/Admin/QXC.EXE (3.10, appended-signed); try an older one,
                       cp $build/fixtures/executables/app-3.4.exe '$demo/home/Admin/QXC.EXE'
                   or a newer pattern, $build/tools/nvlcleanerpattern/nvl-cleaner-pattern \\
                       write '$demo/home/Admin/qxc.ptn' --version 1300
                   then "Check again" on the console's Components page
  Hot fix:         newer files to upload on the console's Hot fix page, in $demo/hotfix:
                       sig\$vpf.350 (virus pattern), QXC.ptn and HLADCE.ptn (cleaner patterns)
                       and tarskptn.da5 (spyware engine pattern); the stages show as they pass,
                       then the Components page lists the package agents are offered
  Connection test: the console's Connection test page fetches through the HTTP loader, e.g.
                       host 127.0.0.1, port $port, path /norvel/html/copyright.htm
  Spyware:         harmless planted threats in $demo/home/SpywareDemo (made again on each
                   start); scan, clean and restore them on the console's Spyware page, or
                       NVL_REGISTRY=$NVL_REGISTRY NVL_RUNTIME_DIR=$NVL_RUNTIME_DIR \\
                       $demo/home/Engine/nvl-spyscan --quick $demo/home/SpywareDemo

Ctrl-C stops the console, the master service and the log server. Traces as they arrive:
EOF
tail -c +$((trace_start + 1)) -F "$trace_log" &
pids+=($!)
wait "${pids[-1]}" || true
