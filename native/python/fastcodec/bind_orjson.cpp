// The orjson back-end: dumps/loads call orjson's own functions through the
// vectorcall protocol and build the result str straight from the bytes
// buffer, so a call costs orjson's work plus a handful of dictionary reads.
#include "codec_support.hpp"

namespace corvane::fastcodec {

namespace {

const char* const kDumpsParams[] = {"obj", "default", "indent", "sort_keys"};
const Signature kDumpsSignature{"dumps", kDumpsParams, 4, 1};
const char* const kLoadsParams[] = {"s"};
const Signature kLoadsSignature{"loads", kLoadsParams, 1, 1};

/// Truthiness of an optional argument; an omitted one counts as false.
int truthy(PyObject* value) {
    return value == nullptr ? 0 : PyObject_IsTrue(value);
}

/// opts | orjson.<flag>, read from the orjson module on this call.
py::object or_flag(py::object opts, PyObject* orjson_module, PyObject* flag_name) {
    py::object flag = py::reinterpret_steal<py::object>(PyObject_GetAttr(orjson_module, flag_name));
    if (!flag) {
        throw py::error_already_set();
    }
    PyObject* combined = PyNumber_InPlaceOr(opts.ptr(), flag.ptr());
    if (combined == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(combined);
}

PyObject* orjson_dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!bind_arguments(kDumpsSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyObject* obj = bound[0];
        PyObject* default_fn = bound[1] == nullptr ? Py_None : bound[1];
        const Names& n = names();
        PyObject* globals = PyModule_GetDict(module);  // borrowed

        // Module attributes are read on every call so that rebinding them
        // (a test double, a user's patch) takes effect immediately.
        PyObject* numpy_opt = lookup_global(globals, n.numpy_opt);
        if (numpy_opt == nullptr) {
            return nullptr;
        }
        py::object opts = py::reinterpret_borrow<py::object>(numpy_opt);
        const int indent_on = truthy(bound[2]);
        if (indent_on < 0) {
            return nullptr;
        }
        PyObject* orjson_module = nullptr;
        if (indent_on) {
            if ((orjson_module = lookup_global(globals, n.orjson)) == nullptr) {
                return nullptr;
            }
            opts = or_flag(std::move(opts), orjson_module, n.opt_indent_2);
        }
        const int sort_on = truthy(bound[3]);
        if (sort_on < 0) {
            return nullptr;
        }
        if (sort_on) {
            if (orjson_module == nullptr &&
                (orjson_module = lookup_global(globals, n.orjson)) == nullptr) {
                return nullptr;
            }
            opts = or_flag(std::move(opts), orjson_module, n.opt_sort_keys);
        }
        if (orjson_module == nullptr &&
            (orjson_module = lookup_global(globals, n.orjson)) == nullptr) {
            return nullptr;
        }
        py::object dumps_fn =
            py::reinterpret_steal<py::object>(PyObject_GetAttr(orjson_module, n.dumps));
        if (!dumps_fn) {
            return nullptr;
        }

        py::object encoded;
        if (default_fn != Py_None) {
            PyObject* call_args[] = {obj, default_fn, opts.ptr()};
            encoded = py::reinterpret_steal<py::object>(
                PyObject_Vectorcall(dumps_fn.ptr(), call_args, 1, n.kw_default_option));
        } else {
            PyObject* call_args[] = {obj, opts.ptr()};
            encoded = py::reinterpret_steal<py::object>(
                PyObject_Vectorcall(dumps_fn.ptr(), call_args, 1, n.kw_option));
        }
        if (!encoded) {
            return nullptr;
        }
        if (PyBytes_CheckExact(encoded.ptr())) {
            return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.ptr()),
                                        PyBytes_GET_SIZE(encoded.ptr()), "strict");
        }
        // Whatever stands in for orjson.dumps is asked to decode itself.
        return PyObject_CallMethod(encoded.ptr(), "decode", "s", "utf-8");
    });
}

PyObject* orjson_loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kLoadsSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyObject* orjson_module = lookup_global(PyModule_GetDict(module), names().orjson);
        if (orjson_module == nullptr) {
            return nullptr;
        }
        py::object loads_fn =
            py::reinterpret_steal<py::object>(PyObject_GetAttr(orjson_module, names().loads));
        if (!loads_fn) {
            return nullptr;
        }
        return PyObject_Vectorcall(loads_fn.ptr(), bound, 1, nullptr);
    });
}

PyMethodDef kDumpsDef = {
    "dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(orjson_dumps)),
    METH_FASTCALL | METH_KEYWORDS,
    "dumps($module, /, obj, default=None, indent=None, sort_keys=False)\n--\n\n"
    "Serialize to JSON string. Uses orjson for speed.\n\n"
    "Handles numpy scalars, numpy arrays, datetime and date objects natively\n"
    "and returns a Python str (not bytes)."};

PyMethodDef kLoadsDef = {
    "loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(orjson_loads)),
    METH_FASTCALL | METH_KEYWORDS,
    "loads($module, /, s)\n--\n\n"
    "Deserialize from JSON string. Uses orjson for speed."};

}  // namespace

void register_orjson_backend(py::module_ m) {
    PyObject* orjson_module = PyImport_ImportModule("orjson");
    if (orjson_module == nullptr) {
        throw py::error_already_set();
    }
    py::object orjson = py::reinterpret_steal<py::object>(orjson_module);
    m.attr("orjson") = orjson;
    m.attr("_NUMPY_OPT") = orjson.attr("OPT_SERIALIZE_NUMPY");
    m.attr("dumps") = make_module_function(&kDumpsDef, m);
    m.attr("loads") = make_module_function(&kLoadsDef, m);
    m.attr("BACKEND") = py::str("orjson");
}

}  // namespace corvane::fastcodec
