"""Multipart uploads over real sockets: the file streamed into tmp/, the text
fields through c_post, the upload errors, and the temporary file's removal."""
import itertools
import os
import random
import re
import socket
import threading
import time
import urllib.parse

import pytest

from helpers import (HOST, ScriptServer, ServerEnd, capture_upload, gone, multipart, ok, part,
                     read_to_close, upload_request, wait_until)

MAX_POST = 1024000


def send_in_pieces(port, data, sizes, delay=0.0005):
    """Sends data cut at the given sizes (cycled), each piece its own segment."""
    with socket.create_connection((HOST, port), timeout=20) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        at = 0
        for size in itertools.cycle(sizes):
            if at >= len(data):
                break
            s.sendall(data[at:at + size])
            at += size
            time.sleep(delay)
        s.shutdown(socket.SHUT_WR)
        got = b""
        while chunk := s.recv(65536):
            got += chunk
        return got


TRICKY = (b"\r\n--\r\n--X\r\n--XY\r\n--xyz\r\n-\r\n\r\n\r\nx--XYZ-not-after-a-line-break"
          b"\x00\xff\xfe" + bytes(range(256)) + b"\r\n--XY")

# ---------------------------------------------------------------- the single-part example

EXAMPLE = (b"POST /example HTTP/1.1\r\n"
           b"Content-Type: multipart/form-data; boundary=XYZ\r\n"
           b"Content-Length: 111\r\n"
           b"\r\n"
           b"--XYZ\r\n"
           b'Content-Disposition: form-data; name="f"; filename="a.txt"\r\n'
           b"Content-Type: text/plain\r\n"
           b"\r\n"
           b"hello"
           b"\r\n--XYZ--\r\n")


@pytest.mark.parametrize("pieces", [None, [1, 2, 3, 4, 5, 6, 7]], ids=["whole", "in-pieces"])
def test_upload_example_byte_for_byte(server, pieces):
    assert len(EXAMPLE.split(b"\r\n\r\n", 1)[1]) == 111
    seen = capture_upload(server, b"/example", fields=[b"f"])
    plain = server.routes.handlers[b"/example"]

    def handler(http):
        plain(http)
        seen[-1]["NAME"] = http.c_files(b"NAME")
        seen[-1]["other"] = http.c_files(b"names")
    server.handle(b"/example", handler)
    before = time.time_ns()
    if pieces:
        response = send_in_pieces(server.port, EXAMPLE, pieces)
    else:
        response = server.raw(EXAMPLE)
    after = time.time_ns()
    assert ok(response)
    got = seen[0]
    assert got["data"] == b"hello"
    assert (got["name"], got["type"], got["size"]) == (b"a.txt", b"text/plain", b"5")
    assert got["NAME"] == b"" and got["other"] == b""
    assert got["json"] == b"" and got["fields"] == {b"f": b""}
    digits = re.fullmatch(rb"tmp/([1-9][0-9]*)([1-9][0-9]{6})", got["tmp"])
    assert digits, got["tmp"]
    assert before <= int(digits.group(1)) <= after
    assert 1000000 <= int(digits.group(2)) <= 9999998
    assert gone(got["tmp"])


# ---------------------------------------------------------------- forms with several parts

# TRICKY ends in "\r\n--XY": a random "Z" right after it would make the real
# delimiter, so a fixed byte stands between.
FILE = os.urandom(3000) + TRICKY + b"." + os.urandom(100)

