// Shared binding helpers. Every binding translation unit includes this header
// first, so argument checks, error texts and class-building helpers behave the
// same in every extension module.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

namespace corvane::pyb {

namespace py = pybind11;

/// The TypeError text for an argument of the wrong type, as the rest of the
/// Python ecosystem formats it (names truncated to 200 characters).
inline constexpr const char* kArgTypeFormat =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

/// The TypeError text for a collaborator result of the wrong type.
inline constexpr const char* kExpectedFormat = "Expected %.200s, got %.200s";

/// Attaches a note to the exception currently set in the interpreter.
/// Failing to add the note must never hide the original error.
inline void add_note_to_current_error(const char* note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
    if (value != nullptr) {
        PyObject* res = PyObject_CallMethod(value, "add_note", "s", note);
        if (res == nullptr) {
            PyErr_Clear();
        } else {
            Py_DECREF(res);
        }
    }
    PyErr_SetRaisedException(value);
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        PyObject* res = PyObject_CallMethod(value, "add_note", "s", note);
        if (res == nullptr) {
            PyErr_Clear();
        } else {
            Py_DECREF(res);
        }
    }
    PyErr_Restore(type, value, tb);
#endif
}

/// Raises the argument TypeError for `obj` (which is not of type `expected`).
/// A subclass of the expected built-in type gets a note explaining that
/// subclasses are refused on purpose: the message alone would look absurd
/// ("expected dict, got OrderedDict").
[[noreturn]] inline void raise_arg_type(const char* argname, PyTypeObject* expected,
                                        PyObject* obj) {
    PyErr_Format(PyExc_TypeError, kArgTypeFormat, argname, expected->tp_name,
                 Py_TYPE(obj)->tp_name);
    if (PyObject_TypeCheck(obj, expected)) {
        add_note_to_current_error(
            "Only the exact built-in type is accepted here; instances of its "
            "subclasses are rejected. Convert the value first, for example with "
            "list(...), dict(...), set(...) or str(...).");
    }
    throw py::error_already_set();
}

/// Exact-type check for arguments declared as str, list, dict or set.
inline void require_exact(py::handle obj, PyTypeObject* expected, const char* argname) {
    if (Py_TYPE(obj.ptr()) != expected) {
        raise_arg_type(argname, expected, obj.ptr());
    }
}

/// Exact-type check that also lets None through (Optional[...] arguments).
inline void require_exact_or_none(py::handle obj, PyTypeObject* expected,
                                  const char* argname) {
    if (!obj.is_none()) {
        require_exact(obj, expected, argname);
    }
}

inline void require_str(py::handle obj, const char* argname) {
    require_exact(obj, &PyUnicode_Type, argname);
}
inline void require_list(py::handle obj, const char* argname) {
    require_exact(obj, &PyList_Type, argname);
}
inline void require_dict(py::handle obj, const char* argname) {
    require_exact(obj, &PyDict_Type, argname);
}
inline void require_set(py::handle obj, const char* argname) {
    require_exact(obj, &PySet_Type, argname);
}

/// Converts an argument declared as `int`: any number is accepted and passed
/// through int(), as the host would.
inline py::int_ to_int(py::handle obj) {
    PyObject* r = PyNumber_Long(obj.ptr());
    if (r == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::int_>(r);
}

/// Raises "Expected int, got X" unless a collaborator handed back an int.
inline py::int_ expect_int_result(py::handle obj) {
    if (!PyLong_Check(obj.ptr())) {
        PyErr_Format(PyExc_TypeError, kExpectedFormat, "int", Py_TYPE(obj.ptr())->tp_name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::int_>(obj);
}

/// Raises "Expected <name>, got X" unless `obj` is an instance of `expected`.
inline void expect_type_result(py::handle obj, PyTypeObject* expected) {
    if (!PyObject_TypeCheck(obj.ptr(), expected)) {
        PyErr_Format(PyExc_TypeError, kExpectedFormat, expected->tp_name,
                     Py_TYPE(obj.ptr())->tp_name);
        throw py::error_already_set();
    }
}

/// A module's namespace, read at call time. Module-level collaborators are
/// looked up by name on every call so that rebinding a module attribute (a
/// test double, a user's patch) takes effect on the next call.
class ModuleNamespace {
public:
    ModuleNamespace() = default;
    explicit ModuleNamespace(py::module_ module) : dict_(module.attr("__dict__")) {}

    /// The current binding of `name`; NameError when it was deleted.
    py::object get(const char* name) const {
        PyObject* value = PyDict_GetItemString(dict_.ptr(), name);  // borrowed
        if (value == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }

    /// True when `name` is still bound to exactly `original` (used to pick the
    /// native fast path only while nobody has rebound the collaborator).
    bool is_unchanged(const char* name, py::handle original) const {
        PyObject* value = PyDict_GetItemString(dict_.ptr(), name);
        return value != nullptr && value == original.ptr();
    }

    py::dict dict() const { return dict_; }

private:
    py::dict dict_;
};

/// Builds a Python class with type(name, bases, ns), so it can derive from
/// pandas classes or plain object and carry an instance __dict__.
inline py::object make_class(const char* name, py::tuple bases, py::module_ module,
                             const char* doc) {
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = name;
    if (doc != nullptr) {
        ns["__doc__"] = doc;
    }
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, bases, ns);
}

/// Places a C++ function on a type()-built class as an ordinary method.
/// pybind11's is_method wraps it as an instance method, so it binds `self`.
/// Special names such as __init__ are stored under the class attribute only:
/// a cpp_function named __init__ is mistaken for a pybind11 constructor.
template <typename Func, typename... Extra>
void add_method(py::object cls, const char* attr_name, Func&& f, const Extra&... extra) {
    std::string internal_name = attr_name;
    if (internal_name == "__init__" || internal_name == "__setstate__") {
        internal_name = "_native" + internal_name;
    }
    py::cpp_function fn(std::forward<Func>(f), py::name(internal_name.c_str()),
                        py::is_method(cls),
                        py::sibling(py::getattr(cls, attr_name, py::none())), extra...);
    py::setattr(cls, attr_name, fn);
}

/// Places a C++ function on a class as a staticmethod.
template <typename Func, typename... Extra>
void add_static_method(py::object cls, const char* attr_name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(attr_name), py::scope(cls), extra...);
    py::setattr(cls, attr_name, py::staticmethod(fn));
}

/// Places a read-only property whose getter is a C++ function taking self.
template <typename Func>
void add_readonly_property(py::object cls, const char* attr_name, Func&& getter,
                           const char* doc = nullptr) {
    py::cpp_function fget(std::forward<Func>(getter), py::name(attr_name));
    py::object property = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyProperty_Type));
    py::setattr(cls, attr_name,
                property(fget, py::none(), py::none(), doc ? py::str(doc) : py::object(py::none())));
}

/// Releases the GIL for the lifetime of the object; use around loops that
/// touch no Python object.
using ReleaseGil = py::gil_scoped_release;

}  // namespace corvane::pyb
