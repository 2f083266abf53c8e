"""Server-Sent Events: a page whose EventSource receives the server's clock,
one event a second, from a generator sent with c_stream.

    python3 examples/events.py [host] [port]        (default: 127.0.0.1 8080)

    open http://127.0.0.1:8080/                  (the page, updated as events come)
    curl -N http://127.0.0.1:8080/events         (-N: print each event as it comes)
    curl -N 'http://127.0.0.1:8080/events?count=3&interval=0.3'

Each stream holds one of serve's application threads while it runs (the
generator's sleep lets the others use the interpreter), so it ends after
`count` events; the browser's EventSource then connects again by itself.
"""
from __future__ import annotations

import os
import sys
import time
from typing import Iterator

import zelweb

PAGE = b"""<!doctype html>
<html lang="en">
<head><meta charset="utf-8"><title>zelweb events</title></head>
<body>
<h1>Server time</h1>
<p id="now">waiting for the first event...</p>
<ol id="log"></ol>
<script>
  const source = new EventSource("/events");
  source.addEventListener("tick", (e) => {
    document.getElementById("now").textContent = e.data;
    const item = document.createElement("li");
    item.textContent = "event " + e.lastEventId + ": " + e.data;
    document.getElementById("log").append(item);
  });
</script>
</body>
</html>
"""


def ticks(count: int, interval: float) -> Iterator[bytes]:
    """Events in the text/event-stream format: named, numbered, then a blank line."""
    yield b"retry: 2000\n\n"  # how long the browser waits before it reconnects
    for number in range(count):
        if number:
            time.sleep(interval)  # lets the interpreter lock go meanwhile
        now = time.strftime("%H:%M:%S", time.gmtime())
        yield b"event: tick\nid: %d\ndata: %s UTC\n\n" % (number, now.encode())


def number(text: bytes, default: float, low: float, high: float) -> float:
    try:
        value = float(text) if text else default
    except ValueError:
        return default
    return min(max(value, low), high)


class App:
    def route(self, http: zelweb.http_t) -> None:
        if http.c_path(b"/"):
            http.c_text(PAGE)
        elif http.c_path(b"/events"):
            count = int(number(http.c_get(b"count"), 30, 1, 1000))
            interval = number(http.c_get(b"interval"), 1.0, 0.05, 60)
            http.c_content_type(b"text/event-stream")
            http.c_set_header(b"Cache-Control", b"no-cache")
            http.c_stream(ticks(count, interval))
        else:
            http.c_status(404)
            http.c_text(b"<h1>Not Found</h1>")


if __name__ == "__main__":
    os.makedirs("tmp", exist_ok=True)  # where serve streams uploads
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    zelweb.serve(App(), host, port)
