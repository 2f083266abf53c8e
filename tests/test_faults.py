"""Faults from peers, from the application and from the machine.

After each fault the server must serve the next client, leave nothing in
tmp/, and give back the connection's thread and file descriptors.
"""
import os
import select
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

import pytest
import requests

from conftest import Routes, _start, clear_after_test
from helpers import (HOST, Baseline, ServerEnd, free_port, post_request, read_to_close,
                     text_response, wait_until, zelweb_env)

BIG_FILE_SIZE = 50 * 1000 * 1000


def assert_recovers(server, baseline):
    server.handle(b"/next", lambda http: http.c_text(b"next"))
    reply = server.get(b"/next")
    assert reply.startswith(b"HTTP/1.1 200 OK\r\n") and reply.endswith(b"\r\n\r\nnext"), reply
    assert wait_until(lambda: not os.listdir("tmp")), os.listdir("tmp")
    assert baseline.settled(), baseline


def reset(sock):
    """Closes with SO_LINGER 0: the peer gets a RST instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def read_to_end(sock, timeout=10.0):
    sock.settimeout(timeout)
    return read_to_close(sock)


BOUNDARY = b"----faultsBoundary7MA4YWxk"
MULTIPART = b"multipart/form-data; boundary=" + BOUNDARY


def file_part_head(filename=b"f.bin"):
    return (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="file"; filename="' +
            filename + b'"\r\nContent-Type: application/octet-stream\r\n\r\n')


def multipart_body(content):
    return file_part_head() + content + b"\r\n--" + BOUNDARY + b"--\r\n"


def response_parts(reply):
    head, _, body = reply.partition(b"\r\n\r\n")
    return head, body


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.bin"
    with open(path, "wb") as f:
        f.truncate(BIG_FILE_SIZE)
    return str(path).encode()


# --- the peer resets the connection ---------------------------------------

@pytest.mark.parametrize("sent", [
    pytest.param(b"", id="before-any-byte"),
    pytest.param(b"GET /reset-head HT", id="in-request-line"),
    pytest.param(b"GET /reset-head HTTP/1.1\r\nHost: x\r\nUser-Ag", id="in-headers"),
    pytest.param(b"GET /reset-head HTTP/1.1\r\nHost: x\r\n\r", id="before-last-break"),
])
def test_reset_during_head_closes_quietly(server, capfd, sent):
    called = []
    server.handle(b"/reset-head", called.append)
    baseline = Baseline()
    s = socket.create_connection((HOST, server.port))
    s.sendall(sent)
    # The connection's thread runs and has read all of it: it waits in a receive.
    assert baseline.started() and wait_until(ServerEnd(s).has_read_all)
    reset(s)
    assert baseline.settled()
    out, err = capfd.readouterr()
    assert (called, out, err) == ([], "", "")
    assert_recovers(server, baseline)


def test_reset_during_form_body_reports_and_skips_route(server, capfd):
    called = []
    server.handle(b"/reset-form", called.append)
    baseline = Baseline()
    s = socket.create_connection((HOST, server.port))
    s.sendall(post_request(b"/reset-form", b"a=1&b=" + b"x" * 20000,
                           b"application/x-www-form-urlencoded", length=500000))
    # The server has read the head and all of the body sent: it waits for the rest.
    assert wait_until(ServerEnd(s).has_read_all)
    reset(s)
    assert baseline.settled()
    _, err = capfd.readouterr()
    assert called == []
    assert "ConnectionResetError" in err and "zelweb.client" in err
    assert_recovers(server, baseline)


def test_reset_during_upload_calls_route_and_removes_file(server, capfd):
    seen = []

    def route(http):
        tmp_name = http.c_files(b"tmp_name")
        seen.append((int(http.c_files(b"size")), os.path.getsize(tmp_name)))

    server.handle(b"/reset-upload", route)
    baseline = Baseline()
    sent = 300000
    s = socket.create_connection((HOST, server.port))
    s.sendall(post_request(b"/reset-upload", file_part_head() + b"u" * sent, MULTIPART,
                           length=5000000))
    # The upload is under way once its file holds something.
    assert wait_until(lambda: any(os.path.getsize(os.path.join("tmp", n)) > 0
                                  for n in os.listdir("tmp")))
    reset(s)
    assert baseline.settled()
    out, _ = capfd.readouterr()
    assert len(seen) == 1
    size, stored = seen[0]
    assert 0 < size <= sent and size == stored  # the size counts what the file holds
    assert "reset" in out.lower()
    assert_recovers(server, baseline)


@pytest.mark.parametrize("kind", ["text", "file"])
def test_reset_during_large_response(server, capfd, big_file, kind):
    if kind == "text":
        server.handle(b"/reset-response", lambda http: http.c_text(b"t" * 1000000))
    else:
        server.handle(b"/reset-response", lambda http: http.c_data(big_file))
    baseline = Baseline()
    s = socket.create_connection((HOST, server.port))
    s.sendall(b"GET /reset-response HTTP/1.1\r\nHost: x\r\n\r\n")
    s.settimeout(10)
    first = s.recv(1000)
    assert first.startswith(b"HTTP/1.1 200 OK\r\n")
    reset(s)
    assert baseline.settled()
    _, err = capfd.readouterr()
    if kind == "file":  # 50 MB cannot sit in socket buffers: the send was under way
        assert "zelweb.client" in err
        assert "BrokenPipeError" in err or "ConnectionResetError" in err
    assert os.path.getsize(big_file) == BIG_FILE_SIZE  # c_data leaves its file alone
    assert_recovers(server, baseline)


# --- the application misbehaves -------------------------------------------

class ReturningRoutes(Routes):
    """Like the shared application, but route returns what the handler returns."""

    def route(self, http):
        return self.handlers[http.c_url()](http)


@pytest.fixture(scope="module")
def returning_server(workdir):
    return _start(False, ReturningRoutes())


@pytest.fixture
def odd_server(returning_server):
    yield from clear_after_test(returning_server)


class Explosive:
    """A result that fails whenever anyone looks at it."""

    def __bool__(self):
        raise AssertionError("route result was tested for truth")

    def __iter__(self):
        raise AssertionError("route result was iterated")

    def __len__(self):
        raise AssertionError("route result was measured")


def generator_handler(http):
    http.c_text(b"never")  # a generator's body runs only when iterated
    yield b"never"


@pytest.mark.parametrize("handler, body", [
    pytest.param(lambda http: (http.c_text(b"int"), 5)[1], b"int", id="int"),
    pytest.param(lambda http: (http.c_text(b"str"), "a text")[1], b"str", id="str"),
    pytest.param(lambda http: (http.c_text(b"bytes"), b"\x00" * 10)[1], b"bytes", id="bytes"),
    pytest.param(lambda http: (http.c_text(b"odd"), Explosive())[1], b"odd", id="explosive-object"),
    pytest.param(generator_handler, b"", id="generator"),
])
def test_route_result_is_ignored(odd_server, server, capfd, handler, body):
    path = odd_server.handle(b"/odd", handler)
    baseline = Baseline()
    reply = odd_server.get(path)
    assert reply == text_response(body)
    assert baseline.settled()
    assert capfd.readouterr().err == ""
    assert_recovers(server, baseline)


def raise_after_response(http):
    http.c_text(b"composed but never sent")
    raise ValueError("route failed late")


@pytest.mark.parametrize("request_bytes", [
    pytest.param(b"GET /raises HTTP/1.1\r\nHost: x\r\n\r\n", id="get"),
    pytest.param(post_request(b"/raises", multipart_body(b"z" * 100000), MULTIPART), id="upload"),
])
def test_route_raising_sends_nothing_and_is_reported(server, capfd, request_bytes):
    server.handle(b"/raises", raise_after_response)
    baseline = Baseline()
    assert server.raw(request_bytes) == b""
    assert baseline.settled()
    err = capfd.readouterr().err
    assert "ValueError: route failed late" in err
    assert "zelweb.client" in err and "Exception ignored in" in err
    assert_recovers(server, baseline)


SETTER_MISUSES = [
    pytest.param(lambda h: h.c_status(b"201"), id="status-bytes"),
    pytest.param(lambda h: h.c_status(70000), id="status-too-large"),
    pytest.param(lambda h: h.c_status(-1), id="status-negative"),
    pytest.param(lambda h: h.c_text("text"), id="text-str"),
    pytest.param(lambda h: h.c_text(None), id="text-none"),
    pytest.param(lambda h: h.c_status_text(1), id="status-text-int"),
    pytest.param(lambda h: h.c_content_type("text/plain"), id="content-type-str"),
    pytest.param(lambda h: h.c_set_header(b"X-A"), id="header-one-argument"),
    pytest.param(lambda h: h.c_set_header(b"X-A", 1), id="header-int-value"),
    pytest.param(lambda h: h.c_set_cookie("a", b"1"), id="cookie-str-name"),
    pytest.param(lambda h: h.c_data(None), id="data-none"),
    pytest.param(lambda h: h.c_data_r(3), id="data-r-int"),
    pytest.param(lambda h: h.c_redirect("/elsewhere"), id="redirect-str"),
]


@pytest.mark.parametrize("misuse", SETTER_MISUSES)
def test_setter_with_wrong_type_raises_inside_route(server, capfd, misuse):
    server.handle(b"/misuse", misuse)
    baseline = Baseline()
    assert server.get(b"/misuse") == b""
    assert baseline.settled()
    err = capfd.readouterr().err
    assert ("TypeError" in err or "OverflowError" in err) and "zelweb.client" in err
    assert_recovers(server, baseline)


@pytest.mark.parametrize("misuse", SETTER_MISUSES)
def test_setter_with_wrong_type_changes_nothing(server, misuse):
    def route(http):
        http.c_text(b"kept")
        with pytest.raises((TypeError, OverflowError)):
            misuse(http)

    server.handle(b"/misuse-caught", route)
    assert server.get(b"/misuse-caught") == text_response(b"kept")


# --- the file body changes under the server --------------------------------

@pytest.mark.parametrize("setter, change, sent", [
    pytest.param("c_data", lambda p: os.remove(p), b"", id="deleted"),
    pytest.param("c_data_r", lambda p: os.remove(p), b"", id="deleted-remove-after"),
    pytest.param("c_data", lambda p: os.truncate(p, 3), b"abc", id="shrunk"),
    pytest.param("c_data", lambda p: open(p, "ab").write(b"more"), b"abcdefghij", id="grown"),
])
def test_file_body_changed_after_c_data(server, capfd, tmp_path, setter, change, sent):
    path = tmp_path / "body.txt"
    path.write_bytes(b"abcdefghij")

    def route(http):
        getattr(http, setter)(str(path).encode())
        change(path)

    server.handle(b"/changed", route)
    baseline = Baseline()
    head, body = response_parts(server.get(b"/changed"))
    assert head.startswith(b"HTTP/1.1 200 OK\r\n")
    assert b"\r\nContent-Length: 10" in head  # announced at c_data time
    assert body == sent
    assert baseline.settled()
    assert capfd.readouterr().err == ""
    assert_recovers(server, baseline)


# --- threads that cannot be started ----------------------------------------

FLAKY_THREADS_SERVER = r"""
import itertools, sys, threading, zelweb

