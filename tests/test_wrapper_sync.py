"""corvane.wrapper: _sync_prov, _content_hash and _rh, against the reference service."""

from __future__ import annotations

import datetime
import hashlib
import json
import logging
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from corvane import wrapper
from support.child import CORVANE_ROOT

ROOT = Path(__file__).resolve().parents[1]
PREFIX = "[corvane] validate() provenance: "


def md5_id(*parts) -> int:
    return int(hashlib.md5("|".join(map(str, parts)).encode()).hexdigest()[:8], 16)


def canonical_hash(row: dict) -> str:
    """The row hash as the active JSON back-end writes the canonical text."""
    if hasattr(wrapper, "_orjson"):
        import orjson

        text = orjson.dumps(row, default=str, option=orjson.OPT_SORT_KEYS)
    else:
        text = json.dumps(row, default=str, sort_keys=True).encode()
    return hashlib.sha256(text).hexdigest()


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger="corvane.wrapper")
    return caplog


def records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "corvane.wrapper"]


def sync(svc, X, y=None, protected_data=None, protected_columns=(), name="credit", version="3", **kw):
    wrapper._sync_prov(
        X, y, protected_data, list(protected_columns), name, version, kw.pop("api_key", svc.api_key),
        kw.pop("service_url", svc.base_url), **kw
    )


def bodies(svc, method, path):
    return [r.body for r in svc.requests_to(method, path)]


# ---- _content_hash / _rh ------------------------------------------------------------------


def test_content_hash():
    assert wrapper._content_hash("source", "m", "age") == md5_id("source", "m", "age")
    assert wrapper._content_hash(1, 2) == wrapper._content_hash("1", "2")
    assert wrapper._content_hash() == md5_id()
    assert 0 <= wrapper._content_hash("validation", "credit", "3") <= 0xFFFFFFFF
    # Parts are joined, not escaped.
    assert wrapper._content_hash("a|b", "c") == wrapper._content_hash("a", "b|c")


def test_row_hash():
    a = {"x": 1, "y": "é"}
    b = {"y": "é", "x": 1}
    assert wrapper._rh(a) == wrapper._rh(b) == canonical_hash(a)
    assert wrapper._rh({"d": datetime.date(2024, 5, 1)}) == canonical_hash({"d": "2024-05-01"})
    assert wrapper._rh({}) == hashlib.sha256(b"{}").hexdigest()
    # A key the encoder refuses gives the empty string, not an error.
    assert wrapper._rh({1: object(), "a": 1}) == ""
    with pytest.raises(TypeError, match=r"^Argument 'row_dict' has incorrect type \(expected dict, got list\)$"):
        wrapper._rh([])


# ---- a whole run --------------------------------------------------------------------------