FORMS = {
    "field-before-file": (
        [part(b"title", b"Hello world"), part(b"file", FILE, b"f.bin", b"application/octet-stream")],
        {b"title": b"Hello world"}, FILE, b"f.bin", b"application/octet-stream"),
    "field-after-file": (
        [part(b"file", FILE, b"f.bin", b"application/octet-stream"), part(b"note", b"after")],
        {b"note": b"after"}, FILE, b"f.bin", b"application/octet-stream"),
    "fields-around-file": (
        [part(b"a", b"1"), part(b"file", FILE, b"f.bin", b"image/png"), part(b"b", b"2")],
        {b"a": b"1", b"b": b"2"}, FILE, b"f.bin", b"image/png"),
    "two-files-first-kept": (
        [part(b"one", b"first file\r\n", b"1.txt", b"text/plain"), part(b"mid", b"m"),
         part(b"two", b"second file", b"2.txt", b"text/csv")],
        {b"mid": b"m", b"one": b"", b"two": b""}, b"first file\r\n", b"1.txt", b"text/plain"),
    "content-with-dashes": (
        [part(b"file", TRICKY, b"t.bin", b"application/octet-stream"), part(b"x", TRICKY[:40])],
        {b"x": TRICKY[:40]}, TRICKY, b"t.bin",
        b"application/octet-stream"),
    "empty-file": (
        [part(b"title", b"t"), part(b"file", b"", b"empty.txt", b"text/plain")],
        {b"title": b"t"}, b"", b"empty.txt", b"text/plain"),
    "empty-file-name": (
        [part(b"file", b"", b"", b"application/octet-stream"), part(b"title", b"t")],
        {b"title": b"t"}, b"", b"", b"application/octet-stream"),
    "file-without-type": (
        [part(b"file", b"data", b"d")], {}, b"data", b"d", b""),
    "no-file-part": (
        [part(b"a", b"1"), part(b"b", b"two words")],
        {b"a": b"1", b"b": b"two words", b"c": b""}, None, b"", b""),
    "utf8-file-name": (
        [part(b"file", b"x\r\ny", "résumé €.bin".encode(), b"application/octet-stream")],
        {}, b"x\r\ny", "résumé €.bin".encode(), b"application/octet-stream"),
    "raw-high-bytes-in-name": (
        [part(b"file", b"z", b"\xff\x80name", b"text/plain")], {}, b"z", b"\xff\x80name",
        b"text/plain"),
}


def _check_form(got, fields, data, name, ctype):
    assert (got["name"], got["type"]) == (name, ctype)
    for key, value in fields.items():
        if value is not None:
            assert got["fields"][key] == value, key
    if data is None:  # no file part: nothing written
        assert got["size"] == b"0"
        assert got["data"] in (None, b"")
    else:
        assert got["data"] == data
        assert got["size"] == str(len(data)).encode()


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
def test_multipart_form_delivers_file_and_fields(server, form):
    parts, fields, data, name, ctype = form
    seen = capture_upload(server, b"/form", fields=list(fields))
    assert ok(server.raw(upload_request(b"/form", multipart(parts))))
    _check_form(seen[0], fields, data, name, ctype)
    if seen[0]["tmp"]:
        assert gone(seen[0]["tmp"])


@pytest.mark.parametrize("form", [FORMS["fields-around-file"], FORMS["two-files-first-kept"],
                                  FORMS["content-with-dashes"], FORMS["empty-file"]],
                         ids=["fields-around-file", "two-files", "content-with-dashes", "empty-file"])
def test_multipart_sent_in_pieces_of_one_to_seven_bytes(server, form):
    parts, fields, data, name, ctype = form
    seen = capture_upload(server, b"/pieces", fields=list(fields))
    rng = random.Random(5)
    sizes = [rng.randint(1, 7) for _ in range(500)]
    assert ok(send_in_pieces(server.port, upload_request(b"/pieces", multipart(parts)), sizes))
    _check_form(seen[0], fields, data, name, ctype)


def test_delimiter_straddling_two_receives_at_every_offset(server):
    content = b"0123456789\r\n--XY\r\n-"
    body = multipart([part(b"file", content, b"s.bin"), part(b"after", b"yes")])
    request = upload_request(b"/straddle", body)
    split_at = request.index(content) + len(content)
    seen = capture_upload(server, b"/straddle", fields=[b"after"])
    for offset in range(-3, len(b"\r\n--XYZ\r\n") + 1):
        at = split_at + offset
        assert ok(send_in_pieces(server.port, request, [at, len(request)], delay=0.05)), offset
    assert [g["data"] for g in seen] == [content] * len(seen)
    assert [g["fields"][b"after"] for g in seen] == [b"yes"] * len(seen)


def test_text_fields_read_as_if_sent_urlencoded(server):
    values = [(b"plain", b"hello"), (b"spaces", b"two words here"), (b"amp", b"a&b=c;d"),
              (b"plus", b"1+1=2"), (b"pct", b"100%"), (b"utf8", "Grüße €".encode()),
              (b"lines", b"line one\r\nline two\r\n"), (b"empty", b""), (b"plain", b"again")]
    parts = [part(k, v) for k, v in values[:4]] + [part(b"file", b"F", b"f.txt")] + \
            [part(k, v) for k, v in values[4:]]
    seen = capture_upload(server, b"/fields", fields=[k for k, _ in values])
    assert ok(server.raw(upload_request(b"/fields", multipart(parts))))
    got = seen[0]
    for key, value in values[:-1]:
        assert got["fields"][key] == value, key
    # The post text is a urlencoded form, in the order of the form.
    pairs = urllib.parse.parse_qsl(got["json"].decode("ascii"), keep_blank_values=True,
                                   strict_parsing=True, encoding="utf-8")
    assert [(k.encode(), v.encode()) for k, v in pairs] == values
    assert got["data"] == b"F"


