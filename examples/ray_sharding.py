"""One tarnwick store sharded over Ray actors: fill it, search it, save and load it.

    scripts/setup.sh ray && .venv/bin/python examples/ray_sharding.py           # local Ray
    .venv/bin/python examples/ray_sharding.py --address auto --save /shared/dir  # a cluster

On a cluster, every node needs `pip install "tarnwick[ray]"`, and --save must name
a directory every node sees at the same path (each shard writes its own file).
"""
import argparse
import tempfile

import numpy as np
import ray

from tarnwick import VectorStorage
from tarnwick_ray import ShardedVectorStorage


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--address", help="a running cluster (e.g. 'auto' or ray://head:10001); "
                        "default: start Ray on this machine")
    parser.add_argument("--shards", type=int, default=2)
    parser.add_argument("--save", help="snapshot directory (default: a temporary one)")
    args = parser.parse_args()
    if args.address:
        ray.init(address=args.address)
    else:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)

    rng = np.random.default_rng(7)
    vectors = rng.normal(size=(10_000, 64)).astype(np.float32)
    payloads = [{"tenant_id": f"tenant-{i % 4}", "rank": i} for i in range(len(vectors))]

    store = ShardedVectorStorage(args.shards, threads_per_shard=1)
    store.batch_upsert(np.arange(len(vectors)), vectors, payloads)
    print(f"{len(store)} points on {store.shards} shards")

    queries = rng.normal(size=(5, 64)).astype(np.float32)
    print("best 3 for the first query:", store.search(queries[0], 3, "cosine"))
    per_query = store.batch_search(queries, 10, "euclidean", tenant_id="tenant-2")
    assert all(payloads[i]["tenant_id"] == "tenant-2" for result in per_query for i, _ in result)
    print("tenant-2, nearest by l2 for each query:", [result[0] for result in per_query])

    # The shards hold exactly the points one in-process store would.
    one = VectorStorage()
    one.batch_upsert(np.arange(len(vectors)), vectors, payloads)
    assert store.get(1234) == one.get(1234)

    with tempfile.TemporaryDirectory() as scratch:
        directory = args.save or scratch
        store.save(directory)
        again = ShardedVectorStorage(args.shards)
        again.load(directory)
        assert again.batch_search(queries, 10, "cosine") == store.batch_search(queries, 10, "cosine")
        print(f"saved to and loaded from {directory}: searches agree")
    ray.shutdown()


if __name__ == "__main__":
    main()
