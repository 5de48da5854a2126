#include "codec_support.hpp"

namespace corvane::fastcodec {

namespace {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) {
        throw py::error_already_set();
    }
    return s;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) {
        throw py::error_already_set();
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

Names build_names() {
    Names n{};
    n.orjson = intern("orjson");
    n.numpy_opt = intern("_NUMPY_OPT");
    n.json = intern("json");
    n.numpy_encoder = intern("_NumpyEncoder");
    n.date = intern("date");
    n.datetime = intern("datetime");
    n.dumps = intern("dumps");
    n.loads = intern("loads");
    n.dunder_name = intern("__name__");
    n.opt_indent_2 = intern("OPT_INDENT_2");
    n.opt_sort_keys = intern("OPT_SORT_KEYS");
    n.default_ = intern("default");
    n.option = intern("option");
    n.cls = intern("cls");
    n.indent = intern("indent");
    n.sort_keys = intern("sort_keys");
    n.kw_option = tuple_of({n.option});
    n.kw_default_option = tuple_of({n.default_, n.option});
    n.kw_cls_indent_sort = tuple_of({n.cls, n.indent, n.sort_keys});
    return n;
}

}  // namespace

const Names& names() {
    // Deliberately leaked: see the note on Names.
    static const Names* instance = new Names(build_names());
    return *instance;
}

PyObject* lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);  // borrowed
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const Py_ssize_t n_params = sig.n_parameters;
    for (Py_ssize_t i = 0; i < n_params; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    // Same order of checks as the interpreter uses for a Python function:
    // keywords first, then the positional count, then missing arguments.
    const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < n_params; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.parameter_names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function_name, key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.function_name, sig.parameter_names[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    if (nargs > n_params) {
        if (sig.n_required == n_params) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes %zd positional argument%s but %zd were given",
                         sig.function_name, n_params, n_params == 1 ? "" : "s", nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd were given",
                         sig.function_name, sig.n_required, n_params, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.n_required; ++i) {
        if (out[i] == nullptr) {
            // Every signature here has exactly one required parameter.
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         sig.function_name, sig.parameter_names[i]);
            return false;
        }
    }
    return true;
}

py::object make_module_function(PyMethodDef* def, py::module_ module) {
    py::object module_name = module.attr("__name__");
    PyObject* fn = PyCMethod_New(def, module.ptr(), module_name.ptr(), nullptr);
    if (fn == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(fn);
}

void register_backend(py::module_ m) {
    m.doc() =
        "Fast JSON serialisation through orjson, a compiled JSON library, with a\n"
        "standard-library fallback.\n\n"
        "When orjson cannot be imported, the standard json module is used with a\n"
        "custom encoder that covers the same numpy types (integer, floating and\n"
        "boolean scalars, arrays) and datetime/date values.";
    (void)names();  // intern the call-time names while importing, not on a first call
    try {
        register_orjson_backend(m);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        register_stdlib_backend(m);
    }
}

}  // namespace corvane::fastcodec
