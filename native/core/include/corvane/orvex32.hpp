#pragma once
/// ORVEX-32 provenance fingerprints: packing, decoding, algebra and whole-array
/// kernels. Pure C++17; the Python binding lives in native/python/_orvex32.
///
/// Layout of a fingerprint (bit 31 is the most significant):
///   31-30 mode, 29 taint, 28-26 depth (0..7, saturating), 25-0 payload.
///
/// Payload by mode (fields from bit 25 downwards):
///   mode 00, 0 or 1 pair:  pair_data 10 | entity 8 | chain 8
///       pair_data = pair_id + 1, and 0 means "no pair". Values 513..1023 are
///       malformed.
///   mode 01, exactly 2 pairs a < b:  pair_index 17 | entity 5 | chain 4
///       pair_index = b*(b-1)/2 + a, the rank of {a, b} in the combinatorial
///       number system; C(512,2) = 130816 < 2^17, larger ranks are malformed.
///   mode 10, exactly 3 pairs a < b < c:  pair_combo 25 | reserved 1 (zero)
///       pair_combo = C(c,3) + C(b,2) + a; C(512,3) = 22238720 < 2^25. There is
///       no room for entity or chain bits: both decode as 0.
///   mode 11, 4 or more pairs:  signature 26
///       A superimposed code: every pair id owns a fixed set of three distinct
///       bit positions among the 26 (an injective assignment, scrambled so that
///       neighbouring ids share few bits), and a set's signature is the OR of
///       its members' bits. The signature of a union is therefore exactly the
///       OR of the signatures, so combining dense values never needs a table to
///       stay a superset of the truth. Dense values carry no entity or chain.
///
/// Exact decoding of dense values: a NativeTracker remembers, for every dense
/// signature it produced or was told about, the exact pair set behind it (see
/// NativeTracker). Signatures it never saw decode to the candidate set: every
/// registered pair id whose three bits are all present.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace corvane::orvex32 {

inline constexpr uint32_t kMaxPairs = 512;
inline constexpr uint32_t kModeShift = 30;
inline constexpr uint32_t kTaintShift = 29;
inline constexpr uint32_t kDepthShift = 26;
inline constexpr uint32_t kPayloadBits = 26;
inline constexpr uint32_t kPayloadMask = (1u << kPayloadBits) - 1u;
inline constexpr uint32_t kTaintBit = 1u << kTaintShift;
inline constexpr uint32_t kDepthMask = 7u << kDepthShift;
inline constexpr uint32_t kMaxDepth = 7;

inline constexpr uint32_t kModeExact01 = 0;
inline constexpr uint32_t kModeExact2 = 1;
inline constexpr uint32_t kModeExact3 = 2;
inline constexpr uint32_t kModeDense = 3;

/// Number of valid pair_index values (C(512,2)) and pair_combo values (C(512,3)).
inline constexpr uint32_t kPairRankCount = kMaxPairs * (kMaxPairs - 1) / 2;
inline constexpr uint32_t kTripleRankCount =
    static_cast<uint32_t>(uint64_t{kMaxPairs} * (kMaxPairs - 1) * (kMaxPairs - 2) / 6);

/// Bound on the dense side table of one tracker. An entry is about 100 bytes,
/// so a full table costs roughly 100 MB; beyond it new signatures are not
/// recorded (they then decode to their candidate set, still a superset).
inline constexpr std::size_t kMaxDenseEntries = std::size_t{1} << 20;

/// Width masks of the entity and chain fields of each mode.
inline constexpr std::array<uint32_t, 4> kEntityMask{0xFFu, 0x1Fu, 0u, 0u};
inline constexpr std::array<uint32_t, 4> kChainMask{0xFFu, 0x0Fu, 0u, 0u};

/// Mode field of a fingerprint.
constexpr uint32_t mode_of(uint32_t f) noexcept { return f >> kModeShift; }
/// Taint bit of a fingerprint.
constexpr bool is_tainted(uint32_t f) noexcept { return ((f >> kTaintShift) & 1u) != 0; }
/// Depth field of a fingerprint.
constexpr uint32_t depth_of(uint32_t f) noexcept { return (f >> kDepthShift) & 7u; }
/// risk = taint * 1/(1 + depth).
constexpr double risk_of(uint32_t f) noexcept {
    return is_tainted(f) ? 1.0 / (1.0 + static_cast<double>(depth_of(f))) : 0.0;
}
/// depth + 1, saturating at kMaxDepth (d <= 7 so d + 1 <= 8, and 8 maps to 7).
constexpr uint32_t next_depth(uint32_t d) noexcept { return (d + 1u) - ((d + 1u) >> 3); }

