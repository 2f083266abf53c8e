"""zelweb: a threaded HTTP/1.1 server framework.

Text crosses into and out of the module as bytes: every text parameter takes
`bytes` or `bytearray` (only the bytes before the first zero byte count) and
every text result is a new `bytes` object.
"""
import os
from typing import (Any, Callable, Dict, Iterable, List, Literal, NoReturn, Optional, Protocol,
                    Tuple, Union, overload)

_Text = Union[bytes, bytearray]
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

# The version that pyproject.toml gives, set by the build.
__version__: str

class _App(Protocol):
    # Called once per request, on that connection's own thread; the result is ignored.
    def route(self, http: http_t, /) -> object: ...

# A WSGI application (PEP 3333): app(environ, start_response) -> an iterable of bytes.
_StartResponse = Callable[..., Callable[[bytes], object]]
_WsgiApp = Callable[[Dict[str, Any], _StartResponse], Iterable[bytes]]

class BodyTooLarge(OSError):
    """Raised by a read of wsgi.input when a chunked body grows past serve's max_body."""

class _LogWriter(Protocol):
    # Called with one line of text, its line end included.
    def write(self, line: str, /) -> object: ...

class http_t:
    """One request and the response composed for it.

    The server makes one per request and passes it to `app.route`.
    """

    def __init__(self, *args: object, **kwargs: object) -> None:
        """A blank record; arguments are accepted and ignored."""

    # Request line and headers

    def c_url(self) -> bytes:
        """The path: the request target before its first "?"."""

    def c_path(self, path: _Text, /) -> int:
        """1 when the path equals `path` exactly, else 0."""

    def c_get(self, key: _Text, /) -> bytes:
        """The first query value named `key`, "+" as space, percent-decoded; b"" if absent."""

    def c_get_cookie(self, key: _Text, /) -> bytes:
        """The first cookie value named `key` as sent (pairs split at "; "); b"" if absent."""

    def c_get_auth(self, key: _Text, /) -> bytes:
        """The first value named `key` in the "Auth" header (pairs split at "; "); b"" if absent."""

    def c_user_agent(self) -> bytes:
        """The "User-Agent" header, or b""."""

    def c_method(self) -> bytes:
        """The request method as received: b"GET", b"PUT", b"BREW", ..."""

    def c_header(self, name: _Text, /) -> bytes:
        """The value of header `name` (any case), several lines joined by b", "; b"" if absent."""

    def c_headers(self) -> List[Tuple[bytes, bytes]]:
        """Every header line in order as (name as sent, value trimmed of blanks)."""

    def c_query(self) -> bytes:
        """The query as sent, not decoded: after the first "?" up to a second one; b"" if none."""

    def c_remote_addr(self) -> bytes:
        """The peer's address as text (b"127.0.0.1"); b"" for a record made by hand."""

    def c_remote_port(self) -> int:
        """The peer's port; 0 for a record made by hand."""

    def c_scheme(self) -> bytes:
        """b"https" over TLS (or as a trusted proxy says), else b"http"; b"" for a record made by hand."""

    # Request body

    def c_post(self, key: _Text, /) -> bytes:
        """The first form value named `key`, "+" as space, percent-decoded; b"" if absent."""

    def c_json(self) -> bytes:
        """The body text of a form or JSON POST as received, unparsed; b"" otherwise."""

    def c_body(self) -> bytes:
        """Any method's body, every byte, up to 1,024,000 bytes; b"" for a multipart POST."""

    def c_files(self, key: _Text, /) -> bytes:
        """A field of the first file part: b"name", b"type", b"tmp_name" or b"size"; b"" otherwise."""

    def c_uploads(self) -> List[Tuple[bytes, bytes, bytes, bytes, int, bytes]]:
        """Every file part in order as (field, filename, content_type, tmp_name, size, error)."""

    def c_copy(self, source_path: _Text, dest: _Text) -> int:
        """Copies a file (to keep an upload); always returns 0."""

    # Response

    def c_status(self, status: int, /) -> None:
        """Sets the status code, 0 to 65535 (OverflowError outside)."""

    def c_status_text(self, status_text: _Text, /) -> None:
        """Sets the reason phrase: at most 9 bytes under start, 128 under serve."""

    def c_content_type(self, content_type: _Text, /) -> None:
        """Sets the Content-Type value, at most 249 bytes (default b"text/html")."""

    def c_set_header(self, key: _Text, value: _Text) -> None:
        """Adds one header line "key: value" (a line of at most 511 bytes under start, 8,190 under serve)."""

    def c_set_cookie(self, key: _Text, value: _Text) -> None:
        """Adds "Set-Cookie: key=value"; attributes go into `value` (a line of at most 255 bytes under start, 8,190 under serve)."""

    def c_text(self, data: _Text, /) -> None:
        """Sets the text body: at most 1,023,999 bytes under start, any size under serve."""

    def c_data(self, name: _Text, /) -> None:
        """Sends the file at path `name` as the body, if it exists and is not empty."""

    def c_data_r(self, name: _Text, /) -> None:
        """As c_data, and removes the file once it has been sent."""

    def c_redirect(self, url: _Text, /) -> None:
        """Status 302 "Found" and a "Location: url" header line."""

    def c_file(self, path: _Text, /) -> bool:
        """Sends the regular file at `path` as the body, with its media type, validators, 304, 412 and one byte range; False (and nothing changes) when it is not a readable regular file."""

    def c_stream(self, iterable: Iterable[Union[bytes, bytearray, memoryview]], /) -> None:
        """Makes the iterable's pieces the body, each sent as it is produced: chunked under serve's HTTP/1.1, until the close under HTTP/1.0 and start; nothing is iterated for HEAD, and its close() is called on every path."""

    def _init_get(self) -> None:
        """Splits the target into path and query; the server calls it once per request."""

    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

