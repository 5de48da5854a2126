// Whole-array ORVEX-32 kernels. The hot loops are written as straight-line
// arithmetic over a block of elements so that the compiler can vectorise them;
// rows the fast formula does not cover are flagged and redone one by one with
// the scalar algebra.
#include "corvane/orvex32.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>

namespace corvane::orvex32 {

namespace {

constexpr std::size_t kBlock = 2048;

// Two threads only pay off once the array is far larger than the caches and
// the cost of starting a thread (tens of microseconds) is negligible.
std::atomic<std::size_t> g_parallel_threshold{std::size_t{1} << 18};

/// Runs fn(begin, end) over [0, n), on two threads when n is large enough and
/// the machine has more than one core. Exceptions of either half reach the
/// caller; the lower half's wins, so the reported element is the first one.
template <typename Fn>
void split_run(std::size_t n, Fn&& fn) {
    static const unsigned cores = std::thread::hardware_concurrency();
    if (n < g_parallel_threshold.load(std::memory_order_relaxed) || cores < 2) {
        fn(std::size_t{0}, n);
        return;
    }
    std::size_t mid = (n / 2) & ~(kBlock - 1);
    std::exception_ptr upper_error;
    std::thread upper([&] {
        try {
            fn(mid, n);
        } catch (...) {
            upper_error = std::current_exception();
        }
    });
    std::exception_ptr lower_error;
    try {
        fn(std::size_t{0}, mid);
    } catch (...) {
        lower_error = std::current_exception();
    }
    upper.join();
    if (lower_error) std::rethrow_exception(lower_error);
    if (upper_error) std::rethrow_exception(upper_error);
}

[[noreturn]] void throw_malformed_at(std::size_t index, uint32_t f) {
    char buf[128];
    std::snprintf(buf, sizeof buf,
                  "malformed ORVEX-32 fingerprint 0x%08X at index %zu: payload out of range for mode %u",
                  f, index, mode_of(f));
    throw std::invalid_argument(buf);
}

// The block loops below are compiled twice on x86-64, for AVX2 and for the
// baseline, and picked at load time: with AVX2 the 32-bit multiplies of the
// hashes are single instructions and a block runs 8 lanes wide.
#if defined(__x86_64__) && defined(__has_attribute) && !defined(__APPLE__)
#if __has_attribute(target_clones)
#define CORVANE_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef CORVANE_TARGET_CLONES
#define CORVANE_TARGET_CLONES
#endif

/// Combines rows whose operands are both mode 00 with two different valid
/// pairs (result: mode 01). Other rows get a meaningless value; the result is
/// non-zero when any such row is present.
CORVANE_TARGET_CLONES
uint32_t combine_block_fast(const uint32_t* __restrict a, const uint32_t* __restrict b,
                            uint32_t* __restrict out, std::size_t n, uint32_t key) noexcept {
    uint32_t slow_any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t x = a[i];
        const uint32_t y = b[i];
        const uint32_t px = (x >> 16) & 0x3FFu;
        const uint32_t py = (y >> 16) & 0x3FFu;
        // Sign-bit and shift tests rather than comparisons: the vectoriser
        // keeps these in plain integer lanes. pair_data is valid in 1..512,
        // i.e. (pair_data - 1) >> 9 == 0; px == py exactly when
        // ((px ^ py) - 1) >> 31 is 1 (both below 2^10).
        slow_any |= ((x | y) >> kModeShift) | (((px - 1u) | (py - 1u)) >> 9) |
                    (((px ^ py) - 1u) >> 31);
        const uint32_t lo = std::min(px, py) - 1u;
        const uint32_t hi = std::max(px, py) - 1u;
        const uint32_t rank = ((hi * (hi - 1u)) >> 1) + lo;
        const uint32_t entity = ((x ^ y) >> 8) & 0x1Fu;
        const uint32_t chain = mix_chain_keyed(x, y, key) & 0x0Fu;
        const uint32_t depth = next_depth(std::max((x >> kDepthShift) & 7u, (y >> kDepthShift) & 7u));
        out[i] = (kModeExact2 << kModeShift) | ((x | y) & kTaintBit) | (depth << kDepthShift) |
                 (rank << 9) | (entity << 4) | chain;
    }
    return slow_any;
}

/// update_chain of every row; non-zero when a row is malformed (the caller
/// then finds and reports it).
CORVANE_TARGET_CLONES
uint32_t update_chain_block(const uint32_t* __restrict in, uint32_t* __restrict out, std::size_t n,
                            uint32_t key) noexcept {
    uint32_t bad_any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t f = in[i];
        // 0/1 flags and range tests as sign bits of a subtraction: GCC's
        // vectoriser gives up on this loop when comparisons feed arithmetic.
        // ((v ^ k) - 1) >> 31 is 1 exactly when v == k (v < 2^31).
        const uint32_t mode = f >> kModeShift;
        const uint32_t m0 = (mode - 1u) >> 31;
        const uint32_t m1 = ((mode ^ 1u) - 1u) >> 31;
        const uint32_t m2 = ((mode ^ 2u) - 1u) >> 31;
        const uint32_t m3 = ((mode ^ 3u) - 1u) >> 31;
        // Chain width by mode: 8, 4, 0, 0 bits.
        const uint32_t mask = ((0u - m0) & 0xFFu) | ((0u - m1) & 0x0Fu);
        const uint32_t chain = advance_chain_keyed(f & mask, key) & mask;
        const uint32_t depth = next_depth((f >> kDepthShift) & 7u);
        out[i] = (f & ~(mask | kDepthMask)) | chain | (depth << kDepthShift);
        // is_well_formed, branch-free: each field is below 2^25, so
        // (field - limit) >> 31 is 1 exactly when field < limit.
        const uint32_t pd_ok = (((f >> 16) & 0x3FFu) - (kMaxPairs + 1u)) >> 31;
        const uint32_t rank_ok = (((f >> 9) & 0x1FFFFu) - kPairRankCount) >> 31;
        const uint32_t combo_ok = ((((f & kPayloadMask) >> 1) - kTripleRankCount) >> 31) & ~f & 1u;
        const uint32_t ok = (m0 & pd_ok) | (m1 & rank_ok) | (m2 & combo_ok) | m3;
        bad_any |= ok ^ 1u;
    }
    return bad_any;
}

}  // namespace

