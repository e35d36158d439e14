// The position report: for every asset held or just traded, what happens to it on the next
// trading date, as a JSON-ready dictionary (also sent by the upload, so its keys, value types and
// date format are a wire format).
#include "report.hpp"

namespace kovalt::report {

namespace {

constexpr const char* kDateFormat = "%Y-%m-%d";

py::dict status_labels() {
    py::dict labels;
    labels["hold"] = "持有";
    labels["exit"] = "賣出";
    labels["enter"] = "買進";
    labels["sl_tp_exit"] = "停損停利";
    return labels;
}

// `left == right` as Python evaluates it, then its truth.
bool equals(py::handle left, py::handle right) {
    auto result =
        py::reinterpret_steal<py::object>(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    if (!result) throw py::error_already_set();
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

// The action of a trade the engine gave none: a trade with an exit signal exits; otherwise it is
// held when the back-test rebalances on a schedule and entered when it does not. Built with mask
// rather than item assignment: pandas 2 takes an assignment from native code, where the
// reference count is lower, for chained assignment and warns.
py::object default_actions(const py::object& trades, const py::object& resample) {
    py::object exits = trades[py::str("exit_sig_date")];
    py::object defaults =
        global("pd").attr("Series")("hold", py::arg("index") = trades.attr("index"));
    defaults = defaults.attr("mask")(exits.attr("notna")(), "exit");
    if (equals(resample, py::none())) {
        defaults = defaults.attr("mask")(exits.attr("isnull")(), "enter");
        defaults = defaults.attr("mask")(exits.attr("notna")(), "exit");
    }
    return defaults;
}

py::object formatted_dates(const py::object& dates) {
    return dates.attr("dt").attr("strftime")(kDateFormat).attr("fillna")("");
}

py::object trade_rows(const py::object& trades, const py::object& status) {
    py::dict columns;
    columns["status"] = status;
    columns["weight"] = trades[py::str("weight")];
    columns["next_weight"] = trades[py::str("next_weights")];
    columns["entry_date"] = formatted_dates(trades[py::str("entry_sig_date")]);
    columns["exit_date"] = formatted_dates(trades[py::str("exit_sig_date")]);
    columns["return"] = trades[py::str("return")].attr("fillna")(0);
    columns["entry_price"] = trades[py::str("entry_price")].attr("fillna")(0);
    return global("pd").attr("DataFrame")(columns, py::arg("index") = trades.attr("index"));
}

// One row per asset, ascending by identifier: for each column the last value present once the
// asset's trades are ordered by their latest signal date ("%Y-%m-%d" text orders like dates, and
// the empty text of an undated trade sorts first). A stable sort keeps tied trades in table order.
py::object latest_per_asset(const py::object& rows) {
    py::dict signal_dates;
    signal_dates["entry"] = rows[py::str("entry_date")];
    signal_dates["exit"] = rows[py::str("exit_date")];
    py::object latest =
        global("pd").attr("DataFrame")(signal_dates).attr("max")(py::arg("axis") = 1);
    return rows.attr("assign")(py::arg("latest_sig_date") = latest)
        .attr("sort_values")("latest_sig_date", py::arg("kind") = "stable")
        .attr("groupby")(py::arg("level") = 0)
        .attr("last")()
        .attr("drop")(py::arg("columns") = "latest_sig_date");
}

py::object position_info(const Arguments& a) {
    const py::object& self = a[0];
    py::object trades = self.attr("current_trades");
    py::object defaults = default_actions(trades, self.attr("resample"));
    py::object status = self.attr("actions")
                            .attr("reindex")(trades.attr("index"))
                            .attr("fillna")(defaults)
                            .attr("map")(status_labels());
    py::dict info = latest_per_asset(trade_rows(trades, status)).attr("to_dict")("index");
    info["update_date"] = self.attr("update_date").attr("strftime")(kDateFormat);
    info["next_trading_date"] = self.attr("next_trading_date").attr("strftime")(kDateFormat);
    py::object trade_at = self.attr("trade_at");
    info["trade_at"] = PyUnicode_Check(trade_at.ptr()) ? trade_at : py::str("close");
    return info;
}

}  // namespace

void add_position_report(py::object& cls) {
    add_method(cls, "position_info", {{"self"}}, position_info);
}

}  // namespace kovalt::report
