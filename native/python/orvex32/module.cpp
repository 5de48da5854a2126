// corvane.utilities.orvex32: fingerprint constants, the provenance tracker,
// tracked pandas classes and audits. This file only fixes the order in which
// the module binds its attributes; every area lives in its own bind_*.cpp.
#include "common.hpp"
#include "orvex32_module.hpp"

namespace ob = corvane::orvex32_binding;

static const char* const kModuleDoc =
    "ORVEX-32: 32-bit Provenance Encoding with Gradient Taint Model.\n"
    "\n"
    "Every tracked value carries a 32-bit fingerprint:\n"
    "\n"
    "    bits 31-30  mode   payload layout, chosen by the number of source pairs\n"
    "    bit  29     taint  1 = derived from a protected attribute\n"
    "    bits 28-26  depth  derivation distance from the sources, 0-7, saturating\n"
    "    bits 25-0   payload\n"
    "\n"
    "The six header bits are read with a shift and a mask, without decoding.\n"
    "Payload layouts:\n"
    "\n"
    "    00  0 or 1 pair   pair_data 10 | entity 8 | chain 8   (EXACT-0 / EXACT-1)\n"
    "    01  2 pairs       pair_index 17 | entity 5 | chain 4  (EXACT-2)\n"
    "    10  3 pairs       pair_combo 25 | reserved 1          (EXACT-3)\n"
    "    11  4+ pairs      signature 26                        (DENSE)\n"
    "\n"
    "A pair is a registered (table, column) source, numbered 0-511. Algebra:\n"
    "combining two fingerprints takes the union of the pairs, XOR of the\n"
    "entities, a hash of the chains with the operation code, OR of the taint and\n"
    "max(depth) + 1; a unary operation advances the chain and adds 1 to the depth.\n"
    "Gradient taint model: risk = taint * 1 / (1 + depth).\n";

static void init_orvex32(pybind11::module_& m);

// The entry point is PYBIND11_MODULE's, but the module body runs in an exec
// function of our own: pybind11's wraps every error of the body into
// ImportError("initialization failed"), while importing this module must
// raise our own ImportError when the native core is missing and let every
// other error through unchanged.
PYBIND11_MODULE_PYINIT(orvex32)

static int pybind11_exec_orvex32(PyObject* pm) {
    try {
        pybind11::detail::ensure_internals();
        auto m = pybind11::reinterpret_borrow<pybind11::module_>(pm);
        if (!pybind11::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
            init_orvex32(m);
            pybind11::detail::cache_completed_module(m);
        }
        return 0;
    } catch (pybind11::error_already_set& e) {
        e.restore();
    } catch (pybind11::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

static void init_orvex32(pybind11::module_& m) {
    // Docstrings are exact texts; no generated signature line in front.
    pybind11::options options;
    options.disable_function_signatures();

    m.doc() = kModuleDoc;
    ob::init_state(m);
    ob::bind_imports(m);
    ob::bind_constants(m);
    ob::bind_records(m);
    ob::bind_tracker(m);
    ob::bind_series(m);
    ob::bind_dataframe(m);
    ob::bind_wrap(m);
    ob::bind_audit(m);
}
