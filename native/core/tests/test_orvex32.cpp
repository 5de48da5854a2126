// ORVEX-32 core: exhaustive round trips of the exact modes, the algebra, the
// dense side table and agreement of the batch kernels with the scalar code.
#include "corvane/orvex32.hpp"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"

using namespace corvane::orvex32;

namespace {

PairSet set_of(std::initializer_list<uint32_t> ids) {
    PairSet s;
    for (uint32_t id : ids) s.insert(id);
    return s;
}

uint32_t enc(NativeTracker& t, std::vector<uint32_t> ids, uint64_t entity = 0, uint64_t chain = 0,
             bool taint = false, int64_t depth = 0) {
    return t.encode(ids.data(), ids.size(), entity, chain, taint, depth);
}

void test_empty_and_single_pairs() {
    NativeTracker t;
    uint32_t empty = enc(t, {});
    CHECK(empty == 0);
    Decoded d = t.decode(empty);
    CHECK(d.pairs.size() == 0);
    CHECK(std::strcmp(d.mode_name, "EXACT-0") == 0);
    for (uint32_t id = 0; id < kMaxPairs; ++id) {
        uint32_t f = enc(t, {id}, 0xAB, 0xCD);
        Decoded s = t.decode(f);
        CHECK(mode_of(f) == kModeExact01);
        CHECK(((f >> 16) & 0x3FFu) == id + 1);
        CHECK(s.pairs == set_of({id}));
        CHECK(s.entity == 0xAB && s.chain == 0xCD);
        CHECK(std::strcmp(s.mode_name, "EXACT-1") == 0);
    }
}

void test_all_pairs_round_trip() {
    NativeTracker t;
    uint32_t expected_rank = 0;
    for (uint32_t b = 1; b < kMaxPairs; ++b) {
        for (uint32_t a = 0; a < b; ++a, ++expected_rank) {
            // Ranks enumerate 0..C(512,2)-1 in order: a bijection onto the range.
            CHECK(pair_rank(a, b) == expected_rank);
            uint32_t f = enc(t, {b, a}, 0xFF, 0xFF);
            CHECK(mode_of(f) == kModeExact2);
            Decoded d = t.decode(f);
            CHECK(d.pairs == set_of({a, b}));
            CHECK(d.entity == 0x1F && d.chain == 0x0F);
        }
    }
    CHECK(expected_rank == kPairRankCount);
    CHECK(kPairRankCount < (1u << 17));
}

void test_all_triples_round_trip() {
    // 22.2M triples: ranks are checked arithmetically against a running
    // counter (which proves the packing is a bijection onto 0..C(512,3)-1),
    // and every rank is unpacked again.
    uint32_t expected = 0;
    uint32_t failures = 0;
    for (uint32_t c = 2; c < kMaxPairs; ++c) {
        for (uint32_t b = 1; b < c; ++b) {
            for (uint32_t a = 0; a < b; ++a, ++expected) {
                uint32_t x, y, z;
                triple_unrank(expected, x, y, z);
                failures += static_cast<uint32_t>(triple_rank(a, b, c) != expected) +
                            static_cast<uint32_t>(x != a || y != b || z != c);
            }
        }
    }
    CHECK(failures == 0);
    CHECK(expected == kTripleRankCount);
    CHECK(kTripleRankCount < (1u << 25));
    // The public encode/decode path over every triple with one id fixed at
    // each end of the range and in the middle.
    NativeTracker t;
    for (uint32_t fixed : {0u, 255u, 511u}) {
        for (uint32_t b = 0; b < kMaxPairs; ++b) {
            for (uint32_t a = 0; a < b; ++a) {
                if (a == fixed || b == fixed) continue;
                uint32_t f = enc(t, {fixed, a, b}, 0xFF, 0xFF, true, 3);
                Decoded d = t.decode(f);
                failures += static_cast<uint32_t>(d.pairs != set_of({a, b, fixed})) +
                            static_cast<uint32_t>(mode_of(f) != kModeExact3 || (f & 1u) != 0 ||
                                                  d.entity != 0 || d.chain != 0 || !d.taint ||
                                                  d.depth != 3);
            }
        }
    }
    CHECK(failures == 0);
}

void test_unrank_inverts_every_pair_rank() {
    uint32_t failures = 0;
    for (uint32_t r = 0; r < kPairRankCount; ++r) {
        uint32_t a, b;
        pair_unrank(r, a, b);
        failures += static_cast<uint32_t>(!(a < b && b < kMaxPairs && pair_rank(a, b) == r));
    }
    CHECK(failures == 0);
}

void test_signature_assignment() {
    std::vector<uint32_t> seen;
    for (uint32_t id = 0; id < kMaxPairs; ++id) {
        uint32_t s = pair_signature(id);
        CHECK(__builtin_popcount(s) == 3);
        CHECK((s & ~kPayloadMask) == 0);
        seen.push_back(s);
        if (id > 0) CHECK(__builtin_popcount(s & pair_signature(id - 1)) <= 1);
    }
    std::sort(seen.begin(), seen.end());
    CHECK(std::adjacent_find(seen.begin(), seen.end()) == seen.end());
}

void test_encode_truncation_and_errors() {
    NativeTracker t;
    // Duplicates collapse; entity/chain keep their low bits (two's complement).
    uint32_t f = enc(t, {7, 7}, static_cast<uint64_t>(-1), 0x1234, false, 99);
    Decoded d = t.decode(f);
    CHECK(d.pairs == set_of({7}));
    CHECK(d.entity == 0xFF && d.chain == 0x34 && d.depth == 7);
    CHECK_THROWS(enc(t, {512}), std::out_of_range);
    CHECK_THROWS(enc(t, {1}, 0, 0, false, -1), std::invalid_argument);
    // Header fields land in the documented bits.
    CHECK(enc(t, {}, 0, 0, true, 7) == (kTaintBit | (7u << kDepthShift)));
}

void test_malformed_fingerprints_rejected() {
    NativeTracker t;
    const uint32_t bad[] = {
        513u << 16,                                          // pair_data past 512
        (1u << 30) | (kPairRankCount << 9),                  // pair_index past C(512,2)
        (2u << 30) | (kTripleRankCount << 1),                // pair_combo past C(512,3)
        (2u << 30) | 1u,                                     // reserved bit set
    };
    for (uint32_t f : bad) {
        CHECK(!is_well_formed(f));
        CHECK_THROWS(t.decode(f), std::invalid_argument);
        CHECK_THROWS(t.combine(f, 0, 1), std::invalid_argument);
        CHECK_THROWS(t.update_chain(f, 1), std::invalid_argument);
        std::vector<uint32_t> in{0, f}, out(2);
        CHECK_THROWS(t.update_chain_batch(in.data(), out.data(), 2, 1), std::invalid_argument);
        std::vector<uint32_t> other{source_fingerprint(1, 0, false), source_fingerprint(2, 0, false)};
        CHECK_THROWS(t.combine_batch(other.data(), in.data(), out.data(), 2, 1), std::invalid_argument);
    }
    CHECK(is_well_formed(512u << 16));
    CHECK(is_well_formed(0xFFFFFFFFu));
}

void test_combine_algebra() {
    NativeTracker t;
    uint32_t x = enc(t, {3}, 0xF0, 0x11, true, 2);
    uint32_t y = enc(t, {9}, 0x0F, 0x22, false, 5);
    uint32_t c = t.combine(x, y, 4);
    Decoded d = t.decode(c);
    CHECK(mode_of(c) == kModeExact2);  // 1 + 1 -> 2
    CHECK(d.pairs == set_of({3, 9}));
    CHECK(d.entity == ((0xF0u ^ 0x0Fu) & 0x1Fu));
    CHECK(d.chain == (mix_chain(0x11, 0x22, 4) & 0x0Fu));
    CHECK(d.taint && d.depth == 6);
    // Same pair on both sides stays mode 00, entity XOR cancels.
    uint32_t same = t.combine(x, x, 1);
    CHECK(t.decode(same).pairs == set_of({3}) && t.decode(same).entity == 0);
    // Empty operand: the other side's pairs.
    CHECK(t.decode(t.combine(0, y, 1)).pairs == set_of({9}));
    // Depth saturates.
    uint32_t deep = enc(t, {1}, 0, 0, false, 7);
    CHECK(depth_of(t.combine(deep, deep, 1)) == 7);
    CHECK(!is_tainted(t.combine(deep, deep, 1)));
    // 2 + 2 sharing one pair -> 3 (exact); disjoint -> dense with exact decode.
    uint32_t p = enc(t, {1, 2});
    uint32_t q = enc(t, {2, 5});
    uint32_t r = enc(t, {6, 8});
    uint32_t three = t.combine(p, q, 1);
    CHECK(mode_of(three) == kModeExact3 && t.decode(three).pairs == set_of({1, 2, 5}));
    uint32_t four = t.combine(p, r, 1);
    CHECK(mode_of(four) == kModeDense);
    CHECK((four & kPayloadMask) == set_of({1, 2, 6, 8}).signature());
    CHECK(t.decode(four).pairs == set_of({1, 2, 6, 8}));
    CHECK(std::strcmp(t.decode(four).mode_name, "DENSE") == 0);
    // 3 + 3 disjoint -> dense of six.
    uint32_t six = t.combine(three, enc(t, {100, 200, 300}), 1);
    CHECK(t.decode(six).pairs == set_of({1, 2, 5, 100, 200, 300}));
    // Dense + exact, dense + dense: union; signature = OR of the signatures.
    uint32_t seven = t.combine(four, enc(t, {400}), 1);
    CHECK(t.decode(seven).pairs == set_of({1, 2, 6, 8, 400}));
    CHECK((seven & kPayloadMask) == ((four | pair_signature(400)) & kPayloadMask));
    uint32_t all = t.combine(seven, six, 1);
    CHECK(t.decode(all).pairs == set_of({1, 2, 5, 6, 8, 100, 200, 300, 400}));
    // The chain depends on the operation and on operand order.
    uint32_t ops_differ = 0;
    for (uint32_t op = 0; op < 16; ++op) ops_differ += t.combine(x, y, op) != t.combine(x, y, op + 1);
    CHECK(ops_differ >= 8);
    CHECK(mix_chain(1, 2, 1) != mix_chain(2, 1, 1));
}

void test_update_chain() {
    NativeTracker t;
    const std::vector<std::vector<uint32_t>> sets = {{}, {4}, {4, 10}, {4, 10, 20}, {4, 10, 20, 30}};
    for (const auto& ids : sets) {
        uint32_t f = enc(t, ids, 0x5A, 0x3C, true, 6);
        uint32_t u = t.update_chain(f, 8);
        Decoded before = t.decode(f), after = t.decode(u);
        CHECK(after.pairs == before.pairs);
        CHECK(after.entity == before.entity && after.taint && after.depth == 7);
        CHECK(after.chain == (advance_chain(before.chain, 8) & kChainMask[mode_of(f)]));
        CHECK(depth_of(t.update_chain(u, 8)) == 7);
        CHECK(mode_of(u) == mode_of(f));
    }
}

void test_dense_side_table() {
    NativeTracker t;
    for (int i = 0; i < 20; ++i) t.register_pair("t", "c" + std::to_string(i), false);
    uint32_t f = enc(t, {0, 1, 2, 3});
    CHECK(t.dense_size() == 1);
    // A signature this tracker never saw decodes to the registered ids whose
    // bits are all present: a superset of any set that produced it.
    NativeTracker fresh;
    for (int i = 0; i < 20; ++i) fresh.register_pair("t", "c" + std::to_string(i), false);
    PairSet cand = fresh.decode(f).pairs;
    for (uint32_t id : {0u, 1u, 2u, 3u}) CHECK(cand.contains(id));
    for (uint32_t id : cand.ids()) {
        CHECK(id < 20);
        CHECK((f & pair_signature(id)) == pair_signature(id));
    }
    // Without registrations every id is a candidate.
    NativeTracker bare;
    CHECK(bare.candidates(f & kPayloadMask).size() >= 4);
    // Two sets behind one signature decode to their union.
    uint32_t sig = set_of({0, 1, 2, 3}).signature();
    CHECK(t.record_dense(sig, set_of({0, 1, 2, 3, 19})));
    CHECK(t.decode(f).pairs == set_of({0, 1, 2, 3, 19}));
    // A copy carries the table; later changes do not leak between the two.
    NativeTracker copy = t;
    CHECK(copy.decode(f).pairs == t.decode(f).pairs);
    enc(copy, {5, 6, 7, 8});
    CHECK(copy.dense_size() == 2 && t.dense_size() == 1);
}

void test_registry() {
    NativeTracker t;
    CHECK(t.register_pair("a", "x", false) == 0);
    CHECK(t.register_pair("a", "y", false) == 1);
    CHECK(t.register_pair("a", "x", true) == 0);
    CHECK(t.register_pair("a", "x", false) == 0);
    CHECK(t.registered_count() == 2);
    CHECK(t.is_protected("a", "x") && !t.is_protected("a", "y"));
    // The key keeps table and column apart even when their text runs together.
    CHECK(t.register_pair("ax", "", false) == 2);
    t.mark_table_protected("b");
    t.mark_table_protected("b");
    CHECK(t.protected_tables().size() == 1 && t.is_protected("b", "anything"));
    for (uint32_t i = 3; i < kMaxPairs; ++i) t.register_pair("z", std::to_string(i), false);
    CHECK(t.registered_count() == kMaxPairs);
    CHECK_THROWS(t.register_pair("z", "one more", false), std::length_error);
    CHECK(t.register_pair("a", "y", false) == 1);
}

std::vector<uint32_t> random_fingerprints(NativeTracker& t, std::size_t n, std::mt19937& rng,
                                          std::vector<PairSet>& truth) {
    // A mix of every mode, with random headers; `truth` gets the exact sets.
    std::vector<uint32_t> out(n);
    truth.assign(n, PairSet{});
    std::uniform_int_distribution<uint32_t> id(0, kMaxPairs - 1), bits;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t pick = bits(rng) % 6;
        std::vector<uint32_t> ids;
        uint32_t count = pick == 5 ? 4 + bits(rng) % 5 : (pick == 4 ? 1 : pick);
        for (uint32_t k = 0; k < count; ++k) {
            ids.push_back(id(rng));
            truth[i].insert(ids.back());
        }
        out[i] = enc(t, ids, bits(rng), bits(rng), bits(rng) & 1u, bits(rng) % 8);
    }
    return out;
}

