"""Chunked request bodies: decoded into c_body, c_json, c_post and the multipart
reader, from raw framing and from real clients; framing that cannot be trusted
closes the connection without a response and without calling route."""
import http.client
import os
import shutil
import subprocess

import pytest
import requests

from helpers import (FORM, HOST, assert_next_client_served, capture_body, capture_upload, multipart,
                     ok, part, post_request, send_while_reading, wait_until)

MAX_POST = 1024000
JSON = b"application/json"
OCTETS = b"application/octet-stream"
MULTIPART = b"multipart/form-data; boundary=XYZ"
BINARY = bytes(range(256)) * 4 + b"\x00\r\n0\r\n\r\n\x00"

needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")


def frame(*chunks, last=b"0\r\n\r\n"):
    """The chunks framed with lower-case hex sizes, then the last chunk and its trailers."""
    return b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in chunks) + last


def cut(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


def chunked_request(path, framed, ctype=FORM, te=b"chunked", method=b"POST", extra=b""):
    request = post_request(path, framed, ctype, length=False,
                           extra=b"Transfer-Encoding: " + te + b"\r\n" + extra)
    return request.replace(b"POST", method, 1)


DECODED = {
    "form": (b"POST", b"chunked", FORM, frame(b"a=1&b=tw", b"o+words"), b"a=1&b=two+words"),
    "json": (b"POST", b"chunked", JSON, frame(b'{"a": ', b'"1"}'), b'{"a": "1"}'),
    "octet-stream": (b"POST", b"chunked", OCTETS, frame(*cut(BINARY, 100)), BINARY),
    "put": (b"PUT", b"chunked", OCTETS, frame(BINARY[:7], BINARY[7:]), BINARY),
    "te-in-capitals": (b"POST", b"CHUNKED", FORM, frame(b"a=1"), b"a=1"),
    "te-capitalised": (b"POST", b"Chunked", FORM, frame(b"a=1"), b"a=1"),
    "extensions": (b"POST", b"chunked", FORM,
                   b'3;name=value\r\na=1\r\n2;x;y="q;"\r\n&b\r\n0;last\r\n\r\n', b"a=1&b"),
    "trailers": (b"POST", b"chunked", FORM,
                 frame(b"a=1", last=b"0\r\nX-Trailer: one\r\nContent-Length: 99\r\n\r\n"), b"a=1"),
    "hex-case-and-zeros": (b"POST", b"chunked", OCTETS,
                           b"1A\r\n" + b"x" * 26 + b"\r\n1a\r\n" + b"y" * 26 + b"\r\n000Bc\r\n" +
                           b"z" * 188 + b"\r\n00\r\n\r\n", b"x" * 26 + b"y" * 26 + b"z" * 188),
    "one-byte-chunks": (b"POST", b"chunked", FORM, frame(*cut(b"a=1&b=" + b"x" * 3000, 1)),
                        b"a=1&b=" + b"x" * 3000),
}


@pytest.mark.parametrize("method, te, ctype, framed, body", DECODED.values(), ids=DECODED.keys())
def test_chunked_body_is_decoded(server, method, te, ctype, framed, body):
    seen = capture_body(server, b"/chunked", fields=[b"a"])
    assert ok(server.raw(chunked_request(b"/chunked", framed, ctype, te, method)))
    form_or_json = method == b"POST" and ctype in (FORM, JSON)
    assert seen == [{"body": body, "json": body if form_or_json else b"",
                     "fields": {b"a": b"1" if form_or_json and ctype == FORM else b""}}]


def test_chunk_framing_split_across_sends(server):
    framed = b"5;ext=1\r\na=1&b\r\n3\r\n=22\r\n0\r\nX-T: v\r\n\r\n"
    request = chunked_request(b"/split", framed)
    seen = capture_body(server, b"/split", fields=[b"b"])
    head_len = len(request) - len(framed)
    assert ok(server.raw(request, pieces=[head_len] + [1] * (len(framed) - 1), delay=0.01))
    assert seen == [{"body": b"a=1&b=22", "json": b"a=1&b=22", "fields": {b"b": b"22"}}]


def test_chunked_multipart_upload_reaches_the_file(server):
    data = os.urandom(300000) + b"\r\n--XY\r\n0\r\n\r\n"
    body = multipart([part(b"t", b"text"), part(b"f", data, b"d.bin", OCTETS)])
    seen = capture_upload(server, b"/up", fields=[b"t"])
    assert ok(server.raw(chunked_request(b"/up", frame(*cut(body, 4093)), MULTIPART)))
    assert (seen[0]["data"], seen[0]["name"], seen[0]["fields"]) == (data, b"d.bin", {b"t": b"text"})


@pytest.mark.parametrize("ctype", [FORM, OCTETS], ids=["form", "octet-stream"])
@pytest.mark.parametrize("size, kept", [(MAX_POST, True), (MAX_POST + 1, False)],
                         ids=["exactly-max", "one-over-max"])
def test_chunked_body_is_bounded_by_the_body_limit(server, output, ctype, size, kept):
    body = b"k=" + b"v" * (size - 2)
    seen = capture_body(server, b"/limit", fields=[b"k"])
    request = chunked_request(b"/limit", frame(*cut(body, 65536)), ctype)
    assert ok(send_while_reading(server.port, request))
    if kept:
        form = ctype == FORM
        assert seen == [{"body": body, "json": body if form else b"",
                         "fields": {b"k": body[2:] if form else b""}}]
    else:
        assert seen == [{"body": b"", "json": b"", "fields": {b"k": b""}}]
        output.wait_for("MAX POST REACHED: 1024000\n")


# --- real clients ------------------------------------------------------------------

def curl(*args):
    done = subprocess.run(["curl", "-v", "--silent", "--show-error", "--max-time", "30", *args],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert b"> Transfer-Encoding: chunked" in done.stderr  # curl did send it chunked
    return done.stdout


@needs_curl
def test_curl_chunked_form(server, tmp_path):
    body = b"a=1&b=" + b"x" * 300000 + b"&c=end"
    (tmp_path / "form").write_bytes(body)
    seen = capture_body(server, b"/curl", fields=[b"a", b"c"], reply=b"received")
    assert curl("-H", "Transfer-Encoding: chunked", "-d", f"@{tmp_path / 'form'}",
                server.url("/curl")) == b"received"
    assert seen == [{"body": body, "json": body, "fields": {b"a": b"1", b"c": b"end"}}]


@needs_curl
def test_curl_chunked_file_upload(server, tmp_path):
    data = os.urandom(200000) + b"\r\n--\r\n0\r\n\r\n"
    (tmp_path / "d.bin").write_bytes(data)
    seen = capture_upload(server, b"/curl-up", fields=[b"t"], reply=b"received")
    assert curl("-H", "Transfer-Encoding: chunked", "-F", "t=text & more",
                "-F", f"f=@{tmp_path / 'd.bin'};type=image/png", server.url("/curl-up")) == b"received"
    got = seen[0]
    assert (got["data"], got["name"], got["type"], got["size"]) == (
        data, b"d.bin", b"image/png", str(len(data)).encode())
    assert got["fields"] == {b"t": b"text & more"}


@pytest.mark.parametrize("ctype, pieces", [
    (FORM, [b"a=1&", b"b=" + b"x" * 70000, b"&c=end"]),
    (OCTETS, cut(BINARY * 50, 999)),
], ids=["form", "octet-stream"])
def test_requests_generator_body_is_sent_chunked(server, ctype, pieces):
    seen = capture_body(server, b"/gen", fields=[b"a"], reply=b"received")
    r = requests.post(server.url("/gen"), data=iter(pieces), headers={"Content-Type": ctype},
                      timeout=30)
    assert r.request.headers["Transfer-Encoding"] == "chunked"
    assert r.content == b"received"
    body = b"".join(pieces)
    assert seen == [{"body": body, "json": body if ctype == FORM else b"",
                     "fields": {b"a": b"1" if ctype == FORM else b""}}]


def test_requests_files_sent_chunked(server):
    data = os.urandom(100000) + b"\r\n--"
    body, ctype = requests.models.RequestEncodingMixin._encode_files(
        {"f": ("d.bin", data, "application/x-d")}, {"t": "Grüße"})
    seen = capture_upload(server, b"/gen-up", fields=[b"t"], reply=b"received")
    r = requests.post(server.url("/gen-up"), data=iter(cut(body, 8191)),
                      headers={"Content-Type": ctype}, timeout=30)
    assert r.request.headers["Transfer-Encoding"] == "chunked" and r.content == b"received"
    got = seen[0]
    assert (got["data"], got["name"], got["type"]) == (data, b"d.bin", b"application/x-d")
    assert got["fields"] == {b"t": "Grüße".encode()}


def test_http_client_encode_chunked(server):
    seen = capture_body(server, b"/hc", fields=[b"b"], reply=b"received")
    conn = http.client.HTTPConnection(HOST, server.port, timeout=10)
    try:
        conn.request("POST", "/hc", body=iter([b"a=1", b"&b=", b"%E2%82%AC"]),
                     headers={"Content-Type": FORM.decode()}, encode_chunked=True)
        assert conn.getresponse().read() == b"received"
    finally:
        conn.close()
    assert seen == [{"body": b"a=1&b=%E2%82%AC", "json": b"a=1&b=%E2%82%AC",
                     "fields": {b"b": "€".encode()}}]


# --- framing that cannot be trusted --------------------------------------------------

UPLOAD = multipart([part(b"f", os.urandom(50000), b"f.bin"), part(b"a", b"1")])
UNTRUSTED = {
    "gzip-then-chunked": chunked_request(b"/bad", frame(b"a=1"), te=b"gzip, chunked"),
    "identity": post_request(b"/bad", b"a=1", length=False,
                             extra=b"Transfer-Encoding: identity\r\n"),
    "chunked-and-length": chunked_request(b"/bad", frame(b"a=1"), extra=b"Content-Length: 8\r\n"),
    "put-chunked-and-length": chunked_request(b"/bad", frame(b"a=1"), OCTETS, method=b"PUT",
                                              extra=b"Content-Length: 8\r\n"),
    "lengths-that-disagree": post_request(b"/bad", b"a=1", extra=b"Content-Length: 4\r\n"),
    "size-line-over-1024": chunked_request(b"/bad", b"3;" + b"e" * 1100 + b"\r\na=1\r\n0\r\n\r\n"),
    "size-of-17-hex-digits": chunked_request(b"/bad", b"1" + b"0" * 16 + b"\r\na=1\r\n0\r\n\r\n"),
    "size-not-hex": chunked_request(b"/bad", b"z\r\na=1\r\n0\r\n\r\n"),
    "no-crlf-after-data": chunked_request(b"/bad", b"3\r\na=1X\r\n0\r\n\r\n"),
    "bare-lf-after-size": chunked_request(b"/bad", b"3\na=1\r\n0\r\n\r\n"),
    "bare-lf-after-data": chunked_request(b"/bad", b"3\r\na=1\n0\r\n\r\n"),
    "trailers-over-8192": chunked_request(b"/bad", frame(
        b"a=1", last=b"0\r\n" + b"X-T: " + b"t" * 4096 + b"\r\nX-U: " + b"u" * 4096 + b"\r\n\r\n")),
    "broken-inside-an-upload": chunked_request(  # no CRLF after the first chunk's data
        b"/bad", b"%x\r\n%sXX" % (30000, UPLOAD[:30000]) + UPLOAD[30000:], MULTIPART),
}


@pytest.mark.parametrize("request_bytes", UNTRUSTED.values(), ids=UNTRUSTED.keys())
def test_untrusted_framing_closes_without_calling_route(server, request_bytes):
    calls = []
    server.handle(b"/bad", lambda http: calls.append(http.c_url()))
    before = set(os.listdir("tmp"))
    assert server.raw(request_bytes) == b""
    assert calls == []
    assert wait_until(lambda: set(os.listdir("tmp")) <= before)  # no upload file left behind
    assert_next_client_served(server)


def test_two_equal_length_lines_are_accepted(server):
    seen = capture_body(server, b"/equal", fields=[b"a"])
    assert ok(server.raw(post_request(b"/equal", b"a=1", extra=b"Content-Length: 3\r\n")))
    assert seen == [{"body": b"a=1", "json": b"a=1", "fields": {b"a": b"1"}}]
