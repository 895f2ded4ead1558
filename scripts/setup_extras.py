"""What scripts/setup.sh installs for the project's extras, and what it skips.

    setup_extras.py missing EXTRAS STAMP   prints the requirements of the extras
                                           (comma-separated) not yet installed
    setup_extras.py record EXTRAS STAMP    records the extras as installed
    setup_extras.py build-requires         prints what building tarnwick needs
                                           and the environment lacks

The stamp file lists the installed extras, each with a hash of its
requirements as pyproject.toml declares them. An extra counts as installed
while its line is there (so its requirements have not changed since) and every
distribution it names is present in the running interpreter's environment.
Runs on the interpreter of the venv, with the standard library only.
"""

import hashlib
import importlib.metadata
import re
import sys
import tomllib
from pathlib import Path


def declared_extras():
    with open("pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]["optional-dependencies"]


def stamp_line(extra, requirements):
    return extra + " " + hashlib.sha256("\n".join(requirements).encode()).hexdigest()


def is_present(requirement):
    name = re.match(r"[A-Za-z0-9._-]+", requirement).group(0)
    try:
        importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def build_requirements():
    """pyproject.toml's build-system requirements that are not installed and,
    once the build backend is, those it asks for on this machine (CMake or
    Ninja when the system has none recent enough)."""
    with open("pyproject.toml", "rb") as file:
        requires = tomllib.load(file)["build-system"]["requires"]
    missing = [requirement for requirement in requires if not is_present(requirement)]
    if missing:
        return missing
    from scikit_build_core.build import get_requires_for_build_wheel
    return get_requires_for_build_wheel()


def main(command, extras="", stamp_path=""):
    if command == "build-requires":
        print("\n".join(build_requirements()), end="")
        return
    declared = declared_extras()
    wanted = list(dict.fromkeys(extra for extra in extras.split(",") if extra))
    for extra in wanted:
        if extra not in declared:
            sys.exit(f"setup: unknown extra {extra!r}; pyproject.toml declares {', '.join(declared)}")
    stamp = Path(stamp_path)
    recorded = set(stamp.read_text().splitlines()) if stamp.exists() else set()
    if command == "missing":
        missing = {}
        for extra in wanted:
            requirements = declared[extra]
            if stamp_line(extra, requirements) not in recorded or not all(map(is_present, requirements)):
                missing.update(dict.fromkeys(requirements))
        print("\n".join(missing), end="\n" if missing else "")
    elif command == "record":
        recorded |= {stamp_line(extra, declared[extra]) for extra in wanted}
        stamp.write_text("".join(line + "\n" for line in sorted(recorded) if line))
    else:
        sys.exit(f"setup: unknown command {command!r}")


if __name__ == "__main__":
    main(*sys.argv[1:])
