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

    // Adds the next day's price (NaN: no price that day). False, with nothing changed, when a
    // price follows a base price of exactly 0.0.
    bool step(double price) {
        if (price == price) {
            if (base_ == 0.0) [[unlikely]]
                return false;
            const double ratio = price / base_;
            if (ratio == ratio) growth_ *= ratio;
            base_ = price;
        }
        if (peak_ < growth_) peak_ = growth_;
        if (growth_ < trough_) {
            trough_ = growth_;
            // A new trough lies below 1.0 and so never raises the peak: this is also the peak
            // of the day before.
            peak_at_trough_ = peak_;
        }
        track_drawdown();
        profit_days_ += growth_ > 1.0 ? 1 : 0;
        return true;
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
    // drawdown = min over days of (growth / peak - 1). Rounding is monotonic, so a day can lower
    // it only if growth / peak < lowest_quotient_, the quotient that set it, and then growth is
    // at most the rounded product peak * lowest_quotient_ (no double lies strictly between a
    // real number and its rounding). The peak is positive; most days skip the division.
    void track_drawdown() {
        if (growth_ > peak_ * lowest_quotient_) return;
        const double quotient = growth_ / peak_;
        const double candidate = quotient - 1.0;
        if (candidate < drawdown_) {
            drawdown_ = candidate;
            lowest_quotient_ = quotient;
        }
    }

    double base_;  // the latest price that was not NaN: each return is measured from it
    double growth_ = 1.0;
    double peak_ = 1.0;
    double trough_ = 1.0;
    double peak_at_trough_ = 1.0;
    double drawdown_ = 0.0;
    double lowest_quotient_ = 1.0;  // growth / peak on the day that set `drawdown_`
    std::int64_t profit_days_ = 0;
};

}  // namespace kovalt::trevik
