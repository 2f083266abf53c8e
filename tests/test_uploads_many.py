"""Several files in one request: c_uploads lists every file part, each streamed
to its own temporary file and removed after the response; the cap on kept files;
and how an upload cut short or failing to write ends its last file."""
import ast
import hashlib
import os
import re
import subprocess
import sys

import pytest
import requests

from helpers import (ScriptServer, capture_uploads, gone, multipart, ok, part, send_while_reading,
                     upload_request, wait_until)

OCTETS = b"application/octet-stream"
A = b"first file\r\n--XY-not-a-delimiter\r\n\x00" + os.urandom(70000)
B = bytes(range(256)) * 300


def described(entry):
    """An entry without its temporary name."""
    return entry[:3] + entry[4:]


def check_kept_files(names):
    assert all(re.fullmatch(rb"tmp/\d+", n) for n in names), names
    assert len(set(names)) == len(names)
    assert all(gone(n) for n in names)


def test_requests_two_files_and_fields(server):
    seen = capture_uploads(server, b"/two", fields=[b"title", b"note"], reply=b"received")
    r = requests.post(server.url("/two"), data={"title": "Grüße", "note": "n"}, timeout=30,
                      files=[("one", ("a.txt", A, "text/plain")),
                             ("two", ("b.bin", B, "application/x-b"))])
    assert r.content == b"received"
    got = seen[0]
    assert [described(e) for e in got["uploads"]] == [
        (b"one", b"a.txt", b"text/plain", len(A), b""),
        (b"two", b"b.bin", b"application/x-b", len(B), b"")]
    assert got["data"] == [A, B]
    assert got["first"] == [b"a.txt", b"text/plain", got["uploads"][0][3], str(len(A)).encode()]
    assert got["fields"] == {b"title": "Grüße".encode(), b"note": b"n"}
    check_kept_files([e[3] for e in got["uploads"]])


def test_first_file_input_left_empty(server):
    seen = capture_uploads(server, b"/empty-first", fields=[b"t"])
    body = multipart([part(b"one", b"", b"", OCTETS), part(b"t", b"text"),
                      part(b"two", B, b"b.bin", b"image/png")])
    assert ok(server.raw(upload_request(b"/empty-first", body)))
    got = seen[0]
    assert [described(e) for e in got["uploads"]] == [
        (b"one", b"", OCTETS, 0, b""), (b"two", b"b.bin", b"image/png", len(B), b"")]
    assert got["data"] == [b"", B]
    assert got["first"] == [b"", OCTETS, got["uploads"][0][3], b"0"]
    assert got["fields"] == {b"t": b"text"}
    check_kept_files([e[3] for e in got["uploads"]])


def test_files_past_the_64th_are_read_and_dropped(server):
    files = [b"%d:" % i + os.urandom(i * 7) + b"\r\n-" for i in range(65)]
    parts = [part(b"f%d" % i, d, b"%d.txt" % i, b"text/plain") for i, d in enumerate(files)]
    seen = capture_uploads(server, b"/many", fields=[b"after"])
    assert ok(server.raw(upload_request(b"/many", multipart(parts + [part(b"after", b"yes")]))))
    got = seen[0]
    assert [described(e) for e in got["uploads"]] == [
        (b"f%d" % i, b"%d.txt" % i, b"text/plain", len(d), b"") for i, d in enumerate(files[:64])
    ] + [(b"f64", b"64.txt", b"text/plain", 0, b"not kept: more than 64 files in one request")]
    assert got["uploads"][64][3] == b""
    assert got["data"] == files[:64] + [None]
    assert got["fields"] == {b"after": b"yes"}
    check_kept_files([e[3] for e in got["uploads"][:64]])


def test_more_than_256_file_parts_end_the_upload(server, output):
    parts = [part(b"f", b"%d" % i, b"%d" % i) for i in range(257)]
    seen = capture_uploads(server, b"/too-many")
    assert ok(server.raw(upload_request(b"/too-many", multipart(parts))))
    got = seen[0]
    assert len(got["uploads"]) == 256
    assert got["data"][:64] == [b"%d" % i for i in range(64)]
    output.wait_for("multipart body: more than 256 file parts")
    check_kept_files([e[3] for e in got["uploads"][:64]])