void test_batches_match_scalar() {
    NativeTracker t;
    std::mt19937 rng(12345);
    const std::size_t n = 20000;
    std::vector<PairSet> truth_a, truth_b;
    std::vector<uint32_t> a = random_fingerprints(t, n, rng, truth_a);
    std::vector<uint32_t> b = random_fingerprints(t, n, rng, truth_b);
    // Single pairs, the kernels' fast path, interleaved with the rest.
    for (std::size_t i = 0; i < n; i += 3) {
        auto ia = static_cast<uint32_t>(i % 512), ib = static_cast<uint32_t>((i * 7) % 512);
        a[i] = source_fingerprint(ia, static_cast<uint32_t>(i), i % 2 == 0);
        b[i] = source_fingerprint(ib, static_cast<uint32_t>(i * 3), false);
        truth_a[i] = set_of({ia});
        truth_b[i] = set_of({ib});
    }
    for (std::size_t threshold : {std::size_t{1} << 40, std::size_t{4096}}) {
        NativeTracker::set_parallel_threshold(threshold);
        for (uint32_t op : {0u, 4u, 0xFFFFFFFFu}) {
            std::vector<uint32_t> out(n), chained(n);
            NativeTracker batch_tracker = t;
            batch_tracker.combine_batch(a.data(), b.data(), out.data(), n, op);
            t.update_chain_batch(a.data(), chained.data(), n, op);
            std::size_t mismatches = 0;
            for (std::size_t i = 0; i < n; ++i) {
                mismatches += out[i] != t.combine(a[i], b[i], op);
                mismatches += chained[i] != t.update_chain(a[i], op);
                // Dense signatures of random sets collide often, so the side
                // table may hold unions: decoding must still never lose a pair.
                PairSet want = truth_a[i];
                want |= truth_b[i];
                PairSet got = batch_tracker.decode(out[i]).pairs;
                PairSet both = got;
                both |= want;
                mismatches += both != got;
                if (want.size() <= 3) mismatches += got != want;
            }
            CHECK(mismatches == 0);
        }
    }
    NativeTracker::set_parallel_threshold(std::size_t{1} << 21);

    std::vector<uint32_t> entities(n), src(n);
    for (std::size_t i = 0; i < n; ++i) entities[i] = static_cast<uint32_t>(i * 2654435761u);
    encode_source_column(77, entities.data(), src.data(), n, true);
    std::vector<uint8_t> taint(n);
    std::vector<double> risk(n);
    is_tainted_batch(a.data(), taint.data(), n);
    risk_batch(a.data(), risk.data(), n);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mismatches += src[i] != enc(t, {77}, entities[i], 0, true, 0);
        mismatches += (taint[i] != 0) != is_tainted(a[i]);
        mismatches += risk[i] != risk_of(a[i]);
    }
    CHECK(mismatches == 0);
    CHECK_THROWS(encode_source_column(512, entities.data(), src.data(), 1, false), std::out_of_range);
}

