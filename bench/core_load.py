#!/usr/bin/env python3
"""serve under hostile and heavy loads: slow clients, idle kept-alive
connections, slow readers, many held connections, a slow route.

    python3 bench/core_load.py slowloris --clients 1100 [--duration 30]
    python3 bench/core_load.py idle --connections 10000 [--duration 30]
    python3 bench/core_load.py slow-readers --clients 1000 --size 10MB --rate 10KB/s
    python3 bench/core_load.py hold --connections 50000
    python3 bench/core_load.py sleepy --clients 256 --sleep 0.2 [--threads 16]
    python3 bench/core_load.py all [--against /tmp/zelweb-old-build]

Each scenario starts zelweb.serve in a process of its own (pinned to core 0,
the clients to core 1), loads it from one or a few client processes that
drive their sockets with epoll, and meanwhile measures a probe client's
latency and samples the server's threads, descriptors and resident memory.
--zelweb PATH puts a build directory first on the server's PYTHONPATH: the
same scenario against another build, such as the serve the core replaced.

Prints a short table and the goals, each met or missed; exits non-zero only
when the run itself failed (the server did not start or died, a client
process failed, nothing was measured).
"""
import argparse
import collections
import errno
import heapq
import json
import math
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _server import ServerProcess, percentile, raise_fd_limit  # noqa: E402

HERE = os.path.abspath(__file__)
HELLO = b"hello world"
FEW = 4  # threads beyond `threads` that count as "a fixed few": the caller's, the loop's, two spare
PROBE_GOAL_MS = 50.0
IP_BIND_ADDRESS_NO_PORT = 24  # linux/in.h: the port is chosen at connect, per destination

SERVER = r"""
import json, sys, time, zelweb
settings = json.loads(sys.argv[3])
FILE = settings["file"].encode()
SLEEP = settings["sleep"]

class App:
    def route(self, http):
        if http.c_path(b"/file"):
            http.c_content_type(b"application/octet-stream")
            http.c_data(FILE)
        elif http.c_path(b"/sleep"):
            time.sleep(SLEEP)
            http.c_text(b"slept")
        else:
            http.c_text(b"hello world")

keywords = settings["keywords"]
print("[bench] zelweb from", zelweb.__file__, flush=True)
try:
    zelweb.serve(App(), sys.argv[1], int(sys.argv[2]), **keywords)
except TypeError as e:
    # A build from before the core: no threads keyword.
    if "threads" not in str(e) or "threads" not in keywords:
        raise
    del keywords["threads"]
    print("[bench] no threads keyword", flush=True)
    zelweb.serve(App(), sys.argv[1], int(sys.argv[2]), **keywords)
"""


# ---------------------------------------------------------------- answers

