#!/usr/bin/env python3
"""zelweb's WSGI interface side by side with the WSGI servers users pick.

    python3 bench/compare/wsgi_run.py            3 runs x 10 s per cell (about 8 min)
    python3 bench/compare/wsgi_run.py --quick    1 run x 3 s per cell, noisy
    python3 bench/compare/wsgi_run.py --quick --duration 1 --upload-mb 10 --file-mib 64
                                                a check that everything runs

Builds the tree into build/bench (as run.py does) and, each server one process
pinned to core 0 and wrk on core 1, loads "hello world" kept alive at 64
connections: zelweb's WSGI interface, zelweb's own record API (`route`), Granian
(WSGI, 1 worker), Waitress (4 threads) and gunicorn (gthread, 1 worker, 8
threads), each with a raw WSGI callable, Flask (`@app.get("/")` returning a
string) and Django. Then:

- a 100 MB multipart upload through Flask's `request.files` on zelweb: the
  server's resident memory at its peak against idle (VmHWM, a fresh server);
- a 1 GiB `wsgi.file_wrapper` response from zelweb against nginx serving the
  same file (curl to /dev/null, median of the runs).

Writes bench/results/wsgi-<date>.md (the tables and the goals). Every figure
comes from this one run: compare ratios, not absolute numbers, across machines.
"""
import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  the comparison's build, wrk and server plumbing

ROOT, BUILD, WORK, PY = run.ROOT, run.BUILD, run.WORK, run.PY
RESULTS = ROOT / "bench" / "results"
C = 64
BIG_FILE = "big.bin"

APPS = ["raw", "flask", "django"]


def env():
    return {"PYTHONPATH": os.pathsep.join([str(BUILD), str(HERE)]), "WSGI_FILE": str(WORK / BIG_FILE)}


def commands(port, server, app):
    module = {"raw": "wsgi_apps:raw", "flask": "wsgi_apps:flask_app",
              "django": "wsgi_apps:django_app"}[app]
    return {
        "zelweb": [PY, str(HERE / "wsgi_apps.py"), str(port), "zelweb", app],
        "zelweb-route": [PY, str(HERE / "wsgi_apps.py"), str(port), "route"],
        "granian": [PY, "-m", "granian", "--interface", "wsgi", "--workers", "1", "--no-ws",
                    "--http", "1", "--host", "127.0.0.1", "--port", str(port), module],
        "waitress-4": [PY, str(HERE / "wsgi_apps.py"), str(port), "waitress", app, "4"],
        "gunicorn": [PY, "-m", "gunicorn", "-k", "gthread", "-w", "1", "--threads", "8",
                     "--keep-alive", "75", "-b", "127.0.0.1:%d" % port, "--log-level", "warning",
                     module],
    }[server]


def hello(server, app, runs, duration, pin):
    name = "%s/%s" % (server, app)
    port = run.free_port()
    p = run.Process(name.replace("/", "-"), commands(port, server, app), port, env(), pin)
    try:
        run.check_kept(port, "hello-ka")
        results = [run.run_wrk(port, "hello-ka", C, duration, pin, False) for _ in range(runs)]
    finally:
        p.stop()
    r = run.summarise(results)
    print("%-22s %10s req/s  p99 %s ms  errors %d" % (name, run.fmt(r["rps"]), run.fmt(r["p99"], 2),
                                                    r["errors"]), flush=True)
    return r


def upload_memory(mb, pin):
    """Peak resident memory of a fresh zelweb serving Flask, against idle, over one
    upload of `mb` MB read through request.files."""
    path, size = run.upload_file(mb)
    port = run.free_port()
    p = run.Process("zelweb-flask-upload", commands(port, "zelweb", "flask"), port, env(), pin)
    try:
        idle = p.rss_kib("VmRSS")
        argv = ["curl", "-sS", "-H", "Expect:", "-F", "file=@%s;type=application/octet-stream" % path,
                "-w", "\n%{http_code} %{time_total}", "http://127.0.0.1:%d/upload" % port]
        if pin:
            argv = ["taskset", "-c", "1"] + argv
        out = subprocess.run(argv, capture_output=True, text=True, timeout=600)
        body, _, tail = out.stdout.rpartition("\n")
        status, seconds = tail.split()
        if status != "200" or body != str(size):
            raise RuntimeError("upload: status %s, answer %r %s" % (status, body[:60], out.stderr))
        peak = p.rss_kib("VmHWM")
    finally:
        p.stop()
    return {"mb": mb, "idle_kib": idle, "peak_kib": peak, "mb_per_s": size / float(seconds) / 1e6}


