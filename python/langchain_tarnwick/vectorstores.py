"""TarnwickVectorStore: LangChain documents kept as the points of one VectorStorage.

A document's text and id live in its point's payload under two reserved keys,
beside the metadata's own keys, so a search result needs no lookup elsewhere.
Document ids are strings; the first time an id is stored it is given the next
unused point id, and that map (never a hash two ids could share) is kept here.
The snapshot (and the log replayed over it) is the whole truth of a saved
folder: save_local writes the map beside it only as a shortcut that names the
snapshot file it was made for, and load_local reads the map back from the
stored documents themselves whenever that is not the file there (a save that
stopped half-way, a copied folder) or a log may have added documents.

load_local(..., follow=True) gives a read-only store that follows the log
another process's store keeps in the folder (save_local(..., log=True)): it
answers from the writer's latest changes within the poll interval, and maps
the document ids the writer adds as get_by_ids asks for them.

Saving and loading folders: langchain_tarnwick.folders.
"""
from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.runnables.config import run_in_executor
from langchain_core.vectorstores import VectorStore

from tarnwick import VectorStorage
from tarnwick_files import log_held_open, write_atomically  # noqa: F401  (importable from here, as before)

from langchain_tarnwick.documents import (
    ID_KEY, Filter, check_id, document_of, prepare, split_filter)
from langchain_tarnwick.folders import (  # noqa: F401  (the folder's names, importable from here as before)
    FORMAT, MAX_ID_GAP, file_identity, folder_keeps_log, load_folder, read_folder_state, save_folder)

METRICS = {"cosine": "cosine", "dot_product": "dot_product", "dot": "dot_product",
           "euclidean": "euclidean", "l2": "euclidean"}


def mmr_order(query: Sequence[float], vectors: list[list[float]], k: int,
              lambda_mult: float) -> list[int]:
    """Indices of up to k vectors chosen by maximal marginal relevance under cosine
    similarity: each pick maximises lambda_mult * similarity to the query minus
    (1 - lambda_mult) * its highest similarity to an earlier pick."""
    if not vectors or k <= 0:
        return []
    rows = np.asarray(vectors, dtype=np.float64)
    q = np.asarray(query, dtype=np.float64)

    def unit(x: np.ndarray) -> np.ndarray:
        norms = np.linalg.norm(x, axis=-1, keepdims=True)
        return np.divide(x, norms, out=np.zeros_like(x), where=norms > 0)

    rows = unit(rows)
    to_query = rows @ unit(q)
    chosen = [int(np.argmax(to_query))]
    closest = rows @ rows[chosen[0]]
    while len(chosen) < min(k, len(rows)):
        gain = lambda_mult * to_query - (1.0 - lambda_mult) * closest
        gain[chosen] = -np.inf
        pick = int(np.argmax(gain))
        chosen.append(pick)
        closest = np.maximum(closest, rows @ rows[pick])
    return chosen


def clamp_unit(value: float) -> float:
    """value within [0, 1] (NaN as 0)."""
    return min(1.0, max(0.0, value)) if value == value else 0.0


