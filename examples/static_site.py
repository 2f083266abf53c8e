"""A static site: the files of examples/public/ sent by the server itself, a
route for the rest.

    python3 examples/static_site.py [host] [port]        (default: 127.0.0.1 8080)

    open http://127.0.0.1:8080/                        (redirected to /static/)
    curl -i http://127.0.0.1:8080/static/css/site.css
    curl -i --compressed http://127.0.0.1:8080/static/css/site.css   (site.css.gz, gzip)
    curl -i -r 0-99 http://127.0.0.1:8080/static/index.html           (206, 100 bytes)
    curl -i http://127.0.0.1:8080/static/about        (301 to /static/about/)
    curl -i http://127.0.0.1:8080/time                (route's)
"""
from __future__ import annotations

import os
import sys
import time

import zelweb

# Beside this script, wherever it is run from.
PUBLIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "public")


class App:
    """Called for what the folder does not answer: other paths, and methods
    other than GET and HEAD under /static/."""

    def route(self, http: zelweb.http_t) -> None:
        if http.c_path(b"/"):
            http.c_redirect(b"/static/")
        elif http.c_path(b"/time"):
            http.c_content_type(b"text/plain; charset=utf-8")
            http.c_text(time.strftime("%Y-%m-%d %H:%M:%S UTC\n", time.gmtime()).encode())
        else:
            http.c_status(404)
            http.c_text(b"<h1>Not Found</h1>")


if __name__ == "__main__":
    os.makedirs("tmp", exist_ok=True)  # where serve streams uploads
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    # A missing file under /static/ is the server's 404; browsers may keep the
    # files an hour, revalidating them with If-None-Match after that.
    zelweb.serve(App(), host, port, static={"/static": PUBLIC}, static_max_age=3600,
                 access_log=True)