def test_whole_run_is_stored_by_the_service(reference_service, log):
    svc = reference_service
    X = pd.DataFrame({"income": [1.0, 2.5, np.nan], "age": [30, 40, 50]}, index=[10, 11, 12])
    protected = pd.DataFrame({"gender": ["f", "m", None]})
    y = np.array([[0.1, 0.9], [0.3, 0.7], [0.5, 0.5]])
    sync(svc, X, y, protected, ["gender"], model_id="m-17", service_url=svc.base_url + "//")
    assert records(log) == []

    calls = [(r.method, r.path) for r in svc.requests]
    assert calls == [("POST", "/v1/pipelines")] + [("POST", "/v1/sources")] * 3 + [
        ("POST", "/v1/nodes"), ("POST", "/v1/edges"), ("POST", "/v1/results"), ("POST", "/v1/values"),
        ("PATCH", "/v1/pipelines/1"),
    ]
    assert all(r.status in (200, 201) for r in svc.requests)

    pipeline = svc.storage.get_pipeline(1)
    assert pipeline["pipeline_name"] == "credit_v3"
    assert pipeline["config"] == {"model_name": "credit", "model_version": "3", "model_id": "m-17"}
    assert list(bodies(svc, "POST", "/v1/pipelines")[0]["config"]) == ["model_name", "model_version", "model_id"]
    assert pipeline["status"] == "validation_complete"

    fp = {c: md5_id("source", "credit", c) for c in ("income", "age", "gender")}
    vfp = md5_id("validation", "credit", "3")
    sources = svc.storage.get_sources(None)
    assert [(s["pair_id"], s["column_name"], s["table_name"], s["is_protected"]) for s in sources] == [
        (fp["income"], "income", "credit", False), (fp["age"], "age", "credit", False),
        (fp["gender"], "gender", "credit", True),
    ]

    nodes = svc.storage.get_nodes(1)
    assert [(n["fingerprint"], n["node_type"], n["operation"], n["column_name"], n["is_protected"]) for n in nodes] == [
        (fp["income"], "source", "source_feature", "income", False),
        (fp["age"], "source", "source_feature", "age", False),
        (fp["gender"], "source", "source_protected", "gender", True),
        (vfp, "computation", "model_validate", "output", False),
    ]
    assert nodes[0]["pair_id"] == fp["income"] and nodes[3]["metadata"] == {"model_version": "3", "model_id": "m-17"}
    sent_nodes = bodies(svc, "POST", "/v1/nodes")[0]
    assert list(sent_nodes[0]) == ["fingerprint", "node_type", "operation", "table_name", "column_name", "pair_id",
                                   "is_protected", "pipeline_id"]
    assert list(sent_nodes[3]) == ["fingerprint", "node_type", "operation", "table_name", "column_name",
                                   "is_protected", "pipeline_id", "metadata"]

    edges = svc.storage.get_edges(1)["fingerprint"]
    assert [(e["parent_fingerprint"], e["child_fingerprint"]) for e in edges] == [(fp[c], vfp) for c in fp]

    # Row hashes are taken over the rows as pandas' iterrows gives them.
    expected_rows = [{c: row.get(c) for c in ("income", "age")} for _, row in X.iterrows()]
    results = svc.storage.get_results(1)
    assert results == [
        {"row_key": f"credit_1_model_validate_{i}", "output_name": "model_validate", "fingerprint": vfp,
         "output_value": [0.9, 0.7, 0.5][i], "input_hash": canonical_hash(expected_rows[i])}
        for i in range(3)
    ]

    values = svc.storage.get_row_values(1)
    assert len(values) == 12
    got = [(v["row_index"], v["fingerprint"], v["node_operation"], v["column_name"], v["value"], v["text_value"])
           for v in values]
    assert got == [
        (0, fp["income"], "source_feature", "income", 1.0, None),
        (0, fp["age"], "source_feature", "age", 30.0, None),
        (0, fp["gender"], "source_protected", "gender", None, "f"),
        (0, vfp, "model_validate", "output", 0.9, None),
        (1, fp["income"], "source_feature", "income", 2.5, None),
        (1, fp["age"], "source_feature", "age", 40.0, None),
        (1, fp["gender"], "source_protected", "gender", None, "m"),
        (1, vfp, "model_validate", "output", 0.7, None),
        (2, fp["income"], "source_feature", "income", None, None),  # NaN cell
        (2, fp["age"], "source_feature", "age", 50.0, None),
        (2, fp["gender"], "source_protected", "gender", None, None),
        (2, vfp, "model_validate", "output", 0.5, None),
    ]
    sent_value = bodies(svc, "POST", "/v1/values")[0][0]
    assert list(sent_value) == ["pipeline_id", "row_index", "fingerprint", "node_operation", "column_name", "value",
                                "text_value"]


def test_arrays_text_outputs_and_no_outputs(reference_service):
    svc = reference_service
    X = np.array([[1, 2], [3, 4]])
    sync(svc, X, np.array(["approved", "denied"]), name="m", version="1")
    sync(svc, X, None, name="m", version="1")
    first, second = bodies(svc, "POST", "/v1/results")
    assert [r["output_value"] for r in first["results"]] == [None, None]
    assert [r["output_value"] for r in second["results"]] == [None, None]
    assert [r["row_key"] for r in second["results"]] == ["m_2_model_validate_0", "m_2_model_validate_1"]
    text_run, none_run = bodies(svc, "POST", "/v1/values")
    outputs = [(v["value"], v["text_value"]) for v in text_run if v["column_name"] == "output"]
    assert outputs == [(None, "approved"), (None, "denied")]
    assert [v["column_name"] for v in none_run] == ["feature_0", "feature_1", "output"] * 2
    assert [(v["value"], v["text_value"]) for v in none_run][:3] == [(1.0, None), (2.0, None), (None, None)]
    assert first["results"][0]["input_hash"] == canonical_hash({"feature_0": 1, "feature_1": 2})


