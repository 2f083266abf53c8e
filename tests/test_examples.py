"""The examples as users run them: each in its own process, from an empty directory."""
import http.client
import os
import re
import signal
import subprocess
import sys

import pytest
import requests

from helpers import EXAMPLES, HOST, ExampleProcess, free_port, unverified_context


@pytest.fixture(scope="module")
def hello(tmp_path_factory):
    example = ExampleProcess("hello.py", tmp_path_factory.mktemp("hello"))
    yield example
    example.stop()


@pytest.fixture(scope="module")
def upload(tmp_path_factory):
    example = ExampleProcess("upload.py", tmp_path_factory.mktemp("upload"))
    yield example
    example.stop()


def test_hello_greets_with_the_decoded_escaped_query_value(hello):
    r = requests.get(hello.url("/?name=Ada+Lovelace"), timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/html"
    assert "<h1>Hello, Ada Lovelace!</h1>" in r.text

    r = requests.get(hello.url("/?name=%3Cscript%3E"), timeout=10)
    assert "<h1>Hello, &lt;script&gt;!</h1>" in r.text
    assert "<script>" not in r.text

    assert "<h1>Hello, world!</h1>" in requests.get(hello.url("/"), timeout=10).text


def test_hello_counts_visits_in_a_cookie(hello):
    first = requests.get(hello.url("/"), timeout=10)
    assert first.headers["Set-Cookie"] == "visits=1; Path=/; SameSite=Lax"
    assert "Visits from this browser: 1." in first.text
    second = requests.get(hello.url("/"), cookies=first.cookies, timeout=10)
    assert "Visits from this browser: 2." in second.text
    assert second.cookies["visits"] == "2"

    r = requests.get(hello.url("/"), cookies={"visits": "junk"}, timeout=10)
    assert "Visits from this browser: 1." in r.text


def test_hello_redirects_home_to_the_page(hello):
    r = requests.get(hello.url("/home"), allow_redirects=False, timeout=10)
    assert (r.status_code, r.reason, r.headers["Location"]) == (302, "Found", "/")

    followed = requests.get(hello.url("/home"), timeout=10)
    assert followed.url == hello.url("/")
    assert "<h1>Hello, world!</h1>" in followed.text


def test_hello_download_sends_the_file_as_an_attachment(hello):
    r = requests.get(hello.url("/download"), timeout=10)
    assert r.status_code == 200
    assert r.content == b"Hello from zelweb.\n"
    assert r.headers["Content-Disposition"] == 'attachment; filename="hello.txt"'
    assert r.headers["Content-Type"] == "text/plain; charset=utf-8"
    # The example creates tmp/ itself: the directory started empty.
    assert (hello.cwd / "tmp" / "hello.txt").is_file()


def test_hello_answers_404_elsewhere(hello):
    r = requests.get(hello.url("/nowhere"), timeout=10)
    assert (r.status_code, r.reason) == (404, "Not Found")


@pytest.mark.filterwarnings("ignore:Unverified HTTPS request")
def test_hello_tls_serves_with_the_certificate_make_cert_makes(tmp_path):
    made = subprocess.run(["bash", str(EXAMPLES / "make_cert.sh")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    example = ExampleProcess("hello_tls.py", tmp_path)
    try:
        # Verified against the self-signed certificate itself, so its name fits.
        curl = subprocess.run(
            ["curl", "-sS", "--max-time", "10", "--cacert", "cert/app.crt",
             example.url("/?name=TLS", "https")],
            cwd=tmp_path, capture_output=True, text=True, timeout=30)
        assert curl.returncode == 0, curl.stderr
        assert "<h1>Hello, TLS!</h1>" in curl.stdout

        r = requests.get(example.url("/download", "https"), verify=False, timeout=10)
        assert r.content == b"Hello from zelweb.\n"
    finally:
        example.stop()


def test_hello_tls_refuses_to_start_without_a_certificate(tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLES / "hello_tls.py"), HOST,
                          str(free_port())], cwd=tmp_path, capture_output=True, text=True,
                         timeout=30)
    assert run.returncode != 0
    assert "make_cert.sh" in run.stderr


def test_upload_form_posts_a_file_and_a_title(upload):
    page = requests.get(upload.url("/"), timeout=10).text
    assert 'enctype="multipart/form-data"' in page
    assert re.search(r'<input type="file" name="file">', page)
    assert re.search(r'<input name="title">', page)


def test_upload_keeps_the_file_byte_for_byte(upload):
    # Delimiter-like runs in the data, around random bytes.
    data = b"\r\n--x\r\n" + os.urandom(300_000) + b"\r\n--\r\n"
    r = requests.post(upload.url("/upload"), data={"title": "Q3 report"},
                      files={"file": ("report.bin", data, "application/octet-stream")},
                      timeout=30)
    assert r.status_code == 200
    kept = re.search(r"as (uploads/\d+-report\.bin),", r.text).group(1)
    assert (upload.cwd / kept).read_bytes() == data
    assert f"<b>report.bin</b> ({len(data)} bytes)" in r.text
    assert "titled &ldquo;Q3 report&rdquo;" in r.text


def test_upload_keeps_a_hostile_file_name_inside_uploads(upload):
    r = requests.post(upload.url("/upload"), data={"title": "<i>x</i>"},
                      files={"file": ("../../escape.txt", b"inside")}, timeout=30)
    assert r.status_code == 200
    kept = re.search(r"as (uploads/\d+-escape\.txt),", r.text).group(1)
    assert (upload.cwd / kept).read_bytes() == b"inside"
    assert not (upload.cwd.parent / "escape.txt").exists()
    assert "&lt;i&gt;x&lt;/i&gt;" in r.text and "<i>" not in r.text


def test_upload_without_a_file_is_refused(upload):
    r = requests.post(upload.url("/upload"), files={"title": (None, "alone")}, timeout=10)
    assert r.status_code == 400
    assert "No file" in r.text


def test_static_site_sends_its_folder_and_routes_the_rest(tmp_path):
    public = EXAMPLES / "public"
    example = ExampleProcess("static_site.py", tmp_path)
    try:
        page = requests.get(example.url("/"), timeout=10)  # redirected to /static/
        assert (page.url, page.content) == (example.url("/static/"),
                                            (public / "index.html").read_bytes())
        css = requests.get(example.url("/static/css/site.css"), timeout=10)  # accepts gzip
        assert css.headers["Content-Encoding"] == "gzip"
        assert css.content == (public / "css" / "site.css").read_bytes()
        assert css.headers["Cache-Control"] == "public, max-age=3600"
        logo = requests.get(example.url("/static/img/logo.png"), timeout=10)
        assert logo.headers["Content-Type"] == "image/png" and logo.content.startswith(b"\x89PNG")
        about = requests.get(example.url("/static/about"), allow_redirects=False, timeout=10)
        assert (about.status_code, about.headers["Location"]) == (301, "/static/about/")
        assert requests.get(example.url("/time"), timeout=10).text.endswith(" UTC\n")
    finally:
        example.stop()


def test_events_streams_numbered_ticks_and_the_page_listens(tmp_path):
    example = ExampleProcess("events.py", tmp_path)
    try:
        assert "new EventSource(\"/events\")" in requests.get(example.url("/"), timeout=10).text
        with requests.get(example.url("/events?count=3&interval=0.05"), stream=True,
                          timeout=10) as r:
            assert (r.headers["Content-Type"], r.headers["Transfer-Encoding"]) == (
                "text/event-stream", "chunked")
            events = r.content.decode().split("\n\n")
        assert events[0] == "retry: 2000"
        assert [e.split("\n")[:2] for e in events[1:4]] == [
            ["event: tick", f"id: {n}"] for n in range(3)]
    finally:
        example.stop()


@pytest.mark.parametrize("script, number", [
    ("hello.py", signal.SIGTERM), ("hello.py", signal.SIGINT), ("hello_tls.py", signal.SIGTERM),
    ("upload.py", signal.SIGTERM), ("json_api.py", signal.SIGTERM),
    ("cookies.py", signal.SIGTERM), ("files.py", signal.SIGTERM),
    ("static_site.py", signal.SIGTERM), ("events.py", signal.SIGTERM),
])
def test_example_stops_on_a_signal_with_status_0(tmp_path, script, number):
    if script == "hello_tls.py":
        subprocess.run(["bash", str(EXAMPLES / "make_cert.sh")], cwd=tmp_path, check=True,
                       capture_output=True, timeout=60)
    example = ExampleProcess(script, tmp_path)
    try:
        # A kept-alive connection, idle when the signal comes, must not hold the stop up.
        if script == "hello_tls.py":
            conn = http.client.HTTPSConnection(HOST, example.port, timeout=10,
                                               context=unverified_context())
        else:
            conn = http.client.HTTPConnection(HOST, example.port, timeout=10)
        conn.request("GET", "/")
        response = conn.getresponse()
        response.read()
        assert response.getheader("Connection") == "keep-alive"
        os.kill(example.proc.pid, number)
        assert example.proc.wait(timeout=15) == 0, example.output()
        conn.close()
    finally:
        example.stop()
