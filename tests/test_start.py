"""start: argument conversion, binding and the banner, start-up failures, and an
accept loop that survives bad clients and serves clients at once.

Calls that raise before binding run in-process with a module `socket` that
records any use; calls that bind and serve run in a subprocess that is killed
by its PID afterwards.
"""
import errno
import http.client
import json
import os
import select
import shutil
import socket
import ssl
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import zelweb
from conftest import run_python
from helpers import HOST, free_port, read_to_close, unverified_context

APP = """
import sys, zelweb
class App:
    def route(self, http):
        http.c_text(b"served " + http.c_url())
"""


def fetch(port, path="/x", tls=False, timeout=10):
    """GET over http.client; returns (status, body)."""
    if tls:
        conn = http.client.HTTPSConnection(HOST, port, timeout=timeout,
                                           context=unverified_context())
    else:
        conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def listening_addresses(pid):
    """(ip, port) of every TCP socket in LISTEN state held by the process."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = set()
    with open("/proc/net/tcp") as table:
        next(table)
        for row in table:
            fields = row.split()
            local, state, inode = fields[1], fields[3], fields[9]
            if state == "0A" and inode in inodes:
                ip_hex, port_hex = local.split(":")
                ip = ".".join(str(b) for b in reversed(bytes.fromhex(ip_hex)))
                found.add((ip, int(port_hex, 16)))
    return found


class ServerProcess:
    """A zelweb server in its own interpreter: `code` ends by calling start."""

    def __init__(self, code, cwd):
        self.proc = subprocess.Popen([sys.executable, "-u", "-c", code], cwd=cwd,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.banner = self._read_line(timeout=20)

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise AssertionError(f"no banner line; got {line!r}")
            byte = os.read(self.proc.stdout.fileno(), 1)
            if not byte:
                self.proc.wait(timeout=5)
                raise AssertionError(f"server ended before its banner: {line!r}\n"
                                     + self.proc.stderr.read().decode(errors="replace"))
            line += byte
        return line.decode()

    def stop(self):
        """Kills the server by its PID; returns (rest of stdout, stderr)."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, 9)
        out, err = self.proc.communicate(timeout=10)
        return out.decode(errors="replace"), err.decode(errors="replace")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def serve(call, cwd, prelude=""):
    """Starts `zelweb.start(<call>)` in a subprocess; `App()` is the application."""
    code = APP + textwrap.dedent(prelude) + f"\nzelweb.start({call})\n"
    return ServerProcess(code, cwd)


# --- argument errors, raised before any socket exists -----------------------------------------

class SocketSpy:
    """Stands in for the module `socket`; records every attribute asked of it."""

    def __init__(self):
        self.used = []

    def __getattr__(self, name):
        self.used.append(name)
        return getattr(socket, name)


@pytest.fixture
def socket_spy(monkeypatch):
    spy = SocketSpy()
    monkeypatch.setattr(zelweb, "socket", spy)
    return spy


APP_OBJ = object()


