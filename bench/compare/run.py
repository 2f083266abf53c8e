#!/usr/bin/env python3
"""zelweb side by side with the servers users would pick instead.

    python3 bench/compare/run.py            full: 3 runs x 10 s per cell (about 35 min)
    python3 bench/compare/run.py --quick    1 run x 3 s per cell (about 4 min), noisy

Builds the current tree into build/bench (and the design's ceiling,
ceiling.cpp, beside it), installs what is missing (pip: werkzeug, waitress,
granian, matplotlib; apt: wrk, nginx), starts each server on 127.0.0.1 and
loads it with wrk, pinned to core 1 and the server to core 0 when there are
two cores: sending "Connection: close" (one connection, one request) for
start and its peers, and without it (wrk keeps each connection for request
after request) for the kept-alive rows: zelweb.serve, the ceiling's
kept-alive loop, nginx with keep-alive on, Granian and Waitress. serve also
gets a "Connection: close" row beside start. When the build has no
zelweb.serve, its rows are skipped (and said so).

Writes bench/results/compare-<date>.md (the tables, the ratios, the goals)
and docs/bench.png (requests per second against concurrency, one request
per connection and kept alive). Every figure comes from this one run:
compare ratios, not absolute numbers, across machines.
"""
import argparse
import datetime
import http.client
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
BUILD = ROOT / "build" / "bench"
CEILING_BUILD = BUILD / "ceiling"
WORK = BUILD / "work"
RESULTS = ROOT / "bench" / "results"
CHART = ROOT / "docs" / "bench.png"

sys.path.insert(0, str(HERE))
from common import BODY, FILE_NAME, FILE_SIZE  # noqa: E402

PY = sys.executable
CONCURRENCY = [1, 16, 64, 256]
GOAL_C = 64
SBIN = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])


# ---------------------------------------------------------------- servers

def zelweb_env():
    return {"PYTHONPATH": os.pathsep.join([str(BUILD), str(HERE)])}


# Another build of zelweb (a directory with its extension, such as a `pip
# install --target` of an older commit): --old-zelweb or ZELWEB_OLD.
OLD_BUILD = os.environ.get("ZELWEB_OLD", "")


def old_env():
    return {"PYTHONPATH": os.pathsep.join([OLD_BUILD, str(HERE)])}


def ceiling_env():
    return {"PYTHONPATH": os.pathsep.join([str(CEILING_BUILD), str(HERE)])}


def here_env():
    return {"PYTHONPATH": str(HERE)}


def nginx_command(port, kept=False):
    prefix = WORK / ("nginx-ka" if kept else "nginx")  # both may run at once
    prefix.mkdir(parents=True, exist_ok=True)
    conf = (HERE / "nginx.conf").read_text()
    keepalive = "75s" if kept else "0"
    for key, value in {"port": port, "work": WORK, "prefix": prefix, "keepalive": keepalive}.items():
        conf = conf.replace("{%s}" % key, str(value))
    (prefix / "nginx.conf").write_text(conf)
    return [shutil.which("nginx", path=SBIN), "-c", str(prefix / "nginx.conf"), "-p", str(prefix)]


KEPT = {"hello-ka", "browser-ka"}

# name: (command for a port, extra environment, scenarios it can serve)
SERVERS = {
    "zelweb": (lambda p: [PY, str(HERE / "zelweb_app.py"), str(p)], zelweb_env,
               {"hello", "browser", "form", "file", "upload"}),
    "zelweb-serve": (lambda p: [PY, str(HERE / "zelweb_app.py"), str(p), "serve"], zelweb_env,
                     {"hello", "browser", "form", "file"} | KEPT),
    # Not in the default set: serve of another build, the one it replaces (--old-zelweb).
    "zelweb-serve-old": (lambda p: [PY, str(HERE / "zelweb_app.py"), str(p), "serve"], old_env,
                         {"hello"} | KEPT),
    "ceiling": (lambda p: [PY, str(HERE / "ceiling_server.py"), str(p)], ceiling_env,
                {"hello", "browser"}),
    "ceiling-ka": (lambda p: [PY, str(HERE / "ceiling_server.py"), str(p), "keep-alive"],
                   ceiling_env, KEPT),
    "nginx": (nginx_command, dict, {"hello", "browser", "file"}),
    "nginx-ka": (lambda p: nginx_command(p, kept=True), dict, KEPT),
    "http.server": (lambda p: [PY, str(HERE / "stdlib_server.py"), str(p)], here_env,
                    {"hello", "browser", "form", "file"}),
    "werkzeug": (lambda p: [PY, str(HERE / "wsgi_app.py"), str(p), "werkzeug"], here_env,
                 {"hello", "browser", "form", "file"}),
    "waitress-4": (lambda p: [PY, str(HERE / "wsgi_app.py"), str(p), "waitress", "4"], here_env,
                   {"hello", "browser", "form", "file"} | KEPT),
    "waitress-16": (lambda p: [PY, str(HERE / "wsgi_app.py"), str(p), "waitress", "16"], here_env,
                    {"hello", "browser", "form", "file"} | KEPT),
    "granian": (lambda p: [PY, "-m", "granian", "--interface", "wsgi", "--workers", "1",
                           "--no-ws", "--http", "1", "--host", "127.0.0.1", "--port", str(p),
                           "wsgi_app:app"], here_env, {"hello", "browser", "form", "file"} | KEPT),
    # Not in the default set: the ceiling's loop without the thread per connection.
    "ceiling-inline": (lambda p: [PY, str(HERE / "ceiling_server.py"), str(p), "inline"],
                       ceiling_env, {"hello", "browser"}),
}
DEFAULT_SERVERS = ["zelweb", "zelweb-serve", "ceiling", "ceiling-ka", "nginx", "nginx-ka",
                   "http.server", "werkzeug", "waitress-4", "waitress-16", "granian"]
