// Unit tests of the columnar DAG node log, including a comparison of its
// eviction against a one-node-at-a-time reference model.
#include "corvane/dag_log.hpp"
#include "corvane/dag_values.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

using namespace corvane::dag;

static int failures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

namespace {

// The reference: an insertion-ordered node table and fingerprint index that
// follow the one-by-one procedure literally.
struct RefNode {
    NodeKind kind;
    std::uint32_t fp;
    std::vector<std::int64_t> inputs;
};

struct Reference {
    std::map<std::int64_t, RefNode> nodes;  // ids ascend, so map order = creation order
    std::unordered_map<std::uint32_t, std::vector<std::int64_t>> index;
    std::vector<std::uint32_t> index_order;  // dict insertion order
    std::unordered_set<std::int64_t> flipped;  // materialized nodes whose source flag is inverted

    bool is_source(std::int64_t id) const {
        const bool s = nodes.at(id).kind == NodeKind::Source;
        return flipped.count(id) ? !s : s;
    }
    void add(std::int64_t id, RefNode n, std::int64_t max_nodes) {
        if (!index.count(n.fp)) {
            index_order.push_back(n.fp);
        }
        index[n.fp].push_back(id);
        nodes.emplace(id, std::move(n));
        if (static_cast<std::int64_t>(nodes.size()) > max_nodes) {
            evict();
        }
    }
    void evict() {
        const std::size_t count = nodes.size() / 10;
        std::size_t evicted = 0;
        std::vector<std::int64_t> keys;
        for (auto& kv : nodes) keys.push_back(kv.first);
        for (std::int64_t id : keys) {
            if (evicted >= count) break;
            if (is_source(id)) continue;
            const std::uint32_t fp = nodes.at(id).fp;
            nodes.erase(id);
            flipped.erase(id);
            auto& list = index[fp];
            list.erase(std::find(list.begin(), list.end(), id));
            if (list.empty()) {
                index.erase(fp);
                index_order.erase(std::find(index_order.begin(), index_order.end(), fp));
            }
            ++evicted;
        }
    }
};

struct FlipOverrides : NodeOverrides {
    Reference* ref;
    const NodeLog* log;
    explicit FlipOverrides(Reference* r) : ref(r), log(nullptr) {}
    void inputs(std::int64_t id, std::vector<std::int64_t>& out) override { out = ref->nodes.at(id).inputs; }
    bool is_source(std::int64_t id) override { return ref->is_source(id); }
    bool is_protected(std::int64_t id) override { return protected_by_fingerprint(ref->nodes.at(id).fp); }
    std::int64_t op_key(std::int64_t) override { return -1; }
};

void compare(NodeLog& log, Reference& ref, bool check_index) {
    std::vector<std::int64_t> ids = log.ids();
    std::vector<std::int64_t> want;
    for (auto& kv : ref.nodes) want.push_back(kv.first);
    CHECK(ids == want);
    CHECK(log.size() == ref.nodes.size());
    for (auto& kv : ref.nodes) {
        auto rec = log.get(kv.first);
        CHECK(rec.has_value());
        if (rec) {
            CHECK(rec->fp == kv.second.fp);
            CHECK(rec->inputs == kv.second.inputs);
        }
    }
    // creation-order iteration through next_id
    std::vector<std::int64_t> walked;
    std::optional<std::int64_t> cur = log.next_id(std::nullopt);
    while (cur) {
        walked.push_back(*cur);
        cur = log.next_id(cur);
    }
    CHECK(walked == want);
    if (check_index) {
        CHECK(log.fingerprints() == ref.index_order);
        for (auto& kv : ref.index) {
            CHECK(log.ids_for_fingerprint(kv.first) == kv.second);
        }
    }
}

// `fp_range` distinct fingerprints; a wide range makes the index's lookup
// cache collide and its entries empty and come back often; `run_rows` bounds
// the length of a run.
void random_sequences(std::uint64_t seed, std::uint32_t fp_range, std::size_t run_rows,
                      std::int64_t max_bound, int trials) {
    std::mt19937_64 rng(seed);
    for (int trial = 0; trial < trials; ++trial) {
        NodeLog log;
        Reference ref;
        FlipOverrides ov(&ref);
        const std::int64_t max_nodes = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(max_bound));
        const bool early_index = (rng() % 2) == 0;
        if (early_index) {
            log.fingerprints();  // the index is built on first use and kept up to date
        }
        std::int64_t next = 0;
        const std::uint32_t ops[2] = {log.intern("add"), log.intern("neg")};
        for (int step = 0; step < 40; ++step) {
            const int what = static_cast<int>(rng() % 10);
            if (what < 2) {
                // source node
                const auto fp = static_cast<std::uint32_t>(rng() % 6);
                log.append_node(next, NodeKind::Source, ops[0], {}, fp, nullptr, false);
                if (static_cast<std::int64_t>(log.size()) > max_nodes) {
                    log.evict_oldest(log.size() / 10, &ov, nullptr);
                }
                ref.add(next, RefNode{NodeKind::Source, fp, {}}, max_nodes);
                ++next;
            } else if (what < 5) {
                // single node (may extend the newest run)
                std::vector<std::int64_t> in;
                const std::size_t arity = rng() % 3;
                for (std::size_t a = 0; a < arity; ++a) in.push_back(static_cast<std::int64_t>(rng() % (next + 1)));
                const auto fp = static_cast<std::uint32_t>(rng() % 6) | ((rng() % 3 == 0) ? kTaintBit : 0u);
                const std::uint32_t op = ops[rng() % 2];
                log.append_node(next, NodeKind::Binary, op, in, fp, nullptr, false);
                if (static_cast<std::int64_t>(log.size()) > max_nodes) {
                    log.evict_oldest(log.size() / 10, &ov, nullptr);
                }
                ref.add(next, RefNode{NodeKind::Binary, fp, in}, max_nodes);
                ++next;
            } else if (what < 9) {
                // a run
                const std::size_t n = rng() % run_rows;
                const std::size_t arity = 1 + rng() % 2;
                std::vector<InputColumn> cols;
                std::vector<std::vector<std::int64_t>> per_row(n);
                for (std::size_t a = 0; a < arity; ++a) {
                    const int form = static_cast<int>(rng() % 3);
                    std::vector<std::int64_t> ids(n);
                    const auto base = static_cast<std::int64_t>(rng() % (next + 1));
                    for (std::size_t r = 0; r < n; ++r) {
                        ids[r] = form == 0 ? base : form == 1 ? base + static_cast<std::int64_t>(r)
                                                              : static_cast<std::int64_t>(rng() % (next + 1));
                    }
                    cols.push_back(InputColumn::compact(ids.data(), n));
                    for (std::size_t r = 0; r < n; ++r) per_row[r].push_back(ids[r]);
                }
                std::vector<std::uint32_t> fps(n);
                // stretches of equal fingerprints, as combine gives for columns of few entities
                std::uint32_t cur = 0;
                for (auto& f : fps) {
                    if (fp_range <= 6) {
                        f = static_cast<std::uint32_t>(rng() % 8);
                        continue;
                    }
                    if (rng() % 3 != 0) cur = static_cast<std::uint32_t>(rng() % fp_range);
                    f = cur;
                }
                const NodeKind kind = (rng() % 8 == 0) ? NodeKind::Source : NodeKind::Unary;
                log.append_run(next, kind, ops[1], cols, fps.data(), n, max_nodes, &ov, nullptr);
                for (std::size_t r = 0; r < n; ++r) {
                    ref.add(next + static_cast<std::int64_t>(r), RefNode{kind, fps[r], per_row[r]}, max_nodes);
                }
                next += static_cast<std::int64_t>(n);
            } else if (!ref.nodes.empty()) {
                // an outside edit turns a node into (or out of) a source
                auto it = ref.nodes.begin();
                std::advance(it, static_cast<long>(rng() % ref.nodes.size()));
                ref.flipped.insert(it->first);
                log.set_materialized(it->first);
            }
            // The index is exact only when it was kept from the start or built before any eviction.
            compare(log, ref, true);
        }
        (void)early_index;
    }
}

