// The source registry: which raw tables (and which of their columns) a
// pipeline started from. Registration records names and dtypes only; cell
// values are taken at upload time, for the columns the model input still has.
#include "wrapper.hpp"

#include <string>
#include <vector>

namespace corvane::wrapper {

namespace {

/// Holds self._lock for a scope. Every method takes it exactly once and never
/// calls another registry method, so the non-reentrant lock is safe.
class LockGuard {
public:
    explicit LockGuard(py::handle self) : lock_(self.attr("_lock")) { lock_.attr("acquire")(); }
    ~LockGuard() {
        // Release must happen even while an exception is propagating; keep
        // that exception intact if release itself complains.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (r == nullptr) {
            PyErr_Clear();
        } else {
            Py_DECREF(r);
        }
        PyErr_Restore(type, value, tb);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    py::object lock_;
};

/// list(df.columns), or an empty optional when df has no `columns`.
bool read_columns(py::handle df, py::list& out) {
    PyObject* cols = PyObject_GetAttrString(df.ptr(), "columns");
    if (cols == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }
    py::object holder = py::reinterpret_steal<py::object>(cols);
    PyObject* lst = PySequence_List(cols);
    if (lst == nullptr) {
        throw py::error_already_set();
    }
    out = py::reinterpret_steal<py::list>(lst);
    return true;
}

void registry_init(py::handle self) {
    self.attr("_lock") = lookup("threading").attr("Lock")();
    self.attr("_sources") = py::dict();
    self.attr("_source_columns") = py::dict();
    self.attr("_source_dtypes") = py::dict();
}

py::object registry_register(py::handle self, py::handle df, py::handle table_name) {
    corvane::pyb::require_str(table_name, "table_name");
    LockGuard guard(self);
    py::list labels;
    if (!read_columns(df, labels)) {
        lookup("logger").attr("debug")("ProvenanceRegistry: df has no .columns, skipping");
        return py::reinterpret_borrow<py::object>(df);
    }
    py::dict sources = self.attr("_sources");
    py::str prefix = py::str(table_name) + py::str(".");
    for (py::handle label : labels) {
        sources[label] = prefix + py::str(label);
    }
    py::dict source_columns = self.attr("_source_columns");
    source_columns[table_name] = labels;
    py::dict dtypes;
    for (py::handle label : labels) {
        dtypes[py::str(label)] = py::str(df[label].attr("dtype"));
    }
    py::dict source_dtypes = self.attr("_source_dtypes");
    source_dtypes[table_name] = dtypes;
    return py::reinterpret_borrow<py::object>(df);
}

py::dict registry_resolve(py::handle self, py::handle df) {
    LockGuard guard(self);
    py::dict result;
    py::list labels;
    if (!read_columns(df, labels)) {
        return result;
    }
    py::dict sources = self.attr("_sources");
    py::str derived("derived");
    for (py::handle label : labels) {
        PyObject* hit = PyDict_GetItemWithError(sources.ptr(), label.ptr());
        if (hit == nullptr && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        result[label] = hit != nullptr ? py::reinterpret_borrow<py::object>(hit) : derived;
    }
    return result;
}

py::dict registry_build_source_snapshots(py::handle self, py::handle final_df) {
    LockGuard guard(self);
    py::dict snapshots;
    py::list labels;
    if (!read_columns(final_df, labels)) {
        return snapshots;
    }
    // Grouped in the frame's own column order (each label once), so snapshot
    // tables and their columns come out in a reproducible order.
    py::dict sources = self.attr("_sources");
    py::set seen;
    py::dict groups;  // table name -> list of labels
    for (py::handle label : labels) {
        if (seen.contains(label)) {
            continue;
        }
        seen.add(label);
        PyObject* hit = PyDict_GetItemWithError(sources.ptr(), label.ptr());
        if (hit == nullptr) {
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            continue;
        }
        py::object mapping = py::reinterpret_borrow<py::object>(hit);
        if (!PyUnicode_Check(hit) || PyUnicode_GET_LENGTH(hit) == 0 ||
            !mapping.contains(".")) {
            continue;
        }
        py::object table = mapping.attr("rpartition")(".")[py::int_(0)];
        if (!groups.contains(table)) {
            groups[table] = py::list();
        }
        groups[table].cast<py::list>().append(label);
    }
    for (auto item : groups) {
        try {
            py::object pd = import("pandas");
            PyObject* frame_type = pd.attr("DataFrame").ptr();
            int is_frame = PyObject_IsInstance(final_df.ptr(), frame_type);
            if (is_frame < 0) {
                throw py::error_already_set();
            }
            if (is_frame == 0) {
                continue;
            }
            py::object present_cols = final_df.attr("columns");
            py::list wanted;
            for (py::handle label : item.second) {
                if (present_cols.contains(label)) {
                    wanted.append(label);
                }
            }
            py::object selection = final_df[wanted];
            snapshots[item.first] = lookup("_serialize")(selection);
        } catch (py::error_already_set& e) {
            if (!is_ordinary(e)) {
                throw;
            }
        }
    }
    return snapshots;
}

py::dict registry_get_source_mapping(py::handle self) {
    LockGuard guard(self);
    return py::dict(self.attr("_sources").attr("copy")());
}

py::dict registry_get_source_metadata(py::handle self) {
    LockGuard guard(self);
    return py::dict(self.attr("_source_dtypes").attr("copy")());
}

void registry_clear(py::handle self) {
    LockGuard guard(self);
    self.attr("_sources").attr("clear")();
    self.attr("_source_columns").attr("clear")();
    self.attr("_source_dtypes").attr("clear")();
}

}  // namespace

void register_sources(py::module_& m) {
    m.attr("threading") = import("threading");
    py::object object_type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    py::object cls = corvane::pyb::make_class(
        "_ProvenanceRegistry", py::make_tuple(object_type), m,
        "Process-wide record of source tables: column label -> 'table.column', the "
        "columns and dtypes of each table. One lock guards every method.");
    corvane::pyb::add_method(cls, "__init__", &registry_init);
    corvane::pyb::add_method(cls, "register", &registry_register, py::arg("df"),
                             py::arg("table_name"),
                             "Records df's columns and dtypes under table_name; returns df.");
    corvane::pyb::add_method(cls, "resolve", &registry_resolve, py::arg("df"),
                             "Maps each column of df to 'table.column' or 'derived'.");
    corvane::pyb::add_method(cls, "build_source_snapshots", &registry_build_source_snapshots,
                             py::arg("final_df"),
                             "Per source table, the serialised columns of final_df that came "
                             "from it.");
    corvane::pyb::add_method(cls, "get_source_mapping", &registry_get_source_mapping,
                             "A copy of the column-to-source mapping.");
    corvane::pyb::add_method(cls, "get_source_metadata", &registry_get_source_metadata,
                             "A shallow copy of the per-table dtype texts.");
    corvane::pyb::add_method(cls, "clear", &registry_clear,
                             "Forgets every registration (between pipeline runs).");
    m.attr("_ProvenanceRegistry") = cls;
    m.attr("_registry") = cls();
}

}  // namespace corvane::wrapper
