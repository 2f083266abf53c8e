"""Real Flask, Django and Falcon applications on serve(interface="wsgi"), each inside
wsgiref's validator. The three answer the same URLs, so each behaviour is one test
over the three: a query, a form, JSON, a multipart upload of three files (one of
20 MB) checked byte for byte, a body streamed as it is produced, a 30 MB file, HEAD,
a raising view, a kept-alive session, a chunked request body, Expect: 100-continue."""
import hashlib
import json
import os
import subprocess
import threading

import pytest
import requests

try:
    import flask
except ImportError:
    flask = None
try:
    import django
except ImportError:
    django = None
try:
    import falcon
except ImportError:
    falcon = None

GATE = threading.Event()  # a streamed body waits on it between its two pieces
FILES = {}  # "big": the 30 MB file the /file views send


def digest(data):
    return hashlib.sha256(data).hexdigest()


def streamed():
    yield b"first\n"
    GATE.wait(10)
    yield b"second\n"


# --- Flask -----------------------------------------------------------------------

def flask_app():
    app = flask.Flask("zelweb_flask_test")

    @app.get("/hello")
    def hello():
        return flask.render_template_string("Hello, {{ name }}!", name=flask.request.args["name"])

    @app.post("/form")
    def form():
        return ",".join(f"{k}={v}" for k, v in sorted(flask.request.form.items()))

    @app.post("/json")
    def json_view():
        return {"n": flask.request.get_json()["n"] + 1}

    @app.post("/upload")
    def upload():
        return flask.jsonify(sorted([field, f.filename, len(data), digest(data)]
                                    for field, f in flask.request.files.items(multi=True)
                                    for data in [f.read()]))

    @app.post("/echo")
    def echo():
        return digest(flask.request.get_data())

    @app.get("/stream")
    def stream():
        return flask.Response(streamed(), mimetype="text/plain")

    @app.get("/file")
    def file():
        return flask.send_file(FILES["big"])

    @app.get("/port")
    def port():
        return flask.request.environ["REMOTE_PORT"]

    @app.get("/boom")
    def boom():
        raise RuntimeError("view failed")
    return app


# --- Django ----------------------------------------------------------------------

def django_app():
    from django.conf import settings
    if not settings.configured:
        settings.configure(DEBUG=False, SECRET_KEY="test", ALLOWED_HOSTS=["*"],
                           ROOT_URLCONF=__name__, MIDDLEWARE=[], LOGGING_CONFIG=None)
        django.setup()
    from django.core.wsgi import get_wsgi_application
    return get_wsgi_application()


def django_urls():
    from django import http
    from django.urls import path

    def hello(request):
        return http.HttpResponse(f"Hello, {request.GET['name']}!")

    def form(request):
        return http.HttpResponse(",".join(f"{k}={v}" for k, v in sorted(request.POST.items())))

    def json_view(request):
        return http.JsonResponse({"n": json.loads(request.body)["n"] + 1})

    def upload(request):
        return http.JsonResponse(sorted([field, f.name, f.size, digest(f.read())]
                                        for field, files in request.FILES.lists()
                                        for f in files), safe=False)

    def echo(request):
        return http.HttpResponse(digest(request.body))

    def stream(request):
        return http.StreamingHttpResponse(streamed(), content_type="text/plain")

    def file(request):
        return http.FileResponse(open(FILES["big"], "rb"))

    def port(request):
        return http.HttpResponse(request.META["REMOTE_PORT"])

    def boom(request):
        raise RuntimeError("view failed")
    return [path(name, view) for name, view in [
        ("hello", hello), ("form", form), ("json", json_view), ("upload", upload),
        ("echo", echo), ("stream", stream), ("file", file), ("port", port), ("boom", boom)]]


def __getattr__(name):  # Django imports ROOT_URLCONF's urlpatterns lazily
    if name == "urlpatterns":
        return django_urls()
    raise AttributeError(name)


# --- Falcon ----------------------------------------------------------------------

def falcon_app():
    def text(resp, value):
        resp.content_type = falcon.MEDIA_TEXT
        resp.text = value

    class Hello:
        def on_get(self, req, resp):
            text(resp, f"Hello, {req.get_param('name')}!")
        on_head = on_get

    class Form:
        def on_post(self, req, resp):
            text(resp, ",".join(f"{k}={v}" for k, v in sorted(req.get_media().items())))

    class Json:
        def on_post(self, req, resp):
            resp.media = {"n": req.get_media()["n"] + 1}

    class Upload:
        def on_post(self, req, resp):
            resp.media = sorted([part.name, part.filename, len(data), digest(data)]
                                for part in req.get_media() if part.filename
                                for data in [part.stream.read()])

    class Echo:
        def on_post(self, req, resp):
            text(resp, digest(req.stream.read()))

    class Stream:
        def on_get(self, req, resp):
            resp.content_type = falcon.MEDIA_TEXT
            resp.stream = streamed()

    class File:
        def on_get(self, req, resp):
            resp.content_type = "application/octet-stream"
            resp.set_stream(open(FILES["big"], "rb"), os.path.getsize(FILES["big"]))

    class Port:
        def on_get(self, req, resp):
            text(resp, req.env["REMOTE_PORT"])

    class Boom:
        def on_get(self, req, resp):
            raise RuntimeError("view failed")
    app = falcon.App()
    app.req_options.strip_url_path_trailing_slash = True
    for path, resource in [("/hello", Hello()), ("/form", Form()), ("/json", Json()),
                           ("/upload", Upload()), ("/echo", Echo()), ("/stream", Stream()),
                           ("/file", File()), ("/port", Port()), ("/boom", Boom())]:
        app.add_route(path, resource)
    return app