@overload
def serve(
    app: _App,
    host: Union[str, bytes] = "127.0.0.1",
    port: int = 8080,
    *,
    https: bool = False,
    certfile: _Path = "cert/app.crt",
    keyfile: _Path = "cert/app.key",
    keep_alive: float = 5.0,
    max_connections: int = 65536,
    workers: int = 1,
    access_log: Union[bool, _LogWriter] = False,
    upload_dir: _Path = "tmp",
    max_body: Optional[int] = None,
    shutdown_timeout: float = 10.0,
    backlog: int = 1024,
    threads: int = 16,
    interface: Literal["route"] = "route",
    root_path: Union[str, bytes] = "",
    forwarded_allow_ips: Union[None, str, Iterable[str]] = None,
    static: Optional[Dict[str, _Path]] = None,
    static_max_age: Optional[int] = None,
) -> None: ...
@overload
def serve(
    app: _WsgiApp,
    host: Union[str, bytes] = "127.0.0.1",
    port: int = 8080,
    *,
    https: bool = False,
    certfile: _Path = "cert/app.crt",
    keyfile: _Path = "cert/app.key",
    keep_alive: float = 5.0,
    max_connections: int = 65536,
    workers: int = 1,
    access_log: Union[bool, _LogWriter] = False,
    upload_dir: _Path = "tmp",
    max_body: Optional[int] = None,
    shutdown_timeout: float = 10.0,
    backlog: int = 1024,
    threads: int = 16,
    interface: Literal["wsgi"],
    root_path: Union[str, bytes] = "",
    forwarded_allow_ips: Union[None, str, Iterable[str]] = None,
    static: Optional[Dict[str, _Path]] = None,
    static_max_age: Optional[int] = None,
) -> None:
    """Serves app on host:port with persistent connections until SIGINT or SIGTERM.

    `host` is an IPv4 or IPv6 literal or a name ("" for every local address);
    port 0 lets the system choose. Prints "[-] Serving: host:port" with the
    port bound, then holds up to `max_connections` connections (1024 under
    TLS unless given; bounded by the descriptor limit) in an event loop and
    runs the application on `threads` threads, in `workers` processes; under
    TLS each connection has a thread of its own. Connections stay open
    for further requests up to `keep_alive` idle seconds (0: one request per
    connection). `https` serves TLS with `certfile` and `keyfile`; uploads go
    to `upload_dir`; a body over `max_body` bytes gets 413. `access_log` True
    writes one line per request to standard error, or to an object's write.
    `static` maps URL prefixes to folders whose files the server sends itself
    for GET and HEAD (index.html, ranges, 304, NAME.br/NAME.gz), with
    `Cache-Control: public, max-age=static_max_age` when that is given.

    `interface="wsgi"` calls app(environ, start_response) as PEP 3333 says,
    with SCRIPT_NAME set to `root_path`. `forwarded_allow_ips` names the
    proxies ("*", addresses, networks) whose X-Forwarded-For, -Proto and -Host
    set the client's address, scheme and host.

    SIGINT or SIGTERM (in the main thread) stops accepting, lets requests in
    flight finish within `shutdown_timeout` seconds, restores the previous
    handlers and returns. Bad arguments raise TypeError or ValueError, and
    start-up errors (address in use, missing certificate) are raised, before
    anything is served; so is the error of a fork when the `workers` cannot
    be forked.
    """

def start(app: _App, host: _Text, port: int, https: int) -> NoReturn:
    """Listens on host:port (IPv4) and serves each connection on a thread of its own.

    `https` equal to 1 serves TLS with cert/app.crt and cert/app.key from the
    current directory. Prints "[-] Serving: host:port" once listening and never
    returns; start-up errors (address in use, missing certificate) are raised.
    """
