#!/usr/bin/env bash
# Type-checks the examples and the zelweb command with mypy in strict mode
# against the zelweb stubs that the installed package carries (pip install .
# puts them beside the extension). Installs mypy when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

"$PYTHON" -c "import mypy" 2>/dev/null || "$PYTHON" -m pip install --quiet mypy
"$PYTHON" -m mypy --strict "$@" examples/ python/
