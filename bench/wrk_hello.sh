#!/usr/bin/env bash
# Requests per second and p99 latency of the hello example under wrk, one
# request per connection ("Connection: close"), at rising concurrency.
#
#   bash bench/wrk_hello.sh                 (10 s per run at 1, 16, 64, 256)
#   DURATION=3s CONCURRENCY="16 64" bash bench/wrk_hello.sh
#
# Runs the zelweb that `python3 -c "import zelweb"` finds (set PYTHONPATH to
# test a build directory). Needs wrk (Debian package `wrk`).
set -euo pipefail

PYTHON=${PYTHON:-python3}
DURATION=${DURATION:-10s}
CONCURRENCY=${CONCURRENCY:-1 16 64 256}
THREADS=${THREADS:-1}
HELLO="$(cd "$(dirname "$0")/.." && pwd)/examples/hello.py"

command -v wrk >/dev/null || { echo "wrk is missing (apt-get install wrk)" >&2; exit 1; }

# Server and load generator on different cores when there are two.
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
    SERVER_CPU=(taskset -c 0)
    WRK_CPU=(taskset -c 1)
else
    SERVER_CPU=()
    WRK_CPU=()
fi

workdir=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT

port=$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$workdir" && exec "${SERVER_CPU[@]}" "$PYTHON" "$HELLO" 127.0.0.1 "$port" >server.log 2>&1) &
server_pid=$!

for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$workdir/server.log" >&2; exit 1; }
    sleep 0.1
done

url="http://127.0.0.1:$port/?name=bench"
echo "zelweb hello, $url, Connection: close, $DURATION per run, wrk -t$THREADS" \
     "${WRK_CPU[*]:+(wrk: ${WRK_CPU[*]}, server: ${SERVER_CPU[*]})}"
printf '%12s %12s %10s %12s %s\n' concurrency requests/s p99 completed "socket errors"
for c in $CONCURRENCY; do
    t=$(( c < THREADS ? c : THREADS ))
    out=$("${WRK_CPU[@]}" wrk -t"$t" -c"$c" -d"$DURATION" --timeout 5s --latency \
          -H "Connection: close" "$url")
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    done_=$(awk '/requests in/ {print $1}' <<<"$out")
    errors=$(awk -F': ' '/Socket errors/ {print $2}' <<<"$out")
    printf '%12s %12s %10s %12s %s\n' "$c" "$rps" "$p99" "$done_" "${errors:-none}"
done
