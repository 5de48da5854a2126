// Conversions of Python arguments for the _orvex32 binding.
#include "common.hpp"

#include "convert.hpp"

namespace corvane::pyb::orvex32 {

namespace {

/// operator.index(obj), with a TypeError that names the argument.
py::object index_of(py::handle obj, const char* argname) {
    PyObject* r = PyNumber_Index(obj.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%.200s must be an integer, got %.200s", argname,
                     Py_TYPE(obj.ptr())->tp_name);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(r);
}

py::module_ numpy() { return py::module_::import("numpy"); }

}  // namespace

uint32_t fingerprint_arg(py::handle obj, const char* argname) {
    py::object value = index_of(obj, argname);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
        std::string text = py::str(value);
        PyErr_Format(PyExc_OverflowError,
                     "%.200s %.200s is out of range for an ORVEX-32 fingerprint (0..4294967295)",
                     argname, text.c_str());
        throw py::error_already_set();
    }
    return static_cast<uint32_t>(v);
}

uint64_t low_bits_arg(py::handle obj, const char* argname) {
    py::object value = index_of(obj, argname);
    unsigned long long v = PyLong_AsUnsignedLongLongMask(value.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

core::NativeTracker& tracker_arg(py::handle obj, const char* argname) {
    if (!py::isinstance<core::NativeTracker>(obj)) {
        py::object expected = py::type::of<core::NativeTracker>();
        raise_arg_type(argname, reinterpret_cast<PyTypeObject*>(expected.ptr()), obj.ptr());
    }
    return obj.cast<core::NativeTracker&>();
}

U32Input::U32Input(py::handle obj, const char* argname, Fit fit) {
    py::array arr;
    if (py::isinstance<py::array>(obj)) {
        arr = py::reinterpret_borrow<py::array>(obj);
    } else {
        if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr())) {
            PyErr_Format(PyExc_TypeError, "%.200s must be an array of integers, got %.200s", argname,
                         Py_TYPE(obj.ptr())->tp_name);
            throw py::error_already_set();
        }
        arr = numpy().attr("asarray")(obj);
    }
    if (arr.ndim() != 1) {
        PyErr_Format(PyExc_ValueError, "%.200s must be a 1-D array, got %d dimensions", argname,
                     static_cast<int>(arr.ndim()));
        throw py::error_already_set();
    }
    size_ = static_cast<std::size_t>(arr.size());
    if (size_ == 0) {
        // np.asarray([]) is float64; an empty input of any dtype is just empty.
        array_ = new_u32(0);
        data_ = static_cast<const uint32_t*>(array_.data());
        return;
    }
    const char kind = arr.dtype().kind();
    if (kind == 'O') {
        // Python ints too large for any numpy integer type end up here.
        py::array_t<uint32_t> converted(static_cast<py::ssize_t>(size_));
        uint32_t* out = converted.mutable_data();
        py::list items = arr.attr("tolist")();
        for (std::size_t i = 0; i < size_; ++i) {
            py::handle item = items[i];
            if (!PyLong_Check(item.ptr()) || PyBool_Check(item.ptr())) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s must be an array of integers, got an element of type %.200s",
                             argname, Py_TYPE(item.ptr())->tp_name);
                throw py::error_already_set();
            }
            out[i] = fit == Fit::Check ? fingerprint_arg(item, argname)
                                       : static_cast<uint32_t>(low_bits_arg(item, argname));
        }
        array_ = converted;
        data_ = converted.data();
        return;
    }
    if (kind != 'i' && kind != 'u') {
        std::string dtype = py::str(arr.dtype());
        PyErr_Format(PyExc_TypeError, "%.200s must be an array of integers, got dtype %.200s",
                     argname, dtype.c_str());
        throw py::error_already_set();
    }
    const bool exact = arr.dtype().is(py::dtype::of<uint32_t>()) ||
                       (arr.dtype().num() == py::dtype::of<uint32_t>().num() &&
                        arr.dtype().attr("isnative").cast<bool>());
    const int flags = py::detail::array_proxy(arr.ptr())->flags;
    const bool in_place = exact && (flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0 &&
                          (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
    if (in_place) {
        array_ = arr;
        data_ = static_cast<const uint32_t*>(arr.data());
        return;
    }
    if (fit == Fit::Check && !exact) {
        // Range check before the wrapping cast: a negative or too large value
        // is an error, not a different fingerprint.
        py::int_ lo(arr.attr("min")());
        py::int_ hi(arr.attr("max")());
        const bool negative = lo < py::int_(0);
        if (negative || hi > py::int_(0xFFFFFFFFLL)) {
            py::object bad = negative ? lo : hi;
            std::string text = py::str(bad);
            PyErr_Format(PyExc_OverflowError,
                         "%.200s holds %.200s, out of range for an ORVEX-32 fingerprint "
                         "(0..4294967295)",
                         argname, text.c_str());
            throw py::error_already_set();
        }
    }
    py::array converted = arr.attr("astype")(py::dtype::of<uint32_t>(), "C");
    array_ = converted;
    data_ = static_cast<const uint32_t*>(converted.data());
}

void require_same_length(const U32Input& a, const char* name_a, const U32Input& b,
                         const char* name_b) {
    if (a.size() != b.size()) {
        PyErr_Format(PyExc_ValueError, "%.200s and %.200s must have the same length (got %zu and %zu)",
                     name_a, name_b, a.size(), b.size());
        throw py::error_already_set();
    }
}

py::dict decoded_dict(const core::Decoded& d) {
    py::list pairs;
    for (uint32_t id : d.pairs.ids()) pairs.append(py::int_(id));
    py::dict out;
    out["pairs"] = pairs;
    out["entity"] = py::int_(d.entity);
    out["chain"] = py::int_(d.chain);
    out["taint"] = py::bool_(d.taint);
    out["depth"] = py::int_(d.depth);
    out["mode"] = py::str(d.mode_name);
    return out;
}

}  // namespace corvane::pyb::orvex32
