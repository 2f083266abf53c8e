"""The module's namespace after import, and what importing does and does not do.

Anything that imports zelweb afresh, fails an import or touches a second
interpreter runs in a subprocess, so the session's module stays as it is.
"""
import builtins
import json
import os
import pathlib
import random
import re
import socket
import ssl
import textwrap
import threading
import time
import types
import urllib.parse

import pytest

import zelweb
from conftest import run_python

# Set by the import system itself, not by the module.
IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                            "__file__"}

# Bound by the execution step, in this order.
MODULE_ATTRIBUTES = ["__builtins__", "http_t", "socket", "threading", "unquote", "random", "os",
                     "time", "ssl", "start", "__test__", "__version__", "serve", "BodyTooLarge"]


def run_json(code, **kwargs):
    """Runs code in a fresh interpreter; its last stdout line is JSON."""
    proc = run_python(textwrap.dedent(code), **kwargs)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- the namespace -------------------------------------------------------------------------

def test_start_is_builtin_function_named_start():
    assert isinstance(zelweb.start, types.BuiltinFunctionType)
    assert zelweb.start.__name__ == "start"
    assert zelweb.start.__qualname__ == "start"
    assert zelweb.start.__doc__ is None
    assert zelweb.start.__module__ == "zelweb"


@pytest.mark.parametrize("name, module", [
    ("socket", socket), ("threading", threading), ("random", random), ("os", os),
    ("time", time), ("ssl", ssl),
], ids=lambda v: v if isinstance(v, str) else "")
def test_interpreter_module_is_bound(name, module):
    assert getattr(zelweb, name) is module


def test_unquote_is_urllib_parse_unquote():
    assert zelweb.unquote is urllib.parse.unquote


def test_test_attribute_is_empty_dict():
    assert type(zelweb.__test__) is dict
    assert zelweb.__test__ == {}


