"""ProvenanceTracker: registry, protection, header reads, algebra, explanations."""

import pytest

import corvane.utilities.orvex32 as ox

ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSub(str):
    pass


class ListSub(list):
    pass


class SetSub(set):
    pass


@pytest.fixture
def tracker():
    return ox.ProvenanceTracker()


def fp(mode, taint, depth, payload=0):
    return (mode << 30) | (taint << 29) | (depth << 26) | payload


# -- construction and registry ---------------------------------------------


def test_fresh_tracker_state(tracker):
    assert type(tracker).__bases__ == (object,)
    assert ox.ProvenanceTracker.__doc__ == "ORVEX-32 provenance tracker with gradient taint model."
    assert list(vars(tracker)) == [
        "_id_to_name", "_name_to_id", "_next_id", "_dense",
        "_protected_tables", "_protected_columns", "_native",
    ]
    assert isinstance(tracker._native, ox.NativeProvenanceTracker)
    assert (tracker._id_to_name, tracker._name_to_id, tracker._next_id) == ({}, {}, 0)
    assert tracker._protected_tables == set() and tracker._protected_columns == set()


def test_register_hands_out_consecutive_ids(tracker):
    assert tracker.register("t", "a") == 0
    assert tracker.register("t", "b") == 1
    assert tracker.register("t", "a") == 0
    assert tracker._next_id == 2
    assert tracker._id_to_name == {0: ("t", "a"), 1: ("t", "b")}
    assert tracker._name_to_id == {("t", "a"): 0, ("t", "b"): 1}
    assert tracker.register_table("u", ["x", "y", "x"]) == [2, 3, 2]
    assert tracker.get_name(3) == ("u", "y") and tracker.get_name(99) is None
    assert tracker.get_id("u", "x") == 2 and tracker.get_id("u", "zz") is None
    assert tracker.get_name(3.0) == ("u", "y")  # int arguments take any number


def test_register_limit(tracker):
    for i in range(512):
        tracker.register("t", f"c{i}")
    with pytest.raises(ValueError) as err:
        tracker.register("t", "one-too-many")
    assert str(err.value) == "Maximum 512 pairs supported"
    assert tracker._next_id == 512 and ("t", "one-too-many") not in tracker._name_to_id
    assert tracker.register("t", "c511") == 511
    # register_table keeps the columns registered before the failing one.
    fresh = ox.ProvenanceTracker()
    fresh.register_table("t", [f"c{i}" for i in range(511)])
    with pytest.raises(ValueError):
        fresh.register_table("u", ["a", "b"])
    assert fresh.get_id("u", "a") == 511 and fresh.get_id("u", "b") is None


def test_register_limit_is_read_at_call_time(tracker, monkeypatch):
    monkeypatch.setattr(ox, "MAX_PAIRS", 2)
    tracker.register("t", "a")
    tracker.register("t", "b")
    with pytest.raises(ValueError, match="^Maximum 2 pairs supported$"):
        tracker.register("t", "c")


def test_protection_is_only_ever_added(tracker):
    tracker.register("t", "a")
    assert not tracker.is_protected("t", "a")
    tracker.register("t", "a", True)
    assert tracker.is_protected("t", "a")
    tracker.register("t", "a", False)
    assert tracker.is_protected("t", "a")
    # A table with protected columns is not itself protected.
    assert not tracker.is_protected("t")
    assert not tracker.is_protected("t", "")
    tracker._protected_tables.add("whole")
    assert tracker.is_protected("whole") and tracker.is_protected("whole", "anything")


@pytest.mark.parametrize(
    "call,argname,expected,value",
    [
        (lambda t, v: t.register(v, "c"), "table", "str", StrSub("t")),
        (lambda t, v: t.register("t", v), "column", "str", 5),
        (lambda t, v: t.register_table("t", v), "columns", "list", ("a", "b")),
        (lambda t, v: t.register_table("t", v), "columns", "list", ListSub(["a"])),
        (lambda t, v: t.is_protected("t", v), "column", "str", b"c"),
        (lambda t, v: t.get_id(v, "c"), "table", "str", None),
        (lambda t, v: t.encode(v), "pairs", "set", [1, 2]),
        (lambda t, v: t.encode(v), "pairs", "set", frozenset({1})),
        (lambda t, v: t.encode(v), "pairs", "set", SetSub({1})),
        (lambda t, v: t.contains_table(1, v), "table", "str", StrSub("t")),
    ],
    ids=["register-table-strsub", "register-column-int", "register_table-tuple",
         "register_table-listsub", "is_protected-bytes", "get_id-none", "encode-list",
         "encode-frozenset", "encode-setsub", "contains_table-strsub"],
)
def test_exact_type_arguments(tracker, call, argname, expected, value):
    with pytest.raises(TypeError) as err:
        call(tracker, value)
    assert str(err.value) == ARG_TYPE.format(argname, expected, type(value).__name__)
    notes = getattr(err.value, "__notes__", [])
    if isinstance(value, {"str": str, "list": list, "set": set}[expected]):
        assert len(notes) == 1 and "subclasses" in notes[0]
    else:
        assert notes == []
    assert tracker._next_id == 0


