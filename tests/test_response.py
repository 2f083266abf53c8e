"""The response on the wire: its head byte for byte, text and file bodies, what
an application that raises gets, and real clients reading the answers."""
import http.client
import os
import socket
import struct
import subprocess
import threading

import pytest
import requests
import zelweb

from helpers import (HOST, ServerEnd, answer, assert_next_client_served, cookie_lines, head,
                     gone, header_lines, wait_until)

def pattern(size):
    """Bytes without a zero byte, so a truncation or shift shows."""
    block = bytes(range(1, 256))
    return (block * (size // len(block) + 1))[:size]


# --- the text response -------------------------------------------------------------

def test_default_response_byte_for_byte(server):
    assert answer(server, lambda http: None) == (
        b"HTTP/1.1 200 OK\r\nserver: Tovrel\r\nConnection: close\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n")


def test_five_letter_text_follows_the_head(server):
    assert answer(server, lambda http: http.c_text(b"hello")) == head(5) + b"hello"


def test_later_text_replaces_the_earlier(server):
    def handler(http):
        http.c_text(b"first and longer")
        http.c_text(bytearray(b"second"))
    assert answer(server, handler) == head(6) + b"second"


def test_text_ends_at_its_first_zero_byte(server):
    assert answer(server, lambda http: http.c_text(b"ab\x00cd")) == head(2) + b"ab"


def test_text_keeps_bytes_of_128_and_more(server):
    text = "z\u00fcrich \u20ac".encode() + b"\xff"
    assert answer(server, lambda http: http.c_text(text)) == head(len(text)) + text


def test_text_of_1023999_bytes_goes_out_whole(server):
    text = pattern(1023999)
    assert answer(server, lambda http: http.c_text(text)) == head(1023999) + text


def test_text_of_1024000_bytes_is_refused_and_the_earlier_kept(server, output):
    def handler(http):
        http.c_text(b"earlier")
        http.c_text(pattern(1024000))
    assert answer(server, handler) == head(7) + b"earlier"
    assert "size of data must: 1024000" in output.wait_for("size of data must: 1024000")


# --- the head ---------------------------------------------------------------------

def test_header_and_cookie_lines_keep_call_order_around_the_server_line(server):
    def handler(http):
        http.c_set_cookie(b"theme", b"dark")
        http.c_set_header(b"X-A", b"1")
        http.c_set_cookie(key=b"lang", value=b"en; Path=/")
        http.c_set_header(b"X-B", value=b"2")
        http.c_set_header(b"X-A", b"3")
        http.c_content_type(b"text/plain; charset=utf-8")
        http.c_text(b"body")
    assert answer(server, handler) == (
        b"HTTP/1.1 200 OK\r\nX-A: 1\r\nX-B: 2\r\nX-A: 3\r\nserver: Tovrel\r\nConnection: close\r\n"
        b"Set-Cookie: theme=dark\r\nSet-Cookie: lang=en; Path=/\r\n"
        b"Content-Type: text/plain; charset=utf-8\r\nContent-Length: 4\r\n\r\nbody")


def test_handler_own_lines_are_written_besides_equal_names(server):
    def handler(http):
        http.c_set_header(b"Content-Length", b"99")
        http.c_set_header(b"server", b"other")
    assert answer(server, handler) == head(
        0, extra=b"Content-Length: 99\r\nserver: other\r\n")


def test_redirect_is_302_found_with_location_ahead_of_the_server_line(server):
    def handler(http):
        http.c_set_header(b"X-Before", b"1")
        http.c_redirect(b"/login?next=%2F")
    assert answer(server, handler) == head(
        0, status=b"302 Found", extra=b"X-Before: 1\r\nLocation: /login?next=%2F\r\n")


def test_status_set_after_a_redirect_wins(server):
    def handler(http):
        http.c_redirect(b"/moved")
        http.c_status(301)
        http.c_text(b"see /moved")
    assert answer(server, handler) == head(
        10, status=b"301 Found", extra=b"Location: /moved\r\n") + b"see /moved"


@pytest.mark.parametrize("status, text, line", [
    (404, b"Not Found", b"HTTP/1.1 404 Not Found\r\n"),
    (200, b"", b"HTTP/1.1 200 \r\n"),
    (0, None, b"HTTP/1.1 0 OK\r\n"),
    (999, None, b"HTTP/1.1 999 OK\r\n"),
    (65535, b"Max", b"HTTP/1.1 65535 Max\r\n"),
    (7, b"123456789", b"HTTP/1.1 7 123456789\r\n"),
], ids=["not_found", "empty_text_leaves_the_space", "zero", "nine_nine_nine", "largest",
        "text_of_nine_bytes"])
def test_status_line(server, status, text, line):
    def handler(http):
        http.c_status(status)
        if text is not None:
            http.c_status_text(text)
    response = answer(server, handler)
    assert response.startswith(line)
    assert response[len(line):] == head(0)[len(b"HTTP/1.1 200 OK\r\n"):]


@pytest.mark.parametrize("protocol", [b"HTTP/1.0", b"HTTP/2.0", b"XYZ"],
                         ids=["http_1_0", "http_2_0", "any_word"])
def test_status_line_is_always_http_1_1(server, protocol):
    request = b"GET /r " + protocol + b"\r\n\r\n"
    assert answer(server, lambda http: http.c_text(b"v"), request=request) == head(1) + b"v"


LONG_HEADERS = [(b"X-H%d" % i, b"h" * 90) for i in range(10)]   # 10 lines of 99 bytes
LONG_COOKIES = [(b"c%d" % i, b"v" * 80) for i in range(10)]     # 10 lines of 96 bytes


def with_long_head(body):
    """A handler that sets LONG_HEADERS and LONG_COOKIES, then body(http)."""
    def handler(http):
        for k, v in LONG_HEADERS:
            http.c_set_header(k, v)
        for k, v in LONG_COOKIES:
            http.c_set_cookie(k, v)
        body(http)
    return handler


def long_head(length):
    return head(length, extra=header_lines(LONG_HEADERS), cookies=cookie_lines(LONG_COOKIES))


def test_long_head_and_text_go_out_whole(server):
    text = pattern(300000)
    assert answer(server, with_long_head(lambda http: http.c_text(text))) == long_head(len(text)) + text


# --- the file response -------------------------------------------------------------

def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return str(path).encode()


def test_three_byte_file_is_the_body(server, tmp_path):
    name = write(tmp_path / "abc", b"a\nb")
    assert answer(server, lambda http: http.c_data(name)) == head(3) + b"a\nb"
    assert os.path.exists(name)


def test_relative_path_is_taken_from_the_working_directory(server):
    write("tmp/relative.txt", b"rel\n")
    try:
        assert answer(server, lambda http: http.c_data(b"tmp/relative.txt")) == head(4) + b"rel\n"
    finally:
        os.remove("tmp/relative.txt")


def test_large_binary_file_goes_out_exactly(server, tmp_path):
    data = os.urandom(700000)
    name = write(tmp_path / "big.bin", data)

    def handler(http):
        http.c_content_type(b"application/octet-stream")
        http.c_set_header(b"Content-Disposition", b'attachment; filename="big.bin"')
        http.c_data(name)
    assert answer(server, handler) == head(
        len(data), content_type=b"application/octet-stream",
        extra=b'Content-Disposition: attachment; filename="big.bin"\r\n') + data


def test_file_wins_over_text(server, tmp_path):
    name = write(tmp_path / "f", b"file body")

    def handler(http):
        http.c_text(b"text body")
        http.c_data(name)
        http.c_text(b"later text")
    assert answer(server, handler) == head(9) + b"file body"


def test_empty_file_leaves_the_text_body_and_is_not_removed(server, tmp_path):
    name = write(tmp_path / "empty", b"")

    def handler(http):
        http.c_text(b"text stays")
        http.c_data_r(name)
    assert answer(server, handler) == head(10) + b"text stays"
    assert os.path.exists(name)


def test_missing_file_changes_nothing(server, tmp_path, output):
    missing = str(tmp_path / "missing").encode()

    def handler(http):
        http.c_text(b"text")
        http.c_data(missing)
        http.c_data_r(missing)
    assert answer(server, handler) == head(4) + b"text"
    assert "Exception" not in output.read("err")


def test_data_r_removes_the_file_after_sending_and_data_keeps_it(server, tmp_path):
    kept = write(tmp_path / "kept", b"kept\n")
    removed = write(tmp_path / "removed", b"removed\n")
    assert answer(server, lambda http: http.c_data(kept), target=b"/keep") == head(5) + b"kept\n"
    assert answer(server, lambda http: http.c_data_r(removed), target=b"/rm") == head(8) + b"removed\n"
    assert os.path.exists(kept)
    assert not os.path.exists(removed)


def test_removal_flag_carries_over_to_the_next_chosen_file(server, tmp_path):
    first = write(tmp_path / "first", b"first")
    second = write(tmp_path / "second", b"second!")

    def handler(http):
        http.c_data_r(first)
        http.c_data(second)
    assert answer(server, handler) == head(7) + b"second!"
    assert os.path.exists(first)
    assert not os.path.exists(second)


def test_missing_file_for_data_r_does_not_set_the_removal_flag(server, tmp_path):
    name = write(tmp_path / "stays", b"stays")

    def handler(http):
        http.c_data_r(str(tmp_path / "nothing").encode())
        http.c_data(name)
    assert answer(server, handler) == head(5) + b"stays"
    assert os.path.exists(name)


def test_file_deleted_before_the_send_gives_the_head_alone(server, tmp_path):
    name = write(tmp_path / "gone", b"0123456789")

    def handler(http):
        http.c_data_r(name)
        os.remove(name)
    assert answer(server, handler) == head(10)
    assert_next_client_served(server)


def test_file_that_shrank_sends_what_is_there(server, tmp_path):
    name = write(tmp_path / "shrinks", b"0123456789")

    def handler(http):
        http.c_data(name)
        write(name, b"0123")
    assert answer(server, handler) == head(10) + b"0123"
    assert_next_client_served(server)


def test_file_that_grew_sends_the_announced_length(server, tmp_path):
    name = write(tmp_path / "grows", b"abc")

    def handler(http):
        http.c_data(name)
        with open(name, "ab") as f:
            f.write(b"defgh")
    assert answer(server, handler) == head(3) + b"abc"


def test_long_head_of_a_file_response_goes_out_whole(server, tmp_path):
    name = write(tmp_path / "small", b"x\ny\n")
    response = answer(server, with_long_head(lambda http: http.c_data(name)))
    assert len(response) - 4 > 1023  # a head well past a kilobyte
    assert response == long_head(4) + b"x\ny\n"


# --- an application that raises -------------------------------------------------

@pytest.mark.parametrize("error", [
    RuntimeError("boom from route"),
    SystemExit("boom from route"),
    KeyboardInterrupt("boom from route"),
], ids=["runtime_error", "system_exit", "keyboard_interrupt"])
def test_route_raising_sends_nothing_and_reports_twice(server, tmp_path, output, error):
    name = write(tmp_path / "chosen", b"chosen")

    def handler(http):
        http.c_text(b"never sent")
        http.c_data_r(name)
        raise error

    assert answer(server, handler) == b""
    err = output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert "zelweb.client" in err.split("Exception ignored in")[0]  # the traceback's entry
    assert err.count("boom from route") >= 2
    assert type(error).__name__ in err
    assert os.path.exists(name)  # nothing after route ran, not even the removal
    assert_next_client_served(server)


def test_route_raising_after_a_redirect_sends_nothing(server, output):
    def handler(http):
        http.c_redirect(b"/elsewhere")
        raise ValueError("late failure")
    assert answer(server, handler) == b""
    output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert_next_client_served(server)


# --- real clients ----------------------------------------------------------------

def register_client_routes(server):
    def page(http):
        http.c_set_cookie(b"seen", b"yes")
        http.c_set_header(b"X-Echo-Agent", http.c_user_agent())
        http.c_text(b"name=" + http.c_get(b"name") + b" cookie=" + http.c_get_cookie(b"a"))

    server.handle(b"/page", page)
    server.handle(b"/go", lambda http: http.c_redirect(b"/page?name=redirected"))


def test_curl_reads_page_and_follows_redirect(server):
    register_client_routes(server)
    run = subprocess.run(
        ["curl", "-sS", "-i", "--max-time", "10", "-A", "curl-test/1", "-b", "a=1; b=2",
         server.url("/page?name=Jo+Ann%21")], capture_output=True, timeout=20)
    assert run.returncode == 0, run.stderr
    assert run.stdout == head(21, extra=b"X-Echo-Agent: curl-test/1\r\n",
                              cookies=b"Set-Cookie: seen=yes\r\n") + b"name=Jo Ann! cookie=1"

    followed = subprocess.run(
        ["curl", "-sS", "-L", "--max-time", "10", "-w", "%{http_code} %{num_redirects}",
         server.url("/go")], capture_output=True, timeout=20)
    assert followed.returncode == 0, followed.stderr
    assert followed.stdout == b"name=redirected cookie=200 1"


def test_http_client_reads_status_headers_and_body(server):
    register_client_routes(server)
    conn = http.client.HTTPConnection(HOST, server.port, timeout=10)
    try:
        conn.request("GET", "/page?name=%E2%82%AC", headers={"Cookie": "b=2; a=x%20y"})
        r = conn.getresponse()
        assert (r.status, r.reason) == (200, "OK")
        assert r.getheader("server") == "Tovrel"
        assert r.getheader("Set-Cookie") == "seen=yes"
        assert r.getheader("X-Echo-Agent") == ""
        assert r.read() == "name=\u20ac cookie=x%20y".encode()
    finally:
        conn.close()
    conn = http.client.HTTPConnection(HOST, server.port, timeout=10)
    try:
        conn.request("GET", "/go")
        r = conn.getresponse()
        assert (r.status, r.reason, r.getheader("Location")) == (302, "Found", "/page?name=redirected")
        assert r.read() == b""
    finally:
        conn.close()


def test_requests_reads_page_cookie_and_redirect(server):
    register_client_routes(server)
    r = requests.get(server.url("/page"), params={"name": "a b+c"}, cookies={"a": "7"}, timeout=10)
    assert (r.status_code, r.reason) == (200, "OK")
    assert r.text == "name=a b+c cookie=7"
    assert r.cookies.get("seen") == "yes"
    assert r.headers["server"] == "Tovrel"
    assert r.headers["X-Echo-Agent"].startswith("python-requests/")
    r = requests.get(server.url("/go"), allow_redirects=False, timeout=10)
    assert (r.status_code, r.reason) == (302, "Found")
    assert r.headers["Location"] == "/page?name=redirected"
    assert r.content == b""


def test_a_requests_session_never_reuses_the_closed_connection(server):
    # The server closes after every response and says so; a client that pooled
    # the connection would otherwise send its next request into the close and
    # be reset (it happened for about one request in four here).
    register_client_routes(server)
    with requests.Session() as session:
        for _ in range(100):
            r = session.get(server.url("/go"), timeout=10)  # follows the redirect
            assert r.status_code == 200 and r.text.startswith("name=redirected")
            assert r.headers["Connection"] == "close"


# --- failures while the response goes out ----------------------------------------

def open_descriptors_to(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == str(path):
                found.append(fd)
        except OSError:
            pass
    return found


def reset_while_routing(server, handler):
    """Sends a request and resets the connection while route waits for it."""
    in_route, reset_done = threading.Event(), threading.Event()

    def route(http):
        in_route.set()
        reset_done.wait(5)
        handler(http)

    server.handle(b"/gone", route)
    s = socket.create_connection((HOST, server.port), timeout=5)
    s.sendall(b"GET /gone HTTP/1.1\r\n\r\n")
    assert in_route.wait(5)
    end = ServerEnd(s)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    assert wait_until(end.dropped)  # the reset has reached the server's socket
    reset_done.set()


def test_text_to_a_peer_that_went_away_is_reported(server, output):
    reset_while_routing(server, lambda http: http.c_text(pattern(1000000)))
    err = output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert "Exception ignored in: 'zelweb.client'" in err
    assert "BrokenPipeError" in err or "ConnectionResetError" in err
    assert_next_client_served(server)


def test_file_to_a_peer_that_went_away_is_reported_and_closed(server, tmp_path, output):
    name = write(tmp_path / "for_nobody", pattern(3000000))
    reset_while_routing(server, lambda http: http.c_data_r(name))
    err = output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert "Exception ignored in: 'zelweb.client'" in err
    assert open_descriptors_to(tmp_path / "for_nobody") == []
    assert gone(name)  # removed however its response ended
    assert_next_client_served(server)


def test_file_that_cannot_be_opened_gives_the_head_and_a_report(server, tmp_path, output):
    directory = tmp_path / "a_directory"
    directory.mkdir()
    response = answer(server, lambda http: http.c_data(str(directory).encode()))
    size = os.path.getsize(directory)
    assert response == head(size)
    err = output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert "IsADirectoryError" in err
    assert_next_client_served(server)


class OsWithoutRemove:
    """The module's `os`, except that removing fails."""
    path = os.path

    @staticmethod
    def remove(path):
        raise PermissionError(13, "removal refused by the test", path)


def test_removal_that_fails_is_reported_after_the_whole_response(server, tmp_path, output,
                                                                 monkeypatch):
    name = write(tmp_path / "stuck", b"stuck\n")
    monkeypatch.setattr(zelweb, "os", OsWithoutRemove)
    response = answer(server, lambda http: http.c_data_r(name))
    err = output.wait_for("removal refused by the test", "Exception ignored in: 'zelweb.client'",
                          stream="err")
    monkeypatch.undo()
    assert response == head(6) + b"stuck\n"
    assert "removal refused by the test" in err
    assert os.path.exists(name)
    assert_next_client_served(server)


# --- HEAD, statuses without a body, removal on every path --------------------------

@pytest.mark.parametrize("kind", ["text", "file"])
def test_head_gets_the_get_head_and_no_body(server, tmp_path, kind):
    body = pattern(300000)
    name = write(tmp_path / "f", body)

    def handler(http):
        http.c_set_header(b"X-A", b"1")
        http.c_set_cookie(b"c", b"v")
        http.c_content_type(b"application/x-thing")
        if kind == "text":
            http.c_text(body[:5000])
        else:
            http.c_data(name)
    server.handle(b"/hg", handler)
    sent = body[:5000] if kind == "text" else body
    got = server.get(b"/hg")
    assert got == head(len(sent), extra=b"X-A: 1\r\n", cookies=b"Set-Cookie: c=v\r\n",
                       content_type=b"application/x-thing") + sent
    assert server.raw(b"HEAD /hg HTTP/1.1\r\nHost: x\r\n\r\n") == got[:-len(sent)]


def test_head_with_data_r_still_removes_the_file(server, tmp_path):
    name = write(tmp_path / "r", b"abc\n")
    request = b"HEAD /r HTTP/1.1\r\n\r\n"
    assert answer(server, lambda http: http.c_data_r(name), request=request) == head(4)
    assert gone(name)


@pytest.mark.parametrize("status", [100, 101, 199, 204, 304, 200])
@pytest.mark.parametrize("kind", ["text", "file", "removed-file", "empty"])
def test_statuses_without_a_body_have_no_length_line(server, tmp_path, status, kind):
    name = write(tmp_path / "f", b"file\n")

    def handler(http):
        http.c_status(status)
        if kind == "text":
            http.c_text(b"some text")
        elif kind == "file":
            http.c_data(name)
        elif kind == "removed-file":
            http.c_data_r(name)
    full = {"text": b"some text", "empty": b""}.get(kind, b"file\n")
    expected = head(len(full), status=b"%d OK" % status) + full
    if status != 200:
        expected = head(0, status=b"%d OK" % status).replace(b"Content-Length: 0\r\n", b"")
    assert answer(server, handler) == expected
    assert gone(name) if kind == "removed-file" else os.path.exists(name)


def test_data_r_file_is_removed_when_the_peer_resets_mid_send(server, tmp_path):
    name = write(tmp_path / "big", pattern(40 << 20))  # far more than socket buffers hold
    server.handle(b"/big", lambda http: http.c_data_r(name))
    s = socket.create_connection((HOST, server.port), timeout=10)
    s.sendall(b"GET /big HTTP/1.1\r\n\r\n")
    assert s.recv(1000).startswith(b"HTTP/1.1 200 OK\r\n")
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    assert gone(name, timeout=10)
    assert_next_client_served(server)


def test_data_r_file_is_removed_when_route_raises(server, tmp_path, output):
    name = write(tmp_path / "raised", b"x")

    def handler(http):
        http.c_data_r(name)
        raise RuntimeError("raised after c_data_r")
    assert answer(server, handler) == b""
    output.wait_for("raised after c_data_r", stream="err")
    assert gone(name)


# --- header names must be tokens --------------------------------------------------

REFUSED = "zelweb: header name refused: it is not a token\n"


@pytest.mark.parametrize("name, kept", [
    (b"", False), (b"X Y", False), (b"X:Y", False), (b"X\x01", False), (b"X\x7f", False),
    (b"X\tY", False), (b"X/Y", False), (b'X"Y', False), (b"X(Y)", False), (b"X\xc3\xa9", False),
    (b"X-Ok_1.~!#$%&'*+^`|", True), (b"x9", True),
], ids=["empty", "space", "colon", "control", "delete", "tab", "slash", "quote", "parentheses",
        "non-ascii", "every-token-sign", "letter-digit"])
def test_header_name_must_be_a_token(server, output, name, kept):
    def handler(http):
        http.c_set_header(name, b"v")
        http.c_set_header(b"X-Last", b"\r\n")  # refused for its line break: marks the end
    assert answer(server, handler) == head(0, extra=name + b": v\r\n" if kept else b"")
    out = output.wait_for("zelweb: header line refused")
    assert out.count(REFUSED) == (0 if kept else 1)


def test_empty_cookie_name_is_still_written(server):
    assert answer(server, lambda http: http.c_set_cookie(b"", b"v")) == head(
        0, cookies=b"Set-Cookie: =v\r\n")
