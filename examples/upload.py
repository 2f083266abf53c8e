"""Uploads: a form that posts one file and a title, kept in ./uploads/.

    python3 examples/upload.py [host] [port]       (default: 127.0.0.1 8080)

    open http://127.0.0.1:8080/ in a browser, or:
    curl -F title=notes -F file=@notes.txt http://127.0.0.1:8080/upload
"""
import html
import os
import sys

import zelweb

FORM = b"""<!doctype html>
<title>Upload</title>
<form method="post" action="/upload" enctype="multipart/form-data">
  <p><label>Title <input name="title"></label></p>
  <p><input type="file" name="file"></p>
  <p><button>Upload</button></p>
</form>
"""


def safe_name(name: bytes) -> bytes:
    # The client chooses the name: keep its last component only, never a path.
    name = os.path.basename(name.replace(b"\\", b"/"))
    return name if name.strip(b".") else b"upload"


class App:
    def route(self, http: zelweb.http_t) -> None:
        if http.c_path(b"/"):
            http.c_text(FORM)
        elif http.c_path(b"/upload"):
            self.upload(http)
        else:
            http.c_status(404)
            http.c_status_text(b"Not Found")

    def upload(self, http: zelweb.http_t) -> None:
        # A form without a chosen file still gets an (empty) temporary file,
        # so the file name is what tells whether a file came.
        name = http.c_files(b"name")
        if not name:
            http.c_status(400)
            http.c_status_text(b"No File")  # a status text holds 9 bytes at most
            http.c_text(b"<p>No file came with the form.</p>")
            return
        # The upload sits in tmp/ until the response is sent, then zelweb removes
        # it; keep a copy under a name no other upload can take.
        tmp_name = http.c_files(b"tmp_name")
        kept = b"uploads/" + os.path.basename(tmp_name) + b"-" + safe_name(name)
        http.c_copy(tmp_name, kept)
        if not os.path.exists(kept):
            http.c_status(500)
            http.c_status_text(b"Not Kept")
            http.c_text(b"<p>The upload could not be kept.</p>")
            return
        size = http.c_files(b"size")
        title = http.c_post(b"title")
        http.c_text(b"<p>Kept <b>%s</b> (%s bytes) as %s, titled &ldquo;%s&rdquo;.</p>" % (
            escape(name), size, escape(kept), escape(title)))


def escape(text: bytes) -> bytes:
    return html.escape(text.decode(errors="replace")).encode()


if __name__ == "__main__":
    os.makedirs("tmp", exist_ok=True)  # zelweb streams uploads here
    os.makedirs("uploads", exist_ok=True)
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    zelweb.serve(App(), host, port)  # until Ctrl-C or SIGTERM