KEPT_PEERS = ["zelweb-serve", "ceiling-ka", "nginx-ka", "granian", "waitress-4"]

# name: (title, path, wrk script, kept alive: no "Connection: close" from wrk)
SCENARIOS = {
    "hello": ("hello world, wrk's short head", "/", None, False),
    "browser": ("hello world, a 608-byte browser-like head", "/", "browser.lua", False),
    "form": ("a 1 KB urlencoded form POST (zelweb: c_post)", "/form", "form.lua", False),
    "file": ("a 1 MiB file body (zelweb: c_data; nginx: static file)", "/file", None, False),
    "hello-ka": ("kept alive: hello world, wrk's short head", "/", None, True),
    "browser-ka": ("kept alive: hello world, the browser-like head (589 bytes without "
                   "\"Connection: close\")", "/", "browser.lua", True),
}
LOADS = ["hello", "browser", "form", "file", "hello-ka", "browser-ka"]
# Which servers load which scenario, and at which concurrency. The two hello
# sweeps are the chart; the others are at the goals' concurrency, for the
# servers the goals compare with (--wide: every server that can).
PLAN = {
    "hello": ([s for s in DEFAULT_SERVERS if s not in ("ceiling-ka", "nginx-ka")], None),
    "browser": (["zelweb", "ceiling", "nginx", "http.server"], [GOAL_C]),
    "form": (["zelweb"], [GOAL_C]),
    "file": (["zelweb", "nginx"], [GOAL_C]),
    "hello-ka": (KEPT_PEERS, None),
    "browser-ka": (KEPT_PEERS, [GOAL_C]),
}
# The ratio columns of each scenario's table.
BASES = {sc: ["ceiling-ka", "nginx-ka", "granian", "waitress-4", "zelweb-serve-old"] if SCENARIOS[sc][3]
         else ["ceiling", "nginx", "http.server", "zelweb-serve-old"] for sc in SCENARIOS}


class Process:
    """One server, its output in WORK/logs/NAME.log, stopped by its PID."""

    def __init__(self, name, argv, port, env, pin):
        self.name, self.port = name, port
        if pin:
            argv = ["taskset", "-c", "0"] + argv
        self.log_path = WORK / "logs" / (name + ".log")
        self.log_path.parent.mkdir(parents=True, exist_ok=True)
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(argv, cwd=WORK, env={**os.environ, **env},
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        try:
            wait_listening(self.port, self.proc, self.log_path)
        except RuntimeError:
            self.stop()
            raise

    def alive(self):
        return self.proc.poll() is None

    def rss_kib(self, field):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(field + r":\s+(\d+)", f.read()).group(1))

    def stop(self):
        if self.alive():
            self.proc.terminate()  # this PID only; nginx and granian end their workers
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Server(Process):
    def __init__(self, name, pin):
        command, env, self.scenarios = SERVERS[name]
        port = free_port()
        super().__init__(name, command(port), port, env(), pin)

    def peak_rss_kib(self):
        return self.rss_kib("VmHWM")


def has_serve():
    """Whether the build run here has zelweb.serve (False only when it
    imports and lacks it: a broken build fails at its server's start)."""
    probe = subprocess.run([PY, "-c", "import sys, zelweb; sys.exit(0 if hasattr(zelweb, 'serve') else 3)"],
                           cwd=WORK, env={**os.environ, **zelweb_env()}, capture_output=True)
    return probe.returncode != 3


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, log_path, limit=30.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server exited with %s; see %s" % (proc.returncode, log_path))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server not listening after %ds; see %s" % (limit, log_path))


def check_answer(port, scenario):
    """One request by hand: every server must answer the same thing before
    its figures mean anything. Kept-alive scenarios: two requests on one
    connection, the first answer not saying it closes."""
    if SCENARIOS[scenario][3]:
        return check_kept(port, scenario)
    con = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        if scenario == "form":
            body = "&".join("field%02d=%s" % (i, "v" * 56) for i in range(16))
            con.request("POST", "/form", body, {"Content-Type": "application/x-www-form-urlencoded",
                                                "Connection": "close"})
        else:
            con.request("GET", SCENARIOS[scenario][1], headers={"Connection": "close"})
        r = con.getresponse()
        data = r.read()
    finally:
        con.close()
    want = (WORK / FILE_NAME).read_bytes() if scenario == "file" else BODY
    if r.status != 200 or data != want:
        raise RuntimeError("%s: status %d, %d bytes, body %r..." % (scenario, r.status, len(data), data[:40]))
    return r.will_close  # said by the response itself: "Connection: close" or HTTP/1.0


def check_kept(port, scenario):
    con = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        for attempt in (1, 2):
            con.request("GET", SCENARIOS[scenario][1])
            r = con.getresponse()
            data = r.read()
            if r.status != 200 or data != BODY:
                raise RuntimeError("%s: status %d, body %r..." % (scenario, r.status, data[:40]))
            if r.will_close:
                raise RuntimeError("%s: response %d says the connection closes: not kept alive"
                                   % (scenario, attempt))
    finally:
        con.close()
    return True  # every socket error wrk counts is then a real one


