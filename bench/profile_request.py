"""Instructions per request in the server process, counted by callgrind.

The server runs under `valgrind --tool=callgrind` and exits once it has routed
N requests; a second run with no request measures start-up alone. The
difference divided by N is the cost of one request (accept, thread, head,
record, route, response, close), repeatable whatever else the machine does.

    python3 bench/profile_request.py [--requests 2000] [--head browser|short]
        [--entry start|serve] [--keep-alive]

`--entry serve` measures `zelweb.serve` instead of `start`; with
`--keep-alive` every request goes on one connection (serve only), which
leaves out the accept and the close: the head, the record, route and the
response alone.
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
entry = sys.argv[3]
if entry == "serve":
    serve = lambda: zelweb.serve(App(), "127.0.0.1", int(sys.argv[1]))
elif entry != "start":  # the design's ceiling (bench/compare/ceiling.cpp) instead
    sys.path.insert(0, entry)
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


def read_response(s, pending):
    """One response framed by its Content-Length; what follows it stays pending."""
    while b"\r\n\r\n" not in pending:
        pending += s.recv(65536)
    head, _, rest = pending.partition(b"\r\n\r\n")
    length = int(re.search(rb"\r\nContent-Length: (\d+)", head).group(1))
    while len(rest) < length:
        rest += s.recv(65536)
    return rest[length:]


def run(n, head, out_dir, entry, keep_alive):
    port = free_port()
    out = os.path.join(out_dir, f"callgrind.{n}")
    script = os.path.join(out_dir, "server.py")
    with open(script, "w") as f:
        f.write(SERVER)
    proc = subprocess.Popen(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, script,
         str(port), str(n), entry], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.2)
    # that probe connection was one request with an empty head: count from here
    if keep_alive:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            pending = b""
            for _ in range(n):
                s.sendall(head)
                pending = read_response(s, pending)
    else:
        for _ in range(n):
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
    ap.add_argument("--entry", choices=["start", "serve"], default="start")
    ap.add_argument("--keep-alive", action="store_true",
                    help="every request on one connection (serve only)")
    ap.add_argument("--ceiling", metavar="DIR",
                    help="profile the design's ceiling module built in DIR instead of zelweb")
    ap.add_argument("--keep", help="copy the callgrind output of the measured run here")
    args = ap.parse_args()
    if args.keep_alive and args.entry != "serve":
        ap.error("--keep-alive needs --entry serve")
    head = SHORT_HEAD if args.head == "short" else BROWSER_HEAD
    if args.keep_alive:
        head = head.replace(b"Connection: close\r\n", b"")
    entry = args.ceiling or args.entry
    with tempfile.TemporaryDirectory() as d:
        base, _ = run(0, head, d, entry, args.keep_alive)
        total, out = run(args.requests, head, d, entry, args.keep_alive)
        per = (total - base) / args.requests
        kept = ", kept alive" if args.keep_alive else ""
        print(f"server: {'ceiling' if args.ceiling else 'zelweb ' + args.entry}{kept}")
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
