"""The design's ceiling (ceiling.cpp): `route` is called and does nothing.

    python3 ceiling_server.py PORT [inline]

"inline" serves on the accepting thread instead of a thread per connection,
to show what the thread costs.
"""
import sys

import ceiling

from common import port_from_argv


class App:
    def route(self, http):
        pass


if __name__ == "__main__":
    port = port_from_argv()
    ceiling.serve(App(), "127.0.0.1", port, sys.argv[2:] != ["inline"])
