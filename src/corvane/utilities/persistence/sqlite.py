"""Embedded SQLite storage back-end, standard library only.

``SQLiteStorage(path)`` offers every storage call the DAG tracker relies on
(``connect``, ``create_pipeline``, ``register_source``, ``store_nodes``,
``get_fingerprint_node_map``, ``store_edges_resolved``, ``store_results``,
``complete_pipeline``, ``disconnect``) plus what the reference service and the
asynchronous writer need: fingerprint edges, row values, dashboard documents
and read-back queries.

Design:

* one SQLite file in WAL mode; the schema is versioned (table
  ``schema_version``) and created or migrated on ``connect``;
* one connection shared by all threads and guarded by a lock; every public
  call is one transaction (``BEGIN IMMEDIATE`` ... ``COMMIT``), so a failing
  call stores nothing;
* a node is identified by (pipeline, fingerprint): storing the same
  fingerprint twice in a pipeline keeps the first record (and fills in hashes
  or metadata it lacked).  Pipeline id 0 (or None) means "no pipeline";
* non-finite floats are stored as NULL values (SQLite has no NaN); for row
  values without text the text becomes "nan", "inf" or "-inf".
"""

from __future__ import annotations

import json
import math
import operator
import sqlite3
import threading
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from datetime import datetime, timezone
from typing import Any

__all__ = ["SQLiteStorage", "StorageError", "NotFoundError", "SCHEMA_VERSION"]

SCHEMA_VERSION = 1

_MIGRATIONS: dict[int, str] = {
    1: """
CREATE TABLE pipelines (
    id           INTEGER PRIMARY KEY AUTOINCREMENT,
    name         TEXT NOT NULL,
    tenant_id    TEXT,
    git_commit   TEXT,
    config       TEXT,
    status       TEXT NOT NULL DEFAULT 'running',
    created_at   TEXT NOT NULL,
    completed_at TEXT
);
CREATE TABLE sources (
    id           INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id  INTEGER NOT NULL DEFAULT 0,
    pair_id      INTEGER NOT NULL,
    table_name   TEXT NOT NULL,
    column_name  TEXT NOT NULL,
    is_protected INTEGER NOT NULL DEFAULT 0,
    registered_at TEXT NOT NULL,
    UNIQUE (pipeline_id, pair_id, table_name, column_name)
);
CREATE TABLE nodes (
    id           INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id  INTEGER NOT NULL DEFAULT 0,
    fingerprint  INTEGER NOT NULL,
    node_type    TEXT,
    operation    TEXT,
    table_name   TEXT,
    column_name  TEXT,
    pair_id      INTEGER,
    is_protected INTEGER NOT NULL DEFAULT 0,
    entity_hash  INTEGER,
    chain_hash   INTEGER,
    metadata     TEXT,
    UNIQUE (pipeline_id, fingerprint)
);
CREATE TABLE edges (
    id             INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id    INTEGER NOT NULL DEFAULT 0,
    parent_node_id INTEGER NOT NULL REFERENCES nodes (id),
    child_node_id  INTEGER NOT NULL REFERENCES nodes (id),
    input_position INTEGER NOT NULL,
    UNIQUE (parent_node_id, child_node_id, input_position)
);
CREATE INDEX edges_by_pipeline ON edges (pipeline_id);
CREATE TABLE fingerprint_edges (
    id                 INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id        INTEGER NOT NULL DEFAULT 0,
    parent_fingerprint INTEGER NOT NULL,
    child_fingerprint  INTEGER NOT NULL,
    input_position     INTEGER NOT NULL DEFAULT 0,
    UNIQUE (pipeline_id, parent_fingerprint, child_fingerprint, input_position)
);
CREATE INDEX fingerprint_edges_by_child ON fingerprint_edges (child_fingerprint);
CREATE TABLE results (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id INTEGER NOT NULL,
    row_key     TEXT NOT NULL,
    output_name TEXT NOT NULL,
    fingerprint INTEGER NOT NULL,
    value       REAL,
    input_hash  TEXT,
    UNIQUE (pipeline_id, row_key, output_name)
);
CREATE TABLE row_values (
    id             INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id    INTEGER NOT NULL DEFAULT 0,
    row_index      INTEGER NOT NULL,
    fingerprint    INTEGER NOT NULL,
    node_operation TEXT NOT NULL,
    column_name    TEXT,
    value          REAL,
    text_value     TEXT,
    tenant_id      TEXT
);
CREATE INDEX row_values_by_pipeline ON row_values (pipeline_id, row_index);
CREATE TABLE dashboard_documents (
    id                   INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id          INTEGER,
    model_id             TEXT,
    has_disparate_impact INTEGER,
    document             TEXT NOT NULL,
    received_at          TEXT NOT NULL
);
CREATE INDEX dashboard_by_pipeline ON dashboard_documents (pipeline_id);
""",
}

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


