"""The zelweb command, run as users run it (python -m zelweb_cli, what the
installed script runs): it loads MODULE:ATTR, serves it (a WSGI application
by default, a route one with --interface route), stops with status 0 on
SIGTERM, says what went wrong in one line, and restarts on a change with
--reload. The options reach serve as keywords."""
import os
import pathlib
import re
import socket
import subprocess
import sys
import time

import pytest
import requests

import zelweb
import zelweb_cli
from helpers import HOST, CommandProcess, free_port, wait_until, zelweb_env

REFERENCE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "reference.md"

APP = '''\
class App:
    def __init__(self, text=b"hello"):
        self.text = text

    def route(self, http):
        http.c_text(self.text)

app = App()

def make():
    return App(b"made")

class Holder:
    inner = App(b"inner")
'''


def command(cwd, *args):
    """The command run to its end: (status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-m", "zelweb_cli", *args], cwd=cwd, env=zelweb_env(),
                          capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def app_dir(tmp_path):
    (tmp_path / "app.py").write_text(APP)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "deep.py").write_text(APP.replace('b"hello"', 'b"deep"'))
    return tmp_path


@pytest.mark.parametrize("args, text", [
    (["app:app"], "hello"),
    (["app"], "hello"),
    (["--factory", "app:make"], "made"),
    (["app:Holder.inner"], "inner"),
    (["--app-dir", "sub", "deep:app"], "deep"),
], ids=["module-attr", "module-alone", "factory", "dotted", "app-dir"])
def test_serves_the_named_application_until_sigterm(app_dir, args, text):
    with CommandProcess(app_dir, "--interface", "route", *args) as server:
        r = requests.get(server.url(), timeout=10)
        assert (r.status_code, r.text) == (200, text)
        assert server.terminate() == 0


WSGI_APP = '''\
def app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"wsgi " + environ["PATH_INFO"].encode("latin-1")]

def make():
    return app
'''

FLASK_APP = '''\
from flask import Flask

app = Flask(__name__)

@app.get("/<name>")
def hello(name):
    return "flask " + name
'''


@pytest.mark.parametrize("source, args, text", [
    (WSGI_APP, ["webapp:app"], "wsgi /x"),
    (WSGI_APP, ["--factory", "webapp:make"], "wsgi /x"),
    (FLASK_APP, ["webapp"], "flask x"),
], ids=["callable", "factory", "flask"])
def test_serves_a_wsgi_application_by_default(tmp_path, source, args, text):
    if "flask" in source:
        pytest.importorskip("flask")
    (tmp_path / "webapp.py").write_text(source)
    with CommandProcess(tmp_path, *args) as server:
        r = requests.get(server.url("/x"), timeout=10)
        assert (r.status_code, r.text) == (200, text)
        assert server.terminate() == 0


def test_options_reach_serve(app_dir):
    with CommandProcess(app_dir, "--interface", "route", "--access-log", "--keep-alive", "0",
                        "--max-body", "4", "app:app") as server:
        r = requests.get(server.url("/a"), timeout=10)
        assert (r.text, r.headers["Connection"]) == ("hello", "close")
        assert requests.post(server.url("/b"), data=b"12345", timeout=10).status_code == 413
        server.wait_for('"GET /a HTTP/1.1" 200 5', stream="err")
        assert server.terminate() == 0


NO_APP = APP.replace("app = App()\n", "")


@pytest.mark.parametrize("source, args, line", [
    (None, ["nosuch:app"],
     "zelweb: cannot import module 'nosuch': ModuleNotFoundError: No module named 'nosuch'"),
    ("x = (\n", ["broken:app"],
     r"zelweb: cannot import module 'broken': SyntaxError: .* \(broken.py, line 1\)"),
    ("import json\n\njson.loads('{')\n", ["broken:app"],
     r"zelweb: cannot import module 'broken': JSONDecodeError: .* \(broken.py, line 3\)"),
    (APP, ["broken:nope"], "zelweb: module 'broken' has no attribute 'nope'"),
    (NO_APP, ["broken"], "zelweb: module 'broken' has no attribute 'app' or 'application'"),
    ("def make():\n    raise KeyError('DATABASE_URL')\n", ["--factory", "broken:make"],
     r"zelweb: broken:make\(\) raised KeyError: 'DATABASE_URL' \(broken.py, line 2\)"),
    (APP, ["--factory", "broken:app"], "zelweb: broken:app is not callable, and --factory calls it"),
    (APP, ["--interface", "wsgi", "broken:app"],
     r"zelweb: broken:app is not callable, so not a WSGI application \(.*--interface route\)"),
    (APP + "import zelweb\nzelweb.serve(app)\n", ["broken:app"],
     r"zelweb: cannot import module 'broken': RuntimeError: the module calls zelweb.serve .*"
     r"\(broken.py, line 16\)"),
], ids=["no-module", "syntax-error", "raises-on-import", "no-attribute", "no-app",
        "factory-raises", "factory-not-callable", "not-wsgi", "serves-on-import"])
def test_an_application_that_cannot_be_loaded_is_one_line_and_status_2(tmp_path, source, args, line):
    if source is not None:
        (tmp_path / "broken.py").write_text(source)
    if "--interface" not in args:
        args = ["--interface", "route", *args]
    status, out, err = command(tmp_path, *args)
    assert (status, out) == (2, "")
    assert re.fullmatch(line + "\n", err), err


def test_a_server_that_cannot_start_is_one_line_and_status_1(app_dir):
    with socket.socket() as taken:
        taken.bind((HOST, 0))
        taken.listen()
        status, out, err = command(app_dir, "--interface", "route", "--port",
                                   str(taken.getsockname()[1]), "app:app")
    assert (status, out) == (1, "")
    assert re.fullmatch(r"zelweb: OSError: \[Errno \d+\] Address already in use\n", err), err


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: MODULE:ATTR"),
    (["--workers", "0", "m:a"], "argument --workers: expected a whole number from 1 to 4096, got '0'"),
    (["--port", "http", "m:a"], "argument --port: expected a whole number from 0 to 65535, got 'http'"),
    (["--keep-alive", "nan", "m:a"], "argument --keep-alive: expected seconds from 0 to 1e9, got 'nan'"),
    (["--work=2", "m:a"], "unrecognized arguments: --work=2"),
    (["--certfile", "c.pem", "m:a"], "--certfile and --keyfile go together: give both, or neither"),
    (["--static", "public", "m:a"], "argument --static: expected PREFIX=DIR, got 'public'"),
    (["--static", "/s=a", "--static", "/s=b", "m:a"], "--static gives the prefix /s twice"),
    (["--forwarded-allow-ips", "10.0.0.1,,", "m:a"],
     "argument --forwarded-allow-ips: expected addresses separated by commas, or *, got '10.0.0.1,,'"),
    (["--app-dir", "nowhere", "m:a"], "--app-dir: no directory 'nowhere'"),
    ([":app"], "expected MODULE:ATTR or MODULE, got ':app'"),
], ids=["no-app", "workers", "port", "seconds", "abbreviated", "cert-alone", "static-form",
        "static-twice", "addresses", "app-dir", "no-module"])
def test_a_wrong_option_is_a_usage_error(tmp_path, monkeypatch, capsys, args, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as stopped:
        zelweb_cli.parse(args)
    assert stopped.value.code == 2
    assert capsys.readouterr().err.splitlines() == [
        "usage: zelweb [OPTIONS] MODULE:ATTR", "zelweb: error: " + message]


@pytest.mark.parametrize("args, keywords", [
    ([], {"interface": "wsgi"}),
    (["--interface", "route"], {}),
    (["--interface", "route", "--workers", "2", "--threads", "8", "--max-connections", "64",
      "--backlog", "16", "--keep-alive", "0", "--max-body", "0", "--shutdown-timeout", "2.5",
      "--upload-dir", "up", "--access-log"],
     {"workers": 2, "threads": 8, "max_connections": 64, "backlog": 16, "keep_alive": 0.0,
      "max_body": 0, "shutdown_timeout": 2.5, "upload_dir": "up", "access_log": True}),
    (["--certfile", "c.pem", "--keyfile", "k.pem", "--root-path", "/api",
      "--forwarded-allow-ips", "10.0.0.1, 10.0.0.2"],
     {"interface": "wsgi", "https": True, "certfile": "c.pem", "keyfile": "k.pem",
      "root_path": "/api", "forwarded_allow_ips": ["10.0.0.1", "10.0.0.2"]}),
    (["--static", "/static=public", "--static", "/media=up=loads", "--static-max-age", "3600",
      "--forwarded-allow-ips", "*"],
     {"interface": "wsgi", "static": {"/static": "public", "/media": "up=loads"},
      "static_max_age": 3600, "forwarded_allow_ips": ["*"]}),
], ids=["defaults", "route", "serve-today", "tls-proxy", "static"])
def test_options_become_the_keywords_of_serve(tmp_path, monkeypatch, args, keywords):
    monkeypatch.chdir(tmp_path)
    options = zelweb_cli.parse([*args, "m:a"])
    assert zelweb_cli.serve_keywords(options) == keywords
    assert (options.host, options.port) == ("127.0.0.1", 8080)


def test_version(tmp_path):
    assert command(tmp_path, "--version") == (0, f"zelweb {zelweb.__version__}\n", "")


def test_help_is_the_one_in_the_reference(tmp_path):
    status, out, err = command(tmp_path, "--help")
    section = REFERENCE.read_text().split("\n## The zelweb command\n")[1]
    block = re.search(r"^```text\n(.*?)^```$", section, re.S | re.M).group(1)
    assert (status, out, err) == (0, block, "")
    # Every option the command takes is in it.
    for action in zelweb_cli.parser()._actions:
        for option in action.option_strings:
            assert re.search(rf"^  (-h, )?{option}\b", out, re.M), option


RELOADED = """\
class App:
    def route(self, http):
        http.c_text(b"%s")