APPS = {"flask": flask_app, "django": django_app, "falcon": falcon_app}


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("frameworks") / "big.bin"
    path.write_bytes(os.urandom(30 * 1024 * 1024))
    FILES["big"] = str(path)
    return path


@pytest.fixture(params=sorted(APPS))
def site(request, wsgi_serving):
    pytest.importorskip(request.param)
    srv = wsgi_serving()
    srv.handle("*", APPS[request.param]())
    srv.framework = request.param
    return srv


def test_query_form_and_json(site):
    assert requests.get(site.url("/hello?name=Ada%20L")).text == "Hello, Ada L!"
    assert requests.post(site.url("/form"), data={"b": "2 3", "a": "é"}).text == "a=é,b=2 3"
    assert requests.post(site.url("/json"), json={"n": 41}).json() == {"n": 42}


def test_three_file_upload_arrives_byte_for_byte(site):
    files = [("doc", ("a.txt", b"small text\r\n--not a boundary\r\n")),
             ("doc", ("b.bin", os.urandom(20 * 1024 * 1024))),
             ("other", ("empty.dat", b""))]
    response = requests.post(site.url("/upload"), files=files, data={"title": "three"})
    assert response.status_code == 200, response.text
    assert response.json() == sorted([field, name, len(data), digest(data)]
                                     for field, (name, data) in files)


def test_body_streams_as_it_is_produced(site):
    GATE.clear()
    with requests.get(site.url("/stream"), stream=True, timeout=10) as r:
        pieces = r.iter_content(chunk_size=None)
        assert next(pieces) == b"first\n"  # while the view still waits on GATE
        GATE.set()
        assert b"".join(pieces) == b"second\n"


def test_large_file_and_head(site, big_file):
    response = requests.get(site.url("/file"), timeout=60)
    assert response.status_code == 200
    assert int(response.headers["Content-Length"]) == big_file.stat().st_size
    assert digest(response.content) == digest(big_file.read_bytes())
    head = requests.head(site.url("/hello?name=x"))
    assert head.status_code == 200 and head.content == b""
    assert head.headers.get("Content-Length") in (None, str(len("Hello, x!")))


def test_raising_view_is_500_and_a_session_keeps_its_connection(site):
    with requests.Session() as session:
        assert session.get(site.url("/boom")).status_code == 500
        assert len({session.get(site.url("/port")).text for _ in range(4)}) == 1


def test_chunked_request_body(site):
    if site.framework == "django":
        pytest.skip("Django reads CONTENT_LENGTH bytes only: a chunked body is empty to it")
    data = os.urandom(300_000)
    pieces = (data[i:i + 65536] for i in range(0, len(data), 65536))
    assert requests.post(site.url("/echo"), data=pieces).text == digest(data)


def test_expect_continue_with_curl(site, tmp_path):
    body = tmp_path / "body.bin"
    body.write_bytes(os.urandom(100_000))
    done = subprocess.run(["curl", "-sS", "-v", "-H", "Expect: 100-continue",
                           "--data-binary", f"@{body}", site.url("/echo")],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert "< HTTP/1.1 100 Continue" in done.stderr
    assert done.stdout == digest(body.read_bytes())


def test_flask_example_as_users_run_it(tmp_path):
    pytest.importorskip("flask")
    from helpers import ExampleProcess
    example = ExampleProcess("flask_app.py", tmp_path)
    try:
        with requests.Session() as browser:
            page = browser.get(example.url("/?name=<Ada>")).text
            assert "<h1>Hello, &lt;Ada&gt;!</h1>" in page and "Visits in this session: 1." in page
            assert "Visits in this session: 2." in browser.get(example.url("/")).text
            added = browser.post(example.url("/notes"), data={"text": "from the form"})
            assert added.url == example.url("/") and "<li>from the form</li>" in added.text
        created = requests.post(example.url("/api/notes"), json={"text": "buy milk"})
        assert created.status_code == 201 and created.json() == {"id": 2, "text": "buy milk"}
        assert [n["text"] for n in requests.get(example.url("/api/notes")).json()] == \
            ["from the form", "buy milk"]
        data = os.urandom(3_000_000)
        kept = requests.post(example.url("/upload"), files=[("file", ("../a b.bin", data)),
                                                            ("file", ("n.txt", b"note"))])
        assert kept.json() == [{"name": "a_b.bin", "size": len(data)}, {"name": "n.txt", "size": 4}]
        saved = os.listdir(tmp_path / "uploads")
        assert sorted(name.split("-", 1)[1] for name in saved) == ["a_b.bin", "n.txt"]
    finally:
        example.stop()