def big_file(mib):
    path = WORK / BIG_FILE
    if not path.exists() or path.stat().st_size != mib << 20:
        block = os.urandom(1 << 20)
        with open(path, "wb") as f:
            for _ in range(mib):
                f.write(block)
    return path


def file_rate(mib, runs, pin):
    """MiB/s of a file of `mib` MiB: zelweb's file_wrapper and nginx's static file."""
    size = big_file(mib).stat().st_size
    rates = {}
    port = run.free_port()
    conf_dir = WORK / "nginx-file"
    conf_dir.mkdir(parents=True, exist_ok=True)
    conf = (HERE / "nginx.conf").read_text().replace("file-1mib.bin", BIG_FILE)
    for key, value in {"port": port, "work": WORK, "prefix": conf_dir, "keepalive": "75s"}.items():
        conf = conf.replace("{%s}" % key, str(value))
    (conf_dir / "nginx.conf").write_text(conf)
    servers = [("zelweb", commands(run.free_port(), "zelweb", "raw")),
               ("nginx", [shutil.which("nginx", path=run.SBIN), "-c", str(conf_dir / "nginx.conf"),
                          "-p", str(conf_dir)])]
    for name, argv in servers:
        server_port = port if name == "nginx" else int(argv[2])
        p = run.Process(name + "-file", argv, server_port, env(), pin)
        try:
            speeds = []
            for _ in range(runs):
                argv = ["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code} %{size_download} %{speed_download}",
                        "http://127.0.0.1:%d/file" % server_port]
                if pin:
                    argv = ["taskset", "-c", "1"] + argv
                out = subprocess.run(argv, capture_output=True, text=True, timeout=600).stdout.split()
                if out[:2] != ["200", str(size)]:
                    raise RuntimeError("%s /file: %s" % (name, out))
                speeds.append(float(out[2]) / (1 << 20))
            rates[name] = statistics.median(speeds)
        finally:
            p.stop()
    rates["mib"] = mib
    return rates


