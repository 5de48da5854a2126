"""corvane._orvex32: the native provenance core as Python sees it."""

import copy
import pickle
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane import _orvex32 as native

MODE_SHIFT, TAINT_SHIFT, DEPTH_SHIFT = 30, 29, 26


@pytest.fixture
def tracker():
    t = native.NativeProvenanceTracker()
    for i in range(8):
        t.register("t", f"c{i}", i == 0)
    return t


def header(f):
    return f >> MODE_SHIFT, bool((f >> TAINT_SHIFT) & 1), (f >> DEPTH_SHIFT) & 7


# ------------------------------------------------------------ scalar methods


@pytest.mark.parametrize(
    "pairs, mode, name",
    [
        ([], 0, "EXACT-0"),
        ([5], 0, "EXACT-1"),
        ([5, 2], 1, "EXACT-2"),
        ([511, 0, 256], 2, "EXACT-3"),
        ([1, 2, 3, 4], 3, "DENSE"),
        ([1, 2, 3, 4, 5, 6, 7], 3, "DENSE"),
    ],
    ids=["empty", "one", "two", "three", "four", "seven"],
)
def test_encode_decode_round_trip(tracker, pairs, mode, name):
    f = tracker.encode(pairs, 0xAB, 0xCD, True, 2)
    assert header(f) == (mode, True, 2)
    d = tracker.decode_full(f)
    assert set(d) == {"pairs", "entity", "chain", "taint", "depth", "mode"}
    assert d["pairs"] == sorted(pairs)
    assert d["mode"] == name
    assert d["taint"] is True and d["depth"] == 2
    ent_mask, chain_mask = {0: (0xFF, 0xFF), 1: (0x1F, 0xF)}.get(mode, (0, 0))
    assert (d["entity"], d["chain"]) == (0xAB & ent_mask, 0xCD & chain_mask)


def test_encode_normalises_arguments(tracker):
    # Duplicates collapse, order is free, entity/chain keep their low bits
    # (two's complement), depth saturates at 7.
    f = tracker.encode([3, 3], -1, 2**70 + 0x12, 0, 100)
    assert tracker.decode_full(f) == {
        "pairs": [3], "entity": 0xFF, "chain": 0x12, "taint": False, "depth": 7, "mode": "EXACT-1",
    }
    assert tracker.encode((4, 1)) == tracker.encode([1, 4])
    assert tracker.encode([np.uint32(1)], np.int64(3)) == tracker.encode([1], 3)


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        ({"pair_ids": [512]}, ValueError, "pair id 512 out of range"),
        ({"pair_ids": [-1]}, ValueError, "pair id -1 out of range"),
        ({"pair_ids": [1.5]}, TypeError, "pair_ids must hold integers"),
        ({"pair_ids": "ab"}, TypeError, "pair_ids must be a list"),
        ({"pair_ids": [1], "depth": -1}, ValueError, "depth must not be negative"),
        ({"pair_ids": [1], "depth": -(2**80)}, ValueError, "depth must not be negative"),
        ({"pair_ids": [1], "entity": 1.0}, TypeError, "entity must be an integer"),
    ],
    ids=["id-too-big", "id-negative", "id-float", "str", "depth-negative", "depth-huge-negative",
         "entity-float"],
)
def test_encode_rejects_bad_arguments(tracker, kwargs, exc, text):
    with pytest.raises(exc, match=text):
        tracker.encode(**kwargs)
    assert tracker.dense_entries == 0


@pytest.mark.parametrize("value", [-1, 2**32, 2**64], ids=["negative", "2^32", "2^64"])
@pytest.mark.parametrize("method", ["decode_full", "update_chain", "combine-a", "combine-b"])
def test_fingerprint_scalars_out_of_range(tracker, value, method):
    calls = {
        "decode_full": lambda: tracker.decode_full(value),
        "update_chain": lambda: tracker.update_chain(value, 1),
        "combine-a": lambda: tracker.combine(value, 0, 1),
        "combine-b": lambda: tracker.combine(0, value, 1),
    }
    with pytest.raises(OverflowError, match="out of range for an ORVEX-32 fingerprint"):
        calls[method]()


@pytest.mark.parametrize("value", [1.0, "1", None], ids=["float", "str", "none"])
def test_fingerprint_scalars_must_be_integers(tracker, value):
    with pytest.raises(TypeError, match="fingerprint must be an integer"):
        tracker.decode_full(value)


