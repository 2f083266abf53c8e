"""Reading the request head off the wire: where it ends, the request line, the
recognised headers and the split of the target, over real loopback sockets.

Every refusal closes the connection without a byte; each such test then checks
that the next client is served normally.
"""
import socket
import struct
import time

import pytest

from helpers import HOST, Baseline, ServerEnd, assert_next_client_served, wait_until

def record_request(server, path):
    """Registers a handler that keeps what the record says about the request."""
    seen = []

    def handler(http):
        seen.append({
            "url": http.c_url(),
            "cookie_a": http.c_get_cookie(b"a"),
            "auth_user": http.c_get_auth(b"user"),
            "agent": http.c_user_agent(),
            "x": http.c_get(b"x"),
        })
        http.c_text(b"seen")

    server.handle(path, handler)
    return seen


# --- where the head ends -------------------------------------------------------------

def test_crlf_crlf_head_is_parsed_and_served(server):
    seen = record_request(server, b"/h")
    response = server.raw(b"GET /h HTTP/1.1\r\n\r\n")
    assert response.endswith(b"Content-Length: 4\r\n\r\nseen")
    assert seen == [{"url": b"/h", "cookie_a": b"", "auth_user": b"", "agent": b"", "x": b""}]


HEAD_WITH_FIELDS = (b"GET /pieces?x=%41b HTTP/1.1\r\nHost: x\r\nCookie: a=1; b=2\r\n"
                    b"Auth: user=bob\r\nUser-Agent: probe/1.0\r\n\r\n")


