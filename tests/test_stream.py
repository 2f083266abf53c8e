"""c_stream: a body from an iterable, each piece sent as it is produced:
chunked under serve's HTTP/1.1, until the close under HTTP/1.0 and start,
nothing iterated for HEAD, and the iterable closed on every path; over
loopback with raw sockets, requests and TLS."""
import socket
import threading
import time

import pytest
import requests

from helpers import HOST, Conn, read_to_close, undated, unverified_context, wait_until
from test_file import split


class Pieces:
    """An iterable that records what happened to it."""

    def __init__(self, pieces, fail_at=None):
        self.pieces, self.fail_at = pieces, fail_at
        self.events = []

    def __iter__(self):
        self.events.append("iter")
        for i, piece in enumerate(self.pieces):
            if i == self.fail_at:
                raise RuntimeError("the iterable failed")
            yield piece

    def close(self):
        self.events.append("close")


PIECES = [b"first\n", bytearray(b"second\n"), memoryview(b"third\n"), b"", b"last"]


def stream_route(srv, pieces, before=None, after=None):
    def route(http):
        if before:
            before(http)
        http.c_content_type(b"text/plain")
        assert http.c_stream(pieces) is None
        if after:
            after(http)
    srv.handle(b"/s", route)


def test_serve_sends_each_piece_as_a_chunk_and_keeps_the_connection(serving):
    srv = serving()
    pieces = Pieces(PIECES)
    stream_route(srv, pieces)
    srv.handle(b"/next", lambda http: http.c_text(b"next"))
    with Conn(srv.port) as c:
        c.send(b"GET /s HTTP/1.1\r\nHost: x\r\n\r\n")
        data = b""
        while not data.endswith(b"0\r\n\r\n"):
            data += c.sock.recv(65536)
        assert undated(data) == (
            b"HTTP/1.1 200 OK\r\nserver: Tovrel\r\nConnection: keep-alive\r\nDate: *\r\n"
            b"Transfer-Encoding: chunked\r\nContent-Type: text/plain\r\n\r\n"
            b"6\r\nfirst\n\r\n7\r\nsecond\n\r\n6\r\nthird\n\r\n4\r\nlast\r\n0\r\n\r\n")
        c.send(b"GET /next HTTP/1.1\r\nHost: x\r\n\r\n")
        assert split(c.response())[2] == b"next"
    assert pieces.events == ["iter", "close"]


@pytest.mark.parametrize("entry", ["serve-http/1.0", "start"])
def test_http_1_0_and_start_send_the_body_until_the_close(serving, server, entry):
    srv = server if entry == "start" else serving()
    stream_route(srv, Pieces(PIECES))
    version = b"HTTP/1.1" if entry == "start" else b"HTTP/1.0"
    line, fields, body = split(srv.raw(b"GET /s " + version + b"\r\nHost: x\r\n\r\n"))
    assert (line, fields[b"connection"], body) == (b"HTTP/1.1 200 OK", b"close",
                                                    b"first\nsecond\nthird\nlast")
    assert b"content-length" not in fields and b"transfer-encoding" not in fields


@pytest.mark.parametrize("entry", ["serve", "start"])
def test_head_iterates_nothing_and_closes_the_iterable(serving, server, entry):
    srv = server if entry == "start" else serving()
    pieces = Pieces(PIECES)
    stream_route(srv, pieces)
    line, fields, body = split(srv.raw(b"HEAD /s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"))
    assert (line, body) == (b"HTTP/1.1 200 OK", b"")
    assert wait_until(lambda: pieces.events == ["close"]), pieces.events


@pytest.mark.parametrize("case", ["route-raises", "file-replaces-it", "iterable-raises",
                                  "not-bytes", "start"])
def test_the_iterable_is_closed_on_every_path(serving, server, tmp_path, case):
    srv = server if case == "start" else serving()
    (tmp_path / "f.txt").write_bytes(b"file")
    pieces = Pieces([b"a", 5, b"c"] if case == "not-bytes" else [b"a", b"b"],
                    fail_at=1 if case == "iterable-raises" else None)
    after = {"route-raises": lambda http: 1 / 0,
             "file-replaces-it": lambda http: http.c_file(bytes(tmp_path / "f.txt"))}.get(case)
    stream_route(srv, pieces, after=after)
    reply = srv.raw(b"GET /s HTTP/1.1\r\nHost: x\r\n\r\n")
    assert wait_until(lambda: "close" in pieces.events), pieces.events
    if case == "file-replaces-it":
        assert split(reply)[2] == b"file" and pieces.events == ["close"]
    elif case in ("iterable-raises", "not-bytes"):
        # cut short: the last chunk never comes, and the connection closes
        assert reply.endswith(b"1\r\na\r\n") and not reply.endswith(b"0\r\n\r\n")


def test_a_client_gone_mid_stream_ends_the_iteration(serving):
    srv = serving()
    produced, closed = [], threading.Event()

    def endless():
        try:
            while True:
                produced.append(1)
                yield b"x" * 65536
                time.sleep(0.001)
        finally:
            closed.set()
    srv.handle(b"/s", lambda http: http.c_stream(endless()))
    with socket.create_connection((HOST, srv.port), timeout=10) as s:
        s.sendall(b"GET /s HTTP/1.1\r\nHost: x\r\n\r\n")
        assert s.recv(100).startswith(b"HTTP/1.1 200 OK")
    assert closed.wait(30)
    count = len(produced)
    time.sleep(0.1)  # nothing more is produced once closed
    assert len(produced) == count


def test_requests_reads_the_pieces_as_they_come(serving):
    srv = serving()
    sent = [threading.Event() for _ in range(3)]
    received = []

    def paced():
        for i, event in enumerate(sent):
            yield b"piece %d;" % i
            assert event.wait(10), "the client never got piece %d" % i  # it came alone
    srv.handle(b"/s", lambda http: http.c_stream(paced()))
    with requests.get(srv.url("/s"), stream=True, timeout=10) as r:
        for chunk in r.iter_content(chunk_size=None):
            received.append(chunk)
            sent[len(received) - 1].set()
    assert received == [b"piece 0;", b"piece 1;", b"piece 2;"]


def test_tls_streams_chunks(serving, workdir):
    srv = serving(https=True)
    stream_route(srv, Pieces(PIECES))
    with socket.create_connection((HOST, srv.port), timeout=10) as raw:
        with unverified_context().wrap_socket(raw) as s:
            s.sendall(b"GET /s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            reply = read_to_close(s)
    assert split(reply)[2] == b"6\r\nfirst\n\r\n7\r\nsecond\n\r\n6\r\nthird\n\r\n4\r\nlast\r\n0\r\n\r\n"


def test_c_stream_refuses_what_is_not_iterable(server):
    errors = []

    def route(http):
        try:
            http.c_stream(5)
        except TypeError as e:
            errors.append(str(e))
        http.c_text(b"text")
    server.handle(b"/s", route)
    assert split(server.get(b"/s"))[2] == b"text"
    assert errors == ["'int' object is not iterable"]