@pytest.mark.parametrize(
    "fingerprint",
    [513 << 16, (1 << 30) | (130816 << 9), (2 << 30) | (22238720 << 1), (2 << 30) | 1],
    ids=["pair-data", "pair-index", "pair-combo", "reserved-bit"],
)
def test_malformed_payloads_are_errors(tracker, fingerprint):
    for call in (
        lambda: tracker.decode_full(fingerprint),
        lambda: tracker.combine(fingerprint, 0, 1),
        lambda: tracker.update_chain(fingerprint, 1),
        lambda: native.update_chain_batch(tracker, [0, fingerprint], 1),
        lambda: native.combine_batch(tracker, [1 << 16, fingerprint], [2 << 16, 3 << 16], 1),
        lambda: native.explain_batch(tracker, [fingerprint]),
    ):
        with pytest.raises(ValueError, match="malformed ORVEX-32 fingerprint"):
            call()


def test_combine_algebra(tracker):
    a = tracker.encode([1], 0xF0, 0x11, True, 2)
    b = tracker.encode([6], 0x0F, 0x22, False, 7)
    d = tracker.decode_full(tracker.combine(a, b, 4))
    assert d["pairs"] == [1, 6] and d["mode"] == "EXACT-2"
    assert d["entity"] == (0xF0 ^ 0x0F) & 0x1F
    assert d["taint"] is True and d["depth"] == 7
    # The chain follows the operation code; ops are any int (low bits used).
    chains = {tracker.combine(a, b, op) for op in range(16)}
    assert len(chains) > 4
    assert tracker.combine(a, b, -1) == tracker.combine(a, b, 2**32 - 1)
    # 2 + 2 sharing a pair -> 3; disjoint -> dense, decoded exactly.
    three = tracker.combine(tracker.encode([1, 2]), tracker.encode([2, 3]), 1)
    assert tracker.decode_full(three)["pairs"] == [1, 2, 3]
    four = tracker.combine(tracker.encode([1, 2]), tracker.encode([3, 4]), 1)
    assert tracker.decode_full(four)["mode"] == "DENSE"
    assert tracker.decode_full(four)["pairs"] == [1, 2, 3, 4]


def test_update_chain_keeps_pairs_and_taint(tracker):
    f = tracker.encode([2, 5], 7, 3, True, 6)
    u = tracker.update_chain(f, 8)
    before, after = tracker.decode_full(f), tracker.decode_full(u)
    assert after["pairs"] == before["pairs"] and after["entity"] == before["entity"]
    assert after["taint"] is True and after["depth"] == 7
    assert header(tracker.update_chain(u, 8))[2] == 7


def test_unknown_dense_signature_decodes_to_candidates(tracker):
    f = tracker.encode([0, 1, 2, 3])
    fresh = native.NativeProvenanceTracker()
    for i in range(8):
        fresh.register("t", f"c{i}")
    pairs = fresh.decode_full(f)["pairs"]
    assert {0, 1, 2, 3} <= set(pairs) <= set(range(8))


def test_register_counts_distinct_pairs_and_checks_types():
    t = native.NativeProvenanceTracker()
    assert [t.register("a", c, False) for c in ["x", "y", "x"]] == [0, 1, 0]
    assert t.registered_pairs == 2
    t.mark_table_protected("a")
    with pytest.raises(TypeError, match="Argument 'table' has incorrect type"):
        t.register(b"a", "x", False)
    with pytest.raises(TypeError, match="Argument 'column' has incorrect type"):
        t.register("a", 1, False)

    class S(str):
        pass

    with pytest.raises(TypeError, match="Argument 'table'") as info:
        t.mark_table_protected(S("a"))
    assert any("subclasses" in note for note in info.value.__notes__)
    for i in range(510):
        t.register("b", str(i))
    with pytest.raises(ValueError, match="Maximum 512 pairs supported"):
        t.register("c", "one too many")
    assert t.register("a", "y") == 1


@pytest.mark.parametrize(
    "clone",
    [copy.copy, copy.deepcopy, lambda t: pickle.loads(pickle.dumps(t))],
    ids=["copy", "deepcopy", "pickle"],
)
def test_copies_carry_registry_and_dense_table(tracker, clone):
    tracker.mark_table_protected("t")
    f = tracker.encode([0, 1, 2, 3, 7])
    c = clone(tracker)
    assert isinstance(c, native.NativeProvenanceTracker)
    assert c.registered_pairs == 8 and c.dense_entries == 1
    assert c.decode_full(f) == tracker.decode_full(f)
    assert c.register("t", "c3") == 3 and c.register("new", "col") == 8
    # Independent afterwards.
    c.encode([10, 11, 12, 13])
    assert tracker.dense_entries == 1 and tracker.registered_pairs == 8


def test_unpickling_rejects_foreign_state():
    cls = native.NativeProvenanceTracker
    for state in [(99, [], [], []), (1, [], [])]:
        with pytest.raises(ValueError, match="unsupported"):
            cls.__new__(cls).__setstate__(state)


