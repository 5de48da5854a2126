// Internal declarations shared by the binding files of corvane.wrapper.
#pragma once

#include "common.hpp"

#include <initializer_list>
#include <string>
#include <unordered_map>

namespace corvane::wrapper {

namespace py = pybind11;
using corvane::pyb::ModuleNamespace;

/// Module-wide state: the namespace (for call-time look-ups) and the original
/// function objects this module bound, so a routine can tell whether a
/// collaborator is still its own native one (fast path) or was rebound by a
/// test or a user (call it through Python, exactly as named).
struct State {
    ModuleNamespace ns;
    std::unordered_map<std::string, py::object> originals;
    /// True when the orjson pair was bound at import (fixed for the process).
    bool orjson_backend = false;
};

State& state();

/// Binds `f` as module attribute `name` and remembers it as the original.
template <typename Func, typename... Extra>
void def_native(py::module_& m, const char* name, Func&& f, const Extra&... extra) {
    m.def(name, std::forward<Func>(f), extra...);
    state().originals[name] = m.attr(name);
}

/// True while module attribute `name` is still the object this module bound.
inline bool is_original(const char* name) {
    auto it = state().originals.find(name);
    return it != state().originals.end() && state().ns.is_unchanged(name, it->second);
}

/// Current binding of a module attribute, looked up at call time.
inline py::object lookup(const char* name) { return state().ns.get(name); }

/// An imported module (cached by the import system in sys.modules).
inline py::object import(const char* name) { return py::module_::import(name); }

/// True when the pending Python error is an ordinary exception (Exception
/// subclass); KeyboardInterrupt and SystemExit must pass through.
inline bool is_ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

/// Calls fn(*args, **kw) with interned keyword names. Some C extensions (the
/// orjson encoder among them) match keywords by identity with their interned
/// names, so keywords built from fresh strings would be refused.
inline py::object call_kw(py::handle fn, const py::tuple& args,
                          std::initializer_list<std::pair<const char*, py::handle>> kw) {
    py::dict kwargs;
    for (const auto& entry : kw) {
        PyObject* key = PyUnicode_InternFromString(entry.first);
        if (key == nullptr) {
            throw py::error_already_set();
        }
        int rc = PyDict_SetItem(kwargs.ptr(), key, entry.second.ptr());
        Py_DECREF(key);
        if (rc < 0) {
            throw py::error_already_set();
        }
    }
    PyObject* r = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (r == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(r);
}

/// Leaves a context manager after `e` was raised inside it (`with` semantics;
/// the exit's result is ignored: none of our managers suppress errors).
inline void exit_with_error(const py::object& manager, py::error_already_set& e) {
    py::object type = e.type() ? py::reinterpret_borrow<py::object>(e.type()) : py::none();
    py::object value = e.value() ? py::reinterpret_borrow<py::object>(e.value()) : py::none();
    py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
    manager.attr("__exit__")(type, value, trace);
}

/// Pauses the cyclic garbage collector while a builder creates many container
/// objects that are all reachable from its result: every one of them would
/// otherwise count toward a collection that can free nothing, and those
/// repeated passes over a growing heap cost more than the building itself.
/// The previous state is restored on every path.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// ---- native cores shared between binding files ---------------------------

/// The value pair (number, text) of one value; may raise like float()/str().
py::tuple gs_native(py::handle val);
/// Writes the pair into out_num/out_text (new references), avoiding a tuple.
void gs_split(py::handle val, py::object& out_num, py::object& out_text);

py::object sanitize_value_native(py::handle v);
py::list sanitize_list_native(py::handle lst);
py::list sanitize_rows_native(py::handle rows);
py::object serialize_native(py::handle arr);

py::list cn_native(py::handle X, py::handle fallback_prefix);
py::int_ rc_native(py::handle X);
py::list trd_native(py::handle X, py::handle cols);
py::list fo_native(py::handle outputs, py::handle n);

/// `text` with every occurrence of a non-empty `secret` replaced by a mask.
std::string mask_secret(const std::string& text, const std::string& secret);
/// The same for Python str objects; returns `text` itself when untouched.
py::str mask_secret(py::str text, py::handle secret);

// ---- registration ----------------------------------------------------------

void register_sanitise(py::module_& m);
void register_transport(py::module_& m);
void register_sources(py::module_& m);
void register_models(py::module_& m);
void register_sync(py::module_& m);

}  // namespace corvane::wrapper
