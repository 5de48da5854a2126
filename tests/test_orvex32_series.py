"""TrackedSeries: operators, transforms and fingerprint propagation."""

import numpy as np
import pandas as pd
import pytest

import corvane.utilities.orvex32 as ox
from corvane._orvex32 import combine_batch, update_chain_batch

OP = ox.OpCode


@pytest.fixture
def tracker():
    t = ox.ProvenanceTracker()
    t.register("t", "a")
    t.register("t", "b", protected=True)
    return t


@pytest.fixture
def pair(tracker):
    """Two tracked columns over a non-default index."""
    df = pd.DataFrame({"a": [1.0, 2.0, 4.0], "b": [2.0, 0.5, 8.0]}, index=[10, 20, 30])
    w = ox.wrap_dataframe(df, tracker, "t", protected=["b"])
    return w["a"], w["b"]


BINARY = [
    ("__add__", np.add, OP.ADD, False),
    ("__sub__", np.subtract, OP.SUB, False),
    ("__mul__", np.multiply, OP.MUL, False),
    ("__truediv__", np.true_divide, OP.DIV, False),
    ("__floordiv__", np.floor_divide, OP.DIV, False),
    ("__pow__", np.power, OP.MUL, False),
    ("__radd__", np.add, OP.ADD, True),
    ("__rsub__", np.subtract, OP.SUB, True),
    ("__rmul__", np.multiply, OP.MUL, True),
    ("__rtruediv__", np.true_divide, OP.DIV, True),
    ("__gt__", np.greater, OP.CMP, False),
    ("__lt__", np.less, OP.CMP, False),
    ("__ge__", np.greater_equal, OP.CMP, False),
    ("__le__", np.less_equal, OP.CMP, False),
]


@pytest.mark.parametrize("method,ufunc,code,reflected", BINARY, ids=[b[0] for b in BINARY])
def test_binary_operators_with_two_tracked_series(pair, tracker, method, ufunc, code, reflected):
    a, b = pair
    result = getattr(a, method)(b)
    assert type(result) is ox.TrackedSeries
    expected = ufunc(b.values, a.values) if reflected else ufunc(a.values, b.values)
    np.testing.assert_array_equal(result.values, expected)
    assert result.index.equals(a.index) and result.name is None
    assert result._prov.dtype == np.uint32
    np.testing.assert_array_equal(
        result._prov, combine_batch(tracker._native, a._prov, b._prov, code)
    )
    assert result._tracker is tracker
    assert all(tracker.is_tainted(int(p)) and tracker.get_depth(int(p)) == 1
               for p in result._prov)


@pytest.mark.parametrize("method,ufunc,code,reflected", BINARY, ids=[b[0] for b in BINARY])
def test_binary_operators_with_a_scalar_copy_fingerprints(pair, method, ufunc, code, reflected):
    a, _ = pair
    result = getattr(a, method)(3.0)
    expected = ufunc(3.0, a.values) if reflected else ufunc(a.values, 3.0)
    np.testing.assert_array_equal(result.values, expected)
    np.testing.assert_array_equal(result._prov, a._prov)
    assert result._prov is not a._prov


