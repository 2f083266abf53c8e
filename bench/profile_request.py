"""Instructions per request in the server process, counted by callgrind.

The server runs under `valgrind --tool=callgrind` and exits once it has routed
N requests; a second run with no request measures start-up alone. The
difference divided by N is the cost of one request (accept, thread, head,
record, route, response, close), repeatable whatever else the machine does.

    python3 bench/profile_request.py [--requests 2000] [--head browser|short]
    python3 bench/profile_request.py --serve wsgi     # serve, requests on one kept connection

`--serve route|wsgi|flask|django` profiles `zelweb.serve` instead of `start`:
the requests go one after the other on a single kept-alive connection, so
the difference is the cost of the request itself (head, record or
environment, application, response) without the connection's; `wsgi` is a
plain WSGI hello world, `flask` and `django` the frameworks' own.
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

SERVER = r'''
import os, sys, threading, time
import zelweb
N = int(sys.argv[2])
done = threading.Event()
count = 0
lock = threading.Lock()
class App:
    def route(self, http):
        global count
        http.c_text(b"Hello, World!")
        with lock:
            count += 1
            if count >= N:
                done.set()
MODE = os.environ.get("PROFILE_SERVE")
def counted():
    global count
    with lock:
        count += 1
        if count >= N:
            done.set()
def hello_wsgi(environ, start_response):
    counted()
    start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "13")])
    return [b"Hello, World!"]
if MODE == "flask":
    import flask
    flask_app = flask.Flask("profile")
    @flask_app.get("/")
    def index():
        counted()
        return "Hello, World!"
if MODE == "django":
    from django.conf import settings
    from django.http import HttpResponse
    from django.urls import path
    def index(request):
        counted()
        return HttpResponse("Hello, World!")
    urlpatterns = [path("", index)]
    settings.configure(DEBUG=False, SECRET_KEY="x", ALLOWED_HOSTS=["*"], ROOT_URLCONF=__name__,
                       MIDDLEWARE=[])
    import django
    django.setup()
    from django.core.wsgi import get_wsgi_application
    django_app = get_wsgi_application()
if MODE:
    wsgi = {"wsgi": hello_wsgi, "flask": flask_app if MODE == "flask" else None,
            "django": django_app if MODE == "django" else None}.get(MODE)
    port = int(sys.argv[1])
    if MODE == "route":
        serve = lambda: zelweb.serve(App(), "127.0.0.1", port)
    else:
        serve = lambda: zelweb.serve(wsgi, "127.0.0.1", port, interface="wsgi")
elif len(sys.argv) > 3:  # the design's ceiling (bench/compare/ceiling.cpp) instead
    sys.path.insert(0, sys.argv[3])
    import ceiling
    class App:
        def route(self, http):
            global count
            with lock:
                count += 1
                if count >= N:
                    done.set()
    serve = lambda: ceiling.serve(App(), "127.0.0.1", int(sys.argv[1]), True)
else:
    serve = lambda: zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
threading.Thread(target=serve, daemon=True).start()
if N == 0:
    time.sleep(1.5)
else:
    done.wait()
    time.sleep(0.5)
sys.stdout.flush()
os._exit(0)
'''

SHORT_HEAD = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
BROWSER_HEAD = (
    b"GET /index.html?lang=en&page=2 HTTP/1.1\r\n"
    b"Host: 127.0.0.1:8080\r\n"
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    b"Chrome/120.0.0.0 Safari/537.36\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
    b"image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7\r\n"
    b"Accept-Language: en-US,en;q=0.9,de;q=0.8\r\n"
    b"Accept-Encoding: gzip, deflate, br\r\n"
    b"Cookie: session=8f14e45fceea167a5a36dedd4bea2543; theme=dark; consent=yes\r\n"
    b"Referer: http://127.0.0.1:8080/index.html?lang=en&page=1\r\n"
    b"Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: navigate\r\n"
    b"Upgrade-Insecure-Requests: 1\r\nConnection: close\r\n\r\n"
)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(n, head, out_dir, ceiling=None, serve=None):
    port = free_port()
    out = os.path.join(out_dir, f"callgrind.{n}")
    script = os.path.join(out_dir, "server.py")
    with open(script, "w") as f:
        f.write(SERVER)
    proc = subprocess.Popen(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, script,
         str(port), str(n)] + ([ceiling] if ceiling else []), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, env=dict(os.environ, PROFILE_SERVE=serve or ""))
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.2)
    # that probe connection was one request with an empty head: count from here
    if serve and n:
        kept = head.replace(b"Connection: close\r\n", b"")
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            for _ in range(n):
                s.sendall(kept)
                reply = b""
                while b"Hello, World!" not in reply:
                    data = s.recv(65536)
                    if not data:
                        break
                    reply += data
    for _ in range(0 if serve else n):
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(head)
            while s.recv(65536):
                pass
    proc.wait(timeout=600)
    text = open(out).read()
    total = int(re.search(r"^summary: (\d+)", text, re.M).group(1))
    return total, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--head", choices=["short", "browser"], default="short")
    ap.add_argument("--ceiling", metavar="DIR",
                    help="profile the design's ceiling module built in DIR instead of zelweb")
    ap.add_argument("--keep", help="copy the callgrind output of the measured run here")
    ap.add_argument("--serve", choices=["route", "wsgi", "flask", "django"],
                    help="profile zelweb.serve with this application, on one kept connection")
    args = ap.parse_args()
    head = SHORT_HEAD if args.head == "short" else BROWSER_HEAD
    with tempfile.TemporaryDirectory() as d:
        base, _ = run(0, head, d, args.ceiling, args.serve)
        total, out = run(args.requests, head, d, args.ceiling, args.serve)
        per = (total - base) / args.requests
        print(f"server: {'ceiling' if args.ceiling else 'zelweb'}"
              f"{' serve, ' + args.serve + ', one kept connection' if args.serve else ''}")
        print(f"head: {args.head} ({len(head)} bytes), requests: {args.requests}")
        print(f"instructions per request (server process): {per:,.0f}")
        if args.keep:
            import shutil
            shutil.copy(out, args.keep)
        annotate = subprocess.run(["callgrind_annotate", "--inclusive=no", out],
                                  capture_output=True, text=True).stdout
        print("top functions by own instructions:")
        lines = [l for l in annotate.splitlines() if re.match(r"\s*[\d,]+ \(", l)]
        for l in lines[:25]:
            print("  " + l.strip()[:150])


if __name__ == "__main__":
    main()
