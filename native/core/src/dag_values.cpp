#include "corvane/dag_values.hpp"

#include <algorithm>

namespace corvane::dag {

void RowValueStore::drop_locked(std::size_t k, std::vector<std::uint64_t>& released) {
    while (k > 0 && !runs_.empty()) {
        Run& run = runs_.front();
        const std::size_t take = std::min(k, run.count - run.start);
        run.start += take;
        size_ -= take;
        k -= take;
        if (run.start == run.count) {
            released.push_back(run.handle);
            runs_.pop_front();
        }
    }
}

std::vector<std::uint64_t> RowValueStore::append(std::uint64_t handle, std::int64_t row0,
                                                 std::vector<std::int64_t> rows,
                                                 std::size_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::uint64_t> released;
    if (count == 0) {
        released.push_back(handle);
        return released;
    }
    if (!rows.empty()) {
        rows.resize(count);
    }
    runs_.push_back(Run{handle, row0, std::move(rows), count, 0});
    size_ += count;
    if (size_ > capacity_) {
        const std::size_t excess = size_ - capacity_;
        dropped_ += excess;
        drop_locked(excess, released);
    }
    return released;
}

std::size_t RowValueStore::size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return size_;
}

std::size_t RowValueStore::capacity() const {
    std::lock_guard<std::mutex> lock(mu_);
    return capacity_;
}

std::vector<std::uint64_t> RowValueStore::set_capacity(std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::uint64_t> released;
    capacity_ = capacity;
    if (size_ > capacity_) {
        const std::size_t excess = size_ - capacity_;
        dropped_ += excess;
        drop_locked(excess, released);
    }
    return released;
}

std::uint64_t RowValueStore::dropped() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dropped_;
}

std::vector<std::uint64_t> RowValueStore::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::uint64_t> released;
    drop_locked(size_, released);
    return released;
}

std::vector<std::uint64_t> RowValueStore::pop_front(std::size_t k) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::uint64_t> released;
    drop_locked(std::min(k, size_), released);
    return released;
}

bool RowValueStore::at(std::size_t index, ValueRef* out) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (index >= size_) {
        return false;
    }
    for (const Run& run : runs_) {
        const std::size_t live = run.count - run.start;
        if (index < live) {
            *out = ValueRef{run.handle, run.row_at(run.start + index)};
            return true;
        }
        index -= live;
    }
    return false;
}

std::vector<ValueRef> RowValueStore::snapshot() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<ValueRef> out;
    out.reserve(size_);
    for (const Run& run : runs_) {
        for (std::size_t k = run.start; k < run.count; ++k) {
            out.push_back(ValueRef{run.handle, run.row_at(k)});
        }
    }
    return out;
}

}  // namespace corvane::dag