void spec_examples() {
    // 500,001 non-source nodes at the default bound: ids 0..49,999 evicted.
    {
        NodeLog log;
        const auto op = log.intern("add");
        std::vector<std::uint32_t> fps(500001, 7);
        fps[3] = 99;  // a fingerprint carried only by an evicted node
        std::vector<std::int64_t> evicted;
        log.append_run(0, NodeKind::Binary, op, {InputColumn::constant(0), InputColumn::constant(1)},
                       fps.data(), fps.size(), 500000, nullptr, &evicted);
        CHECK(log.size() == 450001);
        CHECK(!log.contains(49999));
        CHECK(log.contains(50000));
        CHECK(log.ids_for_fingerprint(99).empty());
        CHECK(!log.has_fingerprint(99));
        CHECK(log.ids_for_fingerprint(7).front() == 50000);
        // 4 bytes a node for a run with constant inputs
        CHECK(log.memory_bytes() < 450001 * 8 + 4 * 1024 * 1024);
    }
    // max 10, ten sources and one derived node: only the derived node goes.
    {
        NodeLog log;
        const auto op = log.intern("x");
        for (int i = 0; i < 10; ++i) log.append_node(i, NodeKind::Source, op, {}, 1, nullptr, false);
        std::uint32_t fp = 2;
        log.append_run(10, NodeKind::Unary, op, {InputColumn::constant(0)}, &fp, 1, 10, nullptr, nullptr);
        CHECK(log.size() == 10);
        CHECK(!log.contains(10));
        // every node a source: nothing evicted, the log exceeds its bound
        for (int i = 11; i < 20; ++i) log.append_node(i, NodeKind::Source, op, {}, 1, nullptr, false);
        CHECK(log.evict_oldest(log.size() / 10, nullptr, nullptr) == 0);
        CHECK(log.size() == 19);
    }
    // appending an id below the high-water mark is refused
    {
        NodeLog log;
        log.append_node(5, NodeKind::Unary, log.intern("a"), {1}, 0, nullptr, false);
        bool threw = false;
        try {
            log.append_node(3, NodeKind::Unary, 0, {1}, 0, nullptr, false);
        } catch (const std::invalid_argument&) {
            threw = true;
        }
        CHECK(threw);
        CHECK(log.id_high_water() == 6);
    }
}

