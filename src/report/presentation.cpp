// The performance figure of a report and its notebook display.
#include "report.hpp"

namespace kovalt::report {

namespace {

using py::literals::operator""_a;

// About one month of trading days.
constexpr int kRollingPeriod = 20;

// Relative change over the last `period` rows; the first `period` values are missing.
py::object rolling_change(const py::object& s, int period) {
    return s / s.attr("shift")(period) - py::int_(1);
}

// Rebased values (base 100) as cumulative returns in fractions: 135 becomes 0.35.
py::object cumulative_return(const py::object& rebased) {
    return rebased / py::int_(100) - py::int_(1);
}

py::list range_selector_buttons() {
    py::list buttons;
    buttons.append(
        py::dict("count"_a = 1, "label"_a = "1m", "step"_a = "month", "stepmode"_a = "backward"));
    buttons.append(
        py::dict("count"_a = 6, "label"_a = "6m", "step"_a = "month", "stepmode"_a = "backward"));
    buttons.append(
        py::dict("count"_a = 1, "label"_a = "YTD", "step"_a = "year", "stepmode"_a = "todate"));
    buttons.append(
        py::dict("count"_a = 1, "label"_a = "1y", "step"_a = "year", "stepmode"_a = "backward"));
    buttons.append(py::dict("step"_a = "all"));
    return buttons;
}

// The first panel is twice as tall as each of the others.
py::list row_heights() {
    py::list heights;
    for (int height : {2, 1, 1, 1}) heights.append(height);
    return heights;
}

void apply_performance_layout(const py::object& fig) {
    const auto percent_axis = [] { return py::dict("tickformat"_a = ",.0%"); };
    fig.attr("update_layout")(
        "legend"_a = py::dict("bgcolor"_a = "rgba(0,0,0,0)"),
        "margin"_a = py::dict("l"_a = 60, "r"_a = 20, "t"_a = 40, "b"_a = 20), "height"_a = 600,
        "width"_a = 800,
        "xaxis4"_a = py::dict(
            "rangeselector"_a =
                py::dict("buttons"_a = range_selector_buttons(), "x"_a = 0, "y"_a = 1),
            "rangeslider"_a = py::dict("visible"_a = true, "thickness"_a = 0.1), "type"_a = "date"),
        "yaxis"_a = percent_axis(), "yaxis2"_a = percent_axis(), "yaxis3"_a = percent_axis());
}

// Strategy and benchmark of one panel share a legend group, so one click toggles both.
py::object create_performance_figure(const Arguments& a) {
    const py::object& performance_detail = a[0];
    const py::object& nstocks = a[1];
    py::object make_subplots = py::module_::import("plotly.subplots").attr("make_subplots");
    py::object go = py::module_::import("plotly.graph_objs");

    py::object drawdowns = apply_ravnel("to_drawdown_series", performance_detail);
    py::object fig = go.attr("Figure")(make_subplots(
        "rows"_a = 4, "cols"_a = 1, "shared_xaxes"_a = true, "row_heights"_a = row_heights()));
    py::object add_scatter = fig.attr("add_scatter");
    py::object dates = performance_detail.attr("index");
    py::object drawdown_dates = drawdowns.attr("index");

    py::object strategy = performance_detail.attr("strategy");
    add_scatter("x"_a = dates, "y"_a = cumulative_return(strategy), "name"_a = "strategy",
                "row"_a = 1, "col"_a = 1, "legendgroup"_a = "performance", "fill"_a = "tozeroy");
    add_scatter("x"_a = drawdown_dates, "y"_a = drawdowns.attr("strategy"),
                "name"_a = "strategy - drawdown", "row"_a = 2, "col"_a = 1,
                "legendgroup"_a = "drawdown", "fill"_a = "tozeroy");
    add_scatter("x"_a = dates, "y"_a = rolling_change(strategy, kRollingPeriod),
                "name"_a = "strategy - month rolling return", "row"_a = 3, "col"_a = 1,
                "legendgroup"_a = "rolling performance", "fill"_a = "tozeroy");

    if (performance_detail.attr("columns").contains("benchmark")) {
        py::object benchmark = performance_detail.attr("benchmark");
        add_scatter("x"_a = dates, "y"_a = cumulative_return(benchmark), "name"_a = "benchmark",
                    "row"_a = 1, "col"_a = 1, "legendgroup"_a = "performance",
                    "line"_a = py::dict("color"_a = "gray"));
        add_scatter("x"_a = drawdown_dates, "y"_a = drawdowns.attr("benchmark"),
                    "name"_a = "benchmark - drawdown", "row"_a = 2, "col"_a = 1,
                    "legendgroup"_a = "drawdown", "line"_a = py::dict("color"_a = "gray"));
        add_scatter("x"_a = dates, "y"_a = rolling_change(benchmark, kRollingPeriod),
                    "name"_a = "benchmark - month rolling return", "row"_a = 3, "col"_a = 1,
                    "legendgroup"_a = "rolling performance", "fill"_a = "tozeroy",
                    "line"_a = py::dict("color"_a = "rgba(0,0,0,0.2)"));
    }

    add_scatter("x"_a = nstocks.attr("index"), "y"_a = nstocks, "name"_a = "nstocks", "row"_a = 4,
                "col"_a = 1, "fill"_a = "tozeroy");
    apply_performance_layout(fig);
    return fig;
}

// Strategy (and benchmark) on the dates where all have values, each rebased to 100.
py::object rebased_performance(const py::object& self) {
    py::object pd = global("pd");
    py::object benchmark = self.attr("benchmark");
    py::dict columns;
    columns["strategy"] = self.attr("creturn");
    if (!benchmark.is_none()) columns["benchmark"] = benchmark.attr("dropna")();
    return apply_ravnel("rebase", pd.attr("DataFrame")(columns).attr("dropna")());
}

void show_performance(const py::object& self, const py::object& performance) {
    py::object position = self.attr("position");
    py::object nstocks = position.attr("ne")(0).attr("sum")("axis"_a = 1);
    py::object fig = self.attr("create_performance_figure")(performance, nstocks);
    py::object last_holdings = position.attr("iloc")[py::int_(-1)];
    py::object show = py::module_::import("IPython.display").attr("display");
    show(fig);
    show(last_holdings[last_holdings.attr("ne")(0)]);
    show(position.attr("index")[py::int_(-1)]);
}

py::object display(const Arguments& a) {
    const py::object& self = a[0];
    py::object performance = rebased_performance(self);
    // Showing is best effort: without a notebook front end, plotly or a drawable figure the
    // report still works, so whatever goes wrong here is dropped without a word.
    try {
        show_performance(self, performance);
    } catch (...) {
        PyErr_Clear();
    }
    return py::none();
}

}  // namespace

void add_presentation(py::object& cls) {
    add_method(cls, "display", {{"self"}}, display);
    add_static_method(cls, "create_performance_figure", {{"performance_detail"}, {"nstocks"}},
                      create_performance_figure);
}

}  // namespace kovalt::report
