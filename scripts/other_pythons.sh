#!/usr/bin/env bash
# Builds zelweb for every other CPython 3 (3.8 and later) that pyenv offers
# (or installs the wheel scripts/wheels.sh left in dist/ for it) and runs the
# suite on each (the browser and typing checks included),
# leaving out the tests that wait for the server's time limits (they behave
# the same on every interpreter).
set -euo pipefail
cd "$(dirname "$0")/.."
main=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
root=${PYENV_ROOT:-$HOME/.pyenv}
status=0
found=0
for py in "$root"/versions/3.*/bin/python3; do
    [ -x "$py" ] || continue
    v=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    case "$v" in 3.[0-7]|"$main") continue ;; esac
    found=$((found + 1))
    echo "== CPython $v"
    venv=build/venv-$v
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    # The wheel scripts/wheels.sh built for this interpreter, when there is
    # one: the same package, without building it a second time.
    tag=cp${v/./}
    wheel=$(ls dist/zelweb-*-"$tag"-"$tag"-*.whl 2>/dev/null | head -1 || true)
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        "${wheel:-.}[test]" selenium mypy
    (cd tests && "../$venv/bin/python" -m pytest -c ../pyproject.toml --rootdir=.. -q \
        -m "not slow" -n 4 -p no:cacheprovider "$@" .) || status=1
done
echo "other interpreters tested: $found"
exit $status
