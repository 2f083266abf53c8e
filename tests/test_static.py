"""serve's static folders: GET and HEAD under a prefix answered by the server
itself, over loopback with raw sockets, curl and requests: the head, indexes
and redirects, ranges and conditionals, pre-compressed siblings, max-age,
other methods and paths left to route, pipelining, a path-traversal corpus,
TLS, the access log, and answers that need no interpreter lock."""
import gzip
import os
import socket
import subprocess
import sys

import pytest
import requests

from helpers import (HOST, Conn, ServeProcess, read_to_close, serve_head, undated,
                     unverified_context, wait_until)
from test_file import DATA, curl, split, validators

SECRET = b"SECRET-OUTSIDE-THE-FOLDER"
CSS = b"body { color: #123456; }\n" * 40
JS = b"console.log('static');\n" * 40


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """root/public is the folder; root/secret.txt and root/private/ are outside it."""
    root = tmp_path_factory.mktemp("static")
    (root / "secret.txt").write_bytes(SECRET)
    (root / "private").mkdir()
    (root / "private" / "index.html").write_bytes(SECRET)
    public = root / "public"
    (public / "sub" / "deeper").mkdir(parents=True)
    (public / "empty").mkdir()
    (public / ".hidden").mkdir()
    files = {
        "index.html": b"<h1>home</h1>", "sub/index.html": b"<h1>sub</h1>",
        "site.css": CSS, "site.css.gz": gzip.compress(CSS), "site.css.br": b"BROTLI" + CSS[:9],
        "app.js": JS, "app.js.gz": gzip.compress(JS), "data.bin": DATA, ".env": SECRET,
        ".hidden/x.txt": SECRET, "a\\b.txt": SECRET, "%2e%2e": b"a file so named",
    }
    for name, data in files.items():
        (public / name).write_bytes(data)
    os.symlink(root / "secret.txt", public / "absolute")
    os.symlink("../secret.txt", public / "relative")
    os.symlink("..", public / "up")
    os.symlink("../private", public / "private")
    os.symlink("site.css", public / "inside.css")
    os.mkfifo(public / "fifo")
    return public


@pytest.fixture
def srv(serving, site):
    return serving(static={"/static": str(site)})


def get(srv, target, headers=b"", method=b"GET", version=b"HTTP/1.1"):
    return srv.raw(method + b" " + target + b" " + version + b"\r\nHost: x\r\n" + headers +
                   b"Connection: close\r\n\r\n")


# --- the response ------------------------------------------------------------------

def test_a_file_gets_the_head_of_serve_with_the_file_lines(srv, site):
    etag, modified = validators(site / "site.css")
    with Conn(srv.port) as c:
        c.send(b"GET /static/site.css HTTP/1.1\r\nHost: x\r\n\r\n")
        reply = c.response()
    assert undated(reply) == (
        b"HTTP/1.1 200 OK\r\nserver: Tovrel\r\nConnection: keep-alive\r\nDate: *\r\n"
        b"ETag: " + etag + b"\r\nLast-Modified: " + modified + b"\r\nAccept-Ranges: bytes\r\n"
        b"Vary: Accept-Encoding\r\nContent-Type: text/css; charset=utf-8\r\n"
        b"Content-Length: " + str(len(CSS)).encode() + b"\r\n\r\n" + CSS)


def test_head_gets_the_get_head_without_a_body(srv):
    got, head = (split(get(srv, b"/static/data.bin", method=m)) for m in (b"GET", b"HEAD"))
    assert (head[0], head[2]) == (got[0], b"")
    assert {k: v for k, v in head[1].items() if k != b"date"} == \
        {k: v for k, v in got[1].items() if k != b"date"}
    assert got[2] == DATA  # over the 16 KiB sent with the head: by sendfile


