"""DAG records (NodeType, DAGNode, DAGEdge, ComputationDAG) and their exports."""

from __future__ import annotations

import dataclasses
import json
import pathlib
import shutil
import subprocess

import pytest

from corvane.utilities import orvex32_dag as dagmod
from corvane.utilities.orvex32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

GOLDEN = pathlib.Path(__file__).parent / "golden"
TAINT = 1 << 29


def depth_bits(d: int) -> int:
    return d << 26


def source(nid, table, column, prov=0, protected=False, pair_id=None):
    return DAGNode(nid, NodeType.SOURCE, f"{table}.{column}", [], prov, table=table,
                   column=column, pair_id=pair_id, is_protected=protected)


def op(nid, name, inputs, prov=0, **kw):
    kind = NodeType.BINARY if len(inputs) == 2 else NodeType.UNARY
    return DAGNode(nid, kind, name, list(inputs), prov, **kw)


def make_dag(root, *nodes, edges=()):
    return ComputationDAG(root, {n.node_id: n for n in nodes}, [DAGEdge(*e) for e in edges])


@pytest.fixture
def sum_dag():
    """c = a + b over a plain and a protected source."""
    a = source(0, "loans", "income", prov=0x00010000, pair_id=0)
    b = source(1, "loans", "gender", prov=0x20020000 | TAINT, protected=True, pair_id=1)
    c = op(2, "add", [0, 1], prov=0x64000008, is_protected=True)
    return make_dag(2, c, a, b, edges=[(0, 2, 0), (1, 2, 1)])


class TestRecordShapes:
    def test_node_type_members(self):
        assert [(m.name, m.value) for m in NodeType] == [
            ("SOURCE", 1), ("CONSTANT", 2), ("UNARY", 3), ("BINARY", 4),
            ("AGGREGATE", 5), ("MERGE", 6), ("FILTER", 7), ("CUSTOM", 8)]
        assert NodeType.__doc__ == "Types of nodes in the computation DAG."

    @pytest.mark.parametrize("cls, fields", [
        (DAGNode, [("node_id", "int"), ("node_type", "NodeType"), ("operation", "str"),
                   ("inputs", "List[int]"), ("provenance", "int"), ("metadata", "Dict[str, Any]"),
                   ("table", "Optional[str]"), ("column", "Optional[str]"),
                   ("pair_id", "Optional[int]"), ("is_protected", "bool")]),
        (DAGEdge, [("source_id", "int"), ("target_id", "int"), ("input_index", "int")]),
        (ComputationDAG, [("root_id", "int"), ("nodes", "Dict[int, DAGNode]"),
                          ("edges", "List[DAGEdge]")]),
    ], ids=["node", "edge", "dag"])
    def test_dataclass_fields(self, cls, fields):
        assert dataclasses.is_dataclass(cls)
        assert [(f.name, f.type) for f in dataclasses.fields(cls)] == fields
        assert cls.__module__ == "corvane.utilities.orvex32_dag"

    def test_node_defaults_equality_repr_and_unhashable(self):
        a = DAGNode(1, NodeType.UNARY, "neg", [0], 5)
        b = DAGNode(node_id=1, node_type=NodeType.UNARY, operation="neg", inputs=[0], provenance=5)
        assert a == b and a.metadata == {} and a.metadata is not b.metadata
        assert (a.table, a.column, a.pair_id, a.is_protected) == (None, None, None, False)
        assert repr(a).startswith("DAGNode(node_id=1, node_type=<NodeType.UNARY: 3>, operation='neg'")
        with pytest.raises(TypeError):
            hash(a)
        assert DAGEdge(1, 2, 0) == DAGEdge(1, 2, 0)
        a.operation = "changed"
        assert a != b

    @pytest.mark.parametrize("inputs, kind, is_source, is_leaf", [
        ([], NodeType.SOURCE, True, True),
        ([], NodeType.CONSTANT, False, True),
        ([3], NodeType.UNARY, False, False),
    ], ids=["source", "constant", "unary"])
    def test_node_properties(self, inputs, kind, is_source, is_leaf):
        n = DAGNode(1, kind, "x", inputs, 0)
        assert (n.is_source, n.is_leaf) == (is_source, is_leaf)

    @pytest.mark.parametrize("table, column, operation, name", [
        ("t", "c", "op", "t.c"),
        ("t", "", "op", "op"),
        ("t", "", "", "node_7"),
        (None, None, "neg", "neg"),
        (5, 6, "x", "5.6"),
    ], ids=["table-column", "empty-column", "all-empty", "operation", "non-str"])
    def test_node_display_name(self, table, column, operation, name):
        n = DAGNode(7, NodeType.UNARY, operation, [], 0, table=table, column=column)
        assert n.to_dict()["name"] == name

    @pytest.mark.parametrize("prov, text", [(0, "0x00000000"), (255, "0x000000FF"),
                                            (0xFFFFFFFF, "0xFFFFFFFF")])
    def test_node_provenance_hex(self, prov, text):
        assert DAGNode(0, NodeType.UNARY, "x", [], prov).to_dict()["provenance"] == text

    def test_node_to_dict_shares_lists(self):
        n = DAGNode(3, NodeType.BINARY, "add", [1, 2], 9, metadata={"k": 1})
        d = n.to_dict()
        assert list(d) == ["id", "name", "type", "operation", "inputs", "provenance", "table",
                           "column", "pair_id", "is_protected", "metadata"]
        assert d["inputs"] is n.inputs and d["metadata"] is n.metadata and d["type"] == "BINARY"
        assert DAGEdge(1, 2, 0).to_dict() == {"source": 1, "target": 2, "input_index": 0}

    def test_extra_positional_argument_rejected(self):
        with pytest.raises(TypeError):
            DAGNode(0, NodeType.UNARY, "x", [], 0).to_dict(1)


