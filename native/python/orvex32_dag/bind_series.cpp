// DAGTrackedSeries: a pandas Series with a fingerprint and a DAG node id per
// row. Every tracked operation logs one node per row. When every collaborator
// is our own, the rows are logged as one native run (one combine over the
// whole array, one append to the node log, one row-value run); otherwise the
// per-row protocol runs call by call.
#include "common.hpp"
#include "dag_module.hpp"

#include "corvane/orvex32.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <thread>

namespace corvane::dag_binding {

namespace {

using U32Array = py::array_t<std::uint32_t>;
using I64Array = py::array_t<std::int64_t>;

bool is_vector_of(py::handle a, char kind, int itemsize) {
    if (!py::isinstance<py::array>(a)) return false;
    auto arr = py::reinterpret_borrow<py::array>(a);
    return arr.ndim() == 1 && arr.dtype().kind() == kind && arr.itemsize() == itemsize;
}

bool numeric_vector(py::handle a) {
    if (!py::isinstance<py::array>(a)) return false;
    auto arr = py::reinterpret_borrow<py::array>(a);
    const char k = arr.dtype().kind();
    return arr.ndim() == 1 && (k == 'b' || k == 'i' || k == 'u' || k == 'f');
}

/// Below this many rows a thread costs more than it saves.
constexpr std::size_t kOverlapRows = 65536;

inline bool PyArray_Check_like(py::handle a) { return py::isinstance<py::array>(a); }

bool is_float64(py::handle a) {
    auto arr = py::reinterpret_borrow<py::array>(a);
    return arr.dtype().kind() == 'f' && arr.itemsize() == 8;
}

/// `src` read by position into `n` slots, `fill` past its end.
template <typename T>
std::vector<T> padded(py::handle src, std::size_t n, T fill) {
    auto arr = py::reinterpret_borrow<py::array_t<T>>(src);
    auto view = arr.template unchecked<1>();
    std::vector<T> out(n, fill);
    const auto len = static_cast<std::size_t>(view.shape(0));
    for (std::size_t i = 0; i < n && i < len; ++i) out[i] = view(static_cast<py::ssize_t>(i));
    return out;
}

/// Per-row values of `src` over n rows: the array itself when it already is
/// a contiguous array of n elements, else a padded copy kept in `storage`.
template <typename T>
const T* rows_of(py::handle src, std::size_t n, T fill, std::vector<T>& storage, py::object& keep) {
    auto arr = py::reinterpret_borrow<py::array>(src);
    if (static_cast<std::size_t>(arr.shape(0)) == n &&
        (arr.flags() & py::array::c_style) != 0) {
        keep = py::reinterpret_borrow<py::object>(src);
        return static_cast<const T*>(arr.data());
    }
    storage = padded<T>(src, n, fill);
    return storage.data();
}

template <typename T>
py::array_t<T> to_array(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(T));
    return out;
}

std::uint32_t fingerprint_result(py::handle r) {
    py::int_ v = pyb::to_int(r);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if ((x == -1 && PyErr_Occurred())) throw py::error_already_set();
    if (overflow != 0 || x < 0 || x > 0xFFFFFFFFLL) {
        throw py::value_error("fingerprint out of the uint32 range");
    }
    return static_cast<std::uint32_t>(x);
}

/// Builds the result series; a freshly computed array is adopted instead of
/// copied (pandas 3 copies numpy input unless told otherwise).
py::object new_series(py::handle values, py::handle index, py::handle prov, py::handle tracker,
                      py::handle nodes) {
    py::object cls = state().ns.get("DAGTrackedSeries");
    bool adopt = false;
    if (py::isinstance<py::array>(values)) {
        auto arr = py::reinterpret_borrow<py::array>(values);
        adopt = arr.owndata() && arr.writeable() && arr.ndim() == 1;
    }
    if (adopt) {
        return cls(values, py::arg("index") = index, py::arg("copy") = false, py::arg("_prov") = prov,
                   py::arg("_tracker") = tracker, py::arg("_node_ids") = nodes);
    }
    return cls(values, py::arg("index") = index, py::arg("_prov") = prov,
               py::arg("_tracker") = tracker, py::arg("_node_ids") = nodes);
}

bool capture_skips(py::handle val) {
    if (val.is_none()) return true;
    if (PyFloat_Check(val.ptr())) {
        const double d = PyFloat_AS_DOUBLE(val.ptr());
        return d != d;
    }
    return false;
}

/// Rows whose value is captured (all but NaN of a float64 result).
std::vector<std::int64_t> captured_rows(py::handle result, std::size_t n, bool* all) {
    std::vector<std::int64_t> rows;
    *all = true;
    if (!is_float64(result)) return rows;
    auto view = py::reinterpret_borrow<py::array_t<double>>(result).unchecked<1>();
    auto arr = py::reinterpret_borrow<py::array>(result);
    if ((arr.flags() & py::array::c_style) != 0 && static_cast<std::size_t>(arr.shape(0)) >= n) {
        // Branch-free blocks: a NaN anywhere is rare, and this pass reads the
        // whole result once at memory speed.
        const double* v = static_cast<const double*>(arr.data());
        constexpr std::size_t kBlock = 4096;
        for (std::size_t start = 0; start < n && *all; start += kBlock) {
            const std::size_t stop = std::min(n, start + kBlock);
            unsigned char nan = 0;
            for (std::size_t i = start; i < stop; ++i) nan |= static_cast<unsigned char>(v[i] != v[i]);
            *all = nan == 0;
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isnan(view(static_cast<py::ssize_t>(i)))) {
                *all = false;
                break;
            }
        }
    }
    if (*all) return rows;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isnan(view(static_cast<py::ssize_t>(i)))) rows.push_back(static_cast<std::int64_t>(i));
    }
    return rows;
}

