"""Saved folders of a TarnwickVectorStore: `index_name`.tarnwick, the snapshot,
which holds every document whole with its id; `index_name`.json, the state
(the metric, whether the folder's log belongs to the snapshot, and the id map
as a shortcut that names the snapshot file it was made for); and the log,
`index_name`.log, when one is kept. save_folder writes them so that a crash at
any moment leaves a folder that loads to the state before the save or after
it; load_folder reads them back, the id map from the stored documents
themselves whenever the shortcut is not that of the file there (a save that
stopped half-way, a copied folder) or a log may have added documents, or makes
a store that follows the log another process's store keeps there."""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

from tarnwick import VectorStorage
from tarnwick_files import log_held_open, write_atomically

from langchain_tarnwick.documents import ID_KEY

if TYPE_CHECKING:
    from langchain_core.embeddings import Embeddings

    from langchain_tarnwick.vectorstores import TarnwickVectorStore

FORMAT = "langchain_tarnwick/1"
MAX_ID_GAP = 1 << 26  # ids found by counting up past deleted ones


def file_identity(path: Path) -> list[int] | None:
    """What tells one file at path from another put there later, or None when
    there is none: a save replaces its snapshot whole, by a new file."""
    try:
        info = path.stat()
    except FileNotFoundError:
        return None
    return [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns]


def folder_keeps_log(state: dict[str, Any], log_file: str) -> bool:
    """Whether the folder's log belongs to its snapshot, as its state says; a
    folder saved before states said so keeps the log it holds."""
    keeps = state.get("log")
    return keeps is True if isinstance(keeps, bool) else os.path.exists(log_file)


def read_folder_state(path: Path) -> dict[str, Any]:
    state = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(state, dict) or state.get("format") != FORMAT:
        raise ValueError(f"{path} was not written by TarnwickVectorStore.save_local")
    return state


def save_folder(store: TarnwickVectorStore, folder_path: str | os.PathLike[str], index_name: str,
                log: bool | None) -> None:
    """Writes `store` to the folder: TarnwickVectorStore.save_local."""
    if store._following:
        raise ValueError("this store follows the log of another process's store and saves nothing; "
                         "its writer saves the folder")
    folder = Path(folder_path)
    folder.mkdir(parents=True, exist_ok=True)
    log_file = os.path.abspath(folder / f"{index_name}.log")
    snapshot, state_file = folder / f"{index_name}.tarnwick", folder / f"{index_name}.json"
    with store._lock:
        if store._storage.log_path != log_file and log_held_open(log_file):
            # That store's log continues the snapshot there: replacing it
            # would leave the records it acknowledges over no snapshot.
            raise OSError(f"{log_file} is held open by another store (save_local(..., log=True) "
                          "in this process or another): that store keeps this folder; "
                          "save to another folder")
        previous = store._storage.log_path
        if store._storage.log_path not in (None, log_file):
            store._storage.close_log()
        try:
            # "log" tells whether the folder's log belongs to its snapshot. A
            # log file that does not (one left by an earlier save with a log,
            # or by another store) is never replayed: its records would undo
            # or overwrite this snapshot's documents.
            keeps_log = store._storage.log_path == log_file and log is not False
            state = {"format": FORMAT, "metric": store._metric, "log": keeps_log}
            try:
                old_state = read_folder_state(state_file)
            except (OSError, ValueError):
                old_state = {}
            old_metric = old_state.get("metric")
            old_log = folder_keeps_log(old_state, log_file)
            if old_metric != store._metric or old_log != keeps_log:
                # Written before the snapshot, with the metric and log of the
                # snapshot there now, which load_local keeps using until that
                # file is replaced.
                write_atomically(state_file, json.dumps(
                    {**state, "replaces": {"metric": old_metric, "log": old_log,
                                           "snapshot": file_identity(snapshot)}}))
            store._storage.save(str(snapshot))  # starts a log afresh
            shortcut = {"snapshot": file_identity(snapshot), "next_point_id": store._next_point_id,
                        "ids": store._point_ids}
            write_atomically(state_file, json.dumps({**state, **shortcut}, ensure_ascii=False))
            if log is False and store._storage.log_path is not None:
                store._storage.close_log()
            if not keeps_log:
                Path(log_file).unlink(missing_ok=True)
            if log and store._storage.log_path is None:
                store._storage.open_log(log_file)
                write_atomically(state_file, json.dumps({**state, **shortcut, "log": True},
                                                        ensure_ascii=False))
        except BaseException:
            # A failed save leaves the store logging where it did before: a log
            # opened for this folder would go on beside a snapshot or state that
            # does not name it, and one kept for another folder is still whole
            # beside that folder's snapshot.
            if previous != log_file and store._storage.log_path != previous:
                if store._storage.log_path is not None:
                    store._storage.close_log()
                if previous is not None:
                    store._storage.open_log(previous)  # replayed, it adds nothing
            raise