@pytest.mark.parametrize("args, kwargs, error, message", [
    pytest.param((APP_OBJ, b"127.0.0.1", 1), {}, TypeError,
                 "start() takes exactly 4 positional arguments (3 given)", id="three_positional"),
    pytest.param((), {}, TypeError,
                 "start() takes exactly 4 positional arguments (0 given)", id="none"),
    pytest.param((APP_OBJ, b"127.0.0.1", 1, 0, 0), {}, TypeError,
                 "start() takes exactly 4 positional arguments (5 given)", id="five_positional"),
    pytest.param((), {"app": APP_OBJ, "host": b"127.0.0.1", "port": 1}, TypeError,
                 "start() takes exactly 4 positional arguments (3 given)", id="https_missing"),
    pytest.param((APP_OBJ, b"127.0.0.1"), {"https": 0}, TypeError,
                 "start() takes exactly 4 positional arguments (2 given)", id="port_missing"),
    pytest.param((), {"host": b"127.0.0.1", "port": 1, "https": 0}, TypeError,
                 "start() takes exactly 4 positional arguments (0 given)", id="app_missing"),
    pytest.param((APP_OBJ, b"127.0.0.1", 1, 0), {"bogus": 1}, TypeError,
                 "start() got an unexpected keyword argument 'bogus'", id="unexpected_keyword"),
    pytest.param((APP_OBJ, b"127.0.0.1", 1, 0), {"host": b"127.0.0.1"}, TypeError,
                 "start() got multiple values for keyword argument 'host'", id="multiple_values"),
    pytest.param((APP_OBJ, "127.0.0.1", 1, 0), {}, TypeError, None, id="host_str"),
    pytest.param((APP_OBJ, None, 1, 0), {}, TypeError, None, id="host_None"),
    pytest.param((APP_OBJ, memoryview(b"127.0.0.1"), 1, 0), {}, TypeError, None,
                 id="host_memoryview"),
    pytest.param((APP_OBJ, b"127.0.0.1", 65536, 0), {}, OverflowError,
                 "value too large to convert to uint16_t", id="port_65536"),
    pytest.param((APP_OBJ, b"127.0.0.1", -1, 0), {}, OverflowError,
                 "can't convert negative value to uint16_t", id="port_minus_one"),
    pytest.param((APP_OBJ, b"127.0.0.1", "8080", 0), {}, TypeError,
                 "an integer is required", id="port_str"),
    pytest.param((APP_OBJ, b"127.0.0.1", None, 0), {}, TypeError,
                 "an integer is required", id="port_None"),
    pytest.param((APP_OBJ, b"127.0.0.1", 1, 256), {}, OverflowError,
                 "value too large to convert to uint8_t", id="https_256"),
    pytest.param((APP_OBJ, b"127.0.0.1", 1, -1), {}, OverflowError,
                 "can't convert negative value to uint8_t", id="https_minus_one"),
    pytest.param((APP_OBJ, b"127.0.0.1", 1, "1"), {}, TypeError,
                 "an integer is required", id="https_str"),
])
def test_bad_arguments_raise_before_any_socket(socket_spy, capfd, args, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        zelweb.start(*args, **kwargs)
    assert type(excinfo.value) is error
    if message is not None:
        assert str(excinfo.value) == message
    assert socket_spy.used == []
    assert capfd.readouterr().out == ""


# --- binding and the banner --------------------------------------------------------------------

@pytest.mark.parametrize("host_expr, port_kind, https, banner_host, bound_ip, tls", [
    pytest.param('b"127.0.0.1"', "free", 0, "127.0.0.1", "127.0.0.1", False, id="plain"),
    pytest.param('bytearray(b"127.0.0.1")', "free", 0, "127.0.0.1", "127.0.0.1", False,
                 id="host_bytearray"),
    pytest.param('b"127.0.0.1\\x00junk:99"', "free", 0, "127.0.0.1", "127.0.0.1", False,
                 id="host_cut_at_nul"),
    pytest.param('b""', "free", 0, "", "0.0.0.0", False, id="host_empty_binds_all"),
    pytest.param('b"127.0.0.1"', "float", 0, "127.0.0.1", "127.0.0.1", False,
                 id="port_float_truncated"),
    pytest.param('b"127.0.0.1"', "zero", 0, "127.0.0.1", "127.0.0.1", False, id="port_zero"),
    pytest.param('b"127.0.0.1"', "max", 0, "127.0.0.1", "127.0.0.1", False, id="port_65535"),
    pytest.param('b"127.0.0.1"', "free", 1, "127.0.0.1", "127.0.0.1", True, id="https_1"),
    pytest.param('b"127.0.0.1"', "free", True, "127.0.0.1", "127.0.0.1", True, id="https_True"),
    pytest.param('b"127.0.0.1"', "free", 2, "127.0.0.1", "127.0.0.1", False, id="https_2"),
    pytest.param('b"127.0.0.1"', "free", 255, "127.0.0.1", "127.0.0.1", False, id="https_255"),
    pytest.param('b"127.0.0.1"', "keywords", 1, "127.0.0.1", "127.0.0.1", True,
                 id="all_keywords"),
])
def test_start_binds_announces_and_serves(workdir, host_expr, port_kind, https, banner_host,
                                          bound_ip, tls):
    port = free_port()
    if port_kind == "max":
        port = 65535
        try:
            with socket.socket() as probe:
                # As the server binds: a connection of an earlier run in TIME_WAIT is no obstacle.
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind((HOST, port))
        except OSError:
            pytest.skip("port 65535 is in use on this machine")
    port_arg = {"float": f"{port}.9", "zero": "0"}.get(port_kind, str(port))
    if port_kind == "keywords":
        call = f"https={https!r}, port={port_arg}, host={host_expr}, app=App()"
    else:
        call = f"App(), {host_expr}, {port_arg}, {https!r}"
    server = serve(call, workdir)
    with server:
        shown_port = 0 if port_kind == "zero" else port
        assert server.banner == f"[-] Serving: {banner_host}:{shown_port}\n"
        addresses = listening_addresses(server.proc.pid)
        assert len(addresses) == 1
        (ip, actual_port), = addresses
        assert ip == bound_ip
        if port_kind == "zero":
            assert actual_port != 0
        else:
            assert actual_port == port
        assert fetch(actual_port, "/x", tls=tls) == (200, b"served /x")
        # Each mode refuses the other: the TLS server drops plain HTTP, and the
        # plain server waits for a head that a TLS hello never completes.
        with pytest.raises((ssl.SSLError, OSError, http.client.HTTPException)):
            fetch(actual_port, "/x", tls=not tls, timeout=5 if tls else 1)
        assert fetch(actual_port, "/y", tls=tls) == (200, b"served /y")


# --- start-up failures -------------------------------------------------------------------------

RECORD_BIND = """
import json, socket, types
bound = []
class RecordingSocket(socket.socket):
    def bind(self, address):
        bound.append(repr(address))
        return super().bind(address)
zelweb.socket = types.SimpleNamespace(
    socket=RecordingSocket, AF_INET=socket.AF_INET, SOCK_STREAM=socket.SOCK_STREAM,
    SOL_SOCKET=socket.SOL_SOCKET, SO_REUSEADDR=socket.SO_REUSEADDR)
def attempt(*args):
    try:
        zelweb.start(App(), *args)
    except BaseException as e:
        import traceback
        text = "".join(traceback.format_exception(type(e), e, e.__traceback__))
        print(json.dumps({"error": type(e).__name__, "errno": getattr(e, "errno", None),
                          "bound": bound, "traced": "zelweb.start" in text}))
"""


def run_start_failure(cwd, args_expr):
    proc = run_python(APP + RECORD_BIND + f"\nattempt({args_expr})\n", cwd=cwd, timeout=30)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert not any(line.startswith("[-] Serving") for line in lines)
    assert len(lines) == 1, proc.stdout  # the result, and no banner
    return json.loads(lines[0])


@pytest.mark.parametrize("present", [
    pytest.param([], id="both_missing"),
    pytest.param(["app.crt"], id="key_missing"),
    pytest.param(["app.key"], id="certificate_missing"),
])
def test_tls_without_certificate_pair_raises_before_binding(workdir, tmp_path, present):
    os.makedirs(tmp_path / "cert")
    for name in present:
        shutil.copy(os.path.join(workdir, "cert", name), tmp_path / "cert" / name)
    result = run_start_failure(tmp_path, f'b"127.0.0.1", {free_port()}, 1')
    assert result["error"] == "FileNotFoundError"
    assert result["bound"] == []
    assert result["traced"] is True


def test_tls_with_unusable_key_raises_before_binding(workdir, tmp_path):
    os.makedirs(tmp_path / "cert")
    shutil.copy(os.path.join(workdir, "cert", "app.crt"), tmp_path / "cert" / "app.crt")
    (tmp_path / "cert" / "app.key").write_text("not a key\n")
    result = run_start_failure(tmp_path, f'b"127.0.0.1", {free_port()}, 1')
    assert result["error"] == "SSLError"
    assert result["bound"] == []


@pytest.mark.parametrize("https", [0, 1], ids=["plain", "tls"])
def test_port_in_use_raises_without_banner(workdir, https):
    with socket.socket() as holder:
        holder.bind((HOST, 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        result = run_start_failure(workdir, f'b"127.0.0.1", {port}, {https}')
    assert result["error"] == "OSError"
    assert result["errno"] == errno.EADDRINUSE
    if not https:
        assert result["bound"] == [repr((b"127.0.0.1", port))]
    assert result["traced"] is True


def test_host_that_does_not_resolve_raises_without_banner(workdir):
    result = run_start_failure(workdir, f'b"no such host.invalid", {free_port()}, 0')
    assert result["error"] == "gaierror"


# --- the accept loop goes on -------------------------------------------------------------------

def _close_at_once(port):
    socket.create_connection((HOST, port), timeout=5).close()


def _reset_at_once(port):
    s = socket.create_connection((HOST, port), timeout=5)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    s.close()


def _half_request_then_close(port):
    with socket.create_connection((HOST, port), timeout=5) as s:
        s.sendall(b"GET /half HTTP/1.1\r\nHost:")


@pytest.mark.parametrize("misbehave", [_close_at_once, _reset_at_once, _half_request_then_close],
                         ids=["close", "reset", "half_request"])
@pytest.mark.parametrize("which", ["server", "tls_server"])
def test_client_that_leaves_at_once_does_not_stop_loop(request, which, misbehave):
    srv = request.getfixturevalue(which)
    srv.handle(b"/after", lambda http: http.c_text(b"still serving"))
    for _ in range(3):
        misbehave(srv.port)
    assert fetch(srv.port, "/after", tls=srv.tls) == (200, b"still serving")


def test_two_clients_are_served_at_once_on_two_threads(server):
    barrier = threading.Barrier(2)
    seen = []

    def handler(http):
        seen.append((threading.get_ident(), http))
        # Returns only once both requests are inside route at the same time.
        barrier.wait(timeout=8)
        http.c_text(b"met")

    server.handle(b"/meet", handler)
    results = [None, None]

    def client(i):
        results[i] = fetch(server.port, "/meet", timeout=15)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=20)
    assert results == [(200, b"met"), (200, b"met")]
    assert len(seen) == 2
    (first_thread, first_http), (second_thread, second_http) = seen
    assert first_thread != second_thread
    assert first_http is not second_http


FLAKY_THREADING = """
import threading as real_threading
class FlakyThreading:
    # Every second connection fails to get its thread.
    def __init__(self):
        self.count = 0
    def Thread(self, *args, **kwargs):
        self.count += 1
        if self.count % 2 == 0 and {fail!r} == "create":
            raise RuntimeError("can't create thread object")
        thread = real_threading.Thread(*args, **kwargs)
        if self.count % 2 == 0 and {fail!r} == "start":
            def refuse():
                raise RuntimeError("can't start new thread")
            thread.start = refuse
        return thread
zelweb.threading = FlakyThreading()
"""


@pytest.mark.parametrize("fail", ["start", "create"])
def test_connection_without_thread_is_dropped_and_others_served(workdir, fail):
    port = free_port()
    request = b"GET /n HTTP/1.1\r\nHost: x\r\n\r\n"
    with serve(f'App(), b"127.0.0.1", {port}, 0', workdir,
               prelude=FLAKY_THREADING.format(fail=fail)) as srv:
        assert fetch(port, "/first") == (200, b"served /first")             # connection 1
        for n in ("third", "fifth"):
            dropped = socket.create_connection((HOST, port), timeout=10)     # 2, then 4
            try:
                dropped.sendall(request)
                assert fetch(port, "/" + n) == (200, b"served /" + n.encode())  # 3, then 5
                assert read_to_close(dropped) == b""
            finally:
                dropped.close()
        assert srv.proc.poll() is None
        out, err = srv.stop()
    assert out == ""   # nothing after the banner
    assert "Traceback" not in err and "can't" not in err