void lineage() {
    NodeLog log;
    const auto add = log.intern("add");
    // a=0, b=1 sources; c = a + b (2); d = c + c (3); diamond: e = neg(a) (4), f = neg(a) (5), g = e + f (6)
    log.append_node(0, NodeKind::Source, log.intern("t.a"), {}, 1, nullptr, false);
    log.append_node(1, NodeKind::Source, log.intern("t.b"), {}, 2, nullptr, false);
    log.append_node(2, NodeKind::Binary, add, {0, 1}, 3, nullptr, false);
    log.append_node(3, NodeKind::Binary, add, {2, 2}, 4, nullptr, false);
    const auto neg = log.intern("neg");
    log.append_node(4, NodeKind::Unary, neg, {0}, 5, nullptr, false);
    log.append_node(5, NodeKind::Unary, neg, {0}, 5, nullptr, false);
    log.append_node(6, NodeKind::Binary, add, {4, 5}, 6, nullptr, false);
    Lineage l = log.walk(2, nullptr);
    CHECK((l.nodes == std::vector<std::int64_t>{2, 0, 1}));
    CHECK(l.edges.size() == 2 && l.edges[0].source == 0 && l.edges[1].source == 1 && l.edges[1].index == 1);
    l = log.walk(3, nullptr);
    CHECK((l.nodes == std::vector<std::int64_t>{3, 2, 0, 1}));
    CHECK(l.edges.size() == 4 && l.edges[0].source == 2 && l.edges[1].source == 2 && l.edges[1].index == 1);
    l = log.walk(6, nullptr);
    CHECK((l.nodes == std::vector<std::int64_t>{6, 4, 5, 0}));
    CHECK(l.edges.size() == 4 && l.edges[2].target == 4 && l.edges[3].target == 5);
    l = log.walk(42, nullptr);
    CHECK(l.nodes.empty() && l.edges.empty());
    // evicted parent: the edge stays, the node goes
    log.evict_oldest(1, nullptr, nullptr);  // evicts node 2 (0 and 1 are sources)
    l = log.walk(3, nullptr);
    CHECK((l.nodes == std::vector<std::int64_t>{3}));
    CHECK(l.edges.size() == 2 && l.edges[0].source == 2);

    LogStats s = log.stats(nullptr);
    CHECK(s.total == 6 && s.sources == 2);
    CHECK(s.op_counts.size() == 2 && s.op_counts[0].first == add && s.op_counts[0].second == 2 &&
          s.op_counts[1].second == 2);
}