def load_folder(cls: type[TarnwickVectorStore], folder_path: str | os.PathLike[str], embeddings: Embeddings,
                index_name: str, log: bool | None, follow: bool, poll: float | None) -> TarnwickVectorStore:
    """A store of class `cls` read from the folder: TarnwickVectorStore.load_local."""
    folder = Path(folder_path)
    snapshot = folder / f"{index_name}.tarnwick"
    state = read_folder_state(folder / f"{index_name}.json")
    metric = state.get("metric")
    log_file = os.path.abspath(folder / f"{index_name}.log")
    has_log = folder_keeps_log(state, log_file)
    replaced = state.get("replaces")
    replaces = isinstance(replaced, dict) and replaced.get("snapshot") == file_identity(snapshot)
    if replaces:
        # A save that stopped before its snapshot.
        metric = replaced.get("metric")
        has_log = replaced.get("log", has_log) is True
    store = cls(embeddings, metric=metric)  # ValueError for a metric of no known name
    identity = file_identity(snapshot)
    store._storage.load(str(snapshot))
    ids, next_point_id = state.get("ids"), state.get("next_point_id")
    # The map is that of this snapshot when it names this very file (its
    # identity unchanged across the load).
    shortcut = (identity is not None and state.get("snapshot") == identity
                and file_identity(snapshot) == identity
                and isinstance(ids, dict) and len(ids) == len(store._storage)
                and all(isinstance(k, str) and type(v) is int for k, v in ids.items())
                and type(next_point_id) is int)
    if follow:
        if log:
            raise ValueError("a following store keeps no log of its own: leave log unset")
        store._storage.follow_log(log_file, poll=poll)
        store._following = True
        store._map_followed_documents()
        return store
    if log and not has_log and not log_held_open(log_file):
        # A log file there is not this snapshot's: it is started afresh.
        Path(log_file).unlink(missing_ok=True)
    if log or (log is None and has_log and os.path.exists(log_file)):
        store._storage.open_log(log_file)
        if not has_log:
            # From now on the folder's log is this snapshot's.
            kept = {**state, "replaces": {**replaced, "log": True}} if replaces else {**state, "log": True}
            write_atomically(folder / f"{index_name}.json", json.dumps(kept, ensure_ascii=False))
        shortcut = False  # the log may have added documents
    if shortcut:
        store._point_ids = dict(ids)
        first = store._storage.get(next(iter(ids.values()))) if ids else None
        store._length = None if first is None else len(first[0])
        store._next_point_id = max(next_point_id, max(ids.values(), default=-1) + 1)
    else:
        store._point_ids, store._length = ids_from_payloads(store._storage, snapshot)
        # Point ids handed out before the last save_local are not handed out
        # again, though their documents are gone: a follower may still hold
        # them in its map until it next looks.
        saved_next = next_point_id if type(next_point_id) is int and 0 <= next_point_id < 1 << 63 else 0
        store._next_point_id = max(saved_next, max(store._point_ids.values(), default=-1) + 1)
    return store


def ids_from_payloads(storage: VectorStorage, snapshot: Path) -> tuple[dict[str, int], int | None]:
    """Document id -> point id of every stored document, read from the points,
    and the length of the vectors (None when there are none).
    Point ids are handed out in order from 0, so every point is found by
    counting up: a cost in proportion to the ids ever handed out. (A store
    written by other means may hold ids no count reaches: a gap of more than
    MAX_ID_GAP ids is refused.)"""
    ids: dict[str, int] = {}
    point_id, found, total, last = 0, 0, len(storage), -1
    length = None
    while found < total:
        if point_id - last > MAX_ID_GAP:
            raise ValueError(f"{snapshot} holds points under ids beyond {point_id}: the "
                             "store was not written by TarnwickVectorStore")
        got = storage.get(point_id) if point_id in storage else None
        if got is not None:
            found, last = found + 1, point_id
            length = len(got[0])
            payload = got[1] or {}
            if not isinstance(payload.get(ID_KEY), str):
                raise ValueError(f"point {point_id} of {snapshot} holds no document id: "
                                 "the store was not written by TarnwickVectorStore")
            ids[payload[ID_KEY]] = point_id
        point_id += 1
    return ids, length