def parse_head(data):
    """(status, content length, closes, head size) once `data` holds a whole
    response head, else None."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None
    head = data[:end]
    m = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
    closes = re.search(rb"\r\nconnection: *close", head, re.I) is not None
    return int(head[9:12] or 0), int(m.group(1)) if m else -1, closes, end + 4


def size(text):
    m = re.fullmatch(r"(\d+(?:\.\d+)?)\s*([KMG]?)(i?)B?(?:/s)?", text.strip(), re.I)
    if not m:
        raise argparse.ArgumentTypeError("a size such as 10MB, 10KB/s or 4096: %r" % text)
    base = 1024 if m.group(3) else 1000
    return int(float(m.group(1)) * base ** " KMG".index(m.group(2).upper() or " "))


# ---------------------------------------------------------------- client processes

class Conn:
    __slots__ = ("sock", "fd", "state", "born", "buf", "sent", "want", "got", "tokens", "source")


class Swarm:
    """Many client connections in one process, driven by epoll. Modes:
    slowloris: a head one byte every `interval` s, reconnecting when closed;
    idle: one request, then idle; reconnecting when the server closes it;
    hold: as idle, but a close is an error and nothing reconnects;
    slow-readers: GET `path`, read at `rate` bytes/s, request again when done."""

    SLOW_HEAD = b"GET /?slow HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "

    def __init__(self, a):
        self.a = a
        self.ep = select.epoll()
        self.conns = {}
        self.connecting = 0
        self.timers = []
        self.seq = 0
        self.count = collections.Counter()
        self.lifetimes = []
        self.sources = [s for s in a.sources.split(",") if s]
        self.next_source = 0
        self.attempts = 0
        self.pause_until = 0.0
        self.closing = False
        self.ready_said = False
        self.closed_at = None  # monotonic, the same clock in every process
        self.request = (b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % a.path.encode())

    def error(self, kind):
        self.count["error: " + kind] += 1

    def timer(self, when, conn, kind):
        self.seq += 1
        heapq.heappush(self.timers, (when, self.seq, conn, kind))

    def open(self, now):
        self.attempts += 1
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        c = Conn()
        c.sock, c.fd, c.state, c.born, c.buf, c.sent, c.want, c.got, c.tokens = (
            s, s.fileno(), "connecting", now, b"", 0, -1, 0, 0.0)
        c.source = None
        try:
            if self.a.rcvbuf:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.a.rcvbuf)
            if self.sources:
                c.source = self.sources[self.next_source % len(self.sources)]
                self.next_source += 1
                s.setsockopt(socket.SOL_IP, IP_BIND_ADDRESS_NO_PORT, 1)
                s.bind((c.source, 0))
            code = s.connect_ex(("127.0.0.1", self.a.port))
        except OSError as e:
            code = e.errno
        if code not in (0, errno.EINPROGRESS):
            self.error("connect " + errno.errorcode.get(code, str(code)))
            self.pause_until = now + 0.05
            s.close()
            return
        self.count["connects"] += 1
        self.conns[c.fd] = c
        self.connecting += 1
        self.ep.register(c.fd, select.EPOLLOUT)
        self.timer(now + self.a.connect_timeout, c, "connect")

    def drop(self, c, now, by_server=False):
        if c.state == "connecting":
            self.connecting -= 1
        if by_server:
            self.lifetimes.append(now - c.born)
            if len(self.lifetimes) > 100000:
                del self.lifetimes[:50000]
        c.state = "gone"
        del self.conns[c.fd]
        try:
            self.ep.unregister(c.fd)
        except OSError:
            pass
        c.sock.close()

    def connected(self, c, now):
        self.connecting -= 1
        c.state = "connected"
        code = c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if code:
            self.error("connect " + errno.errorcode.get(code, str(code)))
            self.pause_until = now + 0.05
            self.drop(c, now)
            return
        c.born = now
        mode = self.a.mode
        if mode == "slowloris":
            c.state = "trickling"
            self.trickle(c, now)
            if c.state == "trickling":
                self.ep.modify(c.fd, select.EPOLLIN)
            return
        try:
            c.sock.send(self.request)
        except OSError:
            self.error("send")
            self.drop(c, now)
            return
        if mode == "slow-readers":
            c.state, c.tokens = "reading", 0.0
            self.ep.modify(c.fd, 0)  # read at the rate, by the tick; errors still come
        else:
            c.state = "answer"
            self.ep.modify(c.fd, select.EPOLLIN)
            self.timer(now + self.a.answer_timeout, c, "answer")

    def trickle(self, c, now):
        byte = self.SLOW_HEAD[c.sent:c.sent + 1] or b"a"
        try:
            c.sock.send(byte)
        except OSError:
            self.count["closed by the server"] += 1
            self.drop(c, now, by_server=True)
            return
        c.sent += 1
        self.count["bytes sent"] += 1
        self.timer(now + self.a.interval, c, "trickle")

    def readable(self, c, now):
        try:
            chunk = c.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = None  # reset
        if c.state == "trickling":
            if chunk:
                # Any answer (a 408, a 400) is noted; the close follows.
                m = re.match(rb"HTTP/1\.[01] (\d{3})", c.buf + chunk)
                c.buf = b"" if m else (c.buf + chunk)[-16:]
                if m:
                    self.count["answered %s" % m.group(1).decode()] += 1
                return
            self.count["closed by the server"] += 1
            self.drop(c, now, by_server=True)
        elif c.state == "answer":
            if not chunk:
                self.error("closed before the answer" if chunk == b"" else "reset before the answer")
                self.drop(c, now)
                return
            c.buf += chunk
            head = parse_head(c.buf)
            if head is None:
                return
            status, length, closes, head_size = head
            if len(c.buf) < head_size + max(0, length):
                return
            if status != 200 or c.buf[head_size:] != HELLO:
                self.error("answer %d" % status)
                self.drop(c, now)
                return
            if closes:
                self.error("answer says Connection: close")
                self.drop(c, now)
                return
            self.count["answers"] += 1
            c.state, c.buf, c.born = "idle", b"", now
        elif c.state == "idle":
            if chunk:
                self.error("data while idle")
                self.drop(c, now)
            elif self.a.mode == "hold":
                self.error("closed while held")
                self.drop(c, now)
            else:
                self.count["closed by the server"] += 1
                self.drop(c, now, by_server=True)

    def read_slowly(self, now, dt):
        budget_max = max(1024.0, self.a.rate * 0.5)
        for c in list(self.conns.values()):
            if c.state != "reading":
                continue
            c.tokens = min(budget_max, c.tokens + self.a.rate * dt)
            while c.tokens >= 1024 and c.state == "reading":
                try:
                    chunk = c.sock.recv(int(c.tokens))
                except BlockingIOError:
                    break
                except OSError:
                    chunk = None
                if not chunk:
                    self.error("closed while reading" if chunk == b"" else "reset while reading")
                    self.drop(c, now)
                    break
                c.tokens -= len(chunk)
                self.count["bytes read"] += len(chunk)
                if c.want < 0:
                    c.buf += chunk
                    head = parse_head(c.buf)
                    if head is None:
                        if len(c.buf) > 65536:
                            self.error("no head")
                            self.drop(c, now)
                        continue
                    status, length, closes, head_size = head
                    if status != 200 or length < 0:
                        self.error("answer %d" % status)
                        self.drop(c, now)
                        break
                    c.want, c.got, c.buf = length, len(c.buf) - head_size, b""
                else:
                    c.got += len(chunk)
                if c.want >= 0 and c.got >= c.want:
                    self.count["answers"] += 1
                    c.want, c.got = -1, 0
                    try:
                        c.sock.send(self.request)
                    except OSError:
                        self.error("send")
                        self.drop(c, now)

    def status(self, now, final=False):
        states = collections.Counter(c.state for c in self.conns.values())
        life = sorted(self.lifetimes[-2000:])
        return {"t": now, "open": len(self.conns), "states": dict(states),
                "count": dict(self.count), "final": final,
                "lifetime_median": life[len(life) // 2] if life else None,
                "ready": self.ready_said, "closed": self.closing, "closed_at": self.closed_at}

    def say(self, record):
        sys.stdout.write(json.dumps(record) + "\n")
        sys.stdout.flush()

    def run(self):
        a = self.a
        stdin = sys.stdin.fileno()
        os.set_blocking(stdin, False)
        self.ep.register(stdin, select.EPOLLIN)
        pending = b""
        started = last_tick = last_say = time.monotonic()
        ended = False
        while not ended:
            now = time.monotonic()
            if now - started > a.limit:
                break
            while (not self.closing and len(self.conns) < a.count and self.connecting < a.window
                   and now >= self.pause_until):
                if a.mode == "hold" and self.attempts >= a.count:
                    break
                self.open(now)
            wait = 0.1
            if self.timers:
                wait = max(0.0, min(wait, self.timers[0][0] - now))
            for fd, events in self.ep.poll(wait):
                if fd == stdin:
                    try:
                        data = os.read(stdin, 4096)
                    except BlockingIOError:
                        continue
                    if not data:
                        ended = True
                        break
                    pending += data
                    while b"\n" in pending:
                        line, _, pending = pending.partition(b"\n")
                        if line.strip() == b"close":
                            self.closing = True
                            for c in list(self.conns.values()):
                                self.drop(c, now)
                            self.closed_at = time.monotonic()
                            self.say(self.status(time.monotonic()))
                        elif line.strip() == b"stop":
                            ended = True
                    continue
                c = self.conns.get(fd)
                if c is None:
                    continue
                if c.state == "connecting":
                    self.connected(c, now)
                elif c.state == "reading":
                    if events & (select.EPOLLERR | select.EPOLLHUP):
                        self.read_slowly(now, 0.0)  # reads what is there, finds the close
                        if c.state == "reading":
                            self.error("hang-up while reading")
                            self.drop(c, now)
                else:
                    self.readable(c, now)
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                _, _, c, kind = heapq.heappop(self.timers)
                if c.state == "gone":
                    continue
                if kind == "connect" and c.state == "connecting":
                    self.error("connect timeout")
                    self.drop(c, now)
                elif kind == "answer" and c.state == "answer":
                    self.error("no answer in %gs" % a.answer_timeout)
                    self.drop(c, now)
                elif kind == "trickle" and c.state == "trickling":
                    self.trickle(c, now)
            if a.mode == "slow-readers" and now - last_tick >= 0.05:
                self.read_slowly(now, now - last_tick)
                last_tick = now
            if a.mode == "hold" and not self.ready_said and self.attempts >= a.count \
                    and self.connecting == 0 and all(c.state == "idle" for c in self.conns.values()):
                self.ready_said = True
                last_say = 0.0
            if now - last_say >= 0.5:
                self.say(self.status(now))
                last_say = now
        for c in list(self.conns.values()):
            self.drop(c, time.monotonic())
        self.say(self.status(time.monotonic(), final=True))


def swarm_main(argv):
    p = argparse.ArgumentParser(prog="core_load.py swarm")
    p.add_argument("--mode", required=True, choices=["slowloris", "idle", "hold", "slow-readers"])
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--sources", default="")
    p.add_argument("--window", type=int, default=256)
    p.add_argument("--interval", type=float, default=2.0)
    p.add_argument("--rate", type=float, default=10000.0)
    p.add_argument("--rcvbuf", type=int, default=0)
    p.add_argument("--path", default="/")
    p.add_argument("--connect-timeout", type=float, default=10.0)
    p.add_argument("--answer-timeout", type=float, default=10.0)
    p.add_argument("--limit", type=float, default=600.0)
    a = p.parse_args(argv)
    got = raise_fd_limit(a.count + 256)
    if got < a.count + 16:
        sys.exit("swarm: %d descriptors needed, the limit is %d" % (a.count + 16, got))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    os.nice(10)  # the probe, sharing this core, is served first when it wakes
    Swarm(a).run()


class Swarms:
    """The client processes of one scenario, and what they last said."""

    def __init__(self, mode, port, count, per_process, sources, limit, **options):
        self.procs, self.last, self.lock = [], [], threading.Lock()
        processes = max(1, math.ceil(count / per_process))
        for i in range(processes):
            share = count // processes + (1 if i < count % processes else 0)
            argv = [sys.executable, "-u", HERE, "swarm", "--mode", mode, "--port", str(port),
                    "--count", str(share), "--sources", ",".join(sources), "--limit", str(limit)]
            for key, value in options.items():
                argv += ["--" + key.replace("_", "-"), str(value)]
            proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.procs.append(proc)
            self.last.append({})
            threading.Thread(target=self._listen, args=(i, proc), daemon=True).start()

    def _listen(self, i, proc):
        for line in proc.stdout:
            try:
                record = json.loads(line)
            except ValueError:
                continue
            with self.lock:
                self.last[i] = record

    def total(self):
        """Summed over the processes: open, states, counters; and whether each is ready."""
        with self.lock:
            last = [dict(r) for r in self.last]
        states, count = collections.Counter(), collections.Counter()
        for r in last:
            states.update(r.get("states", {}))
            count.update(r.get("count", {}))
        lifetimes = [r["lifetime_median"] for r in last if r.get("lifetime_median") is not None]
        return {"open": sum(r.get("open", 0) for r in last), "states": states, "count": count,
                "ready": all(r.get("ready") for r in last), "closed": all(r.get("closed") for r in last),
                "closed_at": max((r.get("closed_at") or 0 for r in last), default=0),
                "final": all(r.get("final") for r in last),
                "lifetime": statistics_median(lifetimes)}

    def failed(self):
        return [p.returncode for p in self.procs if p.poll() not in (None, 0)]

    def send(self, line):
        for p in self.procs:
            try:
                p.stdin.write(line + "\n")
                p.stdin.flush()
            except (BrokenPipeError, OSError):
                pass

    def stop(self, timeout=30):
        self.send("stop")
        deadline = time.monotonic() + timeout
        for p in self.procs:
            try:
                p.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        codes = [p.returncode for p in self.procs]
        time.sleep(0.2)  # the readers' last lines
        return codes


def statistics_median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else None


def wait_until(condition, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


# ---------------------------------------------------------------- probe and sampler

class Probe(threading.Thread):
    """One GET at a time: on a fresh connection each (Connection: close), or
    on one kept-alive connection (reconnecting when the server closed it)."""

    def __init__(self, port, kept, every, timeout=30.0):
        super().__init__(daemon=True)
        self.port, self.kept, self.every, self.timeout = port, kept, every, timeout
        self.samples = []  # (start, seconds, error or None)
        self.stopping = threading.Event()
        self.sock = None

    def exchange(self):
        if self.sock is None:
            self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout)
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.sendall(b"GET /?probe HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                          (b"" if self.kept else b"Connection: close\r\n") + b"\r\n")
        data = b""
        while True:
            head = parse_head(data)
            if head and len(data) >= head[3] + max(0, head[1]):
                break
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionResetError("closed before the answer" if not data else "cut answer")
            data += chunk
        status, _, closes, head_size = head
        if not self.kept or closes:
            self.sock.close()
            self.sock = None
        if status != 200 or data[head_size:] != HELLO:
            return "answer %d" % status
        return None

    def once(self):
        reused = self.sock is not None
        try:
            return self.exchange()
        except (OSError, ValueError) as e:
            if self.sock is not None:
                self.sock.close()
                self.sock = None
            if reused and not isinstance(e, socket.timeout):
                try:  # the kept connection had been closed: a client tries a fresh one
                    return self.exchange()
                except (OSError, ValueError) as e2:
                    e = e2
                    if self.sock is not None:
                        self.sock.close()
                        self.sock = None
            return "timeout" if isinstance(e, socket.timeout) else type(e).__name__

    def run(self):
        while not self.stopping.is_set():
            started = time.monotonic()
            error = self.once()
            self.samples.append((started, time.monotonic() - started, error))
            self.stopping.wait(self.every)
        if self.sock is not None:
            self.sock.close()

    def summary(self, start, end):
        inside = [(lat, err, t) for t, lat, err in list(self.samples) if start <= t < end]
        ok = [lat * 1000 for lat, err, _ in inside if err is None]
        slowest = max(((lat, t) for lat, err, t in inside if err is None), default=(0, start))
        errors = collections.Counter(err for _, err, _ in inside if err is not None)
        return {"requests": len(inside), "errors": sum(errors.values()), "error_kinds": dict(errors),
                "p50": percentile(ok, 50) if ok else None, "p99": percentile(ok, 99) if ok else None,
                "max": max(ok) if ok else None, "max_at": slowest[1] - start}


class Sampler(threading.Thread):
    """The server's threads, descriptors and resident memory, every `every` s."""

    def __init__(self, server, every=0.25):
        super().__init__(daemon=True)
        self.server, self.every = server, every
        self.samples = []
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            try:
                self.samples.append((time.monotonic(), self.server.stats()))
            except (FileNotFoundError, ProcessLookupError, KeyError):
                return
            self.stopping.wait(self.every)

    def range(self, key, start, end):
        values = [st[key] for t, st in self.samples if start <= t < end]
        return (min(values), max(values)) if values else (None, None)


