#!/usr/bin/env python3
"""Idle kept-alive connections held open against zelweb.serve.

    python3 bench/idle_connections.py                      (10,000 connections, held 10 s)
    python3 bench/idle_connections.py --connections 2000 --hold 3

Starts a hello-world app under zelweb.serve in a process of its own
(max_connections above the count, keep_alive longer than the whole run, the
open-file limit raised in both processes), measures it once idle, then opens
the connections from one client process (non-blocking sockets and epoll, a
window of connections being set up at a time), sends one request on each and
reads its answer, so that each connection is established and kept idle. They
are held for a while (any that the server closes meanwhile is an error), and
a fresh connection is served beside them. Then all are closed and the server
is polled until its threads, descriptors and resident memory are back to the
baseline (or a timeout). Last, the server is stopped by SIGTERM (its graceful
stop), SIGKILL if it has not ended within 30 s.

Reports the server's resident memory, threads and descriptors idle, held and
after, resident memory per connection ((held - idle) / held connections), the
errors (connections that failed, got no answer or were closed while held),
and how long the return to the baseline took.
"""
import argparse
import errno
import re
import selectors
import signal
import socket
import subprocess
import sys
import time

from _server import ServerProcess, raise_fd_limit, wait_for

REQUEST = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
BODY = b"hello world"

SERVER = r"""
import sys, zelweb
class App:
    def route(self, http):
        http.c_text(b"hello world")
zelweb.serve(App(), sys.argv[1], int(sys.argv[2]), keep_alive=%(keep_alive)r,
             max_connections=%(max_connections)d, backlog=%(backlog)d)
"""


def complete(data):
    """True once `data` holds one whole answer; raises on a wrong one."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    m = re.search(rb"\r\ncontent-length: *(\d+)", data[:end], re.I)
    if not m:
        raise ValueError("no Content-Length: %r" % data[:200])
    if len(data) < end + 4 + int(m.group(1)):
        return False
    if not data.startswith(b"HTTP/1.1 200 ") or data[end + 4:] != BODY:
        raise ValueError("unexpected answer %r" % data[:200])
    if re.search(rb"\r\nconnection: *close", data[:end], re.I):
        raise ValueError("the answer closes the connection")
    return True


def open_connections(port, count, window, timeout):
    """Opens `count` connections, `window` being set up at once; each sends
    one request and reads its answer. Returns (held sockets, errors by kind)."""
    sel = selectors.DefaultSelector()
    held, errors = [], {}
    started, in_flight = 0, {}  # socket -> [deadline, received bytes]
    deadline_all = time.monotonic() + timeout + count / 50.0

    def fail(s, kind):
        errors[kind] = errors.get(kind, 0) + 1
        sel.unregister(s)
        del in_flight[s]
        s.close()

    while (started < count or in_flight) and time.monotonic() < deadline_all:
        while started < count and len(in_flight) < window:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            started += 1
            code = s.connect_ex(("127.0.0.1", port))
            if code not in (0, errno.EINPROGRESS):
                errors["connect"] = errors.get("connect", 0) + 1
                s.close()
                continue
            in_flight[s] = [time.monotonic() + timeout, b""]
            sel.register(s, selectors.EVENT_WRITE)
        for key, events in sel.select(0.2):
            s = key.fileobj
            if events & selectors.EVENT_WRITE:
                code = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if code:
                    fail(s, "connect")
                    continue
                try:
                    s.send(REQUEST)  # a few dozen bytes: taken whole by a fresh socket
                except OSError:
                    fail(s, "send")
                    continue
                sel.modify(s, selectors.EVENT_READ)
                continue
            try:
                chunk = s.recv(65536)
            except OSError:
                fail(s, "reset before the answer")
                continue
            if not chunk:
                fail(s, "closed before the answer")
                continue
            in_flight[s][1] += chunk
            try:
                done = complete(in_flight[s][1])
            except ValueError:
                fail(s, "wrong answer")
                continue
            if done:
                sel.unregister(s)
                del in_flight[s]
                held.append(s)
        now = time.monotonic()
        for s in [s for s, (deadline, _) in in_flight.items() if deadline < now]:
            fail(s, "no answer in %gs" % timeout)
    for s in list(in_flight):
        fail(s, "no answer in time")
    if started < count:
        errors["not opened in time"] = count - started
    sel.close()
    return held, errors


def hold(held, seconds):
    """Watches the held connections for `seconds`: each one that the server
    closes, or that receives anything, is counted."""
    sel = selectors.DefaultSelector()
    for s in held:
        sel.register(s, selectors.EVENT_READ)
    closed, spoken = set(), set()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, _ in sel.select(max(0.0, end - time.monotonic())):
            s = key.fileobj
            try:
                chunk = s.recv(65536)
            except OSError:
                chunk = b""
            (spoken if chunk else closed).add(s)
            if not chunk:
                sel.unregister(s)
    sel.close()
    return len(closed), len(spoken - closed)


def probe(port):
    """One request on a fresh connection, beside the held ones: seconds taken."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    if not data.startswith(b"HTTP/1.1 200 ") or not data.endswith(BODY):
        raise RuntimeError("probe: unexpected answer %r" % data[:200])
    return time.monotonic() - started


