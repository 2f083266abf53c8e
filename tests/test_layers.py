"""The source folders are layers: each includes only itself and the layers
before it, and the pure parsers and the core never see the interpreter."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
ORDER = ["parse", "core", "py", "context", "wsgi", "connection", "server", "module"]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.M)


def includes():
    for path in sorted(SRC.rglob("*.[ch]pp")):
        layer = path.relative_to(SRC).parts[0]
        for kind, target in INCLUDE.findall(path.read_text()):
            yield path.relative_to(SRC), layer, kind, target


@pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")
def test_each_layer_includes_only_itself_and_the_layers_before_it():
    assert {p.relative_to(SRC).parts[0] for p in SRC.rglob("*.[ch]pp")} <= set(ORDER)
    wrong = []
    for path, layer, kind, target in includes():
        if kind == '"':
            used = target.split("/")[0]
            if used not in ORDER or ORDER.index(used) > ORDER.index(layer):
                wrong.append(f"{path} includes {target}")
        elif layer in ("parse", "core") and target.startswith("Python"):
            wrong.append(f"{path} includes <{target}>")
    assert not wrong, wrong
