// DAGTrackedDataFrame, wrap_dataframe_dag, get_dag_for_series,
// combine_provenances and dag_audit.
#include "common.hpp"
#include "dag_module.hpp"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace corvane::dag_binding {

namespace {

py::object np_() { return state().ns.get("np"); }

py::object frame_init(py::object self, py::args args, py::kwargs kwargs) {
    ModuleState& s = state();
    py::dict kw = kwargs;
    py::object tracker = pop_kwarg(kw, "_tracker");
    py::object col_prov = pop_kwarg(kw, "_col_prov");
    py::object col_nodes = pop_kwarg(kw, "_col_nodes");
    super_of(s.frame_cls, self).attr("__init__")(*args, **kw);
    if (col_prov.is_none()) col_prov = py::dict();
    if (col_nodes.is_none()) col_nodes = py::dict();
    if (PyObject_GenericSetAttr(self.ptr(), py::str("_tracker").ptr(), tracker.ptr()) < 0 ||
        PyObject_GenericSetAttr(self.ptr(), py::str("_col_prov").ptr(), col_prov.ptr()) < 0 ||
        PyObject_GenericSetAttr(self.ptr(), py::str("_col_nodes").ptr(), col_nodes.ptr()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

/// `arr` fitted to n rows: unchanged when its length is n, else its first
/// element repeated (or a zero when it is empty).
py::object fit_rows(py::object arr, std::size_t n, const char* dtype) {
    if (py::len(arr) == n) return arr;
    py::object np = np_();
    py::object head = py::len(arr) == 0 ? np.attr("zeros")(1, py::arg("dtype") = np.attr(dtype))
                                        : arr[py::slice(0, 1, 1)];
    return np.attr("broadcast_to")(head, py::int_(n));
}

py::object frame_getitem(py::object self, py::object key) {
    ModuleState& s = state();
    py::object result = super_of(s.frame_cls, self).attr("__getitem__")(key);
    if (!py::isinstance(result, s.ns.get("pd").attr("Series"))) return result;
    py::object np = np_();
    const std::size_t n = py::len(result);
    py::object prov = self.attr("_col_prov").attr("get")(key);
    if (prov.is_none()) prov = np.attr("zeros")(n, py::arg("dtype") = np.attr("uint32"));
    py::object nodes = self.attr("_col_nodes").attr("get")(key);
    if (nodes.is_none()) nodes = np.attr("zeros")(n, py::arg("dtype") = np.attr("int64"));
    prov = fit_rows(prov, n, "uint32");
    nodes = fit_rows(nodes, n, "int64");
    py::object cls = s.ns.get("DAGTrackedSeries");
    py::object values = result.attr("values");
    py::object tracker = self.attr("_tracker");
    if (py::isinstance<py::array>(values)) {
        // Share the column's data under pandas' copy-on-write rules instead of
        // copying it; the result is the same series of values and index.
        py::object out = cls(result, py::arg("copy") = false, py::arg("_prov") = prov.attr("copy")(),
                             py::arg("_tracker") = tracker, py::arg("_node_ids") = nodes.attr("copy")());
        out.attr("name") = py::none();
        return out;
    }
    return cls(values, py::arg("index") = result.attr("index"), py::arg("_prov") = prov.attr("copy")(),
               py::arg("_tracker") = tracker, py::arg("_node_ids") = nodes.attr("copy")());
}

py::object frame_setitem(py::object self, py::object key, py::object value) {
    ModuleState& s = state();
    super_of(s.frame_cls, self).attr("__setitem__")(key, value);
    if (py::isinstance(value, s.ns.get("DAGTrackedSeries"))) {
        self.attr("_col_prov")[key] = value.attr("_prov");
        self.attr("_col_nodes")[key] = value.attr("_node_ids");
    }
    return py::none();
}

py::object merge_col_provenance(py::object self, py::object col_prov, py::object col_nodes,
                                py::object result_columns, py::object n, py::object out_prov,
                                py::object out_nodes) {
    ModuleState& s = state();
    py::object np = np_();
    py::object tracker = self.attr("_tracker");
    const bool has_tracker = truthy(tracker);
    for (py::handle item : col_prov.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        py::object col = kv[0], prov = kv[1];
        if (!result_columns.contains(col) || out_prov.contains(col)) continue;
        py::object base = py::len(prov) > 0 ? py::object(pyb::to_int(prov[py::int_(0)])) : py::int_(0);
        py::object new_prov =
            has_tracker ? tracker.attr("update_chain")(base, s.ns.get("OpCode").attr("MERGE")) : base;
        out_prov[col] = np.attr("full")(n, new_prov, py::arg("dtype") = np.attr("uint32"));
        if (has_tracker && col_nodes.contains(col)) {
            py::object nodes = col_nodes[col];
            py::object src = py::len(nodes) > 0 ? py::object(pyb::to_int(nodes[py::int_(0)])) : py::int_(-1);
            if ((src >= py::int_(0))) {
                py::object merge_node = tracker.attr("log_unary")("merge", src, new_prov);
                out_nodes[col] = np.attr("full")(n, merge_node, py::arg("dtype") = np.attr("int64"));
            }
        }
    }
    return py::none();
}

py::object frame_merge(py::object self, py::object right, py::args args, py::kwargs kwargs) {
    ModuleState& s = state();
    py::object result = super_of(s.frame_cls, self).attr("merge")(right, *args, **kwargs);
    py::dict out_prov, out_nodes;
    py::int_ n(py::len(result));
    py::object cols = py::module_::import("builtins").attr("set")(result.attr("columns"));
    self.attr("_merge_col_provenance")(self.attr("_col_prov"), self.attr("_col_nodes"), cols, n,
                                       out_prov, out_nodes);
    if (py::isinstance(right, s.ns.get("DAGTrackedDataFrame"))) {
        self.attr("_merge_col_provenance")(right.attr("_col_prov"), right.attr("_col_nodes"), cols, n,
                                           out_prov, out_nodes);
    }
    return s.ns.get("DAGTrackedDataFrame")(result, py::arg("_tracker") = self.attr("_tracker"),
                                           py::arg("_col_prov") = out_prov,
                                           py::arg("_col_nodes") = out_nodes);
}

// ---- wrapping -------------------------------------------------------------------------

/// The host's hash of an int64 (what hash(int(x)) gives).
std::int64_t int_hash(std::int64_t x) {
    constexpr std::uint64_t kModulus = (std::uint64_t{1} << 61) - 1;
    const bool neg = x < 0;
    const std::uint64_t mag = neg ? static_cast<std::uint64_t>(-(x + 1)) + 1 : static_cast<std::uint64_t>(x);
    auto h = static_cast<std::int64_t>(mag % kModulus);
    if (neg) h = -h;
    return h == -1 ? -2 : h;
}

/// Entity bits of every row (hash of the row label, low 32 bits, reduced to
/// the entity width), computed once per frame.
std::vector<std::uint64_t> row_entities(py::object df, std::size_t n, bool include, std::uint64_t modulus) {
    std::vector<std::uint64_t> e(n, 0);
    if (!include || n == 0) return e;
    py::object labels = df.attr("index").attr("to_numpy")();
    auto arr = py::reinterpret_borrow<py::array>(labels);
    if (arr.dtype().kind() == 'i' && arr.itemsize() == 8 && arr.ndim() == 1) {
        auto v = py::reinterpret_borrow<py::array_t<std::int64_t>>(labels).unchecked<1>();
        for (std::size_t i = 0; i < n; ++i) {
            const auto h = static_cast<std::uint64_t>(int_hash(v(static_cast<py::ssize_t>(i)))) & 0xFFFFFFFFULL;
            e[i] = modulus ? h % modulus : h;
        }
        return e;
    }
    py::object index = df.attr("index");
    for (std::size_t i = 0; i < n; ++i) {
        py::object label = index[py::int_(i)];
        std::uint64_t h = 0;
        if (!label.is_none()) {
            Py_hash_t hv = PyObject_Hash(label.ptr());
            if (hv == -1 && PyErr_Occurred()) throw py::error_already_set();
            h = static_cast<std::uint64_t>(static_cast<std::int64_t>(hv)) & 0xFFFFFFFFULL;
        }
        e[i] = modulus ? h % modulus : h;
    }
    return e;
}

bool capture_skips(py::handle val) {
    if (val.is_none()) return true;
    if (PyFloat_Check(val.ptr())) {
        const double d = PyFloat_AS_DOUBLE(val.ptr());
        return d != d;
    }
    return false;
}

/// Row values of one column: the column's cells as the column holds them
/// (numbers as numbers, other cells as objects); NaN and None are skipped.
void capture_column(py::object tracker, bool plain, DagState* st, py::object column_series,
                    py::object prov_arr, py::object operation, py::object col_text) {
    py::object values = column_series.attr("to_numpy")();
    auto arr = py::reinterpret_borrow<py::array>(values);
    const char kind = arr.dtype().kind();
    const std::size_t n = py::len(values);
    if (plain && arr.ndim() == 1 && (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f')) {
        std::vector<std::int64_t> rows;
        std::size_t count = n;
        if (kind == 'f') {
            py::array_t<double> d = py::array_t<double, py::array::forcecast>(values);
            auto v = d.unchecked<1>();
            bool all = true;
            for (std::size_t i = 0; i < n && all; ++i) all = !std::isnan(v(static_cast<py::ssize_t>(i)));
            if (!all) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (!std::isnan(v(static_cast<py::ssize_t>(i)))) rows.push_back(static_cast<std::int64_t>(i));
                }
                count = rows.size();
            }
        }
        capture_values(tracker, *st, values, prov_arr, operation, col_text, std::move(rows), 0, count);
        return;
    }
    py::object cells = column_series.attr("to_numpy")(py::arg("dtype") = py::module_::import("builtins").attr("object"));
    for (std::size_t i = 0; i < n; ++i) {
        swallow_exceptions([&] {
            py::object val = cells[py::int_(i)];
            if (!capture_skips(val)) {
                tracker.attr("record_row_value")(py::int_(i), pyb::to_int(prov_arr[py::int_(i)]),
                                                 operation, val, py::arg("column_name") = col_text);
            }
        });
    }
}

py::object wrap_dataframe_dag(py::object df, py::object tracker, py::object table,
                              py::object protected_, py::object include_entity) {
    pyb::require_str(table, "table");
    ModuleState& s = state();
    py::object np = np_();
    py::object result = s.ns.get("DAGTrackedDataFrame")(df, py::arg("_tracker") = tracker);
    const std::size_t n = py::len(df);
    py::object builtins = py::module_::import("builtins");
    py::object prot_set;
    if (PyList_Check(protected_.ptr()) || PyTuple_Check(protected_.ptr()) ||
        PyAnySet_Check(protected_.ptr())) {
        prot_set = py::set();
        for (py::handle c : protected_) prot_set.attr("add")(py::str(c));
    }
    const bool include = truthy(include_entity);
    py::object bits_obj = s.ns.get("MODE_01_ENTITY_BITS");
    const bool plain = tracker_is_plain(tracker) && PyLong_CheckExact(bits_obj.ptr()) &&
                       as_i64(bits_obj) >= 0 && as_i64(bits_obj) < 33;
    DagState* st = plain ? &dag_state_of(tracker) : nullptr;
    std::vector<std::uint64_t> entities;
    if (plain) {
        entities = row_entities(df, n, include, std::uint64_t{1} << as_i64(bits_obj));
    }
    py::object columns = df.attr("columns");
    py::object index = df.attr("index");
    py::object iloc = df.attr("iloc");
    const std::size_t ncols = py::len(columns);
    for (std::size_t j = 0; j < ncols; ++j) {
        py::object col = columns[py::int_(j)];
        py::str col_text(col);
        py::object flag = prot_set ? py::object(py::bool_(prot_set.contains(col_text))) : protected_;
        py::object pair_id = tracker.attr("register")(table, col_text, flag);
        py::object is_prot = tracker.attr("is_protected")(table, col_text);
        py::array_t<std::uint32_t> prov_arr(static_cast<py::ssize_t>(n));
        py::array_t<std::int64_t> node_arr(static_cast<py::ssize_t>(n));
        std::uint32_t* pa = prov_arr.mutable_data();
        std::int64_t* na = node_arr.mutable_data();
        std::fill(pa, pa + n, 0u);
        std::fill(na, na + n, 0);
        py::object operation = table + py::str(".") + col_text;
        if (plain) {
            std::unordered_map<std::uint64_t, std::uint32_t> memo;
            py::set pairs;
            pairs.add(pair_id);
            for (std::size_t i = 0; i < n; ++i) {
                auto it = memo.find(entities[i]);
                if (it == memo.end()) {
                    py::object fp = tracker.attr("encode")(pairs, py::arg("entity") = py::int_(entities[i]),
                                                           py::arg("chain") = 0, py::arg("taint") = is_prot,
                                                           py::arg("depth") = 0);
                    it = memo.emplace(entities[i], as_fingerprint(fp, "fingerprint")).first;
                }
                pa[i] = it->second;
            }
            if (n > 0) {
                py::object src = tracker.attr("create_source_node")(table, col_text, py::int_(pa[0]));
                const std::int64_t source_node = as_i64(src);
                std::fill(na, na + n, source_node);
                capture_column(tracker, true, st, iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))],
                               prov_arr, operation, col_text);
            }
        } else {
            py::object bits = s.ns.get("MODE_01_ENTITY_BITS");
            py::object modulus = py::int_(1).attr("__lshift__")(bits);
            py::object source_node = py::int_(0);
            py::object cells;
            if (n > 0) {
                cells = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))]
                            .attr("to_numpy")(py::arg("dtype") = builtins.attr("object"));
            }
            for (std::size_t i = 0; i < n; ++i) {
                py::object e = include ? tracker.attr("entity_from_row")(index[py::int_(i)]) : py::int_(0);
                e = e.attr("__mod__")(modulus);
                py::set pairs;
                pairs.add(pair_id);
                py::object prov = tracker.attr("encode")(pairs, py::arg("entity") = e, py::arg("chain") = 0,
                                                         py::arg("taint") = is_prot, py::arg("depth") = 0);
                pa[i] = as_fingerprint(prov, "fingerprint");
                if (i == 0) source_node = tracker.attr("create_source_node")(table, col_text, prov);
                na[i] = as_i64(source_node);
                swallow_exceptions([&] {
                    py::object val = cells[py::int_(i)];
                    if (!capture_skips(val)) {
                        tracker.attr("record_row_value")(py::int_(i), pyb::to_int(prov), operation, val,
                                                         py::arg("column_name") = col_text);
                    }
                });
            }
        }
        result.attr("_col_prov")[col] = prov_arr;
        result.attr("_col_nodes")[col] = node_arr;
    }
    return result;
}