# Fingerprint edges of pipeline ? (three parameters): stored for it, or stored without a
# pipeline with both ends among its nodes.
_FP_EDGES_OF_PIPELINE = (
    "(f.pipeline_id = :pid OR (f.pipeline_id = 0 "
    "AND EXISTS (SELECT 1 FROM nodes n WHERE n.pipeline_id = :pid AND n.fingerprint = f.parent_fingerprint) "
    "AND EXISTS (SELECT 1 FROM nodes n WHERE n.pipeline_id = :pid AND n.fingerprint = f.child_fingerprint)))"
)


class StorageError(Exception):
    """A storage call failed; nothing of that call was stored."""


class NotFoundError(StorageError, LookupError):
    """A pipeline or node id given to a storage call does not exist."""


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds")


def _int(value: Any, what: str) -> int:
    """An SQLite-representable int from any integral value (numpy ints included)."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}") from None
    if not _INT64_MIN <= number <= _INT64_MAX:
        raise ValueError(f"{what} out of the 64-bit range: {number}")
    return number


def _opt_int(value: Any, what: str) -> int | None:
    return None if value is None else _int(value, what)


def _pipeline_key(value: Any) -> int:
    """Pipeline id as stored: None means 0, "no pipeline"."""
    return 0 if value is None else _int(value, "pipeline_id")


def _opt_str(value: Any, what: str) -> str | None:
    if value is None or isinstance(value, str):
        return value
    raise TypeError(f"{what} must be a str or None, got {type(value).__name__}")


def _str(value: Any, what: str) -> str:
    if isinstance(value, str):
        return value
    raise TypeError(f"{what} must be a str, got {type(value).__name__}")


def _float(value: Any, what: str) -> float | None:
    """A finite float or None (NaN and infinities become None)."""
    if value is None:
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def _json_text(value: Any) -> str | None:
    if value is None:
        return None
    return json.dumps(value, default=str, allow_nan=False, separators=(",", ":"))


def _json_value(text: str | None) -> Any:
    return None if text is None else json.loads(text)


class SQLiteStorage:
    """Storage back-end on one SQLite file (``":memory:"`` works too).

    Thread-safe: one connection shared by all threads under a lock.  Calls
    connect automatically when needed; ``connect``/``disconnect`` can also be
    called explicitly, and the object is a context manager.
    """

    def __init__(self, path: str | Any, *, timeout: float = 30.0) -> None:
        self.path = str(path)
        self._timeout = float(timeout)
        self._lock = threading.RLock()
        self._conn: sqlite3.Connection | None = None

    def __repr__(self) -> str:
        return f"SQLiteStorage({self.path!r})"

    # -- connection and schema -------------------------------------------------

    def connect(self) -> None:
        """Open the database file, switch it to WAL and create/migrate the schema."""
        with self._lock:
            if self._conn is not None:
                return
            conn = sqlite3.connect(
                self.path, timeout=self._timeout, isolation_level=None, check_same_thread=False
            )
            try:
                conn.execute("PRAGMA journal_mode=WAL")
                conn.execute("PRAGMA synchronous=NORMAL")
                conn.execute("PRAGMA foreign_keys=ON")
                conn.execute(f"PRAGMA busy_timeout={int(self._timeout * 1000)}")
                self._migrate(conn)
            except BaseException:
                conn.close()
                raise
            self._conn = conn

    def disconnect(self) -> None:
        """Close the connection (harmless when not connected)."""
        with self._lock:
            conn, self._conn = self._conn, None
            if conn is not None:
                conn.close()

    close = disconnect

    def __enter__(self) -> SQLiteStorage:
        self.connect()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.disconnect()

    @property
    def connected(self) -> bool:
        return self._conn is not None

    @staticmethod
    def _migrate(conn: sqlite3.Connection) -> None:
        conn.execute("BEGIN IMMEDIATE")
        try:
            conn.execute(
                "CREATE TABLE IF NOT EXISTS schema_version "
                "(version INTEGER NOT NULL, applied_at TEXT NOT NULL)"
            )
            (current,) = conn.execute("SELECT COALESCE(MAX(version), 0) FROM schema_version").fetchone()
            if current > SCHEMA_VERSION:
                raise StorageError(
                    f"database schema version {current} is newer than this corvane "
                    f"supports ({SCHEMA_VERSION})"
                )
            for version in range(current + 1, SCHEMA_VERSION + 1):
                for statement in _MIGRATIONS[version].split(";"):
                    if statement.strip():
                        conn.execute(statement)
                conn.execute("INSERT INTO schema_version VALUES (?, ?)", (version, _now()))
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise

    def schema_version(self) -> int:
        with self._read() as conn:
            return conn.execute("SELECT MAX(version) FROM schema_version").fetchone()[0]

    @contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        """One write transaction under the lock; rolled back on any exception."""
        with self._lock:
            if self._conn is None:
                self.connect()
            conn = self._conn
            assert conn is not None
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield conn
            except BaseException:
                conn.execute("ROLLBACK")
                raise
            conn.execute("COMMIT")

    @contextmanager
    def _read(self) -> Iterator[sqlite3.Connection]:
        """A consistent read (one deferred transaction) under the lock."""
        with self._lock:
            if self._conn is None:
                self.connect()
            conn = self._conn
            assert conn is not None
            conn.execute("BEGIN")
            try:
                yield conn
            finally:
                conn.execute("COMMIT")

    @staticmethod
    def _check_pipeline(conn: sqlite3.Connection, pipeline_id: int) -> None:
        """Raise NotFoundError unless ``pipeline_id`` is 0 (no pipeline) or exists."""
        if pipeline_id and conn.execute("SELECT 1 FROM pipelines WHERE id = ?", (pipeline_id,)).fetchone() is None:
            raise NotFoundError(f"unknown pipeline {pipeline_id}")

    # -- calls of the storage interface -----------------------------

    def create_pipeline(
        self,
        pipeline_name: str | None = None,
        config: Mapping[str, Any] | None = None,
        git_commit: str | None = None,
        tenant_id: str | None = None,
    ) -> int:
        """Create a pipeline run ("running") and return its id (an int from 1).

        Both call forms work: ``create_pipeline(name)`` and
        ``create_pipeline(pipeline_name=..., config=..., git_commit=..., tenant_id=...)``.
        """
        name = _str(pipeline_name if pipeline_name is not None else "unnamed", "pipeline_name")
        git_commit = _opt_str(git_commit, "git_commit")
        tenant_id = _opt_str(tenant_id, "tenant_id")
        config_text = _json_text(config)
        with self._transaction() as conn:
            cursor = conn.execute(
                "INSERT INTO pipelines (name, tenant_id, git_commit, config, created_at) "
                "VALUES (?, ?, ?, ?, ?)",
                (name, tenant_id, git_commit, config_text, _now()),
            )
            return int(cursor.lastrowid)

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        """Set a pipeline's status ("completed", "failed", ...) and completion time."""
        pid = _int(pipeline_id, "pipeline_id")
        status = _str(status, "status")
        if not status:
            raise ValueError("status must not be empty")
        with self._transaction() as conn:
            cursor = conn.execute(
                "UPDATE pipelines SET status = ?, completed_at = ? WHERE id = ?", (status, _now(), pid)
            )
            if cursor.rowcount == 0:
                raise NotFoundError(f"unknown pipeline {pid}")

    def register_source(
        self,
        pair_id: int,
        table: str,
        column: str,
        is_protected: bool = False,
        pipeline_id: int | None = None,
    ) -> None:
        """Register a source (table, column) under its pair id; re-registering updates it."""
        self.register_sources([(pair_id, table, column, is_protected)], pipeline_id=pipeline_id)

    def register_sources(
        self, sources: Iterable[tuple[int, str, str, bool]], pipeline_id: int | None = None
    ) -> int:
        """Register several (pair_id, table, column, is_protected) sources in one transaction."""
        pid = _pipeline_key(pipeline_id)
        rows = [
            (pid, _int(pair, "pair_id"), _str(table, "table"), _str(column, "column"), int(bool(prot)), _now())
            for pair, table, column, prot in sources
        ]
        with self._transaction() as conn:
            self._check_pipeline(conn, pid)
            conn.executemany(
                "INSERT INTO sources (pipeline_id, pair_id, table_name, column_name, is_protected, registered_at) "
                "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (pipeline_id, pair_id, table_name, column_name) "
                "DO UPDATE SET is_protected = excluded.is_protected",
                rows,
            )
        return len(rows)

    def store_nodes(self, nodes: Iterable[Any]) -> int:
        """Store ``StoredNode`` records (any objects with the same attributes).

        A fingerprint already stored in the same pipeline keeps its first record;
        hashes and metadata missing from it are filled in.  Returns the number
        of records given.
        """
        rows = []
        for node in nodes:
            rows.append(
                (
                    _pipeline_key(node.pipeline_id),
                    _int(node.fingerprint, "fingerprint"),
                    _opt_str(node.node_type, "node_type"),
                    _opt_str(node.operation, "operation"),
                    _opt_str(node.table_name, "table_name"),
                    _opt_str(node.column_name, "column_name"),
                    _opt_int(node.pair_id, "pair_id"),
                    int(bool(node.is_protected)),
                    _opt_int(getattr(node, "entity_hash", None), "entity_hash"),
                    _opt_int(getattr(node, "chain_hash", None), "chain_hash"),
                    _json_text(getattr(node, "metadata", None)),
                )
            )
        with self._transaction() as conn:
            for pid in {row[0] for row in rows}:
                self._check_pipeline(conn, pid)
            conn.executemany(
                "INSERT INTO nodes (pipeline_id, fingerprint, node_type, operation, table_name, "
                "column_name, pair_id, is_protected, entity_hash, chain_hash, metadata) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (pipeline_id, fingerprint) DO UPDATE SET "
                "entity_hash = COALESCE(nodes.entity_hash, excluded.entity_hash), "
                "chain_hash = COALESCE(nodes.chain_hash, excluded.chain_hash), "
                "metadata = COALESCE(nodes.metadata, excluded.metadata)",
                rows,
            )
        return len(rows)

    def get_fingerprint_node_map(self, pipeline_id: int | None) -> dict[int, int]:
        """{fingerprint: stored node id} of a pipeline (empty for an unknown one)."""
        pid = _pipeline_key(pipeline_id)
        with self._read() as conn:
            return dict(conn.execute("SELECT fingerprint, id FROM nodes WHERE pipeline_id = ?", (pid,)))

    def store_edges_resolved(self, rows: Iterable[tuple[int, int, int]]) -> int:
        """Store edges given as (parent node id, child node id, input position).

        An edge already stored is kept once; an unknown node id fails the whole
        call with NotFoundError.  The edge belongs to the child's pipeline.
        """
        edges = [
            (_int(parent, "parent node id"), _int(child, "child node id"), _int(pos, "input_position"))
            for parent, child, pos in rows
        ]
        with self._transaction() as conn:
            ids = {node_id for edge in edges for node_id in edge[:2]}
            pipeline_of = self._node_pipelines(conn, ids)
            missing = sorted(ids - pipeline_of.keys())
            if missing:
                raise NotFoundError(f"unknown node id(s): {missing[:10]}")
            conn.executemany(
                "INSERT OR IGNORE INTO edges (pipeline_id, parent_node_id, child_node_id, input_position) "
                "VALUES (?, ?, ?, ?)",
                [(pipeline_of[child], parent, child, pos) for parent, child, pos in edges],
            )
        return len(edges)

    @staticmethod
    def _node_pipelines(conn: sqlite3.Connection, ids: set[int]) -> dict[int, int]:
        found: dict[int, int] = {}
        id_list = sorted(ids)
        for start in range(0, len(id_list), 500):
            chunk = id_list[start : start + 500]
            marks = ",".join("?" * len(chunk))
            found.update(conn.execute(f"SELECT id, pipeline_id FROM nodes WHERE id IN ({marks})", chunk))
        return found

    def store_results(self, pipeline_id: int, rows: Iterable[tuple[Any, ...]]) -> int:
        """Store result rows (row key, output name, fingerprint, value, input hash).

        A (row key, output name) already stored for the pipeline is replaced.
        """
        pid = _int(pipeline_id, "pipeline_id")
        records = [
            (
                pid,
                _str(key, "row_key"),
                _str(name, "output_name"),
                _int(fingerprint, "fingerprint"),
                _float(value, "value"),
                _opt_str(input_hash, "input_hash"),
            )
            for key, name, fingerprint, value, input_hash in rows
        ]
        with self._transaction() as conn:
            self._check_pipeline(conn, pid)
            if not pid:
                raise NotFoundError("results need a pipeline")
            conn.executemany(
                "INSERT INTO results (pipeline_id, row_key, output_name, fingerprint, value, input_hash) "
                "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (pipeline_id, row_key, output_name) DO UPDATE SET "
                "fingerprint = excluded.fingerprint, value = excluded.value, input_hash = excluded.input_hash",
                records,
            )
        return len(records)

    # -- further calls used by the writer and the service ----------------------

    def store_edges(self, edges: Iterable[Any], pipeline_id: int | None = None) -> int:
        """Store ``StoredEdge`` records (edges identified by fingerprints).

        ``pipeline_id`` attaches them to a pipeline (None: no pipeline); an
        edge already stored is kept once.
        """
        pid = _pipeline_key(pipeline_id)
        rows = [
            (
                pid,
                _int(edge.parent_fingerprint, "parent_fingerprint"),
                _int(edge.child_fingerprint, "child_fingerprint"),
                _int(getattr(edge, "input_position", 0) or 0, "input_position"),
            )
            for edge in edges
        ]
        with self._transaction() as conn:
            self._check_pipeline(conn, pid)
            conn.executemany(
                "INSERT OR IGNORE INTO fingerprint_edges "
                "(pipeline_id, parent_fingerprint, child_fingerprint, input_position) VALUES (?, ?, ?, ?)",
                rows,
            )
        return len(rows)

    def store_row_values(self, values: Iterable[Any]) -> int:
        """Store ``StoredRowValue`` records (appended; pipeline 0/None: no pipeline)."""
        rows = []
        for item in values:
            raw = item.value
            number = _float(raw, "value")
            text = _opt_str(item.text_value, "text_value")
            if raw is not None and number is None and text is None:
                text = repr(float(raw))  # "nan", "inf", "-inf"
            rows.append(
                (
                    _pipeline_key(item.pipeline_id),
                    _int(item.row_index, "row_index"),
                    _int(item.fingerprint, "fingerprint"),
                    _str(item.node_operation, "node_operation"),
                    _opt_str(item.column_name, "column_name"),
                    number,
                    text,
                    _opt_str(item.tenant_id, "tenant_id"),
                )
            )
        with self._transaction() as conn:
            for pid in {row[0] for row in rows}:
                self._check_pipeline(conn, pid)
            conn.executemany(
                "INSERT INTO row_values (pipeline_id, row_index, fingerprint, node_operation, column_name, "
                "value, text_value, tenant_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                rows,
            )
        return len(rows)

    write_row_values = store_row_values

    def store_dashboard_document(self, document: Mapping[str, Any]) -> int:
        """Store a dashboard document and return its id.

        The document is kept whole; its "pipeline"/"provenance_pipeline_id",
        "model"/"model_id" and "fairness"/"has_disparate_impact" members are
        indexed when present.  The pipeline id need not exist here.
        """
        if not isinstance(document, Mapping):
            raise TypeError("dashboard document must be a mapping")
        pipeline = document.get("pipeline") or {}
        model = document.get("model") or {}
        fairness = document.get("fairness") or {}
        pid = pipeline.get("provenance_pipeline_id") if isinstance(pipeline, Mapping) else None
        pid = pid if isinstance(pid, int) and not isinstance(pid, bool) and _INT64_MIN <= pid <= _INT64_MAX else None
        model_id = model.get("model_id") if isinstance(model, Mapping) else None
        impact = fairness.get("has_disparate_impact") if isinstance(fairness, Mapping) else None
        text = _json_text(dict(document))
        with self._transaction() as conn:
            cursor = conn.execute(
                "INSERT INTO dashboard_documents (pipeline_id, model_id, has_disparate_impact, document, "
                "received_at) VALUES (?, ?, ?, ?, ?)",
                (
                    pid,
                    model_id if isinstance(model_id, str) else None,
                    int(impact) if isinstance(impact, bool) else None,
                    text,
                    _now(),
                ),
            )
            return int(cursor.lastrowid)

    # -- read-back ----------------------------------------------------------------

    _PIPELINE_COLUMNS = "id, name, tenant_id, git_commit, config, status, created_at, completed_at"

    @staticmethod
    def _pipeline_dict(row: tuple[Any, ...]) -> dict[str, Any]:
        pid, name, tenant, commit, config, status, created, completed = row
        return {
            "pipeline_id": pid,
            "pipeline_name": name,
            "tenant_id": tenant,
            "git_commit": commit,
            "config": _json_value(config),
            "status": status,
            "created_at": created,
            "completed_at": completed,
        }

    def list_pipelines(self, *, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        """All pipelines, newest first, each with its record counts."""
        with self._read() as conn:
            rows = conn.execute(
                f"SELECT {self._PIPELINE_COLUMNS} FROM pipelines ORDER BY id DESC LIMIT ? OFFSET ?",
                (-1 if limit is None else limit, offset),
            ).fetchall()
            result = []
            for row in rows:
                item = self._pipeline_dict(row)
                item["counts"] = self._counts(conn, row[0])
                result.append(item)
            return result

    def get_pipeline(self, pipeline_id: int) -> dict[str, Any]:
        """One pipeline with its record counts; NotFoundError when unknown."""
        pid = _int(pipeline_id, "pipeline_id")
        with self._read() as conn:
            row = conn.execute(f"SELECT {self._PIPELINE_COLUMNS} FROM pipelines WHERE id = ?", (pid,)).fetchone()
            if row is None:
                raise NotFoundError(f"unknown pipeline {pid}")
            item = self._pipeline_dict(row)
            item["counts"] = self._counts(conn, pid)
            return item

    @staticmethod
    def _counts(conn: sqlite3.Connection, pid: int) -> dict[str, int]:
        counts = {}
        for key, table in (
            ("sources", "sources"),
            ("nodes", "nodes"),
            ("edges", "edges"),
            ("results", "results"),
            ("values", "row_values"),
        ):
            counts[key] = conn.execute(f"SELECT COUNT(*) FROM {table} WHERE pipeline_id = ?", (pid,)).fetchone()[0]
        counts["fingerprint_edges"] = conn.execute(
            f"SELECT COUNT(*) FROM fingerprint_edges f WHERE {_FP_EDGES_OF_PIPELINE}", {"pid": pid}
        ).fetchone()[0]
        return counts

    def _require_pipeline(self, conn: sqlite3.Connection, pid: int) -> None:
        if conn.execute("SELECT 1 FROM pipelines WHERE id = ?", (pid,)).fetchone() is None:
            raise NotFoundError(f"unknown pipeline {pid}")

    def get_sources(self, pipeline_id: int | None = None) -> list[dict[str, Any]]:
        """Registered sources; without a pipeline id, the ones registered without a pipeline."""
        pid = _pipeline_key(pipeline_id)
        with self._read() as conn:
            rows = conn.execute(
                "SELECT pipeline_id, pair_id, table_name, column_name, is_protected, registered_at "
                "FROM sources WHERE pipeline_id = ? ORDER BY id",
                (pid,),
            ).fetchall()
        return [
            {
                "pipeline_id": r[0],
                "pair_id": r[1],
                "table_name": r[2],
                "column_name": r[3],
                "is_protected": bool(r[4]),
                "registered_at": r[5],
            }
            for r in rows
        ]

    def get_nodes(self, pipeline_id: int, *, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        """Stored nodes of a pipeline in storage order (NotFoundError when unknown)."""
        pid = _pipeline_key(pipeline_id)
        with self._read() as conn:
            if pid:
                self._require_pipeline(conn, pid)
            rows = conn.execute(
                "SELECT id, pipeline_id, fingerprint, node_type, operation, table_name, column_name, pair_id, "
                "is_protected, entity_hash, chain_hash, metadata FROM nodes WHERE pipeline_id = ? "
                "ORDER BY id LIMIT ? OFFSET ?",
                (pid, -1 if limit is None else limit, offset),
            ).fetchall()
        keys = (
            "node_id",
            "pipeline_id",
            "fingerprint",
            "node_type",
            "operation",
            "table_name",
            "column_name",
            "pair_id",
            "is_protected",
            "entity_hash",
            "chain_hash",
            "metadata",
        )
        result = []
        for row in rows:
            item = dict(zip(keys, row))
            item["is_protected"] = bool(item["is_protected"])
            item["metadata"] = _json_value(item["metadata"])
            result.append(item)
        return result

    def get_edges(self, pipeline_id: int) -> dict[str, list[dict[str, Any]]]:
        """Edges of a pipeline: {"resolved": [...], "fingerprint": [...]}.

        "resolved" are node-id edges (``store_edges_resolved``), with the
        fingerprints of both ends; "fingerprint" are fingerprint edges stored
        for the pipeline, or stored without a pipeline whose two ends are
        nodes of the pipeline.
        """
        pid = _pipeline_key(pipeline_id)
        with self._read() as conn:
            if pid:
                self._require_pipeline(conn, pid)
            resolved = conn.execute(
                "SELECT e.parent_node_id, e.child_node_id, e.input_position, p.fingerprint, c.fingerprint "
                "FROM edges e JOIN nodes p ON p.id = e.parent_node_id JOIN nodes c ON c.id = e.child_node_id "
                "WHERE e.pipeline_id = ? ORDER BY e.id",
                (pid,),
            ).fetchall()
            by_fp = conn.execute(
                "SELECT f.pipeline_id, f.parent_fingerprint, f.child_fingerprint, f.input_position "
                f"FROM fingerprint_edges f WHERE {_FP_EDGES_OF_PIPELINE} ORDER BY f.id",
                {"pid": pid},
            ).fetchall()
        return {
            "resolved": [
                {
                    "parent_node_id": r[0],
                    "child_node_id": r[1],
                    "input_position": r[2],
                    "parent_fingerprint": r[3],
                    "child_fingerprint": r[4],
                }
                for r in resolved
            ],
            "fingerprint": [
                {
                    "pipeline_id": r[0],
                    "parent_fingerprint": r[1],
                    "child_fingerprint": r[2],
                    "input_position": r[3],
                }
                for r in by_fp
            ],
        }

    def get_results(self, pipeline_id: int, *, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        """Results of a pipeline in storage order (NotFoundError when unknown)."""
        pid = _int(pipeline_id, "pipeline_id")
        with self._read() as conn:
            self._require_pipeline(conn, pid)
            rows = conn.execute(
                "SELECT row_key, output_name, fingerprint, value, input_hash FROM results "
                "WHERE pipeline_id = ? ORDER BY id LIMIT ? OFFSET ?",
                (pid, -1 if limit is None else limit, offset),
            ).fetchall()
        keys = ("row_key", "output_name", "fingerprint", "output_value", "input_hash")
        return [dict(zip(keys, row)) for row in rows]

    def get_row_values(
        self, pipeline_id: int | None, *, limit: int | None = None, offset: int = 0
    ) -> list[dict[str, Any]]:
        """Row values of a pipeline (0/None: unattached values), by row then storage order."""
        pid = _pipeline_key(pipeline_id)
        with self._read() as conn:
            if pid:
                self._require_pipeline(conn, pid)
            rows = conn.execute(
                "SELECT pipeline_id, row_index, fingerprint, node_operation, column_name, value, text_value, "
                "tenant_id FROM row_values WHERE pipeline_id = ? ORDER BY row_index, id LIMIT ? OFFSET ?",
                (pid, -1 if limit is None else limit, offset),
            ).fetchall()
        keys = (
            "pipeline_id",
            "row_index",
            "fingerprint",
            "node_operation",
            "column_name",
            "value",
            "text_value",
            "tenant_id",
        )
        return [dict(zip(keys, row)) for row in rows]

    def get_dashboard_documents(self, pipeline_id: int | None = None) -> list[dict[str, Any]]:
        """Dashboard documents, oldest first; with a pipeline id, only that pipeline's."""
        with self._read() as conn:
            if pipeline_id is None:
                rows = conn.execute(
                    "SELECT id, pipeline_id, received_at, document FROM dashboard_documents ORDER BY id"
                ).fetchall()
            else:
                rows = conn.execute(
                    "SELECT id, pipeline_id, received_at, document FROM dashboard_documents "
                    "WHERE pipeline_id = ? ORDER BY id",
                    (_int(pipeline_id, "pipeline_id"),),
                ).fetchall()
        return [
            {"sync_id": r[0], "pipeline_id": r[1], "received_at": r[2], "document": json.loads(r[3])} for r in rows
        ]

    def protected_columns(self, pipeline_id: int) -> list[str]:
        """Distinct "table.column" texts of the protected nodes and sources of a pipeline."""
        pid = _int(pipeline_id, "pipeline_id")
        with self._read() as conn:
            rows = conn.execute(
                "SELECT table_name || '.' || column_name FROM nodes WHERE pipeline_id = ? AND is_protected "
                "AND table_name IS NOT NULL AND table_name != '' AND column_name IS NOT NULL AND column_name != '' "
                "UNION SELECT table_name || '.' || column_name FROM sources WHERE pipeline_id = ? AND is_protected "
                "ORDER BY 1",
                (pid, pid),
            ).fetchall()
        return [r[0] for r in rows]
