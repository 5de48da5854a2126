// Model inputs and local prediction, plus the shape-independent readers the
// provenance sync uses on inputs and outputs (_cn, _rc, _trd, _fo).
#include "wrapper.hpp"

#include <string>
#include <vector>

namespace corvane::wrapper {

namespace {

/// Imports `name`; false when it raises ImportError (other errors propagate).
bool try_import(const char* name, py::object& out) {
    PyObject* mod = PyImport_ImportModule(name);
    if (mod == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }
    out = py::reinterpret_steal<py::object>(mod);
    return true;
}

bool isinstance_of(py::handle obj, py::handle type) {
    int r = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

/// True when X is a pandas DataFrame; a missing pandas counts as "no".
bool is_pandas(py::handle X, const char* cls) {
    py::object pd;
    if (!try_import("pandas", pd)) {
        return false;
    }
    return isinstance_of(X, pd.attr(cls));
}

/// Names of `protected_columns`, in their order, that are columns of `frame`.
py::list present_columns(py::handle frame, py::handle protected_columns) {
    py::object columns = frame.attr("columns");
    py::list present;
    for (py::handle name : protected_columns) {
        if (columns.contains(name)) {
            present.append(name);
        }
    }
    return present;
}

py::object reset(py::object frame) { return frame.attr("reset_index")(py::arg("drop") = true); }

/// frame without `to_drop` (names that are its columns), index reset.
py::object drop_reset(py::handle frame, const py::list& to_drop) {
    py::list unique;
    for (py::handle name : to_drop) {
        if (!unique.contains(name)) {
            unique.append(name);
        }
    }
    return reset(frame.attr("drop")(py::arg("columns") = unique));
}

py::tuple resolve_inputs(py::object train_df, py::object test_df, py::object label_column,
                         py::object X_train, py::object y_train, py::object X_test,
                         py::object y_test, py::object protected_columns) {
    py::object pd, np;
    const bool have_pandas = try_import("pandas", pd) && try_import("numpy", np);
    py::object protected_data = py::none();

    if (!test_df.is_none()) {
        if (label_column.is_none()) {
            throw py::value_error(
                "label_column is required when passing test_df. Example: upload(model=clf, "
                "test_df=df, label_column='approved', ...)");
        }
        if (!have_pandas) {
            PyErr_SetString(PyExc_ImportError,
                            "pandas is required when using train_df/test_df mode");
            throw py::error_already_set();
        }
        py::object frame_type = pd.attr("DataFrame");
        if (!isinstance_of(test_df, frame_type)) {
            test_df = frame_type(test_df);
        }
        y_test = test_df[label_column].attr("values");
        py::list present = present_columns(test_df, protected_columns);
        if (py::len(present) > 0) {
            protected_data = reset(test_df[present]);
        }
        py::list drop_test;
        drop_test.append(label_column);
        for (py::handle name : present) {
            drop_test.append(name);
        }
        X_test = drop_reset(test_df, drop_test);
        if (!train_df.is_none()) {
            if (!isinstance_of(train_df, frame_type)) {
                train_df = frame_type(train_df);
            }
            y_train = train_df[label_column].attr("values");
            py::list drop_train;
            drop_train.append(label_column);
            for (py::handle name : present_columns(train_df, protected_columns)) {
                drop_train.append(name);
            }
            X_train = drop_reset(train_df, drop_train);
        }
    } else if (!X_test.is_none()) {
        if (have_pandas && isinstance_of(X_test, pd.attr("DataFrame"))) {
            py::list present = present_columns(X_test, protected_columns);
            if (py::len(present) > 0) {
                protected_data = reset(X_test[present]);
                X_test = drop_reset(X_test, present);
            }
            if (isinstance_of(X_train, pd.attr("DataFrame"))) {
                py::list present_train = present_columns(X_train, protected_columns);
                if (py::len(present_train) > 0) {
                    X_train = drop_reset(X_train, present_train);
                }
            }
        }
    } else {
        throw py::value_error(
            "No data provided. Pass either test_df= (DataFrame mode) or X_test= (array mode).");
    }
    return py::make_tuple(X_train, y_train, X_test, y_test, protected_data);
}

// ---- local prediction --------------------------------------------------------

/// Runs one prediction attempt; an ordinary exception means "try the next".
template <typename Attempt>
bool attempt(Attempt&& fn, py::object& out) {
    try {
        out = fn();
        return true;
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

py::object as_float64(const py::object& np, py::handle value) {
    return np.attr("asarray")(value, py::arg("dtype") = np.attr("float64"));
}

py::object matrix_of(const py::object& np, py::handle X, bool float32) {
    if (py::hasattr(X, "values")) {
        return X.attr("values");
    }
    if (float32) {
        return np.attr("asarray")(X, py::arg("dtype") = np.attr("float32"));
    }
    return np.attr("asarray")(X);
}

py::object run_local_predict(py::handle model, py::handle X) {
    py::object np = import("numpy");
    py::object out;

    if (attempt(
            [&]() -> py::object {
                if (!py::hasattr(model, "predict_proba")) {
                    PyErr_SetString(PyExc_AttributeError, "predict_proba");
                    throw py::error_already_set();
                }
                py::object proba = as_float64(np, model.attr("predict_proba")(X));
                if (py::int_(proba.attr("ndim")).cast<long>() == 2) {
                    py::tuple last = py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1);
                    return np.attr("ascontiguousarray")(proba[last]);
                }
                return proba.attr("flatten")();
            },
            out)) {
        return out;
    }
    if (attempt(
            [&]() -> py::object {
                if (!py::hasattr(model, "predict")) {
                    PyErr_SetString(PyExc_AttributeError, "predict");
                    throw py::error_already_set();
                }
                return as_float64(np, model.attr("predict")(X)).attr("flatten")();
            },
            out)) {
        return out;
    }
    if (attempt(
            [&]() -> py::object {
                py::object torch = import("torch");
                py::object data = matrix_of(np, X, false);
                py::object tensor = torch.attr("as_tensor")(
                    np.attr("asarray")(data, py::arg("dtype") = np.attr("float32")));
                py::object no_grad = torch.attr("no_grad")();
                no_grad.attr("__enter__")();
                py::object result;
                try {
                    result = py::reinterpret_borrow<py::object>(model)(tensor);
                } catch (py::error_already_set& e) {
                    exit_with_error(no_grad, e);
                    throw;
                }
                no_grad.attr("__exit__")(py::none(), py::none(), py::none());
                py::object array = result.attr("detach")().attr("cpu")().attr("numpy")();
                return array.attr("flatten")().attr("astype")(np.attr("float64"));
            },
            out)) {
        return out;
    }
    if (attempt(
            [&]() -> py::object {
                if (!py::hasattr(model, "get_inputs") || !py::hasattr(model, "run")) {
                    PyErr_SetString(PyExc_AttributeError, "get_inputs");
                    throw py::error_already_set();
                }
                py::object data = matrix_of(np, X, true);
                py::object name = model.attr("get_inputs")()[py::int_(0)].attr("name");
                py::dict feeds;
                feeds[name] = data.attr("astype")(np.attr("float32"));
                py::object outputs = model.attr("run")(py::none(), feeds);
                return as_float64(np, outputs[py::int_(0)]).attr("flatten")();
            },
            out)) {
        return out;
    }
    if (PyCallable_Check(model.ptr())) {
        if (attempt(
                [&]() -> py::object {
                    py::object result = py::reinterpret_borrow<py::object>(model)(X);
                    return as_float64(np, result).attr("flatten")();
                },
                out)) {
            return out;
        }
    }
    std::string type_name = py::str(py::type::of(model).attr("__name__"));
    PyErr_Format(PyExc_RuntimeError,
                 "Cannot generate predictions from %s. Pass predictions= directly to "
                 "corvane.upload() instead.",
                 type_name.c_str());
    throw py::error_already_set();
}

py::object compute_model_hash(py::handle model) {
    try {
        py::object raw = lookup("pickle").attr("dumps")(model);
        py::str digest = lookup("hashlib").attr("sha256")(raw).attr("hexdigest")();
        return digest[py::slice(0, 16, 1)];
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::none();
    }
}

// ---- _trd on DataFrames --------------------------------------------------------

/// Position of the column a name refers to: the label equal to it, else (for
/// frames with non-text labels such as 0, 1 whose names are "0", "1") the
/// label whose text equals it. -1 when none, -2 when ambiguous.
Py_ssize_t column_position(const py::list& labels, py::handle name) {
    Py_ssize_t found = -1;
    const Py_ssize_t m = static_cast<Py_ssize_t>(labels.size());
    for (Py_ssize_t j = 0; j < m; ++j) {
        int eq = PyObject_RichCompareBool(PyList_GET_ITEM(labels.ptr(), j), name.ptr(), Py_EQ);
        if (eq < 0) {
            PyErr_Clear();
            continue;
        }
        if (eq == 1) {
            if (found >= 0) {
                return -2;
            }
            found = j;
        }
    }
    if (found >= 0 || !PyUnicode_Check(name.ptr())) {
        return found;
    }
    for (Py_ssize_t j = 0; j < m; ++j) {
        PyObject* label = PyList_GET_ITEM(labels.ptr(), j);
        if (PyUnicode_Check(label)) {
            continue;
        }
        py::str text = py::str(py::handle(label));
        if (text.equal(name)) {
            if (found >= 0) {
                return -2;
            }
            found = j;
        }
    }
    return found;
}

py::list trd_frame(py::handle X, py::handle cols) {
    py::list labels = py::list(X.attr("columns"));
    py::list names = py::reinterpret_borrow<py::list>(cols);
    const Py_ssize_t k = static_cast<Py_ssize_t>(names.size());
    std::vector<Py_ssize_t> pos(static_cast<size_t>(k));
    bool ambiguous = false;
    for (Py_ssize_t c = 0; c < k; ++c) {
        pos[static_cast<size_t>(c)] = column_position(labels, names[static_cast<size_t>(c)]);
        ambiguous = ambiguous || pos[static_cast<size_t>(c)] == -2;
    }
    // The cells are what iterrows would hand out: each row comes from the
    // frame's common-dtype `values`, so numeric rows give numpy scalars.
    py::object values = X.attr("values");
    std::string kind = py::str(values.attr("dtype").attr("kind"));
    const bool plain = kind == "f" || kind == "i" || kind == "u" || kind == "b" || kind == "O";
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(X.attr("index")));
    py::list out;
    if (plain && !ambiguous && py::int_(values.attr("ndim")).cast<long>() == 2) {
        std::vector<py::list> columns(static_cast<size_t>(k));
        for (Py_ssize_t c = 0; c < k; ++c) {
            Py_ssize_t j = pos[static_cast<size_t>(c)];
            if (j >= 0) {
                py::object column =
                    values[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
                columns[static_cast<size_t>(c)] = py::list(column);
            }
        }
        GcPause no_gc;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* row = PyDict_New();
            if (row == nullptr) {
                throw py::error_already_set();
            }
            py::dict row_dict = py::reinterpret_steal<py::dict>(row);
            for (Py_ssize_t c = 0; c < k; ++c) {
                PyObject* cell = pos[static_cast<size_t>(c)] >= 0
                                     ? PyList_GET_ITEM(columns[static_cast<size_t>(c)].ptr(), i)
                                     : Py_None;
                if (PyDict_SetItem(row, PyList_GET_ITEM(names.ptr(), c), cell) < 0) {
                    throw py::error_already_set();
                }
            }
            out.append(row_dict);
        }
        return out;
    }
    // Datetime, extension or duplicated columns: take the rows exactly as
    // iterrows builds them.
    for (py::handle pair : X.attr("iterrows")()) {
        py::object row = py::reinterpret_borrow<py::tuple>(pair)[1];
        py::dict row_dict;
        for (Py_ssize_t c = 0; c < k; ++c) {
            Py_ssize_t j = pos[static_cast<size_t>(c)];
            py::handle name = PyList_GET_ITEM(names.ptr(), c);
            if (j >= 0) {
                row_dict[name] = row.attr("iloc")[py::int_(j)];
            } else if (j == -2) {
                row_dict[name] = row.attr("get")(name);
            } else {
                row_dict[name] = py::none();
            }
        }
        out.append(row_dict);
    }
    return out;
}

py::list trd_array(py::handle X, const py::list& names) {
    py::object np = import("numpy");
    py::object array = np.attr("asarray")(X, py::arg("dtype") = py::str("object"));
    if (py::int_(array.attr("ndim")).cast<long>() == 1) {
        array = array.attr("reshape")(-1, 1);
    }
    py::tuple shape = array.attr("shape");
    const Py_ssize_t n = py::int_(shape[0]).cast<Py_ssize_t>();
    const Py_ssize_t width = py::int_(shape[1]).cast<Py_ssize_t>();
    const Py_ssize_t k = std::min(width, static_cast<Py_ssize_t>(names.size()));
    const bool two_d = py::int_(array.attr("ndim")).cast<long>() == 2;
    py::list rows = two_d ? py::list(array.attr("tolist")()) : py::list();
    py::list out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::dict row_dict;
        for (Py_ssize_t j = 0; j < k; ++j) {
            py::handle name = PyList_GET_ITEM(names.ptr(), j);
            if (two_d) {
                row_dict[name] = PyList_GET_ITEM(PyList_GET_ITEM(rows.ptr(), i), j);
            } else {
                row_dict[name] = array[py::make_tuple(i, j)];
            }
        }
        out.append(row_dict);
    }
    return out;
}

py::list trd_rows(py::handle X, const py::list& names) {
    py::list out;
    for (py::handle row : X) {
        py::dict row_dict;
        const Py_ssize_t len = static_cast<Py_ssize_t>(py::len(row));
        for (Py_ssize_t j = 0; j < len; ++j) {
            row_dict[names[static_cast<size_t>(j)]] = row[py::int_(j)];
        }
        out.append(row_dict);
    }
    return out;
}

py::object n_arg(py::handle n) {
    if (PyLong_CheckExact(n.ptr())) {
        return py::reinterpret_borrow<py::object>(n);
    }
    if (!PyNumber_Check(n.ptr())) {
        corvane::pyb::raise_arg_type("n", &PyLong_Type, n.ptr());
    }
    return corvane::pyb::to_int(n);
}

}  // namespace

py::list cn_native(py::handle X, py::handle fallback_prefix) {
    corvane::pyb::require_str(fallback_prefix, "fallback_prefix");
    if (is_pandas(X, "DataFrame")) {
        py::list names;
        for (py::handle label : X.attr("columns")) {
            names.append(py::str(label));
        }
        return names;
    }
    try {
        py::object array = import("numpy").attr("asarray")(X);
        py::tuple shape = array.attr("shape");
        const Py_ssize_t count = shape.size() == 2 ? py::int_(shape[1]).cast<Py_ssize_t>() : 1;
        py::list names;
        py::str prefix = py::reinterpret_borrow<py::str>(fallback_prefix);
        for (Py_ssize_t i = 0; i < count; ++i) {
            names.append(prefix + py::str("_") + py::str(py::int_(i)));
        }
        return names;
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        py::list names;
        names.append(fallback_prefix);
        return names;
    }
}

py::int_ rc_native(py::handle X) {
    Py_ssize_t len = PyObject_Length(X.ptr());
    if (len >= 0) {
        return py::int_(len);
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    try {
        py::tuple shape = import("numpy").attr("asarray")(X).attr("shape");
        return corvane::pyb::to_int(shape[0]);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::int_(0);
    }
}

py::list trd_native(py::handle X, py::handle cols) {
    corvane::pyb::require_list(cols, "cols");
    py::list names = py::reinterpret_borrow<py::list>(cols);
    if (is_pandas(X, "DataFrame")) {
        return trd_frame(X, cols);
    }
    if (is_pandas(X, "Series")) {
        py::object first = names[0];  // an empty cols raises IndexError
        py::list out;
        for (py::handle value : X) {
            py::dict row_dict;
            row_dict[first] = value;
            out.append(row_dict);
        }
        return out;
    }
    try {
        return trd_array(X, names);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
    }
    try {
        return trd_rows(X, names);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::list();
    }
}

py::list fo_native(py::handle outputs, py::handle n) {
    py::object count = n_arg(n);
    const Py_ssize_t rows = count.cast<Py_ssize_t>();
    if (outputs.is_none()) {
        py::list out(rows > 0 ? rows : 0);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            PyList_SET_ITEM(out.ptr(), i, py::none().release().ptr());
        }
        return out;
    }
    try {
        py::object array = import("numpy").attr("asarray")(outputs);
        if (py::int_(array.attr("ndim")).cast<long>() == 2) {
            array = array[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1)];
        }
        py::object values = array.attr("tolist")();
        if (PyList_Check(values.ptr())) {
            return py::reinterpret_steal<py::list>(values.release());
        }
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
    }
    PyObject* as_list = PySequence_List(outputs.ptr());
    if (as_list != nullptr) {
        return py::reinterpret_steal<py::list>(as_list);
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    py::list out;
    out.append(outputs);
    for (Py_ssize_t i = 1; i < rows; ++i) {
        out.append(py::none());
    }
    return out;
}

void register_models(py::module_& m) {
    m.attr("pickle") = import("pickle");
    m.attr("hashlib") = import("hashlib");

    def_native(m, "_resolve_inputs", &resolve_inputs, py::arg("train_df"), py::arg("test_df"),
               py::arg("label_column"), py::arg("X_train"), py::arg("y_train"), py::arg("X_test"),
               py::arg("y_test"), py::arg("protected_columns"),
               "(X_train, y_train, X_test, y_test, protected_data) from DataFrame mode "
               "(test_df + label_column) or array mode (X_test), protected columns taken out.");
    def_native(m, "_run_local_predict", &run_local_predict, py::arg("model"), py::arg("X"),
               "1-D float64 predictions from predict_proba, predict, a torch module, an "
               "inference session or a callable, tried in that order.");
    def_native(m, "_compute_model_hash", &compute_model_hash, py::arg("model"),
               "First 16 hex digits of the SHA-256 of the pickled model, or None.");
    def_native(m, "_cn", &cn_native, py::arg("X"), py::arg("fallback_prefix") = "feature",
               "Column names of a frame, or prefix_0, prefix_1, ... for arrays.");
    def_native(m, "_rc", &rc_native, py::arg("X"), "Row count of X (0 when unknown).");
    def_native(m, "_trd", &trd_native, py::arg("X"), py::arg("cols"),
               "One dict per row of X, keyed by the names in cols.");
    def_native(m, "_fo", &fo_native, py::arg("outputs"), py::arg("n"),
               "One output per row: the last column of a 2-D output, None-padded fallbacks.");
}

}  // namespace corvane::wrapper
