"""Checks an installed zelweb as a user gets it: imports it from the running
interpreter's environment, compares __version__ with the expected version,
serves one request, and runs the environment's zelweb command. The server
runs zelweb.start on a daemon thread of a child process, which is killed by
its PID once the response has been read.

    python -I scripts/serve_once.py VERSION
"""
import os
import socket
import subprocess
import sys
import time
import urllib.request

CHILD = """
import sys, threading, time, zelweb

class App:
    def route(self, http):
        http.c_text(b"hello " + http.c_get(b"name"))

threading.Thread(target=zelweb.start, args=(App(), b"127.0.0.1", int(sys.argv[1]), 0),
                 daemon=True).start()
time.sleep(60)  # the parent kills it long before; the bound is for a parent that died
"""


def fail(message):
    sys.exit(f"serve_once: {message}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, child, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if child.poll() is not None:
            fail(f"the server process ended with {child.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    fail(f"nothing listens on port {port} after {timeout} s")


def main():
    if len(sys.argv) != 2:
        fail("usage: serve_once.py VERSION")
    expected = sys.argv[1]
    import zelweb

    where = os.path.realpath(zelweb.__file__)
    if not where.startswith(os.path.realpath(sys.prefix) + os.sep):
        fail(f"zelweb was imported from {where}, outside {sys.prefix}")
    if zelweb.__version__ != expected:
        fail(f"zelweb.__version__ is {zelweb.__version__!r}, expected {expected!r}")

    port = free_port()
    child = subprocess.Popen([sys.executable, "-I", "-c", CHILD, str(port)],
                             stdout=subprocess.DEVNULL)
    try:
        wait_listening(port, child)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/?name=wheel", timeout=10) as r:
            status, body = r.status, r.read()
    finally:
        child.kill()
        child.wait(timeout=10)
    if (status, body) != (200, b"hello wheel"):
        fail(f"GET answered {status} {body!r}")
    # The console script, beside the interpreter, and the module it imports.
    command = os.path.join(os.path.dirname(sys.executable), "zelweb")
    shown = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60)
    if (shown.returncode, shown.stdout) != (0, f"zelweb {expected}\n"):
        fail(f"{command} --version gave {shown.returncode} {shown.stdout!r} {shown.stderr!r}")
    print(f"zelweb {zelweb.__version__} from {where}: GET -> {status} {body.decode()!r}; "
          f"{command} --version -> {shown.stdout.strip()!r}")


if __name__ == "__main__":
    main()
