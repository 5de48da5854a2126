// DAGTracker persistence: switching it on and off, the write-through of new
// nodes, the row-value hand-off, flush with the once-per-run bulk write, the
// dashboard report, pipeline runs, bulk writes to a caller's storage and the
// context manager.
//
// With our own AsyncWriter the per-row work of one tracked operation is handed
// to the writer as one columnar batch: the node records of a run are
// collapsed to one per fingerprint (storage keeps only the first record of a
// fingerprint per pipeline, and every node of a run with that fingerprint
// would give the same record) and its edges to one per distinct (parent,
// child, position) (storage keeps each once). Row values are handed over as
// references to the result arrays and become records on the writer thread.
// The writer's account still counts every record the per-row protocol would
// have handed over.
#include "common.hpp"
#include "dag_module.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace corvane::dag_binding {

namespace {

const char* const kModuleName = "corvane.utilities.orvex32_dag";
const char* const kUnavailable =
    "Persistence module unavailable \xe2\x80\x94 provenance data is NOT being saved to storage. "
    "Install corvane with persistence extras or check your installation.";

/// Holds a threading.Lock for a scope through the lock's own methods.
class HeldLock {
public:
    explicit HeldLock(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~HeldLock() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (r == nullptr) PyErr_Clear(); else Py_DECREF(r);
        PyErr_Restore(t, v, tb);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    py::object lock_;
};

py::object module_logger() {
    return state().ns.get("logging").attr("getLogger")(kModuleName);
}

/// The exception as a log argument; its text without the API key when the
/// key shows up in it (a collaborator may echo request details).
py::object log_arg(py::handle tracker, const py::error_already_set& e) {
    py::object exc = e.value();
    py::object key = getattr_or_null(tracker, "_api_key");
    if (!key || !PyUnicode_Check(key.ptr()) || py::len(key) == 0) return exc;
    py::str text(exc);
    if (!PySequence_Contains(text.ptr(), key.ptr())) return exc;
    return text.attr("replace")(key, "***");
}

py::object persistence_module() { return py::module_::import("corvane.utilities.persistence"); }
py::object storage_module() { return py::module_::import("corvane.utilities.persistence.storage"); }

/// `x or default` of Python.
py::object or_default(py::handle x, const char* dflt) {
    if (truthy(x)) return py::reinterpret_borrow<py::object>(x);
    return py::str(dflt);
}

py::object counter(py::handle tracker, const char* name) {
    py::object v = getattr_or_null(tracker, name);
    return v ? v : py::int_(0);
}

/// Methods of ours a subclass or instance could replace; the columnar
/// hand-off stands in for them only while they are untouched.
std::vector<std::pair<std::string, py::object>>& own_methods() {
    static auto* methods = new std::vector<std::pair<std::string, py::object>>();
    return *methods;
}

bool method_is_own(py::handle obj, const char* name, py::handle original) {
    py::str key(name);
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), key.ptr());
    if (found != original.ptr()) return false;
    PyObject* dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return true;  // no instance dict: nothing can shadow the method
    }
    const bool shadowed = PyDict_GetItem(dict, key.ptr()) != nullptr;
    Py_DECREF(dict);
    return !shadowed;
}

// ---- the literal per-node protocol ------------------------------------------

py::object persist_node(py::object self, py::object node) {
    py::object mod;
    try {
        mod = persistence_module();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        module_logger().attr("error")(kUnavailable);
        return py::none();
    }
    py::object stored_node_cls = mod.attr("StoredNode");
    py::object stored_edge_cls = mod.attr("StoredEdge");
    py::object provenance = node.attr("provenance");
    py::object info = self.attr("decode_full")(provenance);
    py::object stored = stored_node_cls(
        py::arg("fingerprint") = provenance, py::arg("node_type") = node.attr("node_type").attr("name"),
        py::arg("operation") = node.attr("operation"), py::arg("table_name") = node.attr("table"),
        py::arg("column_name") = node.attr("column"), py::arg("pair_id") = node.attr("pair_id"),
        py::arg("is_protected") = node.attr("is_protected"), py::arg("entity_hash") = info.attr("entity"),
        py::arg("chain_hash") = info.attr("chain"), py::arg("metadata") = node.attr("metadata"),
        py::arg("pipeline_id") = self.attr("_pipeline_id"));
    try {
        self.attr("_writer").attr("write_node")(stored);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        module_logger().attr("warning")("Failed to persist DAG node %d: %s", node.attr("node_id"),
                                        log_arg(self, e));
        return py::none();
    }
    py::list edges;
    py::object table = self.attr("_nodes");
    py::ssize_t i = 0;
    for (py::handle operand_id : node.attr("inputs")) {
        py::object operand = table.attr("get")(operand_id);
        if (!operand.is_none()) {
            edges.append(stored_edge_cls(py::arg("parent_fingerprint") = operand.attr("provenance"),
                                         py::arg("child_fingerprint") = provenance,
                                         py::arg("input_position") = py::int_(i)));
        }
        ++i;
    }
    if (py::len(edges) == 0) return py::none();
    try {
        self.attr("_writer").attr("write_edges")(edges);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        module_logger().attr("warning")("Failed to persist DAG edges for node %d: %s",
                                        node.attr("node_id"), log_arg(self, e));
    }
    return py::none();
}

// ---- columnar batches handed to our writer -----------------------------------

/// The node records and edges of one tracked operation, collapsed as storage
/// would collapse them; StoredNode/StoredEdge records are built on the
/// writer thread.
struct NodeRunBatch {
    std::size_t records = 0;
    std::size_t node_count = 0;  // nodes the run stands for
    std::size_t edge_count = 0;  // edges the per-node protocol would hand over
    py::object node_cls, edge_cls;
    py::object node_type, operation, pipeline_id;
    std::vector<std::uint32_t> fps;          // distinct, first occurrence first
    std::vector<py::object> entity, chain;   // per distinct fingerprint
    struct EdgeKey {
        std::uint32_t parent, child;
        std::int64_t position;
    };
    std::vector<EdgeKey> edges;              // distinct, first occurrence first
};

/// Row values as references: (source tuple, first row, count) segments;
/// a source tuple is either (record,) or the row-value run of the capture.
struct ValueSegment {
    py::object source;
    std::int64_t row0 = 0;
    std::size_t count = 0;
};
struct RowValueBatch {
    std::size_t records = 0;
    std::vector<ValueSegment> segments;
    py::object value_cls;
};

struct ChunkIter {
    std::shared_ptr<NodeRunBatch> nodes;
    std::shared_ptr<RowValueBatch> values;
    std::size_t size = 100;
    std::size_t stage = 0;    // nodes: 0 nodes, 1 edges; values: segment index
    std::size_t pos = 0;
    std::size_t settled = 0;  // records of the current stage already settled
};

