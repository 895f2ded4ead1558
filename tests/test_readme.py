"""The README and docs/ as a user meets them: every Python example runs as it
stands, in a fresh interpreter and an empty working directory, and every
relative link leads to a file (and heading) that exists."""

import ast
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)


def existing_pages():
    return [page for page in PAGES if page.exists()]


def python_blocks():
    """(page name, first line, source) of every ```python block."""
    blocks = []
    for page in existing_pages():
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            if match.group(1) == "python":
                line = text.count("\n", 0, match.start()) + 2
                blocks.append(pytest.param(match.group(2), id=f"{page.relative_to(ROOT)}:{line}"))
    return blocks


def imported_modules(source):
    tree = ast.parse(source)
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            yield node.module.split(".")[0]


def test_the_readme_starts_with_the_two_commands():
    # CI and the first line a user copies rely on these two being first.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    first = FENCE.search(readme)
    assert first is not None and first.group(1) == "sh"
    assert readme[:first.start()].strip() == "# tarnwick"
    commands = [line.split("#")[0].strip() for line in first.group(2).splitlines()]
    assert commands == ["scripts/demo.sh", "scripts/test.sh"]


def test_the_pages_have_python_examples():
    # Guards the extraction below: a changed fence style would leave nothing to run.
    assert len(python_blocks()) >= 5


# Examples start Ray or build a graph of a few thousand points: generous, so that
# only an example that hangs fails on time.
EXAMPLE_TIME_LIMIT = 600


@pytest.mark.slow
@pytest.mark.parametrize("source", python_blocks())
def test_example_runs_as_it_stands(source, tmp_path):
    missing = [name for name in set(imported_modules(source)) if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"needs {', '.join(sorted(missing))}")
    # The child imports what this process imports (a dev build on PYTHONPATH, or the
    # installed package), whatever the working directory.
    path = [str(Path(entry).resolve()) for entry in sys.path if entry and Path(entry).exists()]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    run = subprocess.run([sys.executable, "-c", source], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=EXAMPLE_TIME_LIMIT)
    assert run.returncode == 0, f"stdout:\n{run.stdout}\nstderr:\n{run.stderr}"


def heading_anchor(heading):
    """The anchor GitHub gives a heading: lower case, punctuation dropped, spaces as hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(page):
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    return {heading_anchor(line.lstrip("#")) for line in text.splitlines() if line.startswith("#")}


def test_relative_links_lead_somewhere():
    if not (ROOT / "CMakeLists.txt").exists():
        pytest.skip("no source tree beside the tests")
    broken = []
    for page in existing_pages():
        text = FENCE.sub("", page.read_text(encoding="utf-8"))
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"\w+://", target):
                continue
            file_part, _, anchor = target.partition("#")
            linked = (page.parent / file_part).resolve() if file_part else page
            if not linked.exists():
                broken.append(f"{page.name}: {target} (no such file)")
            elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
                broken.append(f"{page.name}: {target} (no such heading)")
    assert not broken, broken
