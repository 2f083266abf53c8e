#!/usr/bin/env bash
# Installs what building and testing zelweb needs on a fresh Debian machine:
# the compilers and build tools, the real peers the tests talk to (curl,
# openssl, nginx, headless Chromium), clang for the fuzz targets, systemd for
# checking the service unit, unzip for the wheels, and the Python packages.
# Debian packages are installed only when missing.
set -euo pipefail
PYTHON=${PYTHON:-python3}

packages=(curl openssl ca-certificates g++ cmake ninja-build wrk nginx
          clang libclang-rt-14-dev chromium chromium-driver systemd unzip)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages (install them as root): ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$PYTHON" -m pip install --quiet --disable-pip-version-check \
    scikit-build-core cmake ninja pytest pytest-xdist requests selenium mypy
