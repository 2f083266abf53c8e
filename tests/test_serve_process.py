"""zelweb.serve in a process of its own: the banner, idle connections closed at
keep_alive, slow and idle clients holding no thread, a graceful stop on
SIGTERM or SIGINT, max_connections under 2,000 clients, and workers replaced
when they die."""
import errno
import os
import re
import resource
import selectors
import shutil
import signal
import socket
import time

import pytest

from helpers import (HOST, Conn, ServeProcess, alive, children, multipart, part, read_to_close,
                     serve_head, undated, upload_request, wait_until)

# serve(App(), <argv[1]>): "/hold" waits until ./release exists (saying so on stdout
# first, with the most requests held at once); any other path answers its PID.
APP = r'''
import os, signal, sys, threading, time, zelweb

lock = threading.Lock()
held = [0, 0]

def say(*words):  # one write: lines from threads and workers never interleave
    os.write(1, (" ".join(map(str, words)) + "\n").encode())

class App:
    def route(self, http):
        if http.c_url() != b"/hold":
            http.c_text(b"pid %d" % os.getpid())
            return
        with lock:
            held[0] += 1
            if held[0] > held[1]:
                held[1] = held[0]
                say("most", held[1])
        say("holding", os.getpid(), http.c_files(b"tmp_name").decode() or "-")
        deadline = time.monotonic() + 120
        while not os.path.exists("release") and time.monotonic() < deadline:
            time.sleep(0.01)
        with lock:
            held[0] -= 1
        http.c_text(b"held %d" % os.getpid())

def previous(signum, frame):
    say("previous handler", signum)

signal.signal(signal.SIGINT, previous)
signal.signal(signal.SIGTERM, previous)
result = eval("zelweb.serve(App(), " + sys.argv[1] + ")")
say("serve returned", repr(result))
os.kill(os.getpid(), signal.SIGINT)
os.kill(os.getpid(), signal.SIGTERM)
'''

HOLD = b"GET /hold HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"


