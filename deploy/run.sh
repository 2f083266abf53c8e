#!/usr/bin/env bash
# Serves one zelweb application from N processes behind nginx.
#
#   deploy/run.sh N BASE_PORT LISTEN_PORT [OPTION...] MODULE:ATTR
#
# Starts N processes of the zelweb command, each serving MODULE:ATTR with
# the OPTIONs given (`python3 -m zelweb_cli --interface route --factory
# json_api:App`, say, as `zelweb` runs it; see "The zelweb command" in
# docs/reference.md) on BASE_PORT .. BASE_PORT+N-1, then nginx in the
# foreground on LISTEN_PORT with an upstream over them that keeps its
# connections to them open, from a configuration generated in a temporary
# directory. Runs until it is stopped (Ctrl-C, or SIGTERM to its PID) or
# until one of the processes ends; then stops nginx gracefully, then every
# zelweb process with SIGTERM (serve finishes the requests it has), all by
# PID, and removes the temporary directory.
#
# An application served with --workers W is one process on one port: run it
# with N=1, and nginx's one upstream server is its W workers, which share the
# port.
#
# The zelweb processes run in the current directory (their tmp/ and cert/ are
# there, and MODULE is imported from it unless --app-dir says otherwise);
# tmp/ is made when missing. Settings, from the environment:
#   PYTHON        interpreter whose zelweb serves the application (python3)
#   BACKEND_HOST  address the zelweb processes bind        (127.0.0.1)
#   LISTEN_HOST   address nginx listens on                 (127.0.0.1)
#   UPLOAD_PATHS  paths that take uploads, space-separated (/upload)
#   UPLOAD_MAX    body size allowed on those paths         (100m)
#   NGINX         the nginx binary                         (nginx)
#   NGINX_WORKERS nginx worker processes                   (auto)
#   ACCESS_LOG    a file for nginx's access log            (none)
set -euo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 N BASE_PORT LISTEN_PORT [OPTION...] MODULE:ATTR" >&2
    exit 2
fi
count=$1 base_port=$2 listen_port=$3
shift 3
app=${*: -1}  # MODULE:ATTR, for the messages
case "$count$base_port$listen_port" in
    *[!0-9]*) echo "$0: N and the ports are numbers" >&2; exit 2 ;;
esac
if [ "$count" -lt 1 ] || [ $((base_port + count - 1)) -gt 65535 ] || [ "$listen_port" -gt 65535 ]; then
    echo "$0: N must be at least 1 and every port at most 65535" >&2
    exit 2
fi

PYTHON=${PYTHON:-python3}
BACKEND_HOST=${BACKEND_HOST:-127.0.0.1}
LISTEN_HOST=${LISTEN_HOST:-127.0.0.1}
UPLOAD_PATHS=${UPLOAD_PATHS-/upload}
UPLOAD_MAX=${UPLOAD_MAX:-100m}
NGINX=${NGINX:-nginx}
NGINX_WORKERS=${NGINX_WORKERS:-auto}
"$PYTHON" -c "import zelweb_cli" 2>/dev/null ||
    { echo "$0: $PYTHON cannot import zelweb_cli: install zelweb for it" >&2; exit 2; }
command -v "$NGINX" >/dev/null || { echo "$0: nginx not found (apt-get install -y nginx)" >&2; exit 2; }

conf_dir=$(mktemp -d "${TMPDIR:-/tmp}/zelweb-deploy.XXXXXX")
chmod 755 "$conf_dir"  # nginx's workers write request bodies below it
pids=()       # the zelweb processes
nginx_pid=""

wait_gone() {  # tenths-of-a-second pid...: waits until none of them is alive
    local tries=$1 pid alive
    shift
    for _ in $(seq "$tries"); do
        alive=0
        for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ $alive -eq 0 ] && return 0
        sleep 0.1
    done
    return 1
}

