// Value sanitising, container serialisation, value splitting (_gs) and the
// module's own JSON pair.
#include "wrapper.hpp"

#include <cmath>
#include <vector>

namespace corvane::wrapper {

namespace {

// numpy's abstract scalar types, resolved once. numpy is optional for _gs:
// while it cannot be imported the plain-number branch is used instead.
struct NumpyScalars {
    bool loaded = false;
    PyObject* integer = nullptr;
    PyObject* floating = nullptr;
    PyObject* float64 = nullptr;
};

NumpyScalars& numpy_scalars() {
    static NumpyScalars s;
    return s;
}

/// Imports numpy once; false (with no error set) when it is not importable.
/// Only ImportError counts as "numpy missing"; any other failure propagates.
bool load_numpy_scalars() {
    NumpyScalars& s = numpy_scalars();
    if (s.loaded) {
        return true;
    }
    PyObject* np = PyImport_ImportModule("numpy");
    if (np == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }
    s.integer = PyObject_GetAttrString(np, "integer");
    s.floating = PyObject_GetAttrString(np, "floating");
    s.float64 = PyObject_GetAttrString(np, "float64");
    Py_DECREF(np);
    if (s.integer == nullptr || s.floating == nullptr || s.float64 == nullptr) {
        throw py::error_already_set();
    }
    s.loaded = true;
    return true;
}

bool isinstance_of(PyObject* obj, PyObject* type) {
    int r = PyObject_IsInstance(obj, type);
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

/// float(val), reusing the object when it already is an exact float.
py::object to_float(PyObject* val) {
    if (PyFloat_CheckExact(val)) {
        return py::reinterpret_borrow<py::object>(val);
    }
    const NumpyScalars& s = numpy_scalars();
    if (s.loaded && Py_TYPE(val) == reinterpret_cast<PyTypeObject*>(s.float64)) {
        return py::reinterpret_steal<py::object>(PyFloat_FromDouble(PyFloat_AS_DOUBLE(val)));
    }
    PyObject* f = PyNumber_Float(val);
    if (f == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(f);
}

constexpr Py_ssize_t kMaxText = 255;

py::object text_of(PyObject* val) {
    PyObject* s = PyObject_Str(val);
    if (s == nullptr) {
        throw py::error_already_set();
    }
    if (PyUnicode_GET_LENGTH(s) <= kMaxText) {
        return py::reinterpret_steal<py::object>(s);
    }
    PyObject* cut = PyUnicode_Substring(s, 0, kMaxText);
    Py_DECREF(s);
    if (cut == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(cut);
}

inline bool nonfinite_float(PyObject* v) {
    return PyFloat_Check(v) && !std::isfinite(PyFloat_AS_DOUBLE(v));
}

/// The sanitised element: a new reference to None or to `v` itself.
inline PyObject* sanitized_ref(PyObject* v) {
    PyObject* r = nonfinite_float(v) ? Py_None : v;
    Py_INCREF(r);
    return r;
}

/// A list of the sanitised elements of an iterable.
py::list sanitize_iterable(PyObject* obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        PyObject* seq = obj;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        PyObject** items = PySequence_Fast_ITEMS(seq);
        PyObject* out = PyList_New(n);
        if (out == nullptr) {
            throw py::error_already_set();
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyList_SET_ITEM(out, i, sanitized_ref(items[i]));
        }
        return py::reinterpret_steal<py::list>(out);
    }
    py::list out;
    PyObject* it = PyObject_GetIter(obj);
    if (it == nullptr) {
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    while (PyObject* item = PyIter_Next(it)) {
        PyObject* s = sanitized_ref(item);
        Py_DECREF(item);
        if (PyList_Append(out.ptr(), s) < 0) {
            Py_DECREF(s);
            throw py::error_already_set();
        }
        Py_DECREF(s);
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return out;
}

// ---- DataFrame fast path ---------------------------------------------------

/// An n x m list of row lists whose cells come from `cell(i, j)` (a new
/// reference, or null with a Python error set), with the collector paused:
/// a million fresh lists would otherwise trigger it again and again.
template <typename Cell>
py::list build_rows(Py_ssize_t n, Py_ssize_t m, Cell&& cell) {
    GcPause no_gc;
    PyObject* rows = PyList_New(n);
    if (rows == nullptr) {
        throw py::error_already_set();
    }
    py::list result = py::reinterpret_steal<py::list>(rows);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_New(m);
        if (row == nullptr) {
            throw py::error_already_set();
        }
        PyList_SET_ITEM(rows, i, row);
        for (Py_ssize_t j = 0; j < m; ++j) {
            PyObject* value = cell(i, j);
            if (value == nullptr) {
                throw py::error_already_set();
            }
            PyList_SET_ITEM(row, j, value);
        }
    }
    return result;
}

/// Rows of a 2-D float64 array, read straight from its buffer with non-finite
/// cells as None: what to_dict(orient="split") followed by row sanitising
/// gives, without the per-row tuples and boxing of the pandas route.
py::list rows_from_float_matrix(const py::array_t<double>& values) {
    auto view = values.unchecked<2>();
    return build_rows(view.shape(0), view.shape(1), [&](Py_ssize_t i, Py_ssize_t j) -> PyObject* {
        const double d = view(i, j);
        if (std::isfinite(d)) {
            return PyFloat_FromDouble(d);
        }
        Py_INCREF(Py_None);
        return Py_None;
    });
}

/// Rows built from per-column lists of native values (ints, floats, bools),
/// transposed and sanitised in one pass.
py::list rows_from_column_lists(const std::vector<py::list>& cols, Py_ssize_t n) {
    const Py_ssize_t m = static_cast<Py_ssize_t>(cols.size());
    return build_rows(n, m, [&](Py_ssize_t i, Py_ssize_t j) -> PyObject* {
        return sanitized_ref(PyList_GET_ITEM(cols[static_cast<size_t>(j)].ptr(), i));
    });
}

/// The "split" dictionary of a plain numeric DataFrame, or None when the frame
/// is not eligible (a subclass overriding to_dict, extension or object dtypes)
/// and the pandas route must be taken.
py::object split_numeric_frame(py::handle arr, py::handle pd) {
    py::object frame_type = pd.attr("DataFrame");
    py::object own_to_dict = py::getattr(py::type::of(arr), "to_dict", py::none());
    if (!own_to_dict.is(frame_type.attr("to_dict"))) {
        return py::none();
    }
    // pandas warns about duplicate column labels here; keep that its own job.
    if (!py::bool_(arr.attr("columns").attr("is_unique"))) {
        return py::none();
    }
    py::object np = import("numpy");
    py::object np_dtype = np.attr("dtype");
    py::list dtypes = arr.attr("dtypes").attr("tolist")();
    bool all_float64 = true;
    py::object float64 = np_dtype("float64");
    for (py::handle dt : dtypes) {
        if (!isinstance_of(dt.ptr(), np_dtype.ptr())) {
            return py::none();
        }
        std::string kind = py::str(dt.attr("kind"));
        if (kind != "f" && kind != "i" && kind != "u" && kind != "b") {
            return py::none();
        }
        if (!dt.equal(float64)) {
            all_float64 = false;
        }
    }
    py::object index = arr.attr("index").attr("tolist")();
    py::object columns = arr.attr("columns").attr("tolist")();
    const Py_ssize_t m = static_cast<Py_ssize_t>(dtypes.size());
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(arr.attr("index")));
    py::list data;
    if (all_float64 && m > 0) {
        py::object values = arr.attr("to_numpy")();
        auto matrix = py::array_t<double>::ensure(values);
        if (!matrix || matrix.ndim() != 2) {
            return py::none();
        }
        data = rows_from_float_matrix(matrix);
    } else {
        std::vector<py::list> cols;
        cols.reserve(static_cast<size_t>(m));
        py::object iloc = arr.attr("iloc");
        for (Py_ssize_t j = 0; j < m; ++j) {
            py::object col = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            cols.push_back(col.attr("to_numpy")().attr("tolist")());
        }
        data = rows_from_column_lists(cols, n);
    }
    py::dict split;
    split["index"] = index;
    split["columns"] = columns;
    split["data"] = data;
    return split;
}

py::object serialize_body(py::handle arr) {
    py::object pd = import("pandas");
    py::object np = import("numpy");
    if (isinstance_of(arr.ptr(), pd.attr("DataFrame").ptr())) {
        py::object split;
        if (is_original("_sanitize_rows")) {
            split = split_numeric_frame(arr, pd);
        }
        if (!split || split.is_none()) {
            split = arr.attr("to_dict")(py::arg("orient") = "split");
            split["data"] = lookup("_sanitize_rows")(split["data"]);
        }
        py::dict out;
        out["type"] = "dataframe";
        out["data"] = split;
        return out;
    }
    if (isinstance_of(arr.ptr(), pd.attr("Series").ptr()) ||
        isinstance_of(arr.ptr(), np.attr("ndarray").ptr())) {
        const bool series = isinstance_of(arr.ptr(), pd.attr("Series").ptr());
        py::dict out;
        out["type"] = series ? "series" : "ndarray";
        out["data"] = lookup("_sanitize_list")(arr.attr("tolist")());
        return out;
    }
    PyObject* sparse = PyImport_ImportModule("scipy.sparse");
    if (sparse == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    } else {
        py::object sp = py::reinterpret_steal<py::object>(sparse);
        if (py::bool_(sp.attr("issparse")(arr))) {
            py::dict out;
            out["type"] = "ndarray";
            out["data"] = lookup("_sanitize_rows")(arr.attr("toarray")().attr("tolist")());
            return out;
        }
    }
    py::list items;
    for (py::handle x : arr) {
        if (py::hasattr(x, "item")) {
            items.append(x.attr("item")());
        } else {
            items.append(x);
        }
    }
    py::dict out;
    out["type"] = "list";
    out["data"] = lookup("_sanitize_list")(items);
    return out;
}

// ---- JSON pair ---------------------------------------------------------------

py::str orjson_dumps(py::handle obj, py::handle default_, py::handle sort_keys) {
    py::object orjson = lookup("_orjson");
    py::int_ flags(0);
    if (PyObject_IsTrue(sort_keys.ptr()) == 1) {
        flags = py::int_(orjson.attr("OPT_SORT_KEYS"));
    } else if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    py::object raw;
    if (!default_.is_none()) {
        raw = call_kw(orjson.attr("dumps"), py::make_tuple(obj),
                      {{"default", default_}, {"option", flags}});
    } else {
        raw = call_kw(orjson.attr("dumps"), py::make_tuple(obj), {{"option", flags}});
    }
    return raw.attr("decode")("utf-8");
}

py::object orjson_loads(py::handle s) { return lookup("_orjson").attr("loads")(s); }

py::object stdlib_dumps(py::handle obj, py::handle default_, py::handle sort_keys) {
    return lookup("json").attr("dumps")(obj, py::arg("default") = default_,
                                        py::arg("sort_keys") = sort_keys);
}

py::object stdlib_loads(py::handle s) { return lookup("json").attr("loads")(s); }

}  // namespace

// ---- shared cores --------------------------------------------------------------

void gs_split(py::handle val, py::object& out_num, py::object& out_text) {
    PyObject* v = val.ptr();
    out_num = py::none();
    out_text = py::none();
    if (PyBool_Check(v)) {
        out_num = py::float_(v == Py_True ? 1.0 : 0.0);
        return;
    }
    // Exact floats are by far the most common cell; settle them before
    // asking numpy anything.
    if (PyFloat_CheckExact(v)) {
        if (!std::isnan(PyFloat_AS_DOUBLE(v)) || !load_numpy_scalars()) {
            out_num = py::reinterpret_borrow<py::object>(v);
        }
        return;
    }
    if (load_numpy_scalars()) {
        const NumpyScalars& s = numpy_scalars();
        if (PyLong_Check(v) || PyFloat_Check(v) || isinstance_of(v, s.integer) ||
            isinstance_of(v, s.floating)) {
            py::object f = to_float(v);
            if (!std::isnan(PyFloat_AS_DOUBLE(f.ptr()))) {
                out_num = std::move(f);
            }
            return;
        }
    } else if (PyLong_Check(v) || PyFloat_Check(v)) {
        // Without numpy the plain conversion is used as is, NaN included.
        out_num = to_float(v);
        return;
    }
    if (v != Py_None) {
        out_text = text_of(v);
    }
}

py::tuple gs_native(py::handle val) {
    py::object num, text;
    gs_split(val, num, text);
    return py::make_tuple(num, text);
}

py::object sanitize_value_native(py::handle v) {
    return py::reinterpret_steal<py::object>(sanitized_ref(v.ptr()));
}

py::list sanitize_list_native(py::handle lst) { return sanitize_iterable(lst.ptr()); }

py::list sanitize_rows_native(py::handle rows) {
    py::list out;
    for (py::handle row : rows) {
        out.append(sanitize_iterable(row.ptr()));
    }
    return out;
}

py::object serialize_native(py::handle arr) {
    if (arr.is_none()) {
        return py::none();
    }
    try {
        return serialize_body(arr);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        py::object exc = e.value();
        py::object name = py::type::of(arr).attr("__name__");
        lookup("logger").attr("warning")("[corvane] Could not serialize %s: %s", name, exc);
        return py::none();
    }
}

void register_sanitise(py::module_& m) {
    m.attr("json") = import("json");
    m.attr("logging") = import("logging");
    m.attr("logger") = import("logging").attr("getLogger")(m.attr("__name__"));

    def_native(m, "_sanitize_value", &sanitize_value_native, py::arg("v"),
               "None for a non-finite float (NaN, +inf, -inf); otherwise the value itself.");
    def_native(m, "_sanitize_list", &sanitize_list_native, py::arg("lst"),
               "A new list with _sanitize_value applied to each element.");
    def_native(m, "_sanitize_rows", &sanitize_rows_native, py::arg("rows"),
               "A new list of new lists with _sanitize_value applied to each cell.");
    def_native(m, "_serialize", &serialize_native, py::arg("arr"),
               "A tagged {'type', 'data'} container for a frame, series, array, sparse "
               "matrix or iterable; None for None or after a logged failure.");
    def_native(m, "_gs", &gs_native, py::arg("val"),
               "Splits a value into (number or None, text of at most 255 characters or None).");

    // The JSON back-end is chosen once: orjson when it imports, else the
    // standard library. Digests over the text depend on this choice.
    PyObject* orjson = PyImport_ImportModule("orjson");
    if (orjson != nullptr) {
        m.attr("_orjson") = py::reinterpret_steal<py::object>(orjson);
        state().orjson_backend = true;
        def_native(m, "_fast_dumps", &orjson_dumps, py::arg("obj"), py::arg("default") = py::none(),
                   py::arg("sort_keys") = false, "JSON text of obj (orjson back-end).");
        def_native(m, "_fast_loads", &orjson_loads, py::arg("s"),
                   "The value of a JSON text (orjson back-end).");
    } else {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        def_native(m, "_fast_dumps", &stdlib_dumps, py::arg("obj"), py::arg("default") = py::none(),
                   py::arg("sort_keys") = false, "JSON text of obj (standard-library back-end).");
        def_native(m, "_fast_loads", &stdlib_loads, py::arg("s"),
                   "The value of a JSON text (standard-library back-end).");
    }
}

}  // namespace corvane::wrapper
