#!/usr/bin/env python3
"""Silent clients: many connections that send half a head and stop.

    python3 bench/slow_clients.py                     (1,000 silent connections)
    python3 bench/slow_clients.py --silent 200 --probe-every 0.02

Starts examples/hello.py, measures a probe client's latency alone, then opens
the silent connections (each sends the first half of a request head and
nothing more) while the probe goes on with one request at a time. It prints a
timeline of the server's threads, descriptors and memory and of the silent
connections still open, the probe's latency (p50, p99) before and while the
silent connections are held, how long the server kept each silent connection
before closing it, and whether threads and descriptors came back to the
baseline.
"""
import argparse
import select
import socket
import sys
import threading
import time

from _server import ServerProcess, percentile, raise_fd_limit, request_once

HALF_HEAD = b"GET /?name=silent HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: sil"


class Probe(threading.Thread):
    """One request at a time, latency of each, until stopped."""

    def __init__(self, port, every):
        super().__init__(daemon=True)
        self.port, self.every = port, every
        self.samples = []  # (start time, latency s, ok)
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            started = time.monotonic()
            try:
                ok = request_once(self.port, b"/?name=probe", timeout=30).startswith(
                    b"HTTP/1.1 200 OK")
            except OSError:
                ok = False
            self.samples.append((started, time.monotonic() - started, ok))
            self.stopping.wait(self.every)

    def between(self, start, end):
        return [lat for t, lat, ok in self.samples if start <= t < end and ok], \
               sum(1 for t, _, ok in self.samples if start <= t < end and not ok)


def ms(values, p):
    return f"{percentile(values, p) * 1000:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--silent", type=int, default=1000, help="silent connections (1000)")
    parser.add_argument("--probe-every", type=float, default=0.05,
                        help="pause between probe requests, seconds (0.05)")
    parser.add_argument("--alone", type=float, default=3.0,
                        help="seconds of probing before the silent connections (3)")
    parser.add_argument("--limit", type=float, default=40.0,
                        help="give up waiting for the server to close them after this (40 s)")
    args = parser.parse_args()
    raise_fd_limit(args.silent + 256)

    server = ServerProcess(fd_limit=args.silent + 256)
    silent, opened_at, closed_after = [], {}, []
    timeline = []
    try:
        request_once(server.port, b"/?name=warm")
        time.sleep(0.5)
        baseline = server.stats()
        probe = Probe(server.port, args.probe_every)
        t0 = time.monotonic()
        probe.start()
        time.sleep(args.alone)

        poller = select.poll()
        open_start = time.monotonic()
        for _ in range(args.silent):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            s.sendall(HALF_HEAD)
            s.setblocking(False)
            silent.append(s)
            opened_at[s.fileno()] = time.monotonic()
            poller.register(s.fileno(), select.POLLIN | select.POLLHUP | select.POLLERR)
        open_end = time.monotonic()
        by_fd = {s.fileno(): s for s in silent}

        # The server answers a silent connection only by closing it.
        def reap():
            for fd, _ in poller.poll(0):
                s = by_fd.pop(fd)
                poller.unregister(fd)
                try:
                    unexpected = s.recv(1)
                except (ConnectionResetError, BlockingIOError):
                    unexpected = b""
                if unexpected:
                    print("  a silent connection got a reply:", unexpected, file=sys.stderr)
                closed_after.append(time.monotonic() - opened_at[fd])

        next_line = time.monotonic()
        all_closed_at = None
        while time.monotonic() - open_end < args.limit:
            reap()
            now = time.monotonic()
            if now >= next_line:
                st = server.stats()
                timeline.append((now - t0, st, len(by_fd), len(probe.samples)))
                next_line = now + 1.0
            if not by_fd and all_closed_at is None:
                all_closed_at = now
            if all_closed_at is not None:
                st = server.stats()
                if st["threads"] <= baseline["threads"] and st["fds"] <= baseline["fds"]:
                    break
            time.sleep(0.05)
        back_at = time.monotonic()
        time.sleep(1.0)  # a little more probing with the server at rest
        probe.stopping.set()
        probe.join(35)
        final = server.stats()
        held_end = all_closed_at or back_at
        alone, alone_failed = probe.between(t0, open_start)
        during, during_failed = probe.between(open_end, held_end)
        after, after_failed = probe.between(held_end, time.monotonic())
    finally:
        for s in silent:
            s.close()
        server.stop()

    print(f"zelweb slow clients: {server.app}, {args.silent} silent connections "
          f"(half a head each, {len(HALF_HEAD)} bytes), opened in {open_end - open_start:.2f} s")
    print(f"  timeline (s from the probe's start; silent ones opened at {open_start - t0:.1f}-"
          f"{open_end - t0:.1f} s):")
    print(f"  {'t':>6}{'threads':>9}{'fds':>7}{'RSS MiB':>9}{'silent open':>13}{'probes':>8}")
    for t, st, still_open, probes in timeline:
        print(f"  {t:6.1f}{st['threads']:>9}{st['fds']:>7}{st['rss_kib'] / 1024:>9.1f}"
              f"{still_open:>13}{probes:>8}")
    print("  probe latency, ms      requests  failed    p50     p99     max")
    for name, values, failed in (("alone", alone, alone_failed),
                                 ("while held", during, during_failed),
                                 ("afterwards", after, after_failed)):
        print(f"    {name:18}{len(values):>10}{failed:>8}{ms(values, 50):>7}{ms(values, 99):>8}"
              f"{ms(values, 100):>8}")
    if closed_after:
        print(f"  silent connections closed by the server: {len(closed_after)} of {args.silent}; "
              f"held {min(closed_after):.2f} s (min), "
              f"{percentile(closed_after, 50):.2f} s (median), "
              f"{max(closed_after):.2f} s (max)")
    back = final["threads"] <= baseline["threads"] and final["fds"] <= baseline["fds"]
    print(f"  baseline: {baseline['threads']} threads, {baseline['fds']} fds, "
          f"{baseline['rss_kib'] / 1024:.1f} MiB; at the end: {final['threads']} threads, "
          f"{final['fds']} fds, {final['rss_kib'] / 1024:.1f} MiB -> "
          f"{'back to baseline' if back else 'NOT back to baseline'}")
    if not back or len(closed_after) != args.silent:
        sys.exit(1)


if __name__ == "__main__":
    main()
