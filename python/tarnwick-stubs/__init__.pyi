# Types of the tarnwick extension module, for type checkers and editors. The
# methods are listed in the order of the class's method table; the tests and
# mypy's stubtest check both against the built module.
from collections.abc import Buffer, Callable, Mapping, Sequence
from os import PathLike
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, final, overload

__all__ = ["VectorStorage"]

# One vector: a sequence of numbers, or a 1-D buffer such as a NumPy array.
_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer
# Many vectors: a sequence of vectors, or a 2-D buffer.
_Vectors: TypeAlias = Sequence[_Vector] | Buffer
# Point ids: a sequence of integers from 0 to 2**64-1, or a 1-D integer buffer.
_PointIds: TypeAlias = Sequence[SupportsIndex] | Buffer
# A payload to store: its str, int and float values are kept, any other value is
# left out. (dict[str, Any] so that a dict[str, str] or a dict[str, object] fits.)
_PayloadIn: TypeAlias = dict[str, Any]
# A stored payload as get() returns it.
_Payload: TypeAlias = dict[str, str | int | float]
# A `where` filter: keys are payload keys (a value or an operator dict such as
# {"$gte": 2020, "$lt": 2025}) or "$and"/"$or" (a sequence of filters) and "$not"
# (a filter). The README's "Filters" section has the rules.
_FilterValue: TypeAlias = str | int | float
_Where: TypeAlias = Mapping[str, _FilterValue | Sequence[_FilterValue] | Sequence[_Where] | _Where]
_Hit: TypeAlias = tuple[int, float]
_PayloadHit: TypeAlias = tuple[int, float, _Payload | None]