def raw_answer(port, close):
    """The bytes of one answer to a plain GET /, as they come off the wire."""
    head = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + (b"Connection: close\r\n" if close else b"") + b"\r\n"
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(head)
        while True:
            end = data.find(b"\r\n\r\n")
            if end >= 0:
                m = re.search(rb"\r\ncontent-length: *(\d+)", data[:end], re.I)
                if m and len(data) >= end + 4 + int(m.group(1)):
                    return data
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk


def same_bytes(live):
    """Whether zelweb and its ceiling put the same bytes on the wire (the Date
    line's value aside): what makes the ceiling a fair bound."""
    notes = []
    for ours, ceiling, close in (("zelweb", "ceiling", True), ("zelweb-serve", "ceiling-ka", False)):
        if ours not in live or ceiling not in live:
            continue
        try:
            a, b = (raw_answer(live[name].port, close) for name in (ours, ceiling))
        except OSError as e:
            notes.append("%s and %s: not compared (%s)" % (ours, ceiling, e))
            continue

        def masked(x):
            return re.sub(rb"\r\nDate: [^\r]*", b"\r\nDate: -", x)

        if masked(a) == masked(b) and len(a) == len(b):
            notes.append("%s and %s answer the same %d bytes%s" % (
                ours, ceiling, len(a), " (the Date value aside)" if b"\r\nDate:" in a else ""))
        else:
            notes.append("%s and %s answer **different bytes**: %r against %r" % (ours, ceiling, a, b))
        print(notes[-1], flush=True)
    return notes

# ---------------------------------------------------------------- wrk

UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3, "m": 60e3}


def to_ms(text):
    m = re.fullmatch(r"([\d.]+)(us|ms|s|m)", text)
    return float(m.group(1)) * UNITS[m.group(2)]


def parse_wrk(out, announces_close):
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    lat = dict(re.findall(r"^\s*(50|99)%\s+(\S+)\s*$", out, re.M))
    errors = 0
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if m:
        connect, read, write, timeout = map(int, m.groups())
        # A response that does not say "Connection: close" leaves wrk taking
        # the connection as kept alive: its next request finds it closed and
        # counts one read (or write) error per response before reconnecting.
        # Only errors beyond those are failed requests.
        lost = read + write if announces_close else max(0, read + write - requests)
        errors += connect + timeout + lost
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if m:
        errors += int(m.group(1))
    return {"rps": rps, "p50": to_ms(lat["50"]) if "50" in lat else None,
            "p99": to_ms(lat["99"]) if "99" in lat else None, "errors": errors}


def run_wrk(port, scenario, c, duration, pin, announces_close):
    _, path, script, kept = SCENARIOS[scenario]
    argv = ["wrk", "-t1", "-c%d" % c, "-d%ds" % duration, "--latency", "--timeout", "5s"]
    if not kept:
        argv += ["-H", "Connection: close"]
    if script:
        argv += ["-s", str(HERE / script)]
    argv.append("http://127.0.0.1:%d%s" % (port, path))
    if pin:
        argv = ["taskset", "-c", "1"] + argv
    out = subprocess.run(argv, capture_output=True, text=True, timeout=duration + 30)
    with open(WORK / "logs" / "wrk.log", "a") as log:  # wrk's own words, for a second look
        log.write("$ %s\n%s%s\n" % (" ".join(argv), out.stdout, out.stderr))
    if out.returncode != 0:
        raise RuntimeError("wrk failed: " + out.stderr.strip())
    return parse_wrk(out.stdout, announces_close)


def summarise(runs):
    def med(key):
        values = [r[key] for r in runs if r[key] is not None]
        return statistics.median(values) if values else None

    return {"rps": med("rps"), "p50": med("p50"), "p99": med("p99"),
            "errors": sum(r["errors"] for r in runs), "runs": [r["rps"] for r in runs]}


# ---------------------------------------------------------------- upload

def run_upload(sizes_mb, runs, pin):
    """MB/s of multipart uploads to a fresh zelweb and its peak resident
    memory: by bench/upload.py when it is there, else by curl."""
    try:
        sys.path.insert(0, str(ROOT / "bench"))
        import upload as upload_bench
        bench_size = upload_bench.bench_size
    except (ImportError, AttributeError):
        return upload_by_curl(sizes_mb, runs, pin)
    finally:
        sys.path.remove(str(ROOT / "bench"))
    directory = WORK / "upload"
    (directory / "tmp").mkdir(parents=True, exist_ok=True)
    saved_affinity = os.sched_getaffinity(0)
    saved_path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = str(BUILD)  # its server imports this build's zelweb
    try:
        if pin:
            os.sched_setaffinity(0, {1})  # the client here; it pins its server to core 0
        sizes = []
        for mb in sizes_mb:
            r = bench_size(str(directory), mb, runs, 0 if pin else None, "length")
            sizes.append({"mb": mb, "mb_per_s": r["median"], "idle_kib": r["idle_hwm"],
                          "peak_kib": r["hwm"]})
    finally:
        os.sched_setaffinity(0, saved_affinity)
        if saved_path is None:
            os.environ.pop("PYTHONPATH")
        else:
            os.environ["PYTHONPATH"] = saved_path
    return {"client": "bench/upload.py: a text field, the file, a text field; a fresh server "
                      "per size", "sizes": sizes}


