"""The source tree's layers: includes run one way, binding -> storage/persist ->
index -> table, with util below them all, and only the binding sees Python."""
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"

# The tests also run from a copy beside an installed wheel, with no sources.
pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")

# What each layer may include besides itself and the standard library.
ALLOWED = {
    "util": set(),
    "table": {"util"},
    "index": {"table", "util"},
    "storage": {"index", "table", "util"},
    "persist": {"storage", "index", "table", "util"},
}


def includes(path):
    """The project headers (quoted) and Python.h a file includes."""
    return re.findall(r'^\s*#\s*include\s+"([^"]+)"', path.read_text(), re.M) + re.findall(
        r"^\s*#\s*include\s+<(Python\.h)>", path.read_text(), re.M)


@pytest.mark.parametrize("layer", sorted(ALLOWED))
def test_layer_includes_run_one_way(layer):
    files = sorted((SRC / layer).glob("*.[ch]*"))
    assert files, layer
    for path in files:
        for name in includes(path):
            assert name != "Python.h", path
            if "/" in name:
                target = name.split("/")[0]
                assert target == layer or target in ALLOWED[layer], f"{path.name} includes {name}"


def test_only_the_binding_includes_python():
    for path in SRC.rglob("*.[ch]*"):
        if "Python.h" in includes(path):
            assert path.parent == SRC, path
