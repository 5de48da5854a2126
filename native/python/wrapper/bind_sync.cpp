// Provenance sync of a validation run: pipeline, sources, graph nodes and
// edges, per-row results, per-cell values and completion, sent one request at
// a time through _post_json/_patch_json. No service failure is raised to the
// caller; each request's failure is logged (or ignored) and the run goes on.
#include "wrapper.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane::wrapper {

namespace {

constexpr Py_ssize_t kNodePage = 100;
constexpr Py_ssize_t kValuePage = 500;

/// Interned keys and constant texts of the request bodies, made once.
struct Keys {
    py::str pipeline_id{"pipeline_id"}, row_index{"row_index"}, fingerprint{"fingerprint"},
        node_operation{"node_operation"}, column_name{"column_name"}, value{"value"},
        text_value{"text_value"}, row_key{"row_key"}, output_name{"output_name"},
        output_value{"output_value"}, input_hash{"input_hash"}, source_feature{"source_feature"},
        source_protected{"source_protected"}, model_validate{"model_validate"},
        output{"output"};
    Keys() {
        for (py::str* s : {&pipeline_id, &row_index, &fingerprint, &node_operation, &column_name,
                           &value, &text_value, &row_key, &output_name, &output_value,
                           &input_hash, &source_feature, &source_protected, &model_validate,
                           &output}) {
            PyObject* p = s->release().ptr();
            PyUnicode_InternInPlace(&p);
            *s = py::reinterpret_steal<py::str>(p);
        }
    }
};

const Keys& keys() {
    static const Keys* k = new Keys();  // leaked: see State
    return *k;
}

py::int_ content_hash_of(py::handle parts) {
    py::list texts;
    for (py::handle part : parts) {
        texts.append(py::str(part));
    }
    py::object joined = py::str("|").attr("join")(texts);
    py::object raw = joined.attr("encode")("utf-8");
    std::string hex = py::str(lookup("hashlib").attr("md5")(raw).attr("hexdigest")());
    return py::int_(std::stoul(hex.substr(0, 8), nullptr, 16));
}

py::str rh_native(py::handle row_dict) {
    corvane::pyb::require_dict(row_dict, "row_dict");
    try {
        py::object builtins_str =
            py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        py::object raw;
        PyObject* orjson = PyDict_GetItemString(state().ns.dict().ptr(), "_orjson");
        if (orjson != nullptr && state().orjson_backend && is_original("_fast_dumps")) {
            // The orjson text is UTF-8 already: hash its bytes without the
            // decode/encode round trip the text form would take.
            py::object mod = py::reinterpret_borrow<py::object>(orjson);
            raw = call_kw(mod.attr("dumps"), py::make_tuple(row_dict),
                          {{"default", builtins_str}, {"option", mod.attr("OPT_SORT_KEYS")}});
        } else {
            py::object text = lookup("_fast_dumps")(row_dict, py::arg("sort_keys") = true,
                                                   py::arg("default") = builtins_str);
            raw = text.attr("encode")("utf-8");
        }
        return lookup("hashlib").attr("sha256")(raw).attr("hexdigest")();
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::str("");
    }
}

/// The log argument for a caught exception: the exception itself, or its
/// text with the API key masked when the text happens to carry the key (a
/// proxy or server that echoes the request, for instance).
py::object log_argument(const py::object& exc, py::handle api_key) {
    if (PyUnicode_GET_LENGTH(api_key.ptr()) == 0) {
        return exc;
    }
    PyObject* text = PyObject_Str(exc.ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return exc;
    }
    py::str s = py::reinterpret_steal<py::str>(text);
    py::str masked = mask_secret(s, api_key);
    if (masked.is(s)) {
        return exc;
    }
    return masked;
}

/// Runs one guarded request; an ordinary exception is logged at `level` with
/// `fmt` (or dropped when fmt is null). Interrupts pass through.
template <typename Request>
bool guarded(Request&& request, const char* level, const char* fmt, py::handle api_key) {
    try {
        request();
        return true;
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) {
            throw;
        }
        if (fmt != nullptr) {
            py::object exc = e.value();
            lookup("logger").attr(level)(fmt, log_argument(exc, api_key));
        }
        return false;
    }
}

/// Sends `items` in slices of at most `page` through _post_json.
void post_pages(const py::list& items, Py_ssize_t page, const py::str& url, py::handle api_key,
                const char* level, const char* fmt, bool explicit_timeout) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(items.size());
    for (Py_ssize_t start = 0; start < total; start += page) {
        guarded(
            [&]() {
                py::object slice = py::reinterpret_steal<py::object>(
                    PyList_GetSlice(items.ptr(), start, start + page));
                if (!slice) {
                    throw py::error_already_set();
                }
                py::object post = lookup("_post_json");
                if (explicit_timeout) {
                    post(url, api_key, slice, py::arg("timeout") = 120);
                } else {
                    post(url, api_key, slice);
                }
            },
            level, fmt, api_key);
    }
}

