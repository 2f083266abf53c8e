"""A body streamed with c_stream: a generator of 64 KiB pieces (1 GiB by
default) downloaded with curl, the server alone on the first core; its
resident memory sampled while it streams.

    python3 bench/stream.py                       # 1 GiB, best of 3
    python3 bench/stream.py --mib 256 --runs 1
"""
import argparse
import os
import shutil
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _server import ServerProcess, cpu_pinning  # noqa: E402

APP = r"""
import sys, zelweb
PIECE = b"z" * 65536
class App:
    def route(self, http):
        pieces = int(http.c_get(b"mib") or b"1") * 16
        http.c_content_type(b"application/octet-stream")
        http.c_stream(PIECE for _ in range(pieces))
zelweb.serve(App(), "127.0.0.1", int(sys.argv[2]))
"""


def download(server, mib):
    """(MB/s, resident KiB samples) of one download of `mib` MiB."""
    samples, done = [], threading.Event()

    def sample():
        while not done.wait(0.05):
            samples.append(server.stats()["rss_kib"])
    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        run = subprocess.run(cpu_pinning()[1] + [
            "curl", "-sS", "-o", "/dev/null", "-w", "%{size_download} %{time_total}",
            f"http://127.0.0.1:{server.port}/?mib={mib}"],
            capture_output=True, text=True, timeout=600)
    finally:
        done.set()
        sampler.join()
    got, seconds = run.stdout.split()
    if int(got) != mib * 2**20:
        raise RuntimeError(f"{got} bytes of {mib * 2**20}: {run.stderr}")
    return mib * 2**20 / float(seconds) / 1e6, samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    if not shutil.which("curl"):
        sys.exit("curl is needed")
    server = ServerProcess(APP)
    try:
        before = server.stats()["rss_kib"]
        results = [download(server, args.mib) for _ in range(args.runs)]
    finally:
        server.stop()
    rate, samples = max(results, key=lambda r: r[0])
    every = [s for _, run in results for s in run]
    print(f"c_stream, {args.mib} MiB in 64 KiB pieces, chunked, best of {args.runs}")
    print("| MB/s | goal | RSS before, KiB | RSS while streaming: min | max | samples |")
    print("|--:|--:|--:|--:|--:|--:|")
    print(f"| {rate:,.0f} | 1,000 | {before:,} | {min(every, default=0):,} | "
          f"{max(every, default=0):,} | {len(every)} |")


if __name__ == "__main__":
    main()
