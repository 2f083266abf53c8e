"""zelweb.serve in this process, on daemon threads: its arguments, persistent
connections with real and raw clients, the responses it makes itself, the access
log and TLS. Servers that take signals are in test_serve_process.py."""
import gc
import http.client
import io
import math
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from datetime import datetime, timedelta, timezone

import pytest
import requests

import zelweb
from helpers import (HOST, Conn, capture_upload, check_date, check_server_made, free_port, gone,
                     multipart, part, post_request, read_to_close, serve_head, undated,
                     upload_request, wait_until)


def call_serve(*args, **kwargs):
    """What serve raised, or None if it still runs after a few seconds (it then serves on)."""
    outcome = []

    def run():
        try:
            zelweb.serve(*args, **kwargs)
            outcome.append(AssertionError("serve returned"))
        except BaseException as e:
            outcome.append(e)
    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(5)
    return outcome[0] if outcome else None


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind((HOST, port))
            return True
        except OSError:
            return False


class NoRoute:
    def route(self, http):
        http.c_text(b"should not serve")


WRONG_TYPES = [{"host": 123}, {"host": None}, {"port": "8080"}, {"https": True, "certfile": 123},
               {"https": True, "keyfile": None}, {"upload_dir": 123}, {"keep_alive": "5"},
               {"max_connections": 2.5}, {"workers": None}, {"backlog": "1"},
               {"shutdown_timeout": "1"}, {"max_body": 1.5}, {"access_log": "stderr"}]
OUT_OF_RANGE = [{"port": -1}, {"port": 65536}, {"keep_alive": -1}, {"keep_alive": math.nan},
                {"max_connections": 0}, {"workers": 0}, {"backlog": 0},
                {"shutdown_timeout": -0.1}, {"max_body": -1}]


@pytest.mark.parametrize("bad, error", [(b, TypeError) for b in WRONG_TYPES] +
                         [(b, ValueError) for b in OUT_OF_RANGE],
                         ids=lambda v: repr(v) if isinstance(v, dict) else v.__name__)
def test_bad_argument_raises_before_binding(workdir, capfd, bad, error):
    port = free_port()
    raised = call_serve(**{"app": NoRoute(), "host": HOST, "port": port, **bad})
    assert type(raised) is error, raised
    assert port_is_free(port)
    assert capfd.readouterr().out == ""


def test_arguments_after_port_are_keyword_only(workdir, capfd):
    port = free_port()
    assert type(call_serve(NoRoute(), HOST, port, False)) is TypeError
    assert port_is_free(port)
    assert capfd.readouterr().out == ""


def port_route(http):
    http.c_text(str(http.c_remote_port()).encode())


def test_http_client_sends_its_requests_on_one_connection(serving):
    srv = serving()
    srv.handle(b"/port", port_route)
    conn = http.client.HTTPConnection(HOST, srv.port, timeout=10)
    try:
        ports = []
        for _ in range(3):
            conn.request("GET", "/port")
            response = conn.getresponse()
            ports.append(int(response.read()))
            assert response.status == 200
            assert response.getheader("Connection") == "keep-alive"
            check_date(response.getheader("Date"))
        assert ports == [conn.sock.getsockname()[1]] * 3
    finally:
        conn.close()


def test_requests_session_keeps_its_connection(serving):
    srv = serving()
    srv.handle(b"/port", port_route)
    with requests.Session() as session:
        replies = [session.get(srv.url("/port"), timeout=10) for _ in range(3)]
    assert [r.status_code for r in replies] == [200] * 3
    assert len({r.text for r in replies}) == 1
    assert all(r.headers["Connection"] == "keep-alive" for r in replies)


