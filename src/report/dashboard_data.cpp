// What the MAE/MFE dashboard draws: the prepared trades, the edge ratio per time scale, the
// summary values and the long-form table of the trade measures.
#include <cmath>
#include <limits>
#include <string>

#include "dashboard.hpp"

namespace kovalt::report::dashboard {

namespace {

using py::literals::operator""_a;

static_assert(std::numeric_limits<double>::is_iec559, "edge ratios rely on IEEE infinities");

py::object all_rows() {
    PyObject* slice = PySlice_New(nullptr, nullptr, nullptr);
    if (!slice) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(slice);
}

// Column assignment through `loc` writes into the table itself (copy-on-write keeps chained
// assignments from reaching it).
void assign_column(const py::object& table, const char* name, const py::object& values) {
    table.attr("loc")[py::make_tuple(all_rows(), name)] = values;
}

py::object profit_loss_label() {
    return py::cpp_function([](py::handle value) {
        const int positive = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_GT);
        if (positive < 0) throw py::error_already_set();
        return positive ? "profit" : "loss";
    });
}

bool is_time_scale(py::handle label) {
    if (std::string(py::str(label)).find("exit") != std::string::npos) return false;
    return !py::reinterpret_borrow<py::object>(label).equal(py::int_(0));
}

// Division as numpy does it, without a warning and without dividing by zero in C++: a
// positive sum over zero is +inf, zero (or nan) over zero is nan.
double ratio_of_sums(double favourable, double adverse) {
    if (adverse != 0.0) return favourable / adverse;
    if (std::isnan(favourable) || favourable == 0.0)
        return std::numeric_limits<double>::quiet_NaN();
    return std::copysign(std::numeric_limits<double>::infinity(), favourable) *
           std::copysign(1.0, adverse);
}

// Sum over trades of one excursion measure in units of the trade's entry volatility. Trades
// that are only in one of the two tables align to nan, which the sum skips.
double volatility_weighted_sum(const py::object& measure, const py::object& entry_volatility) {
    return (measure / entry_volatility).attr("sum")().cast<double>();
}

py::object builtin_round(const py::object& value, int digits) {
    return py::module_::import("builtins").attr("round")(py::float_(value), digits);
}

}  // namespace

py::object prepare_trade_record(const py::object& self, const py::object& atr_freq) {
    py::object market_info = self.attr("market_info");
    py::object atr = market_info.attr("calc_atr")(market_info, atr_freq);
    self.attr("add_trade_info")("entry_volatility", atr);

    // The report keeps the absolute excursions; only the prepared copy below is local.
    py::object trades = self.attr("get_trades")();
    for (const char* column : {"mae", "mdd"}) {
        assign_column(trades, column, trades[column].attr("abs")());
    }

    // A fresh table: on pandas 2 the filtered result would otherwise still count as a view of
    // the report's table and warn on every added column.
    py::object record = trades.attr("dropna")().attr("copy")();
    assign_column(record, "pdays_ratio", record["pdays"] / record["period"]);
    assign_column(record, "volatility", record["mae"] + record["gmfe"]);
    assign_column(record, "profit_loss", record["return"].attr("apply")(profit_loss_label()));
    assign_column(record, "size", record["return"].attr("abs")());
    return record;
}

// Distinct first-level labels in the order the excursion table first shows them (increasing
// offsets), so that the edge-ratio line runs left to right; 0 and the exit columns are not
// time scales.
py::list time_scales(const py::object& trevik) {
    py::set seen;
    py::list scales;
    for (py::handle label : trevik.attr("columns").attr("get_level_values")(0)) {
        if (seen.contains(label)) continue;
        seen.add(label);
        if (is_time_scale(label)) scales.append(label);
    }
    return scales;
}

py::object edge_ratio_table(const py::object& trevik, const py::object& trade_record,
                            const py::list& scales) {
    py::object data_frame = global("pd").attr("DataFrame");
    if (scales.empty()) {
        py::list columns;
        columns.append("time_scale");
        columns.append("mean_edge_ratio");
        return data_frame("columns"_a = columns);
    }
    py::object entry_volatility = trade_record["entry_volatility"];
    py::list ratios;
    for (py::handle scale : scales) {
        py::object gmfe = trevik[py::make_tuple(scale, "gmfe")];
        py::object mae = trevik[py::make_tuple(scale, "mae")].attr("abs")();
        ratios.append(ratio_of_sums(volatility_weighted_sum(gmfe, entry_volatility),
                                    volatility_weighted_sum(mae, entry_volatility)));
    }
    py::dict columns;
    columns["time_scale"] = scales;
    columns["mean_edge_ratio"] = ratios;
    return data_frame(columns);
}

py::object mean_return(const py::object& trade_record) {
    return builtin_round(trade_record["return"].attr("mean")(), 3);
}

// Python's true division of the counts: no trade left is a ZeroDivisionError.
py::object win_ratio(const py::object& trade_record) {
    py::int_ profitable(trade_record["profit_loss"].attr("eq")("profit").attr("sum")());
    py::int_ trades(py::len(trade_record));
    return builtin_round(profitable / trades, 3);
}

py::object long_form(const py::object& trade_record) {
    py::list identifiers, measures;
    for (const char* name : kIdentifierColumns) identifiers.append(name);
    for (const char* name : kMeasureColumns) measures.append(name);
    return trade_record.attr("melt")("id_vars"_a = identifiers, "value_vars"_a = measures);
}

}  // namespace kovalt::report::dashboard
