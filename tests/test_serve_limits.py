"""What serve does with what the application sets beyond start's fixed fields:
standard reason phrases, longer status texts, header and cookie lines, texts of
any size, long targets and Cookie headers; and a value it still refuses makes a
500 with one line on standard error, never a 200 missing it."""
import pytest
import requests

from helpers import serve_head, undated

TARGET = b"/r?x=1"


def status_line(reply):
    return reply.partition(b"\r\n")[0]


def split(reply):
    head, _, body = undated(reply).partition(b"\r\n\r\n")
    return head.split(b"\r\n"), body


@pytest.mark.parametrize("calls, line", [
    ([("c_status", 404)], b"HTTP/1.1 404 Not Found"),
    ([("c_status", 500)], b"HTTP/1.1 500 Internal Server Error"),
    ([("c_status", 418)], b"HTTP/1.1 418 I'm a teapot"),
    ([("c_status", 299)], b"HTTP/1.1 299 "),
    ([("c_status", 404), ("c_status_text", b"Gone Fishing")], b"HTTP/1.1 404 Gone Fishing"),
    ([("c_status_text", b""), ("c_status", 404)], b"HTTP/1.1 404 "),
    ([("c_redirect", b"/new"), ("c_status", 301)], b"HTTP/1.1 301 Moved Permanently"),
])
def test_a_status_without_a_text_gets_its_standard_phrase(serving, calls, line):
    srv = serving()

    def route(http):
        for name, arg in calls:
            getattr(http, name)(arg)
    srv.handle(b"/r", route)
    assert status_line(srv.get(b"/r")) == line


def test_start_keeps_its_default_text(server):
    server.handle(b"/r", lambda http: http.c_status(404))
    assert status_line(server.get(b"/r")) == b"HTTP/1.1 404 OK"


JWT = b"eyJ" + b"a" * 1497
CSP = b"default-src 'self'; " + b"script-src https://cdn.example " * 18
# Header lines of 8,190 bytes (CR LF included) and one of 16: 65,536 bytes in all.
FULL_LINES = [(b"X-%d" % i, b"v" * 8183) for i in range(8)] + [(b"Y", b"v" * 11)]


def lines_of(pairs):
    return b"".join(k + b": " + v + b"\r\n" for k, v in pairs)


@pytest.mark.parametrize("calls, expected", [
    ([("c_set_header", b"Content-Security-Policy", CSP)],
     b"\r\n" + lines_of([(b"Content-Security-Policy", CSP)])),
    ([("c_set_cookie", b"session", JWT + b"; HttpOnly")],
     b"\r\nSet-Cookie: session=" + JWT + b"; HttpOnly\r\n"),
    ([("c_set_header", b"X-Big", b"b" * 8181)], b"\r\nX-Big: " + b"b" * 8181 + b"\r\n"),
    ([("c_set_header", k, v) for k, v in FULL_LINES], b"\r\n" + lines_of(FULL_LINES)),
    ([("c_status_text", b"s" * 128)], b"HTTP/1.1 200 " + b"s" * 128 + b"\r\n"),
], ids=["csp-600", "jwt-cookie-1500", "line-8190", "lines-65536", "status-text-128"])
def test_values_beyond_starts_fields_go_out_whole(serving, calls, expected):
    srv = serving()

    def route(http):
        for name, *args in calls:
            getattr(http, name)(*args)
    srv.handle(b"/r", route)
    assert expected in srv.get(b"/r")


def test_a_text_of_any_size_goes_out_whole(serving):
    srv = serving()
    text = bytes(range(1, 256)) * 8224  # 2,097,120 bytes
    srv.handle(b"/r", lambda http: http.c_text(text))
    assert requests.get(srv.url("/r"), timeout=10).content == text


