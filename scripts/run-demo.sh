#!/usr/bin/env bash
# The demo: a log server and the example programs in a world of their own under demo/ in the
# checkout (runtime directory, registry, log). Shows the traces as they arrive and keeps the
# log server running until Ctrl-C, then stops it cleanly.
# Usage: scripts/run-demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/demo"

server="$build/standins/logserver/nvl-logserver"
example="$build/examples/trace_demo/trace_demo"
for program in "$server" "$example"; do
    [[ -x "$program" ]] || { echo "run-demo: $program is missing; build first" >&2; exit 1; }
done

mkdir -p "$demo/run" "$demo/etc" "$demo/home" "$demo/log"
export NVL_RUNTIME_DIR="$demo/run"
export NVL_REGISTRY="$demo/etc/registry.reg"
if [[ ! -f "$NVL_REGISTRY" ]]; then
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"Local_Path"="%s/home/"\r\n' \
        "$demo" >"$NVL_REGISTRY"
fi
log="$demo/log/trace.log"
socket="$NVL_RUNTIME_DIR/pipe/Log_ServerNamePipe"

server_pid=
tail_pid=
stop() {
    trap - INT TERM EXIT
    [[ -n "$tail_pid" ]] && kill "$tail_pid" 2>/dev/null || true
    if [[ -n "$server_pid" ]]; then
        echo
        echo "Stopping the log server..."
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    echo "The traces are kept in $log"
}
trap stop EXIT
trap 'exit 0' INT TERM

# The log server publishes its socket only once it accepts clients, so its appearance is the
# sign that the server is ready.
"$server" --log "$log" &
server_pid=$!
for _ in $(seq 200); do
    [[ -S "$socket" ]] && break
    kill -0 "$server_pid" 2>/dev/null || { server_pid=; echo "run-demo: the log server did not start" >&2; exit 1; }
    sleep 0.05
done
[[ -S "$socket" ]] || { echo "run-demo: the log server did not come up within 10 s" >&2; exit 1; }

echo "Log server running (pid $server_pid), pipe $socket"
echo "Log file: $log"
echo
lines_before=$(wc -l <"$log")
"$example"
echo
echo "Traces as they arrive (Ctrl-C stops the demo):"
tail -n +"$((lines_before + 1))" -F "$log" &
tail_pid=$!
wait "$tail_pid" || true
