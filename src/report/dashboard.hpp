// The data stage of the MAE/MFE dashboard, shared by its two source files.
#pragma once

#include <array>

#include "report.hpp"

namespace kovalt::report::dashboard {

// Columns that identify a trade in the long-form table.
inline constexpr std::array kIdentifierColumns = {"entry_sig_date", "exit_sig_date", "stock_id",
                                                  "profit_loss"};
// The trade measures of the long-form table, in the order the violins show them.
inline constexpr std::array kMeasureColumns = {
    "return", "mae", "bmfe", "gmfe", "mdd", "volatility", "entry_volatility", "pdays_ratio"};

// Adds "entry_volatility" to the report's trade table and makes its "mae" and "mdd" absolute
// (both changes stay), then returns the complete trades with the derived columns "pdays_ratio",
// "volatility", "profit_loss" and "size".
py::object prepare_trade_record(const py::object& self, const py::object& atr_freq);

// Time-scale labels of the excursion table, in order of first appearance.
py::list time_scales(const py::object& trevik);

// "time_scale" and "mean_edge_ratio", one row per time scale.
py::object edge_ratio_table(const py::object& trevik, const py::object& trade_record,
                            const py::list& scales);

// Mean return and share of profitable trades, both rounded to 3 decimals.
py::object mean_return(const py::object& trade_record);
py::object win_ratio(const py::object& trade_record);

// One row per trade and measure: the identifier columns, "variable" and "value".
py::object long_form(const py::object& trade_record);

}  // namespace kovalt::report::dashboard
