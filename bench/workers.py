#!/usr/bin/env python3
"""zelweb.serve with workers=2 against workers=1, on a route that spends
about 200 us of Python work per request.

    python3 bench/workers.py                          (3 rounds x 5 s each, c=64)
    python3 bench/workers.py --runs 1 --duration 2 --work-us 100

One process holds the interpreter's lock while the route works, so a second
worker process is what lets the second core serve. Before serving, the
server calibrates a pure-Python loop (a sum over a range, one addition at a
time) to take about --work-us microseconds and reports the time it measures
per call; the route runs it and answers "hello world". Each worker count
gets a fresh server; wrk loads it with --connections kept-alive connections
for --duration seconds, the counts taking turns for --runs rounds, nothing
pinned. Prints requests per second (median of the runs), p99 latency,
errors, the CPU time each worker process took, and the ratio.
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import time

from _server import ServerProcess

SERVER = r"""
import sys, time, zelweb

def work(n):
    total = 0
    for i in range(n):
        total += i
    return total

def per_call(n, calls):
    times = []
    for _ in range(calls):
        t = time.perf_counter()
        work(n)
        times.append(time.perf_counter() - t)
    times.sort()
    return times[len(times) // 2]

target = %(work_us)r / 1e6
n = 1000
for _ in range(4):  # scale until the median call is on target
    n = max(1, int(n * target / per_call(n, 200)))
print("calibrated: %%d iterations, %%.1f us per call" %% (n, per_call(n, 500) * 1e6), flush=True)

class App:
    def route(self, http):
        work(n)
        http.c_text(b"hello world")

zelweb.serve(App(), sys.argv[1], int(sys.argv[2]), workers=%(workers)d, keep_alive=30.0)
"""

UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3, "m": 60e3}


def wrk(port, connections, duration):
    argv = ["wrk", "-t1", "-c%d" % connections, "-d%ds" % duration, "--latency", "--timeout", "5s",
            "http://127.0.0.1:%d/" % port]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=duration + 30)
    if out.returncode != 0:
        raise RuntimeError("wrk failed: " + out.stderr.strip())
    text = out.stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
    m = re.search(r"^\s*99%\s+([\d.]+)(us|ms|s|m)\s*$", text, re.M)
    p99 = float(m.group(1)) * UNITS[m.group(2)] if m else None
    errors = sum(int(x) for x in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    errors += int(m.group(1)) if m else 0
    return {"rps": rps, "p99": p99, "errors": errors}


def children(pid):
    """PIDs whose parent is `pid`: the worker processes."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return sorted(found)


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Serve:
    def __init__(self, workers, work_us):
        self.workers = workers
        self.server = ServerProcess(script=SERVER % {"workers": workers, "work_us": work_us}, pin=False)
        m = re.search(r"calibrated: (\d+) iterations, ([\d.]+) us", self.server.output())
        self.iterations, self.per_call_us = int(m.group(1)), float(m.group(2))
        deadline = time.monotonic() + 10
        self.procs = [self.server.pid] if workers == 1 else []
        while workers > 1 and len(self.procs) < workers and time.monotonic() < deadline:
            self.procs = children(self.server.pid)
            time.sleep(0.05)
        self.runs = []

    def load(self, connections, duration):
        before = [cpu_seconds(p) for p in self.procs]
        r = wrk(self.server.port, connections, duration)
        r["cpu"] = [None if a is None or b is None else b - a
                    for a, b in zip(before, (cpu_seconds(p) for p in self.procs))]
        self.runs.append(r)
        return r

    def stop(self):
        procs = children(self.server.pid)
        self.server.proc.send_signal(signal.SIGTERM)
        try:
            code = self.server.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.server.proc.kill()
            self.server.proc.wait()
            code = "killed after 30 s"
        for pid in procs:  # workers left behind by a parent that had to be killed
            if cpu_seconds(pid) is not None:
                os.kill(pid, signal.SIGKILL)
        self.server.stop()
        return code


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="rounds, one run per worker count (3)")
    parser.add_argument("--duration", type=int, default=5, help="seconds per wrk run (5)")
    parser.add_argument("--connections", type=int, default=64, help="wrk connections (64)")
    parser.add_argument("--work-us", type=float, default=200.0,
                        help="microseconds of Python work per request (200)")
    args = parser.parse_args()
    try:
        import zelweb
    except ImportError as e:
        sys.exit("zelweb does not import: %s" % e)
    if not hasattr(zelweb, "serve"):
        sys.exit("skipped: this zelweb (%s) has no zelweb.serve" % zelweb.__file__)

    print("zelweb.serve, workers=1 against workers=2: a route of ~%g us of Python work, wrk c=%d "
          "kept alive, %d x %d s each, not pinned" % (args.work_us, args.connections, args.runs,
                                                       args.duration))
    servers = {}
    codes = {}
    try:
        for workers in (1, 2):
            servers[workers] = s = Serve(workers, args.work_us)
            print("  workers=%d: %d iterations, %.1f us per call measured by the server; "
                  "processes %s" % (workers, s.iterations, s.per_call_us, s.procs))
            if len(s.procs) != workers:
                raise RuntimeError("workers=%d: %d worker processes found" % (workers, len(s.procs)))
        for round_ in range(args.runs):
            for workers, s in servers.items():
                r = s.load(args.connections, args.duration)
                print("  workers=%d run %d/%d: %9.0f req/s  p99 %7.2f ms  errors %d  CPU s per worker %s"
                      % (workers, round_ + 1, args.runs, r["rps"], r["p99"] or float("nan"), r["errors"],
                         ", ".join("%.2f" % c if c is not None else "?" for c in r["cpu"])))
    finally:
        for workers, s in servers.items():
            codes[workers] = s.stop()
    result = {}
    for workers, s in servers.items():
        result[workers] = statistics.median(r["rps"] for r in s.runs)
        p99 = statistics.median(r["p99"] for r in s.runs if r["p99"] is not None)
        print("  workers=%d: %9.0f req/s (median), p99 %.2f ms, errors %d, SIGTERM: exit status %s" % (
            workers, result[workers], p99, sum(r["errors"] for r in s.runs), codes[workers]))
    ratio = result[2] / result[1]
    print("  workers=2 / workers=1: %.2f (goal >= 1.6: %s)" % (ratio, "met" if ratio >= 1.6 else "not met"))
    errors = sum(r["errors"] for s in servers.values() for r in s.runs)
    sys.exit(0 if not errors and all(c == 0 for c in codes.values()) else 1)


if __name__ == "__main__":
    main()
