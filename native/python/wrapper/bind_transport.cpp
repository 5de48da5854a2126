// HTTP transport: one JSON request per call through the standard library's
// urllib.request, so proxies, TLS settings and custom openers configured by
// the user apply as they would for any other Python HTTP code.
#include "wrapper.hpp"

namespace corvane::wrapper {

namespace {

constexpr const char* kMask = "***";
constexpr long kDefaultMaxErrorText = 200;

/// int argument semantics: ints pass, other numbers go through int(), and
/// anything that is not a number is an argument TypeError.
py::object timeout_arg(py::handle timeout) {
    if (PyLong_CheckExact(timeout.ptr())) {
        return py::reinterpret_borrow<py::object>(timeout);
    }
    if (!PyNumber_Check(timeout.ptr())) {
        corvane::pyb::raise_arg_type("timeout", &PyLong_Type, timeout.ptr());
    }
    return corvane::pyb::to_int(timeout);
}

/// A bearer key with a line break or NUL would either be refused by
/// http.client with an error that quotes the whole header (key included) or,
/// worse, split the header block. Refuse it up front without echoing it.
void check_header_safe_key(py::handle api_key) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(api_key.ptr());
    const int kind = PyUnicode_KIND(api_key.ptr());
    const void* data = PyUnicode_DATA(api_key.ptr());
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '\r' || ch == '\n' || ch == '\0') {
            throw py::value_error(
                "api_key contains a line break or NUL character and cannot be sent in an "
                "HTTP header");
        }
    }
}

/// Raises RuntimeError(message) with `cause` as both __cause__ and __context__,
/// as `raise RuntimeError(...) from cause` inside an except block would.
[[noreturn]] void raise_chained_runtime_error(const py::str& message, const py::object& cause) {
    PyObject* exc = PyObject_CallOneArg(PyExc_RuntimeError, message.ptr());
    if (exc == nullptr) {
        throw py::error_already_set();
    }
    PyException_SetCause(exc, py::object(cause).release().ptr());
    PyException_SetContext(exc, py::object(cause).release().ptr());
    PyErr_SetObject(PyExc_RuntimeError, exc);
    Py_DECREF(exc);
    throw py::error_already_set();
}

[[noreturn]] void raise_http_error(const py::object& http_error, const char* method_note,
                                   py::handle url, py::handle api_key) {
    py::object raw = http_error.attr("read")();
    py::str text = raw.attr("decode")("utf-8", "replace");
    // Mask before cutting, so a key that straddles the cut cannot leak in part.
    text = mask_secret(text, api_key);
    py::object limit = lookup("_MAX_ERROR_TEXT");
    py::object quoted = text[py::slice(py::none(), limit, py::none())];
    py::str message = py::str("HTTP {}{} from {}: {}")
                          .format(http_error.attr("code"), method_note, url, quoted);
    raise_chained_runtime_error(mask_secret(message, api_key), http_error);
}

py::object send_json(const char* method, const char* method_note, py::handle url,
                     py::handle api_key, py::handle payload, py::handle timeout) {
    py::object timeout_value = timeout_arg(timeout);
    check_header_safe_key(api_key);

    py::object builtins_str = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::object text = lookup("_fast_dumps")(payload, py::arg("default") = builtins_str);
    py::object body = text.attr("encode")("utf-8");

    py::dict headers;
    headers["Authorization"] = py::str("Bearer ") + py::reinterpret_borrow<py::str>(api_key);
    headers["Content-Type"] = "application/json";
    headers["Accept"] = "application/json";
    headers["User-Agent"] = "corvane-python-client/1.0";

    py::object urllib = lookup("urllib");
    py::object request_mod = urllib.attr("request");
    py::object request = request_mod.attr("Request")(url, py::arg("data") = body,
                                                     py::arg("method") = method,
                                                     py::arg("headers") = headers);
    py::object response;
    try {
        response = request_mod.attr("urlopen")(request, py::arg("timeout") = timeout_value);
    } catch (py::error_already_set& e) {
        py::object http_error_type = urllib.attr("error").attr("HTTPError");
        if (!e.matches(http_error_type)) {
            throw;
        }
        py::object err = e.value();
        raise_http_error(err, method_note, url, api_key);
    }

    // `with response:` so the connection is closed on every path.
    py::object entered = response.attr("__enter__")();
    py::object raw;
    try {
        raw = entered.attr("read")();
    } catch (py::error_already_set& e) {
        exit_with_error(response, e);
        throw;
    }
    response.attr("__exit__")(py::none(), py::none(), py::none());

    py::object decoded = raw.attr("decode")("utf-8");
    py::object result = lookup("_fast_loads")(decoded);
    if (!result.is_none() && !PyDict_Check(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                     Py_TYPE(result.ptr())->tp_name);
        throw py::error_already_set();
    }
    return result;
}

py::object post_json(py::handle url, py::handle api_key, py::handle payload, py::handle timeout) {
    corvane::pyb::require_str(url, "url");
    corvane::pyb::require_str(api_key, "api_key");
    return send_json("POST", "", url, api_key, payload, timeout);
}

py::object patch_json(py::handle url, py::handle api_key, py::handle payload, py::handle timeout) {
    corvane::pyb::require_str(url, "url");
    corvane::pyb::require_str(api_key, "api_key");
    corvane::pyb::require_dict(payload, "payload");
    return send_json("PATCH", " (PATCH)", url, api_key, payload, timeout);
}

}  // namespace

std::string mask_secret(const std::string& text, const std::string& secret) {
    if (secret.empty()) {
        return text;
    }
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t hit = text.find(secret, pos);
        if (hit == std::string::npos) {
            out.append(text, pos, std::string::npos);
            return out;
        }
        out.append(text, pos, hit - pos);
        out.append(kMask);
        pos = hit + secret.size();
    }
}

py::str mask_secret(py::str text, py::handle secret) {
    if (!PyUnicode_Check(secret.ptr()) || PyUnicode_GET_LENGTH(secret.ptr()) == 0) {
        return text;
    }
    int found = PySequence_Contains(text.ptr(), secret.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    if (found == 0) {
        return text;
    }
    return text.attr("replace")(secret, kMask);
}

void register_transport(py::module_& m) {
    import("urllib.request");
    import("urllib.error");
    m.attr("urllib") = import("urllib");
    m.attr("_MAX_ERROR_TEXT") = py::int_(kDefaultMaxErrorText);

    def_native(m, "_post_json", &post_json, py::arg("url"), py::arg("api_key"), py::arg("payload"),
               py::arg("timeout") = 120,
               "POSTs payload as JSON with bearer authorisation; returns the decoded answer "
               "(a dict, or None for null). An HTTP error status raises RuntimeError.");
    def_native(m, "_patch_json", &patch_json, py::arg("url"), py::arg("api_key"),
               py::arg("payload"), py::arg("timeout") = 30,
               "PATCHes a dict payload as JSON with bearer authorisation; returns the decoded "
               "answer (a dict, or None for null). An HTTP error status raises RuntimeError.");
}

}  // namespace corvane::wrapper