void capture_run(py::handle tracker, DagState& st, py::handle result, py::handle prov,
                 py::handle op_name, std::size_t n) {
    bool all = true;
    std::vector<std::int64_t> rows = captured_rows(result, n, &all);
    const std::size_t count = all ? n : rows.size();
    capture_values(tracker, st, result, prov, op_name, py::none(), std::move(rows), 0, count);
}

bool fast_arrays(py::handle series) {
    return is_vector_of(series.attr("_prov"), 'u', 4) && is_vector_of(series.attr("_node_ids"), 'i', 8);
}

void literal_capture(py::handle tracker, py::handle result, std::size_t i, std::uint32_t fp,
                     py::handle op_name) {
    swallow_exceptions([&] {
        py::object val = result[py::int_(i)];
        if (!capture_skips(val)) {
            tracker.attr("record_row_value")(py::int_(i), py::int_(fp), op_name, val);
        }
    });
}

/// Reads element i of a per-row array as int, `fill` past its end.
py::object element_or(py::handle arr, std::size_t i, std::size_t len, long long fill) {
    if (i >= len) return py::int_(fill);
    return pyb::to_int(arr[py::int_(i)]);
}

/// What one pass over a node-id array tells: whether every id is a node
/// (>= 0), and whether the ids are one id repeated or first + row. Arrays made
/// by our own operations are one of the two, but a caller may have written
/// into them, so nothing is assumed without reading every element.
struct IdShape {
    bool nonneg = true;
    bool constant = true;
    bool affine = true;
    std::int64_t first = 0;
};

IdShape id_shape(const std::int64_t* __restrict ids, std::size_t n) {
    IdShape out;
    if (n == 0) return out;
    const auto first = static_cast<std::uint64_t>(ids[0]);
    out.first = ids[0];
    constexpr std::size_t kBlock = 4096;
    std::uint64_t sign = 0, not_constant = 0, not_affine = 0;
    std::size_t i = 0;
    while (i < n && (not_constant == 0 || not_affine == 0)) {
        const std::size_t stop = std::min(n, i + kBlock);
        for (std::size_t j = i; j < stop; ++j) {
            const auto v = static_cast<std::uint64_t>(ids[j]);
            sign |= v;
            not_constant |= v ^ first;
            not_affine |= (v - j) ^ first;
        }
        i = stop;
    }
    for (; i < n; ++i) sign |= static_cast<std::uint64_t>(ids[i]);
    out.nonneg = (sign >> 63) == 0;
    out.constant = not_constant == 0;
    out.affine = not_affine == 0;
    return out;
}

