"""A real browser (headless Chromium) submits a multipart form with a text
field, a file and a second text field; the server side must see them exactly."""
import os

import pytest

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