@pytest.mark.parametrize("target, status, body, location", [
    (b"/static/", 200, b"<h1>home</h1>", None),
    (b"/static/sub/", 200, b"<h1>sub</h1>", None),
    (b"/static", 301, b"Moved Permanently\n", b"/static/"),
    (b"/static/sub?x=1", 301, b"Moved Permanently\n", b"/static/sub/?x=1"),
    (b"/static/sub/deeper/", 404, b"Not Found\n", None),
    (b"/static/site.css/", 404, b"Not Found\n", None),
    (b"/static/missing.txt", 404, b"Not Found\n", None),
    (b"/static/inside.css", 200, CSS, None),
])
def test_directories_indexes_and_what_is_missing(srv, target, status, body, location):
    seen = []
    srv.handle(target.split(b"?")[0], lambda http: seen.append(http))
    line, fields, got = split(get(srv, target))
    assert (int(line.split()[1]), got, fields.get(b"location")) == (status, body, location)
    if status != 200:
        assert fields[b"content-type"] == b"text/plain"
    assert seen == []  # never the application's


@pytest.mark.parametrize("target", [b"//sub", b"///sub"])
def test_redirect_of_a_directory_never_names_another_host(serving, site, target):
    # "//sub/" in a Location is a link to the host "sub"
    srv = serving(static={"/": str(site)})
    _, fields, _ = split(get(srv, target))
    assert fields[b"location"] == b"/sub/"


# --- the path-traversal corpus -------------------------------------------------------

@pytest.mark.parametrize("target", [
    b"/static/../secret.txt", b"/static/%2e%2e/secret.txt", b"/static/%2E%2E/secret.txt",
    b"/static/..%2fsecret.txt", b"/static/%2e%2e%2fsecret.txt", b"/static/sub/..%2F..%2Fsecret.txt",
    b"/static/.%2e/secret.txt", b"/static/%252e%252e/secret.txt", b"/static/%252e%252e%252fsecret.txt",
    b"/static/..\\secret.txt", b"/static/..%5csecret.txt", b"/static/a%5cb.txt", b"/static/a\\b.txt",
    b"/static/site.css%00", b"/static/%00../secret.txt", b"/static/absolute", b"/static/relative",
    b"/static/up/secret.txt", b"/static/up/public/site.css", b"/static/private/",
    b"/static/private/index.html", b"/static/.env", b"/static/%2eenv", b"/static/.hidden/x.txt",
    b"/static/%2ehidden/x.txt", b"/static/fifo", b"/static//..//secret.txt", b"/static/%2",
    b"http://x/static/%2e%2e/secret.txt",
])
def test_traversal_gets_404_and_nothing_from_outside(srv, target):
    reply = get(srv, target)
    assert reply.startswith(b"HTTP/1.1 404 Not Found\r\n"), reply
    assert SECRET not in reply and CSS not in reply


def test_a_double_encoded_name_is_decoded_once(srv):
    assert split(get(srv, b"/static/%252e%252e"))[2] == b"a file so named"


# --- ranges, conditionals and codings with real clients ------------------------------

@pytest.mark.parametrize("args, status, body", [
    (["-r", "10-19"], 206, DATA[10:20]),
    (["-r", "-5"], 206, DATA[-5:]),
    (["-r", "40000-"], 206, DATA[40000:]),
    (["-r", "99999-"], 416, b""),
    (["-z", "{file}"], 304, b""),
    (["-z", "Jan 1 2000"], 200, DATA),
])
def test_curl_ranges_and_if_modified_since(srv, site, args, status, body):
    args = [a.format(file=site / "data.bin") for a in args]
    out = curl(*args, "-D", "-", srv.url("/static/data.bin"))
    line, fields, got = split(out)
    assert (int(line.split()[1]), got) == (status, body)


def test_requests_if_none_match_if_range_and_if_match(srv, site):
    url = srv.url("/static/data.bin")
    etag = requests.get(url, timeout=10).headers["ETag"]
    assert requests.get(url, headers={"If-None-Match": etag}, timeout=10).status_code == 304
    r = requests.get(url, headers={"Range": "bytes=1-3", "If-Range": etag}, timeout=10)
    assert (r.status_code, r.content) == (206, DATA[1:4])
    r = requests.get(url, headers={"Range": "bytes=1-3", "If-Range": '"old"'}, timeout=10)
    assert (r.status_code, r.content) == (200, DATA)
    r = requests.get(url, headers={"If-Match": '"old"'}, timeout=10)
    assert (r.status_code, r.content, r.headers["ETag"]) == (412, b"", etag)