/// Column fingerprints: computed once per name while _content_hash is this
/// module's own (the value only depends on the name), else asked every time.
class ColumnFingerprints {
public:
    ColumnFingerprints(py::handle model_name) : model_name_(py::reinterpret_borrow<py::object>(model_name)) {}

    py::object get(py::handle column) {
        if (!is_original("_content_hash")) {
            return lookup("_content_hash")("source", model_name_, column);
        }
        PyObject* hit = PyDict_GetItemWithError(cache_.ptr(), column.ptr());
        if (hit != nullptr) {
            return py::reinterpret_borrow<py::object>(hit);
        }
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        py::object fp = content_hash_of(py::make_tuple("source", model_name_, column));
        cache_[column] = fp;
        return fp;
    }

private:
    py::object model_name_;
    py::dict cache_;
};

/// Splits one value with _gs: natively while _gs is this module's own.
class Splitter {
public:
    Splitter() : native_(is_original("_gs")), gs_(native_ ? py::object() : lookup("_gs")) {}

    void split(py::handle val, py::object& num, py::object& text) const {
        if (native_) {
            gs_split(val, num, text);
            return;
        }
        py::object pair = gs_(val);
        num = pair[py::int_(0)];
        text = pair[py::int_(1)];
    }

private:
    bool native_;
    py::object gs_;
};

/// seq[i] when i is below len(seq), else `fallback`.
py::object item_or(py::handle seq, Py_ssize_t len, Py_ssize_t i, py::handle fallback) {
    if (i >= len) {
        return py::reinterpret_borrow<py::object>(fallback);
    }
    if (PyList_CheckExact(seq.ptr())) {
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq.ptr(), i));
    }
    PyObject* item = PySequence_GetItem(seq.ptr(), i);
    if (item == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(item);
}

/// row.get(name): a dict look-up, or the object's own get for other mappings.
py::object row_get(py::handle row, py::handle name) {
    if (PyDict_CheckExact(row.ptr())) {
        PyObject* hit = PyDict_GetItemWithError(row.ptr(), name.ptr());
        if (hit == nullptr) {
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            return py::none();
        }
        return py::reinterpret_borrow<py::object>(hit);
    }
    return row.attr("get")(name);
}

Py_ssize_t seq_len(py::handle seq) {
    Py_ssize_t n = PySequence_Size(seq.ptr());
    if (n < 0) {
        throw py::error_already_set();
    }
    return n;
}

PyObject* value_object(const Keys& k, PyObject* pipeline_id, PyObject* row_index,
                       PyObject* fingerprint, PyObject* operation, PyObject* column,
                       PyObject* num, PyObject* text) {
    PyObject* d = PyDict_New();
    if (d == nullptr) {
        throw py::error_already_set();
    }
    if (PyDict_SetItem(d, k.pipeline_id.ptr(), pipeline_id) < 0 ||
        PyDict_SetItem(d, k.row_index.ptr(), row_index) < 0 ||
        PyDict_SetItem(d, k.fingerprint.ptr(), fingerprint) < 0 ||
        PyDict_SetItem(d, k.node_operation.ptr(), operation) < 0 ||
        PyDict_SetItem(d, k.column_name.ptr(), column) < 0 ||
        PyDict_SetItem(d, k.value.ptr(), num) < 0 ||
        PyDict_SetItem(d, k.text_value.ptr(), text) < 0) {
        Py_DECREF(d);
        throw py::error_already_set();
    }
    return d;
}

