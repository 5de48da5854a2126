// ProvenanceTracker: the column registry, protected attributes and the
// fingerprint algebra. Methods call one another through normal attribute
// lookup so that a subclass overriding one of them changes the others.
#include "common.hpp"
#include "orvex32_module.hpp"

namespace corvane::orvex32_binding {

namespace {

py::object obj_type(PyTypeObject* t) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(t));
}

py::object module_const(const char* name) { return state().ns.get(name); }

// -- header reads: pure integer arithmetic on the value, no native call -----

py::int_ header_field(const py::int_& p, const char* shift_name, long mask) {
    py::object shifted = p >> module_const(shift_name);
    return py::int_(shifted & py::int_(mask));
}

py::object read_header(py::handle provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::int_ mode = header_field(p, "MODE_SHIFT", 3);
    bool taint = truthy(header_field(p, "TAINT_SHIFT", 1));
    py::int_ depth = header_field(p, "DEPTH_SHIFT", 7);
    return py::make_tuple(mode, py::bool_(taint), depth);
}

bool is_tainted(py::handle provenance) {
    py::int_ p = pyb::to_int(provenance);
    return truthy(header_field(p, "TAINT_SHIFT", 1));
}

py::int_ get_depth(py::handle provenance) {
    py::int_ p = pyb::to_int(provenance);
    return header_field(p, "DEPTH_SHIFT", 7);
}

double risk_score(py::handle provenance) {
    py::int_ p = pyb::to_int(provenance);
    if (!truthy(header_field(p, "TAINT_SHIFT", 1))) return 0.0;
    long depth = PyLong_AsLong(header_field(p, "DEPTH_SHIFT", 7).ptr());
    return 1.0 / (1.0 + static_cast<double>(depth));
}

// -- registry ----------------------------------------------------------------

void tracker_init(py::object self) {
    py::setattr(self, "_id_to_name", py::dict());
    py::setattr(self, "_name_to_id", py::dict());
    py::setattr(self, "_next_id", py::int_(0));
    py::setattr(self, "_dense", py::dict());
    py::setattr(self, "_protected_tables", py::set());
    py::setattr(self, "_protected_columns", py::set());
    py::setattr(self, "_native", state().ns.get("NativeProvenanceTracker")());
}

py::object register_pair(py::object self, py::object table, py::object column,
                         py::object protected_) {
    pyb::require_str(table, "table");
    pyb::require_str(column, "column");
    const bool prot = truthy(protected_);
    py::tuple key = py::make_tuple(table, column);
    py::object name_to_id = self.attr("_name_to_id");

    int known = PySequence_Contains(name_to_id.ptr(), key.ptr());
    if (known < 0) throw py::error_already_set();
    if (known) {
        py::object existing = name_to_id[key];
        if (prot) self.attr("_protected_columns").attr("add")(key);
        self.attr("_native").attr("register")(table, column, py::bool_(prot));
        return existing;
    }

    py::object max_pairs = state().ns.get("MAX_PAIRS");
    py::object next_id = self.attr("_next_id");
    if (next_id >= max_pairs) {
        std::string msg = "Maximum " + py::str(max_pairs).cast<std::string>() + " pairs supported";
        throw py::value_error(msg);
    }
    py::object pid = next_id;
    self.attr("_id_to_name")[pid] = key;
    name_to_id[key] = pid;
    py::setattr(self, "_next_id", pid + py::int_(1));
    if (prot) self.attr("_protected_columns").attr("add")(key);
    self.attr("_native").attr("register")(table, column, py::bool_(prot));
    return pid;
}

py::list register_table(py::object self, py::object table, py::object columns,
                        py::object protected_) {
    pyb::require_str(table, "table");
    pyb::require_list(columns, "columns");
    py::list out;
    py::object reg = self.attr("register");
    // Index loop, as iterating a list does: sees appends made meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.ptr()); ++i) {
        py::object c = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(columns.ptr(), i));
        out.append(reg(table, c, protected_));
    }
    return out;
}

py::object get_name(py::object self, py::object pair_id) {
    py::int_ pid = pyb::to_int(pair_id);
    return self.attr("_id_to_name").attr("get")(pid);
}