# -- header reads and risk ---------------------------------------------------


@pytest.mark.parametrize(
    "value,header,risk,mode",
    [
        (fp(2, 0, 3, 1), (2, False, 3), 0.0, "EXACT-3"),
        (fp(0, 1, 7, 0), (0, True, 7), 0.125, "EXACT-0"),
        (fp(0, 0, 0, 1 << 16), (0, False, 0), 0.0, "EXACT-1"),
        (fp(0, 0, 0, 1 << 25), (0, False, 0), 0.0, "EXACT-1"),
        (fp(0, 1, 0, 0xFFFF), (0, True, 0), 1.0, "EXACT-0"),
        (fp(1, 1, 1, 5), (1, True, 1), 0.5, "EXACT-2"),
        (fp(3, 1, 2, 77), (3, True, 2), 1 / 3, "DENSE"),
        # Only bits 31-0 of the two's-complement form count.
        (fp(3, 1, 2, 77) | (1 << 40), (3, True, 2), 1 / 3, "DENSE"),
        (-1, (3, True, 7), 0.125, "DENSE"),
    ],
    ids=["exact3-d3", "tainted-d7", "pair-data-low", "pair-data-high", "d0", "exact2",
         "dense", "above-32-bits", "negative"],
)
def test_header_reads(tracker, value, header, risk, mode):
    P = ox.ProvenanceTracker
    assert P.read_header(value) == header == tracker.read_header(value)
    assert P.is_tainted(value) is header[1]
    assert P.get_depth(value) == header[2]
    assert P.risk_score(value) == risk
    assert tracker.get_mode(value) == mode


def test_risk_by_depth():
    risks = [ox.ProvenanceTracker.risk_score(fp(0, 1, d)) for d in range(8)]
    assert risks == [1.0 / (1.0 + d) for d in range(8)]
    assert risks[0] == 1.0 and risks[1] == 0.5
    assert all(ox.ProvenanceTracker.risk_score(fp(0, 0, d)) == 0.0 for d in range(8))


def test_header_reads_follow_rebound_shifts(monkeypatch):
    monkeypatch.setattr(ox, "TAINT_SHIFT", 0)
    assert ox.ProvenanceTracker.is_tainted(1) is True


# -- encoding, decoding, algebra --------------------------------------------


def test_encode_decode_roundtrip(tracker):
    ids = tracker.register_table("t", ["a", "b", "c"])
    value = tracker.encode({ids[0], ids[2]}, entity=9, chain=3, taint=True, depth=2)
    info = tracker.decode_full(value)
    assert isinstance(info, ox.ProvenanceInfo)
    assert info == ox.ProvenanceInfo(pairs={0, 2}, entity=9, chain=3, taint=True, depth=2,
                                     mode="EXACT-2")
    assert type(info.pairs) is set
    assert tracker.decode(value) == {0, 2}
    assert tracker.contains(value, 2) and not tracker.contains(value, 1)
    assert tracker.contains_table(value, "t") and not tracker.contains_table(value, "x")
    assert tracker.read_header(value) == (1, True, 2)
    assert tracker.get_mode(tracker.encode(set())) == "EXACT-0"
    assert tracker.get_mode(tracker.encode({1})) == "EXACT-1"
    # Depth saturates at 7, and int arguments accept any number.
    assert tracker.get_depth(tracker.encode({1}, depth=12.0)) == 7


def test_dense_side_table(tracker):
    tracker.encode({1, 2, 3})
    assert tracker._dense == {} and tracker.stats()["dense_entries"] == 0
    value = tracker.encode({1, 2, 3, 4}, entity=5, chain=6)
    sig = value & ((1 << 26) - 1)
    assert tracker._dense == {sig: {"pairs": frozenset({1, 2, 3, 4}), "entity": 5, "chain": 6}}
    assert tracker.get_mode(value) == "DENSE"
    tracker.encode({1, 2, 3, 4}, entity=7)
    assert tracker.stats()["dense_entries"] == 1 and tracker._dense[sig]["entity"] == 7


def test_combine_and_update_chain(tracker):
    a = tracker.encode({0}, taint=True)
    b = tracker.encode({1}, depth=3)
    native = tracker._native
    assert tracker.combine(a, b) == native.combine(a, b, ox.OpCode.ADD)
    assert tracker.combine(a, b, ox.OpCode.SUB) == native.combine(a, b, 2)
    combined = tracker.combine(a, b)
    assert tracker.decode(combined) == {0, 1}
    assert tracker.read_header(combined)[1:] == (True, 4)
    chained = tracker.update_chain(a, ox.OpCode.NEG)
    assert chained == native.update_chain(a, 5)
    assert tracker.read_header(chained)[1:] == (True, 1)
    assert tracker.decode(chained) == {0}
    assert type(combined) is int and type(chained) is int


