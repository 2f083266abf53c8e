#!/usr/bin/env bash
# Installs what the tests need and zelweb itself, then runs every test: the
# native unit tests of the pure parsers (CTest) and the Python suite (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

bash scripts/deps.sh
"$PYTHON" -m pip install --quiet --disable-pip-version-check ".[test]"

cmake -S . -B build/native -G Ninja -DZELWEB_NATIVE_TESTS=ON -DZELWEB_NATIVE_ONLY=ON \
      -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native >/dev/null
ctest --test-dir build/native --output-on-failure

# Run from outside the source tree so `import zelweb` finds the installed module.
mkdir -p build
cd tests
set +e
# Four workers: most tests wait on sockets and the server's time limits.
"$PYTHON" -m pytest -c ../pyproject.toml --rootdir=.. -n "${PYTEST_WORKERS:-4}" "$@" . \
    | tee ../build/pytest.log
status=${PIPESTATUS[0]}
set -e
tail -1 ../build/pytest.log > ../build/last-pytest-summary
exit "$status"
