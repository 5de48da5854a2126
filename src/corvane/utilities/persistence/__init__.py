"""Persistence component of corvane.

Records (``StoredNode``, ``StoredEdge``, ``StoredRowValue``), the background
``AsyncWriter`` with its ``WriterConfig``, and two storage back-ends:
``HostedStorage`` (HTTP to the service) and ``SQLiteStorage`` (an embedded
database file).
"""

from corvane.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue
from corvane.utilities.persistence.sqlite import SQLiteStorage, StorageError, NotFoundError
from corvane.utilities.persistence.writer import AsyncWriter, TransientStorageError, WriterConfig
from corvane.utilities.persistence.hosted import HostedStorage, StorageHTTPError, StorageRequestError

__all__ = [
    "StoredNode",
    "StoredEdge",
    "StoredRowValue",
    "SQLiteStorage",
    "StorageError",
    "NotFoundError",
    "AsyncWriter",
    "WriterConfig",
    "TransientStorageError",
    "HostedStorage",
    "StorageHTTPError",
    "StorageRequestError",
]
