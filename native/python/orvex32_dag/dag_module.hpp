// Internal declarations shared by the binding files of
// corvane.utilities.orvex32_dag.
#pragma once

#include "common.hpp"

#include "corvane/dag_log.hpp"
#include "corvane/dag_values.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvane::dag_binding {

namespace py = pybind11;
namespace pyb = corvane::pyb;
namespace core = corvane::dag;

/// Objects the module keeps between calls: our own originals, so that a
/// subclass override or a rebound module attribute can be told apart from the
/// untouched collaborator, and a few host helpers. Module-level collaborators
/// are still read from `ns` at call time.
struct ModuleState {
    py::object module;
    pyb::ModuleNamespace ns;
    py::object node_type_cls;            // NodeType
    std::vector<py::object> node_types;  // members by value - 1
    py::object dag_node_cls, dag_edge_cls, dag_cls;
    py::object tracker_cls, series_cls, frame_cls;
    py::object base_tracker_cls;         // ProvenanceTracker
    py::object pd_series, pd_frame;
    py::object native_tracker_type;      // corvane._orvex32.NativeProvenanceTracker
    py::object combine_batch, update_chain_batch;
    py::object orvex32_ns_dict;          // for _hash_entity
    py::object own_hash_entity;
    py::object lock_type;                // threading.Lock
    py::object object_new;
    /// tracker methods whose override sends an operation to the literal path
    std::vector<std::pair<std::string, py::object>> tracker_originals;
};

ModuleState& state();
void init_state(py::module_ m);

void bind_imports(py::module_ m);
void bind_records(py::module_ m);
void bind_log(py::module_ m);
void bind_tracker(py::module_ m);
void bind_persistence(py::module_ m);  // persistence, pipeline runs, dashboard
void bind_series(py::module_ m);
void bind_frame(py::module_ m);

// ---- the per-tracker native state ------------------------------------------

/// What a tracker keeps natively: the node log, the row-value store, the
/// node objects already handed to Python (authoritative from then on) and the
/// arrays the row-value runs refer to.
struct DagState {
    core::NodeLog log;
    core::RowValueStore values;
    py::dict objects;         // node id -> DAGNode handed out
    py::dict value_sources;   // handle -> tuple describing a row-value run
    std::uint64_t next_handle = 1;
    std::vector<py::object> op_strings;  // interned op index -> str

    std::uint32_t intern(py::handle op);  // op must be a str
    py::object op_string(std::uint32_t op);
    /// Drops the node objects of evicted ids.
    void forget_objects(const std::vector<std::int64_t>& ids);
    void release_values(const std::vector<std::uint64_t>& handles);
};

/// The `_nodes` view of a tracker; owns the DagState.
struct NodeTable {
    std::shared_ptr<DagState> st;
};
/// The `_prov_to_nodes` view.
struct FingerprintIndex {
    std::shared_ptr<DagState> st;
};
/// The `_value_buffer` view.
struct ValueBuffer {
    std::shared_ptr<DagState> st;
};

/// Overrides for nodes whose Python object is authoritative.
class ObjectOverrides : public core::NodeOverrides {
public:
    explicit ObjectOverrides(DagState& st);
    void inputs(std::int64_t id, std::vector<std::int64_t>& out) override;
    bool is_source(std::int64_t id) override;
    bool is_protected(std::int64_t id) override;
    std::int64_t op_key(std::int64_t id) override;
    /// Prepares op_key: interns the str operations of all node objects.
    void prepare_ops();
    std::vector<py::object> foreign_ops;  // key -(k+1)
    bool failed = false;

private:
    PyObject* object(std::int64_t id);
    DagState& st_;
    py::dict op_keys_;
};

DagState& dag_state_of(py::handle tracker);
/// The DAGNode of `id` (built on first request), or None when not held.
py::object node_object(DagState& st, std::int64_t id);
/// A DAGNode/DAGEdge/ComputationDAG built without running __init__ (our own
/// dataclasses only): the instance dict gets the fields in field order.
py::object fast_instance(py::handle cls, std::initializer_list<std::pair<const char*, py::object>> fields);
py::object lineage_dag(py::handle tracker, DagState& st, py::object root_obj);