class App:
    def route(self, http):
        http.c_text(b"served")

accepted = itertools.count()

class FlakyThreading:
    # Every second connection gets a thread that cannot be started.
    class Thread(threading.Thread):
        def start(self):
            if next(accepted) % 2 == 1:
                raise RuntimeError("can't start new thread")
            super().start()

zelweb.threading = FlakyThreading()
zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
"""


class ServerProcess:
    """A zelweb server in its own interpreter, in `cwd`, with its output in files."""

    def __init__(self, code, cwd):
        self.port = free_port()
        self.out = open(os.path.join(cwd, "server.out"), "w+")
        self.err = open(os.path.join(cwd, "server.err"), "w+")
        self.proc = subprocess.Popen([sys.executable, "-u", "-c", code, str(self.port)], cwd=cwd,
                                     env=zelweb_env(), stdout=self.out, stderr=self.err)
        # The banner, not a probe connection: a probe would count as a client.
        if not wait_until(lambda: "[-] Serving" in open(self.out.name).read()
                          or self.proc.poll() is not None):
            self.stop()
            raise RuntimeError("the server did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.seek(0)
        self.err.seek(0)
        out, err = self.out.read(), self.err.read()
        self.out.close()
        self.err.close()
        return out, err


def test_thread_that_cannot_start_drops_only_its_connection(tmp_path):
    os.mkdir(tmp_path / "tmp")
    server = ServerProcess(FLAKY_THREADS_SERVER, tmp_path)
    try:
        replies = []
        for _ in range(8):  # one at a time, so the server counts them in this order
            with socket.create_connection((HOST, server.port)) as s:
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                replies.append(read_to_end(s))
        assert server.proc.poll() is None
    finally:
        _, err = server.stop()
    assert set(replies[1::2]) == {b""}  # dropped, closed without a byte
    assert all(r.startswith(b"HTTP/1.1 200 OK\r\n") and r.endswith(b"\r\n\r\nserved")
               for r in replies[0::2]), replies
    assert err == ""  # the accept loop drops them silently
    assert os.listdir(tmp_path / "tmp") == []


# --- a full tmp ------------------------------------------------------------

UPLOAD_SERVER = r"""
import os, sys, zelweb