@pytest.mark.parametrize("version, header, kept", [
    (b"HTTP/1.1", b"", True),
    (b"HTTP/1.1", b"Connection: close\r\n", False),
    (b"HTTP/1.1", b"Connection: Close\r\n", False),
    (b"HTTP/1.0", b"", False),
    (b"HTTP/1.0", b"Connection: keep-alive\r\n", True),
    (b"HTTP/1.0", b"Connection: Keep-Alive\r\n", True),
])
def test_version_and_connection_header_decide_whether_it_stays_open(serving, version, header,
                                                                     kept):
    srv = serving()
    srv.handle(b"/v", lambda http: http.c_text(b"v"))
    with Conn(srv.port) as c:
        for _ in range(2 if kept else 1):
            c.send(b"GET /v " + version + b"\r\nHost: x\r\n" + header + b"\r\n")
            connection = b"keep-alive" if kept else b"close"
            assert undated(c.response()) == serve_head(1, connection) + b"v"
        if not kept:
            assert c.closed()


def test_keep_alive_zero_serves_one_request_per_connection(serving):
    srv = serving(keep_alive=0)
    srv.handle(b"/one", lambda http: http.c_text(b"one"))
    with Conn(srv.port) as c:
        c.send(b"GET /one HTTP/1.1\r\nHost: x\r\n\r\n")
        assert undated(c.response()) == serve_head(3, b"close") + b"one"
        assert c.closed()


def echo(http):
    http.c_text(b" ".join([http.c_method(), http.c_url(), http.c_query(), http.c_json()]))


def test_pipelined_requests_are_answered_in_order(serving, tmp_path):
    srv = serving()
    srv.handle(b"/echo", echo)
    (tmp_path / "page.txt").write_bytes(b"file body\n")
    srv.handle(b"/data", lambda http: http.c_data(os.fsencode(tmp_path / "page.txt")))

    def upload(http):
        with open(http.c_files(b"tmp_name"), "rb") as f:
            http.c_text(b"upload " + f.read())
    srv.handle(b"/upload", upload)
    sent = [
        (b"GET /echo?n=1 HTTP/1.1\r\nHost: x\r\n\r\n", b"GET /echo n=1 "),
        (post_request(b"/echo?n=2", b"a=1&b=2"), b"POST /echo n=2 a=1&b=2"),
        (upload_request(b"/upload", multipart([part(b"file", b"x\r\n--X", b"f")])),
         b"upload x\r\n--X"),
        (b"POST /echo?n=3 HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
         b"Transfer-Encoding: chunked\r\n\r\n4\r\n{\"a\"\r\n3\r\n: 1\r\n1\r\n}\r\n0\r\n\r\n",
         b'POST /echo n=3 {"a": 1}'),
        (b"GET /data HTTP/1.1\r\nHost: x\r\n\r\n", b"file body\n"),
        (b"HEAD /echo?n=5 HTTP/1.1\r\nHost: x\r\n\r\n", b"HEAD /echo n=5 "),  # head only
        (b"GET /echo?n=4 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", b"GET /echo n=4 "),
    ]
    expected = b"".join(serve_head(len(body), b"close" if i == len(sent) - 1 else b"keep-alive")
                        + (b"" if request.startswith(b"HEAD") else body)
                        for i, (request, body) in enumerate(sent))
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(b"".join(request for request, _ in sent))
        assert undated(read_to_close(s)) == expected


def test_each_request_on_a_connection_gets_a_fresh_record(serving):
    srv = serving()
    seen = []

    def first(http):
        seen.append(http)
        http.c_status(201)
        http.c_status_text(b"Created")
        http.c_set_header(b"X-One", b"1")
        http.c_set_cookie(b"c", b"1")
        http.c_content_type(b"text/plain")
        http.c_text(b"one")

    def second(http):
        seen.append(http)
        http.c_text(b"two " + http.c_get(b"n"))
    srv.handle(b"/first", first)
    srv.handle(b"/second", second)
    with Conn(srv.port) as c:
        c.send(b"GET /first?n=1 HTTP/1.1\r\nHost: x\r\n\r\nGET /second HTTP/1.1\r\nHost: x\r\n\r\n")
        assert undated(c.response()) == serve_head(
            3, status=b"201 Created", extra=b"X-One: 1\r\n", cookies=b"Set-Cookie: c=1\r\n",
            content_type=b"text/plain") + b"one"
        assert undated(c.response()) == serve_head(4) + b"two "
    assert seen[0] is not seen[1]