@pytest.mark.parametrize("value_len, kept", [
    (MAX_POST - len(b"k="), True),
    (MAX_POST - len(b"k=") + 1, False),
], ids=["exactly-max", "one-over-max"])
def test_text_fields_are_bounded_by_the_form_limit(server, output, value_len, kept):
    file_data = os.urandom(50000)
    parts = [part(b"k", b"v" * value_len), part(b"file", file_data, b"f.bin")]
    seen = capture_upload(server, b"/limit", fields=[b"k"])
    assert ok(server.raw(upload_request(b"/limit", multipart(parts))))
    got = seen[0]
    assert got["data"] == file_data
    if kept:
        assert got["fields"][b"k"] == b"v" * value_len
    else:
        output.wait_for("MAX POST REACHED: 1024000\n")
        assert got["fields"][b"k"] == b""
        assert len(got["json"]) <= MAX_POST


def test_oversized_field_is_dropped_and_earlier_fields_kept(server, output):
    parts = [part(b"a", b"1"), part(b"big", b"%" * 400000), part(b"file", b"kept", b"f.bin")]
    seen = capture_upload(server, b"/big", fields=[b"a", b"big"])
    assert ok(server.raw(upload_request(b"/big", multipart(parts))))
    got = seen[0]
    assert got["fields"] == {b"a": b"1", b"big": b""}
    assert got["data"] == b"kept"
    assert output.wait_for("MAX POST REACHED").count("MAX POST REACHED") == 1


def test_large_upload_is_streamed_exactly(server):
    data = os.urandom(6 * 1024 * 1024 + 7)
    seen = capture_upload(server, b"/large", fields=[b"t"])
    body = multipart([part(b"t", b"x"), part(b"file", data, b"big.bin", b"application/zip")],
                     boundary=b"----b" + b"7" * 30)
    assert ok(server.raw(upload_request(b"/large", body, boundary=b"----b" + b"7" * 30)))
    assert seen[0]["data"] == data
    assert seen[0]["size"] == str(len(data)).encode()
    assert seen[0]["fields"] == {b"t": b"x"}


def test_concurrent_uploads_get_their_own_files(server):
    seen = capture_upload(server, b"/many", fields=[b"n"])
    files = {n: os.urandom(20000 + n) for n in range(8)}
    responses = {}

    def send(n):
        body = multipart([part(b"n", str(n).encode()), part(b"file", files[n], b"%d.bin" % n)])
        responses[n] = server.raw(upload_request(b"/many", body), pieces=[100, 5000], delay=0.01)
    threads = [threading.Thread(target=send, args=(n,)) for n in files]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert all(ok(r) for r in responses.values()) and len(responses) == 8
    assert len({g["tmp"] for g in seen}) == 8
    for g in seen:
        n = int(g["fields"][b"n"])
        assert g["data"] == files[n] and g["name"] == b"%d.bin" % n


@pytest.mark.parametrize("boundary", [b"B", b"-" * 30 + b"x" * 40, b"b" * 87],
                         ids=["one-char", "seventy-chars", "longest-delimiter-line"])
def test_boundaries_of_every_usable_length(server, boundary):
    seen = capture_upload(server, b"/boundary", fields=[b"t"])
    body = multipart([part(b"t", b"v"), part(b"file", TRICKY, b"f")], boundary=boundary)
    assert ok(server.raw(upload_request(b"/boundary", body, boundary=boundary)))
    assert (seen[0]["data"], seen[0]["fields"][b"t"]) == (TRICKY, b"v")


def test_epilogue_after_the_closing_delimiter_is_drained(server):
    seen = capture_upload(server, b"/epilogue")
    body = multipart([part(b"file", b"data", b"f")], epilogue=b"trailing junk\r\n" * 10)
    assert ok(server.raw(upload_request(b"/epilogue", body), shutdown=False))
    assert seen[0]["data"] == b"data"


# ---------------------------------------------------------------- part heads

def test_long_part_head_below_the_limit_is_accepted(server):
    seen = capture_upload(server, b"/longhead")
    head = (b'Content-Disposition: form-data; name="file"; filename="f.txt"\r\n'
            b"X-Pad: " + b"p" * 800 + b"\r\nContent-Type: text/plain\r\n\r\n")
    assert len(head) < 1000
    assert ok(server.raw(upload_request(b"/longhead", multipart([(head, b"body")]))))
    assert (seen[0]["data"], seen[0]["type"]) == (b"body", b"text/plain")


