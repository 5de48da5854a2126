"""SQLiteStorage: the storage interface on a temporary SQLite file."""

from __future__ import annotations

import hashlib
import math
import sqlite3
import threading

import pytest

from corvane.utilities.persistence import (
    NotFoundError,
    SQLiteStorage,
    StorageError,
    StoredEdge,
    StoredNode,
    StoredRowValue,
)
from corvane.utilities.persistence import storage as storage_module
from corvane.utilities.persistence.sqlite import SCHEMA_VERSION


@pytest.fixture
def db_path(tmp_path):
    return tmp_path / "store.db"


@pytest.fixture
def store(db_path):
    with SQLiteStorage(db_path) as storage:
        yield storage


def node(fp, pid, **kw):
    fields = dict(node_type="BINARY", operation="add", table_name=None, column_name=None, pair_id=None,
                  is_protected=False, pipeline_id=pid)
    fields.update(kw)
    return StoredNode(fingerprint=fp, **fields)


def value(pid, row, fp=7, **kw):
    fields = dict(node_operation="add", value=1.5, column_name="c", tenant_id=None, text_value=None)
    fields.update(kw)
    return StoredRowValue(pipeline_id=pid, row_index=row, fingerprint=fp, **fields)


def table_counts(path):
    conn = sqlite3.connect(path)
    try:
        names = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='table' "
                                            "AND name NOT LIKE 'sqlite_%' ORDER BY name")]
        return {name: conn.execute(f"SELECT COUNT(*) FROM {name}").fetchone()[0] for name in names}
    finally:
        conn.close()


