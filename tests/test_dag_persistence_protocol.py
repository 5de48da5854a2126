"""The exact call sequences of DAGTracker persistence, with recording stand-ins
for the storage and the writer (the order of calls is what these tests check),
and the bulk writes against a real SQLiteStorage."""

from __future__ import annotations

import hashlib
import logging
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane.utilities.persistence as persistence
from corvane.utilities.orvex32_dag import DAGTracker, NodeType, wrap_dataframe_dag
from corvane.utilities.persistence import SQLiteStorage, StoredRowValue

LOGGER = "corvane.utilities.orvex32_dag"


class Calls(list):
    def names(self):
        return [c[0] for c in self]


class FakeStorage:
    def __init__(self, calls, options, **kwargs):
        self.calls, self.options = calls, options
        calls.append(("HostedStorage", kwargs))

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if name in self.options["storage_fail"]:
                raise ConnectionError(f"{name} refused")
            if name == "create_pipeline":
                return 41 + sum(1 for c in self.calls if c[0] == "create_pipeline")
            if name == "get_fingerprint_node_map":
                return {}
            return None
        return call


class FakeWriter:
    def __init__(self, calls, options):
        self.calls, self.options = calls, options

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append(("writer." + name, args, kwargs))
            if name in self.options["writer_fail"]:
                raise RuntimeError(f"{name} failed")
            if name == "get_stats":
                return {"accepted": 0}
            return None
        return call


@pytest.fixture
def fake_persistence(monkeypatch):
    """Replaces the persistence classes the tracker imports; returns (calls, options)."""
    calls = Calls()
    options = {"storage_fail": (), "writer_fail": ()}

    def hosted(**kwargs):
        return FakeStorage(calls, options, **kwargs)

    def writer(storage, config):
        calls.append(("AsyncWriter", storage is not None, config))
        return FakeWriter(calls, options)

    def config(**kwargs):
        calls.append(("WriterConfig", kwargs))
        return kwargs

    monkeypatch.setattr(persistence, "HostedStorage", hosted)
    monkeypatch.setattr(persistence, "AsyncWriter", writer)
    monkeypatch.setattr(persistence, "WriterConfig", config)
    return calls, options


def tracker_with(fake_persistence, **kwargs):
    kwargs.setdefault("api_key", "k-123")
    kwargs.setdefault("service_url", "")
    return DAGTracker(**kwargs)


def test_enable_persistence_call_sequence(fake_persistence):
    calls, _ = fake_persistence
    tracker = DAGTracker()
    tracker.register("t", "a")
    tracker.register("t", "g", True)
    tracker._api_key, tracker._service_url = "k-123", "http://svc"
    tracker.enable_persistence()
    assert calls == [
        ("HostedStorage", {"api_url": "http://svc", "api_key": "k-123", "tenant_id": "default"}),
        ("connect", (), {}),
        ("create_pipeline", (), {"pipeline_name": "unnamed_pipeline", "config": None, "git_commit": None,
                                 "tenant_id": None}),
        ("WriterConfig", {"batch_size": 100, "flush_interval": 1.0, "queue_size": 10000}),
        ("AsyncWriter", True, {"batch_size": 100, "flush_interval": 1.0, "queue_size": 10000}),
        ("writer.start", (), {}),
        ("writer.register_source", (0, "t", "a", False), {}),
        ("writer.register_source", (1, "t", "g", True), {}),
    ]
    assert tracker._pipeline_id == 42


def test_failed_start_up_warns_and_keeps_what_was_set(fake_persistence):
    calls, options = fake_persistence
    options["storage_fail"] = {"connect"}
    with pytest.warns(UserWarning) as caught:
        tracker = tracker_with(fake_persistence)
    assert [str(w.message) for w in caught] == [
        "Persistence initialization failed: connect refused\nContinuing in memory-only mode."]
    assert tracker._storage is not None and tracker._writer is None and tracker._pipeline_id is None
    calls.clear()
    assert tracker.flush() is True
    assert calls == []


def test_storage_construction_failure_propagates_from_the_constructor(reference_service):
    with pytest.raises(ValueError, match="api_url"):
        DAGTracker(api_key="k-123", service_url="not a url")


def test_flush_call_sequence_and_second_flush(fake_persistence, monkeypatch):
    calls, _ = fake_persistence
    tracker = tracker_with(fake_persistence)
    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0]}), tracker, "t")
    tdf["a"] + tdf["a"]
    synced = []
    monkeypatch.setattr(DAGTracker, "_sync_to_dashboard", lambda self: synced.append(calls.names()[-1]))
    calls.clear()
    assert tracker.flush(5) is True
    names = calls.names()
    assert names == ["writer.write_row_values", "writer.flush", "store_nodes", "get_fingerprint_node_map"]
    assert len(calls[0][1][0]) == 4 and calls[1][2] == {"timeout": 5.0}
    assert synced == ["get_fingerprint_node_map"]
    assert len(tracker._value_buffer) == 0 and tracker._nodes_persisted and tracker._dashboard_synced
    calls.clear()
    tracker.flush()
    assert calls.names() == ["writer.flush"] and len(synced) == 1