py::object next_node_chunk(ChunkIter& it) {
    NodeRunBatch& b = *it.nodes;
    while (it.stage < 2) {
        if (it.stage == 0 && it.pos < b.fps.size()) {
            const std::size_t end = std::min(b.fps.size(), it.pos + it.size);
            py::list out;
            for (std::size_t i = it.pos; i < end; ++i) {
                const std::uint32_t fp = b.fps[i];
                out.append(b.node_cls(
                    py::arg("fingerprint") = py::int_(fp), py::arg("node_type") = b.node_type,
                    py::arg("operation") = b.operation, py::arg("table_name") = py::none(),
                    py::arg("column_name") = py::none(), py::arg("pair_id") = py::none(),
                    py::arg("is_protected") = py::bool_(core::protected_by_fingerprint(fp)),
                    py::arg("entity_hash") = b.entity[i], py::arg("chain_hash") = b.chain[i],
                    py::arg("metadata") = py::dict(), py::arg("pipeline_id") = b.pipeline_id));
            }
            it.pos = end;
            std::size_t count = py::len(out);
            if (end == b.fps.size()) count = b.node_count - it.settled;
            it.settled += count;
            return py::make_tuple("nodes", out, count);
        }
        if (it.stage == 1 && it.pos < b.edges.size()) {
            const std::size_t end = std::min(b.edges.size(), it.pos + it.size);
            py::list out;
            for (std::size_t i = it.pos; i < end; ++i) {
                const auto& e = b.edges[i];
                out.append(b.edge_cls(py::arg("parent_fingerprint") = py::int_(e.parent),
                                      py::arg("child_fingerprint") = py::int_(e.child),
                                      py::arg("input_position") = py::int_(e.position)));
            }
            it.pos = end;
            std::size_t count = py::len(out);
            if (end == b.edges.size()) count = b.edge_count - it.settled;
            it.settled += count;
            return py::make_tuple("edges", out, count);
        }
        ++it.stage;
        it.pos = 0;
        it.settled = 0;
    }
    throw py::stop_iteration();
}

/// float(cell) of element `row` of a 1-D numeric array, read directly.
bool read_number(const py::array& arr, std::int64_t row, double* out) {
    if (arr.ndim() != 1 || row < 0 || row >= arr.shape(0)) return false;
    const char* p = static_cast<const char*>(arr.data()) + row * arr.strides(0);
    const char kind = arr.dtype().kind();
    const auto size = arr.itemsize();
    if (arr.dtype().byteorder() == '>') return false;  // foreign byte order: the generic route
    switch (kind) {
        case 'f':
            if (size == 8) { double v; std::memcpy(&v, p, 8); *out = v; return true; }
            if (size == 4) { float v; std::memcpy(&v, p, 4); *out = static_cast<double>(v); return true; }
            return false;
        case 'i':
            if (size == 8) { std::int64_t v; std::memcpy(&v, p, 8); *out = static_cast<double>(v); return true; }
            if (size == 4) { std::int32_t v; std::memcpy(&v, p, 4); *out = v; return true; }
            if (size == 2) { std::int16_t v; std::memcpy(&v, p, 2); *out = v; return true; }
            if (size == 1) { std::int8_t v; std::memcpy(&v, p, 1); *out = v; return true; }
            return false;
        case 'u':
            if (size == 8) { std::uint64_t v; std::memcpy(&v, p, 8); *out = static_cast<double>(v); return true; }
            if (size == 4) { std::uint32_t v; std::memcpy(&v, p, 4); *out = v; return true; }
            if (size == 2) { std::uint16_t v; std::memcpy(&v, p, 2); *out = v; return true; }
            if (size == 1) { std::uint8_t v; std::memcpy(&v, p, 1); *out = v; return true; }
            return false;
        case 'b':
            *out = (*p != 0) ? 1.0 : 0.0;
            return true;
        default:
            return false;
    }
}

py::object next_value_chunk(ChunkIter& it) {
    RowValueBatch& b = *it.values;
    py::list out;
    while (py::len(out) < it.size && it.stage < b.segments.size()) {
        ValueSegment& seg = b.segments[it.stage];
        py::tuple src = py::reinterpret_borrow<py::tuple>(seg.source);
        if (src.size() == 1) {
            out.append(src[0]);
            ++it.stage;
            continue;
        }
        // ("run", values, fingerprints, operation, column, pipeline_id, tenant_id)
        py::object values = src[1], fps = src[2];
        const bool direct_values = py::isinstance<py::array>(values);
        const bool direct_fps = py::isinstance<py::array>(fps);
        py::array varr = direct_values ? py::reinterpret_borrow<py::array>(values) : py::array();
        py::array farr = direct_fps ? py::reinterpret_borrow<py::array>(fps) : py::array();
        while (py::len(out) < it.size && it.pos < seg.count) {
            const std::int64_t row = seg.row0 + static_cast<std::int64_t>(it.pos);
            double number = 0;
            py::object value;
            if (direct_values && read_number(varr, row, &number)) {
                value = py::float_(number);
            } else {
                PyObject* f = PyNumber_Float(py::object(values[py::int_(row)]).ptr());
                if (f == nullptr) throw py::error_already_set();
                value = py::reinterpret_steal<py::object>(f);
            }
            double fpv = 0;
            py::object fp = (direct_fps && farr.dtype().kind() == 'u' && read_number(farr, row, &fpv))
                                ? py::object(py::int_(static_cast<std::uint64_t>(fpv)))
                                : py::object(py::int_(fps[py::int_(row)]));
            out.append(b.value_cls(py::arg("pipeline_id") = src[5], py::arg("row_index") = py::int_(row),
                                   py::arg("fingerprint") = fp, py::arg("node_operation") = src[3],
                                   py::arg("value") = value, py::arg("column_name") = src[4],
                                   py::arg("tenant_id") = src[6], py::arg("text_value") = py::none()));
            ++it.pos;
        }
        if (it.pos >= seg.count) {
            ++it.stage;
            it.pos = 0;
        }
    }
    if (py::len(out) == 0) throw py::stop_iteration();
    return py::make_tuple("values", out, py::len(out));
}

/// Adds the value references `refs` (oldest first) to a batch as segments.
void add_refs(DagState& st, RowValueBatch& b, const std::vector<core::ValueRef>& refs) {
    std::uint64_t handle = 0;
    for (const core::ValueRef& r : refs) {
        if (!b.segments.empty() && r.handle == handle &&
            b.segments.back().row0 + static_cast<std::int64_t>(b.segments.back().count) == r.row &&
            py::len(b.segments.back().source) != 1) {
            ++b.segments.back().count;
        } else {
            handle = r.handle;
            b.segments.push_back({st.value_sources[py::int_(r.handle)], r.row, 1});
        }
        ++b.records;
    }
}

