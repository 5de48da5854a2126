// DAGTracker: the provenance tracker with a node log. The log itself is
// native (DagState, owned by the `_nodes` view); this file holds node
// creation, the logging entry points, eviction, row-value capture and the
// queries.
#include "common.hpp"
#include "dag_module.hpp"

#include <limits>

namespace corvane::dag_binding {

namespace {

/// Holds a threading.Lock for a scope (acquire/release through the lock's
/// own methods, so a replaced lock object is honoured).
class LockGuard {
public:
    explicit LockGuard(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~LockGuard() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (r == nullptr) PyErr_Clear(); else Py_DECREF(r);
        PyErr_Restore(t, v, tb);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    py::object lock_;
};

const char* const kOverridable[] = {
    "combine", "update_chain", "log_binary", "log_unary", "record_row_value", "_create_node",
    "_evict_oldest_nodes", "is_tainted", "encode", "entity_from_row", "create_source_node",
};

/// Whether `name` on the tracker is still the method of our own class (not
/// overridden by a subclass, not shadowed on the instance).
bool is_own(py::handle tracker, const char* name) {
    ModuleState& s = state();
    py::str key(name);
    PyObject* found = _PyType_Lookup(Py_TYPE(tracker.ptr()), key.ptr());
    bool own = false;
    for (const auto& orig : s.tracker_originals) {
        if (orig.first == name) {
            own = found == orig.second.ptr();
            break;
        }
    }
    if (!own) return false;
    PyObject* dict = PyObject_GenericGetDict(tracker.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool shadowed = PyDict_GetItem(dict, key.ptr()) != nullptr;
    Py_DECREF(dict);
    return !shadowed;
}

std::int64_t id_arg(py::handle o, const char* argname) {
    py::object v = number_arg(o, argname);
    long long x = PyLong_AsLongLong(v.ptr());
    if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
    return x;
}

std::int64_t max_nodes_of(py::handle tracker) {
    py::int_ v = pyb::to_int(tracker.attr("_max_nodes"));
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

/// Reads `_next_node_id`, advances it by `count` and returns the old value.
std::int64_t take_ids(py::handle tracker, DagState& st, std::int64_t count) {
    const std::int64_t id = as_i64(tracker.attr("_next_node_id"));
    if (id < st.log.id_high_water()) {
        // Reusing ids would overwrite nodes that are still referenced.
        PyErr_Format(PyExc_ValueError,
                     "_next_node_id (%lld) is below ids already assigned (next free id %lld)",
                     static_cast<long long>(id), static_cast<long long>(st.log.id_high_water()));
        throw py::error_already_set();
    }
    tracker.attr("_next_node_id") = py::int_(id + count);
    return id;
}

bool tainted(py::handle tracker, std::uint32_t fp) {
    if (is_own(tracker, "is_tainted")) return (fp & core::kTaintBit) != 0;
    return truthy(tracker.attr("is_tainted")(py::int_(fp)));
}

void evict_if_needed(py::handle tracker, DagState& st) {
    if (static_cast<std::int64_t>(st.log.size()) <= max_nodes_of(tracker)) return;
    if (is_own(tracker, "_evict_oldest_nodes")) {
        ObjectOverrides ov(st);
        std::vector<std::int64_t> evicted;
        st.log.evict_oldest(st.log.size() / 10, &ov, &evicted);
        st.forget_objects(evicted);
    } else {
        tracker.attr("_evict_oldest_nodes")();
    }
}

bool internable(py::handle op) {
    if (!PyUnicode_CheckExact(op.ptr())) return false;
    if (PyUnicode_AsUTF8AndSize(op.ptr(), nullptr) == nullptr) {
        PyErr_Clear();
        return false;
    }
    return true;
}

std::optional<std::size_t> member_index(py::handle node_type) {
    const auto& members = state().node_types;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].ptr() == node_type.ptr()) return i;
    }
    return std::nullopt;
}

/// One node to create.
struct NodeCall {
    py::object node_type;
    py::object operation;
    py::object inputs;      // list
    py::object provenance;  // int
    std::uint32_t fp = 0;
    py::dict kwargs;        // passed on to DAGNode
    /// The inputs list and a metadata dict in kwargs are ours (fresh), so the
    /// node may be kept natively and its object built later.
    bool may_defer = false;
};

/// Node creation with `_dag_lock` held: id, node, taint marking, insertion,
/// write-through, eviction.
std::int64_t create_locked(py::handle tracker, DagState& st, NodeCall& c) {
    ModuleState& s = state();
    const std::int64_t id = take_ids(tracker, st, 1);
    py::object node_cls = s.ns.get("DAGNode");
    std::optional<std::size_t> member = member_index(c.node_type);
    const auto kind = member ? static_cast<core::NodeKind>(*member + 1) : core::NodeKind::Custom;

    bool defer = c.may_defer && node_cls.ptr() == s.dag_node_cls.ptr() && member &&
                 internable(c.operation);
    core::NodeExtra extra;
    bool has_extra = false;
    bool explicit_protected = false;
    if (defer) {
        for (auto item : c.kwargs) {
            const std::string key = py::str(item.first).cast<std::string>();
            PyObject* v = item.second.ptr();
            if (key == "metadata") {
                defer = PyDict_CheckExact(v) && PyDict_Size(v) == 0;
            } else if (key == "table" || key == "column") {
                if (v == Py_None) continue;
                if (!internable(item.second)) {
                    defer = false;
                } else {
                    (key == "table" ? extra.table : extra.column) =
                        py::reinterpret_borrow<py::str>(item.second).cast<std::string>();
                    has_extra = true;
                }
            } else if (key == "pair_id") {
                if (v == Py_None) continue;
                int overflow = 0;
                long long p = PyLong_CheckExact(v) ? PyLong_AsLongLongAndOverflow(v, &overflow) : 0;
                if (!PyLong_CheckExact(v) || overflow != 0) {
                    defer = false;
                } else {
                    extra.pair_id = p;
                    has_extra = true;
                }
            } else if (key == "is_protected") {
                if (!PyBool_Check(v)) defer = false;
                explicit_protected = v == Py_True;
            } else {
                defer = false;
            }
            if (!defer) break;
        }
    }

    std::vector<std::int64_t> inputs;
    bool inputs_ok = true;
    for (py::handle h : c.inputs) {
        if (!PyLong_Check(h.ptr())) {
            inputs_ok = false;
            break;
        }
        long long v = PyLong_AsLongLong(h.ptr());
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            inputs_ok = false;
            break;
        }
        inputs.push_back(v);
    }
    defer = defer && inputs_ok;