def test_exit_by_exception_marks_failed_and_never_completed(fake_persistence, monkeypatch):
    calls, _ = fake_persistence
    monkeypatch.setattr(DAGTracker, "_sync_to_dashboard", lambda self: None)
    tracker = tracker_with(fake_persistence)
    calls.clear()
    with pytest.raises(ZeroDivisionError):
        with tracker as entered:
            assert entered is tracker
            1 / 0
    assert [c for c in calls if c[0] in ("complete_pipeline", "disconnect", "writer.stop")] == [
        ("complete_pipeline", (42,), {"status": "failed"}),
        ("writer.stop", (), {}),
        ("disconnect", (), {}),
    ]
    assert calls.names()[0] == "writer.flush"


def test_exit_and_disable_sequences(fake_persistence, monkeypatch):
    calls, _ = fake_persistence
    monkeypatch.setattr(DAGTracker, "_sync_to_dashboard", lambda self: None)
    tracker = tracker_with(fake_persistence)
    calls.clear()
    assert tracker.__exit__(None, None, None) is False
    assert calls.names() == ["writer.flush", "get_fingerprint_node_map", "writer.stop", "complete_pipeline",
                             "disconnect"]
    assert calls[3][1:] == ((42,), {"status": "completed"})
    calls.clear()
    tracker.disable_persistence()  # twice is harmless
    tracker.__del__()
    assert calls == []


def test_del_discards_errors(fake_persistence):
    calls, options = fake_persistence
    tracker = tracker_with(fake_persistence)
    options["storage_fail"] = {"complete_pipeline"}
    tracker.__del__()
    assert "complete_pipeline" in calls.names()
    with pytest.raises(ConnectionError):
        tracker_with(fake_persistence).disable_persistence()


def test_write_through_failures_are_logged_and_tracking_goes_on(fake_persistence, caplog):
    calls, options = fake_persistence
    tracker = tracker_with(fake_persistence)
    a = tracker.create_source_node("t", "a", 5)
    b = tracker.create_source_node("t", "b", 6)
    options["writer_fail"] = {"write_node"}
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        n1 = tracker.log_binary("add", a, b, 7)
        options["writer_fail"] = {"write_edges"}
        n2 = tracker.log_binary("add", a, b, 7)
    assert [(r.msg, r.args[0], str(r.args[1])) for r in caplog.records] == [
        ("Failed to persist DAG node %d: %s", n1, "write_node failed"),
        ("Failed to persist DAG edges for node %d: %s", n2, "write_edges failed"),
    ]
    assert n2 == n1 + 1


def test_write_through_records_and_evicted_operands(fake_persistence):
    calls, _ = fake_persistence
    tracker = tracker_with(fake_persistence)
    a = tracker.create_source_node("t", "a", 5)
    u = tracker.log_unary("neg", a, 9, metadata={"k": 1})
    for _ in range(9):
        tracker.log_unary("abs", a, 11)
    tracker._evict_oldest_nodes()  # 11 nodes: evicts the oldest non-source one, `u`
    assert u not in tracker._nodes
    calls.clear()
    tracker.log_binary("add", u, a, 13)
    node_call, edges_call = calls
    stored = node_call[1][0]
    info = tracker.decode_full(13)
    assert (stored.fingerprint, stored.node_type, stored.operation, stored.entity_hash, stored.chain_hash,
            stored.pipeline_id, stored.metadata) == (13, "BINARY", "add", info.entity, info.chain, 42, {})
    assert [(e.parent_fingerprint, e.child_fingerprint, e.input_position) for e in edges_call[1][0]] == \
        [(5, 13, 1)]
    calls.clear()
    tracker.log_unary("neg", u, 15)  # its only operand is gone: no edges
    assert calls.names() == ["writer.write_node"]


def test_missing_persistence_module_is_logged_per_node(fake_persistence, monkeypatch, caplog):
    tracker = tracker_with(fake_persistence)
    monkeypatch.setitem(sys.modules, "corvane.utilities.persistence", None)
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        tracker.create_source_node("t", "a", 5)
        tracker.create_source_node("t", "b", 6)
    assert [r.getMessage() for r in caplog.records] == [
        "Persistence module unavailable \u2014 provenance data is NOT being saved to storage. "
        "Install corvane with persistence extras or check your installation."] * 2


def test_row_values_are_handed_over_at_the_threshold(fake_persistence):
    calls, _ = fake_persistence
    tracker = tracker_with(fake_persistence)
    calls.clear()
    for i in range(4999):
        tracker.record_row_value(i, 7, "add", i)
    assert calls == []
    tracker.record_row_value(4999, 7, "add", "12")
    [(name, (handed,), _)] = calls
    assert name == "writer.write_row_values" and len(handed) == 5000
    assert handed[-1] == StoredRowValue(pipeline_id=42, row_index=4999, fingerprint=7, node_operation="add",
                                        value=12.0, column_name=None, tenant_id=None, text_value=None)
    assert len(tracker._value_buffer) == 0