def test_version_is_the_one_pyproject_toml_gives():
    # A pattern rather than tomllib, which 3.8 to 3.10 lack.
    text = (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    assert type(zelweb.__version__) is str
    assert zelweb.__version__ == re.search(r'^version = "([^"]+)"', text, re.M).group(1)


def test_builtins_is_builtins_module():
    assert zelweb.__builtins__ is builtins


def test_http_t_is_class_named_zelweb_http_t():
    assert isinstance(zelweb.http_t, type)
    assert zelweb.http_t.__name__ == "http_t"
    assert zelweb.http_t.__module__ == "zelweb"
    assert repr(zelweb.http_t) == "<class 'zelweb.http_t'>"
    assert zelweb.http_t.__bases__ == (object,)


def test_module_identity_comes_from_import_spec():
    assert zelweb.__doc__ is None
    assert zelweb.__name__ == "zelweb"
    assert zelweb.__spec__.name == "zelweb"
    assert zelweb.__loader__ is zelweb.__spec__.loader
    assert zelweb.__file__ == zelweb.__spec__.origin
    assert zelweb.__package__ == ""
    assert not hasattr(zelweb, "__path__")


def test_namespace_holds_exactly_its_attributes_in_binding_order():
    # A fresh interpreter: no test has touched the namespace there.
    names = run_json("""
        import json, zelweb
        print(json.dumps(list(vars(zelweb))))
    """)
    own = [n for n in names if n not in IMPORT_SYSTEM_ATTRIBUTES]
    # The two settings are native values: nothing else may show.
    assert own == MODULE_ATTRIBUTES


# --- importing again -----------------------------------------------------------------------

def test_reimport_after_removal_returns_same_object_and_runs_nothing():
    result = run_json("""
        import importlib, json, sys
        import zelweb
        first = zelweb
        zelweb.socket = "replaced"   # a second run of the statements would rebind it
        zelweb.marker = 1
        del sys.modules["zelweb"]
        import zelweb as again
        reloaded = importlib.reload(again)
        print(json.dumps({
            "same": again is first,
            "reload_same": reloaded is first,
            "in_table": sys.modules["zelweb"] is first,
            "socket": again.socket,
            "marker": getattr(again, "marker", None),
        }))
    """)
    assert result == {"same": True, "reload_same": True, "in_table": True,
                      "socket": "replaced", "marker": 1}


def test_exec_step_on_another_module_object_raises_runtime_error():
    # The import system runs a definition's execution step through
    # PyModule_ExecDef; the create step always hands back the one module
    # object, so a fresh object must be given to that call directly.
    result = run_json("""
        import ctypes, json, sys, types
        import zelweb
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        definition = api.PyModule_GetDef(zelweb)
        fresh = types.ModuleType("zelweb")
        try:
            api.PyModule_ExecDef(fresh, definition)
            error = None
        except Exception as e:
            error = [type(e).__name__, str(e)]
        del sys.modules["zelweb"]
        import zelweb as again
        print(json.dumps({
            "error": error,
            "fresh_untouched": "start" not in vars(fresh),
            "same": again is zelweb,
            "still_works": again.http_t().c_files(b"size").decode(),
        }))
    """)
    assert result == {
        "error": ["RuntimeError",
                  "Module 'zelweb' has already been imported. Re-initialisation is not supported."],
        "fresh_untouched": True,
        "same": True,
        "still_works": "0",
    }


def test_import_in_second_interpreter_fails_and_first_is_unaffected(tmp_path):
    out = tmp_path / "sub.txt"
    sub_code = textwrap.dedent(f"""
        try:
            import zelweb
            outcome = "imported"
        except BaseException as e:
            outcome = type(e).__name__ + ": " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
    """)
    result = run_json(f"""
        import json, sys
        import zelweb
        run = None
        try:
            import _testcapi
            run = _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            for name in ("_xxsubinterpreters", "_interpreters"):
                try:
                    mod = __import__(name)
                except ImportError:
                    continue
                def run(code, mod=mod):
                    interp = mod.create()
                    try:
                        mod.run_string(interp, code)
                    finally:
                        mod.destroy(interp)
                break
        if run is None:
            print(json.dumps(None))
            sys.exit(0)
        run({sub_code!r})
        print(json.dumps({{
            "same": sys.modules["zelweb"] is zelweb,
            "still_works": zelweb.http_t().c_files(b"size").decode(),
        }}))
    """)
    if result is None:
        pytest.skip("this interpreter offers no way to run a second interpreter")
    assert out.read_text() == ("ImportError: Interpreter change detected - this module can only "
                               "be loaded into one interpreter per process.")
    assert result == {"same": True, "still_works": "0"}


# --- what importing does not do ------------------------------------------------------------

def test_import_starts_no_thread_and_opens_no_socket():
    result = run_json("""
        import json, os, threading
        def sockets():
            found = set()
            for fd in os.listdir("/proc/self/fd"):
                try:
                    target = os.readlink("/proc/self/fd/" + fd)
                except OSError:
                    continue
                if target.startswith("socket:"):
                    found.add(target)
            return found
        def state():
            return [threading.active_count(), len(os.listdir("/proc/self/task")),
                    sorted(sockets())]
        before = state()
        import zelweb
        after = state()
        print(json.dumps([before, after]))
    """)
    before, after = result
    assert after == before
    assert after[2] == []


# --- failing imports -----------------------------------------------------------------------

@pytest.mark.parametrize("module", ["socket", "threading", "urllib.parse", "random", "os", "time",
                                    "ssl"])
def test_failing_import_of_interpreter_module_fails_import(module):
    # The module is left out of the table, and a later import starts over.
    result = run_json(f"""
        import json, sys, traceback
        sys.modules[{module!r}] = None
        try:
            import zelweb
            failure = None
        except BaseException as e:
            failure = e
        loaded = "zelweb" in sys.modules
        del sys.modules[{module!r}]
        # Formatted once the module is back: newer tracebacks need os themselves.
        error = failure and [type(failure).__name__, str(failure),
                             "init zelweb" in "".join(traceback.format_exception(
                                 type(failure), failure, failure.__traceback__))]
        import zelweb, ssl, socket
        print(json.dumps({{
            "error": error,
            "loaded_after_failure": loaded,
            "retry_binds": zelweb.ssl is ssl and zelweb.socket is socket,
            "retry_start": zelweb.start.__name__,
        }}))
    """)
    assert result == {
        "error": ["ModuleNotFoundError", f"import of {module} halted; None in sys.modules", True],
        "loaded_after_failure": False,
        "retry_binds": True,
        "retry_start": "start",
    }


def test_missing_unquote_fails_import_with_cannot_import_name():
    result = run_json("""
        import json, sys, types
        sys.modules["urllib.parse"] = types.ModuleType("urllib.parse")
        try:
            import zelweb
            error = None
        except BaseException as e:
            error = [type(e).__name__, str(e)]
        print(json.dumps({"error": error, "loaded": "zelweb" in sys.modules}))
    """)
    assert result == {"error": ["ImportError", "cannot import name unquote"], "loaded": False}
