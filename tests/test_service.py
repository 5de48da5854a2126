"""The reference service through real HTTP (urllib.request)."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import corvane

PIPELINE = {"pipeline_name": "credit_v3", "config": {"model_name": "credit", "model_version": "3", "model_id": ""}}


def db_snapshot(path):
    """Every row of every table: to prove that a rejected request stored nothing."""
    conn = sqlite3.connect(path)
    try:
        names = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")]
        return {name: conn.execute(f"SELECT * FROM {name}").fetchall() for name in names}
    finally:
        conn.close()


def create_pipeline(svc, body=PIPELINE):
    status, answer = svc.call("POST", "/v1/pipelines", body)
    assert status == 201
    return answer["pipeline_id"]


def node_obj(fp, pid, **kw):
    obj = {"fingerprint": fp, "node_type": "source", "operation": "source_feature", "table_name": "credit",
           "column_name": f"c{fp}", "pair_id": fp, "is_protected": False, "pipeline_id": pid}
    obj.update(kw)
    return obj


def value_obj(pid, row, fp=1, **kw):
    obj = {"pipeline_id": pid, "row_index": row, "fingerprint": fp, "node_operation": "source_feature",
           "column_name": "age", "value": 42.0, "text_value": None}
    obj.update(kw)
    return obj


def dashboard_doc(pid, name="credit", protected=("loans.gender",)):
    return {
        "pipeline": {"pipeline_name": name, "status": "completed", "node_count": 3, "edge_count": 2,
                     "provenance_pipeline_id": pid},
        "model": {"model_id": name, "name": name, "version": "1.0", "status": "production", "domain": "credit"},
        "fairness": {"model_id": name, "has_disparate_impact": bool(protected),
                     "protected_attributes": list(protected),
                     "details": {"node_count": 3, "edge_count": 2, "protected_sources": list(protected)}},
    }


# -- the client's requests ----------------------------------------------------


def test_a_validation_upload_round_trip(reference_service):
    svc = reference_service
    pid = create_pipeline(svc)
    assert isinstance(pid, int)
    for fp, col, prot in [(11, "age", False), (12, "income", False), (13, "gender", True)]:
        status, answer = svc.call("POST", "/v1/sources", {"pair_id": fp, "table_name": "credit", "column_name": col,
                                                           "is_protected": prot})
        assert (status, answer) == (200, {"stored": 1})
    nodes = [node_obj(11, pid), node_obj(12, pid), node_obj(13, pid, operation="source_protected", is_protected=True),
             {"fingerprint": 99, "node_type": "computation", "operation": "model_validate", "table_name": "credit",
              "column_name": "output", "is_protected": False, "pipeline_id": pid,
              "metadata": {"model_version": "3", "model_id": ""}}]
    assert svc.call("POST", "/v1/nodes", nodes) == (200, {"stored": 4})
    edges = [{"parent_fingerprint": fp, "child_fingerprint": 99} for fp in (11, 12, 13)]
    assert svc.call("POST", "/v1/edges", edges) == (200, {"stored": 3})
    results = {"pipeline_id": pid, "results": [
        {"row_key": f"credit_{pid}_model_validate_{i}", "output_name": "model_validate", "fingerprint": 99,
         "output_value": 0.5 if i else None, "input_hash": "" if i else "ab" * 32} for i in range(3)]}
    assert svc.call("POST", "/v1/results", results) == (200, {"stored": 3})
    values = [value_obj(pid, i, fp=11) for i in range(3)] + [value_obj(pid, 0, fp=99, value=None, text_value="approved",
                                                                        column_name="output")]
    assert svc.call("POST", "/v1/values", values) == (200, {"stored": 4})
    status, answer = svc.call("PATCH", f"/v1/pipelines/{pid}", {"status": "validation_complete"})
    assert status == 200 and answer["status"] == "validation_complete"

    status, pipeline = svc.call("GET", f"/v1/pipelines/{pid}")
    assert status == 200
    assert pipeline["config"] == PIPELINE["config"] and pipeline["status"] == "validation_complete"
    assert pipeline["counts"] == {"sources": 0, "nodes": 4, "edges": 0, "fingerprint_edges": 3, "results": 3,
                                  "values": 4}
    _, got = svc.call("GET", f"/v1/pipelines/{pid}/nodes")
    assert [n["fingerprint"] for n in got["nodes"]] == [11, 12, 13, 99]
    assert got["nodes"][3]["metadata"] == {"model_version": "3", "model_id": ""}
    _, got = svc.call("GET", f"/v1/pipelines/{pid}/edges")
    assert [(e["parent_fingerprint"], e["child_fingerprint"]) for e in got["fingerprint_edges"]] == [
        (11, 99), (12, 99), (13, 99)]
    _, got = svc.call("GET", f"/v1/pipelines/{pid}/results")
    assert [r["output_value"] for r in got["results"]] == [None, 0.5, 0.5]
    _, got = svc.call("GET", f"/v1/pipelines/{pid}/values?limit=2&offset=0")
    assert len(got["values"]) == 2
    _, got = svc.call("GET", f"/v1/pipelines/{pid}/values")
    assert {(v["row_index"], v["text_value"]) for v in got["values"]} >= {(0, "approved")}
    _, got = svc.call("GET", "/v1/sources")
    assert [s["column_name"] for s in got["sources"]] == ["age", "income", "gender"]
    _, got = svc.call("GET", "/v1/pipelines")
    assert [p["pipeline_id"] for p in got["pipelines"]] == [pid]


def test_the_client_request_convention_is_accepted(reference_service):
    """The request headers and a trailing slash on the base URL of the PATCH."""
    svc = reference_service
    body = json.dumps(PIPELINE).encode()
    request = urllib.request.Request(svc.url("/v1/pipelines"), data=body, method="POST", headers={
        "Authorization": "Bearer " + svc.api_key, "Content-Type": "application/json", "Accept": "application/json",
        "User-Agent": "corvane-python-client/1.0"})
    with urllib.request.urlopen(request, timeout=10) as response:
        pid = int(json.loads(response.read())["pipeline_id"])
    assert svc.call("PATCH", f"/v1/pipelines/{pid}/", {"status": "validation_complete"})[0] == 200
    recorded = svc.requests_to("POST", "/v1/pipelines")[0]
    assert recorded.header("user-agent") == "corvane-python-client/1.0"
    assert recorded.body == PIPELINE and recorded.status == 201


def test_dashboard_sync_is_stored_and_shown(reference_service):
    svc = reference_service
    pid = create_pipeline(svc, {"pipeline_name": "<script>alert(1)</script>", "config": None})
    doc = dashboard_doc(pid, protected=("loans.<b>gender</b>",))
    # the exact bytes of the dashboard request: json.dumps with default settings, only two headers
    request = urllib.request.Request(svc.url("/v1/dashboard/sync"), data=json.dumps(doc).encode("utf-8"),
                                     method="POST", headers={"Authorization": "Bearer " + svc.api_key,
                                                             "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as response:
        answer = json.loads(response.read())
    assert answer["status"] == "ok"
    _, got = svc.call("GET", f"/v1/pipelines/{pid}/dashboard")
    assert [d["document"] for d in got["documents"]] == [doc]
    _, got = svc.call("GET", "/v1/dashboard")
    assert len(got["documents"]) == 1
    status, page = svc.call("GET", "/")
    assert status == 200
    assert "<script>" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "<b>" not in page and "loans.&lt;b&gt;gender&lt;/b&gt;" in page
    assert "disparate impact" in page


def test_dashboard_without_protected_sources_and_unknown_pipeline(reference_service):
    svc = reference_service
    assert svc.call("POST", "/v1/dashboard/sync", dashboard_doc(None, protected=()))[0] == 200
    assert svc.call("POST", "/v1/dashboard/sync", dashboard_doc(12345))[0] == 200
    _, got = svc.call("GET", "/v1/dashboard")
    assert [d["pipeline_id"] for d in got["documents"]] == [None, 12345]
    status, page = svc.call("GET", "/")
    assert status == 200 and "No pipelines yet." in page


# -- the storage endpoints (for HostedStorage) --------------------------------------------------------


def test_storage_endpoints(reference_service):
    svc = reference_service
    status, answer = svc.call("POST", "/v1/pipelines", {"pipeline_name": "unnamed_pipeline", "config": None,
                                                        "git_commit": None, "tenant_id": "acme"})
    pid = answer["pipeline_id"]
    sources = {"sources": [{"pair_id": 0, "table_name": "t", "column_name": "a", "is_protected": True},
                           {"pair_id": 1, "table_name": "t", "column_name": "b"}]}
    assert svc.call("POST", "/v1/storage/sources", sources) == (200, {"stored": 2})
    nodes = {"nodes": [node_obj(5, pid, node_type="SOURCE", entity_hash=1, chain_hash=2),
                       node_obj(6, pid, node_type="SOURCE"), node_obj(7, pid, node_type="BINARY", table_name=None)]}
    assert svc.call("POST", "/v1/storage/nodes", nodes) == (200, {"stored": 3})
    status, fp_map = svc.call("GET", f"/v1/storage/pipelines/{pid}/fingerprint-map")
    assert status == 200 and [e[0] for e in fp_map["entries"]] == [5, 6, 7]
    ids = dict(fp_map["entries"])
    resolved = {"edges": [[ids[5], ids[7], 0], [ids[6], ids[7], 1]]}
    assert svc.call("POST", "/v1/storage/edges/resolved", resolved) == (200, {"stored": 2})
    fp_edges = {"pipeline_id": pid, "edges": [{"parent_fingerprint": 5, "child_fingerprint": 7, "input_position": 0}]}
    assert svc.call("POST", "/v1/storage/edges", fp_edges) == (200, {"stored": 1})
    rows = {"pipeline_id": pid, "rows": [["a1", "ratio", 7, 0.5, "f" * 64], ["a2", "ratio", 0, None, None]]}
    assert svc.call("POST", "/v1/storage/results", rows) == (200, {"stored": 2})
    values = {"values": [value_obj(pid, 0, fp=7, tenant_id="acme"), value_obj(0, 1, fp=7)]}
    assert svc.call("POST", "/v1/storage/values", values) == (200, {"stored": 2})
    _, edges = svc.call("GET", f"/v1/pipelines/{pid}/edges")
    assert [(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in edges["edges"]] == [
        (5, 7, 0), (6, 7, 1)]
    _, pipeline = svc.call("GET", f"/v1/pipelines/{pid}")
    assert pipeline["tenant_id"] == "acme"
    assert pipeline["counts"] == {"sources": 0, "nodes": 3, "edges": 2, "fingerprint_edges": 1, "results": 2,
                                  "values": 1}
    assert svc.call("GET", "/v1/health") == (200, {"status": "ok", "schema_version": 1})
    assert svc.call("GET", "/v1/storage/pipelines/999/fingerprint-map")[0] == 404


# -- authentication ---------------------------------------------------------------------------------


@pytest.mark.parametrize("header", [None, "", "Bearer", "Bearer wrong", "bearer {key}", "Bearer {key} ",
                                    "Basic {key}", "{key}"], ids=repr)
@pytest.mark.parametrize("method, path", [("GET", "/"), ("GET", "/v1/pipelines"), ("POST", "/v1/pipelines"),
                                          ("PATCH", "/v1/pipelines/1"), ("GET", "/no/such/path")])
def test_every_request_needs_the_bearer_key(reference_service, header, method, path):
    svc = reference_service
    create_pipeline(svc)
    before = db_snapshot(svc.db_path)
    headers = {} if header is None else {"Authorization": header.format(key=svc.api_key)}
    body = PIPELINE if method != "GET" else None
    status, answer = svc.call(method, path, body, api_key="", headers=headers)
    assert status == 401
    assert answer == {"error": "missing or invalid bearer token", "status": 401}
    assert svc.api_key not in json.dumps(answer)
    assert db_snapshot(svc.db_path) == before


def test_the_key_is_never_logged(reference_service, caplog):
    svc = reference_service
    with caplog.at_level("DEBUG", logger="corvane.service"):
        svc.call("POST", "/v1/pipelines", PIPELINE)
        svc.call("POST", "/v1/pipelines", PIPELINE, api_key="wrong-key-123")
    assert caplog.records
    assert svc.api_key not in caplog.text and "wrong-key-123" not in caplog.text


# -- errors ---------------------------------------------------------------------------------------


BAD_BODIES = {
    "pipeline not an object": ("POST", "/v1/pipelines", []),
    "pipeline name missing": ("POST", "/v1/pipelines", {"config": {}}),
    "pipeline name empty": ("POST", "/v1/pipelines", {"pipeline_name": ""}),
    "pipeline config not an object": ("POST", "/v1/pipelines", {"pipeline_name": "x", "config": [1]}),
    "patch without status": ("PATCH", "/v1/pipelines/{pid}", {}),
    "patch status not text": ("PATCH", "/v1/pipelines/{pid}", {"status": 1}),
    "source pair id text": ("POST", "/v1/sources", {"pair_id": "1", "table_name": "t", "column_name": "c"}),
    "source protected not bool": ("POST", "/v1/sources",
                                  {"pair_id": 1, "table_name": "t", "column_name": "c", "is_protected": 1}),
    "nodes not an array": ("POST", "/v1/nodes", {"fingerprint": 1}),
    "node fingerprint text": ("POST", "/v1/nodes", [{"fingerprint": "1"}]),
    "node fingerprint negative": ("POST", "/v1/nodes", [{"fingerprint": -1}]),
    "node fingerprint too big": ("POST", "/v1/nodes", [{"fingerprint": 2**64}]),
    "node fingerprint bool": ("POST", "/v1/nodes", [{"fingerprint": True}]),
    "last node bad": ("POST", "/v1/nodes", [node_obj(1, "{pid}"), node_obj(2, "{pid}"), {"fingerprint": None}]),
    "node not an object": ("POST", "/v1/nodes", [node_obj(1, "{pid}"), 3]),
    "edge missing child": ("POST", "/v1/edges", [{"parent_fingerprint": 1}]),
    "edges of two pipelines": ("POST", "/v1/edges", [{"parent_fingerprint": 1, "child_fingerprint": 2,
                                                      "pipeline_id": "{pid}"},
                                                     {"parent_fingerprint": 1, "child_fingerprint": 3,
                                                      "pipeline_id": 0}]),
    "results without list": ("POST", "/v1/results", {"pipeline_id": "{pid}"}),
    "result value text": ("POST", "/v1/results", {"pipeline_id": "{pid}", "results": [
        {"row_key": "a", "output_name": "o", "fingerprint": 1, "output_value": "0.5"}]}),
    "result key int": ("POST", "/v1/results", {"pipeline_id": "{pid}", "results": [
        {"row_key": 1, "output_name": "o", "fingerprint": 1}]}),
    "values not an array": ("POST", "/v1/values", value_obj(1, 0)),
    "value row index float": ("POST", "/v1/values", [value_obj("{pid}", 0), value_obj("{pid}", 1.5)]),
    "value without operation": ("POST", "/v1/values", [{"pipeline_id": 1, "row_index": 0, "fingerprint": 1}]),
    "dashboard not an object": ("POST", "/v1/dashboard/sync", [1]),
    "dashboard without fairness": ("POST", "/v1/dashboard/sync", {"pipeline": {}, "model": {}}),
    "dashboard attributes not text": ("POST", "/v1/dashboard/sync",
                                      {"pipeline": {}, "model": {}, "fairness": {"protected_attributes": [1]}}),
    "storage nodes bare array": ("POST", "/v1/storage/nodes", [node_obj(1, 1)]),
    "resolved edge of two": ("POST", "/v1/storage/edges/resolved", {"edges": [[1, 2]]}),
    "storage result row short": ("POST", "/v1/storage/results", {"pipeline_id": "{pid}", "rows": [["a", "o", 1]]}),
    "storage values missing": ("POST", "/v1/storage/values", {}),
    "storage sources missing": ("POST", "/v1/storage/sources", {"pipeline_id": None}),
}


def _fill(value, pid):
    if value == "{pid}":
        return pid
    if isinstance(value, dict):
        return {k: _fill(v, pid) for k, v in value.items()}
    if isinstance(value, list):
        return [_fill(v, pid) for v in value]
    return value


@pytest.mark.parametrize("case", sorted(BAD_BODIES))
def test_wrong_shapes_are_rejected_and_store_nothing(reference_service, case):
    svc = reference_service
    pid = create_pipeline(svc)
    method, path, body = BAD_BODIES[case]
    before = db_snapshot(svc.db_path)
    status, answer = svc.call(method, path.format(pid=pid), _fill(body, pid))
    assert status == 400, answer
    assert set(answer) == {"error", "status"} and answer["status"] == 400 and answer["error"]
    assert db_snapshot(svc.db_path) == before


@pytest.mark.parametrize("raw", [b"", b"{", b"[1,]", b"{'a': 1}", b"\xff\xfe[]", b"[NaN]",
                                 b'{"pipeline_name": "x", "config": {"a": Infinity}}', b"[" * 100000],
                         ids=lambda r: repr(r[:20]))
def test_malformed_json_is_rejected(reference_service, raw):
    svc = reference_service
    before = db_snapshot(svc.db_path)
    for path in ("/v1/pipelines", "/v1/nodes", "/v1/values"):
        status, answer = svc.call("POST", path, raw=raw)
        assert status == 400 and answer["status"] == 400
    assert db_snapshot(svc.db_path) == before


def test_unknown_paths_ids_and_methods(reference_service):
    svc = reference_service
    pid = create_pipeline(svc)
    for path in ("/v2/pipelines", "/v1/pipelines/abc", "/v1/pipelines/1/unknown", "/v1/pipelines/99999999999999999999",
                 "/favicon.ico"):
        assert svc.call("GET", path)[0] == 404, path
    for suffix in ("", "/nodes", "/edges", "/results", "/values", "/dashboard", "/sources"):
        status, answer = svc.call("GET", f"/v1/pipelines/{pid + 1}{suffix}")
        assert (status, answer["status"]) == (404, 404), suffix
    assert svc.call("PATCH", f"/v1/pipelines/{pid + 1}", {"status": "done"})[0] == 404
    assert svc.call("DELETE", f"/v1/pipelines/{pid}")[0] == 405
    assert svc.call("GET", "/v1/nodes")[0] == 405
    assert svc.call("GET", f"/v1/pipelines/{pid}/values?limit=x")[0] == 400


def test_unknown_pipeline_in_a_body_stores_nothing(reference_service):
    svc = reference_service
    pid = create_pipeline(svc)
    before = db_snapshot(svc.db_path)
    cases = [("/v1/nodes", [node_obj(1, pid), node_obj(2, pid + 7)]),
             ("/v1/values", [value_obj(pid, 0), value_obj(pid + 7, 1)]),
             ("/v1/results", {"pipeline_id": pid + 7, "results": []}),
             ("/v1/storage/edges/resolved", {"edges": [[1, 2, 0]]})]
    for path, body in cases:
        assert svc.call("POST", path, body)[0] == 404, path
    assert db_snapshot(svc.db_path) == before


def test_body_size_cap(reference_service_factory):
    svc = reference_service_factory(max_body_bytes=1024)
    body = {"pipeline_name": "x" * 100, "config": {"pad": ""}}
    size = len(json.dumps(body).encode())
    body["config"]["pad"] = "p" * (1024 - size)
    assert len(json.dumps(body).encode()) == 1024
    assert svc.call("POST", "/v1/pipelines", body)[0] == 201
    body["config"]["pad"] += "p"
    before = db_snapshot(svc.db_path)
    status, answer = svc.call("POST", "/v1/pipelines", body)
    assert status == 413 and "1024" in answer["error"]
    status, answer = svc.call("POST", "/v1/values", [value_obj(1, i) for i in range(200)])
    assert status == 413
    assert db_snapshot(svc.db_path) == before
    assert svc.call("GET", "/v1/pipelines")[0] == 200  # still serving


def test_chunked_bodies_are_refused(reference_service):
    svc = reference_service

    def chunks():
        yield b'{"pipeline_name": "x"}'

    request = urllib.request.Request(svc.url("/v1/pipelines"), data=chunks(), method="POST", headers={
        "Authorization": "Bearer " + svc.api_key, "Content-Type": "application/json"})
    with pytest.raises(urllib.error.HTTPError) as info:
        urllib.request.urlopen(request, timeout=10)
    with info.value:
        assert info.value.code == 411


# -- concurrency ------------------------------------------------------------------------------------


def test_concurrent_clients_store_every_record_exactly_once(reference_service):
    svc = reference_service
    pid = create_pipeline(svc)
    errors = []

    def client(t):
        try:
            for b in range(5):
                base = t * 10000 + b * 100
                assert svc.call("POST", "/v1/nodes", [node_obj(base + i, pid) for i in range(100)])[0] == 200
                assert svc.call("POST", "/v1/values", [value_obj(pid, base + i) for i in range(100)])[0] == 200
                assert svc.call("POST", "/v1/results", {"pipeline_id": pid, "results": [
                    {"row_key": str(base + i), "output_name": "o", "fingerprint": base + i} for i in range(100)]}
                )[0] == 200
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=client, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    expected = sorted(t * 10000 + i for t in range(8) for i in range(500))
    assert sorted(svc.storage.get_fingerprint_node_map(pid)) == expected
    assert sorted(v["row_index"] for v in svc.storage.get_row_values(pid)) == expected
    assert sorted(int(r["row_key"]) for r in svc.storage.get_results(pid)) == expected
    _, pipeline = svc.call("GET", f"/v1/pipelines/{pid}")
    assert pipeline["counts"]["nodes"] == pipeline["counts"]["values"] == pipeline["counts"]["results"] == 4000


# -- the fixture itself ------------------------------------------------------------------------------


def test_fixture_records_requests(reference_service):
    svc = reference_service
    pid = create_pipeline(svc)
    svc.call("POST", "/v1/nodes", [node_obj(1, pid)])
    svc.call("GET", "/v1/pipelines?limit=5")
    recorded = svc.requests
    assert [(r.method, r.path, r.status) for r in recorded] == [
        ("POST", "/v1/pipelines", 201), ("POST", "/v1/nodes", 200), ("GET", "/v1/pipelines", 200)]
    assert recorded[1].body == [node_obj(1, pid)]
    assert recorded[1].header("Authorization") == "Bearer " + svc.api_key
    assert recorded[2].query == "limit=5" and recorded[2].body is None
    assert svc.wait_for_requests(1, "POST", "/v1/nodes")[0] is recorded[1]
    svc.reset()
    assert svc.requests == []


def test_fixture_injects_a_status_for_the_next_n_requests(reference_service):
    svc = reference_service
    pid = create_pipeline(svc)
    svc.inject_fault("POST", "/v1/nodes", status=503, times=2)
    before = db_snapshot(svc.db_path)
    assert svc.call("POST", "/v1/nodes", [node_obj(1, pid)]) == (503, {"error": "injected fault", "status": 503})
    assert svc.call("POST", "/v1/values", [value_obj(pid, 0)])[0] == 200  # other paths unaffected
    assert svc.call("POST", "/v1/nodes", [node_obj(1, pid)])[0] == 503
    assert db_snapshot(svc.db_path)["nodes"] == before["nodes"]
    assert svc.call("POST", "/v1/nodes", [node_obj(1, pid)])[0] == 200
    assert [r.status for r in svc.requests_to("POST", "/v1/nodes")] == [503, 503, 200]


def test_fixture_injects_delays_closed_connections_and_custom_bodies(reference_service):
    svc = reference_service
    svc.inject_fault(None, "/v1/pipelines*", delay=0.3)
    start = time.monotonic()
    pid = create_pipeline(svc)
    assert time.monotonic() - start >= 0.3
    svc.inject_fault("PATCH", f"/v1/pipelines/{pid}", close=True)
    with pytest.raises(ConnectionError):  # http.client.RemoteDisconnected
        svc.call("PATCH", f"/v1/pipelines/{pid}", {"status": "validation_complete"})
    assert svc.storage.get_pipeline(pid)["status"] == "running"
    svc.inject_fault("*", "/v1/pipelines", status=200, body={"pipeline_id": None}, times=None)
    assert svc.call("POST", "/v1/pipelines", PIPELINE) == (200, {"pipeline_id": None})
    assert svc.call("GET", "/v1/pipelines") == (200, {"pipeline_id": None})
    svc.inject_fault("GET", "/v1/health", delay=2.0)
    with pytest.raises(TimeoutError):
        svc.call("GET", "/v1/health", timeout=0.2)
    svc.reset()
    assert svc.call("GET", "/v1/pipelines")[0] == 200
    assert svc.call("PATCH", f"/v1/pipelines/{pid}", {"status": "validation_complete"})[0] == 200


# -- the command line ---------------------------------------------------------------------------------


def _env():
    env = dict(os.environ)
    src = str(Path(corvane.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = src + os.pathsep + env.get("PYTHONPATH", "")
    return env


def test_command_line_generates_a_key_and_prints_the_address(tmp_path):
    db = tmp_path / "cli.db"
    cmd = [sys.executable, "-m", "corvane.service", "--db", str(db), "--port", "0", "--quiet"]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env()) as proc:
        try:
            key_line = proc.stdout.readline()
            address_line = proc.stdout.readline()
            assert key_line.startswith("corvane-service api key (generated, shown once): ")
            assert address_line.startswith("corvane-service listening on http://127.0.0.1:")
            key = key_line.rsplit(" ", 1)[1].strip()
            url = address_line.rsplit(" ", 1)[1].strip()
            request = urllib.request.Request(url + "/v1/pipelines", data=json.dumps(PIPELINE).encode(),
                                             method="POST", headers={"Authorization": "Bearer " + key})
            with urllib.request.urlopen(request, timeout=10) as response:
                assert json.loads(response.read()) == {"pipeline_id": 1, "status": "running"}
        finally:
            proc.terminate()
            _, err = proc.communicate(timeout=10)
    assert proc.returncode == 0
    assert key not in err
    assert db.exists()


def test_command_line_with_a_key_file(tmp_path):
    key_file = tmp_path / "key"
    key_file.write_text("s3cret-key\n")
    cmd = [sys.executable, "-m", "corvane.service", "--db", str(tmp_path / "k.db"), "--port", "0",
           "--api-key-file", str(key_file)]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env()) as proc:
        try:
            url = proc.stdout.readline().rsplit(" ", 1)[1].strip()
            for key, expected in (("s3cret-key", 200), ("other", 401)):
                request = urllib.request.Request(url + "/v1/health", headers={"Authorization": "Bearer " + key})
                try:
                    with urllib.request.urlopen(request, timeout=10) as response:
                        status = response.status
                except urllib.error.HTTPError as error:
                    with error:
                        status = error.code
                assert status == expected
        finally:
            proc.terminate()
            out, err = proc.communicate(timeout=10)
    assert "s3cret-key" not in out + err


def test_command_line_refuses_a_public_interface_without_a_key(tmp_path):
    cmd = [sys.executable, "-m", "corvane.service", "--db", str(tmp_path / "x.db"), "--host", "0.0.0.0",
           "--port", "0"]
    result = subprocess.run(cmd, capture_output=True, text=True, env=_env(), timeout=30)
    assert result.returncode == 2
    assert "refusing" in result.stderr
    assert not (tmp_path / "x.db").exists()


def test_a_server_without_hook_answers_401_without_reading_the_body(tmp_path):
    from corvane.service import make_server
    from corvane.utilities.persistence import SQLiteStorage

    storage = SQLiteStorage(tmp_path / "plain.db")
    server = make_server(storage, "k" * 20, max_body_bytes=4096)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01})
    thread.start()
    try:
        def post(key, body):
            request = urllib.request.Request(server.url + "/v1/pipelines", data=body, method="POST",
                                             headers={"Authorization": "Bearer " + key})
            try:
                with urllib.request.urlopen(request, timeout=10) as response:
                    return response.status
            except urllib.error.HTTPError as error:
                with error:
                    return error.code

        assert post("wrong", json.dumps(PIPELINE).encode()) == 401
        assert post("wrong", b"x" * 3000) == 401
        assert post("k" * 20, json.dumps(PIPELINE).encode()) == 201
        assert post("k" * 20, b"x" * 5000) == 413
    finally:
        server.shutdown()
        thread.join()
        server.server_close()
        storage.disconnect()
    with SQLiteStorage(tmp_path / "plain.db") as reopened:
        assert [p["pipeline_name"] for p in reopened.list_pipelines()] == ["credit_v3"]