class TestDagProperties:
    def test_source_root(self):
        dag = make_dag(0, source(0, "t", "c"))
        assert dag.depth == 0 and [n.node_id for n in dag.source_nodes] == [0]
        assert dag.to_dict()["edge_count"] == 0
        assert '#22d3ee' in dag.to_graphviz() and '#c084fc' not in dag.to_graphviz()

    def test_constant_leaf_is_not_a_source(self):
        dag = make_dag(1, op(1, "neg", [0]), DAGNode(0, NodeType.CONSTANT, "k", [], 0))
        assert dag.depth == 1 and dag.source_nodes == [] and dag.to_dict()["sources"] == []

    def test_diamond_depth_and_counts(self):
        a = source(0, "t", "a")
        b, c = op(1, "neg", [0]), op(2, "neg", [0])
        d = op(3, "add", [1, 2])
        e = op(4, "neg", [3])
        dag = make_dag(4, e, d, b, c, a)
        assert dag.depth == 3
        assert dag.operation_counts == {"neg": 3, "add": 1, "t.a": 1}

    def test_depth_of_a_million_node_chain(self):
        nodes = {0: source(0, "t", "a")}
        for i in range(1, 1_000_000):
            nodes[i] = DAGNode(i, NodeType.UNARY, "neg", [i - 1], 0)
        assert ComputationDAG(999_999, nodes, []).depth == 999_999

    def test_missing_input_counts_as_leaf(self):
        # node 1 was evicted before the walk: its consumer is still exportable
        dag = make_dag(2, op(2, "add", [1, 0]), source(0, "t", "a"), edges=[(1, 2, 0), (0, 2, 1)])
        assert dag.depth == 1
        assert json.loads(dag.to_json())["depth"] == 1
        assert make_dag(5).depth == 0  # root never held

    def test_taint_risks(self):
        nodes = [
            DAGNode(0, NodeType.UNARY, "x", [], TAINT | depth_bits(1), column="g"),
            DAGNode(1, NodeType.UNARY, "x", [], TAINT | depth_bits(3), column="g"),
            DAGNode(2, NodeType.UNARY, "x", [], depth_bits(0), column="h"),
            DAGNode(3, NodeType.UNARY, "x", [], TAINT, column=None),
        ]
        assert make_dag(0, *nodes).column_taint_risks() == {"g": 0.5}

    def test_has_protected(self, sum_dag):
        assert sum_dag.has_protected
        assert [n.node_id for n in sum_dag.protected_sources] == [1]

    @pytest.mark.parametrize("indent", [None, True, 2.0, "2"], ids=repr)
    def test_to_json_indent_must_be_int(self, sum_dag, indent):
        with pytest.raises(TypeError, match="Argument 'indent' has incorrect type"):
            sum_dag.to_json(indent)

    def test_to_json_unserialisable_metadata(self):
        dag = make_dag(0, DAGNode(0, NodeType.UNARY, "x", [], 0, metadata={"o": object()}))
        with pytest.raises(TypeError):
            dag.to_json()


class TestExports:
    def test_to_dict_keys(self, sum_dag):
        d = sum_dag.to_dict()
        assert list(d) == ["root_id", "depth", "node_count", "edge_count", "has_protected",
                           "taint_risks", "sources", "protected_sources", "operation_counts",
                           "nodes", "edges"]
        assert list(d["nodes"]) == ["2", "0", "1"]

    @pytest.mark.parametrize("indent, name", [(2, "dag_sum.json"), (0, "dag_sum_indent0.json")])
    def test_json_golden(self, sum_dag, indent, name):
        assert sum_dag.to_json(indent) == (GOLDEN / name).read_text(encoding="utf-8")

    def test_graphviz_golden(self, sum_dag):
        assert sum_dag.to_graphviz() == (GOLDEN / "dag_sum.dot").read_text(encoding="utf-8")

    def test_graphviz_no_edges_keeps_separators(self):
        text = make_dag(0, source(0, "t", "c")).to_graphviz()
        assert text.endswith('"];\n\n}')

    HOSTILE = ['say "hi"', 'back\\slash', 'trailing\\', "two\nlines", "{braces}; n1 -> n2",
               'q"];\n  evil [label="x']

    def test_hostile_names_golden(self):
        nodes = [source(i, name, name) for i, name in enumerate(self.HOSTILE)]
        nodes.append(op(99, 'op "quoted" \\', list(range(len(self.HOSTILE)))))
        dag = make_dag(99, *nodes, edges=[(i, 99, i) for i in range(len(self.HOSTILE))])
        assert dag.to_graphviz() == (GOLDEN / "dag_hostile.dot").read_text(encoding="utf-8")

    @pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot not installed")
    @pytest.mark.parametrize("name", HOSTILE)
    def test_hostile_names_give_valid_dot(self, name):
        dag = make_dag(1, op(1, name, [0]), source(0, name, name), edges=[(0, 1, 0)])
        run = subprocess.run(["dot", "-Tsvg"], input=dag.to_graphviz().encode(),
                             capture_output=True, timeout=60)
        assert run.returncode == 0, run.stderr.decode()
        # exactly two nodes were drawn: nothing escaped the labels
        assert run.stdout.decode().count('class="node"') == 2


def test_module_exports_records():
    for name in ("NodeType", "DAGNode", "DAGEdge", "ComputationDAG"):
        assert getattr(dagmod, name).__module__ == "corvane.utilities.orvex32_dag"
