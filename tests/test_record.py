"""The request record on its own: construction, the pickling refusal, subclassing,
the argument rules shared by all methods, the native call of an overridden
c_set_header, and the messages of setters that refuse what does not fit."""
import copy
import decimal
import pickle

import pytest

import zelweb

REFUSED = "no default __reduce__ due to non-trivial __cinit__"


class Sub(zelweb.http_t):
    extra = "subclass attribute"


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


# --- construction ------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1, 2), {}),
    ((), {"a": 3}),
    ((1, 2), {"a": 3}),
    ((None, b"x", object()), {"key": object(), "url": b"/x"}),
], ids=["none", "positional", "keyword", "both", "odd_objects"])
@pytest.mark.parametrize("cls", [zelweb.http_t, Sub], ids=["http_t", "subclass"])
def test_construction_ignores_arguments_and_gives_empty_record(cls, args, kwargs):
    http = cls(*args, **kwargs)
    assert isinstance(http, zelweb.http_t)
    assert http.c_url() == b""
    assert http.c_user_agent() == b""
    assert http.c_json() == b""
    for accessor in (http.c_get, http.c_get_cookie, http.c_get_auth, http.c_post):
        assert accessor(b"a") == b""
    for key in (b"name", b"type", b"tmp_name", b"unknown"):
        assert http.c_files(key) == b""
    assert http.c_files(b"size") == b"0"
    assert http.c_path(b"") == 1
    assert http.c_path(b"/") == 0


# --- pickling and copying refused --------------------------------------------------------------

@pytest.mark.parametrize("refuse", [
    pytest.param(lambda r: pickle.dumps(r), id="pickle_default"),
    pytest.param(lambda r: pickle.dumps(r, protocol=0), id="pickle_protocol_0"),
    pytest.param(lambda r: pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL), id="pickle_highest"),
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(lambda r: r.__reduce__(), id="reduce"),
    pytest.param(lambda r: r.__reduce_ex__(2), id="reduce_ex"),
    pytest.param(lambda r: r.__setstate__(None), id="setstate_none"),
    pytest.param(lambda r: r.__setstate__({"url": b"/"}), id="setstate_dict"),
    pytest.param(lambda r: r.__setstate__((1, 2)), id="setstate_tuple"),
])
@pytest.mark.parametrize("cls", [zelweb.http_t, Sub], ids=["http_t", "subclass"])
def test_pickling_and_copying_refused(cls, refuse):
    with pytest.raises(TypeError) as excinfo:
        refuse(cls())
    assert str(excinfo.value) == REFUSED


# --- subclassing -------------------------------------------------------------------------------

def test_subclass_keeps_methods_and_adds_its_own():
    class App(zelweb.http_t):
        def __init__(self, owner):
            self.owner = owner

        def path_is_root(self):
            return self.c_path(b"/") == 1

    http = App("me")
    assert http.owner == "me"
    assert http.path_is_root() is False
    assert http.c_files(b"size") == b"0"
    assert App.__mro__ == (App, zelweb.http_t, object)


def test_plain_record_has_no_instance_dict():
    with pytest.raises(AttributeError):
        zelweb.http_t().anything = 1


# --- text parameters ---------------------------------------------------------------------------

@pytest.mark.parametrize("make", [bytes, bytearray, BytesSub, ByteArraySub],
                         ids=["bytes", "bytearray", "bytes_subclass", "bytearray_subclass"])
def test_text_parameter_accepts_bytes_and_bytearray_and_subclasses(make):
    http = zelweb.http_t()
    assert http.c_files(make(b"size")) == b"0"
    assert http.c_path(make(b"")) == 1
    assert http.c_get(make(b"a")) == b""
    http.c_set_header(make(b"X"), make(b"1"))
    http.c_set_header(key=make(b"X"), value=make(b"1"))


