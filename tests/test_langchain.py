"""langchain_tarnwick.TarnwickVectorStore: LangChain's standard vector-store suite,
then what the suite leaves out: metadata the payload cannot hold, filters and the
tenant path, id mapping, MMR, relevance scores and save_local / load_local."""
import asyncio
import math
import os
import warnings

import pytest

pytest.importorskip("langchain_core", reason="the langchain extra is not installed "
                    "(scripts/setup.sh langchain test-integrations)")
pytest.importorskip("langchain_tests", reason="langchain-tests is not installed "
                    "(scripts/setup.sh langchain test-integrations)")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

import tarnwick  # noqa: E402
from langchain_tarnwick import TarnwickVectorStore  # noqa: E402


class TestStandardSuite(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        return TarnwickVectorStore(self.get_embeddings())


class AxisEmbeddings(Embeddings):
    """Texts "a,b,..." embed to exactly those coordinates, so expected rankings
    are known. Counts the texts it embeds for storage."""

    def __init__(self):
        self.embedded = 0

    def embed_documents(self, texts):
        self.embedded += len(texts)
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text):
        return [float(x) for x in text.split(",")]


def docs_of(store, query, k=10, **kw):
    return [(d.id, d.page_content, d.metadata) for d in store.similarity_search(query, k, **kw)]


# ---- metadata the payload cannot hold is refused whole -------------------------

@pytest.mark.parametrize("metadata, error, text", [
    ({"nested": {"a": 1}}, TypeError, "under 'nested' is of type dict"),
    ({"tags": ["a", "b"]}, TypeError, "under 'tags' is of type list"),
    ({"missing": None}, TypeError, "under 'missing' is of type NoneType"),
    ({"flag": True}, TypeError, "under 'flag' is of type bool"),
    ({"big": 2**63}, OverflowError, "signed 64-bit"),
    ({"small": -(2**63) - 1}, OverflowError, "signed 64-bit"),
    ({1: "x"}, TypeError, "metadata keys must be str"),
    ({"__tarnwick_text": "x"}, ValueError, "is reserved"),
])
def test_unholdable_metadata_is_refused_and_nothing_is_stored(metadata, error, text):
    store = TarnwickVectorStore(AxisEmbeddings())
    store.add_texts(["1,0"], ids=["kept"])
    with pytest.raises(error, match=text):
        store.add_texts(["0,1", "1,1"], [{"ok": 1}, metadata], ids=["new", "kept"])
    with pytest.raises(error, match=text):
        asyncio.run(store.aadd_texts(["0,1"], [metadata]))
    assert len(store.storage) == 1 and store.embeddings.embedded == 1  # refused before embedding
    assert [d.page_content for d in store.get_by_ids(["new", "kept"])] == ["1,0"]


@pytest.mark.parametrize("metadata", [
    {}, {"s": "", "i": -(2**63), "j": 2**63 - 1, "f": -0.0, "long": "x" * 300, "u": "naïve ✓"},
    {"tenant_id": "acme", "page": 3, "score": 0.25},
])
def test_holdable_metadata_round_trips(metadata):
    store = TarnwickVectorStore(AxisEmbeddings())
    store.add_texts(["1,0"], [metadata], ids=["d"])
    (doc,) = store.get_by_ids(["d"])
    assert doc == Document(id="d", page_content="1,0", metadata=metadata)
    assert {k: type(v) for k, v in doc.metadata.items()} == {k: type(v) for k, v in metadata.items()}


def test_a_failed_embedding_batch_length_is_refused():
    class Short(AxisEmbeddings):
        def embed_documents(self, texts):
            return super().embed_documents(texts)[:-1]
    store = TarnwickVectorStore(Short())
    with pytest.raises(ValueError, match="returned 1 vectors for 2 texts"):
        store.add_texts(["1,0", "0,1"])
    assert len(store.storage) == 0


def test_a_refused_batch_forgets_the_ids_it_mapped():
    store = TarnwickVectorStore(AxisEmbeddings())
    with pytest.raises(TypeError):
        store._store(["a"], [{"__tarnwick_text": "a", "__tarnwick_id": "a"}], [["x"]])  # refused vector
    assert store.get_by_ids(["a"]) == [] and store._point_ids == {}
    # Nothing was stored, so the store still takes vectors of any length.
    store.add_texts(["1,0,0"], ids=["b"])
    assert [d[0] for d in docs_of(store, "1,0,0")] == ["b"]


