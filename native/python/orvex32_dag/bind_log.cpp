// The Python face of the native node log: the mapping views a tracker keeps
// as `_nodes`, `_prov_to_nodes` and `_value_buffer`, node objects built on
// request, and the lineage walk turned into a ComputationDAG.
#include "common.hpp"
#include "dag_module.hpp"

#include <limits>

namespace corvane::dag_binding {

// ---- DagState ----------------------------------------------------------------

std::uint32_t DagState::intern(py::handle op) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(op.ptr(), &size);
    if (utf8 == nullptr) throw py::error_already_set();
    const std::uint32_t index = log.intern(std::string_view(utf8, static_cast<std::size_t>(size)));
    while (op_strings.size() <= index) op_strings.emplace_back();
    if (!op_strings[index]) op_strings[index] = py::reinterpret_borrow<py::object>(op);
    return index;
}

py::object DagState::op_string(std::uint32_t op) {
    if (op < op_strings.size() && op_strings[op]) return op_strings[op];
    return py::str(log.op_text(op));
}

void DagState::forget_objects(const std::vector<std::int64_t>& ids) {
    for (std::int64_t id : ids) {
        py::int_ key(id);
        if (PyDict_DelItem(objects.ptr(), key.ptr()) < 0) PyErr_Clear();
    }
}

void DagState::release_values(const std::vector<std::uint64_t>& handles) {
    for (std::uint64_t h : handles) {
        py::int_ key(h);
        if (PyDict_DelItem(value_sources.ptr(), key.ptr()) < 0) PyErr_Clear();
    }
}

// ---- overrides from node objects ------------------------------------------------

ObjectOverrides::ObjectOverrides(DagState& st) : st_(st) {}

PyObject* ObjectOverrides::object(std::int64_t id) {
    PyObject* key = PyLong_FromLongLong(id);
    if (key == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* obj = PyDict_GetItem(st_.objects.ptr(), key);  // borrowed
    Py_DECREF(key);
    return obj;
}

void ObjectOverrides::inputs(std::int64_t id, std::vector<std::int64_t>& out) {
    PyObject* obj = object(id);
    if (obj == nullptr) return;
    PyObject* inputs = PyObject_GetAttrString(obj, "inputs");
    if (inputs == nullptr) {
        PyErr_Clear();
        failed = true;
        return;
    }
    if (PyList_Check(inputs) || PyTuple_Check(inputs)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(inputs);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(inputs, i);
            if (!PyLong_Check(item)) {
                failed = true;
                continue;
            }
            long long v = PyLong_AsLongLong(item);
            if (v == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                failed = true;
                continue;
            }
            out.push_back(v);
        }
    } else {
        failed = true;
    }
    Py_DECREF(inputs);
}