/// The input column for n ids of known shape (compact's choice, without
/// reading them again unless they must be stored).
core::InputColumn column_of(const IdShape& shape, const std::int64_t* ids, std::size_t n) {
    if (n == 0 || shape.constant) return core::InputColumn::constant(n == 0 ? 0 : shape.first);
    if (shape.affine) return core::InputColumn::affine(shape.first);
    return core::InputColumn::explicit_ids(std::vector<std::int64_t>(ids, ids + n));
}

/// Writes first, first + 1, ... into out[0 .. n).
void fill_ids(std::int64_t* __restrict out, std::size_t n, std::int64_t first) {
    for (std::size_t i = 0; i < n; ++i) out[i] = first + static_cast<std::int64_t>(i);
}

/// A contiguous 1-d array of exactly n elements of T, or null.
template <typename T>
const T* exact_rows(py::handle a, std::size_t n) {
    if (!py::isinstance<py::array>(a)) return nullptr;
    auto arr = py::reinterpret_borrow<py::array>(a);
    if (arr.ndim() != 1 || static_cast<std::size_t>(arr.shape(0)) != n ||
        (arr.flags() & py::array::c_style) == 0 || arr.itemsize() != static_cast<py::ssize_t>(sizeof(T))) {
        return nullptr;
    }
    return static_cast<const T*>(arr.data());
}

/// numpy arrays of booleans or numbers: an element-wise numpy operation on
/// them runs no Python code, so it cannot touch the fingerprint arrays.
bool plain_numeric_array(py::handle a) {
    if (!PyArray_Check_like(a)) return false;
    auto arr = py::reinterpret_borrow<py::array>(a);
    const char k = arr.dtype().kind();
    return k == 'b' || k == 'i' || k == 'u' || k == 'f';
}

std::vector<PyObject*>& own_comparisons() {
    static std::vector<PyObject*> ops;
    return ops;
}

/// Whether `op` is numpy's own element-wise machinery (a ufunc, or one of our
/// comparison operators, which hand over to numpy's).
bool values_only_op(py::handle op) {
    static PyObject* ufunc_type = py::object(py::module_::import("numpy").attr("ufunc")).release().ptr();
    if (Py_TYPE(op.ptr()) == reinterpret_cast<PyTypeObject*>(ufunc_type)) return true;
    const auto& cmps = own_comparisons();
    return std::find(cmps.begin(), cmps.end(), op.ptr()) != cmps.end();
}

/// Joins a worker thread on every way out, without the GIL.
struct Worker {
    std::thread thread;
    std::exception_ptr error;
    template <typename Fn>
    void start(Fn&& fn) {
        thread = std::thread([this, fn = std::forward<Fn>(fn)]() mutable {
            try {
                fn();
            } catch (...) {
                error = std::current_exception();
            }
        });
    }
    void join() {
        if (thread.joinable()) {
            py::gil_scoped_release release;
            thread.join();
        }
    }
    ~Worker() {
        if (thread.joinable()) {
            if (PyGILState_Check()) {
                py::gil_scoped_release release;
                thread.join();
            } else {
                thread.join();
            }
        }
    }
};