    if (defer) {
        bool prot = explicit_protected;
        if (!prot && c.fp != 0 && tainted(tracker, c.fp)) prot = true;
        if (has_extra || prot != core::protected_by_fingerprint(c.fp)) {
            extra.is_protected = prot;
            has_extra = true;
        }
        st.log.append_node(id, kind, st.intern(c.operation), inputs, c.fp,
                           has_extra ? &extra : nullptr, false);
    } else {
        py::object node = node_cls(id, c.node_type, c.operation, c.inputs, c.provenance,
                                   **c.kwargs);
        if (!truthy(node.attr("is_protected")) && c.fp != 0 && tainted(tracker, c.fp)) {
            node.attr("is_protected") = true;
        }
        const std::uint32_t op = internable(c.operation) ? st.intern(c.operation)
                                                        : st.intern(py::str(""));
        st.log.append_node(id, kind, op, inputs_ok ? inputs : std::vector<std::int64_t>{}, c.fp,
                           nullptr, true);
        st.objects[py::int_(id)] = node;
    }
    if (truthy(tracker.attr("_writer"))) {
        tracker.attr("_persist_node")(node_object(st, id));
    }
    evict_if_needed(tracker, st);
    return id;
}

std::int64_t create_node(py::handle tracker, DagState& st, NodeCall& c) {
    LockGuard guard(tracker.attr("_dag_lock"));
    return create_locked(tracker, st, c);
}

// ---- Python-visible methods ----------------------------------------------------------

py::object tracker_init(py::object self, py::object api_key, py::object tenant_id,
                        py::object service_url, py::object pipeline_name) {
    pyb::require_exact_or_none(api_key, &PyUnicode_Type, "api_key");
    pyb::require_exact_or_none(tenant_id, &PyUnicode_Type, "tenant_id");
    pyb::require_str(service_url, "service_url");
    pyb::require_exact_or_none(pipeline_name, &PyUnicode_Type, "pipeline_name");
    ModuleState& s = state();
    s.base_tracker_cls.attr("__init__")(self);
    auto st = std::make_shared<DagState>();
    self.attr("_dag_lock") = s.ns.get("threading").attr("Lock")();
    self.attr("_nodes") = py::cast(NodeTable{st});
    self.attr("_next_node_id") = py::int_(0);
    self.attr("_value_buffer") = py::cast(ValueBuffer{st});
    self.attr("_value_buffer_lock") = s.ns.get("threading").attr("Lock")();
    self.attr("_value_flush_threshold") = py::int_(5000);
    self.attr("_nodes_persisted") = false;
    self.attr("_max_nodes") = py::int_(500000);
    self.attr("_prov_to_nodes") = py::cast(FingerprintIndex{st});
    self.attr("_source_nodes") = py::dict();
    self.attr("_writer") = py::none();
    self.attr("_storage") = py::none();
    self.attr("_pipeline_id") = py::none();
    self.attr("_pipeline_name") = pipeline_name;
    self.attr("_api_key") = api_key;
    self.attr("_tenant_id") = tenant_id;
    self.attr("_service_url") = service_url;
    self.attr("_dashboard_synced") = false;
    if (!api_key.is_none() && py::len(api_key) > 0) {
        self.attr("enable_persistence")();
    }
    return py::none();
}

py::object record_row_value(py::object self, py::object row_index, py::object fingerprint,
                            py::object operation, py::object value, py::object column_name) {
    pyb::require_exact(row_index, &PyLong_Type, "row_index");
    py::int_ fp = pyb::to_int(fingerprint);
    pyb::require_str(operation, "operation");
    pyb::require_exact_or_none(column_name, &PyUnicode_Type, "column_name");
    py::object record_cls =
        py::module_::import("corvane.utilities.persistence.storage").attr("StoredRowValue");
    py::object number = py::none();
    py::object text = py::none();
    if (!value.is_none()) {
        PyObject* f = PyNumber_Float(value.ptr());
        if (f != nullptr) {
            number = py::reinterpret_steal<py::object>(f);
        } else if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
                   PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            text = PyUnicode_CheckExact(value.ptr()) ? value : py::object(py::str(value));
        } else {
            throw py::error_already_set();
        }
    }
    py::object pid = self.attr("_pipeline_id");
    if (!truthy(pid)) pid = py::int_(0);
    py::object record = record_cls(
        py::arg("pipeline_id") = pid, py::arg("row_index") = row_index, py::arg("fingerprint") = fp,
        py::arg("node_operation") = operation, py::arg("value") = number,
        py::arg("column_name") = column_name, py::arg("tenant_id") = self.attr("_tenant_id"),
        py::arg("text_value") = text);
    LockGuard guard(self.attr("_value_buffer_lock"));
    py::object buffer = self.attr("_value_buffer");
    buffer.attr("append")(record);
    if (py::len(buffer) >= static_cast<std::size_t>(as_i64(self.attr("_value_flush_threshold"))) &&
        truthy(self.attr("_writer"))) {
        py::list copy;
        for (py::handle r : buffer) copy.append(r);
        self.attr("_writer").attr("write_row_values")(copy);
        buffer.attr("clear")();
    }
    return py::none();
}

