"""An accept that fails for want of descriptors is retried after a pause,
not in a loop that takes a whole core. Each case counts the accepts made
in half a second against a listening socket whose accept always fails with
EMFILE (a connection waits on it, so it is always ready): spinning makes
thousands, pausing about ten. serve accepts in its native core, whose
pause the core's native test checks."""
import json

from conftest import run_python

CODE = r"""
import errno, json, socket, sys, threading, time
import zelweb

real = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
calls = []

class Exhausted:
    def __init__(self, *args):
        pass
    def __getattr__(self, name):
        return getattr(real, name)
    def accept(self):
        calls.append(1)
        raise OSError(errno.EMFILE, "Too many open files")

class FakeSocketModule:
    def __getattr__(self, name):
        return getattr(socket, name)
    socket = Exhausted

zelweb.socket = FakeSocketModule()
class App:
    def route(self, http):
        pass
threading.Thread(target=zelweb.start, args=(App(), b"127.0.0.1", 0, 0), daemon=True).start()
# Bound is not enough: a connection before listen() is refused.
while not real.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN):
    time.sleep(0.01)
socket.create_connection(real.getsockname())  # always ready, never accepted
before = len(calls)
time.sleep(0.5)
print(json.dumps(len(calls) - before))
"""


def test_accept_out_of_descriptors_pauses():
    proc = run_python(CODE)
    assert proc.returncode == 0, proc.stderr
    accepts = json.loads(proc.stdout.strip().splitlines()[-1])
    assert 1 <= accepts <= 40, accepts