bool ObjectOverrides::is_source(std::int64_t id) {
    PyObject* obj = object(id);
    if (obj == nullptr) return false;
    PyObject* t = PyObject_GetAttrString(obj, "node_type");
    if (t == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool r = t == state().node_types[0].ptr();
    Py_DECREF(t);
    return r;
}

bool ObjectOverrides::is_protected(std::int64_t id) {
    PyObject* obj = object(id);
    if (obj == nullptr) return false;
    PyObject* v = PyObject_GetAttrString(obj, "is_protected");
    if (v == nullptr) {
        PyErr_Clear();
        return false;
    }
    // Plain bools and ints only: anything else could run Python code here.
    const bool r = (v == Py_True) || (PyLong_CheckExact(v) && PyObject_IsTrue(v) == 1);
    Py_DECREF(v);
    return r;
}

void ObjectOverrides::prepare_ops() {
    for (auto item : st_.objects) {
        py::object op = getattr_or_null(item.second, "operation");
        if (op && PyUnicode_CheckExact(op.ptr()) && !op_keys_.contains(op)) {
            try {
                op_keys_[op] = py::int_(st_.intern(op));
            } catch (py::error_already_set&) {
                // not encodable: counted under its own key
            }
        }
    }
}

std::int64_t ObjectOverrides::op_key(std::int64_t id) {
    PyObject* obj = object(id);
    PyObject* op = obj ? PyObject_GetAttrString(obj, "operation") : nullptr;
    if (op == nullptr) {
        PyErr_Clear();
        op = Py_None;
        Py_INCREF(op);
    }
    py::object holder = py::reinterpret_steal<py::object>(op);
    if (PyUnicode_CheckExact(op)) {
        PyObject* k = PyDict_GetItem(op_keys_.ptr(), op);
        if (k != nullptr) return PyLong_AsLongLong(k);
    }
    for (std::size_t i = 0; i < foreign_ops.size(); ++i) {
        if (foreign_ops[i].ptr() == op) return -static_cast<std::int64_t>(i) - 1;
    }
    foreign_ops.push_back(holder);
    return -static_cast<std::int64_t>(foreign_ops.size());
}

// ---- node objects -------------------------------------------------------------------

DagState& dag_state_of(py::handle tracker) {
    PyObject* dict = PyObject_GenericGetDict(tracker.ptr(), nullptr);
    if (dict == nullptr) throw py::error_already_set();
    py::object d = py::reinterpret_steal<py::object>(dict);
    PyObject* nodes = PyDict_GetItemString(dict, "_nodes");
    if (nodes == nullptr || !py::isinstance<NodeTable>(nodes)) {
        throw py::type_error("the tracker's _nodes is not its native node table");
    }
    return *py::reinterpret_borrow<py::object>(nodes).cast<NodeTable&>().st;
}

py::object node_object(DagState& st, std::int64_t id) {
    py::int_ key(id);
    PyObject* have = PyDict_GetItem(st.objects.ptr(), key.ptr());
    if (have != nullptr) return py::reinterpret_borrow<py::object>(have);
    std::optional<core::NodeRecord> rec = st.log.get(id);
    if (!rec) return py::none();
    ModuleState& s = state();
    py::list inputs(rec->inputs.size());
    for (std::size_t i = 0; i < rec->inputs.size(); ++i) {
        inputs[i] = py::int_(rec->inputs[i]);
    }
    const core::NodeExtra& ex = rec->extra;
    const bool prot = ex.is_protected ? *ex.is_protected : core::protected_by_fingerprint(rec->fp);
    py::object obj = fast_instance(
        s.dag_node_cls,
        {{"node_id", key},
         {"node_type", s.node_types[static_cast<std::size_t>(rec->kind) - 1]},
         {"operation", st.op_string(rec->op)},
         {"inputs", inputs},
         {"provenance", py::int_(rec->fp)},
         {"metadata", py::dict()},
         {"table", ex.table ? py::object(py::str(*ex.table)) : py::object(py::none())},
         {"column", ex.column ? py::object(py::str(*ex.column)) : py::object(py::none())},
         {"pair_id", ex.pair_id ? py::object(py::int_(*ex.pair_id)) : py::object(py::none())},
         {"is_protected", py::bool_(prot)}});
    PyObject* stored = PyDict_SetDefault(st.objects.ptr(), key.ptr(), obj.ptr());
    if (stored == nullptr) throw py::error_already_set();
    py::object result = py::reinterpret_borrow<py::object>(stored);
    if (!st.log.set_materialized(id)) {
        // evicted meanwhile: the log no longer holds it, so neither do we
        if (PyDict_DelItem(st.objects.ptr(), key.ptr()) < 0) PyErr_Clear();
        return py::none();
    }
    return result;
}

namespace {

bool key_to_id(py::handle key, std::int64_t* out) {
    if (!PyIndex_Check(key.ptr())) return false;
    PyObject* v = PyNumber_Index(key.ptr());
    if (v == nullptr) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
    Py_DECREF(v);
    if (overflow != 0 || (r == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *out = r;
    return true;
}

bool key_to_fp(py::handle key, std::uint32_t* out) {
    std::int64_t v = 0;
    if (!key_to_id(key, &v) || v < 0 || v > 0xFFFFFFFFLL) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

struct NodeIter {
    std::shared_ptr<DagState> st;
    std::optional<std::int64_t> cur;
    bool started = false;
    bool done = false;
};

struct ListIter {
    py::list items;
    std::size_t pos = 0;
};

py::object value_record(DagState& st, const core::ValueRef& ref) {
    py::object src = st.value_sources[py::int_(ref.handle)];
    py::tuple t = py::reinterpret_borrow<py::tuple>(src);
    if (t.size() == 1) return t[0];
    // ("run", values, fingerprints, operation, column, pipeline_id, tenant_id)
    py::object values = t[1];
    py::object fps = t[2];
    py::object cell = values[py::int_(ref.row)];
    PyObject* f = PyNumber_Float(cell.ptr());  // an exact float, as float() gives
    if (f == nullptr) throw py::error_already_set();
    py::object value = py::reinterpret_steal<py::object>(f);
    py::object storage = py::module_::import("corvane.utilities.persistence.storage");
    return storage.attr("StoredRowValue")(
        py::arg("pipeline_id") = t[5], py::arg("row_index") = py::int_(ref.row),
        py::arg("fingerprint") = py::int_(fps[py::int_(ref.row)]), py::arg("node_operation") = t[3],
        py::arg("value") = value, py::arg("column_name") = t[4],
        py::arg("tenant_id") = t[6], py::arg("text_value") = py::none());
}

}  // namespace

py::object lineage_dag(py::handle tracker, DagState& st, py::object root_obj) {
    ModuleState& s = state();
    py::object edge_cls = s.ns.get("DAGEdge");
    py::object dag_cls = s.ns.get("ComputationDAG");
    py::dict nodes;
    py::list edges;
    std::int64_t root = 0;
    if (key_to_id(root_obj, &root)) {
        ObjectOverrides ov(st);
        core::Lineage lin = st.log.walk(root, &ov);
        for (std::int64_t id : lin.nodes) {
            py::object node = node_object(st, id);
            if (!node.is_none()) nodes[py::int_(id)] = node;
        }
        const bool own_edge = edge_cls.ptr() == s.dag_edge_cls.ptr();
        for (const core::Edge& e : lin.edges) {
            if (own_edge) {
                edges.append(fast_instance(edge_cls, {{"source_id", py::int_(e.source)},
                                                      {"target_id", py::int_(e.target)},
                                                      {"input_index", py::int_(e.index)}}));
            } else {
                edges.append(edge_cls(py::arg("source_id") = e.source, py::arg("target_id") = e.target,
                                      py::arg("input_index") = e.index));
            }
        }
        if (ov.failed) {
            throw py::type_error("a node's inputs hold something other than node ids");
        }
    }
    (void)tracker;
    return dag_cls(py::arg("root_id") = root_obj, py::arg("nodes") = nodes,
                   py::arg("edges") = edges);
}

// ---- views --------------------------------------------------------------------------

void bind_log(py::module_ m) {
    py::class_<NodeIter>(m, "_NodeTableIterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](NodeIter& it) -> py::object {
            if (it.done) throw py::stop_iteration();
            std::optional<std::int64_t> nxt = it.st->log.next_id(it.started ? it.cur : std::nullopt);
            it.started = true;
            if (!nxt) {
                it.done = true;
                throw py::stop_iteration();
            }
            it.cur = nxt;
            return py::int_(*nxt);
        });
    py::class_<ListIter>(m, "_ListIterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](ListIter& it) -> py::object {
            if (it.pos >= it.items.size()) throw py::stop_iteration();
            return it.items[it.pos++];
        });

    auto node_get = [](NodeTable& t, py::handle key) -> py::object {
        std::int64_t id = 0;
        if (!key_to_id(key, &id)) return py::object();
        py::object obj = node_object(*t.st, id);
        return obj.is_none() ? py::object() : obj;
    };
    py::class_<NodeTable>(m, "_NodeTable", py::module_local(),
                          "The tracker's nodes (id to DAGNode, creation order), held natively.")
        .def("__len__", [](NodeTable& t) { return t.st->log.size(); })
        .def("__bool__", [](NodeTable& t) { return t.st->log.size() != 0; })
        .def("__contains__", [](NodeTable& t, py::handle key) {
            std::int64_t id = 0;
            return key_to_id(key, &id) && t.st->log.contains(id);
        })
        .def("__iter__", [](NodeTable& t) { return NodeIter{t.st, std::nullopt, false, false}; })
        .def("__getitem__", [node_get](NodeTable& t, py::handle key) {
            py::object obj = node_get(t, key);
            if (!obj) throw py::key_error(py::repr(key).cast<std::string>());
            return obj;
        })
        .def("get", [node_get](NodeTable& t, py::handle key, py::object dflt) {
            py::object obj = node_get(t, key);
            return obj ? obj : dflt;
        }, py::arg("key"), py::arg("default") = py::none())
        .def("keys", [](NodeTable& t) {
            py::list out;
            for (std::int64_t id : t.st->log.ids()) out.append(py::int_(id));
            return out;
        })
        .def("values", [](NodeTable& t) {
            py::list out;
            for (std::int64_t id : t.st->log.ids()) {
                py::object o = node_object(*t.st, id);
                if (!o.is_none()) out.append(o);
            }
            return out;
        })
        .def("items", [](NodeTable& t) {
            py::list out;
            for (std::int64_t id : t.st->log.ids()) {
                py::object o = node_object(*t.st, id);
                if (!o.is_none()) out.append(py::make_tuple(py::int_(id), o));
            }
            return out;
        })
        .def("memory_bytes", [](NodeTable& t) { return t.st->log.memory_bytes(); },
             "Bytes of native memory the node log holds (runs, side tables, index).")
        .def("__repr__", [](NodeTable& t) {
            return "<DAG node table: " + std::to_string(t.st->log.size()) + " nodes>";
        });

    auto fp_get = [](FingerprintIndex& x, py::handle key) -> py::object {
        std::uint32_t fp = 0;
        if (!key_to_fp(key, &fp)) return py::object();
        std::vector<std::int64_t> ids = x.st->log.ids_for_fingerprint(fp);
        if (ids.empty()) return py::object();
        py::list out(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) out[i] = py::int_(ids[i]);
        return std::move(out);
    };
    auto fp_keys = [](FingerprintIndex& x) {
        py::list out;
        for (std::uint32_t fp : x.st->log.fingerprints()) out.append(py::int_(fp));
        return out;
    };
    py::class_<FingerprintIndex>(m, "_FingerprintIndex", py::module_local(),
                                 "Fingerprint to the ids of the nodes carrying it (oldest first); "
                                 "each lookup returns a new list.")
        .def("__len__", [](FingerprintIndex& x) { return x.st->log.fingerprint_count(); })
        .def("__bool__", [](FingerprintIndex& x) { return x.st->log.fingerprint_count() != 0; })
        .def("__contains__", [](FingerprintIndex& x, py::handle key) {
            std::uint32_t fp = 0;
            return key_to_fp(key, &fp) && x.st->log.has_fingerprint(fp);
        })
        .def("__iter__", [fp_keys](FingerprintIndex& x) { return ListIter{fp_keys(x), 0}; })
        .def("keys", fp_keys)
        .def("__getitem__", [fp_get](FingerprintIndex& x, py::handle key) {
            py::object r = fp_get(x, key);
            if (!r) throw py::key_error(py::repr(key).cast<std::string>());
            return r;
        })
        .def("get", [fp_get](FingerprintIndex& x, py::handle key, py::object dflt) {
            py::object r = fp_get(x, key);
            return r ? r : dflt;
        }, py::arg("key"), py::arg("default") = py::none())
        .def("values", [fp_keys, fp_get](FingerprintIndex& x) {
            py::list out;
            for (py::handle k : fp_keys(x)) out.append(fp_get(x, k));
            return out;
        })
        .def("items", [fp_keys, fp_get](FingerprintIndex& x) {
            py::list out;
            for (py::handle k : fp_keys(x)) out.append(py::make_tuple(k, fp_get(x, k)));
            return out;
        })
        .def("__repr__", [](FingerprintIndex& x) {
            return "<DAG fingerprint index: " + std::to_string(x.st->log.fingerprint_count()) +
                   " fingerprints>";
        });

    auto records = [](ValueBuffer& b) {
        py::list out;
        for (const core::ValueRef& r : b.st->values.snapshot()) out.append(value_record(*b.st, r));
        return out;
    };
    py::class_<ValueBuffer>(m, "_RowValueBuffer", py::module_local(),
                            "Captured row values (StoredRowValue records, oldest first), held as "
                            "references to result arrays and built into records when read. "
                            "Bounded by `capacity`; the oldest records beyond it are dropped "
                            "and counted in `dropped`.")
        .def("__len__", [](ValueBuffer& b) { return b.st->values.size(); })
        .def("__bool__", [](ValueBuffer& b) { return b.st->values.size() != 0; })
        .def("__iter__", [records](ValueBuffer& b) { return ListIter{records(b), 0}; })
        .def("__getitem__", [](ValueBuffer& b, std::int64_t index) {
            const auto n = static_cast<std::int64_t>(b.st->values.size());
            if (index < 0) index += n;
            core::ValueRef ref{};
            if (index < 0 || !b.st->values.at(static_cast<std::size_t>(index), &ref)) {
                throw py::index_error("row-value buffer index out of range");
            }
            return value_record(*b.st, ref);
        })
        .def("copy", records, "A list of the buffered records.")
        .def("append", [](ValueBuffer& b, py::object record) {
            const std::uint64_t h = b.st->next_handle++;
            b.st->value_sources[py::int_(h)] = py::make_tuple(record);
            b.st->release_values(b.st->values.append(h, 0, {}, 1));
        })
        .def("clear", [](ValueBuffer& b) { b.st->release_values(b.st->values.clear()); })
        .def_property("capacity", [](ValueBuffer& b) { return b.st->values.capacity(); },
                      [](ValueBuffer& b, std::size_t cap) {
                          b.st->release_values(b.st->values.set_capacity(cap));
                      })
        .def_property_readonly("dropped", [](ValueBuffer& b) { return b.st->values.dropped(); })
        .def("__repr__", [](ValueBuffer& b) {
            return "<row-value buffer: " + std::to_string(b.st->values.size()) + " records>";
        });
}

}  // namespace corvane::dag_binding