class TarnwickVectorStore(VectorStore):
    """A LangChain vector store held in one in-process tarnwick `VectorStorage`.

    `metric` is that of every search: "cosine" (default), "dot_product" ("dot") or
    "euclidean" ("l2"). Scores returned with documents are the store's own: the
    similarity for cosine and dot product (higher is better), the distance for
    euclidean (lower is better).

    Metadata values must be `str`, `int` (64-bit) or `float`; any other value
    (`None`, `bool`, lists, nested dicts, ...) is refused with a `TypeError`
    before anything is stored, never dropped. Keys starting with "__tarnwick_" are
    reserved. A metadata "tenant_id" text is the point's tenant: a filter on it is
    answered by the store's own tenant search.

    Searches take tarnwick's fast walk (`VectorStorage.query` with
    `early_stop=True`: navigation by compact codes, the nearest few scored
    exactly). For the walk `VectorStorage.search` takes, set
    `store.storage.early_stop = False` (after `load_local` too).

    `filter` is a dict in the store's `where` language (for example
    {"year": {"$gte": 2020}, "lang": "en"}: see the README's "Filters"), applied by
    the store during the search, or a callable taking a `Document`, tested on the
    store's results.
    """

    def __init__(self, embedding: Embeddings, *, metric: str = "cosine") -> None:
        name = METRICS.get(metric.lower()) if isinstance(metric, str) else None
        if name is None:
            raise ValueError(f"unknown metric {metric!r}: choose 'cosine', 'dot_product' "
                             "('dot') or 'euclidean' ('l2')")
        self._embedding = embedding
        self._metric = name
        self._storage = VectorStorage()
        self._storage.early_stop = True  # the fast walk; see the class's notes
        self._point_ids: dict[str, int] = {}  # guarded by _lock for writes
        self._next_point_id = 0
        self._length: int | None = None  # of the stored vectors; None while there are none
        self._lock = threading.RLock()
        self._following = False
        # A follower's: the change_count at which its map was last made whole.
        self._mapped_at: int | None = None

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def storage(self) -> VectorStorage:
        """The underlying store, for its tuning properties (ef_search) and len()."""
        return self._storage

    @property
    def metric(self) -> str:
        return self._metric

    # ---- writing ----------------------------------------------------------------

    def add_texts(self, texts: Iterable[str], metadatas: list[dict] | None = None, *,
                  ids: Sequence[str | None] | None = None, **kwargs: Any) -> list[str]:
        texts = list(texts)
        doc_ids, payloads = prepare(texts, metadatas, ids)
        vectors = self._embedding.embed_documents(texts) if texts else []
        return self._store(doc_ids, payloads, vectors)

    async def aadd_texts(self, texts: Iterable[str], metadatas: list[dict] | None = None, *,
                         ids: Sequence[str | None] | None = None, **kwargs: Any) -> list[str]:
        texts = list(texts)
        doc_ids, payloads = prepare(texts, metadatas, ids)
        vectors = await self._embedding.aembed_documents(texts) if texts else []
        return await run_in_executor(None, self._store, doc_ids, payloads, vectors)

    def _store(self, doc_ids: list[str], payloads: list[dict[str, Any]],
               vectors: list[list[float]]) -> list[str]:
        """Stores embedded documents in one batch_upsert; returns their ids."""
        if len(vectors) != len(payloads):
            raise ValueError(f"the embedding model returned {len(vectors)} vectors "
                             f"for {len(payloads)} texts")
        if not payloads:
            return []
        with self._lock:
            self._check_lengths(vectors, "a document's embedding")
            self._length = len(vectors[0])
            fresh, point_ids = [], []
            for doc_id in doc_ids:
                point_id = self._point_ids.get(doc_id)
                if point_id is None:
                    point_id = self._point_ids[doc_id] = self._next_point_id
                    self._next_point_id += 1
                    fresh.append(doc_id)
                point_ids.append(point_id)
            try:
                self._storage.batch_upsert(point_ids, vectors, payloads)
            except BaseException:
                # A refused batch stores nothing; an interrupted one keeps the
                # chunks it stored, and their ids stay mapped.
                for doc_id in fresh:
                    if self._point_ids.get(doc_id) not in self._storage:
                        self._point_ids.pop(doc_id, None)
                if len(self._storage) == 0:
                    self._length = None  # an empty store takes any length
                raise
        return doc_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool:
        """Deletes the documents under ids (all documents when ids is None); ids
        that hold no document are ignored."""
        with self._lock:
            doc_ids = list(self._point_ids) if ids is None else [check_id(i) for i in ids]
            point_ids = [self._point_ids[i] for i in doc_ids if i in self._point_ids]
            self._storage.batch_delete(point_ids)
            for doc_id in doc_ids:
                self._point_ids.pop(doc_id, None)
            if not self._point_ids:
                self._length = None
        return True

    # ---- reading ----------------------------------------------------------------

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        docs, seen = [], set()
        for doc_id in ids:
            if doc_id in seen:
                continue
            seen.add(doc_id)
            payload = self._payload_of(doc_id)
            if payload is None and self._following:
                self._map_followed_documents()
                payload = self._payload_of(doc_id)
            if payload is not None:
                docs.append(document_of(payload))
        return docs

    def _payload_of(self, doc_id: str) -> dict[str, Any] | None:
        """The payload of the document under doc_id, when the map names a point
        that holds it. A follower's map can name a point whose document the
        writer deleted, and whose id a restarted writer gave to another."""
        point_id = self._point_ids.get(doc_id)
        point = None if point_id is None else self._storage.get(point_id)
        payload = None if point is None else point[1]
        return payload if payload is not None and payload.get(ID_KEY) == doc_id else None

    # Point ids left unused in a row after which a follower's look for the
    # documents the writer added stops (the writer hands point ids out in order).
    FOLLOW_SCAN_GAP = 4096

    def _map_followed_documents(self) -> None:
        """Brings a follower's map of document ids up to date: first the points
        stored under point ids above the map's (the writer's usual additions),
        then, when the store changed since the map was last made whole, the whole
        map afresh from the points, put in place at once (other threads read it
        meanwhile)."""
        with self._lock:
            point_id, gap = self._next_point_id, 0
            while self._mapped_at is not None and gap < self.FOLLOW_SCAN_GAP:
                got = self._storage.get(point_id)
                point_id += 1
                if got is None:
                    gap += 1
                    continue
                gap = 0
                if (doc_id := self._followed_document(got)) is not None:
                    self._point_ids[doc_id] = point_id - 1
                self._next_point_id = point_id
            changes = self._storage.change_count  # read before the points it stands for
            if changes == self._mapped_at:
                return
            ids: dict[str, int] = {}
            point_id, found, last, total = 0, 0, -1, len(self._storage)
            # Every stored point is found by counting up past the deleted ones
            # (the writer's load does the same); a count that a change cut
            # short is made again at the next miss, since the change moved
            # change_count past the one noted here.
            while point_id - last <= MAX_ID_GAP:
                if found >= total:
                    total = len(self._storage)
                    if found >= total:
                        break
                got = self._storage.get(point_id)
                if got is not None:
                    found, last = found + 1, point_id
                    if (doc_id := self._followed_document(got)) is not None:
                        ids[doc_id] = point_id
                point_id += 1
            self._point_ids, self._next_point_id, self._mapped_at = ids, last + 1, changes

    def _followed_document(self, point: tuple[list[float], dict[str, Any] | None]) -> str | None:
        """The document id of a point a follower found (None for a point that
        holds none), noting the vectors' length."""
        if self._length is None:
            self._length = len(point[0])
        doc_id = (point[1] or {}).get(ID_KEY)
        return doc_id if isinstance(doc_id, str) else None

    def _check_lengths(self, vectors: Sequence[Sequence[float]], what: str) -> None:
        """Raises ValueError, naming both lengths, for a vector whose length is not
        that of the stored vectors (of the first vector, in an empty store)."""
        want = self._length
        for vector in vectors:
            if want is None:
                want = len(vector)
            elif len(vector) != want:
                raise ValueError(
                    f"{what} has {len(vector)} dimensions but the store's vectors have {want}: "
                    "points are compared only with vectors of their own length (is this the "
                    "embedding model the store was built with?)")

    def _search(self, vector: Sequence[float], k: int,
                filter: Filter) -> list[tuple[Document, float, int]]:
        """The k best documents passing filter, best first, with scores and point ids.

        A dict filter is applied by the store during the search, which returns
        every document's payload with its hit. A callable filter is tested here,
        so the store is asked for more results each round until k pass or the
        store has no more to give."""
        if k <= 0:
            return []
        tenant, where, matches = split_filter(filter)
        self._check_lengths([vector], "the query's embedding")
        if matches is None:
            hits = self._storage.query(vector, k, self._metric, where=where, tenant_id=tenant,
                                       with_payload=True)
            return [(document_of(payload), score, point_id) for point_id, score, payload in hits]
        size = len(self._storage)
        limit = max(k, min(4 * k + 28, size))
        # Each point's document and verdict, made once across rounds. A wider
        # graph search may rank a point the narrower one missed, so every round
        # walks its whole result.
        tested: dict[int, tuple[Document, bool]] = {}
        while True:
            hits = self._storage.query(vector, limit, self._metric, with_payload=True)
            found: list[tuple[Document, float, int]] = []
            for point_id, score, payload in hits:
                if point_id not in tested:
                    doc = document_of(payload)
                    tested[point_id] = (doc, bool(matches(doc)))
                doc, passes = tested[point_id]
                if passes:
                    found.append((doc, score, point_id))
                    if len(found) == k:
                        return found
            if len(hits) < limit or limit >= size:
                return found
            limit = min(4 * limit, size)

    def similarity_search_with_score_by_vector(self, embedding: Sequence[float], k: int = 4,
                                               filter: Filter = None,
                                               **kwargs: Any) -> list[tuple[Document, float]]:
        return [(doc, score) for doc, score, _ in self._search(embedding, k, filter)]

    def similarity_search_by_vector(self, embedding: Sequence[float], k: int = 4,
                                    filter: Filter = None, **kwargs: Any) -> list[Document]:
        return [doc for doc, _, _ in self._search(embedding, k, filter)]

    def similarity_search_with_score(self, query: str, k: int = 4, filter: Filter = None,
                                     **kwargs: Any) -> list[tuple[Document, float]]:
        vector = self._embedding.embed_query(query)
        return self.similarity_search_with_score_by_vector(vector, k, filter)

    def similarity_search(self, query: str, k: int = 4, filter: Filter = None,
                          **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter)]

    def max_marginal_relevance_search_by_vector(self, embedding: Sequence[float], k: int = 4,
                                                fetch_k: int = 20, lambda_mult: float = 0.5,
                                                filter: Filter = None,
                                                **kwargs: Any) -> list[Document]:
        candidates = []
        for doc, _, point_id in self._search(embedding, max(fetch_k, k), filter):
            point = self._storage.get(point_id)  # None: deleted after the search
            # The graph path can return points of another length (with a fixed
            # score); they have no similarity to the query or to the rest.
            if point is not None and len(point[0]) == len(embedding):
                candidates.append((doc, point[0]))
        order = mmr_order(embedding, [vector for _, vector in candidates], k, lambda_mult)
        return [candidates[i][0] for i in order]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                      lambda_mult: float = 0.5, filter: Filter = None,
                                      **kwargs: Any) -> list[Document]:
        vector = self._embedding.embed_query(query)
        return self.max_marginal_relevance_search_by_vector(vector, k, fetch_k, lambda_mult,
                                                            filter)

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        """Maps a score into [0, 1]: for normalised embeddings the same value under
        every metric, (1 + cosine) / 2, which is 1 - distance**2 / 4. Clamped, since
        a float32 score rounds past the ends (a self-match's cosine to 1.0000001)
        and other embeddings reach beyond them."""
        if self._metric == "euclidean":
            return lambda distance: clamp_unit(1.0 - distance * distance / 4.0)
        return lambda similarity: clamp_unit((1.0 + similarity) / 2.0)

    # ---- async: the embedding model's own async calls, the store on a thread ----

    async def asimilarity_search_with_score(self, query: str, k: int = 4,
                                            filter: Filter = None,
                                            **kwargs: Any) -> list[tuple[Document, float]]:
        vector = await self._embedding.aembed_query(query)
        return await run_in_executor(None, self.similarity_search_with_score_by_vector,
                                     vector, k, filter)

    async def asimilarity_search(self, query: str, k: int = 4, filter: Filter = None,
                                 **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in await self.asimilarity_search_with_score(query, k, filter)]

    async def asimilarity_search_by_vector(self, embedding: Sequence[float], k: int = 4,
                                           filter: Filter = None,
                                           **kwargs: Any) -> list[Document]:
        return await run_in_executor(None, self.similarity_search_by_vector, embedding, k,
                                     filter)

    async def amax_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                             lambda_mult: float = 0.5, filter: Filter = None,
                                             **kwargs: Any) -> list[Document]:
        vector = await self._embedding.aembed_query(query)
        return await run_in_executor(None, self.max_marginal_relevance_search_by_vector,
                                     vector, k, fetch_k, lambda_mult, filter)

    async def amax_marginal_relevance_search_by_vector(
            self, embedding: Sequence[float], k: int = 4, fetch_k: int = 20,
            lambda_mult: float = 0.5, filter: Filter = None, **kwargs: Any) -> list[Document]:
        return await run_in_executor(None, self.max_marginal_relevance_search_by_vector,
                                     embedding, k, fetch_k, lambda_mult, filter)

    # ---- construction and persistence ----------------------------------------------

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings,
                   metadatas: list[dict] | None = None, *, ids: list[str] | None = None,
                   metric: str = "cosine", **kwargs: Any) -> TarnwickVectorStore:
        store = cls(embedding, metric=metric)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    async def afrom_texts(cls, texts: list[str], embedding: Embeddings,
                          metadatas: list[dict] | None = None, *, ids: list[str] | None = None,
                          metric: str = "cosine", **kwargs: Any) -> TarnwickVectorStore:
        store = cls(embedding, metric=metric)
        await store.aadd_texts(texts, metadatas, ids=ids)
        return store

    def save_local(self, folder_path: str | os.PathLike[str], index_name: str = "index", *,
                   log: bool | None = None) -> None:
        """Writes the store to `index_name`.tarnwick (the snapshot, which holds
        every document whole with its id) and `index_name`.json (the metric, and
        the id map of that snapshot) in folder_path. A crash at any moment leaves
        a folder that loads to the state before the save or after it.

        log=True keeps a write-ahead log, `index_name`.log, beside them from now
        on: every later change is on disk before it returns, and the next
        save_local into the folder folds it into the snapshot and starts it
        afresh. log=False closes a log kept in the folder; None (the default)
        keeps one that is open and opens none. A log kept for another folder is
        closed first, so that this save leaves it whole for that folder's snapshot."""
        save_folder(self, folder_path, index_name, log)

    @classmethod
    def load_local(cls, folder_path: str | os.PathLike[str], embeddings: Embeddings,
                   index_name: str = "index", *, log: bool | None = None, follow: bool = False,
                   poll: float | None = 0.05, **kwargs: Any) -> TarnwickVectorStore:
        """Reads what save_local wrote; raises OSError when a file cannot be read and
        ValueError when a file was not written by save_local.

        The folder's log, `index_name`.log, is replayed over the snapshot and kept
        open when it exists (log=None, the default) or always (log=True, creating
        it); log=False leaves it alone. The document ids are read back from the
        stored documents, which also hold those the log added.

        follow=True makes a read-only store for another process while one writer
        keeps the folder (save_local(..., log=True) in that process): it follows
        the folder's log, looking for the writer's new records every `poll`
        seconds (VectorStorage.follow_log), and refuses changes and save_local."""
        return load_folder(cls, folder_path, embeddings, index_name, log, follow, poll)
