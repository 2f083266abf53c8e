"""Form and JSON bodies, their limits, Expect: 100-continue, the silent peer,
the body accessors c_post / c_json / c_files, and c_copy."""
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from helpers import (FORM, HOST, Baseline, ScriptServer, check_server_made, gone, ok, post_request,
                     read_to_close, wait_until)

MAX_POST = 1024000
JSON = b"application/json"
CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"


def keep_body(server, path):
    """Registers a handler that records what the accessors saw; returns the list."""
    seen = []

    def handler(http):
        seen.append({"json": http.c_json(), "record": http})
    server.handle(path, handler)
    return seen


# ---------------------------------------------------------------- form and JSON bodies

@pytest.mark.parametrize("ctype, body", [
    (FORM, b"a=1&b=2"),
    (JSON, b'{"a": [1, 2], "b": "\xc3\xa9"}'),
    (FORM + b"; charset=UTF-8", b"a=1&b=2"),
    (JSON + b"; charset=utf-8", b'{"k": "v"}'),
    (JSON + b" ;charset=utf-8", b'{"k": "v"}'),
], ids=["form", "json", "form-charset", "json-charset", "json-blank-before-semicolon"])
def test_form_and_json_bodies_are_read_whole(server, ctype, body):
    seen = keep_body(server, b"/body")
    assert ok(server.raw(post_request(b"/body", body, ctype)))
    assert seen[0]["json"] == body


@pytest.mark.parametrize("ctype", [JSON, FORM], ids=["json", "form"])
def test_body_sent_slowly_in_pieces_is_read_whole(server, ctype):
    body = b"a=" + b"x" * 5000 + b"&b=2"
    seen = []
    server.handle(b"/slow", lambda http: seen.append((http.c_json(), http.c_post(b"b"))))
    request = post_request(b"/slow", body, ctype)
    head_len = request.index(b"\r\n\r\n") + 4
    pieces = [head_len, 1, 7, 100, 3000, 10]
    assert ok(server.raw(request, pieces=pieces, delay=0.1))
    assert seen == [(body, b"2")]


CHUNKED_HEAD = b"POST /short HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
CUT_SHORT = {
    "length": post_request(b"/short", b"a=1&b=2", FORM, length=20),
    "inside-a-chunk": CHUNKED_HEAD + b"5\r\nhel",
    "no-last-chunk": CHUNKED_HEAD + b"5\r\nhello\r\n",
    "no-trailer-end": CHUNKED_HEAD + b"5\r\nhello\r\n0\r\n",
}


@pytest.mark.parametrize("entry", ["start", "serve"])
@pytest.mark.parametrize("request_bytes", CUT_SHORT.values(), ids=CUT_SHORT.keys())
def test_body_cut_short_by_the_peer_never_reaches_route(request, entry, request_bytes):
    srv = request.getfixturevalue("server") if entry == "start" else request.getfixturevalue(
        "serving")()
    calls = []
    srv.handle(b"/short", lambda http: calls.append(http.c_body()))
    reply = srv.raw(request_bytes)  # half-closed after the last byte
    if entry == "start":
        assert reply == b""
    else:
        check_server_made(reply, b"400")
    assert calls == []


@pytest.mark.parametrize("length", [MAX_POST, MAX_POST - 1], ids=["exactly-max", "one-below-max"])
def test_form_at_the_limit_is_kept_whole(server, length):
    body = b"k=" + b"v" * (length - 4) + b"&z"
    assert len(body) == length
    seen = []

    def handler(http):
        seen.append((http.c_json(), http.c_post(b"k")))
    server.handle(b"/max", handler)
    assert ok(server.raw(post_request(b"/max", body)))
    assert seen[0][0] == body
    assert seen[0][1] == b"v" * (length - 4)


@pytest.mark.parametrize("ctype", [FORM, JSON], ids=["form", "json"])
def test_form_over_the_limit_is_refused_and_the_app_still_runs(server, output, ctype):
    seen = keep_body(server, b"/over")
    # Only the head: the body would stay unread in the connection anyway.
    response = server.raw(post_request(b"/over", b"", ctype, length=MAX_POST + 1))
    assert ok(response)
    assert seen[0]["json"] == b""
    assert "MAX POST REACHED: 1024000\n" in output.wait_for("MAX POST REACHED")