def stop(server):
    """SIGTERM and wait (the graceful stop), SIGKILL after 30 s: (seconds, exit status)."""
    started = time.monotonic()
    server.proc.send_signal(signal.SIGTERM)
    try:
        code = server.proc.wait(30)
    except subprocess.TimeoutExpired:
        server.proc.kill()
        server.proc.wait()
        code = "killed after 30 s"
    seconds = time.monotonic() - started
    server.stop()  # its log and directory
    return seconds, code


def mib(kib):
    return "%.1f MiB" % (kib / 1024)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--connections", type=int, default=10000, help="connections held (10000)")
    parser.add_argument("--hold", type=float, default=10.0, help="seconds they are held (10)")
    parser.add_argument("--window", type=int, default=256,
                        help="connections being set up at once (256)")
    parser.add_argument("--settle", type=float, default=30.0,
                        help="seconds allowed for the return to the baseline (30)")
    parser.add_argument("--rss-tolerance", type=float, default=4.0,
                        help="MiB above the idle RSS still taken as back (4)")
    parser.add_argument("--no-pin", action="store_true", help="server and client on any core")
    args = parser.parse_args()
    n = args.connections
    try:
        import zelweb
    except ImportError as e:
        sys.exit("zelweb does not import: %s" % e)
    if not hasattr(zelweb, "serve"):
        sys.exit("skipped: this zelweb (%s) has no zelweb.serve" % zelweb.__file__)

    fd_limit = n + 1024
    if raise_fd_limit(fd_limit) < n + 64:
        sys.exit("the open-file limit cannot be raised to %d (hard limit too low)" % fd_limit)
    open_time = 15.0 + n / 200.0  # keep_alive outlasts setting up, holding and probing
    script = SERVER % {"keep_alive": open_time + args.hold + 60.0,
                       "max_connections": max(12000, n + n // 5), "backlog": 4096}
    server = ServerProcess(script=script, fd_limit=fd_limit, pin=not args.no_pin)
    held = []
    try:
        probe(server.port)
        time.sleep(0.5)
        idle = server.stats()
        print("zelweb.serve, %d idle kept-alive connections, held %g s (server PID %d, port %d)"
              % (n, args.hold, server.pid, server.port))
        print("  idle:  RSS %s, %d threads, %d descriptors" % (mib(idle["rss_kib"]), idle["threads"],
                                                              idle["fds"]))
        started = time.monotonic()
        held, errors = open_connections(server.port, n, args.window, 10.0)
        opened_in = time.monotonic() - started
        print("  opened %d connections, each answered once, in %.1f s" % (len(held), opened_in))
        closed, spoken = hold(held, args.hold)
        if closed:
            errors["closed by the server while held"] = closed
        if spoken:
            errors["data while idle"] = spoken
        loaded = server.stats()
        probe_s = probe(server.port)
        count = len(held) or 1
        per_conn = (loaded["rss_kib"] - idle["rss_kib"]) / count
        print("  held:  RSS %s, %d threads, %d descriptors; a fresh connection beside them "
              "answered in %.1f ms" % (mib(loaded["rss_kib"]), loaded["threads"], loaded["fds"],
                                       probe_s * 1000))
        print("  per connection: %.1f KiB resident, %.1f KiB of address space, %.2f threads, "
              "%.2f descriptors" % (per_conn, (loaded["vm_kib"] - idle["vm_kib"]) / count,
                                    (loaded["threads"] - idle["threads"]) / count,
                                    (loaded["fds"] - idle["fds"]) / count))

        closing = time.monotonic()
        for s in held:
            s.close()
        held = []
        tolerance = args.rss_tolerance * 1024

        def counts_back():
            st = server.stats()
            return st["threads"] <= idle["threads"] and st["fds"] <= idle["fds"]

        back = wait_for(counts_back, args.settle, 0.05)
        counts_s = time.monotonic() - closing
        rss_back = back and wait_for(lambda: server.stats()["rss_kib"] <= idle["rss_kib"] + tolerance,
                                     max(0.0, args.settle - counts_s), 0.1)
        rss_s = time.monotonic() - closing
        after = server.stats()
        print("  after: RSS %s, %d threads, %d descriptors" % (mib(after["rss_kib"]), after["threads"],
                                                              after["fds"]))
        print("  threads and descriptors %s; RSS %s" % (
            "back to the baseline in %.2f s" % counts_s if back else
            "**not back** after %.0f s" % args.settle,
            "within %g MiB of idle in %.2f s" % (args.rss_tolerance, rss_s) if rss_back else
            "**not back** within %g MiB of idle (%+.1f MiB, %.0f%% of the growth given back)" % (
                args.rss_tolerance, (after["rss_kib"] - idle["rss_kib"]) / 1024,
                100.0 * (loaded["rss_kib"] - after["rss_kib"]) / max(1, loaded["rss_kib"] - idle["rss_kib"]))))
        probe(server.port)
        print("  errors: %d%s" % (sum(errors.values()), "".join(
            "; %s: %d" % kv for kv in sorted(errors.items()))))
    finally:
        for s in held:
            s.close()
        seconds, code = stop(server)
    print("  SIGTERM: the server ended in %.2f s, exit status %s" % (seconds, code))
    ok = not errors and back and rss_back and code == 0
    print("  %s" % ("ok" if ok else "**not ok**"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
