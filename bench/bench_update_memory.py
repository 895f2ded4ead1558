"""Memory, speed and recall after rounds of updates of the same ids, against a
fresh build of the same content (20,000 x 64 clustered float32 points, cosine).

Each run is its own process (resident memory is per process):
  python bench/bench_update_memory.py fresh     # one batch_upsert of the final content
  python bench/bench_update_memory.py updated   # a build, then rounds alternating
                                                # batch_upsert and an upsert loop
  python bench/bench_update_memory.py deleted   # a build, then rounds that batch_delete
                                                # a fifth of the points and store them again
Prints resident memory per point before and after malloc_trim(0), the time of
each round, and search time and recall@10 (ef_search 64) at the end.
"""
import ctypes
import sys
import time

import numpy as np

from tarnwick import VectorStorage

LIBC = ctypes.CDLL("libc.so.6")
N, DIM, ROUNDS, QUERIES = 20_000, 64, 6, 500


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def trimmed():
    LIBC.malloc_trim(0)
    return rss()


def clustered(seed, count):
    centres = np.random.default_rng(1).normal(size=(100, DIM)).astype(np.float32)
    rng = np.random.default_rng(seed)
    return (centres[rng.integers(0, 100, count)] + 1.8 * rng.normal(size=(count, DIM))).astype(np.float32)


def main():
    mode = sys.argv[1]
    ids = np.arange(N, dtype=np.uint64)
    sets = [clustered(100 + r, N) for r in range(ROUNDS + 1)]  # each round moves every point
    queries = clustered(99, QUERIES)
    final = sets[-1]
    normed = final / np.linalg.norm(final, axis=1, keepdims=True)
    sims = (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ normed.T
    truth = np.argsort(-sims, axis=1)[:, :10]
    del sims, normed
    base = trimmed()
    store = VectorStorage()
    if mode == "fresh":
        t = time.perf_counter()
        store.batch_upsert(ids, final)
        print(f"fresh build: {time.perf_counter() - t:.2f} s, {(rss() - base) / N:.0f} B/point, "
              f"trimmed {(trimmed() - base) / N:.0f}", flush=True)
    elif mode == "deleted":
        store.batch_upsert(ids, final)
        print(f"first build: {(rss() - base) / N:.0f} B/point, trimmed {(trimmed() - base) / N:.0f}",
              flush=True)
        for r in range(ROUNDS):
            fifth = ids[r % 5::5]
            t = time.perf_counter()
            store.batch_delete(fifth.tolist())
            store.batch_upsert(fifth, final[r % 5::5])
            print(f"round {r} batch_delete + batch_upsert of a fifth: {time.perf_counter() - t:.2f} s, "
                  f"{(rss() - base) / N:.0f} B/point, trimmed {(trimmed() - base) / N:.0f}", flush=True)
    else:
        store.batch_upsert(ids, sets[0])
        print(f"first build: {(rss() - base) / N:.0f} B/point, trimmed {(trimmed() - base) / N:.0f}",
              flush=True)
        for r in range(ROUNDS):
            vectors = sets[r + 1]
            t = time.perf_counter()
            if r % 2 == 0:
                how = "batch_upsert"
                store.batch_upsert(ids, vectors)
            else:
                how = "upsert loop "
                for i in range(N):
                    store.upsert(i, vectors[i], None)
            took = time.perf_counter() - t
            print(f"round {r} {how}: {took:.2f} s, {(rss() - base) / N:.0f} B/point, "
                  f"trimmed {(trimmed() - base) / N:.0f}", flush=True)
    store.ef_search = 64
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        found = [[pid for pid, _ in store.search(q, 10, "cosine")] for q in queries]
        best = min(best, time.perf_counter() - t)
    recall = np.mean([len(set(f) & set(t.tolist())) / 10 for f, t in zip(found, truth)])
    print(f"search: {best / QUERIES * 1e6:.0f} us a query (best of 3), recall@10 {recall:.3f}", flush=True)


if __name__ == "__main__":
    main()
