// Audits and risk reports. They only read fingerprints; whole-column work is
// done with numpy and the native batch functions, per-value tracker methods
// are called once per distinct fingerprint, never once per row.
#include "common.hpp"
#include "orvex32_module.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace corvane::orvex32_binding {

namespace {

py::dict error_result() {
    py::dict d;
    d["error"] = "No tracker or empty series";
    return d;
}

/// True for a numpy array of an integer dtype (the normal `_prov`).
bool is_integer_array(py::handle obj) {
    if (!py::isinstance<py::array>(obj)) return false;
    auto arr = py::reinterpret_borrow<py::array>(obj);
    const char kind = arr.dtype().kind();
    return (kind == 'u' || kind == 'i') && arr.ndim() == 1;
}

py::object audit(py::object series) {
    py::object tracker = series.attr("_tracker");
    if (!truthy(tracker) || py::len(series) == 0) return error_result();
    py::int_ p = pyb::to_int(series.attr("_prov")[py::int_(0)]);
    py::object info = tracker.attr("decode_full")(p);
    py::dict out;
    out["provenance"] = hex08(p);
    out["mode"] = info.attr("mode");
    out["pair_count"] = py::int_(py::len(info.attr("pairs")));
    out["pair_ids"] = sorted_list(info.attr("pairs"));
    out["columns"] = tracker.attr("explain")(p);
    out["tables"] = tracker.attr("explain_tables")(p);
    out["entity"] = info.attr("entity");
    out["chain"] = info.attr("chain");
    out["taint"] = info.attr("taint");
    out["depth"] = info.attr("depth");
    out["risk"] = tracker.attr("risk_score")(p);
    out["has_protected"] = tracker.attr("has_protected")(p);
    return out;
}

/// The distinct fingerprints of `prov` as Python ints.
py::list distinct_fingerprints(py::handle prov) {
    if (is_integer_array(prov)) {
        return state().ns.get("np").attr("unique")(prov).attr("tolist")();
    }
    py::set seen;
    py::list out;
    for (py::handle p : prov) {
        py::int_ v = pyb::to_int(p);
        if (!seen.contains(v)) {
            seen.add(v);
            out.append(v);
        }
    }
    return out;
}

py::object audit_series_diversity(py::object series) {
    py::object tracker = series.attr("_tracker");
    if (!truthy(tracker)) return error_result();
    const py::ssize_t total = static_cast<py::ssize_t>(py::len(series));
    if (total == 0) return error_result();
    py::list unique = distinct_fingerprints(series.attr("_prov"));

    py::set pair_ids, entities, chains;
    long taint_count = 0;
    py::object max_depth = py::int_(0);
    py::object decode_full = tracker.attr("decode_full");
    for (py::handle p : unique) {
        py::object info = decode_full(p);
        for (py::handle id : info.attr("pairs")) pair_ids.add(id);
        entities.add(info.attr("entity"));
        chains.add(info.attr("chain"));
        if (truthy(info.attr("taint"))) ++taint_count;
        py::object depth = info.attr("depth");
        if (depth > max_depth) max_depth = depth;
    }
    const auto n_unique = static_cast<py::ssize_t>(unique.size());
    py::dict out;
    out["total_rows"] = py::int_(total);
    out["unique_provenances"] = py::int_(n_unique);
    out["unique_pair_sets"] = py::int_(pair_ids.size());
    out["unique_entities"] = py::int_(entities.size());
    out["unique_chains"] = py::int_(chains.size());
    out["entity_diversity"] =
        py::float_(static_cast<double>(entities.size()) / static_cast<double>(total));
    out["tainted_provenances"] = py::int_(taint_count);
    out["taint_ratio"] = py::float_(
        n_unique ? static_cast<double>(taint_count) / static_cast<double>(n_unique) : 0.0);
    out["max_depth"] = max_depth;
    return out;
}

double provenance_entropy(py::object series) {
    const auto n = static_cast<py::ssize_t>(py::len(series));
    if (n == 0) return 0.0;
    py::object prov = series.attr("_prov");
    // Counts in order of first appearance, the order a counting dict keeps,
    // so the sum is accumulated in the same order as the row-by-row version.
    std::vector<long long> counts;
    if (is_integer_array(prov)) {
        py::object np = state().ns.get("np");
        py::tuple u = np.attr("unique")(prov, py::arg("return_index") = true,
                                        py::arg("return_counts") = true);
        auto first = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(u[1]);
        auto cnt = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(u[2]);
        if (!first || !cnt) throw py::error_already_set();
        const auto k = static_cast<std::size_t>(cnt.size());
        std::vector<std::size_t> order(k);
        std::iota(order.begin(), order.end(), std::size_t{0});
        const int64_t* f = first.data();
        std::sort(order.begin(), order.end(), [f](std::size_t a, std::size_t b) { return f[a] < f[b]; });
        counts.reserve(k);
        for (std::size_t i : order) counts.push_back(cnt.data()[i]);
    } else {
        py::dict tally;
        for (py::handle p : prov) {
            py::int_ v = pyb::to_int(p);
            PyObject* c = PyDict_GetItemWithError(tally.ptr(), v.ptr());
            if (c == nullptr && PyErr_Occurred()) throw py::error_already_set();
            tally[v] = py::int_(c == nullptr ? 1 : PyLong_AsLongLong(c) + 1);
        }
        for (auto item : tally) counts.push_back(item.second.cast<long long>());
    }
    double entropy = 0.0;
    for (long long c : counts) {
        const double prob = static_cast<double>(c) / static_cast<double>(n);
        if (prob > 0) entropy -= prob * std::log2(prob);
    }
    return entropy;
}

const char* risk_level(double max_risk) {
    if (max_risk > 0.5) return "HIGH";
    if (max_risk > 0.2) return "MEDIUM";
    if (max_risk > 0) return "LOW";
    return "CLEAN";
}

/// min(tracker.get_depth(int(p)) for p in prov[mask]).
py::object min_tainted_depth(py::handle tracker, py::handle prov, py::handle mask) {
    ModuleState& s = state();
    const long shift = small_constant("DEPTH_SHIFT", 29);
    const bool ours = shift >= 0 &&
                      class_attr_is(py::type::handle_of(tracker), "get_depth", s.own_get_depth) &&
                      py::isinstance<py::array_t<uint32_t>>(prov) &&
                      py::isinstance<py::array_t<bool>>(mask);
    if (ours) {
        auto fp = py::array_t<uint32_t, py::array::c_style | py::array::forcecast>::ensure(prov);
        auto tm = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(mask);
        if (fp && tm && fp.ndim() == 1 && tm.ndim() == 1 && fp.size() == tm.size()) {
            const uint32_t* f = fp.data();
            const bool* t = tm.data();
            uint32_t best = 8;
            for (py::ssize_t i = 0, n = fp.size(); i < n; ++i) {
                if (t[i]) best = std::min(best, (f[i] >> shift) & 7u);
            }
            if (best < 8) return py::int_(best);
        }
        PyErr_Clear();
    }
    py::object np = s.ns.get("np");
    py::object get_depth = tracker.attr("get_depth");
    py::list depths;
    for (py::handle p : prov[mask]) depths.append(get_depth(pyb::to_int(p)));
    return pyb::to_int(np.attr("min")(depths));
}

py::list column_risk_report(py::object df, py::object tracker) {
    if (tracker.is_none()) tracker = df.attr("_tracker");
    if (tracker.is_none()) return py::list();
    ModuleState& s = state();
    py::object np = s.ns.get("np");
    py::object col_prov = df.attr("_col_prov");

    struct Row {
        py::dict report;
        double rounded;
    };
    std::vector<Row> rows;
    for (py::handle col : df.attr("columns")) {
        py::dict r;
        r["column"] = col;
        int has = PySequence_Contains(col_prov.ptr(), col.ptr());
        if (has < 0) throw py::error_already_set();
        double max_risk = 0.0;
        if (!has) {
            r["tainted"] = false;
            r["max_risk"] = 0.0;
            r["min_depth"] = py::none();
            r["risk_level"] = "CLEAN";
            rows.push_back({r, 0.0});
            continue;
        }
        py::object prov = col_prov[col];
        py::object mask = np.attr("asarray")(s.ns.get("is_tainted_batch")(prov));
        const bool tainted = truthy(np.attr("any")(mask));
        py::object min_depth = py::none();
        if (tainted) {
            max_risk = py::float_(np.attr("max")(np.attr("asarray")(s.ns.get("risk_score_batch")(prov))));
            min_depth = min_tainted_depth(tracker, prov, mask);
        }
        py::object rounded = s.builtin_round(py::float_(max_risk), 4);
        r["tainted"] = py::bool_(tainted);
        r["max_risk"] = rounded;
        r["min_depth"] = min_depth;
        r["risk_level"] = risk_level(max_risk);
        rows.push_back({r, rounded.cast<double>()});
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.rounded > b.rounded; });
    py::list out;
    for (auto& row : rows) out.append(row.report);
    return out;
}

}  // namespace

void bind_audit(py::module_ m) {
    m.def("audit", &audit, py::arg("series"),
          py::doc("Audit a series for provenance, taint, and risk information."));
    m.def("audit_series_diversity", &audit_series_diversity, py::arg("series"),
          py::doc("Analyze provenance diversity across a series."));
    m.def("provenance_entropy", &provenance_entropy, py::arg("series"),
          py::doc("Shannon entropy of provenance distribution across a series."));
    m.def("column_risk_report", &column_risk_report, py::arg("df"),
          py::arg("tracker") = py::none(),
          py::doc("Per-column taint risk report. Returns list of dicts sorted by risk (highest "
                  "first)."));
}

}  // namespace corvane::orvex32_binding
