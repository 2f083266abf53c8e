"""One WSGI application for Werkzeug, Waitress and Granian, and the two
servers started from Python:

    python3 wsgi_app.py PORT werkzeug
    python3 wsgi_app.py PORT waitress THREADS
"""
import logging
import sys
from urllib.parse import parse_qs

from common import BODY, CONTENT_TYPE, FILE_NAME, FORM_KEY, port_from_argv


def app(environ, start_response):
    path = environ["PATH_INFO"]
    if path == "/":
        start_response("200 OK", [("Content-Type", CONTENT_TYPE), ("Content-Length", str(len(BODY)))])
        return [BODY]
    if path == "/form":
        length = int(environ.get("CONTENT_LENGTH") or 0)
        form = parse_qs(environ["wsgi.input"].read(length))
        status = "200 OK" if form.get(FORM_KEY) else "400 Bad Request"
        start_response(status, [("Content-Type", CONTENT_TYPE), ("Content-Length", str(len(BODY)))])
        return [BODY]
    if path == "/file":
        f = open(FILE_NAME, "rb")
        size = f.seek(0, 2)
        f.seek(0)
        start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                  ("Content-Length", str(size))])
        wrapper = environ.get("wsgi.file_wrapper")
        return wrapper(f, 65536) if wrapper else iter(lambda: f.read(65536), b"")
    start_response("404 Not Found", [("Content-Length", "0")])
    return [b""]


if __name__ == "__main__":
    port = port_from_argv()
    kind = sys.argv[2]
    if kind == "werkzeug":
        from werkzeug.serving import run_simple

        logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no line per request
        run_simple("127.0.0.1", port, app, threaded=True)
    elif kind == "waitress":
        import waitress

        waitress.serve(app, host="127.0.0.1", port=port, threads=int(sys.argv[3]))
    else:
        sys.exit("unknown server " + kind)
