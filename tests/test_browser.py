"""A real browser (headless Chromium) submits multipart forms: a text field, a
file and a second text field; two file inputs around a text field, with the
first chosen or left empty. The server side must see them exactly."""
import os

import pytest

from helpers import capture_uploads

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed "
                                "(scripts/deps.sh installs it)")
if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
    pytest.skip(f"{CHROMIUM} or {CHROMEDRIVER} is missing (scripts/deps.sh installs them)",
                allow_module_level=True)

from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>upload</title></head><body>
<form method="post" action="/browser/upload" enctype="multipart/form-data">
  <input type="text" name="before" id="before">
  <input type="file" name="upload" id="upload">
  <input type="text" name="after" id="after">
  <button type="submit" id="send">Send</button>
</form>
</body></html>"""


@pytest.fixture
def browser(tmp_path):
    os.environ.setdefault("SE_OFFLINE", "true")  # never let Selenium fetch a browser
    options = Options()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--no-first-run", f"--user-data-dir={tmp_path / 'profile'}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(30)
    try:
        yield driver
    finally:
        driver.quit()


def test_browser_multipart_upload_with_fields_around_the_file(server, browser, tmp_path):
    content = (b"first line\r\n--\r\n----not-a-boundary--\r\n\r\n" + os.urandom(300 * 1024) +
               b"\r\n--" + bytes(range(256)) + b"--\r\n")
    chosen = tmp_path / "résumé.bin"
    chosen.write_bytes(content)
    kept = tmp_path / "kept"
    seen = []

    def form(http):
        http.c_text(PAGE.encode())

    def upload(http):
        http.c_copy(http.c_files(b"tmp_name"), bytes(kept))
        seen.append({"name": http.c_files(b"name"), "type": http.c_files(b"type"),
                     "size": http.c_files(b"size"), "before": http.c_post(b"before"),
                     "after": http.c_post(b"after")})
        http.c_text(b'<!doctype html><p id="done">done</p>')
    server.handle(b"/browser/form", form)
    server.handle(b"/browser/upload", upload)

    browser.get(server.url("/browser/form"))
    browser.find_element(By.ID, "before").send_keys("Grüße & more")
    browser.find_element(By.ID, "upload").send_keys(str(chosen))
    browser.find_element(By.ID, "after").send_keys("after the file = 100%")
    browser.find_element(By.ID, "send").click()
    WebDriverWait(browser, 60).until(lambda d: d.find_elements(By.ID, "done"))

    assert len(seen) == 1
    got = seen[0]
    assert kept.read_bytes() == content
    assert got["name"] == "résumé.bin".encode()
    assert got["type"] == b"application/octet-stream"
    assert got["size"] == str(len(content)).encode()
    assert got["before"] == "Grüße & more".encode()
    assert got["after"] == b"after the file = 100%"


PAGE_TWO_FILES = """<!doctype html>
<html><head><meta charset="utf-8"><title>two files</title></head><body>
<form method="post" action="/browser/two" enctype="multipart/form-data">
  <input type="file" name="first" id="first">
  <input type="text" name="note" id="note">
  <input type="file" name="second" id="second">
  <button type="submit" id="send">Send</button>
</form>
</body></html>"""


@pytest.mark.parametrize("first_chosen", [True, False], ids=["both-chosen", "first-left-empty"])
def test_browser_form_with_two_file_inputs(server, browser, tmp_path, first_chosen):
    one = b"one\r\n--\r\n" + os.urandom(100 * 1024) + b"\r\n--"
    two = bytes(range(256)) * 500 + b"\r\n------WebKitFormBoundary--\r\n"
    (tmp_path / "one.bin").write_bytes(one)
    (tmp_path / "zwei.bin").write_bytes(two)
    seen = capture_uploads(server, b"/browser/two", fields=[b"note"],
                           reply=b'<!doctype html><p id="done">done</p>')
    server.handle(b"/browser/form", lambda http: http.c_text(PAGE_TWO_FILES.encode()))

    browser.get(server.url("/browser/form"))
    if first_chosen:
        browser.find_element(By.ID, "first").send_keys(str(tmp_path / "one.bin"))
    browser.find_element(By.ID, "note").send_keys("between = 100% & more")
    browser.find_element(By.ID, "second").send_keys(str(tmp_path / "zwei.bin"))
    browser.find_element(By.ID, "send").click()
    WebDriverWait(browser, 60).until(lambda d: d.find_elements(By.ID, "done"))

    assert len(seen) == 1
    got = seen[0]
    octets = b"application/octet-stream"
    first = (b"first", b"one.bin", octets, len(one), b"") if first_chosen else (
        b"first", b"", octets, 0, b"")
    assert [e[:3] + e[4:] for e in got["uploads"]] == [
        first, (b"second", b"zwei.bin", octets, len(two), b"")]
    assert got["data"] == [one if first_chosen else b"", two]
    assert got["fields"] == {b"note": b"between = 100% & more"}


class AccessLog:
    """serve's access log, kept as lines."""

    def __init__(self):
        self.lines = []

    def write(self, line):
        self.lines.append(line)

    def __repr__(self):  # one server for the session, whatever the instance
        return "AccessLog()"


