"""DAGTracker: state, node creation, logging entry points, eviction, queries,
row-value capture and the native-backed views of its state."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from corvane.utilities import orvex32_dag as dagmod
from corvane.utilities.orvex32 import ProvenanceTracker
from corvane.utilities.orvex32_dag import DAGNode, DAGTracker, NodeType

TAINT = 1 << 29


@pytest.fixture
def tracker():
    return DAGTracker()


def binary_chain(t, n, start_prov=1):
    """n binary nodes over one source, each consuming the previous one."""
    prev = t.create_source_node("t", "a", start_prov)
    ids = []
    for i in range(n):
        prev = t.log_binary("add", prev, prev, 100 + i)
        ids.append(prev)
    return ids


class TestState:
    def test_instance_state_in_order(self, tracker):
        names = [k for k in vars(tracker) if k not in vars(ProvenanceTracker())]
        assert names == ["_dag_lock", "_nodes", "_next_node_id", "_value_buffer",
                         "_value_buffer_lock", "_value_flush_threshold", "_nodes_persisted",
                         "_max_nodes", "_prov_to_nodes", "_source_nodes", "_writer", "_storage",
                         "_pipeline_id", "_pipeline_name", "_api_key", "_tenant_id",
                         "_service_url", "_dashboard_synced"]
        assert type(tracker._dag_lock) is type(threading.Lock())
        assert tracker._dag_lock is not tracker._value_buffer_lock
        assert (tracker._next_node_id, tracker._max_nodes, tracker._value_flush_threshold) == (0, 500000, 5000)
        assert tracker._writer is None and tracker._service_url == ""
        assert isinstance(tracker, ProvenanceTracker)

    @pytest.mark.parametrize("kwargs, argname", [
        ({"service_url": None}, "service_url"), ({"api_key": 5}, "api_key"),
        ({"pipeline_name": b"x"}, "pipeline_name"), ({"tenant_id": 1.0}, "tenant_id")])
    def test_constructor_argument_types(self, kwargs, argname):
        with pytest.raises(TypeError, match=f"Argument '{argname}' has incorrect type"):
            DAGTracker(**kwargs)

    def test_empty_key_stays_memory_only(self):
        t = DAGTracker(api_key="")
        assert t._writer is None and t._storage is None


class TestNodeCreation:
    def test_ids_start_at_zero_and_increase(self, tracker):
        a = tracker.create_source_node("t", "a", 1)
        b = tracker.log_unary("neg", a, 2)
        c = tracker.log_binary("add", a, b, 3)
        assert (a, b, c) == (0, 1, 2) and tracker._next_node_id == 3
        assert all(type(i) is int for i in (a, b, c))

    @pytest.mark.parametrize("prov, protected", [(TAINT | 5, True), (0, False), (5, False)])
    def test_taint_marks_protected(self, tracker, prov, protected):
        nid = tracker.log_unary("neg", 0, prov)
        assert tracker.get_node(nid).is_protected is protected

    def test_source_nodes_are_deduplicated(self, tracker):
        tracker.register("t", "a", True)
        first = tracker.create_source_node("t", "a", 11)
        again = tracker.create_source_node("t", "a", 22)
        node = tracker.get_node(first)
        assert first == again and len(tracker._nodes) == 1 and node.provenance == 11
        assert (node.table, node.column, node.pair_id, node.is_protected) == ("t", "a", 0, True)
        assert node.operation == "t.a" and node.inputs == [] and tracker._source_nodes == {("t", "a"): 0}
        assert tracker.get_node(tracker.create_source_node("t", "zz", 0)).pair_id is None

    @pytest.mark.parametrize("table, column", [("", "a"), ("t", "")])
    def test_empty_source_names(self, tracker, table, column):
        with pytest.raises(ValueError, match="table and column must be non-empty strings"):
            tracker.create_source_node(table, column, 1)
        assert tracker._next_node_id == 0

    def test_log_merge(self, tracker):
        nid = tracker.log_merge([1, 2], [3], 7)
        node = tracker.get_node(nid)
        assert (node.node_type, node.operation, node.inputs, node.metadata) == (
            NodeType.MERGE, "merge_inner", [1, 2, 3], {"merge_type": "inner"})
        node = tracker.get_node(tracker.log_merge([1], [], 7, "left", {"merge_type": "x", "k": 1}))
        assert node.operation == "merge_left" and node.metadata == {"merge_type": "x", "k": 1}

    def test_metadata_identity(self, tracker):
        empty, full = {}, {"k": 1}
        assert tracker.get_node(tracker.log_unary("neg", 0, 1, empty)).metadata is not empty
        assert tracker.get_node(tracker.log_binary("add", 0, 0, 1, full)).metadata is full
        ids = [5, 6]
        node = tracker.get_node(tracker.log_aggregate("sum", ids, 1))
        assert node.inputs is ids and node.node_type is NodeType.AGGREGATE

    def test_unknown_keyword_consumes_an_id(self, tracker):
        with pytest.raises(TypeError):
            tracker._create_node(NodeType.UNARY, "x", [], 0, node_id=7)
        with pytest.raises(TypeError):
            tracker._create_node(NodeType.UNARY, "x", [], 0, colour="red")
        assert tracker.log_unary("neg", 0, 0) == 2 and len(tracker._nodes) == 1

    def test_create_node_keeps_callers_objects(self, tracker):
        inputs, meta = [0], {}
        nid = tracker._create_node(NodeType.CUSTOM, "f", inputs, 3, metadata=meta, table="t")
        node = tracker._nodes[nid]
        assert node.inputs is inputs and node.metadata is meta and node.table == "t"

    @pytest.mark.parametrize("call, argname", [
        (lambda t: t.log_unary(1, 0, 0), "op_name"),
        (lambda t: t.log_unary("x", "0", 0), "input_node"),
        (lambda t: t.log_unary("x", 0, 0, metadata=[]), "metadata"),
        (lambda t: t.log_merge((1,), [], 0), "left_nodes"),
        (lambda t: t.log_aggregate("s", (1,), 0), "input_nodes"),
        (lambda t: t._create_node(NodeType.UNARY, "x", (1,), 0), "inputs"),
        (lambda t: t.create_source_node("t", 1, 0), "column"),
    ])
    def test_argument_types(self, tracker, call, argname):
        with pytest.raises(TypeError, match=argname):
            call(tracker)
        assert tracker._next_node_id == 0

    def test_numpy_numbers_accepted(self, tracker):
        nid = tracker.log_binary("add", np.int64(0), np.int32(1), np.uint32(9))
        assert tracker.get_node(nid).inputs == [0, 1] and tracker.get_node(nid).provenance == 9

    def test_fingerprint_out_of_range_rejected(self, tracker):
        with pytest.raises(OverflowError):
            tracker.log_unary("neg", 0, 1 << 32)
        with pytest.raises(OverflowError):
            tracker.log_unary("neg", 0, -1)

    def test_lowered_next_id_is_refused(self, tracker):
        binary_chain(tracker, 3)
        tracker._next_node_id = 1
        with pytest.raises(ValueError, match="below ids already assigned"):
            tracker.log_unary("neg", 0, 0)
        tracker._next_node_id = 10
        assert tracker.log_unary("neg", 0, 0) == 10


class TestEviction:
    def test_default_bound(self, tracker):
        tracker._max_nodes = 5000  # same rule, a tenth of the size
        for i in range(5001):
            tracker.log_unary("neg", 0, 7 if i else 99)
        assert len(tracker._nodes) == 4501 and 499 not in tracker._nodes and 500 in tracker._nodes
        assert tracker._prov_to_nodes[7][0] == 500 and 99 not in tracker._prov_to_nodes
        assert tracker.get_node(0) is None

    def test_sources_are_kept(self, tracker):
        tracker._max_nodes = 10
        for i in range(10):
            tracker.create_source_node("t", f"c{i}", i)
        nid = tracker.log_unary("neg", 0, 50)
        assert len(tracker._nodes) == 10 and nid not in tracker._nodes
        assert tracker.dag_stats()["source_nodes"] == 10

    def test_only_sources_exceed_bound(self, tracker):
        tracker._max_nodes = 2
        for i in range(5):
            tracker.create_source_node("t", f"c{i}", i)
        assert len(tracker._nodes) == 5

    def test_node_turned_into_source_is_kept(self, tracker):
        tracker._max_nodes = 20
        ids = binary_chain(tracker, 5)
        tracker._nodes[ids[0]].node_type = NodeType.SOURCE
        for _ in range(20):
            tracker.log_unary("neg", 0, 1)
        assert ids[0] in tracker._nodes and ids[1] not in tracker._nodes

    def test_overridden_eviction_is_called(self):
        calls = []

        class Counting(DAGTracker):
            def _evict_oldest_nodes(self):
                calls.append(len(self._nodes))

        t = Counting()
        t._max_nodes = 1
        t.log_unary("neg", 0, 1)
        t.log_unary("neg", 0, 1)
        assert calls == [2]


class TestQueries:
    def test_sum_lineage(self, tracker):
        a = tracker.create_source_node("t", "a", 1)
        b = tracker.create_source_node("t", "b", 2)
        c = tracker.log_binary("add", a, b, 3)
        dag = tracker.get_dag(c)
        assert list(dag.nodes) == [c, a, b]
        assert [(e.source_id, e.target_id, e.input_index) for e in dag.edges] == [(a, c, 0), (b, c, 1)]
        assert dag.nodes[a] is tracker._nodes[a]

    def test_self_operand_and_diamond(self, tracker):
        x = tracker.create_source_node("t", "x", 1)
        d = tracker.log_binary("add", x, x, 2)
        assert [(e.source_id, e.input_index) for e in tracker.get_dag(d).edges] == [(x, 0), (x, 1)]
        b = tracker.log_unary("neg", x, 3)
        c = tracker.log_unary("neg", x, 4)
        top = tracker.log_binary("add", b, c, 5)
        dag = tracker.get_dag(top)
        assert list(dag.nodes) == [top, b, c, x]
        assert [e.target_id for e in dag.edges] == [top, top, b, c]

    def test_unknown_and_evicted(self, tracker):
        dag = tracker.get_dag(12345)
        assert (dag.root_id, dag.nodes, dag.edges) == (12345, {}, [])
        tracker._max_nodes = 9
        a = tracker.log_unary("neg", 99, 1)
        b = tracker.log_unary("neg", a, 2)
        for _ in range(8):
            tracker.log_unary("neg", b, 3)  # the tenth node evicts a
        dag = tracker.get_dag(b)
        assert list(dag.nodes) == [b] and dag.edges[0].source_id == a
        assert dag.depth == 1

    def test_fingerprint_queries(self, tracker):
        ids = [tracker.log_unary("neg", 0, p) for p in (5, 6, 5, 7, 5)]
        got = tracker.get_nodes_for_provenance(5)
        assert [n.node_id for n in got] == [ids[0], ids[2], ids[4]]
        assert got is not tracker.get_nodes_for_provenance(5)
        assert tracker.get_nodes_for_provenance(1234) == []
        assert tracker.get_dag_for_provenance(5).root_id == ids[4]
        assert tracker.get_dag_for_provenance(1234) is None

    def test_stats(self, tracker):
        assert tracker.dag_stats() == {"total_nodes": 0, "source_nodes": 0, "protected_sources": 0,
                                       "operation_nodes": 0, "operation_counts": {},
                                       "unique_provenances": 0}
        tracker.register("t", "a", True)
        tracker.register("t", "b", True)
        a = tracker.create_source_node("t", "a", TAINT)
        b = tracker.create_source_node("t", "b", TAINT | 1)
        tracker.log_binary("mul", a, b, TAINT | 2)
        tracker.log_unary("neg", a, 9)
        tracker._nodes[3].operation = "renamed"  # an edit through the node is seen by the log
        stats = tracker.dag_stats()
        assert stats == {"total_nodes": 4, "source_nodes": 2, "protected_sources": 3,
                         "operation_nodes": 2, "operation_counts": {"mul": 1, "renamed": 1},
                         "unique_provenances": 4}


class TestViews:
    def test_node_table_mapping(self, tracker):
        ids = binary_chain(tracker, 3)
        nodes = tracker._nodes
        assert len(nodes) == 4 and list(nodes) == [0, *ids] and 2 in nodes and 99 not in nodes
        assert nodes[1] is nodes[1] is tracker.get_node(1)
        assert nodes.get(99) is None and nodes.get(99, "d") == "d"
        with pytest.raises(KeyError):
            nodes[99]
        assert [n.node_id for n in nodes.values()] == [0, *ids] and nodes.keys() == [0, *ids]

    def test_edits_through_a_node_reach_the_walk(self, tracker):
        a = tracker.create_source_node("t", "a", 1)
        b = tracker.log_unary("neg", a, 2)
        c = tracker.log_unary("neg", b, 3)
        tracker._nodes[c].inputs.append(a)
        assert [e.source_id for e in tracker.get_dag(c).edges] == [b, a, a]

    def test_fingerprint_index(self, tracker):
        tracker.log_unary("neg", 0, 5)
        tracker.log_unary("neg", 0, 6)
        tracker.log_unary("neg", 0, 5)
        index = tracker._prov_to_nodes
        assert list(index) == [5, 6] and index[5] == [0, 2] and len(index) == 2 and 6 in index
        assert index.get(7) is None

    def test_row_values_literal_records(self, tracker):
        tracker.record_row_value(0, 12, "add", "12")
        tracker.record_row_value(1, 13, "add", "abc", column_name="c")
        tracker.record_row_value(2, 14.0, "add", None)
        recs = list(tracker._value_buffer)
        assert [(r.value, r.text_value) for r in recs] == [(12.0, None), (None, "abc"), (None, None)]
        assert recs[1].column_name == "c" and recs[2].fingerprint == 14 and recs[0].pipeline_id == 0

    @pytest.mark.parametrize("args, argname", [
        ((True, 1, "x"), "row_index"), ((0, 1, b"x"), "operation"), ((0.0, 1, "x"), "row_index")])
    def test_row_value_argument_types(self, tracker, args, argname):
        with pytest.raises(TypeError, match=f"Argument '{argname}'"):
            tracker.record_row_value(*args)

    def test_row_value_float_error_propagates(self, tracker):
        class Bad:
            def __float__(self):
                raise RuntimeError("no")

        with pytest.raises(RuntimeError):
            tracker.record_row_value(0, 1, "x", Bad())

    def test_row_value_buffer_is_bounded(self, tracker):
        buf = tracker._value_buffer
        buf.capacity = 3
        for i in range(5):
            tracker.record_row_value(i, i, "x", i)
        assert [r.row_index for r in buf] == [2, 3, 4] and buf.dropped == 2
        buf.clear()
        assert len(buf) == 0 and buf.dropped == 2

    def test_writer_receives_full_batches(self, tracker):
        class Writer:
            def __init__(self):
                self.batches = []

            def write_row_values(self, batch):
                self.batches.append(batch)

        tracker._writer = Writer()
        tracker._value_flush_threshold = 3
        for i in range(4):
            tracker.record_row_value(i, 0, "x", i)
        assert [len(b) for b in tracker._writer.batches] == [3] and len(tracker._value_buffer) == 1


def test_concurrent_logging_and_queries(tracker):
    tracker._max_nodes = 2000
    src = tracker.create_source_node("t", "a", 1)
    errors = []

    def writer():
        try:
            for _ in range(3000):
                tracker.log_unary("neg", src, 2)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=writer) for _ in range(2)]
    for th in threads:
        th.start()
    while any(th.is_alive() for th in threads):
        stats = tracker.dag_stats()
        assert stats["source_nodes"] == 1 and stats["total_nodes"] <= 2001
        for nid in list(tracker._nodes)[-3:]:
            tracker.get_dag(nid)
    for th in threads:
        th.join()
    assert not errors and tracker._next_node_id == 6001
    assert len(set(tracker._nodes)) == len(tracker._nodes)


def test_module_rebinding_is_seen():
    class MyNode(DAGNode):
        pass

    t = DAGTracker()
    original = dagmod.DAGNode
    dagmod.DAGNode = MyNode
    try:
        nid = t.log_unary("neg", 0, 1)
    finally:
        dagmod.DAGNode = original
    assert type(t.get_node(nid)) is MyNode