void deep_chain() {
    // A chain of a million single nodes coalesces into one affine run.
    NodeLog log;
    const auto op = log.intern("neg");
    log.append_node(0, NodeKind::Source, op, {}, 1, nullptr, false);
    for (std::int64_t i = 1; i < 1000000; ++i) {
        log.append_node(i, NodeKind::Unary, op, {i - 1}, 2, nullptr, false);
    }
    CHECK(log.memory_bytes() < 1000000 * 5 + 4096);
    Lineage l = log.walk(999999, nullptr);
    CHECK(l.nodes.size() == 1000000 && l.edges.size() == 999999);
}

void concurrent_readers() {
    NodeLog log;
    const auto op = log.intern("add");
    log.append_node(0, NodeKind::Source, op, {}, 1, nullptr, false);
    // Reader and writer go in step (one batch per ten reads, neither side
    // running ahead): the newest id a read saw is then still held when the
    // walk starts from it, which fifty batches landing in between would break.
    // Without the pacing the mutex lets one side starve the other and catch
    // up in a burst.
    std::atomic<int> reader_rounds{0};
    std::atomic<int> batches_done{0};
    std::thread writer([&] {
        std::vector<std::uint32_t> fps(1000, 3);
        for (int i = 0; i < 200; ++i) {
            while (reader_rounds.load() < 10 * i) std::this_thread::yield();
            log.append_run(1 + i * 1000, NodeKind::Binary, op, {InputColumn::constant(0), InputColumn::constant(0)},
                           fps.data(), fps.size(), 50000, nullptr, nullptr);
            batches_done.fetch_add(1);
        }
    });
    std::size_t checks = 0;
    for (int i = 0; i < 2000; ++i) {
        while (batches_done.load() < i / 10) std::this_thread::yield();
        auto ids = log.ids();
        CHECK(std::is_sorted(ids.begin(), ids.end()));
        if (!ids.empty()) {
            Lineage l = log.walk(ids.back(), nullptr);
            CHECK(!l.nodes.empty());
        }
        LogStats s = log.stats(nullptr);
        CHECK(s.total >= 1 && s.sources == 1);
        ++checks;
        reader_rounds.fetch_add(1);
    }
    writer.join();
    CHECK(checks == 2000);
    CHECK(log.size() <= 50001);
}

void row_values() {
    RowValueStore store(10);
    CHECK(store.append(1, 0, {}, 4).empty());
    CHECK(store.append(2, 100, {5, 7, 9}, 3).empty());
    ValueRef ref{};
    CHECK(store.at(5, &ref) && ref.handle == 2 && ref.row == 7);
    auto released = store.append(3, 0, {}, 6);  // 13 records: the 3 oldest go
    CHECK(released.empty());
    CHECK(store.size() == 10 && store.dropped() == 3);
    CHECK(store.at(0, &ref) && ref.handle == 1 && ref.row == 3);
    released = store.append(4, 0, {}, 2);
    CHECK((released == std::vector<std::uint64_t>{1}));
    CHECK(store.snapshot().front().handle == 2 && store.snapshot().front().row == 7);
    released = store.set_capacity(3);
    CHECK(store.size() == 3 && store.dropped() == 12);
    CHECK(store.at(0, &ref) && ref.handle == 3 && ref.row == 5);
    released = store.clear();
    CHECK(store.size() == 0 && store.dropped() == 12 && released.size() == 2);
}

}  // namespace

int main() {
    random_sequences(12345, 6, 30, 40, 300);
    random_sequences(777, 5000, 400, 600, 40);
    spec_examples();
    lineage();
    deep_chain();
    concurrent_readers();
    row_values();
    if (failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("dag log: all checks passed");
    return 0;
}