ACCESS_LOG = AccessLog()

PAGE_MEDIA = """<!doctype html>
<html><head><meta charset="utf-8"><title>media</title></head><body>
<video id="v" src="/browser/tone.wav" preload="metadata"></video>
</body></html>"""


def tone(seconds=60, rate=48000):
    """A WAV file of a quiet tone: 16-bit stereo, so a minute is 11 MB."""
    import math
    import struct
    frame = [struct.pack("<hh", int(900 * math.sin(i / 7)), 0) for i in range(44)]
    data = b"".join(frame) * (seconds * rate // 44)
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 2, rate, rate * 4, 4, 16) +
            b"data" + struct.pack("<I", len(data)) + data)


def test_browser_video_seeks_with_byte_ranges(serving, browser, tmp_path):
    srv = serving(access_log=ACCESS_LOG)
    media = tmp_path / "tone.wav"
    media.write_bytes(tone())
    ranges = []

    def serve_media(http):
        ranges.append(http.c_header(b"Range"))
        http.c_file(bytes(media))
    srv.handle(b"/browser/tone.wav", serve_media)
    srv.handle(b"/browser/media", lambda http: http.c_text(PAGE_MEDIA.encode()))

    browser.get(srv.url("/browser/media"))
    WebDriverWait(browser, 30).until(
        lambda d: d.execute_script("return document.getElementById('v').readyState >= 1"))
    browser.execute_script("document.getElementById('v').currentTime = 50")
    WebDriverWait(browser, 30).until(lambda d: d.execute_script(
        "const v = document.getElementById('v');"
        "return !v.seeking && v.readyState >= 2 && Math.abs(v.currentTime - 50) < 1"))

    # The seek asked for bytes from the middle of the file, and got them as a 206.
    later = [r for r in ranges if r.startswith(b"bytes=") and not r.startswith(b"bytes=0-")]
    assert later, ranges
    assert any('"GET /browser/tone.wav HTTP/1.1" 206 ' in line for line in ACCESS_LOG.lines)


def test_browser_renders_the_static_site_from_its_folder(browser, tmp_path):
    from helpers import ExampleProcess, wait_until
    example = ExampleProcess("static_site.py", tmp_path)
    try:
        browser.get(example.url("/static/about"))  # 301 to /static/about/, then ../css/site.css
        WebDriverWait(browser, 30).until(lambda d: d.execute_script(
            "return document.readyState === 'complete'"))
        assert browser.current_url == example.url("/static/about/")
        assert browser.execute_script(
            "return getComputedStyle(document.body).backgroundColor") == "rgb(251, 251, 248)"
        browser.get(example.url("/static/"))
        WebDriverWait(browser, 30).until(lambda d: d.execute_script(
            "return document.images[0].complete"))
        assert browser.execute_script("return document.images[0].naturalWidth") == 32
        # The style sheet went out as its .gz: the browser accepted and decoded it.
        assert wait_until(lambda: '"GET /static/css/site.css HTTP/1.1" 200 329 ' in
                          example.output()), example.output()
    finally:
        example.stop()


PAGE_EVENTS = """<!doctype html>
<html><head><meta charset="utf-8"><title>events</title></head><body>
<script>
  window.got = [];
  const source = new EventSource("/browser/events");
  source.onmessage = (e) => {
    window.got.push(e.data);
    fetch("/browser/ack?n=" + e.data);  // the server sends the next one only after this
  };
</script>
</body></html>"""


def test_browser_event_source_gets_each_event_as_it_is_sent(serving, browser):
    import threading
    import time
    srv = serving()
    acks = [threading.Event() for _ in range(4)]

    def events():
        for n, ack in enumerate(acks):
            yield b"data: %d\n\n" % n
            # Never sent together: the browser must have this one before the next is made.
            assert ack.wait(20), f"event {n} never reached the browser"
            time.sleep(0.3)

    def stream(http):
        http.c_content_type(b"text/event-stream")
        http.c_set_header(b"Cache-Control", b"no-cache")
        http.c_stream(events())

    def ack(http):
        acks[int(http.c_get(b"n"))].set()
        http.c_text(b"ok")
    srv.handle(b"/browser/page", lambda http: http.c_text(PAGE_EVENTS.encode()))
    srv.handle(b"/browser/events", stream)
    srv.handle(b"/browser/ack", ack)
    browser.get(srv.url("/browser/page"))
    WebDriverWait(browser, 30).until(lambda d: d.execute_script("return window.got.length") >= 4)
    assert browser.execute_script("return window.got.slice(0, 4)") == ["0", "1", "2", "3"]