py::object get_id(py::object self, py::object table, py::object column) {
    pyb::require_str(table, "table");
    pyb::require_str(column, "column");
    return self.attr("_name_to_id").attr("get")(py::make_tuple(table, column));
}

bool is_protected(py::object self, py::object table, py::object column) {
    pyb::require_str(table, "table");
    pyb::require_exact_or_none(column, &PyUnicode_Type, "column");
    int in_tables = PySequence_Contains(self.attr("_protected_tables").ptr(), table.ptr());
    if (in_tables < 0) throw py::error_already_set();
    if (in_tables) return true;
    if (!column.is_none() && PyUnicode_GET_LENGTH(column.ptr()) > 0) {
        py::tuple key = py::make_tuple(table, column);
        int r = PySequence_Contains(self.attr("_protected_columns").ptr(), key.ptr());
        if (r < 0) throw py::error_already_set();
        return r != 0;
    }
    return false;
}

// -- encoding and algebra ----------------------------------------------------

py::int_ encode(py::object self, py::object pairs, py::object entity, py::object chain,
                py::object taint, py::object depth) {
    pyb::require_set(pairs, "pairs");
    py::int_ e = pyb::to_int(entity);
    py::int_ c = pyb::to_int(chain);
    bool t = truthy(taint);
    py::int_ d = pyb::to_int(depth);
    py::object raw =
        self.attr("_native").attr("encode")(sorted_list(pairs), e, c, py::bool_(t), d);
    py::int_ result = native_int(raw);
    if (PySet_GET_SIZE(pairs.ptr()) >= 4) {
        py::object sig_bits = state().ns.get("MODE_DENSE_SIG_BITS");
        py::object sig = result & ((py::int_(1) << sig_bits) - py::int_(1));
        py::dict entry;
        entry["pairs"] = py::reinterpret_steal<py::object>(PyFrozenSet_New(pairs.ptr()));
        entry["entity"] = e;
        entry["chain"] = c;
        self.attr("_dense")[sig] = entry;
    }
    return result;
}

py::object decode_full(py::object self, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::object raw = self.attr("_native").attr("decode_full")(p);
    py::object pairs = py::reinterpret_steal<py::object>(PySet_New(py::object(raw["pairs"]).ptr()));
    if (!pairs) throw py::error_already_set();
    return state().ns.get("ProvenanceInfo")(
        py::arg("pairs") = pairs, py::arg("entity") = py::object(raw["entity"]),
        py::arg("chain") = py::object(raw["chain"]), py::arg("taint") = py::object(raw["taint"]),
        py::arg("depth") = py::object(raw["depth"]), py::arg("mode") = py::object(raw["mode"]));
}

py::object decode(py::object self, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::object pairs = self.attr("decode_full")(p).attr("pairs");
    if (!pairs.is_none() && !PySet_CheckExact(pairs.ptr())) {
        PyErr_Format(PyExc_TypeError, pyb::kExpectedFormat, "set", Py_TYPE(pairs.ptr())->tp_name);
        throw py::error_already_set();
    }
    return pairs;
}

py::object get_mode(py::object /*self*/, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::object mode = (p >> module_const("MODE_SHIFT")) & py::int_(3);
    if (mode.equal(module_const("MODE_01"))) {
        py::object pair_data =
            ((p & module_const("PAYLOAD_MASK")) >> py::int_(16)) & py::int_(1023);
        return py::str(truthy(pair_data) ? "EXACT-1" : "EXACT-0");
    }
    if (mode.equal(module_const("MODE_2"))) return py::str("EXACT-2");
    if (mode.equal(module_const("MODE_3"))) return py::str("EXACT-3");
    if (mode.equal(module_const("MODE_DENSE"))) return py::str("DENSE");
    return py::none();
}

py::int_ combine(py::object self, py::object prov_a, py::object prov_b, py::object op) {
    py::int_ a = pyb::to_int(prov_a);
    py::int_ b = pyb::to_int(prov_b);
    py::int_ o = pyb::to_int(op);
    return native_int(self.attr("_native").attr("combine")(a, b, o));
}

