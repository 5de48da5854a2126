// Columnar node log of the computation DAG.
//
// Every tracked operation over n rows logs n nodes. Storing them as objects
// would cost hundreds of bytes a row, so the log keeps them as runs: one run
// per operation call, whose ids are a contiguous range, whose node kind and
// operation are stored once, and whose operands are described per position
// (one node for every row, base + row, or an explicit id array). Only the
// 32-bit fingerprints are stored per node.
//
// Nodes whose kind is Source live in a separate ordered table: they are never
// evicted, so keeping them out of the run queue lets eviction trim and drop
// runs from the front only.
//
// The log can be told that some nodes have an authoritative copy elsewhere
// (the binding's node objects, which callers may edit). Readers then ask a
// NodeOverrides implementation for those nodes' fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace corvane::dag {

/// Node kinds, numbered as the Python enumeration.
enum class NodeKind : std::uint8_t {
    Source = 1,
    Constant = 2,
    Unary = 3,
    Binary = 4,
    Aggregate = 5,
    Merge = 6,
    Filter = 7,
    Custom = 8,
};

/// Bit 29 of a fingerprint: the value derives from a protected attribute.
inline constexpr std::uint32_t kTaintBit = 1u << 29;

/// The protection a node gets from its fingerprint alone (a zero fingerprint
/// is never tested).
inline bool protected_by_fingerprint(std::uint32_t fp) noexcept {
    return fp != 0 && (fp & kTaintBit) != 0;
}

/// How one operand position of a run names its input node, row by row.
struct InputColumn {
    enum class Kind : std::uint8_t { Constant, Affine, Explicit };

    Kind kind = Kind::Constant;
    std::int64_t base = 0;           ///< Constant: the id; Affine: the id of row 0
    std::vector<std::int64_t> ids;   ///< Explicit: one id per row

    static InputColumn constant(std::int64_t id);
    static InputColumn affine(std::int64_t base);
    static InputColumn explicit_ids(std::vector<std::int64_t> ids);
    /// The most compact description of `n` per-row ids.
    static InputColumn compact(const std::int64_t* ids, std::size_t n);

    /// The input id of row `row`.
    std::int64_t at(std::size_t row) const noexcept {
        switch (kind) {
            case Kind::Constant: return base;
            case Kind::Affine: return base + static_cast<std::int64_t>(row);
            default: return ids[row];
        }
    }
    /// Appends row `rows_before` with input `id`, keeping the form compact.
    void push(std::size_t rows_before, std::int64_t id);
    /// Forgets the first `k` rows (the run's front was evicted).
    void drop_front(std::size_t k);
    std::size_t heap_bytes() const noexcept { return ids.capacity() * sizeof(std::int64_t); }
};

/// A run of nodes with contiguous ids [first_id + start, first_id + count).
struct Run {
    std::int64_t first_id = 0;
    std::size_t count = 0;
    std::size_t start = 0;  ///< rows before `start` were evicted
    NodeKind kind = NodeKind::Custom;
    std::uint32_t op = 0;
    std::vector<InputColumn> inputs;  ///< one per operand position
    std::vector<std::uint32_t> fps;   ///< one per row

    std::size_t live() const noexcept { return count - start; }
    std::int64_t end_id() const noexcept { return first_id + static_cast<std::int64_t>(count); }
};

/// Per-node extras that only a few nodes have (source nodes mostly).
struct NodeExtra {
    std::optional<std::string> table;
    std::optional<std::string> column;
    std::optional<std::int64_t> pair_id;
    std::optional<bool> is_protected;  ///< when set, replaces the fingerprint rule
};

/// Everything the log holds about one node.
struct NodeRecord {
    std::int64_t id = 0;
    NodeKind kind = NodeKind::Custom;
    std::uint32_t op = 0;
    std::uint32_t fp = 0;
    std::vector<std::int64_t> inputs;
    NodeExtra extra;
    bool materialized = false;
};

/// One edge of a lineage walk: operand -> consumer at operand position.
struct Edge {
    std::int64_t source;
    std::int64_t target;
    std::int64_t index;
};

/// Result of the lineage walk: node ids in reach order, edges in emission order.
struct Lineage {
    std::vector<std::int64_t> nodes;
    std::vector<Edge> edges;
};

