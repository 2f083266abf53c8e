"""Files sent by route with c_file (and c_data), and by serve's static folders
without route, against nginx serving the same folder: a small file kept
alive (requests per second, wrk) and a big one (MB/s, curl), each server
alone on the first core.

    python3 bench/file_response.py                        # 10 s per wrk run, 1 GiB, 3 downloads
    python3 bench/file_response.py --duration 3 --big-mib 256 --runs 1
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _server import ServerProcess, cpu_pinning, free_port, wait_for  # noqa: E402

APP = r"""
import os, sys, zelweb
FOLDER = os.fsencode(os.environ["BENCH_FOLDER"])
class App:
    def route(self, http):
        name = http.c_url()
        if name.startswith(b"/data/"):
            http.c_content_type(b"application/octet-stream")
            http.c_data(FOLDER + name[5:])
        elif not http.c_file(FOLDER + name):
            http.c_status(404)
zelweb.serve(App(), "127.0.0.1", int(sys.argv[2]), keep_alive=75,
             static={"/static": FOLDER})
"""

NGINX = """daemon off;
worker_processes 1;
user root;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    keepalive_timeout 75;
    keepalive_requests 1000000000;
    sendfile on;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen 127.0.0.1:{port} backlog=4096;
        root {folder};
    }}
}}
"""


def wrk(port, path, duration, connections):
    client = cpu_pinning()[1]
    run = subprocess.run(client + ["wrk", "-t1", f"-c{connections}", f"-d{duration}s",
                                   f"http://127.0.0.1:{port}{path}"],
                         capture_output=True, text=True, timeout=duration + 30)
    found = re.search(r"Requests/sec:\s*([\d.]+)", run.stdout)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", run.stdout)
    if not found or errors:
        raise RuntimeError("wrk failed:\n" + run.stdout + run.stderr)
    return float(found.group(1))


def download(port, path, size, runs):
    """MB/s (10^6 bytes) of each whole download."""
    client = cpu_pinning()[1]
    rates = []
    for _ in range(runs):
        run = subprocess.run(client + ["curl", "-sS", "-o", "/dev/null", "-w",
                                       "%{size_download} %{time_total}",
                                       f"http://127.0.0.1:{port}{path}"],
                             capture_output=True, text=True, timeout=600)
        got, seconds = run.stdout.split()
        if int(got) != size:
            raise RuntimeError(f"{path}: {got} bytes of {size}")
        rates.append(size / float(seconds) / 1e6)
    return rates


class Nginx:
    def __init__(self, folder):
        self.prefix = tempfile.mkdtemp(prefix="zelweb-bench-nginx-")
        self.port = free_port()
        conf = os.path.join(self.prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX.format(prefix=self.prefix, port=self.port, folder=folder))
        self.proc = subprocess.Popen(cpu_pinning()[0] + ["nginx", "-c", conf, "-p", self.prefix],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(os.path.join(self.prefix, "nginx.pid")), 10):
            self.stop()
            raise RuntimeError("nginx did not start")

    def stop(self):
        self.proc.terminate()  # this PID only: the master ends its worker
        self.proc.wait(10)
        shutil.rmtree(self.prefix, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--duration", type=int, default=10, help="seconds per wrk run")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=3, help="downloads of the big file")
    args = parser.parse_args()
    for tool in ("wrk", "curl", "nginx"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is needed")

    folder = tempfile.mkdtemp(prefix="zelweb-bench-files-")
    os.chmod(folder, 0o755)
    big_size = args.big_mib * 2**20
    with open(os.path.join(folder, "small.bin"), "wb") as f:
        f.write(os.urandom(1024))
    with open(os.path.join(folder, "big.bin"), "wb") as f:
        block = os.urandom(2**20)
        for _ in range(args.big_mib):
            f.write(block)
    rows = []
    try:
        os.environ["BENCH_FOLDER"] = folder
        server = ServerProcess(APP)
        try:
            rows.append(("zelweb serve, c_file", wrk(server.port, "/small.bin", args.duration,
                                                     args.connections),
                         download(server.port, "/big.bin", big_size, args.runs)))
            rows.append(("zelweb serve, c_data", wrk(server.port, "/data/small.bin",
                                                     args.duration, args.connections),
                         download(server.port, "/data/big.bin", big_size, args.runs)
                         if big_size < 2**32 else []))
            rows.append(("zelweb serve, static folder",
                         wrk(server.port, "/static/small.bin", args.duration, args.connections),
                         download(server.port, "/static/big.bin", big_size, args.runs)))
        finally:
            server.stop()
        time.sleep(0.5)
        nginx = Nginx(folder)
        try:
            rows.append(("nginx, 1 worker", wrk(nginx.port, "/small.bin", args.duration,
                                                args.connections),
                         download(nginx.port, "/big.bin", big_size, args.runs)))
        finally:
            nginx.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    base_rps, base_rate = rows[-1][1], max(rows[-1][2])
    print(f"1 KiB file kept alive, c={args.connections}, {args.duration} s; "
          f"{args.big_mib} MiB file, best of {args.runs}")
    print(f"| server | 1 KiB req/s | × nginx | {args.big_mib} MiB MB/s | × nginx |")
    print("|---|--:|--:|--:|--:|")
    for name, rps, rates in rows:
        rate = max(rates) if rates else float("nan")
        print(f"| {name} | {rps:,.0f} | {rps / base_rps:.2f} | {rate:,.0f} | "
              f"{rate / base_rate:.2f} |")


if __name__ == "__main__":
    main()