def test_protected_feature_column_is_sent_once_as_protected(reference_service):
    svc = reference_service
    X = pd.DataFrame({"age": [1, 2], "race": ["a", "b"]})
    protected = pd.DataFrame({"race": ["a", "b"], "sex": ["f", "m"]})
    sync(svc, X, [0, 1], protected, ["age"])
    sources = bodies(svc, "POST", "/v1/sources")
    assert [(s["column_name"], s["is_protected"]) for s in sources] == [("age", True), ("race", True), ("sex", True)]
    nodes = bodies(svc, "POST", "/v1/nodes")[0]
    assert [n["operation"] for n in nodes] == ["source_protected"] * 3 + ["model_validate"]
    # Values: features (by feature order), then every protected column, then the output.
    values = bodies(svc, "POST", "/v1/values")[0]
    assert [(v["column_name"], v["node_operation"]) for v in values[:5]] == [
        ("age", "source_feature"), ("race", "source_feature"), ("race", "source_protected"),
        ("sex", "source_protected"), ("output", "model_validate"),
    ]


@pytest.mark.parametrize(
    ("rows", "cols", "node_pages", "edge_pages", "value_pages"),
    [
        (2, 250, [100, 100, 51], [100, 100, 50], [500, 2]),
        (1000, 4, [5], [4], [500] * 10),
        (1, 99, [100], [99], [100]),
    ],
    ids=["250-columns", "1000-rows", "99-columns"],
)
def test_paging(reference_service, rows, cols, node_pages, edge_pages, value_pages):
    svc = reference_service
    X = pd.DataFrame(np.arange(rows * cols, dtype=float).reshape(rows, cols), columns=[f"c{i}" for i in range(cols)])
    sync(svc, X, np.zeros(rows))
    assert [len(b) for b in bodies(svc, "POST", "/v1/nodes")] == node_pages
    assert [len(b) for b in bodies(svc, "POST", "/v1/edges")] == edge_pages
    assert [len(b) for b in bodies(svc, "POST", "/v1/values")] == value_pages
    assert len(bodies(svc, "POST", "/v1/results")) == 1
    assert len(svc.storage.get_row_values(1)) == rows * (cols + 1)
    assert len(svc.storage.get_nodes(1)) == cols + 1


def test_empty_input_stops_after_the_graph(reference_service):
    svc = reference_service
    sync(svc, pd.DataFrame({"a": pd.Series([], dtype=float)}), None)
    assert [r.path for r in svc.requests] == ["/v1/pipelines", "/v1/sources", "/v1/nodes", "/v1/edges"]
    assert svc.storage.get_pipeline(1)["status"] != "validation_complete"


# ---- failures ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("fault", "reason"),
    [
        ({"status": 401}, "HTTP 401 from "),
        ({"status": 200, "body": {"id": 5}}, "'pipeline_id'"),
        ({"status": 200, "body": {"pipeline_id": "x1"}}, "invalid literal for int()"),
        ({"close": True}, "Remote end closed connection"),
    ],
    ids=["http-401", "no-id", "bad-id", "closed"],
)
def test_failing_pipeline_creation_ends_the_run(reference_service, log, fault, reason):
    svc = reference_service
    svc.inject_fault("POST", "/v1/pipelines", **fault)
    sync(svc, pd.DataFrame({"a": [1.0]}), [1.0])
    assert len(svc.requests) == 1
    [(level, message)] = records(log)
    assert level == "ERROR" and message.startswith(PREFIX + "pipeline creation failed: ")
    assert reason in message
    assert log.records[0].msg == PREFIX + "pipeline creation failed: %s"


def test_pipeline_id_given_as_decimal_text_is_accepted(reference_service, log):
    svc = reference_service
    svc.inject_fault("POST", "/v1/pipelines", status=201, body={"pipeline_id": "42"})
    sync(svc, pd.DataFrame({"a": [1.0]}), [1.0])
    assert bodies(svc, "POST", "/v1/results")[0]["pipeline_id"] == 42
    assert svc.requests[-1].path == "/v1/pipelines/42"