/// Summary counts of the whole log.
struct LogStats {
    std::size_t total = 0;
    std::size_t sources = 0;
    std::size_t protected_nodes = 0;
    /// (operation key, count) over non-source nodes, in order of first
    /// occurrence. Keys >= 0 are interned operations; keys < 0 come from
    /// NodeOverrides::op_key for operations the log cannot intern.
    std::vector<std::pair<std::int64_t, std::size_t>> op_counts;
    std::size_t unique_fingerprints = 0;
};

/// Fields of nodes whose authoritative copy lives outside the log. Called with
/// the log's mutex held: implementations must not call back into the log.
class NodeOverrides {
public:
    virtual ~NodeOverrides() = default;
    virtual void inputs(std::int64_t id, std::vector<std::int64_t>& out) = 0;
    virtual bool is_source(std::int64_t id) = 0;
    virtual bool is_protected(std::int64_t id) = 0;
    virtual std::int64_t op_key(std::int64_t id) = 0;
};

/// The node log. All public members lock an internal mutex, so readers see a
/// consistent log while other threads append.
class NodeLog {
public:
    NodeLog() = default;
    NodeLog(const NodeLog&) = delete;
    NodeLog& operator=(const NodeLog&) = delete;

    /// Interns an operation name; the same text always gives the same index.
    std::uint32_t intern(std::string_view op);
    /// The text of an interned operation.
    std::string op_text(std::uint32_t op) const;

    /// Appends one node. Source nodes go to the never-evicted table; other
    /// nodes extend the newest run when they continue it (same kind,
    /// operation and arity, next id, no extras).
    void append_node(std::int64_t id, NodeKind kind, std::uint32_t op,
                     const std::vector<std::int64_t>& inputs, std::uint32_t fp,
                     const NodeExtra* extra, bool materialized);

    /// Appends `count` nodes with ids first_id .. first_id + count - 1 as one
    /// run, evicting exactly as if they had been appended one by one with
    /// `evict_oldest(size() / 10)` after every append that left more than
    /// `max_nodes` nodes. Ids of evicted materialized nodes are added to
    /// `evicted_materialized`.
    void append_run(std::int64_t first_id, NodeKind kind, std::uint32_t op,
                    std::vector<InputColumn> inputs, const std::uint32_t* fps,
                    std::size_t count, std::int64_t max_nodes, NodeOverrides* overrides,
                    std::vector<std::int64_t>* evicted_materialized);

    /// Evicts the `count` oldest nodes that are not sources (fewer if there
    /// are fewer). Returns how many were evicted.
    std::size_t evict_oldest(std::size_t count, NodeOverrides* overrides,
                             std::vector<std::int64_t>* evicted_materialized);

    /// Marks a node as having an authoritative copy outside the log; false
    /// when the node is not held.
    bool set_materialized(std::int64_t id);

    std::size_t size() const;
    bool contains(std::int64_t id) const;
    std::optional<NodeRecord> get(std::int64_t id) const;
    /// Smallest held id greater than `after` (creation order iteration).
    std::optional<std::int64_t> next_id(std::optional<std::int64_t> after) const;
    std::vector<std::int64_t> ids() const;
    /// Largest id ever appended plus one (0 for a fresh log).
    std::int64_t id_high_water() const;

    /// Ids of held nodes carrying `fp`, oldest first.
    std::vector<std::int64_t> ids_for_fingerprint(std::uint32_t fp);
    std::size_t fingerprint_count();
    bool has_fingerprint(std::uint32_t fp);
    /// Fingerprints in the order their index entries were created.
    std::vector<std::uint32_t> fingerprints();
    bool index_built() const;

    /// Backward breadth-first walk from `root` along inputs.
    Lineage walk(std::int64_t root, NodeOverrides* overrides) const;
    LogStats stats(NodeOverrides* overrides);