class App:
    def route(self, http):
        stored = os.path.getsize(http.c_files(b"tmp_name"))
        with open("route.log", "a") as log:
            log.write("%s %d\n" % (http.c_files(b"size").decode(), stored))
        http.c_text(b"size=" + http.c_files(b"size"))

zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
"""


def freed(folder):
    """Nothing listed, and no space held by a file removed but still open."""
    fs = os.statvfs(folder)
    return os.listdir(folder) == [] and fs.f_bfree == fs.f_blocks


@pytest.fixture(scope="module")
def full_tmp_run(tmp_path_factory):
    """A 3 MB upload into a 1 MB tmp, then a 100 kB one; what client and server saw."""
    if not sys.platform.startswith("linux"):
        pytest.skip("a tmpfs mount needs Linux")
    cwd = tmp_path_factory.mktemp("full-tmp")
    tmp = cwd / "tmp"
    tmp.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(tmp)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    try:
        server = ServerProcess(UPLOAD_SERVER, cwd)
        try:
            with socket.create_connection((HOST, server.port)) as s:
                try:  # the server stops reading at the failure and may reset us
                    s.sendall(post_request(b"/", multipart_body(b"F" * 3000000), MULTIPART))
                    s.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                read_to_end(s, 30)
            emptied = wait_until(lambda: freed(tmp))
            with socket.create_connection((HOST, server.port)) as s:
                s.sendall(post_request(b"/", multipart_body(b"s" * 100000), MULTIPART))
                second = read_to_end(s, 30)
            # Removed just after the close that ended the reply.
            emptied = wait_until(lambda: freed(tmp)) and emptied
            alive = server.proc.poll() is None
        finally:
            out, err = server.stop()
    finally:
        subprocess.run(["umount", str(tmp)], check=True)
    log = (cwd / "route.log").read_text().split("\n")
    routes = [tuple(map(int, line.split())) for line in log if line]
    return {"emptied": emptied, "alive": alive, "second": second, "out": out, "err": err,
            "routes": routes}


def test_full_tmp_fails_the_upload_and_frees_the_space(full_tmp_run):
    run = full_tmp_run
    assert run["alive"] and run["emptied"]
    assert len(run["routes"]) == 2  # the failed upload still reached the application
    assert "No space left on device" in run["out"] + run["err"]
    # The space came back: an upload that fits is stored whole.
    assert run["second"].endswith(b"\r\n\r\nsize=100000"), (run["second"], run["routes"], run["err"])
    assert run["routes"][-1] == (100000, 100000)


def test_full_tmp_upload_size_counts_what_the_file_holds(full_tmp_run):
    size, stored = full_tmp_run["routes"][0]
    assert size < 3000000 and size == stored


# --- clients too slow to finish -------------------------------------------

@pytest.mark.slow
def test_trickled_head_is_closed_at_the_head_limit(server):
    called = []
    server.handle(b"/trickle", called.append)
    baseline = Baseline()
    request = b"GET /trickle HTTP/1.1\r\nHost: x\r\n\r\n"
    started = time.monotonic()
    closed_at = None
    with socket.create_connection((HOST, server.port)) as s:
        # One byte every 2 s: each receive is well inside its own 5 s limit.
        for byte in request[:9]:
            try:
                s.sendall(bytes([byte]))
            except (BrokenPipeError, ConnectionResetError):
                closed_at = time.monotonic() - started
                break
            readable, _, _ = select.select([s], [], [], 2.0)
            if readable:
                try:
                    data = s.recv(1)
                except ConnectionResetError:
                    data = b""
                assert data == b""  # closed, never answered
                closed_at = time.monotonic() - started
                break
    assert closed_at is not None, "still open after 18 s of trickling"
    assert closed_at > 9.0  # not the per-receive limit
    assert called == []
    assert_recovers(server, baseline)


def client_hello():
    """The first flight of a real TLS client."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
    with pytest.raises(ssl.SSLWantReadError):
        tls.do_handshake()
    return outgoing.read()


