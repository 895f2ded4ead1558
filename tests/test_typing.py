"""The installed type stubs against the module, the typed examples against the
stubs, and the installed package's metadata."""
import ast
import importlib.metadata
import importlib.util
import json
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
from packaging.version import Version

import stub_cases
import tarnwick

ROOT = Path(__file__).resolve().parent.parent
STUB = "tarnwick-stubs/__init__.pyi"


def installed_stub():
    files = {str(path): path for path in importlib.metadata.files("tarnwick") or ()}
    assert STUB in files, "the installed distribution carries no stubs"
    return Path(files[STUB].locate())


def stub_class():
    tree = ast.parse(installed_stub().read_text())
    return next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "VectorStorage")


def needs(module):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed (pip install '.[typing]')")


def test_stub_lists_the_class_in_table_order():
    """Every method and property, __len__ and __contains__ too, in the order of the
    class's tables, and a setter exactly where the module lets one assign."""
    runtime = [name for name in vars(tarnwick.VectorStorage)
               if not name.startswith("__") or name in ("__len__", "__contains__")]
    stubbed, setters = [], set()
    for node in stub_class().body:
        if isinstance(node, ast.FunctionDef) and node.name != "__new__":
            decorators = {ast.unparse(d) for d in node.decorator_list}
            if f"{node.name}.setter" in decorators:
                setters.add(node.name)
            elif not (stubbed and stubbed[-1] == node.name and "overload" in decorators):
                stubbed.append(node.name)
    assert stubbed == runtime

    store = tarnwick.VectorStorage()
    properties = [name for name in runtime if not callable(getattr(store, name))]
    assert properties == ["ef_search", "m", "ef_construction", "log_path", "followed_log", "early_stop",
                          "change_count"]
    for name in properties:
        try:
            setattr(store, name, getattr(store, name))
            writable = True
        except AttributeError:
            writable = False
        assert writable == (name in setters), name


def test_stubtest_passes(tmp_path):
    needs("mypy")
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tarnwick"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr


# stub_cases.py is checked strictly. The examples are checked as a user's script:
# every call into tarnwick is checked, but annotations are not required and
# third-party modules without types (or not installed) give Any.
MYPY_STRICT = ["--strict", "--warn-unused-ignores"]
MYPY_SCRIPT = ["--strict", "--allow-untyped-defs", "--allow-incomplete-defs", "--allow-untyped-calls",
               "--ignore-missing-imports", "--no-warn-return-any", "--allow-any-generics",
               "--allow-subclassing-any"]
PYRIGHT_STRICT = {"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}
PYRIGHT_SCRIPT = {"typeCheckingMode": "standard", "reportMissingImports": "none",
                  "reportMissingModuleSource": "none"}


def type_check(checker, options, sources, folder):
    """Returns the checker's completed run over sources."""
    if checker == "mypy":
        command = [sys.executable, "-m", "mypy", *options, "--cache-dir", str(folder / "cache")]
    else:
        config = folder / f"pyright-{options['typeCheckingMode']}.json"
        config.write_text(json.dumps({"pythonVersion": "3.12", **options}))
        command = [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "-p", str(config)]
    return subprocess.run(command + [str(path) for path in sources], cwd=folder,
                          capture_output=True, text=True, timeout=600)


@pytest.mark.slow  # static checks: nothing in them for the sanitizer runs to watch
@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_typed_sources_check_against_the_stubs(checker, tmp_path):
    """An ignore comment in stub_cases.py that no longer hides an error fails too;
    the examples are there when the source tree is beside the tests."""
    needs(checker)
    strict, script = (MYPY_STRICT, MYPY_SCRIPT) if checker == "mypy" else (PYRIGHT_STRICT, PYRIGHT_SCRIPT)
    runs = [type_check(checker, strict, [Path(stub_cases.__file__).resolve()], tmp_path)]
    examples = sorted((ROOT / "examples").glob("*.py"))
    if examples:
        runs.append(type_check(checker, script, examples, tmp_path))
    for run in runs:
        assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.slow  # a static check, as above
def test_addons_are_typed(tmp_path):
    """Both add-ons ship py.typed, so a strict mypy run over a script using them
    sees their signatures (an untyped package fails it as missing stubs)."""
    needs("mypy")
    needs("langchain_core")
    needs("ray")
    files = {str(path) for path in importlib.metadata.files("tarnwick") or ()}
    assert {"langchain_tarnwick/py.typed", "tarnwick_ray/py.typed"} <= files
    run = type_check("mypy", MYPY_STRICT, [Path(__file__).resolve().parent / "addon_cases.py"],
                     tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_typed_uses_run(tmp_path):
    """What the stubs accept the module accepts, and what they reject it refuses."""
    store = stub_cases.exercise(str(tmp_path / "store.snapshot"))
    assert len(store) == 9 and 1 in store and 20 not in store
    assert store.get(1) == ([0.5, 1.0, 2.0], {"tenant_id": "a", "year": 2026, "score": 0.5})
    for call in stub_cases.rejected_calls(store):
        with pytest.raises((TypeError, AttributeError)):
            call()
    assert len(store) == 9


def test_metadata():
    metadata = importlib.metadata.metadata("tarnwick")
    version = importlib.metadata.version("tarnwick")
    assert version == metadata["Version"] == str(Version(version))
    pyproject = ROOT / "pyproject.toml"
    if pyproject.exists():
        assert version == tomllib.loads(pyproject.read_text())["project"]["version"]
    assert not hasattr(tarnwick, "__version__")
    assert metadata["Summary"].startswith("Fast, exact-to-the-bit")
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Requires-Python"] == ">=3.12"
    assert {"Typing :: Typed", "Programming Language :: Python :: 3.12"} <= set(metadata.get_all("Classifier"))
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().startswith("# tarnwick")
    files = {str(path) for path in importlib.metadata.files("tarnwick")}
    assert {STUB, f"tarnwick-{version}.dist-info/licenses/LICENSE"} <= files