/// Rank of the pair a < b (pair_index of mode 01).
constexpr uint32_t pair_rank(uint32_t a, uint32_t b) noexcept { return b * (b - 1u) / 2u + a; }
/// Rank of the triple a < b < c (pair_combo of mode 10).
constexpr uint32_t triple_rank(uint32_t a, uint32_t b, uint32_t c) noexcept {
    return static_cast<uint32_t>(uint64_t{c} * (c - 1u) * (c - 2u) / 6u) + b * (b - 1u) / 2u + a;
}
/// Inverse of pair_rank; `rank` must be below kPairRankCount.
void pair_unrank(uint32_t rank, uint32_t& a, uint32_t& b) noexcept;
/// Inverse of triple_rank; `rank` must be below kTripleRankCount.
void triple_unrank(uint32_t rank, uint32_t& a, uint32_t& b, uint32_t& c) noexcept;

/// The three signature bits owned by `pair_id` (< kMaxPairs).
uint32_t pair_signature(uint32_t pair_id) noexcept;

/// Chain hash of a binary operation over the operands' chain fields.
/// Order-sensitive on purpose: a - b and b - a are different paths.
constexpr uint32_t op_key(uint32_t op) noexcept {
    uint32_t x = op * 0x9E3779B1u + 0x7F4A7C15u;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    return x;
}
/// Chain fields are at most 8 bits wide, so only the low 8 bits of each
/// operand take part. One multiply, keeping the top byte of the product:
/// those bits depend on every input bit, and a single 32-bit multiply keeps
/// the whole-array kernels memory-bound rather than multiplier-bound.
constexpr uint32_t mix_chain_keyed(uint32_t chain_a, uint32_t chain_b, uint32_t key) noexcept {
    const uint32_t x = ((((chain_a & 0xFFu) << 8) | (chain_b & 0xFFu)) ^ key) * 0x9E3779B1u;
    return x >> 24;
}
/// Chain hash of a unary operation applied to a chain field.
constexpr uint32_t advance_chain_keyed(uint32_t chain, uint32_t key) noexcept {
    return mix_chain_keyed(chain, 0x5BD1E995u, key);
}
constexpr uint32_t mix_chain(uint32_t chain_a, uint32_t chain_b, uint32_t op) noexcept {
    return mix_chain_keyed(chain_a, chain_b, op_key(op));
}
constexpr uint32_t advance_chain(uint32_t chain, uint32_t op) noexcept {
    return advance_chain_keyed(chain, op_key(op));
}

/// A set of pair ids, 0..511.
struct PairSet {
    std::array<uint64_t, kMaxPairs / 64> words{};

    void insert(uint32_t id) noexcept { words[id >> 6] |= uint64_t{1} << (id & 63u); }
    bool contains(uint32_t id) const noexcept { return (words[id >> 6] >> (id & 63u)) & 1u; }
    std::size_t size() const noexcept;
    /// The members in ascending order.
    std::vector<uint32_t> ids() const;
    /// OR of the members' signature bits.
    uint32_t signature() const noexcept;
    PairSet& operator|=(const PairSet& o) noexcept {
        for (std::size_t i = 0; i < words.size(); ++i) words[i] |= o.words[i];
        return *this;
    }
    bool operator==(const PairSet& o) const noexcept { return words == o.words; }
    bool operator!=(const PairSet& o) const noexcept { return words != o.words; }
};

/// A fully decoded fingerprint.
struct Decoded {
    PairSet pairs;
    uint32_t entity = 0;
    uint32_t chain = 0;
    bool taint = false;
    uint32_t depth = 0;
    uint32_t mode = 0;
    /// "EXACT-0", "EXACT-1", "EXACT-2", "EXACT-3" or "DENSE".
    const char* mode_name = "EXACT-0";
};

/// Mode name of a fingerprint, from its header and mode-00 pair_data alone.
const char* mode_name(uint32_t f) noexcept;

/// True when the payload is a valid value of its mode (pair_data <= 512,
/// pair_index < C(512,2), pair_combo < C(512,3) with the reserved bit clear).
/// Every dense payload is valid.
constexpr bool is_well_formed(uint32_t f) noexcept {
    switch (mode_of(f)) {
        case kModeExact01: return ((f >> 16) & 0x3FFu) <= kMaxPairs;
        case kModeExact2: return ((f >> 9) & 0x1FFFFu) < kPairRankCount;
        case kModeExact3: return (f & 1u) == 0 && ((f & kPayloadMask) >> 1) < kTripleRankCount;
        default: return true;
    }
}

/// Fingerprint of a source cell: the single pair `pair_id`, `entity` truncated
/// to 8 bits, chain 0, depth 0.
constexpr uint32_t source_fingerprint(uint32_t pair_id, uint32_t entity, bool taint) noexcept {
    return (taint ? kTaintBit : 0u) | ((pair_id + 1u) << 16) | ((entity & 0xFFu) << 8);
}

/// The registry of (table, column) pairs, the whole-table protections and the
/// dense side table of one provenance tracker.
///
/// Thread safety: registration and restoring run with the interpreter lock
/// held; the batch kernels may run on several threads at once against one
/// tracker. The registered-pair count is atomic and the side table is guarded
/// by a mutex, so every member function may be called concurrently.
class NativeTracker {
public:
    struct Registration {
        std::string table;
        std::string column;
        bool is_protected = false;
    };