@pytest.mark.parametrize("field, length, message", [
    ("name", 249, None),
    ("name", 250, "size of data must: 250"),
    ("type", 39, None),
    ("type", 40, "size of data must: 40"),
], ids=["name-249", "name-250", "type-39", "type-40"])
def test_oversized_name_or_type_is_left_empty_and_the_upload_goes_on(server, output, field, length,
                                                                      message):
    name = b"n" * length if field == "name" else b"f.txt"
    ctype = b"t/" + b"x" * (length - 2) if field == "type" else b"text/plain"
    seen = capture_upload(server, b"/oversized")
    assert ok(server.raw(upload_request(b"/oversized", multipart([part(b"file", b"abc", name,
                                                                          ctype)]))))
    got = seen[0]
    assert got["data"] == b"abc"
    if message:
        output.wait_for(message)
        assert got[field] == b""
    else:
        assert got[field] == (name if field == "name" else ctype)


@pytest.mark.parametrize("head, name, ctype", [
    (b'Content-Disposition: form-data; name="f"; filename="a.txt\r\nContent-Type: text/plain\r\n\r\n',
     b"a.txt", b""),
    (b'Content-Disposition: form-data; filename="a.txt"; name="f"\r\n\r\n', b"a.txt", b""),
    (b'Content-Type: text/plain\r\nContent-Disposition: form-data; name="f"; filename="a"\r\n\r\n',
     b"a", b""),
    (b'content-disposition: form-data; name="f"; FILENAME="a"\r\n\r\n', b"", b""),
    (b'Content-Disposition: form-data; name="f"; filename="\xc3\xa9"\r\ncontent-type: x/y\r\n\r\n',
     b"\xc3\xa9", b""),
], ids=["name-without-closing-quote", "filename-not-last", "type-before-filename",
        "filename-in-capitals", "type-in-lower-case"])
def test_part_head_rules_for_name_and_type(server, head, name, ctype):
    seen = capture_upload(server, b"/rules")
    assert ok(server.raw(upload_request(b"/rules", multipart([(head, b"D"), part(b"z", b"1")]))))
    got = seen[0]
    assert (got["name"], got["type"]) == (name, ctype)
    assert got["data"] == (b"D" if name else b"")


# ---------------------------------------------------------------- upload errors

def _expect_upload_error(server, output, request, message, send=None):
    seen = capture_upload(server, b"/bad")
    response = send(request) if send else server.raw(request)
    assert ok(response), response[:200]
    assert len(seen) == 1, "the application is still called"
    output.wait_for(message)
    if seen[0]["tmp"]:
        assert gone(seen[0]["tmp"])
    # The next client is served normally.
    server.handle(b"/after", lambda http: http.c_text(b"fine"))
    assert server.get(b"/after").endswith(b"\r\n\r\nfine")
    return seen[0]


GOOD = multipart([part(b"file", b"hello", b"a.txt", b"text/plain")])


@pytest.mark.parametrize("body, message", [
    (b"--XYZ\r\nX-Pad: " + b"p" * 1100 + b"\r\n\r\nhello\r\n--XYZ--\r\n",
     "part head of 1024 bytes without its end"),
    (b"--XYZ\r\n" + b"p" * 1500 + b"\r\n--XYZ--\r\n", "part head of 1024 bytes without its end"),
    (b"not a delimiter\r\n" + GOOD, "does not begin with a delimiter"),
    (b"--XYZ", "ended before its first part"),
    (b"--" + b"b" * 88 + b"\r\n" + GOOD[5:], "size of data must: 90"),
    (b"--" + b"b" * 200, "size of data must: 90"),
    (GOOD.replace(b"--XYZ--", b"--XYZ!!"), "malformed delimiter"),
    (GOOD[:-9], "ended before its closing delimiter"),
], ids=["part-head-over-1024", "part-head-without-breaks", "no-delimiter-first",
        "only-the-delimiter", "delimiter-line-of-90", "delimiter-line-endless",
        "malformed-closing-delimiter", "no-closing-delimiter"])
def test_malformed_multipart_is_an_upload_error(server, output, body, message):
    _expect_upload_error(server, output, upload_request(b"/bad", body), message)


@pytest.mark.parametrize("length", [1, 7, 20, 100, len(GOOD) - 4],
                         ids=["1", "7", "shorter-than-part-head", "inside-the-data", "closing-cut"])
