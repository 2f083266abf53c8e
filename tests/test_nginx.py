"""zelweb behind nginx, as deploy/run.sh sets it up: requests of every body
kind reach one of several processes over connections nginx keeps open, and
the proxy's limits match zelweb's."""
import hashlib
import http.client
import json
import os
import pathlib
import random
import shutil
import socket
import subprocess
import sys
import time

import pytest
import requests

from helpers import HOST, LoggedProcess, free_port, wait_listening, zelweb_env

ROOT = pathlib.Path(__file__).resolve().parent.parent
RUN = ROOT / "deploy" / "run.sh"
NGINX = shutil.which("nginx") or next(
    (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.access(p, os.X_OK)), None)

pytestmark = pytest.mark.skipif(NGINX is None, reason="nginx is not installed (apt-get install -y nginx)")

MAX_POST = 1024000

# Answers with what it read, as JSON, and which process it is.
ECHO_APP = '''\
import hashlib, json, os

class App:
    def route(self, http):
        body = http.c_json()
        a = http.c_post(b"a")
        upload = {}
        if http.c_files(b"name"):
            tmp_name = http.c_files(b"tmp_name")
            kept = b"kept-" + os.path.basename(tmp_name)
            http.c_copy(tmp_name, kept)
            with open(kept, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            os.remove(kept)
            upload = {"name": http.c_files(b"name").decode(), "size": int(http.c_files(b"size")),
                      "sha256": digest, "title": http.c_post(b"title").decode()}
        forwarded = http.c_header(b"X-Forwarded-For")
        http.c_content_type(b"application/json")
        http.c_text(json.dumps({
            "pid": os.getpid(), "path": http.c_url().decode(), "q": http.c_get(b"q").decode(),
            "a": a.decode() if len(a) < 1000 else "", "body": body.decode() if len(body) < 1000 else "",
            "body_len": len(body), "upload": upload,
            # nginx is trusted: the client it names, not anything sent before it.
            "client": http.c_remote_addr().decode(),
            "scheme": http.c_scheme().decode(),
            "forwarded_for": forwarded.decode(),
            "token": http.c_get_auth(b"token").decode(),
            "remote_port": http.c_remote_port(),  # nginx's end of the upstream connection
        }).encode())

app = App()
'''


def free_ports(n):
    """A run of n consecutive free ports, below the ephemeral range so that no
    client connection holds one of them."""
    for _ in range(200):
        base = random.randrange(20000, 32000)
        try:
            for p in range(base, base + n):
                with socket.socket() as s:
                    s.bind((HOST, p))
            return base
        except OSError:
            continue
    raise RuntimeError("no run of free ports")


class Deployment(LoggedProcess):
    def __init__(self, workdir, processes):
        self.base = free_ports(processes)
        self.ports = list(range(self.base, self.base + processes))
        self.listen = free_port()
        app = pathlib.Path(workdir) / "echo_app.py"
        app.write_text(ECHO_APP)
        env = zelweb_env(NGINX=NGINX, NGINX_WORKERS="1", PYTHON=sys.executable,
                         UPLOAD_PATHS="/upload", UPLOAD_MAX="8m")
        super().__init__(["bash", str(RUN), str(processes), str(self.base), str(self.listen),
                          "--interface", "route", "echo_app:app"],
                         workdir, "deploy.log", env=env, grace=15)
        deadline = time.monotonic() + 30
        while "ready:" not in self.output():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                log = self.output()
                self.stop()
                raise RuntimeError("deploy/run.sh did not get ready:\n" + log)
            time.sleep(0.05)

    def url(self, path):
        return f"http://{HOST}:{self.listen}{path}"


@pytest.fixture(scope="module")
def deployed(tmp_path_factory):
    d = Deployment(str(tmp_path_factory.mktemp("deploy")), 2)
    yield d
    d.stop()


def test_get_reaches_every_process_with_query_and_client_address(deployed):
    seen = set()
    for _ in range(6):
        r = requests.get(deployed.url("/echo"), params={"q": "a b!"}, timeout=10)
        assert r.status_code == 200
        assert r.headers["Content-Type"] == "application/json"
        echo = r.json()
        assert (echo["path"], echo["q"], echo["client"]) == ("/echo", "a b!", "127.0.0.1")
        seen.add(echo["pid"])
    assert len(seen) == len(deployed.ports)


def test_nginx_reuses_its_connections_to_zelweb(deployed):
    requests_sent = 12
    connections = set()
    for _ in range(requests_sent):
        # A new client connection each time: only nginx's upstream side is kept.
        echo = requests.get(deployed.url("/echo"), headers={"Connection": "close"},
                            timeout=10).json()
        connections.add((echo["pid"], echo["remote_port"]))
    assert len(connections) < requests_sent / 2, connections