/// The overlapped batch path of `a (op) b` where every collaborator is ours
/// and all four per-row arrays are plain n-row arrays: the fingerprints are
/// combined and the operand ids inspected on a native thread while numpy
/// computes the values. Returns null when a step that the plain batch path
/// would report as an error came up (the caller then takes that path, which
/// raises it in the usual order); `result` is set whenever np_op ran.
py::object binop_overlapped(py::object self, py::object other, py::object np_op,
                            py::object self_values, py::object other_values, py::object op_name,
                            py::int_ code, py::object tracker, py::object index,
                            py::object& result) {
    py::object self_prov = self.attr("_prov"), other_prov = other.attr("_prov");
    py::object self_nodes = self.attr("_node_ids"), other_nodes = other.attr("_node_ids");
    const std::size_t n = static_cast<std::size_t>(py::len(self_prov));
    const std::uint32_t* pa = exact_rows<std::uint32_t>(self_prov, n);
    const std::uint32_t* pb = exact_rows<std::uint32_t>(other_prov, n);
    const std::int64_t* na = exact_rows<std::int64_t>(self_nodes, n);
    const std::int64_t* nb = exact_rows<std::int64_t>(other_nodes, n);
    if (!pa || !pb || !na || !nb || n == 0) return py::object();
    auto& native = tracker.attr("_native").cast<corvane::orvex32::NativeTracker&>();
    const auto key = static_cast<std::uint32_t>(PyLong_AsUnsignedLongMask(code.ptr()) & 0xFFFFFFFFul);
    if (PyErr_Occurred()) throw py::error_already_set();
    U32Array prov(static_cast<py::ssize_t>(n));
    std::uint32_t* pv = prov.mutable_data();
    IdShape sa, sb;
    Worker worker;
    worker.start([&] {
        native.combine_serial(pa, pb, pv, n, key);
        sa = id_shape(na, n);
        sb = id_shape(nb, n);
    });
    try {
        result = np_op(self_values, other_values);
    } catch (...) {
        worker.join();
        throw;  // a values error wins
    }
    worker.join();
    if (worker.error) return py::object();  // the plain path reports it
    if (!numeric_vector(result) || static_cast<std::size_t>(py::len(result)) != n ||
        !sa.nonneg || !sb.nonneg) {
        return py::object();
    }
    DagState& st = dag_state_of(tracker);
    std::vector<core::InputColumn> cols;
    cols.push_back(column_of(sa, na, n));
    cols.push_back(column_of(sb, nb, n));
    const std::int64_t first = log_run(tracker, st, core::NodeKind::Binary, op_name, std::move(cols), pv, n);
    I64Array nodes(static_cast<py::ssize_t>(n));
    std::int64_t* out = nodes.mutable_data();
    Worker filler;
    filler.start([out, n, first] { fill_ids(out, n, first); });
    capture_run(tracker, st, result, prov, op_name, n);
    // Our own class only stores the id array; anything else may read it.
    if (!state().ns.get("DAGTrackedSeries").is(state().series_cls)) filler.join();
    py::object series = new_series(result, index, prov, tracker, nodes);
    filler.join();
    return series;
}

}  // namespace

