"""A JSON API on methods: notes kept in memory, listed, created, read, replaced and deleted.

    python3 examples/json_api.py [host] [port]     (default: 127.0.0.1 8080)

    curl http://127.0.0.1:8080/notes
    curl -i --json '{"text": "buy milk"}' http://127.0.0.1:8080/notes        (201, Location: /notes/1)
    curl http://127.0.0.1:8080/notes/1
    curl -X PUT --json '{"text": "oat milk"}' http://127.0.0.1:8080/notes/1
    curl -i -X DELETE http://127.0.0.1:8080/notes/1                          (204, no body)
    curl -i -X DELETE http://127.0.0.1:8080/notes                            (405, Allow: GET, HEAD, POST)

(curl's --json, from 7.82, sends the body with Content-Type: application/json.)
"""
import json
import os
import signal
import sys
import threading
from typing import Dict, List, Optional, Union

import zelweb

Json = Union[None, bool, int, float, str, List["Json"], Dict[str, "Json"]]

# The methods each kind of path takes, for dispatch and for the Allow header of a 405.
COLLECTION = b"GET, HEAD, POST"
ITEM = b"GET, HEAD, PUT, DELETE"
PREFIX = b"/notes/"


def note(note_id: int, text: str) -> Dict[str, Json]:
    return {"id": note_id, "text": text}


class Notes:
    """The store. Requests run on threads of their own, so every access holds the lock."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._notes: Dict[int, str] = {}
        self._next_id = 1

    def add(self, text: str) -> int:
        with self._lock:
            note_id = self._next_id
            self._next_id += 1
            self._notes[note_id] = text
        return note_id

    def get(self, note_id: int) -> Optional[str]:
        with self._lock:
            return self._notes.get(note_id)

    def replace(self, note_id: int, text: str) -> bool:
        with self._lock:
            if note_id not in self._notes:
                return False
            self._notes[note_id] = text
            return True

    def remove(self, note_id: int) -> bool:
        with self._lock:
            return self._notes.pop(note_id, None) is not None

    def all(self) -> List[Json]:
        with self._lock:
            return [note(i, t) for i, t in sorted(self._notes.items())]


class App:
    def __init__(self) -> None:
        self.notes = Notes()

    def route(self, http: zelweb.http_t) -> None:
        method = http.c_method()
        if method == b"HEAD":
            method = b"GET"  # the server sends the GET response's head alone
        url = http.c_url()
        if url == b"/notes":
            self.collection(http, method)
        elif url.startswith(PREFIX) and url[len(PREFIX):].isdigit():
            self.item(http, method, int(url[len(PREFIX):]))
        else:
            self.reply(http, 404, b"Not Found", {"error": "unknown path"})

    def collection(self, http: zelweb.http_t, method: bytes) -> None:
        if method == b"GET":
            self.reply(http, 200, b"OK", self.notes.all())
        elif method == b"POST":
            text = self.text(http)
            if text is not None:
                note_id = self.notes.add(text)
                http.c_set_header(b"Location", PREFIX + b"%d" % note_id)
                self.reply(http, 201, b"Created", note(note_id, text))
        else:
            self.not_allowed(http, COLLECTION)

    def item(self, http: zelweb.http_t, method: bytes, note_id: int) -> None:
        if method == b"GET":
            text = self.notes.get(note_id)
            if text is None:
                self.no_note(http)
            else:
                self.reply(http, 200, b"OK", note(note_id, text))
        elif method == b"PUT":
            text = self.text(http)
            if text is None:
                return
            if self.notes.replace(note_id, text):
                self.reply(http, 200, b"OK", note(note_id, text))
            else:
                self.no_note(http)
        elif method == b"DELETE":
            if self.notes.remove(note_id):
                # 204 goes out without a body; the reason phrase holds 9 bytes at most.
                http.c_status(204)
                http.c_status_text(b"Deleted")
            else:
                self.no_note(http)
        else:
            self.not_allowed(http, ITEM)

    def text(self, http: zelweb.http_t) -> Optional[str]:
        """The "text" of the JSON body, or None once a 400 has been composed.

        c_body holds the body of any method (PUT as well as POST), chunked or
        not; a body over 1,024,000 bytes gives b"", which is not JSON either.
        """
        try:
            data = json.loads(http.c_body())
        except (ValueError, RecursionError):
            self.reply(http, 400, b"Bad JSON", {"error": "the body is not JSON"})
            return None
        text = data.get("text") if isinstance(data, dict) else None
        if not isinstance(text, str) or not text:
            self.reply(http, 400, b"No Text", {"error": "a non-empty \"text\" is required"})
            return None
        return text

    def no_note(self, http: zelweb.http_t) -> None:
        self.reply(http, 404, b"Not Found", {"error": "no such note"})

    def not_allowed(self, http: zelweb.http_t, allow: bytes) -> None:
        http.c_set_header(b"Allow", allow)
        self.reply(http, 405, b"Not Here", {"error": "allowed here: " + allow.decode()})

    @staticmethod
    def reply(http: zelweb.http_t, status: int, reason: bytes, data: Json) -> None:
        http.c_status(status)
        http.c_status_text(reason)  # at most 9 bytes: "Method Not Allowed" would not fit
        http.c_content_type(b"application/json")
        http.c_text(json.dumps(data).encode())


if __name__ == "__main__":
    os.makedirs("tmp", exist_ok=True)
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    # The accept loop outlives KeyboardInterrupt; let Ctrl-C end the process.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    zelweb.start(App(), host.encode(), port, 0)