def test_failing_pages_are_logged_and_the_run_goes_on(reference_service, log):
    svc = reference_service
    svc.inject_fault("POST", "/v1/sources", status=500, times=None)
    svc.inject_fault("POST", "/v1/nodes", status=500)
    svc.inject_fault("POST", "/v1/edges", status=503, times=2)
    svc.inject_fault("POST", "/v1/results", status=500)
    svc.inject_fault("POST", "/v1/values", close=True)
    svc.inject_fault("PATCH", "/v1/pipelines/1", status=500)
    X = pd.DataFrame(np.ones((3, 250)), columns=[f"c{i}" for i in range(250)])
    sync(svc, X, [1, 0, 1])
    got = records(log)
    assert [level for level, _ in got] == ["WARNING", "WARNING", "WARNING", "ERROR", "ERROR"]
    assert got[0][1].startswith(PREFIX + "node batch failed: HTTP 500 from ")
    assert got[1][1].startswith(PREFIX + "edge batch failed: HTTP 503 from ")
    assert got[3][1].startswith(PREFIX + "results upload failed: HTTP 500 from ")
    assert got[4][1].startswith(PREFIX + "values batch failed: ")
    # Every page was still sent: 3 node pages, 3 edge pages, 2 value pages, the completion.
    assert [len(svc.requests_to("POST", p)) for p in ("/v1/sources", "/v1/nodes", "/v1/edges", "/v1/values")] == [
        250, 3, 3, 2,
    ]
    assert len(svc.storage.get_nodes(1)) == 151  # the first node page was refused
    assert len(svc.storage.get_row_values(1)) == 753 - 500
    assert svc.storage.get_results(1) == []
    assert svc.requests[-1].method == "PATCH" and svc.requests[-1].status == 500


def test_api_key_never_reaches_a_log_record(reference_service, log, monkeypatch):
    svc = reference_service
    key = svc.api_key

    def echoing(url, api_key, payload, timeout=120):
        raise RuntimeError(f"proxy refused Authorization: Bearer {api_key}")

    monkeypatch.setattr(wrapper, "_post_json", echoing)
    sync(svc, pd.DataFrame({"a": [1.0]}), [1.0])
    [(level, message)] = records(log)
    assert key not in message and message.endswith("Bearer ***")