# ---------------------------------------------------------------- the server

class Scenario:
    """The server of one scenario and what every scenario reports."""

    def __init__(self, args, name, fd_need, keywords, file_path="", sleep=0.0):
        self.args, self.name = args, name
        self.pin = not args.no_pin and (os.cpu_count() or 1) >= 2 and shutil.which("taskset")
        if self.pin:
            os.sched_setaffinity(0, {1})  # this process and its client processes
        keywords = dict(keywords)
        keywords.setdefault("backlog", 4096)
        if args.max_connections:
            keywords["max_connections"] = args.max_connections
        keywords["threads"] = args.threads
        env = {}
        if args.zelweb:
            path = os.path.abspath(args.zelweb)
            if not os.path.isdir(path):
                raise SystemExit("--zelweb %s: not a directory" % path)
            env["PYTHONPATH"] = os.pathsep.join([path] + [p for p in [os.environ.get("PYTHONPATH")] if p])
        if raise_fd_limit(fd_need) < fd_need:
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            raise SystemExit(
                "%s needs %d descriptors in the server; the hard limit is %d and this process may "
                "not raise it (root with CAP_SYS_RESOURCE may): raise it first, e.g. "
                "`prlimit --nofile=%d:%d --pid $$` in the shell that runs this, or use fewer "
                "connections" % (name, fd_need, hard, fd_need + 1024, fd_need + 1024))
        settings = {"file": file_path, "sleep": sleep, "keywords": keywords}
        self.server = ServerProcess(script=SERVER, fd_limit=fd_need, pin=bool(self.pin), env=env,
                                    args=[json.dumps(settings)])
        out = self.server.output()
        m = re.search(r"\[bench\] zelweb from (\S+)", out)
        self.build = m.group(1) if m else "?"
        self.has_threads = "[bench] no threads keyword" not in out
        self.keywords = keywords if self.has_threads else {k: v for k, v in keywords.items()
                                                            if k != "threads"}
        self.sampler = Sampler(self.server)
        self.sampler.start()
        self.goals, self.rows = [], []

    def alive(self):
        return self.server.proc.poll() is None

    def goal(self, text, value, target, met, shown=None):
        self.goals.append({"goal": text, "value": value, "target": target,
                           "met": None if value is None else bool(met(value)),
                           "shown": shown if shown is not None else fmt(value, 1)})

    def threads_goal(self, start, end):
        low, high = self.sampler.range("threads", start, end)
        t = self.args.threads
        self.goal("server threads during the load (min-max)", high, "≤ %d (threads %d + %d)%s" % (
            t + FEW, t, FEW, "" if self.has_threads else "; this build has no threads keyword"),
            lambda v: v <= t + FEW, "%s-%s" % (low, high))

    def probe_goals(self, probes, start, end):
        for probe in probes:
            s = probe.summary(start, end)
            label = "probe, kept alive" if probe.kept else "probe, fresh connection"
            self.rows.append((label + ", loaded", s))
            self.goal("%s: p99 ms" % label, s["p99"], "≤ %g, no errors" % PROBE_GOAL_MS,
                      lambda v, s=s: v <= PROBE_GOAL_MS and s["errors"] == 0,
                      "%s (%d errors of %d)" % (fmt(s["p99"], 1), s["errors"], s["requests"]))

    def finish(self, extra_lines=(), failed=None):
        """Prints the report; returns the exit status."""
        self.sampler.stopping.set()
        self.sampler.join(2)
        died = not self.alive()
        code = None
        if not died:
            started = time.monotonic()
            self.server.proc.send_signal(signal.SIGTERM)
            try:
                code = self.server.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.server.proc.kill()
                self.server.proc.wait()
                code = "killed after 30 s"
            stop_s = time.monotonic() - started
        log = self.server.output()
        self.server.stop()
        a = self.args
        print("zelweb.serve, %s: %s" % (self.name, self.build))
        print("  serve keywords: %s" % ", ".join("%s=%r" % kv for kv in sorted(self.keywords.items())))
        print("  server on core 0, clients and probes on core 1" if self.pin else "  not pinned")
        for line in extra_lines:
            print("  " + line)
        if self.rows:
            print("  %-34s%9s%8s%9s%9s%9s%8s" % ("probe", "requests", "errors", "p50 ms", "p99 ms",
                                                 "max ms", "max at"))
            for label, s in self.rows:
                print("  %-34s%9d%8d%9s%9s%9s%7.1fs" % (
                    label, s["requests"], s["errors"], fmt(s["p50"], 1), fmt(s["p99"], 1),
                    fmt(s["max"], 1), s["max_at"]))
                if s["error_kinds"]:
                    print("  %-34s%s" % ("", ", ".join("%s: %d" % kv for kv in s["error_kinds"].items())))
        print("  goals:")
        for g in self.goals:
            verdict = "not measured" if g["met"] is None else "met" if g["met"] else "MISSED"
            print("    %-48s %-24s %-28s %s" % (g["goal"], g["shown"], g["target"], verdict))
        if died:
            failed = failed or "the server died (exit status %s)" % self.server.proc.returncode
            print("  server log (end):\n" + "\n".join("    " + x for x in log.splitlines()[-20:]))
        else:
            print("  SIGTERM: the server ended in %.2f s, exit status %s" % (stop_s, code))
        if failed:
            print("  RUN FAILED: %s" % failed)
        if a.json:
            with open(a.json, "a") as f:
                f.write(json.dumps({"scenario": self.name, "build": self.build, "keywords": self.keywords,
                                    "goals": self.goals, "probes": dict(self.rows),
                                    "failed": failed, "time": time.time()}) + "\n")
        return 1 if failed else 0