@pytest.fixture
def serve_dir(workdir, tmp_path):
    os.makedirs(tmp_path / "tmp")
    shutil.copytree(os.path.join(workdir, "cert"), tmp_path / "cert")
    return tmp_path


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def refused(port):
    try:
        socket.create_connection((HOST, port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True
    except OSError:  # queued as the listener closed, and reset with it
        return False


def holders(srv):
    return [int(pid) for pid in re.findall(r"^holding (\d+)", srv.output(), re.M)]


@pytest.mark.parametrize("host, shown, connect_to", [
    ('"127.0.0.1"', r"127\.0\.0\.1", HOST),
    ('b"127.0.0.1"', r"127\.0\.0\.1", HOST),
    pytest.param('"::1"', r"\[::1\]", "::1", marks=pytest.mark.skipif(
        not has_ipv6_loopback(), reason="no IPv6 loopback")),
    ('"localhost"', r"localhost|127\.0\.0\.1|\[::1\]", "localhost"),
], ids=["str", "bytes", "ipv6", "name"])
def test_banner_names_the_port_bound_for_port_zero(serve_dir, host, shown, connect_to):
    with ServeProcess(APP, serve_dir, host + ", 0") as srv:
        assert re.fullmatch(shown, srv.banner_host), srv.banner_host
        assert srv.port != 0
        with Conn(srv.port, host=connect_to) as c:
            c.send(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
            assert undated(c.response()).startswith(serve_head(len(b"pid %d" % srv.proc.pid)))
        assert srv.output().count("[-] Serving") == 1


def test_idle_connection_is_closed_after_keep_alive(serve_dir):
    with ServeProcess(APP, serve_dir, '"127.0.0.1", 0, keep_alive=1.0') as srv:
        with Conn(srv.port) as c:
            c.send(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
            assert b"\r\nConnection: keep-alive\r\n" in c.response()
            answered = time.monotonic()
            assert c.closed()
            assert time.monotonic() - answered >= 0.5


def thread_count(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^Threads:\s+(\d+)", f.read(), re.M).group(1))


def test_slow_and_idle_clients_hold_no_thread(serve_dir):
    # Two application threads; forty clients that trickle a head or stay
    # idle between requests take neither of them.
    with ServeProcess(APP, serve_dir, '"127.0.0.1", 0, threads=2') as srv:
        # Listening comes before the threads start; once a request has been
        # answered, every thread of the server has been started.
        with Conn(srv.port) as c:
            c.send(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
            assert c.response().startswith(b"HTTP/1.1 200 OK")
        baseline = thread_count(srv.proc.pid)
        held = []
        try:
            for i in range(40):
                s = socket.create_connection((HOST, srv.port), timeout=10)
                held.append(s)
                if i % 2:
                    s.sendall(b"GET /x HTTP/1.1\r\nHost: x\r\nUser-Ag")  # and no more
                else:
                    s.sendall(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
                    assert s.recv(65536).startswith(b"HTTP/1.1 200 OK")  # then idle
            with Conn(srv.port) as c:
                c.send(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
                assert c.response().startswith(b"HTTP/1.1 200 OK")
            assert thread_count(srv.proc.pid) == baseline
        finally:
            for s in held:
                s.close()


BIG_APP = r'''
import sys, zelweb

BIG = b"x" * (32 << 20)  # more than the socket buffers hold

class App:
    def route(self, http):
        http.c_text(BIG if http.c_url() == b"/big" else b"small")

def wsgi(environ, start_response):
    body = BIG if environ["PATH_INFO"] == "/big" else b"small"
    start_response("200 OK", [("Content-Length", str(len(body)))])
    return [body]

app = wsgi if sys.argv[1] == "wsgi" else App()
zelweb.serve(app, "127.0.0.1", 0, threads=1, interface=sys.argv[1])
'''


@pytest.mark.parametrize("interface", ["route", "wsgi"])
def test_a_response_read_slowly_holds_no_thread(serve_dir, interface):
    # One application thread: a client that does not read its big response
    # leaves it to the core, and another client is answered meanwhile.
    with ServeProcess(BIG_APP, serve_dir, interface) as srv:
        with Conn(srv.port) as slow, Conn(srv.port) as quick:
            slow.send(b"GET /big HTTP/1.1\r\nHost: x\r\n\r\n")
            quick.send(b"GET /small HTTP/1.1\r\nHost: x\r\n\r\n")
            assert quick.response().endswith(b"\r\n\r\nsmall")
            head = slow.response()
            assert head.startswith(b"HTTP/1.1 200 OK") and len(head.split(b"\r\n\r\n", 1)[1]) == 32 << 20


def test_a_body_sent_slowly_holds_no_thread(serve_dir):
    # One application thread: a form whose body trickles in is read by the
    # loop, and another client is answered meanwhile.
    with ServeProcess(APP, serve_dir, '"127.0.0.1", 0, threads=1') as srv:
        with Conn(srv.port) as slow, Conn(srv.port) as quick:
            slow.send(b"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n"
                      b"Content-Type: application/x-www-form-urlencoded\r\n\r\na=1")
            quick.send(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
            assert quick.response().startswith(b"HTTP/1.1 200 OK")
            slow.send(b"&b=22222")
            assert slow.response().startswith(b"HTTP/1.1 200 OK")


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_stop_lets_the_request_in_flight_finish(serve_dir, sig):
    with ServeProcess(APP, serve_dir, '"127.0.0.1", 0, shutdown_timeout=60') as srv, \
            Conn(srv.port) as idle, Conn(srv.port) as busy:
        idle.send(b"GET /x HTTP/1.1\r\nHost: x\r\n\r\n")
        assert b"\r\nConnection: keep-alive\r\n" in idle.response()
        busy.send(upload_request(b"/hold", multipart([part(b"file", b"x" * 5000, b"f.bin")])))
        tmp = srv.wait_match(r"holding \d+ (\S+)").group(1)
        assert (serve_dir / tmp).exists()
        os.kill(srv.proc.pid, sig)
        assert idle.closed()
        assert wait_until(lambda: refused(srv.port), timeout=10)
        assert srv.proc.poll() is None  # the held request keeps the stop waiting
        (serve_dir / "release").touch()
        reply = undated(read_to_close(busy.sock))
        body = b"held %d" % srv.proc.pid
        assert reply == serve_head(len(body), b"close") + body
        assert srv.wait(20) == 0
    out = srv.output()
    assert "serve returned None" in out
    assert "previous handler 2" in out and "previous handler 15" in out  # handlers restored
    assert not (serve_dir / tmp).exists() and os.listdir(serve_dir / "tmp") == []


@pytest.mark.slow
@pytest.mark.parametrize("timeout, signals", [(1, 1), (60, 2)],
                         ids=["shutdown-timeout", "second-signal"])
def test_stuck_route_does_not_hold_the_stop(serve_dir, timeout, signals):
    with ServeProcess(APP, serve_dir, f'"127.0.0.1", 0, shutdown_timeout={timeout}') as srv, \
            Conn(srv.port) as busy:
        busy.send(upload_request(b"/hold", multipart([part(b"file", b"x" * 5000, b"f.bin")])))
        tmp = srv.wait_match(r"holding \d+ (\S+)").group(1)
        os.kill(srv.proc.pid, signal.SIGTERM)
        if signals == 2:
            assert wait_until(lambda: refused(srv.port), timeout=10)
            os.kill(srv.proc.pid, signal.SIGTERM)
        assert srv.wait(20) == 0  # well before the route's 120 s, and the 60 s limit
    assert "serve returned None" in srv.output()
    assert not (serve_dir / tmp).exists()  # removed by the stop while route still held it


def socket_count(pid):
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


def most_held(srv):
    return max([int(n) for n in re.findall(r"^most (\d+)", srv.output(), re.M)] or [0])


@pytest.fixture
def many_descriptors():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = 2300
    if soft < need:
        if hard != resource.RLIM_INFINITY and hard < need:
            pytest.skip(f"RLIMIT_NOFILE hard limit {hard} is below {need}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (need, hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_max_connections_holds_under_2000_clients(serve_dir, many_descriptors):
    clients, bound = 2000, 50
    selector = selectors.DefaultSelector()
    replies, sent = {}, set()
    # More threads than the bound: the bound on connections held is what holds them back.
    call = f'"127.0.0.1", 0, max_connections={bound}, threads=64, backlog=4096'
    with ServeProcess(APP, serve_dir, call) as srv:
        try:
            for i in range(clients):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex((HOST, srv.port))
                selector.register(s, selectors.EVENT_WRITE, i)

            def pump(done, timeout):
                deadline = time.monotonic() + timeout
                while not done():
                    assert time.monotonic() < deadline, (len(sent), len(replies))
                    for key, events in selector.select(0.05):
                        s, i = key.fileobj, key.data
                        if events & selectors.EVENT_WRITE:
                            assert s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0
                            s.send(HOLD)
                            sent.add(i)
                            replies[i] = b""
                            selector.modify(s, selectors.EVENT_READ, i)
                        else:
                            chunk = s.recv(65536)
                            replies[i] += chunk
                            if not chunk:
                                selector.unregister(s)
                                s.close()
                                replies[i] = (replies[i],)

            pump(lambda: most_held(srv) >= bound and len(sent) == clients, 60)
            assert socket_count(srv.proc.pid) <= bound + 3  # the listener and the held ones
            assert most_held(srv) == bound
            (serve_dir / "release").touch()
            pump(lambda: all(type(r) is tuple for r in replies.values()), 120)
        finally:
            for key in list(selector.get_map().values()):
                key.fileobj.close()
    assert most_held(srv) == bound
    body = b"held %d" % srv.proc.pid
    answers = {undated(r[0]) for r in replies.values()}
    assert len(replies) == clients and answers == {serve_head(len(body), b"close") + body}


def test_workers_share_the_port_and_a_killed_one_is_replaced(serve_dir):
    with ServeProcess(APP, serve_dir, '"127.0.0.1", 0, workers=2, max_connections=1') as srv:
        assert wait_until(lambda: len(children(srv.proc.pid)) == 2)
        workers = children(srv.proc.pid)

        def hold_one_on_each():
            """Two held requests: each worker takes one connection at a time, so both serve."""
            before = len(holders(srv))
            conns = [Conn(srv.port), Conn(srv.port)]
            for n, c in enumerate(conns, 1):
                c.send(HOLD)
                assert wait_until(lambda: len(holders(srv)) == before + n), srv.output()
            (serve_dir / "release").touch()
            pids = holders(srv)[before:]
            for c, pid in zip(conns, pids):
                assert undated(read_to_close(c.sock)).endswith(b"held %d" % pid)
                c.close()
            (serve_dir / "release").unlink()
            return set(pids)

        assert hold_one_on_each() == workers
        victim = min(workers)
        os.kill(victim, signal.SIGKILL)
        seen = []

        def replacement_forked():
            # One reading per check: two readings could see the killed worker
            # alive in the first and gone in the second, before its
            # replacement exists.
            seen.append(children(srv.proc.pid))
            return len(seen[-1]) == 2 and victim not in seen[-1]

        assert wait_until(replacement_forked)
        replaced = seen[-1]
        assert replaced - workers
        assert hold_one_on_each() == replaced
        os.kill(srv.proc.pid, signal.SIGTERM)
        assert srv.wait(20) == 0
    assert wait_until(lambda: not any(alive(pid) for pid in replaced))
    out = srv.output()
    assert out.count("[-] Serving") == 1 and out.count("serve returned None") == 1, out


def test_uploads_of_killed_workers_are_removed_and_the_stop_leaves_the_directory_as_found(
        serve_dir):
    (serve_dir / "tmp" / "kept.txt").write_bytes(b"the application's own")
    with ServeProcess(APP, serve_dir, '"127.0.0.1", 0, workers=2') as srv, \
            Conn(srv.port) as held, Conn(srv.port) as partial:
        assert wait_until(lambda: len(children(srv.proc.pid)) == 2)
        held.send(upload_request(b"/hold", multipart([part(b"file", b"x" * 5000, b"f.bin")])))
        found = srv.wait_match(r"holding (\d+) (\S+)")
        assert re.fullmatch(r"tmp/%s-\d+" % found.group(1), found.group(2))
        body = multipart([part(b"file", b"y" * 5000, b"g.bin")])
        partial.send(upload_request(b"/hold", body)[:-1000])  # the rest never comes
        assert wait_until(lambda: len(os.listdir(serve_dir / "tmp")) == 3)
        for pid in children(srv.proc.pid):
            os.kill(pid, signal.SIGKILL)
        assert wait_until(lambda: os.listdir(serve_dir / "tmp") == ["kept.txt"])
        os.kill(srv.proc.pid, signal.SIGTERM)
        assert srv.wait(20) == 0
    assert os.listdir(serve_dir / "tmp") == ["kept.txt"]


# serve with workers=2 where os.fork fails after <argv[1]> successes.
FORK_FAILS = r'''
import errno, os, sys, zelweb
forks = int(sys.argv[1])

class Os:
    def __getattr__(self, name):
        return getattr(os, name)

    def fork(self):
        global forks
        if forks == 0:
            raise OSError(errno.EAGAIN, "no fork today")
        forks -= 1
        return os.fork()

class App:
    def route(self, http):
        http.c_text(b"x")

zelweb.os = Os()
try:
    zelweb.serve(App(), "127.0.0.1", 0, workers=2)
    print("serve returned")
except OSError as e:
    print("serve raised", e.errno)
try:
    os.waitpid(-1, os.WNOHANG)
    print("a worker is left")
except ChildProcessError:
    print("no worker left")
'''


@pytest.mark.parametrize("forks", [0, 1], ids=["none-forked", "one-forked"])
def test_serve_raises_when_its_workers_cannot_be_forked(serve_dir, forks):
    with ServeProcess(FORK_FAILS, serve_dir, forks) as srv:
        assert srv.wait(30) == 0
    assert srv.output().splitlines()[1:] == ["serve raised %d" % errno.EAGAIN, "no worker left"]
