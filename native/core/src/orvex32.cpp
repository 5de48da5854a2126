// Scalar side of the ORVEX-32 core: ranks, signatures, the registry, the dense
// side table, packing, decoding and the scalar algebra. The batch kernels are
// in orvex32_kernels.cpp.
#include "corvane/orvex32.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace corvane::orvex32 {

namespace {

/// C(n, 3) for n = 0..512, for unranking triples by binary search.
struct TripleTable {
    std::array<uint32_t, kMaxPairs + 1> c3{};
    constexpr TripleTable() {
        for (uint32_t n = 0; n <= kMaxPairs; ++n) {
            c3[n] = n < 3 ? 0u : static_cast<uint32_t>(uint64_t{n} * (n - 1) * (n - 2) / 6);
        }
    }
};
constexpr TripleTable kTriples{};

/// Signature bits per pair id. The 2600 three-element subsets of 0..25 are
/// taken in lexicographic order and id i gets subset (i * 263) mod 2600:
/// 263 is coprime with 2600, so the assignment is injective, and with this
/// stride consecutive ids share at most one bit and the 26 bits are used
/// about equally often (50 to 66 ids each), which keeps false candidates of
/// unknown signatures rare for the small sets real pipelines produce.
struct SignatureTable {
    std::array<uint32_t, kMaxPairs> bits{};
    constexpr SignatureTable() {
        std::array<uint32_t, 2600> subsets{};
        uint32_t k = 0;
        for (uint32_t x = 0; x < 26; ++x)
            for (uint32_t y = x + 1; y < 26; ++y)
                for (uint32_t z = y + 1; z < 26; ++z) subsets[k++] = (1u << x) | (1u << y) | (1u << z);
        for (uint32_t i = 0; i < kMaxPairs; ++i) bits[i] = subsets[(i * 263u) % 2600u];
    }
};
constexpr SignatureTable kSignatures{};

std::string table_key(const std::string& table, const std::string& column) {
    std::string key;
    key.reserve(table.size() + column.size() + 1);
    key += table;
    key += '\0';
    key += column;
    return key;
}

[[noreturn]] void throw_malformed(uint32_t f) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "malformed ORVEX-32 fingerprint 0x%08X: payload out of range for mode %u",
                  f, mode_of(f));
    throw std::invalid_argument(buf);
}

}  // namespace

void pair_unrank(uint32_t rank, uint32_t& a, uint32_t& b) noexcept {
    // b is the largest value with b*(b-1)/2 <= rank; the float estimate is off
    // by at most one either way for ranks below 2^17.
    auto est = static_cast<uint32_t>((1.0 + std::sqrt(1.0 + 8.0 * static_cast<double>(rank))) / 2.0);
    while (est * (est - 1u) / 2u > rank) --est;
    while ((est + 1u) * est / 2u <= rank) ++est;
    b = est;
    a = rank - b * (b - 1u) / 2u;
}

void triple_unrank(uint32_t rank, uint32_t& a, uint32_t& b, uint32_t& c) noexcept {
    // Largest c with C(c,3) <= rank.
    const auto* first = kTriples.c3.data();
    const auto* it = std::upper_bound(first, first + kMaxPairs + 1, rank);
    c = static_cast<uint32_t>(it - first) - 1u;
    pair_unrank(rank - kTriples.c3[c], a, b);
}

uint32_t pair_signature(uint32_t pair_id) noexcept { return kSignatures.bits[pair_id & (kMaxPairs - 1)]; }

std::size_t PairSet::size() const noexcept {
    std::size_t n = 0;
    for (uint64_t w : words) n += static_cast<std::size_t>(__builtin_popcountll(w));
    return n;
}

std::vector<uint32_t> PairSet::ids() const {
    std::vector<uint32_t> out;
    for (uint32_t w = 0; w < words.size(); ++w) {
        uint64_t bits = words[w];
        while (bits != 0) {
            out.push_back(w * 64u + static_cast<uint32_t>(__builtin_ctzll(bits)));
            bits &= bits - 1;
        }
    }
    return out;
}

uint32_t PairSet::signature() const noexcept {
    uint32_t sig = 0;
    for (uint32_t w = 0; w < words.size(); ++w) {
        uint64_t bits = words[w];
        while (bits != 0) {
            sig |= kSignatures.bits[w * 64u + static_cast<uint32_t>(__builtin_ctzll(bits))];
            bits &= bits - 1;
        }
    }
    return sig;
}

