"""Copies of the report's figures adapted for reading on the report page.

The methods' figures (``Report.create_performance_figure``, ``Report.display_trevik_analysis``)
are left exactly as they are; the page shows copies that fill the page's width, name their
panels and axes, show returns as percentages, list each legend group once and give the
measures of the violin panel that are not fractions an axis of their own.
"""

from __future__ import annotations

from typing import Any

__all__ = ["readable_performance", "readable_dashboard", "figure_json"]

PERCENT = ".0%"
PERFORMANCE_PANELS = (
    ("yaxis", "Cumulative return", "return", PERCENT),
    ("yaxis2", "Drawdown", "drawdown", PERCENT),
    ("yaxis3", "Month rolling return", "20-day return", PERCENT),
    ("yaxis4", "Holdings", "assets held", None),
)
# Axes of the dashboard that carry returns or excursions (fractions of the entry price).
DASHBOARD_FRACTION_AXES = ("xaxis", "xaxis3", "xaxis4", "xaxis5", "xaxis6", "xaxis7",
                           "yaxis3", "yaxis4", "yaxis5", "yaxis6", "yaxis7")
# Violin measures on a scale of their own: (measure, x axis, y axis, x domain, title, format).
OWN_SCALE_VIOLINS = (
    ("entry_volatility", "x9", "y9", (0.77, 0.85), "price", None),
    ("pdays_ratio", "x10", "y10", (0.92, 1.0), "", PERCENT),
)
FRACTION_VIOLIN_DOMAIN = (0.0, 0.70)
AVERAGE_LINE_COLOR = "green"  # the colour of the method's average-return line


def figure_json(figure) -> dict[str, Any]:
    """The figure as the JSON-ready {data, layout} that plotly.js draws."""
    import json

    return json.loads(figure.to_json())


def _one_legend_entry_per_group(figure, group_of) -> None:
    seen: set[str] = set()
    for trace in figure.data:
        group = group_of(trace)
        if group is None:
            trace.showlegend = False
            continue
        trace.legendgroup = group
        trace.showlegend = group not in seen
        seen.add(group)


def _panel_title(figure, yaxis: str, text: str) -> None:
    top = figure.layout[yaxis].domain[1]
    figure.add_annotation(text=f"<b>{text}</b>", x=0.5, y=top, xref="paper", yref="paper",
                          xanchor="center", yanchor="bottom", showarrow=False)


def readable_performance(figure):
    """A copy of the performance figure for the page."""
    import plotly.graph_objects as go

    page = go.Figure(figure)
    page.layout.width = None
    page.layout.autosize = True
    page.update_layout(height=640, margin={"l": 70, "r": 20, "t": 50, "b": 30},
                       legend={"orientation": "h", "x": 1, "xanchor": "right", "y": 1.0,
                               "yanchor": "bottom"})
    for yaxis, title, axis_name, number_format in PERFORMANCE_PANELS:
        _panel_title(page, yaxis, title)
        page.layout[yaxis].title = {"text": axis_name}
        if number_format:
            page.layout[yaxis].tickformat = number_format
    # One entry per series: clicking "strategy" shows or hides its curve in every panel.
    _one_legend_entry_per_group(
        page, lambda trace: None if trace.name == "nstocks" else trace.name.split(" - ")[0])
    return page


def _average_return_label_above_bars(page) -> None:
    # Above the panel's top right corner, clear of the bars and of the centred panel title;
    # written in the colour of its dashed line.
    for annotation in page.layout.annotations:
        if isinstance(annotation.text, str) and annotation.text.startswith("avg_return:"):
            mean = float(annotation.text.split(":", 1)[1])
            annotation.update(text=f"avg_return: {mean:.1%}",xref="x domain", x=1, xanchor="right", y=1, yanchor="bottom",
                              font={"color": AVERAGE_LINE_COLOR})


def _violins_by_scale(page) -> None:
    own = {measure: (x, y) for measure, x, y, *_ in OWN_SCALE_VIOLINS}
    for trace in page.data:
        if trace.type == "violin" and trace.name in own:
            trace.xaxis, trace.yaxis = own[trace.name]
    page.layout.xaxis8.domain = FRACTION_VIOLIN_DOMAIN
    page.layout.yaxis8.update(title={"text": "fraction"}, tickformat=PERCENT)
    bottom = page.layout.yaxis8.domain
    for measure, x, y, domain, title, number_format in OWN_SCALE_VIOLINS:
        xaxis, yaxis = "xaxis" + x[1:], "yaxis" + y[1:]
        # Two-line tick labels: the narrow panels' labels must not run into each other.
        page.layout[xaxis] = {"domain": domain, "anchor": y, "tickvals": [measure],
                              "ticktext": [measure.replace("_", "<br>")]}
        page.layout[yaxis] = {"domain": bottom, "anchor": x}
        if title:
            page.layout[yaxis].title = {"text": title}
        if number_format:
            page.layout[yaxis].tickformat = number_format


def readable_dashboard(figure):
    """A copy of the MAE/MFE dashboard for the page."""
    import plotly.graph_objects as go

    page = go.Figure(figure)
    page.layout.width = None
    page.layout.autosize = True
    # The legend above the panels, so that narrow windows keep the panels' width.
    page.update_layout(margin={"l": 70, "r": 20, "t": 90, "b": 50},
                       legend={"orientation": "h", "x": 1, "xanchor": "right", "y": 1.035,
                               "yanchor": "bottom"})
    for axis in DASHBOARD_FRACTION_AXES:
        page.layout[axis].tickformat = PERCENT
    _average_return_label_above_bars(page)
    _violins_by_scale(page)

    def group_of(trace):
        if trace.type == "violin" and not trace.legendgroup:
            return None  # overlay mode: the x axis names each measure
        if trace.name == "aux_line":
            return "aux_line"
        return trace.legendgroup or None

    _one_legend_entry_per_group(page, group_of)
    return page