# ------------------------------------------------------------ batch functions


def two_columns(tracker, n=1000):
    a = native.encode_source_column(tracker, 0, np.arange(n), True)
    b = native.encode_source_column(tracker, 1, np.arange(n) * 7, False)
    return a, b


def test_batch_results_are_new_uint32_arrays(tracker):
    a, b = two_columns(tracker)
    for result in (native.combine_batch(tracker, a, b, 1), native.update_chain_batch(tracker, a, 1),
                   native.encode_source_column(tracker, 2, [1, 2], False)):
        assert result.dtype == np.uint32 and result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, a) and not np.shares_memory(result, b)
    assert native.is_tainted_batch(a).dtype == np.bool_
    assert native.risk_score_batch(a).dtype == np.float64


def test_encode_source_column(tracker):
    entities = np.array([0, 255, 256, -1, 2**40 + 3], dtype=np.int64)
    out = native.encode_source_column(tracker, 4, entities, True)
    assert out.tolist() == [tracker.encode([4], int(e), 0, True, 0) for e in entities]
    assert native.encode_source_column(tracker, 4, [2**70 + 5], 0).tolist() == [tracker.encode([4], 5)]
    for bad_id in (-1, 512):
        with pytest.raises(ValueError, match="out of range 0..511"):
            native.encode_source_column(tracker, bad_id, [1], False)


def test_read_only_inputs_are_accepted(tracker):
    a, b = two_columns(tracker)
    expected = native.combine_batch(tracker, a, b, 3)
    a.flags.writeable = False
    b.flags.writeable = False
    assert np.array_equal(native.combine_batch(tracker, a, b, 3), expected)
    assert np.array_equal(native.update_chain_batch(tracker, a, 3),
                          native.update_chain_batch(tracker, a.copy(), 3))
    assert native.is_tainted_batch(a).all()


@pytest.mark.parametrize(
    "convert",
    [
        lambda x: x.astype(np.int64),
        lambda x: x.astype(np.uint64),
        lambda x: x.astype(">u4"),
        lambda x: x.tolist(),
        lambda x: tuple(int(v) for v in x),
        lambda x: np.repeat(x, 2)[::2],
        lambda x: x.astype(object),
    ],
    ids=["int64", "uint64", "big-endian", "list", "tuple", "strided", "object-ints"],
)
def test_other_integer_inputs_are_converted(tracker, convert):
    a, b = two_columns(tracker, 50)
    expected = native.combine_batch(tracker, a, b, 2)
    assert np.array_equal(native.combine_batch(tracker, convert(a), convert(b), 2), expected)
    assert np.array_equal(native.risk_score_batch(convert(a)), native.risk_score_batch(a))


@pytest.mark.parametrize(
    "bad, exc, text",
    [
        (np.array([1.0, 2.0]), TypeError, "got dtype float64"),
        (np.array([True]), TypeError, "got dtype bool"),
        (np.array(["a"]), TypeError, "got dtype <U1"),
        ([1, None], TypeError, "element of type NoneType"),
        ([1, 2.5], TypeError, "got dtype float64"),
        ("123", TypeError, "got str"),
        (np.array([-1], dtype=np.int64), OverflowError, "holds -1"),
        (np.array([2**32], dtype=np.uint64), OverflowError, "holds 4294967296"),
        ([2**64], OverflowError, "out of range"),
        (np.zeros((2, 2), dtype=np.uint32), ValueError, "1-D array, got 2 dimensions"),
        (np.uint32(5), ValueError, "1-D array, got 0 dimensions"),
    ],
    ids=["float", "bool", "str-array", "none-element", "mixed", "str", "negative", "too-big",
         "huge-int", "2-d", "scalar"],
)
def test_bad_array_inputs(tracker, bad, exc, text):
    good = np.zeros(1 if np.ndim(bad) != 2 else 2, dtype=np.uint32)
    calls = [
        lambda: native.is_tainted_batch(bad),
        lambda: native.risk_score_batch(bad),
        lambda: native.update_chain_batch(tracker, bad, 1),
        lambda: native.combine_batch(tracker, bad, good, 1),
        lambda: native.combine_batch(tracker, good, bad, 1),
        lambda: native.explain_batch(tracker, bad),
    ]
    for call in calls:
        with pytest.raises(exc, match=text):
            call()


def test_entities_refuse_non_integers(tracker):
    with pytest.raises(TypeError, match="entities must be an array of integers"):
        native.encode_source_column(tracker, 0, np.array([0.5]), False)


def test_unequal_lengths_name_both(tracker):
    with pytest.raises(ValueError, match=r"a and b must have the same length \(got 3 and 2\)"):
        native.combine_batch(tracker, [0, 0, 0], [0, 0], 1)


