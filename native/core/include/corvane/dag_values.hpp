// Bounded store of captured row values.
//
// A tracked operation over n rows captures n row values. They are kept as
// runs that refer to the operation's result arrays (held by the caller under
// an opaque handle) rather than as one record per row; records are built only
// when somebody reads them. The store is bounded: past its capacity the
// oldest records are dropped and counted, so a long memory-only session
// cannot grow without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace corvane::dag {

/// Where one captured record lives: the run's handle and the row position.
struct ValueRef {
    std::uint64_t handle;
    std::int64_t row;
};

class RowValueStore {
public:
    /// Default bound on held records; about 16 bytes a record at most here
    /// (plus the referenced arrays, which the results already hold).
    static constexpr std::size_t kDefaultCapacity = 1'000'000;

    explicit RowValueStore(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
    RowValueStore(const RowValueStore&) = delete;
    RowValueStore& operator=(const RowValueStore&) = delete;

    /// Appends `count` records with row positions row0, row0 + 1, ... (when
    /// `rows` is empty) or rows[0 .. count). Returns the handles of runs that
    /// no longer hold any record (the caller releases what they refer to).
    std::vector<std::uint64_t> append(std::uint64_t handle, std::int64_t row0,
                                      std::vector<std::int64_t> rows, std::size_t count);

    std::size_t size() const;
    std::size_t capacity() const;
    /// Changing the capacity drops the oldest records beyond it at once.
    std::vector<std::uint64_t> set_capacity(std::size_t capacity);
    /// Number of records dropped to honour the capacity, since creation.
    std::uint64_t dropped() const;
    /// Removes every record (not counted as dropped).
    std::vector<std::uint64_t> clear();
    /// Removes the oldest `k` records (not counted as dropped).
    std::vector<std::uint64_t> pop_front(std::size_t k);
    /// The record at position `index` (0 = oldest); false when out of range.
    bool at(std::size_t index, ValueRef* out) const;
    /// All records, oldest first.
    std::vector<ValueRef> snapshot() const;

private:
    struct Run {
        std::uint64_t handle;
        std::int64_t row0;
        std::vector<std::int64_t> rows;
        std::size_t count;
        std::size_t start = 0;
        std::int64_t row_at(std::size_t k) const {
            return rows.empty() ? row0 + static_cast<std::int64_t>(k) : rows[k];
        }
    };

    void drop_locked(std::size_t k, std::vector<std::uint64_t>& released);

    mutable std::mutex mu_;
    std::deque<Run> runs_;
    std::size_t size_ = 0;
    std::size_t capacity_;
    std::uint64_t dropped_ = 0;
};

}  // namespace corvane::dag