py::object binop_dag(py::object self, py::object other, py::object np_op, py::object op_name,
                     py::object op_code) {
    pyb::require_str(op_name, "op_name");
    py::int_ code = pyb::to_int(op_code);
    ModuleState& s = state();
    py::object other_values = py::hasattr(other, "values") ? py::object(other.attr("values")) : other;
    py::object self_values = self.attr("values");
    py::object result;
    {
        // Everything the overlapped path reads is read again below, after
        // the values, exactly as the plain paths do; only a plain numeric
        // operation of ours with a plain tracker on both sides runs beside it.
        py::object tracker = self.attr("_tracker");
        py::object series_cls = s.ns.get("DAGTrackedSeries");
        if (values_only_op(np_op) && plain_numeric_array(self_values) &&
            plain_numeric_array(other_values) && py::isinstance(other, series_cls) && truthy(tracker) &&
            tracker_is_plain(tracker) && fast_arrays(self) && fast_arrays(other) &&
            PyUnicode_AsUTF8AndSize(op_name.ptr(), nullptr) != nullptr &&
            static_cast<std::size_t>(py::len(self_values)) >= kOverlapRows) {
            py::object done = binop_overlapped(self, other, np_op, self_values, other_values, op_name,
                                               code, tracker, self.attr("index"), result);
            if (done) return done;
        } else if (PyErr_Occurred()) {
            PyErr_Clear();  // an op_name without UTF-8 form: the paths below handle it
        }
    }
    if (!result) result = np_op(self_values, other_values);
    py::object tracker = self.attr("_tracker");
    py::object series_cls = s.ns.get("DAGTrackedSeries");
    py::object index = self.attr("index");
    if (!py::isinstance(other, series_cls) || !truthy(tracker)) {
        return new_series(result, index, self.attr("_prov").attr("copy")(), tracker,
                          self.attr("_node_ids").attr("copy")());
    }
    const std::size_t n = py::len(result);
    if (tracker_is_plain(tracker) && fast_arrays(self) && fast_arrays(other) &&
        numeric_vector(result) && PyUnicode_AsUTF8AndSize(op_name.ptr(), nullptr) != nullptr) {
        DagState& st = dag_state_of(tracker);
        std::vector<std::uint32_t> sa, sb;
        std::vector<std::int64_t> sna, snb;
        py::object ka, kb, kna, knb;
        const std::uint32_t* pa = rows_of<std::uint32_t>(self.attr("_prov"), n, 0, sa, ka);
        const std::uint32_t* pb = rows_of<std::uint32_t>(other.attr("_prov"), n, 0, sb, kb);
        py::object prov;
        {
            // combine_batch reads arrays; hand it the rows as arrays of n
            py::object aa = ka ? ka : py::object(to_array(sa));
            py::object bb = kb ? kb : py::object(to_array(sb));
            prov = s.combine_batch(tracker.attr("_native"), aa, bb, code);
        }
        (void)pa;
        (void)pb;
        const auto* pv = static_cast<const std::uint32_t*>(py::reinterpret_borrow<py::array>(prov).data());
        const std::int64_t* na = rows_of<std::int64_t>(self.attr("_node_ids"), n, -1, sna, kna);
        const std::int64_t* nb = rows_of<std::int64_t>(other.attr("_node_ids"), n, -1, snb, knb);
        I64Array nodes(static_cast<py::ssize_t>(n));
        std::int64_t* out = nodes.mutable_data();
        bool every_row = true;
        for (std::size_t i = 0; i < n; ++i) every_row = every_row && (na[i] >= 0) & (nb[i] >= 0);
        if (every_row && n > 0) {
            std::vector<core::InputColumn> cols;
            cols.push_back(core::InputColumn::compact(na, n));
            cols.push_back(core::InputColumn::compact(nb, n));
            const std::int64_t first =
                log_run(tracker, st, core::NodeKind::Binary, op_name, std::move(cols), pv, n);
            for (std::size_t i = 0; i < n; ++i) out[i] = first + static_cast<std::int64_t>(i);
        } else {
            std::fill(out, out + n, 0);
            std::vector<std::int64_t> rows, in_a, in_b;
            std::vector<std::uint32_t> fps;
            for (std::size_t i = 0; i < n; ++i) {
                if (na[i] >= 0 && nb[i] >= 0) {
                    rows.push_back(static_cast<std::int64_t>(i));
                    in_a.push_back(na[i]);
                    in_b.push_back(nb[i]);
                    fps.push_back(pv[i]);
                }
            }
            if (!rows.empty()) {
                std::vector<core::InputColumn> cols;
                cols.push_back(core::InputColumn::compact(in_a.data(), in_a.size()));
                cols.push_back(core::InputColumn::compact(in_b.data(), in_b.size()));
                const std::int64_t first = log_run(tracker, st, core::NodeKind::Binary, op_name,
                                                   std::move(cols), fps.data(), fps.size());
                for (std::size_t k = 0; k < rows.size(); ++k) {
                    out[rows[k]] = first + static_cast<std::int64_t>(k);
                }
            }
        }
        capture_run(tracker, st, result, prov, op_name, n);
        return new_series(result, index, prov, tracker, nodes);
    }
    // The per-row protocol, call by call.
    py::object self_prov = self.attr("_prov"), other_prov = other.attr("_prov");
    py::object self_nodes = self.attr("_node_ids"), other_nodes = other.attr("_node_ids");
    const std::size_t la = py::len(self_prov), lb = py::len(other_prov);
    const std::size_t lna = py::len(self_nodes), lnb = py::len(other_nodes);
    std::vector<std::uint32_t> new_prov(n, 0);
    std::vector<std::int64_t> new_nodes(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        py::object pa = element_or(self_prov, i, la, 0);
        py::object pb = element_or(other_prov, i, lb, 0);
        py::object new_p = tracker.attr("combine")(pa, pb, code);
        new_prov[i] = fingerprint_result(new_p);
        py::object a = element_or(self_nodes, i, lna, -1);
        py::object b = element_or(other_nodes, i, lnb, -1);
        if ((a >= py::int_(0)) && (b >= py::int_(0))) {
            new_nodes[i] = as_i64(tracker.attr("log_binary")(op_name, a, b, new_p));
        }
        literal_capture(tracker, result, i, new_prov[i], op_name);
    }
    return new_series(result, index, to_array(new_prov), tracker, to_array(new_nodes));
}