@pytest.mark.parametrize("item, long, message", [
    (0, b"f" * 250, "size of data must: 250"),
    (1, b"n" * 250, "size of data must: 250"),
    (2, b"t/" + b"x" * 38, "size of data must: 40"),
], ids=["field", "filename", "type"])
def test_item_too_long_in_a_later_file_part_is_empty(server, output, item, long, message):
    items = [b"two", b"b.bin", b"image/png"]
    sent = items[:item] + [long] + items[item + 1:]
    body = multipart([part(b"one", b"1", b"a.txt"), part(sent[0], B, sent[1], sent[2])])
    seen = capture_uploads(server, b"/long")
    assert ok(server.raw(upload_request(b"/long", body)))
    got = seen[0]
    assert described(got["uploads"][1]) == tuple(items[:item] + [b""] + items[item + 1:]) + (
        len(B), b"")
    assert got["data"] == [b"1", B]
    output.wait_for(message)


def test_every_temporary_file_is_removed_when_route_raises(server, output):
    names = []

    def handler(http):
        names.extend(e[3] for e in http.c_uploads())
        raise RuntimeError("route failed with two files")
    server.handle(b"/raises", handler)
    body = multipart([part(b"one", A, b"a.txt"), part(b"two", B, b"b.bin")])
    assert server.raw(upload_request(b"/raises", body)) == b""
    output.wait_for("route failed with two files", stream="err")
    assert len(names) == 2
    check_kept_files(names)


CUT_BODY = multipart([part(b"one", A, b"a.txt", b"text/plain"), part(b"two", B, b"b.bin", OCTETS)])
CUT_AT = CUT_BODY.index(B) + 30000


@pytest.mark.parametrize("length, error", [
    (CUT_AT, b"multipart body ended before its closing delimiter"),
    (len(CUT_BODY), b"connection closed before the end of the multipart body"),
], ids=["body-without-closing-delimiter", "peer-closes-mid-file"])
def test_upload_cut_short_ends_its_last_file(server, output, length, error):
    seen = capture_uploads(server, b"/cut")
    assert ok(server.raw(upload_request(b"/cut", CUT_BODY[:CUT_AT], length=length)))
    got = seen[0]
    first, last = got["uploads"]
    assert described(first) == (b"one", b"a.txt", b"text/plain", len(A), b"")
    assert last[:3] + last[5:] == (b"two", b"b.bin", OCTETS, error)
    assert got["data"][0] == A
    assert 0 < last[4] <= 30000 and got["data"][1] == B[:last[4]]
    output.wait_for(error.decode())
    check_kept_files([e[3] for e in got["uploads"]])


FULL_SERVER = """
import hashlib, os, sys, zelweb
class App:
    def route(self, http):
        entries = [e[:3] + e[4:] + ((os.path.getsize(e[3]),
                                     hashlib.sha256(open(e[3], "rb").read()).hexdigest())
                                    if os.path.exists(e[3]) else (None, None))
                   for e in http.c_uploads()]
        print("UPLOADS", repr(entries), flush=True)
        http.c_text(b"served")
zelweb.start(App(), b"127.0.0.1", int(sys.argv[1]), 0)
"""


def test_full_disk_ends_that_file_with_the_os_error(tmp_path):
    if not sys.platform.startswith("linux"):
        pytest.skip("a tmpfs mount needs Linux")
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(tmp)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    small, big = os.urandom(100000), b"B" * (5 << 20)
    try:
        with ScriptServer(FULL_SERVER, tmp_path) as srv:
            body = multipart([part(b"s", small, b"s.bin", OCTETS), part(b"b", big, b"b.bin", OCTETS)])
            response = send_while_reading(srv.port, upload_request(b"/", body))
            assert wait_until(lambda: "UPLOADS" in srv.stdout.read_text())
            assert wait_until(lambda: os.listdir(tmp) == [])
    finally:
        subprocess.run(["umount", str(tmp)], check=True)
    assert ok(response)
    line = next(l for l in srv.stdout.read_text().splitlines() if l.startswith("UPLOADS "))
    first, second = ast.literal_eval(line[len("UPLOADS "):])
    assert first == (b"s", b"s.bin", OCTETS, len(small), b"", len(small),
                     hashlib.sha256(small).hexdigest())
    assert second[:3] == (b"b", b"b.bin", OCTETS)
    assert b"No space left on device" in second[4]
    assert second[3] == second[5] < len(big)