@pytest.mark.slow
def test_trickled_tls_handshake_is_closed_within_the_head_limit(tls_server):
    called = []
    tls_server.handle(b"/", called.append)
    tls_server.handle(b"/tls-next", lambda http: http.c_text(b"next"))
    hello = client_hello()
    started = time.monotonic()
    closed_at = None
    with socket.create_connection((HOST, tls_server.port)) as s:
        for byte in hello:  # one byte a second, for far longer than the limit
            try:
                s.sendall(bytes([byte]))
            except (BrokenPipeError, ConnectionResetError):
                closed_at = time.monotonic() - started
                break
            if select.select([s], [], [], 1.0)[0]:
                try:
                    data = s.recv(1)
                except ConnectionResetError:
                    data = b""
                assert data == b""
                closed_at = time.monotonic() - started
                break
            if time.monotonic() - started > 16:
                break
    assert closed_at is not None, "still open after 16 s of trickling the handshake"
    assert called == []
    reply = requests.get(tls_server.url("/tls-next"), verify="cert/app.crt", timeout=10)
    assert (reply.status_code, reply.content) == (200, b"next")


@pytest.mark.slow
def test_head_in_slow_pieces_within_the_limit_is_served(server):
    server.handle(b"/pieces", lambda http: http.c_text(b"whole"))
    reply = server.raw(b"GET /pieces HTTP/1.1\r\nHost: x\r\n\r\n", pieces=[3, 8, 6, 10], delay=0.8)
    assert reply.endswith(b"\r\n\r\nwhole")


