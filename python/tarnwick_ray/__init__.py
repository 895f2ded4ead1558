"""One tarnwick vector store sharded over Ray actors (extra: tarnwick[ray])."""
from tarnwick_ray.sharded import ShardedVectorStorage, ShardUnavailableError, shard_of

__all__ = ["ShardedVectorStorage", "ShardUnavailableError", "shard_of"]