@pytest.mark.parametrize("not_native", [None, 0, object(), "tracker"])
def test_native_argument_must_be_a_tracker(tracker, not_native):
    calls = [
        lambda: native.combine_batch(not_native, [0], [0], 1),
        lambda: native.update_chain_batch(not_native, [0], 1),
        lambda: native.encode_source_column(not_native, 0, [0], False),
        lambda: native.explain_batch(not_native, [0]),
    ]
    for call in calls:
        with pytest.raises(TypeError, match="Argument 'native' has incorrect type"):
            call()


def test_empty_inputs(tracker):
    assert native.combine_batch(tracker, [], [], 1).shape == (0,)
    assert native.update_chain_batch(tracker, np.array([], dtype=np.float64), 1).dtype == np.uint32
    assert native.is_tainted_batch([]).shape == (0,)
    assert native.explain_batch(tracker, []) == []


def test_risk_and_taint_by_depth():
    fps = [(1 << TAINT_SHIFT) | (d << DEPTH_SHIFT) for d in range(8)] + [7 << DEPTH_SHIFT]
    assert native.risk_score_batch(fps).tolist() == [1 / (1 + d) for d in range(8)] + [0.0]
    assert native.is_tainted_batch(fps).tolist() == [True] * 8 + [False]


def test_dense_batch_results_decode_exactly(tracker):
    n = 100
    ab = np.full(n, tracker.encode([0, 1]), dtype=np.uint32)
    cd = np.array([tracker.encode([2, 3 + (i % 5)]) for i in range(n)], dtype=np.uint32)
    out = native.combine_batch(tracker, ab, cd, 1)
    explained = native.explain_batch(tracker, out)
    assert [e["pairs"] for e in explained] == [[0, 1, 2, 3 + (i % 5)] for i in range(n)]
    assert {e["mode"] for e in explained} == {"DENSE"}


def test_batches_from_two_threads_on_one_tracker(tracker):
    # The kernels run without the GIL: two threads share one side table.
    n = 200_000
    ab = np.full(n, tracker.encode([0, 1]), dtype=np.uint32)
    cd = np.array([tracker.encode([2 + i % 40, 100 + i % 40]) for i in range(n)], dtype=np.uint32)
    results = {}

    def run(key, x, y):
        results[key] = native.combine_batch(tracker, x, y, 1)

    threads = [threading.Thread(target=run, args=(k, ab, cd) if k else (k, cd, ab)) for k in (0, 1)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for key in (0, 1):
        pairs = [e["pairs"] for e in native.explain_batch(tracker, results[key][:80])]
        assert pairs == [[0, 1, 2 + i % 40, 100 + i % 40] for i in range(80)]


# ------------------------------------------------------------ batch == scalar

fingerprint_sets = st.lists(st.integers(0, 511), max_size=6)
fingerprint_parts = st.tuples(fingerprint_sets, st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1),
                              st.booleans(), st.integers(0, 9))


@settings(max_examples=200, deadline=None)
@given(rows=st.lists(st.tuples(fingerprint_parts, fingerprint_parts), min_size=1, max_size=40),
       op=st.integers(-(2**40), 2**40))
def test_batches_equal_scalar_calls(rows, op):
    t = native.NativeProvenanceTracker()
    a = np.array([t.encode(*x) for x, _ in rows], dtype=np.uint32)
    b = np.array([t.encode(*y) for _, y in rows], dtype=np.uint32)
    combined = native.combine_batch(t, a, b, op)
    assert combined.tolist() == [t.combine(int(x), int(y), op) for x, y in zip(a, b)]
    assert native.update_chain_batch(t, a, op).tolist() == [t.update_chain(int(x), op) for x in a]
    assert native.explain_batch(t, combined) == [t.decode_full(int(f)) for f in combined]
    # Decoding never loses a pair: the union's ids are all there.
    for (x, _, _, _, _), (y, _, _, _, _), f in zip((r[0] for r in rows), (r[1] for r in rows), combined):
        assert set(x) | set(y) <= set(t.decode_full(int(f))["pairs"])


@settings(max_examples=200, deadline=None)
@given(fps=st.lists(st.integers(0, 2**32 - 1), max_size=50))
def test_header_batches_equal_bit_reads(fps):
    taint = [bool((f >> TAINT_SHIFT) & 1) for f in fps]
    assert native.is_tainted_batch(fps).tolist() == taint
    assert native.risk_score_batch(fps).tolist() == [
        1.0 / (1.0 + ((f >> DEPTH_SHIFT) & 7)) if t else 0.0 for f, t in zip(fps, taint)
    ]
