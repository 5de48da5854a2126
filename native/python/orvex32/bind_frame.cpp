// Module frame: imports, the native core binding, layout constants, OpCode,
// ProvenanceInfo and the entity hash.
#include "common.hpp"
#include "orvex32_module.hpp"

#include <utility>
#include <vector>

namespace corvane::orvex32_binding {

ModuleState& state() {
    // Never freed: the interpreter may still call our functions while it
    // tears modules down, and the objects are owned by the module anyway.
    static ModuleState* s = new ModuleState();
    return *s;
}

void init_state(py::module_ m) {
    ModuleState& s = state();
    s.module = m;
    s.ns = pyb::ModuleNamespace(m);
    py::module_ builtins = py::module_::import("builtins");
    s.builtin_super = builtins.attr("super");
    s.builtin_round = builtins.attr("round");
    py::module_ op = py::module_::import("operator");
    s.op_neg = op.attr("neg");
    s.op_gt = op.attr("gt");
    s.op_lt = op.attr("lt");
    s.op_ge = op.attr("ge");
    s.op_le = op.attr("le");
}

namespace {

constexpr const char* kCoreModule = "corvane._orvex32";
constexpr const char* kNativeNames[] = {
    "NativeProvenanceTracker", "combine_batch",    "update_chain_batch", "encode_source_column",
    "is_tainted_batch",        "risk_score_batch", "explain_batch",
};

constexpr const char* kMissingCoreMessage =
    "The native ORVEX-32 extension (corvane._orvex32) was not found. Build it by running "
    "`pip install .` from the project root (or the developer build `tools/devbuild.sh`).";

/// Replaces the pending ImportError by ours. The caught one stays attached as
/// the context (as a raise inside an except block would leave it), with no
/// explicit cause; PyErr_Restore is used so that no exception the importer
/// happens to be handling overwrites that context.
[[noreturn]] void raise_missing_core(py::error_already_set& caught) {
    caught.restore();
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* exc = PyObject_CallFunction(PyExc_ImportError, "s", kMissingCoreMessage);
    if (exc == nullptr) {
        Py_XDECREF(value);
        throw py::error_already_set();
    }
    PyException_SetContext(exc, value);  // steals `value`
    Py_INCREF(PyExc_ImportError);
    PyErr_Restore(PyExc_ImportError, exc, nullptr);
    throw py::error_already_set();
}

/// `from corvane._orvex32 import <names>`: a missing name is an ImportError,
/// worded as the import statement words it.
std::vector<std::pair<const char*, py::object>> import_native_names() {
    py::module_ core = py::module_::import(kCoreModule);
    std::vector<std::pair<const char*, py::object>> out;
    for (const char* name : kNativeNames) {
        PyObject* v = PyObject_GetAttrString(core.ptr(), name);
        if (v == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                         kCoreModule);
            throw py::error_already_set();
        }
        out.emplace_back(name, py::reinterpret_steal<py::object>(v));
    }
    return out;
}

py::int_ hash_entity(py::handle row_id) {
    if (row_id.is_none()) return py::int_(0);
    Py_hash_t h = PyObject_Hash(row_id.ptr());
    if (h == -1 && PyErr_Occurred()) throw py::error_already_set();
    // The low 32 bits of the two's-complement hash, as hash(x) & 0xFFFFFFFF.
    auto low = static_cast<uint32_t>(static_cast<uint64_t>(h) & 0xFFFFFFFFull);
    return py::int_(static_cast<unsigned long>(low));
}

}  // namespace

void bind_imports(py::module_ m) {
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Dict", "Set", "List", "Tuple", "Optional", "Any", "NamedTuple"}) {
        m.attr(name) = typing.attr(name);
    }
    m.attr("math") = py::module_::import("math");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");

    std::vector<std::pair<const char*, py::object>> native;
    try {
        native = import_native_names();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise_missing_core(e);
    }
    for (auto& [name, value] : native) m.attr(name) = value;
    ModuleState& s = state();
    s.own_combine_batch = m.attr("combine_batch");
    s.native_tracker_cls = m.attr("NativeProvenanceTracker");
    s.ndarray_type = m.attr("np").attr("ndarray");
    s.ufunc_type = m.attr("np").attr("ufunc");
}

void bind_constants(py::module_ m) {
    const std::pair<const char*, long> constants[] = {
        {"MAX_PAIRS", 512},       {"MODE_01", 0},          {"MODE_2", 1},
        {"MODE_3", 2},            {"MODE_DENSE", 3},       {"HEADER_BITS", 6},
        {"PAYLOAD_BITS", 26},     {"MODE_SHIFT", 30},      {"TAINT_SHIFT", 29},
        {"DEPTH_SHIFT", 26},      {"PAYLOAD_MASK", -1},    {"MODE_01_PAIR_BITS", 10},
        {"MODE_01_ENTITY_BITS", 8}, {"MODE_01_CHAIN_BITS", 8}, {"MODE_2_PAIR_BITS", 17},
        {"MODE_2_ENTITY_BITS", 5}, {"MODE_2_CHAIN_BITS", 4}, {"MODE_3_PAIR_BITS", 25},
        {"MODE_DENSE_SIG_BITS", 26}, {"MAX_DEPTH", 7},
    };
    for (const auto& [name, value] : constants) {
        if (value == -1) {
            // Derived from the payload width bound just before it.
            py::int_ bits = m.attr("PAYLOAD_BITS");
            m.attr(name) = (py::int_(1) << bits) - py::int_(1);
        } else {
            m.attr(name) = py::int_(value);
        }
    }
}

void bind_records(py::module_ m) {
    // OpCode: a plain class of int attributes, usable wherever an int is.
    py::object opcode = pyb::make_class("OpCode", py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), m,
                                        "Operation codes for chain hash computation.");
    const std::pair<const char*, long> codes[] = {
        {"RAW", 0}, {"ADD", 1}, {"SUB", 2},   {"MUL", 3},   {"DIV", 4},    {"NEG", 5},    {"CLIP", 6},
        {"FILL", 7}, {"MAP", 8}, {"CMP", 9}, {"MERGE", 10}, {"AGG", 11}, {"CUSTOM", 15},
    };
    for (const auto& [name, value] : codes) py::setattr(opcode, name, py::int_(value));
    m.attr("OpCode") = opcode;

    // ProvenanceInfo: a genuine typing.NamedTuple class.
    py::module_ typing = py::module_::import("typing");
    py::object int_t = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type));
    py::object bool_t = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBool_Type));
    py::object str_t = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::list fields;
    fields.append(py::make_tuple("pairs", typing.attr("Set")[int_t]));
    fields.append(py::make_tuple("entity", int_t));
    fields.append(py::make_tuple("chain", int_t));
    fields.append(py::make_tuple("taint", bool_t));
    fields.append(py::make_tuple("depth", int_t));
    fields.append(py::make_tuple("mode", str_t));
    py::object info = typing.attr("NamedTuple")("ProvenanceInfo", fields);
    info.attr("__doc__") = "Full decoded provenance \u2014 includes taint and depth from header.";
    info.attr("__module__") = m.attr("__name__");
    info.attr("__qualname__") = "ProvenanceInfo";
    m.attr("ProvenanceInfo") = info;

    m.def("_hash_entity", &hash_entity, py::arg("row_id"),
          py::doc("Hash a row identifier to entity bits."));
    state().own_hash_entity = m.attr("_hash_entity");
}

}  // namespace corvane::orvex32_binding
