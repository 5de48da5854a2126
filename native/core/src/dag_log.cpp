#include "corvane/dag_log.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace corvane::dag {

namespace {

constexpr std::int64_t kNoId = std::numeric_limits<std::int64_t>::max();
// A run that becomes explicit through one late single-node append would copy
// all its rows; past this size a mismatching node starts a new run instead.
constexpr std::size_t kMaxRowsToMaterialize = 64;
// Evicted prefixes of a run are released once they are this large and at
// least half of the run.
constexpr std::size_t kCompactThreshold = 4096;

}  // namespace

// ---------------------------------------------------------------------------
// InputColumn

InputColumn InputColumn::constant(std::int64_t id) {
    InputColumn c;
    c.kind = Kind::Constant;
    c.base = id;
    return c;
}

InputColumn InputColumn::affine(std::int64_t base) {
    InputColumn c;
    c.kind = Kind::Affine;
    c.base = base;
    return c;
}

InputColumn InputColumn::explicit_ids(std::vector<std::int64_t> ids) {
    InputColumn c;
    c.kind = Kind::Explicit;
    c.ids = std::move(ids);
    return c;
}

InputColumn InputColumn::compact(const std::int64_t* ids, std::size_t n) {
    if (n == 0) {
        return constant(0);
    }
    bool is_constant = true;
    bool is_affine = true;
    const std::int64_t first = ids[0];
    for (std::size_t i = 1; i < n && (is_constant || is_affine); ++i) {
        is_constant = is_constant && ids[i] == first;
        is_affine = is_affine && ids[i] == first + static_cast<std::int64_t>(i);
    }
    if (is_constant) {
        return constant(first);
    }
    if (is_affine) {
        return affine(first);
    }
    return explicit_ids(std::vector<std::int64_t>(ids, ids + n));
}

void InputColumn::push(std::size_t rows_before, std::int64_t id) {
    if (kind == Kind::Constant && id == base) {
        return;
    }
    if (kind == Kind::Constant && rows_before == 1 && id == base + 1) {
        kind = Kind::Affine;
        return;
    }
    if (kind == Kind::Affine && id == base + static_cast<std::int64_t>(rows_before)) {
        return;
    }
    if (kind != Kind::Explicit) {
        std::vector<std::int64_t> all(rows_before + 1);
        for (std::size_t r = 0; r < rows_before; ++r) {
            all[r] = at(r);
        }
        all[rows_before] = id;
        ids = std::move(all);
        kind = Kind::Explicit;
        return;
    }
    ids.push_back(id);
}

void InputColumn::drop_front(std::size_t k) {
    if (kind == Kind::Affine) {
        base += static_cast<std::int64_t>(k);
    } else if (kind == Kind::Explicit) {
        ids.erase(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k));
        ids.shrink_to_fit();
    }
}