@pytest.mark.parametrize("size", range(1, 8), ids=lambda n: f"pieces_of_{n}")
def test_head_in_small_pieces_reads_as_the_whole(server, size):
    seen = record_request(server, b"/pieces")
    whole = server.raw(HEAD_WITH_FIELDS)
    cut = [size] * (len(HEAD_WITH_FIELDS) // size)
    assert server.raw(HEAD_WITH_FIELDS, pieces=cut, delay=0.002) == whole
    expected = {"url": b"/pieces", "cookie_a": b"1", "auth_user": b"bob",
                "agent": b"probe/1.0", "x": b"Ab"}
    assert seen == [expected, expected]


def test_body_bytes_arriving_with_the_head_start_the_body(server):
    seen = []
    server.handle(b"/json", lambda http: seen.append(http.c_json()))
    body = b'{"k": [1, 2, 3]}'
    head = (b"POST /json HTTP/1.1\r\nContent-Type: application/json\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body))
    # Head and body in one piece, then cut so that pieces straddle the head's end.
    server.raw(head + body)
    server.raw(head + body, pieces=[len(head) - 2, 4, 3], delay=0.01)
    assert seen == [body, body]


def padded_head(total, end=b"\r\n\r\n"):
    start = b"GET /big HTTP/1.1\r\nX-Pad: "
    return start + b"p" * (total - len(start) - len(end)) + end


def test_head_of_exactly_8192_bytes_is_accepted(server):
    server.handle(b"/big", lambda http: http.c_text(b"big"))
    head = padded_head(8192)
    assert len(head) == 8192
    assert server.raw(head).endswith(b"\r\n\r\nbig")


@pytest.mark.parametrize("head", [
    padded_head(8193),
    padded_head(8192, end=b"\r\n\r"),
    b"G" * 8192,
], ids=["end_run_completed_at_byte_8193", "run_of_three_at_the_limit", "no_line_break"])
def test_head_reaching_8192_bytes_without_its_end_is_closed(server, head):
    server.handle(b"/big", lambda http: http.c_text(b"big"))
    # No shutdown: the server must close on its own, not on our end of file.
    assert server.raw(head, shutdown=False) == b""
    assert_next_client_served(server)


@pytest.mark.parametrize("terminator", [b"\n\n\n\n", b"\r\r\r\r"], ids=["four_lf", "four_cr"])
def test_head_without_crlf_is_one_line_and_closed(server, output, terminator):
    seen = record_request(server, b"/")
    # The protocol piece then carries the four break bytes: 12 bytes, too long.
    assert server.raw(b"GET / HTTP/1.1" + terminator) == b""
    assert "size of data must: 10" in output.wait_for("size of data must: 10")
    assert seen == []
    assert_next_client_served(server)


def test_mixed_break_bytes_end_the_head(server):
    seen = record_request(server, b"/mix")
    # CR LF LF CR: four break bytes in a row, in any mix.
    assert server.raw(b"GET /mix HTTP/1.1\r\nCookie: a=7\r\n\n\r").endswith(b"seen")
    assert seen[0]["cookie_a"] == b"7"


@pytest.mark.slow
def test_two_lf_do_not_end_the_head_and_the_limit_closes(server):
    seen = record_request(server, b"/")
    with socket.create_connection((HOST, server.port), timeout=2) as s:
        s.sendall(b"GET / HTTP/1.1\n\n")
        # Well inside the 5 s limit the connection is still waiting for the head.
        with pytest.raises(socket.timeout):
            s.recv(1)
        s.settimeout(10)
        assert s.recv(1) == b""
    assert seen == []
    assert_next_client_served(server)


@pytest.mark.slow
def test_silent_peer_is_closed_and_does_not_hold_up_others(server):
    with socket.create_connection((HOST, server.port), timeout=10) as idle:
        assert_next_client_served(server)  # while the silent peer waits
        started = time.monotonic()
        try:
            data = idle.recv(1)
        except ConnectionResetError:
            data = b""
        assert data == b""
        # Closed by the head limit, not by our own timeout.
        assert time.monotonic() - started < 9
    assert_next_client_served(server)


# --- peers that go away while the head is read ------------------------------------

@pytest.mark.parametrize("partial", [b"", b"GET / HTTP/1.1\r\n", b"GET / HTTP/1.1\r\nCookie: a=1\r\n\r"],
                         ids=["nothing", "request_line_only", "three_break_bytes"])
def test_peer_closing_before_the_head_ends_gets_nothing(server, partial):
    seen = record_request(server, b"/")
    assert server.raw(partial) == b""
    assert seen == []
    assert_next_client_served(server)


def test_peer_resetting_during_the_head_leaves_the_server_serving(server):
    seen = record_request(server, b"/")
    baseline = Baseline()
    s = socket.create_connection((HOST, server.port), timeout=5)
    s.sendall(b"GET / HTTP/1.1\r\nCookie: a=1\r\n")
    assert baseline.started() and wait_until(ServerEnd(s).has_read_all)  # waits for more
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()  # RST
    assert baseline.settled(), baseline  # the connection's thread is done with it
    assert seen == []
    assert_next_client_served(server)


# --- the request line -----------------------------------------------------------

@pytest.mark.parametrize("request_line", [
    b"GET /",
    b"GET",
    b"",
    b"GET  / HTTP/1.1",
    b"GET /  HTTP/1.1",
    b" / HTTP/1.1",
    b"GET ?x=1 HTTP/1.1",
    b"GET ? HTTP/1.1",
    b"GET /a\x00b HTTP/1.1",
], ids=["two_pieces", "one_piece", "empty_line", "empty_target", "empty_protocol",
        "empty_method", "target_starting_with_question_mark", "target_only_question_mark",
        "zero_byte_ends_the_head_text"])
def test_incomplete_request_line_closes_quietly(server, output, request_line):
    seen = record_request(server, b"/")
    seen_a = record_request(server, b"/a")
    assert server.raw(request_line + b"\r\n\r\n") == b""
    assert seen == [] and seen_a == []
    assert_next_client_served(server)
    assert "size of data must" not in output.read()


@pytest.mark.parametrize("request_line, capacity", [
    (b"M" * 100 + b" / HTTP/1.1", 100),
    (b"GET /" + b"t" * 1999 + b" HTTP/1.1", 1024),
    (b"GET /" + b"t" * 1023 + b" HTTP/1.1", 1024),
    (b"GET / HTTP/1.1.00", 10),
], ids=["method_of_100", "target_of_2000", "target_of_1024", "protocol_of_10"])
def test_request_line_piece_too_long_closes_with_message(server, output, request_line, capacity):
    assert server.raw(request_line + b"\r\n\r\n") == b""
    message = f"size of data must: {capacity}"
    assert message in output.wait_for(message)
    assert_next_client_served(server)


def test_request_line_pieces_at_their_limits_are_accepted(server):
    seen = []
    target = b"/" + b"t" * 1022
    server.handle(target, lambda http: seen.append(http.c_url()))
    response = server.raw(b"M" * 99 + b" " + target + b" HTTP/1.1x\r\n\r\n")
    assert response.startswith(b"HTTP/1.1 200 OK\r\n")
    assert seen == [target]


def test_any_method_and_protocol_text_is_accepted(server):
    seen = record_request(server, b"/brew")
    response = server.raw(b"BREW /brew COFFEE/9 and more words\r\n\r\n")
    assert response.startswith(b"HTTP/1.1 200 OK\r\n") and response.endswith(b"seen")
    assert seen[0]["url"] == b"/brew"


def test_bytes_of_128_and_more_in_the_head_are_kept(server):
    path = "/caf\u00e9".encode()
    seen = record_request(server, path)
    response = server.raw(b"GET " + path + b"?x=\xe2\x82\xac HTTP/1.1\r\n"
                          b"Cookie: a=\xc3\xbc\xff\r\nUser-Agent: agent \xf0\x9f\x90\x8d\r\n\r\n")
    assert response.endswith(b"seen")
    assert seen == [{"url": path, "cookie_a": b"\xc3\xbc\xff", "auth_user": b"",
                     "agent": b"agent \xf0\x9f\x90\x8d", "x": "\u20ac".encode()}]


# --- the recognised headers -----------------------------------------------------

def ask_with_headers(server, headers):
    seen = record_request(server, b"/hdr")
    response = server.raw(b"GET /hdr HTTP/1.1\r\n" + headers + b"\r\n")
    assert response.endswith(b"seen"), response
    return seen[0]


@pytest.mark.parametrize("headers, field, value", [
    (b"cookie: a=1\r\n", "cookie_a", b"1"),
    (b"COOKIE: a=1\r\n", "cookie_a", b"1"),
    (b"Cookie:a=1\r\n", "cookie_a", b"1"),
    (b"cOoKiE:\t a=1 \t\r\n", "cookie_a", b"1"),
    (b"auth: user=bob\r\n", "auth_user", b"bob"),
    (b"AUTH:user=bob\r\n", "auth_user", b"bob"),
    (b"user-agent: lower/1\r\n", "agent", b"lower/1"),
    (b"USER-AGENT:upper/1   \r\n", "agent", b"upper/1"),
    (b"User-Agent: a: b: c\r\n", "agent", b"a: b: c"),
    (b"Cookie: a=x: y\r\n", "cookie_a", b"x: y"),
    (b"Cookie: a=1; b: 2\r\n", "cookie_a", b"1"),
    (b"Cookie : a=1\r\n", "cookie_a", b""),
    (b"X-Cookie: a=1\r\n", "cookie_a", b""),
    (b"Cookies: a=1\r\n", "cookie_a", b""),
    (b"Cookie a=1\r\n", "cookie_a", b""),
], ids=["lower_case", "upper_case", "no_space_after_colon", "blanks_trimmed",
        "auth_lower", "auth_upper_no_space", "agent_lower", "agent_trailing_blanks_trimmed",
        "value_keeps_further_colons", "cookie_value_keeps_colon_space",
        "cookie_pair_before_colon_space", "space_before_colon_is_another_name",
        "prefixed_name_ignored", "longer_name_ignored", "no_colon_is_all_name"])
def test_header_names_and_values(server, headers, field, value):
    assert ask_with_headers(server, headers)[field] == value


def test_header_value_keeps_a_further_colon_space_whole(server):
    seen = []
    server.handle(b"/ck", lambda http: seen.append((http.c_get_cookie(b"a"), http.c_get_cookie(b"b: 2"))))
    server.raw(b"GET /ck HTTP/1.1\r\nCookie: a=1; b: 2\r\n\r\n")
    # "b: 2" is the whole second pair (it has no "="), so it names no value.
    assert seen == [(b"1", b"")]


@pytest.mark.parametrize("headers, value", [
    (b"Cookie: a=1\r\nCookie: a=2\r\n", b"2"),
    (b"Cookie: a=1\r\nCookie\r\n", b"1"),
    (b"Cookie: a=1\r\nCookie: \r\n", b""),
    (b"Cookie: a=1\r\nCookie:\r\n", b""),
    (b"Cookie: a=1\r\nCookie: a=" + b"v" * 1100 + b"\r\n", b"1"),
    (b"Cookie: a=1\r\n\r\nCookie: a=3\r\n", b"1"),
], ids=["last_one_wins", "bare_name_stores_nothing", "empty_value_stores_empty",
        "empty_value_no_space", "too_long_keeps_the_earlier", "after_the_head_ignored"])
def test_repeated_cookie_header(server, headers, value):
    assert ask_with_headers(server, headers)["cookie_a"] == value


def test_lone_lf_does_not_split_header_lines(server):
    seen = ask_with_headers(server, b"Cookie: a=1\nAuth: user=bob\r\n")
    # The cookie text is "a=1\nAuth: user=bob"; a value ends at a further "=".
    assert seen["cookie_a"] == b"1\nAuth: user"
    assert seen["auth_user"] == b""


@pytest.mark.parametrize("header, capacity, field", [
    (b"Cookie: a=" + b"c" * 1022, 1024, "cookie_a"),
    (b"Auth: user=" + b"u" * 1019, 1024, "auth_user"),
    (b"User-Agent: " + b"g" * 150, 150, "agent"),
], ids=["cookie_of_1024", "auth_of_1024", "user_agent_of_150"])
def test_header_value_too_long_is_dropped_and_the_request_goes_on(server, output, header,
                                                                  capacity, field):
    seen = ask_with_headers(server, header + b"\r\nCookie2: x\r\n")
    assert seen[field] == b""
    message = f"size of data must: {capacity}"
    assert message in output.wait_for(message)


@pytest.mark.parametrize("header, field, value", [
    (b"Cookie: a=" + b"c" * 1021, "cookie_a", b"c" * 1021),
    (b"Auth: user=" + b"u" * 1018, "auth_user", b"u" * 1018),
    (b"User-Agent: " + b"g" * 149, "agent", b"g" * 149),
], ids=["cookie_of_1023", "auth_of_1023", "user_agent_of_149"])
def test_header_value_at_its_limit_is_stored(server, header, field, value):
    assert ask_with_headers(server, header + b"\r\n")[field] == value


def post_json(server, method=b"POST", content_type=b"application/json", length=b"", body=b""):
    seen = []
    server.handle(b"/body", lambda http: seen.append(http.c_json()))
    head = method + b" /body HTTP/1.1\r\nContent-Type: " + content_type + b"\r\n"
    if length is not None:
        head += b"Content-Length: " + length + b"\r\n"
    response = server.raw(head + b"\r\n" + body)
    assert response.startswith(b"HTTP/1.1 200 OK\r\n"), response
    return seen[0]


@pytest.mark.parametrize("length, body, expected", [
    (b"12", b'{"a": "bcd"}', b'{"a": "bcd"}'),
    (b"12abc", b'{"a": "bcd"}', b'{"a": "bcd"}'),
    (b"  5", b"12345678", b"12345"),
    (b"+5", b"12345678", b"12345"),
    (b"5 6", b"12345678", b"12345"),
    (b"abc", b"12345678", b""),
    (b"", b"12345678", b""),
    (None, b"12345678", b""),
], ids=["digits", "digits_then_letters", "leading_blanks", "plus_sign", "stops_at_blank",
        "no_digits", "empty", "absent"])
def test_content_length_is_read_like_strtoul(server, length, body, expected):
    assert post_json(server, length=length, body=body) == expected


def test_content_length_name_is_case_insensitive(server):
    seen = []
    server.handle(b"/body", lambda http: seen.append(http.c_json()))
    server.raw(b"POST /body HTTP/1.1\r\ncontent-type:application/json\r\n"
               b"CONTENT-LENGTH:3\r\n\r\nabcdef")
    assert seen == [b"abc"]


@pytest.mark.parametrize("content_type", [
    b"application/json; charset=utf-8",
    b"  application/json ;charset=utf-8",
    b"application/json\t",
], ids=["with_parameter", "blanks_around", "trailing_tab"])
def test_request_content_type_is_its_media_type(server, content_type):
    assert post_json(server, content_type=content_type, length=b"2", body=b"{}") == b"{}"


def test_request_content_type_of_40_bytes_is_dropped(server, output):
    long_type = b"application/json" + b"x" * 24
    assert len(long_type) == 40
    assert post_json(server, content_type=long_type, length=b"2", body=b"{}") == b""
    assert "size of data must: 40" in output.wait_for("size of data must: 40")


@pytest.mark.parametrize("method", [b"post", b"Post", b"PUT"], ids=["lower", "capitalised", "put"])
def test_only_post_reads_a_body(server, method):
    assert post_json(server, method=method, length=b"2", body=b"{}") == b""


# --- the target split ------------------------------------------------------------

@pytest.mark.parametrize("target, path, lookups", [
    (b"/a/b?x=1&y=2", b"/a/b", {b"x": b"1", b"y": b"2", b"z": b""}),
    (b"/p?x=1?y=2", b"/p", {b"x": b"1", b"y": b""}),
    (b"/p?x=1??y=2", b"/p", {b"x": b"1", b"y": b""}),
    (b"/p?", b"/p", {b"x": b"", b"": b""}),
    (b"/p", b"/p", {b"x": b""}),
    (b"/p/?x=%2F", b"/p/", {b"x": b"/"}),
    (b"/p%3Fq?x=1", b"/p%3Fq", {b"x": b"1"}),
], ids=["path_and_query", "second_question_mark_drops_the_rest", "empty_between_marks",
        "empty_query", "no_query", "trailing_slash_kept", "encoded_mark_is_not_a_split"])
def test_target_splits_at_the_first_question_mark(server, target, path, lookups):
    seen = []
    server.handle(path, lambda http: seen.append(
        (http.c_url(), {k: http.c_get(k) for k in lookups})))
    assert server.raw(b"GET " + target + b" HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 200 OK")
    assert seen == [(path, lookups)]


def test_split_again_leaves_the_record_unchanged(server):
    seen = []

    def handler(http):
        before = (http.c_url(), http.c_get(b"x"), http.c_get(b"y"))
        assert http._init_get() is None
        seen.append((before, (http.c_url(), http.c_get(b"x"), http.c_get(b"y"))))

    server.handle(b"/twice", handler)
    server.raw(b"GET /twice?x=1&y=2?z HTTP/1.1\r\n\r\n")
    assert seen == [((b"/twice", b"1", b"2"), (b"/twice", b"1", b"2"))]


def test_longest_query_a_target_can_carry_is_stored_whole(server):
    # The target itself is bounded at 1,023 bytes, so "/?" leaves 1,021 for the query.
    value = b"v" * 1019
    seen = []
    server.handle(b"/", lambda http: seen.append(http.c_get(b"x")))
    target = b"/?x=" + value
    assert len(target) == 1023
    assert server.raw(b"GET " + target + b" HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 200 OK")
    assert seen == [value]


def test_query_past_the_target_limit_is_refused_with_message(server, output):
    seen = []
    server.handle(b"/", lambda http: seen.append(http.c_get(b"x")))
    target = b"/?x=" + b"v" * 1020
    assert len(target) == 1024
    assert server.raw(b"GET " + target + b" HTTP/1.1\r\n\r\n") == b""
    assert "size of data must: 1024" in output.wait_for("size of data must: 1024")
    assert seen == []
    assert_next_client_served(server)