def upload_file(mb):
    path = WORK / ("upload-%dmb.bin" % mb)
    size = mb * 1000 * 1000
    if not path.exists() or path.stat().st_size != size:
        block = os.urandom(1 << 20)
        with open(path, "wb") as f:
            left = size
            while left:
                f.write(block[:min(left, len(block))])
                left -= min(left, len(block))
    return path, size


def upload_by_curl(sizes_mb, runs, pin):
    server = Server("zelweb", pin)
    idle = server.peak_rss_kib()
    sizes = []
    try:
        for mb in sizes_mb:
            path, size = upload_file(mb)
            speeds = []
            for _ in range(runs):
                argv = ["curl", "-sS", "-H", "Expect:", "-F",
                        "file=@%s;type=application/octet-stream" % path,
                        "-w", "\n%{http_code} %{time_total}",
                        "http://127.0.0.1:%d/upload" % server.port]
                if pin:
                    argv = ["taskset", "-c", "1"] + argv
                out = subprocess.run(argv, capture_output=True, text=True, timeout=300)
                body, _, tail = out.stdout.rpartition("\n")
                status, seconds = tail.split()
                if out.returncode != 0 or status != "200" or body != str(size):
                    raise RuntimeError("upload of %d MB: curl %d, status %s, answer %r %s"
                                       % (mb, out.returncode, status, body[:60], out.stderr.strip()))
                speeds.append(size / float(seconds) / 1e6)
            sizes.append({"mb": mb, "mb_per_s": statistics.median(speeds), "idle_kib": idle,
                          "peak_kib": server.peak_rss_kib()})
    finally:
        server.stop()
    return {"client": "curl -F, the file alone; one server for all sizes", "sizes": sizes}


# ---------------------------------------------------------------- setup

def have(tool):
    return shutil.which(tool, path=SBIN) is not None


def install(skip):
    missing_apt = [t for t in ("wrk", "nginx", "curl") if not have(t)]
    if missing_apt and not skip:
        # Waits for the dpkg lock rather than running beside another apt.
        lock = ["-o", "DPkg::Lock::Timeout=900"]
        subprocess.run(["apt-get", *lock, "update", "-q"], check=True)
        subprocess.run(["apt-get", *lock, "install", "-y", "-q", *missing_apt], check=True,
                       env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
    missing_pip = [p for p, m in (("werkzeug", "werkzeug"), ("waitress", "waitress"),
                                  ("granian", "granian"), ("matplotlib", "matplotlib"))
                   if subprocess.run([PY, "-c", "import " + m], capture_output=True).returncode]
    if missing_pip and not skip:
        subprocess.run([PY, "-m", "pip", "install", "-q", *missing_pip], check=True)
    still = [t for t in ("wrk", "nginx", "curl", "taskset") if not have(t)]
    if still:
        sys.exit("missing tools: " + ", ".join(still))


def build():
    generator = ["-G", "Ninja"] if shutil.which("ninja") and not (BUILD / "CMakeCache.txt").exists() else []
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), *generator,
                    "-DPython_EXECUTABLE=" + PY, "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD)], check=True, stdout=subprocess.DEVNULL)
    CEILING_BUILD.mkdir(parents=True, exist_ok=True)
    target = CEILING_BUILD / ("ceiling" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(["g++", "-O2", "-std=c++17", "-shared", "-fPIC", "-Wall",
                    "-I" + sysconfig.get_paths()["include"], str(HERE / "ceiling.cpp"),
                    "-o", str(target)], check=True)


def prepare_work():
    (WORK / "tmp").mkdir(parents=True, exist_ok=True)  # zelweb streams uploads here
    path = WORK / FILE_NAME
    if not path.exists() or path.stat().st_size != FILE_SIZE:
        # Bytes with a line feed now and then, as a real file has.
        import random
        rnd = random.Random(1)
        path.write_bytes(bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 \n")
                               for _ in range(FILE_SIZE)))


# ---------------------------------------------------------------- report

def fmt(x, digits=0):
    if x is None:
        return "–"
    return "{:,.{}f}".format(x, digits)


def ratio(a, b):
    return fmt(a / b, 2) if a and b else "–"


def scenario_table(name, cells):
    rows = sorted(((s, c) for (sc, s, c) in cells if sc == name),
                  key=lambda k: (k[1], SERVER_ORDER.index(k[0])))
    if not rows:
        return []
    title = SCENARIOS[name][0]
    bases = [b for b in BASES[name] if b != "zelweb-serve-old" or any(k[1] == b for k in cells)]
    lines = ["### %s" % title, ""]
    head = ["server", "c", "req/s"] + (["MiB/s"] if name == "file" else []) + \
           ["p50 ms", "p99 ms", "errors"] + ["× " + b for b in bases]
    lines.append("| " + " | ".join(head) + " |")
    lines.append("|" + "|".join("---" if i == 0 else "--:" for i in range(len(head))) + "|")
    for server, c in rows:
        r = cells[(name, server, c)]
        if "failed" in r:
            lines.append("| %s | %d | failed: %s |" % (server, c, r["failed"]))
            continue

        def base(other):
            o = cells.get((name, other, c))
            return o.get("rps") if o else None

        row = [server, str(c), fmt(r["rps"])]
        if name == "file":
            row.append(fmt(r["rps"] * FILE_SIZE / (1 << 20)))
        row += [fmt(r["p50"], 2), fmt(r["p99"], 2), str(r["errors"])]
        row += [ratio(r["rps"], base(b)) for b in bases]
        lines.append("| " + " | ".join(row) + " |")
    return lines + [""]


