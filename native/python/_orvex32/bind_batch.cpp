// Whole-array functions. Inputs are converted (or used in place) with the GIL
// held; the kernels then run without it on the raw buffers, which the U32Input
// and result objects keep alive.
#include "common.hpp"

#include "convert.hpp"

#include <cstring>
#include <vector>

namespace corvane::pyb::orvex32 {

void register_batch(py::module_& m) {
    m.def(
        "combine_batch",
        [](py::object native, py::object a, py::object b, py::object op) {
            core::NativeTracker& tracker = tracker_arg(native, "native");
            U32Input xa(a, "a", Fit::Check);
            U32Input xb(b, "b", Fit::Check);
            require_same_length(xa, "a", xb, "b");
            const auto key = static_cast<uint32_t>(low_bits_arg(op, "op"));
            auto out = new_u32(xa.size());
            uint32_t* dst = out.mutable_data();
            {
                ReleaseGil release;
                tracker.combine_batch(xa.data(), xb.data(), dst, xa.size(), key);
            }
            return out;
        },
        py::arg("native"), py::arg("a"), py::arg("b"), py::arg("op") = 1,
        "Element-wise combine of two equal-length fingerprint arrays; a new uint32 array.");

    m.def(
        "update_chain_batch",
        [](py::object native, py::object fingerprints, py::object op) {
            core::NativeTracker& tracker = tracker_arg(native, "native");
            U32Input in(fingerprints, "fingerprints", Fit::Check);
            const auto key = static_cast<uint32_t>(low_bits_arg(op, "op"));
            auto out = new_u32(in.size());
            uint32_t* dst = out.mutable_data();
            {
                ReleaseGil release;
                tracker.update_chain_batch(in.data(), dst, in.size(), key);
            }
            return out;
        },
        py::arg("native"), py::arg("fingerprints"), py::arg("op"),
        "Element-wise update_chain; a new uint32 array.");

    m.def(
        "encode_source_column",
        [](py::object native, py::object pair_id, py::object entities, py::object is_protected) {
            tracker_arg(native, "native");
            PyObject* r = PyNumber_Index(pair_id.ptr());
            if (r == nullptr) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "pair_id must be an integer, got %.200s",
                             Py_TYPE(pair_id.ptr())->tp_name);
                throw py::error_already_set();
            }
            py::object id_value = py::reinterpret_steal<py::object>(r);
            int overflow = 0;
            long long id = PyLong_AsLongLongAndOverflow(id_value.ptr(), &overflow);
            if (id == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow != 0 || id < 0 || id >= static_cast<long long>(core::kMaxPairs)) {
                throw py::value_error("pair id " + std::string(py::str(id_value)) + " out of range 0..511");
            }
            int taint = PyObject_IsTrue(is_protected.ptr());
            if (taint < 0) throw py::error_already_set();
            U32Input in(entities, "entities", Fit::Truncate);
            auto out = new_u32(in.size());
            uint32_t* dst = out.mutable_data();
            {
                ReleaseGil release;
                core::encode_source_column(static_cast<uint32_t>(id), in.data(), dst, in.size(), taint != 0);
            }
            return out;
        },
        py::arg("native"), py::arg("pair_id"), py::arg("entities"), py::arg("is_protected"),
        "Source fingerprints of a column: pair pair_id, entity from each row, depth 0, chain 0.");

    m.def(
        "is_tainted_batch",
        [](py::object fingerprints) {
            U32Input in(fingerprints, "fingerprints", Fit::Check);
            std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(in.size())};
            py::array out(py::dtype("bool"), shape);
            auto* dst = static_cast<uint8_t*>(out.mutable_data());
            {
                ReleaseGil release;
                core::is_tainted_batch(in.data(), dst, in.size());
            }
            return out;
        },
        py::arg("fingerprints"), "Taint bit of each fingerprint, as a numpy bool array.");

    m.def(
        "risk_score_batch",
        [](py::object fingerprints) {
            U32Input in(fingerprints, "fingerprints", Fit::Check);
            py::array_t<double> out(static_cast<py::ssize_t>(in.size()));
            double* dst = out.mutable_data();
            {
                ReleaseGil release;
                core::risk_batch(in.data(), dst, in.size());
            }
            return out;
        },
        py::arg("fingerprints"),
        "risk = taint * 1/(1 + depth) of each fingerprint, as a numpy float64 array.");

    m.def(
        "explain_batch",
        [](py::object native, py::object fingerprints) {
            core::NativeTracker& tracker = tracker_arg(native, "native");
            U32Input in(fingerprints, "fingerprints", Fit::Check);
            py::list out;
            for (std::size_t i = 0; i < in.size(); ++i) out.append(decoded_dict(tracker.decode(in.data()[i])));
            return out;
        },
        py::arg("native"), py::arg("fingerprints"), "decode_full of each fingerprint, as a list of dicts.");
}

}  // namespace corvane::pyb::orvex32
