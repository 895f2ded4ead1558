"""The source tree's layers: includes run one way, binding -> storage/persist ->
index -> table, with util below them all, and only the binding sees Python.
Storage reaches the table only through its functions, persist reads and
replaces the store only through the store's views, and the binding sees no
kernel. The rules read names, not types: a record of storage's own that reuses
a field name of the point table trips them, and is best renamed."""
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


def code(path):
    """A file's text without its comments, so that rules read only code."""
    text = re.sub(r"/\*.*?\*/", " ", path.read_text(), flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def block(text, opening):
    """The body of the brace block that `opening` starts."""
    start = text.index(opening) + len(opening)
    depth, end = 1, start
    while depth:
        depth += {"{": 1, "}": -1}.get(text[end], 0)
        end += 1
    return text[start:end - 1]


def layer_files(layer):
    return sorted((SRC / layer).glob("*.[ch]*"))


# The table's public face: the point table's functions, the payload type and filters.
# Every other table header (the layout of the point table, the hashing) is the
# table's own, and code above it reaches the layout only through those functions.
TABLE_PUBLIC_HEADERS = {"table/point_table.h", "table/payload.h", "table/payload_filter.h"}
LAYOUT = SRC / "table" / "point_layout.h"
# The two "none" answers of find_slot and find_tenant live beside the layout
# that uses them but are part of the public face.
PUBLIC_LAYOUT_NAMES = {"NO_SLOT", "NO_TENANT", "PointTable"}


def layout_names():
    """What the layout declares: the fields of PointTable, and the names of its
    records, aliases, constants and functions."""
    text = code(LAYOUT)
    fields = set(re.findall(r"(\w+)\s*(?:=[^;]*)?;", block(text, "struct PointTable {")))
    names = set(re.findall(r"^(?:struct|using)\s+(\w+)", text, re.M))
    names |= set(re.findall(r"^inline\s+constexpr\s+[\w:]+\s+(\w+)", text, re.M))
    names |= set(re.findall(r"^inline\s+[^(=;]*?\b(\w+)\(", text, re.M))
    return fields, names - PUBLIC_LAYOUT_NAMES


def test_storage_reads_the_table_only_through_its_functions():
    fields, names = layout_names()
    assert {"headers", "record_bits", "rows"} <= fields and {"ROW_CHUNK_SLOTS", "SlotHeader", "row_of"} <= names
    for path in layer_files("storage"):
        for name in includes(path):
            assert not name.startswith("table/") or name in TABLE_PUBLIC_HEADERS, f"{path.name} includes {name}"
        text = code(path)
        for field in fields:
            assert not re.search(rf"(\.|->)\s*{field}\b", text), f"{path.name} reads the table's field {field}"
        for name in names:
            assert not re.search(rf"\b{name}\b", text), f"{path.name} names the table's {name}"


def store_locks():
    """The names of the store's locks, from its record."""
    return re.findall(r"std::shared_mutex\s+(\w+)\s*;", block(code(SRC / "storage" / "store.h"), "struct Store {"))


def test_persist_never_names_a_store_lock():
    locks = store_locks()
    assert locks == ["segment", "index"]
    for path in layer_files("persist"):
        text = code(path)
        for lock in locks:
            assert not re.search(rf"(\.|->)\s*{lock}\b", text), f"{path.name} takes the store's {lock} lock"
        assert not re.search(r"\bshared_(lock|mutex)\b", text), f"{path.name} takes a store lock"


def test_the_binding_sees_no_kernel():
    for path in SRC.glob("*.[ch]*"):
        for name in includes(path):
            assert not name.startswith("index/scan_kernels"), f"{path.name} includes {name}"