    /// Bytes held by runs, source table, side tables and index (an estimate
    /// of owned heap memory, for the benchmarks).
    std::size_t memory_bytes() const;

private:
    // The fingerprint index keeps, per fingerprint, only how many held nodes
    // carry it and the id that started its current list (the list was empty
    // before it): that is all the key order needs. The id lists themselves are
    // read back from the runs on demand, so logging and eviction cost one
    // counter update per stretch of equal fingerprints, not a list operation
    // per node.
    struct FpCount {
        std::uint64_t live = 0;
        std::int64_t since = 0;  ///< id whose insertion created the current list
    };
    // Direct-mapped cache in front of index_ for the few fingerprints a run
    // usually repeats; map nodes are stable, so it holds pointers until an
    // entry is erased.
    struct FpSlot {
        std::uint32_t fp = 0;
        FpCount* entry = nullptr;
    };
    static constexpr unsigned kFpCacheBits = 10;

    // Unlocked helpers; callers hold mu_.
    void append_node_locked(std::int64_t id, NodeKind kind, std::uint32_t op,
                            const std::vector<std::int64_t>& inputs, std::uint32_t fp,
                            const NodeExtra* extra, bool materialized);
    void append_run_chunk_locked(std::int64_t first_id, NodeKind kind, std::uint32_t op,
                                 const std::vector<InputColumn>& inputs, std::size_t row0,
                                 const std::uint32_t* fps, std::size_t count, std::size_t total_rows);
    std::size_t evict_locked(std::size_t count, NodeOverrides* overrides,
                             std::vector<std::int64_t>* evicted_materialized);
    void trim_front_locked(std::size_t k, std::vector<std::int64_t>* evicted_materialized);
    const Run* find_locked(std::int64_t id, std::size_t* row) const;
    void inputs_locked(const Run& run, std::size_t row, std::vector<std::int64_t>& out) const;
    void build_index_locked();
    FpCount& index_entry_locked(std::uint32_t fp, std::int64_t id);
    void index_add_locked(const std::uint32_t* fps, std::size_t n, std::int64_t first_id);
    void index_remove_locked(const std::uint32_t* fps, std::size_t n);
    void index_settle_locked();
    void forget_locked(std::int64_t id, std::vector<std::int64_t>* evicted_materialized);
    /// forget_locked for the ids lo .. lo + k - 1.
    void forget_range_locked(std::int64_t lo, std::size_t k,
                             std::vector<std::int64_t>* evicted_materialized);
    void list_ids_locked(std::uint32_t fp, std::size_t expected, std::vector<std::int64_t>& out) const;
    bool is_source_locked(std::int64_t id, NodeKind kind, NodeOverrides* overrides) const;
    void note_id_locked(std::int64_t last_id);

    mutable std::mutex mu_;
    std::deque<Run> runs_;                 // non-source runs, ascending ids
    // Fingerprint storage of evicted runs, kept for the next runs: a bounded
    // log evicts about as much as it appends, and reusing that memory spares
    // the kernel zeroing fresh pages for every large operation.
    std::vector<std::vector<std::uint32_t>> spare_fps_;
    void recycle_fps_locked(std::vector<std::uint32_t>&& fps);
    std::vector<std::uint32_t> take_fps_locked(std::size_t capacity);
    std::map<std::int64_t, Run> pinned_;   // sources (and kept nodes), one per entry
    std::unordered_map<std::int64_t, NodeExtra> extras_;
    std::unordered_set<std::int64_t> materialized_;
    std::size_t size_ = 0;
    std::int64_t high_water_ = 0;

    std::vector<std::string> op_names_;
    std::unordered_map<std::string, std::uint32_t> op_index_;

    bool index_built_ = false;
    std::unordered_map<std::uint32_t, FpCount> index_;
    std::vector<std::pair<std::uint32_t, std::int64_t>> index_order_;  // (fp, since), stale ones skipped
    std::vector<FpSlot> fp_cache_;
    std::vector<std::uint32_t> emptied_;  // fingerprints whose count reached 0 in this eviction
    // Bumped by every change of the held nodes; the id lists of all
    // fingerprints are built in one pass when asked for twice in one version.
    std::uint64_t version_ = 0;
    std::uint64_t looked_up_version_ = ~std::uint64_t{0};
    std::uint64_t lists_version_ = ~std::uint64_t{0};
    std::unordered_map<std::uint32_t, std::vector<std::int64_t>> lists_;
};

}  // namespace corvane::dag
