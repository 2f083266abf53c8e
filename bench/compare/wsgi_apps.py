"""The WSGI applications of the WSGI comparison, and the servers started from Python.

    raw      a WSGI callable: "hello world" with its Content-Length; /upload (a
             multipart body, its file's size answered); /file (FILE, sent through
             wsgi.file_wrapper with its Content-Length)
    flask    Flask: @app.get("/") returning "hello world"; /upload reads
             request.files
    django   a one-file Django application: a view returning "hello world"

    python3 wsgi_apps.py PORT zelweb APP          zelweb.serve(interface="wsgi")
    python3 wsgi_apps.py PORT route               zelweb.serve with the record's API
    python3 wsgi_apps.py PORT waitress APP THREADS

Granian and gunicorn load `wsgi_apps:raw`, `wsgi_apps:flask_app` or
`wsgi_apps:django_app` themselves. FILE is the environment's WSGI_FILE, the
big file of the file_wrapper rate.
"""
import os
import sys

from common import BODY, CONTENT_TYPE, port_from_argv

FILE = os.environ.get("WSGI_FILE", "big.bin")
HEADERS = [("Content-Type", CONTENT_TYPE), ("Content-Length", str(len(BODY)))]


def raw(environ, start_response):
    path = environ["PATH_INFO"]
    if path == "/file":
        f = open(FILE, "rb")
        start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                  ("Content-Length", str(os.fstat(f.fileno()).st_size))])
        return environ["wsgi.file_wrapper"](f, 1 << 20)
    start_response("200 OK", HEADERS)
    return [BODY]


def make_flask():
    import flask
    app = flask.Flask("bench")

    @app.get("/")
    def hello():
        return "hello world"

    @app.post("/upload")
    def upload():
        f = flask.request.files["file"]
        size = 0
        for block in iter(lambda: f.stream.read(1 << 16), b""):
            size += len(block)
        return str(size)
    return app


def make_django():
    from django.conf import settings
    from django.http import HttpResponse
    from django.urls import path

    def hello(request):
        response = HttpResponse(BODY)
        response["Content-Length"] = str(len(BODY))  # as CommonMiddleware would set it
        return response
    globals()["urlpatterns"] = [path("", hello)]
    settings.configure(DEBUG=False, SECRET_KEY="bench", ALLOWED_HOSTS=["*"],
                       ROOT_URLCONF=__name__, MIDDLEWARE=[])
    import django
    django.setup()
    from django.core.wsgi import get_wsgi_application
    return get_wsgi_application()


flask_app = make_flask()
django_app = make_django()
APPS = {"raw": raw, "flask": flask_app, "django": django_app}


class Route:
    def route(self, http):
        http.c_text(BODY)


if __name__ == "__main__":
    port = port_from_argv()
    kind = sys.argv[2]
    if kind == "zelweb":
        import zelweb
        zelweb.serve(APPS[sys.argv[3]], "127.0.0.1", port, interface="wsgi")
    elif kind == "route":
        import zelweb
        zelweb.serve(Route(), "127.0.0.1", port)
    elif kind == "waitress":
        import waitress
        waitress.serve(APPS[sys.argv[3]], host="127.0.0.1", port=port, threads=int(sys.argv[4]))
    else:
        sys.exit("unknown server " + kind)
