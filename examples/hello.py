"""Hello, zelweb: a page, a query parameter, a cookie, a redirect and a download.

    python3 examples/hello.py [host] [port]        (default: 127.0.0.1 8080)

    curl 'http://127.0.0.1:8080/?name=Ada'
    curl -i http://127.0.0.1:8080/home            (a redirect to /)
    curl -OJ http://127.0.0.1:8080/download       (-J: saved as hello.txt, Content-Disposition's name)
"""
from __future__ import annotations

import html
import os
import signal
import sys

import zelweb

DOWNLOAD = b"tmp/hello.txt"

PAGE = """<!doctype html>
<title>zelweb</title>
<h1>Hello, {name}!</h1>
<p>Visits from this browser: {visits}.</p>
<p><a href="/download">Download hello.txt</a></p>
"""


class App:
    def route(self, http: zelweb.http_t) -> None:
        if http.c_path(b"/"):
            # c_get gives the value percent-decoded; escape it before it goes into HTML.
            name = http.c_get(b"name").decode() or "world"
            seen = http.c_get_cookie(b"visits")
            visits = int(seen) + 1 if seen.isdigit() else 1
            http.c_set_cookie(b"visits", b"%d; Path=/; SameSite=Lax" % visits)
            http.c_text(PAGE.format(name=html.escape(name), visits=visits).encode())
        elif http.c_path(b"/home"):
            http.c_redirect(b"/")
        elif http.c_path(b"/download"):
            http.c_content_type(b"text/plain; charset=utf-8")
            http.c_set_header(b"Content-Disposition", b'attachment; filename="hello.txt"')
            http.c_data(DOWNLOAD)
        else:
            http.c_status(404)
            http.c_status_text(b"Not Found")
            http.c_text(b"<h1>Not Found</h1>")


def prepare() -> None:
    # zelweb works relative to the current directory and streams uploads into
    # tmp/, which it never creates itself.
    os.makedirs("tmp", exist_ok=True)
    with open(DOWNLOAD, "wb") as f:
        f.write(b"Hello from zelweb.\n")


def address(argv: list[str], default_port: int) -> tuple[bytes, int]:
    host = argv[1] if len(argv) > 1 else "127.0.0.1"
    port = int(argv[2]) if len(argv) > 2 else default_port
    return host.encode(), port


if __name__ == "__main__":
    prepare()
    host, port = address(sys.argv, 8080)
    # The accept loop outlives KeyboardInterrupt; let Ctrl-C end the process.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    zelweb.start(App(), host, port, 0)  # never returns