# ---- ids ---------------------------------------------------------------------------

def test_ids_that_hash_alike_or_look_alike_stay_apart():
    # Strings Python hashes equally (-1 and -2 share a hash) and near-identical ids.
    ids = ["-1", "-2", "1", "01", " 1", "1 ", "", "é", "e\u0301", "x" * 1000]
    store = TarnwickVectorStore(AxisEmbeddings())
    store.add_texts([f"{i},1" for i in range(len(ids))], ids=ids)
    assert [d.id for d in store.get_by_ids(ids)] == ids
    assert [d.page_content for d in store.get_by_ids(ids)] == [f"{i},1" for i in range(len(ids))]
    store.delete(["1"])
    assert [d.id for d in store.get_by_ids(ids)] == [i for i in ids if i != "1"]


def test_repeated_ids_in_one_batch_keep_the_last_and_bad_ids_are_refused():
    store = TarnwickVectorStore(AxisEmbeddings())
    assert store.add_texts(["1,0", "0,1"], [{"n": 1}, {"n": 2}], ids=["a", "a"]) == ["a", "a"]
    assert [(d.page_content, d.metadata) for d in store.get_by_ids(["a", "a"])] == [("0,1", {"n": 2})]
    assert len(store.storage) == 1
    with pytest.raises(TypeError, match="document ids must be str"):
        store.add_texts(["1,1"], ids=[7])
    with pytest.raises(ValueError, match="1 texts but 2 ids"):
        store.add_texts(["1,1"], ids=["b", "c"])


def test_delete_all_and_reuse():
    store = TarnwickVectorStore(AxisEmbeddings())
    store.add_texts(["1,0", "0,1"], ids=["a", "b"])
    assert store.delete() is True and len(store.storage) == 0
    store.add_texts(["1,1"], ids=["a"])
    assert docs_of(store, "1,0") == [("a", "1,1", {})]


# ---- searches ---------------------------------------------------------------------

@pytest.mark.parametrize("metric", ["cosine", "dot", "L2", "euclidean"])
def test_each_metric_ranks_and_scores_as_the_store(metric):
    texts = ["1,0.1", "10,1", "3,3", "-1,2", "1,0.1"]
    store = TarnwickVectorStore.from_texts(texts, AxisEmbeddings(), metric=metric)
    raw = tarnwick.VectorStorage()
    raw.batch_upsert(range(len(texts)), AxisEmbeddings().embed_documents(texts))
    got = store.similarity_search_with_score("2,0.5", k=4)
    assert [(store._point_ids[d.id], s) for d, s in got] == raw.search([2.0, 0.5], 4, metric)


def test_unknown_metric_is_refused():
    with pytest.raises(ValueError, match="unknown metric 'manhattan'"):
        TarnwickVectorStore(AxisEmbeddings(), metric="manhattan")


@pytest.fixture(scope="module")
def many():
    """700 points (the graph path), two tenants, a rare colour."""
    embed = DeterministicFakeEmbedding(size=8)
    texts = [f"text {i}" for i in range(700)]
    metas = [{"tenant_id": "ab"[i % 2], "colour": "red" if i % 97 == 0 else "blue", "i": i}
             for i in range(700)]
    store = TarnwickVectorStore.from_texts(texts, embed, metas, ids=[f"d{i}" for i in range(700)])
    return store, metas


def meta_test(where):
    """Plain equality filters tested in Python, for the table below."""
    return lambda d: all(d.metadata.get(key) == v for key, v in where.items())


# Each filter with the Python test of the documents it selects.
FILTERS = [(f, meta_test(f)) for f in (
    {"tenant_id": "a"}, {"colour": "red"}, {"tenant_id": "b", "colour": "red"},
    {"colour": "red", "i": 97}, {"colour": "green"}, {"tenant_id": "zz"}, {"i": 5.0})] + [
    ({"i": {"$lt": 7}}, lambda d: d.metadata["i"] < 7),
    ({"tenant_id": "a", "i": {"$gte": 650, "$lt": 690}}, lambda d: d.metadata["tenant_id"] == "a"
     and 650 <= d.metadata["i"] < 690),
    ({"$or": [{"colour": "red"}, {"i": {"$in": [1, 2, 3]}}]},
     lambda d: d.metadata["colour"] == "red" or d.metadata["i"] in (1, 2, 3)),
    ({"$not": {"colour": "blue"}}, lambda d: d.metadata["colour"] != "blue"),
    ({"tenant_id": {"$eq": "b"}, "colour": {"$nin": ["blue"]}},
     lambda d: d.metadata["tenant_id"] == "b" and d.metadata["colour"] != "blue"),
    ({"absent": {"$exists": False}, "i": {"$gt": 695}}, lambda d: d.metadata["i"] > 695),
    (lambda d: d.metadata["i"] % 7 == 3, lambda d: d.metadata["i"] % 7 == 3),
]


