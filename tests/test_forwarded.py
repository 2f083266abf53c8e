"""forwarded_allow_ips: what a trusted proxy says of the client (X-Forwarded-For, -Proto,
-Host) reaches both interfaces and the access log; from any other peer it is left as
sent. And the scheme itself: c_scheme() and wsgi.url_scheme under TLS."""
import json

import pytest
import requests

FORWARDED = {"X-Forwarded-For": "198.51.100.7, 203.0.113.9", "X-Forwarded-Proto": "https",
             "X-Forwarded-Host": "shop.example:8443"}

# allow list -> (client, scheme, host) the application is told
CASES = [
    (None, "127.0.0.1", "http", None),
    (["10.0.0.1"], "127.0.0.1", "http", None),  # the peer is no proxy of ours
    (["127.0.0.1"], "203.0.113.9", "https", "shop.example:8443"),
    ("127.0.0.1, 203.0.113.0/24", "198.51.100.7", "https", "shop.example:8443"),
    (["*"], "198.51.100.7", "https", "shop.example:8443"),
]


def wsgi_view(environ, start_response):
    body = json.dumps({k: environ.get(k) for k in (
        "REMOTE_ADDR", "wsgi.url_scheme", "HTTP_HOST", "SERVER_NAME", "SERVER_PORT",
        "HTTP_X_FORWARDED_FOR")}).encode()
    start_response("200 OK", [("Content-Type", "application/json")])
    return [body]


@pytest.mark.parametrize("allowed, client, scheme, host", CASES)
def test_wsgi_takes_a_trusted_proxys_word(wsgi_serving, output, allowed, client, scheme, host):
    srv = wsgi_serving(forwarded_allow_ips=allowed, access_log=True)
    srv.handle("/who", wsgi_view)
    env = requests.get(srv.url("/who"), headers=FORWARDED).json()
    assert (env["REMOTE_ADDR"], env["wsgi.url_scheme"]) == (client, scheme)
    assert env["HTTP_HOST"] == (host or f"127.0.0.1:{srv.port}")
    assert (env["SERVER_NAME"], env["SERVER_PORT"]) == \
        (("shop.example", "8443") if host else ("127.0.0.1", str(srv.port)))
    assert env["HTTP_X_FORWARDED_FOR"] == FORWARDED["X-Forwarded-For"]  # still as sent
    output.wait_for(f'{client} - - [', '"GET /who HTTP/1.1" 200', stream="err")


@pytest.mark.parametrize("allowed, client, scheme, host", CASES)
def test_route_takes_a_trusted_proxys_word(serving, allowed, client, scheme, host):
    srv = serving(forwarded_allow_ips=allowed)
    srv.handle(b"/who", lambda http: http.c_text(http.c_remote_addr() + b" " + http.c_scheme()))
    assert requests.get(srv.url("/who"), headers=FORWARDED).text == f"{client} {scheme}"


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_scheme_under_tls(serving, wsgi_serving):
    route = serving(https=True)
    route.handle(b"/s", lambda http: http.c_text(http.c_scheme()))
    wsgi = wsgi_serving(https=True)
    wsgi.handle("/s", wsgi_view)
    assert requests.get(route.url("/s"), verify=False).text == "https"
    assert requests.get(wsgi.url("/s"), verify=False).json()["wsgi.url_scheme"] == "https"
