"""serve(interface="wsgi") with plain WSGI applications over loopback: the environment,
wsgi.input, start_response, how the response is framed and streamed, file_wrapper,
errors and close(). Every app runs inside wsgiref's validator (see conftest.WsgiApps),
except where a test says why it cannot."""
import gc
import hashlib
import http.client
import io
import json
import os
import socket
import sys
import threading
import time

import pytest
import requests

import zelweb
from helpers import HOST, Conn, free_port, read_to_close, wait_until
from test_serve import call_serve


def environ_app(environ, start_response):
    """Answers with the environment's text values as JSON."""
    shown = {k: v for k, v in environ.items() if isinstance(v, str)}
    shown["wsgi.version"] = environ["wsgi.version"]
    for key in ("wsgi.multithread", "wsgi.multiprocess", "wsgi.run_once", "wsgi.input_terminated"):
        shown[key] = environ[key]
    body = json.dumps(shown).encode()
    start_response("200 OK", [("Content-Type", "application/json"),
                              ("Content-Length", str(len(body)))])
    return [body]


def exchange(port, request, timeout=10):
    """Sends raw bytes, returns the parsed response (its body read whole)."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(request)
        response = http.client.HTTPResponse(s, method=request.split(b" ", 1)[0].decode())
        response.begin()
        response.body = response.read()
        return response


def environ_for(server, request):
    server.handle("*", environ_app)
    response = exchange(server.port, request)
    assert response.status == 200
    return json.loads(response.body)


ENVIRONS = [
    (b"GET /a%20b/%2F/caf%C3%A9?x=1&y=%20+ HTTP/1.1\r\nHost: example.com:8080\r\n"
     b"X-Multi: a\r\nX-Multi: b\r\nCookie: a=1\r\nCookie: b=2\r\nX_Under: forged\r\n"
     b"X-Under: kept\r\n\r\n",
     {"REQUEST_METHOD": "GET", "PATH_INFO": "/a b///caf\u00c3\u00a9", "QUERY_STRING": "x=1&y=%20+",
      "SERVER_NAME": "example.com", "SERVER_PORT": "8080", "SERVER_PROTOCOL": "HTTP/1.1",
      "HTTP_HOST": "example.com:8080", "HTTP_X_MULTI": "a,b", "HTTP_COOKIE": "a=1; b=2",
      "HTTP_X_UNDER": "kept", "CONTENT_TYPE": None, "CONTENT_LENGTH": None}),
    (b"POST /form HTTP/1.1\r\nHost: [::1]\r\nContent-Type: text/plain; charset=utf-8\r\n"
     b"Content-Length: 3\r\n\r\nabc",
     {"REQUEST_METHOD": "POST", "PATH_INFO": "/form", "QUERY_STRING": "",
      "CONTENT_TYPE": "text/plain; charset=utf-8", "CONTENT_LENGTH": "3",
      "HTTP_CONTENT_TYPE": None, "HTTP_CONTENT_LENGTH": None, "SERVER_NAME": "[::1]",
      "SERVER_PORT": "80"}),
    (b"TRACE http://h.example/p?q HTTP/1.0\r\n\r\n",
     {"REQUEST_METHOD": "TRACE", "PATH_INFO": "/p", "QUERY_STRING": "q", "HTTP_HOST": None,
      "SERVER_NAME": "h.example", "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.0"}),
    (b"GET / HTTP/1.0\r\n\r\n", {"SERVER_NAME": "127.0.0.1", "SERVER_PORT": "{port}"}),
]


@pytest.mark.parametrize("request_bytes, expected", ENVIRONS, ids=["get", "post", "absolute", "no-host"])
def test_environ_is_built_from_the_head(wsgi_serving, request_bytes, expected):
    srv = wsgi_serving()
    env = environ_for(srv, request_bytes)
    for key, value in expected.items():
        assert env.get(key) == (value.format(port=srv.port) if value else value), key
    assert env["SCRIPT_NAME"] == "" and env["REMOTE_ADDR"] == "127.0.0.1"
    assert int(env["REMOTE_PORT"]) > 0 and env["wsgi.url_scheme"] == "http"
    assert env["wsgi.version"] == [1, 0] and env["wsgi.input_terminated"] is True
    assert (env["wsgi.multithread"], env["wsgi.multiprocess"], env["wsgi.run_once"]) == \
        (True, False, False)


@pytest.mark.parametrize("target, script, path", [
    (b"/app/x/y", "/app", "/x/y"), (b"/app", "/app", ""), (b"/application", "/app", "/application"),
    (b"/app%2Fx", "/app", "/x")])
def test_root_path_is_script_name_and_leaves_path_info(wsgi_serving, target, script, path):
    srv = wsgi_serving(root_path="/app/")
    env = environ_for(srv, b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    assert (env["SCRIPT_NAME"], env["PATH_INFO"]) == (script, path)


BODY = b"first line\nsecond\n\nlast without end" + bytes(range(256)) * 40

READERS = {
    "read": lambda s: s.read(-1),  # the validator wants a size: -1 is "all"
    "read-sized": lambda s: b"".join(iter(lambda: s.read(1000), b"")),
    "readline": lambda s: b"".join(iter(s.readline, b"")),
    "readline-sized": lambda s: b"".join(iter(lambda: s.readline(7), b"")),
    "readlines": lambda s: b"".join(s.readlines()),
    "iteration": lambda s: b"".join(s),
}


def chunked(data, size=777):
    pieces = [data[i:i + size] for i in range(0, len(data), size)]
    return b"".join(b"%x;ext=1\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\nX-T: 1\r\n\r\n"


@pytest.mark.parametrize("framing", ["length", "chunked"])
@pytest.mark.parametrize("reader", sorted(READERS))
def test_input_gives_the_body_and_never_reads_past_it(wsgi_serving, framing, reader):
    srv = wsgi_serving()

    def echo(environ, start_response):
        stream = environ["wsgi.input"]
        data = READERS[reader](stream)
        tail = stream.read(10)
        start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                  ("Content-Length", str(len(data + tail)))])
        return [data + tail]
    srv.handle("/echo", echo)
    srv.handle("/next", environ_app)
    if framing == "length":
        request = b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s" % (len(BODY), BODY)
    else:
        request = b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(BODY)
    with Conn(srv.port) as c:
        # The next request comes in the same send: the stream must stop at the body's end.
        c.send(request + b"GET /next HTTP/1.1\r\nHost: x\r\n\r\n")
        first = c.response()
        assert first.partition(b"\r\n\r\n")[2] == BODY
        assert b'"PATH_INFO": "/next"' in c.response()


@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_input_read_after_the_response_began_loses_nothing(wsgi_serving, framing):
    srv = wsgi_serving()

    def shout(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])

        def lines():  # the head goes out with the first line, the rest is read after it
            for line in environ["wsgi.input"]:
                yield line.upper()
        return lines()
    srv.handle("/shout", shout)
    srv.handle("/next", environ_app)
    body = b"".join(b"line %d\n" % i for i in range(200))
    framed = (b"Content-Length: %d\r\n\r\n%s" % (len(body), body) if framing == "length"
              else b"Transfer-Encoding: chunked\r\n\r\n" + chunked(body, 100))
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(b"POST /shout HTTP/1.1\r\nHost: x\r\n" + framed +
                  b"GET /next HTTP/1.1\r\nHost: x\r\n\r\n")
        response = http.client.HTTPResponse(s)
        response.begin()
        assert response.read() == body.upper()
        assert response.getheader("Connection") == "keep-alive"


def raw_post(port, path, headers=b"", body=b""):
    s = socket.create_connection((HOST, port), timeout=10)
    s.sendall(b"POST " + path + b" HTTP/1.1\r\nHost: x\r\n" + headers + b"\r\n" + body)
    return s


def test_continue_goes_out_at_the_first_read_only(wsgi_serving):
    srv = wsgi_serving()

    def refuse(environ, start_response):
        start_response("403 Forbidden", [("Content-Type", "text/plain")])
        return [b"no"]

    def echo(environ, start_response):
        data = environ["wsgi.input"].read(5)
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [data]
    srv.handle("/refuse", refuse)
    srv.handle("/echo", echo)
    expect = b"Expect: 100-continue\r\nContent-Length: 5\r\n"
    with raw_post(srv.port, b"/refuse", expect) as s:
        reply = read_to_close(s)  # the body was never sent, so the connection ends
    assert reply.startswith(b"HTTP/1.1 403 Forbidden\r\n") and b"100 Continue" not in reply
    assert b"\r\nConnection: close\r\n" in reply
    with raw_post(srv.port, b"/echo", expect) as s:
        assert s.recv(100) == b"HTTP/1.1 100 Continue\r\n\r\n"
        s.sendall(b"hello")
        response = http.client.HTTPResponse(s)
        response.begin()
        assert response.read() == b"hello"


@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_body_over_max_body_gets_413(wsgi_serving, output, framing):
    srv = wsgi_serving(max_body=10)
    raised = []

    def reader(environ, start_response):
        try:
            environ["wsgi.input"].read(-1)
        except OSError as e:
            raised.append(e)
            raise
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"read"]
    srv.handle("/up", reader)
    body = b"x" * 11
    headers = (b"Content-Length: 11\r\n" if framing == "length"
               else b"Transfer-Encoding: chunked\r\n")
    with raw_post(srv.port, b"/up", headers, body if framing == "length" else chunked(body, 4)) as s:
        reply = read_to_close(s)
    assert reply.startswith(b"HTTP/1.1 413 Content Too Large\r\n")
    if framing == "length":
        assert raised == []  # refused before the application
    else:
        assert [type(e) for e in raised] == [zelweb.BodyTooLarge]
    assert "raised" not in output.read("err")


def test_body_cut_short_raises_from_read(wsgi_serving, output):
    srv = wsgi_serving()
    raised = threading.Event()
    errors = []

    def reader(environ, start_response):
        try:
            environ["wsgi.input"].read(100)
        except OSError as e:
            errors.append(e)
            raised.set()
            raise
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"complete?"]
    srv.handle("/up", reader)
    with raw_post(srv.port, b"/up", b"Content-Length: 100\r\n", b"x" * 10) as s:
        s.shutdown(socket.SHUT_WR)
        assert read_to_close(s) == b""
    assert raised.wait(10) and isinstance(errors[0], ConnectionError)
    assert "raised" not in output.read("err")


BAD_STARTS = [
    ("200", [], ValueError, "three digits"),
    ("099 Low", [], ValueError, "three digits"),
    ("100 Continue", [], ValueError, "200 to 599"),
    (b"200 OK", [], TypeError, "str"),
    ("200 OK", ("X-A", "b"), TypeError, "list"),
    ("200 OK", [("X-A", 1)], TypeError, "header 0"),
    ("200 OK", [("X-A", "b\r\nSet-Cookie: x=1")], ValueError, "'X-A'"),
    ("200 OK", [("X-A", "nul\0")], ValueError, "'X-A'"),
    ("200 OK", [("X A", "b")], ValueError, "'X A'"),
    ("200 OK", [("X-\u00e9", "b")], ValueError, "'X-\u00e9'"),
    ("200 OK", [("X-A", "\u20ac")], ValueError, "'X-A'"),
    ("200 OK", [("Connection", "close")], ValueError, "'Connection'"),
    ("200 OK", [("transfer-encoding", "chunked")], ValueError, "'transfer-encoding'"),
    ("200 OK", [("Keep-Alive", "timeout=5")], ValueError, "'Keep-Alive'"),
    ("200 OK", [("Upgrade", "h2c")], ValueError, "'Upgrade'"),
    ("200 OK", [("Content-Length", "12abc")], ValueError, "'Content-Length'"),
    ("200 OK", [("Content-Length", "1"), ("Content-Length", "2")], ValueError, "'Content-Length'"),
]


@pytest.mark.parametrize("status, headers, error, named", BAD_STARTS)
def test_start_response_refuses_in_the_applications_frame(wsgi_serving, status, headers,
                                                          error, named):
    srv = wsgi_serving()
    caught = []

    def app(environ, start_response):
        try:
            start_response(status, headers)
        except Exception as e:
            caught.append(e)
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "2")])
        return [b"ok"]
    # Unvalidated: the validator would refuse these itself before the server sees them.
    srv.handle("/bad", app, raw=True)
    response = exchange(srv.port, b"GET /bad HTTP/1.1\r\nHost: x\r\n\r\n")
    assert (response.status, response.body) == (200, b"ok")
    assert type(caught[0]) is error and named in str(caught[0]), caught


def test_start_response_again(wsgi_serving):
    srv = wsgi_serving()
    seen = {}

    def twice(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        with pytest.raises(RuntimeError):
            start_response("200 OK", [("Content-Type", "text/plain")])
        try:
            raise KeyError("replaced")
        except KeyError:
            start_response("503 Busy", [("Content-Type", "text/plain")], __import__("sys").exc_info())
        return [b"replaced"]

    def too_late(environ, start_response):
        write = start_response("200 OK", [("Content-Type", "text/plain")])
        write(b"sent")
        error = KeyError("late")
        try:
            start_response("500 Oops", [("Content-Type", "text/plain")], (KeyError, error, None))
        except KeyError as e:
            seen["raised"] = e
        return [b" and more"]
    srv.handle("/twice", twice)
    srv.handle("/late", too_late)
    response = requests.get(srv.url("/twice"))
    assert (response.status_code, response.text) == (503, "replaced")
    response = requests.get(srv.url("/late"))
    assert (response.status_code, response.text) == (200, "sent and more")
    assert str(seen.pop("raised")) == "'late'"
    # HEAD: the head waits unsent for the end, but it is given all the same
    assert requests.head(srv.url("/late")).status_code == 200
    assert str(seen["raised"]) == "'late'"


def test_a_read_left_running_by_the_application_is_waited_for(wsgi_serving):
    # Another thread of the application reads wsgi.input while the request
    # ends: the request's objects outlive that read, and later ones are refused.
    srv = wsgi_serving()
    reading, outcomes = threading.Event(), []

    def reader(stream):
        reading.set()
        for _ in range(2):
            try:
                outcomes.append(stream.read(10))
            except Exception as e:  # noqa: BLE001  whatever the read raises is the outcome
                outcomes.append(type(e))

    def app(environ, start_response):
        threading.Thread(target=reader, args=(environ["wsgi.input"],)).start()
        assert reading.wait(5)
        time.sleep(0.2)  # the reader is inside its read, which waits for a body never sent
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"answered"]
    srv.handle("/leave", app, raw=True)
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(b"POST /leave HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n")
        data = b""
        while not data.endswith(b"answered"):
            data += s.recv(65536)
    assert wait_until(lambda: len(outcomes) == 2), outcomes
    assert outcomes[0] in (ConnectionResetError, OSError) and outcomes[1] is RuntimeError, outcomes


def raw_response(port, request, then_end=False):
    """What the server sends for one request, read until it closes: with then_end, a
    request for /end follows in the same send, and its answer (which closes) is cut
    off. Also whether the first response was the last."""
    end = b"GET /end HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" if then_end else b""
    with socket.create_connection((HOST, port), timeout=10) as s:
        s.sendall(request + end)
        data = read_to_close(s)
    if not then_end:
        return data, True
    at = data.rfind(b"HTTP/1.1 200 OK\r\n")
    assert at > 0 and data.endswith(b"\r\n\r\nend"), data
    return data[:at], False


def end_app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "3")])
    return [b"end"]


def gen(*pieces):
    yield from pieces


FRAMINGS = [
    # result, headers, method, version, expected head lines, body, closed by the server
    (lambda: [b"hello"], [], b"GET", b"1.1", [b"Content-Length: 5"], b"hello", False),
    (lambda: gen(b"hel", b"", b"lo"), [], b"GET", b"1.1", [b"Transfer-Encoding: chunked"],
     b"3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n", False),
    (lambda: gen(b"hel", b"lo"), [], b"GET", b"1.0", [b"Connection: close"], b"hello", True),
    (lambda: gen(b"hel", b"lo"), [("Content-Length", "5")], b"GET", b"1.1",
     [b"Content-Length: 5", b"Connection: keep-alive"], b"hello", False),
    (lambda: gen(), [], b"GET", b"1.1", [b"Content-Length: 0"], b"", False),
    (lambda: [b"hello"], [], b"HEAD", b"1.1", [b"Content-Length: 5"], b"", False),
    (lambda: gen(b"hello"), [], b"HEAD", b"1.1", [b"Transfer-Encoding: chunked"], b"", False),
    (lambda: [b"hello"], [], b"GET", b"1.1", [b"HTTP/1.1 204 No Content"], b"", False),
    (lambda: [b"hello"], [("ETag", '"a"')], b"GET", b"1.1", [b"HTTP/1.1 304 Not Modified"], b"",
     False),
]


@pytest.mark.parametrize("result, headers, method, version, lines, body, closed", FRAMINGS)
def test_response_framing(wsgi_serving, result, headers, method, version, lines, body, closed):
    srv = wsgi_serving()
    status = lines[0][9:].decode() if lines[0].startswith(b"HTTP/") else "200 OK"

    def app(environ, start_response):
        start_response(status, headers)
        return result()
    # Unvalidated: the validator wraps every result, hiding a list of one piece.
    srv.handle("/f", app, raw=True)
    srv.handle("/end", end_app)
    data, was_closed = raw_response(srv.port, method + b" /f HTTP/" + version + b"\r\nHost: x\r\n\r\n",
                                    then_end=version == b"1.1")
    head, _, rest = data.partition(b"\r\n\r\n")
    for line in lines:
        assert line in head.split(b"\r\n"), head
    assert rest == body and was_closed == closed
    framing = [l for l in head.split(b"\r\n") if l.startswith((b"Content-Length", b"Transfer-Enc"))]
    assert len(framing) <= 1, head
    if status[:3] in ("204", "304"):
        assert framing == []


@pytest.mark.parametrize("given, length", [(b"0123456789", 5), (b"01234", 10)])
def test_body_other_than_content_length_closes_and_is_reported_once(wsgi_serving, output,
                                                                      given, length):
    srv = wsgi_serving()

    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", str(length))])
        return gen(given[:3], given[3:])
    srv.handle("/len", app)
    data, closed = raw_response(srv.port, b"GET /len?x HTTP/1.1\r\nHost: x\r\n\r\n")
    assert closed and data.partition(b"\r\n\r\n")[2] == given[:length]
    what = "more" if len(given) > length else "less"
    err = output.wait_for(f"gave {what} body than its Content-Length for GET /len?x", stream="err")
    assert err.count("Content-Length for") == 1


def test_pieces_stream_as_they_are_produced(wsgi_serving):
    srv = wsgi_serving()
    go_on = threading.Event()
    closed = threading.Event()

    def events(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/event-stream"),
                                  ("Cache-Control", "no-cache")])

        def stream():
            try:
                yield b"data: first\n\n"
                assert go_on.wait(10)  # only once the client has the first event
                yield b"data: second\n\n"
            finally:
                closed.set()
        return stream()
    srv.handle("/events", events)
    with requests.get(srv.url("/events"), stream=True, timeout=10) as r:
        lines = r.iter_lines()
        assert next(lines) == b"data: first"
        go_on.set()
        assert [line for line in lines if line] == [b"data: second"]
    assert closed.wait(5)


@pytest.mark.parametrize("how", ["complete", "raises", "client-gone", "head"])
def test_close_is_called_on_every_path(wsgi_serving, output, how):
    srv = wsgi_serving(access_log=True)
    closed = threading.Event()
    first_sent = threading.Event()

    class Body:
        def __init__(self):
            self.n = 0

        def __iter__(self):
            return self

        def __next__(self):
            self.n += 1
            if self.n == 1:
                first_sent.set()
                return b"x" * 1000
            if how == "raises":
                raise RuntimeError("broken body")
            if how == "client-gone":
                time.sleep(0.05)  # until a send finds the client gone
                return b"y" * 65536
            raise StopIteration

        def close(self):
            closed.set()

    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        return Body()
    srv.handle("/c", app)
    method = b"HEAD" if how == "head" else b"GET"
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(method + b" /c HTTP/1.1\r\nHost: x\r\n\r\n")
        assert first_sent.wait(10)
        if how == "client-gone":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
        else:
            data = s.recv(65536)
            assert data.startswith(b"HTTP/1.1 200 OK")
    assert closed.wait(10)
    # The log line comes once the request is over, after any report.
    err = output.wait_for(f'"{method.decode()} /c HTTP/1.1" 200', stream="err")
    assert ("RuntimeError: broken body" in err) == (how == "raises"), err


def test_raising_before_the_head_is_500_after_it_a_cut_response(wsgi_serving, output):
    srv = wsgi_serving()

    def before(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        raise RuntimeError("boom before")

    def after(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])

        def body():
            yield b"partial"
            raise RuntimeError("boom after")
        return body()
    srv.handle("/before", before)
    srv.handle("/after", after)
    response = exchange(srv.port, b"GET /before?x=1 HTTP/1.1\r\nHost: x\r\n\r\n")
    assert response.status == 500 and response.getheader("Connection") == "close"
    with pytest.raises(http.client.IncompleteRead):
        exchange(srv.port, b"GET /after HTTP/1.1\r\nHost: x\r\n\r\n")
    err = output.wait_for("RuntimeError: boom before", "RuntimeError: boom after", stream="err")
    assert err.count("zelweb: the application raised for GET /before?x=1\n") == 1, err
    assert err.count("zelweb: the application raised for GET /after\n") == 1, err
    assert err.count("Traceback") == 2


class CountingFile(io.FileIO):
    """A file whose read() calls are counted: a file sent by the kernel is never read."""
    reads = 0

    def read(self, *args):
        CountingFile.reads += 1
        return super().read(*args)


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("files") / "big.bin"
    block = hashlib.sha256(b"seed").digest() * 2048
    with open(path, "wb") as f:
        for i in range(480):  # 30 MiB
            f.write(block[i % 7:] + block[:i % 7])
    return path


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize("how", ["sendfile", "range", "validated", "tls", "no-descriptor"])
def test_file_wrapper_sends_the_file_from_its_position(wsgi_serving, big_file, output, how):
    srv = wsgi_serving(https=how == "tls", access_log=True)
    data = big_file.read_bytes()
    offset = 1000
    # A Content-Length takes that much of the file: a range of it, no excess.
    length = [("Content-Length", "5000")] if how == "range" else []

    def app(environ, start_response):
        f = io.BytesIO(data) if how == "no-descriptor" else CountingFile(big_file)
        f.seek(offset)
        start_response("200 OK", [("Content-Type", "application/octet-stream")] + length)
        return environ["wsgi.file_wrapper"](f, 65536)
    # Unvalidated but one: the validator's wrapper hides the file wrapper by design, and
    # these rows are about how the server itself sends one.
    srv.handle("/file", app, raw=how != "validated")
    CountingFile.reads = 0
    response = requests.get(srv.url("/file"), verify=False, timeout=60)
    expected = data[offset:offset + 5000] if how == "range" else data[offset:]
    assert response.headers.get("Transfer-Encoding") == (None if how == "range" else "chunked")
    assert response.headers["Connection"] == "keep-alive"
    assert hashlib.sha256(response.content).digest() == hashlib.sha256(expected).digest()
    if how in ("sendfile", "range"):
        assert CountingFile.reads == 0
    # The log line comes once the request is over, after any report.
    assert "Content-Length for" not in output.wait_for('"GET /file HTTP/1.1" 200', stream="err")


def test_session_keeps_one_connection(wsgi_serving):
    srv = wsgi_serving()
    srv.handle("*", environ_app)
    with requests.Session() as session:
        ports = {session.get(srv.url(f"/{i}")).json()["REMOTE_PORT"] for i in range(5)}
        ports.add(session.post(srv.url("/p"), data=(b"x" * 10 for _ in range(3))).json()["REMOTE_PORT"])
    assert len(ports) == 1


@pytest.mark.parametrize("keywords, error", [
    ({"interface": "asgi"}, ValueError), ({"interface": b"wsgi"}, TypeError),
    ({"interface": "wsgi", "app": object()}, TypeError), ({"root_path": "app"}, ValueError),
    ({"root_path": "/a b"}, ValueError), ({"root_path": 1}, TypeError),
    ({"forwarded_allow_ips": ["10.0.0.1", "proxy"]}, ValueError),
    ({"forwarded_allow_ips": "10.0.0.0/33"}, ValueError), ({"forwarded_allow_ips": 1}, TypeError)])
def test_bad_keywords_raise_before_binding(workdir, keywords, error):
    keywords = {"app": environ_app, "interface": "wsgi", **keywords}
    raised = call_serve(host=HOST, port=free_port(), **keywords)
    assert type(raised) is error, raised
    if keywords["interface"] == "asgi":
        assert "'route' or 'wsgi'" in str(raised)


def test_requests_leave_no_references_or_memory_behind(wsgi_serving, big_file):
    srv = wsgi_serving()
    body = b"payload" * 100

    def app(environ, start_response):
        path = environ["PATH_INFO"]
        if path == "/echo":
            data = environ["wsgi.input"].read(-1)
            start_response("200 OK", [("Content-Type", "text/plain")])
            return [data]
        if path == "/stream":
            write = start_response("200 OK", [("Content-Type", "text/plain"), ("X-A", "b")])
            write(b"written ")
            return (piece for piece in (b"one", b"two"))
        if path == "/file":
            f = open(big_file, "rb")
            f.seek(len(body))
            start_response("200 OK", [("Content-Length", "700")])
            return environ["wsgi.file_wrapper"](f)
        start_response("500 Oops", [("Content-Type", "text/plain")])
        raise RuntimeError("before the head")
    # Unvalidated: the counts are the server's own, not the validator's.
    srv.handle("*", app, raw=True)
    requests_ = [b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body),
                 b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(body, 300),
                 b"GET /stream?q=1 HTTP/1.1\r\nHost: y\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n",
                 b"GET /file HTTP/1.1\r\nHost: x\r\n\r\n"]

    def round_trip(times):
        with socket.create_connection((HOST, srv.port), timeout=30) as s:
            for _ in range(times):
                for request in requests_:  # one at a time: nothing is read ahead
                    s.sendall(request)
                    response = http.client.HTTPResponse(s)
                    response.begin()
                    response.read()
        for _ in range(times // 10):
            assert exchange(srv.port, b"GET /boom HTTP/1.1\r\nHost: x\r\n\r\n").status == 500
    watched = [app, body, srv.routes]
    round_trip(50)
    gc.collect()
    refs, blocks = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks()
    round_trip(500)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert sys.getallocatedblocks() - blocks < 300