def fmt(x, digits=0):
    if x is None:
        return "–"
    if isinstance(x, float) and math.isnan(x):
        return "–"
    return "{:,.{}f}".format(x, digits)


def sources_for(count, given):
    if given:
        return given.split(",")
    # Each address gives about 28,000 ports towards one server port.
    return ["127.0.0.%d" % (2 + i) for i in range(max(2, math.ceil(count / 20000)))]


# ---------------------------------------------------------------- scenarios

def run_with_probe(args, sc, mode, count, limit_extra=0.0, **swarm_options):
    """The common run of slowloris, idle and slow-readers."""
    probes = [Probe(sc.server.port, kept, args.probe_every) for kept in (False, True)]
    alone_start = time.monotonic()
    for p in probes:
        p.start()
    time.sleep(args.alone)
    alone_end = time.monotonic()
    base_threads = sc.server.stats()["threads"]
    ramp_limit = args.ramp
    limit = args.alone + ramp_limit + args.duration + 60 + limit_extra
    cpu_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    swarms = Swarms(mode, sc.server.port, count, args.per_process, sources_for(count, args.sources),
                    limit, window=args.window, **swarm_options)
    failed = None
    ramp_start = time.monotonic()
    reached = wait_until(lambda: swarms.total()["open"] >= count or swarms.failed() or not sc.alive(),
                         ramp_limit, 0.1)
    if swarms.failed():
        failed = "a client process failed (%s)" % swarms.failed()
    ramp_s = time.monotonic() - ramp_start
    start = time.monotonic()
    end = start + args.duration
    opened = []
    while time.monotonic() < end and sc.alive() and not swarms.failed():
        opened.append(swarms.total()["open"])
        time.sleep(0.5)
    end = min(end, time.monotonic())
    total = swarms.total()
    for p in probes:
        p.stopping.set()
    for p in probes:
        p.join(35)
    codes = swarms.stop()
    final = swarms.total()
    cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_share = (cpu.ru_utime + cpu.ru_stime - cpu_before.ru_utime - cpu_before.ru_stime) / max(
        0.1, time.monotonic() - ramp_start)
    if any(codes) and not failed:
        failed = "a client process ended with %s" % codes
    if not sc.alive():
        failed = failed or "the server died"
    for probe in probes:
        sc.rows.append(("%s, alone" % ("probe, kept alive" if probe.kept else "probe, fresh connection"),
                        probe.summary(alone_start, alone_end)))
    sc.probe_goals(probes, start, end)
    sc.threads_goal(start, end)
    low, high = sc.sampler.range("fds", start, end)
    rss = sc.sampler.range("rss_kib", start, end)
    count_ = final["count"] or total["count"]
    extra = ["%d %s clients%s; all open after %s; open during the load: %s-%s; %d s loaded" % (
        count, mode, " from %s" % ",".join(sources_for(count, args.sources)),
        "%.1f s" % ramp_s if reached else "**not all open after %g s**" % ramp_limit,
        min(opened) if opened else "–", max(opened) if opened else "–", args.duration),
        "server: %d threads idle; during the load %s-%s descriptors, RSS %s-%s MiB" % (
            base_threads, low, high, fmt(rss[0] and rss[0] / 1024, 1), fmt(rss[1] and rss[1] / 1024, 1)),
        "clients: " + ", ".join("%s %d" % kv for kv in sorted(count_.items())),
        "client processes: %d, %.0f%% of a core (near 100%%: the clients, not the server, "
        "were the limit)" % (len(swarms.procs), 100 * cpu_share)]
    if count_.get("bytes read"):
        extra.append("the clients read %s bytes/s each on average" % fmt(
            count_["bytes read"] / count / max(0.1, end - ramp_start)))
    if total["lifetime"] is not None:
        extra.append("a connection closed by the server had lived %.1f s (median)" % total["lifetime"])
    if not reached and not failed and total["open"] == 0:
        failed = "no client connection opened"
    return extra, failed