def report(cells, upload, rates, args):
    def rps(server, app):
        r = cells.get((server, app))
        return r["rps"] if r else None

    def ratio(a, b):
        return a / b if a and b else None

    lines = ["# zelweb's WSGI interface against WSGI servers, %s" % datetime.date.today(), "",
             run.machine(), "",
             "Hello world kept alive, c=%d, wrk -t1 pinned to core 1, each server one process on "
             "core 0; %d run(s) of %d s per cell, the median." % (C, args.runs, args.duration), "",
             "| server | app | req/s | p50 ms | p99 ms | errors | × granian | × waitress-4 | × gunicorn |",
             "|---|---|--:|--:|--:|--:|--:|--:|--:|"]
    for (server, app), r in cells.items():
        lines.append("| %s | %s | %s | %s | %s | %d | %s | %s | %s |" % (
            server, app, run.fmt(r["rps"]), run.fmt(r["p50"], 2), run.fmt(r["p99"], 2), r["errors"],
            *(run.fmt(ratio(r["rps"], rps(peer, app)), 2) for peer in ("granian", "waitress-4", "gunicorn"))))
    lines.append("")
    goals = [("raw WSGI: zelweb / Granian", ratio(rps("zelweb", "raw"), rps("granian", "raw")), 1.3),
             ("raw WSGI: zelweb / Waitress (4 threads)", ratio(rps("zelweb", "raw"), rps("waitress-4", "raw")), 8),
             ("raw WSGI: zelweb / gunicorn (gthread)", ratio(rps("zelweb", "raw"), rps("gunicorn", "raw")), 3),
             ("raw WSGI / zelweb's route hello", ratio(rps("zelweb", "raw"), rps("zelweb-route", "route")), 0.8),
             ("Flask: zelweb / Granian", ratio(rps("zelweb", "flask"), rps("granian", "flask")), 1.15),
             ("Flask: zelweb / gunicorn", ratio(rps("zelweb", "flask"), rps("gunicorn", "flask")), 2)]
    if upload:
        growth = (upload["peak_kib"] - upload["idle_kib"]) / 1024
        lines += ["%d MB upload through Flask's request.files: %s MB/s, resident memory idle %s MiB, "
                  "peak %s MiB." % (upload["mb"], run.fmt(upload["mb_per_s"]),
                                    run.fmt(upload["idle_kib"] / 1024, 1),
                                    run.fmt(upload["peak_kib"] / 1024, 1)), ""]
    if rates:
        lines += ["%d MiB file: zelweb's wsgi.file_wrapper %s MiB/s, nginx %s MiB/s." % (
            rates["mib"], run.fmt(rates.get("zelweb")), run.fmt(rates.get("nginx"))), ""]
    lines += ["| goal | measured | target | |", "|---|--:|--:|---|"]
    for text, value, target in goals:
        met = value is not None and value >= target
        lines.append("| %s | %s | ≥ %s | %s |" % (text, run.fmt(value, 2), target,
                                                  "met" if met else ("not measured" if value is None else "**not met**")))
    if upload:
        lines.append("| %d MB upload: peak − idle RSS, MiB | %s | ≤ 20 | %s |" % (
            upload["mb"], run.fmt(growth, 1), "met" if growth <= 20 else "**not met**"))
    if rates and rates.get("nginx"):
        value = rates["zelweb"] / rates["nginx"]
        lines.append("| %d MiB file_wrapper: zelweb / nginx | %s | ≥ 0.8 | %s |" % (
            rates["mib"], run.fmt(value, 2), "met" if value >= 0.8 else "**not met**"))
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int)
    ap.add_argument("--duration", type=int)
    ap.add_argument("--quick", action="store_true", help="1 run of 3 s per cell")
    ap.add_argument("--servers", default="zelweb,granian,waitress-4,gunicorn")
    ap.add_argument("--apps", default=",".join(APPS))
    ap.add_argument("--skip", default="", help="comma list of: upload, file")
    ap.add_argument("--upload-mb", type=int, default=100, help="the upload's size; default 100")
    ap.add_argument("--file-mib", type=int, default=1024, help="the file's size; default 1024")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--no-pin", action="store_true")
    ap.add_argument("--results", type=Path)
    args = ap.parse_args()
    args.runs = args.runs or (1 if args.quick else 3)
    args.duration = args.duration or (3 if args.quick else 10)
    pin = not args.no_pin and (os.cpu_count() or 1) >= 2
    for module in ("granian", "waitress", "gunicorn", "flask", "django"):
        if subprocess.run([PY, "-c", "import " + module], capture_output=True).returncode:
            sys.exit("missing: pip install " + module)
    if not args.no_build:
        run.build()
    run.prepare_work()
    (WORK / "logs").mkdir(exist_ok=True)
    (WORK / "logs" / "wrk.log").write_text("")
    cells = {}
    for app in args.apps.split(","):
        for server in args.servers.split(","):
            cells[(server, app)] = hello(server, app, args.runs, args.duration, pin)
    if "zelweb" in args.servers.split(","):
        cells[("zelweb-route", "route")] = hello("zelweb-route", "raw", args.runs, args.duration, pin)
    skip = args.skip.split(",")
    upload = None if "upload" in skip else upload_memory(args.upload_mb, pin)
    rates = None if "file" in skip else file_rate(args.file_mib, args.runs, pin)
    text = report(cells, upload, rates, args)
    RESULTS.mkdir(parents=True, exist_ok=True)
    out = args.results or RESULTS / ("wsgi-%s.md" % datetime.date.today())
    out.write_text(text)
    print(text)
    print("written to", out)


if __name__ == "__main__":
    main()