@pytest.mark.parametrize("filter, test", FILTERS)
@pytest.mark.parametrize("k", [1, 5, 50])
def test_filters_return_only_matches_and_every_rare_match(many, filter, test, k):
    store, metas = many
    everything = store.similarity_search("query", k=len(metas))
    expected = [d.id for d in everything if test(d)]
    got = store.similarity_search("query", k=k, filter=filter)
    assert all(test(d) for d in got)
    assert len(got) == min(k, len(expected))
    if len(expected) <= 10:  # rare matches are found even far down the ranking
        assert {d.id for d in got} == set(expected[:k]) or len(expected) > k


class Recorder:
    """Stands in for the store, recording the names of the methods called on it."""

    def __init__(self, storage):
        self.storage, self.calls = storage, []

    def __len__(self):
        self.calls.append("__len__")
        return len(self.storage)

    def __getattr__(self, name):
        self.calls.append(name)
        return getattr(self.storage, name)


@pytest.mark.parametrize("filter, test", [f for f in FILTERS if not callable(f[0])])
def test_dict_filters_are_one_store_query_with_payloads(many, filter, test):
    store, _ = many
    vector = store.embeddings.embed_query("query")
    recorder = Recorder(store.storage)
    store._storage = recorder
    try:
        got = store.similarity_search_with_score_by_vector(vector, 6, filter=filter)
    finally:
        store._storage = recorder.storage
    assert recorder.calls == ["query"]  # no get per hit, no second round
    where = dict(filter)
    tenant = where.pop("tenant_id") if isinstance(where.get("tenant_id"), str) else None
    native = store.storage.query(vector, 6, "cosine", where=where or None, tenant_id=tenant,
                                 with_payload=True)
    assert [(store._point_ids[d.id], s, d.metadata) for d, s in got] == \
        [(i, s, {k: v for k, v in p.items() if not k.startswith("__")}) for i, s, p in native]


def test_the_tenant_filter_is_the_store_tenant_search(many):
    # On the graph path a filter applied afterwards would give other results.
    store, _ = many
    vector = store.embeddings.embed_query("query")
    for tenant, k in (("a", 9), ("b", 40)):
        got = store.similarity_search_with_score_by_vector(vector, k, filter={"tenant_id": tenant})
        native = store.storage.search(vector, k, "cosine", tenant)
        assert [(store._point_ids[d.id], s) for d, s in got] == native and len(native) == k


@pytest.mark.parametrize("filter, error, text", [
    ({"colour": ["red"]}, TypeError, "colour"),
    ({"colour": {"$near": "red"}}, ValueError, "near"),
    ({"i": {"$in": []}}, ValueError, "in"),
    ({"__tarnwick_text": "x"}, ValueError, "'__tarnwick_text' is reserved"),
    ({"$or": [{"i": 1}, {"$not": {"__tarnwick_id": "d1"}}]}, ValueError, "'__tarnwick_id' is reserved"),
    ("colour", TypeError, "filter must be a dict"),
])
def test_malformed_filters_are_refused(many, filter, error, text):
    with pytest.raises(error, match=text):
        many[0].similarity_search("query", k=3, filter=filter)


def test_mmr_prefers_a_diverse_second_pick():
    texts = {"a": "1,0,0", "a2": "1,0.05,0", "b": "0.6,0.8,0", "c": "0,0,1"}
    store = TarnwickVectorStore.from_texts(list(texts.values()), AxisEmbeddings(), ids=list(texts))
    plain = [d.id for d in store.similarity_search("1,0.2,0", k=2)]
    diverse = [d.id for d in store.max_marginal_relevance_search("1,0.2,0", k=2, fetch_k=4,
                                                                 lambda_mult=0.5)]
    assert plain == ["a2", "a"] and diverse == ["a2", "b"]
    assert [d.id for d in store.max_marginal_relevance_search("1,0.2,0", k=2, lambda_mult=1.0)] == plain
    assert store.max_marginal_relevance_search("1,0,0", k=3, filter={"absent": 1}) == []
    coroutine = store.amax_marginal_relevance_search("1,0.2,0", k=2, fetch_k=4)
    assert [d.id for d in asyncio.run(coroutine)] == diverse