def test_form_post_is_read(deployed):
    r = requests.post(deployed.url("/form"), data={"a": "1 + 1", "b": "2"}, timeout=10)
    assert r.json()["a"] == "1 + 1"
    assert r.json()["body"] == "a=1+%2B+1&b=2"


def test_json_post_is_read(deployed):
    payload = '{"text": "caf\\u00e9", "n": [1, 2, 3]}'
    r = requests.post(deployed.url("/api"), data=payload.encode(),
                      headers={"Content-Type": "application/json; charset=utf-8"}, timeout=10)
    assert r.json()["body"] == payload


def test_upload_larger_than_max_post_is_streamed_to_the_application(deployed):
    data = os.urandom(MAX_POST + 500000)
    r = requests.post(deployed.url("/upload"), data={"title": "noise"},
                      files={"file": ("noise.bin", data, "application/octet-stream")}, timeout=30)
    assert r.status_code == 200
    assert r.json()["upload"] == {"name": "noise.bin", "size": len(data), "title": "noise",
                                  "sha256": hashlib.sha256(data).hexdigest()}


@pytest.mark.parametrize("path, kind, size, status", [
    ("/form", "form", MAX_POST, 200),
    ("/form", "form", MAX_POST + 1, 413),
    ("/form", "upload", MAX_POST + 1, 413),
    ("/upload", "upload", 9 * 1024 * 1024, 413),
], ids=["form-at-max-post", "form-past-max-post", "upload-elsewhere", "upload-past-upload-max"])
def test_body_limits_match_zelweb(deployed, path, kind, size, status):
    if kind == "form":
        body = b"a=" + b"x" * (size - 2)
        r = requests.post(deployed.url(path), data=body, timeout=30,
                          headers={"Content-Type": "application/x-www-form-urlencoded"})
    else:
        r = requests.post(deployed.url(path), files={"file": ("f", b"x" * size)}, timeout=30)
    assert r.status_code == status
    if status == 200:
        assert r.json()["body_len"] == size


def test_client_cannot_forge_its_address_and_its_auth_header_passes_unchanged(deployed):
    # From another loopback address than nginx's own, which zelweb trusts.
    con = http.client.HTTPConnection(HOST, deployed.listen, timeout=10,
                                     source_address=("127.0.0.3", 0))
    try:
        con.request("GET", "/echo", headers={"X-Forwarded-For": "203.0.113.9", "Auth": "token=t0k"})
        echo = json.loads(con.getresponse().read())
    finally:
        con.close()
    assert echo["forwarded_for"] == "203.0.113.9, 127.0.0.3"
    assert (echo["client"], echo["scheme"], echo["token"]) == ("127.0.0.3", "http", "t0k")


def test_stopping_the_script_stops_nginx_and_every_process(tmp_path):
    d = Deployment(str(tmp_path), 1)
    pids = [int(line.split()[1]) for line in subprocess.run(
        ["ps", "-o", "ppid=,pid=", "-e"], capture_output=True, text=True).stdout.splitlines()
        if int(line.split()[0]) == d.proc.pid]
    assert len(pids) == 2  # one zelweb process and the nginx master
    d.stop()
    assert d.proc.returncode != 0
    for port in [d.listen] + d.ports:
        with pytest.raises(OSError):
            socket.create_connection((HOST, port), timeout=1).close()
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def test_upstream_keepalive_reuses_connections_to_serve(serving, tmp_path):
    srv = serving()
    srv.handle(b"/port", lambda http: http.c_text(str(http.c_remote_port()).encode()))
    listen = free_port()
    temp_paths = "".join(f"    {kind}_temp_path {tmp_path}/{kind};\n"
                         for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    conf = tmp_path / "nginx.conf"
    conf.write_text(f"""daemon off;
master_process off;
pid {tmp_path}/nginx.pid;
error_log stderr warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
{temp_paths}    upstream zelweb {{ server {HOST}:{srv.port}; keepalive 8; }}
    server {{
        listen {HOST}:{listen};
        location / {{
            proxy_pass http://zelweb;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }}
    }}
}}
""")
    nginx = LoggedProcess([NGINX, "-p", str(tmp_path), "-c", str(conf), "-e", "stderr"],
                          str(tmp_path), "nginx.log", grace=10)
    try:
        wait_listening(listen)
        replies = [requests.get(f"http://{HOST}:{listen}/port", timeout=10) for _ in range(6)]
    finally:
        log = nginx.output()
        nginx.stop()
    assert [r.status_code for r in replies] == [200] * 6, log
    ports = [int(r.text) for r in replies]
    assert len(set(ports)) < len(ports)