def scenario_slowloris(args):
    n = args.clients
    sc = Scenario(args, "slowloris, %d clients" % n, n + 1024, {"keep_alive": args.keep_alive})
    try:
        extra, failed = run_with_probe(args, sc, "slowloris", n, interval=args.interval)
    except BaseException:
        sc.finish(failed="interrupted")
        raise
    return sc.finish(extra, failed)


def scenario_idle(args):
    n = args.connections
    sc = Scenario(args, "idle kept-alive, %d connections" % n, n + 1024, {"keep_alive": args.keep_alive})
    try:
        extra, failed = run_with_probe(args, sc, "idle", n)
    except BaseException:
        sc.finish(failed="interrupted")
        raise
    return sc.finish(extra, failed)


def make_file(directory, nbytes):
    path = os.path.join(directory, "file.bin")
    block = os.urandom(1 << 16)
    with open(path, "wb") as f:
        left = nbytes
        while left:
            f.write(block[:min(left, len(block))])
            left -= min(left, len(block))
    return path


def scenario_slow_readers(args):
    n = args.clients
    directory = tempfile.mkdtemp(prefix="zelweb-core-load-")
    try:
        path = make_file(directory, args.size)
        sc = Scenario(args, "slow readers, %d clients of a %s-byte file at %s bytes/s" % (
            n, fmt(args.size), fmt(args.rate)), n * 2 + 1024, {"keep_alive": args.keep_alive}, path)
        try:
            extra, failed = run_with_probe(args, sc, "slow-readers", n, rate=args.rate,
                                           rcvbuf=args.rcvbuf, path="/file")
        except BaseException:
            sc.finish(failed="interrupted")
            raise
        return sc.finish(extra, failed)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def scenario_hold(args):
    n = args.connections
    # keep_alive outlasts opening, holding and closing
    keep = 120.0 + n / 100.0 + args.hold
    # With workers, each process holds its share (and needs descriptors for it
    # alone), and the figures are summed over them.
    workers = max(1, getattr(args, "workers", 1))
    share = n // workers + n // (10 * workers) + 100
    keywords = {"keep_alive": keep, "max_connections": args.max_connections or share}
    if workers > 1:
        keywords["workers"] = workers
    sc = Scenario(args, "hold, %d idle kept-alive connections%s" % (
        n, "" if workers == 1 else " in %d workers" % workers), share + 256, keywords)
    failed, extra = None, []
    swarms = None
    try:
        time.sleep(0.3)
        warm = Probe(sc.server.port, False, 0)
        for _ in range(20):
            warm.once()
        time.sleep(1.0)
        idle = sc.server.stats()
        sources = sources_for(n, args.sources)
        open_limit = 30.0 + n / 500.0
        swarms = Swarms("hold", sc.server.port, n, args.per_process, sources, open_limit + args.hold + 120,
                        window=args.window, answer_timeout=30.0, connect_timeout=30.0)
        started = time.monotonic()
        ready = wait_until(lambda: swarms.total()["ready"] or swarms.failed() or not sc.alive(),
                           open_limit, 0.1)
        opened_s = time.monotonic() - started
        if swarms.failed() or not sc.alive():
            raise RuntimeError("a client process failed" if swarms.failed() else "the server died")
        time.sleep(args.hold)
        held = sc.server.stats()
        total = swarms.total()
        probe_error = Probe(sc.server.port, False, 0).once()
        count = total["states"].get("idle", 0)
        closing = time.monotonic()
        swarms.send("close")
        tolerance = args.rss_tolerance * 1024

        def back():
            st = sc.server.stats()
            return (st["threads"] <= idle["threads"] and st["fds"] <= idle["fds"]
                    and st["rss_kib"] <= idle["rss_kib"] + tolerance)

        is_back = wait_until(back, args.settle, 0.02)
        back_at = time.monotonic()
        back_s = back_at - closing
        clients_closed = wait_until(lambda: swarms.total()["closed"], 10, 0.05)
        closed_at = swarms.total()["closed_at"] or closing
        closed_s = closed_at - closing
        after_close_s = max(0.0, back_at - closed_at)
        after = sc.server.stats()
        swarms.stop()
        errors = {k[len("error: "):]: v for k, v in total["count"].items() if k.startswith("error: ")}
        per_conn = (held["rss_kib"] - idle["rss_kib"]) / count if count else None
        extra = [
            "%d connections from %s, %s in %.1f s; held %g s" % (
                n, ",".join(sources), "all answered once" if ready else "**not all ready**",
                opened_s, args.hold),
            "%-8s%10s%9s%9s" % ("server", "RSS MiB", "threads", "fds"),
            *("%-8s%10.1f%9d%9d" % (label, st["rss_kib"] / 1024, st["threads"], st["fds"])
              for label, st in (("idle", idle), ("held", held), ("after", after))),
            "a fresh connection beside them: %s" % (probe_error or "answered"),
            "clients closed theirs in %.2f s%s; the server was back %.2f s after the first close" % (
                closed_s, "" if clients_closed else " (**not all**)", back_s),
            "errors: %s" % (", ".join("%s: %d" % kv for kv in sorted(errors.items())) or "none")]
        sc.goal("resident memory per held connection, KiB", per_conn, "≤ 6",
                lambda v: v <= 6.0, "%s (%d held)" % (fmt(per_conn, 2), count))
        sc.goal("errors", sum(errors.values()) + (1 if probe_error else 0), "0", lambda v: v == 0,
                "%d" % (sum(errors.values()) + (1 if probe_error else 0)))
        sc.goal("back to idle threads, fds, RSS (+%g MiB), s" % args.rss_tolerance,
                after_close_s if is_back else None, "≤ 2 from the last close", lambda v: v <= 2.0,
                "%.2f" % after_close_s if is_back else "not back in %g s" % args.settle)
        if not ready:
            failed = "not every connection was set up within %.0f s" % open_limit
    except (RuntimeError, OSError) as e:
        failed = str(e)
    except BaseException:
        if swarms:
            swarms.stop(5)
        sc.finish(failed="interrupted")
        raise
    if swarms:
        swarms.stop(5)
    return sc.finish(extra, failed)