py::object create_node_method(py::object self, py::object node_type, py::object operation,
                              py::object inputs, py::object provenance, py::kwargs kwargs) {
    pyb::require_str(operation, "operation");
    pyb::require_list(inputs, "inputs");
    const std::uint32_t fp = as_fingerprint(provenance, "provenance");
    DagState& st = dag_state_of(self);
    NodeCall c{node_type, operation, inputs, py::int_(fp), fp, py::dict(kwargs), false};
    return py::int_(create_node(self, st, c));
}

py::object evict_oldest_nodes(py::object self) {
    DagState& st = dag_state_of(self);
    ObjectOverrides ov(st);
    std::vector<std::int64_t> evicted;
    st.log.evict_oldest(st.log.size() / 10, &ov, &evicted);
    st.forget_objects(evicted);
    return py::none();
}

py::object create_source_node(py::object self, py::object table, py::object column,
                              py::object provenance) {
    pyb::require_str(table, "table");
    pyb::require_str(column, "column");
    const std::uint32_t fp = as_fingerprint(provenance, "provenance");
    if (py::len(table) == 0 || py::len(column) == 0) {
        throw py::value_error("table and column must be non-empty strings");
    }
    if (truthy(self.attr("_dashboard_synced"))) {
        self.attr("_start_new_pipeline")();
    }
    ModuleState& s = state();
    py::tuple key = py::make_tuple(table, column);
    py::object operation = table + py::str(".") + column;
    if (is_own(self, "_create_node")) {
        // The lookup and the insertion share the lock with node creation, so
        // two threads wrapping the same column get one source node.
        DagState& st = dag_state_of(self);
        LockGuard guard(self.attr("_dag_lock"));
        py::object sources = self.attr("_source_nodes");
        if (sources.contains(key)) return sources[key];
        py::object pair_id = self.attr("get_id")(table, column);
        py::object is_prot = self.attr("is_protected")(table, column);
        py::dict kw;
        kw["table"] = table;
        kw["column"] = column;
        kw["pair_id"] = pair_id;
        kw["is_protected"] = is_prot;
        NodeCall c{s.ns.get("NodeType").attr("SOURCE"), operation, py::list(), py::int_(fp), fp, kw,
                   true};
        py::int_ id(create_locked(self, st, c));
        sources[key] = id;
        return std::move(id);
    }
    py::object sources = self.attr("_source_nodes");
    if (sources.contains(key)) return sources[key];
    py::object pair_id = self.attr("get_id")(table, column);
    py::object is_prot = self.attr("is_protected")(table, column);
    py::object id = self.attr("_create_node")(
        py::arg("node_type") = s.ns.get("NodeType").attr("SOURCE"), py::arg("operation") = operation,
        py::arg("inputs") = py::list(), py::arg("provenance") = py::int_(fp),
        py::arg("table") = table, py::arg("column") = column, py::arg("pair_id") = pair_id,
        py::arg("is_protected") = is_prot);
    self.attr("_source_nodes")[key] = id;
    return id;
}

