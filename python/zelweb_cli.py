"""The zelweb command: serves an application named MODULE:ATTR with zelweb.serve.

    zelweb [OPTIONS] MODULE:ATTR            (the installed script)
    python -m zelweb_cli [OPTIONS] MODULE:ATTR

The extension is the module `zelweb`; this pure-Python module ships beside it.
Keywords reach serve only for the options given, so serve's own defaults
apply to the rest. With --reload this process is a supervisor: the serving
process is a child, restarted when a file of a module it imported changes.
"""
from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import types
from typing import (Any, Callable, Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence,
                    Set, Tuple)

import zelweb

USAGE = "usage: zelweb [OPTIONS] MODULE:ATTR\n"

# Written by hand, so that it reads the same on every Python version (whose
# argparse formats differently) and as docs/reference.md reproduces it.
HELP = USAGE + """\

Serves a web application with zelweb.serve until Ctrl-C or SIGTERM.

MODULE:ATTR names it: the object ATTR of the module MODULE, imported with
--app-dir first on sys.path. ATTR may be dotted (pkg.web:site.app). MODULE
alone means MODULE:app, or MODULE:application when the module has no app.

Options not given are not passed to serve, which then uses its defaults
(shown here in brackets).

Application:
  --interface {wsgi,route}  wsgi: ATTR is a WSGI application (Flask, Django,
                            Falcon, Bottle); route: an object with a
                            route(http) method [wsgi]
  --factory                 ATTR is a callable that makes the application:
                            call it with no arguments
  --app-dir DIR             directory put first on sys.path [.]
  --root-path PATH          URL prefix the application is mounted under
                            behind a proxy (WSGI's SCRIPT_NAME)
  --reload                  restart the server when a file of an imported
                            module changes (checked once a second); for
                            development

Listening:
  --host HOST               address or name to bind; 0.0.0.0 for every IPv4
                            address, :: for IPv6 as well [127.0.0.1]
  --port PORT               TCP port, 0 for any free one [8080]
  --backlog N               listen backlog [1024]
  --certfile FILE           serve TLS with this certificate chain (PEM) ...
  --keyfile FILE            ... and this private key; both or neither

Processes and connections:
  --workers N               processes serving the one port [1]
  --threads N               application threads per process
  --max-connections N       connections served at once, per process [1024]
  --keep-alive SECONDS      idle time before a kept-alive connection is
                            closed; 0 for one request per connection [5]
  --max-body BYTES          largest request body, larger ones get 413 [none]
  --shutdown-timeout SECONDS
                            time requests in flight get to finish after
                            Ctrl-C or SIGTERM [10]

Requests and responses:
  --upload-dir DIR          where uploads are streamed; it must exist [tmp]
  --static PREFIX=DIR       serve the files of DIR under the URL path PREFIX
                            (/static=public); repeatable
  --static-max-age SECONDS  Cache-Control max-age of those files [none]
  --forwarded-allow-ips IPS
                            proxies whose X-Forwarded-* headers are trusted:
                            addresses separated by commas, or * for any
  --access-log              one line per request on standard error

  --version                 print the version and exit
  -h, --help                print this help and exit

Exit status: 0 once stopped by Ctrl-C or SIGTERM; 1 when the server fails
(an address in use, a missing certificate); 2 for a wrong option or an
application that cannot be loaded.
"""

# Set in the serving process that a --reload supervisor runs: where to write
# the files of the modules it imported.
REPORT_VARIABLE = "ZELWEB_RELOAD_REPORT"


# --- options -------------------------------------------------------------------------

