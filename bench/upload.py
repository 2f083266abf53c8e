"""Upload throughput and server memory: a large file posted as a multipart
form (a text field, the file, a second text field) to a zelweb server, the
body framed by its Content-Length and again by the chunked coding.

    python3 bench/upload.py                  (10 MB and 100 MB, 3 uploads each)
    python3 bench/upload.py --sizes 100 --runs 5 --framing chunked

Each size gets a fresh server process, so its memory figures belong to that
size alone: the peak resident size should not grow with the file, since the
upload is streamed to tmp/ in pieces. MB here is 10**6 bytes. The server runs
the zelweb that `import zelweb` finds (set PYTHONPATH to test a build).
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
MB = 10**6
PIECE = 1 << 20
CHUNK = 64 * 1024  # the chunk size of a chunked upload, as streaming clients send them

SERVER = r"""
import sys
import zelweb

class App:
    def route(self, http):
        if http.c_path(b"/upload"):
            http.c_text(b"size=%s title=%s note=%s" % (
                http.c_files(b"size"), http.c_post(b"title"), http.c_post(b"note")))
        else:
            http.c_text(b"ok")

zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
"""


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_listening(port, proc):
    for _ in range(200):
        try:
            with socket.create_connection((HOST, port), timeout=1):
                return
        except OSError:
            if proc.poll() is not None:
                raise RuntimeError("the server exited at start-up")
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


def memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class RssSampler(threading.Thread):
    """Keeps the largest VmRSS seen while it runs."""

    def __init__(self, pid, interval=0.005):
        super().__init__(daemon=True)
        self.pid, self.interval = pid, interval
        self.peak = 0
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            self.peak = max(self.peak, memory_kib(self.pid, "VmRSS"))
            time.sleep(self.interval)

    def stop(self):
        self.halt.set()
        self.join()
        return self.peak


def make_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(PIECE, left)
            f.write(os.urandom(n))
            left -= n


def field(boundary, name, value):
    return (b"--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n"
            % (boundary, name, value))


def chunked(data):
    """`data` in the chunked coding, CHUNK bytes a chunk."""
    return b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + CHUNK]), data[i:i + CHUNK])
                    for i in range(0, len(data), CHUNK))


def upload(port, path, size, framing):
    """Posts the file between two text fields; returns (seconds, response body)."""
    boundary = b"----zelwebbench" + os.urandom(8).hex().encode()
    before = field(boundary, b"title", b"bench run") + (
        b"--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n"
        b"Content-Type: application/octet-stream\r\n\r\n" % boundary)
    after = b"\r\n" + field(boundary, b"note", b"after the file") + b"--%s--\r\n" % boundary
    length = (b"Content-Length: %d" % (len(before) + size + len(after)) if framing == "length"
              else b"Transfer-Encoding: chunked")
    head = (b"POST /upload HTTP/1.1\r\nHost: %s:%d\r\n"
            b"Content-Type: multipart/form-data; boundary=%s\r\n%s\r\n\r\n"
            % (HOST.encode(), port, boundary, length))
    start = time.perf_counter()
    with socket.create_connection((HOST, port), timeout=120) as s, open(path, "rb") as f:
        if framing == "length":
            s.sendall(head + before)
            s.sendfile(f)
            s.sendall(after)
        else:
            s.sendall(head + chunked(before))
            while piece := f.read(PIECE):
                s.sendall(chunked(piece))
            s.sendall(chunked(after) + b"0\r\n\r\n")
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    seconds = time.perf_counter() - start
    return seconds, b"".join(chunks).partition(b"\r\n\r\n")[2]


def bench_size(workdir, size_mb, runs, server_cpu, framing):
    size = size_mb * MB
    path = os.path.join(workdir, f"upload-{size_mb}MB.bin")
    make_file(path, size)
    port = free_port()
    pin = (lambda: os.sched_setaffinity(0, {server_cpu})) if server_cpu is not None else None
    proc = subprocess.Popen([sys.executable, "-c", SERVER, str(port)], cwd=workdir,
                            stdout=subprocess.DEVNULL, preexec_fn=pin)
    try:
        wait_listening(port, proc)
        with socket.create_connection((HOST, port)) as s:  # one ordinary request first
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            while s.recv(65536):
                pass
        idle_rss = memory_kib(proc.pid, "VmRSS")
        idle_hwm = memory_kib(proc.pid, "VmHWM")
        sampler = RssSampler(proc.pid)
        sampler.start()
        rates = []
        for _ in range(runs):
            seconds, body = upload(port, path, size, framing)
            expected = b"size=%d title=bench run note=after the file" % size
            if body != expected:
                raise RuntimeError(f"unexpected answer {body[:200]!r}, wanted {expected!r}")
            rates.append(size / MB / seconds)
        peak_rss = sampler.stop()
        hwm = memory_kib(proc.pid, "VmHWM")
        # The server removes each temporary file just after closing the connection.
        deadline = time.monotonic() + 2
        while os.listdir(os.path.join(workdir, "tmp")) and time.monotonic() < deadline:
            time.sleep(0.01)
        left = len(os.listdir(os.path.join(workdir, "tmp")))
    finally:
        proc.kill()  # by PID; the server serves for ever
        proc.wait()
        os.remove(path)
    return {"size": size_mb, "framing": framing, "best": max(rates), "median": statistics.median(rates),
            "idle_rss": idle_rss, "idle_hwm": idle_hwm, "peak_rss": peak_rss, "hwm": hwm,
            "left": left}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10,100", help="file sizes in MB, comma-separated")
    parser.add_argument("--runs", type=int, default=3, help="uploads per size")
    parser.add_argument("--dir", default=None, help="working directory (default: a temporary one)")
    parser.add_argument("--framing", default="length,chunked",
                        help="body framings, comma-separated: length, chunked")
    args = parser.parse_args()

    # Server and client on different cores when there are two.
    cpus = sorted(os.sched_getaffinity(0))
    server_cpu = cpus[0] if len(cpus) >= 2 else None
    if server_cpu is not None:
        os.sched_setaffinity(0, {cpus[1]})

    workdir = tempfile.mkdtemp(prefix="zelweb-upload-", dir=args.dir)
    os.makedirs(os.path.join(workdir, "tmp"))
    try:
        print(f"multipart upload (field, file, field) to 127.0.0.1, {args.runs} per size, "
              f"in {workdir}" + (f", server on cpu {server_cpu}, client on cpu {cpus[1]}"
                                 if server_cpu is not None else ""))
        print(f"{'file':>8} {'framing':>8} {'MB/s best':>10} {'median':>8} {'idle RSS':>10} "
              f"{'peak RSS':>10} {'VmHWM':>18} {'tmp/ left':>9}")
        for size_mb in (int(s) for s in args.sizes.split(",")):
            for framing in args.framing.split(","):
                r = bench_size(workdir, size_mb, args.runs, server_cpu, framing)
                print(f"{r['size']:>5} MB {r['framing']:>8} {r['best']:>10.1f} {r['median']:>8.1f} "
                      f"{r['idle_rss'] / 1024:>7.1f} MiB {r['peak_rss'] / 1024:>6.1f} MiB "
                      f"{r['idle_hwm'] / 1024:>6.1f} -> {r['hwm'] / 1024:>5.1f} MiB {r['left']:>9}")
    finally:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