def test_nul_byte_ends_the_body_text(server):
    seen = []

    def handler(http):
        seen.append((http.c_json(), http.c_post(b"a"), http.c_post(b"b")))
    server.handle(b"/nul", handler)
    assert ok(server.raw(post_request(b"/nul", b"a=1\x00&b=2")))
    assert seen == [(b"a=1", b"1", b"")]


@pytest.mark.parametrize("request_bytes", [
    post_request(b"/unread", b'{"a": 1}', b"APPLICATION/JSON"),
    post_request(b"/unread", b"a=1", b"Application/X-WWW-Form-Urlencoded"),
    post_request(b"/unread", b"a=1", b"text/plain"),
    post_request(b"/unread", b"a=1", None),
    post_request(b"/unread", b"a=1", FORM, length=False),
    post_request(b"/unread", b"a=1", JSON, length=False),
    post_request(b"/unread", b"a=1", FORM, length=0),
    post_request(b"/unread", b"--XYZ\r\n\r\n", b"multipart/form-data; boundary=XYZ", length=0),
], ids=["json-in-capitals", "form-in-mixed-case", "text-plain", "no-content-type",
        "form-without-length", "json-without-length", "form-length-zero", "multipart-length-zero"])
def test_bodies_that_are_not_read(server, request_bytes):
    seen = []

    def handler(http):
        seen.append((http.c_json(), http.c_post(b"a"), http.c_files(b"tmp_name"),
                     http.c_files(b"size")))
    server.handle(b"/unread", handler)
    assert ok(server.raw(request_bytes))
    assert seen == [(b"", b"", b"", b"0")]


@pytest.mark.parametrize("method", [b"GET", b"PUT", b"DELETE", b"post"])
def test_other_methods_read_no_body(server, method):
    seen = []

    def handler(http):
        seen.append((http.c_json(), http.c_post(b"a")))
    server.handle(b"/method", handler)
    request = (method + b" /method HTTP/1.1\r\nHost: x\r\nContent-Type: " + FORM +
               b"\r\nContent-Length: 3\r\n\r\na=1")
    assert ok(server.raw(request))
    assert seen == [(b"", b"")]


# ---------------------------------------------------------------- Expect: 100-continue

def _talk(server, head, body, expect_interim):
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(head)
        first = b""
        if expect_interim:
            while len(first) < len(CONTINUE):
                chunk = s.recv(len(CONTINUE) - len(first))
                assert chunk, f"closed before the interim response: {first!r}"
                first += chunk
            assert first == CONTINUE
        s.sendall(body)
        s.shutdown(socket.SHUT_WR)
        rest = b""
        while chunk := s.recv(65536):
            rest += chunk
        return first + rest


@pytest.mark.parametrize("ctype, body", [
    (FORM, b"a=1&b=" + b"2" * 3000),
    (JSON, b'{"k": "' + b"v" * 3000 + b'"}'),
    (b"multipart/form-data; boundary=XYZ",
     b'--XYZ\r\nContent-Disposition: form-data; name="f"; filename="a.txt"\r\n'
     b"Content-Type: text/plain\r\n\r\nhello\r\n--XYZ--\r\n"),
], ids=["form", "json", "multipart"])
def test_expect_continue_gets_the_interim_line_before_the_body(server, ctype, body):
    seen = []

    def handler(http):
        path = http.c_files(b"tmp_name")
        seen.append((http.c_json(), open(path, "rb").read() if path else None))
    server.handle(b"/expect", handler)
    head = post_request(b"/expect", b"", ctype, length=len(body), extra=b"Expect: 100-continue\r\n")
    response = _talk(server, head, body, expect_interim=True)
    assert response.startswith(CONTINUE + b"HTTP/1.1 200 OK\r\n")
    if ctype.startswith(b"multipart"):
        assert seen == [(b"", b"hello")]
    else:
        assert seen == [(body, None)]


