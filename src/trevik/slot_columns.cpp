#include "slot_columns.hpp"

#include <algorithm>

namespace kovalt::trevik {

namespace {

// Dense for the keys 0 .. n - 1 of a map of n keys, with room for slots added later; a sparse
// map of large keys stays small.
std::size_t dense_size(const std::map<int, int>& columns) {
    if (columns.empty() || columns.rbegin()->first < 0) return 0;
    const auto largest = static_cast<std::size_t>(columns.rbegin()->first);
    return std::min(largest + 1, 2 * columns.size() + 64);
}

}  // namespace

SlotColumns::SlotColumns(const std::map<int, int>& columns) : dense_(dense_size(columns), kAbsent) {
    for (const auto& [slot, column] : columns) {
        if (slot >= 0 && static_cast<std::size_t>(slot) < dense_.size()) {
            dense_[static_cast<std::size_t>(slot)] = column;
        } else {
            sparse_.emplace_hint(sparse_.end(), slot, column);
        }
    }
}

int SlotColumns::column_of(int slot) {
    if (slot >= 0 && static_cast<std::size_t>(slot) < dense_.size()) {
        std::int64_t& column = dense_[static_cast<std::size_t>(slot)];
        if (column == kAbsent) column = 0;
        return static_cast<int>(column);
    }
    return sparse_.try_emplace(slot, 0).first->second;
}

int SlotColumns::peek(int slot) const {
    if (slot >= 0 && static_cast<std::size_t>(slot) < dense_.size()) {
        const std::int64_t column = dense_[static_cast<std::size_t>(slot)];
        return column == kAbsent ? 0 : static_cast<int>(column);
    }
    const auto found = sparse_.find(slot);
    return found == sparse_.end() ? 0 : found->second;
}

}  // namespace kovalt::trevik