const char* mode_name(uint32_t f) noexcept {
    switch (mode_of(f)) {
        case kModeExact01: return ((f >> 16) & 0x3FFu) == 0 ? "EXACT-0" : "EXACT-1";
        case kModeExact2: return "EXACT-2";
        case kModeExact3: return "EXACT-3";
        default: return "DENSE";
    }
}

// ---------------------------------------------------------------- registry

NativeTracker::NativeTracker(const NativeTracker& other) {
    {
        std::lock_guard<std::mutex> lock(other.registry_mutex_);
        registrations_ = other.registrations_;
        ids_ = other.ids_;
        protected_tables_ = other.protected_tables_;
        protected_table_set_ = other.protected_table_set_;
        count_.store(other.count_.load());
    }
    std::lock_guard<std::mutex> lock(other.dense_mutex_);
    dense_ = other.dense_;
}

NativeTracker& NativeTracker::operator=(const NativeTracker& other) {
    if (this != &other) {
        NativeTracker copy(other);
        std::scoped_lock lock(registry_mutex_, dense_mutex_);
        registrations_ = std::move(copy.registrations_);
        ids_ = std::move(copy.ids_);
        protected_tables_ = std::move(copy.protected_tables_);
        protected_table_set_ = std::move(copy.protected_table_set_);
        dense_ = std::move(copy.dense_);
        count_.store(copy.count_.load(), std::memory_order_release);
    }
    return *this;
}

uint32_t NativeTracker::register_pair(const std::string& table, const std::string& column,
                                      bool is_protected) {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    std::string key = table_key(table, column);
    auto found = ids_.find(key);
    if (found != ids_.end()) {
        if (is_protected) registrations_[found->second].is_protected = true;
        return found->second;
    }
    if (registrations_.size() >= kMaxPairs) {
        throw std::length_error("Maximum 512 pairs supported");
    }
    auto id = static_cast<uint32_t>(registrations_.size());
    registrations_.push_back({table, column, is_protected});
    ids_.emplace(std::move(key), id);
    count_.store(id + 1u, std::memory_order_release);
    return id;
}

void NativeTracker::mark_table_protected(const std::string& table) {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (protected_table_set_.insert(table).second) protected_tables_.push_back(table);
}

bool NativeTracker::is_protected(const std::string& table, const std::string& column) const {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (protected_table_set_.count(table) != 0) return true;
    auto found = ids_.find(table_key(table, column));
    return found != ids_.end() && registrations_[found->second].is_protected;
}

std::vector<NativeTracker::Registration> NativeTracker::registrations() const {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    return registrations_;
}

std::vector<std::string> NativeTracker::protected_tables() const {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    return protected_tables_;
}

// --------------------------------------------------------- dense side table

bool NativeTracker::lookup_dense(uint32_t signature, PairSet& out) const {
    std::lock_guard<std::mutex> lock(dense_mutex_);
    auto found = dense_.find(signature);
    if (found == dense_.end()) return false;
    out = found->second;
    return true;
}

bool NativeTracker::record_dense(uint32_t signature, const PairSet& pairs) {
    std::lock_guard<std::mutex> lock(dense_mutex_);
    auto found = dense_.find(signature);
    if (found != dense_.end()) {
        // Two sets behind one signature: keep their union, so that decoding
        // stays a superset of either and never loses a pair.
        found->second |= pairs;
        return true;
    }
    if (dense_.size() >= kMaxDenseEntries) return false;
    dense_.emplace(signature, pairs);
    return true;
}

PairSet NativeTracker::candidates(uint32_t signature) const {
    PairSet out;
    uint32_t n = registered_count();
    if (n == 0) n = kMaxPairs;
    for (uint32_t id = 0; id < n; ++id) {
        uint32_t bits = kSignatures.bits[id];
        if ((signature & bits) == bits) out.insert(id);
    }
    return out;
}

std::size_t NativeTracker::dense_size() const {
    std::lock_guard<std::mutex> lock(dense_mutex_);
    return dense_.size();
}