@pytest.mark.parametrize("ctype, length", [
    (FORM, MAX_POST + 1),
    (b"text/plain", MAX_POST + 1),
    (FORM, 0),
], ids=["over-the-limit", "any-media-type-over-the-limit", "length-zero"])
def test_expect_continue_gets_no_interim_line_when_the_body_is_not_read(server, ctype, length):
    server.handle(b"/noexpect", lambda http: None)
    head = post_request(b"/noexpect", b"", ctype, length=length, extra=b"Expect: 100-continue\r\n")
    response = server.raw(head)
    assert ok(response)
    assert b"100 Continue" not in response



def test_expect_continue_from_an_http10_client_is_ignored_under_serve(serving):
    srv = serving()
    srv.handle(b"/expect10", lambda http: http.c_text(http.c_body()))
    head = post_request(b"/expect10", b"", b"text/plain", length=5, extra=b"Expect: 100-continue\r\n")
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(head.replace(b"HTTP/1.1", b"HTTP/1.0", 1))
        s.settimeout(1)
        with pytest.raises(socket.timeout):  # the body is waited for without an interim line
            s.recv(100)
        s.settimeout(10)
        s.sendall(b"hello")
        assert read_to_close(s).endswith(b"\r\n\r\nhello")


# ---------------------------------------------------------------- c_post

@pytest.mark.parametrize("body, key, value", [
    (b"a=1&b=2", b"b", b"2"),
    (b"a=1&b=2", b"a", b"1"),
    (b"a=1&b=2", b"c", b""),
    (b"a=1&b=2", b"A", b""),
    (b"a=1&a=2", b"a", b"1"),
    (b"q=a+b%21", b"q", b"a b!"),
    (b"q=1%2B1", b"q", b"1+1"),
    (b"t=x=y", b"t", b"x"),
    (b"x=1&&y=2", b"y", b"2"),
    (b"k=%E2%82%AC", b"k", "\u20ac".encode()),
    (b"k=%FF", b"k", b"\xef\xbf\xbd"),
    (b"my%20key=1", b"my key", b""),
    (b"my%20key=1", b"my%20key", b"1"),
    (b"flag&x=1", b"flag", b""),
    (b"e=&x=1", b"e", b""),
    (b"a=1&b=2", bytearray(b"b"), b"2"),
    (b"a=1&b=2", b"b\x00tail", b"2"),
], ids=["second", "first", "missing", "case-sensitive", "first-wins", "plus-is-space",
        "escaped-plus", "value-ends-at-second-equals", "empty-pair", "euro-sign",
        "invalid-escape-is-replacement", "escaped-name-not-decoded", "escaped-name-raw",
        "pair-without-equals", "empty-value", "bytearray-key", "key-ends-at-nul"])
def test_c_post_finds_and_decodes_form_values(server, body, key, value):
    seen = []
    server.handle(b"/cpost", lambda http: seen.append(http.c_post(key)))
    assert ok(server.raw(post_request(b"/cpost", body)))
    assert seen == [value]


def test_c_post_with_an_undecodable_value_reports_and_gives_empty(server, output):
    seen = []
    server.handle(b"/undecodable", lambda http: seen.append((http.c_post(b"k"), http.c_post(b"o"))))
    assert ok(server.raw(post_request(b"/undecodable", b"k=\xff\xfe&o=fine")))
    assert seen == [(b"", b"fine")]
    err = output.wait_for("Exception ignored in: 'zelweb.http_t.c_post'", stream="err")
    assert "UnicodeDecodeError" in err


@pytest.mark.parametrize("call", [
    lambda http: http.c_post("a"),
    lambda http: http.c_post(1),
    lambda http: http.c_post(),
    lambda http: http.c_post(b"a", b"b"),
    lambda http: http.c_post(key=b"a"),
    lambda http: http.c_files("name"),
    lambda http: http.c_json(b"a"),
    lambda http: http.c_copy("a", b"b"),
    lambda http: http.c_copy(b"a", b"b", b"c"),
    lambda http: http.c_copy(source_path=b"a", target=b"b"),
], ids=["post-str-key", "post-int-key", "post-no-arg", "post-two-args", "post-keyword",
        "files-str-key", "json-with-arg", "copy-str-source", "copy-three-args", "copy-bad-keyword"])