py::object get_dag_for_series(py::object series, py::object row_index) {
    py::object tracker = getattr_or_null(series, "_tracker");
    if (!tracker || !truthy(tracker) || !py::hasattr(series, "_node_ids")) return py::none();
    py::int_ row = number_arg(row_index, "row_index");
    py::object node_ids = series.attr("_node_ids");
    if ((row >= py::int_(py::len(node_ids)))) return py::none();
    py::int_ node_id = pyb::to_int(node_ids[row]);
    if ((node_id < py::int_(0))) return py::none();
    return tracker.attr("get_dag")(node_id);
}

py::object combine_provenances(py::object tracker, py::object node_ids, py::object op_code) {
    if (op_code.is_none()) op_code = state().ns.get("OpCode").attr("CUSTOM");
    py::object combined = py::int_(0);
    for (py::handle id : node_ids) {
        py::object node = tracker.attr("get_node")(id);
        if (node.is_none()) continue;
        py::object prov = node.attr("provenance");
        if (combined.equal(py::int_(0))) {
            combined = prov;
        } else {
            combined = tracker.attr("combine")(combined, prov, op_code);
        }
    }
    return combined;
}

py::object dag_audit(py::object series, py::object row_index) {
    py::object row = number_arg(row_index, "row_index");
    py::object tracker = series.attr("_tracker");
    if (!truthy(tracker) || py::len(series) == 0) {
        py::dict err;
        err["error"] = "No tracker or empty series";
        return std::move(err);
    }
    py::object prov = pyb::to_int(series.attr("_prov")[row]);
    py::object info = tracker.attr("decode_full")(prov);
    py::object dag = state().ns.get("get_dag_for_series")(series, row);
    py::object builtins = py::module_::import("builtins");
    py::dict out;
    PyObject* hex = PyObject_Format(prov.ptr(), py::str("08X").ptr());
    if (hex == nullptr) throw py::error_already_set();
    out["provenance"] = py::str("0x") + py::reinterpret_steal<py::str>(hex);
    out["mode"] = tracker.attr("get_mode")(prov);
    out["pair_count"] = py::int_(py::len(info.attr("pairs")));
    out["pair_ids"] = builtins.attr("sorted")(info.attr("pairs"));
    out["columns"] = tracker.attr("explain")(prov);
    out["tables"] = tracker.attr("explain_tables")(prov);
    out["entity"] = info.attr("entity");
    out["chain"] = info.attr("chain");
    out["taint"] = info.attr("taint");
    out["depth"] = info.attr("depth");
    out["risk"] = tracker.attr("risk_score")(prov);
    out["has_protected"] = tracker.attr("has_protected")(prov);
    if (truthy(dag)) {
        py::dict d;
        d["depth"] = dag.attr("depth");
        d["node_count"] = py::int_(py::len(dag.attr("nodes")));
        d["operation_counts"] = dag.attr("operation_counts");
        py::list sources, prot;
        for (py::handle n : dag.attr("source_nodes")) sources.append(py::make_tuple(n.attr("table"), n.attr("column")));
        for (py::handle n : dag.attr("protected_sources")) prot.append(py::make_tuple(n.attr("table"), n.attr("column")));
        d["sources"] = sources;
        d["protected_sources"] = prot;
        out["dag"] = d;
    }
    return std::move(out);
}

}  // namespace

