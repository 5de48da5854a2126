// Argument conversion shared by the _orvex32 binding files: Python ints to
// fingerprints, and array-likes to contiguous uint32 buffers.
#pragma once

#include "common.hpp"

#include <corvane/orvex32.hpp>

#include <cstdint>
#include <string>

namespace corvane::pyb::orvex32 {

namespace core = corvane::orvex32;

/// A Python integer (anything with __index__) in 0..2^32-1; larger or
/// negative values raise OverflowError naming the argument.
uint32_t fingerprint_arg(py::handle obj, const char* argname);
/// Low 64 bits of any Python integer, two's complement (for entity, chain, op).
uint64_t low_bits_arg(py::handle obj, const char* argname);
/// The tracker behind `native`, or TypeError.
core::NativeTracker& tracker_arg(py::handle obj, const char* argname);

/// What to do with integers that do not fit in uint32.
enum class Fit {
    Check,     // fingerprints: OverflowError
    Truncate,  // entities: keep the low 32 bits
};

/// A 1-D, C-contiguous uint32 view of an array-like. An aligned, native
/// uint32 contiguous ndarray is used in place (read-only ones included);
/// other integer arrays and sequences are converted. Floats, bools, strings
/// and objects are refused with TypeError, other shapes with ValueError.
class U32Input {
public:
    U32Input(py::handle obj, const char* argname, Fit fit);
    const uint32_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    py::array array_;  // keeps the buffer alive while the GIL is released
    const uint32_t* data_ = nullptr;
    std::size_t size_ = 0;
};

/// ValueError unless both inputs have the same length.
void require_same_length(const U32Input& a, const char* name_a, const U32Input& b,
                         const char* name_b);

/// A fresh uint32 array of n elements.
inline py::array_t<uint32_t> new_u32(std::size_t n) {
    return py::array_t<uint32_t>(static_cast<py::ssize_t>(n));
}

/// The decode_full mapping of a decoded fingerprint.
py::dict decoded_dict(const core::Decoded& d);

void register_tracker(py::module_& m);
void register_batch(py::module_& m);

}  // namespace corvane::pyb::orvex32