namespace {

/// The unary core shared by `_unop_dag` and `_apply_tracked_unary`.
py::object tracked_unary(py::object self, py::object result, py::object index, py::object op_name,
                         py::int_ code) {
    ModuleState& s = state();
    py::object tracker = self.attr("_tracker");
    const std::size_t n = py::len(result);
    if (tracker_is_plain(tracker) && fast_arrays(self) && numeric_vector(result) &&
        PyUnicode_AsUTF8AndSize(op_name.ptr(), nullptr) != nullptr) {
        DagState& st = dag_state_of(tracker);
        std::vector<std::uint32_t> sp;
        std::vector<std::int64_t> sn;
        py::object kp, kn;
        rows_of<std::uint32_t>(self.attr("_prov"), n, 0, sp, kp);
        py::object prov = s.update_chain_batch(tracker.attr("_native"),
                                               kp ? kp : py::object(to_array(sp)), code);
        const auto* pv = static_cast<const std::uint32_t*>(py::reinterpret_borrow<py::array>(prov).data());
        const std::int64_t* ids = rows_of<std::int64_t>(self.attr("_node_ids"), n, -1, sn, kn);
        I64Array nodes(static_cast<py::ssize_t>(n));
        std::int64_t* out = nodes.mutable_data();
        bool every_row = true;
        for (std::size_t i = 0; i < n; ++i) every_row = every_row && ids[i] >= 0;
        if (every_row && n > 0) {
            std::vector<core::InputColumn> cols;
            cols.push_back(core::InputColumn::compact(ids, n));
            const std::int64_t first =
                log_run(tracker, st, core::NodeKind::Unary, op_name, std::move(cols), pv, n);
            for (std::size_t i = 0; i < n; ++i) out[i] = first + static_cast<std::int64_t>(i);
        } else {
            std::fill(out, out + n, 0);
            std::vector<std::int64_t> rows, in;
            std::vector<std::uint32_t> fps;
            for (std::size_t i = 0; i < n; ++i) {
                if (ids[i] >= 0) {
                    rows.push_back(static_cast<std::int64_t>(i));
                    in.push_back(ids[i]);
                    fps.push_back(pv[i]);
                }
            }
            if (!rows.empty()) {
                std::vector<core::InputColumn> cols;
                cols.push_back(core::InputColumn::compact(in.data(), in.size()));
                const std::int64_t first = log_run(tracker, st, core::NodeKind::Unary, op_name,
                                                   std::move(cols), fps.data(), fps.size());
                for (std::size_t k = 0; k < rows.size(); ++k) {
                    out[rows[k]] = first + static_cast<std::int64_t>(k);
                }
            }
        }
        capture_run(tracker, st, result, prov, op_name, n);
        return new_series(result, index, prov, tracker, nodes);
    }
    py::object prov_arr = self.attr("_prov"), node_arr = self.attr("_node_ids");
    const std::size_t prov_len = py::len(prov_arr), node_len = py::len(node_arr);
    std::vector<std::uint32_t> new_prov(n, 0);
    std::vector<std::int64_t> new_nodes(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        py::object p = element_or(prov_arr, i, prov_len, 0);
        new_prov[i] = fingerprint_result(tracker.attr("update_chain")(p, code));
        py::object nid = element_or(node_arr, i, node_len, -1);
        if ((nid >= py::int_(0))) {
            new_nodes[i] = as_i64(tracker.attr("log_unary")(op_name, nid, py::int_(new_prov[i])));
        }
        literal_capture(tracker, result, i, new_prov[i], op_name);
    }
    return new_series(result, index, to_array(new_prov), tracker, to_array(new_nodes));
}

py::object unop_dag(py::object self, py::object np_op, py::object op_name, py::object op_code) {
    pyb::require_str(op_name, "op_name");
    py::int_ code = pyb::to_int(op_code);
    py::object result = np_op(self.attr("values"));
    py::object tracker = self.attr("_tracker");
    if (!truthy(tracker)) {
        return new_series(result, self.attr("index"), self.attr("_prov").attr("copy")(), tracker,
                          self.attr("_node_ids").attr("copy")());
    }
    return tracked_unary(self, result, self.attr("index"), op_name, code);
}

py::object apply_tracked_unary(py::object self, py::object result_values, py::object result_index,
                               py::object op_name, py::object op_code) {
    pyb::require_str(op_name, "op_name");
    py::int_ code = pyb::to_int(op_code);
    py::object tracker = self.attr("_tracker");
    if (!truthy(tracker)) {
        return new_series(result_values, result_index, self.attr("_prov").attr("copy")(), tracker,
                          self.attr("_node_ids").attr("copy")());
    }
    return tracked_unary(self, result_values, result_index, op_name, code);
}

py::object series_init(py::object self, py::args args, py::kwargs kwargs) {
    ModuleState& s = state();
    py::dict kw = kwargs;
    py::object prov = pop_kwarg(kw, "_prov");
    py::object tracker = pop_kwarg(kw, "_tracker");
    py::object nodes = pop_kwarg(kw, "_node_ids");
    super_of(s.series_cls, self).attr("__init__")(*args, **kw);
    py::object np = s.ns.get("np");
    if (prov.is_none()) prov = np.attr("zeros")(py::len(self), py::arg("dtype") = np.attr("uint32"));
    if (nodes.is_none()) nodes = np.attr("zeros")(py::len(self), py::arg("dtype") = np.attr("int64"));
    // pandas keeps _metadata names as plain attributes; skip NDFrame.__setattr__.
    if (PyObject_GenericSetAttr(self.ptr(), py::str("_prov").ptr(), prov.ptr()) < 0 ||
        PyObject_GenericSetAttr(self.ptr(), py::str("_tracker").ptr(), tracker.ptr()) < 0 ||
        PyObject_GenericSetAttr(self.ptr(), py::str("_node_ids").ptr(), nodes.ptr()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

bool inplace_result(py::handle self, py::handle result, const py::kwargs& kwargs) {
    if (result.ptr() == self.ptr()) return true;
    return kwargs.contains("inplace") && truthy(kwargs["inplace"]);
}

py::object series_fillna(py::object self, py::object value, py::kwargs kwargs) {
    ModuleState& s = state();
    py::object result = super_of(s.series_cls, self).attr("fillna")(value, **kwargs);
    // pandas 3 returns the series itself from an in-place fill: nothing new to log.
    if (inplace_result(self, result, kwargs) || !py::isinstance(result, s.ns.get("pd").attr("Series"))) {
        return result;
    }
    return self.attr("_apply_tracked_unary")(result.attr("values"), result.attr("index"), "fillna",
                                             s.ns.get("OpCode").attr("FILL"));
}

py::object series_replace(py::object self, py::args args, py::kwargs kwargs) {
    ModuleState& s = state();
    py::object result = super_of(s.series_cls, self).attr("replace")(*args, **kwargs);
    if (inplace_result(self, result, kwargs) || !py::isinstance(result, s.ns.get("pd").attr("Series"))) {
        return result;
    }
    return self.attr("_apply_tracked_unary")(result.attr("values"), result.attr("index"), "replace",
                                             s.ns.get("OpCode").attr("MAP"));
}

}  // namespace

void bind_series(py::module_ m) {
    ModuleState& s = state();
    py::object cls = pyb::make_class("DAGTrackedSeries", py::make_tuple(s.pd_series), m,
                                     "Pandas Series with DAG-tracked provenance.");
    s.series_cls = cls;
    py::list metadata;
    for (const char* name : {"_prov", "_tracker", "_node_ids"}) metadata.append(name);
    py::setattr(cls, "_metadata", metadata);
    pyb::add_readonly_property(cls, "_constructor", [](py::handle) { return state().series_cls; });
    method(cls, "__init__", &series_init);
    method(cls, "_binop_dag", &binop_dag, py::arg("other"), py::arg("np_op"),
                    py::arg("op_name"), py::arg("op_code"),
                    py::doc("Binary operation with per-row DAG logging."));
    method(cls, "_unop_dag", &unop_dag, py::arg("np_op"), py::arg("op_name"),
                    py::arg("op_code"), py::doc("Unary operation with per-row DAG logging."));
    method(cls, "_apply_tracked_unary", &apply_tracked_unary, py::arg("result_values"),
                    py::arg("result_index"), py::arg("op_name"), py::arg("op_code"),
                    py::doc("Derive provenance for the result of an element-wise pandas transform."));

    struct Arith {
        const char* method;
        const char* np_name;
        const char* op_name;
        const char* code;
        bool reflected;
    };
    static const Arith arith[] = {
        {"__add__", "add", "add", "ADD", false},
        {"__sub__", "subtract", "sub", "SUB", false},
        {"__mul__", "multiply", "mul", "MUL", false},
        {"__truediv__", "true_divide", "div", "DIV", false},
        {"__floordiv__", "floor_divide", "floordiv", "DIV", false},
        {"__pow__", "power", "pow", "MUL", false},
        {"__radd__", "add", "add", "ADD", true},
        {"__rsub__", "subtract", "sub", "SUB", true},
        {"__rmul__", "multiply", "mul", "MUL", true},
        {"__rtruediv__", "true_divide", "div", "DIV", true},
    };
    for (const Arith& a : arith) {
        method(cls, a.method, [a](py::object self, py::object other) {
            ModuleState& st = state();
            py::object np_op;
            if (a.reflected) {
                const char* name = a.np_name;
                np_op = py::cpp_function([name](py::object x, py::object y) {
                    return state().ns.get("np").attr(name)(y, x);
                });
            } else {
                np_op = st.ns.get("np").attr(a.np_name);
            }
            return self.attr("_binop_dag")(other, np_op, a.op_name,
                                           st.ns.get("OpCode").attr(a.code));
        });
    }
    struct Cmp {
        const char* method;
        const char* op_name;
        int op;
    };
    static const Cmp cmps[] = {
        {"__gt__", "gt", Py_GT}, {"__lt__", "lt", Py_LT}, {"__ge__", "ge", Py_GE}, {"__le__", "le", Py_LE}};
    for (const Cmp& c : cmps) {
        const int op = c.op;
        py::object np_op = py::cpp_function([op](py::object x, py::object y) {
            PyObject* r = PyObject_RichCompare(x.ptr(), y.ptr(), op);
            if (r == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(r);
        });
        own_comparisons().push_back(np_op.ptr());
        const char* name = c.op_name;
        method(cls, c.method, [np_op, name](py::object self, py::object other) {
            return self.attr("_binop_dag")(other, np_op, name, state().ns.get("OpCode").attr("CMP"));
        });
    }
    py::object neg = py::cpp_function([](py::object x) {
        PyObject* r = PyNumber_Negative(x.ptr());
        if (r == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    });
    method(cls, "__neg__", [neg](py::object self) {
        return self.attr("_unop_dag")(neg, "neg", state().ns.get("OpCode").attr("NEG"));
    });
    method(
        cls, "clip",
        [](py::object self, py::object lower, py::object upper) {
            py::object np_op = py::cpp_function([lower, upper](py::object x) {
                return state().ns.get("np").attr("clip")(x, lower, upper);
            });
            return self.attr("_unop_dag")(np_op, "clip", state().ns.get("OpCode").attr("CLIP"));
        },
        py::arg("lower") = py::none(), py::arg("upper") = py::none());
    method(cls, "fillna", &series_fillna, py::arg("value") = 0);
    method(cls, "replace", &series_replace);
    m.attr("DAGTrackedSeries") = cls;
}

}  // namespace corvane::dag_binding
