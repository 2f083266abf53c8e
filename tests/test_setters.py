"""The response setters: their bounds, their refusals and their argument rules,
seen on the wire and in the messages the server prints."""
import os

import pytest

from helpers import answer, cookie_lines, head, header_lines


# --- CR and LF are refused ---------------------------------------------------------

def refusal(what):
    return f"zelweb: {what} refused: it holds a CR or LF byte\n"


@pytest.mark.parametrize("bad_call, what", [
    (lambda h: h.c_set_header(b"X-Bad\r\nInjected", b"1"), "header line"),
    (lambda h: h.c_set_header(b"X-Bad", b"1\r\nInjected: yes"), "header line"),
    (lambda h: h.c_set_header(b"X-Bad", b"1\nInjected: yes"), "header line"),
    (lambda h: h.c_set_header(key=b"X-Bad", value=b"1\rInjected: yes"), "header line"),
    (lambda h: h.c_set_header(b"\n", b""), "header line"),
    (lambda h: h.c_set_cookie(b"a\r\nInjected: yes", b"1"), "cookie line"),
    (lambda h: h.c_set_cookie(b"a", b"1\nInjected: yes"), "cookie line"),
    (lambda h: h.c_set_cookie(b"a", bytearray(b"1\r")), "cookie line"),
    (lambda h: h.c_content_type(b"text/plain\r\nInjected: yes"), "content type"),
    (lambda h: h.c_content_type(b"\n"), "content type"),
    (lambda h: h.c_status_text(b"OK\nX: y"), "status text"),
    (lambda h: h.c_status_text(b"\r"), "status text"),
    (lambda h: h.c_redirect(b"/x\r\nInjected: yes"), "redirect url"),
    (lambda h: h.c_redirect(b"/x\n"), "redirect url"),
], ids=["header_name_crlf", "header_value_crlf", "header_value_lf", "header_value_cr",
        "header_name_lone_lf", "cookie_name_crlf", "cookie_value_lf", "cookie_value_cr",
        "content_type_crlf", "content_type_lone_lf", "status_text_lf", "status_text_cr",
        "redirect_url_crlf", "redirect_url_trailing_lf"])
def test_line_break_in_a_setter_is_refused_and_nothing_stored(server, output, bad_call, what):
    def handler(http):
        http.c_set_header(b"X-Good", b"1")
        http.c_set_cookie(b"good", b"1")
        bad_call(http)
        http.c_text(b"body")
    assert answer(server, handler) == head(
        4, extra=b"X-Good: 1\r\n", cookies=b"Set-Cookie: good=1\r\n") + b"body"
    assert refusal(what) in output.wait_for(refusal(what))


def test_redirect_to_a_query_value_with_encoded_crlf_adds_no_line(server, output):
    response = answer(server, lambda http: http.c_redirect(http.c_get(b"next")),
                      target=b"/s?next=/home%0d%0aSet-Cookie:%20evil=1")
    assert response == head(0)
    assert refusal("redirect url") in output.wait_for(refusal("redirect url"))


def test_header_from_a_query_value_with_encoded_lf_adds_no_line(server, output):
    response = answer(server, lambda http: http.c_set_header(b"X-Echo", http.c_get(b"v")),
                      target=b"/s?v=a%0AX-Injected:%20yes")
    assert response == head(0)
    assert refusal("header line") in output.wait_for(refusal("header line"))


def test_redirect_to_a_clean_query_value_is_followed(server):
    response = answer(server, lambda http: http.c_redirect(http.c_get(b"next")),
                      target=b"/s?next=%2Fhome%3Fa%3D1")
    assert response == head(0, status=b"302 Found", extra=b"Location: /home?a=1\r\n")


# --- header and cookie lines: their bounds --------------------------------------

def header_of(length, name=b"X-L"):
    """A header (name, value) whose line, with ": " and CR LF, is length bytes."""
    return name, b"h" * (length - len(name) - 4)


def cookie_of(length, name=b"c"):
    """A cookie (name, value) whose "Set-Cookie: " line is length bytes."""
    return name, b"v" * (length - len(name) - 15)


