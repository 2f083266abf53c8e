"""A JSON API: notes kept in memory, listed, added and fetched one by one.

    python3 examples/json_api.py [host] [port]     (default: 127.0.0.1 8080)

    curl http://127.0.0.1:8080/notes
    curl -H 'Content-Type: application/json' -d '{"text": "buy milk"}' http://127.0.0.1:8080/notes
    curl 'http://127.0.0.1:8080/note?id=1'
"""
import json
import os
import signal
import sys
import threading
from typing import Dict, List, Union

import zelweb

Json = Union[None, bool, int, float, str, List["Json"], Dict[str, "Json"]]


class Notes:
    """The store. Requests run on threads of their own, so every access holds the lock."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._notes: Dict[int, str] = {}
        self._next_id = 1

    def add(self, text: str) -> Dict[str, Json]:
        with self._lock:
            note_id = self._next_id
            self._next_id += 1
            self._notes[note_id] = text
        return {"id": note_id, "text": text}

    def get(self, note_id: int) -> Union[Dict[str, Json], None]:
        with self._lock:
            text = self._notes.get(note_id)
        return None if text is None else {"id": note_id, "text": text}

    def all(self) -> List[Json]:
        with self._lock:
            return [{"id": i, "text": t} for i, t in sorted(self._notes.items())]


class App:
    def __init__(self) -> None:
        self.notes = Notes()

    def route(self, http: zelweb.http_t) -> None:
        if http.c_path(b"/notes"):
            # The method is not exposed: a POST is told apart by its body.
            body = http.c_json()
            if body:
                self.add(http, body)
            else:
                self.reply(http, 200, b"OK", self.notes.all())
        elif http.c_path(b"/note"):
            note_id = http.c_get(b"id")
            note = self.notes.get(int(note_id)) if note_id.isdigit() else None
            if note is None:
                self.reply(http, 404, b"Not Found", {"error": "no such note"})
            else:
                self.reply(http, 200, b"OK", note)
        else:
            self.reply(http, 404, b"Not Found", {"error": "unknown path"})

    def add(self, http: zelweb.http_t, body: bytes) -> None:
        try:
            data = json.loads(body)
        except (ValueError, RecursionError):
            self.reply(http, 400, b"Bad JSON", {"error": "the body is not JSON"})
            return
        text = data.get("text") if isinstance(data, dict) else None
        if not isinstance(text, str) or not text:
            self.reply(http, 422, b"No Text", {"error": "a non-empty \"text\" is required"})
            return
        self.reply(http, 201, b"Created", self.notes.add(text))

    @staticmethod
    def reply(http: zelweb.http_t, status: int, reason: bytes, data: Json) -> None:
        http.c_status(status)
        http.c_status_text(reason)  # at most 9 bytes
        http.c_content_type(b"application/json")
        http.c_text(json.dumps(data).encode())


if __name__ == "__main__":
    os.makedirs("tmp", exist_ok=True)
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    # The accept loop outlives KeyboardInterrupt; let Ctrl-C end the process.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    zelweb.start(App(), host.encode(), port, 0)
