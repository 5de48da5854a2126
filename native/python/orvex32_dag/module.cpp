// corvane.utilities.orvex32_dag: the computation DAG. This file fixes the
// order in which the module binds its attributes; every area lives in its own
// bind_*.cpp.
#include "common.hpp"
#include "dag_module.hpp"

namespace db = corvane::dag_binding;

static const char* const kModuleDoc =
    "Computation DAG on top of ORVEX-32 fingerprints.\n"
    "\n"
    "A DAGTracker logs every tracked operation, row by row, as a node of a\n"
    "computation DAG, so that the lineage of any single result value can be\n"
    "rebuilt (get_dag, get_dag_for_series) and exported as a dict, JSON text or\n"
    "Graphviz DOT text. DAGTrackedSeries and DAGTrackedDataFrame are pandas\n"
    "subclasses that carry a fingerprint and a node id per row.\n";

PYBIND11_MODULE(orvex32_dag, m) {
    pybind11::options options;
    options.disable_function_signatures();
    m.doc() = kModuleDoc;
    db::init_state(m);
    db::bind_imports(m);
    db::bind_records(m);
    db::bind_log(m);
    db::bind_tracker(m);
    db::bind_persistence(m);
    db::bind_series(m);
    db::bind_frame(m);
}