py::int_ update_chain(py::object self, py::object provenance, py::object op) {
    py::int_ p = pyb::to_int(provenance);
    py::int_ o = pyb::to_int(op);
    return native_int(self.attr("_native").attr("update_chain")(p, o));
}

bool contains(py::object self, py::object provenance, py::object pair_id) {
    py::int_ p = pyb::to_int(provenance);
    py::int_ pid = pyb::to_int(pair_id);
    py::object pairs = self.attr("decode")(p);
    int r = PySequence_Contains(pairs.ptr(), pid.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool contains_table(py::object self, py::object provenance, py::object table) {
    py::int_ p = pyb::to_int(provenance);
    pyb::require_str(table, "table");
    py::object tables = self.attr("explain_tables")(p);
    int r = PySequence_Contains(tables.ptr(), table.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object entity_from_row(py::object /*self*/, py::object row_id) {
    return state().ns.get("_hash_entity")(row_id);
}

/// (table, column) names of the given ascending ids, skipping unknown ids.
py::list names_of(py::object self, const py::list& ids) {
    py::object get_name_m = self.attr("get_name");
    py::list out;
    for (py::handle id : ids) {
        py::object name = get_name_m(id);
        if (!name.is_none()) out.append(name);
    }
    return out;
}

py::list explain(py::object self, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    return names_of(self, sorted_list(self.attr("decode")(p)));
}

py::list explain_tables(py::object self, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::object names = self.attr("explain")(p);
    py::set seen;
    py::list out;
    for (py::handle item : names) {
        py::object table = item[py::int_(0)];
        if (!seen.contains(table)) {
            seen.add(table);
            out.append(table);
        }
    }
    return out;
}

bool has_protected(py::object self, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::object names = self.attr("explain")(p);
    py::object is_prot = self.attr("is_protected");
    for (py::handle item : names) {
        py::tuple tc = py::reinterpret_steal<py::tuple>(PySequence_Tuple(item.ptr()));
        if (!tc) throw py::error_already_set();
        if (tc.size() != 2) {
            PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd",
                         static_cast<Py_ssize_t>(tc.size()));
            throw py::error_already_set();
        }
        if (truthy(is_prot(tc[0], tc[1]))) return true;
    }
    return false;
}

py::dict explain_full(py::object self, py::object provenance) {
    py::int_ p = pyb::to_int(provenance);
    py::object info = self.attr("decode_full")(p);
    py::list ids = sorted_list(info.attr("pairs"));
    py::dict out;
    out["pairs"] = names_of(self, ids);
    out["pair_ids"] = ids;
    out["entity"] = info.attr("entity");
    out["chain"] = info.attr("chain");
    out["taint"] = info.attr("taint");
    out["depth"] = info.attr("depth");
    out["risk"] = self.attr("risk_score")(p);
    out["mode"] = info.attr("mode");
    out["provenance_hex"] = hex08(p);
    return out;
}

py::dict stats(py::object self) {
    py::dict out;
    out["registered_pairs"] = self.attr("_next_id");
    out["dense_entries"] = py::int_(py::len(self.attr("_dense")));
    out["protected_tables"] = py::list(self.attr("_protected_tables"));
    py::list cols;
    for (py::handle tc : self.attr("_protected_columns")) {
        cols.append(py::str(tc[py::int_(0)]) + py::str(".") + py::str(tc[py::int_(1)]));
    }
    out["protected_columns"] = cols;
    out["encoding"] = "ORVEX-32";
    return out;
}

}  // namespace

void bind_tracker(py::module_ m) {
    py::object cls = pyb::make_class("ProvenanceTracker", py::make_tuple(obj_type(&PyBaseObject_Type)),
                                     m, "ORVEX-32 provenance tracker with gradient taint model.");
    const py::object add_code = m.attr("OpCode").attr("ADD");

    pyb::add_method(cls, "__init__", &tracker_init);
    pyb::add_method(cls, "register", &register_pair, py::arg("table"), py::arg("column"),
                    py::arg("protected") = false,
                    py::doc("Register a (table, column) pair and return its ID (0-511)."));
    pyb::add_method(cls, "register_table", &register_table, py::arg("table"), py::arg("columns"),
                    py::arg("protected") = false,
                    py::doc("Register all columns for a table. Returns list of pair IDs."));
    pyb::add_method(cls, "get_name", &get_name, py::arg("pair_id"),
                    py::doc("Get (table, column) for a pair ID."));
    pyb::add_method(cls, "get_id", &get_id, py::arg("table"), py::arg("column"),
                    py::doc("Get pair ID for a (table, column)."));
    pyb::add_method(cls, "is_protected", &is_protected, py::arg("table"),
                    py::arg("column") = py::none(),
                    py::doc("Check if a table or specific column is a protected attribute."));

    pyb::add_static_method(cls, "read_header", &read_header, py::arg("provenance"),
                           py::doc("Extract (mode, taint, depth) from header bits."));
    pyb::add_static_method(cls, "is_tainted", &is_tainted, py::arg("provenance"),
                           py::doc("O(1) taint check \u2014 no decoding needed."));
    pyb::add_static_method(cls, "get_depth", &get_depth, py::arg("provenance"),
                           py::doc("O(1) depth read \u2014 no decoding needed."));
    pyb::add_static_method(cls, "risk_score", &risk_score, py::arg("provenance"),
                           py::doc("risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0]."));

    pyb::add_method(cls, "encode", &encode, py::arg("pairs"), py::arg("entity") = 0,
                    py::arg("chain") = 0, py::arg("taint") = false, py::arg("depth") = 0,
                    py::doc("Encode provenance to 32-bit value.\n"
                            "\n"
                            "Args:\n"
                            "    pairs: Set of source pair IDs (0-511)\n"
                            "    entity: Row identifier hash (truncated to fit mode)\n"
                            "    chain: Computation path hash (truncated to fit mode)\n"
                            "    taint: True if value derives from protected data\n"
                            "    depth: Derivation distance from source (0-7, saturates)\n"
                            "\n"
                            "Returns:\n"
                            "    32-bit provenance value"));
    pyb::add_method(cls, "decode", &decode, py::arg("provenance"),
                    py::doc("Decode to pair IDs only (legacy API)."));
    pyb::add_method(cls, "decode_full", &decode_full, py::arg("provenance"),
                    py::doc("Decode 32-bit provenance to full ProvenanceInfo."));
    pyb::add_method(cls, "get_mode", &get_mode, py::arg("provenance"),
                    py::doc("Human-readable mode name."));
    pyb::add_method(cls, "combine", &combine, py::arg("prov_a"), py::arg("prov_b"),
                    py::arg("op") = add_code,
                    py::doc("Combine two provenances.  pairs=union, entity=XOR, taint=OR, "
                            "depth=max+1."));
    pyb::add_method(cls, "update_chain", &update_chain, py::arg("provenance"), py::arg("op"),
                    py::doc("Update provenance with a unary operation. Depth += 1, taint "
                            "preserved."));
    pyb::add_method(cls, "contains", &contains, py::arg("provenance"), py::arg("pair_id"),
                    py::doc("Check if a pair is in the provenance."));
    pyb::add_method(cls, "contains_table", &contains_table, py::arg("provenance"),
                    py::arg("table"), py::doc("Check if a table is in the provenance."));
    pyb::add_method(cls, "entity_from_row", &entity_from_row, py::arg("row_id"),
                    py::doc("Create entity hash from a row identifier."));
    pyb::add_method(cls, "explain", &explain, py::arg("provenance"),
                    py::doc("Decode to human-readable (table, column) names."));
    pyb::add_method(cls, "explain_full", &explain_full, py::arg("provenance"),
                    py::doc("Full provenance explanation including taint, depth, risk."));
    pyb::add_method(cls, "explain_tables", &explain_tables, py::arg("provenance"),
                    py::doc("Unique table names from provenance."));
    pyb::add_method(cls, "has_protected", &has_protected, py::arg("provenance"),
                    py::doc("Check if provenance uses any protected tables/columns."));
    pyb::add_method(cls, "stats", &stats, py::doc("Tracker statistics."));

    m.attr("ProvenanceTracker") = cls;
    ModuleState& s = state();
    s.tracker_cls = cls;
    s.own_entity_from_row = cls.attr("entity_from_row");
    s.own_get_depth = cls.attr("get_depth");
}

}  // namespace corvane::orvex32_binding
