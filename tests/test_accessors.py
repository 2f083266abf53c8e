"""What an application reads from a request: the path, query parameters,
cookies, the "Auth" header and the user agent, from requests sent over real
loopback sockets."""
import pytest


def read_request(server, target, read, headers=b""):
    """Sends a GET for target and returns what read(http) gave inside route."""
    seen = []
    path = target.split(b"?")[0]
    server.handle(path, lambda http: seen.append(read(http)))
    response = server.raw(b"GET " + target + b" HTTP/1.1\r\n" + headers + b"\r\n")
    assert response.startswith(b"HTTP/1.1 200 OK\r\n"), response
    assert len(seen) == 1
    return seen[0]


# --- the path -------------------------------------------------------------------

@pytest.mark.parametrize("target, path", [
    (b"/", b"/"),
    (b"/a/b?x=1", b"/a/b"),
    (b"/a%20b/", b"/a%20b/"),
    (b"/p?", b"/p"),
    ("/\u00e9t\u00e9".encode(), "/\u00e9t\u00e9".encode()),
], ids=["root", "query_cut_off", "kept_encoded", "empty_query", "utf8_bytes"])
def test_url_is_the_raw_path(server, target, path):
    assert read_request(server, target, lambda http: (http.c_url(), http.c_url())) == (path, path)


@pytest.mark.parametrize("target, path, expected", [
    (b"/p?x=1", b"/p", 1),
    (b"/p", b"/p", 1),
    (b"/p/", b"/p", 0),
    (b"/p", b"/p/", 0),
    (b"/P", b"/p", 0),
    (b"/p?x=1", b"/p?x=1", 0),
    (b"/pp", b"/p", 0),
    (b"/p", b"/pp", 0),
    (b"/p", b"", 0),
    (b"/p", bytearray(b"/p"), 1),
    (b"/p", b"/p\x00tail", 1),
], ids=["query_not_part_of_path", "equal", "trailing_slash_in_target", "trailing_slash_in_arg",
        "case_matters", "arg_with_query", "longer_target", "longer_arg", "empty_arg",
        "bytearray_arg", "arg_ends_at_zero_byte"])
def test_path_comparison_is_exact(server, target, path, expected):
    assert read_request(server, target, lambda http: http.c_path(path)) == expected


# --- query parameters -----------------------------------------------------------

@pytest.mark.parametrize("query, key, value", [
    (b"x=1&y=2", b"x", b"1"),
    (b"x=1&y=2", b"y", b"2"),
    (b"x=1&y=2", b"z", b""),
    (b"x=a%20b", b"x", b"a b"),
    (b"x=a+b", b"x", b"a b"),
    (b"name=John+Smith", b"name", b"John Smith"),
    (b"x=%2B", b"x", b"+"),
    (b"x=a+%2B+b", b"x", b"a + b"),
    (b"x=%E2%82%AC", b"x", b"\xe2\x82\xac"),
    (b"x=%e2%82%ac", b"x", b"\xe2\x82\xac"),
    (b"x=%FF", b"x", b"\xef\xbf\xbd"),
    (b"x=%zz%", b"x", b"%zz%"),
    (b"x=1=2", b"x", b"1"),
    (b"x=1&x=2", b"x", b"1"),
    (b"x=", b"x", b""),
    (b"x&y=1", b"x", b""),
    (b"x&x=1", b"x", b""),
    (b"x&y=1", b"y", b"1"),
    (b"=5", b"", b"5"),
    (b"a%20b=1", b"a b", b""),
    (b"a%20b=1", b"a%20b", b"1"),
    (b"a+b=1", b"a b", b""),
    (b"X=1", b"x", b""),
    (b"xx=1&x=2", b"x", b"2"),
    (b"x=1&&y=2", b"y", b"2"),
    (b"x=\xc3\xa9", b"x", b"\xc3\xa9"),
    (b"\xc3\xa9=1", b"\xc3\xa9", b"1"),
], ids=["first", "second", "missing", "percent_space", "plus_is_space", "form_encoded_name",
        "encoded_plus", "plus_and_encoded_plus", "euro", "lower_case_hex", "invalid_utf8_escape",
        "bad_escape_kept", "value_ends_at_equals", "first_wins", "empty_value",
        "pair_without_equals", "first_match_without_equals", "after_pair_without_equals",
        "empty_key", "name_not_decoded", "raw_name_matches", "plus_in_name_not_decoded",
        "key_case_matters", "whole_name_compared", "empty_pair_skipped", "raw_utf8_value",
        "raw_utf8_name"])
def test_query_value_lookup(server, query, key, value):
    got = read_request(server, b"/q?" + query, lambda http: (http.c_get(key), http.c_get(key)))
    assert got == (value, value)


def test_query_lookup_takes_bytearray_and_stops_at_zero_byte(server):
    got = read_request(server, b"/q?x=1&y=2",
                       lambda http: (http.c_get(bytearray(b"y")), http.c_get(b"x\x00y")))
    assert got == (b"2", b"1")