def test_uploads_are_removed_after_each_response_on_a_kept_connection(serving):
    srv = serving()
    seen = capture_upload(srv, b"/up", reply=b"got")
    with Conn(srv.port) as c:
        for n in range(2):
            data = b"content %d" % n
            c.send(upload_request(b"/up", multipart([part(b"file", data, b"f.txt")])))
            assert undated(c.response()) == serve_head(3) + b"got"
            tmp = seen[n]["tmp"]
            assert seen[n]["data"] == data
            assert re.fullmatch(re.escape(srv.upload_dir) + rb"/\d+", tmp), tmp
            assert gone(tmp)


def assert_serves_next(srv):
    srv.handle(b"/next", lambda http: http.c_text(b"next"))
    assert undated(srv.get(b"/next")) == serve_head(4) + b"next"


def post_with(headers, body=b"hello"):
    return b"POST /made HTTP/1.1\r\nHost: x\r\n" + headers + b"\r\n" + body


@pytest.mark.parametrize("request_bytes, status", [
    (b"GET /made HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 9000 + b"\r\n\r\n", b"431"),
    (b"GET /made\r\nHost: x\r\n\r\n", b"400"),
    (b"GET /made HTTP/1.1 more\r\nHost: x\r\n\r\n", b"400"),
    (b"G(T /made HTTP/1.1\r\nHost: x\r\n\r\n", b"400"),
    (b"GET /made HTTP/2.0\r\nHost: x\r\n\r\n", b"505"),
    (post_with(b"Content-Length: +5\r\n"), b"400"),
    (post_with(b"Content-Length: five\r\n"), b"400"),
    (post_with(b"Content-Length: 5\r\nContent-Length: 6\r\n"), b"400"),
    (post_with(b"Content-Length: 10\r\nTransfer-Encoding: chunked\r\n", b"5\r\nhello\r\n0\r\n\r\n"),
     b"400"),
    (post_with(b"Transfer-Encoding: chunked\r\n", b"zz\r\nhello\r\n0\r\n\r\n"), b"400"),
    (post_with(b"Transfer-Encoding: chunked\r\n", b"5\r\nhelloXX0\r\n\r\n"), b"400"),
    (post_with(b"Transfer-Encoding: gzip\r\n"), b"501"),
    (post_with(b"Transfer-Encoding: gzip, chunked\r\n"), b"501"),
    (post_with(b"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"), b"501"),
    (b"POST /made HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     b"400"),
    (b"GET /made HTTP/1.1\r\nHost: x\r\nX-Folded: a\r\n b\r\n\r\n", b"400"),
    (b"GET /made HTTP/1.1\r\nHost: x\r\nX(Y): a\r\n\r\n", b"400"),
    (b"GET /made HTTP/1.1\r\nHost: localhost\r\nHost: evil.example.com\r\n\r\n", b"400"),
    (b"GET /made#posts-17408 HTTP/1.1\r\nHost: x\r\n\r\n", b"400"),
    (b"GET /made\x01 HTTP/1.1\r\nHost: x\r\n\r\n", b"400"),
], ids=["head-too-large", "two-pieces", "four-pieces", "method-not-token", "version-2",
        "length-plus", "length-word", "lengths-disagree", "te-and-cl", "chunk-size-bad",
        "chunk-end-bad", "te-gzip", "te-gzip-chunked", "te-on-two-lines", "te-on-http-1.0",
        "folded-line", "name-not-token", "two-hosts", "fragment", "control-in-target"])
def test_server_made_response_then_close(serving, request_bytes, status):
    srv = serving()
    srv.handle(b"/made", lambda http: http.c_text(b"route body " + http.c_json()))
    # The server closes first (possibly with bytes unread: a reset follows its reply).
    check_server_made(srv.raw(request_bytes, shutdown=False), status)
    assert_serves_next(srv)


@pytest.mark.parametrize("request_line, host_line, url, query, host", [
    (b"GET http://example.com/foo?page=1 HTTP/1.1", b"Host: other\r\n", b"/foo", b"page=1",
     b"example.com"),
    (b"GET HTTPS://example.com:8443 HTTP/1.1", b"", b"/", b"", b"example.com:8443"),
    (b"OPTIONS * HTTP/1.1", b"Host: h\r\n", b"*", b"", b"h"),
    (b"GET /caf\xc3\xa9?q=\xff HTTP/1.1", b"", b"/caf\xc3\xa9", b"q=\xff", b""),
], ids=["absolute-form", "absolute-form-no-path", "asterisk", "no-host-bytes-above-7f"])
def test_target_forms_reach_route(serving, request_line, host_line, url, query, host):
    srv = serving()
    seen = []
    srv.handle(url, lambda http: seen.append((http.c_path(url), http.c_query(),
                                              http.c_header(b"host"))))
    with Conn(srv.port) as c:
        c.send(request_line + b"\r\n" + host_line + b"\r\n")
        assert undated(c.response()) == serve_head(0)
    assert seen == [(1, query, host)]


FORM = b"Content-Type: application/x-www-form-urlencoded\r\n"


@pytest.mark.parametrize("request_bytes, refused", [
    (post_request(b"/limited", b"a=" + b"x" * 998), False),
    (post_request(b"/limited", b"", length=1001), True),
    (post_request(b"/limited", b"", b"application/json", length=5000), True),
    (post_request(b"/limited", b"", b"application/octet-stream", length=5000), True),
    (upload_request(b"/limited", b"", length=5000), True),
    (b"POST /limited HTTP/1.1\r\nHost: x\r\n" + FORM + b"Transfer-Encoding: chunked\r\n\r\n" +
     (b"258\r\n" + b"x" * 600 + b"\r\n") * 2 + b"0\r\n\r\n", True),
], ids=["form-at-limit", "form-length", "json-length", "raw-length", "upload-length",
        "form-chunked"])
def test_body_over_max_body_gets_413_before_route(serving, request_bytes, refused):
    srv = serving(max_body=1000)
    calls = []
    srv.handle(b"/limited", lambda http: (calls.append(len(http.c_json())), http.c_text(b"in")))
    reply = srv.raw(request_bytes, shutdown=not refused)  # some send only the head
    if refused:
        check_server_made(reply, b"413")
        assert calls == []
    else:
        assert undated(reply).startswith(serve_head(2)) and calls == [1000]
    assert_serves_next(srv)


def test_route_raising_gets_500_and_is_reported_once(serving, output):
    srv = serving()

    def boom(http):
        http.c_text(b"never sent")
        raise RuntimeError("boom in route")
    srv.handle(b"/boom", boom)
    check_server_made(srv.get(b"/boom?x=1"), b"500")
    err = output.wait_for("RuntimeError: boom in route", stream="err")
    assert err.count("zelweb: route raised for GET /boom?x=1") == 1, err
    assert err.count("RuntimeError: boom in route") == 1, err
    assert err.index("route raised for") < err.index("Traceback")
    assert_serves_next(srv)


def test_body_left_unread_ends_the_connection(serving):
    srv = serving()
    srv.handle(b"/big", lambda http: http.c_text(b"small answer"))
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        def send():
            try:
                s.sendall(post_request(b"/big", b"a=" + b"x" * 1100000))
            except OSError:
                pass
        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        assert undated(read_to_close(s)) == serve_head(12, b"close") + b"small answer"
        sender.join(10)


class LogSink:
    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)


LOG_LINE = (r'127\.0\.0\.1 - - \[(\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d) \+0000\] '
            r'"%s" %s %s \d+')


@pytest.mark.parametrize("where", ["stderr", "object"])
def test_access_log_has_one_line_per_request(serving, output, where):
    sink = LogSink()
    srv = serving(access_log=True if where == "stderr" else sink)
    srv.handle(b"/log", lambda http: http.c_text(b"hello"))
    srv.handle(b"/nobody", lambda http: http.c_status(204))
    srv.raw(b"GET /log?q=1 HTTP/1.1\r\nHost: x\r\n\r\n")
    srv.raw(b"GET /nobody HTTP/1.0\r\n\r\n")
    srv.raw(b"GET /missing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")

    def text():
        return output.read("err") if where == "stderr" else "".join(sink.parts)
    assert wait_until(lambda: text().count("\n") >= 3), text()
    if where == "object":
        assert all(type(p) is str for p in sink.parts)
    lines = text().splitlines()
    assert len(lines) == 3, lines
    for line, (request_line, status, size) in zip(lines, [
            (r"GET /log\?q=1 HTTP/1\.1", "200", "5"),
            (r"GET /nobody HTTP/1\.0", "204", "-"),
            (r"GET /missing HTTP/1\.1", "404", r"(-|\d+)")]):
        found = re.fullmatch(LOG_LINE % (request_line, status, size), line)
        assert found, line
        when = datetime.strptime(found.group(1), "%d/%b/%Y:%H:%M:%S").replace(tzinfo=timezone.utc)
        assert abs(when - datetime.now(timezone.utc)) < timedelta(seconds=10)


class SlowSink(io.RawIOBase):
    def __init__(self):
        self.data, self.writing = b"", threading.Event()

    def writable(self):
        return True

    def write(self, b):
        self.writing.set()
        time.sleep(0.3)  # the lock is free meanwhile
        self.data += bytes(b)
        return len(b)


def test_access_log_holds_stderr_while_writing_to_it(serving, monkeypatch):
    # sys.stderr replaced, and the old one freed, while a log line is being
    # written through it: the write must still have a live stream to return to.
    srv = serving(access_log=True)
    srv.handle(b"/held", lambda http: http.c_text(b"ok"))
    sink = SlowSink()
    monkeypatch.setattr(sys, "stderr", io.TextIOWrapper(sink, write_through=True))
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(b"GET /held HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        assert sink.writing.wait(5)
        monkeypatch.undo()
        gc.collect()
        assert read_to_close(s).endswith(b"\r\n\r\nok")
    assert b"GET /held" in sink.data


@pytest.mark.filterwarnings("ignore:Unverified HTTPS request")
def test_tls_connection_is_kept_for_several_requests(serving, workdir):
    cert = pathlib.Path(workdir) / "cert"
    srv = serving(https=True, certfile=cert / "app.crt", keyfile=os.fsencode(cert / "app.key"))
    srv.handle(b"/port", port_route)
    with requests.Session() as session:
        replies = [session.get(srv.url("/port"), verify=False, timeout=10) for _ in range(2)]
    assert [r.status_code for r in replies] == [200, 200]
    assert replies[0].text == replies[1].text
    assert replies[0].headers["Connection"] == "keep-alive"


@pytest.mark.filterwarnings("ignore:Unverified HTTPS request")
def test_failed_tls_handshake_is_no_error(serving, workdir, output):
    cert = pathlib.Path(workdir) / "cert"
    srv = serving(https=True, certfile=cert / "app.crt", keyfile=cert / "app.key")
    srv.handle(b"/port", port_route)
    # Plain HTTP on the TLS port, then a probe that connects and leaves.
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(b"GET /port HTTP/1.1\r\n\r\n")
        assert read_to_close(s) == b""
    socket.create_connection((HOST, srv.port), timeout=10).close()
    with requests.Session() as session:  # served after both: their sessions have ended
        assert session.get(srv.url("/port"), verify=False, timeout=10).status_code == 200
    assert "Traceback" not in output.read("err")


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_curl_reuses_the_connection(serving):
    srv = serving()
    srv.handle(b"/port", lambda http: http.c_text(str(http.c_remote_port()).encode() + b"\n"))
    done = subprocess.run(["curl", "-sS", "--http1.1", "--max-time", "10",
                           srv.url("/port"), srv.url("/port")], capture_output=True, timeout=20)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.split()
    assert first == second


def test_start_still_closes_each_connection_and_sends_no_date(server):
    server.handle(b"/s", lambda http: http.c_text(b"s"))
    reply = server.get(b"/s", b"Connection: keep-alive\r\n")
    assert b"\r\nConnection: close\r\n" in reply and b"\r\nDate:" not in reply
