"""The TLS server: real clients get correct answers, a silent client holds up
nobody, and a client that does not speak TLS is dropped quietly."""
import http.client
import os
import shutil
import socket
import subprocess

import pytest

from helpers import HOST, Baseline, ServerEnd, unverified_context, wait_until


def https_get(port, target, headers=None, timeout=10):
    conn = http.client.HTTPSConnection(HOST, port, timeout=timeout, context=unverified_context())
    try:
        conn.request("GET", target, headers=headers or {})
        response = conn.getresponse()
        return response, response.read()
    finally:
        conn.close()


def echo(http):
    http.c_set_header(b"X-Query", http.c_get(b"q"))
    http.c_set_cookie(b"seen", http.c_get_cookie(b"id"))
    http.c_content_type(b"text/plain")
    http.c_text(b"agent=" + http.c_user_agent() + b" q=" + http.c_get(b"q"))


def still_open(sock):
    """True while the peer has neither closed nor sent anything."""
    timeout = sock.gettimeout()
    sock.setblocking(False)
    try:
        sock.recv(1, socket.MSG_PEEK)
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        sock.settimeout(timeout)


# --- real clients ------------------------------------------------------------------------------

@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_curl_gets_correct_answer_over_tls(tls_server):
    tls_server.handle(b"/echo", echo)
    proc = subprocess.run(
        ["curl", "-sk", "--max-time", "10", "-D", "-", "-A", "curl-test",
         "-H", "Cookie: id=42; other=1", tls_server.url("/echo?q=a+b%21")],
        capture_output=True, timeout=20)
    assert proc.returncode == 0, proc.stderr
    head, _, body = proc.stdout.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    assert lines[0] == b"HTTP/1.1 200 OK"
    assert b"server: Tovrel" in lines
    assert b"Content-Type: text/plain" in lines
    assert b"X-Query: a b!" in lines
    assert b"Set-Cookie: seen=42" in lines
    assert b"Content-Length: %d" % len(body) in lines
    assert body == b"agent=curl-test q=a b!"


def test_http_client_gets_correct_answer_over_tls(tls_server):
    tls_server.handle(b"/echo", echo)
    response, body = https_get(tls_server.port, "/echo?q=x%20y",
                               {"User-Agent": "http.client-test", "Cookie": "id=7"})
    assert response.status == 200
    assert response.reason == "OK"
    assert response.getheader("server") == "Tovrel"
    assert response.getheader("X-Query") == "x y"
    assert response.getheader("Set-Cookie") == "seen=7"
    assert body == b"agent=http.client-test q=x y"


def test_largest_text_goes_out_whole_over_tls(tls_server):
    text = bytes(range(1, 256)) * 4015 + b"z" * 174  # 1,023,999 bytes, no NUL
    assert len(text) == 1_023_999
    tls_server.handle(b"/large", lambda http: http.c_text(text))
    response, body = https_get(tls_server.port, "/large")
    assert response.status == 200
    assert int(response.getheader("Content-Length")) == len(text)
    assert body == text


def test_file_response_goes_out_whole_over_tls(tls_server, tmp_path):
    data = os.urandom(300_000)
    path = tmp_path / "payload.bin"
    path.write_bytes(data)
    tls_server.handle(b"/file", lambda http: http.c_data(str(path).encode()))
    response, body = https_get(tls_server.port, "/file")
    assert response.status == 200
    assert int(response.getheader("Content-Length")) == len(data)
    assert body == data


# --- a silent client holds up nobody -----------------------------------------------------------

@pytest.mark.parametrize("opening", [
    pytest.param(b"", id="silent", marks=pytest.mark.slow),  # waits for the handshake limit
    pytest.param(b"\x16\x03\x01\x02\x00\x01", id="partial_hello"),
])
def test_silent_tls_client_does_not_delay_next_client(tls_server, opening):
    tls_server.handle(b"/next", lambda http: http.c_text(b"not delayed"))
    silent = socket.create_connection((HOST, tls_server.port), timeout=15)
    try:
        if opening:
            silent.sendall(opening)
        # The server has accepted it and its handshake has read what was sent.
        assert wait_until(ServerEnd(silent).has_read_all)
        response, body = https_get(tls_server.port, "/next", timeout=15)
        # Answered while the silent client is still connected and waited on.
        assert still_open(silent)
        assert (response.status, body) == (200, b"not delayed")
        if not opening:
            # Its handshake has a time limit: the server closes it without a word.
            silent.settimeout(15)
            assert silent.recv(1024) == b""
    finally:
        silent.close()


# --- a client that does not speak TLS ----------------------------------------------------------

def test_plain_client_to_tls_server_is_dropped_quietly(tls_server, capfd):
    tls_server.handle(b"/after-plain", lambda http: http.c_text(b"served over tls"))
    baseline = Baseline()
    reply = b""
    with socket.create_connection((HOST, tls_server.port), timeout=15) as plain:
        try:
            plain.sendall(b"GET /after-plain HTTP/1.1\r\nHost: x\r\n\r\n")
            while chunk := plain.recv(65536):
                reply += chunk
        except (ConnectionResetError, BrokenPipeError):
            pass  # the server may drop it before or while the request is written
    assert not reply.startswith(b"HTTP/")
    assert b"served over tls" not in reply
    response, body = https_get(tls_server.port, "/after-plain")
    assert (response.status, body) == (200, b"served over tls")
    # The plain client's thread has closed it, so it has run; once it and the
    # thread of the request after it are gone, any report has been written.
    assert baseline.settled(), baseline
    captured = capfd.readouterr()
    assert "Traceback" not in captured.err
    assert "Exception ignored" not in captured.err