void add_run_rows(RowValueBatch& b, const py::object& source, const std::vector<std::int64_t>& rows,
                  std::int64_t row0, std::size_t from, std::size_t to) {
    if (rows.empty()) {
        if (to > from) b.segments.push_back({source, row0 + static_cast<std::int64_t>(from), to - from});
    } else {
        for (std::size_t k = from; k < to; ++k) {
            if (!b.segments.empty() && b.segments.back().source.ptr() == source.ptr() &&
                b.segments.back().row0 + static_cast<std::int64_t>(b.segments.back().count) == rows[k]) {
                ++b.segments.back().count;
            } else {
                b.segments.push_back({source, rows[k], 1});
            }
        }
    }
    b.records += to - from;
}

py::object value_batch_object(std::shared_ptr<RowValueBatch> b) { return py::cast(b); }

/// Hands the whole buffer to the writer as one batch and empties it.
/// Called with `_value_buffer_lock` held.
void hand_over_buffer(py::handle tracker, DagState& st) {
    auto batch = std::make_shared<RowValueBatch>();
    batch->value_cls = storage_module().attr("StoredRowValue");
    add_refs(st, *batch, st.values.snapshot());
    st.release_values(st.values.clear());
    if (batch->records) tracker.attr("_writer").attr("write_columnar")(value_batch_object(batch));
}

// ---- the dedup walk shared by the bulk writes ----------------------------------

struct KeptNode {
    py::object fingerprint, node_type, operation, table, column, pair_id, is_protected, metadata;
};
struct DagWalk {
    std::vector<KeptNode> nodes;
    std::vector<std::array<py::object, 3>> edges;  // operand fp, node fp, position
};

/// Walks the node table in creation order: the first node of each
/// fingerprint, and each distinct (operand fp, node fp, position) whose
/// operand is still held. Our own node table is walked natively; any other
/// mapping through its Python interface.
DagWalk walk_dag(py::handle tracker) {
    DagWalk out;
    py::object table = tracker.attr("_nodes");
    if (!py::isinstance<NodeTable>(table)) {
        py::set seen_fp, seen_edge;
        for (py::handle id : table) {
            py::object node = table[id];
            py::object fp = node.attr("provenance");
            if (!seen_fp.contains(fp)) {
                seen_fp.add(fp);
                out.nodes.push_back({fp, node.attr("node_type").attr("name"), node.attr("operation"),
                                     node.attr("table"), node.attr("column"), node.attr("pair_id"),
                                     node.attr("is_protected"), node.attr("metadata")});
            }
            py::ssize_t i = 0;
            for (py::handle operand_id : node.attr("inputs")) {
                if (table.contains(operand_id)) {
                    py::object pfp = table[operand_id].attr("provenance");
                    py::tuple key = py::make_tuple(pfp, fp, py::int_(i));
                    if (!seen_edge.contains(key)) {
                        seen_edge.add(key);
                        out.edges.push_back({pfp, fp, py::int_(i)});
                    }
                }
                ++i;
            }
        }
        return out;
    }
    DagState& st = *table.cast<NodeTable&>().st;
    ModuleState& s = state();
    // Fingerprints by id: node objects handed out are authoritative.
    auto object_of = [&](std::int64_t id) -> PyObject* {
        if (PyDict_Size(st.objects.ptr()) == 0) return nullptr;
        py::int_ key(id);
        return PyDict_GetItem(st.objects.ptr(), key.ptr());
    };
    // Operand fingerprints by id: >= 0 a plain fingerprint, -1 not held,
    // -2 an edited node object whose provenance is read through Python.
    std::unordered_map<std::int64_t, std::int64_t> fp_cache;
    auto fp_code = [&](std::int64_t id) -> std::int64_t {
        auto it = fp_cache.find(id);
        if (it != fp_cache.end()) return it->second;
        std::int64_t code = -1;
        if (object_of(id) != nullptr) {
            code = -2;
        } else if (auto rec = st.log.get(id)) {
            code = rec->fp;
        }
        fp_cache.emplace(id, code);
        return code;
    };
    auto fp_of = [&](std::int64_t id) -> py::object {
        const std::int64_t code = fp_code(id);
        if (code >= 0) return py::int_(code);
        if (code == -1) return py::none();
        return py::reinterpret_borrow<py::object>(object_of(id)).attr("provenance");
    };
    std::unordered_set<std::uint32_t> seen_fp;
    py::set seen_fp_foreign;  // fingerprints an edited node object holds that are not uint32
    std::vector<std::unordered_set<std::uint64_t>> seen_edge;
    py::set seen_edge_foreign;
    auto as_u32 = [](py::handle fp, std::uint32_t* out32) {
        if (!PyLong_CheckExact(fp.ptr())) return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(fp.ptr(), &overflow);
        if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) return false;
        *out32 = static_cast<std::uint32_t>(v);
        return true;
    };
    for (std::int64_t id : st.log.ids()) {
        PyObject* obj = object_of(id);
        std::optional<core::NodeRecord> rec;
        py::object fp;
        std::vector<std::int64_t> inputs;
        if (obj != nullptr) {
            py::object node = py::reinterpret_borrow<py::object>(obj);
            fp = node.attr("provenance");
            for (py::handle h : node.attr("inputs")) inputs.push_back(as_i64(h));
        } else {
            rec = st.log.get(id);
            if (!rec) continue;
            inputs = rec->inputs;
        }
        std::uint32_t fp32 = rec ? rec->fp : 0;
        const bool plain_fp = rec ? true : as_u32(fp, &fp32);
        if (rec && seen_fp.count(fp32) != 0) {
            // not the first of its fingerprint: only its edges can be new
            fp = py::object();
        } else if (rec) {
            fp = py::int_(fp32);
        }
        if (!fp) {
            for (std::size_t i = 0; i < inputs.size(); ++i) {
                const std::int64_t code = fp_code(inputs[i]);
                if (code == -1) continue;
                if (code >= 0) {
                    if (seen_edge.size() <= i) seen_edge.resize(i + 1);
                    const std::uint64_t packed = (static_cast<std::uint64_t>(code) << 32) | fp32;
                    if (seen_edge[i].insert(packed).second) {
                        out.edges.push_back({py::int_(code), py::int_(fp32), py::int_(i)});
                    }
                    continue;
                }
                py::object pfp = fp_of(inputs[i]);
                std::uint32_t p32 = 0;
                if (as_u32(pfp, &p32)) {
                    if (seen_edge.size() <= i) seen_edge.resize(i + 1);
                    const std::uint64_t packed = (static_cast<std::uint64_t>(p32) << 32) | fp32;
                    if (seen_edge[i].insert(packed).second) {
                        out.edges.push_back({pfp, py::int_(fp32), py::int_(i)});
                    }
                    continue;
                }
                py::tuple key = py::make_tuple(pfp, py::int_(fp32), py::int_(i));
                if (!seen_edge_foreign.contains(key)) {
                    seen_edge_foreign.add(key);
                    out.edges.push_back({pfp, py::int_(fp32), py::int_(i)});
                }
            }
            continue;
        }
        bool first = false;
        if (plain_fp) {
            first = seen_fp.insert(fp32).second;
        } else if (!seen_fp_foreign.contains(fp)) {
            seen_fp_foreign.add(fp);
            first = true;
        }
        if (first) {
            if (obj != nullptr) {
                py::object node = py::reinterpret_borrow<py::object>(obj);
                out.nodes.push_back({fp, node.attr("node_type").attr("name"), node.attr("operation"),
                                     node.attr("table"), node.attr("column"), node.attr("pair_id"),
                                     node.attr("is_protected"), node.attr("metadata")});
            } else {
                const core::NodeExtra& ex = rec->extra;
                const bool prot = ex.is_protected ? *ex.is_protected
                                                  : core::protected_by_fingerprint(rec->fp);
                out.nodes.push_back(
                    {fp, s.node_types[static_cast<std::size_t>(rec->kind) - 1].attr("name"),
                     st.op_string(rec->op),
                     ex.table ? py::object(py::str(*ex.table)) : py::object(py::none()),
                     ex.column ? py::object(py::str(*ex.column)) : py::object(py::none()),
                     ex.pair_id ? py::object(py::int_(*ex.pair_id)) : py::object(py::none()),
                     py::bool_(prot), py::dict()});
            }
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const std::int64_t code = fp_code(inputs[i]);
            if (code == -1) continue;
            if (plain_fp && code >= 0) {
                // the common case: no Python object unless the edge is new
                if (seen_edge.size() <= i) seen_edge.resize(i + 1);
                const std::uint64_t packed = (static_cast<std::uint64_t>(code) << 32) | fp32;
                if (seen_edge[i].insert(packed).second) {
                    out.edges.push_back({py::int_(code), fp, py::int_(i)});
                }
                continue;
            }
            py::object pfp = fp_of(inputs[i]);
            std::uint32_t p32 = 0;
            if (plain_fp && as_u32(pfp, &p32)) {
                if (seen_edge.size() <= i) seen_edge.resize(i + 1);
                const std::uint64_t packed = (static_cast<std::uint64_t>(p32) << 32) | fp32;
                if (seen_edge[i].insert(packed).second) out.edges.push_back({pfp, fp, py::int_(i)});
            } else {
                py::tuple key = py::make_tuple(pfp, fp, py::int_(i));
                if (!seen_edge_foreign.contains(key)) {
                    seen_edge_foreign.add(key);
                    out.edges.push_back({pfp, fp, py::int_(i)});
                }
            }
        }
    }
    return out;
}