py::object log_simple(py::object self, const char* member, py::object op_name, py::list inputs,
                      py::object result_prov, py::object metadata) {
    const std::uint32_t fp = as_fingerprint(result_prov, "result_prov");
    pyb::require_exact_or_none(metadata, &PyDict_Type, "metadata");
    const bool caller_md = !metadata.is_none() && py::len(metadata) > 0;
    py::dict md = caller_md ? py::reinterpret_borrow<py::dict>(metadata) : py::dict();
    py::object node_type = state().ns.get("NodeType").attr(member);
    if (is_own(self, "_create_node")) {
        DagState& st = dag_state_of(self);
        py::dict kw;
        kw["metadata"] = md;
        NodeCall c{node_type, op_name, inputs, py::int_(fp), fp, kw, !caller_md};
        return py::int_(create_node(self, st, c));
    }
    return self.attr("_create_node")(py::arg("node_type") = node_type,
                                     py::arg("operation") = op_name, py::arg("inputs") = inputs,
                                     py::arg("provenance") = py::int_(fp),
                                     py::arg("metadata") = md);
}

py::object log_unary(py::object self, py::object op_name, py::object input_node,
                     py::object result_prov, py::object metadata) {
    pyb::require_str(op_name, "op_name");
    py::list inputs;
    inputs.append(py::int_(id_arg(input_node, "input_node")));
    return log_simple(self, "UNARY", op_name, inputs, result_prov, metadata);
}

