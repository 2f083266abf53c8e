"""Serving files with c_data, and a generated file sent once with c_data_r.

    python3 examples/files.py [host] [port]        (default: 127.0.0.1 8080)

    curl http://127.0.0.1:8080/                    (the list of files in ./public/)
    curl http://127.0.0.1:8080/files/hello.txt
    curl 'http://127.0.0.1:8080/files/my%20notes.txt'   (names are percent-encoded in the URL)
    curl http://127.0.0.1:8080/report.csv          (made per request, removed once sent)
"""
import csv
import html
import io
import mimetypes
import os
import signal
import stat
import sys
import threading
import time
import urllib.parse
import uuid

import zelweb

PUBLIC = "public"
PREFIX = b"/files/"
served = 0
served_lock = threading.Lock()


def public_file(name: bytes) -> bytes:
    """The path of a plain file directly in public/, or b"" for anything else."""
    # Checked after decoding, so an escaped "/" (%2F) or zero byte (%00) is refused too.
    if not name or b"/" in name or b"\\" in name or b"\0" in name or name.startswith(b"."):
        return b""
    path = PUBLIC.encode() + b"/" + name
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return b""
    return path if stat.S_ISREG(mode) else b""


class App:
    def route(self, http: zelweb.http_t) -> None:
        url = http.c_url()
        if url == b"/":
            self.index(http)
        elif url.startswith(PREFIX):
            # The path arrives as sent: "my%20notes.txt" names "my notes.txt".
            self.send(http, urllib.parse.unquote_to_bytes(url[len(PREFIX):]))
        elif url == b"/report.csv":
            self.report(http)
        else:
            self.not_found(http)

    def index(self, http: zelweb.http_t) -> None:
        # Names as bytes, since a file name need not be UTF-8; each link is
        # percent-encoded so that send() decodes it back to the same name.
        names = sorted(n for n in os.listdir(PUBLIC.encode()) if public_file(n))
        items = "".join('<li><a href="/files/{0}">{1}</a></li>'.format(
            urllib.parse.quote_from_bytes(n, safe=""), html.escape(n.decode(errors="replace")))
            for n in names)
        http.c_content_type(b"text/html; charset=utf-8")
        http.c_text(("<!doctype html><title>Files</title><ul>%s</ul>"
                     '<p><a href="/report.csv">report.csv</a></p>' % items).encode())

    def send(self, http: zelweb.http_t, name: bytes) -> None:
        path = public_file(name)
        if not path:
            self.not_found(http)
            return
        kind, _ = mimetypes.guess_type(path.decode(errors="replace"))
        http.c_content_type((kind or "application/octet-stream").encode())
        # The file goes out after route returns, in exactly the size read now.
        # An empty file keeps the (empty) text body instead.
        http.c_data(path)
        self.count()

    def report(self, http: zelweb.http_t) -> None:
        # A file made for one response: c_data_r removes it after sending. A
        # unique name keeps concurrent requests apart.
        out = io.StringIO()
        writer = csv.writer(out)
        writer.writerow(["time", "files served"])
        with served_lock:
            writer.writerow([time.strftime("%Y-%m-%d %H:%M:%S"), served])
        path = "tmp/report-%s.csv" % uuid.uuid4().hex
        with open(path, "w", newline="") as f:
            f.write(out.getvalue())
        http.c_content_type(b"text/csv")
        http.c_set_header(b"Content-Disposition", b'attachment; filename="report.csv"')
        http.c_data_r(path.encode())

    @staticmethod
    def count() -> None:
        global served
        with served_lock:
            served += 1

    @staticmethod
    def not_found(http: zelweb.http_t) -> None:
        http.c_status(404)
        http.c_status_text(b"Not Found")
        http.c_text(b"<h1>Not Found</h1>")


def prepare() -> None:
    os.makedirs("tmp", exist_ok=True)
    if not os.path.isdir(PUBLIC):
        os.makedirs(PUBLIC)
        with open(os.path.join(PUBLIC, "hello.txt"), "w") as f:
            f.write("Hello from a file served by zelweb.\n")


if __name__ == "__main__":
    prepare()
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    # The accept loop outlives KeyboardInterrupt; let Ctrl-C end the process.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    zelweb.start(App(), host.encode(), port, 0)
