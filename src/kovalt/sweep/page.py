"""The comparison page of a sweep: one HTML file that opens offline (plotly.js inline, once).

Sections: a table of the variants (click a heading to sort), the equity curves on one chart
with the best five by daily Sharpe highlighted, daily Sharpe against max drawdown, and for a
grid of two parameters a heatmap of daily Sharpe over the grid.
"""

from __future__ import annotations

import html
import math
from pathlib import Path

import pandas as pd

from kovalt.sweep.result import TABLE_COLUMNS

__all__ = ["write_page", "HIGHLIGHTED"]

HIGHLIGHTED = 5
_PERCENT = {"cagr", "max_drawdown", "win_ratio"}
_PALETTE = ("#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd")
_MUTED = "rgba(140, 140, 140, 0.35)"

_SORT_SCRIPT = """
document.querySelectorAll("table.variants th").forEach(function (heading, column) {
  heading.addEventListener("click", function () {
    var body = heading.closest("table").tBodies[0];
    var ascending = heading.dataset.order !== "asc";
    heading.closest("tr").querySelectorAll("th").forEach(function (h) { delete h.dataset.order; });
    heading.dataset.order = ascending ? "asc" : "desc";
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = a.cells[column].dataset.value, y = b.cells[column].dataset.value;
      var nx = parseFloat(x), ny = parseFloat(y), both = !isNaN(nx) && !isNaN(ny);
      if (x === "" || y === "") return (x === "") - (y === "");
      var order = both ? nx - ny : x.localeCompare(y);
      return ascending ? order : -order;
    });
    rows.forEach(function (row) { body.appendChild(row); });
  });
});
"""

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 24px; color: #222; }
table.variants { border-collapse: collapse; font-size: 13px; }
table.variants th, table.variants td { padding: 4px 10px; border-bottom: 1px solid #ddd;
  text-align: right; white-space: nowrap; }