def goals(cells, upload):
    def get(sc, server, c=GOAL_C, key="rps"):
        r = cells.get((sc, server, c))
        return r.get(key) if r else None

    out = []

    def goal(text, value, target, met, shown=None):
        if value is None:
            out.append("| %s | – | %s | not measured |" % (text, target))
        else:
            out.append("| %s | %s | %s | %s |" % (text, shown or fmt(value, 2), target,
                                                  "met" if met(value) else "**not met**"))

    def div(a, b):
        return a / b if a and b else None

    for sc in ("hello", "browser"):
        z = get(sc, "zelweb")
        goal("%s, c=%d: zelweb / ceiling" % (sc, GOAL_C), div(z, get(sc, "ceiling")), "≥ 0.90",
             lambda v: v >= 0.9)
        goal("%s, c=%d: zelweb / http.server" % (sc, GOAL_C), div(z, get(sc, "http.server")),
             "≥ 2.0", lambda v: v >= 2.0)
        goal("%s, c=%d: zelweb p99 / nginx p99" % (sc, GOAL_C),
             div(get(sc, "zelweb", key="p99"), get(sc, "nginx", key="p99")), "≤ 2.0",
             lambda v: v <= 2.0)

    def with_p99(sc, a, b):
        # The rate ratio, and both p99 latencies beside it.
        def shown(v):
            return "%s (p99 %s / %s ms)" % (fmt(v, 2), fmt(get(sc, a, key="p99"), 2),
                                            fmt(get(sc, b, key="p99"), 2))
        return shown

    for sc in ("hello-ka", "browser-ka"):
        z = get(sc, "zelweb-serve")
        for peer, target in (("ceiling-ka", 0.85), ("granian", 2.5), ("waitress-4", 6.0),
                             ("nginx-ka", 0.75), ("zelweb-serve-old", 1.0)):
            value = div(z, get(sc, peer))
            goal("%s, c=%d: serve / %s" % (sc, GOAL_C, peer), value, "≥ %s" % target,
                 lambda v, t=target: v >= t, value and with_p99(sc, "zelweb-serve", peer)(value))
    value = div(get("browser-ka", "zelweb-serve"), get("hello-ka", "zelweb-serve"))
    for server in ("zelweb-serve", "zelweb-serve-old"):
        value = div(get("browser-ka", server), get("hello-ka", server))
        goal("browser-ka / hello-ka, c=%d (%s)" % (GOAL_C, server[7:]), value, "≥ 0.9",
             lambda v: v >= 0.9, value and "%s (p99 %s / %s ms)" % (
                 fmt(value, 2), fmt(get("browser-ka", server, key="p99"), 2),
                 fmt(get("hello-ka", server, key="p99"), 2)))
    value = div(get("hello", "zelweb-serve"), get("hello", "zelweb"))
    goal("hello, c=%d, Connection: close: serve / start" % GOAL_C, value, "≥ 0.95",
         lambda v: v >= 0.95, value and with_p99("hello", "zelweb-serve", "zelweb")(value))
    value = div(get("hello", "zelweb-serve"), get("hello", "zelweb-serve-old"))
    goal("hello, c=%d, Connection: close: serve / serve-old" % GOAL_C, value, "≥ 1.0",
         lambda v: v >= 1.0, value and with_p99("hello", "zelweb-serve", "zelweb-serve-old")(value))
    goal("hello, c=1: zelweb / ceiling", div(get("hello", "zelweb", 1), get("hello", "ceiling", 1)),
         "≥ 0.90", lambda v: v >= 0.9)
    goal("1 MiB file, c=%d: zelweb MiB/s / nginx MiB/s" % GOAL_C,
         div(get("file", "zelweb"), get("file", "nginx")), "≥ 1.0", lambda v: v >= 1.0)
    goal("1 KB form / hello, c=%d (zelweb)" % GOAL_C, div(get("form", "zelweb"), get("hello", "zelweb")),
         "≥ 0.85", lambda v: v >= 0.85)
    if upload and upload.get("sizes"):
        big = upload["sizes"][-1]
        goal("%d MB upload: MB/s" % big["mb"], big["mb_per_s"], "≥ 300", lambda v: v >= 300,
             fmt(big["mb_per_s"]))
        if len(upload["sizes"]) > 1:
            small = upload["sizes"][0]
            growth = (big["peak_kib"] - small["peak_kib"]) / 1024
            goal("peak RSS growth from %d MB to %d MB upload, MiB" % (small["mb"], big["mb"]), growth,
                 "≈ 0 (independent of size)", lambda v: v < 8, fmt(growth, 1))
    return ["| goal | measured | target | |", "|---|--:|---|---|"] + out + [""]