def test_body_accessors_refuse_wrong_arguments(server, call):
    seen = []

    def handler(http):
        try:
            call(http)
        except TypeError as e:
            seen.append(e)
    server.handle(b"/types", handler)
    assert ok(server.raw(post_request(b"/types", b"a=1")))
    assert len(seen) == 1


def test_c_post_and_c_json_on_a_kept_record_give_empty(server):
    seen = keep_body(server, b"/kept")
    baseline = Baseline()
    assert ok(server.raw(post_request(b"/kept", b"a=1&b=2")))
    assert seen[0]["json"] == b"a=1&b=2"
    record = seen[0]["record"]
    assert baseline.settled(), baseline  # the body is released after the response
    assert record.c_json() == b""
    assert record.c_post(b"a") == b""


def test_c_files_without_an_upload(server):
    seen = []
    server.handle(b"/nofiles", lambda http: seen.append(
        [http.c_files(k) for k in (b"name", b"type", b"tmp_name", b"size", b"other", b"")]))
    assert ok(server.raw(post_request(b"/nofiles", b"a=1")))
    assert ok(server.get(b"/nofiles"))
    assert seen == [[b"", b"", b"", b"0", b"", b""]] * 2


# ---------------------------------------------------------------- c_copy

@pytest.fixture
def record(server):
    """A request record kept after its GET: c_copy needs no live request."""
    seen = []
    server.handle(b"/record", seen.append)
    assert ok(server.get(b"/record"))
    return seen[0]


@pytest.mark.parametrize("content", [b"", b"abc", b"\x00\r\n--\xff" * 3],
                         ids=["empty", "three-bytes", "binary"])
def test_c_copy_copies_exactly(record, tmp_path, content):
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.write_bytes(content)
    assert record.c_copy(bytes(src), bytes(dst)) == 0
    assert dst.read_bytes() == content


def test_c_copy_of_a_large_file(record, tmp_path):
    content = os.urandom(5 * 1024 * 1024 + 12345)
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.write_bytes(content)
    dst.write_bytes(b"old content that is longer than nothing")
    assert record.c_copy(source_path=bytes(src), dest=bytes(dst)) == 0
    assert dst.read_bytes() == content


def test_c_copy_of_a_missing_source_creates_nothing(record, tmp_path):
    dst = tmp_path / "dst"
    assert record.c_copy(bytes(tmp_path / "missing"), bytes(dst)) == 0
    assert not dst.exists()


@pytest.mark.parametrize("dest", ["no-such-dir/dst", "a-directory"], ids=["missing-dir", "is-a-dir"])
def test_c_copy_to_an_unopenable_destination_leaves_nothing(record, tmp_path, dest):
    src = tmp_path / "src"
    src.write_bytes(b"data")
    (tmp_path / "a-directory").mkdir()
    assert record.c_copy(bytes(src), bytes(tmp_path / dest)) == 0
    assert not (tmp_path / "no-such-dir").exists()
    assert list((tmp_path / "a-directory").iterdir()) == []
    assert src.read_bytes() == b"data"


def test_c_copy_from_an_unreadable_source_leaves_no_destination(record, tmp_path):
    # A directory exists and opens, but reading it fails.
    dst = tmp_path / "dst"
    assert record.c_copy(bytes(tmp_path), bytes(dst)) == 0
    assert not dst.exists()