    NativeTracker() = default;
    NativeTracker(const NativeTracker& other);
    NativeTracker& operator=(const NativeTracker& other);

    /// Records a (table, column) pair; a repeat registration only upgrades the
    /// protection. Ids are handed out in order of first registration, like the
    /// Python registry does. Throws std::length_error for a 513th distinct pair.
    uint32_t register_pair(const std::string& table, const std::string& column,
                           bool is_protected);
    /// Records a wholly protected table.
    void mark_table_protected(const std::string& table);
    /// Number of distinct pairs registered so far.
    uint32_t registered_count() const noexcept { return count_.load(std::memory_order_acquire); }
    bool is_protected(const std::string& table, const std::string& column) const;
    std::vector<Registration> registrations() const;
    std::vector<std::string> protected_tables() const;

    /// Packs a fingerprint. `pair_ids` may be unsorted and hold duplicates; each
    /// must be below 512 (std::out_of_range otherwise). Entity and chain keep
    /// their low bits, depth saturates at 7 (negative: std::invalid_argument).
    /// A dense result is recorded in the side table.
    uint32_t encode(const uint32_t* pair_ids, std::size_t count, uint64_t entity, uint64_t chain,
                    bool taint, int64_t depth);
    /// Unpacks a fingerprint; std::invalid_argument for a malformed payload.
    Decoded decode(uint32_t f) const;
    /// pairs = union, entity = XOR (truncated to the result's mode), chain =
    /// mix(chain_a, chain_b, op), taint = OR, depth = max + 1 saturating.
    uint32_t combine(uint32_t a, uint32_t b, uint32_t op);
    /// Same pairs, entity and taint; chain advanced with `op`; depth + 1.
    uint32_t update_chain(uint32_t f, uint32_t op) const;

    /// Element-wise combine; out may not alias the inputs. Throws
    /// std::invalid_argument naming the first malformed element.
    /// combine_batch on the calling thread only, for callers that already run
    /// it beside other work and must not oversubscribe the cores.
    void combine_serial(const uint32_t* __restrict a, const uint32_t* __restrict b,
                        uint32_t* __restrict out, std::size_t n, uint32_t op) {
        combine_range(a, b, out, 0, n, op);
    }
    void combine_batch(const uint32_t* __restrict a, const uint32_t* __restrict b,
                       uint32_t* __restrict out, std::size_t n, uint32_t op);
    /// Element-wise update_chain.
    void update_chain_batch(const uint32_t* __restrict in, uint32_t* __restrict out,
                            std::size_t n, uint32_t op) const;

    /// The exact pair set recorded for a dense signature, or false.
    bool lookup_dense(uint32_t signature, PairSet& out) const;
    /// Records `pairs` under `signature` (union with an existing entry).
    /// Returns false when the table is full and the signature is new.
    bool record_dense(uint32_t signature, const PairSet& pairs);
    /// Registered pair ids whose three bits all lie in `signature`.
    PairSet candidates(uint32_t signature) const;
    std::size_t dense_size() const;
    std::vector<std::pair<uint32_t, PairSet>> dense_entries() const;

    /// Minimum element count before a batch kernel is split over two threads.
    static std::size_t parallel_threshold() noexcept;
    static void set_parallel_threshold(std::size_t n) noexcept;

private:
    /// Per-call cache of the batch kernels: a column usually carries one pair
    /// set on every row, so the last dense lookup and the last recorded
    /// signature are remembered to keep the side-table mutex off the per-row
    /// path.
    struct Scratch {
        bool has_lookup = false;
        uint32_t lookup_sig = 0;
        PairSet lookup_set;
        bool has_record = false;
        uint32_t record_sig = 0;
        PairSet record_set;
    };
    PairSet dense_pairs(uint32_t signature, Scratch& scratch) const;
    uint32_t combine_general(uint32_t a, uint32_t b, uint32_t key, Scratch& scratch);
    void combine_range(const uint32_t* __restrict a, const uint32_t* __restrict b,
                       uint32_t* __restrict out, std::size_t begin, std::size_t end,
                       uint32_t op);

    mutable std::mutex registry_mutex_;
    std::vector<Registration> registrations_;
    std::unordered_map<std::string, uint32_t> ids_;  // key: table + '\0' + column
    std::vector<std::string> protected_tables_;
    std::unordered_set<std::string> protected_table_set_;
    std::atomic<uint32_t> count_{0};

    mutable std::mutex dense_mutex_;
    std::unordered_map<uint32_t, PairSet> dense_;
};

/// Source fingerprints of a column: one per entity, pair `pair_id` (< 512).
void encode_source_column(uint32_t pair_id, const uint32_t* __restrict entities,
                          uint32_t* __restrict out, std::size_t n, bool taint);
/// Taint bit of each fingerprint, as 0/1 bytes.
void is_tainted_batch(const uint32_t* __restrict in, uint8_t* __restrict out, std::size_t n);
/// risk_of of each fingerprint.
void risk_batch(const uint32_t* __restrict in, double* __restrict out, std::size_t n);

}  // namespace corvane::orvex32
