"""TrackedDataFrame selection, assignment and merge; wrap_dataframe."""

import numpy as np
import pandas as pd
import pytest

import corvane.utilities.orvex32 as ox
from corvane._orvex32 import encode_source_column


@pytest.fixture
def df():
    return pd.DataFrame({"income": [10.0, 20.0, 30.0], "gender": [0, 1, 1], "age": [30, 40, 50]},
                        index=["r0", "r1", "r2"])


@pytest.fixture
def tracker():
    return ox.ProvenanceTracker()


def taints(t, prov):
    return [t.is_tainted(int(p)) for p in prov]


def depths(t, prov):
    return [t.get_depth(int(p)) for p in prov]


# -- wrap_dataframe ------------------------------------------------------------


def test_wrap_with_one_protected_column(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans", protected=["gender"])
    assert type(w) is ox.TrackedDataFrame and w._tracker is tracker
    assert list(w._col_prov) == ["income", "gender", "age"]
    assert tracker._name_to_id == {("loans", "income"): 0, ("loans", "gender"): 1,
                                   ("loans", "age"): 2}
    assert tracker._protected_columns == {("loans", "gender")}
    assert tracker._protected_tables == set()
    g = w["gender"]
    assert taints(tracker, g._prov) == [True] * 3 and depths(tracker, g._prov) == [0] * 3
    assert taints(tracker, w["income"]._prov) == [False] * 3
    entities = np.array([hash(r) & 0xFFFFFFFF for r in df.index], dtype=np.uint32) % 256
    np.testing.assert_array_equal(
        w._col_prov["gender"], encode_source_column(tracker._native, 1, entities, True))
    assert [tracker.decode(int(p)) for p in w._col_prov["age"]] == [{2}] * 3
    pd.testing.assert_frame_equal(pd.DataFrame(w), df)


@pytest.mark.parametrize(
    "protected,tables,tainted_cols",
    [
        (True, {"loans"}, {"income", "gender", "age"}),
        ([], set(), set()),
        (False, set(), set()),
        (("gender", "age"), set(), {"gender", "age"}),
        ({"age"}, set(), {"age"}),
        (frozenset({"age"}), {"loans"}, {"income", "gender", "age"}),
        ({"age": 1}, {"loans"}, {"income", "gender", "age"}),
        (frozenset(), set(), set()),
    ],
    ids=["flag-true", "empty-list", "flag-false", "tuple", "set", "frozenset-is-a-flag",
         "dict-is-a-flag", "empty-frozenset"],
)
def test_wrap_protection_rules(df, tracker, protected, tables, tainted_cols):
    w = ox.wrap_dataframe(df, tracker, "loans", protected=protected)
    assert tracker._protected_tables == tables
    for col in df.columns:
        assert all(taints(tracker, w[col]._prov)) == (col in tainted_cols)
        assert tracker.is_protected("loans", col) == (col in tainted_cols)


def test_wrap_taint_follows_earlier_registrations(df, tracker):
    tracker.register("loans", "age", protected=True)
    w = ox.wrap_dataframe(df, tracker, "loans", protected=["gender"])
    assert all(taints(tracker, w["age"]._prov))
    assert tracker.get_id("loans", "age") == 0


def test_wrap_without_entities(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans", include_entity=False)
    assert {tracker.decode_full(int(p)).entity for p in w._col_prov["income"]} == {0}


def test_wrap_type_errors_and_limit(df, tracker):
    with pytest.raises(TypeError, match=r"Argument 'table' has incorrect type \(expected str, "
                                        r"got bytes\)"):
        ox.wrap_dataframe(df, tracker, b"loans")
    tracker.register_table("x", [f"c{i}" for i in range(510)])
    with pytest.raises(ValueError, match="Maximum 512 pairs supported"):
        ox.wrap_dataframe(df, tracker, "loans")
    assert tracker.get_id("loans", "gender") == 511 and tracker.get_id("loans", "age") is None


def test_wrap_unhashable_row_label(tracker):
    frame = pd.DataFrame({"a": [1, 2]}, index=pd.Index([[1], [2]], dtype=object))
    with pytest.raises(TypeError, match="unhashable"):
        ox.wrap_dataframe(frame, tracker, "t")


INDEXES = [
    pd.RangeIndex(5),
    pd.Index([-1, -2, 2**62, -(2**63), 7], dtype="int64"),
    pd.Index([1, 2**63, 2**64 - 1, 0, 5], dtype="uint64"),
    pd.Index([0.5, -1.0, 3.0, 1e300, 2.25]),
    pd.Index(["a", "bb", "ccc", "", "e"]),
    pd.Index(["a", None, 3, (1, 2), 2.0], dtype=object),
    pd.date_range("2024-01-01", periods=5, freq="h", tz="UTC"),
    pd.MultiIndex.from_arrays([[1, 1, 2, 2, 3], ["x", "y", "x", "y", "z"]]),
    pd.Index([True, False, True, True, False]),
    pd.CategoricalIndex(["u", "v", "u", "w", "v"]),
]


@pytest.mark.parametrize("index", INDEXES, ids=lambda i: type(i).__name__ + str(i.dtype))
def test_entities_match_entity_from_row_for_every_index_kind(tracker, index):
    frame = pd.DataFrame({"a": np.arange(5.0), "b": np.arange(5.0)}, index=index)
    calls = []

    class Literal(ox.ProvenanceTracker):
        def entity_from_row(self, row_id):
            calls.append(row_id)
            return super().entity_from_row(row_id)

    literal = Literal()
    fast = ox.wrap_dataframe(frame, tracker, "t")
    slow = ox.wrap_dataframe(frame, literal, "t")
    assert len(calls) == 10  # once per row and column, through method lookup
    for col in ("a", "b"):
        np.testing.assert_array_equal(fast._col_prov[col], slow._col_prov[col])
    expected = [ox._hash_entity(frame.index[i]) % 256 for i in range(5)]
    assert [tracker.decode_full(int(p)).entity for p in fast._col_prov["a"]] == expected


def test_wrap_honours_subclass_hooks_and_rebound_hash(df, tracker, monkeypatch):
    class AllProtected(ox.ProvenanceTracker):
        def is_protected(self, table, column=None):
            return True

        def entity_from_row(self, row_id):
            return 300

    t = AllProtected()
    w = ox.wrap_dataframe(df, t, "loans")
    assert all(taints(t, w._col_prov["income"]))
    assert {t.decode_full(int(p)).entity for p in w._col_prov["income"]} == {300 % 256}
    monkeypatch.setattr(ox, "_hash_entity", lambda row_id: 513)
    w = ox.wrap_dataframe(df, tracker, "loans")
    assert {tracker.decode_full(int(p)).entity for p in w._col_prov["age"]} == {1}


# -- selection, assignment, merge ------------------------------------------------


def test_getitem(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans", protected=["gender"])
    s = w["income"]
    assert type(s) is ox.TrackedSeries and s.name is None and s._tracker is tracker
    assert s.index.equals(df.index) and s.tolist() == [10.0, 20.0, 30.0]
    np.testing.assert_array_equal(s._prov, w._col_prov["income"])
    assert s._prov is not w._col_prov["income"]
    sub = w[["income", "age"]]
    assert type(sub) is ox.TrackedDataFrame
    w2 = ox.TrackedDataFrame(df, _tracker=tracker)
    assert w2["age"]._prov.tolist() == [0, 0, 0]


def test_getitem_repairs_length_after_filtering(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans")
    filtered = w[w["age"] > 35]
    assert len(filtered) == 2 and len(filtered._col_prov["income"]) == 3
    s = filtered["income"]
    assert s._prov.tolist() == [int(w._col_prov["income"][0])] * 2
    filtered._col_prov["income"] = np.array([], dtype=np.uint32)
    assert filtered["income"]._prov.tolist() == [0, 0]


@pytest.mark.skipif(int(pd.__version__.split(".")[0]) < 3,
                    reason="pandas 2 without copy-on-write shares column data, as plain pandas does")
def test_selected_series_does_not_write_through(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans")
    s = w["income"]
    s.iloc[0] = -1.0
    assert w["income"].iloc[0] == 10.0 and df["income"].iloc[0] == 10.0
    w.loc["r1", "income"] = 99.0
    assert s.iloc[1] == 20.0


def test_setitem(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans", protected=["gender"])
    ratio = w["income"] * w["gender"]
    w["ratio"] = ratio
    np.testing.assert_array_equal(w._col_prov["ratio"], ratio._prov)
    assert w._col_prov["ratio"] is not ratio._prov
    old = w._col_prov["income"]
    w["income"] = 0.0
    assert w._col_prov["income"] is old
    w["plain"] = [1, 2, 3]
    assert "plain" not in w._col_prov and w["plain"]._prov.tolist() == [0, 0, 0]


def test_derived_frames_do_not_share_the_fingerprint_dict(df, tracker):
    w = ox.wrap_dataframe(df, tracker, "loans")
    copy = w.copy()
    assert copy._col_prov == w._col_prov
    copy["new"] = w["income"] + 1
    assert "new" in copy._col_prov and "new" not in w._col_prov


def test_merge(tracker):
    left = ox.wrap_dataframe(pd.DataFrame({"k": [1, 2, 3], "x": [1.0, 2.0, 3.0]}), tracker, "l",
                             protected=["x"])
    right = ox.wrap_dataframe(pd.DataFrame({"k": [1, 2, 2], "y": [5.0, 6.0, 7.0]}), tracker, "r")
    merged = left.merge(right, on="k")
    assert type(merged) is ox.TrackedDataFrame and merged._tracker is tracker
    assert len(merged) == 3 and list(merged._col_prov) == ["k", "x", "y"]
    for col, source in [("k", left), ("x", left), ("y", right)]:
        expected = tracker.update_chain(int(source._col_prov[col][0]), ox.OpCode.MERGE)
        assert merged._col_prov[col].tolist() == [expected] * 3
        assert merged._col_prov[col].dtype == np.uint32
    assert depths(tracker, merged["x"]._prov) == [1] * 3 and all(taints(tracker, merged["x"]._prov))

    plain = left.merge(pd.DataFrame({"k": [1], "z": [0.0]}), on="k")
    assert list(plain._col_prov) == ["k", "x"]
    clash = left.merge(right.rename(columns={"y": "x"}), on="k")
    assert list(clash._col_prov) == ["k"]  # x_x and x_y match no entry

    untracked = ox.TrackedDataFrame({"k": [1, 2]}, _col_prov={"k": np.array([9, 9], dtype=np.uint32)})
    assert untracked.merge(pd.DataFrame({"k": [2]}), on="k")._col_prov["k"].tolist() == [9]


def test_frame_class_shape():
    assert ox.TrackedDataFrame._metadata == ["_tracker", "_col_prov"]
    assert ox.TrackedDataFrame.__doc__ == "Pandas DataFrame with ORVEX-32 provenance."
    given = {}
    f = ox.TrackedDataFrame({"a": [1]}, _col_prov=given)
    assert f._col_prov is given and f._tracker is None
    assert f._constructor is ox.TrackedDataFrame and f._constructor_sliced is ox.TrackedSeries
