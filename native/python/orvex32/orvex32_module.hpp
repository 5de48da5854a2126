// Internal declarations shared by the binding files of corvane.utilities.orvex32.
#pragma once

#include "common.hpp"

#include <cstdint>

namespace corvane::orvex32_binding {

namespace py = pybind11;
namespace pyb = corvane::pyb;

/// Objects the module keeps between calls. Module-level collaborators are
/// still read from `ns` at call time; these are only our own originals (to
/// tell whether a subclass overrides something) and a few host helpers.
struct ModuleState {
    py::object module;
    pyb::ModuleNamespace ns;
    py::object builtin_super;
    py::object builtin_round;
    py::object op_neg, op_gt, op_lt, op_ge, op_le;
    py::object tracker_cls;
    py::object series_cls;
    py::object frame_cls;
    // Our own functions, compared by identity to pick the whole-array paths.
    py::object own_hash_entity;
    py::object own_entity_from_row;
    py::object own_get_depth;
    // The core's own batch function and tracker class, to recognise when the
    // fingerprint work may run on a native thread beside the values.
    py::object own_combine_batch;
    py::object native_tracker_cls;
    py::object ndarray_type;
    py::object ufunc_type;
};

/// The state of the one module instance; created by module.cpp and never
/// freed (extension modules of this kind are not unloaded).
ModuleState& state();
void init_state(py::module_ m);

// Registration, in the order the module binds its attributes.
void bind_imports(py::module_ m);
void bind_constants(py::module_ m);
void bind_records(py::module_ m);  // OpCode, ProvenanceInfo, _hash_entity
void bind_tracker(py::module_ m);
void bind_series(py::module_ m);
void bind_dataframe(py::module_ m);
void bind_wrap(py::module_ m);
void bind_audit(py::module_ m);

// ---- small helpers ---------------------------------------------------------

inline bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

/// An argument that must be an integer (int, bool, numpy integer...).
inline py::int_ require_index(py::handle o, const char* argname) {
    if (!PyIndex_Check(o.ptr())) {
        pyb::raise_arg_type(argname, &PyLong_Type, o.ptr());
    }
    PyObject* r = PyNumber_Index(o.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(r);
}

/// A collaborator's result that must be a number; converted with int().
inline py::int_ native_int(py::handle o) {
    if (PyLong_CheckExact(o.ptr())) return py::reinterpret_borrow<py::int_>(o);
    if (PyIndex_Check(o.ptr()) || PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr())) {
        return pyb::to_int(o);
    }
    return pyb::expect_int_result(o);  // raises "Expected int, got X"
}

inline py::object is_instance_or_throw(py::handle obj, py::handle cls, bool& out) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    out = r != 0;
    return py::none();
}

inline bool isinstance_of(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

/// super(cls, self), as a Python method body would write super().
inline py::object super_of(py::handle cls, py::handle self) {
    return state().builtin_super(cls, self);
}

/// Pops `key` from a kwargs dict, returning None when it is absent.
inline py::object pop_kwarg(py::dict& kwargs, const char* key) {
    PyObject* v = PyDict_GetItemString(kwargs.ptr(), key);  // borrowed
    if (v == nullptr) return py::none();
    py::object out = py::reinterpret_borrow<py::object>(v);
    if (PyDict_DelItemString(kwargs.ptr(), key) < 0) throw py::error_already_set();
    return out;
}

/// np.asarray(obj, dtype=np.uint32), with np read from the module.
inline py::object as_uint32(py::handle obj) {
    py::object np = state().ns.get("np");
    return np.attr("asarray")(obj, py::arg("dtype") = np.attr("uint32"));
}

/// The current value of a small non-negative int constant, or -1 when it was
/// rebound to something the native fast paths cannot use.
inline long small_constant(const char* name, long max_value) {
    py::object v = state().ns.get(name);
    if (!PyLong_CheckExact(v.ptr())) return -1;
    int overflow = 0;
    long x = PyLong_AsLongAndOverflow(v.ptr(), &overflow);
    if (overflow != 0 || x < 0 || x > max_value) {
        PyErr_Clear();
        return -1;
    }
    return x;
}

/// Places a C++ function on a class as a method that overrides one the class
/// inherits (pandas' clip, fillna, merge...). Unlike pyb::add_method it does
/// not chain onto the inherited attribute as an overload sibling: pybind11
/// refuses to do that for a non-pybind11 function with a public name.
template <typename Func, typename... Extra>
void add_override(py::object cls, const char* attr_name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(attr_name), py::is_method(cls), extra...);
    py::setattr(cls, attr_name, fn);
}

/// sorted(iterable) as a new list.
inline py::list sorted_list(py::handle iterable) {
    PyObject* lst = PySequence_List(iterable.ptr());
    if (lst == nullptr) throw py::error_already_set();
    if (PyList_Sort(lst) < 0) {
        Py_DECREF(lst);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::list>(lst);
}

/// "0x" followed by format(p, "08X").
inline py::str hex08(py::handle p) {
    py::str spec("08X");
    PyObject* r = PyObject_Format(p.ptr(), spec.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::str("0x") + py::reinterpret_steal<py::str>(r);
}

/// True when `cls.<name>` (as looked up on the class) is still `original`.
inline bool class_attr_is(py::handle cls, const char* name, py::handle original) {
    PyObject* v = PyObject_GetAttrString(cls.ptr(), name);
    if (v == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool same = v == original.ptr();
    Py_DECREF(v);
    return same;
}

/// Builds a TrackedSeries-like result from a pandas Series `result` carrying
/// `index`, without copying the values when that is safe (see bind_series.cpp).
py::object tracked_from_series(py::handle series_cls, py::handle result, py::handle index,
                               py::handle prov, py::handle tracker);

}  // namespace corvane::orvex32_binding
