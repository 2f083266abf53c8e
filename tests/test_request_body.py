"""c_body: the request body as received, for any method and media type, within
the body limit; c_json and c_post still read only POST forms and JSON."""
import os

import pytest

from helpers import (FORM, capture_body, multipart, ok, part, post_request, read_file,
                     send_while_reading, upload_request)

MAX_POST = 1024000
OCTETS = b"application/octet-stream"
BINARY = b"\x00" + bytes(range(256)) * 3 + b"\x00\r\n\r\n\x00"
BODIES = {
    "form": (FORM, b"a=1&b=%20x"),
    "json": (b"application/json; charset=utf-8", b'{"a": 1}'),
    "xml": (b"application/xml", b'<?xml version="1.0"?><a b="1">\xc3\xa9</a>'),
    "octet-stream": (OCTETS, BINARY),
    "vnd-api-json": (b"application/vnd.api+json", b'{"data": {"type": "a"}}'),
}


def request_for(method, path, body, ctype, length=None):
    return post_request(path, body, ctype, length).replace(b"POST", method, 1)


@pytest.mark.parametrize("kind", BODIES)
@pytest.mark.parametrize("method", [b"PUT", b"PATCH", b"DELETE", b"GET", b"POST", b"BREW"])
def test_c_body_for_any_method_and_media_type(server, method, kind):
    ctype, body = BODIES[kind]
    seen = capture_body(server, b"/body", fields=[b"a"])
    assert ok(server.raw(request_for(method, b"/body", body, ctype)))
    form_or_json = method == b"POST" and kind in ("form", "json")
    assert seen == [{"body": body, "json": body if form_or_json else b"",
                     "fields": {b"a": b"1" if form_or_json and kind == "form" else b""}}]


@pytest.mark.parametrize("method", [b"PUT", b"POST"])
def test_body_of_exactly_the_limit_is_read_whole(server, method):
    body = os.urandom(MAX_POST - 3) + b"\x00\x00\x00"
    seen = capture_body(server, b"/max")
    assert ok(server.raw(request_for(method, b"/max", body, OCTETS)))
    assert seen[0]["body"] == body


@pytest.mark.parametrize("method, ctype", [(b"PUT", OCTETS), (b"POST", OCTETS), (b"POST", FORM)],
                         ids=["put", "post", "post-form"])
def test_body_over_the_limit_is_empty_and_reported(server, output, method, ctype):
    seen = capture_body(server, b"/over", fields=[b"k"])
    body = b"k=" + b"v" * (MAX_POST - 1)
    assert ok(send_while_reading(server.port, request_for(method, b"/over", body, ctype)))
    assert seen == [{"body": b"", "json": b"", "fields": {b"k": b""}}]
    assert "MAX POST REACHED: 1024000\n" in output.wait_for("MAX POST REACHED")


def test_multipart_post_has_no_body_and_keeps_its_file_and_fields(server):
    seen = []
    server.handle(b"/mp", lambda http: seen.append(
        (http.c_body(), read_file(http.c_files(b"tmp_name")), http.c_post(b"t"))))
    body = multipart([part(b"t", b"v"), part(b"f", b"file\x00bytes", b"f.txt", b"text/plain")])
    assert ok(server.raw(upload_request(b"/mp", body)))
    assert seen == [(b"", b"file\x00bytes", b"v")]
