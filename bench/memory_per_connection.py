#!/usr/bin/env python3
"""Memory per connection in flight, in the head stage and in the body stage.

    python3 bench/memory_per_connection.py                 (1,000 of each)
    python3 bench/memory_per_connection.py --connections 300 --content-length 100000

For each stage a fresh server (examples/hello.py) is started and, once idle,
measured; then the connections are opened and held:
- head stage: each sends half a request head and waits;
- body stage: each sends a whole POST head (a form, with a Content-Length
  larger than what is sent) and the first bytes of the body, and waits.
Once the server runs one thread per held connection its resident memory
(VmRSS) and address space (VmSize) are read again; the difference over the
number of connections is the cost of one connection in flight. Then the
connections are closed and the server is read once more.
"""
import argparse
import socket
import sys
import time

from _server import ServerProcess, raise_fd_limit, request_once, wait_for

HALF_HEAD = b"GET /?name=held HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: mem"


def body_stage_request(content_length, sent):
    body = b"name=" + b"b" * (sent - 5)
    return (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: application/x-www-form-urlencoded\r\n"
            b"Content-Length: " + str(content_length).encode() + b"\r\n\r\n" + body)


def measure(stage, payload, count):
    server = ServerProcess(fd_limit=count + 256)
    held = []
    try:
        request_once(server.port, b"/?name=warm")
        time.sleep(0.5)
        idle = server.stats()
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            s.sendall(payload)
            held.append(s)
        # Every connection has its thread, and is blocked in its receive.
        if not wait_for(lambda: server.stats()["threads"] >= idle["threads"] + count, 30):
            raise RuntimeError(f"{stage}: the server did not start a thread per connection")
        time.sleep(1.0)
        loaded = server.stats()
        for s in held:
            s.close()
        held = []
        wait_for(lambda: server.stats()["threads"] <= idle["threads"], 30)
        time.sleep(0.5)
        released = server.stats()
    finally:
        for s in held:
            s.close()
        server.stop()
    return idle, loaded, released


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--connections", type=int, default=1000, help="held connections (1000)")
    parser.add_argument("--content-length", type=int, default=1000000,
                        help="Content-Length announced in the body stage (1000000)")
    parser.add_argument("--sent", type=int, default=1000,
                        help="body bytes actually sent in the body stage (1000)")
    args = parser.parse_args()
    raise_fd_limit(args.connections + 256)

    stages = [
        ("head stage", HALF_HEAD),
        ("body stage", body_stage_request(args.content_length, args.sent)),
    ]
    print(f"zelweb memory per connection: {args.connections} connections held per stage")
    print(f"  head stage: {len(HALF_HEAD)} bytes of a head; body stage: a form POST announcing "
          f"{args.content_length} bytes, {args.sent} sent")
    print(f"  {'':12}{'idle RSS':>10}{'held RSS':>10}{'per conn':>10}{'per conn':>12}"
          f"{'closed RSS':>12}{'threads':>9}")
    print(f"  {'':12}{'MiB':>10}{'MiB':>10}{'KiB RSS':>10}{'KiB VmSize':>12}{'MiB':>12}"
          f"{'held':>9}")
    ok = True
    for name, payload in stages:
        idle, loaded, released = measure(name, payload, args.connections)
        per_rss = (loaded["rss_kib"] - idle["rss_kib"]) / args.connections
        per_vm = (loaded["vm_kib"] - idle["vm_kib"]) / args.connections
        print(f"  {name:12}{idle['rss_kib'] / 1024:>10.1f}{loaded['rss_kib'] / 1024:>10.1f}"
              f"{per_rss:>10.1f}{per_vm:>12.0f}{released['rss_kib'] / 1024:>12.1f}"
              f"{loaded['threads'] - idle['threads']:>9}")
        ok = ok and released["threads"] <= idle["threads"]
    print("  VmSize counts each thread's stack and each reserved body buffer whole; only the")
    print("  pages touched are resident.")
    if not ok:
        sys.exit(1)


if __name__ == "__main__":
    main()
