// corvane.wrapper: the upload client routines. This file only wires the areas
// together; each bind_*.cpp registers its own functions and classes, in the
// order in which later areas depend on earlier ones.
#include "wrapper.hpp"

namespace corvane::wrapper {

State& state() {
    // Leaked on purpose: the module object outlives static destruction order
    // guarantees, and decref'ing Python objects at process exit is unsafe.
    static State* s = new State();
    return *s;
}

}  // namespace corvane::wrapper

PYBIND11_MODULE(wrapper, m) {
    using namespace corvane::wrapper;
    m.doc() = "Internal routines behind corvane.upload(): serialisation, HTTP transport, "
              "source registry, model inputs and the provenance sync of a validation run.";
    state().ns = ModuleNamespace(m);
    register_sanitise(m);
    register_transport(m);
    register_sources(m);
    register_models(m);
    register_sync(m);
}
