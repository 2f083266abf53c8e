"""What every server of the comparison answers, and how it is started.

Each server script takes the port as its one argument and runs in the
runner's work directory, which holds FILE_NAME and tmp/.
"""
import signal
import sys

BODY = b"hello world"
CONTENT_TYPE = "text/html"
FILE_NAME = "file-1mib.bin"
FILE_SIZE = 1 << 20
FORM_KEY = b"field07"


def port_from_argv():
    # The runner ends each server by SIGTERM; Ctrl-C by hand should work too.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    return int(sys.argv[1])
