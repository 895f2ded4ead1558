"""ShardedVectorStorage: one logical store spread over Ray actors, each holding a
VectorStorage.

A point lives on the shard its id hashes to (splitmix64 of the id, modulo the
shard count), so writes and lookups go to one actor. A search goes to every
shard at once, each answering within its own points (tenant filter included),
and the answers are merged into one ranking.
"""
from __future__ import annotations

import json
import math
import os
import re
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import ray
from ray.exceptions import RayActorError, RayTaskError

import tarnwick
from tarnwick_files import log_held_open, write_atomically

from tarnwick_ray.arguments import (
    check_payload, check_point_id, length_of, point_id_array, query_lengths, rows_lengths,
    vector_rows)

HASH_NAME = "splitmix64"
MANIFEST = "manifest.json"
FORMAT = "tarnwick_ray/1"
U64_MAX = 2**64 - 1
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
MASK = U64_MAX
# Metric names as search accepts them, to the direction of their scores.
LOWER_IS_BETTER = {"euclidean": True, "l2": True, "cosine": False, "dot_product": False,
                   "dot": False}


class ShardUnavailableError(RuntimeError):
    """A shard's actor died or cannot be reached; the call has no result."""


def shard_of(point_id: int, shards: int) -> int:
    """The shard of a point id: splitmix64's finaliser of the id, modulo shards.
    Depends on nothing but its arguments, so every process and machine agrees."""
    z = (point_id + 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return (z ^ (z >> 31)) % shards


def shards_of(point_ids: np.ndarray, shards: int) -> np.ndarray:
    """shard_of over a uint64 array (uint64 arithmetic wraps as the masks do)."""
    z = point_ids + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return ((z ^ (z >> np.uint64(31))) % np.uint64(shards)).astype(np.intp)


def merge(answers: Sequence[list[tuple]], limit: int, lower_is_better: bool) -> list[tuple]:
    """The best `limit` of the shards' rankings, in the order search gives; hits
    are (id, score) or (id, score, payload).

    Equal scores keep shard order, then each shard's own order; results whose
    score is NaN (only from NaN vectors) come after all others, in the same order."""
    scored = [hit for answer in answers for hit in answer if not math.isnan(hit[1])]
    scored.sort(key=lambda hit: hit[1], reverse=not lower_is_better)  # stable
    if len(scored) < limit:
        scored += [hit for answer in answers for hit in answer if math.isnan(hit[1])]
    return scored[:limit]


class Shard:
    """One shard: a VectorStorage in a Ray actor. Methods run one at a time."""

    def __init__(self, threads: int | None) -> None:
        if threads is not None:
            # Read when the process's batch_search pool is created, at the first batch_search.
            os.environ["RAYON_NUM_THREADS"] = str(threads)
        self.store = tarnwick.VectorStorage()
        self.store.early_stop = True  # queries take the fast walk unless told otherwise
        self.staged: tarnwick.VectorStorage | None = None
        self.reopen: str | None = None  # a log the current store closed for a staged one

    def call(self, method: str, *args: Any, **options: Any) -> Any:
        return getattr(self.store, method)(*args, **options)

    def batch_upsert(self, point_ids: Any, vectors: Any, payloads: Any) -> int:
        self.store.batch_upsert(point_ids, vectors, payloads)
        return len(point_ids)

    def set_ef_search(self, value: int) -> None:
        self.store.ef_search = value

    def set_early_stop(self, value: bool) -> None:
        self.store.early_stop = value

    def settings(self) -> tuple[int, int, int, bool]:
        return self.store.ef_search, self.store.m, self.store.ef_construction, self.store.early_stop

    def log_path(self) -> str | None:
        return self.store.log_path

    def save(self, path: str, log_path: str, log: bool | None) -> int:
        """Saves to path, a file no manifest names yet; keeps a write-ahead log at
        log_path from now on when asked to (log True) or when one is open in the
        same directory (log None). A log open now is closed whole first: it still
        goes with the snapshot the directory's manifest names until the new
        manifest is in place (see ShardedVectorStorage.save)."""
        current = self.store.log_path
        keep = log is True or (log is None and current is not None
                               and os.path.dirname(current) == os.path.dirname(log_path))
        if current is not None:
            self.store.close_log()
        try:
            self.store.save(path)
        except BaseException:
            if current is not None:  # the log goes on: replayed, it adds nothing
                self.store.open_log(current)
            raise
        if keep:
            if os.path.exists(log_path):
                os.unlink(log_path)  # left by a save that stopped: belongs to no snapshot
            self.store.open_log(log_path)
        return len(self.store)

    def undo_save(self, previous: str | None) -> None:
        """After a save that did not put its manifest in place (another shard's
        save or the manifest's write failed): the log open before the save, if
        any, takes the changes again. A log opened beside the new snapshot
        would hold them beside a file no manifest names."""
        if self.store.log_path == previous:
            return
        if self.store.log_path is not None:
            self.store.close_log()
        if previous is not None:
            self.store.open_log(previous)  # replayed, it adds nothing

    def stage(self, path: str, log_path: str, log: bool | None) -> int:
        """Loads path into a store of its own, kept aside until commit or discard,
        and replays and keeps open the log at log_path when asked to (or, with
        log None, when it exists). Returns the snapshot's point count."""
        staged = tarnwick.VectorStorage()
        staged.early_stop = self.store.early_stop
        staged.load(path)
        count = len(staged)
        self.staged = staged
        if log or (log is None and os.path.exists(log_path)):
            if self.store.log_path == log_path:
                # The current store holds that log: it holds everything the log
                # does, so reopening it on a discard replays to the same state.
                self.store.close_log()
                self.reopen = log_path
            staged.open_log(log_path)
        return count

    def commit(self) -> None:
        self.store, self.staged, self.reopen = self.staged, None, None

    def discard(self) -> None:
        if self.staged is not None:
            self.staged.close_log()
        self.staged = None
        if self.reopen is not None:
            self.store.open_log(self.reopen)
            self.reopen = None


RemoteShard = ray.remote(Shard)


class ShardedVectorStorage:
    """One logical vector store over `shards` Ray actors, each a `VectorStorage`.

    Methods mirror `VectorStorage`: `upsert`, `batch_upsert`, `delete`,
    `batch_delete`, `get`, `len()`, `in` go to the shard of each id; `search`,
    `batch_search`, `query` and `batch_query` ask every shard in parallel and
    merge the answers (best first by the metric's direction; equal scores in
    shard order, then each shard's order). `query` and `batch_query` take the
    fast walk unless a call passes `early_stop=False` or the store's
    `early_stop` property is set to False (then they walk as `search` does). A shard whose actor died raises `ShardUnavailableError`: no call ever
    returns a result missing a shard.

    Call `ray.init()` (one machine) or `ray.init(address=...)` (a cluster) first.
    `threads_per_shard` caps each shard's `batch_search` worker pool;
    `actor_options` go to Ray's `.options()` (for example `num_cpus`,
    `scheduling_strategy`; the default spreads shards over the cluster's nodes).
    Actors are never restarted: a restarted shard would come back empty.
    """

    def __init__(self, shards: int, *, threads_per_shard: int | None = None,
                 actor_options: dict[str, Any] | None = None) -> None:
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError(f"shards must be a positive int, not {shards!r}")
        options = {"scheduling_strategy": "SPREAD", **(actor_options or {})}
        for key in ("max_restarts", "max_task_retries"):
            if options.get(key, 0) != 0:
                raise ValueError(f"{key} must be 0: a restarted shard would come back empty")
        options.update(max_restarts=0, max_task_retries=0)
        self.actors = [RemoteShard.options(**options).remote(threads_per_shard)
                       for _ in range(shards)]
        self._gather([actor.settings.remote() for actor in self.actors])  # all started
        # The lengths of the vectors written through this object since it was made
        # or loaded (empty: none yet; None: not known, after loading a directory
        # an earlier version saved). A vector of another length is refused.
        self._lengths: set[int] | None = set()

    @property
    def shards(self) -> int:
        return len(self.actors)

    def shard_of(self, point_id: int) -> int:
        return shard_of(check_point_id(point_id), len(self.actors))

    # ---- calls to the shards ------------------------------------------------------

    def _gather(self, refs: list, shards: Sequence[int] | None = None,
                progress: Callable[[int], None] | None = None) -> list:
        """The results of refs (one per shard in `shards`, default all), in order.

        An exception raised inside a shard is re-raised as itself; a shard that
        died raises ShardUnavailableError. progress, when given, is called with
        each finished ref's position as it finishes."""
        shards = range(len(refs)) if shards is None else shards
        if progress is not None:
            pending = list(refs)
            while pending:
                done, pending = ray.wait(pending, num_returns=1)
                progress(refs.index(done[0]))
        results = []
        for shard, ref in zip(shards, refs):
            try:
                results.append(ray.get(ref))
            except RayActorError as error:
                raise ShardUnavailableError(
                    f"shard {shard} of {len(self.actors)} is unavailable (its actor died or "
                    f"cannot be reached): {type(error).__name__}; no partial result is "
                    "returned") from error
            except RayTaskError as error:
                cause = error.cause if isinstance(error.cause, BaseException) else None
                if cause is None:
                    raise
                raise cause.with_traceback(None) from None
        return results

    def _check_alive(self, shards: list[int]) -> None:
        """Raises ShardUnavailableError unless every shard answers: a write that
        spans shards is sent only when all of them are up. (One that dies during
        the write leaves the other shards' parts written.)"""
        if len(shards) > 1:
            self._gather([self.actors[shard].settings.remote() for shard in shards], shards)

    def _one(self, point_id: Any, method: str, *args: Any) -> Any:
        point_id = check_point_id(point_id)
        shard = shard_of(point_id, len(self.actors))
        return self._gather([self.actors[shard].call.remote(method, point_id, *args)], [shard])[0]

    # ---- points -------------------------------------------------------------------------

    def upsert(self, point_id: int, vector: Sequence[float], payload: dict | None) -> None:
        length = length_of(vector)
        self._check_lengths([length], "the vector")
        self._one(point_id, "upsert", vector, payload)
        self._note_lengths([length])

    def _check_lengths(self, lengths: Sequence[int | None], what: str) -> None:
        """Raises ValueError, naming both lengths, for a vector whose length is not
        one of the stored vectors' (a write to a store without vectors sets them).
        what names the vectors; "{}" in it stands for an item's index."""
        if not self._lengths:
            return
        for index, length in enumerate(lengths):
            if length is not None and length not in self._lengths:
                have = " or ".join(str(n) for n in sorted(self._lengths))
                raise ValueError(f"{what.format(index)} has {length} numbers but the store's "
                                 f"vectors have {have}: points are compared only with vectors "
                                 "of their own length")

    def _note_lengths(self, lengths: Sequence[int | None]) -> None:
        if self._lengths is not None:
            self._lengths.update(n for n in lengths if n is not None)

    def delete(self, point_id: int) -> bool:
        return self._one(point_id, "delete")

    def get(self, point_id: int) -> tuple[list[float], dict | None] | None:
        return self._one(point_id, "get")

    def __contains__(self, point_id: Any) -> bool:
        try:
            point_id = check_point_id(point_id)
        except (TypeError, OverflowError):
            return False
        return self._one(point_id, "__contains__")

    def __len__(self) -> int:
        return sum(self._gather([actor.call.remote("__len__") for actor in self.actors]))

    def batch_upsert(self, point_ids: Any, vectors: Any, payloads: Sequence | None = None, *,
                     progress: Callable[[int, int], Any] | None = None) -> None:
        """Inserts or replaces many points: what upsert in order would give.

        Every item is checked here, and every shard involved is asked whether it
        is up, before any shard changes; each shard then stores its part with its
        own batch_upsert, all shards at once. progress,
        when given, is called as progress(done, total) as each shard finishes."""
        ids = point_id_array(point_ids)
        count = len(ids)
        rows = vector_rows(vectors, count)
        lengths = rows_lengths(rows)
        self._check_lengths(lengths, "each row of vectors" if isinstance(rows, np.ndarray)
                            else "vectors item {}")
        if payloads is not None:
            payloads = list(payloads)
            if len(payloads) != count:
                raise ValueError(f"point_ids has {count} items but payloads has {len(payloads)}")
            for index, payload in enumerate(payloads):
                check_payload(payload, index)
        owner = shards_of(ids, len(self.actors))
        self._check_alive(np.unique(owner).tolist())
        parts, refs = [], []
        for shard, actor in enumerate(self.actors):
            members = np.flatnonzero(owner == shard)
            if len(members) == 0:
                continue
            part_rows = rows[members] if isinstance(rows, np.ndarray) else [rows[i] for i in members]
            part_payloads = None if payloads is None else [payloads[i] for i in members]
            parts.append(shard)
            refs.append(actor.batch_upsert.remote(ids[members], part_rows, part_payloads))
        done = 0

        def finished(position: int) -> None:
            nonlocal done
            done += int(np.count_nonzero(owner == parts[position]))
            progress(done, count)

        self._gather(refs, parts, finished if progress is not None else None)
        self._note_lengths(lengths)

    def batch_delete(self, point_ids: Sequence[int]) -> int:
        ids = point_id_array(point_ids)
        owner = shards_of(ids, len(self.actors))
        parts = np.unique(owner).tolist()
        self._check_alive(parts)
        refs = [self.actors[shard].call.remote("batch_delete", ids[owner == shard].tolist())
                for shard in parts]
        return sum(self._gather(refs, parts))

    # ---- searches ----------------------------------------------------------------------

    def search(self, query_vector: Sequence[float], limit: int, metric: str,
               tenant_id: str | None = None) -> list[tuple[int, float]]:
        self._check_lengths([length_of(query_vector)], "the query vector")
        answers = self._gather([actor.call.remote("search", query_vector, limit, metric, tenant_id)
                                for actor in self.actors])
        return merge(answers, limit, lower_is_better(metric))

    def batch_search(self, query_vectors: Any, limit: int, metric: str,
                     tenant_id: str | None = None) -> list[list[tuple[int, float]]]:
        self._check_lengths(*query_lengths(query_vectors))
        queries = ray.put(query_vectors)  # stored once, read by every shard
        answers = self._gather([actor.call.remote("batch_search", queries, limit, metric, tenant_id)
                                for actor in self.actors])
        lower = lower_is_better(metric)
        return [merge(per_query, limit, lower) for per_query in zip(*answers)]

    def query(self, query_vector: Sequence[float], limit: int = 10, metric: str = "cosine", *,
              where: dict[str, Any] | None = None, tenant_id: str | None = None,
              ef: int | None = None, early_stop: bool | None = None,
              with_payload: bool = False) -> list[tuple]:
        """VectorStorage.query over every shard: each shard answers within its own
        points (the filter, beam and payloads as asked) and the answers are merged
        as search merges them; hits are (id, score) or (id, score, payload)."""
        options = {"where": where, "tenant_id": tenant_id, "ef": ef, "early_stop": early_stop,
                   "with_payload": with_payload}
        self._check_lengths([length_of(query_vector)], "the query vector")
        answers = self._gather([actor.call.remote("query", query_vector, limit, metric, **options)
                                for actor in self.actors])
        return merge(answers, limit, lower_is_better(metric))

    def batch_query(self, query_vectors: Any, limit: int = 10, metric: str = "cosine", *,
                    where: dict[str, Any] | None = None, tenant_id: str | None = None,
                    ef: int | None = None, early_stop: bool | None = None,
                    with_payload: bool = False) -> list[list[tuple]]:
        """VectorStorage.batch_query over every shard, merged per query."""
        options = {"where": where, "tenant_id": tenant_id, "ef": ef, "early_stop": early_stop,
                   "with_payload": with_payload}
        self._check_lengths(*query_lengths(query_vectors))
        queries = ray.put(query_vectors)
        answers = self._gather([actor.call.remote("batch_query", queries, limit, metric, **options)
                                for actor in self.actors])
        lower = lower_is_better(metric)
        return [merge(per_query, limit, lower) for per_query in zip(*answers)]

    # ---- settings -------------------------------------------------------------------------

    @property
    def ef_search(self) -> int:
        return self._gather([self.actors[0].settings.remote()])[0][0]

    @ef_search.setter
    def ef_search(self, value: int) -> None:
        self._gather([actor.set_ef_search.remote(value) for actor in self.actors])

    @property
    def early_stop(self) -> bool:
        """Whether query and batch_query take the fast walk when a call leaves early_stop None (True at first)."""
        return self._gather([self.actors[0].settings.remote()])[0][3]

    @early_stop.setter
    def early_stop(self, value: bool) -> None:
        self._gather([actor.set_early_stop.remote(value) for actor in self.actors])

    @property
    def m(self) -> int:
        return self._gather([self.actors[0].settings.remote()])[0][1]

    @property
    def ef_construction(self) -> int:
        return self._gather([self.actors[0].settings.remote()])[0][2]

    # ---- snapshots ----------------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str], *, log: bool | None = None) -> None:
        """Writes one snapshot per shard and then manifest.json into directory.

        Each save writes a new generation of files (shard-NNNNN.gGGGGGG.tarnwick)
        and the manifest, replaced whole, is what makes them the directory's
        content; the files of earlier generations are removed after it. So a
        crash at any moment leaves a directory that loads to the state before
        the save or after it. Each shard writes its own file, so on a cluster
        the directory must be on storage every node sees at the same path (one
        machine: any directory).

        log=True keeps a write-ahead log per shard beside its snapshot (the
        snapshot's name ending in .log) from now on: every later change is on
        disk before it returns, and the next save into the directory takes the
        changes into its snapshots and starts new logs. log=False closes logs
        kept there; None (the default) keeps logs kept in this directory and
        opens none. Logs kept for another directory are closed, whole. A change
        made while the save is under way is logged beside the new snapshot, so
        a crash before the new manifest is in place loses it. A save that fails
        (a shard's write or the manifest's) leaves each shard logging where it
        did before the save."""
        directory = os.path.abspath(directory)
        os.makedirs(directory, exist_ok=True)
        previous = self._gather([actor.log_path.remote() for actor in self.actors])
        own = set(previous)
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            if name.endswith(".log") and SHARD_FILE.fullmatch(name) and path not in own \
                    and log_held_open(path):
                # Another store keeps the directory: its logs continue the
                # snapshots there, which this save would replace and remove.
                raise OSError(f"{path} is held open by another store (a save with log=True): "
                              "that store keeps this directory; save to another directory")
        generation = 1 + max(generations_in(directory), default=0)
        files = [shard_file(shard, generation) for shard in range(len(self.actors))]
        try:
            points = self._gather([actor.save.remote(os.path.join(directory, name),
                                                     os.path.join(directory, log_file(name)), log)
                                   for actor, name in zip(self.actors, files)])
            manifest = {"format": FORMAT, "shards": len(self.actors), "hash": HASH_NAME,
                        "generation": generation, "files": files, "points": points,
                        "lengths": None if self._lengths is None else sorted(self._lengths)}
            write_atomically(os.path.join(directory, MANIFEST), json.dumps(manifest, indent=1))
        except BaseException as error:
            # Each shard's calls run in order: this follows its save, done or not.
            undone = [actor.undo_save.remote(log_before) for actor, log_before in zip(self.actors, previous)]
            for shard, ref in enumerate(undone):
                try:
                    ray.get(ref)
                except Exception as undo_error:  # a dead shard, or its old log no longer opens
                    error.add_note(f"shard {shard} could not take back the log it kept before this save: "
                                   f"{undo_error}")
            raise
        remove_other_generations(directory, files)

    def load(self, directory: str | os.PathLike[str], *, log: bool | None = None) -> None:
        """Replaces every shard's content with what save wrote into directory.

        Each shard's log is replayed over its snapshot and kept open when it
        exists (log=None, the default) or always (log=True, creating it);
        log=False leaves the logs alone.

        Refuses (ValueError) a directory whose manifest names another shard count
        or hash, or whose snapshots do not hold the points the manifest counts;
        a failed load leaves every shard as it was."""
        directory = os.path.abspath(directory)
        path = os.path.join(directory, MANIFEST)
        with open(path, encoding="utf-8") as manifest_file:
            manifest = json.load(manifest_file)
        if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
            raise ValueError(f"{path} is not a ShardedVectorStorage manifest")
        if manifest.get("hash") != HASH_NAME:
            raise ValueError(f"{path} was written with hash {manifest.get('hash')!r}; "
                             f"this store routes ids by {HASH_NAME!r}")
        if manifest.get("shards") != len(self.actors):
            raise ValueError(f"{path} holds {manifest.get('shards')} shards; this store has "
                             f"{len(self.actors)}: load it into a ShardedVectorStorage of "
                             "that many shards")
        files, points = manifest.get("files"), manifest.get("points")
        if not (isinstance(files, list) and isinstance(points, list)
                and len(files) == len(points) == len(self.actors)
                and all(isinstance(f, str) and os.path.basename(f) == f for f in files)):
            raise ValueError(f"{path} is malformed")
        try:
            staged = self._gather([actor.stage.remote(os.path.join(directory, name),
                                                      os.path.join(directory, log_file(name)), log)
                                   for actor, name in zip(self.actors, files)])
            for shard, (got, expected) in enumerate(zip(staged, points)):
                if got != expected:
                    raise ValueError(f"{files[shard]} holds {got} points but {path} counts "
                                     f"{expected}: the files are from different saves")
        except BaseException:
            for actor in self.actors:
                actor.discard.remote()
            raise
        self._gather([actor.commit.remote() for actor in self.actors])
        lengths = manifest.get("lengths")
        known = isinstance(lengths, list) and all(type(n) is int for n in lengths)
        # Empty, with points there: the logs added them; their length is not known.
        self._lengths = set(lengths) if known and (lengths or not sum(staged)) else None


def shard_file(shard: int, generation: int) -> str:
    return f"shard-{shard:05d}.g{generation:07d}.tarnwick"


# The snapshots and logs save writes: of a generation, or (earlier versions)
# of none.
SHARD_FILE = re.compile(r"shard-\d{5}(?:\.g(\d+))?\.(?:tarnwick|log)")


def generations_in(directory: str) -> list[int]:
    """The generations of the shard files in directory, those a save that
    stopped left included."""
    return [int(match.group(1)) for name in os.listdir(directory)
            if (match := SHARD_FILE.fullmatch(name)) and match.group(1)]


def remove_other_generations(directory: str, files: list[str]) -> None:
    """Removes the shard files and logs in directory that the manifest naming
    files does not: earlier generations, and those of saves that stopped."""
    kept = set(files) | {log_file(name) for name in files}
    for name in os.listdir(directory):
        if SHARD_FILE.fullmatch(name) and name not in kept:
            try:
                os.unlink(os.path.join(directory, name))
            except FileNotFoundError:
                pass


def log_file(snapshot: str) -> str:
    return snapshot.removesuffix(".tarnwick") + ".log"


def lower_is_better(metric: Any) -> bool:
    # A name search refuses has already raised in the shards; default is moot.
    return LOWER_IS_BETTER.get(metric.lower(), False) if isinstance(metric, str) else False
