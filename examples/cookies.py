"""Cookies and the "Auth" header: a visit counter, a theme, a signed-in name.

    python3 examples/cookies.py [host] [port]      (default: 127.0.0.1 8080)

    open http://127.0.0.1:8080/ in a browser, or:
    curl -i -b 'visits=41' http://127.0.0.1:8080/
    curl -i -d name=ada http://127.0.0.1:8080/login
    curl -H 'Auth: token=let-me-in; lang=en' http://127.0.0.1:8080/whoami
"""
import hashlib
import hmac
import html
import os
import re
import secrets
import sys

import zelweb

# Signs the "user" cookie so that a client cannot name itself; a new secret
# per start signs everyone out, which suits an example.
SECRET = os.environ.get("COOKIES_SECRET", secrets.token_hex(16)).encode()
# Cookie values come back raw and end at their first "=": keep names plain
# and the signature in hex (base64 padding would be cut off).
NAME = re.compile(rb"[A-Za-z0-9_-]{1,32}")
TOKEN = os.environ.get("COOKIES_TOKEN", "let-me-in").encode()

PAGE = """<!doctype html>
<title>Cookies</title>
<body style="{style}">
<h1>{greeting}</h1>
<p>Visits from this browser: {visits}. Your browser says it is: {agent}.</p>
<p>Theme: <a href="/theme?set=light">light</a> | <a href="/theme?set=dark">dark</a></p>
{account}
</body>
"""

LOGIN = """<form method="post" action="/login">
<label>Name <input name="name"></label> <button>Sign in</button></form>"""


def sign(name: bytes) -> bytes:
    return name + b"." + hmac.new(SECRET, name, hashlib.sha256).hexdigest().encode()


def signed_name(cookie: bytes) -> bytes:
    name, _, _ = cookie.partition(b".")
    return name if cookie and hmac.compare_digest(sign(name), cookie) else b""


class App:
    def route(self, http: zelweb.http_t) -> None:
        if http.c_path(b"/"):
            self.page(http)
        elif http.c_path(b"/login"):
            name = http.c_post(b"name")
            if not NAME.fullmatch(name):
                http.c_status(400)
                http.c_status_text(b"Bad Name")
                http.c_text(b"<p>A name is 1 to 32 letters, digits, '_' or '-'.</p>")
                return
            # Attributes go into the value; the whole line stays under 256 bytes.
            http.c_set_cookie(b"user", sign(name) + b"; Path=/; HttpOnly; SameSite=Lax")
            http.c_redirect(b"/")
        elif http.c_path(b"/logout"):
            http.c_set_cookie(b"user", b"; Path=/; Max-Age=0")
            http.c_redirect(b"/")
        elif http.c_path(b"/theme"):
            theme = http.c_get(b"set")
            if theme in (b"light", b"dark"):
                http.c_set_cookie(b"theme", theme + b"; Path=/; Max-Age=31536000")
            http.c_redirect(b"/")
        elif http.c_path(b"/whoami"):
            # "Auth" is read like a cookie header: pairs separated by "; ".
            http.c_content_type(b"text/plain")
            if hmac.compare_digest(http.c_get_auth(b"token"), TOKEN):
                lang = http.c_get_auth(b"lang") or b"unknown"
                http.c_text(b"token accepted; language " + lang + b"\n")
            else:
                http.c_status(401)
                http.c_status_text(b"No Token")
                http.c_text(b"send the header  Auth: token=...\n")
        else:
            http.c_status(404)
            http.c_status_text(b"Not Found")

    def page(self, http: zelweb.http_t) -> None:
        seen = http.c_get_cookie(b"visits")
        visits = int(seen) + 1 if seen.isdigit() and len(seen) < 10 else 1
        http.c_set_cookie(b"visits", b"%d; Path=/; Max-Age=31536000" % visits)
        dark = http.c_get_cookie(b"theme") == b"dark"
        user = signed_name(http.c_get_cookie(b"user"))
        greeting = "Hello, %s!" % user.decode() if user else "Hello, stranger!"
        account = '<p><a href="/logout">Sign out</a></p>' if user else LOGIN
        http.c_text(PAGE.format(
            style="background:#222;color:#eee" if dark else "",
            greeting=greeting, visits=visits, account=account,
            agent=html.escape(http.c_user_agent().decode(errors="replace") or "nothing"),
        ).encode())


if __name__ == "__main__":
    os.makedirs("tmp", exist_ok=True)
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    zelweb.serve(App(), host, port)  # until Ctrl-C or SIGTERM
