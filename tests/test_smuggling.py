"""A request hidden in another one's head, sent to serve on a kept-alive
connection: each head that two readers could read differently gets a 400 and
the close, so the hidden request never reaches route."""
import pytest

from helpers import check_server_made

HIDDEN = b"GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n"
LENGTH = b"%d" % len(HIDDEN)

# Lines under which one reader sees HIDDEN as a body and another as the next request.
SHAPES = {
    "space-before-colon": b"Content-Length : " + LENGTH + b"\r\n",
    "tab-before-colon": b"Content-Length\t: " + LENGTH + b"\r\n",
    "bare-lf-in-value": b"X: a\nContent-Length: " + LENGTH + b"\r\n",
    "bare-cr-in-value": b"X: a\rContent-Length: " + LENGTH + b"\r\n",
    "nul-in-line": b"X: a\0\r\nContent-Length: " + LENGTH + b"\r\n",
}


@pytest.mark.parametrize("line", SHAPES.values(), ids=SHAPES.keys())
def test_request_hidden_in_a_header_line_never_reaches_route(serving, line):
    srv = serving()
    calls = []
    for path in (b"/front", b"/smuggled"):
        srv.handle(path, lambda http: calls.append(http.c_url()))
    front = b"POST /front HTTP/1.1\r\nHost: x\r\n" + line + b"\r\n"
    reply = srv.raw(front + HIDDEN, shutdown=False)  # the server closes after its answer
    check_server_made(reply, b"400")
    assert reply.count(b"HTTP/1.1 ") == 1
    assert calls == []