table.variants th { cursor: pointer; background: #f4f4f4; position: sticky; top: 0; }
table.variants th[data-order="asc"]::after { content: " \\25B2"; }
table.variants th[data-order="desc"]::after { content: " \\25BC"; }
table.variants td.error { color: #b00; text-align: left; white-space: normal; }
table.variants tr.best td { background: #eef5ff; }
.figure { margin-top: 28px; }
"""


def write_page(result, path: Path) -> Path:
    import plotly.offline

    path.parent.mkdir(parents=True, exist_ok=True)
    best = list(result.best(HIGHLIGHTED).index)
    figures = [_equity_figure(result, best), _risk_figure(result)]
    heatmap = _heatmap_figure(result)
    if heatmap is not None:
        figures.append(heatmap)
    sections = "\n".join(
        f'<div class="figure">{_figure_div(figure)}</div>' for figure in figures)
    page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>kovalt sweep</title>
<style>{_STYLE}</style>
<script type="text/javascript">{plotly.offline.get_plotlyjs()}</script>
</head>
<body>
<h1>kovalt sweep: {len(result)} variants</h1>
<p>Statistics of the calendar-daily equity curve, risk-free rate 2%; the best
{HIGHLIGHTED} variants by daily Sharpe are highlighted. Click a heading to sort.</p>
{_table_html(result.table, best)}
{sections}
<script type="text/javascript">{_SORT_SCRIPT}</script>
</body>
</html>
"""
    path.write_text(page, encoding="utf-8")
    return path


def _figure_div(figure) -> str:
    import plotly.io

    return plotly.io.to_html(figure, include_plotlyjs=False, full_html=False,
                             config={"responsive": True})


def _table_html(table: pd.DataFrame, best: list) -> str:
    headings = ["variant"] + [str(c) for c in table.columns]
    head = "".join(f"<th>{html.escape(h)}</th>" for h in headings)
    rows = []
    for variant, row in table.iterrows():
        cells = [_cell(variant, "variant")]
        cells += [_cell(row[column], str(column)) for column in table.columns]
        css = ' class="best"' if variant in best else ""
        rows.append(f"<tr{css}>{''.join(cells)}</tr>")
    return (f'<table class="variants"><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(rows)}</tbody></table>')


def _cell(value, column: str) -> str:
    if column == "error":
        text = "" if _missing(value) else str(value)
        return f'<td class="error" data-value="{html.escape(text)}">{html.escape(text)}</td>'
    if _missing(value):
        return '<td data-value=""></td>'
    if isinstance(value, float):
        shown = f"{value:.2%}" if column in _PERCENT else f"{value:.3f}"
        return f'<td data-value="{value!r}">{shown}</td>'
    text = html.escape(str(value))
    return f'<td data-value="{text}">{text}</td>'


def _missing(value) -> bool:
    if value is None or value is pd.NA:
        return True
    return isinstance(value, float) and math.isnan(value)


def _equity_figure(result, best: list):
    import plotly.graph_objects as go

    figure = go.Figure()
    ran = [i for i in result.curves.columns if result.curves[i].notna().any()]
    for i in sorted(ran, key=lambda i: i in best):  # highlighted curves drawn on top
        curve = result.curves[i].dropna()
        rank = best.index(i) if i in best else None
        figure.add_trace(go.Scatter(
            x=curve.index, y=curve.to_numpy(), mode="lines",
            name=f"{i}: {result.label(i)}", showlegend=rank is not None,
            line={"width": 2.2 if rank is not None else 1,
                  "color": _PALETTE[rank % len(_PALETTE)] if rank is not None else _MUTED},
            hovertemplate="%{x|%Y-%m-%d} %{y:.3f}<extra>" + html.escape(result.label(i))
            + "</extra>"))
    figure.update_layout(title="Equity curves (best by daily Sharpe highlighted)",
                         yaxis_title="equity", height=520, legend_title_text="best variants")
    return figure


def _risk_figure(result):
    import plotly.graph_objects as go

    table = result.table[result.table["error"].isna()]
    labels = [f"{i}: {result.label(i)}" for i in table.index]
    figure = go.Figure(go.Scatter(
        x=table["max_drawdown"], y=table["daily_sharpe"], mode="markers", text=labels,
        marker={"size": 10, "color": table["cagr"], "colorscale": "Viridis", "showscale": True,
                "colorbar": {"title": {"text": "cagr"}}},
        hovertemplate="%{text}<br>max drawdown %{x:.2%}<br>daily Sharpe %{y:.3f}<extra></extra>"))
    figure.update_layout(title="Daily Sharpe against max drawdown", height=480,
                         xaxis_title="max drawdown", yaxis_title="daily Sharpe",
                         xaxis_tickformat=".0%")
    return figure


def _heatmap_figure(result):
    """Daily Sharpe over the grid when every variant has the same two parameters and each
    combination occurs once; None otherwise."""
    import plotly.graph_objects as go

    names = [c for c in result.table.columns if c not in TABLE_COLUMNS]
    if len(names) != 2:
        return None
    rows, columns = names
    table = result.table
    try:
        if table[names].isna().any().any() or table.duplicated(subset=names).any():
            return None
        grid = table.pivot(index=rows, columns=columns, values="daily_sharpe")
    except TypeError:  # values that cannot be grid labels (lists, dicts, ...)
        return None
    figure = go.Figure(go.Heatmap(
        z=grid.to_numpy(dtype=float), x=[str(c) for c in grid.columns],
        y=[str(r) for r in grid.index], colorscale="RdYlGn", colorbar={"title": {"text": "Sharpe"}},
        hovertemplate=f"{rows}=%{{y}}<br>{columns}=%{{x}}<br>daily Sharpe %{{z:.3f}}"
        "<extra></extra>"))
    figure.update_layout(title=f"Daily Sharpe over {rows} x {columns}", height=440,
                         xaxis_title=columns, yaxis_title=rows,
                         xaxis_type="category", yaxis_type="category")
    return figure