async def test_async_variants_agree_with_sync(many):
    store, _ = many
    vector = store.embeddings.embed_query("query")
    for kw in ({}, {"filter": {"colour": "red"}}):
        assert await store.asimilarity_search("query", 7, **kw) == store.similarity_search("query", 7, **kw)
        assert (await store.asimilarity_search_with_score("query", 7, **kw)
                == store.similarity_search_with_score("query", 7, **kw))
        assert (await store.asimilarity_search_by_vector(vector, 7, **kw)
                == store.similarity_search_by_vector(vector, 7, **kw))
        assert (await store.amax_marginal_relevance_search_by_vector(vector, 3, **kw)
                == store.max_marginal_relevance_search_by_vector(vector, 3, **kw))
    built = await TarnwickVectorStore.afrom_texts(["1,2"], AxisEmbeddings(), ids=["z"])
    assert await built.aget_by_ids(["z"]) == [Document(id="z", page_content="1,2")]


def test_retriever(many):
    store, _ = many
    retriever = store.as_retriever(search_kwargs={"k": 3, "filter": {"tenant_id": "b"}})
    docs = retriever.invoke("query")
    assert len(docs) == 3 and all(d.metadata["tenant_id"] == "b" for d in docs)


# ---- save_local / load_local ---------------------------------------------------------

def test_save_and_load_local_round_trip(many, tmp_path):
    store, metas = many
    store.storage.ef_search = 77
    store.save_local(tmp_path, "idx")
    loaded = TarnwickVectorStore.load_local(tmp_path, store.embeddings, "idx")
    assert loaded.metric == store.metric and loaded.storage.ef_search == 77
    assert loaded.storage.early_stop is True  # the fast walk
    for kw in ({}, {"filter": {"tenant_id": "b"}}, {"filter": {"colour": "red"}}):
        assert loaded.similarity_search_with_score("query", 20, **kw) == \
            store.similarity_search_with_score("query", 20, **kw)
    ids = [f"d{i}" for i in range(0, 700, 13)]
    assert loaded.get_by_ids(ids) == store.get_by_ids(ids)
    # New ids get fresh points after a load: nothing stored is overwritten.
    loaded.add_texts(["new"], ids=["fresh"])
    assert len(loaded.storage) == len(metas) + 1 and len(loaded.get_by_ids(ids)) == len(ids)


def test_load_local_takes_the_snapshot_as_the_truth(tmp_path):
    embed = AxisEmbeddings()
    one = TarnwickVectorStore.from_texts(["1,0"], embed, ids=["a"])
    two = TarnwickVectorStore.from_texts(["1,0", "0,1"], embed, ids=["a", "b"])
    one.save_local(tmp_path / "one")
    two.save_local(tmp_path / "two")
    (tmp_path / "one" / "index.tarnwick").replace(tmp_path / "two" / "index.tarnwick")
    loaded = TarnwickVectorStore.load_local(tmp_path / "two", embed)
    assert [d.id for d in loaded.get_by_ids(["a", "b"])] == ["a"]
    plain = tarnwick.VectorStorage()
    plain.upsert(0, [1.0, 0.0], {"text": "no document id"})
    plain.save(str(tmp_path / "two" / "index.tarnwick"))
    with pytest.raises(ValueError, match="holds no document id"):
        TarnwickVectorStore.load_local(tmp_path / "two", embed)
    (tmp_path / "two" / "index.json").write_text('{"format": "other"}')
    with pytest.raises(ValueError, match="not written by TarnwickVectorStore"):
        TarnwickVectorStore.load_local(tmp_path / "two", embed)
    with pytest.raises(OSError):
        TarnwickVectorStore.load_local(tmp_path / "absent", embed)


