#!/usr/bin/env bash
# Builds zelweb with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan and runs the native tests and the whole pytest suite against it,
# the interpreter started with the sanitizer runtime preloaded. Any sanitizer
# report, from the test process or from an interpreter it starts, fails the
# script; the reports are kept under build/asan/reports/.
#   scripts/sanitize.sh [pytest arguments, paths relative to tests/...]
# Built with clang when it is installed (CXX overrides): gcc's UBSan runtime
# ignores log_path, so its reports would vanish into pytest's captured output
# when the process halts.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
BUILD=$ROOT/build/asan
REPORTS=$BUILD/reports

if [ -z "${CXX:-}" ] && command -v clang++ >/dev/null; then export CXX=clang++; fi
# A build directory made with another compiler is made afresh.
if [ -f "$BUILD/CMakeCache.txt" ] && [ -n "${CXX:-}" ] &&
   ! grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=$(command -v "$CXX")\$" "$BUILD/CMakeCache.txt"; then
  rm -rf "$BUILD"
fi
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
      -DZELWEB_SANITIZE=ON -DZELWEB_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" >/dev/null

compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
case "$("$compiler" --version | head -1)" in
  *clang*)
    runtime_dir=$("$compiler" -print-runtime-dir)
    # clang's ASan runtime carries the UBSan handlers.
    preload="$runtime_dir/libclang_rt.asan-x86_64.so" ;;
  *)
    preload="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libubsan.so)" ;;
esac
for lib in $preload; do
  [ -f "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 2; }
done

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# Freed memory is filled, so that the interpreter's own code (not
# instrumented) crashes on an object the module let go too early instead of
# reading what is left of it.
# Leaks are not checked: the interpreter does not free its own memory at
# exit, and every allocation of the module is made from inside it, so no
# suppression tells the two apart.
export ASAN_OPTIONS="detect_leaks=0:max_free_fill_size=4096:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"

status=0
# The native tests are linked with the runtime; no preload needed.
ctest --test-dir "$BUILD" --output-on-failure || status=1

# The runtime is kept only for interpreters and the shell scripts that start
# them. Other programs the tests run are not under test, and some of them
# cannot run with it (a browser's memory layout collides with its shadow, ps
# hangs), so they are started without it.
SITE=$BUILD/site
mkdir -p "$SITE"
cat >"$SITE/sitecustomize.py" <<'PY'
import os, subprocess, sys

_popen_init = subprocess.Popen.__init__

def _keeps_runtime(args, executable):
    program = executable or (args if isinstance(args, (str, bytes, os.PathLike)) else args[0])
    program = os.fsdecode(program)
    name = os.path.basename(program)
    return program == sys.executable or name.startswith("python") or name in ("bash", "sh")

def _init(self, args, *rest, **kw):
    env = kw.get("env")
    if not kw.get("shell") and "LD_PRELOAD" in (env if env is not None else os.environ) \
            and not _keeps_runtime(args, kw.get("executable")):
        env = dict(env if env is not None else os.environ)
        env.pop("LD_PRELOAD", None)
        kw["env"] = env
    _popen_init(self, args, *rest, **kw)

subprocess.Popen.__init__ = _init
PY

# Python objects through malloc, so that ASan sees each one. The build has
# the extension; the command's pure-Python module is taken from the source.
export PYTHONMALLOC=malloc
export PYTHONPATH="$BUILD:$ROOT/python:$SITE${PYTHONPATH:+:$PYTHONPATH}"
LD_PRELOAD="$preload" "$PYTHON" -c \
  'import sys, zelweb; assert zelweb.__file__.startswith(sys.argv[1]), zelweb.__file__' "$BUILD"
(
  cd tests
  LD_PRELOAD="$preload" timeout "${SANITIZE_TIMEOUT:-1800}" \
    "$PYTHON" -m pytest -c ../pyproject.toml --rootdir=.. -p no:cacheprovider "$@" .
) || status=1

if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  for f in "$REPORTS"/*; do
    echo "== $f" >&2
    head -40 "$f" >&2
  done
  status=1
fi
exit $status