@pytest.mark.parametrize("accept, coding", [
    (None, None), ("gzip", "gzip"), ("br", "br"), ("gzip, deflate, br", "br"),
    ("br;q=0.5, gzip", "gzip"), ("*", "br"), ("identity", None), ("gzip;q=0, br;q=0", None),
    ("GZIP;q=0.8, identity;q=0.9", None), ("identity;q=0, gzip;q=0.1", "gzip"),
])
def test_a_coded_sibling_is_chosen_by_accept_encoding(srv, site, accept, coding):
    headers = b"Accept-Encoding: " + accept.encode() + b"\r\n" if accept else b""
    line, fields, body = split(get(srv, b"/static/site.css", headers))
    suffix = {None: "", "gzip": ".gz", "br": ".br"}[coding]
    assert body == (site / ("site.css" + suffix)).read_bytes()
    assert fields.get(b"content-encoding") == (coding.encode() if coding else None)
    assert fields[b"vary"] == b"Accept-Encoding"
    assert fields[b"content-type"] == b"text/css; charset=utf-8"
    plain = validators(site / "site.css")[0]
    assert (fields[b"etag"] == plain) == (coding is None)


def test_curl_compressed_gets_gzip_decoded_and_ranges_apply_to_it(srv, site):
    out = curl("--compressed", "-D", "-", srv.url("/static/app.js"))
    assert split(out)[1][b"content-encoding"] == b"gzip" and split(out)[2] == JS
    coded = (site / "app.js.gz").read_bytes()
    line, fields, body = split(get(srv, b"/static/app.js", b"Accept-Encoding: gzip\r\n"
                                                         b"Range: bytes=0-9\r\n"))
    assert (line, body) == (b"HTTP/1.1 206 Partial Content", coded[:10])
    assert fields[b"content-range"] == b"bytes 0-9/%d" % len(coded)


def test_a_file_without_siblings_has_no_vary(srv):
    assert b"vary" not in split(get(srv, b"/static/data.bin"))[1]


@pytest.mark.parametrize("max_age, line", [(None, None), (0, b"public, max-age=0"),
                                           (86400, b"public, max-age=86400")])
def test_static_max_age_gives_cache_control(serving, site, max_age, line):
    srv = serving(static={"/static": str(site)}, static_max_age=max_age)
    assert split(get(srv, b"/static/site.css"))[1].get(b"cache-control") == line


# --- what stays the application's -----------------------------------------------------

@pytest.mark.parametrize("method, target", [
    (b"POST", b"/static/site.css"), (b"PUT", b"/static/site.css"), (b"DELETE", b"/static/x"),
    (b"OPTIONS", b"/static/"), (b"GET", b"/staticx"), (b"GET", b"/other/site.css"),
])
def test_other_methods_and_paths_reach_the_application(srv, method, target):
    srv.handle(target, lambda http: http.c_text(b"route: " + http.c_method()))
    assert split(get(srv, target, method=method))[2] == b"route: " + method


def test_the_wsgi_interface_gets_what_the_folder_does_not_answer(wsgi_serving, site):
    srv = wsgi_serving(static={"/static": str(site)})
    calls = []

    def app(environ, start_response):
        calls.append(environ["REQUEST_METHOD"] + " " + environ["PATH_INFO"])
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "4")])
        return [b"wsgi"]
    srv.handle("*", app)
    assert split(get(srv, b"/static/site.css"))[2] == CSS
    assert split(get(srv, b"/static/nothing"))[0] == b"HTTP/1.1 404 Not Found"
    assert split(get(srv, b"/static/site.css", method=b"POST"))[2] == b"wsgi"
    assert split(get(srv, b"/elsewhere"))[2] == b"wsgi"
    assert calls == ["POST /static/site.css", "GET /elsewhere"]


def test_a_head_the_strict_reader_refuses_gets_the_usual_answer(srv):
    assert get(srv, b"/static/site.css", b"Bad Name: 1\r\n").startswith(b"HTTP/1.1 400 ")


# --- connections ------------------------------------------------------------------------

def test_pipelined_static_and_route_requests_are_answered_in_order(srv):
    srv.handle(b"/r", lambda http: http.c_text(b"route"))
    one = b"GET /static/index.html HTTP/1.1\r\nHost: x\r\n\r\n"
    with Conn(srv.port) as c:
        c.send(one + b"GET /r HTTP/1.1\r\nHost: x\r\n\r\n" + one +
               b"GET /static/sub/ HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc" +
               b"GET /r HTTP/1.1\r\nHost: x\r\n\r\n")
        bodies = [split(c.response())[2] for _ in range(5)]
    assert bodies == [b"<h1>home</h1>", b"route", b"<h1>home</h1>", b"<h1>sub</h1>", b"route"]