void sync_prov(py::object X, py::object y, py::object protected_data,
               py::object protected_columns, py::object model_name, py::object model_version,
               py::object api_key, py::object service_url, py::object model_id) {
    using corvane::pyb::require_list;
    using corvane::pyb::require_str;
    require_list(protected_columns, "protected_columns");
    require_str(model_name, "model_name");
    require_str(model_version, "model_version");
    require_str(api_key, "api_key");
    require_str(service_url, "service_url");
    require_str(model_id, "model_id");
    const Keys& k = keys();

    // Preparation (not guarded: a failure here is the caller's).
    py::str base = service_url.attr("rstrip")("/");
    py::list features = lookup("_cn")(X);
    py::list protected_names;
    if (!protected_data.is_none()) {
        protected_names = lookup("_cn")(protected_data, "protected");
    }
    // A copy: py::list(list) would alias the feature list itself.
    py::list all_columns = py::reinterpret_steal<py::list>(PySequence_List(features.ptr()));
    if (!all_columns) {
        throw py::error_already_set();
    }
    for (py::handle name : protected_names) {
        if (!features.contains(name)) {
            all_columns.append(name);
        }
    }

    // 1. Pipeline.
    py::object pipeline_id;
    {
        py::dict config;
        config["model_name"] = model_name;
        config["model_version"] = model_version;
        config["model_id"] = model_id;
        py::dict body;
        body["pipeline_name"] = py::str(model_name) + py::str("_v") + py::str(model_version);
        body["config"] = config;
        bool ok = guarded(
            [&]() {
                py::object answer =
                    lookup("_post_json")(base + py::str("/v1/pipelines"), api_key, body);
                pipeline_id = corvane::pyb::to_int(answer[py::str("pipeline_id")]);
            },
            "error", "[corvane] validate() provenance: pipeline creation failed: %s", api_key);
        if (!ok) {
            return;
        }
    }

    auto content_hash = [&](const char* kind, py::handle a, py::handle b) -> py::object {
        if (is_original("_content_hash")) {
            return content_hash_of(py::make_tuple(kind, a, b));
        }
        return lookup("_content_hash")(kind, a, b);
    };
    const py::object validation_fp = content_hash("validation", model_name, model_version);
    ColumnFingerprints column_fp(model_name);

    // 2. Sources, one request each, and their source nodes.
    py::list nodes;
    const py::str sources_url = base + py::str("/v1/sources");
    for (py::handle column : all_columns) {
        const bool is_protected =
            protected_names.contains(column) || protected_columns.contains(column);
        py::object fp = column_fp.get(column);
        py::dict node;
        node["fingerprint"] = fp;
        node["node_type"] = "source";
        node["operation"] = is_protected ? k.source_protected : k.source_feature;
        node["table_name"] = model_name;
        node["column_name"] = column;
        node["pair_id"] = fp;
        node["is_protected"] = py::bool_(is_protected);
        node["pipeline_id"] = pipeline_id;
        nodes.append(node);
        py::dict source;
        source["pair_id"] = fp;
        source["table_name"] = model_name;
        source["column_name"] = column;
        source["is_protected"] = py::bool_(is_protected);
        guarded([&]() { lookup("_post_json")(sources_url, api_key, source); }, "warning", nullptr,
                api_key);
    }
    {
        py::dict metadata;
        metadata["model_version"] = model_version;
        metadata["model_id"] = model_id;
        py::dict node;
        node["fingerprint"] = validation_fp;
        node["node_type"] = "computation";
        node["operation"] = k.model_validate;
        node["table_name"] = model_name;
        node["column_name"] = k.output;
        node["is_protected"] = py::bool_(false);
        node["pipeline_id"] = pipeline_id;
        node["metadata"] = metadata;
        nodes.append(node);
    }

    // 3. Nodes and 4. edges, in pages.
    post_pages(nodes, kNodePage, base + py::str("/v1/nodes"), api_key, "warning",
               "[corvane] validate() provenance: node batch failed: %s", false);
    py::list edges;
    for (py::handle column : all_columns) {
        py::dict edge;
        edge["parent_fingerprint"] = column_fp.get(column);
        edge["child_fingerprint"] = validation_fp;
        edges.append(edge);
    }
    post_pages(edges, kNodePage, base + py::str("/v1/edges"), api_key, "warning",
               "[corvane] validate() provenance: edge batch failed: %s", false);

    // 5. Results.
    py::int_ n_obj = corvane::pyb::expect_int_result(lookup("_rc")(X));
    const Py_ssize_t n = n_obj.cast<Py_ssize_t>();
    if (n == 0) {
        return;
    }
    py::object rows = lookup("_trd")(X, features);
    py::object protected_rows = py::list();
    if (!protected_data.is_none()) {
        protected_rows = lookup("_trd")(protected_data, protected_names);
    }
    py::object outputs = lookup("_fo")(y, n_obj);
    const Py_ssize_t n_rows = seq_len(rows);
    const Py_ssize_t n_protected = seq_len(protected_rows);
    const Py_ssize_t n_outputs = seq_len(outputs);

    const Splitter splitter;
    const bool native_rh = is_original("_rh");
    py::object rh = native_rh ? py::object() : lookup("_rh");
    py::object empty_row = py::dict();
    py::object num, text;

    py::list results;
    std::optional<GcPause> no_gc(std::in_place);
    const std::string row_key_prefix =
        std::string(py::str(model_name)) + "_" + std::string(py::str(pipeline_id)) +
        "_model_validate_";
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object row = item_or(rows, n_rows, i, empty_row);
        py::object out = item_or(outputs, n_outputs, i, py::none());
        splitter.split(out, num, text);
        py::object hash = native_rh ? py::object(rh_native(row)) : rh(row);
        py::dict result;
        result[k.row_key] = py::str(row_key_prefix + std::to_string(i));
        result[k.output_name] = k.model_validate;
        result[k.fingerprint] = validation_fp;
        result[k.output_value] = num;
        result[k.input_hash] = hash;
        results.append(result);
    }
    no_gc.reset();  // never across a request
    {
        py::dict body;
        body["pipeline_id"] = pipeline_id;
        body["results"] = results;
        guarded(
            [&]() {
                lookup("_post_json")(base + py::str("/v1/results"), api_key, body,
                                     py::arg("timeout") = 120);
            },
            "error", "[corvane] validate() provenance: results upload failed: %s", api_key);
    }
    results = py::list();

    // 6. Values: per row, its feature cells, its protected cells, its output.
    std::vector<py::object> feature_fps, protected_fps;
    for (py::handle c : features) {
        feature_fps.push_back(column_fp.get(c));
    }
    for (py::handle c : protected_names) {
        protected_fps.push_back(column_fp.get(c));
    }
    const bool cache_fps = is_original("_content_hash");
    const Py_ssize_t width = static_cast<Py_ssize_t>(features.size() + protected_names.size()) + 1;
    no_gc.emplace();
    PyObject* values_raw = PyList_New(n * width);
    if (values_raw == nullptr) {
        throw py::error_already_set();
    }
    py::list values = py::reinterpret_steal<py::list>(values_raw);
    Py_ssize_t slot = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object row = item_or(rows, n_rows, i, empty_row);
        py::object prow = item_or(protected_rows, n_protected, i, empty_row);
        py::int_ row_index(i);
        size_t c = 0;
        for (py::handle name : features) {
            splitter.split(row_get(row, name), num, text);
            py::object fp = cache_fps ? feature_fps[c] : column_fp.get(name);
            PyList_SET_ITEM(values_raw, slot++,
                            value_object(k, pipeline_id.ptr(), row_index.ptr(), fp.ptr(),
                                         k.source_feature.ptr(), name.ptr(), num.ptr(),
                                         text.ptr()));
            ++c;
        }
        c = 0;
        for (py::handle name : protected_names) {
            splitter.split(row_get(prow, name), num, text);
            py::object fp = cache_fps ? protected_fps[c] : column_fp.get(name);
            PyList_SET_ITEM(values_raw, slot++,
                            value_object(k, pipeline_id.ptr(), row_index.ptr(), fp.ptr(),
                                         k.source_protected.ptr(), name.ptr(), num.ptr(),
                                         text.ptr()));
            ++c;
        }
        py::object out = item_or(outputs, n_outputs, i, py::none());
        splitter.split(out, num, text);
        PyList_SET_ITEM(values_raw, slot++,
                        value_object(k, pipeline_id.ptr(), row_index.ptr(), validation_fp.ptr(),
                                     k.model_validate.ptr(), k.output.ptr(), num.ptr(),
                                     text.ptr()));
    }
    no_gc.reset();
    post_pages(values, kValuePage, base + py::str("/v1/values"), api_key, "error",
               "[corvane] validate() provenance: values batch failed: %s", true);

    // 7. Completion; its failure is deliberately silent.
    py::dict done;
    done["status"] = "validation_complete";
    py::str done_url = base + py::str("/v1/pipelines/") + py::str(pipeline_id);
    guarded([&]() { lookup("_patch_json")(done_url, api_key, done, py::arg("timeout") = 30); },
            "warning", nullptr, api_key);
}

}  // namespace

void register_sync(py::module_& m) {
    def_native(
        m, "_content_hash", [](py::args parts) { return content_hash_of(parts); },
        "32-bit identifier hash of the parts: first 8 hex digits of MD5('|'.join(map(str, parts))).");
    def_native(m, "_rh", &rh_native, py::arg("row_dict"),
               "SHA-256 hex digest of the row's canonical JSON text (sorted keys), or ''.");
    def_native(m, "_sync_prov", &sync_prov, py::arg("X"), py::arg("y"), py::arg("protected_data"),
               py::arg("protected_columns"), py::arg("model_name"), py::arg("model_version"),
               py::arg("api_key"), py::arg("service_url"), py::arg("model_id") = "",
               "Uploads a validation run: pipeline, sources, graph nodes and edges, one result "
               "per row, the cell values, then marks the pipeline complete. Service failures "
               "are logged, never raised.");
}

}  // namespace corvane::wrapper