def test_persistence_stats(fake_persistence, monkeypatch):
    tracker = tracker_with(fake_persistence)
    assert tracker.get_persistence_stats() == {"accepted": 0, "nodes_written": 0, "edges_written": 0}
    tracker._nodes_written = 3
    monkeypatch.setattr(FakeWriter, "get_stats", lambda self: {}, raising=False)
    assert tracker.get_persistence_stats() == {}
    monkeypatch.setattr(FakeWriter, "get_stats", lambda self: [1], raising=False)
    with pytest.raises(TypeError, match="Expected dict, got list"):
        tracker.get_persistence_stats()


def test_a_writer_subclass_gets_the_per_row_protocol(reference_service):
    """Only our own AsyncWriter takes columnar batches; anything else is called per node."""

    class CountingWriter(persistence.AsyncWriter):
        nodes = 0

        def write_node(self, node):
            CountingWriter.nodes += 1
            super().write_node(node)

    tracker = DAGTracker(api_key=reference_service.api_key, service_url=reference_service.base_url)
    try:
        tracker._writer.stop()
        tracker._writer = CountingWriter(tracker._storage, persistence.WriterConfig())
        tracker._writer.start()
        tdf = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(50.0)}), tracker, "t")
        tdf["a"] + tdf["a"]
        assert CountingWriter.nodes == 51
        tracker.flush()
        assert len(reference_service.storage.get_row_values(tracker._pipeline_id)) == 100
    finally:
        tracker.disable_persistence()


# ---- bulk writes to a caller's storage ------------------------------------------------


@pytest.fixture
def sqlite(tmp_path):
    storage = SQLiteStorage(tmp_path / "runs.db")
    storage.connect()
    yield storage
    storage.disconnect()


def test_persist_to_storage_of_an_empty_tracker(sqlite):
    pipeline_id = DAGTracker().persist_to_storage(sqlite)
    assert sqlite.get_pipeline(pipeline_id)["pipeline_name"] == "unnamed"
    assert sqlite.get_pipeline(pipeline_id)["status"] == "completed"
    assert sqlite.get_nodes(pipeline_id) == []


def test_persist_to_storage_writes_the_deduplicated_dag(sqlite):
    tracker = DAGTracker(pipeline_name="bulk")
    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0], "g": [0, 1, 0]}), tracker, "t",
                             protected=["g"], include_entity=False)
    total = tdf["a"] + tdf["g"]  # every row the same fingerprint: one node
    existing = sqlite.create_pipeline("given")
    assert tracker.persist_to_storage(sqlite, np.int64(existing)) == existing
    nodes = sqlite.get_nodes(existing)
    assert [(n["node_type"], n["operation"], n["is_protected"], n["entity_hash"]) for n in nodes] == [
        ("SOURCE", "t.a", False, None), ("SOURCE", "t.g", True, None), ("BINARY", "add", True, None)]
    edges = sqlite.get_edges(existing)["resolved"]
    assert [(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in edges] == [
        (int(tdf._col_prov["a"][0]), int(total._prov[0]), 0), (int(tdf._col_prov["g"][0]), int(total._prov[0]), 1)]
    assert [(s["pair_id"], s["column_name"], s["is_protected"]) for s in sqlite.get_sources()] == [
        (0, "a", False), (1, "g", True)]
    with pytest.raises(TypeError, match="Argument 'pipeline_id' has incorrect type"):
        tracker.persist_to_storage(sqlite, "7")


def test_persist_results_links_keys_to_fingerprints_and_source_hashes(sqlite):
    tracker = DAGTracker()
    source = pd.DataFrame({"a": [1.0, 2.0, 1.0], "b": [3, 4, 3]})
    tdf = wrap_dataframe_dag(source, tracker, "t")
    total = tdf["a"] + tdf["b"]
    pipeline_id = sqlite.create_pipeline("results")
    DAGTracker.persist_results(sqlite, pipeline_id, iter([101, 102, 103, 104]), {"total": total},
                               source_df=source.iloc[:2])
    rows = sqlite.get_results(pipeline_id)
    digest = hashlib.sha256(source.iloc[0].to_json().encode("utf-8")).hexdigest()
    assert rows == [
        {"row_key": "101", "output_name": "total", "fingerprint": int(total._prov[0]), "output_value": 4.0,
         "input_hash": digest},
        {"row_key": "102", "output_name": "total", "fingerprint": int(total._prov[1]), "output_value": 6.0,
         "input_hash": hashlib.sha256(source.iloc[1].to_json().encode("utf-8")).hexdigest()},
        {"row_key": "103", "output_name": "total", "fingerprint": int(total._prov[2]), "output_value": 4.0,
         "input_hash": None},
        {"row_key": "104", "output_name": "total", "fingerprint": 0, "output_value": None, "input_hash": None},
    ]
    with pytest.raises(TypeError, match="Argument 'outputs' has incorrect type"):
        DAGTracker.persist_results(sqlite, pipeline_id, [1], [("total", total)])
