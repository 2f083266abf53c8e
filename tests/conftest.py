"""One zelweb server for the whole session (and one zelweb.serve server per set of
options), plus clients that speak raw bytes.

The server runs `zelweb.start` on a daemon thread (it never returns) from a
temporary working directory holding `tmp/` and a throwaway `cert/` pair. Its
application dispatches on the path to handlers that each test registers, so
every test writes its own `route` and one server serves all of them.
"""
import gc
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from wsgiref.validate import WSGIWarning, validator

import pytest

import zelweb
from helpers import HOST, Output, free_port, read_to_close, wait_listening  # noqa: F401 (re-exported)


def make_cert(directory):
    os.makedirs(directory, exist_ok=True)
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", os.path.join(directory, "app.key"),
         "-out", os.path.join(directory, "app.crt")],
        check=True, capture_output=True)


class Routes:
    """The application: path -> handler(http). Unknown paths get 404."""

    def __init__(self):
        self.handlers = {}
        self.seen = []  # records of requests whose handler asked to keep them

    def route(self, http):
        handler = self.handlers.get(http.c_url())
        if handler is None:
            http.c_status(404)
            http.c_status_text(b"Not Found")
            return
        handler(http)


class Server:
    def __init__(self, port, routes, tls=False):
        self.port = port
        self.routes = routes
        self.tls = tls

    def handle(self, path, handler):
        """Registers handler(http) for the path (bytes) and returns the path."""
        self.routes.handlers[path] = handler
        return path

    def raw(self, data, pieces=None, delay=0.0, timeout=10.0, shutdown=True):
        """Sends bytes (whole, or cut at the given sizes) and reads until close."""
        with socket.create_connection((HOST, self.port), timeout=timeout) as s:
            if pieces:
                at = 0
                for size in pieces:
                    s.sendall(data[at:at + size])
                    at += size
                    if delay:
                        time.sleep(delay)
                s.sendall(data[at:])
            else:
                s.sendall(data)
            if shutdown:
                s.shutdown(socket.SHUT_WR)
            return read_to_close(s)

    def get(self, target=b"/", headers=b""):
        return self.raw(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n" + headers + b"\r\n")

    def url(self, path="/"):
        return f"{'https' if self.tls else 'http'}://{HOST}:{self.port}{path}"


@pytest.fixture(scope="session")
def workdir():
    old = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="zelweb-test-") as d:
        os.chdir(d)
        os.makedirs("tmp")
        make_cert("cert")
        try:
            yield d
        finally:
            os.chdir(old)


def _start(tls, routes):
    port = free_port()
    t = threading.Thread(target=zelweb.start, args=(routes, HOST.encode(), port, 1 if tls else 0),
                         daemon=True)
    t.start()
    wait_listening(port)
    return Server(port, routes, tls)


@pytest.fixture(scope="session")
def _plain_server(workdir):
    return _start(False, Routes())


@pytest.fixture(scope="session")
def _tls_server(workdir):
    return _start(True, Routes())


def clear_after_test(server):
    """Yields the server to one test, then drops the handlers it registered."""
    yield server
    server.routes.handlers.clear()


@pytest.fixture
def server(_plain_server):
    """The shared plain-TCP server; handlers registered by a test are dropped after it."""
    yield from clear_after_test(_plain_server)


@pytest.fixture
def tls_server(_tls_server):
    yield from clear_after_test(_tls_server)


@pytest.fixture
def output():
    """What the server threads print during the test; see helpers.Output."""
    return Output()


@pytest.hookimpl(hookwrapper=True, trylast=True)
def pytest_runtest_call(item):
    # Inside pytest's own capture, which takes the descriptors back when the
    # test body starts: Output redirects them only for the body.
    captured = item.funcargs.get("output")
    if captured is None:
        yield
        return
    with captured:
        yield