def test_content_length_too_small_ends_the_upload_without_hanging(server, output, length):
    request = upload_request(b"/bad", GOOD[:length], length=length)
    # The peer keeps its side open: the server must not wait for more.
    got = _expect_upload_error(server, output, request, "multipart body",
                               send=lambda r: server.raw(r, shutdown=False, timeout=15))
    assert len(got["data"] or b"") <= 5


CLOSING_BODY = multipart([part(b"file", b"hello" * 10, b"a.txt", b"text/plain")])
DATA_AT = CLOSING_BODY.index(b"hello")


@pytest.mark.parametrize("cut", [3, 30, DATA_AT - 2, DATA_AT + 12, DATA_AT + 50, DATA_AT + 55],
                         ids=["in-delimiter", "in-part-head", "in-part-head-end", "in-data",
                              "before-closing", "in-closing"])
def test_peer_closing_early_is_an_upload_error(server, output, cut):
    body = CLOSING_BODY
    request = upload_request(b"/bad", body)
    head_len = request.index(b"\r\n\r\n") + 4
    got = _expect_upload_error(server, output, request[:head_len + cut],
                               "connection closed before the end of the multipart body")
    assert (got["data"] or b"") == (b"hello" * 10)[:len(got["data"] or b"")]


# ---------------------------------------------------------------- removal of the temporary file

def test_temporary_file_is_removed_when_route_raises(server, output):
    names = []

    def handler(http):
        names.append(http.c_files(b"tmp_name"))
        assert open(names[0], "rb").read() == b"hello"
        raise RuntimeError("route failed on purpose")
    server.handle(b"/raises", handler)
    assert server.raw(EXAMPLE.replace(b"/example", b"/raises")) == b""
    err = output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")
    assert "route failed on purpose" in err
    assert names and gone(names[0])


def test_temporary_file_is_removed_when_the_peer_has_gone(server, output):
    names = []
    arrived, reset_done = threading.Event(), threading.Event()

    def handler(http):
        names.append(http.c_files(b"tmp_name"))
        names.append(os.path.exists(names[0]))
        arrived.set()
        reset_done.wait(10)
        http.c_text(b"x" * 500000)
    server.handle(b"/gone", handler)
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(EXAMPLE.replace(b"/example", b"/gone"))
        assert arrived.wait(10)
        end = ServerEnd(s)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    assert wait_until(end.dropped)  # the reset has reached the server's socket
    reset_done.set()
    assert names[1] and gone(names[0])  # there while route ran, removed after
    output.wait_for("Exception ignored in: 'zelweb.client'", stream="err")


def test_temporary_file_is_removed_after_an_upload_error(server, output):
    body = b"--XYZ\r\nX-Pad: " + b"p" * 1100 + b"\r\n\r\nhello\r\n--XYZ--\r\n"
    got = _expect_upload_error(server, output, upload_request(b"/bad", body),
                               "part head of 1024 bytes")
    assert re.fullmatch(rb"tmp/\d+", got["tmp"])
    assert got["data"] == b""
    assert not os.path.exists(got["tmp"])


# ---------------------------------------------------------------- a file that cannot be written

LIMITED_SERVER = """
import resource, signal, sys, zelweb
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), int(sys.argv[2])))
class App:
    def route(self, http):
        print("ROUTE", http.c_url().decode(), http.c_post(b"t").decode(), flush=True)
        http.c_text(b"served")
zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
"""


def test_write_error_while_closing_the_upload_is_an_upload_error(tmp_path):
    # The whole file fits in the writer's buffer (its size is the block size of the file
    # system), so it is first written at close.
    (tmp_path / "tmp").mkdir()
    size = os.stat(tmp_path / "tmp").st_blksize // 2
    with ScriptServer(LIMITED_SERVER, tmp_path, size // 3) as srv:
        body = multipart([part(b"t", b"kept"), part(b"file", os.urandom(size), b"f.bin")])
        with socket.create_connection((HOST, srv.port), timeout=10) as s:
            s.sendall(upload_request(b"/up", body))
            s.shutdown(socket.SHUT_WR)
            response = read_to_close(s)
        wait_until(lambda: not os.listdir(tmp_path / "tmp"), timeout=5, step=0.05)
        assert os.listdir(tmp_path / "tmp") == []
    out, err = srv.stdout, srv.stderr
    assert ok(response), (out.read_text(), err.read_text())
    assert "ROUTE /up kept" in out.read_text()
    assert "File too large" in out.read_text()
