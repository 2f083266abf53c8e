"""c_file: a file as the body, described from the file itself (media type, ETag,
Last-Modified), with conditional requests and one byte range, under start and
serve, over loopback with raw sockets, curl and requests."""
import email.utils
import mimetypes
import os
import socket
import subprocess

import pytest
import requests

from helpers import gone, unverified_context, wait_until

# 40,800 bytes, no zero byte: over the 16 KiB sent with the head, so the
# file goes by sendfile; small files and ranges go in the head's send.
DATA = bytes(range(1, 256)) * 160
mimetypes.init()  # the table the server reads, the system's files included


@pytest.fixture(params=["start", "serve"])
def srv(request, server, serving):
    return server if request.param == "start" else serving()


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(DATA)
    return path


def split(reply):
    """(status line, {lower-case name: value}, body) of one response."""
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(b": ")
        fields.setdefault(name.lower(), value)
    return lines[0], fields, body


def validators(path):
    st = os.stat(path)
    etag = b'"%x-%x"' % (st.st_size, st.st_mtime_ns)
    return etag, email.utils.formatdate(st.st_mtime_ns // 10**9, usegmt=True).encode()


def serve_file(srv, path, before=None, after=None):
    """Registers /f: c_file(path), with calls on the record around it."""
    def route(http):
        if before:
            before(http)
        assert http.c_file(bytes(path)) is True
        if after:
            after(http)
    srv.handle(b"/f", route)


def descriptors_of(path):
    """How many of this process's descriptors are open on the file."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}") == str(path)
        except OSError:
            pass  # closed meanwhile
    return count


def curl(*args):
    run = subprocess.run(["curl", "-sS", "--max-time", "10", *args], capture_output=True,
                         timeout=20)
    assert run.returncode == 0, run.stderr
    return run.stdout


# --- the response ------------------------------------------------------------------

def test_head_under_start_keeps_its_format_with_the_file_lines(server, tmp_path):
    path = tmp_path / "site.css"
    path.write_bytes(b"body{}")
    etag, modified = validators(path)
    serve_file(server, path, before=lambda http: http.c_set_header(b"X-A", b"1"),
               after=lambda http: http.c_set_cookie(b"c", b"2"))
    assert server.get(b"/f") == (
        b"HTTP/1.1 200 OK\r\nX-A: 1\r\nserver: Tovrel\r\nConnection: close\r\nETag: " + etag +
        b"\r\nLast-Modified: " + modified + b"\r\nAccept-Ranges: bytes\r\nSet-Cookie: c=2\r\n"
        b"Content-Type: text/css; charset=utf-8\r\nContent-Length: 6\r\n\r\nbody{}")


@pytest.mark.parametrize("name, expected", [
    ("page.html", "text/html; charset=utf-8"),
    ("logo.PNG", "image/png"),
    ("app.js", mimetypes.types_map[".js"] + "; charset=utf-8"),
    ("font.woff2", "font/woff2"),
    ("archive.tar.gz", mimetypes.types_map.get(".gz", "application/octet-stream")),
    ("data.unknown-extension", "application/octet-stream"),
    ("README", "application/octet-stream"),
    (".profile", "application/octet-stream"),
])
def test_content_type_comes_from_the_extension(srv, tmp_path, name, expected):
    (tmp_path / name).write_bytes(b"x")
    serve_file(srv, tmp_path / name)
    assert split(srv.get(b"/f"))[1][b"content-type"] == expected.encode()


@pytest.mark.parametrize("order", ["before", "after"])
def test_content_type_set_by_the_application_wins(srv, tmp_path, order):
    (tmp_path / "a.html").write_bytes(b"x")
    set_type = lambda http: http.c_content_type(b"text/plain")  # noqa: E731
    serve_file(srv, tmp_path / "a.html", **{order: set_type})
    assert split(srv.get(b"/f"))[1][b"content-type"] == b"text/plain"


@pytest.mark.parametrize("kind", ["missing", "directory", "fifo", "empty-path"])
def test_what_is_not_a_regular_file_gives_false_and_changes_nothing(srv, tmp_path, kind):
    path = tmp_path / "thing"
    if kind == "directory":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)  # opened without waiting for a writer
    results = []

    def route(http):
        http.c_text(b"text stays")
        results.append(http.c_file(b"" if kind == "empty-path" else bytes(path)))
    srv.handle(b"/f", route)
    status, fields, body = split(srv.get(b"/f"))
    assert results == [False]
    assert (status, body, b"etag" in fields) == (b"HTTP/1.1 200 OK", b"text stays", False)


def test_the_head_describes_the_file_as_it_is_when_sent(srv, data_file):
    serve_file(srv, data_file, after=lambda http: data_file.write_bytes(b"shorter"))
    status, fields, body = split(srv.get(b"/f"))
    assert (fields[b"content-length"], body) == (b"7", b"shorter")
    assert fields[b"etag"] == validators(data_file)[0]


def test_head_gets_the_length_and_no_body(srv, data_file):
    serve_file(srv, data_file)
    reply = srv.raw(b"HEAD /f HTTP/1.1\r\nHost: x\r\nRange: bytes=0-1\r\n\r\n")
    status, fields, body = split(reply)
    assert (status, fields[b"content-length"], body) == (b"HTTP/1.1 200 OK", b"40800", b"")


def test_file_over_4_gib_is_described_and_ranged_with_64_bit_sizes(srv, tmp_path):
    path = tmp_path / "sparse.bin"
    size = 5 * 2**30 + 7
    with open(path, "wb") as f:
        f.truncate(size - 16)  # sparse: no disk taken
        f.seek(size - 16)
        f.write(b"the last sixteen")
    serve_file(srv, path)
    assert split(srv.raw(b"HEAD /f HTTP/1.1\r\nHost: x\r\n\r\n"))[1][b"content-length"] == \
        str(size).encode()
    status, fields, body = split(srv.get(b"/f", b"Range: bytes=-16\r\n"))
    assert (status, fields[b"content-range"], body) == (
        b"HTTP/1.1 206 Partial Content", b"bytes %d-%d/%d" % (size - 16, size - 1, size),
        b"the last sixteen")


# --- ranges and conditionals with real clients -------------------------------------

@pytest.mark.parametrize("spec, first, last", [
    ("10-19", 10, 19), ("-5", 40795, 40799), ("10000-", 10000, 40799), ("0-0", 0, 0),
    ("40700-99999", 40700, 40799),
])
def test_curl_range_gets_206_and_exactly_those_bytes(srv, data_file, spec, first, last):
    serve_file(srv, data_file)
    out = curl("-r", spec, "-D", "-", srv.url("/f"))
    status, fields, body = split(out)
    assert status == b"HTTP/1.1 206 Partial Content"
    assert fields[b"content-range"] == b"bytes %d-%d/40800" % (first, last)
    assert body == DATA[first:last + 1]


@pytest.mark.parametrize("spec", ["40800-", "99999-100000"])
def test_unsatisfiable_range_gets_416_with_the_size(srv, data_file, spec):
    serve_file(srv, data_file)
    status, fields, body = split(curl("-r", spec, "-D", "-", srv.url("/f")))
    assert (status, fields[b"content-range"], fields[b"content-length"], body) == (
        b"HTTP/1.1 416 Range Not Satisfiable", b"bytes */40800", b"0", b"")


def test_several_ranges_get_the_whole_file(srv, data_file):
    serve_file(srv, data_file)
    status, fields, body = split(curl("-r", "0-1,5-6", "-D", "-", srv.url("/f")))
    assert (status, body) == (b"HTTP/1.1 200 OK", DATA)


def test_curl_z_gets_304_until_the_file_changes(srv, data_file, tmp_path):
    serve_file(srv, data_file)
    code = lambda *args: curl("-o", "/dev/null", "-w", "%{http_code}", *args, srv.url("/f"))  # noqa: E731
    assert code("-z", str(data_file)) == b"304"
    older = tmp_path / "older"
    older.write_bytes(b"")
    st = os.stat(data_file)
    os.utime(older, ns=(st.st_atime_ns, st.st_mtime_ns - 10**9))
    assert code("-z", str(older)) == b"200"


@pytest.mark.parametrize("value, status", [
    ("{etag}", 304), ("W/{etag}", 304), ('"other", {etag}', 304), ("*", 304), ('"other"', 200),
])
def test_if_none_match_compares_weakly(srv, data_file, value, status):
    serve_file(srv, data_file)
    etag = validators(data_file)[0].decode()
    reply = requests.get(srv.url("/f"), headers={"If-None-Match": value.format(etag=etag)},
                         timeout=10)
    assert reply.status_code == status
    assert reply.content == (b"" if status == 304 else DATA)
    assert reply.headers["ETag"] == etag


@pytest.mark.parametrize("headers, status", [
    ({"If-Match": "{etag}"}, 200), ({"If-Match": '"other", {etag}'}, 200), ({"If-Match": "*"}, 200),
    ({"If-Match": '"other"'}, 412), ({"If-Match": "W/{etag}"}, 412),
    ({"If-Unmodified-Since": "{modified}"}, 200),
    ({"If-Unmodified-Since": "Sat, 01 Jan 2000 00:00:00 GMT"}, 412),
    ({"If-Match": "{etag}", "If-Unmodified-Since": "Sat, 01 Jan 2000 00:00:00 GMT"}, 200),
])
def test_if_match_and_if_unmodified_since_fail_with_412(srv, data_file, headers, status):
    serve_file(srv, data_file)
    etag, modified = (v.decode() for v in validators(data_file))
    reply = requests.get(srv.url("/f"), timeout=10, headers={
        k: v.format(etag=etag, modified=modified) for k, v in headers.items()})
    assert (reply.status_code, reply.content) == (status, b"" if status == 412 else DATA)


@pytest.mark.parametrize("order", ["before", "after"])
def test_validators_the_application_set_are_the_only_ones_sent_and_compared(srv, data_file, order):
    old = "Sat, 01 Jan 2000 00:00:00 GMT"

    def own(http):
        http.c_set_header(b"ETag", b'"v7"')
        http.c_set_header(b"Last-Modified", old.encode())
    serve_file(srv, data_file, **{order: own})
    reply = requests.get(srv.url("/f"), timeout=10)
    assert (reply.headers["ETag"], reply.headers["Last-Modified"]) == ('"v7"', old)  # one line each
    for headers in ({"If-None-Match": '"v7"'}, {"If-Modified-Since": old}):
        assert requests.get(srv.url("/f"), headers=headers, timeout=10).status_code == 304
    etag = validators(data_file)[0].decode()
    assert requests.get(srv.url("/f"), headers={"If-None-Match": etag}, timeout=10).status_code == 200


@pytest.mark.parametrize("if_range, status", [
    ("{etag}", 206), ("{modified}", 206), ('"other"', 200), ("W/{etag}", 200),
])
def test_if_range_that_does_not_hold_gets_the_whole_file(srv, data_file, if_range, status):
    serve_file(srv, data_file)
    etag, modified = (v.decode() for v in validators(data_file))
    reply = requests.get(srv.url("/f"), timeout=10, headers={
        "Range": "bytes=1-3", "If-Range": if_range.format(etag=etag, modified=modified)})
    assert (reply.status_code, reply.content) == (status, DATA[1:4] if status == 206 else DATA)


def test_a_status_the_application_set_gets_the_file_as_it_is(srv, data_file):
    serve_file(srv, data_file, before=lambda http: http.c_status(404))
    status, fields, body = split(srv.get(b"/f", b"If-None-Match: *\r\nRange: bytes=0-1\r\n"))
    assert status.startswith(b"HTTP/1.1 404 ") and body == DATA and b"etag" not in fields


def test_tls_sends_a_range_of_the_file(serving, data_file, workdir):
    srv = serving(https=True)
    serve_file(srv, data_file)
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as raw:
        with unverified_context().wrap_socket(raw) as s:
            s.sendall(b"GET /f HTTP/1.1\r\nHost: x\r\nRange: bytes=100-\r\n"
                      b"Connection: close\r\n\r\n")
            reply = b"".join(iter(lambda: s.recv(65536), b""))
    assert split(reply)[0::2] == (b"HTTP/1.1 206 Partial Content", DATA[100:])


# --- which body wins, and what is closed and removed ---------------------------------

@pytest.mark.parametrize("calls, sent", [
    (["text", "file"], "file"), (["file", "text"], "file"), (["data", "file"], "file"),
    (["file", "data"], "data"), (["data_r", "file"], "file"),
])
def test_the_last_file_chosen_is_sent(srv, data_file, tmp_path, calls, sent):
    other = tmp_path / "other.txt"
    other.write_bytes(b"the c_data file")
    bodies = {"file": DATA, "data": b"the c_data file"}

    def route(http):
        for call in calls:
            if call == "text":
                http.c_text(b"text")
            elif call == "file":
                http.c_file(bytes(data_file))
            else:
                getattr(http, "c_" + call)(bytes(other))
    srv.handle(b"/f", route)
    assert split(srv.get(b"/f"))[2] == bodies[sent]
    # A c_data_r file goes once its response has ended, whichever body was sent.
    assert gone(other) if "data_r" in calls else other.exists()


@pytest.mark.parametrize("ending", ["sent", "head", "304", "416", "raised", "record-kept"])
def test_the_file_is_closed_however_the_request_ends(srv, data_file, ending):
    kept = []

    def route(http):
        http.c_file(bytes(data_file))
        if ending == "raised":
            raise RuntimeError("after c_file")
        if ending == "record-kept":
            kept.append(http)
    srv.handle(b"/f", route)
    request = {"head": b"HEAD /f HTTP/1.1\r\nHost: x\r\n\r\n",
               "304": b"GET /f HTTP/1.1\r\nHost: x\r\nIf-None-Match: *\r\n\r\n",
               "416": b"GET /f HTTP/1.1\r\nHost: x\r\nRange: bytes=99999-\r\n\r\n"}
    for _ in range(5):
        srv.raw(request.get(ending, b"GET /f HTTP/1.1\r\nHost: x\r\n\r\n"))
    assert wait_until(lambda: descriptors_of(data_file) == 0), descriptors_of(data_file)


def test_a_file_body_cut_short_ends_the_kept_connection(serving, data_file):
    srv = serving()

    def route(http):
        http.c_data(bytes(data_file))  # announces 40,800 bytes
        data_file.write_bytes(b"cut")
    srv.handle(b"/f", route)
    srv.handle(b"/next", lambda http: http.c_text(b"next"))
    # Pipelined: a server that kept the connection would answer the second
    # request inside the bytes the client still expects of the first.
    reply = srv.raw(b"GET /f HTTP/1.1\r\nHost: x\r\n\r\nGET /next HTTP/1.1\r\nHost: x\r\n\r\n")
    status, fields, body = split(reply)
    assert (fields[b"connection"], fields[b"content-length"], body) == (b"keep-alive", b"40800",
                                                                       b"cut")
