"""Typed uses of the add-ons, checked strictly by mypy against the installed
packages (tests/test_typing.py): each ships py.typed, so a user's checker sees
their signatures rather than Any. Never run: a Ray store needs a cluster."""
import os
from pathlib import Path
from typing import Any, assert_type

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding

from langchain_tarnwick import TarnwickVectorStore
from tarnwick_ray import ShardedVectorStorage, ShardUnavailableError, shard_of


def langchain_uses(folder: Path) -> list[Document]:
    embed = DeterministicFakeEmbedding(size=8)
    metadatas: list[dict[str, Any]] = [{"year": 2024}, {"year": 2025, "tenant_id": "a"}]
    store = TarnwickVectorStore.from_texts(["one", "two"], embed, metadatas, ids=["1", "2"])
    ids: list[str] = ["3"]
    assert_type(store.add_texts(["three"], ids=ids), list[str])
    store.add_texts(["four"], [{"year": 2026}], ids=[None])
    assert_type(store.similarity_search("one", 2, filter={"year": {"$gte": 2025}}), list[Document])
    found = store.similarity_search_with_relevance_scores("two", k=1)
    assert_type(found, list[tuple[Document, float]])
    assert_type(store.max_marginal_relevance_search("one", 1, filter=lambda d: True), list[Document])
    store.save_local(folder, log=True)
    store.save_local(os.fspath(folder), "other")
    loaded = TarnwickVectorStore.load_local(folder, embed, log=False)
    assert_type(loaded.metric, str)
    assert_type(loaded.storage.ef_search, int)
    return loaded.get_by_ids(["1"])


def ray_uses(folder: Path) -> int:
    store = ShardedVectorStorage(2, threads_per_shard=1, actor_options={"num_cpus": 0})
    store.batch_upsert(np.arange(10), np.ones((10, 3), np.float32), [None] * 10)
    store.upsert(11, [1.0, 2.0, 3.0], {"tenant_id": "a"})
    hits = store.query([1.0, 2.0, 3.0], 3, where={"tenant_id": "a"}, with_payload=True)
    assert_type(hits, list[tuple[Any, ...]])
    assert_type(store.search([1.0, 0.0, 0.0], 2, "cosine"), list[tuple[int, float]])
    assert_type(store.get(11), tuple[list[float], dict[Any, Any] | None] | None)
    store.save(folder, log=True)
    store.load(os.fspath(folder))
    try:
        store.delete(3)
    except ShardUnavailableError:
        pass
    return shard_of(11, store.shards) + len(store)
