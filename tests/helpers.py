"""Helpers the test modules share: loopback ports, reading until close, the
expected response head, request builders, and servers run in their own
process and stopped by their PID."""
import email.utils
import io
import os
import pathlib
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime, timedelta, timezone

import zelweb

HOST = "127.0.0.1"


# --- ports, sockets, waiting -------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((HOST, port), timeout=1):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"nothing listens on {port}")


def wait_until(condition, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def gone(path, timeout=3.0):
    """True once the file no longer exists (the server removes it after the response)."""
    deadline = time.monotonic() + timeout
    while os.path.exists(path):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def fd_count():
    return len(os.listdir("/proc/self/fd"))


class Baseline:
    """The threads and descriptors of this process before a test's connections:
    threads started after it are the connections' own, and once they have ended
    the server has done all it will do (and print) for them."""

    def __init__(self):
        self.threads = set(threading.enumerate())
        self.fds = fd_count()

    def new_threads(self):
        return [t for t in threading.enumerate() if t not in self.threads]

    def started(self, timeout=10.0):
        return wait_until(lambda: bool(self.new_threads()), timeout)

    def settled(self, timeout=10.0):
        return wait_until(lambda: not self.new_threads() and fd_count() <= self.fds, timeout)

    def __repr__(self):
        return f"Baseline(new threads {self.new_threads()}, fds {fd_count()} of {self.fds})"


class ServerEnd:
    """The server's end of a loopback connection as the kernel lists it in
    /proc/net/tcp: whether the server has accepted it and read every byte sent."""

    def __init__(self, client):
        self.server_port = client.getpeername()[1]
        self.client_port = client.getsockname()[1]

    def entry(self):
        """(state, bytes unread by the server, inode) or None once the kernel dropped it."""
        with open("/proc/net/tcp") as f:
            next(f)
            for line in f:
                fields = line.split()
                local, remote = (int(a.split(":")[1], 16) for a in fields[1:3])
                if (local, remote) == (self.server_port, self.client_port):
                    return int(fields[3], 16), int(fields[4].split(":")[1], 16), int(fields[9])
        return None

    def has_read_all(self):
        """Accepted (a socket with an inode), nothing waiting unread: the server blocks
        in a receive for more, or has gone past reading."""
        entry = self.entry()
        return entry is not None and entry[2] != 0 and entry[1] == 0

    def dropped(self):
        """The kernel no longer lists it: a reset reached the server's socket."""
        return self.entry() is None


def read_to_close(sock):
    """Everything the peer sends until it closes (or resets) the connection."""
    chunks = []
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def unverified_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


# --- what the server prints --------------------------------------------------------

class Output:
    """Collects what the server threads print while a test runs; they print
    asynchronously, after the response, so a reader waits for what it expects.

    Descriptors 1 and 2 and sys.stdout/sys.stderr go to files of its own that
    are read in place: a capture that is emptied on every read (capfd) loses
    what a thread writes between the read and the emptying."""

    def __init__(self):
        self._files, self._saved = {}, {}

    def __enter__(self):
        for name, fd in (("out", 1), ("err", 2)):
            getattr(sys, "std" + name).flush()
            f = tempfile.TemporaryFile(buffering=0)
            self._saved[name] = (os.dup(fd), getattr(sys, "std" + name))
            os.dup2(f.fileno(), fd)
            setattr(sys, "std" + name, io.TextIOWrapper(
                io.FileIO(fd, "w", closefd=False), encoding="utf-8",
                errors="backslashreplace", write_through=True))
            self._files[name] = f
        return self

    def __exit__(self, *exc):
        for name, fd in (("out", 1), ("err", 2)):
            saved_fd, saved_stream = self._saved.pop(name)
            setattr(sys, "std" + name, saved_stream)
            os.dup2(saved_fd, fd)
            os.close(saved_fd)
            self._files.pop(name).close()

    def read(self, stream="out"):
        """All captured so far on stdout ("out") or stderr ("err")."""
        fd = self._files[stream].fileno()
        # pread leaves the offset alone: the writers share it
        return os.pread(fd, os.fstat(fd).st_size, 0).decode("utf-8", "backslashreplace")

    def wait_for(self, *needles, stream="out", timeout=5.0):
        """Returns the captured text once it holds every needle; raises if it never does."""
        deadline = time.monotonic() + timeout
        while True:
            text = self.read(stream)
            if all(n in text for n in needles):
                return text
            if time.monotonic() > deadline:
                missing = [n for n in needles if n not in text]
                raise AssertionError(f"{missing!r} never appeared on std{stream}: {text!r}")
            time.sleep(0.02)


# --- responses ---------------------------------------------------------------------

def head(length, status=b"200 OK", extra=b"", cookies=b"", content_type=b"text/html"):
    """The response head byte for byte, as zelweb writes it."""
    return (b"HTTP/1.1 " + status + b"\r\n" + extra + b"server: Tovrel\r\nConnection: close\r\n" + cookies +
            b"Content-Type: " + content_type + b"\r\nContent-Length: " +
            str(length).encode() + b"\r\n\r\n")


def text_response(body):
    """The whole reply to a route that set only its text."""
    return head(len(body)) + body


def header_lines(pairs):
    return b"".join(k + b": " + v + b"\r\n" for k, v in pairs)


def cookie_lines(pairs):
    return b"".join(b"Set-Cookie: " + k + b"=" + v + b"\r\n" for k, v in pairs)


def ok(response):
    return response.startswith(b"HTTP/1.1 200 OK\r\n")


def answer(server, handler, target=b"/r", request=None):
    """Serves one request with handler; the GET for target unless a raw request is given."""
    server.handle(target.split(b"?")[0], handler)
    if request is None:
        return server.get(target)
    return server.raw(request)


def assert_next_client_served(server):
    server.handle(b"/next", lambda http: http.c_text(b"next ok"))
    assert server.get(b"/next") == text_response(b"next ok")


# --- requests ----------------------------------------------------------------------

FORM = b"application/x-www-form-urlencoded"


def post_request(path, body, ctype=FORM, length=None, extra=b""):
    """A POST; ctype None leaves out Content-Type, length False leaves out Content-Length."""
    head = b"POST " + path + b" HTTP/1.1\r\nHost: x\r\n"
    if ctype is not None:
        head += b"Content-Type: " + ctype + b"\r\n"
    if length is None:
        length = len(body)
    if length is not False:
        head += b"Content-Length: " + str(length).encode() + b"\r\n"
    return head + extra + b"\r\n" + body


def part(name, data, filename=None, ctype=None):
    head = b'Content-Disposition: form-data; name="' + name + b'"'
    if filename is not None:
        head += b'; filename="' + filename + b'"'
    head += b"\r\n"
    if ctype is not None:
        head += b"Content-Type: " + ctype + b"\r\n"
    return head + b"\r\n", data


def multipart(parts, boundary=b"XYZ", epilogue=b""):
    body = b""
    for head, data in parts:
        body += b"--" + boundary + b"\r\n" + head + data + b"\r\n"
    return body + b"--" + boundary + b"--\r\n" + epilogue


def upload_request(path, body, boundary=b"XYZ", length=None, extra=b""):
    return post_request(path, body, b"multipart/form-data; boundary=" + boundary, length, extra)


def capture_upload(server, path, fields=(), reply=None):
    """Registers a handler that records the upload as route saw it (and answers
    reply, if given); returns the list of records."""
    seen = []

    def handler(http):
        tmp = http.c_files(b"tmp_name")
        data = None
        if tmp and os.path.exists(tmp):
            with open(tmp, "rb") as f:
                data = f.read()
        seen.append({
            "name": http.c_files(b"name"), "type": http.c_files(b"type"),
            "tmp": tmp, "size": http.c_files(b"size"), "data": data, "json": http.c_json(),
            "fields": {k: http.c_post(k) for k in fields},
        })
        if reply is not None:
            http.c_text(reply)
    server.handle(path, handler)
    return seen


# --- servers in their own process --------------------------------------------------

def zelweb_env(**extra):
    """The environment for a child interpreter that imports the zelweb this session imported."""
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(zelweb.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    return env


class ScriptServer:
    """`python -c code <port> *args` in cwd, stdout and stderr in files there;
    a context manager that kills it by its PID on exit."""

    def __init__(self, code, cwd, *args):
        self.port = free_port()
        self.stdout, self.stderr = cwd / "out", cwd / "err"
        with open(self.stdout, "w") as o, open(self.stderr, "w") as e:
            self.proc = subprocess.Popen([sys.executable, "-c", code, str(self.port), *map(str, args)],
                                         cwd=cwd, stdout=o, stderr=e)
        try:
            wait_listening(self.port)
        except BaseException:
            self.stop()
            raise

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class LoggedProcess:
    """A long-running child with its output in one log file, stopped by its PID:
    SIGKILL at once, or SIGTERM first when `grace` seconds are given."""

    def __init__(self, argv, cwd, log_name, env=None, grace=None):
        self.cwd = cwd
        self.grace = grace
        self.log = open(os.path.join(cwd, log_name), "w+")
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=self.log,
                                     stderr=subprocess.STDOUT)

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        if self.proc.poll() is None:
            if self.grace is None:
                os.kill(self.proc.pid, signal.SIGKILL)
            else:
                os.kill(self.proc.pid, signal.SIGTERM)
                try:
                    self.proc.wait(timeout=self.grace)
                except subprocess.TimeoutExpired:
                    os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait(timeout=10)
        self.log.close()


EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


class ExampleProcess(LoggedProcess):
    """An example script run as users run it, `python <script> <host> <port>`,
    serving on a free port."""

    def __init__(self, script, cwd, log_name="example.log", env=None, grace=None):
        self.port = free_port()
        super().__init__([sys.executable, str(EXAMPLES / script), HOST, str(self.port)],
                         cwd, log_name, env, grace)
        try:
            wait_listening(self.port)
        except RuntimeError:
            log = self.output()
            self.stop()
            raise RuntimeError(f"{script} did not start:\n{log}")

    def url(self, path, scheme="http"):
        return f"{scheme}://{HOST}:{self.port}{path}"


# --- what route saw of a body ------------------------------------------------------

def capture_body(server, path, fields=(), reply=None):
    """Registers a handler that records c_body, c_json and the given c_post fields
    (and answers reply, if given); returns the list of records."""
    seen = []

    def handler(http):
        seen.append({"body": http.c_body(), "json": http.c_json(),
                     "fields": {k: http.c_post(k) for k in fields}})
        if reply is not None:
            http.c_text(reply)
    server.handle(path, handler)
    return seen


def read_file(path):
    """The bytes of the file, None for an empty path."""
    if not path:
        return None
    with open(path, "rb") as f:
        return f.read()


def capture_uploads(server, path, fields=(), reply=None):
    """Registers a handler that records c_uploads, the bytes of each kept file (read
    inside route), the first file as c_files describes it and the given c_post fields."""
    seen = []

    def handler(http):
        entries = http.c_uploads()
        seen.append({"uploads": entries, "data": [read_file(e[3]) for e in entries],
                     "first": [http.c_files(k) for k in (b"name", b"type", b"tmp_name", b"size")],
                     "fields": {k: http.c_post(k) for k in fields}})
        if reply is not None:
            http.c_text(reply)
    server.handle(path, handler)
    return seen


def send_while_reading(port, data, timeout=30):
    """Sends data from a second thread while reading the reply until close, so that a
    server that stops reading early and resets still has its reply read."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        def send():
            try:
                s.sendall(data)
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        try:
            return read_to_close(s)
        finally:
            sender.join(timeout)


# --- serve: persistent connections -------------------------------------------------

DATE_LINE = re.compile(rb"\r\nDate: ([^\r\n]*)\r\n")


def serve_head(length, connection=b"keep-alive", status=b"200 OK", extra=b"", cookies=b"",
               content_type=b"text/html"):
    """The response head serve writes, its Date value as "*" (see undated)."""
    return (b"HTTP/1.1 " + status + b"\r\n" + extra + b"server: Tovrel\r\nConnection: " +
            connection + b"\r\nDate: *\r\n" + cookies + b"Content-Type: " + content_type +
            b"\r\nContent-Length: " + str(length).encode() + b"\r\n\r\n")


def check_date(value):
    """An IMF-fixdate in GMT, within a few seconds of now."""
    text = value.decode() if isinstance(value, bytes) else value
    when = email.utils.parsedate_to_datetime(text)
    assert text == email.utils.format_datetime(when.astimezone(timezone.utc), usegmt=True), text
    assert abs(when - datetime.now(timezone.utc)) < timedelta(seconds=10), text


def undated(data):
    """data with every Date value checked and replaced by "*"."""
    for value in DATE_LINE.findall(data):
        check_date(value)
    return DATE_LINE.sub(b"\r\nDate: *\r\n", data)


def check_server_made(reply, status):
    """A response the server made itself: text/plain, Connection: close, then the end."""
    head, _, body = undated(reply).partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    assert lines[0].startswith(b"HTTP/1.1 " + status + b" "), reply
    for line in (b"Connection: close", b"Date: *", b"Content-Type: text/plain",
                 b"Content-Length: %d" % len(body)):
        assert line in lines, reply
    assert body


class Conn:
    """One client connection kept open: requests sent on it, responses read one at a time."""

    def __init__(self, port, host=HOST, timeout=10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError(f"closed before a whole response; got {self.buffer!r}")
        self.buffer += chunk

    def response(self):
        """The next response, framed by its Content-Length."""
        while b"\r\n\r\n" not in self.buffer:
            self._fill()
        head = self.buffer.partition(b"\r\n\r\n")[0]
        length = re.search(rb"\r\nContent-Length: (\d+)(?:\r\n|$)", head)
        end = len(head) + 4 + (int(length.group(1)) if length else 0)
        while len(self.buffer) < end:
            self._fill()
        reply, self.buffer = self.buffer[:end], self.buffer[end:]
        return reply

    def closed(self):
        """Waits for the server to close; True if it sent nothing more before."""
        return read_to_close(self.sock) == b"" and self.buffer == b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def children(pid):
    """The live (not zombie) processes whose parent is pid."""
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                state, ppid = f.read().rpartition(")")[2].split()[:2]
        except OSError:
            continue
        if int(ppid) == pid and state != "Z":
            found.add(int(entry))
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


class ServeProcess:
    """`python -u -c code *args` in cwd (which holds tmp/ and cert/), on the port its
    banner names; a context manager that kills it and its children by PID on exit."""

    BANNER = re.compile(r"^\[-\] Serving: (.*):(\d+)$", re.M)

    def __init__(self, code, cwd, *args):
        self._launch([sys.executable, "-u", "-c", code, *map(str, args)], cwd)

    def _launch(self, argv, cwd, env=None):
        self.cwd = pathlib.Path(cwd)
        self.out_path, self.err_path = self.cwd / "out", self.cwd / "err"
        with open(self.out_path, "w") as o, open(self.err_path, "w") as e:
            self.proc = subprocess.Popen(argv, cwd=cwd, stdout=o, stderr=e, env=env or zelweb_env())
        try:
            banner = self.wait_match(self.BANNER)
        except BaseException:
            self.stop()
            raise
        self.banner_host, self.port = banner.group(1), int(banner.group(2))

    def output(self, stream="out"):
        return (self.out_path if stream == "out" else self.err_path).read_text()

    def wait_match(self, pattern, stream="out", timeout=20.0):
        """The first match of pattern in the output, once there; raises if it never is."""
        deadline = time.monotonic() + timeout
        while True:
            found = re.search(pattern, self.output(stream))
            if found:
                return found
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"{pattern!r} never appeared (status {self.proc.poll()}):\n"
                                     f"{self.output()}\n{self.output('err')}")
            time.sleep(0.02)

    def wait_for(self, needle, stream="out", timeout=20.0):
        return self.wait_match(re.escape(needle), stream, timeout)

    def wait(self, timeout):
        """The exit status, once it has exited within timeout seconds."""
        return self.proc.wait(timeout)

    def stop(self):
        if self.proc.poll() is None:
            for pid in children(self.proc.pid):
                os.kill(pid, signal.SIGKILL)
            os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class CommandProcess(ServeProcess):
    """The zelweb command as users run it, `python -m zelweb_cli --port PORT
    *args` in cwd (port 0: the one the banner names), once its banner is out;
    terminate() stops it as a supervisor would, with SIGTERM."""

    def __init__(self, cwd, *args, port=0, env=None):
        self._launch([sys.executable, "-m", "zelweb_cli", "--port", str(port), *map(str, args)],
                     cwd, env)

    def url(self, path="/"):
        return f"http://{HOST}:{self.port}{path}"

    def terminate(self, timeout=30.0):
        """The exit status after SIGTERM."""
        os.kill(self.proc.pid, signal.SIGTERM)
        return self.proc.wait(timeout)