def _serve(routes, **options):
    port = free_port()
    t = threading.Thread(target=zelweb.serve, args=(routes, HOST, port), kwargs=options,
                         daemon=True)
    t.start()
    wait_listening(port)
    return Server(port, routes, bool(options.get("https")))


@pytest.fixture(scope="session")
def _serve_servers(workdir):
    uploads = os.path.join(workdir, "uploads")
    os.makedirs(uploads)
    servers = {}

    def get(**options):
        key = repr(sorted(options.items()))
        if key not in servers:
            servers[key] = _serve(Routes(), upload_dir=pathlib.Path(uploads), **options)
            servers[key].upload_dir = os.fsencode(uploads)
        return servers[key]
    return get


@pytest.fixture
def serving(_serve_servers):
    """serving(**options): the session's zelweb.serve server (on a daemon thread) with
    those options, its uploads under its upload_dir; a test's handlers are dropped after it."""
    used = []

    def get(**options):
        used.append(_serve_servers(**options))
        return used[-1]
    yield get
    for s in used:
        s.routes.handlers.clear()


def run_python(code, cwd=None, timeout=60):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=cwd, timeout=timeout)


# --- WSGI ----------------------------------------------------------------------------

class WsgiApps:
    """The WSGI application of a wsgi server: PATH_INFO -> app(environ, start_response)
    (the app under "*" for any other path). Each app registered is wrapped in
    wsgiref.validate.validator, so any departure from PEP 3333 by the server (or the
    app) fails the test; `raw=True` leaves it unwrapped."""

    def __init__(self):
        self.handlers = {}

    def __call__(self, environ, start_response):
        app = self.handlers.get(environ["PATH_INFO"]) or self.handlers.get("*")
        if app is None:
            start_response("404 Not Found", [("Content-Type", "text/plain")])
            return [b"no app here\n"]
        return app(environ, start_response)


class _ReadAll:
    """wsgi.input as the validator hands it on, with read() taking no size as read(-1):
    the validator predates wsgi.input_terminated, and frameworks (Werkzeug, Falcon)
    read such a stream to its end without one."""

    def __init__(self, stream):
        self.stream = stream

    def read(self, size=-1):
        return self.stream.read(size)

    def __getattr__(self, name):
        return getattr(self.stream, name)

    def __iter__(self):
        return iter(self.stream)


def _reading_all(app):
    def wrapped(environ, start_response):
        environ["wsgi.input"] = _ReadAll(environ["wsgi.input"])
        return app(environ, start_response)
    return wrapped


class WsgiServer(Server):
    def handle(self, path, app, raw=False):
        self.routes.handlers[path] = app if raw else validator(_reading_all(app))
        return path


@pytest.fixture(scope="session")
def _wsgi_servers(workdir):
    servers = {}

    def get(**options):
        key = repr(sorted(options.items()))
        if key not in servers:
            apps = WsgiApps()
            port = free_port()
            t = threading.Thread(target=zelweb.serve, args=(apps, HOST, port),
                                 kwargs={"interface": "wsgi", **options}, daemon=True)
            t.start()
            wait_listening(port)
            servers[key] = WsgiServer(port, apps, bool(options.get("https")))
        return servers[key]
    return get


@pytest.fixture
def wsgi_serving(_wsgi_servers):
    """wsgi_serving(**options): the session's zelweb.serve(interface="wsgi") server with
    those options; apps a test registers are dropped after it. Warnings of wsgiref's
    validator fail the test, and so does anything it reports as an unraisable error (an
    iterable never closed)."""
    used = []
    unraisable = []
    previous = sys.unraisablehook
    sys.unraisablehook = unraisable.append

    def get(**options):
        used.append(_wsgi_servers(**options))
        return used[-1]
    with warnings.catch_warnings():
        warnings.simplefilter("error", WSGIWarning)
        yield get
    for s in used:
        s.routes.handlers.clear()
    gc.collect()  # an iterable dropped unclosed is reported when it is freed
    sys.unraisablehook = previous
    assert not unraisable, [(u.exc_value, u.object) for u in unraisable]
