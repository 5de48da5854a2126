"""DAGTracker persistence against the reference service and SQLite: whole runs,
the columnar hand-off against the per-row protocol, eviction during a run,
pipeline runs and the dashboard report."""

from __future__ import annotations

import json
import logging

import numpy as np
import pandas as pd
import pytest

from corvane.utilities import orvex32_dag as dag
from corvane.utilities.orvex32_dag import DAGTracker, wrap_dataframe_dag

LOGGER = "corvane.utilities.orvex32_dag"


class LiteralTracker(DAGTracker):
    """Overrides one collaborator, which sends every operation down the per-row protocol."""

    def combine(self, prov_a, prov_b, op=1):
        return super().combine(prov_a, prov_b, op)


def frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    return pd.DataFrame({
        "income": rng.integers(1_000, 9_000, n).astype(float),
        "debt": rng.integers(0, 5_000, n).astype(float),
        "gender": rng.integers(0, 2, n),
    })


def run_pipeline(tracker: DAGTracker, n: int = 300):
    df = frame(n)
    df.loc[3, "debt"] = np.nan  # a NaN cell: no row value, still a fingerprint
    tdf = wrap_dataframe_dag(df, tracker, "applicants", protected=["gender"])
    ratio = tdf["debt"] / tdf["income"]
    mixed = ratio + tdf["gender"]
    score = -mixed
    return tdf, score