py::object log_binary(py::object self, py::object op_name, py::object left_node,
                      py::object right_node, py::object result_prov, py::object metadata) {
    pyb::require_str(op_name, "op_name");
    py::list inputs;
    inputs.append(py::int_(id_arg(left_node, "left_node")));
    inputs.append(py::int_(id_arg(right_node, "right_node")));
    return log_simple(self, "BINARY", op_name, inputs, result_prov, metadata);
}

py::object log_merge(py::object self, py::object left_nodes, py::object right_nodes,
                     py::object result_prov, py::object merge_type, py::object metadata) {
    pyb::require_list(left_nodes, "left_nodes");
    pyb::require_list(right_nodes, "right_nodes");
    const std::uint32_t fp = as_fingerprint(result_prov, "result_prov");
    pyb::require_str(merge_type, "merge_type");
    pyb::require_exact_or_none(metadata, &PyDict_Type, "metadata");
    py::object inputs = left_nodes + right_nodes;
    py::dict md;
    md["merge_type"] = merge_type;
    if (!metadata.is_none()) md.attr("update")(metadata);
    return self.attr("_create_node")(
        py::arg("node_type") = state().ns.get("NodeType").attr("MERGE"),
        py::arg("operation") = py::str("merge_") + merge_type, py::arg("inputs") = inputs,
        py::arg("provenance") = py::int_(fp), py::arg("metadata") = md);
}

py::object log_aggregate(py::object self, py::object op_name, py::object input_nodes,
                         py::object result_prov, py::object metadata) {
    pyb::require_str(op_name, "op_name");
    pyb::require_list(input_nodes, "input_nodes");
    const std::uint32_t fp = as_fingerprint(result_prov, "result_prov");
    pyb::require_exact_or_none(metadata, &PyDict_Type, "metadata");
    py::object md = (!metadata.is_none() && py::len(metadata) > 0) ? metadata : py::dict();
    return self.attr("_create_node")(
        py::arg("node_type") = state().ns.get("NodeType").attr("AGGREGATE"),
        py::arg("operation") = op_name, py::arg("inputs") = input_nodes,
        py::arg("provenance") = py::int_(fp), py::arg("metadata") = md);
}

py::object get_node(py::object self, py::object node_id) {
    PyObject* v = number_arg(node_id, "node_id").release().ptr();
    py::object key = py::reinterpret_steal<py::object>(v);
    int overflow = 0;
    long long id = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
    if (overflow != 0) return py::none();
    return node_object(dag_state_of(self), id);
}

py::object get_nodes_for_provenance(py::object self, py::object provenance) {
    PyObject* v = number_arg(provenance, "provenance").release().ptr();
    py::object key = py::reinterpret_steal<py::object>(v);
    py::list out;
    int overflow = 0;
    long long fp = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
    if (overflow != 0 || fp < 0 || fp > 0xFFFFFFFFLL) return std::move(out);
    DagState& st = dag_state_of(self);
    for (std::int64_t id : st.log.ids_for_fingerprint(static_cast<std::uint32_t>(fp))) {
        py::object node = node_object(st, id);
        if (!node.is_none()) out.append(node);
    }
    return std::move(out);
}

py::object get_dag(py::object self, py::object root_node_id) {
    PyObject* v = number_arg(root_node_id, "root_node_id").release().ptr();
    return lineage_dag(self, dag_state_of(self), py::reinterpret_steal<py::object>(v));
}