void bind_frame(py::module_ m) {
    ModuleState& s = state();
    py::object cls = pyb::make_class("DAGTrackedDataFrame", py::make_tuple(s.pd_frame), m,
                                     "Pandas DataFrame with DAG-tracked provenance.");
    s.frame_cls = cls;
    py::list metadata;
    for (const char* name : {"_tracker", "_col_prov", "_col_nodes"}) metadata.append(name);
    py::setattr(cls, "_metadata", metadata);
    pyb::add_readonly_property(cls, "_constructor", [](py::handle) { return state().frame_cls; });
    pyb::add_readonly_property(cls, "_constructor_sliced", [](py::handle) { return state().series_cls; });
    method(cls, "__init__", &frame_init);
    method(cls, "__getitem__", &frame_getitem, py::arg("key"));
    method(cls, "__setitem__", &frame_setitem, py::arg("key"), py::arg("value"));
    method(cls, "merge", &frame_merge, py::arg("right"), py::doc("Merge with DAG tracking."));
    method(cls, "_merge_col_provenance", &merge_col_provenance, py::arg("col_prov"),
           py::arg("col_nodes"), py::arg("result_columns"), py::arg("n"), py::arg("out_prov"),
           py::arg("out_nodes"));
    m.attr("DAGTrackedDataFrame") = cls;

    m.def("wrap_dataframe_dag", &wrap_dataframe_dag, py::arg("df"), py::arg("tracker"), py::arg("table"),
          py::arg("protected") = false, py::arg("include_entity") = true,
          "Wrap a DataFrame with DAG-tracked provenance.\n\n"
          "Creates source nodes for each column in the DAG and records source values\n"
          "per row for value-level lineage.");
    m.def("get_dag_for_series", &get_dag_for_series, py::arg("series"), py::arg("row_index") = 0,
          "Get the computation DAG for a specific row in a series.");
    m.def("combine_provenances", &combine_provenances, py::arg("tracker"), py::arg("node_ids"),
          py::arg("op_code") = py::none(),
          "Combine provenance from multiple node IDs into a single value.");
    m.def("dag_audit", &dag_audit, py::arg("series"), py::arg("row_index") = 0,
          "Full audit of a series value including DAG reconstruction.");
}

}  // namespace corvane::dag_binding