def _whole(low: int, high: Optional[int] = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low or (high is not None and value > high):
            span = f"from {low} to {high}" if high is not None else f"{low} or more"
            raise argparse.ArgumentTypeError(f"expected a whole number {span}, got {text!r}")
        return value
    return convert


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not (math.isfinite(value) and 0 <= value <= 1e9):
        raise argparse.ArgumentTypeError(f"expected seconds from 0 to 1e9, got {text!r}")
    return value


def _static(text: str) -> Tuple[str, str]:
    prefix, equals, directory = text.partition("=")
    if not (equals and prefix and directory):
        raise argparse.ArgumentTypeError(f"expected PREFIX=DIR, got {text!r}")
    return prefix, directory


def _addresses(text: str) -> List[str]:
    addresses = [a.strip() for a in text.split(",")]
    if not all(addresses):
        raise argparse.ArgumentTypeError(
            f"expected addresses separated by commas, or *, got {text!r}")
    return addresses


class _Help(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        sys.stdout.write(HELP)
        parser.exit(0)


class _Version(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        sys.stdout.write(f"zelweb {zelweb.__version__}\n")
        parser.exit(0)


def parser() -> argparse.ArgumentParser:
    # No abbreviations: one that works today could become ambiguous when an
    # option is added.
    p = argparse.ArgumentParser(prog="zelweb", usage=USAGE[len("usage: "):].rstrip(),
                                add_help=False, allow_abbrev=False)
    p.add_argument("app", metavar="MODULE:ATTR")
    p.add_argument("--interface", choices=("wsgi", "route"), default="wsgi")
    p.add_argument("--factory", action="store_true")
    p.add_argument("--app-dir", default=".", metavar="DIR")
    p.add_argument("--root-path", metavar="PATH")
    p.add_argument("--reload", action="store_true")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=_whole(0, 65535), default=8080)
    p.add_argument("--backlog", type=_whole(1, 1 << 24), metavar="N")
    p.add_argument("--certfile", metavar="FILE")
    p.add_argument("--keyfile", metavar="FILE")
    p.add_argument("--workers", type=_whole(1, 4096), metavar="N")
    p.add_argument("--threads", type=_whole(1), metavar="N")
    p.add_argument("--max-connections", type=_whole(1, 1 << 24), metavar="N")
    p.add_argument("--keep-alive", type=_seconds, metavar="SECONDS")
    p.add_argument("--max-body", type=_whole(0), metavar="BYTES")
    p.add_argument("--shutdown-timeout", type=_seconds, metavar="SECONDS")
    p.add_argument("--upload-dir", metavar="DIR")
    p.add_argument("--static", type=_static, action="append", metavar="PREFIX=DIR")
    p.add_argument("--static-max-age", type=_whole(0), metavar="SECONDS")
    p.add_argument("--forwarded-allow-ips", type=_addresses, metavar="IPS")
    p.add_argument("--access-log", action="store_true")
    p.add_argument("--version", action=_Version, nargs=0)
    p.add_argument("-h", "--help", action=_Help, nargs=0)
    return p


def parse(argv: Sequence[str]) -> argparse.Namespace:
    p = parser()
    options = p.parse_args(argv)
    module, colon, attribute = options.app.partition(":")
    if not module or (colon and not attribute):
        p.error(f"expected MODULE:ATTR or MODULE, got {options.app!r}")
    if (options.certfile is None) != (options.keyfile is None):
        p.error("--certfile and --keyfile go together: give both, or neither")
    if options.static:
        prefixes = [prefix for prefix, _ in options.static]
        twice = sorted({prefix for prefix in prefixes if prefixes.count(prefix) > 1})
        if twice:
            p.error(f"--static gives the prefix {twice[0]} twice")
    if not os.path.isdir(options.app_dir):
        p.error(f"--app-dir: no directory {options.app_dir!r}")
    return options


# Options passed to serve under the same name when given.
_AS_GIVEN = ("backlog", "workers", "threads", "max_connections", "keep_alive", "max_body",
             "shutdown_timeout", "upload_dir", "static_max_age", "root_path",
             "forwarded_allow_ips")


def serve_keywords(options: argparse.Namespace) -> Dict[str, Any]:
    """The keywords for zelweb.serve: only those of the options given, so that
    serve's own defaults hold for the rest."""
    keywords: Dict[str, Any] = {name: getattr(options, name) for name in _AS_GIVEN
                                if getattr(options, name) is not None}
    if options.interface != "route":
        keywords["interface"] = options.interface
    if options.certfile is not None:
        keywords.update(https=True, certfile=options.certfile, keyfile=options.keyfile)
    if options.static:
        keywords["static"] = dict(options.static)
    if options.access_log:
        keywords["access_log"] = True
    return keywords


# --- loading the application ---------------------------------------------------------

class LoadError(Exception):
    """The application cannot be loaded: the message for the one line on
    standard error, and the files involved (for --reload to watch)."""

    def __init__(self, message: str, files: Iterable[str] = ()) -> None:
        super().__init__(message)
        self.files = set(files)


_IMPORTLIB = os.path.dirname(importlib.__file__ or "") + os.sep


def _frames(error: BaseException) -> List[traceback.FrameSummary]:
    """The frames of the error's traceback that are not the import machinery's
    or this module's: the application's and the libraries it called."""
    return [frame for frame in traceback.extract_tb(error.__traceback__)
            if not frame.filename.startswith(("<", _IMPORTLIB)) and frame.filename != __file__]


def _describe(error: BaseException, app_dir: str) -> str:
    """`Type: message`, then where it was raised: the innermost line in the
    application's directory, or else the innermost line at all."""
    text = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
    if isinstance(error, SyntaxError):
        return text  # its message names the file and the line already
    frames = _frames(error)
    inside = [f for f in frames if f.filename.startswith(app_dir + os.sep)] or frames
    if not inside:
        return text
    name = inside[-1].filename
    if name.startswith(os.getcwd() + os.sep):
        name = os.path.relpath(name)
    return f"{text} ({name}, line {inside[-1].lineno})"


def _error_files(error: BaseException) -> Set[str]:
    files = {frame.filename for frame in _frames(error)}
    if isinstance(error, SyntaxError) and error.filename:
        files.add(error.filename)
    return files


@contextlib.contextmanager
def _not_serving() -> Iterator[None]:
    """A module that serves when imported (its serve call not under
    `if __name__ == "__main__":`) would serve with its own settings, and only
    once stopped be served again by the command: it fails instead."""
    saved = zelweb.serve, zelweb.start

    def refuse(*args: Any, **keywords: Any) -> NoReturn:
        raise RuntimeError("the module calls zelweb.serve or zelweb.start when imported; "
                           "call it under if __name__ == '__main__': instead")
    zelweb.serve = zelweb.start = refuse
    try:
        yield
    finally:
        zelweb.serve, zelweb.start = saved


def load(spec: str, factory: bool, interface: str, app_dir: str) -> Any:
    """The application that `spec` (MODULE:ATTR or MODULE) names; LoadError if
    it cannot be had."""
    app_dir = os.path.abspath(app_dir)
    module_name, _, attribute = spec.partition(":")
    try:
        with _not_serving():
            module = importlib.import_module(module_name)
    except Exception as error:
        raise LoadError(f"cannot import module {module_name!r}: {_describe(error, app_dir)}",
                        _error_files(error)) from None
    if attribute:
        candidates = [attribute]
    else:
        candidates = ["app", "application"]
    for name in candidates:
        target: Any = module
        try:
            for part in name.split("."):
                target = getattr(target, part)
        except AttributeError:
            continue
        except Exception as error:  # a property that raised
            raise LoadError(f"{module_name}:{name} raised {_describe(error, app_dir)}",
                            _error_files(error)) from None
        break
    else:
        wanted = " or ".join(repr(name) for name in candidates)
        raise LoadError(f"module {module_name!r} has no attribute {wanted}")
    where = f"{module_name}:{name}"
    if factory:
        if not callable(target):
            raise LoadError(f"{where} is not callable, and --factory calls it")
        try:
            target = target()
        except Exception as error:
            raise LoadError(f"{where}() raised {_describe(error, app_dir)}",
                            _error_files(error)) from None
        where += "()"
    if interface == "route" and not callable(getattr(target, "route", None)):
        raise LoadError(f"{where} has no route method, which --interface route calls")
    if interface == "wsgi" and not callable(target):
        raise LoadError(f"{where} is not callable, so not a WSGI application "
                        "(for an object with a route method, give --interface route)")
    return target


# --- serving -------------------------------------------------------------------------

def _say(message: str) -> None:
    sys.stderr.write(f"zelweb: {message}\n")
    sys.stderr.flush()


def run(options: argparse.Namespace) -> int:
    """Loads the application and serves it; the exit status."""
    report = os.environ.pop(REPORT_VARIABLE, None)
    sys.path.insert(0, os.path.abspath(options.app_dir))
    try:
        app = load(options.app, options.factory, options.interface, options.app_dir)
    except LoadError as error:
        if report:
            _write_report(report, _module_files() | error.files)
        _say(str(error))
        return 2
    if report:
        _write_report(report, _module_files())
        threading.Thread(target=_keep_reporting, args=(report, os.getppid()), daemon=True,
                         name="zelweb-reload-report").start()
    try:
        zelweb.serve(app, options.host, options.port, **serve_keywords(options))
    except Exception as error:
        _say(f"{type(error).__name__}: {error}")
        return 1
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    # Lines reach a pipe or a file as they are printed: a supervisor or a
    # test waits for the banner, and logs interleave in order.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(line_buffering=True)
    args = list(sys.argv[1:] if argv is None else argv)
    options = parse(args)
    if options.reload:
        return Supervisor(options, [a for a in args if a != "--reload"]).run()
    return run(options)


# --- --reload: the serving process's side --------------------------------------------

def _module_files() -> Set[str]:
    files = set()
    for module in list(sys.modules.values()):
        # The module's own dict: getattr could run a module-level __getattr__.
        if isinstance(module, types.ModuleType):
            name = module.__dict__.get("__file__")
            if isinstance(name, str):
                files.add(os.path.abspath(name))
    return files


def _write_report(path: str, files: Iterable[str]) -> None:
    """One line per file, `mtime_ns path`, the time as this process saw it so
    that a change made just after the import is not missed."""
    lines = []
    for name in sorted(files):
        try:
            lines.append(f"{os.stat(name).st_mtime_ns} {name}\n")
        except OSError:
            continue
    temporary = path + ".new"
    try:
        with open(temporary, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.writelines(lines)
        os.replace(temporary, path)
    except OSError:
        pass  # the supervisor is gone (or its directory): serving goes on


def _keep_reporting(path: str, supervisor: int) -> None:
    """Reports modules imported after start-up, once a second; and stops the
    server when the supervisor is gone, rather than hold the port orphaned."""
    reported = len(sys.modules)
    while True:
        time.sleep(1.0)
        if os.getppid() != supervisor:
            os.kill(os.getpid(), signal.SIGTERM)
            return
        if len(sys.modules) != reported:
            reported = len(sys.modules)
            _write_report(path, _module_files())


# --- --reload: the supervisor --------------------------------------------------------

def _forget_bytecode(source: str) -> None:
    """Removes the cached bytecode of a changed source file: the cache is
    trusted when the source has its recorded size and modification second, so
    an edit of the same size within that second would load the old code."""
    if source.endswith(".py"):
        try:
            os.remove(importlib.util.cache_from_source(source))
        except (OSError, ValueError, NotImplementedError):
            pass


class Supervisor:
    """Runs the serving process as a child and restarts it when a watched file
    changes; SIGINT or SIGTERM stop the child and end the supervisor with 0."""

    def __init__(self, options: argparse.Namespace, child_args: List[str]) -> None:
        self.argv = [sys.executable, "-m", "zelweb_cli", *child_args]
        self.app_dir = os.path.abspath(options.app_dir)
        # serve's stop takes up to shutdown_timeout; past that and 5 s more, SIGKILL.
        timeout = options.shutdown_timeout
        self.stop_bound = (10.0 if timeout is None else timeout) + 5.0
        self.files: Dict[str, int] = {}  # path -> modification time (ns)
        self.report_time = 0
        self.signals: List[int] = []
        self.child: Optional[subprocess.Popen[bytes]] = None
        self.exit_noted = False
        self.directory_time = 0

    def run(self) -> int:
        work = tempfile.mkdtemp(prefix="zelweb-reload-")
        self.report = os.path.join(work, "modules")
        wake_read, wake_write = os.pipe()
        os.set_blocking(wake_read, False)
        os.set_blocking(wake_write, False)
        previous_wakeup = signal.set_wakeup_fd(wake_write)
        previous = {s: signal.signal(s, self._on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            _say("--reload: restarting when a file of an imported module changes")
            self._start()
            while not self.signals:
                # Woken by a signal at once, else once a second.
                select.select([wake_read], [], [], 1.0)
                while True:
                    try:
                        if not os.read(wake_read, 64):
                            break
                    except BlockingIOError:
                        break
                if self.signals:
                    break
                self._poll()
        finally:
            self._stop_child()
            for number, handler in previous.items():
                signal.signal(number, handler)
            signal.set_wakeup_fd(previous_wakeup)
            os.close(wake_read)
            os.close(wake_write)
            shutil.rmtree(work, ignore_errors=True)
        return 0

    def _on_signal(self, number: int, frame: Optional[types.FrameType]) -> None:
        self.signals.append(number)

    def _start(self) -> None:
        env = dict(os.environ, **{REPORT_VARIABLE: self.report})
        self.child = subprocess.Popen(self.argv, env=env)
        self.exit_noted = False
        self.directory_time = self._directory_time()

    def _stop_child(self) -> None:
        child = self.child
        if child is None or child.poll() is not None:
            return
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(self.stop_bound)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()

    def _directory_time(self) -> int:
        try:
            return os.stat(self.app_dir).st_mtime_ns
        except OSError:
            return 0

    def _read_report(self) -> None:
        try:
            stamp = os.stat(self.report).st_mtime_ns
            if stamp == self.report_time:
                return
            with open(self.report, encoding="utf-8", errors="surrogateescape") as f:
                lines = f.read().splitlines()
        except OSError:
            return
        self.report_time = stamp
        for line in lines:
            seen, _, name = line.partition(" ")
            if name not in self.files and seen.isdigit():
                self.files[name] = int(seen)

    def _changed(self) -> List[str]:
        changed = []
        for name, seen in self.files.items():
            try:
                now = os.stat(name).st_mtime_ns
            except OSError:
                continue  # gone for now (an editor replacing it): wait for it to return
            if now != seen:
                changed.append(name)
        return changed

    def _poll(self) -> None:
        self._read_report()
        child = self.child
        down = child is not None and child.poll() is not None
        if down and not self.exit_noted:
            assert child is not None
            self.exit_noted = True
            self._read_report()  # what it wrote just before it ended
            _say(f"the server exited with status {child.returncode}; "
                 "restarting when a file changes")
        changed = self._changed()
        if not changed and down and self._directory_time() != self.directory_time:
            # While nothing serves, a module added to the application's
            # directory may be the one that was missing.
            changed = [self.app_dir]
        if not changed:
            return
        _say(f"{os.path.relpath(changed[0])} changed; restarting")
        self._stop_child()
        for name in changed:
            _forget_bytecode(name)
        for name in self.files:
            try:
                self.files[name] = os.stat(name).st_mtime_ns
            except OSError:
                pass
        self._start()


if __name__ == "__main__":
    sys.exit(main())