@pytest.mark.parametrize("flow", ["another store saves", "a backup closes the log"])
def test_a_log_left_in_the_folder_is_never_replayed_over_a_later_snapshot(tmp_path, flow):
    # The folder's log belongs to the snapshot saved with it; a later
    # save_local without it must load as it was saved, not with the old
    # records replayed over it (they would bring back or overwrite documents).
    folder = tmp_path / "d"
    first = TarnwickVectorStore(AxisEmbeddings())
    first.add_texts(["1,0"], ids=["keep"])
    first.save_local(folder, log=True)
    first.add_texts(["0,1", "1,1"], ids=["logged", "secret"])
    if flow == "another store saves":
        first.storage.close_log()
        second = TarnwickVectorStore(AxisEmbeddings())
        second.add_texts(["2,1"], ids=["new"])
        second.save_local(folder)
        want = ["new"]
    else:
        first.save_local(tmp_path / "backup")  # closes the folder's log, whole
        first.delete(["secret"])
        first.save_local(folder)
        want = ["keep", "logged"]
    for log in (None, True):
        loaded = TarnwickVectorStore.load_local(folder, AxisEmbeddings(), log=log)
        assert sorted(d[0] for d in docs_of(loaded, "1,1")) == want, log
        if log:
            loaded.add_texts(["3,3"], ids=["after"])  # the log from here on is this snapshot's
            loaded.storage.close_log()
            again = TarnwickVectorStore.load_local(folder, AxisEmbeddings())
            assert sorted(d[0] for d in docs_of(again, "1,1")) == sorted(want + ["after"])


def test_save_local_with_log_keeps_every_later_change(tmp_path):
    embed = AxisEmbeddings()
    store = TarnwickVectorStore.from_texts(["1,0", "0,1"], embed, ids=["A", "B"])
    store.save_local(tmp_path / "one", log=True)
    store.delete(["A"])
    store.add_texts(["1,1"], ids=["C"])
    del store  # nothing saved since: the changes are only in the log

    for round_ in range(2):
        loaded = TarnwickVectorStore.load_local(tmp_path / "one", embed)
        assert [d.id for d in loaded.get_by_ids(["A", "B", "C"])] == ["B", "C"]
        # A document added after the load gets a point of its own.
        loaded.add_texts(["2,1"], ids=[f"D{round_}"])
        assert len(loaded.storage) == 3 + round_ and loaded.get_by_ids(["C"])[0].page_content == "1,1"
        assert loaded.storage.log_path == os.path.abspath(tmp_path / "one" / "index.log")
        if round_ == 0:
            loaded.save_local(tmp_path / "one")  # a checkpoint: the log starts afresh
            assert (tmp_path / "one" / "index.log").stat().st_size < 64
        del loaded
    # Saving elsewhere closes the folder's log, which still holds D1 for its folder;
    # without its log the folder's snapshot lacks D1.
    loaded = TarnwickVectorStore.load_local(tmp_path / "one", embed)
    loaded.save_local(tmp_path / "two")
    assert loaded.storage.log_path is None
    assert len(TarnwickVectorStore.load_local(tmp_path / "one", embed).storage) == 4
    assert len(TarnwickVectorStore.load_local(tmp_path / "one", embed, log=False).storage) == 3
    assert len(TarnwickVectorStore.load_local(tmp_path / "two", embed).storage) == 4


@pytest.mark.parametrize("log", [None, True])
@pytest.mark.parametrize("failing", [0, 1, 2, "snapshot"])
def test_a_failed_save_local_elsewhere_keeps_the_log_it_had(tmp_path, monkeypatch, log, failing):
    """A save_local into another folder that fails (a full disk) at any of its
    writes leaves the store logging into the folder it kept: the changes it
    acknowledges after the failure load from that folder."""
    import errno
    import langchain_tarnwick.folders as module
    embed = AxisEmbeddings()
    store = TarnwickVectorStore.from_texts(["1,0", "0,1"], embed, ids=["A", "B"])
    store.save_local(tmp_path / "kept", log=True)
    kept_log = store.storage.log_path
    writes, real = [0], module.write_atomically

    def write(path, text):
        writes[0] += 1
        if writes[0] - 1 == failing:
            raise OSError(errno.ENOSPC, "No space left on device")
        real(path, text)

    monkeypatch.setattr(module, "write_atomically", write)
    if failing == "snapshot":
        (tmp_path / "other" / "index.tarnwick" / "x").mkdir(parents=True)
    try:
        store.save_local(tmp_path / "other", log=log)
    except OSError:
        pass
    else:
        assert failing == 2 and not log  # a save without a third write
        return
    monkeypatch.undo()
    assert store.storage.log_path == kept_log
    store.delete(["A"])
    store.add_texts(["1,1"], ids=["C"])
    store.storage.close_log()  # each change was synced when it returned
    loaded = TarnwickVectorStore.load_local(tmp_path / "kept", embed)
    assert [d.id for d in loaded.get_by_ids(["A", "B", "C"])] == ["B", "C"]