def test_operator_syntax(pair, tracker):
    a, b = pair
    np.testing.assert_array_equal((5 - a).values, [4.0, 3.0, 1.0])
    np.testing.assert_array_equal((1 + a)._prov, a._prov)
    np.testing.assert_array_equal(
        (a ** b)._prov, combine_batch(tracker._native, a._prov, b._prov, OP.MUL))
    np.testing.assert_array_equal(
        (a // b)._prov, combine_batch(tracker._native, a._prov, b._prov, OP.DIV))
    gt = a > b
    assert gt.dtype == bool and gt.tolist() == [False, True, False]
    np.testing.assert_array_equal(
        gt._prov, combine_batch(tracker._native, a._prov, b._prov, OP.CMP))
    # Row by row, the batch result equals the per-value algebra.
    s = a + b
    assert [int(p) for p in s._prov] == [
        tracker.combine(int(x), int(y)) for x, y in zip(a._prov, b._prov)]


def test_untracked_operands_combine_positionally(pair):
    a, _ = pair
    plain = pd.Series([1.0, 1.0, 1.0], index=["x", "y", "z"], name="plain")
    result = a + plain
    assert result.tolist() == [2.0, 3.0, 5.0]
    assert result.index.equals(a.index) and result.name is None
    np.testing.assert_array_equal(result._prov, a._prov)
    np.testing.assert_array_equal((a * np.array([2.0, 2.0, 2.0])).values, [2.0, 4.0, 8.0])
    np.testing.assert_array_equal((a + [1, 2, 3]).values, [2.0, 4.0, 7.0])
    with pytest.raises(ValueError):
        a + np.array([1.0, 2.0])


def test_other_operands_tracker_is_never_used(pair):
    a, b = pair
    untracked = ox.TrackedSeries(a.values, _prov=a._prov.copy())
    np.testing.assert_array_equal((untracked + b)._prov, untracked._prov)


UNARY = [
    ("neg", lambda s: -s, OP.NEG, lambda v: -v),
    ("clip", lambda s: s.clip(1.5, 3.0), OP.CLIP, lambda v: np.clip(v, 1.5, 3.0)),
    ("clip-lower", lambda s: s.clip(lower=2.0), OP.CLIP, lambda v: np.clip(v, 2.0, None)),
    ("map", lambda s: s.map(lambda x: x * 10), OP.MAP, lambda v: v * 10),
    ("replace", lambda s: s.replace(2.0, 5.0), OP.MAP, lambda v: np.where(v == 2.0, 5.0, v)),
    ("fillna", lambda s: s.fillna(), OP.FILL, lambda v: v),
]


@pytest.mark.parametrize("name,call,code,values", UNARY, ids=[u[0] for u in UNARY])
def test_unary_transforms_chain_every_row(pair, tracker, name, call, code, values):
    a, _ = pair
    before = a._prov.copy()
    result = call(a)
    assert type(result) is ox.TrackedSeries and result.name is None
    assert result.index.equals(a.index)
    np.testing.assert_array_equal(result.values, values(a.values))
    np.testing.assert_array_equal(result._prov, update_chain_batch(tracker._native, before, code))
    assert [tracker.get_depth(int(p)) for p in result._prov] == [1, 1, 1]
    np.testing.assert_array_equal(a._prov, before)


def test_fillna_defaults_to_zero_and_depth_saturates(tracker):
    s = ox.TrackedSeries([1.0, np.nan], _prov=np.array([tracker.encode({0}, depth=7)] * 2,
                                                        dtype=np.uint32), _tracker=tracker)
    filled = s.fillna()
    assert filled.tolist() == [1.0, 0.0]
    assert [tracker.get_depth(int(p)) for p in filled._prov] == [7, 7]


@pytest.mark.parametrize(
    "call",
    [lambda s: s.fillna(0, inplace=True), lambda s: s.replace(1.0, 2.0, inplace=True)],
    ids=["fillna", "replace"],
)
def test_inplace_transforms_return_what_pandas_returns(tracker, call):
    s = ox.TrackedSeries([1.0, np.nan], _prov=np.array([7, 8], dtype=np.uint32), _tracker=tracker)
    prov = s._prov
    plain = pd.Series([1.0, np.nan])
    expected = call(plain)
    result = call(s)
    if expected is None:
        assert result is None
    else:
        assert expected is plain and result is s
    assert s._prov is prov and s._prov.tolist() == [7, 8]
    pd.testing.assert_series_equal(pd.Series(s), plain)


def test_construction_defaults():
    s = ox.TrackedSeries([1.0, 2.0, 3.0])
    assert s._prov.dtype == np.uint32 and s._prov.tolist() == [0, 0, 0]
    assert s._tracker is None
    assert ox.TrackedSeries._metadata == ["_prov", "_tracker"]
    assert ox.TrackedSeries.__doc__ == (
        "Pandas Series with ORVEX-32 provenance (taint + depth aware).")
    given = np.array([5, 6], dtype=np.uint32)
    assert ox.TrackedSeries([1, 2], _prov=given)._prov is given
    # Without a tracker nothing propagates.
    r = -ox.TrackedSeries([1.0, 2.0], _prov=given)
    assert r._prov.tolist() == [5, 6] and r._prov is not given


def test_pandas_results_stay_tracked(pair, tracker):
    a, _ = pair
    head = a.head(2)
    assert type(head) is ox.TrackedSeries and head._tracker is tracker
    assert a._constructor is ox.TrackedSeries


def test_op_code_must_be_an_integer(pair):
    a, _ = pair
    with pytest.raises(TypeError) as err:
        a._binop(a, np.add, "ADD")
    assert str(err.value) == (
        "Argument 'op_code' has incorrect type (expected int, got str)")
    with pytest.raises(TypeError):
        a._unop(np.negative)
    assert a._binop(a, np.add, np.int64(2)).tolist() == [2.0, 4.0, 8.0]


def test_subclass_binop_override_is_used(pair):
    a, _ = pair
    seen = []

    class Spy(ox.TrackedSeries):
        def _binop(self, other, op, op_code=ox.OpCode.ADD):
            seen.append(op_code)
            return super()._binop(other, op, op_code)

    s = Spy(a.values, _prov=a._prov, _tracker=a._tracker)
    s - 1
    s > 1
    assert seen == [OP.SUB, OP.CMP]


def test_results_are_independent_of_their_inputs(pair):
    a, b = pair
    result = a + b
    result.iloc[0] = 100.0
    assert a.iloc[0] == 1.0 and b.iloc[0] == 2.0


# -- large series: fingerprint work runs beside the values ---------------------------------

LARGE = 70_000  # above the size where the fingerprints are computed on a second thread


@pytest.fixture
def large_pair():
    tracker = ox.ProvenanceTracker()
    rng = np.random.default_rng(7)
    df = pd.DataFrame({"a": rng.random(LARGE), "b": rng.random(LARGE)})
    w = ox.wrap_dataframe(df, tracker, "t", protected=["b"])
    return tracker, w["a"], w["b"]


@pytest.mark.parametrize("method,ufunc,code,reflected", BINARY, ids=[b[0] for b in BINARY])
def test_large_operands_match_the_batch_function(large_pair, method, ufunc, code, reflected):
    tracker, a, b = large_pair
    result = getattr(a, method)(b)
    expected = ufunc(b.values, a.values) if reflected else ufunc(a.values, b.values)
    np.testing.assert_array_equal(result.values, expected)
    np.testing.assert_array_equal(result._prov, combine_batch(tracker._native, a._prov, b._prov, code))


def test_large_untracked_operand_copies_fingerprints(large_pair):
    _, a, _ = large_pair
    result = a + np.ones(LARGE)
    assert result._prov is not a._prov and not np.shares_memory(result._prov, a._prov)
    assert result._prov.flags.writeable
    np.testing.assert_array_equal(result._prov, a._prov)


def test_large_operation_reports_value_errors_before_fingerprint_errors(large_pair):
    tracker, a, _ = large_pair
    malformed = np.full(LARGE, 0x03FF0000, dtype=np.uint32)  # pair_data 1023: no such pair
    numbers = ox.TrackedSeries(np.zeros(LARGE), _prov=malformed, _tracker=tracker)
    with pytest.raises(ValueError, match="malformed"):
        a + numbers
    texts = ox.TrackedSeries(np.array(["x"] * LARGE, dtype=object), _prov=malformed,
                             _tracker=tracker)
    with pytest.raises(TypeError, match="unsupported operand"):
        a + texts


def test_large_operation_honours_a_rebound_batch_function(large_pair, monkeypatch):
    tracker, a, b = large_pair
    calls = []

    def spy(native, x, y, op):
        calls.append(len(x))
        return combine_batch(native, x, y, op)

    monkeypatch.setattr(ox, "combine_batch", spy)
    result = a + b
    assert calls == [LARGE]
    np.testing.assert_array_equal(result._prov, combine_batch(tracker._native, a._prov, b._prov, OP.ADD))