std::size_t NativeTracker::parallel_threshold() noexcept {
    return g_parallel_threshold.load(std::memory_order_relaxed);
}

void NativeTracker::set_parallel_threshold(std::size_t n) noexcept {
    g_parallel_threshold.store(n, std::memory_order_relaxed);
}

void NativeTracker::combine_range(const uint32_t* __restrict a, const uint32_t* __restrict b,
                                  uint32_t* __restrict out, std::size_t begin, std::size_t end,
                                  uint32_t op) {
    const uint32_t key = op_key(op);
    Scratch scratch;
    for (std::size_t start = begin; start < end; start += kBlock) {
        const std::size_t stop = std::min(end, start + kBlock);
        // Fast formula: two mode-00 operands with two different pairs give a
        // mode-01 result. Every other row is flagged and redone below.
        if (combine_block_fast(a + start, b + start, out + start, stop - start, key) == 0) continue;
        for (std::size_t i = start; i < stop; ++i) {
            const uint32_t x = a[i];
            const uint32_t y = b[i];
            const uint32_t px = (x >> 16) & 0x3FFu;
            const uint32_t py = (y >> 16) & 0x3FFu;
            if (((x | y) >> kModeShift) == 0 && px - 1u < kMaxPairs && py - 1u < kMaxPairs && px != py) {
                continue;
            }
            if (!is_well_formed(x)) throw_malformed_at(i, x);
            if (!is_well_formed(y)) throw_malformed_at(i, y);
            out[i] = combine_general(x, y, key, scratch);
        }
    }
}

void NativeTracker::combine_batch(const uint32_t* __restrict a, const uint32_t* __restrict b,
                                  uint32_t* __restrict out, std::size_t n, uint32_t op) {
    split_run(n, [&](std::size_t begin, std::size_t end) { combine_range(a, b, out, begin, end, op); });
}

void NativeTracker::update_chain_batch(const uint32_t* __restrict in, uint32_t* __restrict out,
                                       std::size_t n, uint32_t op) const {
    const uint32_t key = op_key(op);
    split_run(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t start = begin; start < end; start += kBlock) {
            const std::size_t stop = std::min(end, start + kBlock);
            const uint32_t bad_any = update_chain_block(in + start, out + start, stop - start, key);
            if (bad_any != 0) {
                for (std::size_t i = start; i < stop; ++i) {
                    if (!is_well_formed(in[i])) throw_malformed_at(i, in[i]);
                }
            }
        }
    });
}

void encode_source_column(uint32_t pair_id, const uint32_t* __restrict entities,
                          uint32_t* __restrict out, std::size_t n, bool taint) {
    if (pair_id >= kMaxPairs) {
        throw std::out_of_range("pair id " + std::to_string(pair_id) + " out of range 0..511");
    }
    const uint32_t base = source_fingerprint(pair_id, 0, taint);
    for (std::size_t i = 0; i < n; ++i) out[i] = base | ((entities[i] & 0xFFu) << 8);
}

void is_tainted_batch(const uint32_t* __restrict in, uint8_t* __restrict out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((in[i] >> kTaintShift) & 1u);
}

void risk_batch(const uint32_t* __restrict in, double* __restrict out, std::size_t n) {
    // Indexed by taint bit and depth (bits 29-26).
    static constexpr double kRisk[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                         1.0, 1.0 / 2, 1.0 / 3, 1.0 / 4, 1.0 / 5, 1.0 / 6, 1.0 / 7, 1.0 / 8};
    for (std::size_t i = 0; i < n; ++i) out[i] = kRisk[(in[i] >> kDepthShift) & 15u];
}

}  // namespace corvane::orvex32