py::object to_int_or_none(py::handle v) {
    if (v.is_none()) return py::none();
    return pyb::to_int(v);
}

// ---- tracker methods -----------------------------------------------------------

py::object enable_persistence(py::object self) {
    py::object mod = persistence_module();
    py::object hosted_cls = mod.attr("HostedStorage");
    py::object writer_cls = mod.attr("AsyncWriter");
    py::object config_cls = mod.attr("WriterConfig");
    self.attr("_storage") =
        hosted_cls(py::arg("api_url") = self.attr("_service_url"), py::arg("api_key") = self.attr("_api_key"),
                   py::arg("tenant_id") = or_default(self.attr("_tenant_id"), "default"));
    try {
        py::object storage = self.attr("_storage");
        storage.attr("connect")();
        self.attr("_pipeline_id") = storage.attr("create_pipeline")(
            py::arg("pipeline_name") = or_default(self.attr("_pipeline_name"), "unnamed_pipeline"),
            py::arg("config") = py::none(), py::arg("git_commit") = py::none(),
            py::arg("tenant_id") = self.attr("_tenant_id"));
        py::object config = config_cls(py::arg("batch_size") = 100, py::arg("flush_interval") = 1.0,
                                       py::arg("queue_size") = 10000);
        self.attr("_writer") = writer_cls(storage, config);
        self.attr("_writer").attr("start")();
        py::object names = self.attr("_id_to_name");
        for (py::handle item : names.attr("items")()) {
            py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
            py::object pair_id = kv[0];
            py::object name = kv[1];
            py::object table = name[py::int_(0)], column = name[py::int_(1)];
            py::object is_prot = self.attr("is_protected")(table, column);
            self.attr("_writer").attr("register_source")(pair_id, table, column, is_prot);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::object text = log_arg(self, e);
        py::object warnings = py::module_::import("warnings");
        warnings.attr("warn")(py::str("Persistence initialization failed: ") + py::str(text) +
                                  py::str("\nContinuing in memory-only mode."),
                              py::handle(PyExc_UserWarning), py::arg("stacklevel") = 2);
    }
    return py::none();
}

py::object disable_persistence(py::object self) {
    if (truthy(self.attr("_writer"))) {
        self.attr("_writer").attr("stop")();
        self.attr("_writer") = py::none();
    }
    if (truthy(self.attr("_storage"))) {
        py::object storage = self.attr("_storage");
        if (!self.attr("_pipeline_id").is_none()) {
            storage.attr("complete_pipeline")(self.attr("_pipeline_id"), py::arg("status") = "completed");
        }
        storage.attr("disconnect")();
        self.attr("_storage") = py::none();
    }
    self.attr("_pipeline_id") = py::none();
    return py::none();
}

double timeout_arg(py::handle timeout) {
    if (!PyNumber_Check(timeout.ptr()) || PyUnicode_Check(timeout.ptr())) {
        pyb::raise_arg_type("timeout", &PyFloat_Type, timeout.ptr());
    }
    PyObject* f = PyNumber_Float(timeout.ptr());
    if (f == nullptr) throw py::error_already_set();
    const double v = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return v;
}

py::object flush(py::object self, py::object timeout) {
    const double seconds = timeout_arg(timeout);
    if (!truthy(self.attr("_writer"))) return py::bool_(true);
    {
        HeldLock guard(self.attr("_value_buffer_lock"));
        py::object buffer = self.attr("_value_buffer");
        if (truthy(buffer)) {
            if (py::isinstance<ValueBuffer>(buffer) && columnar_writer(self)) {
                hand_over_buffer(self, *buffer.cast<ValueBuffer&>().st);
            } else {
                py::list copy;
                for (py::handle r : buffer) copy.append(r);
                self.attr("_writer").attr("write_row_values")(copy);
                buffer.attr("clear")();
            }
        }
    }
    self.attr("_writer").attr("flush")(py::arg("timeout") = py::float_(seconds));
    if (!truthy(self.attr("_nodes_persisted")) && truthy(self.attr("_storage")) &&
        truthy(self.attr("_pipeline_id"))) {
        self.attr("_persist_dag_to_storage")();
        self.attr("_nodes_persisted") = true;
    }
    if (!truthy(self.attr("_dashboard_synced"))) {
        self.attr("_sync_to_dashboard")();
        self.attr("_dashboard_synced") = true;
    }
    return py::bool_(true);
}

py::object persist_dag_to_storage(py::object self) {
    py::object node_cls = storage_module().attr("StoredNode");
    DagWalk walk = walk_dag(self);
    py::object pipeline_id = self.attr("_pipeline_id");
    py::list batch;
    for (const KeptNode& n : walk.nodes) {
        py::object info = self.attr("decode_full")(n.fingerprint);
        batch.append(node_cls(
            py::arg("fingerprint") = pyb::to_int(n.fingerprint), py::arg("node_type") = n.node_type,
            py::arg("operation") = n.operation, py::arg("table_name") = n.table,
            py::arg("column_name") = n.column, py::arg("pair_id") = to_int_or_none(n.pair_id),
            py::arg("is_protected") = py::bool_(truthy(n.is_protected)),
            py::arg("entity_hash") = pyb::to_int(info.attr("entity")),
            py::arg("chain_hash") = pyb::to_int(info.attr("chain")), py::arg("metadata") = n.metadata,
            py::arg("pipeline_id") = pipeline_id));
    }
    py::object storage = self.attr("_storage");
    if (py::len(batch) > 0) {
        storage.attr("store_nodes")(batch);
        self.attr("_nodes_written") = py::int_(py::len(batch));
    }
    py::object fp_map = storage.attr("get_fingerprint_node_map")(pipeline_id);
    py::list rows;
    for (const auto& e : walk.edges) {
        py::object parent = fp_map.attr("get")(pyb::to_int(e[0]));
        py::object child = fp_map.attr("get")(pyb::to_int(e[1]));
        if (!parent.is_none() && !child.is_none()) rows.append(py::make_tuple(parent, child, e[2]));
    }
    if (py::len(rows) > 0) {
        storage.attr("store_edges_resolved")(rows);
        self.attr("_edges_written") = py::int_(py::len(rows));
    }
    return py::none();
}

py::object get_persistence_stats(py::object self) {
    if (!truthy(self.attr("_writer"))) return py::none();
    py::object stats = self.attr("_writer").attr("get_stats")();
    if (!stats.is_none() && !PyDict_Check(stats.ptr())) {
        PyErr_Format(PyExc_TypeError, pyb::kExpectedFormat, "dict", Py_TYPE(stats.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (truthy(stats)) {
        stats["nodes_written"] = counter(self, "_nodes_written");
        stats["edges_written"] = counter(self, "_edges_written");
    }
    return stats;
}

py::object persist_to_storage(py::object self, py::object storage, py::object pipeline_id) {
    if (!pipeline_id.is_none()) {
        if (!PyNumber_Check(pipeline_id.ptr()) || PyUnicode_Check(pipeline_id.ptr())) {
            pyb::raise_arg_type("pipeline_id", &PyLong_Type, pipeline_id.ptr());
        }
        pipeline_id = pyb::to_int(pipeline_id);
    }
    py::object node_cls = storage_module().attr("StoredNode");
    if (pipeline_id.is_none()) {
        py::object r = storage.attr("create_pipeline")(or_default(self.attr("_pipeline_name"), "unnamed"));
        if (!r.is_none()) {
            if (!PyNumber_Check(r.ptr()) || PyUnicode_Check(r.ptr())) {
                PyErr_Format(PyExc_TypeError, pyb::kExpectedFormat, "int", Py_TYPE(r.ptr())->tp_name);
                throw py::error_already_set();
            }
            r = pyb::to_int(r);
        }
        pipeline_id = r;
    }
    py::list pairs = py::list(self.attr("_id_to_name").attr("items")());
    pairs.attr("sort")(py::arg("key") = py::module_::import("operator").attr("itemgetter")(0));
    for (py::handle item : pairs) {
        py::object pair_id = item[py::int_(0)];
        py::object name = item[py::int_(1)];
        py::object table = name[py::int_(0)], column = name[py::int_(1)];
        storage.attr("register_source")(pair_id, table, column,
                                        py::arg("is_protected") = self.attr("is_protected")(table, column));
    }
    DagWalk walk = walk_dag(self);
    py::list batch;
    for (const KeptNode& n : walk.nodes) {
        batch.append(node_cls(py::arg("fingerprint") = n.fingerprint, py::arg("node_type") = n.node_type,
                              py::arg("operation") = n.operation, py::arg("table_name") = n.table,
                              py::arg("column_name") = n.column, py::arg("pair_id") = n.pair_id,
                              py::arg("is_protected") = n.is_protected,
                              py::arg("pipeline_id") = pipeline_id));
    }
    storage.attr("store_nodes")(batch);
    py::object fp_map = storage.attr("get_fingerprint_node_map")(pipeline_id);
    py::list rows;
    for (const auto& e : walk.edges) {
        py::object parent = fp_map.attr("get")(e[0]);
        py::object child = fp_map.attr("get")(e[1]);
        if (!parent.is_none() && !child.is_none()) rows.append(py::make_tuple(parent, child, e[2]));
    }
    storage.attr("store_edges_resolved")(rows);
    storage.attr("complete_pipeline")(pipeline_id, "completed");
    return pipeline_id;
}

py::object persist_results(py::object storage, py::object pipeline_id, py::object row_keys,
                           py::object outputs, py::object source_df) {
    if (!PyNumber_Check(pipeline_id.ptr()) || PyUnicode_Check(pipeline_id.ptr())) {
        pyb::raise_arg_type("pipeline_id", &PyLong_Type, pipeline_id.ptr());
    }
    pipeline_id = pyb::to_int(pipeline_id);
    pyb::require_dict(outputs, "outputs");
    py::list keys(row_keys);
    const std::size_t n = py::len(keys);
    py::list hashes;
    const bool have_hashes = !source_df.is_none();
    if (have_hashes) {
        py::object sha256 = py::module_::import("hashlib").attr("sha256");
        const std::size_t frame_rows = py::len(source_df);
        py::object iloc = source_df.attr("iloc");
        for (std::size_t i = 0; i < n; ++i) {
            if (i < frame_rows) {
                py::object text = iloc[py::int_(i)].attr("to_json")();
                hashes.append(sha256(text.attr("encode")("utf-8")).attr("hexdigest")());
            } else {
                hashes.append(py::none());
            }
        }
    }
    const bool use_hashes = have_hashes && py::len(hashes) > 0;
    py::list str_keys;
    for (py::handle k : keys) {
        str_keys.append(PyUnicode_CheckExact(k.ptr()) ? py::reinterpret_borrow<py::object>(k)
                                                      : py::object(py::str(k)));
    }
    py::list rows;
    for (auto item : py::reinterpret_borrow<py::dict>(outputs)) {
        py::object name = py::reinterpret_borrow<py::object>(item.first);
        py::object series = py::reinterpret_borrow<py::object>(item.second);
        py::object prov = series.attr("_prov");
        py::object values = series.attr("values");
        const std::size_t nprov = py::len(prov), nvals = py::len(values);
        for (std::size_t i = 0; i < n; ++i) {
            py::object fp = i < nprov ? pyb::to_int(prov[py::int_(i)]) : py::int_(0);
            py::object value = py::none();
            if (i < nvals) {
                PyObject* f = PyNumber_Float(py::object(values[py::int_(i)]).ptr());
                if (f == nullptr) throw py::error_already_set();
                value = py::reinterpret_steal<py::object>(f);
            }
            rows.append(py::make_tuple(str_keys[i], name, fp, value,
                                       use_hashes ? py::object(hashes[i]) : py::object(py::none())));
        }
    }
    storage.attr("store_results")(pipeline_id, rows);
    return py::none();
}

py::object start_new_pipeline(py::object self) {
    if (!truthy(self.attr("_storage")) || !truthy(self.attr("_pipeline_id"))) return py::none();
    py::object storage = self.attr("_storage");
    storage.attr("complete_pipeline")(self.attr("_pipeline_id"), py::arg("status") = "completed");
    self.attr("_pipeline_id") = storage.attr("create_pipeline")(
        py::arg("pipeline_name") = or_default(self.attr("_pipeline_name"), "unnamed_pipeline"),
        py::arg("config") = py::none(), py::arg("git_commit") = py::none(),
        py::arg("tenant_id") = self.attr("_tenant_id"));
    self.attr("_dashboard_synced") = false;
    self.attr("_nodes_persisted") = false;
    self.attr("_source_nodes").attr("clear")();
    self.attr("_nodes_written") = py::int_(0);
    self.attr("_edges_written") = py::int_(0);
    return py::none();
}

/// Distinct "table.column" texts of the protected nodes that name both.
py::list protected_columns(py::handle tracker) {
    py::list out;
    py::set seen;
    py::object table = tracker.attr("_nodes");
    auto consider = [&](py::handle prot, py::handle t, py::handle c) {
        if (!truthy(prot) || !truthy(t) || !truthy(c)) return;
        py::str text = py::str("{}.{}").format(t, c);
        if (!seen.contains(text)) {
            seen.add(text);
            out.append(text);
        }
    };
    if (!py::isinstance<NodeTable>(table)) {
        for (py::handle id : table) {
            py::object node = table[id];
            consider(node.attr("is_protected"), node.attr("table"), node.attr("column"));
        }
        return out;
    }
    DagState& st = *table.cast<NodeTable&>().st;
    for (std::int64_t id : st.log.ids()) {
        py::int_ key(id);
        if (PyObject* obj = PyDict_GetItem(st.objects.ptr(), key.ptr())) {
            py::object node = py::reinterpret_borrow<py::object>(obj);
            consider(node.attr("is_protected"), node.attr("table"), node.attr("column"));
            continue;
        }
        std::optional<core::NodeRecord> rec = st.log.get(id);
        if (!rec || !rec->extra.table || !rec->extra.column) continue;
        const bool prot = rec->extra.is_protected ? *rec->extra.is_protected
                                                  : core::protected_by_fingerprint(rec->fp);
        consider(py::bool_(prot), py::str(*rec->extra.table), py::str(*rec->extra.column));
    }
    return out;
}

py::object sync_to_dashboard(py::object self) {
    py::object url = self.attr("_service_url");
    py::object key = self.attr("_api_key");
    if (!truthy(url) || !truthy(key)) return py::none();
    py::object request_mod = py::module_::import("urllib.request");
    py::module_::import("urllib.error");
    py::object nodes_written = counter(self, "_nodes_written");
    py::object edges_written = counter(self, "_edges_written");
    py::object name = self.attr("_pipeline_name");
    py::dict pipeline;
    pipeline["pipeline_name"] = or_default(name, "unnamed_pipeline");
    pipeline["status"] = "completed";
    pipeline["node_count"] = nodes_written;
    pipeline["edge_count"] = edges_written;
    pipeline["provenance_pipeline_id"] = self.attr("_pipeline_id");
    py::dict model;
    model["model_id"] = or_default(name, "unnamed_pipeline");
    model["name"] = or_default(name, "Unnamed Pipeline");
    model["version"] = "1.0";
    model["status"] = "production";
    model["domain"] = "credit";
    py::list attributes = protected_columns(self);
    py::list sources(attributes);
    py::dict details;
    details["node_count"] = nodes_written;
    details["edge_count"] = edges_written;
    details["protected_sources"] = sources;
    py::dict fairness;
    fairness["model_id"] = or_default(name, "unnamed_pipeline");
    fairness["has_disparate_impact"] = py::bool_(py::len(attributes) > 0);
    fairness["protected_attributes"] = attributes;
    fairness["details"] = details;
    py::dict document;
    document["pipeline"] = pipeline;
    document["model"] = model;
    document["fairness"] = fairness;
    py::object body = state().ns.get("json").attr("dumps")(document).attr("encode")("utf-8");
    py::object endpoint = py::str(url).attr("rstrip")("/") + py::str("/v1/dashboard/sync");
    py::dict headers;
    headers["Authorization"] = py::str("Bearer ") + py::str(key);
    headers["Content-Type"] = "application/json";
    py::object request = request_mod.attr("Request")(endpoint, py::arg("data") = body,
                                                      py::arg("headers") = headers,
                                                      py::arg("method") = "POST");
    try {
        py::object response = request_mod.attr("urlopen")(request, py::arg("timeout") = 10);
        try {
            response.attr("read")();
        } catch (...) {
            response.attr("close")();
            throw;
        }
        response.attr("close")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        module_logger().attr("warning")("Dashboard sync failed (non-fatal): %s", log_arg(self, e));
    }
    return py::none();
}

py::object tracker_enter(py::object self) { return self; }

py::object tracker_exit(py::object self, py::object exc_type, py::object, py::object) {
    self.attr("flush")();
    if (exc_type.is_none()) {
        self.attr("disable_persistence")();
    } else {
        if (truthy(self.attr("_storage")) && truthy(self.attr("_pipeline_id"))) {
            self.attr("_storage").attr("complete_pipeline")(self.attr("_pipeline_id"),
                                                           py::arg("status") = "failed");
            // A failed run stays failed: closing the tracker must not report
            // the same pipeline as completed afterwards.
            self.attr("_pipeline_id") = py::none();
        }
        self.attr("disable_persistence")();
    }
    return py::bool_(false);
}

py::object tracker_del(py::object self) {
    swallow_exceptions([&] { self.attr("disable_persistence")(); });
    return py::none();
}

}  // namespace

// ---- the columnar fast path ----------------------------------------------------

bool columnar_writer(py::handle tracker) {
    py::object writer = getattr_or_null(tracker, "_writer");
    if (!writer || writer.is_none()) return false;
    PyObject* mod = PyImport_GetModule(py::str("corvane.utilities.persistence.writer").ptr());
    if (mod == nullptr) {
        PyErr_Clear();
        return false;
    }
    py::object writer_mod = py::reinterpret_steal<py::object>(mod);
    py::object writer_cls = getattr_or_null(writer_mod, "AsyncWriter");
    if (!writer_cls || Py_TYPE(writer.ptr()) != reinterpret_cast<PyTypeObject*>(writer_cls.ptr())) {
        return false;
    }
    py::dict cls_dict = writer_cls.attr("__dict__");
    PyObject* wdict = PyObject_GenericGetDict(writer.ptr(), nullptr);
    if (wdict == nullptr) {
        PyErr_Clear();
        return false;
    }
    py::object wd = py::reinterpret_steal<py::object>(wdict);
    for (const char* name : {"write_node", "write_edges", "write_row_values", "write_columnar"}) {
        if (!cls_dict.contains(name) || PyDict_GetItemString(wd.ptr(), name) != nullptr) return false;
    }
    for (const auto& m : own_methods()) {
        if (!method_is_own(tracker, m.first.c_str(), m.second)) return false;
    }
    return true;
}

namespace {

core::InputColumn slice_column(const core::InputColumn& c, std::size_t from, std::size_t n) {
    switch (c.kind) {
        case core::InputColumn::Kind::Constant: return c;
        case core::InputColumn::Kind::Affine:
            return core::InputColumn::affine(c.base + static_cast<std::int64_t>(from));
        default:
            return core::InputColumn::explicit_ids(
                std::vector<std::int64_t>(c.ids.begin() + static_cast<std::ptrdiff_t>(from),
                                          c.ids.begin() + static_cast<std::ptrdiff_t>(from + n)));
    }
}

}  // namespace

std::int64_t log_run_persisted(py::handle tracker, DagState& st, core::NodeKind kind,
                               py::handle op_name, std::vector<core::InputColumn> inputs,
                               const std::uint32_t* fps, std::size_t count, std::int64_t first_id,
                               std::int64_t max_nodes) {
    const std::uint32_t op = st.intern(op_name);
    auto batch = std::make_shared<NodeRunBatch>();
    py::object mod = persistence_module();
    batch->node_cls = mod.attr("StoredNode");
    batch->edge_cls = mod.attr("StoredEdge");
    batch->node_type = state().node_types[static_cast<std::size_t>(kind) - 1].attr("name");
    batch->operation = py::reinterpret_borrow<py::object>(op_name);
    batch->pipeline_id = tracker.attr("_pipeline_id");
    batch->node_count = count;

    std::unordered_set<std::uint32_t> seen_fp;
    std::vector<std::unordered_set<std::uint64_t>> seen_edge(inputs.size());
    std::vector<std::int64_t> evicted;
    ObjectOverrides ov(st);
    std::size_t row = 0;
    while (row < count) {
        // Up to and including the next node whose insertion makes the log
        // evict: operands stay put within such a chunk, and each node's
        // operands are looked up before the eviction its insertion causes.
        const auto size = static_cast<std::int64_t>(st.log.size());
        std::size_t chunk = count - row;
        if (size >= max_nodes) {
            chunk = 1;
        } else if (static_cast<std::uint64_t>(max_nodes - size) < chunk) {
            chunk = static_cast<std::size_t>(max_nodes - size) + 1;
            chunk = std::min(chunk, count - row);
        }
        // operand fingerprints of this chunk (absent operands give no edge)
        std::unordered_map<std::int64_t, std::int64_t> operand_fp;  // -1: not held
        auto fp_of = [&](std::int64_t id) -> std::int64_t {
            auto it = operand_fp.find(id);
            if (it != operand_fp.end()) return it->second;
            std::int64_t fp = -1;
            py::int_ key(id);
            if (PyObject* obj = PyDict_GetItem(st.objects.ptr(), key.ptr())) {
                fp = as_fingerprint(py::reinterpret_borrow<py::object>(obj).attr("provenance"),
                                    "provenance");
            } else if (auto rec = st.log.get(id)) {
                fp = rec->fp;
            }
            operand_fp.emplace(id, fp);
            return fp;
        };
        bool all_constant = true;
        std::vector<std::int64_t> constant_fp(inputs.size(), -1);
        std::size_t present = 0;
        for (std::size_t p = 0; p < inputs.size(); ++p) {
            if (inputs[p].kind != core::InputColumn::Kind::Constant) {
                all_constant = false;
                break;
            }
            constant_fp[p] = fp_of(inputs[p].base);
            if (constant_fp[p] >= 0) ++present;
        }
        if (all_constant) {
            // The usual run (operands are wrapped columns' source nodes): an
            // edge is new exactly when its node's fingerprint is.
            batch->edge_count += present * chunk;
            for (std::size_t r = row; r < row + chunk; ++r) {
                const std::uint32_t fp = fps[r];
                if (!seen_fp.insert(fp).second) continue;
                batch->fps.push_back(fp);
                for (std::size_t p = 0; p < inputs.size(); ++p) {
                    if (constant_fp[p] < 0) continue;
                    const auto pfp = static_cast<std::uint32_t>(constant_fp[p]);
                    const std::uint64_t packed = (static_cast<std::uint64_t>(pfp) << 32) | fp;
                    if (seen_edge[p].insert(packed).second) {
                        batch->edges.push_back({pfp, fp, static_cast<std::int64_t>(p)});
                    }
                }
            }
        }
        for (std::size_t r = all_constant ? row + chunk : row; r < row + chunk; ++r) {
            const std::uint32_t fp = fps[r];
            if (seen_fp.insert(fp).second) batch->fps.push_back(fp);
            for (std::size_t p = 0; p < inputs.size(); ++p) {
                const std::int64_t pfp = fp_of(inputs[p].at(r));
                if (pfp < 0) continue;
                ++batch->edge_count;
                const std::uint64_t packed = (static_cast<std::uint64_t>(pfp) << 32) | fp;
                if (seen_edge[p].insert(packed).second) {
                    batch->edges.push_back({static_cast<std::uint32_t>(pfp), fp, static_cast<std::int64_t>(p)});
                }
            }
        }
        std::vector<core::InputColumn> part;
        part.reserve(inputs.size());
        for (const auto& c : inputs) part.push_back(slice_column(c, row, chunk));
        st.log.append_run(first_id + static_cast<std::int64_t>(row), kind, op, std::move(part),
                          fps + row, chunk, max_nodes, &ov, &evicted);
        row += chunk;
    }
    st.forget_objects(evicted);
    for (std::uint32_t fp : batch->fps) {
        py::object info = tracker.attr("decode_full")(py::int_(fp));
        batch->entity.push_back(info.attr("entity"));
        batch->chain.push_back(info.attr("chain"));
    }
    batch->records = batch->node_count + batch->edge_count;
    if (batch->records) tracker.attr("_writer").attr("write_columnar")(py::cast(batch));
    return first_id;
}

bool capture_values_columnar(py::handle tracker, DagState& st, py::handle values, py::handle fps,
                             py::handle op_name, py::handle column, std::vector<std::int64_t> rows,
                             std::int64_t row0, std::size_t count) {
    if (!columnar_writer(tracker)) return false;
    py::object buffer = tracker.attr("_value_buffer");
    if (!py::isinstance<ValueBuffer>(buffer) || buffer.cast<ValueBuffer&>().st.get() != &st) return false;
    py::object pid = tracker.attr("_pipeline_id");
    if (!truthy(pid)) pid = py::int_(0);
    py::object source =
        py::make_tuple("run", values, fps, op_name, column, pid, tracker.attr("_tenant_id"));
    HeldLock guard(tracker.attr("_value_buffer_lock"));
    const std::int64_t threshold = as_i64(tracker.attr("_value_flush_threshold"));
    const auto before = static_cast<std::int64_t>(st.values.size());
    const auto added = static_cast<std::int64_t>(count);
    // What appending one record at a time would hand over: the whole buffer
    // whenever it reaches the threshold after an append.
    std::int64_t handed = 0;
    if (threshold <= 1) {
        handed = before + added;
    } else if (before + 1 >= threshold) {
        handed = before + 1 + ((added - 1) / threshold) * threshold;
    } else {
        handed = ((before + added) / threshold) * threshold;
    }
    const std::size_t from_run = handed > 0 ? static_cast<std::size_t>(handed - before) : 0;
    if (handed > 0) {
        auto batch = std::make_shared<RowValueBatch>();
        batch->value_cls = storage_module().attr("StoredRowValue");
        add_refs(st, *batch, st.values.snapshot());
        st.release_values(st.values.clear());
        add_run_rows(*batch, source, rows, row0, 0, from_run);
        tracker.attr("_writer").attr("write_columnar")(value_batch_object(batch));
    }
    if (from_run < count) {
        const std::uint64_t h = st.next_handle++;
        st.value_sources[py::int_(h)] = source;
        std::vector<std::int64_t> rest_rows;
        std::int64_t rest_row0 = row0 + static_cast<std::int64_t>(from_run);
        if (!rows.empty()) {
            rest_rows.assign(rows.begin() + static_cast<std::ptrdiff_t>(from_run), rows.end());
            rest_row0 = 0;
        }
        st.release_values(st.values.append(h, rest_row0, std::move(rest_rows), count - from_run));
    }
    return true;
}

void bind_persistence(py::module_ m) {
    ModuleState& s = state();
    py::object cls = s.tracker_cls;

    py::class_<NodeRunBatch, std::shared_ptr<NodeRunBatch>>(
        m, "_NodeRunBatch", py::module_local(),
        "The node records and edges of one tracked operation, handed to the writer at once.")
        .def_property_readonly("kind", [](NodeRunBatch&) { return "nodes"; })
        .def_property_readonly("records", [](NodeRunBatch& b) { return b.records; })
        .def_property_readonly("weight", [](NodeRunBatch& b) { return 1 + b.fps.size() + b.edges.size(); })
        .def("chunks", [](std::shared_ptr<NodeRunBatch> b, std::size_t size) {
            ChunkIter it;
            it.nodes = std::move(b);
            it.size = std::max<std::size_t>(size, 1);
            return it;
        }, py::arg("size"))
        .def("__repr__", [](NodeRunBatch& b) {
            return "<node run batch: " + std::to_string(b.node_count) + " nodes, " +
                   std::to_string(b.fps.size()) + " distinct>";
        });
    py::class_<RowValueBatch, std::shared_ptr<RowValueBatch>>(
        m, "_RowValueBatch", py::module_local(),
        "Row values handed to the writer as references to the result arrays.")
        .def_property_readonly("kind", [](RowValueBatch&) { return "values"; })
        .def_property_readonly("records", [](RowValueBatch& b) { return b.records; })
        .def_property_readonly("weight", [](RowValueBatch& b) { return 1 + b.segments.size(); })
        .def("chunks", [](std::shared_ptr<RowValueBatch> b, std::size_t size) {
            ChunkIter it;
            it.values = std::move(b);
            it.size = std::max<std::size_t>(size, 1);
            return it;
        }, py::arg("size"))
        .def("__repr__", [](RowValueBatch& b) {
            return "<row value batch: " + std::to_string(b.records) + " records>";
        });
    py::class_<ChunkIter>(m, "_BatchChunks", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](ChunkIter& it) {
            return it.nodes ? next_node_chunk(it) : next_value_chunk(it);
        });

    method(cls, "enable_persistence", &enable_persistence,
           py::doc("Enable persistence to the hosted service.\n\n"
                   "Starts a background writer thread that batches writes."));
    method(cls, "disable_persistence", &disable_persistence,
           py::doc("Disable persistence and close connections."));
    method(cls, "flush", &flush, py::arg("timeout") = 30.0,
           py::doc("Flush all pending writes. Call before exit."));
    method(cls, "_sync_to_dashboard", &sync_to_dashboard,
           py::doc("Sync pipeline results to dashboard tables via the API."));
    method(cls, "_persist_dag_to_storage", &persist_dag_to_storage,
           py::doc("Persist deduplicated nodes and edges to storage."));
    method(cls, "get_persistence_stats", &get_persistence_stats,
           py::doc("Get statistics about persistence operations."));
    method(cls, "persist_to_storage", &persist_to_storage, py::arg("storage"),
           py::arg("pipeline_id") = py::none(),
           py::doc("Persist the deduplicated DAG to a storage backend in bulk.\n\n"
                   "Call after the pipeline completes: tracking stays in memory during the\n"
                   "computation and the database is written in optimised batches. Works with\n"
                   "any storage backend. Returns the pipeline id used."));
    pyb::add_static_method(cls, "persist_results", &persist_results, py::arg("storage"),
                           py::arg("pipeline_id"), py::arg("row_keys"), py::arg("outputs"),
                           py::arg("source_df") = py::none(),
                           py::doc("Persist per-row outputs: the audit link.\n\n"
                                   "From a business identifier of a row (an applicant id, say) one\n"
                                   "finds the fingerprint, and so the DAG, that produced its output.\n"
                                   "With source rows given, a SHA-256 hash of each row's source\n"
                                   "values is stored beside the result, so later changes to the\n"
                                   "source data can be detected by rehashing."));
    method(cls, "__enter__", &tracker_enter);
    method(cls, "__exit__", &tracker_exit, py::arg("exc_type"), py::arg("exc_val"), py::arg("exc_tb"));
    method(cls, "__del__", &tracker_del);
    method(cls, "_persist_node", &persist_node, py::arg("node"),
           py::doc("Write one node and its edges through to the background writer."));
    method(cls, "_start_new_pipeline", &start_new_pipeline,
           py::doc("Start a new pipeline for the next run after a flush/sync cycle."));

    auto& own = own_methods();
    own.clear();
    for (const char* name : {"_persist_node", "decode_full", "record_row_value", "is_tainted"}) {
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), py::str(name).ptr());
        if (found == nullptr) throw std::runtime_error(std::string("the tracker has no method ") + name);
        own.emplace_back(name, py::reinterpret_borrow<py::object>(found));
    }
}

}  // namespace corvane::dag_binding
