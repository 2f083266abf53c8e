"""The design's ceiling (ceiling.cpp): `route` is called and does nothing.

    python3 ceiling_server.py PORT [inline | keep-alive]

"inline" serves on the accepting thread instead of a thread per connection,
to show what the thread costs; "keep-alive" keeps each connection and its
thread for request after request, the loop that serve's rows compare with.
"""
import sys

import ceiling

from common import port_from_argv


class App:
    def route(self, http):
        pass


if __name__ == "__main__":
    port = port_from_argv()
    mode = sys.argv[2] if len(sys.argv) > 2 else ""
    if mode not in ("", "inline", "keep-alive"):
        sys.exit("unknown mode " + mode)
    ceiling.serve(App(), "127.0.0.1", port, threaded=mode != "inline", keep_alive=mode == "keep-alive")
