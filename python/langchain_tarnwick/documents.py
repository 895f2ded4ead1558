"""Documents as payloads: a LangChain document's text, id and metadata as the
payload of one point (the text and id under reserved keys), and the filters a
search takes, split into what the store applies itself and what is tested
afterwards."""
from __future__ import annotations

import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from langchain_core.documents import Document

RESERVED_PREFIX = "__tarnwick_"
TEXT_KEY = RESERVED_PREFIX + "text"
ID_KEY = RESERVED_PREFIX + "id"
TENANT_KEY = "tenant_id"
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

Filter = dict[str, Any] | Callable[[Document], bool] | None


def check_value(key: str, value: Any, what: str = "metadata") -> None:
    """Raises unless value is one a payload keeps as it is: str, int (64-bit) or float."""
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise TypeError(
            f"{what} value under {key!r} is of type {type(value).__name__}: a tarnwick payload "
            "holds only str, int (64-bit) and float values; store it as one of those "
            "(for example json.dumps for a nested value)")
    if isinstance(value, int) and not INT64_MIN <= value <= INT64_MAX:
        raise OverflowError(f"{what} value under {key!r} does not fit in a signed 64-bit integer")


def payload_of(text: str, metadata: dict[str, Any] | None, doc_id: str) -> dict[str, Any]:
    """The payload of one document; raises for metadata a payload cannot hold whole."""
    if not isinstance(text, str):
        raise TypeError(f"page_content must be str, not {type(text).__name__}")
    payload: dict[str, Any] = {}
    for key, value in (metadata or {}).items():
        if not isinstance(key, str):
            raise TypeError(f"metadata keys must be str, not {type(key).__name__} ({key!r})")
        if key.startswith(RESERVED_PREFIX):
            raise ValueError(f"metadata key {key!r} is reserved: keys starting with "
                             f"{RESERVED_PREFIX!r} hold the document's own text and id")
        check_value(key, value)
        payload[key] = value
    payload[TEXT_KEY] = text
    payload[ID_KEY] = doc_id
    return payload


def document_of(payload: dict[str, Any]) -> Document:
    metadata = {k: v for k, v in payload.items() if not k.startswith(RESERVED_PREFIX)}
    return Document(id=payload[ID_KEY], page_content=payload[TEXT_KEY], metadata=metadata)


def split_filter(filter: Filter) -> tuple[str | None, dict[str, Any] | None,
                                        Callable[[Document], bool] | None]:
    """The tenant and the `where` filter the store applies itself, and a test of
    documents applied afterwards (a callable filter). Each part is None when unused.

    A dict filter is the store's own `where` language over the metadata ("$and",
    "$or", "$not" and field conditions such as {"year": {"$gte": 2020}}); the store
    checks it and names the place of a fault. A top-level "tenant_id" text goes to
    the tenant search, which answers exactly as `search` does."""
    if filter is None:
        return None, None, None
    if callable(filter):
        return None, None, filter
    if not isinstance(filter, dict):
        raise TypeError(f"filter must be a dict of metadata conditions or a callable, "
                        f"not {type(filter).__name__}")
    for key in field_keys(filter):
        if isinstance(key, str) and key.startswith(RESERVED_PREFIX):
            raise ValueError(f"filter key {key!r} is reserved: metadata keys never start "
                             f"with {RESERVED_PREFIX!r}")
    where = dict(filter)
    tenant = where.pop(TENANT_KEY) if isinstance(where.get(TENANT_KEY), str) else None
    return tenant, where or None, None


def field_keys(node: Any, depth: int = 0) -> Iterable[Any]:
    """The metadata keys a where filter names, at any depth of "$and", "$or" and
    "$not" (down to a depth beyond the store's own nesting limit)."""
    if not isinstance(node, dict) or depth > 40:
        return
    for key, value in node.items():
        if not (isinstance(key, str) and key.startswith("$")):
            yield key
        elif isinstance(value, dict):
            yield from field_keys(value, depth + 1)
        elif isinstance(value, (list, tuple)):
            for item in value:
                yield from field_keys(item, depth + 1)


def prepare(texts: list[str], metadatas: list[dict] | None,
            ids: Sequence[str | None] | None) -> tuple[list[str], list[dict[str, Any]]]:
    """The ids (a UUID where None) and payloads of documents to store, checked
    before anything is embedded or stored."""
    for name, items in (("metadatas", metadatas), ("ids", ids)):
        if items is not None and len(items) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(items)} {name}")
    doc_ids = [str(uuid.uuid4()) if i is None else check_id(i)
               for i in (ids if ids is not None else [None] * len(texts))]
    payloads = [payload_of(text, metadata, doc_id) for text, metadata, doc_id
                in zip(texts, metadatas or [None] * len(texts), doc_ids)]
    return doc_ids, payloads


def check_id(doc_id: Any) -> str:
    if not isinstance(doc_id, str):
        raise TypeError(f"document ids must be str, not {type(doc_id).__name__} ({doc_id!r})")
    return doc_id