def scenario_sleepy(args):
    if not shutil.which("wrk"):
        raise SystemExit("wrk is missing (Debian package wrk)")
    n = args.clients
    sc = Scenario(args, "a route sleeping %g s, %d kept-alive clients" % (args.sleep, n), n + 1024,
                  {"keep_alive": args.keep_alive}, sleep=args.sleep)
    failed, extra, rps = None, [], None
    try:
        argv = ["wrk", "-t1", "-c%d" % n, "-d%ds" % args.duration, "--latency",
                "--timeout", "%ds" % max(10, int(n * args.sleep * 4)),
                "http://127.0.0.1:%d/sleep" % sc.server.port]
        start = time.monotonic()
        out = subprocess.run(argv, capture_output=True, text=True, timeout=args.duration + 60)
        end = time.monotonic()
        if out.returncode != 0:
            failed = "wrk failed: " + out.stderr.strip()
        else:
            rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out.stdout).group(1))
            requests = int(re.search(r"(\d+) requests in", out.stdout).group(1))
            m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out.stdout)
            errors = sum(map(int, m.groups())) if m else 0
            m = re.search(r"Non-2xx or 3xx responses: (\d+)", out.stdout)
            errors += int(m.group(1)) if m else 0
            lat = dict(re.findall(r"^\s*(50|99)%\s+(\S+)\s*$", out.stdout, re.M))
            extra.append("wrk -t1 -c%d -d%ds: %d requests, %.1f req/s, p50 %s, p99 %s, %d errors" % (
                n, args.duration, requests, rps, lat.get("50"), lat.get("99"), errors))
            if errors:
                failed = "wrk counted %d errors" % errors
        low, high = sc.sampler.range("threads", start, end)
        extra.append("server threads during the load: %s-%s" % (low, high))
        target = 0.9 * args.threads / args.sleep
        sc.goal("requests/s", rps, "≥ %.1f (0.9 x %d threads / %g s)%s" % (
            target, args.threads, args.sleep, "" if sc.has_threads else "; no threads keyword"),
            lambda v: v >= target, fmt(rps, 1))
    except BaseException:
        sc.finish(failed="interrupted")
        raise
    return sc.finish(extra, failed)


