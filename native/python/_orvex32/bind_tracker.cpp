// NativeProvenanceTracker: registry, scalar packing/decoding/algebra, copy and
// pickle support.
#include "common.hpp"

#include "convert.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::pyb::orvex32 {

namespace {

constexpr int kStateVersion = 1;

std::string str_arg(py::handle obj, const char* argname) {
    require_str(obj, argname);
    return obj.cast<std::string>();
}

bool truth(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

/// Depth argument: any integer; negative is refused, large values saturate.
int64_t depth_arg(py::handle obj) {
    PyObject* r = PyNumber_Index(obj.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "depth must be an integer, got %.200s", Py_TYPE(obj.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object value = py::reinterpret_steal<py::object>(r);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        throw py::value_error("depth must not be negative, got " + std::string(py::str(value)));
    }
    return overflow > 0 ? int64_t{core::kMaxDepth} : static_cast<int64_t>(v);
}

std::vector<uint32_t> pair_ids_arg(py::handle obj) {
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr())) {
        PyErr_Format(PyExc_TypeError, "pair_ids must be a list of integers, got %.200s",
                     Py_TYPE(obj.ptr())->tp_name);
        throw py::error_already_set();
    }
    std::vector<uint32_t> ids;
    for (py::handle item : py::iter(obj)) {
        PyObject* r = PyNumber_Index(item.ptr());
        if (r == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "pair_ids must hold integers, got %.200s",
                         Py_TYPE(item.ptr())->tp_name);
            throw py::error_already_set();
        }
        py::object value = py::reinterpret_steal<py::object>(r);
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || v < 0 || v >= static_cast<long long>(core::kMaxPairs)) {
            throw py::value_error("pair id " + std::string(py::str(value)) + " out of range 0..511");
        }
        ids.push_back(static_cast<uint32_t>(v));
    }
    return ids;
}

uint32_t op_arg(py::handle obj) { return static_cast<uint32_t>(low_bits_arg(obj, "op")); }

py::tuple get_state(const core::NativeTracker& self) {
    py::list regs;
    for (const auto& r : self.registrations()) {
        regs.append(py::make_tuple(r.table, r.column, r.is_protected));
    }
    py::list tables;
    for (const auto& t : self.protected_tables()) tables.append(t);
    py::list dense;
    for (const auto& [sig, set] : self.dense_entries()) {
        std::string bytes(reinterpret_cast<const char*>(set.words.data()), sizeof(set.words));
        dense.append(py::make_tuple(sig, py::bytes(bytes)));
    }
    return py::make_tuple(kStateVersion, regs, tables, dense);
}

core::NativeTracker from_state(const py::tuple& state) {
    if (state.size() != 4 || py::int_(state[0]).cast<int>() != kStateVersion) {
        throw py::value_error("unsupported NativeProvenanceTracker state");
    }
    core::NativeTracker t;
    for (py::handle item : py::list(state[1])) {
        auto reg = py::tuple(py::reinterpret_borrow<py::object>(item));
        if (reg.size() != 3) throw py::value_error("malformed registration in state");
        t.register_pair(str_arg(reg[0], "table"), str_arg(reg[1], "column"), truth(reg[2]));
    }
    for (py::handle item : py::list(state[2])) t.mark_table_protected(str_arg(item, "table"));
    for (py::handle item : py::list(state[3])) {
        auto entry = py::tuple(py::reinterpret_borrow<py::object>(item));
        if (entry.size() != 2) throw py::value_error("malformed dense entry in state");
        uint32_t sig = fingerprint_arg(entry[0], "signature");
        std::string bytes = py::bytes(entry[1]);
        core::PairSet set;
        if (sig > core::kPayloadMask || bytes.size() != sizeof(set.words)) {
            throw py::value_error("malformed dense entry in state");
        }
        std::memcpy(set.words.data(), bytes.data(), bytes.size());
        t.record_dense(sig, set);
    }
    return t;
}

}  // namespace

void register_tracker(py::module_& m) {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const std::out_of_range& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    py::class_<core::NativeTracker>(m, "NativeProvenanceTracker",
                                    "Native ORVEX-32 core of one provenance tracker: pair registry,\n"
                                    "payload packing and decoding, and the dense side table.")
        .def(py::init<>())
        .def(
            "register",
            [](core::NativeTracker& self, py::object table, py::object column, py::object is_protected) {
                return self.register_pair(str_arg(table, "table"), str_arg(column, "column"),
                                          truth(is_protected));
            },
            py::arg("table"), py::arg("column"), py::arg("protected") = false,
            "Record a (table, column) pair; returns its pair id (ids follow first registration).")
        .def(
            "mark_table_protected",
            [](core::NativeTracker& self, py::object table) {
                self.mark_table_protected(str_arg(table, "table"));
            },
            py::arg("table"), "Record a wholly protected table.")
        .def(
            "encode",
            [](core::NativeTracker& self, py::object pair_ids, py::object entity, py::object chain,
               py::object taint, py::object depth) {
                std::vector<uint32_t> ids = pair_ids_arg(pair_ids);
                uint64_t e = low_bits_arg(entity, "entity");
                uint64_t c = low_bits_arg(chain, "chain");
                bool t = truth(taint);
                int64_t d = depth_arg(depth);
                return self.encode(ids.data(), ids.size(), e, c, t, d);
            },
            py::arg("pair_ids"), py::arg("entity") = 0, py::arg("chain") = 0,
            py::arg("taint") = false, py::arg("depth") = 0,
            "Pack a fingerprint: mode by pair count, entity/chain truncated to the mode, depth "
            "saturated at 7.")
        .def(
            "decode_full",
            [](const core::NativeTracker& self, py::object fingerprint) {
                return decoded_dict(self.decode(fingerprint_arg(fingerprint, "fingerprint")));
            },
            py::arg("fingerprint"),
            "Decode to a dict with pairs, entity, chain, taint, depth and mode.")
        .def(
            "combine",
            [](core::NativeTracker& self, py::object a, py::object b, py::object op) {
                return self.combine(fingerprint_arg(a, "a"), fingerprint_arg(b, "b"), op_arg(op));
            },
            py::arg("a"), py::arg("b"), py::arg("op") = 1,
            "pairs = union, entity = XOR, chain mixed with op, taint = OR, depth = max + 1.")
        .def(
            "update_chain",
            [](const core::NativeTracker& self, py::object fingerprint, py::object op) {
                return self.update_chain(fingerprint_arg(fingerprint, "fingerprint"), op_arg(op));
            },
            py::arg("fingerprint"), py::arg("op"),
            "Same pairs, entity and taint; chain advanced with op; depth + 1.")
        .def_property_readonly(
            "registered_pairs", [](const core::NativeTracker& self) { return self.registered_count(); },
            "Number of distinct (table, column) pairs registered.")
        .def_property_readonly(
            "dense_entries", [](const core::NativeTracker& self) { return self.dense_size(); },
            "Number of dense signatures whose exact pair set is known.")
        .def("__copy__", [](const core::NativeTracker& self) { return core::NativeTracker(self); })
        .def(
            "__deepcopy__",
            [](const core::NativeTracker& self, py::object) { return core::NativeTracker(self); },
            py::arg("memo"))
        .def(py::pickle([](const core::NativeTracker& self) { return get_state(self); },
                        [](py::tuple state) { return from_state(state); }));
}

}  // namespace corvane::pyb::orvex32