class Index:
    """An int-like (as numpy integers are): accepted where ints are."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


# -- records -------------------------------------------------------------------------------


def test_records_are_keyword_built_and_importable_from_both_modules():
    assert storage_module.StoredNode is StoredNode
    assert storage_module.StoredRowValue is StoredRowValue
    n = StoredNode(fingerprint=1, node_type="SOURCE", operation="source", table_name="t", column_name="c",
                   pair_id=0, is_protected=True, pipeline_id=3)
    assert (n.entity_hash, n.chain_hash, n.metadata) == (None, None, None)
    assert StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=1).input_position == 1
    with pytest.raises(TypeError):
        StoredEdge(1, 2, 0)  # keywords only
    with pytest.raises(AttributeError):
        n.unknown = 1  # slots


# -- schema and connection ---------------------------------------------------------------------


def test_schema_is_versioned_and_the_file_is_in_wal_mode(store, db_path):
    assert store.schema_version() == SCHEMA_VERSION
    conn = sqlite3.connect(db_path)
    try:
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        assert conn.execute("SELECT version FROM schema_version").fetchall() == [(SCHEMA_VERSION,)]
    finally:
        conn.close()


def test_reconnecting_does_not_migrate_twice(db_path):
    for _ in range(2):
        with SQLiteStorage(db_path) as s:
            s.create_pipeline("p")
    assert table_counts(db_path)["schema_version"] == 1
    assert table_counts(db_path)["pipelines"] == 2


def test_a_newer_schema_is_refused(db_path):
    with SQLiteStorage(db_path):
        pass
    conn = sqlite3.connect(db_path)
    conn.execute("INSERT INTO schema_version VALUES (?, 'x')", (SCHEMA_VERSION + 1,))
    conn.commit()
    conn.close()
    s = SQLiteStorage(db_path)
    with pytest.raises(StorageError, match="newer"):
        s.connect()
    assert not s.connected


def test_calls_connect_on_demand_and_disconnect_is_idempotent(db_path):
    s = SQLiteStorage(db_path)
    assert s.create_pipeline("lazy") == 1
    s.disconnect()
    s.disconnect()
    assert not s.connected


# -- pipelines -----------------------------------------------------------------------------


def test_create_pipeline_both_call_forms(store):
    first = store.create_pipeline("positional")
    second = store.create_pipeline(pipeline_name="kw", config=None, git_commit=None, tenant_id=None)
    third = store.create_pipeline(pipeline_name="full", config={"a": [1, 2]}, git_commit="abc", tenant_id="t1")
    assert (first, second, third) == (1, 2, 3)
    assert all(type(p) is int for p in (first, second, third))
    p = store.get_pipeline(third)
    assert (p["pipeline_name"], p["config"], p["git_commit"], p["tenant_id"], p["status"]) == (
        "full", {"a": [1, 2]}, "abc", "t1", "running")
    assert [p["pipeline_id"] for p in store.list_pipelines()] == [3, 2, 1]


def test_complete_pipeline_keyword_and_positional(store):
    pid = store.create_pipeline("p")
    store.complete_pipeline(pid, status="failed")
    assert store.get_pipeline(pid)["status"] == "failed"
    store.complete_pipeline(pid, "completed")
    p = store.get_pipeline(pid)
    assert p["status"] == "completed" and p["completed_at"]
    with pytest.raises(NotFoundError):
        store.complete_pipeline(99, "completed")
    with pytest.raises(ValueError):
        store.complete_pipeline(pid, "")


# -- sources and nodes -------------------------------------------------------------------


def test_register_source_upserts(store):
    store.register_source(0, "loans", "gender", is_protected=True)
    store.register_source(1, "loans", "income", is_protected=False)
    store.register_source(1, "loans", "income", is_protected=True)
    got = [(s["pair_id"], s["table_name"], s["column_name"], s["is_protected"]) for s in store.get_sources()]
    assert got == [(0, "loans", "gender", True), (1, "loans", "income", True)]


def test_store_nodes_deduplicates_per_pipeline_and_fills_missing_hashes(store):
    pid = store.create_pipeline("p")
    other = store.create_pipeline("q")
    store.store_nodes([node(10, pid), node(10, pid, operation="mul"), node(10, other)])
    store.store_nodes([node(10, pid, entity_hash=Index(5), chain_hash=6, metadata={"k": "v"})])
    nodes = store.get_nodes(pid)
    assert len(nodes) == 1
    assert (nodes[0]["operation"], nodes[0]["entity_hash"], nodes[0]["chain_hash"], nodes[0]["metadata"]) == (
        "add", 5, 6, {"k": "v"})
    assert len(store.get_nodes(other)) == 1


def test_nodes_without_pipeline_are_accepted(store):
    store.store_nodes([node(1, None), node(2, 0)])
    assert sorted(store.get_fingerprint_node_map(None)) == [1, 2]


def test_store_nodes_is_atomic(store, db_path):
    pid = store.create_pipeline("p")
    before = table_counts(db_path)
    with pytest.raises(TypeError):
        store.store_nodes([node(1, pid), node("not an int", pid)])
    with pytest.raises(NotFoundError):
        store.store_nodes([node(1, pid), node(2, 999)])
    assert table_counts(db_path) == before


def test_fingerprint_map_and_resolved_edges(store):
    pid = store.create_pipeline("p")
    store.store_nodes([node(100, pid), node(200, pid), node(300, pid)])
    fp_map = store.get_fingerprint_node_map(pid)
    assert set(fp_map) == {100, 200, 300}
    assert fp_map.get(999) is None
    rows = [(fp_map[100], fp_map[300], 0), (fp_map[200], fp_map[300], 1)]
    store.store_edges_resolved(rows)
    store.store_edges_resolved(rows)  # stored once
    edges = store.get_edges(pid)["resolved"]
    assert [(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in edges] == [
        (100, 300, 0), (200, 300, 1)]
    store.store_edges_resolved([])
    with pytest.raises(NotFoundError):
        store.store_edges_resolved([(fp_map[100], fp_map[200], 0), (fp_map[100], 12345, 0)])
    assert len(store.get_edges(pid)["resolved"]) == 2


def test_fingerprint_edges(store):
    pid = store.create_pipeline("p")
    store.store_nodes([node(1, pid), node(2, pid)])
    store.store_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)])
    store.store_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)])
    store.store_edges([StoredEdge(parent_fingerprint=5, child_fingerprint=6, input_position=1)], pipeline_id=pid)
    store.store_edges([StoredEdge(parent_fingerprint=8, child_fingerprint=9)])  # not in the pipeline
    got = [(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"])
           for e in store.get_edges(pid)["fingerprint"]]
    assert got == [(1, 2, 0), (5, 6, 1)]
    assert store.get_pipeline(pid)["counts"]["fingerprint_edges"] == 2


# -- results and values -------------------------------------------------------------------------


def test_store_results(store):
    pid = store.create_pipeline("p")
    digest = hashlib.sha256(b"{}").hexdigest()
    store.store_results(pid, [("1", "score", 7, 0.25, digest), ("2", "score", 7, None, None),
                              ("3", "score", 8, math.nan, None)])
    store.store_results(pid, [("1", "score", 9, 0.5, None)])  # replaces
    got = store.get_results(pid)
    assert [(r["row_key"], r["fingerprint"], r["output_value"], r["input_hash"]) for r in got] == [
        ("1", 9, 0.5, None), ("2", 7, None, None), ("3", 8, None, None)]
    with pytest.raises(NotFoundError):
        store.store_results(42, [("1", "score", 7, 0.25, None)])
    with pytest.raises(TypeError):
        store.store_results(pid, [("4", "score", 7, 0.1, None), (5, "score", 7, 0.1, None)])
    assert len(store.get_results(pid)) == 3


def test_store_row_values(store):
    pid = store.create_pipeline("p")
    store.store_row_values([
        value(pid, 1), value(pid, 0, value=None, text_value="approved"),
        value(pid, 2, value=math.inf), value(0, 0, tenant_id="t"),
    ])
    got = store.get_row_values(pid)
    assert [(v["row_index"], v["value"], v["text_value"]) for v in got] == [
        (0, None, "approved"), (1, 1.5, None), (2, None, "inf")]
    assert store.get_row_values(0)[0]["tenant_id"] == "t"
    assert store.get_row_values(pid, limit=1, offset=1)[0]["row_index"] == 1


def test_store_row_values_is_atomic(store, db_path):
    pid = store.create_pipeline("p")
    before = table_counts(db_path)
    with pytest.raises(TypeError):
        store.store_row_values([value(pid, 0), value(pid, 1, node_operation=None)])
    with pytest.raises(NotFoundError):
        store.store_row_values([value(pid, 0), value(77, 1)])
    assert table_counts(db_path) == before


def test_dashboard_documents(store):
    pid = store.create_pipeline("p")
    doc = {"pipeline": {"pipeline_name": "p", "provenance_pipeline_id": pid},
           "model": {"model_id": "p"}, "fairness": {"has_disparate_impact": True,
                                                   "protected_attributes": ["loans.gender"]}}
    sync_id = store.store_dashboard_document(doc)
    store.store_dashboard_document({"pipeline": {"provenance_pipeline_id": None}, "model": {}, "fairness": {}})
    assert [d["document"] for d in store.get_dashboard_documents(pid)] == [doc]
    assert store.get_dashboard_documents(pid)[0]["sync_id"] == sync_id
    assert len(store.get_dashboard_documents()) == 2


# -- the tracker's call sequences -----------------------------------------------


def test_serves_the_persist_to_storage_and_persist_results_call_sequence(store):
    """The exact calls DAGTracker.persist_to_storage and persist_results make."""
    pid = store.create_pipeline("unnamed")
    pid = int(pid)
    store.register_source(0, "loans", "income", is_protected=False)
    store.register_source(1, "loans", "gender", is_protected=True)
    # nodes deduplicated by fingerprint, eight keywords, unconverted values
    kept = [(11, "SOURCE", "source", "loans", "income", 0, False), (12, "SOURCE", "source", "loans", "gender", 1, True),
            (13, "BINARY", "div", None, None, None, True)]
    batch = [StoredNode(fingerprint=fp, node_type=t, operation=op, table_name=tb, column_name=c, pair_id=pair,
                        is_protected=prot, pipeline_id=pid) for fp, t, op, tb, c, pair, prot in kept]
    store.store_nodes(batch)
    fp_to_db_id = store.get_fingerprint_node_map(pid)
    rows = []
    for parent_fp, child_fp, pos in [(11, 13, 0), (12, 13, 1), (99, 13, 2)]:
        parent, child = fp_to_db_id.get(parent_fp), fp_to_db_id.get(child_fp)
        if parent is not None and child is not None:
            rows.append((parent, child, pos))
    store.store_edges_resolved(rows)
    store.complete_pipeline(pid, "completed")
    store.store_results(pid, [("1001", "ratio", 13, 0.5, "a" * 64), ("1002", "ratio", 0, None, None)])

    # an empty run: empty batches are fine
    empty = store.create_pipeline("unnamed")
    store.store_nodes([])
    assert store.get_fingerprint_node_map(empty) == {}
    store.store_edges_resolved([])
    store.complete_pipeline(empty, "completed")

    p = store.get_pipeline(pid)
    assert p["status"] == "completed"
    assert p["counts"] == {"sources": 0, "nodes": 3, "edges": 2, "fingerprint_edges": 0, "results": 2,
                                 "values": 0}


def test_serves_the_write_through_call_sequence(store):
    """enable_persistence / writer / disable_persistence calls of the tracker."""
    pid = store.create_pipeline(pipeline_name="unnamed_pipeline", config=None, git_commit=None, tenant_id=None)
    store.register_source(0, "t", "c", is_protected=False)
    meta = {"op": "add", "n": 1}
    n = StoredNode(fingerprint=5, node_type="BINARY", operation="add", table_name=None, column_name=None,
                   pair_id=None, is_protected=False, entity_hash=1, chain_hash=2, metadata=meta, pipeline_id=pid)
    store.store_nodes([n, n])
    store.store_edges([StoredEdge(parent_fingerprint=4, child_fingerprint=5, input_position=0)])
    store.store_row_values([StoredRowValue(pipeline_id=pid, row_index=0, fingerprint=5, node_operation="add",
                                           value=3.0, column_name=None, tenant_id=None, text_value=None)])
    store.complete_pipeline(pid, status="failed")
    store.complete_pipeline(pid, status="completed")
    store.disconnect()
    assert store.get_pipeline(pid)["counts"]["nodes"] == 1  # reconnects on demand


# -- durability and threads ----------------------------------------------------------------------


def test_reopening_the_file_reads_back_everything(db_path):
    with SQLiteStorage(db_path) as s:
        pid = s.create_pipeline(pipeline_name="run", config={"k": 1}, tenant_id="acme")
        s.register_source(3, "t", "c", is_protected=True, pipeline_id=pid)
        s.store_nodes([node(1, pid, table_name="t", column_name="c", is_protected=True), node(2, pid)])
        m = s.get_fingerprint_node_map(pid)
        s.store_edges_resolved([(m[1], m[2], 0)])
        s.store_results(pid, [("k", "out", 2, 1.0, None)])
        s.store_row_values([value(pid, 0, fp=2)])
        s.store_dashboard_document({"pipeline": {"provenance_pipeline_id": pid}, "model": {}, "fairness": {}})
        s.complete_pipeline(pid, "completed")
    with SQLiteStorage(db_path) as s:
        p = s.get_pipeline(pid)
        assert (p["pipeline_name"], p["config"], p["tenant_id"], p["status"]) == ("run", {"k": 1}, "acme", "completed")
        assert s.get_fingerprint_node_map(pid) == m
        assert [n["fingerprint"] for n in s.get_nodes(pid)] == [1, 2]
        assert len(s.get_edges(pid)["resolved"]) == 1
        assert s.get_results(pid)[0]["row_key"] == "k"
        assert s.get_row_values(pid)[0]["fingerprint"] == 2
        assert s.get_sources(pid)[0]["is_protected"] is True
        assert s.protected_columns(pid) == ["t.c"]
        assert len(s.get_dashboard_documents(pid)) == 1


def test_concurrent_writers_store_every_record_exactly_once(store):
    pid = store.create_pipeline("p")
    errors = []

    def work(t):
        try:
            for b in range(10):
                base = t * 1000 + b * 20
                store.store_nodes([node(base + i, pid) for i in range(20)])
                store.store_row_values([value(pid, base + i) for i in range(20)])
                store.get_fingerprint_node_map(pid)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(store.get_fingerprint_node_map(pid)) == 8 * 200
    rows = [v["row_index"] for v in store.get_row_values(pid)]
    assert sorted(rows) == sorted(t * 1000 + i for t in range(8) for i in range(200))