# ---------------------------------------------------------------- all

ALL = [
    ["slowloris", "--clients", "1100"],
    ["slowloris", "--clients", "10000"],
    ["idle", "--connections", "10000"],
    ["slow-readers", "--clients", "1000", "--size", "10MB", "--rate", "10KB/s"],
    ["hold", "--connections", "50000"],
    ["sleepy", "--clients", "256", "--sleep", "0.2"],
]


def run_all(args):
    """Every scenario at the goals' sizes, against this build and, with
    --against, against another one right after each; one summary."""
    results = args.json or os.path.join(tempfile.mkdtemp(prefix="zelweb-core-load-"), "results.jsonl")
    builds = [("this build", args.zelweb)] + ([("against", args.against)] if args.against else [])
    status = 0
    offset = os.path.getsize(results) if os.path.exists(results) else 0
    for scenario in ALL:
        if args.only and scenario[0] not in args.only.split(","):
            continue
        for label, path in builds:
            argv = [sys.executable, HERE, *scenario, "--json", results]
            if path:
                argv += ["--zelweb", path]
            if args.no_pin:
                argv.append("--no-pin")
            if label == "against" and scenario[0] == "hold" and args.against_hold:
                argv[argv.index("50000")] = str(args.against_hold)
            print("$ " + " ".join(argv[1:]), flush=True)
            before = os.path.getsize(results) if os.path.exists(results) else 0
            code = subprocess.run(argv).returncode
            status = status or code
            if (os.path.getsize(results) if os.path.exists(results) else 0) == before:
                with open(results, "a") as f:  # stopped before it measured anything
                    f.write(json.dumps({"scenario": " ".join(scenario), "build": path or "installed",
                                        "goals": [], "failed": "exit status %d, see above" % code})
                            + "\n")
            print(flush=True)
    print("summary (%s):" % results)
    with open(results) as f:
        f.seek(offset)
        for line in f:
            r = json.loads(line)
            print("  %s -- %s%s" % (r["scenario"], r["build"], " -- RUN FAILED: %s" % r["failed"]
                                    if r["failed"] else ""))
            for g in r["goals"]:
                print("    %-48s %-24s %-28s %s" % (g["goal"], g["shown"], g["target"],
                                                    "not measured" if g["met"] is None else
                                                    "met" if g["met"] else "MISSED"))
    return status