namespace {

// Whether appending `id` as row `rows_before` keeps the column compact.
bool push_stays_cheap(const InputColumn& c, std::size_t rows_before, std::int64_t id) {
    switch (c.kind) {
        case InputColumn::Kind::Constant:
            return id == c.base || (rows_before == 1 && id == c.base + 1) ||
                   rows_before <= kMaxRowsToMaterialize;
        case InputColumn::Kind::Affine:
            return id == c.base + static_cast<std::int64_t>(rows_before) ||
                   rows_before <= kMaxRowsToMaterialize;
        default:
            return true;
    }
}

// Appends rows [row0, row0 + k) of `src` to `dst`, which already has
// `dst_rows` rows.
void extend_column(InputColumn& dst, std::size_t dst_rows, const InputColumn& src,
                   std::size_t row0, std::size_t k) {
    using Kind = InputColumn::Kind;
    if (k == 0) {
        return;
    }
    if (dst.kind == Kind::Constant && src.kind == Kind::Constant && dst.base == src.base) {
        return;
    }
    if (dst.kind == Kind::Affine && src.kind == Kind::Affine &&
        dst.base + static_cast<std::int64_t>(dst_rows) ==
            src.base + static_cast<std::int64_t>(row0)) {
        return;
    }
    std::size_t rows = dst_rows;
    for (std::size_t j = 0; j < k; ++j) {
        dst.push(rows++, src.at(row0 + j));
    }
}

InputColumn slice_column(const InputColumn& src, std::size_t row0, std::size_t k) {
    switch (src.kind) {
        case InputColumn::Kind::Constant: return InputColumn::constant(src.base);
        case InputColumn::Kind::Affine:
            return InputColumn::affine(src.base + static_cast<std::int64_t>(row0));
        default:
            return InputColumn::explicit_ids(std::vector<std::int64_t>(
                src.ids.begin() + static_cast<std::ptrdiff_t>(row0),
                src.ids.begin() + static_cast<std::ptrdiff_t>(row0 + k)));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Operations

std::uint32_t NodeLog::intern(std::string_view op) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string key(op);
    auto it = op_index_.find(key);
    if (it != op_index_.end()) {
        return it->second;
    }
    const auto index = static_cast<std::uint32_t>(op_names_.size());
    op_names_.push_back(key);
    op_index_.emplace(std::move(key), index);
    return index;
}

std::string NodeLog::op_text(std::uint32_t op) const {
    std::lock_guard<std::mutex> lock(mu_);
    return op < op_names_.size() ? op_names_[op] : std::string();
}

// ---------------------------------------------------------------------------
// Appending

void NodeLog::note_id_locked(std::int64_t last_id) {
    high_water_ = std::max(high_water_, last_id + 1);
}

void NodeLog::append_node(std::int64_t id, NodeKind kind, std::uint32_t op,
                          const std::vector<std::int64_t>& inputs, std::uint32_t fp,
                          const NodeExtra* extra, bool materialized) {
    std::lock_guard<std::mutex> lock(mu_);
    append_node_locked(id, kind, op, inputs, fp, extra, materialized);
}

void NodeLog::append_node_locked(std::int64_t id, NodeKind kind, std::uint32_t op,
                                 const std::vector<std::int64_t>& inputs, std::uint32_t fp,
                                 const NodeExtra* extra, bool materialized) {
    if (id < high_water_) {
        throw std::invalid_argument("node ids must increase");
    }
    bool extended = false;
    if (kind != NodeKind::Source && extra == nullptr && !runs_.empty()) {
        Run& last = runs_.back();
        if (last.kind == kind && last.op == op && last.inputs.size() == inputs.size() &&
            last.end_id() == id) {
            bool cheap = true;
            for (std::size_t p = 0; p < inputs.size() && cheap; ++p) {
                cheap = push_stays_cheap(last.inputs[p], last.count, inputs[p]);
            }
            if (cheap) {
                for (std::size_t p = 0; p < inputs.size(); ++p) {
                    last.inputs[p].push(last.count, inputs[p]);
                }
                last.fps.push_back(fp);
                ++last.count;
                extended = true;
            }
        }
    }
    if (!extended) {
        Run run;
        run.first_id = id;
        run.count = 1;
        run.kind = kind;
        run.op = op;
        run.inputs.reserve(inputs.size());
        for (std::int64_t in : inputs) {
            run.inputs.push_back(InputColumn::constant(in));
        }
        run.fps.push_back(fp);
        if (kind == NodeKind::Source) {
            pinned_.emplace(id, std::move(run));
        } else {
            runs_.push_back(std::move(run));
        }
    }
    if (extra != nullptr) {
        extras_[id] = *extra;
    }
    if (materialized) {
        materialized_.insert(id);
    }
    ++size_;
    ++version_;
    note_id_locked(id);
    if (index_built_) {
        index_add_locked(&fp, 1, id);
    }
}

void NodeLog::append_run_chunk_locked(std::int64_t first_id, NodeKind kind, std::uint32_t op,
                                      const std::vector<InputColumn>& inputs, std::size_t row0,
                                      const std::uint32_t* fps, std::size_t count,
                                      std::size_t total_rows) {
    if (count == 0) {
        return;
    }
    if (first_id < high_water_) {
        throw std::invalid_argument("node ids must increase");
    }
    bool extended = false;
    // Later chunks of one append continue the run the first chunk started.
    if (row0 > 0 && !runs_.empty()) {
        Run& last = runs_.back();
        if (last.end_id() == first_id && last.kind == kind && last.op == op &&
            last.inputs.size() == inputs.size()) {
            for (std::size_t p = 0; p < inputs.size(); ++p) {
                extend_column(last.inputs[p], last.count, inputs[p], row0, count);
            }
            last.fps.insert(last.fps.end(), fps, fps + count);
            last.count += count;
            extended = true;
        }
    }
    if (!extended) {
        Run run;
        run.first_id = first_id;
        run.count = count;
        run.kind = kind;
        run.op = op;
        run.inputs.reserve(inputs.size());
        for (const InputColumn& c : inputs) {
            run.inputs.push_back(slice_column(c, row0, count));
        }
        if (kind != NodeKind::Source) {
            run.fps = take_fps_locked(total_rows - row0);
            if (total_rows > count) {
                // Later chunks of this append extend the run: grow its storage once.
                run.fps.reserve(total_rows - row0);
            }
        }
        run.fps.assign(fps, fps + count);
        if (kind == NodeKind::Source) {
            // Sources are never evicted and are looked up one by one.
            for (std::size_t r = 0; r < count; ++r) {
                Run one;
                one.first_id = first_id + static_cast<std::int64_t>(r);
                one.count = 1;
                one.kind = kind;
                one.op = op;
                for (const InputColumn& c : run.inputs) {
                    one.inputs.push_back(InputColumn::constant(c.at(r)));
                }
                one.fps.push_back(fps[r]);
                pinned_.emplace(one.first_id, std::move(one));
            }
        } else {
            runs_.push_back(std::move(run));
        }
    }
    size_ += count;
    ++version_;
    note_id_locked(first_id + static_cast<std::int64_t>(count) - 1);
    if (index_built_) {
        index_add_locked(fps, count, first_id);
    }
}

void NodeLog::append_run(std::int64_t first_id, NodeKind kind, std::uint32_t op,
                         std::vector<InputColumn> inputs, const std::uint32_t* fps,
                         std::size_t count, std::int64_t max_nodes, NodeOverrides* overrides,
                         std::vector<std::int64_t>* evicted_materialized) {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t done = 0;
    while (done < count) {
        // Append as many nodes as can be stored before the bound is passed;
        // once it is passed (only sources left to keep), one at a time.
        std::size_t chunk = 1;
        const auto size = static_cast<std::int64_t>(size_);
        if (size <= max_nodes) {
            const auto room = static_cast<std::uint64_t>(max_nodes - size) + 1;
            chunk = static_cast<std::size_t>(
                std::min<std::uint64_t>(room, static_cast<std::uint64_t>(count - done)));
        }
        append_run_chunk_locked(first_id + static_cast<std::int64_t>(done), kind, op, inputs,
                                done, fps + done, chunk, count);
        done += chunk;
        if (static_cast<std::int64_t>(size_) > max_nodes) {
            evict_locked(size_ / 10, overrides, evicted_materialized);
        }
    }
}

bool NodeLog::set_materialized(std::int64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    if (find_locked(id, nullptr) == nullptr) {
        return false;
    }
    materialized_.insert(id);
    return true;
}

// ---------------------------------------------------------------------------
// Eviction

bool NodeLog::is_source_locked(std::int64_t id, NodeKind kind, NodeOverrides* overrides) const {
    if (overrides != nullptr && !materialized_.empty() && materialized_.count(id) != 0) {
        return overrides->is_source(id);
    }
    return kind == NodeKind::Source;
}

void NodeLog::forget_locked(std::int64_t id, std::vector<std::int64_t>* evicted_materialized) {
    if (!extras_.empty()) {
        extras_.erase(id);
    }
    if (!materialized_.empty() && materialized_.erase(id) != 0 && evicted_materialized) {
        evicted_materialized->push_back(id);
    }
}

void NodeLog::forget_range_locked(std::int64_t lo, std::size_t k,
                                  std::vector<std::int64_t>* evicted_materialized) {
    // The side tables usually hold a few source nodes only: visiting their
    // entries is cheaper than a lookup per evicted id.
    const std::int64_t hi = lo + static_cast<std::int64_t>(k);
    if (!extras_.empty()) {
        if (extras_.size() < k) {
            for (auto it = extras_.begin(); it != extras_.end();) {
                it = (it->first >= lo && it->first < hi) ? extras_.erase(it) : std::next(it);
            }
        } else {
            for (std::int64_t id = lo; id < hi; ++id) extras_.erase(id);
        }
    }
    if (!materialized_.empty()) {
        std::vector<std::int64_t> gone;
        if (materialized_.size() < k) {
            for (auto it = materialized_.begin(); it != materialized_.end();) {
                if (*it >= lo && *it < hi) {
                    gone.push_back(*it);
                    it = materialized_.erase(it);
                } else {
                    ++it;
                }
            }
            std::sort(gone.begin(), gone.end());
        } else {
            for (std::int64_t id = lo; id < hi; ++id) {
                if (materialized_.erase(id) != 0) gone.push_back(id);
            }
        }
        if (evicted_materialized) {
            evicted_materialized->insert(evicted_materialized->end(), gone.begin(), gone.end());
        }
    }
}

namespace {
// Spare buffers kept at most: enough for the few large runs a bounded log
// cycles through, never more than this many fingerprints in all.
constexpr std::size_t kSpareBuffers = 4;
constexpr std::size_t kSpareFingerprints = std::size_t{1} << 23;  // 32 MiB
}  // namespace

void NodeLog::recycle_fps_locked(std::vector<std::uint32_t>&& fps) {
    if (fps.capacity() < 4096) return;
    std::size_t held = fps.capacity();
    for (const auto& v : spare_fps_) held += v.capacity();
    if (spare_fps_.size() >= kSpareBuffers || held > kSpareFingerprints) return;
    fps.clear();
    spare_fps_.push_back(std::move(fps));
}

std::vector<std::uint32_t> NodeLog::take_fps_locked(std::size_t capacity) {
    // The smallest spare that fits, so large buffers stay for large runs.
    std::size_t best = spare_fps_.size();
    for (std::size_t i = 0; i < spare_fps_.size(); ++i) {
        if (spare_fps_[i].capacity() >= capacity &&
            (best == spare_fps_.size() || spare_fps_[i].capacity() < spare_fps_[best].capacity())) {
            best = i;
        }
    }
    std::vector<std::uint32_t> out;
    if (best < spare_fps_.size()) {
        out = std::move(spare_fps_[best]);
        spare_fps_.erase(spare_fps_.begin() + static_cast<std::ptrdiff_t>(best));
    }
    return out;
}

void NodeLog::trim_front_locked(std::size_t k, std::vector<std::int64_t>* evicted_materialized) {
    Run& run = runs_.front();
    if (index_built_) {
        index_remove_locked(run.fps.data() + run.start, k);
    }
    forget_range_locked(run.first_id + static_cast<std::int64_t>(run.start), k, evicted_materialized);
    run.start += k;
    size_ -= k;
    if (run.live() == 0) {
        recycle_fps_locked(std::move(run.fps));
        runs_.pop_front();
        return;
    }
    if (run.start >= kCompactThreshold && run.start * 2 >= run.count) {
        const std::size_t drop = run.start;
        // The live tail moves into storage of its own size (a spare one when
        // there is one), and the old buffer goes back to the spare pool.
        std::vector<std::uint32_t> tail = take_fps_locked(run.fps.size() - drop);
        tail.assign(run.fps.begin() + static_cast<std::ptrdiff_t>(drop), run.fps.end());
        recycle_fps_locked(std::move(run.fps));
        run.fps = std::move(tail);
        for (InputColumn& c : run.inputs) {
            c.drop_front(drop);
        }
        run.first_id += static_cast<std::int64_t>(drop);
        run.count -= drop;
        run.start = 0;
    }
}

std::size_t NodeLog::evict_oldest(std::size_t count, NodeOverrides* overrides,
                                  std::vector<std::int64_t>* evicted_materialized) {
    std::lock_guard<std::mutex> lock(mu_);
    return evict_locked(count, overrides, evicted_materialized);
}

std::size_t NodeLog::evict_locked(std::size_t count, NodeOverrides* overrides,
                                  std::vector<std::int64_t>* evicted_materialized) {
    // The fingerprint index must keep the entry order of an index that was
    // maintained from the start; it can only be rebuilt from the log while
    // nothing was evicted yet.
    if (count > 0 && !index_built_) {
        build_index_locked();
    }
    std::size_t evicted = 0;
    auto pit = pinned_.begin();
    while (evicted < count) {
        const std::int64_t p = pit == pinned_.end() ? kNoId : pit->first;
        const std::int64_t r =
            runs_.empty() ? kNoId : runs_.front().first_id + static_cast<std::int64_t>(runs_.front().start);
        if (p == kNoId && r == kNoId) {
            break;
        }
        if (p < r) {
            if (is_source_locked(p, pit->second.kind, overrides)) {
                ++pit;
                continue;
            }
            if (index_built_) {
                index_remove_locked(pit->second.fps.data(), 1);
            }
            forget_locked(p, evicted_materialized);
            pit = pinned_.erase(pit);
            --size_;
            ++evicted;
            continue;
        }
        Run& run = runs_.front();
        std::size_t k = std::min<std::size_t>(count - evicted, run.live());
        if (p != kNoId) {
            k = std::min<std::size_t>(k, static_cast<std::size_t>(p - r));
        }
        bool keep_front = false;
        if (overrides != nullptr && !materialized_.empty()) {
            for (std::size_t j = 0; j < k; ++j) {
                const std::int64_t id = r + static_cast<std::int64_t>(j);
                if (materialized_.count(id) != 0 && overrides->is_source(id)) {
                    k = j;
                    keep_front = true;
                    break;
                }
            }
        }
        trim_front_locked(k, evicted_materialized);
        evicted += k;
        if (keep_front) {
            // A node that has become a source is kept: move it to the table of
            // kept nodes so that the run can go on shrinking from the front.
            Run& front = runs_.front();
            const std::size_t row = front.start;
            Run one;
            one.first_id = front.first_id + static_cast<std::int64_t>(row);
            one.count = 1;
            one.kind = front.kind;
            one.op = front.op;
            for (const InputColumn& c : front.inputs) {
                one.inputs.push_back(InputColumn::constant(c.at(row)));
            }
            one.fps.push_back(front.fps[row]);
            const std::int64_t id = one.first_id;
            front.start += 1;
            if (front.live() == 0) {
                runs_.pop_front();
            }
            pit = pinned_.emplace(id, std::move(one)).first;
        }
    }
    if (evicted > 0) {
        ++version_;
    }
    index_settle_locked();
    return evicted;
}

// ---------------------------------------------------------------------------
// Lookup

const Run* NodeLog::find_locked(std::int64_t id, std::size_t* row) const {
    auto pit = pinned_.find(id);
    if (pit != pinned_.end()) {
        if (row) *row = 0;
        return &pit->second;
    }
    auto it = std::upper_bound(runs_.begin(), runs_.end(), id,
                               [](std::int64_t v, const Run& r) { return v < r.first_id; });
    if (it == runs_.begin()) {
        return nullptr;
    }
    --it;
    const std::int64_t lo = it->first_id + static_cast<std::int64_t>(it->start);
    if (id < lo || id >= it->end_id()) {
        return nullptr;
    }
    if (row) *row = static_cast<std::size_t>(id - it->first_id);
    return &*it;
}

void NodeLog::inputs_locked(const Run& run, std::size_t row, std::vector<std::int64_t>& out) const {
    out.clear();
    out.reserve(run.inputs.size());
    for (const InputColumn& c : run.inputs) {
        out.push_back(c.at(row));
    }
}

std::size_t NodeLog::size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return size_;
}

bool NodeLog::contains(std::int64_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    return find_locked(id, nullptr) != nullptr;
}

std::int64_t NodeLog::id_high_water() const {
    std::lock_guard<std::mutex> lock(mu_);
    return high_water_;
}

std::optional<NodeRecord> NodeLog::get(std::int64_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t row = 0;
    const Run* run = find_locked(id, &row);
    if (run == nullptr) {
        return std::nullopt;
    }
    NodeRecord rec;
    rec.id = id;
    rec.kind = run->kind;
    rec.op = run->op;
    rec.fp = run->fps[row];
    inputs_locked(*run, row, rec.inputs);
    if (!extras_.empty()) {
        auto it = extras_.find(id);
        if (it != extras_.end()) {
            rec.extra = it->second;
        }
    }
    rec.materialized = materialized_.count(id) != 0;
    return rec;
}

std::optional<std::int64_t> NodeLog::next_id(std::optional<std::int64_t> after) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::int64_t best = kNoId;
    auto pit = after ? pinned_.upper_bound(*after) : pinned_.begin();
    if (pit != pinned_.end()) {
        best = pit->first;
    }
    // First run holding an id greater than `after`.
    auto it = runs_.begin();
    if (after) {
        it = std::upper_bound(runs_.begin(), runs_.end(), *after,
                              [](std::int64_t v, const Run& r) { return v < r.end_id() - 1; });
    }
    if (it != runs_.end()) {
        std::int64_t cand = it->first_id + static_cast<std::int64_t>(it->start);
        if (after && cand <= *after) {
            cand = *after + 1;
        }
        best = std::min(best, cand);
    }
    if (best == kNoId) {
        return std::nullopt;
    }
    return best;
}

