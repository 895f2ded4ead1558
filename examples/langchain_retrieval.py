"""Retrieval with LangChain over tarnwick: index a few notes, ask questions, filter
by metadata and by tenant, save and load the index. Runs offline: the embedding is
a small hashed bag of words, deterministic and local.

    scripts/setup.sh langchain && .venv/bin/python examples/langchain_retrieval.py
"""
import hashlib
import math
import re
import tempfile

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings

from langchain_tarnwick import TarnwickVectorStore

STOP_WORDS = {"a", "an", "the", "is", "are", "of", "to", "in", "on", "and", "what", "which",
              "how", "do", "does", "i", "my", "for", "with", "it", "its", "can", "by"}


class HashedBagOfWords(Embeddings):
    """Each word (crudely stemmed) adds +-1 to one of `size` coordinates chosen by
    its hash; vectors are normalised. Texts sharing words point the same way."""

    def __init__(self, size: int = 512) -> None:
        self.size = size

    def embed_query(self, text: str) -> list[float]:
        vector = [0.0] * self.size
        for word in re.findall(r"[a-z0-9]+", text.lower()):
            if word in STOP_WORDS:
                continue
            word = word[:6]  # "snapshots" and "snapshot" meet
            digest = hashlib.blake2b(word.encode(), digest_size=8).digest()
            slot = int.from_bytes(digest[:4], "little") % self.size
            vector[slot] += 1.0 if digest[4] & 1 else -1.0
        norm = math.sqrt(sum(x * x for x in vector)) or 1.0
        return [x / norm for x in vector]

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self.embed_query(t) for t in texts]


NOTES = [
    ("Snapshots are written to a temporary file and renamed over the target.", "storage", "acme"),
    ("A search below 500 points scans every point exactly.", "search", "acme"),
    ("From 500 points on, searches walk an HNSW graph with a beam of ef_search.", "search", "acme"),
    ("batch_search answers many queries at once on a pool of worker threads.", "search", "globex"),
    ("Payload values are texts, 64-bit integers or floats.", "storage", "globex"),
    ("The tenant_id payload text restricts a search to one tenant's points.", "search", "globex"),
    ("Deleting a point reconnects the graph around it and reuses its slot.", "storage", "acme"),
]


def show(title: str, docs: list[Document]) -> None:
    print(title)
    for doc in docs:
        print(f"   [{doc.id}] ({doc.metadata['topic']}, {doc.metadata['tenant_id']}) {doc.page_content}")


def main() -> None:
    store = TarnwickVectorStore.from_texts(
        [text for text, _, _ in NOTES], HashedBagOfWords(),
        metadatas=[{"topic": topic, "tenant_id": tenant} for _, topic, tenant in NOTES],
        ids=[f"note-{i}" for i in range(len(NOTES))])

    question = "How are snapshots written?"
    (best, score), = store.similarity_search_with_score(question, k=1)
    print(f"Q: {question}\n   best match (cosine {score:.3f}): {best.page_content}")
    assert best.id == "note-0"

    show("Q: graph search beam (topic 'search' only):",
         store.similarity_search("graph search beam", k=2, filter={"topic": "search"}))
    show("Q: worker threads, tenant globex (the store's own tenant search):",
         store.similarity_search("worker threads queries", k=2, filter={"tenant_id": "globex"}))

    retriever = store.as_retriever(search_type="mmr", search_kwargs={"k": 3, "fetch_k": 7})
    show("Retriever (maximal marginal relevance) for 'search points':",
         retriever.invoke("search points"))

    try:
        store.add_texts(["nested metadata"], [{"tags": ["a", "b"]}])
    except TypeError as error:
        print(f"Refused, nothing stored: {error}")

    with tempfile.TemporaryDirectory() as folder:
        store.save_local(folder)
        loaded = TarnwickVectorStore.load_local(folder, HashedBagOfWords())
        assert loaded.similarity_search(question, k=3) == store.similarity_search(question, k=3)
        print(f"Saved and loaded {len(loaded.storage)} documents; searches agree.")


if __name__ == "__main__":
    main()
