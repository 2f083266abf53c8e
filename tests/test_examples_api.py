"""The JSON API, cookies and files examples, each run as users run it: its own
process on a free port, from an empty directory, stopped by its PID."""
import http.client
import os

import pytest
import requests

from helpers import HOST, ExampleProcess, wait_until, zelweb_env


@pytest.fixture
def run_example(tmp_path):
    started = []

    def run(script):
        example = ExampleProcess(script, str(tmp_path), "server.log", env=zelweb_env(), grace=5)
        started.append(example)
        return example

    yield run
    for example in started:
        example.stop()


def test_json_api_stores_and_returns_a_note(run_example):
    app = run_example("json_api.py")
    created = requests.post(app.url("/notes"), json={"text": "buy milk"}, timeout=10)
    assert (created.status_code, created.reason) == (201, "Created")
    assert created.headers["Content-Type"] == "application/json"
    note = created.json()
    assert note["text"] == "buy milk"

    fetched = requests.get(app.url("/note"), params={"id": note["id"]}, timeout=10)
    assert fetched.json() == note
    listed = requests.get(app.url("/notes"), timeout=10)
    assert listed.json() == [note]


@pytest.mark.parametrize("body, status", [
    (b'{"text"', 400),
    (b'{"text": ""}', 422),
    (b'["text"]', 422),
], ids=["not-json", "empty-text", "not-an-object"])
def test_json_api_refuses_bad_notes(run_example, body, status):
    app = run_example("json_api.py")
    r = requests.post(app.url("/notes"), data=body,
                      headers={"Content-Type": "application/json; charset=utf-8"}, timeout=10)
    assert r.status_code == status
    assert "error" in r.json()
    assert requests.get(app.url("/notes"), timeout=10).json() == []


def test_cookies_count_visits_sign_in_and_read_auth(run_example):
    app = run_example("cookies.py")
    r = requests.get(app.url("/"), cookies={"visits": "41"}, timeout=10)
    assert r.cookies["visits"] == "42"
    assert "Visits from this browser: 42." in r.text

    signed_in = requests.post(app.url("/login"), data={"name": "ada"}, allow_redirects=False,
                              timeout=10)
    assert (signed_in.status_code, signed_in.headers["Location"]) == (302, "/")
    user = signed_in.cookies["user"]
    assert "HttpOnly" in signed_in.headers["Set-Cookie"]
    assert "Hello, ada!" in requests.get(app.url("/"), cookies={"user": user}, timeout=10).text
    forged = "eve." + user.partition(".")[2]
    assert "Hello, stranger!" in requests.get(app.url("/"), cookies={"user": forged},
                                              timeout=10).text

    whoami = requests.get(app.url("/whoami"), headers={"Auth": "token=let-me-in; lang=en"},
                          timeout=10)
    assert whoami.text == "token accepted; language en\n"
    assert requests.get(app.url("/whoami"), timeout=10).status_code == 401


def test_files_serves_public_files_and_removes_the_report(run_example, tmp_path):
    (tmp_path / "public").mkdir()
    (tmp_path / "public" / "data.json").write_bytes(b'{"a": 1}\n' * 5000)
    (tmp_path / "secret.txt").write_bytes(b"not public")
    app = run_example("files.py")

    r = requests.get(app.url("/files/data.json"), timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "application/json"
    assert r.content == b'{"a": 1}\n' * 5000

    for path in ["/files/../secret.txt", "/files/.hidden", "/files/missing.txt"]:
        # http.client sends the target as written; requests would resolve "..".
        conn = http.client.HTTPConnection(HOST, app.port, timeout=10)
        conn.request("GET", path)
        assert conn.getresponse().status == 404, path
        conn.close()

    report = requests.get(app.url("/report.csv"), timeout=10)
    assert report.headers["Content-Type"] == "text/csv"
    assert report.text.splitlines()[0] == "time,files served"
    assert report.text.splitlines()[1].endswith(",1")
    # Sent with c_data_r: removed once sent, which may be just after the client has it all.
    tmp = tmp_path / "tmp"
    assert wait_until(lambda: os.listdir(tmp) == [], timeout=5), os.listdir(tmp)
