// Helpers shared by the codec's binding files: call-time namespace look-ups,
// Python-style argument parsing for vectorcall functions, and the guard that
// turns C++ exceptions into Python errors at the C boundary.
#pragma once

#include "common.hpp"

#include <new>

namespace corvane::fastcodec {

namespace py = pybind11;

/// Interned attribute and keyword names, made once per process. They are
/// never released: the module cannot be unloaded, and freeing them during
/// interpreter shutdown would race the interpreter's own teardown.
struct Names {
    PyObject* orjson;
    PyObject* numpy_opt;
    PyObject* json;
    PyObject* numpy_encoder;
    PyObject* date;
    PyObject* datetime;
    PyObject* dumps;
    PyObject* loads;
    PyObject* opt_indent_2;
    PyObject* opt_sort_keys;
    PyObject* default_;
    PyObject* option;
    PyObject* dunder_name;
    PyObject* cls;
    PyObject* indent;
    PyObject* sort_keys;
    PyObject* kw_option;               // ("option",)
    PyObject* kw_default_option;       // ("default", "option")
    PyObject* kw_cls_indent_sort;      // ("cls", "indent", "sort_keys")
};

/// The process-wide interned names; built on first use under the GIL.
const Names& names();

/// The value bound to `name` in the namespace `globals` (borrowed), or
/// nullptr with NameError set, exactly like a global name read in a function.
PyObject* lookup_global(PyObject* globals, PyObject* name);

/// Describes a plain Python signature `f(a, b=..., ...)`: positional-or-keyword
/// parameters, the first `n_required` without defaults.
struct Signature {
    const char* function_name;
    const char* const* parameter_names;
    Py_ssize_t n_parameters;
    Py_ssize_t n_required;
};

/// Binds vectorcall arguments to the parameters of `sig`, writing borrowed
/// references into `out` (nullptr for an omitted parameter). On a binding
/// error sets the TypeError an equivalent Python function would raise, with
/// the same text, and returns false.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

/// Runs `body` (returning a new reference or nullptr with an error set) and
/// converts any C++ exception into the matching Python error, since nothing
/// may unwind through the interpreter's C frames.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in fastcodec");
    }
    return nullptr;
}

/// Makes a module-level builtin function of `module` from a static method
/// table entry, so it reports the module's name and carries its own text
/// signature for inspect.
py::object make_module_function(PyMethodDef* def, py::module_ module);

void register_orjson_backend(py::module_ m);
void register_stdlib_backend(py::module_ m);
void register_backend(py::module_ m);

}  // namespace corvane::fastcodec