app = App()
"""


def test_reload_restarts_on_a_change_and_after_a_broken_edit(tmp_path):
    source = tmp_path / "live.py"
    # Each version has the first's size and modification second, as a quick
    # edit may: the new code must be served all the same, not the cached one.
    second = int(time.time()) - 100

    def write(text, tenth):
        source.write_text(RELOADED % text)
        os.utime(source, ns=(second * 10**9 + tenth * 10**8,) * 2)

    def serves(text):
        try:
            return requests.get(url, timeout=5).text == text
        except requests.RequestException:
            return False

    write("one", 1)
    port = free_port()
    url = f"http://{HOST}:{port}/"
    env = zelweb_env()
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # the cache is written, as usual
    with CommandProcess(tmp_path, "--reload", "--interface", "route", "live:app",
                        port=port, env=env) as supervisor:
        assert serves("one")
        write("two", 2)
        assert wait_until(lambda: serves("two"), timeout=30), supervisor.output("err")
        source.write_text("x = (\n")
        supervisor.wait_for("zelweb: the server exited with status 2", stream="err")
        write("six", 3)
        assert wait_until(lambda: serves("six"), timeout=30), supervisor.output("err")
        assert len(re.findall("changed; restarting", supervisor.output("err"))) == 3
        assert supervisor.terminate() == 0
    with pytest.raises(OSError):
        socket.create_connection((HOST, port), timeout=1).close()