// ---- tracker internals used by the pandas classes --------------------------

/// Whether every collaborator the native batch path stands in for is our own
/// (class methods not overridden, nothing shadowed on the instance, our
/// native core, no writer).
bool tracker_is_plain(py::handle tracker);

/// Appends a run of nodes for rows that get one. `inputs` are per-row input
/// ids for each operand (already restricted to those rows). Returns the first
/// id. Takes `_dag_lock`.
std::int64_t log_run(py::handle tracker, DagState& st, core::NodeKind kind, py::handle op_name,
                     std::vector<core::InputColumn> inputs, const std::uint32_t* fps,
                     std::size_t count);

/// Adds a run of captured row values (rows listed, or all when `rows` empty
/// and `count` given). Takes `_value_buffer_lock`.
void capture_values(py::handle tracker, DagState& st, py::handle values, py::handle fps,
                    py::handle op_name, py::handle column, std::vector<std::int64_t> rows,
                    std::int64_t row0, std::size_t count);

// ---- the persistence side of the batch path (bind_persistence.cpp) ----------

/// Whether the tracker's writer is our own AsyncWriter taking columnar batches.
bool columnar_writer(py::handle tracker);
/// append_run plus the hand-off of the run's node and edge records to the
/// writer; called with `_dag_lock` held and the ids already taken.
std::int64_t log_run_persisted(py::handle tracker, DagState& st, core::NodeKind kind,
                               py::handle op_name, std::vector<core::InputColumn> inputs,
                               const std::uint32_t* fps, std::size_t count,
                               std::int64_t first_id, std::int64_t max_nodes);
/// Row-value capture with the threshold hand-off to the writer; false when
/// the writer is not a columnar one (nothing done then).
bool capture_values_columnar(py::handle tracker, DagState& st, py::handle values, py::handle fps,
                             py::handle op_name, py::handle column, std::vector<std::int64_t> rows,
                             std::int64_t row0, std::size_t count);

// ---- small helpers ---------------------------------------------------------

/// Places a C++ function on a type()-built class as a method. Unlike an
/// overload chain, it replaces whatever the base class (pandas) defines under
/// that name; a cpp_function named __init__ is mistaken for a pybind11
/// constructor, so special names get an internal function name.
template <typename Func, typename... Extra>
void method(py::object cls, const char* attr_name, Func&& f, const Extra&... extra) {
    std::string internal_name = attr_name;
    if (internal_name == "__init__") internal_name = "_dag__init__";
    py::cpp_function fn(std::forward<Func>(f), py::name(internal_name.c_str()), py::is_method(cls),
                        extra...);
    py::setattr(cls, attr_name, fn);
}

inline bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

inline py::object getattr_or_null(py::handle o, const char* name) {
    PyObject* r = PyObject_GetAttrString(o.ptr(), name);
    if (r == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return py::object();
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(r);
}

inline py::object pop_kwarg(py::dict& kw, const char* name) {
    py::str key(name);
    if (kw.contains(key)) {
        py::object v = kw[key];
        PyDict_DelItem(kw.ptr(), key.ptr());
        return v;
    }
    return py::none();
}

/// super(cls, self)
inline py::object super_of(py::handle cls, py::handle self) {
    static py::object builtin_super = py::module_::import("builtins").attr("super");
    return builtin_super(cls, self);
}

/// int(o) for an argument declared as an int: any number, not text;
/// TypeError naming the argument otherwise.
py::int_ number_arg(py::handle o, const char* argname);
/// int(o) as int64; OverflowError past the range.
std::int64_t as_i64(py::handle o);
/// A 32-bit fingerprint from any number (0 .. 2**32 - 1).
std::uint32_t as_fingerprint(py::handle o, const char* argname);

/// Runs `fn`, discarding exceptions of the Exception family.
template <typename Fn>
void swallow_exceptions(Fn&& fn) {
    try {
        fn();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

}  // namespace corvane::dag_binding
