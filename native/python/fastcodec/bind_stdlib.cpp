// The standard-library back-end: json.dumps with an encoder class whose
// default() converts numpy scalars and arrays and datetime/date values.
// The encoder classes are real Python classes deriving from
// json.JSONEncoder, with C++ methods.
#include "codec_support.hpp"

namespace corvane::fastcodec {

namespace {

const char* const kDumpsParams[] = {"obj", "default", "indent", "sort_keys"};
const Signature kDumpsSignature{"dumps", kDumpsParams, 4, 1};
const char* const kLoadsParams[] = {"s"};
const Signature kLoadsSignature{"loads", kLoadsParams, 1, 1};

/// Marks `exc` as the exception being handled for the lifetime of the scope,
/// so that an error raised meanwhile gets it as __context__, as it would when
/// raised inside a Python `except` block.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingScope() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* saved_;
};

py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

/// super(cls, self).default(obj): the next encoder's conversion in the MRO.
py::object super_default(py::handle cls, py::handle self, py::handle obj) {
    py::object sup = steal_or_throw(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PySuper_Type), cls.ptr(), self.ptr(), nullptr));
    py::object method = steal_or_throw(PyObject_GetAttr(sup.ptr(), names().default_));
    return steal_or_throw(PyObject_CallOneArg(method.ptr(), obj.ptr()));
}

bool is_instance(py::handle obj, py::handle module, const char* type_name) {
    py::object type = module.attr(type_name);
    const int r = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

bool is_instance_of_global(py::handle obj, PyObject* globals, PyObject* name) {
    PyObject* type = lookup_global(globals, name);
    if (type == nullptr) {
        throw py::error_already_set();
    }
    const int r = PyObject_IsInstance(obj.ptr(), type);
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

/// _NumpyEncoder.default. `encoder_cls` is the class the method was defined
/// on and `globals` the module namespace it reads date/datetime from.
py::object numpy_default(py::handle encoder_cls, PyObject* globals, py::handle self,
                         py::handle obj) {
    // numpy is imported on every call: it is optional, and a process may
    // load it after this module.
    PyObject* np_ptr = PyImport_ImportModule("numpy");
    if (np_ptr == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw py::error_already_set();
        }
        py::error_already_set import_error;
        HandlingScope handling(import_error.value().ptr());
        return super_default(encoder_cls, self, obj);
    }
    py::object np = py::reinterpret_steal<py::object>(np_ptr);
    if (is_instance(obj, np, "integer")) {
        return steal_or_throw(PyNumber_Long(obj.ptr()));
    }
    if (is_instance(obj, np, "floating")) {
        return steal_or_throw(PyNumber_Float(obj.ptr()));
    }
    if (is_instance(obj, np, "bool_")) {
        const int truth = PyObject_IsTrue(obj.ptr());
        if (truth < 0) {
            throw py::error_already_set();
        }
        return py::bool_(truth == 1);
    }
    if (is_instance(obj, np, "ndarray")) {
        return obj.attr("tolist")();
    }
    if (is_instance_of_global(obj, globals, names().datetime) ||
        is_instance_of_global(obj, globals, names().date)) {
        return obj.attr("isoformat")();
    }
    return super_default(encoder_cls, self, obj);
}

/// Builds `name` with the metaclass of `base`, as a class statement would.
py::object make_encoder_class(py::handle base, py::handle module_name, const char* name,
                              const char* qualname, const char* doc) {
    py::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = qualname;
    ns["__doc__"] = doc == nullptr ? py::object(py::none()) : py::object(py::str(doc));
    py::tuple bases = py::make_tuple(base);
    py::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.ptr()));
    return metaclass(name, bases, ns);
}

/// The per-call encoder that falls back to the caller's `default` when the
/// numpy conversion refuses a value. A fresh class per call, since it
/// captures the caller's function.
py::object make_combined_encoder(py::handle base, py::handle module_name, py::object user_default) {
    py::object cls = make_encoder_class(base, module_name, "_Combined",
                                        "dumps.<locals>._Combined", nullptr);
    // A weak reference: the class owns this method, and a strong one would
    // form a cycle the collector cannot see through, leaking a class per call.
    py::weakref cls_ref(cls);
    py::cpp_function method(
        [cls_ref, user_default](py::object self, py::object o) -> py::object {
            py::object owner = cls_ref();
            if (owner.is_none()) {
                throw py::value_error("the encoder class of this method no longer exists");
            }
            try {
                return super_default(owner, self, o);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_TypeError)) {
                    throw;
                }
                HandlingScope handling(e.value().ptr());
                return user_default(o);
            }
        },
        py::name("default"), py::is_method(cls), py::arg("o"));
    py::setattr(cls, "default", method);
    return cls;
}

