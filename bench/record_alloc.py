"""Cost of a request record: create and drop 100,000 `http_t` records, and
create a record then fill its small fields through the setters.

The record's fixed text fields are inside the object, but its 1,024,000-byte
response text is taken on first write, sized to the text, so creating a
record must not cost a megabyte of zeroing.
"""
import resource
import time

import zelweb

N = 100_000


def best_of(runs, fn):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def create_drop():
    http_t = zelweb.http_t
    for _ in range(N):
        http_t()


def create_fill():
    http_t = zelweb.http_t
    for _ in range(N):
        h = http_t()
        h.c_status(404)
        h.c_content_type(b"text/plain")
        h.c_set_header(b"X-A", b"1")
        h.c_text(b"hello world")


def main():
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t1 = best_of(5, create_drop)
    t2 = best_of(5, create_fill)
    rss1 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"create and drop {N:,} records: {t1 * 1e3:.1f} ms ({t1 / N * 1e9:.0f} ns each)")
    print(f"create, set status/type/header/text, drop: {t2 * 1e3:.1f} ms ({t2 / N * 1e9:.0f} ns each)")
    print(f"peak RSS grew by {(rss1 - rss0) / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