def stored_run(storage, pipeline_id):
    """What storage holds for a pipeline, without storage-assigned ids and times."""
    nodes = storage.get_nodes(pipeline_id)
    by_id = {n["node_id"]: n["fingerprint"] for n in nodes}
    edges = storage.get_edges(pipeline_id)
    return {
        "nodes": [{k: v for k, v in n.items() if k != "node_id"} for n in nodes],
        "edges": [(by_id[e["parent_node_id"]], by_id[e["child_node_id"]], e["input_position"])
                  for e in edges["resolved"]],
        "fingerprint_edges": [(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"])
                              for e in edges["fingerprint"]],
        "values": storage.get_row_values(pipeline_id),
        "dashboard": [d["document"] for d in storage.get_dashboard_documents(pipeline_id)],
    }


def expected_graph(tracker: DAGTracker):
    fps, edges = [], []
    for node_id in tracker._nodes:
        node = tracker._nodes[node_id]
        if node.provenance not in fps:
            fps.append(node.provenance)
        for i, operand in enumerate(node.inputs):
            if operand in tracker._nodes:
                key = (tracker._nodes[operand].provenance, node.provenance, i)
                if key not in edges:
                    edges.append(key)
    return fps, edges


@pytest.fixture
def make_tracker(reference_service):
    made = []

    def make(cls=DAGTracker, **kwargs):
        kwargs.setdefault("pipeline_name", "credit-scoring")
        tracker = cls(api_key=reference_service.api_key, service_url=reference_service.base_url,
                      tenant_id="acme", **kwargs)
        made.append(tracker)
        return tracker

    yield make
    for tracker in made:
        tracker.disable_persistence()


@pytest.mark.parametrize("cls", [DAGTracker, LiteralTracker], ids=["columnar", "per-row"])
def test_tracked_run_ends_with_the_service_holding_the_whole_run(reference_service, make_tracker, cls):
    tracker = make_tracker(cls)
    tdf, score = run_pipeline(tracker)
    pipeline_id = tracker._pipeline_id
    assert tracker.flush() is True
    run = stored_run(reference_service.storage, pipeline_id)

    fps, edges = expected_graph(tracker)
    assert [n["fingerprint"] for n in run["nodes"]] == fps
    assert sorted(run["edges"]) == sorted(edges)
    assert run["fingerprint_edges"] == edges
    node = tracker._nodes[int(score._node_ids[0])]
    info = tracker.decode_full(node.provenance)
    stored = next(n for n in run["nodes"] if n["fingerprint"] == node.provenance)
    assert stored == {"pipeline_id": pipeline_id, "fingerprint": node.provenance, "node_type": "UNARY",
                      "operation": "neg", "table_name": None, "column_name": None, "pair_id": None,
                      "is_protected": True, "entity_hash": info.entity, "chain_hash": info.chain,
                      "metadata": {}}
    source = next(n for n in run["nodes"] if n["operation"] == "applicants.gender")
    assert (source["node_type"], source["table_name"], source["column_name"], source["is_protected"]) == \
        ("SOURCE", "applicants", "gender", True)

    # every row value: three source columns (one NaN cell), div (one NaN), add (one NaN), neg (one NaN)
    values = run["values"]
    assert len(values) == 3 * 300 - 1 + 3 * 299
    by_op = {}
    for v in values:
        by_op.setdefault((v["node_operation"], v["column_name"]), []).append(v)
    assert sorted(by_op) == [("add", None), ("applicants.debt", "debt"), ("applicants.gender", "gender"),
                             ("applicants.income", "income"), ("div", None), ("neg", None)]
    neg = {v["row_index"]: v for v in by_op[("neg", None)]}
    assert 3 not in neg
    assert neg[5]["value"] == pytest.approx(float(score.iloc[5]))
    assert neg[5]["fingerprint"] == int(score._prov[5])
    assert {v["pipeline_id"] for v in values} == {pipeline_id}
    assert {v["tenant_id"] for v in values} == {"acme"}

    assert run["dashboard"] == [{
        "pipeline": {"pipeline_name": "credit-scoring", "status": "completed", "node_count": len(fps),
                     "edge_count": len(edges), "provenance_pipeline_id": pipeline_id},
        "model": {"model_id": "credit-scoring", "name": "credit-scoring", "version": "1.0",
                  "status": "production", "domain": "credit"},
        "fairness": {"model_id": "credit-scoring", "has_disparate_impact": True,
                     "protected_attributes": ["applicants.gender"],
                     "details": {"node_count": len(fps), "edge_count": len(edges),
                                 "protected_sources": ["applicants.gender"]}},
    }]
    stats = tracker.get_persistence_stats()
    assert stats["accepted"] == stats["written"] and stats["dropped_total"] == 0
    assert (stats["nodes_written"], stats["edges_written"]) == (len(fps), len(edges))


def test_columnar_and_per_row_runs_store_the_same(reference_service, make_tracker):
    runs = []
    for cls in (DAGTracker, LiteralTracker):
        tracker = make_tracker(cls)
        tracker._value_flush_threshold = 70  # several hand-offs inside one operation
        run_pipeline(tracker, n=500)
        tracker.flush()
        run = stored_run(reference_service.storage, tracker._pipeline_id)
        for record in run["nodes"] + run["values"]:
            record.pop("pipeline_id")
        run["dashboard"][0]["pipeline"].pop("provenance_pipeline_id")
        runs.append((run, tracker.get_persistence_stats()))
    (columnar, columnar_stats), (per_row, per_row_stats) = runs
    assert columnar == per_row
    # the account counts what the per-row protocol hands over, record for record
    assert columnar_stats["accepted"] == per_row_stats["accepted"]
    assert columnar_stats["batches"] < per_row_stats["batches"]


def test_eviction_during_a_run_keeps_the_edges_of_operands_still_held(reference_service, make_tracker):
    """Operands evicted while a long operation runs lose their edges from that row on."""
    runs = []
    for cls in (DAGTracker, LiteralTracker):
        tracker = make_tracker(cls)
        tracker._max_nodes = 700
        tdf = wrap_dataframe_dag(frame(400), tracker, "t")
        first = tdf["income"] - tdf["debt"]    # 400 nodes, source operands
        second = first * tdf["debt"]           # operands from `first`, evicted part-way
        third = second + first
        tracker.flush()
        run = stored_run(reference_service.storage, tracker._pipeline_id)
        for record in run["nodes"] + run["values"]:
            record.pop("pipeline_id")
        run["dashboard"][0]["pipeline"].pop("provenance_pipeline_id")
        runs.append((run, len(tracker._nodes), list(third._node_ids[:5])))
    assert runs[0] == runs[1]


def test_source_after_a_report_starts_a_new_pipeline(reference_service, make_tracker):
    tracker = make_tracker()
    tdf = wrap_dataframe_dag(frame(20), tracker, "a")
    first_id = tracker._pipeline_id
    tdf["income"] + tdf["debt"]
    tracker.flush()
    assert tracker._dashboard_synced and tracker._nodes_persisted
    wrap_dataframe_dag(frame(20), tracker, "a")
    second_id = tracker._pipeline_id
    assert second_id != first_id
    assert (tracker._dashboard_synced, tracker._nodes_persisted) == (False, False)
    assert (tracker._nodes_written, tracker._edges_written) == (0, 0)
    storage = reference_service.storage
    assert storage.get_pipeline(first_id)["status"] == "completed"
    assert storage.get_pipeline(second_id)["status"] == "running"
    tracker.flush()
    doc = storage.get_dashboard_documents(second_id)[0]["document"]
    # three fresh source nodes; the first run's nodes stay in the tracker and count too
    assert doc["pipeline"]["node_count"] == len(expected_graph(tracker)[0])


def test_leaving_with_by_an_exception_keeps_the_pipeline_failed(reference_service, make_tracker):
    tracker = make_tracker()
    with pytest.raises(KeyError):
        with tracker:
            tdf = wrap_dataframe_dag(frame(10), tracker, "a")
            pipeline_id = tracker._pipeline_id
            raise KeyError("boom")
    patches = [r.body["status"] for r in reference_service.requests_to("PATCH", f"/v1/pipelines/{pipeline_id}")]
    assert patches == ["failed"]
    assert reference_service.storage.get_pipeline(pipeline_id)["status"] == "failed"
    assert (tracker._writer, tracker._storage, tracker._pipeline_id) == (None, None, None)
    # the run was still flushed before closing
    assert len(reference_service.storage.get_row_values(pipeline_id)) == 30
    del tdf


def test_leaving_with_normally_completes_the_pipeline(reference_service, make_tracker):
    with make_tracker() as tracker:
        wrap_dataframe_dag(frame(10), tracker, "a")
        pipeline_id = tracker._pipeline_id
    patches = [r.body["status"] for r in reference_service.requests_to("PATCH", f"/v1/pipelines/{pipeline_id}")]
    assert patches == ["completed"]
    assert len(reference_service.requests_to("POST", "/v1/dashboard/sync")) == 1


@pytest.mark.parametrize(
    "suffix, name, expect_name, expect_model_name",
    [
        ("", None, "unnamed_pipeline", "Unnamed Pipeline"),
        ("/", "", "unnamed_pipeline", "Unnamed Pipeline"),
        ("///", "scoring", "scoring", "scoring"),
    ],
    ids=["no-slash-no-name", "slash-empty-name", "slashes-named"],
)
def test_dashboard_request(reference_service, suffix, name, expect_name, expect_model_name):
    tracker = DAGTracker(api_key=reference_service.api_key, service_url=reference_service.base_url + suffix,
                         pipeline_name=name)
    try:
        tdf = wrap_dataframe_dag(frame(5), tracker, "t")  # nothing protected
        tdf["income"] + tdf["debt"]
        tracker.flush()
    finally:
        tracker.disable_persistence()
    [request] = reference_service.requests_to("POST", "/v1/dashboard/sync")
    assert request.path == "/v1/dashboard/sync"
    assert request.header("Authorization") == "Bearer " + reference_service.api_key
    assert request.header("Content-Type") == "application/json"
    assert request.raw_body == json.dumps(request.body).encode("utf-8")
    assert list(request.body) == ["pipeline", "model", "fairness"]
    assert request.body["pipeline"]["pipeline_name"] == expect_name
    assert request.body["model"]["model_id"] == expect_name
    assert request.body["model"]["name"] == expect_model_name
    assert request.body["fairness"]["model_id"] == expect_name
    assert request.body["fairness"]["has_disparate_impact"] is False
    assert request.body["fairness"]["protected_attributes"] == []
    assert request.body["fairness"]["details"]["protected_sources"] == []


def test_dashboard_failure_is_logged_once_and_flush_succeeds(reference_service, make_tracker, caplog):
    tracker = make_tracker()
    wrap_dataframe_dag(frame(5), tracker, "t")
    reference_service.inject_fault("POST", "/v1/dashboard/sync", status=500)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert tracker.flush() is True
        assert tracker.flush() is True  # not retried within the run
    records = [r for r in caplog.records if r.name == LOGGER]
    assert [r.msg for r in records] == ["Dashboard sync failed (non-fatal): %s"]
    assert "500" in records[0].getMessage()
    assert reference_service.api_key not in records[0].getMessage()
    assert tracker._dashboard_synced is True
    assert len(reference_service.requests_to("POST", "/v1/dashboard/sync")) == 1


def test_protected_column_of_two_runs_is_listed_once(reference_service, make_tracker):
    tracker = make_tracker()
    wrap_dataframe_dag(frame(5), tracker, "t", protected=["gender"])
    tracker.flush()
    wrap_dataframe_dag(frame(5), tracker, "t", protected=["gender"])
    tracker.flush()
    documents = reference_service.storage.get_dashboard_documents()
    assert documents[-1]["document"]["fairness"]["protected_attributes"] == ["t.gender"]
    assert documents[-1]["document"]["fairness"]["details"]["protected_sources"] == ["t.gender"]


def test_without_a_key_nothing_is_written(reference_service):
    tracker = DAGTracker(service_url=reference_service.base_url)
    tdf = wrap_dataframe_dag(frame(5), tracker, "t")
    tdf["income"] + tdf["debt"]
    assert tracker.flush() is True
    assert tracker.get_persistence_stats() is None
    tracker._pipeline_id = 5
    tracker.disable_persistence()
    assert tracker._pipeline_id is None
    assert reference_service.requests == []
    assert len(tracker._value_buffer) == 20  # buffered, never handed over


def test_the_api_key_never_shows(reference_service, make_tracker, caplog):
    tracker = make_tracker()
    reference_service.inject_fault("POST", "/v1/dashboard/sync", status=500, body=reference_service.api_key)
    with caplog.at_level(logging.DEBUG):
        wrap_dataframe_dag(frame(5), tracker, "t")
        tracker.flush()
    key = reference_service.api_key
    assert all(key not in r.getMessage() for r in caplog.records)
    assert key not in repr(tracker._storage) and key not in repr(tracker._writer)
    assert key not in repr(tracker)