@pytest.mark.parametrize("make", [bytes, bytearray], ids=["bytes", "bytearray"])
def test_text_parameter_counts_only_bytes_before_first_nul(make, capfd):
    http = zelweb.http_t()
    assert http.c_files(make(b"size\x00junk")) == b"0"
    assert http.c_files(make(b"sizejunk")) == b""
    assert http.c_path(make(b"\x00/elsewhere")) == 1
    # The CR LF lies after the NUL, so neither setter sees it and nothing is refused.
    http.c_set_header(make(b"X"), make(b"1\x00\r\nInjected: yes"))
    http.c_set_cookie(make(b"k\x00\r\n"), make(b"v"))
    http.c_status_text(make(b"123456789\x00 and far more than ten bytes"))
    assert capfd.readouterr().out == ""


ONE_TEXT_METHODS = ["c_files", "c_path", "c_text", "c_data", "c_data_r", "c_status_text",
                    "c_content_type", "c_post", "c_get", "c_get_cookie", "c_get_auth",
                    "c_redirect"]
NOT_TEXT = [
    pytest.param("x", id="str"),
    pytest.param(None, id="None"),
    pytest.param(1, id="int"),
    pytest.param(memoryview(b"x"), id="memoryview"),
    pytest.param([98], id="list"),
]


@pytest.mark.parametrize("value", NOT_TEXT)
@pytest.mark.parametrize("method", ONE_TEXT_METHODS)
def test_one_text_parameter_refuses_non_bytes(method, value):
    with pytest.raises(TypeError):
        getattr(zelweb.http_t(), method)(value)


@pytest.mark.parametrize("value", NOT_TEXT)
@pytest.mark.parametrize("position", [0, 1], ids=["first", "second"])
@pytest.mark.parametrize("method", ["c_set_header", "c_set_cookie", "c_copy"])
def test_two_text_parameters_refuse_non_bytes_before_touching_record(method, position, value,
                                                                   capfd):
    args = [b"a\r\n", b"b\r\n"]  # a setter that ran would print a refusal for these
    args[position] = value
    with pytest.raises(TypeError):
        getattr(zelweb.http_t(), method)(*args)
    assert capfd.readouterr().out == ""


# --- argument counts and keywords --------------------------------------------------------------

TWO_PARAMETERS = {
    "c_set_header": ("key", "value"),
    "c_set_cookie": ("key", "value"),
    "c_copy": ("source_path", "dest"),
}


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda m, p: m(b"a"),
                 "{}() takes exactly 2 positional arguments (1 given)", id="one_positional"),
    pytest.param(lambda m, p: m(),
                 "{}() takes exactly 2 positional arguments (0 given)", id="none"),
    pytest.param(lambda m, p: m(b"a", b"b", b"c"),
                 "{}() takes exactly 2 positional arguments (3 given)", id="three_positional"),
    pytest.param(lambda m, p: m(**{p[1]: b"b"}),
                 "{}() takes exactly 2 positional arguments (0 given)", id="first_missing"),
    pytest.param(lambda m, p: m(**{p[0]: b"a"}),
                 "{}() takes exactly 2 positional arguments (1 given)", id="second_missing"),
    pytest.param(lambda m, p: m(b"a", b"b", bogus=b"c"),
                 "{}() got an unexpected keyword argument 'bogus'", id="unexpected_keyword"),
    pytest.param(lambda m, p: m(b"a", bogus=b"c"),
                 "{}() got an unexpected keyword argument 'bogus'", id="unexpected_with_missing"),
    pytest.param(lambda m, p: m(b"a", **{p[0]: b"b"}),
                 "{}() got multiple values for keyword argument '{first}'", id="multiple_values"),
])
@pytest.mark.parametrize("method", sorted(TWO_PARAMETERS))
def test_two_parameter_methods_report_bad_calls_exactly(method, call, message, capfd):
    params = TWO_PARAMETERS[method]
    with pytest.raises(TypeError) as excinfo:
        call(getattr(zelweb.http_t(), method), params)
    assert str(excinfo.value) == message.format(method, first=params[0])
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("order", ["keywords_reversed", "second_by_keyword"])
@pytest.mark.parametrize("method", sorted(TWO_PARAMETERS))
def test_two_parameter_methods_take_their_keyword_names(method, order, tmp_path, capfd):
    first, second = TWO_PARAMETERS[method]
    source = tmp_path / "source"
    source.write_bytes(b"abc")
    dest = tmp_path / "dest"
    # CR LF in the second text: a setter that got it prints its refusal.
    values = [str(source).encode(), str(dest).encode() + b"\r\n"]
    if method == "c_copy":
        values[1] = str(dest).encode()
    m = getattr(zelweb.http_t(), method)
    if order == "keywords_reversed":
        result = m(**{second: values[1], first: values[0]})
    else:
        result = m(values[0], **{second: values[1]})
    if method == "c_copy":
        assert result == 0
        assert dest.read_bytes() == b"abc"
    else:
        assert result is None
        assert "refused: it holds a CR or LF byte" in capfd.readouterr().out


