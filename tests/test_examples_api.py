"""The JSON API, cookies and files examples, each run as users run it: its own
process on a free port, from an empty directory, stopped by its PID."""
import http.client
import os
import re

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


@pytest.fixture(scope="module")
def notes_api(tmp_path_factory):
    """One json_api.py for the tests that create nothing."""
    example = ExampleProcess("json_api.py", tmp_path_factory.mktemp("notes"), env=zelweb_env(),
                             grace=5)
    yield example
    example.stop()


def test_json_api_creates_reads_replaces_and_deletes_a_note(run_example):
    app = run_example("json_api.py")
    created = requests.post(app.url("/notes"), json={"text": "buy milk"}, timeout=10)
    assert (created.status_code, created.reason) == (201, "Created")
    assert created.headers["Content-Type"] == "application/json"
    note = created.json()
    assert note["text"] == "buy milk"
    assert created.headers["Location"] == f"/notes/{note['id']}"
    item = app.url(created.headers["Location"])
    fetched = requests.get(item, timeout=10)
    assert fetched.json() == note
    head = requests.head(item, timeout=10)
    assert (head.status_code, head.content) == (200, b"")
    assert head.headers["Content-Length"] == str(len(fetched.content))
    assert requests.get(app.url("/notes"), timeout=10).json() == [note]

    # A generator body goes out chunked: c_body reads it for a PUT as for a POST.
    replaced = requests.put(item, data=iter([b'{"text": ', b'"oat milk"}']), timeout=10)
    assert replaced.status_code == 200
    assert replaced.json() == requests.get(item, timeout=10).json() == {**note, "text": "oat milk"}

    deleted = requests.delete(item, timeout=10)
    assert (deleted.status_code, deleted.content) == (204, b"")
    assert "Content-Length" not in deleted.headers
    assert requests.get(item, timeout=10).status_code == 404
    assert requests.get(app.url("/notes"), timeout=10).json() == []


@pytest.mark.parametrize("method, path", [
    ("GET", "/notes/7"), ("PUT", "/notes/7"), ("DELETE", "/notes/7"),
    ("GET", "/notes/seven"), ("GET", "/notes/"), ("GET", "/nowhere"),
])
def test_json_api_answers_404_for_unknown_notes_and_paths(notes_api, method, path):
    r = requests.request(method, notes_api.url(path), json={"text": "x"}, timeout=10)
    assert r.status_code == 404
    assert "error" in r.json()


@pytest.mark.parametrize("method, path, allow", [
    ("DELETE", "/notes", "GET, HEAD, POST"),
    ("PUT", "/notes", "GET, HEAD, POST"),
    ("POST", "/notes/1", "GET, HEAD, PUT, DELETE"),
    ("PATCH", "/notes/1", "GET, HEAD, PUT, DELETE"),
])
def test_json_api_answers_405_with_the_allowed_methods(notes_api, method, path, allow):
    r = requests.request(method, notes_api.url(path), json={"text": "x"}, timeout=10)
    assert (r.status_code, r.headers["Allow"]) == (405, allow)
    assert requests.get(notes_api.url("/notes"), timeout=10).json() == []


@pytest.mark.parametrize("body", [b'{"text"', b"", b'{"text": ""}', b'{"note": "x"}', b'["text"]'],
                         ids=["not-json", "empty", "empty-text", "no-text", "not-an-object"])
def test_json_api_refuses_a_bad_note_with_400(notes_api, body):
    r = requests.post(notes_api.url("/notes"), data=body,
                      headers={"Content-Type": "application/json; charset=utf-8"}, timeout=10)
    assert r.status_code == 400
    assert "error" in r.json()
    assert requests.get(notes_api.url("/notes"), timeout=10).json() == []


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

    for path in ["/files/../secret.txt", "/files/..%2Fsecret.txt", "/files/data.json%00",
                 "/files/.hidden", "/files/missing.txt"]:
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


def test_files_lists_and_serves_names_that_need_escaping(run_example, tmp_path):
    names = ["my notes.txt", "caf\u00e9 & <b>.txt"]
    (tmp_path / "public").mkdir()
    for i, name in enumerate(names):
        (tmp_path / "public" / name).write_text(f"file {i}\n")
    app = run_example("files.py")

    index = requests.get(app.url("/"), timeout=10).text
    links = re.findall(r'<a href="(/files/[^"]*)">', index)
    assert len(links) == 2 and all(" " not in link for link in links), index
    assert "caf\u00e9 &amp; &lt;b&gt;.txt" in index
    served = sorted(requests.get(app.url(link), timeout=10).text for link in links)
    assert served == ["file 0\n", "file 1\n"]
