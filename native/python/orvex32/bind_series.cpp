// TrackedSeries: a pandas Series subclass whose operators propagate one
// fingerprint per row. Values take one numpy call, fingerprints one native
// batch call; nothing here loops over rows.
#include "common.hpp"
#include "orvex32_module.hpp"

#include "corvane/orvex32.hpp"

#include <cstdint>
#include <cstring>
#include <exception>
#include <thread>

namespace corvane::orvex32_binding {

namespace {

/// A freshly computed array that nobody else references can be adopted by
/// the result without the copy pandas 3 makes by default. Anything else
/// (views, read-only arrays, extension arrays) goes through pandas' own rules.
bool adoptable(py::handle values) {
    if (!py::isinstance<py::array>(values)) return false;
    auto arr = py::reinterpret_borrow<py::array>(values);
    return arr.owndata() && arr.writeable();
}

}  // namespace

py::object new_tracked(py::handle cls, py::handle values, py::handle index, py::handle prov,
                       py::handle tracker) {
    if (adoptable(values)) {
        return cls(values, py::arg("index") = index, py::arg("copy") = false,
                   py::arg("_prov") = prov, py::arg("_tracker") = tracker);
    }
    return cls(values, py::arg("index") = index, py::arg("_prov") = prov,
               py::arg("_tracker") = tracker);
}

py::object tracked_from_series(py::handle series_cls, py::handle result, py::handle index,
                               py::handle prov, py::handle tracker) {
    py::object values = result.attr("values");
    py::object np = state().ns.get("np");
    // For a numpy-backed column, `result.values` is exactly the column's data;
    // building from the Series itself shares it under pandas' copy-on-write
    // bookkeeping instead of copying it (or handing out a read-only array).
    if (py::isinstance<py::array>(values) && isinstance_of(result.attr("dtype"), np.attr("dtype")) &&
        py::object(result.attr("index")).ptr() == index.ptr()) {
        py::object out = series_cls(result, py::arg("copy") = false, py::arg("_prov") = prov,
                                    py::arg("_tracker") = tracker);
        out.attr("name") = py::none();
        return out;
    }
    return series_cls(values, py::arg("index") = index, py::arg("_prov") = prov,
                      py::arg("_tracker") = tracker);
}

namespace {

py::object series_init(py::object self, py::args args, py::kwargs kwargs) {
    py::dict kw = kwargs;
    py::object prov = pop_kwarg(kw, "_prov");
    py::object tracker = pop_kwarg(kw, "_tracker");
    super_of(state().series_cls, self).attr("__init__")(*args, **kw);
    if (prov.is_none()) {
        py::object np = state().ns.get("np");
        prov = np.attr("zeros")(py::len(self), py::arg("dtype") = np.attr("uint32"));
    }
    // pandas routes _metadata names to plain attribute storage; do the same
    // without the trip through NDFrame.__setattr__.
    if (PyObject_GenericSetAttr(self.ptr(), py::str("_prov").ptr(), prov.ptr()) < 0 ||
        PyObject_GenericSetAttr(self.ptr(), py::str("_tracker").ptr(), tracker.ptr()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

/// A 1-D, C-contiguous, native-order uint32 numpy array (exactly ndarray),
/// or null: only such arrays are read on a native thread.
const uint32_t* plain_u32(py::handle obj, std::size_t& length) {
    ModuleState& s = state();
    if (Py_TYPE(obj.ptr()) != reinterpret_cast<PyTypeObject*>(s.ndarray_type.ptr())) return nullptr;
    auto arr = py::reinterpret_borrow<py::array>(obj);
    if (arr.ndim() != 1 || !(arr.flags() & py::array::c_style) ||
        !arr.dtype().equal(py::dtype::of<uint32_t>())) {
        return nullptr;
    }
    const auto* data = static_cast<const uint32_t*>(arr.data());
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(uint32_t) != 0) return nullptr;
    length = static_cast<std::size_t>(arr.shape(0));
    return data;
}

/// Below this many rows a thread costs more than it saves.
constexpr std::size_t kOverlapRows = std::size_t{1} << 16;

/// Runs `fingerprints` on a native thread (no GIL) while the caller computes
/// the values with `op`, then joins. The values are computed first in the
/// observable order: an error of `op` wins over one of the fingerprint work,
/// which then never becomes visible.
template <typename Work>
py::object overlapped(py::object op, py::object lhs, py::object rhs, Work&& fingerprints) {
    std::exception_ptr native_error;
    std::thread worker([&] {
        try {
            fingerprints();
        } catch (...) {
            native_error = std::current_exception();
        }
    });
    auto join = [&] {
        py::gil_scoped_release release;
        worker.join();
    };
    py::object result;
    try {
        result = op(lhs, rhs);
    } catch (...) {
        join();
        throw;
    }
    join();
    if (native_error) std::rethrow_exception(native_error);
    return result;
}

/// Whether `op` is numpy's own element-wise machinery (a ufunc or one of the
/// comparison operators): it never touches the fingerprint arrays, so they
/// may be read concurrently.
bool values_only_op(py::handle op) {
    ModuleState& s = state();
    if (Py_TYPE(op.ptr()) == reinterpret_cast<PyTypeObject*>(s.ufunc_type.ptr())) return true;
    return op.is(s.op_gt) || op.is(s.op_lt) || op.is(s.op_ge) || op.is(s.op_le);
}

py::object binop(py::object self, py::object other, py::object op, py::object op_code) {
    py::int_ code = require_index(op_code, "op_code");
    py::object other_values = py::hasattr(other, "values") ? py::object(other.attr("values")) : other;
    py::object self_values = self.attr("values");
    ModuleState& s = state();
    py::object cls = s.ns.get("TrackedSeries");
    py::object tracker = self.attr("_tracker");
    const bool combine = isinstance_of(other, cls) && truthy(tracker);
    py::object self_prov = self.attr("_prov");

    std::size_t n_self = 0, n_other = 0;
    const uint32_t* src_self = plain_u32(self_prov, n_self);
    if (src_self != nullptr && n_self >= kOverlapRows && values_only_op(op)) {
        if (!combine) {
            // The untracked path copies the fingerprints; the copy runs beside
            // the values instead of after them.
            py::array_t<uint32_t> copy(static_cast<py::ssize_t>(n_self));
            uint32_t* dst = copy.mutable_data();
            py::object result = overlapped(op, self_values, other_values, [&] {
                std::memcpy(dst, src_self, n_self * sizeof(uint32_t));
            });
            return new_tracked(cls, result, self.attr("index"), copy, tracker);
        }
        py::object native = tracker.attr("_native");
        py::object other_prov = other.attr("_prov");
        const uint32_t* src_other = plain_u32(other_prov, n_other);
        if (src_other != nullptr && n_other == n_self && s.ns.is_unchanged("combine_batch", s.own_combine_batch) &&
            Py_TYPE(native.ptr()) == reinterpret_cast<PyTypeObject*>(s.native_tracker_cls.ptr())) {
            auto& core = native.cast<corvane::orvex32::NativeTracker&>();
            const auto key = static_cast<uint32_t>(
                PyLong_AsUnsignedLongMask(code.ptr()) & 0xFFFFFFFFul);
            py::array_t<uint32_t> out(static_cast<py::ssize_t>(n_self));
            uint32_t* dst = out.mutable_data();
            py::object result = overlapped(op, self_values, other_values, [&] {
                core.combine_serial(src_self, src_other, dst, n_self, key);
            });
            return new_tracked(cls, result, self.attr("index"), out, tracker);
        }
    }

    py::object result = op(self_values, other_values);
    py::object prov;
    if (combine) {
        prov = as_uint32(s.ns.get("combine_batch")(tracker.attr("_native"), self_prov,
                                                   other.attr("_prov"), code));
    } else {
        prov = self_prov.attr("copy")();
    }
    return new_tracked(cls, result, self.attr("index"), prov, tracker);
}

py::object unop(py::object self, py::object op, py::object op_code) {
    py::int_ code = require_index(op_code, "op_code");
    py::object result = op(self.attr("values"));
    ModuleState& s = state();
    py::object cls = s.ns.get("TrackedSeries");
    py::object tracker = self.attr("_tracker");
    py::object prov;
    if (truthy(tracker)) {
        prov = as_uint32(
            s.ns.get("update_chain_batch")(tracker.attr("_native"), self.attr("_prov"), code));
    } else {
        prov = self.attr("_prov").attr("copy")();
    }
    return new_tracked(cls, result, self.attr("index"), prov, tracker);
}

py::object opcode(const char* name) { return state().ns.get("OpCode").attr(name); }
py::object np_func(const char* name) { return state().ns.get("np").attr(name); }

/// The numpy function `name` with its operands swapped: other OP self.
py::object swapped(const char* name) {
    return py::cpp_function([name](py::object a, py::object b) { return np_func(name)(b, a); });
}

py::object forward(py::object self, py::object other, const char* np_name, const char* code) {
    return self.attr("_binop")(other, np_func(np_name), opcode(code));
}
py::object reflected(py::object self, py::object other, const char* np_name, const char* code) {
    return self.attr("_binop")(other, swapped(np_name), opcode(code));
}
py::object compare(py::object self, py::object other, py::object op) {
    return self.attr("_binop")(other, op, opcode("CMP"));
}

/// Shared tail of fillna/map/replace: chain `code` onto every row.
py::object chained_result(py::object self, py::object result, const char* code) {
    ModuleState& s = state();
    py::object cls = s.ns.get("TrackedSeries");
    py::object tracker = self.attr("_tracker");
    py::object prov;
    if (truthy(tracker)) {
        prov = as_uint32(s.ns.get("update_chain_batch")(tracker.attr("_native"),
                                                        self.attr("_prov"), opcode(code)));
    } else {
        prov = self.attr("_prov").attr("copy")();
    }
    return tracked_from_series(cls, result, self.attr("index"), prov, tracker);
}

/// pandas 2 returns None from an in-place fillna/replace and pandas 3 the
/// receiver itself; either way the caller gets what pandas returned and the
/// receiver's fingerprints are left alone.
bool is_inplace_result(py::handle self, py::handle result) {
    return result.is(self) || !isinstance_of(result, state().ns.get("pd").attr("Series"));
}

py::object fillna(py::object self, py::object value, py::kwargs kwargs) {
    py::object result = super_of(state().series_cls, self).attr("fillna")(value, **kwargs);
    if (is_inplace_result(self, result)) return result;
    return chained_result(self, result, "FILL");
}

py::object replace(py::object self, py::args args, py::kwargs kwargs) {
    py::object result = super_of(state().series_cls, self).attr("replace")(*args, **kwargs);
    if (is_inplace_result(self, result)) return result;
    return chained_result(self, result, "MAP");
}

py::object map(py::object self, py::object arg, py::kwargs kwargs) {
    py::object result = super_of(state().series_cls, self).attr("map")(arg, **kwargs);
    return chained_result(self, result, "MAP");
}

}  // namespace

void bind_series(py::module_ m) {
    py::object pd_series = m.attr("pd").attr("Series");
    py::object cls = pyb::make_class("TrackedSeries", py::make_tuple(pd_series), m,
                                     "Pandas Series with ORVEX-32 provenance (taint + depth aware).");
    ModuleState& s = state();
    s.series_cls = cls;
    py::list metadata;
    metadata.append("_prov");
    metadata.append("_tracker");
    py::setattr(cls, "_metadata", metadata);
    pyb::add_readonly_property(cls, "_constructor",
                               [](py::handle) { return state().ns.get("TrackedSeries"); });

    const py::object add_code = m.attr("OpCode").attr("ADD");
    pyb::add_method(cls, "__init__", &series_init);
    pyb::add_method(cls, "_binop", &binop, py::arg("other"), py::arg("op"),
                    py::arg("op_code") = add_code,
                    py::doc("Binary operation with taint/depth propagation."));
    pyb::add_method(cls, "_unop", &unop, py::arg("op"), py::arg("op_code"),
                    py::doc("Unary operation with depth increment."));

    struct Arith {
        const char* method;
        const char* np_name;
        const char* code;
        bool reflected;
    };
    static const Arith arith[] = {
        {"__add__", "add", "ADD", false},
        {"__sub__", "subtract", "SUB", false},
        {"__mul__", "multiply", "MUL", false},
        {"__truediv__", "true_divide", "DIV", false},
        {"__floordiv__", "floor_divide", "DIV", false},
        {"__pow__", "power", "MUL", false},
        {"__radd__", "add", "ADD", true},
        {"__rsub__", "subtract", "SUB", true},
        {"__rmul__", "multiply", "MUL", true},
        {"__rtruediv__", "true_divide", "DIV", true},
    };
    for (const Arith& a : arith) {
        if (a.reflected) {
            pyb::add_method(cls, a.method, [a](py::object self, py::object other) {
                return reflected(self, other, a.np_name, a.code);
            }, py::arg("other"));
        } else {
            pyb::add_method(cls, a.method, [a](py::object self, py::object other) {
                return forward(self, other, a.np_name, a.code);
            }, py::arg("other"));
        }
    }
    pyb::add_method(cls, "__gt__", [](py::object self, py::object other) {
        return compare(self, other, state().op_gt);
    }, py::arg("other"));
    pyb::add_method(cls, "__lt__", [](py::object self, py::object other) {
        return compare(self, other, state().op_lt);
    }, py::arg("other"));
    pyb::add_method(cls, "__ge__", [](py::object self, py::object other) {
        return compare(self, other, state().op_ge);
    }, py::arg("other"));
    pyb::add_method(cls, "__le__", [](py::object self, py::object other) {
        return compare(self, other, state().op_le);
    }, py::arg("other"));
    pyb::add_method(cls, "__neg__", [](py::object self) {
        return self.attr("_unop")(state().op_neg, opcode("NEG"));
    });
    add_override(cls, "clip", [](py::object self, py::object lower, py::object upper) {
        py::cpp_function op([lower, upper](py::object x) { return np_func("clip")(x, lower, upper); });
        return self.attr("_unop")(op, opcode("CLIP"));
    }, py::arg("lower") = py::none(), py::arg("upper") = py::none());
    add_override(cls, "fillna", &fillna, py::arg("value") = 0);
    add_override(cls, "map", &map, py::arg("arg"));
    add_override(cls, "replace", &replace);

    m.attr("TrackedSeries") = cls;
}

}  // namespace corvane::orvex32_binding