@pytest.mark.parametrize("version, headers, options, connection", [
    (b"HTTP/1.1", b"", {}, b"keep-alive"),
    (b"HTTP/1.1", b"Connection: close\r\n", {}, b"close"),
    (b"HTTP/1.0", b"", {}, b"close"),
    (b"HTTP/1.0", b"Connection: keep-alive\r\n", {}, b"keep-alive"),
    (b"HTTP/1.1", b"", {"keep_alive": 0}, b"close"),
])
def test_the_connection_line_follows_the_request_and_the_server(serving, site, version, headers,
                                                                 options, connection):
    srv = serving(static={"/static": str(site)}, **options)
    with Conn(srv.port) as c:
        c.send(b"GET /static/index.html " + version + b"\r\nHost: x\r\n" + headers + b"\r\n")
        assert split(c.response())[1][b"connection"] == connection
        if connection == b"close":
            assert c.closed()


def test_a_body_not_all_received_ends_the_connection_after_the_answer(srv):
    with Conn(srv.port) as c:
        c.send(b"GET /static/index.html HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nab")
        line, fields, body = split(c.response())
        assert (fields[b"connection"], body) == (b"close", b"<h1>home</h1>")
        c.send(b"c" * 98)
        assert c.closed()


def test_a_reader_that_waits_holds_no_application_thread(serving, site):
    size = 64 << 20  # more than loopback's buffers take: the rest waits for the reader
    with open(site / "big.bin", "wb") as f:
        f.seek(size - 4)  # sparse: no disk taken
        f.write(b"last")
    srv = serving(static={"/static": str(site)}, threads=1)
    srv.handle(b"/r", lambda http: http.c_text(b"free"))
    with socket.create_connection((HOST, srv.port), timeout=10) as waiting:
        waiting.sendall(b"GET /static/big.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        assert split(get(srv, b"/r"))[2] == b"free"  # the one thread is not held by `waiting`
        line, fields, body = split(read_to_close(waiting))
    assert (len(body), body[-4:]) == (size, b"last")


def test_tls_answers_from_the_folder(serving, site, workdir):
    srv = serving(https=True, static={"/static": str(site)})
    replies = []
    for target in (b"/static/data.bin", b"/static/../secret.txt"):
        with socket.create_connection((HOST, srv.port), timeout=10) as raw:
            with unverified_context().wrap_socket(raw) as s:
                s.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nRange: bytes=100-\r\n"
                          b"Connection: close\r\n\r\n")
                replies.append(read_to_close(s))
    assert split(replies[0])[0::2] == (b"HTTP/1.1 206 Partial Content", DATA[100:])
    assert replies[1].startswith(b"HTTP/1.1 404 ") and SECRET not in replies[1]


class Log:
    def __init__(self):
        self.lines = []

    def write(self, line):
        self.lines.append(line)

    def __repr__(self):  # one server for the module
        return "Log()"


LOG = Log()


def test_the_access_log_has_a_line_for_each_answer(serving, site):
    srv = serving(static={"/static": str(site)}, access_log=LOG, forwarded_allow_ips="127.0.0.1")
    get(srv, b"/static/data.bin", b"Range: bytes=0-99\r\n")
    get(srv, b"/static/nothing", method=b"HEAD")
    get(srv, b"/static/site.css", b"X-Forwarded-For: 203.0.113.9\r\n")
    assert wait_until(lambda: len(LOG.lines) >= 3)
    # Each line is written after its answer: two threads may write them in either order.
    line = {target: l for l in LOG.lines[-3:] for target in ("data.bin", "nothing", "site.css")
            if f"/static/{target} " in l}
    assert line["data.bin"].startswith("127.0.0.1 ")
    assert '"GET /static/data.bin HTTP/1.1" 206 100 ' in line["data.bin"]
    assert '"HEAD /static/nothing HTTP/1.1" 404 - ' in line["nothing"]
    assert line["site.css"].startswith("203.0.113.9 ")  # the client the trusted proxy names


# --- the interpreter lock ------------------------------------------------------------------