@pytest.mark.parametrize("log", [None, True, False])
def test_save_local_into_a_folder_another_store_keeps_is_refused(tmp_path, log):
    """Replacing the snapshot the keeper's log continues (or its log) would
    lose what the keeper acknowledged; nothing is written."""
    embed = AxisEmbeddings()
    keeper = TarnwickVectorStore.from_texts(["1,0"], embed, ids=["A"])
    keeper.save_local(tmp_path, log=True)
    keeper.add_texts(["0,1"], ids=["B"])
    files = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    other = TarnwickVectorStore.from_texts(["1,1"], embed, ids=["X"])
    with pytest.raises(OSError, match="held open by another store"):
        other.save_local(tmp_path, log=log)
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == files
    keeper.add_texts(["2,1"], ids=["C"])
    del keeper
    loaded = TarnwickVectorStore.load_local(tmp_path, embed)
    assert [d.id for d in loaded.get_by_ids(["A", "B", "C", "X"])] == ["A", "B", "C"]


def test_relevance_scores_are_the_same_for_every_metric_on_unit_vectors():
    texts = ["1,0", "0.6,0.8", "0,1", "-1,0"]
    scores = []
    for metric in ("cosine", "dot", "l2"):
        store = TarnwickVectorStore.from_texts(texts, AxisEmbeddings(), metric=metric)
        scores.append([s for _, s in store.similarity_search_with_relevance_scores("1,0", k=4)])
    for other in scores[1:]:
        assert all(math.isclose(a, b, abs_tol=1e-6) for a, b in zip(scores[0], other))
    assert all(math.isclose(a, b, abs_tol=1e-6) for a, b in zip(scores[0], [1.0, 0.8, 0.5, 0.0]))


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_relevance_scores_stay_within_unit_range(metric):
    # float32 cosines of these self-matches round to 1.0000001; the dot products
    # and distances of unnormalised vectors reach far beyond the ends.
    texts = ["-1.01,-0.21,-0.16", "0.54,0.21,0.36", "1.49,-1.26,1.51", "-3,0,0.5", "9,9,9"]
    store = TarnwickVectorStore.from_texts(texts, AxisEmbeddings(), metric=metric)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # LangChain warns on a score outside [0, 1]
        for text in texts:
            found = store.similarity_search_with_relevance_scores(text, k=5)
            assert len(found) == 5 and all(0.0 <= score <= 1.0 for _, score in found)
            if metric == "cosine":
                assert found[0][0].page_content == text and found[0][1] >= 1.0 - 1e-6


def test_a_following_store_answers_from_the_writers_latest_changes(tmp_path):
    """load_local(follow=True): the writer's later documents and deletions reach
    the follower's searches and get_by_ids; the follower takes no changes."""
    embed = DeterministicFakeEmbedding(size=8)
    writer = TarnwickVectorStore.from_texts([f"doc {i}" for i in range(20)], embed,
                                            ids=[f"d{i}" for i in range(20)])
    writer.save_local(tmp_path, log=True)
    follower = TarnwickVectorStore.load_local(tmp_path, embed, follow=True, poll=None)
    writer.add_texts([f"late {i}" for i in range(5)], ids=[f"late{i}" for i in range(5)])
    writer.delete(["d3", "d4"])
    writer.save_local(tmp_path)  # a checkpoint between the changes
    writer.add_texts(["last"], ids=["last"], metadatas=[{"n": 1}])
    assert follower.storage.catch_up() >= 1
    for query in ("late 2", "doc 3", "last"):
        assert docs_of(follower, query) == docs_of(writer, query)
    assert [d.id for d in follower.get_by_ids(["late4", "d3", "last", "d0"])] == ["late4", "last", "d0"]
    with pytest.raises(ValueError, match="follows the log"):
        follower.add_texts(["refused"])
    with pytest.raises(ValueError, match="saves nothing"):
        follower.save_local(tmp_path / "elsewhere")
    with pytest.raises(ValueError, match="no log of its own"):
        TarnwickVectorStore.load_local(tmp_path, embed, follow=True, log=True)