def test_header_line_of_511_bytes_is_kept_and_512_refused(server, output):
    fits, too_long = header_of(511, b"X-A"), header_of(512, b"X-B")

    def handler(http):
        http.c_set_header(*too_long)
        http.c_set_header(*fits)
    assert answer(server, handler) == head(0, extra=header_lines([fits]))
    assert "size of data must: 512" in output.wait_for("size of data must: 512")


def test_cookie_line_of_255_bytes_is_kept_and_256_refused(server, output):
    fits, too_long = cookie_of(255, b"a"), cookie_of(256, b"b")

    def handler(http):
        http.c_set_cookie(*too_long)
        http.c_set_cookie(*fits)
    assert answer(server, handler) == head(0, cookies=cookie_lines([fits]))
    assert "size of data must: 256" in output.wait_for("size of data must: 256")


def test_header_lines_fill_1023_bytes_and_the_next_is_refused(server, output):
    kept = [header_of(511, b"X-1"), header_of(507, b"X-2"), (b"a", b"")]
    assert sum(len(header_lines([p])) for p in kept) == 1023

    def handler(http):
        for pair in kept:
            http.c_set_header(*pair)
        http.c_set_header(b"b", b"")
        http.c_redirect(b"/r")  # its Location line does not fit either
    assert answer(server, handler) == head(0, status=b"302 Found", extra=header_lines(kept))
    out = output.wait_for("size of data must: 1024size of data must: 1024")
    assert out.count("size of data must: 1024") == 2


def test_cookie_lines_fill_1023_bytes_and_the_next_is_refused(server, output):
    kept = [cookie_of(255, b"a"), cookie_of(255, b"b"), cookie_of(255, b"c"),
            cookie_of(242, b"d"), (b"z", b"")]
    assert sum(len(cookie_lines([p])) for p in kept) == 1023

    def handler(http):
        for pair in kept:
            http.c_set_cookie(*pair)
        http.c_set_cookie(b"y", b"")
    assert answer(server, handler) == head(0, cookies=cookie_lines(kept))
    assert "size of data must: 1024" in output.wait_for("size of data must: 1024")


# --- status text and content type: their bounds ---------------------------------

def test_status_text_of_10_bytes_is_refused_and_the_earlier_kept(server, output):
    def handler(http):
        http.c_status(404)
        http.c_status_text(b"123456789")
        http.c_status_text(b"1234567890")
    assert answer(server, handler) == head(0, status=b"404 123456789")
    assert "size of data must: 10" in output.wait_for("size of data must: 10")


def test_status_text_refused_leaves_the_default(server, output):
    assert answer(server, lambda http: http.c_status_text(b"Very Long Reason")) == head(0)
    assert "size of data must: 10" in output.wait_for("size of data must: 10")


def test_content_type_of_249_bytes_is_kept_and_250_refused(server, output):
    fits = b"application/" + b"x" * 237
    assert len(fits) == 249

    def handler(http):
        http.c_content_type(fits)
        http.c_content_type(fits + b"y")
    assert answer(server, handler) == head(0, content_type=fits)
    assert "size of data must: 250" in output.wait_for("size of data must: 250")


def test_later_status_text_and_content_type_replace_the_earlier(server):
    def handler(http):
        http.c_status_text(b"First")
        http.c_status_text(b"Second")
        http.c_content_type(b"text/plain")
        http.c_content_type(bytearray(b"image/png"))
    assert answer(server, handler) == head(0, status=b"200 Second", content_type=b"image/png")


# --- argument rules -----------------------------------------------------------------

