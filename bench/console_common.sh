# Shared by the console benchmarks (sourced): start lighttpd on a laid-out demo and log on.

# start_lighttpd DEMO PORT: starts lighttpd in the background and waits until it takes
# connections; its process id is in $lighttpd_pid.
start_lighttpd() {
    "$(command -v lighttpd || echo /usr/sbin/lighttpd)" -D -f "$1/lighttpd.conf" &
    lighttpd_pid=$!
    for _ in $(seq 1 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null && break
        sleep 0.05
    done
}

# console_cookies PORT PASSWORD: logs on as admin and prints the session's cookies as one
# Cookie header value; fails when the log-on does.
console_cookies() {
    local cookies
    cookies=$(curl -s -D - -o /dev/null -H "Origin: http://127.0.0.1:$1" \
        --data "user=admin&password=$2" "http://127.0.0.1:$1/norvel/cgi/login.cgi" |
        sed -n 's/^Set-Cookie: \([a-z]*=[^;]*\).*/\1/p' | tr -d '\r' | paste -sd ';' -)
    [[ "$cookies" == *key=* ]] || return 1
    echo "$cookies"
}