std::vector<std::pair<uint32_t, PairSet>> NativeTracker::dense_entries() const {
    std::lock_guard<std::mutex> lock(dense_mutex_);
    std::vector<std::pair<uint32_t, PairSet>> out(dense_.begin(), dense_.end());
    std::sort(out.begin(), out.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    return out;
}

// ------------------------------------------------------ packing and algebra

namespace {

/// The pair part of an exact (mode 00..10) fingerprint: up to three ids.
struct SmallSet {
    uint32_t n = 0;
    uint32_t ids[6] = {};
};

SmallSet exact_pairs(uint32_t f) {
    SmallSet s;
    switch (mode_of(f)) {
        case kModeExact01: {
            uint32_t pd = (f >> 16) & 0x3FFu;
            if (pd > kMaxPairs) throw_malformed(f);
            if (pd != 0) s.ids[s.n++] = pd - 1u;
            break;
        }
        case kModeExact2: {
            uint32_t rank = (f >> 9) & 0x1FFFFu;
            if (rank >= kPairRankCount) throw_malformed(f);
            pair_unrank(rank, s.ids[0], s.ids[1]);
            s.n = 2;
            break;
        }
        default: {
            uint32_t payload = f & kPayloadMask;
            if ((payload & 1u) != 0 || (payload >> 1) >= kTripleRankCount) throw_malformed(f);
            triple_unrank(payload >> 1, s.ids[0], s.ids[1], s.ids[2]);
            s.n = 3;
            break;
        }
    }
    return s;
}

uint32_t entity_field(uint32_t f) noexcept {
    switch (mode_of(f)) {
        case kModeExact01: return (f >> 8) & 0xFFu;
        case kModeExact2: return (f >> 4) & 0x1Fu;
        default: return 0;
    }
}

uint32_t chain_field(uint32_t f) noexcept { return f & kChainMask[mode_of(f)]; }

/// Packs an exact set of at most three ascending ids.
uint32_t pack_exact(const uint32_t* ids, uint32_t n, uint32_t entity, uint32_t chain,
                    uint32_t header) noexcept {
    switch (n) {
        case 0: return header | ((entity & 0xFFu) << 8) | (chain & 0xFFu);
        case 1: return header | ((ids[0] + 1u) << 16) | ((entity & 0xFFu) << 8) | (chain & 0xFFu);
        case 2:
            return header | (kModeExact2 << kModeShift) | (pair_rank(ids[0], ids[1]) << 9) |
                   ((entity & 0x1Fu) << 4) | (chain & 0x0Fu);
        default:
            return header | (kModeExact3 << kModeShift) | (triple_rank(ids[0], ids[1], ids[2]) << 1);
    }
}

/// The members of a set of at most three pairs, ascending, without allocating.
void small_ids(const PairSet& set, uint32_t* out) noexcept {
    uint32_t k = 0;
    for (uint32_t w = 0; w < set.words.size() && k < 3; ++w) {
        uint64_t bits = set.words[w];
        while (bits != 0 && k < 3) {
            out[k++] = w * 64u + static_cast<uint32_t>(__builtin_ctzll(bits));
            bits &= bits - 1;
        }
    }
}

uint32_t make_header(bool taint, uint32_t depth) noexcept {
    return (taint ? kTaintBit : 0u) | (depth << kDepthShift);
}

}  // namespace

PairSet NativeTracker::dense_pairs(uint32_t signature, Scratch& scratch) const {
    if (scratch.has_lookup && scratch.lookup_sig == signature) return scratch.lookup_set;
    PairSet set;
    if (!lookup_dense(signature, set)) set = candidates(signature);
    scratch.has_lookup = true;
    scratch.lookup_sig = signature;
    scratch.lookup_set = set;
    return set;
}

uint32_t NativeTracker::encode(const uint32_t* pair_ids, std::size_t count, uint64_t entity,
                               uint64_t chain, bool taint, int64_t depth) {
    if (depth < 0) throw std::invalid_argument("depth must not be negative");
    PairSet set;
    for (std::size_t i = 0; i < count; ++i) {
        if (pair_ids[i] >= kMaxPairs) {
            throw std::out_of_range("pair id " + std::to_string(pair_ids[i]) +
                                    " out of range 0..511");
        }
        set.insert(pair_ids[i]);
    }
    uint32_t header = make_header(taint, depth > kMaxDepth ? kMaxDepth : static_cast<uint32_t>(depth));
    std::size_t n = set.size();
    if (n >= 4) {
        uint32_t sig = set.signature();
        record_dense(sig, set);
        return header | (kModeDense << kModeShift) | sig;
    }
    uint32_t ids[3];
    small_ids(set, ids);
    return pack_exact(ids, static_cast<uint32_t>(n), static_cast<uint32_t>(entity),
                      static_cast<uint32_t>(chain), header);
}

Decoded NativeTracker::decode(uint32_t f) const {
    Decoded d;
    d.taint = is_tainted(f);
    d.depth = depth_of(f);
    d.mode = mode_of(f);
    d.mode_name = mode_name(f);
    if (d.mode == kModeDense) {
        uint32_t sig = f & kPayloadMask;
        if (!lookup_dense(sig, d.pairs)) d.pairs = candidates(sig);
        return d;
    }
    SmallSet s = exact_pairs(f);
    for (uint32_t i = 0; i < s.n; ++i) d.pairs.insert(s.ids[i]);
    d.entity = entity_field(f);
    d.chain = chain_field(f);
    return d;
}

uint32_t NativeTracker::combine_general(uint32_t a, uint32_t b, uint32_t key, Scratch& scratch) {
    uint32_t header = make_header(((a | b) & kTaintBit) != 0,
                                  next_depth(std::max(depth_of(a), depth_of(b))));
    uint32_t entity = entity_field(a) ^ entity_field(b);
    uint32_t chain = mix_chain_keyed(chain_field(a), chain_field(b), key);
    if (mode_of(a) != kModeDense && mode_of(b) != kModeDense) {
        SmallSet sa = exact_pairs(a);
        SmallSet sb = exact_pairs(b);
        SmallSet u;
        uint32_t i = 0, j = 0;
        while (i < sa.n || j < sb.n) {
            uint32_t next;
            if (j >= sb.n || (i < sa.n && sa.ids[i] < sb.ids[j])) {
                next = sa.ids[i++];
            } else if (i >= sa.n || sb.ids[j] < sa.ids[i]) {
                next = sb.ids[j++];
            } else {
                next = sa.ids[i++];
                ++j;
            }
            u.ids[u.n++] = next;
        }
        if (u.n <= 3) return pack_exact(u.ids, u.n, entity, chain, header);
        PairSet set;
        uint32_t sig = 0;
        for (uint32_t k = 0; k < u.n; ++k) {
            set.insert(u.ids[k]);
            sig |= kSignatures.bits[u.ids[k]];
        }
        if (!(scratch.has_record && scratch.record_sig == sig && scratch.record_set == set)) {
            record_dense(sig, set);
            scratch.has_record = true;
            scratch.record_sig = sig;
            scratch.record_set = set;
        }
        return header | (kModeDense << kModeShift) | sig;
    }
    // At least one dense operand: the union of the decoded sets, and the OR of
    // the signatures (which covers the union even when an operand's set is only
    // its candidate set).
    PairSet set;
    uint32_t sig = 0;
    for (uint32_t f : {a, b}) {
        if (mode_of(f) == kModeDense) {
            set |= dense_pairs(f & kPayloadMask, scratch);
            sig |= f & kPayloadMask;
        } else {
            SmallSet s = exact_pairs(f);
            for (uint32_t k = 0; k < s.n; ++k) {
                set.insert(s.ids[k]);
                sig |= kSignatures.bits[s.ids[k]];
            }
        }
    }
    std::size_t n = set.size();
    if (n <= 3) {
        uint32_t ids[3];
        small_ids(set, ids);
        return pack_exact(ids, static_cast<uint32_t>(n), entity, chain, header);
    }
    if (!(scratch.has_record && scratch.record_sig == sig && scratch.record_set == set)) {
        record_dense(sig, set);
        scratch.has_record = true;
        scratch.record_sig = sig;
        scratch.record_set = set;
    }
    return header | (kModeDense << kModeShift) | sig;
}

uint32_t NativeTracker::combine(uint32_t a, uint32_t b, uint32_t op) {
    Scratch scratch;
    return combine_general(a, b, op_key(op), scratch);
}

uint32_t NativeTracker::update_chain(uint32_t f, uint32_t op) const {
    if (!is_well_formed(f)) throw_malformed(f);
    // The pair part and entity stay as they are: only the chain bits of the
    // mode and the depth change. A dense payload is left untouched, so its
    // side-table entry (if any) still describes it.
    uint32_t mask = kChainMask[mode_of(f)];
    uint32_t chain = advance_chain_keyed(f & mask, op_key(op)) & mask;
    return (f & ~(mask | kDepthMask)) | chain | (next_depth(depth_of(f)) << kDepthShift);
}

}  // namespace corvane::orvex32
