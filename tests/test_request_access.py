"""What route reads of the request beyond the recognised headers: the method,
any header line, the raw query and the peer's address."""
import socket

import pytest
import requests
import zelweb

from helpers import HOST, ok, read_to_close, unverified_context


def read_back(server, request, read, path=b"/access"):
    """Sends a raw request and returns what read(http) gave inside route."""
    seen = []
    server.handle(path, lambda http: seen.append(read(http)))
    assert ok(server.raw(request))
    assert len(seen) == 1
    return seen[0]


@pytest.mark.parametrize("method", ["GET", "PUT", "DELETE", "PATCH", "BREW"])
@pytest.mark.parametrize("client", ["requests", "raw"])
def test_method_as_received(server, client, method):
    seen = []
    server.handle(b"/m", lambda http: seen.append(http.c_method()))
    if client == "requests":
        assert requests.request(method, server.url("/m"), timeout=10).status_code == 200
    else:
        assert ok(server.raw(method.encode() + b" /m HTTP/1.1\r\nHost: x\r\n\r\n"))
    assert seen == [method.encode()]


# The target holds a colon so that a request line read as a header would show.
HEADERS = (b"GET /access?x=a:b HTTP/1.1\r\n"
           b"Host: x\r\n"
           b"X-Multi: one\r\n"
           b"Accept:\t text/html \t\r\n"
           b"x-multi:two  \r\n"
           b"Host : spaced\r\n"
           b"X-Colon: a: b\r\n"
           b"No colon line\r\n"
           b"X-Empty:\r\n"
           b"X-MULTI: three\r\n"
           b"\r\n")


@pytest.mark.parametrize("name, value", [
    (b"x-multi", b"one, two, three"),
    (b"X-MULTI", b"one, two, three"),
    (b"host", b"x"),
    (b"HOST ", b"spaced"),
    (b"accept", b"text/html"),
    (b"X-Colon", b"a: b"),
    (b"X-Empty", b""),
    (b"No colon line", b""),
    (b"GET /access?x=a", b""),
    (b"Missing", b""),
    (bytearray(b"Accept"), b"text/html"),
    (b"Accept\x00junk", b"text/html"),
], ids=["several-lines-joined", "joined-any-case", "name-not-trimmed", "name-with-its-space",
        "value-trimmed-of-tabs", "value-keeps-colons", "empty-value", "line-without-colon",
        "request-line-is-not-a-header", "absent", "bytearray-name", "name-ends-at-nul"])
def test_c_header(server, name, value):
    assert read_back(server, HEADERS, lambda http: http.c_header(name)) == value


def test_c_headers_lists_every_line_in_order(server):
    assert read_back(server, HEADERS, lambda http: http.c_headers()) == [
        (b"Host", b"x"), (b"X-Multi", b"one"), (b"Accept", b"text/html"), (b"x-multi", b"two"),
        (b"Host ", b"spaced"), (b"X-Colon", b"a: b"), (b"X-Empty", b""), (b"X-MULTI", b"three")]


@pytest.mark.parametrize("target, query", [
    (b"/access?a=1&b=%20x+y&c=%FF", b"a=1&b=%20x+y&c=%FF"),
    (b"/access", b""),
    (b"/access?", b""),
    (b"/access?a=1?b=2", b"a=1"),
    (b"/access??b=2", b""),
    (b"/access?\xc3\xa9=%00", b"\xc3\xa9=%00"),
    (b"/?" + b"v" * 1021, b"v" * 1021),  # the target itself is bounded at 1,023 bytes
], ids=["undecoded", "none", "empty", "up-to-a-second-mark", "empty-before-a-second-mark",
        "raw-bytes", "longest-a-target-carries"])
def test_c_query_is_the_raw_query(server, target, query):
    request = b"GET " + target + b" HTTP/1.1\r\n\r\n"
    assert read_back(server, request, lambda http: http.c_query(), target.split(b"?")[0]) == query


@pytest.mark.parametrize("tls", [False, True], ids=["tcp", "tls"])
def test_remote_address_and_port_are_the_peers(request, tls):
    server = request.getfixturevalue("tls_server" if tls else "server")
    seen = []
    server.handle(b"/peer", lambda http: seen.append((http.c_remote_addr(), http.c_remote_port())))
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        port = s.getsockname()[1]
        conn = unverified_context().wrap_socket(s) if tls else s
        conn.sendall(b"GET /peer HTTP/1.1\r\n\r\n")
        assert ok(read_to_close(conn))
    assert seen == [(b"127.0.0.1", port)]


def test_a_record_not_made_by_the_server_is_empty():
    http = zelweb.http_t()
    assert (http.c_method(), http.c_header(b"Host"), http.c_headers(), http.c_query(),
            http.c_remote_addr(), http.c_remote_port(), http.c_body(), http.c_uploads()) == (
        b"", b"", [], b"", b"", 0, b"", [])


NO_PARAMETER = ["c_method", "c_headers", "c_query", "c_remote_addr", "c_remote_port", "c_body",
                "c_uploads"]


@pytest.mark.parametrize("call, message", [
    *[pytest.param(lambda h, m=m: getattr(h, m)(b"x"), f"{m}() takes no arguments (1 given)",
                   id=f"{m}-one") for m in NO_PARAMETER],
    *[pytest.param(lambda h, m=m: getattr(h, m)(x=1), f"{m}() takes no keyword arguments",
                   id=f"{m}-keyword") for m in NO_PARAMETER],
    pytest.param(lambda h: h.c_header(), "c_header() takes exactly one argument (0 given)",
                 id="header-none"),
    pytest.param(lambda h: h.c_header(b"a", b"b"),
                 "c_header() takes exactly one argument (2 given)", id="header-two"),
    pytest.param(lambda h: h.c_header(name=b"a"), "c_header() takes no keyword arguments",
                 id="header-keyword"),
    pytest.param(lambda h: h.c_header("Host"), "expected bytes, str found", id="header-str"),
    pytest.param(lambda h: h.c_header(None), None, id="header-None"),
    pytest.param(lambda h: h.c_header(memoryview(b"Host")), None, id="header-memoryview"),
])
def test_new_methods_refuse_wrong_calls(call, message):
    with pytest.raises(TypeError) as excinfo:
        call(zelweb.http_t())
    # The interpreter's own message; 3.10 and later put the class first.
    if message is not None:
        assert str(excinfo.value) in (message, "http_t." + message)
