"""Shared by the load, slow-client and memory benches: a zelweb server in a
process of its own, and what /proc says about it."""
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HELLO = os.path.join(ROOT, "examples", "hello.py")

# Used when examples/hello.py is missing: answers every request with a short page.
MINIMAL_APP = r"""
import os, signal, sys, zelweb
class App:
    def route(self, http):
        http.c_text(b"<h1>Hello, world!</h1>")
os.makedirs("tmp", exist_ok=True)
signal.signal(signal.SIGINT, signal.SIG_DFL)
zelweb.start(App(), b"127.0.0.1", int(sys.argv[2]), 0)
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def raise_fd_limit(wanted):
    """Raises this process's open-file limit: the hard one too when the
    process may (root with CAP_SYS_RESOURCE), else the soft one up to it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < wanted:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, wanted))
            return wanted
        except (ValueError, OSError):
            pass
    target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
    if soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def cpu_pinning():
    """(server prefix, client prefix): separate cores when there are two."""
    if (os.cpu_count() or 1) >= 2 and shutil.which("taskset"):
        return ["taskset", "-c", "0"], ["taskset", "-c", "1"]
    return [], []


def children_of(pid):
    """The PIDs of a process's children (serve's workers)."""
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(c) for c in f.read().split()]
    except FileNotFoundError:
        pass
    return found


class ServerProcess:
    """examples/hello.py (or a minimal app) on a free port, in a temporary directory."""

    def __init__(self, script=None, fd_limit=8192, pin=True, env=None, args=()):
        self.dir = tempfile.mkdtemp(prefix="zelweb-bench-")
        os.makedirs(os.path.join(self.dir, "tmp"))
        self.port = free_port()
        if script is None and os.path.exists(HELLO):
            argv = [HELLO, "127.0.0.1", str(self.port)]
            self.app = "examples/hello.py"
        else:
            argv = ["-c", script or MINIMAL_APP, "127.0.0.1", str(self.port), *args]
            self.app = "bench app" if script else "minimal app"
        prefix = cpu_pinning()[0] if pin else []
        self.log = open(os.path.join(self.dir, "server.log"), "w+")

        def limits():
            raise_fd_limit(fd_limit)

        self.proc = subprocess.Popen(prefix + [sys.executable, "-u"] + argv, cwd=self.dir,
                                     stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=limits,
                                     env={**os.environ, **(env or {})})
        self.pid = self.proc.pid
        deadline = time.monotonic() + 15
        while "[-] Serving" not in self.output():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the server did not start:\n" + self.output())
            time.sleep(0.05)

    def output(self):
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def stats(self):
        """Open descriptors, threads, resident and virtual memory (KiB) of the
        server, summed over its worker processes when it has some."""
        total = {"fds": 0, "threads": 0, "rss_kib": 0, "vm_kib": 0}
        for pid in [self.pid] + children_of(self.pid):
            try:
                fds = len(os.listdir(f"/proc/{pid}/fd"))
                status = {}
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        key, _, value = line.partition(":")
                        status[key] = value.split()[0] if value.split() else ""
            except FileNotFoundError:
                if pid == self.pid:
                    raise
                continue  # a worker that has just ended
            total["fds"] += fds
            total["threads"] += int(status["Threads"])
            total["rss_kib"] += int(status["VmRSS"])
            total["vm_kib"] += int(status["VmSize"])
        return total

    def tmp_files(self):
        return os.listdir(os.path.join(self.dir, "tmp"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def request_once(port, target=b"/", timeout=10.0):
    """One request on its own connection; the whole reply."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def wait_for(condition, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = min(len(ordered) - 1, max(0, int(round(p / 100.0 * (len(ordered) - 1)))))
    return ordered[k]
