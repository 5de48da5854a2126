// Module state and the names the module imports.
#include "common.hpp"
#include "dag_module.hpp"

#include <limits>

namespace corvane::dag_binding {

namespace {
ModuleState* g_state = nullptr;
}

ModuleState& state() { return *g_state; }

void init_state(py::module_ m) {
    // Never freed: the module is not unloaded, and tearing Python objects
    // down at interpreter exit would run after the interpreter is gone.
    g_state = new ModuleState();
    g_state->module = m;
    g_state->ns = pyb::ModuleNamespace(m);
}

void bind_imports(py::module_ m) {
    ModuleState& s = state();
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Dict", "List", "Optional", "Any"}) {
        m.attr(name) = typing.attr(name);
    }
    m.attr("json") = py::module_::import("json");
    m.attr("logging") = py::module_::import("logging");
    m.attr("threading") = py::module_::import("threading");
    m.attr("deque") = py::module_::import("collections").attr("deque");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");

    py::module_ base = py::module_::import("corvane.utilities.orvex32");
    for (const char* name : {"ProvenanceTracker", "TrackedSeries", "TrackedDataFrame", "OpCode",
                             "MAX_PAIRS", "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS",
                             "_hash_entity"}) {
        m.attr(name) = base.attr(name);
    }
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    s.base_tracker_cls = base.attr("ProvenanceTracker");
    s.orvex32_ns_dict = base.attr("__dict__");
    s.own_hash_entity = base.attr("_hash_entity");
    s.pd_series = m.attr("pd").attr("Series");
    s.pd_frame = m.attr("pd").attr("DataFrame");
    py::module_ native = py::module_::import("corvane._orvex32");
    s.native_tracker_type = native.attr("NativeProvenanceTracker");
    s.combine_batch = native.attr("combine_batch");
    s.update_chain_batch = native.attr("update_chain_batch");
    s.lock_type = m.attr("threading").attr("Lock");
}

std::int64_t as_i64(py::handle o) {
    py::int_ v = pyb::to_int(o);
    long long r = PyLong_AsLongLong(v.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(r);
}

py::int_ number_arg(py::handle o, const char* argname) {
    PyObject* r = PyNumber_Check(o.ptr()) ? PyNumber_Long(o.ptr()) : nullptr;
    if (r == nullptr) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%.200s must be an int, got %.200s", argname,
                     Py_TYPE(o.ptr())->tp_name);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::int_>(r);
}

std::uint32_t as_fingerprint(py::handle o, const char* argname) {
    py::int_ v = number_arg(o, argname);
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || r < 0 || r > 0xFFFFFFFFLL) {
        // Fingerprints are 32-bit; anything else would be stored truncated.
        PyErr_Format(PyExc_OverflowError,
                     "%.200s must be a 32-bit fingerprint (0 to 4294967295)", argname);
        throw py::error_already_set();
    }
    return static_cast<std::uint32_t>(r);
}

}  // namespace corvane::dag_binding
