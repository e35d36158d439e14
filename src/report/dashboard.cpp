// The MAE/MFE dashboard: eight panels of excursion statistics on a 4 x 6 grid.
#include "dashboard.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace kovalt::report {

namespace {

using dashboard::edge_ratio_table;
using dashboard::kMeasureColumns;
using dashboard::long_form;
using dashboard::mean_return;
using dashboard::prepare_trade_record;
using dashboard::time_scales;
using dashboard::win_ratio;
using py::literals::operator""_a;

// Profit first, loss second: the colour rule and the grouped violins index it alike.
using Palette = std::array<const char*, 2>;
constexpr Palette kPalette = {"#69b0ea", "#F66095"};
constexpr std::array kProfitLoss = {"profit", "loss"};

constexpr std::array kPanelTitles = {"Return Histogram", "Edge Ratio",  "BMFE/MAE",
                                     "GMFE/MAE",         "MAE/Return",  "BMFE/Return",
                                     "GMFE/Return",      "Ratio Violin"};

struct ScatterChart {
    const char* x;
    const char* y;
    bool hover_return;  // the MAE charts do not show the return on their axes
    int row;
    int col;
};

constexpr std::array kScatterCharts = {
    ScatterChart{"mae", "bmfe", true, 2, 3},     ScatterChart{"mae", "gmfe", true, 2, 5},
    ScatterChart{"return", "mae", false, 3, 1},  ScatterChart{"return", "bmfe", false, 3, 3},
    ScatterChart{"return", "gmfe", false, 3, 5},
};

struct Plotly {
    py::object express = py::module_::import("plotly.express");
    py::object graph_objects = py::module_::import("plotly.graph_objects");
    py::object make_subplots = py::module_::import("plotly.subplots").attr("make_subplots");
};

template <class Strings>
py::list to_list(const Strings& strings) {
    py::list list;
    for (const char* text : strings) list.append(text);
    return list;
}

// A row of the grid: panels of `span` columns each, the cells they cover left as None.
py::list grid_row(int span) {
    py::list cells;
    for (int col = 0; col < 6; ++col) {
        if (col % span == 0) {
            cells.append(py::dict("colspan"_a = span));
        } else {
            cells.append(py::none());
        }
    }
    return cells;
}

py::object create_grid(const Plotly& plotly) {
    py::list specs;
    for (int span : {6, 2, 2, 6}) specs.append(grid_row(span));
    return plotly.make_subplots("rows"_a = 4, "cols"_a = 6, "specs"_a = specs,
                                "vertical_spacing"_a = 0.08, "horizontal_spacing"_a = 0.1,
                                "subplot_titles"_a = to_list(kPanelTitles));
}

// Profit traces take the first colour, loss traces the second, any other trace the first.
py::object set_f_data_color(py::handle fig_data, const Palette& palette = kPalette) {
    py::object trace = py::reinterpret_borrow<py::object>(fig_data);
    const bool loss = py::object(trace["legendgroup"]).equal(py::str(kProfitLoss[1]));
    trace["marker"]["color"] = loss ? palette[1] : palette[0];
    return trace;
}

// The trace properties that can hold arrays of Python objects (texts, hover data).
constexpr std::array kObjectArrayProperties = {"x", "y", "customdata", "text", "hovertext", "ids"};

bool is_object_array(const py::object& value) {
    if (!py::isinstance<py::array>(value)) return false;
    return py::reinterpret_borrow<py::array>(value).dtype().kind() == 'O';
}

// plotly deep-copies every trace it adds, and deep-copying an array of Python objects costs one
// Python-level copy per element: most of the dashboard's time at tens of thousands of trades.
// Such arrays are swapped for empty ones, which keep their place in the trace, and set again on
// the added trace, where plotly's validation copies them in one go. The figure is the same.
void add_trace_in_cell(const py::object& fig, const py::object& trace, int row, int col) {
    std::vector<std::pair<const char*, py::object>> set_aside;
    for (const char* name : kObjectArrayProperties) {
        py::object value = trace[name];
        if (!is_object_array(value)) continue;
        set_aside.emplace_back(name, value);
        trace[name] = py::list();
    }
    fig.attr("add_trace")(trace, "row"_a = row, "col"_a = col);
    if (set_aside.empty()) return;
    py::object added = fig.attr("data")[py::int_(-1)];
    for (const auto& [name, value] : set_aside) added[name] = value;
}

void copy_traces(const py::object& fig, const py::object& chart, int row, int col) {
    for (py::handle trace : chart.attr("data")) {
        add_trace_in_cell(fig, set_f_data_color(trace), row, col);
    }
}

void add_return_histogram(const py::object& fig, const Plotly& plotly,
                          const py::object& trade_record) {
    py::object histogram =
        plotly.express.attr("histogram")(trade_record, "x"_a = "return", "color"_a = "profit_loss");
    py::object average = mean_return(trade_record);
    py::object wins = win_ratio(trade_record);
    copy_traces(fig, histogram, 1, 1);
    fig.attr("add_vline")("x"_a = average, "line_width"_a = 3, "line_dash"_a = "dash",
                          "line_color"_a = "green", "annotation_position"_a = "top left",
                          "annotation_text"_a = "avg_return:" + std::string(py::str(average)),
                          "row"_a = 1, "col"_a = 1);
    // The panel titles are the first annotations, this panel's title the very first.
    py::object title = fig.attr("layout").attr("annotations")[py::int_(0)];
    title.attr("text") =
        std::string(py::str(title.attr("text"))) + "(win_ratio:" + std::string(py::str(wins)) + ")";
}

void add_edge_ratio(const py::object& fig, const Plotly& plotly, const py::object& edge_ratio) {
    py::object line =
        plotly.express.attr("line")(edge_ratio, "x"_a = "time_scale", "y"_a = "mean_edge_ratio");
    copy_traces(fig, line, 2, 1);
    fig.attr("add_hline")("y"_a = 1, "line_width"_a = 3, "line_color"_a = "orange",
                          "annotation_text"_a = "benchmark", "row"_a = 2, "col"_a = 1);
}

void add_excursion_scatters(const py::object& fig, const Plotly& plotly,
                            const py::object& trade_record) {
    for (const ScatterChart& chart : kScatterCharts) {
        py::list hover_data;
        hover_data.append("stock_id");
        if (chart.hover_return) hover_data.append("return");
        py::object scatter = plotly.express.attr("scatter")(
            trade_record, "x"_a = chart.x, "y"_a = chart.y, "color"_a = "profit_loss",
            "size"_a = "size", "hover_data"_a = hover_data);
        copy_traces(fig, scatter, chart.row, chart.col);
    }
}

py::object absolute(const py::object& value) {
    PyObject* result = PyNumber_Absolute(value.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// From the origin to 10% beyond the largest loss (along y = -x) in the MAE panel, and beyond
// the largest return (along y = x) in the two MFE panels.
void add_reference_diagonals(const py::object& fig, const Plotly& plotly,
                             const py::object& trade_record) {
    py::object returns = trade_record["return"];
    py::object max_return = returns.attr("max")();
    py::object min_return = returns.attr("min")();
    const py::float_ overshoot(1.1);
    for (int col : {1, 3, 5}) {
        py::object end_x = col == 1 ? min_return : max_return;
        py::object end_y = col == 1 ? absolute(min_return) : max_return;
        py::list x, y;
        x.append(0);
        x.append(end_x * overshoot);
        y.append(0);
        y.append(end_y * overshoot);
        fig.attr("add_trace")(plotly.graph_objects.attr("Scatter")(
                                  "x"_a = x, "y"_a = y, "mode"_a = "lines", "name"_a = "aux_line"),
                              "row"_a = 3, "col"_a = col);
    }
}

py::object rows_where(const py::object& table, const char* column, const char* value) {
    return table[table[column].attr("eq")(value)];
}

void add_measure_violins(const py::object& fig, const Plotly& plotly, const py::object& melted) {
    for (const char* measure : kMeasureColumns) {
        py::object rows = rows_where(melted, "variable", measure);
        add_trace_in_cell(
            fig,
            plotly.graph_objects.attr("Violin")("x"_a = rows["variable"], "y"_a = rows["value"],
                                                "name"_a = measure, "box_visible"_a = true,
                                                "meanline_visible"_a = true),
            4, 1);
    }
}

void add_profit_loss_violins(const py::object& fig, const Plotly& plotly,
                             const py::object& melted) {
    for (std::size_t i = 0; i < kProfitLoss.size(); ++i) {
        const char* group = kProfitLoss[i];
        const char* color = kPalette[i];
        py::object rows = rows_where(melted, "profit_loss", group);
        add_trace_in_cell(
            fig,
            plotly.graph_objects.attr("Violin")("x"_a = rows["variable"], "y"_a = rows["value"],
                                                "line_color"_a = color, "legendgroup"_a = group,
                                                "scalegroup"_a = group, "name"_a = group,
                                                "box_visible"_a = true, "meanline_visible"_a = true,
                                                "fillcolor"_a = color, "opacity"_a = 0.6),
            4, 1);
    }
}

// Any other mode leaves the panel empty; the layout then refuses it.
void add_violins(const py::object& fig, const Plotly& plotly, const py::object& trade_record,
                 const py::object& violinmode) {
    py::object melted = long_form(trade_record);
    if (violinmode.equal(py::str("overlay"))) {
        add_measure_violins(fig, plotly, melted);
    } else if (violinmode.equal(py::str("group"))) {
        add_profit_loss_violins(fig, plotly, melted);
    }
}

void apply_dashboard_layout(const py::object& fig, const py::object& violinmode) {
    const auto titled = [](const char* title) { return py::dict("title"_a = title); };
    fig.attr("update_layout")(
        "height"_a = 1200, "width"_a = 1200, "title_text"_a = "MAE/MFE Analysis",
        "violinmode"_a = violinmode, "yaxis"_a = titled("count"),
        "yaxis2"_a = py::dict("title"_a = "edge ratio", "showgrid"_a = false),
        "yaxis3"_a = titled("bmfe"), "yaxis4"_a = titled("gmfe"), "yaxis5"_a = titled("mae"),
        "yaxis6"_a = titled("bmfe"), "yaxis7"_a = titled("gmfe"), "xaxis"_a = titled("return"),
        "xaxis2"_a = titled("time_scale"), "xaxis3"_a = titled("mae"), "xaxis4"_a = titled("mae"),
        "xaxis5"_a = titled("return"), "xaxis6"_a = titled("return"),
        "xaxis7"_a = titled("return"));
}

py::object display_trevik_analysis(const Arguments& a) {
    const py::object& self = a[0];
    const py::object& violinmode = a[2];
    const Plotly plotly;

    py::object trade_record = prepare_trade_record(self, a[1]);
    py::object trevik = self.attr("trevik");
    py::object edge_ratio = edge_ratio_table(trevik, trade_record, time_scales(trevik));

    py::object fig = create_grid(plotly);
    add_return_histogram(fig, plotly, trade_record);
    add_edge_ratio(fig, plotly, edge_ratio);
    add_excursion_scatters(fig, plotly, trade_record);
    add_reference_diagonals(fig, plotly, trade_record);
    add_violins(fig, plotly, trade_record, violinmode);
    apply_dashboard_layout(fig, violinmode);
    return fig;
}

}  // namespace

void add_dashboard(py::object& cls) {
    add_method(cls, "display_trevik_analysis",
               {{"self"}, {"atr_freq", py::int_(10)}, {"violinmode", py::str("overlay")}},
               display_trevik_analysis);
}

}  // namespace kovalt::report
