"""Module frame of corvane.utilities.orvex32: constants, OpCode, ProvenanceInfo,
_hash_entity and the import of the native core."""

import subprocess
import sys
import textwrap
import typing

import pytest

import corvane.utilities.orvex32 as ox

CONSTANTS = [
    ("MAX_PAIRS", 512),
    ("MODE_01", 0),
    ("MODE_2", 1),
    ("MODE_3", 2),
    ("MODE_DENSE", 3),
    ("HEADER_BITS", 6),
    ("PAYLOAD_BITS", 26),
    ("MODE_SHIFT", 30),
    ("TAINT_SHIFT", 29),
    ("DEPTH_SHIFT", 26),
    ("PAYLOAD_MASK", 67108863),
    ("MODE_01_PAIR_BITS", 10),
    ("MODE_01_ENTITY_BITS", 8),
    ("MODE_01_CHAIN_BITS", 8),
    ("MODE_2_PAIR_BITS", 17),
    ("MODE_2_ENTITY_BITS", 5),
    ("MODE_2_CHAIN_BITS", 4),
    ("MODE_3_PAIR_BITS", 25),
    ("MODE_DENSE_SIG_BITS", 26),
    ("MAX_DEPTH", 7),
]

NATIVE_NAMES = [
    "NativeProvenanceTracker",
    "combine_batch",
    "update_chain_batch",
    "encode_source_column",
    "is_tainted_batch",
    "risk_score_batch",
    "explain_batch",
]

OPCODES = [
    ("RAW", 0), ("ADD", 1), ("SUB", 2), ("MUL", 3), ("DIV", 4), ("NEG", 5), ("CLIP", 6),
    ("FILL", 7), ("MAP", 8), ("CMP", 9), ("MERGE", 10), ("AGG", 11), ("CUSTOM", 15),
]


def test_module_attributes_are_bound_in_order():
    names = [n for n in vars(ox) if not n.startswith("__")]
    expected = (
        ["Dict", "Set", "List", "Tuple", "Optional", "Any", "NamedTuple", "math", "np", "pd"]
        + NATIVE_NAMES
        + [name for name, _ in CONSTANTS]
        + ["OpCode", "ProvenanceInfo", "_hash_entity"]
        + ["ProvenanceTracker", "TrackedSeries", "TrackedDataFrame"]
        + ["wrap_dataframe", "audit", "audit_series_diversity", "provenance_entropy",
           "column_risk_report"]
    )
    assert names == expected
    assert ox.Dict is typing.Dict and ox.NamedTuple is typing.NamedTuple
    import corvane._orvex32 as core

    for name in NATIVE_NAMES:
        assert getattr(ox, name) is getattr(core, name)


def test_module_docstring_title():
    assert ox.__doc__.splitlines()[0] == (
        "ORVEX-32: 32-bit Provenance Encoding with Gradient Taint Model."
    )


@pytest.mark.parametrize("name,value", CONSTANTS, ids=[c[0] for c in CONSTANTS])
def test_constants(name, value):
    got = getattr(ox, name)
    assert type(got) is int and got == value


def test_mode_widths_fill_the_payload():
    assert ox.MODE_01_PAIR_BITS + ox.MODE_01_ENTITY_BITS + ox.MODE_01_CHAIN_BITS == 26
    assert ox.MODE_2_PAIR_BITS + ox.MODE_2_ENTITY_BITS + ox.MODE_2_CHAIN_BITS == 26
    assert ox.MODE_3_PAIR_BITS + 1 == ox.MODE_DENSE_SIG_BITS == ox.PAYLOAD_BITS


def test_opcode_is_a_plain_class_of_ints():
    assert ox.OpCode.__bases__ == (object,)
    assert ox.OpCode.__doc__ == "Operation codes for chain hash computation."
    assert [(n, getattr(ox.OpCode, n)) for n, _ in OPCODES] == OPCODES
    assert all(type(getattr(ox.OpCode, n)) is int for n, _ in OPCODES)
    assert ox.OpCode.__module__ == "corvane.utilities.orvex32"


def test_provenance_info_is_a_named_tuple():
    PI = ox.ProvenanceInfo
    assert issubclass(PI, tuple)
    assert PI.__doc__ == "Full decoded provenance \u2014 includes taint and depth from header."
    assert PI._fields == ("pairs", "entity", "chain", "taint", "depth", "mode")
    assert PI.__annotations__ == {
        "pairs": typing.Set[int], "entity": int, "chain": int,
        "taint": bool, "depth": int, "mode": str,
    }
    assert PI._field_defaults == {}
    info = PI(mode="DENSE", depth=3, taint=True, chain=9, entity=4, pairs={1, 2})
    pairs, entity, chain, taint, depth, mode = info
    assert (pairs, entity, chain, taint, depth, mode) == ({1, 2}, 4, 9, True, 3, "DENSE")
    assert PI.__module__ == "corvane.utilities.orvex32" and PI.__qualname__ == "ProvenanceInfo"
    with pytest.raises(TypeError):
        PI(pairs=set(), entity=0)


@pytest.mark.parametrize(
    "row_id",
    [7, 0, -1, -2, 2**40 + 5, -(2**63), 2**64 + 3, "row-17", ("a", 1), 3.5, b"k", True],
    ids=repr,
)
def test_hash_entity_is_the_low_32_bits_of_the_host_hash(row_id):
    got = ox._hash_entity(row_id)
    assert got == hash(row_id) & 0xFFFFFFFF
    assert 0 <= got < 2**32


def test_hash_entity_edges():
    assert ox._hash_entity(None) == 0
    assert ox._hash_entity(7) == 7
    assert ox._hash_entity.__doc__ == "Hash a row identifier to entity bits."
    with pytest.raises(TypeError, match="unhashable"):
        ox._hash_entity([1, 2])


def _run(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
        check=False,
    )


@pytest.mark.parametrize(
    "setup",
    [
        "sys.modules['corvane._orvex32'] = None",
        # The core imports but lacks one of the names the module binds.
        "import types; m = types.ModuleType('corvane._orvex32');"
        " m.NativeProvenanceTracker = object; sys.modules['corvane._orvex32'] = m",
    ],
    ids=["module-missing", "name-missing"],
)
def test_missing_native_core_raises_plain_import_error(setup):
    proc = _run(
        f"""
        import sys
        {setup}
        try:
            import corvane.utilities.orvex32
        except ImportError as exc:
            print(type(exc).__name__)
            print(exc)
            print(exc.__cause__ is None, isinstance(exc.__context__, ImportError))
            print(exc.__suppress_context__)
            print('corvane.utilities.orvex32' in sys.modules)
        """
    )
    assert proc.returncode == 0, proc.stderr
    kind, message, chain, suppressed, bound = proc.stdout.splitlines()
    assert kind == "ImportError"
    assert "native ORVEX-32 extension" in message and "not found" in message
    assert "pip install ." in message and "tools/devbuild.sh" in message
    assert "fallback" not in message.lower()
    assert chain == "True True"
    assert suppressed == "False"
    assert bound == "False"


def test_other_errors_of_the_native_import_propagate_unchanged():
    proc = _run(
        """
        import sys, importlib.abc, importlib.machinery

        class Boom(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == 'corvane._orvex32':
                    return importlib.machinery.ModuleSpec(name, self)
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise RuntimeError('core exploded')

        sys.meta_path.insert(0, Boom())
        try:
            import corvane.utilities.orvex32
        except RuntimeError as exc:
            print('RuntimeError', exc)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "RuntimeError core exploded"