HOLDER = r"""
import ctypes, os, sys, threading, zelweb
libc = ctypes.PyDLL(None)  # PyDLL: the call keeps the interpreter lock
both = threading.Barrier(2, timeout=20)
class App:
    def route(self, http):
        if http.c_path(b"/both"):  # two requests at once: both threads have started
            both.wait()
            http.c_text(b"both")
            return
        fd = os.open("gate", os.O_RDWR)  # a FIFO: opened without waiting for a writer
        print("holding", flush=True)
        libc.read(fd, ctypes.create_string_buffer(1), 1)  # until the test writes
        os.close(fd)
        http.c_text(b"released")
zelweb.serve(App(), "127.0.0.1", 0, threads=2, static={"/static": sys.argv[1]})
"""


def test_static_answers_need_no_interpreter_lock(tmp_path, site):
    os.mkfifo(tmp_path / "gate")
    with ServeProcess(HOLDER, tmp_path, site) as server:
        first, second = Conn(server.port, timeout=30), Conn(server.port, timeout=30)
        for c in (first, second):
            c.send(b"GET /both HTTP/1.1\r\nHost: x\r\n\r\n")
        assert [split(c.response())[2] for c in (first, second)] == [b"both", b"both"]
        held = Conn(server.port)
        held.send(b"GET /route HTTP/1.1\r\nHost: x\r\n\r\n")
        server.wait_for("holding")
        # route holds the lock, blocked in read(): the other thread answers anyway
        with Conn(server.port) as c:
            for _ in range(3):
                c.send(b"GET /static/site.css HTTP/1.1\r\nHost: x\r\n\r\n")
                assert split(c.response())[2] == CSS
        with open(tmp_path / "gate", "wb") as gate:
            gate.write(b"x")
        assert split(held.response())[2] == b"released"
        held.close()


# --- arguments ---------------------------------------------------------------------------------

@pytest.mark.parametrize("keywords, error, message", [
    ({"static": ["/s", "public"]}, TypeError, "serve() static must be a dict of URL prefixes to "
                                              "folders, not list"),
    ({"static": {b"/s": "public"}}, TypeError, "serve() static prefixes must be str, not bytes"),
    ({"static": {"s": "public"}}, ValueError, "serve() static prefix 's' must start with '/'"),
    ({"static": {"/a b": "public"}}, ValueError, "serve() static prefix '/a b' must start"),
    ({"static": {"/s": 3}}, TypeError, "serve() static folder for '/s' must be str, bytes or "
                                       "path-like, not int"),
    ({"static": {"/s": "missing"}}, ValueError, "serve() static folder 'missing' for '/s' "
                                                "does not exist"),
    ({"static": {"/s": "public/index.html"}}, ValueError, "serve() static folder "
                                                          "'public/index.html' for '/s' is not a directory"),
    ({"static": {"/s": "public", "/s/": b"public"}}, ValueError, "serve() static gives the prefix "
                                                                "'/s/' twice"),
    ({"static_max_age": -1}, ValueError, "serve() static_max_age must be from 0 to 2147483648"),
    ({"static_max_age": True}, TypeError, "serve() static_max_age must be an int, not bool"),
], ids=["not-dict", "bytes-prefix", "no-slash", "space", "folder-type", "missing", "file",
        "twice", "negative", "bool"])
def test_wrong_static_arguments_raise_before_serving(site, monkeypatch, keywords, error, message):
    import zelweb
    monkeypatch.chdir(site.parent)
    with pytest.raises(error) as raised:
        zelweb.serve(object(), "127.0.0.1", 0, **keywords)
    assert str(raised.value).startswith(message)


def test_the_command_serves_folders_with_workers(tmp_path, site):
    from helpers import CommandProcess
    (tmp_path / "app.py").write_text(
        "class App:\n    def route(self, http):\n        http.c_text(b'route')\napp = App()\n")
    with CommandProcess(tmp_path, "--interface", "route", "--workers", "2", "--static",
                        f"/assets={site}", "--static-max-age", "60", "app:app") as server:
        r = requests.get(server.url("/assets/site.css"), timeout=10)
        assert (r.content, r.headers["Cache-Control"]) == (CSS, "public, max-age=60")
        assert requests.get(server.url("/x"), timeout=10).text == "route"
        assert server.terminate() == 0