std::vector<std::int64_t> NodeLog::ids() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::int64_t> out;
    out.reserve(size_);
    auto pit = pinned_.begin();
    for (const Run& run : runs_) {
        for (std::size_t row = run.start; row < run.count; ++row) {
            const std::int64_t id = run.first_id + static_cast<std::int64_t>(row);
            while (pit != pinned_.end() && pit->first < id) {
                out.push_back((pit++)->first);
            }
            out.push_back(id);
        }
    }
    for (; pit != pinned_.end(); ++pit) {
        out.push_back(pit->first);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Fingerprint index

bool NodeLog::index_built() const {
    std::lock_guard<std::mutex> lock(mu_);
    return index_built_;
}

NodeLog::FpCount& NodeLog::index_entry_locked(std::uint32_t fp, std::int64_t id) {
    FpSlot& slot = fp_cache_[(fp * 2654435761u) >> (32 - kFpCacheBits)];
    if (slot.entry != nullptr && slot.fp == fp) {
        return *slot.entry;
    }
    auto [it, inserted] = index_.try_emplace(fp);
    if (inserted) {
        // Entries are erased as soon as their count reaches zero, so a new
        // entry is a list created from empty by node `id`.
        it->second.since = id;
        index_order_.emplace_back(fp, id);
    }
    slot.fp = fp;
    slot.entry = &it->second;
    return it->second;
}

void NodeLog::index_add_locked(const std::uint32_t* fps, std::size_t n, std::int64_t first_id) {
    std::size_t r = 0;
    while (r < n) {
        const std::uint32_t fp = fps[r];
        std::size_t end = r + 1;
        while (end < n && fps[end] == fp) {
            ++end;
        }
        index_entry_locked(fp, first_id + static_cast<std::int64_t>(r)).live += end - r;
        r = end;
    }
}

void NodeLog::index_remove_locked(const std::uint32_t* fps, std::size_t n) {
    // Every evicted node was counted under its fingerprint when it was added,
    // so its entry exists; emptied entries are erased once the pass is over.
    std::size_t r = 0;
    while (r < n) {
        const std::uint32_t fp = fps[r];
        std::size_t end = r + 1;
        while (end < n && fps[end] == fp) {
            ++end;
        }
        FpCount& e = index_entry_locked(fp, 0);
        const std::uint64_t k = end - r;
        e.live -= std::min<std::uint64_t>(e.live, k);
        if (e.live == 0) {
            emptied_.push_back(fp);
        }
        r = end;
    }
}

void NodeLog::index_settle_locked() {
    if (emptied_.empty()) {
        return;
    }
    for (std::uint32_t fp : emptied_) {
        auto it = index_.find(fp);
        if (it != index_.end() && it->second.live == 0) {
            index_.erase(it);
        }
    }
    emptied_.clear();
    std::fill(fp_cache_.begin(), fp_cache_.end(), FpSlot{});
    if (index_order_.size() > 64 && index_order_.size() > 2 * index_.size()) {
        std::vector<std::pair<std::uint32_t, std::int64_t>> kept;
        kept.reserve(index_.size());
        for (const auto& entry : index_order_) {
            auto f = index_.find(entry.first);
            if (f != index_.end() && f->second.since == entry.second) {
                kept.push_back(entry);
            }
        }
        index_order_ = std::move(kept);
    }
}

void NodeLog::build_index_locked() {
    index_.clear();
    index_order_.clear();
    emptied_.clear();
    fp_cache_.assign(std::size_t{1} << kFpCacheBits, FpSlot{});
    index_built_ = true;
    auto pit = pinned_.begin();
    for (const Run& run : runs_) {
        std::size_t row = run.start;
        while (row < run.count) {
            const std::int64_t id = run.first_id + static_cast<std::int64_t>(row);
            for (; pit != pinned_.end() && pit->first < id; ++pit) {
                index_add_locked(pit->second.fps.data(), 1, pit->first);
            }
            // rows up to the next pinned id, or the rest of the run
            std::size_t stop = run.count;
            if (pit != pinned_.end() && pit->first < run.end_id()) {
                stop = static_cast<std::size_t>(pit->first - run.first_id);
            }
            index_add_locked(run.fps.data() + row, stop - row, id);
            row = stop;
        }
    }
    for (; pit != pinned_.end(); ++pit) {
        index_add_locked(pit->second.fps.data(), 1, pit->first);
    }
}

void NodeLog::list_ids_locked(std::uint32_t fp, std::size_t expected,
                              std::vector<std::int64_t>& out) const {
    out.clear();
    out.reserve(expected);
    std::vector<std::int64_t> pinned_ids;
    for (const auto& kv : pinned_) {
        if (kv.second.fps[0] == fp) {
            pinned_ids.push_back(kv.first);
        }
    }
    std::size_t wanted = expected - std::min(expected, pinned_ids.size());
    for (const Run& run : runs_) {
        if (wanted == 0) {
            break;
        }
        const std::uint32_t* f = run.fps.data();
        for (std::size_t row = run.start; row < run.count; ++row) {
            if (f[row] == fp) {
                out.push_back(run.first_id + static_cast<std::int64_t>(row));
                if (--wanted == 0) {
                    break;
                }
            }
        }
    }
    if (!pinned_ids.empty()) {
        std::vector<std::int64_t> merged(out.size() + pinned_ids.size());
        std::merge(out.begin(), out.end(), pinned_ids.begin(), pinned_ids.end(), merged.begin());
        out = std::move(merged);
    }
}

std::vector<std::int64_t> NodeLog::ids_for_fingerprint(std::uint32_t fp) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!index_built_) {
        build_index_locked();
    }
    auto it = index_.find(fp);
    if (it == index_.end()) {
        return {};
    }
    if (lists_version_ == version_) {
        return lists_.at(fp);
    }
    if (looked_up_version_ != version_) {
        // One lookup: scan for this fingerprint only.
        looked_up_version_ = version_;
        std::vector<std::int64_t> out;
        list_ids_locked(fp, static_cast<std::size_t>(it->second.live), out);
        return out;
    }
    // Several lookups between two changes (a walk over all keys, say): build
    // every list in one pass, in ascending id order.
    lists_.clear();
    lists_.reserve(index_.size());
    auto pit = pinned_.begin();
    for (const Run& run : runs_) {
        for (std::size_t row = run.start; row < run.count; ++row) {
            const std::int64_t id = run.first_id + static_cast<std::int64_t>(row);
            for (; pit != pinned_.end() && pit->first < id; ++pit) {
                lists_[pit->second.fps[0]].push_back(pit->first);
            }
            lists_[run.fps[row]].push_back(id);
        }
    }
    for (; pit != pinned_.end(); ++pit) {
        lists_[pit->second.fps[0]].push_back(pit->first);
    }
    lists_version_ = version_;
    return lists_.at(fp);
}

