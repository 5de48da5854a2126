// corvane._orvex32: the native ORVEX-32 provenance core.
#include "common.hpp"

#include "convert.hpp"

PYBIND11_MODULE(_orvex32, m) {
    m.doc() = "Native ORVEX-32 provenance core: payload packing, decoding and whole-array kernels.";
    corvane::pyb::orvex32::register_tracker(m);
    corvane::pyb::orvex32::register_batch(m);
}
