"""Reference counts and memory over many calls of every record method, on a
plain record and on one served inside a route, through the ordinary paths and
the error paths: refused arguments, ignored exceptions, refused copies.

A method that keeps a reference to its argument, its record or its result, or
that loses memory or a descriptor per call, shows it here many times over.
Adding a method takes one row of ROWS.
"""
import gc
import os
import sys

import pytest

import zelweb
from helpers import fd_count, multipart, part, post_request, upload_request

CALLS = 20_000
WARM_UP = 200
BLOCKS_BOUND = 200          # interpreter blocks; a leak of one per call is CALLS
RSS_BOUND = 16 * 1024 ** 2  # bytes; c_text of BIG_TEXT leaking once per call is 1 GB
# AddressSanitizer holds freed memory in quarantine: resident memory grows
# whether or not anything leaks, so only the reference counts speak there.
SANITIZED = "ASAN_OPTIONS" in os.environ
PAGE = os.sysconf("SC_PAGE_SIZE")
BIG_TEXT = b"t" * 100_000


class Path:
    """An argument standing for a file the test makes: resolved to bytes per test."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


FILE, DEST, MISSING, LONG = Path("file"), Path("dest"), Path("missing"), Path("long")

IGNORED_GET = "Exception ignored in: 'zelweb.http_t.c_get'"
IGNORED_POST = "Exception ignored in: 'zelweb.http_t.c_post'"


def row(method, *args, label=None, raises=None, prints=None, reports=None, calls=CALLS,
        fresh=False, served_only=False, upload=False, **kwargs):
    """One method call to repeat.

    raises: the exception every call raises; prints/reports: a text each call
    writes on stdout/stderr; fresh: a new plain record per call, for setters
    that fill the record up (on a served record the later calls take the
    refusal path); served_only: needs request data; upload: served by a
    multipart request instead of a form.
    """
    options = dict(raises=raises, prints=prints, reports=reports, calls=calls, fresh=fresh,
                   served_only=served_only, upload=upload)
    return pytest.param(method, args, kwargs, options,
                        id=method + ("-" + label if label else ""))


ROWS = [
    # -- what the methods do normally (lookups on a plain record find nothing; the
    #    served record has a query with escapes, cookies, a form body or an upload)
    row("c_url"),
    row("c_user_agent"),
    row("c_json"),
    row("_init_get"),
    row("c_path", b"/refs"),
    row("c_get", b"query", label="unquoted"),
    row("c_get_cookie", b"id"),
    row("c_get_cookie", bytearray(b"lang"), label="bytearray"),
    row("c_get_auth", b"token"),
    row("c_post", b"name", label="unquoted"),
    row("c_files", b"tmp_name", upload=True),
    row("c_files", b"size", label="size", upload=True),
    row("c_text", BIG_TEXT, calls=10_000),
    row("c_data", FILE),
    row("c_data_r", FILE),
    row("c_data", MISSING, label="missing"),
    row("c_file", FILE),
    row("c_file", MISSING, label="missing"),
    row("c_status", int("404")),
    row("c_status_text", b"Fine"),
    row("c_content_type", b"text/plain"),
    row("c_set_header", b"X-Refs", b"1", fresh=True),
    row("c_set_header", label="keywords", key=b"X-Refs", value=b"1", fresh=True),
    row("c_set_cookie", b"seen", b"1", fresh=True),
    row("c_redirect", b"/next?to=%2F", fresh=True),
    row("c_copy", FILE, DEST, calls=5_000),
    row("c_copy", MISSING, DEST, label="missing"),
    row("c_method"),
    row("c_header", b"cookie"),
    row("c_header", b"X-Twice", label="joined"),
    row("c_headers"),
    row("c_query"),
    row("c_remote_addr"),
    row("c_remote_port"),
    row("c_scheme"),
    row("c_stream", (b"piece",)),
    row("c_body"),
    row("c_uploads", upload=True),
    # -- arguments refused with an exception
    row("c_get", "query", label="str", raises=TypeError),
    row("c_url", b"x", label="extra-argument", raises=TypeError),
    row("c_status", "404", label="str", raises=TypeError),
    row("c_status", int("70000"), label="too-large", raises=OverflowError),
    row("c_set_header", b"X", int("70002"), label="int-value", raises=TypeError),  # not a shared small int
    row("c_set_cookie", b"a", label="missing-value", raises=TypeError),
    row("c_set_header", b"X", b"1", label="unexpected-keyword", bogus=b"2", raises=TypeError),
    row("c_copy", FILE, "dest", label="str-dest", raises=TypeError),
    row("c_header", "cookie", label="str", raises=TypeError),
    row("c_headers", b"x", label="extra-argument", raises=TypeError),
    row("c_stream", int("70001"), label="not-iterable", raises=TypeError),  # not a shared small int
    # -- exceptions reported as ignored (invalid UTF-8 in the request)
    row("c_get", b"bad", label="ignored", reports=IGNORED_GET, calls=1_000, served_only=True),
    row("c_post", b"bad", label="ignored", reports=IGNORED_POST, calls=1_000, served_only=True),
    # -- copies refused for size, and line breaks refused
    row("c_text", b"t" * 1_024_000, label="too-long", prints="size of data must: 1024000",
        calls=2_000),
    row("c_status_text", b"s" * 10, label="too-long", prints="size of data must: 10",
        calls=2_000),
    row("c_content_type", b"c" * 250, label="too-long", prints="size of data must: 250",
        calls=2_000),
    row("c_set_header", b"k", b"v" * 600, label="too-long", prints="size of data must: 512",
        calls=2_000),
    row("c_set_cookie", b"k", b"v" * 300, label="too-long", prints="size of data must: 256",
        calls=2_000),
    row("c_data", LONG, label="path-too-long", prints="size of data must: 250", calls=2_000),
    row("c_redirect", b"/a\r\nX: 1", label="line-break", prints="redirect url refused",
        calls=2_000),
    row("c_set_header", b"X Y", b"1", label="not-a-token", prints="header name refused",
        calls=2_000),
]

PLAIN_ROWS = [r for r in ROWS if not r.values[3]["served_only"]]


def test_every_method_has_a_row():
    methods = {m for m in dir(zelweb.http_t) if m.startswith("c_") or m == "_init_get"}
    assert methods - {r.values[0] for r in ROWS} == set()


@pytest.fixture
def files(tmp_path):
    (tmp_path / "file").write_bytes(bytes(range(256)) * 256)  # 64 KiB
    long = tmp_path / ("l" * (250 - len(str(tmp_path)) - 1))  # 250 bytes: one too many
    assert len(str(long)) == 250, "temporary directory path too long for this test"
    long.write_bytes(b"long")
    paths = {"file": tmp_path / "file", "dest": tmp_path / "dest",
             "missing": tmp_path / "missing", "long": long}
    return {name: str(path).encode() for name, path in paths.items()}


def resolve(values, files):
    return [files[v.name] if isinstance(v, Path) else v for v in values]


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def measure(record, method, args, kwargs, options):
    """Calls the method many times; returns what grew meanwhile (for fresh
    records, the type's count stands in for the record's)."""
    fresh = options["fresh"]
    expected = options["raises"] or ()
    watched = [*args, *kwargs.values(), zelweb.http_t if fresh else record]
    raised = 0

    def repeat(times):
        nonlocal raised
        for _ in range(times):
            try:
                getattr(zelweb.http_t() if fresh else record, method)(*args, **kwargs)
            except expected:
                raised += 1

    repeat(WARM_UP)
    raised = 0
    gc.collect()
    refs, blocks, rss, fds = ([sys.getrefcount(o) for o in watched], sys.getallocatedblocks(),
                              resident(), fd_count())
    repeat(options["calls"])
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    return {"refs": [a - b for a, b in zip(after, refs)],
            "blocks": sys.getallocatedblocks() - blocks, "rss": resident() - rss,
            "fds": fd_count() - fds, "raised": raised}


def check(grown, options, output):
    assert grown["refs"] == [0] * len(grown["refs"]), grown  # arguments, then the record
    assert grown["blocks"] < BLOCKS_BOUND, grown
    assert SANITIZED or grown["rss"] < RSS_BOUND, grown
    assert grown["fds"] <= 0, grown
    # The path under test was taken on every call.
    assert grown["raised"] == (options["calls"] if options["raises"] else 0), grown
    if options["prints"]:
        assert output.read().count(options["prints"]) >= options["calls"]
    if options["reports"]:
        assert output.read("err").count(options["reports"]) >= options["calls"]


@pytest.mark.parametrize("method, args, kwargs, options", PLAIN_ROWS)
def test_plain_record_keeps_nothing(method, args, kwargs, options, files, output):
    args, kwargs = resolve(args, files), dict(zip(kwargs, resolve(kwargs.values(), files)))
    check(measure(zelweb.http_t(), method, args, kwargs, options), options, output)


QUERY = b"/refs?query=a%20b%C3%A9+c&bad=\xff\xfe"
HEADERS = (b"Cookie: id=7; lang=en\r\nAuth: token=t0k\r\nUser-Agent: refcounts\r\n"
           b"X-Twice: 1\r\nX-Twice: 2\r\n")
FORM_BODY = b"name=x%20y%C3%A9&bad=\xff&pad=" + b"p" * 16_000


@pytest.mark.parametrize("method, args, kwargs, options", ROWS)
def test_served_record_keeps_nothing(method, args, kwargs, options, files, server, output):
    args, kwargs = resolve(args, files), dict(zip(kwargs, resolve(kwargs.values(), files)))
    results = []

    def route(http):
        if options["upload"]:
            assert http.c_files(b"size") == b"4096"
        else:
            assert http.c_post(b"name") == "x yé".encode()
        assert http.c_get(b"query") == "a bé c".encode()
        results.append(measure(http, method, args, kwargs, options))
    server.handle(b"/refs", route)
    if options["upload"]:
        body = multipart([part(b"f", b"u" * 4096, filename=b"u.bin")])
        request = upload_request(QUERY, body, extra=HEADERS)
    else:
        request = post_request(QUERY, FORM_BODY, extra=HEADERS)
    assert server.raw(request, timeout=120).startswith(b"HTTP/1.1 ")
    assert len(results) == 1, output.read("err")
    check(results[0], options, output)