@pytest.mark.slow
def test_client_that_never_reads_is_dropped_and_its_upload_removed(server, capfd, big_file):
    pinned = {}

    def route(http):
        pinned["thread"] = threading.current_thread()
        pinned["upload"] = http.c_files(b"tmp_name")
        http.c_data(big_file)

    server.handle(b"/never-reads", route)
    server.handle(b"/next", lambda http: http.c_text(b"next"))
    baseline = Baseline()
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect((HOST, server.port))
    s.sendall(post_request(b"/never-reads", multipart_body(b"p" * 1000), MULTIPART))
    assert wait_until(lambda: "thread" in pinned)
    served_meanwhile = 0
    deadline = time.monotonic() + 100
    while pinned["thread"].is_alive() and time.monotonic() < deadline:
        if not os.path.exists(pinned["upload"]):
            # removed as the send ended: the thread must then end at once, not a send timeout later
            assert wait_until(lambda: not pinned["thread"].is_alive(), 5)
            break
        assert server.get(b"/next").endswith(b"\r\n\r\nnext")
        served_meanwhile += 1
        time.sleep(5)
    assert not pinned["thread"].is_alive(), "the send to a client that never reads did not end"
    assert served_meanwhile >= 5
    received = read_to_end(s, 10)
    s.close()
    assert received.startswith(b"HTTP/1.1 200 OK\r\n")
    assert len(received) < BIG_FILE_SIZE  # cut short, then closed
    err = capfd.readouterr().err
    assert "timed out" in err and "zelweb.client" in err
    assert not os.path.exists(pinned["upload"])
    assert_recovers(server, baseline)
