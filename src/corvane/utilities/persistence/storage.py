"""Records exchanged between the DAG tracker and a storage back-end.

The tracker always builds these records with keywords.  They are deliberately
plain: slotted dataclasses, no validation, so that building one per node or per
row value costs as little as possible on the tracking path.  Back-ends convert
and check the values when they store them.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = ["StoredNode", "StoredEdge", "StoredRowValue"]


@dataclass(slots=True, kw_only=True)
class StoredNode:
    """One DAG node as stored (one per distinct fingerprint and pipeline).

    ``persist_to_storage`` omits ``entity_hash``, ``chain_hash`` and
    ``metadata``; they default to None.
    """

    fingerprint: int
    node_type: str | None = None
    operation: str | None = None
    table_name: str | None = None
    column_name: str | None = None
    pair_id: int | None = None
    is_protected: bool = False
    entity_hash: int | None = None
    chain_hash: int | None = None
    metadata: Any = None
    pipeline_id: int | None = None


@dataclass(slots=True, kw_only=True)
class StoredEdge:
    """An edge identified by fingerprints: operand -> result, at ``input_position``."""

    parent_fingerprint: int
    child_fingerprint: int
    input_position: int = 0


@dataclass(slots=True, kw_only=True)
class StoredRowValue:
    """One per-row value of a pipeline run (numeric ``value`` or ``text_value``).

    ``pipeline_id`` 0 (or None) means "not attached to a pipeline".
    """

    pipeline_id: int | None
    row_index: int
    fingerprint: int
    node_operation: str
    value: float | None = None
    column_name: str | None = None
    tenant_id: str | None = None
    text_value: str | None = None