bool NodeLog::has_fingerprint(std::uint32_t fp) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!index_built_) {
        build_index_locked();
    }
    return index_.count(fp) != 0;
}

std::size_t NodeLog::fingerprint_count() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!index_built_) {
        build_index_locked();
    }
    return index_.size();
}

std::vector<std::uint32_t> NodeLog::fingerprints() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!index_built_) {
        build_index_locked();
    }
    std::vector<std::uint32_t> out;
    out.reserve(index_.size());
    for (const auto& entry : index_order_) {
        auto f = index_.find(entry.first);
        if (f != index_.end() && f->second.since == entry.second) {
            out.push_back(entry.first);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Queries

Lineage NodeLog::walk(std::int64_t root, NodeOverrides* overrides) const {
    std::lock_guard<std::mutex> lock(mu_);
    Lineage out;
    std::unordered_set<std::int64_t> visited;
    std::deque<std::int64_t> queue{root};
    std::vector<std::int64_t> inputs;
    while (!queue.empty()) {
        const std::int64_t id = queue.front();
        queue.pop_front();
        if (!visited.insert(id).second) {
            continue;
        }
        std::size_t row = 0;
        const Run* run = find_locked(id, &row);
        if (run == nullptr) {
            continue;  // never assigned or evicted: visited, but no node
        }
        out.nodes.push_back(id);
        if (overrides != nullptr && !materialized_.empty() && materialized_.count(id) != 0) {
            inputs.clear();
            overrides->inputs(id, inputs);
        } else {
            inputs_locked(*run, row, inputs);
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            out.edges.push_back(Edge{inputs[i], id, static_cast<std::int64_t>(i)});
            if (visited.count(inputs[i]) == 0) {
                queue.push_back(inputs[i]);
            }
        }
    }
    return out;
}

LogStats NodeLog::stats(NodeOverrides* overrides) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!index_built_) {
        build_index_locked();
    }
    LogStats s;
    s.total = size_;
    s.unique_fingerprints = index_.size();
    std::unordered_map<std::int64_t, std::size_t> position;
    auto count_op = [&](std::int64_t key, std::size_t n) {
        auto [it, inserted] = position.try_emplace(key, s.op_counts.size());
        if (inserted) {
            s.op_counts.emplace_back(key, 0);
        }
        s.op_counts[it->second].second += n;
    };
    auto visit_one = [&](std::int64_t id, const Run& run, std::size_t row) {
        const bool mat = overrides != nullptr && !materialized_.empty() && materialized_.count(id) != 0;
        bool source = false;
        bool prot = false;
        std::int64_t key = run.op;
        if (mat) {
            source = overrides->is_source(id);
            prot = overrides->is_protected(id);
            key = overrides->op_key(id);
        } else {
            source = run.kind == NodeKind::Source;
            auto ex = extras_.empty() ? extras_.end() : extras_.find(id);
            if (ex != extras_.end() && ex->second.is_protected.has_value()) {
                prot = *ex->second.is_protected;
            } else {
                prot = protected_by_fingerprint(run.fps[row]);
            }
        }
        s.sources += source ? 1 : 0;
        s.protected_nodes += prot ? 1 : 0;
        if (!source) {
            count_op(key, 1);
        }
    };
    auto pit = pinned_.begin();
    for (const Run& run : runs_) {
        const std::int64_t lo = run.first_id + static_cast<std::int64_t>(run.start);
        for (; pit != pinned_.end() && pit->first < lo; ++pit) {
            visit_one(pit->first, pit->second, 0);
        }
        // Sources interleaved with a run (never the case for runs logged by
        // one call) or per-node side data force the node-by-node path.
        const bool per_node = !extras_.empty() || (overrides != nullptr && !materialized_.empty()) ||
                              (pit != pinned_.end() && pit->first < run.end_id());
        if (per_node) {
            for (std::size_t row = run.start; row < run.count; ++row) {
                const std::int64_t id = run.first_id + static_cast<std::int64_t>(row);
                for (; pit != pinned_.end() && pit->first < id; ++pit) {
                    visit_one(pit->first, pit->second, 0);
                }
                visit_one(id, run, row);
            }
        } else {
            std::size_t prot = 0;
            for (std::size_t row = run.start; row < run.count; ++row) {
                prot += protected_by_fingerprint(run.fps[row]) ? 1 : 0;
            }
            s.protected_nodes += prot;
            if (run.kind == NodeKind::Source) {
                s.sources += run.live();
            } else {
                count_op(run.op, run.live());
            }
        }
    }
    for (; pit != pinned_.end(); ++pit) {
        visit_one(pit->first, pit->second, 0);
    }
    return s;
}

