// pos2price: the column of the price matrix that holds each slot's stock.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <vector>

namespace kovalt::trevik {

// A back-test numbers its slots 0 .. slot_count - 1, so those are looked up in a dense table (an
// ordered map costs a chain of dependent cache misses per trade); any other slot in a map.
class SlotColumns {
  public:
    SlotColumns() = default;
    explicit SlotColumns(const std::map<int, int>& columns);

    // The slot's column; a slot without one gets column 0, which is then kept for it.
    int column_of(int slot);
    // The column column_of would give, keeping nothing.
    int peek(int slot) const;

  private:
    static constexpr std::int64_t kAbsent = INT64_MIN;

    std::vector<std::int64_t> dense_;  // column, or kAbsent
    std::map<int, int> sparse_;
};

}  // namespace kovalt::trevik