def test_embeddings_of_another_length_are_refused_naming_both_lengths(tmp_path):
    store = TarnwickVectorStore.from_texts(["1,0,0", "0,1,0"], AxisEmbeddings(), ids=["a", "b"])
    calls = [
        lambda s: s.add_texts(["1,2"], ids=["c"]),
        lambda s: s.add_texts(["1,0,0", "1,2,3,4"], ids=["c", "d"]),
        lambda s: asyncio.run(s.aadd_texts(["1,2"])),
        lambda s: s.similarity_search("1,2", 1),
        lambda s: s.similarity_search_with_score("1,2,3,4", 1, filter={"x": 1}),
        lambda s: s.similarity_search_by_vector([1.0] * 5, 1, filter=lambda d: True),
        lambda s: s.similarity_search_with_relevance_scores("1,2", 1),
        lambda s: s.max_marginal_relevance_search("1,2", 1),
        lambda s: asyncio.run(s.asimilarity_search("1,2", 1)),
        lambda s: s.as_retriever().invoke("1,2"),
    ]
    store.save_local(tmp_path)
    loaded = TarnwickVectorStore.load_local(tmp_path, AxisEmbeddings())
    for target in (store, loaded):
        for call in calls:
            with pytest.raises(ValueError, match=r"has \d dimensions but the store's vectors have 3"):
                call(target)
        assert len(target.storage) == 2 and target.similarity_search("1,0,0", 1)[0].id == "a"
    # An emptied store takes vectors of any one length again; one batch has one length.
    store.delete()
    with pytest.raises(ValueError, match="has 3 dimensions but the store's vectors have 2"):
        store.add_texts(["1,2", "1,2,3"])
    store.add_texts(["1,2"], ids=["e"])
    assert store.similarity_search("0,1", 1)[0].id == "e"


@pytest.mark.parametrize("follower_made", ["before the changes", "after them"])
def test_a_follower_finds_each_document_by_its_own_id_whatever_point_ids_did(tmp_path, monkeypatch,
                                                                               follower_made):
    """A restarted writer may hand a deleted document's point id to a new one,
    and deletions may leave runs of unused point ids longer than a follower's
    look past its map: the follower's get_by_ids still gives each document under
    its own id, and nothing for a deleted one."""
    monkeypatch.setattr(TarnwickVectorStore, "FOLLOW_SCAN_GAP", 8)
    embed = DeterministicFakeEmbedding(size=8)
    writer = TarnwickVectorStore.from_texts(["a", "b"], embed, ids=["A", "B"])
    writer.save_local(tmp_path, log=True)
    follower = None
    if follower_made == "before the changes":
        follower = TarnwickVectorStore.load_local(tmp_path, embed, follow=True, poll=None)
    writer.add_texts(["x"], ids=["X"])
    if follower is not None:
        follower.storage.catch_up()
        assert [d.id for d in follower.get_by_ids(["X"])] == ["X"]
    x_point = writer._point_ids["X"]
    writer.delete(["X"])
    writer.storage.close_log()
    writer = TarnwickVectorStore.load_local(tmp_path, embed)  # a restart: the log replayed
    writer.add_texts(["y"], ids=["Y"])
    assert writer._point_ids["Y"] == x_point  # the case in point: X's point id again
    many = [f"m{i}" for i in range(30)]
    writer.add_texts(many, ids=many)
    writer.delete(many[:-1])  # a run of unused point ids longer than the look
    writer.add_texts(["z"], ids=["Z"])
    if follower is None:
        follower = TarnwickVectorStore.load_local(tmp_path, embed, follow=True, poll=None)
    else:
        follower.storage.catch_up()
    for asked, expected in [(["Y"], ["Y"]), (["X"], []), (["Z", "m29", "m3"], ["Z", "m29"]),
                            (["A", "B", "X", "Y"], ["A", "B", "Y"])]:
        found = follower.get_by_ids(asked)
        assert [d.id for d in found] == expected, asked
        assert [d.page_content for d in found] == [d.page_content for d in writer.get_by_ids(expected)]
