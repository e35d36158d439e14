// The running statistics of one trade's growth path, one day at a time. Everything a sample of the
// excursion record reports is a running extreme or count, so a trade needs no per-day storage.
#pragma once

#include <cstdint>

namespace kovalt::trevik {

// Values of a sample group, in record order.
enum Measure { kMae, kGmfe, kBmfe, kMdd, kProfitDays, kReturn, kGroupSize };

class Excursion {
  public:
    explicit Excursion(double entry_price) : base_(entry_price) {}

    // Adds `count` days, the i-th priced `price_at(i)` (NaN: no price that day) and numbered
    // `index` + 1 + i in the series. When the series reaches `stops.next()`, the running values
    // are handed to `stops.take(index, *this)`. Returns how many days were added: all of them, or
    // fewer when a price follows a base price of exactly 0.0 (that day is not added).
    template <class PriceAt, class Stops>
    std::int64_t advance(std::int64_t count, PriceAt&& price_at, std::uint64_t index,
                         Stops& stops) {
        // Locals, not members: the compiler cannot keep members in registers across the loop,
        // since the price loads might alias them.
        double base = base_, growth = growth_, peak = peak_, trough = trough_;
        double peak_at_trough = peak_at_trough_, drawdown = drawdown_;
        std::int64_t profit_days = profit_days_;
        const auto store = [&] {
            base_ = base;
            growth_ = growth;
            peak_ = peak;
            trough_ = trough;
            peak_at_trough_ = peak_at_trough;
            drawdown_ = drawdown;
            profit_days_ = profit_days;
        };
        std::uint64_t stop = stops.next();
        std::int64_t day = 0;
        for (; day < count; ++day) {
            const double price = price_at(day);
            if (price == price) {
                if (base == 0.0) [[unlikely]]
                    break;
                const double ratio = price / base;
                if (ratio == ratio) growth *= ratio;
                base = price;
            }
            if (peak < growth) peak = growth;
            if (growth < trough) {
                trough = growth;
                // A new trough lies below 1.0 and so never raises the peak: this is also the
                // peak of the day before.
                peak_at_trough = peak;
            }
            // The peak starts at 1.0 and only rises, so it is never 0. Computed every day rather
            // than behind a test that most days would skip: in short trades new lows are frequent
            // and a mispredicted branch costs more than the division.
            const double candidate = growth / peak - 1.0;
            drawdown = candidate < drawdown ? candidate : drawdown;
            profit_days += growth > 1.0 ? 1 : 0;
            if (++index == stop) [[unlikely]] {
                store();
                stops.take(index, *this);
                stop = stops.next();
            }
        }
        store();
        return day;
    }

    void write(double* group) const {
        group[kMae] = trough_ - 1.0;
        group[kGmfe] = peak_ - 1.0;
        group[kBmfe] = peak_at_trough_ - 1.0;
        group[kMdd] = drawdown_;
        group[kProfitDays] = static_cast<double>(profit_days_);
        group[kReturn] = growth_ - 1.0;
    }

  private:
    double base_;  // the latest price that was not NaN: each return is measured from it
    double growth_ = 1.0;
    double peak_ = 1.0;
    double trough_ = 1.0;
    double peak_at_trough_ = 1.0;
    double drawdown_ = 0.0;
    std::int64_t profit_days_ = 0;
};

}  // namespace kovalt::trevik
