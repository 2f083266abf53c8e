"""Real clients post forms, JSON and files: curl and requests deliver their
bodies exactly."""
import json
import os
import shutil
import subprocess

import pytest
import requests

from helpers import capture_upload

needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")

CONTENT = (b"line one\r\n--not a delimiter\r\n--\r\n" + bytes(range(256)) * 4 +
           os.urandom(200000) + b"\r\n--")


def receive(server, path, fields=()):
    """Records the upload as route saw it and answers "received"."""
    return capture_upload(server, path, fields, reply=b"received")


def curl(*args):
    done = subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30", *args],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture
def upload_file(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(CONTENT)
    return path


# ---------------------------------------------------------------- curl

@needs_curl
def test_curl_form_file_upload(server, upload_file):
    seen = receive(server, b"/curl-file")
    done = curl("-F", f"file=@{upload_file}", server.url("/curl-file"))
    assert done.stdout == b"received"
    got = seen[0]
    assert got["data"] == CONTENT
    assert (got["name"], got["type"], got["size"]) == (
        b"data.bin", b"application/octet-stream", str(len(CONTENT)).encode())


@needs_curl
def test_curl_form_with_two_fields_and_a_file(server, upload_file):
    seen = receive(server, b"/curl-fields", fields=[b"title", b"note"])
    done = curl("-F", "title=Grüße & more", "-F",
                f"file=@{upload_file};type=image/png;filename=résumé.png",
                "-F", "note=after the file", server.url("/curl-fields"))
    assert done.stdout == b"received"
    got = seen[0]
    assert got["data"] == CONTENT
    assert (got["name"], got["type"]) == ("résumé.png".encode(), b"image/png")
    assert got["fields"] == {b"title": "Grüße & more".encode(), b"note": b"after the file"}


@needs_curl
def test_curl_data_posts_a_form(server):
    seen = receive(server, b"/curl-data", fields=[b"a", b"b", b"c"])
    done = curl("--data", "a=1&b=two+words&c=%E2%82%AC", server.url("/curl-data"))
    assert done.stdout == b"received"
    assert seen[0]["json"] == b"a=1&b=two+words&c=%E2%82%AC"
    assert seen[0]["fields"] == {b"a": b"1", b"b": b"two words", b"c": "€".encode()}


@needs_curl
def test_curl_large_form_with_expect_continue(server, tmp_path):
    body = b"k=" + b"v" * 900000 + b"&z=end"
    path = tmp_path / "form"
    path.write_bytes(body)
    seen = receive(server, b"/curl-expect", fields=[b"z"])
    done = curl("-v", "-H", "Expect: 100-continue", "--data-binary", f"@{path}",
                server.url("/curl-expect"))
    assert b"< HTTP/1.1 100 Continue" in done.stderr
    assert done.stdout == b"received"
    assert seen[0]["json"] == body
    assert seen[0]["fields"] == {b"z": b"end"}


@needs_curl
def test_curl_json_posts_json(server):
    text = '{"name": "Zoë", "list": [1, 2.5, null], "nested": {"ok": true}}'
    seen = receive(server, b"/curl-json")
    done = curl("--json", text, server.url("/curl-json"))
    assert done.stdout == b"received"
    assert seen[0]["json"] == text.encode()


# ---------------------------------------------------------------- requests

def send_prepared(request):
    """Sends a prepared request and returns it: its body is what went on the wire."""
    prepared = request.prepare()
    with requests.Session() as session:
        response = session.send(prepared, timeout=30)
    assert response.status_code == 200 and response.content == b"received"
    return prepared


def test_requests_data_posts_a_form(server):
    seen = receive(server, b"/rq-data", fields=[b"a", b"sp", b"amp", b"u"])
    form = {"a": "1", "sp": "two words", "amp": "x&y=z", "u": "Grüße"}
    prepared = send_prepared(requests.Request("POST", server.url("/rq-data"), data=form))
    assert seen[0]["json"] == prepared.body.encode()
    assert seen[0]["fields"] == {k.encode(): v.encode() for k, v in form.items()}


def test_requests_json_posts_json(server):
    document = {"name": "Zoë", "values": list(range(50000)), "flag": False}
    seen = receive(server, b"/rq-json")
    prepared = send_prepared(requests.Request("POST", server.url("/rq-json"), json=document))
    assert seen[0]["json"] == prepared.body
    assert json.loads(seen[0]["json"]) == document


def test_requests_files_uploads_a_file(server):
    seen = receive(server, b"/rq-files")
    send_prepared(requests.Request("POST", server.url("/rq-files"),
                                   files={"file": ("data.bin", CONTENT, "application/x-thing")}))
    got = seen[0]
    assert got["data"] == CONTENT
    assert (got["name"], got["type"], got["size"]) == (
        b"data.bin", b"application/x-thing", str(len(CONTENT)).encode())


def test_requests_data_and_files_deliver_fields_and_file(server):
    seen = receive(server, b"/rq-both", fields=[b"title", b"note"])
    send_prepared(requests.Request(
        "POST", server.url("/rq-both"), data={"title": "Grüße & more", "note": "after the file"},
        files={"file": ("résumé.png", CONTENT, "image/png")}))
    got = seen[0]
    assert got["data"] == CONTENT
    assert got["type"] == b"image/png"
    assert got["fields"] == {b"title": "Grüße & more".encode(), b"note": b"after the file"}
    # urllib3 sends a non-ASCII file name as raw UTF-8; it is kept as it came.
    assert got["name"] == "résumé.png".encode()


def test_requests_over_tls_deliver_form_json_and_file(tls_server):
    seen = receive(tls_server, b"/tls", fields=[b"title"])
    for kwargs in ({"data": {"title": "über"}}, {"json": {"k": "v" * 100000}},
                   {"data": {"title": "über"}, "files": {"f": ("t.bin", CONTENT)}}):
        # A fresh connection each time: the server closes after every response.
        response = requests.post(tls_server.url("/tls"), timeout=30,
                                 verify=os.path.abspath("cert/app.crt"), **kwargs)
        assert response.status_code == 200 and response.content == b"received"
    form, document, upload = seen
    assert form["fields"] == {b"title": "über".encode()}
    assert json.loads(document["json"]) == {"k": "v" * 100000}
    assert upload["fields"] == {b"title": "über".encode()}
    assert (upload["data"], upload["name"]) == (CONTENT, b"t.bin")