def test_interrupts_are_not_swallowed(monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(wrapper, "_post_json", interrupted)
    with pytest.raises(KeyboardInterrupt):
        wrapper._sync_prov([[1]], None, None, [], "m", "1", "k", "http://127.0.0.1:9")


class Text(str):
    pass


@pytest.mark.parametrize(
    ("position", "value", "message"),
    [
        (3, ("a",), "Argument 'protected_columns' has incorrect type (expected list, got tuple)"),
        (4, None, "Argument 'model_name' has incorrect type (expected str, got NoneType)"),
        (5, 3, "Argument 'model_version' has incorrect type (expected str, got int)"),
        (6, Text("k"), "Argument 'api_key' has incorrect type (expected str, got Text)"),
        (7, None, "Argument 'service_url' has incorrect type (expected str, got NoneType)"),
        (8, 0, "Argument 'model_id' has incorrect type (expected str, got int)"),
    ],
    ids=["protected_columns", "model_name", "model_version", "api_key", "service_url", "model_id"],
)
def test_argument_types_are_checked_before_any_request(monkeypatch, position, value, message):
    monkeypatch.setattr(wrapper, "_post_json", pytest.fail)
    args = [[[1.0]], None, None, [], "m", "1", "k", "http://127.0.0.1:9", ""]
    args[position] = value
    with pytest.raises(TypeError) as info:
        wrapper._sync_prov(*args)
    assert str(info.value) == message


# ---- rebinding collaborators -------------------------------------------------------------


class Recorder:
    def __init__(self):
        self.calls = []

    def post(self, url, api_key, payload, timeout=120):
        self.calls.append(("POST", url, json.loads(json.dumps(payload)), timeout))
        return {"pipeline_id": 7} if url.endswith("/v1/pipelines") else {}

    def patch(self, url, api_key, payload, timeout=30):
        self.calls.append(("PATCH", url, payload, timeout))
        return None


def run_recorded(monkeypatch, X, y, protected_data, protected_columns):
    rec = Recorder()
    with monkeypatch.context() as m:
        m.setattr(wrapper, "_post_json", rec.post)
        m.setattr(wrapper, "_patch_json", rec.patch)
        wrapper._sync_prov(X, y, protected_data, protected_columns, "m", "2", "k", "http://svc/")
    return rec.calls


SYNC_INPUTS = {
    "frame": lambda: (
        pd.DataFrame({"a": [1.0, np.nan, 3.0], "b": ["x", "y" * 300, None], "c": [1, 2, 3]}),
        np.array([0.2, np.nan, 1.0]),
        pd.DataFrame({"g": [True, False, True]}),
        ["g"],
    ),
    "int-labels": lambda: (pd.DataFrame(np.arange(6.0).reshape(3, 2)), None, None, []),
    "rows-list": lambda: ([[1, "a"], [2, "b"]], ["yes", 0.5], None, []),
    "dates": lambda: (
        pd.DataFrame({"d": pd.to_datetime(["2024-01-01", "2024-02-01"]), "v": [1.5, 2.5]}), [1, 2], None, [],
    ),
}


@pytest.mark.parametrize("case", list(SYNC_INPUTS))
def test_rebound_collaborators_give_the_same_requests(monkeypatch, case):
    inputs = SYNC_INPUTS[case]()
    native = run_recorded(monkeypatch, *SYNC_INPUTS[case]())
    originals = {name: getattr(wrapper, name) for name in ("_gs", "_content_hash", "_rh", "_trd", "_fo", "_rc", "_cn")}
    counts = dict.fromkeys(originals, 0)

    def spy(name):
        def call(*args, **kwargs):
            counts[name] += 1
            return originals[name](*args, **kwargs)

        return call

    for name in originals:
        monkeypatch.setattr(wrapper, name, spy(name))
    literal = run_recorded(monkeypatch, *inputs)
    assert literal == native
    n_values = sum(len(c[2]) for c in native if c[1].endswith("/v1/values"))
    n_rows = originals["_rc"](inputs[0])
    # The literal protocol: _gs once per value object plus once per result, _rh once per row.
    assert counts["_gs"] == n_values + n_rows
    assert counts["_rh"] == n_rows
    assert counts["_rc"] == 1 and counts["_fo"] == 1


def test_recorded_request_sequence_and_timeouts(monkeypatch):
    calls = run_recorded(monkeypatch, [[1.0]], [0.5], None, [])
    assert [(c[0], c[1], c[3]) for c in calls] == [
        ("POST", "http://svc/v1/pipelines", 120),
        ("POST", "http://svc/v1/sources", 120),
        ("POST", "http://svc/v1/nodes", 120),
        ("POST", "http://svc/v1/edges", 120),
        ("POST", "http://svc/v1/results", 120),
        ("POST", "http://svc/v1/values", 120),
        ("PATCH", "http://svc/v1/pipelines/7", 30),
    ]
    assert calls[-1][2] == {"status": "validation_complete"}


def test_integer_column_labels_keep_their_values(monkeypatch):
    calls = run_recorded(monkeypatch, pd.DataFrame([[1.5, 2.5]]), None, None, [])
    [values] = [c[2] for c in calls if c[1].endswith("/v1/values")]
    assert [(v["column_name"], v["value"]) for v in values] == [("0", 1.5), ("1", 2.5), ("output", None)]


# ---- the standard-library back-end, whole run ------------------------------------------------


def test_without_orjson_whole_run(tmp_path):
    code = textwrap.dedent(
        f"""
        import sys, json
        sys.modules["orjson"] = None
        sys.path.insert(0, {str(ROOT / "tests")!r})
        from support.service import ReferenceService
        from corvane import wrapper
        import pandas as pd
        assert not hasattr(wrapper, "_orjson")
        with ReferenceService({str(tmp_path / "db.sqlite")!r}) as svc:
            X = pd.DataFrame({{"a": [1.0, 2.0], "b": ["é", "x"]}})
            wrapper._sync_prov(X, [0.25, 0.75], None, [], "m", "1", svc.api_key, svc.base_url)
            print(json.dumps([svc.storage.get_results(1), len(svc.storage.get_row_values(1)),
                              svc.storage.get_pipeline(1)["status"]]))
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env={"PYTHONPATH": CORVANE_ROOT + os.pathsep + str(ROOT / "tests"), "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    results, n_values, status = json.loads(done.stdout)
    assert status == "validation_complete" and n_values == 6
    assert [r["output_value"] for r in results] == [0.25, 0.75]
    # Standard-library canonical text: ", " / ": " separators, ASCII escapes.
    expected = hashlib.sha256(json.dumps({"a": 1.0, "b": "é"}, sort_keys=True).encode()).hexdigest()
    assert results[0]["input_hash"] == expected