@final
class VectorStorage:
    """Points (a 64-bit id, a float32 vector, an optional payload) and their HNSW graph."""

    def __new__(cls) -> VectorStorage: ...
    def __len__(self) -> int:
        """The number of stored points."""

    def __contains__(self, point_id: SupportsIndex, /) -> bool:
        """Whether a point is stored under the id; an int outside the id range is not."""

    def upsert(self, point_id: SupportsIndex, vector: _Vector, payload: _PayloadIn | None) -> None:
        """Inserts a point, or replaces the point stored under the same id whole."""

    def search(
        self, query_vector: _Vector, limit: SupportsIndex, metric: str, tenant_id: str | None = None
    ) -> list[tuple[int, float]]:
        """Up to `limit` (id, score) pairs, best first.

        Metrics: "cosine", "dot_product" ("dot"), "euclidean" ("l2"), in any letter case.
        With `tenant_id`, only points whose payload has that text under "tenant_id".
        """

    def batch_search(
        self, query_vectors: _Vectors, limit: SupportsIndex, metric: str, tenant_id: str | None = None
    ) -> list[list[tuple[int, float]]]:
        """One search result per query, in input order, answered on the worker pool."""

    def save(self, path: str) -> None:
        """Writes the whole store to one file; raises OSError on failure."""

    def load(self, path: str) -> None:
        """Replaces the whole store with a file's content; raises OSError on failure."""

    def batch_upsert(
        self,
        point_ids: _PointIds,
        vectors: _Vectors,
        payloads: Sequence[_PayloadIn | None] | None = None,
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Upserts many points, as a loop of `upsert` would; `progress(done, total)` after each chunk."""

    def delete(self, point_id: SupportsIndex) -> bool:
        """Removes the point stored under the id; True when there was one."""

    def batch_delete(self, point_ids: _PointIds) -> int:
        """Removes the points stored under any of the ids; returns how many there were."""

    def get(self, point_id: SupportsIndex) -> tuple[list[float], _Payload | None] | None:
        """The stored (vector, payload) of the id, or None."""

    @overload
    def query(
        self,
        query_vector: _Vector,
        limit: SupportsIndex = 10,
        metric: str = "cosine",
        *,
        where: _Where | None = None,
        tenant_id: str | None = None,
        ef: SupportsIndex | None = None,
        early_stop: bool | None = None,
        with_payload: Literal[False] = False,
    ) -> list[_Hit]:
        """Up to `limit` hits, best first, among the points `where` and `tenant_id` select.

        `ef` overrides the beam (1..4096) for this call; `early_stop=True` takes
        the fast walk (navigates by compact codes, stops early, scores the
        nearest few exactly), False the walk `search` takes, None the store's
        `early_stop` setting. Points that cannot be compared with the vector
        (another length; under cosine, zero vectors) are never returned: the
        one way it differs from `search`. With `with_payload`, each hit is
        (id, score, payload). Releases the GIL.
        """

    @overload
    def query(
        self,
        query_vector: _Vector,
        limit: SupportsIndex = 10,
        metric: str = "cosine",
        *,
        where: _Where | None = None,
        tenant_id: str | None = None,
        ef: SupportsIndex | None = None,
        early_stop: bool | None = None,
        with_payload: Literal[True],
    ) -> list[_PayloadHit]: ...
    @overload
    def query(
        self,
        query_vector: _Vector,
        limit: SupportsIndex = 10,
        metric: str = "cosine",
        *,
        where: _Where | None = None,
        tenant_id: str | None = None,
        ef: SupportsIndex | None = None,
        early_stop: bool | None = None,
        with_payload: bool,
    ) -> list[_Hit] | list[_PayloadHit]: ...
    @overload
    def batch_query(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex = 10,
        metric: str = "cosine",
        *,
        where: _Where | None = None,
        tenant_id: str | None = None,
        ef: SupportsIndex | None = None,
        early_stop: bool | None = None,
        with_payload: Literal[False] = False,
    ) -> list[list[_Hit]]:
        """One `query` result per query vector, in input order, answered on the worker pool."""

    @overload
    def batch_query(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex = 10,
        metric: str = "cosine",
        *,
        where: _Where | None = None,
        tenant_id: str | None = None,
        ef: SupportsIndex | None = None,
        early_stop: bool | None = None,
        with_payload: Literal[True],
    ) -> list[list[_PayloadHit]]: ...
    @overload
    def batch_query(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex = 10,
        metric: str = "cosine",
        *,
        where: _Where | None = None,
        tenant_id: str | None = None,
        ef: SupportsIndex | None = None,
        early_stop: bool | None = None,
        with_payload: bool,
    ) -> list[list[_Hit]] | list[list[_PayloadHit]]: ...
    def open_log(self, path: str | PathLike[str], *, sync: Literal["always", "batch", "none"] = "always") -> None:
        """Opens (replaying an existing one) a write-ahead log of every later change; raises OSError on failure."""

    def close_log(self) -> None:
        """Closes the open write-ahead log, if any, syncing what it has not synced."""

    def follow_log(self, path: str | PathLike[str], *, poll: float | None = 0.05,
                   priority: Literal["low", "normal"] = "low") -> None:
        """Follows the log another process writes, after `load` of its snapshot; refuses changes meanwhile."""

    def catch_up(self) -> int:
        """Applies what the followed log holds beyond what was applied; returns how many records."""

    def stop_following(self) -> None:
        """Stops following the log; the store takes changes again."""

    @property
    def ef_search(self) -> int:
        """The beam width of graph searches, from 1 to 4096; saved in snapshots."""

    @ef_search.setter
    def ef_search(self, value: SupportsIndex, /) -> None: ...
    @property
    def m(self) -> int:
        """The link budget per node and layer (twice this at layer 0)."""

    @property
    def ef_construction(self) -> int:
        """The beam width of graph insertion."""

    @property
    def log_path(self) -> str | None:
        """The path of the open write-ahead log, or None."""

    @property
    def followed_log(self) -> str | None:
        """The path of the log this store follows, or None."""

    @property
    def early_stop(self) -> bool:
        """Whether query/batch_query take the fast walk when a call leaves early_stop None; not saved."""

    @early_stop.setter
    def early_stop(self, value: bool, /) -> None: ...
    @property
    def change_count(self) -> int:
        """How many changes the store has taken (its own and a followed log's); moves whenever the content may have."""
