// NodeType, DAGNode, DAGEdge and ComputationDAG. The three records are real
// dataclasses (made with dataclasses.make_dataclass, so constructor, equality,
// repr and unhashability are the standard ones); their properties and methods
// are C++ functions attached afterwards.
#include "common.hpp"
#include "dag_module.hpp"

#include <unordered_set>

namespace corvane::dag_binding {

namespace {

py::object attr(py::handle o, const char* name) { return o.attr(name); }

/// Text of a label for DOT: quotes and backslashes escaped, raw newlines as
/// the DOT line break, so that no name can end the string or the statement.
std::string dot_escape(py::handle text) {
    std::string s = py::str(text).cast<std::string>();
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

py::str hex8(py::handle value) {
    PyObject* r = PyObject_Format(value.ptr(), py::str("08X").ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::str("0x") + py::reinterpret_steal<py::str>(r);
}

bool node_is_source(py::handle node) {
    py::object member = state().ns.get("NodeType").attr("SOURCE");
    int r = PyObject_RichCompareBool(attr(node, "node_type").ptr(), member.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object node_to_dict(py::handle self) {
    py::object table = attr(self, "table");
    py::object column = attr(self, "column");
    py::object operation = attr(self, "operation");
    py::object name;
    if (truthy(table) && truthy(column)) {
        py::object fmt = py::module_::import("builtins").attr("format");
        name = py::str(fmt(table)) + py::str(".") + py::str(fmt(column));
    } else if (truthy(operation)) {
        name = operation;
    } else {
        name = py::str("node_") + py::str(attr(self, "node_id"));
    }
    py::dict d;
    d["id"] = attr(self, "node_id");
    d["name"] = name;
    d["type"] = attr(attr(self, "node_type"), "name");
    d["operation"] = operation;
    d["inputs"] = attr(self, "inputs");
    d["provenance"] = hex8(attr(self, "provenance"));
    d["table"] = table;
    d["column"] = column;
    d["pair_id"] = attr(self, "pair_id");
    d["is_protected"] = attr(self, "is_protected");
    d["metadata"] = attr(self, "metadata");
    return std::move(d);
}

py::object edge_to_dict(py::handle self) {
    py::dict d;
    d["source"] = attr(self, "source_id");
    d["target"] = attr(self, "target_id");
    d["input_index"] = attr(self, "input_index");
    return std::move(d);
}

/// Longest input chain from the root, without recursion on the native stack.
/// An input that the DAG does not hold (its node was evicted before the walk)
/// counts as a leaf of depth 0: the walk could not see past it either.
py::object dag_depth(py::handle self) {
    py::object nodes = attr(self, "nodes");
    py::object root = attr(self, "root_id");
    py::dict memo;
    struct Frame {
        py::object key;
        py::object inputs;  // a fast sequence
        Py_ssize_t next = 0;
        long long best = -1;
    };
    std::vector<Frame> stack;
    py::set in_progress;

    // Returns true when `key`'s depth is known (memoised now), else pushes it.
    auto enter = [&](py::object key) -> bool {
        if (memo.contains(key)) return true;
        PyObject* node = PyDict_Check(nodes.ptr()) ? PyDict_GetItemWithError(nodes.ptr(), key.ptr())
                                                   : nullptr;
        py::object node_obj;
        if (node == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            if (!PyDict_Check(nodes.ptr())) {
                PyObject* r = PyObject_GetItem(nodes.ptr(), key.ptr());
                if (r == nullptr) {
                    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                    PyErr_Clear();
                } else {
                    node_obj = py::reinterpret_steal<py::object>(r);
                }
            }
        } else {
            node_obj = py::reinterpret_borrow<py::object>(node);
        }
        if (!node_obj) {
            memo[key] = py::int_(0);
            return true;
        }
        py::object inputs = attr(node_obj, "inputs");
        if (py::len(inputs) == 0) {
            memo[key] = py::int_(0);
            return true;
        }
        if (in_progress.contains(key)) {
            PyErr_Format(PyExc_RecursionError, "cycle in the computation DAG at node %S",
                         key.ptr());
            throw py::error_already_set();
        }
        PyObject* fast = PySequence_Fast(inputs.ptr(), "inputs must be a sequence");
        if (fast == nullptr) throw py::error_already_set();
        in_progress.add(key);
        stack.push_back(Frame{key, py::reinterpret_steal<py::object>(fast)});
        return false;
    };

    if (enter(root)) return memo[root];
    while (!stack.empty()) {
        Frame& top = stack.back();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(top.inputs.ptr());
        if (top.next < n) {
            py::object child = py::reinterpret_borrow<py::object>(
                PySequence_Fast_GET_ITEM(top.inputs.ptr(), top.next));
            if (enter(child)) {
                Frame& again = stack.back();  // enter() did not push
                again.best = std::max(again.best, memo[child].cast<long long>());
                ++again.next;
            }
            continue;
        }
        const long long d = top.best + 1;
        py::object key = top.key;
        memo[key] = py::int_(d);
        PySet_Discard(in_progress.ptr(), key.ptr());
        stack.pop_back();
        if (!stack.empty()) {
            Frame& parent = stack.back();
            parent.best = std::max(parent.best, d);
            ++parent.next;
        }
    }
    return memo[root];
}

py::list dag_source_nodes(py::handle self) {
    py::list out;
    for (py::handle node : attr(self, "nodes").attr("values")()) {
        if (truthy(attr(node, "is_source"))) out.append(node);
    }
    return out;
}

py::list dag_protected_sources(py::handle self) {
    py::list out;
    for (py::handle node : dag_source_nodes(self)) {
        if (truthy(attr(node, "is_protected"))) out.append(node);
    }
    return out;
}

py::dict dag_operation_counts(py::handle self) {
    py::dict counts;
    for (py::handle node : attr(self, "nodes").attr("values")()) {
        py::object op = attr(node, "operation");
        py::object prev = counts.attr("get")(op, 0);
        counts[op] = prev + py::int_(1);
    }
    return counts;
}

py::dict dag_column_taint_risks(py::handle self) {
    py::dict risks;
    py::object tracker_cls = state().ns.get("ProvenanceTracker");
    for (py::handle node : attr(self, "nodes").attr("values")()) {
        py::object column = attr(node, "column");
        if (!truthy(column)) continue;
        py::object prov = attr(node, "provenance");
        if (!truthy(tracker_cls.attr("is_tainted")(prov))) continue;
        py::object risk = tracker_cls.attr("risk_score")(prov);
        if (!risks.contains(column) || (risk > risks[column])) {
            risks[column] = risk;
        }
    }
    return risks;
}

py::object dag_to_dict(py::handle self) {
    py::object nodes = attr(self, "nodes");
    py::object edges = attr(self, "edges");
    py::list sources = py::list(attr(self, "source_nodes"));
    py::list protected_sources = py::list(attr(self, "protected_sources"));
    py::dict d;
    d["root_id"] = attr(self, "root_id");
    d["depth"] = attr(self, "depth");
    d["node_count"] = py::int_(py::len(nodes));
    d["edge_count"] = py::int_(py::len(edges));
    d["has_protected"] = attr(self, "has_protected");
    d["taint_risks"] = self.attr("column_taint_risks")();
    py::list src_dicts, prot_dicts, edge_dicts;
    for (py::handle n : sources) src_dicts.append(n.attr("to_dict")());
    for (py::handle n : protected_sources) prot_dicts.append(n.attr("to_dict")());
    d["sources"] = src_dicts;
    d["protected_sources"] = prot_dicts;
    d["operation_counts"] = attr(self, "operation_counts");
    py::dict node_dicts;
    for (py::handle item : nodes.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        node_dicts[py::str(kv[0])] = kv[1].attr("to_dict")();
    }
    d["nodes"] = node_dicts;
    for (py::handle e : edges) edge_dicts.append(e.attr("to_dict")());
    d["edges"] = edge_dicts;
    return std::move(d);
}

py::object dag_to_json(py::object self, py::object indent) {
    pyb::require_exact(indent, &PyLong_Type, "indent");
    py::object dumps = state().ns.get("json").attr("dumps");
    return dumps(self.attr("to_dict")(), py::arg("indent") = indent);
}

py::object dag_to_graphviz(py::handle self) {
    py::object root = attr(self, "root_id");
    std::string out =
        "digraph ComputationDAG {\n  rankdir=BT;\n  node [shape=box, style=filled];\n\n";
    for (py::handle node : attr(self, "nodes").attr("values")()) {
        std::string label;
        const char* color;
        if (truthy(attr(node, "is_source"))) {
            color = truthy(attr(node, "is_protected")) ? "#f59e0b" : "#22d3ee";
            label = dot_escape(attr(node, "table")) + "\\n" + dot_escape(attr(node, "column"));
        } else {
            int eq = PyObject_RichCompareBool(attr(node, "node_id").ptr(), root.ptr(), Py_EQ);
            if (eq < 0) throw py::error_already_set();
            color = eq ? "#c084fc" : "#4ade80";
            label = dot_escape(attr(node, "operation"));
        }
        out += "  n" + py::str(attr(node, "node_id")).cast<std::string>() + " [label=\"" + label +
               "\", fillcolor=\"" + color + "\"];\n";
    }
    out += "\n";
    for (py::handle e : attr(self, "edges")) {
        out += "  n" + py::str(attr(e, "source_id")).cast<std::string>() + " -> n" +
               py::str(attr(e, "target_id")).cast<std::string>() + ";\n";
    }
    out += "}";
    return py::str(out);
}

py::object make_record(py::module_ m, const char* name, const char* doc, py::list fields) {
    py::module_ dataclasses = py::module_::import("dataclasses");
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return dataclasses.attr("make_dataclass")(name, fields, py::arg("namespace") = ns);
}

}  // namespace

py::object fast_instance(py::handle cls,
                         std::initializer_list<std::pair<const char*, py::object>> fields) {
    static py::tuple empty = py::tuple(0);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyObject* obj = PyBaseObject_Type.tp_new(type, empty.ptr(), nullptr);
    if (obj == nullptr) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(obj);
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr) throw py::error_already_set();
    py::object d = py::reinterpret_steal<py::object>(dict);
    for (const auto& f : fields) {
        if (PyDict_SetItemString(dict, f.first, f.second.ptr()) < 0) throw py::error_already_set();
    }
    return result;
}

void bind_records(py::module_ m) {
    ModuleState& s = state();
    py::object enum_cls = py::module_::import("enum").attr("Enum");
    py::object node_type = enum_cls(
        "NodeType", "SOURCE CONSTANT UNARY BINARY AGGREGATE MERGE FILTER CUSTOM",
        py::arg("module") = m.attr("__name__"), py::arg("qualname") = "NodeType");
    node_type.attr("__doc__") = "Types of nodes in the computation DAG.";
    m.attr("NodeType") = node_type;
    s.node_type_cls = node_type;
    for (py::handle member : node_type) {
        s.node_types.push_back(py::reinterpret_borrow<py::object>(member));
    }

    py::module_ dataclasses = py::module_::import("dataclasses");
    py::object field = dataclasses.attr("field");
    py::list node_fields;
    node_fields.append(py::make_tuple("node_id", "int"));
    node_fields.append(py::make_tuple("node_type", "NodeType"));
    node_fields.append(py::make_tuple("operation", "str"));
    node_fields.append(py::make_tuple("inputs", "List[int]"));
    node_fields.append(py::make_tuple("provenance", "int"));
    node_fields.append(py::make_tuple(
        "metadata", "Dict[str, Any]",
        field(py::arg("default_factory") = py::module_::import("builtins").attr("dict"))));
    node_fields.append(py::make_tuple("table", "Optional[str]", py::none()));
    node_fields.append(py::make_tuple("column", "Optional[str]", py::none()));
    node_fields.append(py::make_tuple("pair_id", "Optional[int]", py::none()));
    node_fields.append(py::make_tuple("is_protected", "bool", false));
    py::object node = make_record(
        m, "DAGNode",
        "A node in the computation DAG.\n\n"
        "Each node represents either a source column (leaf node) or a computation step\n"
        "(internal node).",
        node_fields);
    pyb::add_readonly_property(node, "is_source", [](py::handle self) { return node_is_source(self); });
    pyb::add_readonly_property(node, "is_leaf",
                               [](py::handle self) { return py::len(attr(self, "inputs")) == 0; });
    method(node, "to_dict", [](py::object self) { return node_to_dict(self); },
                    py::doc("Convert to dictionary for JSON serialization."));
    m.attr("DAGNode") = node;
    s.dag_node_cls = node;

    py::list edge_fields;
    edge_fields.append(py::make_tuple("source_id", "int"));
    edge_fields.append(py::make_tuple("target_id", "int"));
    edge_fields.append(py::make_tuple("input_index", "int"));
    py::object edge = make_record(m, "DAGEdge", "An edge in the computation DAG.", edge_fields);
    method(edge, "to_dict", [](py::object self) { return edge_to_dict(self); });
    m.attr("DAGEdge") = edge;
    s.dag_edge_cls = edge;

    py::list dag_fields;
    dag_fields.append(py::make_tuple("root_id", "int"));
    dag_fields.append(py::make_tuple("nodes", "Dict[int, DAGNode]"));
    dag_fields.append(py::make_tuple("edges", "List[DAGEdge]"));
    py::object dag = make_record(
        m, "ComputationDAG",
        "Complete computation graph for a result value.\n\n"
        "Contains all nodes and edges needed to reconstruct how a value was derived\n"
        "from source data.",
        dag_fields);
    pyb::add_readonly_property(dag, "depth", [](py::handle self) { return dag_depth(self); },
                               "Maximum depth from root to any leaf.");
    pyb::add_readonly_property(dag, "source_nodes",
                               [](py::handle self) { return dag_source_nodes(self); },
                               "All source (leaf) nodes.");
    pyb::add_readonly_property(dag, "protected_sources",
                               [](py::handle self) { return dag_protected_sources(self); },
                               "Source nodes from protected tables.");
    pyb::add_readonly_property(
        dag, "has_protected",
        [](py::handle self) { return py::len(attr(self, "protected_sources")) > 0; },
        "Whether any protected data was used.");
    pyb::add_readonly_property(dag, "operation_counts",
                               [](py::handle self) { return dag_operation_counts(self); },
                               "Count of each operation type.");
    method(dag, "column_taint_risks",
                    [](py::object self) { return dag_column_taint_risks(self); },
                    py::doc("Get {column_name: max_risk_score} for all tainted columns.\n\n"
                            "Uses the gradient taint model: risk = taint * 1/(1 + depth)."));
    method(dag, "to_dict", [](py::object self) { return dag_to_dict(self); },
                    py::doc("Convert to dictionary for JSON serialization."));
    method(dag, "to_json", &dag_to_json, py::arg("indent") = 2,
                    py::doc("Export as JSON string."));
    method(dag, "to_graphviz", [](py::object self) { return dag_to_graphviz(self); },
                    py::doc("Export as Graphviz DOT format."));
    m.attr("ComputationDAG") = dag;
    s.dag_cls = dag;
}

}  // namespace corvane::dag_binding