def test_c_copy_that_fails_while_writing_leaves_no_partial_file(tmp_path):
    # A file-size limit makes the write fail part-way through.
    code = textwrap.dedent(f"""
        import os, resource, signal, threading, urllib.request
        import zelweb
        from conftest import free_port, wait_listening
        os.chdir({str(tmp_path)!r})
        open("src", "wb").write(os.urandom(1 << 20))
        kept = []
        class App:
            def route(self, http):
                kept.append(http)
        port = free_port()
        threading.Thread(target=zelweb.start, args=(App(), b"127.0.0.1", port, 0), daemon=True).start()
        wait_listening(port)
        urllib.request.urlopen(f"http://127.0.0.1:{{port}}/").read()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (200000, 200000))
        print("result", kept[0].c_copy(b"src", b"dst"), os.path.exists("dst"))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(__file__)] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=env)
    assert "result 0 False" in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize("dest", ["same", "./same"], ids=["same-path", "same-file-other-spelling"])
def test_c_copy_onto_itself_keeps_the_file(record, tmp_path, dest):
    path = tmp_path / "same"
    path.write_bytes(b"precious")
    assert record.c_copy(bytes(path), bytes(tmp_path / dest)) == 0
    assert path.read_bytes() == b"precious"


# ---------------------------------------------------------------- failures that end the request

@pytest.mark.slow
def test_body_that_stops_arriving_gets_400_at_the_time_limit_under_serve(serving):
    srv = serving()
    calls = []
    srv.handle(b"/silent", lambda http: calls.append(http.c_body()))
    with socket.create_connection((HOST, srv.port), timeout=90) as s:
        s.sendall(post_request(b"/silent", b"a=1", FORM, length=10))  # then nothing, still open
        started = time.monotonic()
        reply = read_to_close(s)
        assert time.monotonic() - started > 50
    check_server_made(reply, b"400")
    assert calls == []


@pytest.mark.slow
def test_silent_peer_times_out_after_the_body_timeout(server, output):
    """One slow test: a form body and an upload that stop arriving."""
    calls = []

    def handler(http):
        calls.append((http.c_url(), http.c_files(b"tmp_name"), http.c_files(b"size")))
    server.handle(b"/silent-form", handler)
    server.handle(b"/silent-upload", handler)
    form = post_request(b"/silent-form", b"a=1", FORM, length=10)
    upload = post_request(
        b"/silent-upload",
        b'--XYZ\r\nContent-Disposition: form-data; name="f"; filename="a.txt"\r\n\r\nhel',
        b"multipart/form-data; boundary=XYZ", length=200)
    results = {}

    def talk(name, data):
        with socket.create_connection((HOST, server.port), timeout=90) as s:
            s.sendall(data)  # and then nothing, without closing
            got = b""
            start = time.monotonic()
            while chunk := s.recv(65536):
                got += chunk
            results[name] = (got, time.monotonic() - start)

    threads = [threading.Thread(target=talk, args=a) for a in (("form", form), ("upload", upload))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(100)
    # The form: the handler's error exit, no response, no application call.
    assert results["form"][0] == b""
    assert results["form"][1] > 50
    # The upload: an upload error; the application is called and answers.
    assert ok(results["upload"][0])
    assert [c[0] for c in calls] == [b"/silent-upload"]
    tmp_name = calls[0][1]
    assert calls[0][2] in (b"0", b"3")  # "hel" could still have begun the delimiter
    err = output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert "timed out" in err
    assert "timed out" in output.wait_for("timed out")
    assert gone(tmp_name)


SERVER_SCRIPT = """
import sys, zelweb
class App:
    def route(self, http):
        print("ROUTE", http.c_url().decode(), flush=True)
        http.c_text(b"served")
zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
"""


def test_upload_without_tmp_directory_ends_without_response(tmp_path):
    with ScriptServer(SERVER_SCRIPT, tmp_path) as srv:
        body = (b'--XYZ\r\nContent-Disposition: form-data; name="f"; filename="a.txt"\r\n\r\n'
                b"hello\r\n--XYZ--\r\n")
        request = post_request(b"/up", body, b"multipart/form-data; boundary=XYZ")
        with socket.create_connection((HOST, srv.port), timeout=10) as s:
            s.sendall(request)
            s.shutdown(socket.SHUT_WR)
            assert s.recv(100) == b""
        # The next client is served normally.
        with socket.create_connection((HOST, srv.port), timeout=10) as s:
            s.sendall(b"GET /next HTTP/1.1\r\n\r\n")
            response = read_to_close(s)
        assert ok(response) and response.endswith(b"served")
        wait_until(lambda: "Exception ignored in" in srv.stderr.read_text(), timeout=5, step=0.05)
    err = srv.stderr.read_text()
    assert "FileNotFoundError" in err and "zelweb.client" in err
    assert "Exception ignored in: 'zelweb.client'" in err
    assert [l for l in srv.stdout.read_text().splitlines() if l.startswith("ROUTE")] == ["ROUTE /next"]
    assert not (tmp_path / "tmp").exists()
