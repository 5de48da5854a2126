// TrackedDataFrame (one fingerprint array per column) and wrap_dataframe,
// the entry point that gives a source table its fingerprints.
#include "common.hpp"
#include "orvex32_module.hpp"

#include <cstring>

namespace corvane::orvex32_binding {

namespace {

py::object frame_init(py::object self, py::args args, py::kwargs kwargs) {
    py::dict kw = kwargs;
    py::object tracker = pop_kwarg(kw, "_tracker");
    py::object col_prov = pop_kwarg(kw, "_col_prov");
    super_of(state().frame_cls, self).attr("__init__")(*args, **kw);
    if (col_prov.is_none()) col_prov = py::dict();
    if (PyObject_GenericSetAttr(self.ptr(), py::str("_tracker").ptr(), tracker.ptr()) < 0 ||
        PyObject_GenericSetAttr(self.ptr(), py::str("_col_prov").ptr(), col_prov.ptr()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

/// pandas hands a derived frame (copy, filter, slice) the very same
/// `_col_prov` dict as its source. Give it its own dict so that assigning a
/// column on the derived frame cannot rewrite the source's fingerprints; the
/// arrays themselves are never modified in place and stay shared.
py::object frame_finalize(py::object self, py::object other, py::object method,
                          py::kwargs kwargs) {
    py::object out = super_of(state().frame_cls, self)
                         .attr("__finalize__")(other, py::arg("method") = method, **kwargs);
    PyObject* mine = PyObject_GetAttrString(self.ptr(), "_col_prov");
    if (mine == nullptr) {
        PyErr_Clear();
        return out;
    }
    py::object own = py::reinterpret_steal<py::object>(mine);
    PyObject* theirs = PyObject_GetAttrString(other.ptr(), "_col_prov");
    if (theirs == nullptr) {
        PyErr_Clear();
        return out;
    }
    bool shared = theirs == mine;
    Py_DECREF(theirs);
    if (shared && PyDict_CheckExact(mine)) {
        py::object copy = py::reinterpret_steal<py::object>(PyDict_Copy(mine));
        if (!copy || PyObject_GenericSetAttr(self.ptr(), py::str("_col_prov").ptr(), copy.ptr()) < 0) {
            throw py::error_already_set();
        }
    }
    return out;
}

/// `key in mapping`, where an unhashable key simply is not there.
bool has_key(py::handle mapping, py::handle key) {
    int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && PyObject_Hash(key.ptr()) == -1) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }
    return r != 0;
}

py::object frame_getitem(py::object self, py::object key) {
    ModuleState& s = state();
    py::object result = super_of(s.frame_cls, self).attr("__getitem__")(key);
    if (!isinstance_of(result, s.ns.get("pd").attr("Series"))) return result;

    py::object np = s.ns.get("np");
    py::object cls = s.ns.get("TrackedSeries");
    py::object tracker = self.attr("_tracker");
    py::object col_prov = self.attr("_col_prov");
    const py::ssize_t n = py::len(result);
    py::object prov;
    if (has_key(col_prov, key)) {
        prov = col_prov[key];
        if (static_cast<py::ssize_t>(py::len(prov)) != n) {
            // pandas carried the full-length array to a filtered frame: only
            // the first fingerprint is known to belong to the column.
            py::object first = py::len(prov) > 0 ? py::object(prov[py::int_(0)])              : py::object(py::int_(0));
            prov = np.attr("full")(n, first, py::arg("dtype") = np.attr("uint32"));
        } else {
            prov = prov.attr("copy")();
        }
    } else {
        prov = np.attr("zeros")(n, py::arg("dtype") = np.attr("uint32"));
    }
    return tracked_from_series(cls, result, result.attr("index"), prov, tracker);
}

py::object frame_setitem(py::object self, py::object key, py::object value) {
    ModuleState& s = state();
    super_of(s.frame_cls, self).attr("__setitem__")(key, value);
    if (isinstance_of(value, s.ns.get("TrackedSeries"))) {
        self.attr("_col_prov")[key] = value.attr("_prov").attr("copy")();
    }
    return py::none();
}

/// `n` copies of the column's first fingerprint, chained once with MERGE
/// when there is a tracker.
py::object uniform_merge_prov(py::handle self_tracker, py::handle prov, py::ssize_t n) {
    py::object np = state().ns.get("np");
    const bool non_empty = py::len(prov) > 0;
    if (truthy(self_tracker) && non_empty) {
        py::object code = state().ns.get("OpCode").attr("MERGE");
        py::object fp = self_tracker.attr("update_chain")(
            pyb::to_int(prov[py::int_(0)]), code);
        return np.attr("full")(n, fp, py::arg("dtype") = np.attr("uint32"));
    }
    py::object first = non_empty ? py::object(prov[py::int_(0)]) : py::object(py::int_(0));
    return np.attr("full")(n, first, py::arg("dtype") = np.attr("uint32"));
}

py::object frame_merge(py::object self, py::object right, py::args args, py::kwargs kwargs) {
    ModuleState& s = state();
    py::object merged = super_of(s.frame_cls, self).attr("merge")(right, *args, **kwargs);
    const py::ssize_t n = py::len(merged);
    py::object columns = merged.attr("columns");
    py::object tracker = self.attr("_tracker");
    py::dict merged_prov;
    for (py::handle item : self.attr("_col_prov").attr("items")()) {
        py::object col = item[py::int_(0)];
        if (has_key(columns, col)) merged_prov[col] = uniform_merge_prov(tracker, item[py::int_(1)], n);
    }
    if (isinstance_of(right, s.ns.get("TrackedDataFrame"))) {
        for (py::handle item : right.attr("_col_prov").attr("items")()) {
            py::object col = item[py::int_(0)];
            if (has_key(columns, col) && !merged_prov.contains(col)) {
                merged_prov[col] = uniform_merge_prov(tracker, item[py::int_(1)], n);
            }
        }
    }
    return s.ns.get("TrackedDataFrame")(merged, py::arg("_tracker") = tracker,
                                        py::arg("_col_prov") = merged_prov);
}

// -- entity hashing for wrap_dataframe ----------------------------------------

/// The host's hash of an integer, as long_hash computes it: |v| reduced
/// modulo the Mersenne prime 2^61 - 1, the sign restored, -1 mapped to -2.
inline int64_t host_int_hash(int64_t v) {
    constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
    int64_t h;
    if (v >= 0) {
        h = static_cast<int64_t>(static_cast<uint64_t>(v) % kModulus);
    } else {
        uint64_t magnitude = uint64_t{0} - static_cast<uint64_t>(v);
        h = -static_cast<int64_t>(magnitude % kModulus);
    }
    return h == -1 ? -2 : h;
}
inline int64_t host_uint_hash(uint64_t v) {
    constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
    return static_cast<int64_t>(v % kModulus);
}
inline uint32_t low32(int64_t h) { return static_cast<uint32_t>(static_cast<uint64_t>(h)); }

/// _hash_entity of every row label, reduced to the entity width, computed in
/// one pass. Integer indexes are hashed from their machine values; anything
/// else is hashed label by label with the host's hash.
py::array_t<uint32_t> entities_of_index(py::handle index, uint32_t mask) {
    ModuleState& s = state();
    py::object np = s.ns.get("np");
    const py::ssize_t n = py::len(index);
    py::array_t<uint32_t> out(n);
    uint32_t* dst = out.mutable_data();

    py::object dtype = index.attr("dtype");
    const bool plain_index = !isinstance_of(index, s.ns.get("pd").attr("MultiIndex"));
    if (plain_index && isinstance_of(dtype, np.attr("dtype"))) {
        std::string kind = py::str(dtype.attr("kind"));
        if (kind == "i") {
            auto values = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
                np.attr("asarray")(index));
            if (!values) throw py::error_already_set();
            const int64_t* src = values.data();
            for (py::ssize_t i = 0; i < n; ++i) dst[i] = low32(host_int_hash(src[i])) & mask;
            return out;
        }
        if (kind == "u") {
            auto values = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>::ensure(
                np.attr("asarray")(index));
            if (!values) throw py::error_already_set();
            const uint64_t* src = values.data();
            for (py::ssize_t i = 0; i < n; ++i) dst[i] = low32(host_uint_hash(src[i])) & mask;
            return out;
        }
    }
    // Labels as index[i] gives them, up to numeric type (numpy scalars hash
    // like the equal Python numbers).
    py::list labels = index.attr("tolist")();
    if (static_cast<py::ssize_t>(labels.size()) != n) {
        throw py::value_error("index length changed while hashing its labels");
    }
    for (py::ssize_t i = 0; i < n; ++i) {
        PyObject* label = PyList_GET_ITEM(labels.ptr(), i);
        if (label == Py_None) {
            dst[i] = 0;
            continue;
        }
        Py_hash_t h = PyObject_Hash(label);
        if (h == -1 && PyErr_Occurred()) throw py::error_already_set();
        dst[i] = low32(static_cast<int64_t>(h)) & mask;
    }
    return out;
}

/// tracker.entity_from_row(df.index[i]) % (1 << MODE_01_ENTITY_BITS), row by
/// row: the path for trackers that bring their own entity_from_row.
py::object entities_by_protocol(py::handle tracker, py::handle df, py::ssize_t n) {
    ModuleState& s = state();
    py::object modulus = py::int_(1) << s.ns.get("MODE_01_ENTITY_BITS");
    py::object index = df.attr("index");
    py::object entity_from_row = tracker.attr("entity_from_row");
    py::list values(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        py::object label = index[py::int_(i)];
        py::object e = entity_from_row(label);
        PyObject* r = PyNumber_Remainder(e.ptr(), modulus.ptr());
        if (r == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(values.ptr(), i, r);
    }
    py::object np = s.ns.get("np");
    return np.attr("array")(values, py::arg("dtype") = np.attr("uint32"));
}

py::object wrap_dataframe(py::object df, py::object tracker, py::object table,
                          py::object protected_, py::object include_entity) {
    pyb::require_str(table, "table");
    ModuleState& s = state();
    const bool with_entity = truthy(include_entity);
    py::object result = s.ns.get("TrackedDataFrame")(df, py::arg("_tracker") = tracker);
    const py::ssize_t n = py::len(df);

    // A list, tuple or set (subclasses included) names the protected columns;
    // anything else, a frozenset or a dict too, is a flag for the whole table.
    const bool by_name = PyList_Check(protected_.ptr()) || PyTuple_Check(protected_.ptr()) ||
                         PySet_Check(protected_.ptr());
    py::set protected_cols;
    if (by_name) {
        for (py::handle c : protected_) protected_cols.add(py::str(c));
    } else if (truthy(protected_)) {
        tracker.attr("_protected_tables").attr("add")(table);
        tracker.attr("_native").attr("mark_table_protected")(table);
    }

    py::object entities_cache;  // shared by all columns when it is ours to compute
    for (py::handle col : df.attr("columns")) {
        py::str name(col);
        py::object col_protected =
            by_name ? py::object(py::bool_(protected_cols.contains(name))) : protected_;
        py::object pid = tracker.attr("register")(table, name, col_protected);
        py::object tainted = tracker.attr("is_protected")(table, name);

        py::object entities;
        py::object np = s.ns.get("np");
        if (!with_entity) {
            entities = np.attr("zeros")(n, py::arg("dtype") = np.attr("uint32"));
        } else {
            const long bits = small_constant("MODE_01_ENTITY_BITS", 63);
            const bool ours =
                bits >= 0 && class_attr_is(py::type::handle_of(tracker), "entity_from_row",
                                           s.own_entity_from_row) &&
                s.ns.is_unchanged("_hash_entity", s.own_hash_entity);
            if (ours) {
                if (!entities_cache) {
                    const uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : ((uint32_t{1} << bits) - 1u);
                    entities_cache = entities_of_index(df.attr("index"), mask);
                }
                entities = entities_cache;
            } else {
                entities = entities_by_protocol(tracker, df, n);
            }
        }
        py::object prov = as_uint32(s.ns.get("encode_source_column")(
            tracker.attr("_native"), pid, entities, tainted));
        result.attr("_col_prov")[col] = prov;
    }
    return result;
}

}  // namespace

void bind_dataframe(py::module_ m) {
    py::object cls = pyb::make_class("TrackedDataFrame", py::make_tuple(m.attr("pd").attr("DataFrame")),
                                     m, "Pandas DataFrame with ORVEX-32 provenance.");
    ModuleState& s = state();
    s.frame_cls = cls;
    py::list metadata;
    metadata.append("_tracker");
    metadata.append("_col_prov");
    py::setattr(cls, "_metadata", metadata);
    pyb::add_readonly_property(cls, "_constructor",
                               [](py::handle) { return state().ns.get("TrackedDataFrame"); });
    pyb::add_readonly_property(cls, "_constructor_sliced",
                               [](py::handle) { return state().ns.get("TrackedSeries"); });
    pyb::add_method(cls, "__init__", &frame_init);
    pyb::add_method(cls, "__finalize__", &frame_finalize, py::arg("other"),
                    py::arg("method") = py::none());
    pyb::add_method(cls, "__getitem__", &frame_getitem, py::arg("key"));
    pyb::add_method(cls, "__setitem__", &frame_setitem, py::arg("key"), py::arg("value"));
    add_override(cls, "merge", &frame_merge, py::arg("right"));
    m.attr("TrackedDataFrame") = cls;
}

void bind_wrap(py::module_ m) {
    m.def("wrap_dataframe", &wrap_dataframe, py::arg("df"), py::arg("tracker"), py::arg("table"),
          py::arg("protected") = false, py::arg("include_entity") = true,
          py::doc("Wrap a DataFrame with ORVEX-32 provenance. Sets taint for protected columns."));
}

}  // namespace corvane::orvex32_binding