void test_risk_values() {
    for (uint32_t d = 0; d <= 7; ++d) {
        uint32_t f = kTaintBit | (d << kDepthShift);
        CHECK(risk_of(f) == 1.0 / (1.0 + d));
        CHECK(risk_of(d << kDepthShift) == 0.0);
    }
    CHECK(risk_of(kTaintBit) == 1.0);
    CHECK(risk_of(kTaintBit | (1u << kDepthShift)) == 0.5);
}

void test_concurrent_batches_on_one_tracker() {
    // Two threads producing dense results through one tracker's side table.
    NativeTracker t;
    const std::size_t n = 50000;
    std::vector<uint32_t> a(n), b(n), out1(n), out2(n);
    std::vector<uint32_t> pair_ab{1, 2};
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t k = static_cast<uint32_t>(i % 100);
        a[i] = t.encode(pair_ab.data(), 2, 0, 0, false, 0);
        std::vector<uint32_t> ids{10 + k, 200 + k};
        b[i] = t.encode(ids.data(), 2, 0, 0, false, 0);
    }
    std::thread other([&] { t.combine_batch(a.data(), b.data(), out1.data(), n, 1); });
    t.combine_batch(b.data(), a.data(), out2.data(), n, 2);
    other.join();
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t k = static_cast<uint32_t>(i % 100);
        PairSet want = set_of({1, 2, 10 + k, 200 + k});
        wrong += !(t.decode(out1[i]).pairs == want) + !(t.decode(out2[i]).pairs == want);
    }
    CHECK(wrong == 0);
}

}  // namespace

int main() {
    test_empty_and_single_pairs();
    test_all_pairs_round_trip();
    test_unrank_inverts_every_pair_rank();
    test_all_triples_round_trip();
    test_signature_assignment();
    test_encode_truncation_and_errors();
    test_malformed_fingerprints_rejected();
    test_combine_algebra();
    test_update_chain();
    test_dense_side_table();
    test_registry();
    test_batches_match_scalar();
    test_risk_values();
    test_concurrent_batches_on_one_tracker();
    return corvane::testing::check_exit_code();
}