std::size_t NodeLog::memory_bytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t bytes = sizeof(*this);
    auto run_bytes = [](const Run& r) {
        std::size_t b = sizeof(Run) + r.fps.capacity() * sizeof(std::uint32_t) +
                        r.inputs.capacity() * sizeof(InputColumn);
        for (const InputColumn& c : r.inputs) {
            b += c.heap_bytes();
        }
        return b;
    };
    for (const Run& r : runs_) {
        bytes += run_bytes(r);
    }
    for (const auto& kv : pinned_) {
        bytes += run_bytes(kv.second) + 4 * sizeof(void*);
    }
    bytes += extras_.size() * (sizeof(NodeExtra) + 4 * sizeof(void*));
    bytes += materialized_.size() * (sizeof(std::int64_t) + 2 * sizeof(void*));
    bytes += index_.size() * (sizeof(FpCount) + sizeof(std::uint32_t) + 3 * sizeof(void*));
    bytes += index_order_.capacity() * sizeof(index_order_[0]);
    bytes += fp_cache_.capacity() * sizeof(FpSlot);
    for (const auto& kv : lists_) {
        bytes += kv.second.capacity() * sizeof(std::int64_t) + 4 * sizeof(void*);
    }
    return bytes;
}

}  // namespace corvane::dag
