"""Files the add-ons (langchain_tarnwick, tarnwick_ray) write beside a store's
snapshots: small state files replaced whole, and the logs stores keep."""
from __future__ import annotations

import fcntl
import os
import tempfile

__all__ = ["log_held_open", "write_atomically"]


def write_atomically(path: str | os.PathLike[str], text: str) -> None:
    """Replaces the file at path by one holding text, synced first: a crash
    leaves the old file or the new one, never part of either."""
    directory, name = os.path.split(os.fspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory or ".", prefix=f".{name}", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def log_held_open(path: str | os.PathLike[str]) -> bool:
    """Whether a store holds the log at path open (it keeps the file locked)."""
    try:
        with open(path, "rb") as file:
            fcntl.flock(file, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        return False
    return False