def test_combine_default_op_is_fixed_at_class_creation(tracker, monkeypatch):
    a, b = tracker.encode({0}), tracker.encode({1})
    expected = tracker.combine(a, b, 1)
    monkeypatch.setattr(ox.OpCode, "ADD", 3)
    assert tracker.combine(a, b) == expected


def test_explanations(tracker):
    tracker.register("b", "x")                      # 0
    tracker.register("a", "y", protected=True)      # 1
    tracker.register("b", "z")                      # 2
    value = tracker.encode({0, 1, 2, 40}, taint=True, depth=1)
    assert tracker.explain(value) == [("b", "x"), ("a", "y"), ("b", "z")]
    assert tracker.explain_tables(value) == ["b", "a"]
    assert tracker.has_protected(value)
    assert not tracker.has_protected(tracker.encode({0, 2}))
    full = tracker.explain_full(value)
    assert list(full) == ["pairs", "pair_ids", "entity", "chain", "taint", "depth", "risk",
                          "mode", "provenance_hex"]
    assert full["pairs"] == [("b", "x"), ("a", "y"), ("b", "z")]
    assert full["pair_ids"] == [0, 1, 2, 40]
    assert (full["taint"], full["depth"], full["risk"], full["mode"]) == (True, 1, 0.5, "DENSE")
    assert full["provenance_hex"] == f"0x{value:08X}"
    assert tracker.explain_full(1)["provenance_hex"] == "0x00000001"


def test_stats(tracker):
    tracker.register("t", "a", protected=True)
    tracker.register("t", "b")
    tracker._protected_tables.add("people")
    assert tracker.stats() == {
        "registered_pairs": 2,
        "dense_entries": 0,
        "protected_tables": ["people"],
        "protected_columns": ["t.a"],
        "encoding": "ORVEX-32",
    }


def test_native_results_must_be_numbers(tracker):
    class Odd:
        def combine(self, a, b, op):
            return "0x1"

        def register(self, *args):
            return None

    tracker._native = Odd()
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        tracker.combine(1, 2)


def test_entity_from_row_uses_the_module_hash(tracker, monkeypatch):
    assert tracker.entity_from_row(None) == 0
    assert tracker.entity_from_row("k") == hash("k") & 0xFFFFFFFF
    monkeypatch.setattr(ox, "_hash_entity", lambda row_id: 42)
    assert tracker.entity_from_row("k") == 42


# -- subclasses are honoured -------------------------------------------------


def test_subclass_register_is_used_by_register_table():
    calls = []

    class Recording(ox.ProvenanceTracker):
        def register(self, table, column, protected=False):
            calls.append((table, column, protected))
            return super().register(table, column, protected)

    t = Recording()
    assert t.register_table("t", ["a", "b"], True) == [0, 1]
    assert calls == [("t", "a", True), ("t", "b", True)]


def test_subclass_decode_full_is_used_by_the_others():
    class Fixed(ox.ProvenanceTracker):
        def decode_full(self, provenance):
            return ox.ProvenanceInfo(pairs={0, 1}, entity=1, chain=2, taint=True, depth=1,
                                     mode="EXACT-2")

    t = Fixed()
    t.register("t", "a")
    t.register("u", "b", protected=True)
    assert t.decode(0) == {0, 1}
    assert t.explain(0) == [("t", "a"), ("u", "b")]
    assert t.explain_tables(0) == ["t", "u"]
    assert t.has_protected(0) and t.contains(0, 1) and t.contains_table(0, "u")
    assert t.explain_full(0)["pair_ids"] == [0, 1]
    assert ox.audit(ox.TrackedSeries([1.0], _tracker=t))["pair_ids"] == [0, 1]


def test_decode_requires_a_set():
    class Listy(ox.ProvenanceTracker):
        def decode_full(self, provenance):
            return ox.ProvenanceInfo(pairs=[1], entity=0, chain=0, taint=False, depth=0,
                                     mode="EXACT-1")

    with pytest.raises(TypeError, match="^Expected set, got list$"):
        Listy().decode(0)


def test_docstrings():
    P = ox.ProvenanceTracker
    assert P.register.__doc__ == "Register a (table, column) pair and return its ID (0-511)."
    assert P.is_tainted.__doc__ == "O(1) taint check \u2014 no decoding needed."
    assert P.risk_score.__doc__ == "risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0]."
    assert P.combine.__doc__ == (
        "Combine two provenances.  pairs=union, entity=XOR, taint=OR, depth=max+1."
    )
    assert P.encode.__doc__.startswith("Encode provenance to 32-bit value.")
    assert P.stats.__doc__ == "Tracker statistics."