py::object get_dag_for_provenance(py::object self, py::object provenance) {
    py::object nodes = self.attr("get_nodes_for_provenance")(provenance);
    if (py::len(nodes) == 0) return py::none();
    py::object best;
    for (py::handle n : nodes) {
        py::object id = n.attr("node_id");
        if (!best || (id > best)) best = id;
    }
    return self.attr("get_dag")(best);
}

py::object dag_stats(py::object self) {
    DagState& st = dag_state_of(self);
    ObjectOverrides ov(st);
    ov.prepare_ops();
    core::LogStats s = st.log.stats(&ov);
    py::dict counts;
    for (const auto& kv : s.op_counts) {
        py::object key = kv.first >= 0
                             ? st.op_string(static_cast<std::uint32_t>(kv.first))
                             : ov.foreign_ops[static_cast<std::size_t>(-kv.first - 1)];
        counts[key] = py::int_(kv.second);
    }
    py::dict d;
    d["total_nodes"] = py::int_(s.total);
    d["source_nodes"] = py::int_(s.sources);
    d["protected_sources"] = py::int_(s.protected_nodes);
    d["operation_nodes"] = py::int_(s.total - s.sources);
    d["operation_counts"] = counts;
    d["unique_provenances"] = py::int_(s.unique_fingerprints);
    return std::move(d);
}

}  // namespace

// ---- used by the pandas classes ---------------------------------------------------------

bool tracker_is_plain(py::handle tracker) {
    ModuleState& s = state();
    if (!PyObject_TypeCheck(tracker.ptr(), reinterpret_cast<PyTypeObject*>(s.tracker_cls.ptr()))) {
        return false;
    }
    for (const char* name : kOverridable) {
        if (!is_own(tracker, name)) return false;
    }
    if (s.orvex32_ns_dict.attr("get")("_hash_entity").ptr() != s.own_hash_entity.ptr()) return false;
    py::object native = getattr_or_null(tracker, "_native");
    if (!native || Py_TYPE(native.ptr()) != reinterpret_cast<PyTypeObject*>(s.native_tracker_type.ptr())) {
        return false;
    }
    if (truthy(tracker.attr("_writer")) && !columnar_writer(tracker)) return false;
    py::object nodes = getattr_or_null(tracker, "_nodes");
    py::object buffer = getattr_or_null(tracker, "_value_buffer");
    if (!nodes || !buffer || !py::isinstance<NodeTable>(nodes) || !py::isinstance<ValueBuffer>(buffer)) {
        return false;
    }
    return nodes.cast<NodeTable&>().st == buffer.cast<ValueBuffer&>().st;
}

std::int64_t log_run(py::handle tracker, DagState& st, core::NodeKind kind, py::handle op_name,
                     std::vector<core::InputColumn> inputs, const std::uint32_t* fps,
                     std::size_t count) {
    const std::uint32_t op = st.intern(op_name);
    std::vector<std::int64_t> evicted;
    std::int64_t first = 0;
    {
        LockGuard guard(tracker.attr("_dag_lock"));
        first = take_ids(tracker, st, static_cast<std::int64_t>(count));
        if (truthy(tracker.attr("_writer"))) {
            // tracker_is_plain let a writer through only when it takes columnar batches
            return log_run_persisted(tracker, st, kind, op_name, std::move(inputs), fps, count, first,
                                     max_nodes_of(tracker));
        }
        ObjectOverrides ov(st);
        st.log.append_run(first, kind, op, std::move(inputs), fps, count, max_nodes_of(tracker), &ov,
                          &evicted);
    }
    st.forget_objects(evicted);
    return first;
}

void capture_values(py::handle tracker, DagState& st, py::handle values, py::handle fps,
                    py::handle op_name, py::handle column, std::vector<std::int64_t> rows,
                    std::int64_t row0, std::size_t count) {
    if (count == 0) return;
    if (truthy(tracker.attr("_writer")) &&
        capture_values_columnar(tracker, st, values, fps, op_name, column, rows, row0, count)) {
        return;
    }
    py::object pid = tracker.attr("_pipeline_id");
    if (!truthy(pid)) pid = py::int_(0);
    const std::uint64_t h = st.next_handle++;
    st.value_sources[py::int_(h)] =
        py::make_tuple("run", values, fps, op_name, column, pid, tracker.attr("_tenant_id"));
    std::vector<std::uint64_t> released;
    {
        LockGuard guard(tracker.attr("_value_buffer_lock"));
        released = st.values.append(h, row0, std::move(rows), count);
    }
    st.release_values(released);
}

