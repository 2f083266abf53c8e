#!/usr/bin/env bash
# Requests per second through nginx to 1, 2 and 4 zelweb processes, against
# one zelweb process alone. wrk sends "Connection: close", so every request is
# a new client connection; behind nginx, deploy/run.sh keeps the upstream
# connections to zelweb open. Each run is bounded in time.
#
#   bench/nginx_scale.sh [DURATION_SECONDS] [CONNECTIONS]     (default: 5 32)
#
# The application does a little Python work per request (a 100-row table), so
# the interpreter lock, not the network, bounds one process. Needs nginx and
# wrk; uses the zelweb that `python3 -c "import zelweb"` finds, and its
# command (python3 -m zelweb_cli) to serve.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
duration=${1:-5}
connections=${2:-32}
PYTHON=${PYTHON:-python3}
command -v wrk >/dev/null || { echo "wrk is needed (apt-get install -y wrk)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zelweb-scale.XXXXXX")
pids=()
stop() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}
trap 'stop; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cat >"$work/app.py" <<'PY'
class App:
    def route(self, http):
        rows = "".join("<tr><td>%d</td><td>%s</td></tr>" % (i, "x" * (i % 7)) for i in range(100))
        http.c_text(("<table>%s</table>" % rows).encode())

app = App()
PY

free_ports() {  # N: the first of N consecutive free ports, below the ephemeral
    # range so that the many client connections of a run never hold one of them
    "$PYTHON" - "$1" <<'PY'
import random, socket, sys
n = int(sys.argv[1])
for _ in range(200):
    base = random.randrange(20000, 32000)
    try:
        for p in range(base, base + n):
            with socket.socket() as s:
                s.bind(("127.0.0.1", p))
    except OSError:
        continue
    print(base)
    break
else:
    sys.exit("no free ports")
PY
}

wait_port() {
    for _ in $(seq 300); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on $1" >&2
    return 1
}

measure() {  # label port
    # A short warm-up, then the measured run; wrk's own timeout bounds each request.
    timeout 30 wrk -t1 -c4 -d1s -H "Connection: close" "http://127.0.0.1:$2/" >/dev/null
    local out
    out=$(timeout $((duration + 30)) wrk -t2 -c"$connections" -d"${duration}s" --timeout 5s \
        -H "Connection: close" "http://127.0.0.1:$2/")
    local rps errors
    rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    errors=$(awk '/Socket errors|Non-2xx/ {printf "%s ", $0}' <<<"$out")
    printf "%-28s %10s req/s  %s\n" "$1" "$rps" "${errors:-no errors}"
}

echo "wrk: ${duration}s, $connections connections, Connection: close; $(nproc) cores"
port=$(free_ports 1)
(cd "$work" && exec "$PYTHON" -m zelweb_cli --interface route --port "$port" app:app >/dev/null) &
pids+=($!)
wait_port "$port"
measure "1 process, direct" "$port"
stop

for n in 1 2 4; do
    listen=$(free_ports 1)
    base=$(free_ports "$n")
    [ "$listen" -lt "$base" ] || [ "$listen" -ge $((base + n)) ] || base=$(free_ports "$n")
    (cd "$work" && exec bash "$root/deploy/run.sh" "$n" "$base" "$listen" --interface route app:app \
        >"$work/run.log" 2>&1) &
    pids+=($!)
    wait_port "$listen" || { cat "$work/run.log" >&2; exit 1; }
    sleep 0.5
    measure "nginx -> $n process(es)" "$listen"
    stop
done