@pytest.mark.parametrize("call", [
    pytest.param(lambda h: h.c_get(key=b"a"), id="one_parameter_keyword"),
    pytest.param(lambda h: h.c_get(), id="one_parameter_none"),
    pytest.param(lambda h: h.c_get(b"a", b"b"), id="one_parameter_two"),
    pytest.param(lambda h: h.c_status(status=200), id="status_keyword"),
    pytest.param(lambda h: h.c_url(b"a"), id="no_parameter_one"),
    pytest.param(lambda h: h.c_json(x=1), id="no_parameter_keyword"),
    pytest.param(lambda h: h._init_get(1), id="init_get_one"),
])
def test_one_and_no_parameter_methods_refuse_wrong_calls(call):
    with pytest.raises(TypeError):
        call(zelweb.http_t())


# --- the status integer ------------------------------------------------------------------------

@pytest.mark.parametrize("value, error, message", [
    pytest.param(-1, OverflowError, "can't convert negative value to uint16_t", id="minus_one"),
    pytest.param(-2 ** 70, OverflowError, "can't convert negative value to uint16_t", id="huge_neg"),
    pytest.param(-1.0, OverflowError, "can't convert negative value to uint16_t", id="neg_float"),
    pytest.param(65536, OverflowError, "value too large to convert to uint16_t", id="65536"),
    pytest.param(2 ** 70, OverflowError, "value too large to convert to uint16_t", id="huge"),
    pytest.param(65536.0, OverflowError, "value too large to convert to uint16_t", id="big_float"),
    pytest.param("404", TypeError, "an integer is required", id="str"),
    pytest.param(b"404", TypeError, "an integer is required", id="bytes"),
    pytest.param(None, TypeError, "an integer is required", id="None"),
    pytest.param(object(), TypeError, "an integer is required", id="object"),
])
def test_status_conversion_errors(value, error, message):
    with pytest.raises(error) as excinfo:
        zelweb.http_t().c_status(value)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message


@pytest.mark.parametrize("value", [0, 65535, True, 404.9, -0.9, 65535.9, IntLike(503),
                                   decimal.Decimal("404.9")],
                         ids=["0", "65535", "True", "float", "small_neg_float", "top_float",
                              "int_like", "decimal"])
def test_status_accepts_integers_and_integer_conversions(value):
    assert zelweb.http_t().c_status(value) is None


@pytest.mark.parametrize("calls, status_line", [
    pytest.param([404.9], b"HTTP/1.1 404 OK\r\n", id="float_truncated"),
    pytest.param([IntLike(503)], b"HTTP/1.1 503 OK\r\n", id="int_conversion"),
    pytest.param([404, 70000], b"HTTP/1.1 404 OK\r\n", id="overflow_keeps_earlier"),
    pytest.param([404, "500"], b"HTTP/1.1 404 OK\r\n", id="type_error_keeps_earlier"),
])
def test_status_conversion_on_the_wire(server, calls, status_line):
    errors = []

    def handler(http):
        for value in calls:
            try:
                http.c_status(value)
            except (OverflowError, TypeError) as e:
                errors.append(type(e))

    server.handle(b"/status-conversion", handler)
    assert server.get(b"/status-conversion").startswith(status_line)
    assert len(errors) == len(calls) - 1