def test_query_lookup_with_str_key_raises_type_error(server):
    def read(http):
        try:
            http.c_get("x")
        except TypeError:
            return "TypeError"
        return "no error"
    assert read_request(server, b"/q?x=1", read) == "TypeError"


def test_undecodable_query_value_is_reported_and_empty(server, output):
    got = read_request(server, b"/q?x=\xff\xfe&y=ok", lambda http: (http.c_get(b"x"), http.c_get(b"y")))
    assert got == (b"", b"ok")
    err = output.wait_for("Exception ignored in: 'zelweb.http_t.c_get'", stream="err")
    assert "UnicodeDecodeError" in err


def test_long_query_value_decodes_whole(server):
    value = b"%41" * 200 + b"+" * 100 + b"z" * 100
    got = read_request(server, b"/q?k=" + value, lambda http: http.c_get(b"k"))
    assert got == b"A" * 200 + b" " * 100 + b"z" * 100


# --- cookies and the Auth header ----------------------------------------------------

@pytest.mark.parametrize("cookie, key, value", [
    (b"a=1; b=2", b"b", b"2"),
    (b"a=1; b=2", b"a", b"1"),
    (b"a=1;b=2", b"b", b""),
    (b"a=1;b=2", b"a", b"1;b"),
    (b"s=x%20y", b"s", b"x%20y"),
    (b"s=x+y", b"s", b"x+y"),
    (b"a=1=2", b"a", b"1"),
    (b"a=1; a=2", b"a", b"1"),
    (b"flag; a=1", b"flag", b""),
    (b"flag; a=1", b"a", b"1"),
    (b"a=1;  b=2", b"b", b""),
    (b"a=1;  b=2", b" b", b"2"),
    (b"A=1", b"a", b""),
    (b"a=", b"a", b""),
    (b"t=\xc3\xbc\xe2\x82\xac; u=\xff", b"t", b"\xc3\xbc\xe2\x82\xac"),
    (b"t=\xc3\xbc\xe2\x82\xac; u=\xff", b"u", b"\xff"),
    (b"=anon", b"", b"anon"),
], ids=["second", "first", "semicolon_alone_separates_nothing", "value_runs_past_semicolon",
        "percent_not_decoded", "plus_not_decoded", "value_ends_at_equals", "first_wins",
        "flag_without_equals", "after_flag", "double_space_keeps_a_blank_in_name",
        "blank_in_name_matches", "key_case_matters", "empty_value", "utf8_value_kept",
        "invalid_utf8_kept_raw", "empty_name"])
def test_cookie_lookup_is_raw(server, cookie, key, value):
    got = read_request(server, b"/c", lambda http: http.c_get_cookie(key),
                       headers=b"Cookie: " + cookie + b"\r\n")
    assert got == value


@pytest.mark.parametrize("auth, key, value", [
    (b"user=bob; lang=en", b"lang", b"en"),
    (b"user=bob; lang=en", b"user", b"bob"),
    (b"user=bob; lang=en", b"pass", b""),
    (b"token=a%2Fb+c", b"token", b"a%2Fb+c"),
    (b"user=bob;lang=en", b"lang", b""),
    (b"Bearer abc=", b"Bearer abc", b""),
], ids=["second", "first", "missing", "raw", "semicolon_alone", "bearer_style_empty"])
def test_auth_lookup_is_raw(server, auth, key, value):
    got = read_request(server, b"/c", lambda http: http.c_get_auth(key),
                       headers=b"Auth: " + auth + b"\r\n")
    assert got == value


def test_cookie_and_auth_are_separate_fields(server):
    got = read_request(server, b"/c",
                       lambda http: (http.c_get_cookie(b"a"), http.c_get_auth(b"a"),
                                     http.c_get_cookie(b"b"), http.c_get_auth(b"b")),
                       headers=b"Auth: b=auth\r\nCookie: a=cookie\r\n")
    assert got == (b"cookie", b"", b"", b"auth")


def test_lookups_without_the_header_give_empty_bytes(server):
    got = read_request(server, b"/c?x=1",
                       lambda http: (http.c_get_cookie(b"x"), http.c_get_auth(b"x"),
                                     http.c_get_cookie(b""), http.c_user_agent()))
    assert got == (b"", b"", b"", b"")


# --- the user agent ------------------------------------------------------------------

@pytest.mark.parametrize("headers, agent", [
    (b"User-Agent: Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/120.0\r\n",
     b"Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/120.0"),
    (b"", b""),
    (b"User-Agent:\r\n", b""),
    (b"User-Agent: caf\xc3\xa9 \xff\r\n", b"caf\xc3\xa9 \xff"),
], ids=["present", "absent", "empty", "bytes_of_128_and_more"])
def test_user_agent(server, headers, agent):
    assert read_request(server, b"/ua", lambda http: http.c_user_agent(), headers=headers) == agent


def test_record_kept_past_the_request_still_answers(server):
    kept = read_request(server, b"/keep?x=1", lambda http: http,
                        headers=b"Cookie: a=2\r\nUser-Agent: ua\r\n")
    assert (kept.c_url(), kept.c_get(b"x"), kept.c_get_cookie(b"a"), kept.c_user_agent()) == (
        b"/keep", b"1", b"2", b"ua")