def upload_table(upload):
    if not upload:
        return []
    if "failed" in upload:
        return ["### uploads to zelweb", "", "failed: " + upload["failed"], ""]
    lines = ["### uploads to zelweb (%s)" % upload["client"], "",
             "| upload | MB/s (10^6 B) | server peak RSS before, MiB | after, MiB |", "|---|--:|--:|--:|"]
    for s in upload["sizes"]:
        lines.append("| %d MB | %s | %s | %s |" % (s["mb"], fmt(s["mb_per_s"]), fmt(s["idle_kib"] / 1024, 1),
                                                 fmt(s["peak_kib"] / 1024, 1)))
    return lines + [""]


def keep_alive_note(silent):
    if not silent:
        return ""
    return (" %s answer(s) HTTP/1.1 without \"Connection: close\": wrk then takes the connection "
            "as kept alive, sends its next request on it, finds it closed and counts a read error "
            "before it reconnects, once per response; so for them only the errors beyond the "
            "number of responses are counted, and their rates carry that extra round." %
            ", ".join(sorted(silent)))


def machine():
    model = ""
    try:
        model = re.search(r"model name\s*:\s*(.*)", Path("/proc/cpuinfo").read_text()).group(1)
    except (OSError, AttributeError):
        pass
    rev = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                         capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "--no-optional-locks", "-C", str(ROOT), "status", "--porcelain",
                            "--untracked-files=no"], capture_output=True, text=True).stdout.strip()
    if rev and dirty:
        rev += " with local changes"
    return "%s, %d cores; Python %s; %s; zelweb at %s" % (
        model or platform.machine(), os.cpu_count(), platform.python_version(),
        subprocess.run(["nginx", "-v"], capture_output=True, text=True,
                       env={"PATH": SBIN}).stderr.strip(), rev or "?")


# A fixed colour per server, so that charts of different runs compare; a
# kept-alive variant takes its server's colour (it is in the other panel).
COLOUR = {name: i for i, name in enumerate(
    ["zelweb", "ceiling", "nginx", "http.server", "werkzeug", "waitress-4", "waitress-16",
     "granian", "ceiling-inline", "zelweb-serve", "zelweb-serve-old"])}
COLOUR.update({"ceiling-ka": COLOUR["ceiling"], "nginx-ka": COLOUR["nginx"]})
LABEL = {"zelweb": "zelweb start", "zelweb-serve": "zelweb serve",
         "zelweb-serve-old": "zelweb serve (replaced build)", "ceiling-ka": "ceiling (kept alive)",
         "nginx-ka": "nginx (keep-alive on)"}


def chart(cells, args, path):
    try:
        import matplotlib
    except ImportError:
        print("chart skipped: matplotlib does not import")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [(sc, title) for sc, title in (
        ("hello", "one request per connection (wrk sends Connection: close)"),
        ("hello-ka", "kept alive (wrk keeps each connection)"))
        if any(k[0] == sc and cells[k].get("rps") for k in cells)]
    if not panels:
        return
    fig, axes = plt.subplots(1, len(panels), figsize=(6.5 * len(panels), 5.5), squeeze=False)
    colours = plt.get_cmap("tab10").colors
    for ax, (sc, title) in zip(axes[0], panels):
        for server in SERVER_ORDER:
            points = [(c, cells[(sc, server, c)]["rps"]) for c in args.concurrency
                      if cells.get((sc, server, c), {}).get("rps")]
            if not points:
                continue
            style = {"linewidth": 2.5} if server.startswith("zelweb") else {"linestyle": "--"} \
                if server.startswith("ceiling") or server.startswith("nginx") else {}
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                    label=LABEL.get(server, server),
                    color=colours[COLOUR.get(server, len(COLOUR)) % len(colours)], **style)
        ax.set_xscale("log", base=2)
        ax.set_xticks(args.concurrency, [str(c) for c in args.concurrency])
        ax.set_xlabel("concurrent connections (wrk)")
        ax.set_ylabel("requests per second (median of %d × %d s)" % (args.runs, args.duration))
        ax.set_ylim(bottom=0)
        ax.grid(True, alpha=0.3)
        ax.set_title(title, fontsize=10)
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=3, fontsize=8)
    fig.suptitle("hello world — %s%s" % (
        datetime.date.today().isoformat(), " (quick mode)" if args.runs * args.duration < 30 else ""))
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def readme_table(cells):
    """The README's table at the goals' concurrency, ready to paste."""
    rows = [("hello", "zelweb", "zelweb start"),
            ("browser", "zelweb", "zelweb start, 608-byte browser head"),
            ("form", "zelweb", "zelweb start, 1 KB form read with `c_post`"),
            ("hello", "zelweb-serve", "zelweb serve, Connection: close"),
            ("hello", "ceiling", "ceiling"),
            ("hello", "nginx", "nginx (1 worker, keep-alive off)"),
            ("hello", "http.server", "http.server (ThreadingHTTPServer)"),
            ("hello", "waitress-4", "Waitress, 4 threads"),
            ("hello", "werkzeug", "Werkzeug, threaded"),
            ("hello", "granian", "Granian, 1 worker (WSGI)")]
    kept = [("hello-ka", "zelweb-serve", "zelweb serve"),
            ("browser-ka", "zelweb-serve", "zelweb serve, browser head"),
            ("hello-ka", "ceiling-ka", "ceiling, kept alive"),
            ("hello-ka", "nginx-ka", "nginx (1 worker, keep-alive on)"),
            ("hello-ka", "granian", "Granian, 1 worker (WSGI)"),
            ("hello-ka", "waitress-4", "Waitress, 4 threads")]

    def table(title, rows, bases):
        present = [r for r in rows if cells.get((r[0], r[1], GOAL_C), {}).get("rps")]
        if not present:
            return []
        out = ["| %s | req/s | p99 ms | %s |" % (title, " | ".join("× " + b for b in bases)),
               "|---|--:|--:|" + "--:|" * len(bases)]
        for sc, server, label in present:
            r = cells[(sc, server, GOAL_C)]
            ratios = [ratio(r["rps"], cells.get((sc, b, GOAL_C), {}).get("rps")) for b in bases]
            out.append("| %s | %s | %s | %s |" % (label, fmt(r["rps"]), fmt(r["p99"], 2), " | ".join(ratios)))
        return out + [""]

    lines = table("hello world, c=%d, one request per connection" % GOAL_C, rows, ["ceiling", "http.server"])
    lines += table("hello world, c=%d, kept alive" % GOAL_C, kept, ["ceiling-ka", "nginx-ka"])
    return ["## For the README", ""] + lines if lines else []


