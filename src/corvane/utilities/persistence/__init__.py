"""Persistence component of corvane (spec Part 2.8).

Records (``StoredNode``, ``StoredEdge``, ``StoredRowValue``) and storage
back-ends.  Keep this file to explicit imports: other back-ends and the
writer are appended below.
"""

from corvane.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue
from corvane.utilities.persistence.sqlite import SQLiteStorage, StorageError, NotFoundError

__all__ = [
    "StoredNode",
    "StoredEdge",
    "StoredRowValue",
    "SQLiteStorage",
    "StorageError",
    "NotFoundError",
]
