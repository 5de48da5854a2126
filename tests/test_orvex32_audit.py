"""Audits, diversity, entropy and the per-column risk report."""

import math

import numpy as np
import pandas as pd
import pytest

import corvane.utilities.orvex32 as ox

ERROR = {"error": "No tracker or empty series"}


@pytest.fixture
def tracker():
    return ox.ProvenanceTracker()


@pytest.fixture
def frame(tracker):
    df = pd.DataFrame({"income": [10.0, 20.0, 30.0, 40.0], "gender": [0, 1, 1, 0],
                       "age": [30, 40, 50, 60]})
    return ox.wrap_dataframe(df, tracker, "loans", protected=["gender"])


def series_of(tracker, prov):
    return ox.TrackedSeries(np.zeros(len(prov)), _prov=np.array(prov, dtype=np.uint32),
                            _tracker=tracker)


def test_audit_reports_row_zero(frame, tracker):
    ratio = frame["income"] / (frame["gender"] + 1)
    ratio._prov[1:] = 0
    report = ox.audit(ratio)
    p = int(ratio._prov[0])
    assert list(report) == ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables",
                            "entity", "chain", "taint", "depth", "risk", "has_protected"]
    info = tracker.decode_full(p)
    assert report == {
        "provenance": f"0x{p:08X}", "mode": "EXACT-2", "pair_count": 2, "pair_ids": [0, 1],
        "columns": [("loans", "income"), ("loans", "gender")], "tables": ["loans"],
        "entity": info.entity, "chain": info.chain, "taint": True, "depth": 1, "risk": 0.5,
        "has_protected": True,
    }


@pytest.mark.parametrize("func", [ox.audit, ox.audit_series_diversity])
def test_error_result(func, tracker):
    assert func(ox.TrackedSeries([1.0])) == ERROR
    assert func(ox.TrackedSeries([], dtype=float, _tracker=tracker)) == ERROR


def test_diversity(tracker, frame):
    fp = tracker.encode({0}, entity=3)
    report = ox.audit_series_diversity(series_of(tracker, [fp, fp, fp]))
    assert list(report) == ["total_rows", "unique_provenances", "unique_pair_sets",
                            "unique_entities", "unique_chains", "entity_diversity",
                            "tainted_provenances", "taint_ratio", "max_depth"]
    assert report == {"total_rows": 3, "unique_provenances": 1, "unique_pair_sets": 1,
                      "unique_entities": 1, "unique_chains": 1, "entity_diversity": 1 / 3,
                      "tainted_provenances": 0, "taint_ratio": 0.0, "max_depth": 0}
    a = tracker.encode({1, 2}, entity=1, taint=True, depth=2)
    b = tracker.encode({2, 3}, entity=2)
    report = ox.audit_series_diversity(series_of(tracker, [a, b, b, a]))
    assert report["unique_pair_sets"] == 3 and report["unique_provenances"] == 2
    assert report["tainted_provenances"] == 1 and report["taint_ratio"] == 0.5
    assert report["max_depth"] == 2 and report["entity_diversity"] == 0.5
    derived = ox.audit_series_diversity(frame["income"] + frame["gender"])
    assert derived["total_rows"] == 4 and derived["unique_entities"] == 1


def test_diversity_decodes_each_distinct_fingerprint_once(tracker):
    seen = []

    class Counting(ox.ProvenanceTracker):
        def decode_full(self, provenance):
            seen.append(provenance)
            return super().decode_full(provenance)

    t = Counting()
    s = series_of(t, [5, 9, 5, 5, 9])
    assert ox.audit_series_diversity(s)["unique_provenances"] == 2
    assert sorted(seen) == [5, 9] and all(type(p) is int for p in seen)


@pytest.mark.parametrize(
    "prov,expected",
    [([7, 7, 7, 7], 0.0), ([1, 1, 2, 2], 1.0), ([1, 2, 3, 4], 2.0), ([], 0.0),
     ([3, 1, 3, 2, 3, 1, 9], None)],
    ids=["uniform", "two-halves", "four-distinct", "empty", "uneven"],
)
def test_entropy(prov, expected):
    s = ox.TrackedSeries(np.zeros(len(prov)), _prov=np.array(prov, dtype=np.uint32))
    got = ox.provenance_entropy(s)
    if expected is None:
        # Same order of accumulation as counting rows into a dict.
        counts = {}
        for p in prov:
            counts[p] = counts.get(p, 0) + 1
        expected = 0.0
        for c in counts.values():
            prob = c / len(prov)
            expected -= prob * math.log2(prob)
    assert got == expected and type(got) is float


def test_entropy_accepts_non_array_fingerprints():
    s = ox.TrackedSeries([0.0] * 4)
    s._prov = [1, 1, 2, np.uint32(2)]
    assert ox.provenance_entropy(s) == 1.0


def test_risk_report_levels_and_order(tracker, frame):
    frame["ratio"] = frame["income"] / (frame["gender"] + 1)       # depth 1
    frame["twice"] = -frame["ratio"]                                # depth 2
    frame["far"] = -(-(-frame["twice"]))                            # depth 5
    frame["loose"] = [1, 2, 3, 4]                                   # no entry
    report = ox.column_risk_report(frame)
    assert [list(r) for r in report] == [["column", "tainted", "max_risk", "min_depth",
                                          "risk_level"]] * 7
    assert report == [
        {"column": "gender", "tainted": True, "max_risk": 1.0, "min_depth": 0, "risk_level": "HIGH"},
        {"column": "ratio", "tainted": True, "max_risk": 0.5, "min_depth": 1,
         "risk_level": "MEDIUM"},
        {"column": "twice", "tainted": True, "max_risk": 0.3333, "min_depth": 2,
         "risk_level": "MEDIUM"},
        {"column": "far", "tainted": True, "max_risk": 0.1667, "min_depth": 5, "risk_level": "LOW"},
        {"column": "income", "tainted": False, "max_risk": 0.0, "min_depth": None,
         "risk_level": "CLEAN"},
        {"column": "age", "tainted": False, "max_risk": 0.0, "min_depth": None,
         "risk_level": "CLEAN"},
        {"column": "loose", "tainted": False, "max_risk": 0.0, "min_depth": None,
         "risk_level": "CLEAN"},
    ]


@pytest.mark.parametrize("depth,level", [(0, "HIGH"), (1, "MEDIUM"), (3, "MEDIUM"), (4, "LOW"),
                                         (7, "LOW")])
def test_risk_level_boundaries(tracker, depth, level):
    f = ox.TrackedDataFrame({"c": [1.0, 2.0]}, _tracker=tracker, _col_prov={
        "c": np.array([tracker.encode({0}, taint=True, depth=depth), tracker.encode({0})],
                      dtype=np.uint32)})
    [row] = ox.column_risk_report(f)
    assert row["risk_level"] == level and row["min_depth"] == depth


def test_risk_report_tracker_argument(tracker, frame):
    plain = ox.TrackedDataFrame(pd.DataFrame(frame), _col_prov=frame._col_prov)
    assert ox.column_risk_report(plain) == []
    assert ox.column_risk_report(plain, tracker) == ox.column_risk_report(frame)


def test_risk_report_uses_an_overridden_get_depth(frame):
    class Shifted(ox.ProvenanceTracker):
        @staticmethod
        def get_depth(provenance):
            return 6

    report = ox.column_risk_report(frame, Shifted())
    assert report[0]["column"] == "gender" and report[0]["min_depth"] == 6