# ---------------------------------------------------------------- main

def main():
    if sys.argv[1:2] == ["swarm"]:
        return swarm_main(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="scenario", required=True)

    def common(p, duration=30):
        p.add_argument("--zelweb", metavar="PATH",
                       help="a build directory put first on the server's PYTHONPATH")
        p.add_argument("--threads", type=int, default=16,
                       help="serve's application threads (16); not passed to a build without them")
        p.add_argument("--max-connections", type=int, help="serve's max_connections (its default)")
        p.add_argument("--keep-alive", type=float, default=5.0, help="serve's keep_alive, s (5)")
        p.add_argument("--duration", type=float, default=duration,
                       help="seconds of load once every client is open (%g)" % duration)
        p.add_argument("--per-process", type=int, default=10000,
                       help="connections per client process (10000)")
        p.add_argument("--window", type=int, default=256, help="connections being set up at once, "
                       "per client process (256)")
        p.add_argument("--sources", help="client source addresses, comma-separated "
                       "(default 127.0.0.2 and up, one per 20,000 connections, two at least)")
        p.add_argument("--probe-every", type=float, default=0.05,
                       help="pause between two probe requests, s (0.05)")
        p.add_argument("--alone", type=float, default=2.0, help="seconds of probing before the load (2)")
        p.add_argument("--ramp", type=float, default=20.0,
                       help="at most this long for every client to be open before the load is "
                            "measured anyway (20 s)")
        p.add_argument("--no-pin", action="store_true", help="server and clients on any core")
        p.add_argument("--json", metavar="FILE", help="append the results to FILE as a JSON line")

    p = sub.add_parser("slowloris", help="clients sending a head one byte every 2 s, reconnecting")
    common(p)
    p.add_argument("--clients", type=int, default=1100)
    p.add_argument("--interval", type=float, default=2.0, help="seconds between two bytes (2)")
    p = sub.add_parser("idle", help="kept-alive connections idle after one request, reconnecting")
    common(p)
    p.add_argument("--connections", type=int, default=10000)
    p = sub.add_parser("slow-readers", help="clients reading a large file response slowly")
    common(p)
    p.add_argument("--clients", type=int, default=1000)
    p.add_argument("--size", type=size, default=size("10MB"), help="the file (10MB)")
    p.add_argument("--rate", type=size, default=size("10KB/s"), help="each client's rate (10KB/s)")
    p.add_argument("--rcvbuf", type=int, default=16384,
                   help="each client's SO_RCVBUF, so that the kernel does not read ahead (16384)")
    p = sub.add_parser("hold", help="idle kept-alive connections held: memory per connection, the return")
    common(p)
    p.add_argument("--connections", type=int, default=50000)
    p.add_argument("--workers", type=int, default=1,
                   help="serve's workers (1); more spreads the connections over processes, each "
                        "within the descriptor limit, and the figures are summed")
    p.add_argument("--hold", type=float, default=5.0, help="seconds they are held (5)")
    p.add_argument("--settle", type=float, default=30.0, help="seconds allowed for the return (30)")
    p.add_argument("--rss-tolerance", type=float, default=4.0,
                   help="MiB above the idle RSS still taken as back (4)")
    p = sub.add_parser("sleepy", help="a route that sleeps, many kept-alive clients (wrk)")
    common(p, duration=15)
    p.add_argument("--clients", type=int, default=256)
    p.add_argument("--sleep", type=float, default=0.2)
    p = sub.add_parser("all", help="every scenario at the goals' sizes")
    p.add_argument("--zelweb", metavar="PATH", help="the build under test (default: the installed one)")
    p.add_argument("--against", metavar="PATH", help="a second build run right after each scenario")
    p.add_argument("--against-hold", type=int, default=10000,
                   help="connections of the hold scenario for the second build, which may hold "
                        "a thread per connection (10000)")
    p.add_argument("--only", help="comma list of scenarios")
    p.add_argument("--no-pin", action="store_true")
    p.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    if args.scenario == "all":
        return run_all(args)
    run = {"slowloris": scenario_slowloris, "idle": scenario_idle, "slow-readers": scenario_slow_readers,
           "hold": scenario_hold, "sleepy": scenario_sleepy}[args.scenario]
    return run(args)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # the servers are stopped on the way out
    sys.exit(main())
