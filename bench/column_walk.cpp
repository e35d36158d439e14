// What the hardware allows for the excursion engine's memory walk: the same column walks over the
// same price matrix, in plain C++ with no Python objects. Built and loaded by trevik_bench.py.
//
//   walk_prices      reads every price of every trade's walk (the loads alone);
//   walk_excursions  runs the engine's own per-day arithmetic (src/trevik/excursion.hpp) on them.
//
// Both prefetch `prefetch_rows` rows ahead, as the engine does.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "excursion.hpp"

namespace {

struct Walk {
    const char* first;  // the entry day's price
    std::int64_t row_stride;
    std::int64_t days;  // prices read, entry day included

    double load(std::int64_t day) const {
        double price;
        std::memcpy(&price, first + day * row_stride, sizeof price);
        return price;
    }
    void prefetch(std::int64_t day) const {
        if (day < days) __builtin_prefetch(first + day * row_stride);
    }
};

// Only the values at the end of the walk are kept.
struct AtTheEnd {
    std::uint64_t next() const { return UINT64_MAX; }
    void take(std::uint64_t, const kovalt::trevik::Excursion&) {}
};

Walk walk_of(const char* data, std::int64_t row_stride, std::int64_t column_stride,
             std::int64_t column, std::int64_t entry_day, std::int64_t days) {
    return {data + entry_day * row_stride + column * column_stride, row_stride, days};
}

}  // namespace

extern "C" double walk_prices(const char* data, std::int64_t row_stride, std::int64_t column_stride,
                              const std::int64_t* columns, const std::int64_t* entry_days,
                              const std::int64_t* days, std::int64_t trades,
                              std::int64_t prefetch_rows) {
    double total = 0.0;
    for (std::int64_t t = 0; t < trades; ++t) {
        const Walk walk =
            walk_of(data, row_stride, column_stride, columns[t], entry_days[t], days[t]);
        for (std::int64_t day = 0; day < std::min(prefetch_rows, walk.days); ++day)
            walk.prefetch(day);
        double sum = 0.0;
        for (std::int64_t day = 0; day < walk.days; ++day) {
            walk.prefetch(day + prefetch_rows);
            sum += walk.load(day);
        }
        total += sum;
    }
    return total;
}

extern "C" double walk_excursions(const char* data, std::int64_t row_stride,
                                  std::int64_t column_stride, const std::int64_t* columns,
                                  const std::int64_t* entry_days, const std::int64_t* days,
                                  std::int64_t trades, std::int64_t prefetch_rows) {
    double total = 0.0;
    for (std::int64_t t = 0; t < trades; ++t) {
        const Walk walk =
            walk_of(data, row_stride, column_stride, columns[t], entry_days[t], days[t]);
        for (std::int64_t day = 0; day < std::min(prefetch_rows, walk.days); ++day)
            walk.prefetch(day);
        kovalt::trevik::Excursion excursion(walk.load(0));
        AtTheEnd stops;
        const auto price_at = [&](std::int64_t i) {
            walk.prefetch(i + 1 + prefetch_rows);
            return walk.load(i + 1);
        };
        excursion.advance(walk.days - 1, price_at, 0, stops);
        double group[kovalt::trevik::kGroupSize];
        excursion.write(group);
        total += group[kovalt::trevik::kReturn];
    }
    return total;
}