@pytest.mark.parametrize("call, message", [
    (lambda h: h.c_status_text(b"s" * 129), "c_status_text refused a status text over 128 bytes"),
    (lambda h: h.c_set_header(b"X-Big", b"b" * (8191 - 9)),
     "c_set_header refused a line over 8190 bytes"),
    (lambda h: [h.c_set_header(k, v) for k, v in FULL_LINES + [(b"Z", b"")]],
     "c_set_header refused lines over 65536 bytes in all"),
    (lambda h: h.c_set_cookie(b"c", b"v" * 8190), "c_set_cookie refused a line over 8190 bytes"),
    (lambda h: h.c_set_header(b"X-A", b"1\r\nX-Injected: 1"),
     "c_set_header refused a value holding a CR or LF byte"),
    (lambda h: h.c_set_header(b"X A", b"1"), "c_set_header refused a header name that is not a token"),
    (lambda h: h.c_content_type(b"t" * 250), "c_content_type refused a content type over 249 bytes"),
    (lambda h: h.c_redirect(b"/a\nb"), "c_redirect refused a value holding a CR or LF byte"),
    (lambda h: h.c_data(b"d" * 250), "c_data refused a path over 249 bytes"),
], ids=["status-text", "header-line", "header-lines", "cookie-line", "crlf", "not-a-token",
        "content-type", "redirect-crlf", "data-path"])
def test_a_refused_value_makes_a_500_and_one_line_on_stderr(serving, output, call, message):
    srv = serving()

    def route(http):
        http.c_text(b"not this")
        call(http)
    srv.handle(b"/r", route)
    head, body = split(srv.get(TARGET))
    assert (head[0], body) == (b"HTTP/1.1 500 Internal Server Error", b"Internal Server Error\n")
    line = f"zelweb: {message}: the response to GET /r?x=1 is a 500\n"
    err = output.wait_for(line, stream="err")
    assert err.count("zelweb: ") == 1, err
    assert "size of data must" not in output.read()


def test_a_refusal_still_removes_the_data_r_file(serving, output, tmp_path):
    srv = serving()
    path = tmp_path / "export.csv"
    path.write_bytes(b"a,b\n")

    def route(http):
        http.c_data_r(bytes(path))
        http.c_status_text(b"s" * 200)
    srv.handle(b"/r", route)
    assert split(srv.get(TARGET))[0][0] == b"HTTP/1.1 500 Internal Server Error"
    output.wait_for("c_status_text refused", stream="err")
    assert not path.exists()


def test_a_target_as_long_as_the_head_reaches_route_whole(serving):
    srv = serving()
    path = b"/r/" + b"p" * 2000
    state = "s" * 5000
    seen = []
    srv.handle(path, lambda http: seen.append(
        (http.c_url(), http.c_path(path), http.c_get(b"state"), len(http.c_query()))))
    reply = requests.get(srv.url(path.decode()), params={"code": "abc", "state": state},
                         timeout=10)
    assert reply.status_code == 200
    assert seen == [(path, 1, state.encode(), len("code=abc&state=") + 5000)]


@pytest.mark.parametrize("request_bytes, status", [
    (b"GET /" + b"t" * 8200 + b" HTTP/1.1\r\n\r\n", b"414 URI Too Long"),
    (b"GET /" + b"t" * 8000 + b" HTTP/1.1\r\nX-Pad: " + b"p" * 300 + b"\r\n\r\n",
     b"431 Request Header Fields Too Large"),
], ids=["request-line", "headers"])
def test_a_head_over_8192_bytes_is_414_when_its_request_line_alone_is(serving, request_bytes,
                                                                       status):
    srv = serving()
    assert status_line(srv.raw(request_bytes, shutdown=False)) == b"HTTP/1.1 " + status


@pytest.mark.parametrize("cookie_lines", [
    [b"a=" + b"x" * 3000 + b"; jwt=" + JWT],
    [b"a=" + b"x" * 3000, b"jwt=" + JWT],
], ids=["one-line", "two-lines"])
def test_get_cookie_reads_the_whole_cookie_header(serving, cookie_lines):
    srv = serving()
    seen = []
    srv.handle(b"/r", lambda http: seen.append((http.c_get_cookie(b"jwt"), http.c_get_cookie(b"a"))))
    headers = b"".join(b"Cookie: " + line + b"\r\n" for line in cookie_lines)
    assert undated(srv.get(b"/r", headers)) == serve_head(0)
    assert seen == [(JWT, b"x" * 3000)]
