"""zelweb: hello world, a form read with c_post, a file body with c_data and
an upload whose size is answered.

    python3 zelweb_app.py PORT                      zelweb.start: one request per connection
    python3 zelweb_app.py PORT serve [KEEP_ALIVE]   zelweb.serve, idle connections kept
                                                    KEEP_ALIVE seconds (default 5)
"""
import sys

import zelweb

from common import BODY, FILE_NAME, FORM_KEY, port_from_argv

FILE = FILE_NAME.encode()


class App:
    def route(self, http):
        if http.c_path(b"/"):
            http.c_text(BODY)
        elif http.c_path(b"/form"):
            value = http.c_post(FORM_KEY)
            http.c_text(BODY if value else b"missing " + FORM_KEY)
            if not value:
                http.c_status(400)
        elif http.c_path(b"/file"):
            http.c_content_type(b"application/octet-stream")
            http.c_data(FILE)
        elif http.c_path(b"/upload"):
            http.c_text(http.c_files(b"size"))
        else:
            http.c_status(404)
            http.c_status_text(b"Not Found")


if __name__ == "__main__":
    port = port_from_argv()
    if sys.argv[2:3] == ["serve"]:
        keep_alive = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
        zelweb.serve(App(), "127.0.0.1", port, keep_alive=keep_alive)
    elif len(sys.argv) > 2:
        sys.exit("unknown mode " + " ".join(sys.argv[2:]))
    else:
        zelweb.start(App(), b"127.0.0.1", port, 0)
