"""HostedStorage against the reference service on 127.0.0.1, alone and behind the writer."""

from __future__ import annotations

import logging
import socket

import pytest

from corvane.utilities.persistence.hosted import HostedStorage, StorageRequestError
from corvane.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue
from corvane.utilities.persistence.writer import AsyncWriter, TransientStorageError, WriterConfig


@pytest.fixture
def storage(reference_service):
    store = HostedStorage(api_url=reference_service.base_url, api_key=reference_service.api_key,
                          tenant_id="acme", chunk_records=3)
    store.connect()
    return store


def node(fp, pid, **extra):
    fields = dict(fingerprint=fp, node_type="BINARY", operation="add", table_name=None,
                  column_name=None, pair_id=None, is_protected=False, pipeline_id=pid)
    fields.update(extra)
    return StoredNode(**fields)


def test_a_whole_run_is_stored_and_read_back(reference_service, storage):
    pid = storage.create_pipeline(pipeline_name="credit", config=None, git_commit=None,
                                  tenant_id="acme")
    storage.register_source(0, "loans", "gender", is_protected=True)
    storage.store_nodes([node(10, pid, node_type="SOURCE", operation="loans.gender",
                              table_name="loans", column_name="gender", pair_id=0,
                              is_protected=True)]
                        + [node(fp, pid, metadata={"k": [1, 2]}) for fp in (11, 12, 13, 14)])
    fp_map = storage.get_fingerprint_node_map(pid)
    assert set(fp_map) == {10, 11, 12, 13, 14}
    storage.store_edges_resolved([(fp_map[10], fp_map[11], 0), (fp_map[11], fp_map[12], 1)])
    storage.store_edges([StoredEdge(parent_fingerprint=12, child_fingerprint=13, input_position=0)])
    storage.store_results(pid, [("r0", "score", 13, 0.25, "abc"), ("r1", "score", 14, None, None)])
    storage.store_row_values([
        StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=11, node_operation="add",
                       value=v, column_name="x", tenant_id="acme", text_value=None)
        for i, v in enumerate([1.5, float("inf"), 2.0, 3.0])])
    storage.complete_pipeline(pid, status="completed")

    db = reference_service.storage
    assert db.get_pipeline(pid)["status"] == "completed"
    assert len(db.get_nodes(pid)) == 5
    edges = db.get_edges(pid)
    assert len(edges["resolved"]) == 2
    assert len(edges["fingerprint"]) == 1
    values = db.get_row_values(pid)
    assert [v["value"] for v in values] == [1.5, None, 2.0, 3.0]
    assert values[1]["text_value"] == "inf"  # a non-finite value is kept as text, not lost
    assert {r["row_key"] for r in db.get_results(pid)} == {"r0", "r1"}
    # chunk_records=3: five nodes took two requests
    assert len(reference_service.requests_to("POST", "/v1/storage/nodes")) == 2


@pytest.mark.parametrize(
    "fault, error",
    [
        pytest.param(dict(status=503), TransientStorageError, id="5xx-is-transient"),
        pytest.param(dict(close=True), TransientStorageError, id="dropped-connection-is-transient"),
        pytest.param(dict(status=400), StorageRequestError, id="4xx-is-permanent"),
    ],
)
def test_errors_are_classified_for_the_writer(reference_service, storage, fault, error):
    pid = storage.create_pipeline("p")
    reference_service.inject_fault("POST", "/v1/storage/nodes", **fault)
    with pytest.raises(error) as caught:
        storage.store_nodes([node(1, pid)])
    assert error is not StorageRequestError or not isinstance(caught.value, TransientStorageError)


def test_key_never_leaks(reference_service, caplog):
    key = reference_service.api_key
    reference_service.inject_fault("GET", "/v1/health", status=401,
                                   body={"error": f"bad key {key}"})
    store = HostedStorage(reference_service.base_url, key, None)
    assert key not in repr(store)
    with pytest.raises(StorageRequestError) as caught:
        store.connect()
    assert key not in str(caught.value) and "***" in str(caught.value)


def test_wrong_key_is_refused(reference_service):
    store = HostedStorage(reference_service.base_url, "not-the-key", None)
    with pytest.raises(StorageRequestError, match="401"):
        store.connect()


def test_unreachable_service_is_transient():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    store = HostedStorage(f"http://127.0.0.1:{port}", "k", None, timeout=2)
    with pytest.raises(TransientStorageError):
        store.connect()


@pytest.mark.parametrize("url", ["", "ftp://x", "localhost:8000", "http://"])
def test_bad_url_is_rejected_at_construction(url):
    with pytest.raises(ValueError):
        HostedStorage(url, "k", None)


def test_writer_over_the_service_retries_5xx_and_keeps_the_account(reference_service, storage,
                                                                   caplog):
    pid = storage.create_pipeline("p")
    reference_service.inject_fault("POST", "/v1/storage/nodes", status=500, times=2)
    reference_service.inject_fault("POST", "/v1/storage/values", status=422, times=1)
    writer = AsyncWriter(storage, WriterConfig(batch_size=10, flush_interval=0.02,
                                               retry_backoff=0.01))
    writer.start()
    try:
        for fp in range(25):
            writer.write_node(node(fp, pid))
        writer.write_row_values([StoredRowValue(pipeline_id=pid, row_index=0, fingerprint=1,
                                                node_operation="add", value=1.0)])
        with caplog.at_level(logging.WARNING):
            assert writer.flush(timeout=10)
    finally:
        writer.stop()
    stats = writer.get_stats()
    assert stats["written"] == 25 and stats["dropped"] == {"rejected": 1}
    assert stats["retries"] == 2
    assert stats["accepted"] == stats["written"] + stats["dropped_total"] + stats["pending"]
    assert len(reference_service.storage.get_nodes(pid)) == 25
    assert reference_service.api_key not in caplog.text
