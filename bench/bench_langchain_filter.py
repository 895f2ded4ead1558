"""LangChain benchmark: TarnwickVectorStore.similarity_search (k 4) with a metadata
filter matching 1% of the documents against the same search unfiltered, at two
store sizes, so that the filtered time and its growth with the store's size can
be set against the unfiltered search's.

Data: the first N vectors of bench_graph's clustered set (d = 128, cosine), each
document's metadata an integer "group" (i % 100) and a text "tag" (f"g{i % 100}"),
so a group is 1% of the store, spread over every cluster. Queries are held-out
vectors of the same set; the embedding model looks their texts up.

Filters timed: a dict on the integer (pushed down into the store's `where`), a
dict on the text, and the same condition as a callable (tested on the store's
results, each round asking for more). Recall@4 is against the exact filtered top 4.

Usage: .venv/bin/python bench/bench_langchain_filter.py [--sizes 20000 80000]
    [--queries 200] [--rounds 5] [--out langchain_filter.txt]
Writes bench/results/langchain_filter.txt. (With PYTHONPATH set to an older
langchain_tarnwick and another --out, the same figures for that version.)
"""
import argparse
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np
from langchain_core.embeddings import Embeddings

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_graph  # noqa: E402

from langchain_tarnwick import TarnwickVectorStore  # noqa: E402

RESULTS = HERE / "results"
K = 4


class LookupEmbeddings(Embeddings):
    """Texts "p<i>" and "q<i>" embed to the i-th base or query vector."""

    def __init__(self, base, queries):
        self.rows = {"p": base, "q": queries}

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text):
        return self.rows[text[0]][int(text[1:])].tolist()


def cpu_model():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def time_searches(store, texts, filter, rounds):
    """(best mean milliseconds per query over rounds, results of the last round)."""
    best, found = float("inf"), []
    for _ in range(rounds):
        start = time.perf_counter()
        found = [store.similarity_search(t, k=K, filter=filter) for t in texts]
        best = min(best, (time.perf_counter() - start) / len(texts) * 1000)
    return best, found


def filtered_truth(base, queries, members):
    unit = base[members] / np.linalg.norm(base[members], axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    sims = q @ unit.T
    return [set(members[np.argsort(-row, kind="stable")[:K]].tolist()) for row in sims]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[20_000, 80_000])
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", default="langchain_filter.txt",
                        help="result file name in bench/results")
    args = parser.parse_args()
    if bench_graph.threadpool_limits is not None:
        bench_graph.threadpool_limits(1)
    lines = []

    def report(text):
        print(text, flush=True)
        lines.append(text)

    report(f"# command: .venv/bin/python bench/bench_langchain_filter.py {' '.join(sys.argv[1:])}".rstrip())
    import langchain_tarnwick
    report(f"# langchain_tarnwick from {Path(langchain_tarnwick.__file__).parent}")
    report(f"# machine: {cpu_model()}, {os.cpu_count()} logical CPUs, load average "
           f"{' '.join(f'{x:.2f}' for x in os.getloadavg())} at start (shared machine)")
    report(f"# each time is the best of {args.rounds} rounds of {args.queries} queries, mean ms "
           f"per similarity_search (k {K}, cosine, one thread); filters match 1% of the store")
    all_base, all_queries, _, _ = bench_graph.clustered_set(100_000, 1000)
    queries = all_queries[:args.queries]
    texts = [f"q{i}" for i in range(len(queries))]
    group = 7
    rows = []
    for size in args.sizes:
        base = all_base[:size]
        embed = LookupEmbeddings(base, queries)
        metadatas = [{"group": i % 100, "tag": f"g{i % 100}"} for i in range(size)]
        start = time.perf_counter()
        store = TarnwickVectorStore.from_texts([f"p{i}" for i in range(size)], embed, metadatas,
                                               ids=[str(i) for i in range(size)])
        build = time.perf_counter() - start
        members = np.flatnonzero(np.arange(size) % 100 == group)
        truth = filtered_truth(base, queries, members)
        cases = [("unfiltered", None),
                 ("dict {'group': 7}", {"group": group}),
                 ("dict {'tag': 'g7'}", {"tag": f"g{group}"}),
                 ("callable group == 7", lambda d: d.metadata["group"] == group)]
        times = {}
        report(f"## {size} documents ({len(members)} in the group; built in {build:.1f} s)")
        for name, filter in cases:
            ms, found = time_searches(store, texts, filter, args.rounds)
            times[name] = ms
            note = ""
            if filter is not None:
                got = [{int(d.id) for d in docs} for docs in found]
                hits = np.mean([len(g & t) / K for g, t in zip(got, truth)])
                note = f", recall@{K} {hits:.4f} vs the exact filtered top {K}"
            report(f"{name:24s} {ms:8.3f} ms per query{note}")
        plain = times["unfiltered"]
        report(f"filtered / unfiltered: integer dict {times[cases[1][0]] / plain:.2f}x, "
               f"text dict {times[cases[2][0]] / plain:.2f}x, callable {times[cases[3][0]] / plain:.2f}x")
        rows.append((size, times))
        del store
    if len(rows) >= 2:
        (small, t_small), (large, t_large) = rows[0], rows[-1]
        for name in t_small:
            report(f"growth {small} -> {large}: {name:24s} {t_large[name] / t_small[name]:.2f}x")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / args.out).write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