# ---------------------------------------------------------------- main

SERVER_ORDER = list(SERVERS)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, help="runs per cell (median taken); default 3")
    ap.add_argument("--duration", type=int, help="seconds per run; default 10")
    ap.add_argument("--quick", action="store_true",
                    help="runs 1 and duration 3 unless given: a check that all works")
    ap.add_argument("--concurrency", default=",".join(map(str, CONCURRENCY)),
                    help="concurrency sweep of the hello scenarios; default 1,16,64,256")
    ap.add_argument("--servers", help="comma list; default " + ",".join(DEFAULT_SERVERS) +
                    " (also: ceiling-inline, the ceiling without its thread)")
    ap.add_argument("--scenarios", default=",".join(LOADS + ["upload"]),
                    help="comma list; default " + ",".join(LOADS + ["upload"]))
    ap.add_argument("--wide", action="store_true",
                    help="browser, form and file on every server that can, not only the goals' ones")
    ap.add_argument("--upload-mb", default="10,100",
                    help="upload sizes in MB, the last is the goal's; default 10,100")
    ap.add_argument("--old-zelweb", type=Path, help="the build directory zelweb-serve-old imports "
                    "(default: $ZELWEB_OLD)")
    ap.add_argument("--no-install", action="store_true", help="do not pip/apt install")
    ap.add_argument("--no-build", action="store_true", help="use build/bench as it is")
    ap.add_argument("--no-pin", action="store_true", help="do not pin with taskset")
    ap.add_argument("--results", type=Path, help="results file; default bench/results/compare-<date>.md")
    ap.add_argument("--chart", type=Path, default=CHART, help="chart path; default docs/bench.png")
    args = ap.parse_args()
    args.runs = args.runs or (1 if args.quick else 3)
    args.duration = args.duration or (3 if args.quick else 10)
    args.concurrency = [int(c) for c in args.concurrency.split(",")]
    servers = args.servers.split(",") if args.servers else DEFAULT_SERVERS
    unknown = [s for s in servers if s not in SERVERS]
    if unknown:
        sys.exit("unknown servers: " + ", ".join(unknown))
    global OLD_BUILD
    OLD_BUILD = str(args.old_zelweb.resolve()) if args.old_zelweb else OLD_BUILD
    if "zelweb-serve-old" in servers and not os.path.isdir(OLD_BUILD):
        sys.exit("zelweb-serve-old needs --old-zelweb PATH (or ZELWEB_OLD): a build directory")
    scenarios = args.scenarios.split(",")
    unknown = [s for s in scenarios if s not in SCENARIOS and s != "upload"]
    if unknown:
        sys.exit("unknown scenarios: " + ", ".join(unknown))
    pin = not args.no_pin and (os.cpu_count() or 1) >= 2
    started = time.monotonic()

    install(args.no_install)
    if not args.no_build:
        build()
    prepare_work()
    load_before = os.getloadavg()[0]
    (WORK / "logs").mkdir(exist_ok=True)
    (WORK / "logs" / "wrk.log").write_text("")
    skipped = []
    if "zelweb-serve" in servers and not has_serve():
        skipped.append("zelweb-serve: skipped, this build of zelweb has no zelweb.serve")
        print(skipped[-1], flush=True)
        servers = [s for s in servers if s != "zelweb-serve"]

    plan = {}  # server -> [(scenario, c)]
    for sc in LOADS:
        if sc not in scenarios:
            continue
        who, conc = PLAN[sc]
        for server in servers:
            if (server in who or args.wide or server not in DEFAULT_SERVERS) and sc in SERVERS[server][2]:
                for c in conc or args.concurrency:
                    plan.setdefault(server, []).append((sc, c))
    cells_planned = sum(len(v) for v in plan.values())
    print("%d cells x %d run(s) x %d s: about %.1f minutes of load%s" % (
        cells_planned, args.runs, args.duration, cells_planned * args.runs * args.duration / 60,
        " (server on core 0, wrk on core 1)" if pin else " (not pinned)"), flush=True)

    # Every server runs from the start, idle until its turn, and the rounds go
    # round all cells: a burst of other load on the machine then spoils one
    # run of several cells rather than every run of one server.
    cells, live, runs, announces, wire = {}, {}, {}, {}, []
    try:
        for server in servers:
            if server not in plan:
                continue
            try:
                live[server] = srv = Server(server, pin)
                for sc in {sc for sc, _ in plan[server]}:
                    announces[(server, sc)] = check_answer(srv.port, sc)
            except (RuntimeError, OSError, http.client.HTTPException) as e:
                for sc, c in plan[server]:
                    cells[(sc, server, c)] = {"failed": str(e)[:200]}
                print("%-14s failed at start: %s" % (server, e), flush=True)
        wire = same_bytes(live)
        for round_ in range(args.runs):
            for server, srv in live.items():
                for sc, c in plan[server]:
                    key = (sc, server, c)
                    if key in cells:
                        continue
                    try:
                        if not srv.alive():
                            raise RuntimeError("server died; see %s" % srv.log_path)
                        r = run_wrk(srv.port, sc, c, args.duration, pin, announces[(server, sc)])
                        runs.setdefault(key, []).append(r)
                        print("%-14s %-8s c=%-4d %9s req/s  p50 %7s ms  p99 %7s ms  errors %d  (run %d/%d)" % (
                            server, sc, c, fmt(r["rps"]), fmt(r["p50"], 2), fmt(r["p99"], 2), r["errors"],
                            round_ + 1, args.runs), flush=True)
                    except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
                        cells[key] = {"failed": str(e)[:200]}
                        print("%-14s %-8s c=%-4d failed: %s" % (server, sc, c, e), flush=True)
    finally:
        for srv in live.values():
            srv.stop()
    for key, values in runs.items():
        if key not in cells:
            cells[key] = summarise(values)
    silent = {server for (server, _), says_close in announces.items() if not says_close}

    upload = None
    if "upload" in scenarios and "zelweb" in servers:
        try:
            sizes = [int(x) for x in args.upload_mb.split(",")]
            upload = run_upload(sizes, args.runs, pin)
            for s in upload["sizes"]:
                print("zelweb         upload   %d MB: %s MB/s, peak RSS %s MiB" % (
                    s["mb"], fmt(s["mb_per_s"]), fmt(s["peak_kib"] / 1024, 1)), flush=True)
        except (RuntimeError, OSError, ValueError, KeyError, subprocess.TimeoutExpired) as e:
            upload = {"failed": str(e)[:300]}
            print("zelweb         upload   failed: %s" % e, flush=True)

    today = datetime.date.today().isoformat()
    quick = args.runs * args.duration < 30
    results = args.results or RESULTS / ("compare-%s%s.md" % (today, "-quick" if quick else ""))
    command = "python3 bench/compare/run.py " + " ".join(sys.argv[1:])
    lines = ["# zelweb side by side, %s%s" % (today, " (quick mode: noisy)" if quick else ""), "",
             "Machine: %s." % machine(),
             "Load: wrk, one thread, \"Connection: close\" (one request per connection), "
             "except in the kept-alive tables, where wrk keeps each connection for request after "
             "request; "
             "%d run(s) of %d s per cell, median shown; errors are non-2xx plus socket errors, "
             "summed over the runs. %s%s" % (
                 args.runs, args.duration,
                 "wrk pinned to core 1, the server to core 0." if pin else "Not pinned.",
                 keep_alive_note(silent)),
             "Ratios are against the same scenario at the same concurrency. The ceiling is the "
             "design's own loop in C against the interpreter (bench/compare/ceiling.cpp): "
             "accept, one threading.Thread per connection, the head read with recv_into, "
             "route called once, a fixed response, close; its kept-alive mode (ceiling-ka) keeps "
             "the connection and its thread for request after request. zelweb is zelweb.start, "
             "zelweb-serve zelweb.serve; nginx-ka is nginx with keep-alive on.",
             "Command: `%s` (%.1f minutes). Load average (1 min) just before the run: %.1f%s; "
             "at its end: %.1f (this run's own server and wrk count for about 2)." % (
                 command.strip(), (time.monotonic() - started) / 60, load_before,
                 " (other work was sharing the cores: the figures are skewed)" if load_before > 1 else "",
                 os.getloadavg()[0]),
             *(["On the wire: " + "; ".join(wire) + "."] if wire else []),
             *(["Skipped: " + "; ".join(skipped) + "."] if skipped else []),
             *(["zelweb-serve-old: zelweb.serve of the build in %s (the serve this tree "
                "replaces)." % OLD_BUILD] if "zelweb-serve-old" in servers else []),
             "", "![requests per second against concurrency](../../docs/bench.png)", "",
             "## Goals", ""]
    lines += goals(cells, upload)
    lines += ["## Tables", ""]
    for sc in LOADS:
        lines += scenario_table(sc, cells)
    lines += upload_table(upload)
    lines += readme_table(cells)
    RESULTS.mkdir(parents=True, exist_ok=True)
    results.parent.mkdir(parents=True, exist_ok=True)
    results.write_text("\n".join(lines))
    (BUILD / "last-results.json").write_text(json.dumps(
        {"|".join(map(str, k)): v for k, v in cells.items()} | {"upload": upload}, indent=1))
    if any(k[0] in ("hello", "hello-ka") and v.get("rps") for k, v in cells.items()):
        if chart(cells, args, args.chart) is not False:
            print("chart: %s" % args.chart.relative_to(ROOT) if args.chart.is_relative_to(ROOT) else args.chart)
    print()
    print("\n".join(lines[lines.index("## Goals"):]))
    print("results: %s" % results)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # so servers are stopped
    main()