# --- native call of an overridden c_set_header -------------------------------------------------

class Recording(zelweb.http_t):
    def __init__(self):
        self.calls = []

    def c_set_header(self, key, value):
        self.calls.append((key, value))


@pytest.mark.parametrize("url", [
    pytest.param(b"/login?next=%2F", id="bytes"),
    pytest.param(bytearray(b"/login?next=%2F"), id="bytearray"),
    pytest.param(BytesSub(b"/login?next=%2F"), id="bytes_subclass"),
    pytest.param(b"/login?next=%2F\x00tail", id="nul_cut"),
])
def test_redirect_calls_subclass_set_header_with_bytes(url, capfd):
    http = Recording()
    assert http.c_redirect(url) is None
    assert http.calls == [(b"Location", b"/login?next=%2F")]
    key, value = http.calls[0]
    assert type(key) is bytes and type(value) is bytes
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


def test_redirect_override_may_call_the_builtin(capfd):
    class Chained(zelweb.http_t):
        seen = []

        def c_set_header(self, key, value):
            self.seen.append(key)
            super().c_set_header(key, value)

    http = Chained()
    http.c_redirect(b"/a")
    http.c_redirect(b"/b")
    assert Chained.seen == [b"Location", b"Location"]
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


def test_redirect_with_line_break_does_not_reach_override(capfd):
    http = Recording()
    http.c_redirect(b"/a\r\nSet-Cookie: x=1")
    assert http.calls == []
    assert capfd.readouterr().out == "zelweb: redirect url refused: it holds a CR or LF byte\n"


class Raising(zelweb.http_t):
    def c_set_header(self, key, value):
        raise ValueError("override failed on " + value.decode())


class NotCallable(zelweb.http_t):
    c_set_header = None


@pytest.mark.parametrize("cls, error_line", [
    pytest.param(Raising, "ValueError: override failed on /next", id="raises"),
    pytest.param(NotCallable, "TypeError: 'NoneType' object is not callable", id="not_callable"),
])
def test_failing_override_is_reported_and_redirect_returns_none(cls, error_line, capfd):
    http = cls()
    assert http.c_redirect(b"/next") is None
    err = capfd.readouterr().err
    assert "Traceback (most recent call last):" in err
    assert error_line in err
    assert "Exception ignored in: 'zelweb.http_t.c_set_header'" in err
    # The failure stays inside the call: the record is still usable.
    assert http.c_files(b"size") == b"0"


# --- the target split on an empty record --------------------------------------------------------

def test_init_get_twice_on_empty_record_is_harmless(capfd):
    http = zelweb.http_t()
    assert http._init_get() is None
    assert http._init_get() is None
    assert http.c_url() == b""
    assert http.c_path(b"") == 1
    assert http.c_get(b"a") == b""
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


# --- setters that refuse what does not fit ------------------------------------------------------

