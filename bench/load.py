#!/usr/bin/env python3
"""Sustained load: the hello example under wrk, one request per connection.

    python3 bench/load.py                      (60 s at 256 connections)
    python3 bench/load.py --duration 10 --connections 64

Starts examples/hello.py on a free port, runs wrk with "Connection: close"
for the given time, and reports wrk's figures together with the server
process's open descriptors, threads and resident memory before the load,
right after it, and after a settling time. After the settling time they
should be back at the baseline: nothing leaked per connection.
"""
import argparse
import re
import shutil
import subprocess
import sys
import threading
import time

from _server import ServerProcess, cpu_pinning, request_once


def run_wrk(port, duration, connections, threads, pinned):
    command = (cpu_pinning()[1] if pinned else []) + [
        "wrk", "-t", str(threads), "-c", str(connections), "-d", f"{duration}s",
        "--timeout", "10s", "-H", "Connection: close", f"http://127.0.0.1:{port}/?name=load"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=duration + 60)
    if done.returncode != 0:
        raise RuntimeError(f"wrk failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def parse_wrk(text):
    figures = {"requests": 0, "rps": 0.0, "connect": 0, "read": 0, "write": 0, "timeout": 0,
               "non_2xx_3xx": 0}
    m = re.search(r"(\d+) requests in", text)
    if m:
        figures["requests"] = int(m.group(1))
    m = re.search(r"Requests/sec:\s+([\d.]+)", text)
    if m:
        figures["rps"] = float(m.group(1))
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    if m:
        figures.update(zip(("connect", "read", "write", "timeout"), map(int, m.groups())))
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    if m:
        figures["non_2xx_3xx"] = int(m.group(1))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=int, default=60, help="seconds of load (default 60)")
    parser.add_argument("--connections", type=int, default=256, help="wrk -c (default 256)")
    parser.add_argument("--threads", type=int, default=2, help="wrk -t (default 2)")
    parser.add_argument("--settle", type=float, default=10.0,
                        help="seconds after the load before the last reading (default 10)")
    parser.add_argument("--no-pin", action="store_true", help="do not pin server and wrk to cores")
    args = parser.parse_args()
    if not shutil.which("wrk"):
        sys.exit("wrk is missing (Debian package wrk)")

    server = ServerProcess(pin=not args.no_pin)
    try:
        # One request first, so the baseline includes what the first request loads.
        request_once(server.port, b"/?name=warm")
        time.sleep(0.5)
        before = server.stats()

        peak = dict(before)
        sampling = threading.Event()

        def sample():
            while not sampling.wait(0.25):
                try:
                    now = server.stats()
                except (FileNotFoundError, ProcessLookupError):
                    return
                for key in peak:
                    peak[key] = max(peak[key], now[key])

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        output = run_wrk(server.port, args.duration, args.connections, args.threads,
                         not args.no_pin)
        sampling.set()
        sampler.join()
        right_after = server.stats()
        time.sleep(args.settle)
        settled = server.stats()
        alive = server.proc.poll() is None
        served_after = alive and request_once(server.port, b"/?name=after").startswith(
            b"HTTP/1.1 200 OK")
        leftovers = server.tmp_files()
    finally:
        server.stop()

    wrk = parse_wrk(output)
    print(f"zelweb load: {server.app}, wrk -c {args.connections} -t {args.threads} "
          f"-d {args.duration}s, 'Connection: close'")
    print(f"  completed requests {wrk['requests']}, {wrk['rps']:.0f} requests/s")
    print(f"  socket errors: connect {wrk['connect']}, read {wrk['read']}, write {wrk['write']}, "
          f"timeout {wrk['timeout']}; non-2xx/3xx responses {wrk['non_2xx_3xx']}")
    if wrk["requests"] and wrk["read"] >= 0.9 * wrk["requests"]:
        print("  (about one read error per request: responses lack a 'Connection: close' line,")
        print("   so wrk tries its next request on the closed connection and reconnects)")
    print(f"  {'':18}{'fds':>8}{'threads':>9}{'RSS MiB':>10}")
    for name, s in (("before", before), ("peak during", peak), ("right after", right_after),
                    (f"{args.settle:g} s after", settled)):
        print(f"  {name:18}{s['fds']:>8}{s['threads']:>9}{s['rss_kib'] / 1024:>10.1f}")
    back = settled["fds"] == before["fds"] and settled["threads"] == before["threads"]
    print(f"  back to baseline (fds, threads): {'yes' if back else 'NO'}; "
          f"RSS {settled['rss_kib'] - before['rss_kib']:+d} KiB against the baseline")
    left = [f for f in leftovers if f != "hello.txt"]
    print(f"  server alive and serving afterwards: {'yes' if served_after else 'NO'}; "
          f"files left in tmp/ besides hello.txt: {len(left)}")
    if not (back and served_after):
        sys.exit(1)


if __name__ == "__main__":
    main()