void bind_tracker(py::module_ m) {
    ModuleState& s = state();
    py::object cls = pyb::make_class(
        "DAGTracker", py::make_tuple(s.base_tracker_cls), m,
        "ORVEX-32 tracker with full computation DAG logging.\n\n"
        "Every tracked operation is logged, per row, as a node of a computation DAG, so\n"
        "that the complete lineage of any result value can be reconstructed.");
    s.tracker_cls = cls;
    method(cls, "__init__", &tracker_init, py::arg("api_key") = py::none(),
                    py::arg("tenant_id") = py::none(), py::arg("service_url") = "",
                    py::arg("pipeline_name") = py::none());
    method(cls, "record_row_value", &record_row_value, py::arg("row_index"),
                    py::arg("fingerprint"), py::arg("operation"), py::arg("value") = py::none(),
                    py::arg("column_name") = py::none(),
                    py::doc("Buffer a per-row value for later persistence."));
    method(cls, "_create_node", &create_node_method, py::arg("node_type"),
                    py::arg("operation"), py::arg("inputs"), py::arg("provenance"),
                    py::doc("Create a node and add it to the DAG (thread-safe)."));
    method(cls, "_evict_oldest_nodes", &evict_oldest_nodes,
                    py::doc("Evict the oldest 10% of non-source nodes. Call with _dag_lock held."));
    method(cls, "create_source_node", &create_source_node, py::arg("table"),
                    py::arg("column"), py::arg("provenance"),
                    py::doc("Create or get a source node for a table/column."));
    method(cls, "log_unary", &log_unary, py::arg("op_name"), py::arg("input_node"),
                    py::arg("result_prov"), py::arg("metadata") = py::none(),
                    py::doc("Log a unary operation."));
    method(cls, "log_binary", &log_binary, py::arg("op_name"), py::arg("left_node"),
                    py::arg("right_node"), py::arg("result_prov"), py::arg("metadata") = py::none(),
                    py::doc("Log a binary operation."));
    method(cls, "log_merge", &log_merge, py::arg("left_nodes"), py::arg("right_nodes"),
                    py::arg("result_prov"), py::arg("merge_type") = "inner",
                    py::arg("metadata") = py::none(), py::doc("Log a merge operation."));
    method(cls, "log_aggregate", &log_aggregate, py::arg("op_name"),
                    py::arg("input_nodes"), py::arg("result_prov"),
                    py::arg("metadata") = py::none(), py::doc("Log an aggregation operation."));
    method(cls, "get_node", &get_node, py::arg("node_id"), py::doc("Get a node by ID."));
    method(cls, "get_nodes_for_provenance", &get_nodes_for_provenance,
                    py::arg("provenance"), py::doc("Get all nodes with a given provenance value."));
    method(cls, "get_dag", &get_dag, py::arg("root_node_id"),
                    py::doc("Reconstruct the computation DAG for a result node."));
    method(cls, "get_dag_for_provenance", &get_dag_for_provenance, py::arg("provenance"),
                    py::doc("Get the DAG for the most recent node with the given provenance."));
    method(cls, "dag_stats", &dag_stats, py::doc("Get statistics about the DAG."));
    m.attr("DAGTracker") = cls;

    py::dict cls_dict = cls.attr("__dict__");
    for (const char* name : kOverridable) {
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), py::str(name).ptr());
        if (found == nullptr) {
            throw std::runtime_error(std::string("the tracker has no method ") + name);
        }
        s.tracker_originals.emplace_back(name, py::reinterpret_borrow<py::object>(found));
    }
}

}  // namespace corvane::dag_binding