def _fill(total, key_bytes=b"k"):
    """A (key, value) pair of exactly `total` bytes together."""
    return key_bytes, b"v" * (total - len(key_bytes))


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda h: h.c_text(b"t" * 1_023_999), "", id="text_fits"),
    pytest.param(lambda h: h.c_text(b"t" * 1_024_000), "size of data must: 1024000",
                 id="text_too_long"),
    pytest.param(lambda h: h.c_text(b"t" * 1_023_999 + b"\x00tail"), "", id="text_nul_cut"),
    pytest.param(lambda h: h.c_status_text(b"s" * 9), "", id="status_text_fits"),
    pytest.param(lambda h: h.c_status_text(b"s" * 10), "size of data must: 10",
                 id="status_text_too_long"),
    pytest.param(lambda h: h.c_content_type(b"c" * 249), "", id="content_type_fits"),
    pytest.param(lambda h: h.c_content_type(b"c" * 250), "size of data must: 250",
                 id="content_type_too_long"),
    # A header line is name, ": ", value, CR LF: 507 bytes of name and value make 511.
    pytest.param(lambda h: h.c_set_header(*_fill(507)), "", id="header_line_fits"),
    pytest.param(lambda h: h.c_set_header(*_fill(508)), "size of data must: 512",
                 id="header_line_too_long"),
    # A cookie line is "Set-Cookie: ", name, "=", value, CR LF: 240 bytes make 255.
    pytest.param(lambda h: h.c_set_cookie(*_fill(240)), "", id="cookie_line_fits"),
    pytest.param(lambda h: h.c_set_cookie(*_fill(241)), "size of data must: 256",
                 id="cookie_line_too_long"),
])
def test_setter_bounded_copy_message(call, message, capfd):
    call(zelweb.http_t())
    assert capfd.readouterr().out == message


def test_headers_fill_to_1023_bytes_then_refuse(capfd):
    http = zelweb.http_t()
    http.c_set_header(*_fill(507))  # 511-byte line
    http.c_set_header(*_fill(503))  # 507-byte line: 1,018 bytes in all
    http.c_set_header(b"X", b"")    # 5-byte line: 1,023 bytes, the most that fits
    assert capfd.readouterr().out == ""
    http.c_set_header(b"X", b"")
    assert capfd.readouterr().out == "size of data must: 1024"
    http.c_set_header(b"X", b"")
    assert capfd.readouterr().out == "size of data must: 1024"


def test_cookies_fill_to_1023_bytes_then_refuse(capfd):
    http = zelweb.http_t()
    for _ in range(3):
        http.c_set_cookie(*_fill(240))  # 255-byte lines: 765 bytes
    http.c_set_cookie(*_fill(228))      # 243-byte line: 1,008 bytes
    http.c_set_cookie(b"", b"")         # "Set-Cookie: =\r\n", 15 bytes: 1,023
    assert capfd.readouterr().out == ""
    http.c_set_cookie(b"", b"")
    assert capfd.readouterr().out == "size of data must: 1024"


@pytest.mark.parametrize("length, message", [
    pytest.param(249, "", id="fits"),
    pytest.param(250, "size of data must: 250", id="too_long"),
])
@pytest.mark.parametrize("method", ["c_data", "c_data_r"])
def test_data_path_bounded_copy_message(tmp_path, method, length, message, capfd):
    name = "f" * (length - len(str(tmp_path)) - 1)
    assert 0 < len(name) < 256, "temporary directory path too long for this test"
    path = tmp_path / name
    path.write_bytes(b"0123456789")
    assert len(str(path)) == length
    getattr(zelweb.http_t(), method)(str(path).encode())
    assert capfd.readouterr().out == message
    assert path.exists()  # choosing a file never removes it


@pytest.mark.parametrize("call, what", [
    pytest.param(lambda h: h.c_set_header(b"X-A", b"1\r\nX-B: 2"), "header line",
                 id="header_value"),
    pytest.param(lambda h: h.c_set_header(b"X\n", b"1"), "header line", id="header_name"),
    pytest.param(lambda h: h.c_set_cookie(b"a", b"1\rb=2"), "cookie line", id="cookie_value"),
    pytest.param(lambda h: h.c_set_cookie(b"a\n", b"1"), "cookie line", id="cookie_name"),
    pytest.param(lambda h: h.c_content_type(b"text/html\r\nX: 1"), "content type",
                 id="content_type"),
    pytest.param(lambda h: h.c_status_text(b"OK\n"), "status text", id="status_text"),
    pytest.param(lambda h: h.c_redirect(b"/a\r\nX: 1"), "redirect url", id="redirect"),
])
def test_setter_refuses_line_breaks_with_one_line(call, what, capfd):
    assert call(zelweb.http_t()) is None
    assert capfd.readouterr().out == f"zelweb: {what} refused: it holds a CR or LF byte\n"