stop_all() {
    trap - EXIT INT TERM
    local pid
    # nginx first, so that no request reaches a zelweb process that has
    # stopped accepting: QUIT lets it finish the requests it has (5 s at most).
    if [ -n "$nginx_pid" ]; then
        kill -QUIT "$nginx_pid" 2>/dev/null || true
        wait_gone 50 "$nginx_pid" || kill -TERM "$nginx_pid" 2>/dev/null || true
    fi
    # Then zelweb: SIGTERM lets serve finish its requests within its
    # shutdown_timeout (10 s by default); SIGKILL only after 12 s.
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait_gone 120 "${pids[@]}" $nginx_pid ||
        for pid in "${pids[@]}" $nginx_pid; do kill -KILL "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$conf_dir"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

wait_listening() {  # host port pid
    for _ in $(seq 100); do
        kill -0 "$3" 2>/dev/null || return 1
        if (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    return 1
}

mkdir -p tmp  # zelweb streams uploads into ./tmp and never makes it itself
servers=""
for ((i = 0; i < count; i++)); do
    port=$((base_port + i))
    # nginx, on this machine, is the one proxy whose X-Forwarded-* lines are
    # trusted; the address last, so that options given for it do not move it.
    "$PYTHON" -m zelweb_cli --forwarded-allow-ips 127.0.0.1 "$@" \
        --host "$BACKEND_HOST" --port "$port" &
    pids+=($!)
    servers+="        server $BACKEND_HOST:$port;"$'\n'
done
for ((i = 0; i < count; i++)); do
    wait_listening "$BACKEND_HOST" $((base_port + i)) "${pids[i]}" ||
        { echo "$0: $app did not start on port $((base_port + i))" >&2; exit 1; }
done

user_line=""
if [ "$(id -u)" -eq 0 ]; then
    # A master started as root hands its workers to an unprivileged user.
    if id www-data >/dev/null 2>&1; then user_line="user www-data;"; else user_line="user nobody nogroup;"; fi
fi

upload_locations=""
for path in $UPLOAD_PATHS; do
    upload_locations+="        location = $path {
            client_max_body_size $UPLOAD_MAX;
            proxy_pass http://zelweb;
        }"$'\n'
done

cat >"$conf_dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes $NGINX_WORKERS;
pid $conf_dir/nginx.pid;
error_log stderr warn;
$user_line

events {
    worker_connections 4096;
}

http {
    access_log ${ACCESS_LOG:-off};
    client_body_temp_path $conf_dir/body;
    proxy_temp_path $conf_dir/proxy;
    fastcgi_temp_path $conf_dir/fastcgi;
    uwsgi_temp_path $conf_dir/uwsgi;
    scgi_temp_path $conf_dir/scgi;

    upstream zelweb {
$servers
        # Connections to zelweb are kept open and reused: up to 16 idle ones
        # per nginx worker, each closed by nginx after 4 s idle, before
        # serve's keep_alive (5 s) would close it under a request in flight.
        keepalive 16;
        keepalive_timeout 4s;
    }

    server {
        listen $LISTEN_HOST:$listen_port;

        # zelweb reads a form or JSON body of at most 1,024,000 bytes (max_post)
        # and silently ignores a larger one: refuse it here with 413 instead.
        # Uploads are not bounded by max_post; they get UPLOAD_MAX, on the
        # paths that take them only.
        client_max_body_size 1000k;

        # HTTP/1.1 without a Connection header of the client's: the upstream
        # connection stays open for the next request (serve keeps it alive).
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        # nginx has the whole body before it connects (request buffering), so
        # a 100-continue exchange with zelweb would only confuse the response.
        proxy_set_header Expect "";
        proxy_set_header Host \$host;
        # The client's address and scheme: an application served with
        # forwarded_allow_ips=["127.0.0.1"] (--forwarded-allow-ips 127.0.0.1)
        # gets them from c_remote_addr and c_scheme (WSGI: REMOTE_ADDR,
        # wsgi.url_scheme). nginx appends the address it sees to whatever the
        # client sent, so a chain from a proxy in front survives for logs;
        # anything before nginx's entry may be forged, and serve takes the
        # nearest address that is not a trusted proxy. (\$remote_addr would
        # overwrite the value instead, and drop that chain.) X-Real-IP holds
        # the same address alone.
        proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
        proxy_set_header X-Real-IP \$remote_addr;
        proxy_set_header X-Forwarded-Proto \$scheme;

        location / {
            proxy_pass http://zelweb;
        }
$upload_locations    }
}
EOF

"$NGINX" -p "$conf_dir" -c "$conf_dir/nginx.conf" -e stderr &
nginx_pid=$!
wait_listening "$LISTEN_HOST" "$listen_port" "$nginx_pid" ||
    { echo "$0: nginx did not start; configuration in $conf_dir/nginx.conf:" >&2; cat "$conf_dir/nginx.conf" >&2; exit 1; }
echo "ready: http://$LISTEN_HOST:$listen_port/ -> $count zelweb process(es) on $BACKEND_HOST:$base_port-$((base_port + count - 1))"

# Ends when any process ends: a server that died must not go unnoticed.
set +e
wait -n "${pids[@]}" "$nginx_pid"
status=$?
echo "$0: a process ended (status $status); stopping the rest" >&2
exit 1
