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

PYBIND11_MODULE(orvex32, m) {
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
