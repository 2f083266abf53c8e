"""The type stubs: mypy --strict accepts the examples and rejects misuse, and
every method the extension has is in the stub with the parameters it takes."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

import zelweb

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
SOURCE_STUB = ROOT / "stubs" / "zelweb-stubs" / "__init__.pyi"
INSTALLED_STUB = pathlib.Path(zelweb.__file__).resolve().parent / "zelweb-stubs" / "__init__.pyi"

try:
    import mypy  # noqa: F401
    HAVE_MYPY = True
except ImportError:
    HAVE_MYPY = False

needs_mypy = pytest.mark.skipif(not HAVE_MYPY, reason="mypy is not installed (pip install mypy)")


class Checker:
    """mypy --strict in a fresh process, with its cache in a temporary directory."""

    def __init__(self, env, workdir):
        self.env = env
        self.workdir = workdir

    def run(self, *targets):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--show-error-codes",
             "--cache-dir", str(self.workdir / "mypy-cache"), *map(str, targets)],
            capture_output=True, text=True, env=self.env, cwd=self.workdir, timeout=300)


@pytest.fixture(params=["installed", "source"])
def checker(request, tmp_path):
    """mypy reading the stubs installed beside the extension (as users get
    them), or the source tree's stubs through MYPYPATH."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if request.param == "installed":
        if not INSTALLED_STUB.exists():
            pytest.skip(f"zelweb is imported from {INSTALLED_STUB.parent.parent}, which holds "
                        "no zelweb-stubs: install the package (pip install .) to check them")
    else:
        stub_dir = tmp_path / "stubpath"
        stub_dir.mkdir()
        (stub_dir / "zelweb.pyi").write_text(SOURCE_STUB.read_text())
        env["MYPYPATH"] = str(stub_dir)
    return Checker(env, tmp_path)


@needs_mypy
def test_examples_pass_mypy_strict(checker):
    result = checker.run(EXAMPLES)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = '''\
import pathlib
import sys
import zelweb

class App:
    def route(self, http: zelweb.http_t) -> None:
        http.c_text("a str, not bytes")
        name: str = http.c_get(b"name")
        http.c_get(key=b"name")
        http.c_status(b"404")
        http.c_set_header(b"X-A")
        http.c_nope()

class NoRoute:
    pass

def main() -> None:
    zelweb.start(App(), "127.0.0.1", 8080, 0)

def other() -> None:
    zelweb.start(NoRoute(), b"127.0.0.1", 8080, 0)

def served() -> None:
    zelweb.serve(App(), "127.0.0.1", 8080, True)
    zelweb.serve(App(), port="8080")
    zelweb.serve(App(), access_log=3)
    zelweb.serve(App(), max_body=1.5)
    zelweb.serve(App(), upload_dir=None)
    zelweb.serve(NoRoute())
    zelweb.serve(App(), interface="wsgi")
    zelweb.serve(App(), interface="asgi")
    zelweb.serve(App(), b"::1", 0, certfile=pathlib.Path("c"), access_log=sys.stderr, max_body=None,
                 forwarded_allow_ips=["127.0.0.1"], root_path="/app")
'''


@needs_mypy
def test_mypy_rejects_misuse_of_the_api(checker, tmp_path):
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    result = checker.run(source)
    flagged = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error:", result.stdout)}
    # Every line of route's body, both start calls and every serve call but
    # the last are errors.
    assert flagged == {7, 8, 9, 10, 11, 12, 18, 21, 24, 25, 26, 27, 28, 29, 30, 31}, result.stdout


def stub_tree():
    return ast.parse(SOURCE_STUB.read_text())


def stub_class(name):
    return next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)


def stub_function(name):
    return next(n for n in stub_tree().body if isinstance(n, ast.FunctionDef) and n.name == name)


def stub_methods():
    return {n.name: n for n in stub_class("http_t").body if isinstance(n, ast.FunctionDef)}


def test_stub_names_every_method_of_http_t():
    runtime = {name for name in dir(zelweb.http_t)
               if not name.startswith("__") and callable(getattr(zelweb.http_t, name))}
    declared = {name for name in stub_methods() if not name.startswith("__")}
    assert declared == runtime


SAMPLE = {"_Text": b"x", "int": 200, "Iterable": [b"x"]}
RESULT = {"bytes": bytes, "int": int, "bool": bool, "None": type(None), "List": list}


def annotation(node):
    # Names, None and List[...] are all the stub's method annotations use (no
    # ast.unparse on 3.8); a List is checked as a list, its items not at all.
    if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name):
        return node.value.id
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Constant) and node.value is None:
        return "None"
    return ast.dump(node)


METHODS = sorted(n for n in stub_methods() if not n.startswith("__") and n != "__init__")


@pytest.mark.parametrize("name", METHODS)
def test_stub_signature_matches_the_method(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # c_data and c_copy look at paths named b"x"
    node = stub_methods()[name]
    positional_only = [a for a in node.args.posonlyargs if a.arg != "self"]
    regular = [a for a in node.args.args if a.arg != "self"]
    params = positional_only + regular
    values = [SAMPLE[annotation(a.annotation)] for a in params]
    method = getattr(zelweb.http_t(), name)

    result = method(*values)
    assert isinstance(result, RESULT[annotation(node.returns)])
    with pytest.raises(TypeError):
        method(*values, b"one too many")
    if positional_only:
        with pytest.raises(TypeError):
            getattr(zelweb.http_t(), name)(**{a.arg: v for a, v in zip(params, values)})
    elif regular:
        result = getattr(zelweb.http_t(), name)(**{a.arg: v for a, v in zip(params, values)})
        assert isinstance(result, RESULT[annotation(node.returns)])


def test_stub_start_takes_the_four_keywords_start_accepts():
    node = stub_function("start")
    assert not node.args.posonlyargs
    names = [a.arg for a in node.args.args]
    assert names == ["app", "host", "port", "https"]
    assert annotation(node.returns) == "NoReturn"
    # All four by keyword: conversion reaches the host, a str, and refuses it
    # before any socket is made.
    with pytest.raises(TypeError) as refused:
        zelweb.start(**dict(zip(names, [object(), "127.0.0.1", 0, 0])))
    assert "keyword" not in str(refused.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'backlog'"):
        zelweb.start(object(), b"127.0.0.1", 0, 0, backlog=1)



def test_stub_serve_has_the_parameters_and_defaults_serve_takes():
    import inspect
    node = stub_function("serve")
    assert not node.args.posonlyargs
    assert [a.arg for a in node.args.args] == ["app", "host", "port"]
    names = [a.arg for a in node.args.args + node.args.kwonlyargs]
    defaults = [ast.literal_eval(d) for d in node.args.defaults + node.args.kw_defaults]
    assert annotation(node.returns) == "None"
    # The parameters a caller can name, as the runtime's text signature gives them.
    runtime = [p for p in inspect.signature(zelweb.serve).parameters.values()
               if p.kind is not p.POSITIONAL_ONLY]
    assert names == [p.name for p in runtime]
    assert defaults == [p.default for p in runtime if p.default is not p.empty]
    assert [p.name for p in runtime if p.kind is p.KEYWORD_ONLY] == names[3:]
    with pytest.raises(TypeError, match="positional"):
        zelweb.serve(object(), "127.0.0.1", 0, True)
    # Each keyword is taken by that name and checked before anything is bound
    # (https takes any value, so it is left out: it would load a certificate).
    for name in names[1:]:
        if name != "https":
            with pytest.raises(TypeError, match=name):
                zelweb.serve(object(), **{name: object()})