PyObject* stdlib_dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!bind_arguments(kDumpsSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const Names& n = names();
        PyObject* globals = PyModule_GetDict(module);  // borrowed
        PyObject* obj = bound[0];
        PyObject* default_fn = bound[1] == nullptr ? Py_None : bound[1];
        PyObject* indent = bound[2] == nullptr ? Py_None : bound[2];
        PyObject* sort_keys = bound[3] == nullptr ? Py_False : bound[3];

        py::object encoder;
        if (default_fn != Py_None) {
            PyObject* base = lookup_global(globals, n.numpy_encoder);
            if (base == nullptr) {
                return nullptr;
            }
            PyObject* module_name = lookup_global(globals, n.dunder_name);
            if (module_name == nullptr) {
                return nullptr;
            }
            encoder = make_combined_encoder(base, module_name,
                                            py::reinterpret_borrow<py::object>(default_fn));
        }
        PyObject* json_module = lookup_global(globals, n.json);
        if (json_module == nullptr) {
            return nullptr;
        }
        py::object dumps_fn = steal_or_throw(PyObject_GetAttr(json_module, n.dumps));
        if (!encoder) {
            PyObject* base = lookup_global(globals, n.numpy_encoder);
            if (base == nullptr) {
                return nullptr;
            }
            encoder = py::reinterpret_borrow<py::object>(base);
        }
        PyObject* call_args[] = {obj, encoder.ptr(), indent, sort_keys};
        return PyObject_Vectorcall(dumps_fn.ptr(), call_args, 1, n.kw_cls_indent_sort);
    });
}

PyObject* stdlib_loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kLoadsSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyObject* json_module = lookup_global(PyModule_GetDict(module), names().json);
        if (json_module == nullptr) {
            return nullptr;
        }
        py::object loads_fn = steal_or_throw(PyObject_GetAttr(json_module, names().loads));
        return PyObject_Vectorcall(loads_fn.ptr(), bound, 1, nullptr);
    });
}

PyMethodDef kDumpsDef = {
    "dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stdlib_dumps)),
    METH_FASTCALL | METH_KEYWORDS,
    "dumps($module, /, obj, default=None, indent=None, sort_keys=False)\n--\n\n"
    "Serialize to JSON string. Stdlib fallback with numpy support."};

PyMethodDef kLoadsDef = {
    "loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stdlib_loads)),
    METH_FASTCALL | METH_KEYWORDS,
    "loads($module, /, s)\n--\n\n"
    "Deserialize from JSON string. Stdlib fallback."};

}  // namespace

void register_stdlib_backend(py::module_ m) {
    py::module_ json = py::module_::import("json");
    m.attr("json") = json;
    py::module_ datetime_module = py::module_::import("datetime");
    m.attr("date") = datetime_module.attr("date");
    m.attr("datetime") = datetime_module.attr("datetime");

    py::object encoder = make_encoder_class(
        json.attr("JSONEncoder"), m.attr("__name__"), "_NumpyEncoder", "_NumpyEncoder",
        "JSON encoder that handles numpy types for the stdlib fallback.");
    // The method keeps its class and the module namespace alive (the class
    // lives as long as the module anyway), as a Python method's __class__
    // cell and __globals__ would.
    py::object globals = m.attr("__dict__");
    py::object encoder_cls = encoder;
    py::cpp_function method(
        [encoder_cls, globals](py::object self, py::object obj) -> py::object {
            return numpy_default(encoder_cls, globals.ptr(), self, obj);
        },
        py::name("default"), py::is_method(encoder), py::arg("obj"));
    py::setattr(encoder, "default", method);
    m.attr("_NumpyEncoder") = encoder;

    m.attr("dumps") = make_module_function(&kDumpsDef, m);
    m.attr("loads") = make_module_function(&kLoadsDef, m);
    m.attr("BACKEND") = py::str("json");
}

}  // namespace corvane::fastcodec
