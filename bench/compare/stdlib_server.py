"""http.server's ThreadingHTTPServer answering the same routes."""
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs

from common import BODY, CONTENT_TYPE, FILE_NAME, FORM_KEY, port_from_argv


class Handler(BaseHTTPRequestHandler):
    def answer(self, status, body, content_type=CONTENT_TYPE):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/":
            self.answer(200, BODY)
        elif self.path == "/file":
            with open(FILE_NAME, "rb") as f:
                self.answer(200, f.read(), "application/octet-stream")
        else:
            self.answer(404, b"")

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/form" and parse_qs(body).get(FORM_KEY):
            self.answer(200, BODY)
        else:
            self.answer(400, b"")

    def log_message(self, *args):
        pass


class Server(ThreadingHTTPServer):
    # The default backlog of 5 drops connections at c=64 and above; that
    # would measure the kernel's SYN retries rather than the server.
    request_queue_size = 1024


if __name__ == "__main__":
    Server(("127.0.0.1", port_from_argv()), Handler).serve_forever()