def outcome(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the type is the result
        return type(e).__name__
    return None


@pytest.mark.parametrize("value, error", [
    (65536, "OverflowError"),
    (-1, "OverflowError"),
    (2 ** 70, "OverflowError"),
    ("404", "TypeError"),
    (None, "TypeError"),
], ids=["above_65535", "negative", "huge", "str", "none"])
def test_bad_status_raises_before_storing(server, value, error):
    errors = []

    def handler(http):
        http.c_status(201)
        errors.append(outcome(lambda: http.c_status(value)))
    assert answer(server, handler) == head(0, status=b"201 OK")
    assert errors == [error]


def test_status_takes_an_integer_conversion(server):
    class Code:
        def __int__(self):
            return 418
    assert answer(server, lambda http: http.c_status(Code())) == head(0, status=b"418 OK")


@pytest.mark.parametrize("bad_call", [
    lambda h: h.c_set_header(b"X-A"),
    lambda h: h.c_set_header(b"X-A", b"1", b"2"),
    lambda h: h.c_set_header(name=b"X-A", value=b"1"),
    lambda h: h.c_set_header(b"X-A", key=b"X-A"),
    lambda h: h.c_set_header("X-A", b"1"),
    lambda h: h.c_set_header(b"X-A", 1),
    lambda h: h.c_set_cookie(b"a"),
    lambda h: h.c_set_cookie(b"a", "1"),
    lambda h: h.c_set_cookie(b"a", b"1", value=b"2"),
    lambda h: h.c_text("text"),
    lambda h: h.c_status_text("OK"),
    lambda h: h.c_content_type(None),
    lambda h: h.c_redirect("/x"),
    lambda h: h.c_data("file"),
    lambda h: h.c_data_r(None),
], ids=["header_one_arg", "header_three_args", "header_unknown_keyword",
        "header_key_twice", "header_str_name", "header_int_value", "cookie_one_arg",
        "cookie_str_value", "cookie_value_twice", "text_str", "status_text_str",
        "content_type_none", "redirect_str", "data_str", "data_r_none"])
def test_bad_arguments_raise_type_error_and_store_nothing(server, bad_call):
    errors = []

    def handler(http):
        errors.append(outcome(lambda: bad_call(http)))
    assert answer(server, handler) == head(0)
    assert errors == ["TypeError"]


def test_text_arguments_end_at_a_zero_byte(server):
    def handler(http):
        http.c_set_header(b"X-A\x00ignored", b"1\x00ignored")
        http.c_set_cookie(b"c\x00x", b"v\x00x")
        http.c_status_text(b"Fine\x00x")
        http.c_content_type(b"text/css\x00x")
    assert answer(server, handler) == head(0, status=b"200 Fine", extra=b"X-A: 1\r\n",
                                           cookies=b"Set-Cookie: c=v\r\n", content_type=b"text/css")


def test_setters_return_none(server):
    results = []

    def handler(http):
        results.extend([http.c_status(200), http.c_status_text(b"OK"), http.c_content_type(b"a/b"),
                        http.c_set_header(b"X", b"1"), http.c_set_cookie(b"c", b"1"),
                        http.c_text(b"t"), http.c_data(b"/nonexistent"), http.c_data_r(b"/nonexistent"),
                        http.c_redirect(b"/")])
    answer(server, handler)
    assert results == [None] * 9


# --- the file path bound -------------------------------------------------------------

def long_named_file(directory, size):
    name = os.path.join(str(directory), "f" * (251 - len(str(directory))))
    with open(name, "wb") as f:
        f.write(b"L" * size)
    assert len(name) >= 250
    return name.encode()


def test_file_path_of_250_bytes_is_refused_with_message(server, tmp_path, output):
    name = long_named_file(tmp_path, 0)

    def handler(http):
        http.c_text(b"text")
        http.c_data(name)
    assert answer(server, handler) == head(4) + b"text"
    assert "size of data must: 250" in output.wait_for("size of data must: 250")


def test_refused_file_path_leaves_the_earlier_choice_whole(server, tmp_path, output):
    earlier = tmp_path / "abc"
    earlier.write_bytes(b"abc")
    name = long_named_file(tmp_path, 100)

    def handler(http):
        http.c_data(str(earlier).encode())
        http.c_data_r(name)
    assert answer(server, handler) == head(3) + b"abc"
    assert earlier.exists() and os.path.exists(name)
